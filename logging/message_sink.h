#pragma once

#include "logging/logger_set.h"
#include "logging/severity.h"

#include <functional>
#include <string>

namespace veldra {

// Hands every record of level 1 and above that a set receives to a function, from the thread
// that logs, for the life of the object; then no record reaches the function any more.
class MessageSink : public LogObserver {
public:
    using Receiver = std::function<void(Severity, const std::string&)>;
    MessageSink(LoggerSet& log, Receiver receiver);
    ~MessageSink() override;
    MessageSink(const MessageSink&) = delete;
    MessageSink& operator=(const MessageSink&) = delete;

    void record(Severity level, const std::string& text) override;

private:
    LoggerSet& log_;
    Receiver receiver_;
};

} // namespace veldra
