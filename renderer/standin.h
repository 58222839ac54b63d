// The stand-in renderer: loads the Nimbrel library by file name and drives it
// exactly as the production renderer does, providing every renderer function
// the library looks up (exported from the program that links this).
//
// A test builds an instance in a few lines:
//
//     standin::Renderer renderer;
//     ASSERT_TRUE(renderer.load(standin::default_library_path())) << renderer.load_error();
//     standin::Instance volume(renderer, {"head_0000.raw", {0, 0, 0}, 64, standin::TRILINEAR_MODE,
//                                         1, 256, 256, 1});
//     standin::State state;
//     volume.connect_coord([](miVector p) { return p; });
//     volume.init(state);
//     miColor c = volume.lookup(state, {0.5f, 0.5f, 0.5f});
//     volume.exit(state);
//     EXPECT_EQ(renderer.allocator().live_blocks(), 0u);
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_api.h"
#include "renderer/declaration.h"
#include "sample/sample_exchange.h"

// The shader's parameter block, laid out from its declaration, and what the
// shader keeps in its user-pointer slot: both opaque to the renderer, named
// only so that the entry points are called through their own types.
struct VolumeParams;
struct VolumeData;

namespace standin {

enum { NEAREST_MODE = 0, TRILINEAR_MODE = 1, OFFSET_MODE = 2 };

// The renderer's side of the binary contract, stated here and not taken from
// the library: the query code of the user-pointer slot, and where the
// shading state and the shader record keep what the library reads.
enum { QUERY_USER_POINTER = 51 };
constexpr size_t STATE_POINT = 168;                                // miVector
constexpr size_t STATE_SHADER = 256;                               // running shader's record
constexpr size_t STATE_EXCHANGE = sizeof(void *) == 4 ? 268 : 272; // the caller's record
constexpr size_t SHADER_CONNECTION_OFFSET = 96;                    // int32 in that record

// Path of the library module built with this tree (Nimbrel.so / Nimbrel.dll).
std::string default_library_path();

// The renderer's allocator: zero-filled blocks with their source position,
// live counts, and a failure that can be armed for the Nth allocation.
class Allocator {
  public:
    void *allocate(const char *file, int line, int size);
    void release(const char *file, int line, void *block);

    size_t live_blocks() const;
    int64_t live_bytes() const;
    int64_t peak_bytes() const;
    // Allocations made since the renderer was created (including failed ones).
    size_t allocations() const;
    // The nth allocation from now (1 = the next) returns null; 0 disarms.
    void fail_nth(size_t nth);
    // Restarts peak_bytes() from the bytes live now.
    void reset_peak();
    // Called with the size of each allocation before it is served, outside
    // the allocator's lock (a test acts at the moment the library asks for
    // memory); an empty function removes it.
    void on_allocate(std::function<void(int size)> hook);
    // "file:line size" of every live block, for a failing test's message.
    std::string describe_live() const;

  private:
    struct Block {
        std::string file;
        int line;
        int size;
    };
    mutable std::mutex mutex_;
    std::map<void *, Block> live_;
    int64_t live_bytes_ = 0, peak_bytes_ = 0;
    size_t allocations_ = 0;
    size_t fail_at_ = 0;
    std::function<void(int size)> hook_;
};

struct Message {
    bool error;
    std::string text;
};

// Every mi_error / mi_info text, in order; echoed to standard error as
// "error: TEXT" / "info: TEXT" unless echo is off.
class MessageLog {
  public:
    void add(bool error, const std::string &text);
    std::vector<Message> all() const;
    std::vector<std::string> errors() const;
    std::vector<std::string> infos() const;
    void clear();
    void set_echo(bool echo) { echo_ = echo; }

