// Hostile files: ones that are not what a volume file should be, or change
// while they are read, and names at the system's limits. Each load ends with one clear message or
// a correct load; never a hang, a crash, a read past a buffer or a leak.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "fuzz/fuzz_inputs.h"
#include "support/test_support.h"

using standin::Instance;
using standin::Params;
using testing_support::write_file;
namespace fs = std::filesystem;

namespace {

enum Source { BMP_SERIES_SOURCE, RAW_SERIES_SOURCE, BLOCK_SOURCE };
const char *const source_names[] = {"BMP series", "raw series", "block file"};

// 2 x 2 x 2 volumes: the type's parameters, given a file name.
Params params_for(Source source, const std::string &name) {
    const int filetypes[] = {BMP_SERIES, U16_SERIES, S16_BLOCK};
    const int side = source == BMP_SERIES_SOURCE ? 0 : 2; // a BMP series' shape is its own
    return Params{name, {0, 0, 0}, 2, standin::NEAREST_MODE, filetypes[source], side, side, 1};
}

class Hardening : public testing_support::RendererTest {
  protected:
    // Writes a loadable 2 x 2 x 2 volume of `source` named from `stem`
    // (series: stem_0000.ext, stem_0001.ext) and returns the name to load.
    std::string write_volume(Source source, const fs::path &stem) {
        if (source == BLOCK_SOURCE) {
            write_file(stem.string() + ".raw", fuzz::raw_bytes(2 * 2 * 2 * 2 + 3));
            return stem.string() + ".raw";
        }
        for (int i = 0; i < 2; ++i) {
            const std::string name = stem.string() + "_000" + std::to_string(i);
            if (source == BMP_SERIES_SOURCE)
                write_file(name + ".bmp", fuzz::bmp_file(2, 2, i));
            else
                write_file(name + ".raw", fuzz::raw_bytes(2 * 2 * 2 + 5, i));
        }
        return stem.string() + (source == BMP_SERIES_SOURCE ? "_0000.bmp" : "_0000.raw");
    }

    struct Outcome {
        bool finished;                   // init returned within the time limit
        bool loaded;                     // the mapping was captured
        std::vector<std::string> errors; // mi_error texts
    };

    // The whole life cycle of one instance loading `name`: init (given
    // `limit` to return), lookups in every mode, exit. Checks on the way that
    // the name text is restored byte for byte and nothing stays allocated.
    // `unblock` is run when init has not returned in time.
    Outcome life_cycle(const Params &params, std::chrono::seconds limit = std::chrono::seconds(20),
                       std::function<void()> unblock = nullptr) {
        renderer.log().clear();
        Instance instance(renderer, params);
        instance.connect_coord([](miVector p) { return p; });
        const std::string name = params.filename;
        auto init = std::async(std::launch::async, [&] {
            standin::State init_state;
            instance.init(init_state);
        });
        Outcome outcome{true, false, {}};
        if (init.wait_for(limit) != std::future_status::ready) {
            outcome.finished = false;
            if (unblock) unblock();
            init.wait();
        }
        expect_name_restored(instance, name);
        outcome.errors = renderer.log().errors();
        const VolumeData *volume = instance.volume();
        outcome.loaded = volume && volume->mapping[15] == 1.0f;
        for (int mode : {standin::NEAREST_MODE, standin::TRILINEAR_MODE, standin::OFFSET_MODE}) {
            instance.param<int32_t>("interpolation") = mode;
            for (float c : {0.0f, 0.5f, 1.0f}) {
                SampleExchange exchange = {};
                const miColor colour =
                    instance.lookup(state, {c, c, c}, &exchange, {0, 0, 0, 0.5f});
                EXPECT_EQ(colour.a, 0.5f);
            }
        }
        instance.exit(state);
        EXPECT_EQ(renderer.allocator().live_blocks(), 0u) << renderer.allocator().describe_live();
        return outcome;
    }
};

// One message that says `what` and names `path`, and no load.
void expect_one_error(const std::vector<std::string> &errors, const std::string &what,
                      const std::string &path = "") {
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(what), std::string::npos) << errors[0];
    if (!path.empty()) {
        EXPECT_NE(errors[0].find(path), std::string::npos) << errors[0];
    }
}

