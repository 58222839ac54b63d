#include "renderer/standin.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#define STANDIN_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace standin {

namespace {

Renderer *current_renderer = nullptr;

// The renderer keeps its own links in the parts of its records that belong to
// it: the State behind a miState, the Instance behind a shader record.
State *state_of(miState *raw) {
    State *state;
    memcpy(&state, raw->renderer_owned0, sizeof state);
    return state;
}

Instance *instance_of(const miState *raw) {
    if (!raw) return nullptr;
    const char *record;
    memcpy(&record, reinterpret_cast<const char *>(raw) + STATE_SHADER, sizeof record);
    if (!record) return nullptr;
    Instance *instance;
    memcpy(&instance, record, sizeof instance); // the record's first, renderer-owned bytes
    return instance;
}

void *open_module(const std::string &path, std::string *error) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void *>(module);
#else
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) *error = dlerror();
    return module;
#endif
}

void *find_symbol(void *module, const char *name) {
#if defined(_WIN32)
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
#else
    return dlsym(module, name);
#endif
}

void close_module(void *module) {
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(module));
#else
    dlclose(module);
#endif
}

} // namespace

std::string default_library_path() {
    if (const char *path = getenv("NIMBREL_LIBRARY")) return path;
    return NIMBREL_LIBRARY_PATH;
}

// ---- Allocator -------------------------------------------------------------

void *Allocator::allocate(const char *file, int line, int size) {
    std::function<void(int)> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hook = hook_;
    }
    if (hook) hook(size);
    std::lock_guard<std::mutex> lock(mutex_);
    ++allocations_;
    if (fail_at_ != 0 && --fail_at_ == 0) return nullptr;
    if (size < 0) return nullptr;
    void *block = calloc(1, size > 0 ? size_t(size) : 1);
    if (!block) return nullptr;
    live_[block] = Block{file ? file : "?", line, size};
    live_bytes_ += size;
    if (live_bytes_ > peak_bytes_) peak_bytes_ = live_bytes_;
    return block;
}

void Allocator::release(const char *file, int line, void *block) {
    if (!block) return;
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = live_.find(block);
    if (found == live_.end()) {
        fprintf(stderr, "standin: release of unknown block %p at %s:%d\n", block, file, line);
        abort();
    }
    live_bytes_ -= found->second.size;
    live_.erase(found);
    free(block);
}

size_t Allocator::live_blocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.size();
}

int64_t Allocator::live_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_bytes_;
}

int64_t Allocator::peak_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_bytes_;
}

size_t Allocator::allocations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return allocations_;
}

void Allocator::fail_nth(size_t nth) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_at_ = nth;
}

void Allocator::reset_peak() {
    std::lock_guard<std::mutex> lock(mutex_);
    peak_bytes_ = live_bytes_;
}

void Allocator::on_allocate(std::function<void(int size)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

std::string Allocator::describe_live() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const auto &entry : live_)
        text += entry.second.file + ":" + std::to_string(entry.second.line) + " " +
                std::to_string(entry.second.size) + " bytes\n";
    return text;
}

// ---- Message log -----------------------------------------------------------