  private:
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
    std::atomic<bool> echo_{true};
};

class Instance;

// One shading state, per thread. Holds the cache of connected results that
// mi_flush_cache empties, and counters for tests.
class State {
  public:
    State();
    miState *raw() { return &raw_; }
    miVector &point() { return *reinterpret_cast<miVector *>(bytes() + STATE_POINT); }
    miShaderRecord *shader() const {
        miShaderRecord *record;
        memcpy(&record, reinterpret_cast<const char *>(&raw_) + STATE_SHADER, sizeof record);
        return record;
    }
    void set_shader(miShaderRecord *record) {
        memcpy(bytes() + STATE_SHADER, &record, sizeof record);
    }
    // The exchange pointer: the calling shader's record, or null.
    void set_exchange(void *exchange) {
        memcpy(bytes() + STATE_EXCHANGE, &exchange, sizeof exchange);
    }

    struct CacheEntry {
        const void *param;
        alignas(8) unsigned char value[16];
    };
    // The value cached for `param`, or null.
    void *cached(const void *param);
    void *store(const void *param, const void *value, size_t size);
    // A fresh entry for `param`, its value to be written by the caller.
    void *claim(const void *param);
    void flush();
    // The state starts running instance `serial`: results cached for another
    // instance are dropped (not counted as a flush), so that an instance
    // never sees a value computed for one that lived at the same address.
    void run_instance(uint64_t serial);

    uint64_t flushes = 0;     // calls of mi_flush_cache
    uint64_t evaluations = 0; // connected evaluations computed (not cached)

  private:
    char *bytes() { return reinterpret_cast<char *>(&raw_); }
    // First: the library is handed &raw_. Its members are reached by the
    // offsets above, never by the library's names for them.
    miState raw_;
    CacheEntry cache_[8];
    int cached_count_ = 0;
    uint64_t cached_for_ = 0; // serial of the instance the cache belongs to
};

class Renderer;

// The eight shader parameters, as a renderer user sets them.
struct Params {
    std::string filename;
    miVector coord = {0.0f, 0.0f, 0.0f};
    int32_t slices = 0;
    int32_t interpolation = NEAREST_MODE;
    int32_t filetype = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t little_endian = 1;
};

// One shader instance: its parameter block with connection words, its
// user-pointer slot, and the connections of its parameters.
class Instance {
  public:
    Instance(Renderer &renderer, const Params &params);
    ~Instance();
    Instance(const Instance &) = delete;
    Instance &operator=(const Instance &) = delete;

    // `coord` follows the state's current point through `shader`, any
    // callable taking and returning a miVector. Held directly in the
    // connection, so that an evaluation makes one indirect call.
    template <typename Shader> void connect_coord(Shader shader) {
        connect(offset_of("coord"), [shader](const miState &state, void *out) {
            miVector point;
            memcpy(&point, reinterpret_cast<const char *>(&state) + STATE_POINT, sizeof point);
            const miVector value = shader(point);
            memcpy(out, &value, sizeof value);
        });
    }
    // Any parameter: `shader` writes the value (of the parameter's type) into
    // `out` for the given state. `field` is the parameter's byte offset. A
    // null `shader` marks the parameter connected while the renderer gives no
    // value for it.
    void connect(size_t field, std::function<void(const miState &state, void *out)> shader);
    void disconnect(size_t field);
    bool connected(const std::string &name) const {
        return block_[fields() + offset_of(name) / 4] != 0;
    }

    // Per-instance initialisation; returns the request flag the library set.
    void init(State &state);
    // One lookup at `point` with `exchange` (may be null) as the caller's
    // record; `incoming` is the colour before the call.
    miColor lookup(State &state, miVector point, SampleExchange *exchange = nullptr,
                   miColor incoming = {0.0f, 0.0f, 0.0f, 0.0f});
    // One lookup with `coord` held at `coord` and `interpolation` at `mode`
    // for this call only (a connection of either is set aside, then restored):
    // how a renderer learns what the shader answers at a chosen position.
    miColor lookup_coord(State &state, miVector coord, int32_t mode, SampleExchange *exchange);
    // The coordinate mapping the shader hands to the caller of every lookup:
    // all zero when its load failed, untouched (zero) when it holds no volume.
    std::array<float, 16> looked_up_mapping(State &state);
    // Raw call of the lookup for callers that set up the state themselves.
    miBoolean call_lookup(State &state, miColor *result);
    void exit(State &state);