// Files no load can read: a FIFO, which a blocking open would wait on for a
// writer (should init block anyway, a writer is opened to release it and the
// test fails), a device that never ends and has no size, and symbolic links
// that lead round in a loop.
TEST_F(Hardening, FilesThatCannotBeReadAreRefusedWithoutWaiting) {
    const std::string fifo = (folder / "pipe_0000").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << strerror(errno);
    const fs::path a = folder / "loop_a", b = folder / "loop_b", self = folder / "self";
    fs::create_symlink(b, a);
    fs::create_symlink(a, b);
    fs::create_symlink(self, self);
    const struct {
        std::string path, message;
    } cases[] = {
        {fifo, "not a regular file"},
        {"/dev/zero", "not a regular file"},
        {a.string(), "could not open file"},
        {self.string(), "could not open file"},
    };
    for (Source source : {BMP_SERIES_SOURCE, RAW_SERIES_SOURCE, BLOCK_SOURCE})
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(source_names[source]) + " " + c.path);
            const Outcome outcome =
                life_cycle(params_for(source, c.path), std::chrono::seconds(10), [&] {
                    const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                    if (writer >= 0) close(writer);
                });
            EXPECT_TRUE(outcome.finished) << "init blocked";
            EXPECT_FALSE(outcome.loaded);
            expect_one_error(outcome.errors, c.message, c.path);
        }
}

// Root reads a mode-000 file anyway, so as root the load runs in a child
// process that has given up root for the unprivileged "nobody" user.
TEST_F(Hardening, UnreadableFileCannotBeOpened) {
    const bool root = geteuid() == 0;
    for (Source source : {BMP_SERIES_SOURCE, RAW_SERIES_SOURCE, BLOCK_SOURCE}) {
        SCOPED_TRACE(source_names[source]);
        const std::string name = write_volume(source, folder / ("locked" + std::to_string(source)));
        ASSERT_EQ(chmod(name.c_str(), 0), 0);
        if (!root) {
            const Outcome outcome = life_cycle(params_for(source, name));
            expect_one_error(outcome.errors, "could not open file " + name);
            continue;
        }
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipe_ends[0]);
            std::string report;
            if (setgid(65534) != 0 || setuid(65534) != 0) {
                report = "SKIP cannot become nobody";
            } else {
                renderer.log().clear();
                Instance instance(renderer, params_for(source, name));
                standin::State child_state;
                instance.init(child_state);
                const auto errors = renderer.log().errors();
                report =
                    errors.size() == 1 ? errors[0] : "errors: " + std::to_string(errors.size());
                instance.exit(child_state);
                if (renderer.allocator().live_blocks() != 0) report = "blocks left after exit";
            }
            if (::write(pipe_ends[1], report.data(), report.size()) < 0) _exit(2);
            _exit(0);
        }
        close(pipe_ends[1]);
        std::string report;
        char buffer[512];
        for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
            report.append(buffer, size_t(got));
        close(pipe_ends[0]);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
        if (report.rfind("SKIP", 0) == 0)
            GTEST_SKIP() << report.substr(5) << ": not tested as root";
        EXPECT_EQ(report, "could not open file " + name);
    }
}

