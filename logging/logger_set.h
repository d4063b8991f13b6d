#pragma once

#include "logging/severity.h"

#include <array>
#include <cstdint>

#include <boost/log/sources/logger.hpp>
#include <boost/log/sources/record_ostream.hpp>

namespace veldra {

// The four loggers of one job (levels 0 to 3) and the inner progress pair that the forest
// prediction sets and the worker's checkpoint reads. Built on the GUI thread, then used only
// by the job's thread. Constructing one removes every sink from the logging core, so the sink
// of an earlier job no longer receives records.
class LoggerSet {
public:
    using Logger = boost::log::sources::logger;

    LoggerSet();

    // The logger of a level; write with VELDRA_LOG(set, Severity::info) << text.
    Logger& level(Severity severity) { return loggers_[static_cast<std::size_t>(severity)]; }

    std::int32_t inner_maximum = 0;
    std::int32_t inner_position = 0;

private:
    std::array<Logger, 4> loggers_;
};

} // namespace veldra

// Writes one record at a severity. The record is pushed when the statement ends; a sink may throw
// from there (the worker's stop request), and the exception passes to the caller.
#define VELDRA_LOG(set, severity) BOOST_LOG((set).level(severity))