    // What the shader keeps in the user-pointer slot (null before init and
    // after exit); only a test that includes the library's records looks in.
    const VolumeData *volume() const { return static_cast<const VolumeData *>(user_pointer_); }
    void *&user_pointer() { return user_pointer_; }
    // The parameter called `name` in the block, as laid out from the shader's
    // declaration; T must be the size of the declared type.
    template <typename T> T &param(const std::string &name) {
        return *reinterpret_cast<T *>(block() + checked_offset(name, sizeof(T)));
    }
    // Byte offset of the parameter called `name` in the block.
    size_t offset_of(const std::string &name) const;
    // The parameter block, as handed to the shader's entry points.
    VolumeParams *params() { return reinterpret_cast<VolumeParams *>(block()); }
    // The renderer's text of `filename`, which the library edits while loading.
    char *filename_text();
    miTag filename_tag();

    // The running-shader record the library reads the connection offset from.
    miShaderRecord &record() { return record_; }
    // Makes `state` run this instance's shader.
    void enter(State &state);

    // Result of the connected parameter at `param` in the block, or false when
    // the parameter has no connection.
    bool evaluate(const miState &state, const void *param, void *out, size_t *size);
    // As evaluate, straight into a fresh entry of the state's cache; the
    // entry's value, or null when the parameter has no connection.
    void *evaluate_cached(State &state, const void *param);

  private:
    char *block() { return reinterpret_cast<char *>(block_.data()); }
    size_t checked_offset(const std::string &name, size_t size) const;
    size_t fields() const { return declaration_.block_size / 4; }

    Renderer &renderer_;
    const Declaration &declaration_;
    // The parameter block, then one connection word per 4-byte field of it.
    std::vector<uint32_t> block_;
    miShaderRecord record_; // its renderer-owned bytes link back to this instance
    void *user_pointer_ = nullptr;
    uint64_t serial_ = 0; // unique per instance in the process
    std::vector<std::function<void(const miState &, void *)>> shaders_; // per 4-byte field
    std::vector<size_t> sizes_;
};

// The library as the renderer sees it: loaded by file name, bound to the
// renderer's functions through miSetModuleHandle, checked for version 1, and
// initialised once with null parameters. There is one current renderer per
// process: the renderer functions reach it.
class Renderer {
  public:
    Renderer();
    ~Renderer(); // unloads

    // False, with load_error() saying why, when the library cannot be loaded.
    // With `bind` false, miSetModuleHandle is not called (to test the library
    // before the renderer has handed over its module).
    bool load(const std::string &path, const std::string &shader = "Nimbrel", bool bind = true);
    // Calls exit with null parameters and unloads the library.
    void unload();
    bool loaded() const { return module_ != nullptr; }
    const std::string &load_error() const { return load_error_; }
    // The flag set by the shader-level init call.
    miBoolean instance_init_requested() const { return init_request_; }

    // Entry points as found in the library.
    void (*shader_init)(miState *, VolumeParams *, miBoolean *) = nullptr;
    miBoolean (*shader_lookup)(miColor *, miState *, VolumeParams *) = nullptr;
    void (*shader_exit)(miState *, VolumeParams *) = nullptr;
    int (*shader_version)() = nullptr;
    int (*set_module_handle)(void *) = nullptr;
    void *module() const { return module_; }
    // This program's own module handle, as handed to miSetModuleHandle.
    static void *program_handle();

    Allocator &allocator() { return allocator_; }
    MessageLog &log() { return log_; }

    // The string database: writable texts by tag (tags start at 1).
    miTag add_string(const std::string &text);
    char *string_text(miTag tag);

    static Renderer *current();

    void *last_query_extra = nullptr; // fifth argument of query codes 15 and 127

  private:
    void *module_ = nullptr;
    std::string load_error_;
    miBoolean init_request_ = 0;
    Allocator allocator_;
    MessageLog log_;
    std::vector<std::unique_ptr<std::vector<char>>> strings_;
    State shader_state_; // for the shader-level init and exit calls
};

} // namespace standin
