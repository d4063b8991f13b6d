#pragma once

#include "logging/severity.h"

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

// A sink that keeps every record reaching it (optionally only severity 1 and above, as the
// window's sink filters). It throws the int 42 on a record whose text is `throw_on`, as the
// window's sink throws when the user stopped the job. Removed from the core when destroyed.
class LogCapture {
public:
    explicit LogCapture(bool window_filter = false, std::string throw_on = {}) {
        sink_ = boost::make_shared<Sink>(boost::make_shared<Backend>(records, std::move(throw_on)));
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
        Backend(std::vector<LogRecord>& out, std::string throw_on)
            : out_(out), throw_on_(std::move(throw_on)) {}
        void consume(const boost::log::record_view& record) {
            const auto level = boost::log::extract<Severity>("severity", record);
            const auto message = boost::log::extract<std::string>("Message", record);
            const std::string text = message ? *message : std::string();
            if (!throw_on_.empty() && text == throw_on_) {
                throw 42;
            }
            out_.push_back({level ? static_cast<int>(*level) : -1, text});
        }

    private:
        std::vector<LogRecord>& out_;
        std::string throw_on_;
    };
    using Sink = boost::log::sinks::synchronous_sink<Backend>;
    boost::shared_ptr<Sink> sink_;
};

} // namespace veldra::test
