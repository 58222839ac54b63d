// Runs one lookup method over one point set, once, for instruction counts:
//
//   valgrind --tool=callgrind --toggle-collect='bench::run_*'
//            nimbrel-bench-count s16le 64 TRILINEAR random full
//
// Methods: full, floor, bare, serial, nanovdb. Prints the number of lookups made, so that the
// collected count divides into instructions per lookup.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "bench/bench_data.h"
#include "bench/lookup_loops.h"

int main(int argc, char **argv) {
    if (argc != 6 && argc != 7) {
        fprintf(stderr,
                "usage: %s s16be|s16le|u8|bmp SIZE NEAREST|TRILINEAR|OFFSET random|rays "
                "full|floor|bare|serial|nanovdb [POINTS]\n",
                argv[0]);
        return 2;
    }
    const std::string kind = argv[1], mode_text = argv[3], pattern = argv[4], method = argv[5];
    const int size = atoi(argv[2]);
    const size_t points = argc == 7 ? size_t(atol(argv[6])) : 4096;
    bench::VolumeSpec shape = {bench::Kind::S16_LE, size, size, size};
    if (kind == "s16be")
        shape.kind = bench::Kind::S16_BE;
    else if (kind == "u8")
        shape.kind = bench::Kind::U8;
    else if (kind == "bmp")
        shape = {bench::Kind::BMP, size, size, size / 4};
    const int mode = mode_text == "NEAREST"     ? standin::NEAREST_MODE
                     : mode_text == "TRILINEAR" ? standin::TRILINEAR_MODE
                                                : standin::OFFSET_MODE;

    standin::Renderer renderer;
    renderer.log().set_echo(false);
    if (!renderer.load(standin::default_library_path())) {
        fprintf(stderr, "cannot load the library: %s\n", renderer.load_error().c_str());
        return 1;
    }
    try {
        const std::string folder = bench::data_folder();
        auto volume =
            bench::load_lookup_volume(renderer, shape, folder, points, points, method == "nanovdb");
        volume->instance->param<int32_t>("interpolation") = mode;
        const bench::PointSpan set = (pattern == "rays" ? volume->rays : volume->random).all();
        standin::State state;
        SampleExchange exchange;
        memset(&exchange, 0, sizeof exchange);
        float sum = 0;
        if (method == "full")
            sum = bench::run_full(*volume->instance, state, &exchange, set);
        else if (method == "floor")
            sum = bench::run_floor(*volume->instance, state, &exchange, set);
        else if (method == "nanovdb" && volume->nanovdb)
            sum = bench::run_nanovdb(*volume->nanovdb, mode, set);
        else
            sum = bench::run_bare(volume->bare, mode, set, method == "serial");
        printf("%zu lookups, sum %g\n", set.count, double(sum));
        bench::release_lookup_volume(*volume);
        if (!getenv("NIMBREL_BENCH_DATA")) remove(folder.c_str());
    } catch (const std::exception &error) {
        fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
