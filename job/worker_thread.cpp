#include "job/worker_thread.h"

#include "job/widget_backend.h"
#include "version.h"

namespace veldra {

WorkerThread::WorkerThread(QObject* parent, const std::string& output_path,
                           const ModelDirectory& model_directory,
                           const std::string& output_separator, const std::string& opus_folder,
                           const std::string& csv_file, const std::string& opus_configuration_path,
                           const std::vector<std::string>& spectrometer_types,
                           const std::vector<std::string>& soil_properties,
                           Transformation transformation, bool exponential)
    : QThread(parent) {
    settings_.output_path = output_path;
    settings_.model_directory = model_directory;
    settings_.output_separator = output_separator;
    settings_.opus_folder = opus_folder;
    settings_.csv_file = csv_file;
    settings_.opus_configuration_path = opus_configuration_path;
    settings_.exponential = exponential;
    settings_.spectrometer_types = spectrometer_types;
    settings_.soil_properties = soil_properties;
    settings_.transformation = transformation;
    settings_.summary = true; // the window always writes the job's summary table
    // The window has no option for it: VELDRA_THREADS sets the threads of a job (0 or unset:
    // one per core).
    bool valid = false;
    const int threads = qEnvironmentVariableIntValue("VELDRA_THREADS", &valid);
    settings_.threads = valid && threads > 0 ? static_cast<unsigned>(threads) : 0;
    settings_.keep_spectra = true; // for the results window
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

void WorkerThread::set_decisions(std::vector<double> levels,
                                 std::map<std::string, double> tolerances) {
    settings_.levels = std::move(levels);
    settings_.tolerances = std::move(tolerances);
    record_ = job_record(settings_, veldra_version);
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
    record_.spectra = outcome.spectra;
    emit result_ready(QString::fromUtf8(outcome.message.c_str()), outcome.stopped_by_user,
                      outcome.ok);
}

} // namespace veldra
