#pragma once

#include "logging/logger_set.h"
#include "logging/severity.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace veldra::test {

struct LogRecord {
    int severity;
    std::string message;
};

// Called for every record before it is kept; may throw, as the window's sink throws when the
// user stopped the job.
using LogHook = std::function<void(const LogRecord&)>;

// A hook that throws the int 42 at the record whose text is `text`.
inline LogHook throw_int_on(const std::string& text) {
    return [text](const LogRecord& record) {
        if (record.message == text) {
            throw 42;
        }
    };
}

// An observer that keeps every record of one set (optionally only severity 1 and above, as the
// window's observer filters). Leaves the set when destroyed.
class LogCapture : public LogObserver {
public:
    explicit LogCapture(LoggerSet& log, bool window_filter = false, LogHook hook = {})
        : log_(log), window_filter_(window_filter), hook_(std::move(hook)) {
        log_.add(*this);
    }
    ~LogCapture() override { log_.remove(*this); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void record(Severity level, const std::string& text) override {
        if (window_filter_ && level < Severity::info) {
            return;
        }
        const LogRecord kept{static_cast<int>(level), text};
        if (hook_) {
            hook_(kept);
        }
        records.push_back(kept);
    }

    // Only the texts, in order.
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const LogRecord& record : records) {
            out.push_back(record.message);
        }
        return out;
    }

    std::vector<LogRecord> records;

private:
    LoggerSet& log_;
    bool window_filter_;
    LogHook hook_;
};

} // namespace veldra::test
