// The tool's files. Names travel as UTF-8 on every platform (on Windows the
// program takes its arguments as UTF-16 and converts them), and become paths
// only here; the shader library alone takes a name in the system's narrow
// encoding, which on Windows is the ANSI code page.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace render {

// The path named by UTF-8 `name`.
std::filesystem::path path_of(const std::string &name);

// The UTF-8 name of `path`.
std::string name_of(const std::filesystem::path &path);

// fopen of a path with any characters in it.
FILE *open_file(const std::filesystem::path &path, const char *mode);

// Writes `bytes` to `path` by way of a temporary file in the same folder, so
// that the file is either whole or left as it was. False, with `error` set
// to a one-line reason, when it cannot.
bool write_whole_file(const std::filesystem::path &path, const std::vector<unsigned char> &bytes,
                      std::string *error);

// UTF-8 `name` as the shader library takes it: unchanged, or on Windows in
// the ANSI code page, where the library's fopen reads it. False when a
// character of `name` has no place in that code page.
bool library_file_name(const std::string &name, std::string *narrow);

#if defined(_WIN32)
// The program's UTF-16 arguments as UTF-8.
std::vector<std::string> utf8_arguments(int argc, wchar_t **argv);
#endif

} // namespace render
