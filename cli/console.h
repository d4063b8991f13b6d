#pragma once

#include <chrono>
#include <ostream>
#include <string>

namespace veldra {

// The progress of a long job on the standard error stream: on a terminal a bar redrawn in
// place (at most every `terminal_interval`), elsewhere a plain "progress: " line whenever the
// whole percentage moves. Log lines go through `line`, so that they never mix with the bar.
class ProgressDisplay {
public:
    ProgressDisplay(std::ostream& err, bool terminal, bool quiet,
                    std::chrono::milliseconds terminal_interval);

    // `fraction` of the work done, described by `text` (elapsed and left are appended).
    // `force` draws it whatever the interval.
    void show(double fraction, const std::string& text, bool force = false);

    // A log line above the bar.
    void line(const std::string& text);

    // Removes the bar, leaving the terminal's last line empty for what follows.
    void finish();

    double elapsed_seconds() const;

private:
    void clear_bar();

    std::ostream& err_;
    bool terminal_;
    bool quiet_;
    std::chrono::milliseconds interval_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_bar_{};
    bool bar_shown_ = false;
    int last_percent_ = -1;
};

} // namespace veldra
