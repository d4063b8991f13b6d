#pragma once

#include "job/job_record.h"
#include "job/job_runner.h"
#include "job/job_settings.h"
#include "logging/logger_set.h"

#include <map>
#include <string>
#include <vector>

#include <QString>
#include <QThread>

namespace veldra {

// Runs one job request on its own thread: reads the input once, makes one prediction per pair
// and reports log lines, progress and one final result through queued signals. Owns its request
// and its log, observed by its own window observer alone; the window only starts it, requests
// interruption and releases it.
class WorkerThread : public QThread {
    Q_OBJECT

public:
    // Thrown by checkpoint when the user asked the job to stop.
    class ExceptionStop : public JobStop {};

    // `request` as the window built and checked it (job_request_refusal).
    WorkerThread(QObject* parent, JobSettings request);
    // Waits for the thread: a thread object must never go while its thread runs.
    ~WorkerThread() override;

    // Called by the job's log sink for every record that reaches the window, on the worker
    // thread: throws ExceptionStop after a stop request, else reports the progress.
    void checkpoint();

    const JobSettings& settings() const { return settings_; }
    // The job's record for its report: set up at the start, with the files the job could not
    // read once it ended.
    const JobRecord& record() const { return record_; }

signals:
    void result_ready(QString result_message, bool stopped_by_user, bool ok);
    void send_log_string(QString log_string);
    void set_progress(int max, int current);

protected:
    void run() override;

private:
    JobSettings settings_;
    JobRecord record_;
    LoggerSet log_;
    JobProgress progress_;
};

} // namespace veldra
