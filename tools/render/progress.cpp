#include "tools/render/progress.h"

#include <algorithm>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#define stderr_is_terminal() (_isatty(_fileno(stderr)) != 0)
#else
#include <unistd.h>
#define stderr_is_terminal() (isatty(STDERR_FILENO) != 0)
#endif

namespace render {

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
    fprintf(stderr, "\r%s\033[K", line(fraction, detail).c_str());
    fflush(stderr);
    drawn_ = true;
}

void Progress::finish(double fraction, const std::string &detail) {
    if (quiet_) return;
    fprintf(stderr, "%s%s\n", terminal_ ? "\r\033[K" : "", line(fraction, detail).c_str());
    drawn_ = false;
}

void Progress::abandon() {
    if (drawn_) fputc('\n', stderr);
    drawn_ = false;
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
