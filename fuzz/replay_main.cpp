// Runs a fuzz target's input check on files, without the fuzzer: each
// argument is a file, or a folder whose files are all run. Exits 0 when every
// input ended cleanly; a violated check aborts.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace fs = std::filesystem;

static bool replay(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that a read past it is caught.
    std::vector<uint8_t> input(bytes);
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

int main(int argc, char **argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> paths;
        if (fs::is_directory(argv[i])) {
            for (const auto &entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file()) paths.push_back(entry.path());
            std::sort(paths.begin(), paths.end());
        } else {
            paths.push_back(argv[i]);
        }
        for (const fs::path &path : paths) {
            ok = replay(path) && ok;
            ++replayed;
        }
    }
    printf("replayed %d input%s\n", replayed, replayed == 1 ? "" : "s");
    return ok ? 0 : 1;
}
