// Progress on standard error: a bar redrawn in place on a terminal, one final
// line otherwise, nothing when quiet.
#pragma once

#include <chrono>
#include <string>

namespace render {

class Progress {
  public:
    Progress(std::string label, bool quiet);
    // Redraws on a terminal, at most ten times a second. `fraction` below 0
    // means unknown: no bar.
    void update(double fraction, const std::string &detail);
    // The final state, on its own line.
    void finish(double fraction, const std::string &detail);
    // Ends a bar left on the terminal without a final state.
    void abandon();
    double seconds() const;

  private:
    std::string line(double fraction, const std::string &detail) const;
    void redraw(const std::string &text);

    std::string label_;
    bool quiet_, terminal_;
    bool drawn_ = false;
    int drawn_width_ = 0; // characters of the line on the terminal
    std::chrono::steady_clock::time_point start_, last_draw_;
};

// "4.0 MB", "875 kB", "12 bytes".
std::string format_bytes(double bytes);

} // namespace render
