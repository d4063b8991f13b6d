#pragma once

#include <chrono>
#include <functional>

#include <QCoreApplication>
#include <QThread>

namespace veldra::test {

// Processes events until `done` holds or `timeout_ms` passes; returns whether it holds.
inline bool wait_until(const std::function<bool()>& done, int timeout_ms = 60000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

} // namespace veldra::test
