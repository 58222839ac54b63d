#include "tools/render/progress.h"

#include <algorithm>
#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace render {
namespace {

// Whether standard error is a terminal: on Windows a console, which
// GetConsoleMode recognises (_isatty also takes the NUL device for one).
bool stderr_is_terminal() {
#if defined(_WIN32)
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

} // namespace

Progress::Progress(std::string label, bool quiet)
    : label_(std::move(label)), quiet_(quiet), terminal_(stderr_is_terminal()),
      start_(std::chrono::steady_clock::now()), last_draw_(start_) {}

double Progress::seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string Progress::line(double fraction, const std::string &detail) const {
    char text[160];
    if (fraction < 0) {
        snprintf(text, sizeof text, "%-6s %s  %.2f s", label_.c_str(), detail.c_str(), seconds());
        return text;
    }
    const int width = 30;
    const int filled = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * width);
    const std::string bar = std::string(filled, '#') + std::string(width - filled, '-');
    snprintf(text, sizeof text, "%-6s [%s] %3d%%  %s  %.2f s", label_.c_str(), bar.c_str(),
             static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100), detail.c_str(), seconds());
    return text;
}

void Progress::update(double fraction, const std::string &detail) {
    if (quiet_ || !terminal_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    redraw(line(fraction, detail));
    fflush(stderr);
    drawn_ = true;
}

void Progress::finish(double fraction, const std::string &detail) {
    if (quiet_) return;
    if (terminal_)
        redraw(line(fraction, detail));
    else
        fputs(line(fraction, detail).c_str(), stderr);
    fputc('\n', stderr);
    drawn_ = false;
    drawn_width_ = 0;
}

void Progress::abandon() {
    if (drawn_) fputc('\n', stderr);
    drawn_ = false;
    drawn_width_ = 0;
}

// Back to the start of the line, and spaces over what is left of the last
// text: no escape sequences, which a Windows console shows as they are.
void Progress::redraw(const std::string &text) {
    const int pad = std::max(0, drawn_width_ - int(text.size()));
    fprintf(stderr, "\r%s%*s", text.c_str(), pad, "");
    drawn_width_ = int(text.size());
}

std::string format_bytes(double bytes) {
    char text[32];
    if (bytes >= 1e6)
        snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    else if (bytes >= 1e3)
        snprintf(text, sizeof text, "%.0f kB", bytes / 1e3);
    else
        snprintf(text, sizeof text, "%.0f bytes", bytes);
    return text;
}

} // namespace render
