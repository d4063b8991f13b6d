#include "cli/console.h"

#include "cli/command_line.h"

#include <algorithm>
#include <sstream>

namespace veldra {

ProgressDisplay::ProgressDisplay(std::ostream& err, bool terminal, bool quiet,
                                 std::chrono::milliseconds terminal_interval)
    : err_(err), terminal_(terminal), quiet_(quiet), interval_(terminal_interval),
      start_(std::chrono::steady_clock::now()) {}

double ProgressDisplay::elapsed_seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressDisplay::show(double fraction, const std::string& text, bool force) {
    if (quiet_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (terminal_ && !force && now - last_bar_ < interval_) {
        return;
    }
    last_bar_ = now;
    fraction = std::clamp(fraction, 0.0, 1.0);
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const int percent = static_cast<int>(fraction * 100.0 + 0.5);
    std::ostringstream described;
    described << percent << "%  " << text << "  elapsed " << clock_text(elapsed);
    if (fraction > 0.01) {
        described << "  left ~" << clock_text(elapsed * (1.0 - fraction) / fraction);
    }
    if (terminal_) {
        constexpr int width = 30;
        const int filled = static_cast<int>(fraction * width);
        err_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(width - filled), '.') << "] "
             << described.str() << "\033[K" << std::flush;
        bar_shown_ = true;
    } else if (percent != last_percent_) {
        // Plain lines for logs and pipes: one whenever the whole percentage moves.
        last_percent_ = percent;
        err_ << "progress: " << described.str() << "\n";
    }
}

void ProgressDisplay::line(const std::string& text) {
    if (quiet_) {
        return;
    }
    clear_bar();
    err_ << text << "\n";
}

void ProgressDisplay::finish() {
    clear_bar();
    err_.flush();
}

void ProgressDisplay::clear_bar() {
    if (terminal_ && bar_shown_) {
        err_ << "\r\033[K";
        bar_shown_ = false;
    }
}

} // namespace veldra
