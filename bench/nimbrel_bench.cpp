// Lookup and load benchmarks of the Nimbrel library, driven through the
// stand-in renderer, each beside its baseline in the same run, and a table of
// medians and ratios at the end.
//
//   nimbrel-bench [--quick] [benchmark flags]
//
// Every figure is the median over --benchmark_repetitions (5 unless given).
// --quick runs the lookups only, at 64^3 and 256^3. Generated files go to
// $NIMBREL_BENCH_DATA or a folder under /tmp, and are removed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "bench/lookup_loops.h"

extern "C" {
void *mi_mem_int_allocate(const char *file, int line, int size);
void mi_mem_int_release(const char *file, int line, void *block);
}

namespace {

using bench::Kind;
using bench::VolumeSpec;

constexpr size_t kPoints = 1 << 16; // lookups per timed iteration
// Random points in a volume of 256^3 or more are drawn from this many, so that
// each pass takes points no earlier pass has touched, and their cache lines
// (4 M points, 256 MB of lines and more) cannot stay in the caches between
// passes as a renderer's rays through a large volume would not.
constexpr size_t kRandomPool = size_t(1) << 22;

standin::Renderer *renderer = nullptr;
std::string folder;

const char *mode_name(int mode) {
    return mode == standin::NEAREST_MODE     ? "NEAREST"
           : mode == standin::TRILINEAR_MODE ? "TRILINEAR"
                                             : "OFFSET";
}

enum class Pattern { RANDOM, RAYS };
enum class Method { FULL, FLOOR, BARE, SERIAL, NANOVDB };

const char *pattern_name(Pattern pattern) {
    return pattern == Pattern::RANDOM ? "random" : "rays";
}

// ---- Shared volumes: one loaded at a time, in benchmark order ---------------

std::mutex volume_mutex;
std::unique_ptr<bench::LookupVolume> current_volume;

bool same(const VolumeSpec &a, const VolumeSpec &b) {
    return a.kind == b.kind && a.width == b.width && a.height == b.height && a.depth == b.depth;
}

void drop_volume() {
    if (!current_volume) return;
    bench::release_lookup_volume(*current_volume);
    current_volume.reset();
}

bench::LookupVolume &acquire_volume(const VolumeSpec &shape, int mode) {
    std::lock_guard<std::mutex> lock(volume_mutex);
    if (!current_volume || !same(current_volume->shape, shape)) {
        drop_volume();
        const size_t random = shape.width >= 256 ? kRandomPool : kPoints;
        current_volume =
            bench::load_lookup_volume(*renderer, shape, folder, random, kPoints, /*nanovdb=*/true);
    }
    if (current_volume->instance->param<int32_t>("interpolation") != mode)
        current_volume->instance->param<int32_t>("interpolation") = mode;
    return *current_volume;
}

struct LoadFiles {
    VolumeSpec shape;
    bench::BareVolume bare;
    bench::VolumeFiles files;
};
std::unique_ptr<LoadFiles> current_files;

void drop_files() {
    if (current_files) bench::remove_files(current_files->files);
    current_files.reset();
}

LoadFiles &acquire_files(const VolumeSpec &shape) {
    if (!current_files || !same(current_files->shape, shape)) {
        drop_files();
        drop_volume();
        current_files = std::make_unique<LoadFiles>();
        current_files->shape = shape;
        current_files->bare = bench::make_samples(shape);
        current_files->files = bench::write_volume(shape, current_files->bare, folder);
        current_files->bare = bench::BareVolume(); // only the files are needed
    }
    return *current_files;
}

// ---- Lookups ----------------------------------------------------------------

// The points of one timed pass: the rays from their start every time; random
// points the next kPoints of the volume's set, round it (a small volume's set
// is kPoints, reused: its rows measure lookups in the cache).
bench::PointSpan next_points(bench::LookupVolume &volume, Pattern pattern, size_t *next) {
    if (pattern == Pattern::RAYS) return volume.rays.all();
    const size_t first = *next;
    *next = (first + kPoints) % volume.random.coord.size();
    return volume.random.span(first, kPoints);
}

void lookup_benchmark(benchmark::State &state, VolumeSpec shape, int mode, Pattern pattern,
                      Method method) {
    bench::LookupVolume &volume = acquire_volume(shape, mode);
    if (method == Method::NANOVDB && !volume.nanovdb) {
        state.SkipWithError("no NanoVDB peer for colour volumes");
        return;
    }
    standin::State shading;
    SampleExchange exchange;
    memset(&exchange, 0, sizeof exchange);
    for (auto _ : state) {
        const bench::PointSpan points = next_points(volume, pattern, &volume.next_random);
        float sum = 0.0f;
        if (method == Method::FULL)
            sum = bench::run_full(*volume.instance, shading, &exchange, points);
        else if (method == Method::FLOOR)
            sum = bench::run_floor(*volume.instance, shading, &exchange, points);
        else if (method == Method::NANOVDB)
            sum = bench::run_nanovdb(*volume.nanovdb, mode, points);
        else
            sum = bench::run_bare(volume.bare, mode, points, method == Method::SERIAL);
        benchmark::DoNotOptimize(sum);
    }
    state.counters["ns"] =
        benchmark::Counter(double(kPoints), benchmark::Counter::kIsIterationInvariantRate |
                                                benchmark::Counter::kInvert);
}

// Lookups from several threads on one instance, each with its own state, the
// threads taking the random points' passes in turn from one cursor, so that
// no pass repeats another's points (and finds them in the cache).
void threads_benchmark(benchmark::State &state, VolumeSpec shape, int mode, Pattern pattern) {
    bench::LookupVolume &volume = acquire_volume(shape, mode);
    standin::State shading;
    SampleExchange exchange;
    memset(&exchange, 0, sizeof exchange);
    static std::atomic<size_t> passes{0};
    const size_t pool = volume.random.coord.size() / kPoints;
    for (auto _ : state) {
        const bench::PointSpan points =
            pattern == Pattern::RAYS ? volume.rays.all()
                                     : volume.random.span((passes++ % pool) * kPoints, kPoints);
        benchmark::DoNotOptimize(bench::run_full(*volume.instance, shading, &exchange, points));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kPoints));
}

