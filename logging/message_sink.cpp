#include "logging/message_sink.h"

#include <utility>

namespace veldra {

MessageSink::MessageSink(LoggerSet& log, Receiver receiver)
    : log_(log), receiver_(std::move(receiver)) {
    log_.add(*this);
}

MessageSink::~MessageSink() {
    log_.remove(*this);
}

void MessageSink::record(Severity level, const std::string& text) {
    if (level >= Severity::info) {
        receiver_(level, text);
    }
}

} // namespace veldra