// The library measures a file, then asks the renderer for the buffer, then
// reads. The renderer's allocator is the seam: the file is cut short when the
// library asks for its fourth block (after the record, the saved name and the
// table: the buffer slice 0 is read into), as another process could cut it at
// that moment. Raw reads keep what was read and zeros after it; a BMP pixel
// area that comes short is "bitsize mismatch". (Stream buffering means a
// small file is read whole at its first read: the BMP case is 12 KB.)
TEST_F(Hardening, FileCutShortBetweenMeasuringAndReading) {
    const struct {
        Source source;
        off_t cut_to;
        size_t start; // where slice 0 begins in the file as measured
        bool loads;
    } cases[] = {
        {RAW_SERIES_SOURCE, 7, 5, true}, // 13 bytes measured: slice 0 gets bytes 5 and 6
        {BLOCK_SOURCE, 5, 3, true},      // 19 bytes measured: slice 0 gets 3 and 4, slice 1 none
        {BMP_SERIES_SOURCE, 1000, 0, false}, // 64 x 64: the header alone is read by then
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(source_names[c.source]);
        const std::string name =
            write_volume(c.source, folder / ("cut" + std::to_string(c.source)));
        const std::vector<uint8_t> file = fuzz::raw_bytes(c.source == BLOCK_SOURCE ? 19 : 13, 0);
        // Larger than the stream's buffer, which would otherwise hold the
        // whole file from the first read of the header on.
        if (c.source == BMP_SERIES_SOURCE) write_file(name, fuzz::bmp_file(64, 64));
        int requests = 0;
        renderer.allocator().on_allocate([&](int) {
            if (++requests == 4) {
                EXPECT_EQ(truncate(name.c_str(), c.cut_to), 0);
            }
        });
        auto instance = load(params_for(c.source, name));
        renderer.allocator().on_allocate(nullptr);
        ASSERT_GE(requests, 4);
        const VolumeData *volume = instance->volume();
        ASSERT_NE(volume, nullptr);
        if (c.loads) {
            EXPECT_TRUE(renderer.log().errors().empty());
            for (int z = 0; z < 2; ++z) {
                const uint8_t *slice = reinterpret_cast<const uint8_t *>(volume->slices16[z]);
                ASSERT_NE(slice, nullptr);
                const size_t start = c.source == BLOCK_SOURCE ? c.start + 8 * size_t(z) : c.start;
                const std::vector<uint8_t> own =
                    c.source == BLOCK_SOURCE || z == 0 ? file : fuzz::raw_bytes(13, 1);
                for (size_t i = 0; i < 8; ++i) {
                    // Slice 1 of the series comes whole from its own file.
                    const bool read =
                        (c.source == RAW_SERIES_SOURCE && z == 1) || start + i < size_t(c.cut_to);
                    EXPECT_EQ(slice[i], read ? own[start + i] : 0)
                        << "slice " << z << " byte " << i;
                }
            }
        } else {
            EXPECT_EQ(renderer.log().errors(), std::vector<std::string>{"bitsize mismatch"});
            EXPECT_EQ(volume->slices8[0], nullptr);
        }
        instance->exit(state);
    }
}

