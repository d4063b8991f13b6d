#include "logging/logger_set.h"

#include <algorithm>
#include <memory>

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

std::unique_ptr<std::ostringstream> LoggerSet::take_stream() {
    std::unique_ptr<std::ostringstream> stream;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (observers_.empty()) {
            return stream;
        }
        if (!spare_streams_.empty()) {
            stream = std::move(spare_streams_.back());
            spare_streams_.pop_back();
        }
    }
    if (!stream) {
        return std::make_unique<std::ostringstream>();
    }
    stream->str(std::string());
    stream->clear();
    stream->flags(std::ios_base::skipws | std::ios_base::dec);
    stream->precision(6);
    stream->width(0);
    stream->fill(' ');
    return stream;
}

void LoggerSet::give_back(std::unique_ptr<std::ostringstream> stream) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
        spare_streams_.push_back(std::move(stream));
    } catch (const std::bad_alloc&) {
        // The stream is simply not kept.
    }
}

LogStatement::LogStatement(LoggerSet& log, Severity level)
    : log_(log), level_(level), text_(log.take_stream()) {}

LogStatement::~LogStatement() {
    if (text_) {
        log_.give_back(std::move(text_));
    }
}

void LoggerSet::progress(std::int64_t done, std::int64_t total) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (LogObserver* observer : observers_) {
        observer->progress(done, total);
    }
}

} // namespace veldra
