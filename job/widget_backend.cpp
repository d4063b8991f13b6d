#include "job/widget_backend.h"

#include "job/worker_thread.h"
#include "logging/severity.h"

#include <cstring>

#include <boost/log/expressions.hpp>

namespace veldra {

void WidgetBackend::consume(const boost::log::record_view&, const std::string& formatted) {
    worker_->checkpoint();
    emit worker_->send_log_string(QString::fromUtf8(formatted.c_str()));
}

boost::shared_ptr<WidgetSink> make_widget_sink(WorkerThread* worker) {
    namespace expr = boost::log::expressions;
    auto sink = boost::make_shared<WidgetSink>(boost::make_shared<WidgetBackend>(worker));
    sink->set_filter(expr::attr<Severity>("severity") >= Severity::info);
    sink->set_formatter(expr::stream << expr::smessage);
    return sink;
}

} // namespace veldra