// sysfs files claim 4096 bytes and hold fewer: a real file shorter than its
// measured size, with no seam at all.
TEST_F(Hardening, FileShorterThanItsStatedSize) {
    const char *path = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat status;
    if (stat(path, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size != 4096)
        GTEST_SKIP() << path << " is not a 4096-byte sysfs file here";
    const Outcome outcome = life_cycle(Params{path, {0, 0, 0}, 1, 0, U8_BLOCK, 16, 16, 1});
    EXPECT_TRUE(outcome.loaded); // bytes 3840..4095 read as nothing: a zero slice
    EXPECT_TRUE(outcome.errors.empty());
}

// Names are data, never formats: they reach the messages as written.
TEST_F(Hardening, PercentSignsInTheNameAreText) {
    for (Source source : {BMP_SERIES_SOURCE, RAW_SERIES_SOURCE, BLOCK_SOURCE}) {
        SCOPED_TRACE(source_names[source]);
        const std::string name =
            write_volume(source, folder / ("p%s%n%d%%x" + std::to_string(source)));
        const Outcome loaded = life_cycle(params_for(source, name));
        EXPECT_TRUE(loaded.loaded);
        EXPECT_TRUE(loaded.errors.empty());
        EXPECT_EQ(renderer.log().infos(), std::vector<std::string>{"filename = " + name + " "});

        const std::string missing =
            (folder / ("m%s%n%99999d" + std::to_string(source) + ".raw")).string();
        const Outcome failed = life_cycle(params_for(source, missing));
        expect_one_error(failed.errors, "could not open file " + missing);
    }
}

// base/d.../d.../leaf, exactly `length` characters long, through folders of
// at most 200 characters, which are created.
std::string path_of_length(const fs::path &base, const std::string &leaf, size_t length) {
    std::string path = base.string();
    // room: the characters left for "/folder" steps before "/leaf".
    for (long room = long(length) - long(path.size()) - 1 - long(leaf.size()); room > 0;) {
        long folder = std::min(200L, room - 1);
        if (room - (folder + 1) == 1) --folder; // never leave room for a lone "/"
        path += "/" + std::string(size_t(folder), 'd');
        room -= folder + 1;
    }
    fs::create_directories(path);
    return path + "/" + leaf;
}

TEST_F(Hardening, NamesAtAndBeyondTheLongestPath) {
    for (Source source : {BMP_SERIES_SOURCE, RAW_SERIES_SOURCE, BLOCK_SOURCE}) {
        SCOPED_TRACE(source_names[source]);
        // The longest name the system opens: PATH_MAX less its terminating zero.
        const size_t suffix = source == BLOCK_SOURCE ? 4 : 9; // ".raw" or "_0000.bmp"
        const std::string stem =
            path_of_length(folder, "v" + std::to_string(source), PATH_MAX - 1 - suffix);
        const std::string name = write_volume(source, stem);
        ASSERT_EQ(name.size(), size_t(PATH_MAX - 1));
        const Outcome loaded = life_cycle(params_for(source, name));
        EXPECT_TRUE(loaded.loaded);
        EXPECT_TRUE(loaded.errors.empty());

        // One character more cannot be opened; the message is cut to the
        // 1023 characters a message holds.
        for (const std::string &longer :
             {name.substr(0, name.size() - 4) + "x" + name.substr(name.size() - 4),
              name + std::string(3000, 'x')}) {
            const Outcome failed = life_cycle(params_for(source, longer));
            ASSERT_EQ(failed.errors.size(), 1u);
            EXPECT_EQ(failed.errors[0], ("could not open file " + longer).substr(0, 1023));
        }
    }
}

} // namespace

// The first call of a renderer function may come from several threads at
// once: the module handle is handed over again after init, which empties
// every slot, so that concurrent lookups make the first calls of mi_query,
// mi_flush_cache and mi_phen_eval. Meant for the thread-sanitizer build.
TEST_F(Hardening, ConcurrentFirstCallsOfRendererFunctions) {
    auto instance = load(params_for(RAW_SERIES_SOURCE, (folder / "none_0000.raw").string()));
    ASSERT_EQ(renderer.log().errors().size(), 1u);
    ASSERT_EQ(renderer.set_module_handle(standin::Renderer::program_handle()), 0);

    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    std::vector<int> edges(4, -1);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            standin::State own;
            SampleExchange exchange = {};
            ++ready;
            while (ready.load() < 4)
                std::this_thread::yield();
            const miColor colour =
                instance->lookup(own, {0.5f, 0.5f, 0.5f}, &exchange, {1, 1, 1, 1});
            edges[size_t(t)] = colour.r == 0.0f && colour.a == 1.0f ? exchange.edge : -2;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    // 2 x 2 x 2 grid, nothing loaded: (0.5, 0.5, 0.5) lies inside, on the x low face.
    EXPECT_EQ(edges, std::vector<int>(4, EDGE_X_LOW));
    instance->exit(state);
}
