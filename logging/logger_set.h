#pragma once

#include "logging/severity.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace veldra {

// Where what one job reports goes: its front end's console, window log or test. Called on the
// thread that reports; may throw (a stop request), and the exception reaches the code that
// reported.
class LogObserver {
public:
    virtual ~LogObserver() = default;
    // One log record.
    virtual void record(Severity level, const std::string& text) = 0;
    // `done` of `total` steps of long work that writes few records (a calibration's iterations,
    // then the writing of its model, reported at its total): where such work shows progress and
    // may be stopped.
    virtual void progress(std::int64_t done, std::int64_t total) {
        static_cast<void>(done);
        static_cast<void>(total);
    }
};

// The log of one job: the observers its records go to and the inner progress pair that the
// forest prediction sets and the front end's checkpoint reads. Nothing is shared between two
// sets, so two jobs in one process log to their own observers. Records of a set without an
// observer go nowhere.
class LoggerSet {
public:
    LoggerSet() = default;
    LoggerSet(const LoggerSet&) = delete;
    LoggerSet& operator=(const LoggerSet&) = delete;

    // Observers receive the records in the order they were added; `remove` before the observer
    // goes.
    void add(LogObserver& observer);
    void remove(LogObserver& observer);

    bool observed() const;
    // Hands one record, or a progress report, to every observer, one at a time whatever the
    // thread.
    void push(Severity level, const std::string& text);
    void progress(std::int64_t done, std::int64_t total);

    std::int32_t inner_maximum = 0;
    std::int32_t inner_position = 0;

private:
    friend class LogStatement;
    // A stream for one statement's text, reset to the default format, or null without an
    // observer; `give_back` keeps it for a later statement.
    std::unique_ptr<std::ostringstream> take_stream();
    void give_back(std::unique_ptr<std::ostringstream> stream) noexcept;

    mutable std::mutex mutex_;
    std::vector<LogObserver*> observers_;
    std::vector<std::unique_ptr<std::ostringstream>> spare_streams_;
};

// Adds an observer to a set for its own life.
class ObserverGuard {
public:
    ObserverGuard(LoggerSet& log, LogObserver& observer) : log_(log), observer_(observer) {
        log_.add(observer_);
    }
    ~ObserverGuard() { log_.remove(observer_); }
    ObserverGuard(const ObserverGuard&) = delete;
    ObserverGuard& operator=(const ObserverGuard&) = delete;

private:
    LoggerSet& log_;
    LogObserver& observer_;
};

// One record being written: the text streamed into it is pushed when the statement ends (in the
// loop's step, not a destructor, so that an observer may throw). The text is written into a
// stream the set keeps between statements, reset to the default format: making a stream costs
// more than most records. (Not one kept per thread: the MinGW runtime has run a thread's
// destructors after their storage was gone.)
class LogStatement {
public:
    LogStatement(LoggerSet& log, Severity level);
    ~LogStatement();
    LogStatement(const LogStatement&) = delete;
    LogStatement& operator=(const LogStatement&) = delete;
    bool open() const { return !pushed_ && text_ != nullptr; }
    std::ostream& stream() { return *text_; }
    void push() {
        pushed_ = true;
        log_.push(level_, text_->str());
    }

private:
    LoggerSet& log_;
    Severity level_;
    std::unique_ptr<std::ostringstream> text_;
    bool pushed_ = false;
};

} // namespace veldra

// Writes one record at a severity: VELDRA_LOG(log, Severity::info) << "text " << 3. The record
// is pushed when the statement ends; an observer may throw from there (the front end's stop
// request), and the exception passes to the caller. Nothing is formatted without an observer.
#define VELDRA_LOG(set, severity)                                                                  \
    for (::veldra::LogStatement veldra_log_statement_((set), (severity));                          \
         veldra_log_statement_.open(); veldra_log_statement_.push())                               \
    veldra_log_statement_.stream()
