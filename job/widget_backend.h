#pragma once

#include "logging/logger_set.h"

#include <string>

namespace veldra {

class WorkerThread;

// The job's window log observer: for every record of level 1 or more it runs the worker's
// checkpoint (stop request, progress), then sends the message text to the window. Runs on the
// worker thread; holds its worker without owning it and observes the worker's own log only while
// the worker's run lasts.
class WidgetBackend : public LogObserver {
public:
    explicit WidgetBackend(WorkerThread* worker) : worker_(worker) {}

    void record(Severity level, const std::string& text) override;

private:
    WorkerThread* worker_;
};

} // namespace veldra