void MessageLog::add(bool error, const std::string &text) {
    if (echo_) fprintf(stderr, "%s: %s\n", error ? "error" : "info", text.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(Message{error, text});
}

std::vector<Message> MessageLog::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<std::string> MessageLog::errors() const {
    std::vector<std::string> texts;
    for (const Message &message : all())
        if (message.error) texts.push_back(message.text);
    return texts;
}

std::vector<std::string> MessageLog::infos() const {
    std::vector<std::string> texts;
    for (const Message &message : all())
        if (!message.error) texts.push_back(message.text);
    return texts;
}

void MessageLog::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

// ---- State -----------------------------------------------------------------

State::State() {
    memset(&raw_, 0, sizeof raw_);
    State *self = this;
    memcpy(raw_.renderer_owned0, &self, sizeof self);
}

void *State::cached(const void *param) {
    for (int i = 0; i < cached_count_; ++i)
        if (cache_[i].param == param) return cache_[i].value;
    return nullptr;
}

void *State::claim(const void *param) {
    if (cached_count_ == 8) cached_count_ = 0; // never more than the eight parameters
    CacheEntry &entry = cache_[cached_count_++];
    entry.param = param;
    return entry.value;
}

void *State::store(const void *param, const void *value, size_t size) {
    void *entry = claim(param);
    memcpy(entry, value, size);
    return entry;
}

void State::flush() {
    cached_count_ = 0;
    ++flushes;
}

void State::run_instance(uint64_t serial) {
    if (cached_for_ == serial) return;
    cached_count_ = 0;
    cached_for_ = serial;
}

// ---- Instance --------------------------------------------------------------

Instance::Instance(Renderer &renderer, const Params &params)
    : renderer_(renderer), declaration_(nimbrel_declaration()),
      block_(2 * declaration_.block_size / 4, 0u), shaders_(fields()), sizes_(fields(), 0) {
    static std::atomic<uint64_t> instances{0};
    serial_ = ++instances;
    memset(&record_, 0, sizeof record_);
    param<miTag>("filename") = params.filename.empty() ? 0 : renderer.add_string(params.filename);
    param<miVector>("coord") = params.coord;
    param<int32_t>("slices") = params.slices;
    param<int32_t>("interpolation") = params.interpolation;
    param<int32_t>("filetype") = params.filetype;
    param<int32_t>("width") = params.width;
    param<int32_t>("height") = params.height;
    param<int32_t>("little_endian") = params.little_endian;
    const int32_t connection_offset = int32_t(declaration_.block_size);
    memcpy(reinterpret_cast<char *>(&record_) + SHADER_CONNECTION_OFFSET, &connection_offset,
           sizeof connection_offset);
    Instance *self = this;
    memcpy(record_.renderer_owned, &self, sizeof self);
}

Instance::~Instance() = default;

size_t Instance::offset_of(const std::string &name) const {
    const DeclaredParameter *p = find_parameter(declaration_, name);
    if (!p) {
        fprintf(stderr, "standin: shader %s declares no parameter %s\n", declaration_.name.c_str(),
                name.c_str());
        abort();
    }
    return p->offset;
}

size_t Instance::checked_offset(const std::string &name, size_t size) const {
    const DeclaredParameter *p = find_parameter(declaration_, name);
    if (!p || p->size != size) {
        fprintf(stderr, "standin: no parameter %s of %zu bytes in shader %s\n", name.c_str(), size,
                declaration_.name.c_str());
        abort();
    }
    return p->offset;
}

void Instance::connect(size_t field, std::function<void(const miState &, void *)> shader) {
    block_[fields() + field / 4] = 1;
    shaders_[field / 4] = std::move(shader);
    sizes_[field / 4] = 4;
    for (const DeclaredParameter &p : declaration_.parameters)
        if (p.offset == field) sizes_[field / 4] = p.size;
}

void Instance::disconnect(size_t field) {
    block_[fields() + field / 4] = 0;
    shaders_[field / 4] = nullptr;
}

bool Instance::evaluate(const miState &state, const void *param, void *out, size_t *size) {
    const ptrdiff_t field = static_cast<const char *>(param) - block();
    if (field < 0 || field >= ptrdiff_t(declaration_.block_size) || field % 4 != 0) return false;
    if (!shaders_[field / 4]) return false;
    shaders_[field / 4](state, out);
    *size = sizes_[field / 4];
    return true;
}

void *Instance::evaluate_cached(State &state, const void *param) {
    // One unsigned comparison also refuses addresses before the block.
    const size_t field = size_t(static_cast<const char *>(param) - block());
    if (field >= declaration_.block_size || field % 4 != 0) return nullptr;
    const auto &shader = shaders_[field / 4];
    if (!shader) return nullptr;
    void *value = state.claim(param);
    shader(*state.raw(), value);
    ++state.evaluations;
    return value;
}

void Instance::enter(State &state) {
    state.set_shader(&record_);
    state.run_instance(serial_);
}

void Instance::init(State &state) {
    enter(state);
    miBoolean request = 0;
    renderer_.shader_init(state.raw(), params(), &request);
}

miBoolean Instance::call_lookup(State &state, miColor *result) {
    enter(state);
    return renderer_.shader_lookup(result, state.raw(), params());
}

miColor Instance::lookup(State &state, miVector point, SampleExchange *exchange, miColor incoming) {
    state.point() = point;
    state.set_exchange(exchange);
    miColor result = incoming;
    call_lookup(state, &result);
    return result;
}

miColor Instance::lookup_coord(State &state, miVector coord, int32_t mode,
                               SampleExchange *exchange) {
    const size_t coord_field = offset_of("coord") / 4, mode_field = offset_of("interpolation") / 4;
    const uint32_t connected[2] = {block_[fields() + coord_field], block_[fields() + mode_field]};
    const miVector kept_coord = param<miVector>("coord");
    const int32_t kept_mode = param<int32_t>("interpolation");
    block_[fields() + coord_field] = block_[fields() + mode_field] = 0;
    param<miVector>("coord") = coord;
    param<int32_t>("interpolation") = mode;
    state.set_exchange(exchange);
    miColor result = {0.0f, 0.0f, 0.0f, 0.0f};
    call_lookup(state, &result);
    state.set_exchange(nullptr);
    param<miVector>("coord") = kept_coord;
    param<int32_t>("interpolation") = kept_mode;
    block_[fields() + coord_field] = connected[0];
    block_[fields() + mode_field] = connected[1];
    return result;
}

std::array<float, 16> Instance::looked_up_mapping(State &state) {
    SampleExchange exchange = {};
    lookup_coord(state, {0.0f, 0.0f, 0.0f}, NEAREST_MODE, &exchange);
    std::array<float, 16> mapping;
    memcpy(mapping.data(), exchange.matrix, sizeof exchange.matrix);
    return mapping;
}

void Instance::exit(State &state) {
    enter(state);
    renderer_.shader_exit(state.raw(), params());
}

char *Instance::filename_text() {
    return renderer_.string_text(filename_tag());
}

miTag Instance::filename_tag() {
    return param<miTag>("filename");
}

// ---- Renderer --------------------------------------------------------------

Renderer::Renderer() {
    current_renderer = this;
}

Renderer::~Renderer() {
    unload();
    if (current_renderer == this) current_renderer = nullptr;
}

Renderer *Renderer::current() {
    return current_renderer;
}

void *Renderer::program_handle() {
#if defined(_WIN32)
    return reinterpret_cast<void *>(GetModuleHandleA(nullptr));
#else
    static void *self = dlopen(nullptr, RTLD_NOW);
    return self;
#endif
}

bool Renderer::load(const std::string &path, const std::string &shader, bool bind) {
    current_renderer = this;
    unload();
    module_ = open_module(path, &load_error_);
    if (!module_) return false;
    shader_lookup = reinterpret_cast<decltype(shader_lookup)>(find_symbol(module_, shader.c_str()));
    shader_init =
        reinterpret_cast<decltype(shader_init)>(find_symbol(module_, (shader + "_init").c_str()));
    shader_exit =
        reinterpret_cast<decltype(shader_exit)>(find_symbol(module_, (shader + "_exit").c_str()));
    shader_version = reinterpret_cast<decltype(shader_version)>(
        find_symbol(module_, (shader + "_version").c_str()));
    set_module_handle =
        reinterpret_cast<decltype(set_module_handle)>(find_symbol(module_, "miSetModuleHandle"));
    if (!shader_lookup || !shader_init || !shader_exit || !shader_version || !set_module_handle) {
        load_error_ = path + " lacks an entry point of shader " + shader;
        close_module(module_);
        module_ = nullptr;
        return false;
    }
    if (bind) set_module_handle(program_handle());
    const int version = shader_version();
    if (version != 1) {
        load_error_ = "shader " + shader + " has version " + std::to_string(version) + ", not 1";
        close_module(module_);
        module_ = nullptr;
        return false;
    }
    init_request_ = 0;
    shader_init(shader_state_.raw(), nullptr, &init_request_);
    return true;
}

void Renderer::unload() {
    if (!module_) return;
    shader_exit(shader_state_.raw(), nullptr);
    close_module(module_);
    module_ = nullptr;
}

miTag Renderer::add_string(const std::string &text) {
    strings_.push_back(std::make_unique<std::vector<char>>(text.begin(), text.end()));
    strings_.back()->push_back('\0');
    return miTag(strings_.size());
}

char *Renderer::string_text(miTag tag) {
    if (tag == 0 || tag > strings_.size()) return nullptr;
    return strings_[tag - 1]->data();
}

} // namespace standin

