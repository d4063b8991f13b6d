#include "gui/calibration_observer.h"

#include <utility>

namespace veldra {

CalibrationObserver::CalibrationObserver(const std::atomic<bool>& stop,
                                         std::function<void(const QString&)> message,
                                         std::function<void(long, long)> report)
    : stop_(stop), message_(std::move(message)), report_(std::move(report)) {}

void CalibrationObserver::record(Severity level, const std::string& text) {
    if (level >= Severity::info) {
        message_(QString::fromStdString(text));
    }
}

void CalibrationObserver::progress(std::int64_t done, std::int64_t total) {
    if (stop_.load()) {
        throw Cancelled{};
    }
    const auto now = std::chrono::steady_clock::now();
    if (done == last_done_ ||
        (done != total && now - last_report_ < std::chrono::milliseconds(100))) {
        return;
    }
    last_done_ = done;
    last_report_ = now;
    report_(static_cast<long>(done), static_cast<long>(total));
}

} // namespace veldra
