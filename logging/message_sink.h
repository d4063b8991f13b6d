#pragma once

#include "logging/severity.h"

#include <functional>
#include <string>

#include <boost/shared_ptr.hpp>

namespace veldra {

// Hands every log record of level 1 and above to a function, from the thread that logs, for the
// life of the object; then no record reaches the function any more. With one present, no record
// falls through to the logging core's default console output.
class MessageSink {
public:
    using Receiver = std::function<void(Severity, const std::string&)>;
    explicit MessageSink(Receiver receiver);
    ~MessageSink();
    MessageSink(const MessageSink&) = delete;
    MessageSink& operator=(const MessageSink&) = delete;

private:
    boost::shared_ptr<void> sink_;
};

} // namespace veldra
