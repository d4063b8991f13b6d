#include "python/interruptible.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace veldra::python {

namespace {

// Thrown from a progress report once a signal asked the work to stop; not a std::exception, so
// that no handler for errors on the way catches it.
struct WorkStopped {};

// Collects the work's records for the Python thread and stops the work when asked; the work's
// threads call it, the Python thread drains it.
class QueuedObserver : public LogObserver {
public:
    // A prediction reports through records alone, a calibration through progress too: both
    // are where the work stops once asked.
    void record(Severity level, const std::string& text) override {
        if (stop_.load()) {
            throw WorkStopped{};
        }
        keep(level, text);
    }

    void progress(std::int64_t done, std::int64_t total) override {
        if (stop_.load()) {
            throw WorkStopped{};
        }
        // A record each tenth of the way, for a logger that shows progress.
        const std::int64_t tenth = total > 0 ? done * 10 / total : 0;
        if (tenth != last_tenth_.exchange(tenth)) {
            keep(Severity::debug, "progress " + std::to_string(done) + "/" + std::to_string(total));
        }
    }

    void stop() { stop_.store(true); }

    void keep(Severity level, const std::string& text) {
        const std::lock_guard<std::mutex> lock(mutex_);
        records_.emplace_back(level, text);
    }

    std::vector<std::pair<Severity, std::string>> take() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(records_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<Severity, std::string>> records_;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> last_tenth_{-1};
};

// Python's logging level of a record.
int logging_level(Severity level) {
    switch (level) {
    case Severity::debug:
        return 10;
    case Severity::info:
        return 20;
    case Severity::warning:
        return 30;
    default:
        return 40;
    }
}

void pass_records(QueuedObserver& observer) {
    const auto records = observer.take();
    if (records.empty()) {
        return;
    }
    const py::object logger = py::module_::import("logging").attr("getLogger")("veldra");
    for (const auto& [level, text] : records) {
        logger.attr("log")(logging_level(level), text);
    }
}

} // namespace

void run_interruptibly(const std::function<void(LoggerSet& log)>& work) {
    LoggerSet log;
    QueuedObserver observer;
    const ObserverGuard observing(log, observer);
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
    std::exception_ptr error;
    std::thread worker([&] {
        try {
            work(log);
        } catch (const WorkStopped&) {
            // the Python thread raises the signal's exception
        } catch (...) {
            error = std::current_exception();
        }
        const std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        ended.notify_all();
    });
    std::optional<py::error_already_set> signal;
    for (;;) {
        bool done = false;
        {
            const py::gil_scoped_release released;
            std::unique_lock<std::mutex> lock(mutex);
            done = ended.wait_for(lock, std::chrono::milliseconds(50), [&] { return finished; });
        }
        if (done) {
            break;
        }
        if (!signal && PyErr_CheckSignals() != 0) {
            signal.emplace(); // fetches the exception the signal's handler raised
            observer.stop();
        }
        if (!signal) {
            pass_records(observer);
        }
    }
    worker.join();
    if (signal) {
        throw std::move(*signal);
    }
    pass_records(observer);
    if (error) {
        std::rethrow_exception(error);
    }
}

} // namespace veldra::python
