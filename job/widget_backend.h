#pragma once

#include <string>

#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>

namespace veldra {

class WorkerThread;

// The job's log sink backend: for every record of level 1 or more it runs the worker's
// checkpoint (stop request, progress), then sends the message text to the window. Runs on the
// worker thread; holds its worker without owning it and is removed when the worker's run ends.
class WidgetBackend : public boost::log::sinks::basic_formatted_sink_backend<
                          char, boost::log::sinks::synchronized_feeding> {
public:
    explicit WidgetBackend(WorkerThread* worker) : worker_(worker) {}

    void consume(const boost::log::record_view& record, const std::string& formatted);

private:
    WorkerThread* worker_;
};

using WidgetSink = boost::log::sinks::synchronous_sink<WidgetBackend>;

// A sink for `worker`: level 1 and above, message text only. Not yet added to the core.
boost::shared_ptr<WidgetSink> make_widget_sink(WorkerThread* worker);

} // namespace veldra