// ---- Loading ----------------------------------------------------------------

// Resident memory of this process in bytes: the current size, or the peak
// since the last reset_peak().
int64_t resident(const char *field) {
    FILE *status = fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    int64_t kib = -1;
    const size_t length = strlen(field);
    while (fgets(line, sizeof line, status))
        if (strncmp(line, field, length) == 0) kib = strtoll(line + length + 1, nullptr, 10);
    fclose(status);
    return kib * 1024;
}

void reset_peak() {
    if (FILE *clear = fopen("/proc/self/clear_refs", "w")) {
        fputs("5", clear);
        fclose(clear);
    }
}

// The library's load: one instance initialised from the files.
struct LibraryLoad {
    std::unique_ptr<standin::Instance> instance;
    standin::State shading;

    void load(const LoadFiles &files) {
        const VolumeSpec &shape = files.shape;
        instance =
            std::make_unique<standin::Instance>(*renderer, shape.params(files.files.filename));
        instance->connect_coord([](miVector point) { return point; });
        instance->init(shading);
    }
    bool complete() {
        return instance && instance->user_pointer() &&
               instance->looked_up_mapping(shading)[15] == 1.0f;
    }
    void release() {
        instance->exit(shading);
        instance.reset();
    }
};

// What the design cannot avoid: per slice one zero-filled allocation from the
// renderer's allocator and one bulk read; for BMP one read of the pixel area
// into a buffer kept across slices, and the row copy.
struct BaselineLoad {
    std::vector<void *> slices;
    std::vector<uint8_t> image;

    void *allocate(int64_t bytes) { return mi_mem_int_allocate(__FILE__, __LINE__, int(bytes)); }

    void load(const LoadFiles &files) {
        const VolumeSpec &shape = files.shape;
        const int64_t bytes = shape.slice_bytes();
        slices.assign(shape.depth, nullptr);
        if (shape.kind == Kind::S16_BE || shape.kind == Kind::S16_LE || shape.kind == Kind::U8) {
            FILE *file = fopen(files.files.filename.c_str(), "rb");
            for (int z = 0; file && z < shape.depth; ++z) {
                slices[z] = allocate(bytes);
                if (fread(slices[z], 1, bytes, file) != size_t(bytes)) break;
            }
            if (file) fclose(file);
        } else if (shape.kind == Kind::U16_SER) {
            for (int z = 0; z < shape.depth; ++z) {
                FILE *file = fopen(files.files.written[z].c_str(), "rb");
                if (!file) break;
                slices[z] = allocate(bytes);
                const size_t got = fread(slices[z], 1, bytes, file);
                fclose(file);
                if (got != size_t(bytes)) break;
            }
        } else {
            const size_t row = 3 * size_t(shape.width); // no padding at these widths
            image.resize(row * shape.height);
            for (int z = 0; z < shape.depth; ++z) {
                FILE *file = fopen(files.files.written[z].c_str(), "rb");
                if (!file) break;
                const bool read = fseek(file, 54, SEEK_SET) == 0 &&
                                  fread(image.data(), 1, image.size(), file) == image.size();
                fclose(file);
                if (!read) break;
                uint8_t *slice = static_cast<uint8_t *>(allocate(bytes));
                slices[z] = slice;
                for (int r = shape.height - 1, k = 0; r >= 0; --r, ++k)
                    memcpy(slice + size_t(r) * row, image.data() + size_t(k) * row, row);
            }
        }
    }
    bool complete() const {
        return !slices.empty() &&
               std::all_of(slices.begin(), slices.end(), [](void *s) { return s; });
    }
    void release() {
        for (void *slice : slices)
            mi_mem_int_release(__FILE__, __LINE__, slice);
        slices.clear();
    }
};

