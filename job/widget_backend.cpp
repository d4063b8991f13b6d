#include "job/widget_backend.h"

#include "job/worker_thread.h"

namespace veldra {

void WidgetBackend::record(Severity level, const std::string& text) {
    if (level < Severity::info) {
        return;
    }
    worker_->checkpoint();
    emit worker_->send_log_string(QString::fromUtf8(text.c_str()));
}

} // namespace veldra
