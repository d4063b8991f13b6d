#include "logging/message_sink.h"

#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>

namespace veldra {

namespace {

class ReceiverBackend
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    explicit ReceiverBackend(MessageSink::Receiver receiver) : receiver_(std::move(receiver)) {}
    void consume(const boost::log::record_view& record) {
        const auto level = boost::log::extract<Severity>("severity", record);
        const auto message = boost::log::extract<std::string>("Message", record);
        if (level && *level >= Severity::info && message) {
            receiver_(*level, *message);
        }
    }

private:
    MessageSink::Receiver receiver_;
};

using ReceiverSink = boost::log::sinks::synchronous_sink<ReceiverBackend>;

} // namespace

MessageSink::MessageSink(Receiver receiver) {
    auto sink = boost::make_shared<ReceiverSink>(boost::make_shared<ReceiverBackend>(receiver));
    boost::log::core::get()->add_sink(sink);
    sink_ = sink;
}

MessageSink::~MessageSink() {
    boost::log::core::get()->remove_sink(boost::static_pointer_cast<ReceiverSink>(sink_));
}

} // namespace veldra