template <typename Loader> void load_benchmark(benchmark::State &state, VolumeSpec shape) {
    LoadFiles &files = acquire_files(shape);
    Loader loader;
    for (auto _ : state) {
        loader.load(files);
        state.PauseTiming();
        if (!loader.complete()) {
            state.SkipWithError("load incomplete");
            break;
        }
        loader.release();
        state.ResumeTiming();
    }
    const double megabytes = double(shape.volume_bytes()) / 1e6;
    state.counters["MBps"] =
        benchmark::Counter(megabytes, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["ms"] = benchmark::Counter(1e-3, benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
    // Peak resident memory of one more load, above what was resident before.
    const int64_t before = resident("VmRSS:");
    reset_peak();
    loader.load(files);
    const int64_t peak = resident("VmHWM:");
    loader.release();
    state.counters["peak_MiB"] = double(peak - before) / (1 << 20);
}

// ---- The table ----------------------------------------------------------------

// Keeps every repetition's counters by benchmark name; prints a dot per run.
class Collector : public benchmark::BenchmarkReporter {
  public:
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            if (run.error_occurred) {
                fprintf(stderr, "\n%s: %s\n", run.benchmark_name().c_str(),
                        run.error_message.c_str());
                failed = true;
                continue;
            }
            auto &counters = values[run.run_name.str()];
            for (const auto &counter : run.counters)
                counters[counter.first].push_back(counter.second);
            const auto items = run.counters.find("items_per_second");
            if (items != run.counters.end()) counters["items"].push_back(items->second);
        }
        fputc('.', stderr);
        fflush(stderr);
    }

    // Median of the counter over the repetitions, or -1.
    double median(const std::string &name, const std::string &counter) const {
        const auto found = values.find(name);
        if (found == values.end()) return -1;
        const auto series = found->second.find(counter);
        if (series == found->second.end() || series->second.empty()) return -1;
        std::vector<double> sorted = series->second;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : 0.5 * (sorted[n / 2 - 1] + sorted[n / 2]);
    }

    bool failed = false;

  private:
    std::map<std::string, std::map<std::string, std::vector<double>>> values;
};

struct LookupRow {
    VolumeSpec shape;
    int mode;
    Pattern pattern;
    std::string name; // prefix of its three benchmarks
};

struct LoadRow {
    VolumeSpec shape;
    std::string name;
};

std::vector<LookupRow> lookup_rows;
std::vector<LoadRow> load_rows, size_rows;
std::string threads_name;

