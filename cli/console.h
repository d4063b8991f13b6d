#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include <boost/log/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

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

// Adds a log sink for the life of the guard, so that no record reaches a console that has gone.
template <typename Backend>
class SinkGuard {
public:
    explicit SinkGuard(boost::shared_ptr<Backend> backend)
        : sink_(boost::make_shared<boost::log::sinks::synchronous_sink<Backend>>(backend)) {
        boost::log::core::get()->add_sink(sink_);
    }
    ~SinkGuard() { boost::log::core::get()->remove_sink(sink_); }
    SinkGuard(const SinkGuard&) = delete;
    SinkGuard& operator=(const SinkGuard&) = delete;

private:
    boost::shared_ptr<boost::log::sinks::synchronous_sink<Backend>> sink_;
};

} // namespace veldra
