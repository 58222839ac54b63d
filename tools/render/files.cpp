#include "tools/render/files.h"

#include <cerrno>
#include <cstring>
#include <random>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace render {

namespace fs = std::filesystem;

fs::path path_of(const std::string &name) {
    return fs::u8path(name);
}

std::string name_of(const fs::path &path) {
    return path.u8string();
}

FILE *open_file(const fs::path &path, const char *mode) {
#if defined(_WIN32)
    const std::wstring wide_mode(mode, mode + strlen(mode));
    return _wfopen(path.c_str(), wide_mode.c_str());
#else
    return fopen(path.c_str(), mode);
#endif
}

namespace {

// Replaces `to` by `from`, also when `to` exists. False, with `error` set,
// when it cannot (on Windows also while another program has `to` open).
bool replace_file(const fs::path &from, const fs::path &to, std::string *error) {
#if defined(_WIN32)
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    *error = "cannot replace it (Windows error " + std::to_string(GetLastError()) + ")";
#else
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    *error = strerror(errno);
#endif
    return false;
}

} // namespace

bool write_whole_file(const fs::path &path, const std::vector<unsigned char> &bytes,
                      std::string *error) {
    fs::path temporary = path;
    temporary += ".part" + std::to_string(std::random_device{}());
    FILE *file = open_file(temporary, "wb");
    if (!file) {
        *error = strerror(errno);
        return false;
    }
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int saved = errno;
    const bool closed = fclose(file) == 0;
    if (!written || !closed) *error = strerror(written ? errno : saved);
    if (written && closed && replace_file(temporary, path, error)) return true;
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return false;
}

#if defined(_WIN32)

namespace {

std::wstring wide(const std::string &utf8) {
    if (utf8.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring text(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), length);
    return text;
}

std::string narrow(const std::wstring &text, UINT code_page, bool *lossless) {
    if (text.empty()) return {};
    BOOL defaulted = FALSE;
    BOOL *const ask = code_page == CP_UTF8 ? nullptr : &defaulted;
    const DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int length = WideCharToMultiByte(code_page, flags, text.data(), int(text.size()), nullptr,
                                           0, nullptr, ask);
    std::string bytes(size_t(length), '\0');
    WideCharToMultiByte(code_page, flags, text.data(), int(text.size()), bytes.data(), length,
                        nullptr, ask);
    if (lossless) *lossless = !defaulted;
    return bytes;
}

} // namespace

bool library_file_name(const std::string &name, std::string *result) {
    bool lossless = true;
    *result = narrow(wide(name), GetACP(), &lossless);
    return lossless;
}

std::vector<std::string> utf8_arguments(int argc, wchar_t **argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(narrow(argv[i], CP_UTF8, nullptr));
    return arguments;
}

#else

bool library_file_name(const std::string &name, std::string *result) {
    *result = name;
    return true;
}

#endif

} // namespace render