// The library's load of `shape` beside the baseline loop, as one table row.
void register_load(const std::string &name, const VolumeSpec &shape, std::vector<LoadRow> &rows) {
    rows.push_back({shape, name});
    benchmark::RegisterBenchmark((name + "/library").c_str(), load_benchmark<LibraryLoad>, shape)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((name + "/baseline").c_str(), load_benchmark<BaselineLoad>, shape)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

void register_benchmarks(bool quick) {
    std::vector<VolumeSpec> volumes;
    const int sizes_full[] = {64, 256, 512}, sizes_quick[] = {64, 256};
    for (Kind kind : {Kind::S16_BE, Kind::S16_LE, Kind::U8}) {
        if (quick) {
            for (int size : sizes_quick)
                volumes.push_back({kind, size, size, size});
        } else {
            for (int size : sizes_full)
                volumes.push_back({kind, size, size, size});
        }
    }
    volumes.push_back({Kind::BMP, 256, 256, 64});
    std::stable_sort(volumes.begin(), volumes.end(),
                     [](const VolumeSpec &a, const VolumeSpec &b) { return a.width < b.width; });

    for (const VolumeSpec &shape : volumes)
        for (int mode : {standin::NEAREST_MODE, standin::TRILINEAR_MODE, standin::OFFSET_MODE})
            for (Pattern pattern : {Pattern::RANDOM, Pattern::RAYS}) {
                const std::string name =
                    "lookup/" + shape.label() + "/" + mode_name(mode) + "/" + pattern_name(pattern);
                lookup_rows.push_back({shape, mode, pattern, name});
                for (Method method :
                     {Method::FULL, Method::FLOOR, Method::BARE, Method::SERIAL, Method::NANOVDB}) {
                    if (method == Method::NANOVDB && shape.channels() != 1) continue;
                    const char *suffix = method == Method::FULL     ? "/full"
                                         : method == Method::FLOOR  ? "/floor"
                                         : method == Method::BARE   ? "/bare"
                                         : method == Method::SERIAL ? "/serial"
                                                                    : "/nanovdb";
                    benchmark::RegisterBenchmark((name + suffix).c_str(), lookup_benchmark, shape,
                                                 mode, pattern, method)
                        ->Unit(benchmark::kMicrosecond);
                }
            }

    const VolumeSpec threads_volume = {Kind::S16_LE, 256, 256, 256};
    threads_name = "threads/" + threads_volume.label() + "/TRILINEAR/random";
    benchmark::RegisterBenchmark(threads_name.c_str(), threads_benchmark, threads_volume,
                                 int(standin::TRILINEAR_MODE), Pattern::RANDOM)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    if (quick) return;

    const VolumeSpec loads[] = {{Kind::S16_LE, 512, 512, 512},
                                {Kind::U8, 512, 512, 1024},
                                {Kind::U16_SER, 512, 512, 512},
                                {Kind::BMP, 512, 512, 256}};
    for (const VolumeSpec &shape : loads)
        register_load("load/" + shape.label(), shape, load_rows);
    for (int size : {64, 128, 256, 512}) {
        const VolumeSpec shape = {Kind::S16_LE, size, size, size};
        register_load("load-size/" + shape.label(), shape, size_rows);
    }
}

void print_tables(const Collector &results) {
    printf(
        "\nLookups: ns per lookup, median of the repetitions. own = full - floor (the library's\n"
        "own work); ratio = own / bare, with its target for the in-cache rows (64^3); nanovdb =\n"
        "a dense NanoVDB float grid of the same samples through its accessor and samplers, the\n"
        "target of own on every row. serial: the bare read with each point waiting for the\n"
        "previous answer (one memory access at a time). Random points in 256^3 and 512^3 are\n"
        "new to every pass (4 M in all).\n");
    printf("%-15s %-9s %-6s %8s %8s %8s %8s %8s %8s %6s %6s %6s\n", "volume", "mode", "points",
           "bare", "serial", "nanovdb", "full", "floor", "own", "/nano", "ratio", "target");
    double worst_floor = 0;
    std::vector<double> floors;
    int over = 0, rows = 0, above_nano = 0, nano_rows = 0;
    for (const LookupRow &row : lookup_rows) {
        const double full = results.median(row.name + "/full", "ns") * 1e9;
        const double floor = results.median(row.name + "/floor", "ns") * 1e9;
        const double bare = results.median(row.name + "/bare", "ns") * 1e9;
        const double serial = results.median(row.name + "/serial", "ns") * 1e9;
        const double nano = results.median(row.name + "/nanovdb", "ns") * 1e9;
        if (full < 0 || floor < 0 || bare < 0) continue; // not run (filtered out)
        const double own = full - floor, ratio = own / bare;
        const bool in_cache = row.shape.width <= 64;
        const double target = row.mode == standin::TRILINEAR_MODE ? 2.0
                              : row.mode == standin::OFFSET_MODE  ? 6.0
                                                                  : 3.0;
        worst_floor = std::max(worst_floor, floor);
        floors.push_back(floor);
        ++rows;
        std::string flags;
        if (in_cache && ratio > target) {
            ++over;
            flags += " ratio";
        }
        char nano_text[16] = "-", per_nano[16] = "-", target_text[16] = "-";
        if (nano > 0) {
            ++nano_rows;
            snprintf(nano_text, sizeof nano_text, "%.2f", nano);
            snprintf(per_nano, sizeof per_nano, "%.2f", own / nano);
            if (own > nano) {
                ++above_nano;
                flags += " >nano";
            }
        }
        if (in_cache) snprintf(target_text, sizeof target_text, "%.1f", target);
        printf("%-15s %-9s %-6s %8.2f %8.2f %8s %8.2f %8.2f %8.2f %6s %6.2f %6s%s\n",
               row.shape.label().c_str(), mode_name(row.mode), pattern_name(row.pattern), bare,
               serial, nano_text, full, floor, own, per_nano, ratio, target_text, flags.c_str());
    }
    printf("in-cache rows over their ratio target: %d; rows whose own time is above NanoVDB's: %d "
           "of %d\n",
           over, above_nano, nano_rows);
    std::sort(floors.begin(), floors.end());
    printf("host floor over the %d rows: median %.2f ns, highest %.2f ns\n", rows,
           floors.empty() ? 0.0 : floors[floors.size() / 2], worst_floor);

    const double one = results.median(threads_name + "/real_time/threads:1", "items");
    const double two = results.median(threads_name + "/real_time/threads:2", "items");
    if (one > 0 && two > 0)
        printf("\nThreads (%s): 1 thread %.1f M lookups/s, 2 threads %.1f M lookups/s, "
               "ratio %.2f (target 1.8)\n",
               threads_name.c_str() + 8, one / 1e6, two / 1e6, two / one);

    if (!load_rows.empty()) {
        printf("\nLoading from the page cache: MB/s, median of the repetitions; peak = resident "
               "memory above the start of one load\n");
        printf("%-18s %8s %9s %9s %6s %9s %9s %7s\n", "source", "MB", "library", "baseline",
               "ratio", "peak MiB", "limit MiB", "peak ok");
        for (const LoadRow &row : load_rows) {
            if (results.median(row.name + "/library/real_time", "MBps") < 0) continue;
            const double library = results.median(row.name + "/library/real_time", "MBps");
            const double baseline = results.median(row.name + "/baseline/real_time", "MBps");
            const double peak = results.median(row.name + "/library/real_time", "peak_MiB");
            const double image = row.shape.kind == Kind::BMP ? double(row.shape.slice_bytes()) : 0;
            const double limit = (double(row.shape.volume_bytes()) + image) / (1 << 20) + 16;
            printf("%-18s %8.1f %9.0f %9.0f %6.2f %9.1f %9.1f %7s\n", row.shape.label().c_str(),
                   row.shape.volume_bytes() / 1e6, library, baseline, library / baseline, peak,
                   limit, peak <= limit ? "yes" : "no");
        }
        printf("\nLoad time against volume size (s16le block); ms per MB is flat where the\n"
               "time is linear in the size:\n");
        printf("%-15s %8s %9s %9s %9s %12s %6s\n", "volume", "MB", "ms", "ms/MB", "MB/s",
               "baseline MB/s", "ratio");
        for (const LoadRow &row : size_rows) {
            const double ms = results.median(row.name + "/library/real_time", "ms");
            if (ms < 0) continue;
            const double mbps = results.median(row.name + "/library/real_time", "MBps");
            const double baseline = results.median(row.name + "/baseline/real_time", "MBps");
            const double megabytes = row.shape.volume_bytes() / 1e6;
            printf("%-15s %8.1f %9.2f %9.3f %9.0f %12.0f %6.2f\n", row.shape.label().c_str(),
                   megabytes, ms, ms / megabytes, mbps, baseline, mbps / baseline);
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    bool quick = false;
    std::vector<char *> args = {argv[0]};
    static char repetitions[] = "--benchmark_repetitions=5";
    static char min_time[] = "--benchmark_min_time=0.05";
    args.push_back(repetitions);
    args.push_back(min_time);
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0)
            quick = true;
        else
            args.push_back(argv[i]);
    }
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

    standin::Renderer host;
    host.log().set_echo(false);
    if (!host.load(standin::default_library_path())) {
        fprintf(stderr, "cannot load the library: %s\n", host.load_error().c_str());
        return 1;
    }
    renderer = &host;
    const bool own_folder = getenv("NIMBREL_BENCH_DATA") == nullptr;
    int status = 0;
    try {
        folder = bench::data_folder();
        register_benchmarks(quick);
        Collector collector;
        benchmark::RunSpecifiedBenchmarks(&collector);
        fputc('\n', stderr);
        drop_volume();
        drop_files();
        print_tables(collector);
        status = collector.failed ? 1 : 0;
    } catch (const std::exception &error) {
        fprintf(stderr, "\nnimbrel-bench: %s\n", error.what());
        status = 1;
    }
    drop_volume();
    drop_files();
    if (own_folder && !folder.empty()) std::filesystem::remove_all(folder);
    benchmark::Shutdown();
    return status;
}
