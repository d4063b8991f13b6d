#pragma once

#include "logging/logger_set.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <QString>

namespace veldra {

// The observer of a calibration run from the calibration window: messages of level 1 and above
// to the window, at most ten progress reports a second (and always the last), and the stop check
// at every report. Runs on the calibration's thread; `message` and `report` reach the window by
// queued calls.
class CalibrationObserver : public LogObserver {
public:
    // Thrown at a progress report once `stop` is set.
    struct Cancelled {};

    CalibrationObserver(const std::atomic<bool>& stop, std::function<void(const QString&)> message,
                        std::function<void(long, long)> report);

    void record(Severity level, const std::string& text) override;
    void progress(std::int64_t done, std::int64_t total) override;

private:
    const std::atomic<bool>& stop_;
    std::function<void(const QString&)> message_;
    std::function<void(long, long)> report_;
    std::int64_t last_done_ = -1;
    std::chrono::steady_clock::time_point last_report_{};
};

} // namespace veldra
