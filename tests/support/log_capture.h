#pragma once

#include "logging/severity.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>

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

// A sink that keeps every record reaching it (optionally only severity 1 and above, as the
// window's sink filters). Removed from the core when destroyed.
class LogCapture {
public:
    explicit LogCapture(bool window_filter = false, LogHook hook = {}) {
        sink_ = boost::make_shared<Sink>(boost::make_shared<Backend>(records, std::move(hook)));
        if (window_filter) {
            sink_->set_filter(boost::log::expressions::attr<Severity>("severity") >=
                              Severity::info);
        }
        boost::log::core::get()->add_sink(sink_);
    }
    ~LogCapture() { boost::log::core::get()->remove_sink(sink_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

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
    class Backend
        : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
    public:
        Backend(std::vector<LogRecord>& out, LogHook hook) : out_(out), hook_(std::move(hook)) {}
        void consume(const boost::log::record_view& record) {
            const auto level = boost::log::extract<Severity>("severity", record);
            const auto message = boost::log::extract<std::string>("Message", record);
            const LogRecord kept{level ? static_cast<int>(*level) : -1,
                                 message ? *message : std::string()};
            if (hook_) {
                hook_(kept);
            }
            out_.push_back(kept);
        }

    private:
        std::vector<LogRecord>& out_;
        LogHook hook_;
    };
    using Sink = boost::log::sinks::synchronous_sink<Backend>;
    boost::shared_ptr<Sink> sink_;
};

} // namespace veldra::test
