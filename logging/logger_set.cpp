#include "logging/logger_set.h"

#include <algorithm>

namespace veldra {

std::ostream& operator<<(std::ostream& out, Severity level) {
    return out << static_cast<int>(level);
}

void LoggerSet::add(LogObserver& observer) {
    const std::lock_guard<std::mutex> lock(mutex_);
    observers_.push_back(&observer);
}

void LoggerSet::remove(LogObserver& observer) {
    const std::lock_guard<std::mutex> lock(mutex_);
    observers_.erase(std::remove(observers_.begin(), observers_.end(), &observer),
                     observers_.end());
}

bool LoggerSet::observed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return !observers_.empty();
}

void LoggerSet::push(Severity level, const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (LogObserver* observer : observers_) {
        observer->record(level, text);
    }
}

void LoggerSet::progress(std::int64_t done, std::int64_t total) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (LogObserver* observer : observers_) {
        observer->progress(done, total);
    }
}

} // namespace veldra
