#include "job/worker_thread.h"

#include "job/widget_backend.h"
#include "version.h"

#include <utility>

namespace veldra {

WorkerThread::WorkerThread(QObject* parent, JobSettings request)
    : QThread(parent), settings_(std::move(request)) {
    record_ = job_record(settings_, veldra_version);
}

WorkerThread::~WorkerThread() {
    wait();
}

void WorkerThread::checkpoint() {
    if (isInterruptionRequested()) {
        throw ExceptionStop();
    }
    const auto [maximum, current] = job_progress(progress_, log_);
    emit set_progress(maximum, current);
}

void WorkerThread::run() {
    WidgetBackend backend(this);
    JobOutcome outcome;
    {
        // The backend observes this job's log alone, and never once the window may release the
        // worker.
        const ObserverGuard observing(log_, backend);
        outcome = run_job(settings_, log_, progress_);
    }
    record_.defective = outcome.defective;
    record_.created = outcome.created;
    record_.set_aside = outcome.set_aside;
    record_.spectra = outcome.spectra;
    emit result_ready(QString::fromUtf8(outcome.message.c_str()), outcome.stopped_by_user,
                      outcome.ok);
}

} // namespace veldra
