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

namespace {

// The streams of a thread's statements: those in use are the first `used`.
struct StatementStreams {
    std::vector<std::unique_ptr<std::ostringstream>> streams;
    std::size_t used = 0;
};

thread_local StatementStreams statement_streams;

} // namespace

LogStatement::LogStatement(LoggerSet& log, Severity level) : log_(log), level_(level) {
    StatementStreams& kept = statement_streams;
    if (kept.used == kept.streams.size()) {
        kept.streams.push_back(std::make_unique<std::ostringstream>());
    }
    text_ = kept.streams[kept.used++].get();
    text_->str(std::string());
    text_->clear();
    text_->flags(std::ios_base::skipws | std::ios_base::dec);
    text_->precision(6);
    text_->width(0);
    text_->fill(' ');
}

LogStatement::~LogStatement() {
    --statement_streams.used;
}

void LoggerSet::progress(std::int64_t done, std::int64_t total) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (LogObserver* observer : observers_) {
        observer->progress(done, total);
    }
}

} // namespace veldra