// ---- The renderer functions the library looks up by name -------------------

using standin::Renderer;

STANDIN_EXPORT void *mi_phen_eval(miState *raw, void *param) {
    standin::State *state = standin::state_of(raw);
    if (void *value = state->cached(param)) return value;
    standin::Instance *instance = standin::instance_of(raw);
    return instance ? instance->evaluate_cached(*state, param) : nullptr;
}

STANDIN_EXPORT void mi_flush_cache(miState *raw) {
    standin::state_of(raw)->flush();
}

STANDIN_EXPORT void *mi_mem_int_allocate(const char *file, int line, int size) {
    return Renderer::current()->allocator().allocate(file, line, size);
}

STANDIN_EXPORT void mi_mem_int_release(const char *file, int line, void *block) {
    Renderer::current()->allocator().release(file, line, block);
}

STANDIN_EXPORT miBoolean mi_query(int code, miState *raw, miTag tag, void *result, ...) {
    if (code == 15 || code == 127) {
        va_list arguments;
        va_start(arguments, result);
        Renderer::current()->last_query_extra = va_arg(arguments, void *);
        va_end(arguments);
        return 0;
    }
    standin::Instance *instance = standin::instance_of(raw);
    if (code != standin::QUERY_USER_POINTER || tag != 0 || !instance) return 0;
    void **slot = &instance->user_pointer();
    memcpy(result, &slot, sizeof slot);
    return 1;
}

STANDIN_EXPORT void mi_matrix_ident(float *matrix) {
    for (int i = 0; i < 16; ++i)
        matrix[i] = i % 5 == 0 ? 1.0f : 0.0f;
}

static std::string format_message(const char *format, va_list arguments) {
    va_list copy;
    va_copy(copy, arguments);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) vsnprintf(&text[0], text.size() + 1, format, arguments);
    return text;
}

STANDIN_EXPORT void mi_error(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    Renderer::current()->log().add(true, format_message(format, arguments));
    va_end(arguments);
}

STANDIN_EXPORT void mi_info(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    Renderer::current()->log().add(false, format_message(format, arguments));
    va_end(arguments);
}

STANDIN_EXPORT void *mi_db_access(miTag tag) {
    return Renderer::current()->string_text(tag);
}
