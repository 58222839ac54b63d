#include "tools/convert/output.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/convert/volume.h"

namespace convert {
namespace {

namespace fs = std::filesystem;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_signal(int) {
    interrupted = 1;
}

// Catches SIGINT and SIGTERM for its lifetime, so that the files written so
// far can be removed before the program ends.
class SignalGuard {
  public:
    SignalGuard() {
        interrupted = 0;
        previous_int_ = std::signal(SIGINT, on_signal);
        previous_term_ = std::signal(SIGTERM, on_signal);
    }
    ~SignalGuard() {
        std::signal(SIGINT, previous_int_);
        std::signal(SIGTERM, previous_term_);
    }

  private:
    void (*previous_int_)(int);
    void (*previous_term_)(int);
};

// "folder/.name.part-PID": hidden, beside the file it becomes.
std::string temporary_name(const std::string &name) {
    const fs::path path(name);
    return (path.parent_path() /
            ("." + path.filename().string() + ".part-" + std::to_string(getpid())))
        .string();
}

void write_file(const std::string &path, const std::vector<unsigned char> &bytes) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) throw Failure(EXIT_FAILED, "cannot write " + path + ": " + strerror(errno));
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int saved = errno;
    if (fclose(file) != 0 || !written)
        throw Failure(EXIT_FAILED,
                      "cannot write " + path + ": " + strerror(written ? errno : saved));
}

} // namespace

OutputNames output_names(const std::string &output, bool series, const char *extension,
                         int64_t slices) {
    fs::path path = fs::path(output).lexically_normal();
    for (const char *known : {".raw", ".bmp", ".mi"})
        if (path.extension() == known) path.replace_extension();
    const std::string folder = path.parent_path().string();
    if (folder.find('.') != std::string::npos)
        throw Failure(EXIT_BAD_ARGUMENT,
                      "OUTPUT " + output + " lies in a folder with a '.' in its name (" + folder +
                          "): the library numbers the slices of a series at the first '.' of "
                          "the whole path; choose a folder without one");
    if (path.filename().empty() || path.filename() == "." || path.filename() == "..")
        throw Failure(EXIT_BAD_ARGUMENT, "OUTPUT must name a file, not '" + output + "'");
    const std::string base = path.string();
    OutputNames names;
    names.scene = base + ".mi";
    if (!series) {
        names.volume_files.push_back(base + extension);
        return names;
    }
    if (slices > 10000)
        throw Failure(EXIT_BAD_ARGUMENT, "a series holds at most 10000 slices (four digits), not " +
                                             std::to_string(slices));
    const size_t dot = base.find('.');
    for (int64_t z = 0; z < slices; ++z) {
        char counter[8];
        snprintf(counter, sizeof counter, "_%04d", int(z));
        names.volume_files.push_back(dot == std::string::npos ? base + counter + extension
                                                              : base.substr(0, dot) + counter +
                                                                    base.substr(dot) + extension);
    }
    return names;
}

void write_outputs(const OutputNames &names,
                   const std::function<std::vector<unsigned char>(size_t file)> &volume_file,
                   const std::string &scene_text, const std::function<void(double)> &progress) {
    const SignalGuard guard;
    std::vector<std::string> written; // temporary names
    const size_t count = names.volume_files.size();
    try {
        for (size_t i = 0; i <= count; ++i) {
            if (interrupted) throw Failure(EXIT_FAILED, "interrupted: nothing written");
            const std::string &final_name = i < count ? names.volume_files[i] : names.scene;
            const std::string temporary = temporary_name(final_name);
            written.push_back(temporary);
            if (i < count)
                write_file(temporary, volume_file(i));
            else
                write_file(temporary,
                           std::vector<unsigned char>(scene_text.begin(), scene_text.end()));
            progress(double(i + 1) / double(count + 1));
        }
    } catch (...) {
        for (const std::string &temporary : written)
            std::remove(temporary.c_str());
        throw;
    }
    // Renames cannot be half done: each file is whole under its final name
    // or not there at all.
    for (size_t i = 0; i <= count; ++i) {
        const std::string &final_name = i < count ? names.volume_files[i] : names.scene;
        if (std::rename(written[i].c_str(), final_name.c_str()) != 0) {
            const std::string why = strerror(errno);
            for (size_t j = 0; j < i; ++j)
                std::remove(names.volume_files[j].c_str());
            for (size_t j = i; j <= count; ++j)
                std::remove(written[j].c_str());
            throw Failure(EXIT_FAILED, "cannot rename to " + final_name + ": " + why);
        }
    }
}

} // namespace convert
