#include "logging/logger_set.h"

#include "tests/support/log_capture.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::LogCapture;

TEST(LoggerSet, EachLoggerCarriesItsLevelAndTheStreamedText) {
    LoggerSet log;
    LogCapture seen;
    for (int k = 0; k < 4; ++k) {
        VELDRA_LOG(log, static_cast<Severity>(k)) << "record " << k << " of " << 4;
    }
    ASSERT_EQ(seen.records.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(seen.records[static_cast<std::size_t>(k)].severity, k);
        EXPECT_EQ(seen.records[static_cast<std::size_t>(k)].message,
                  "record " + std::to_string(k) + " of 4");
    }
}

TEST(LoggerSet, WindowFilterDropsOnlyTheDebugLevel) {
    LoggerSet log;
    LogCapture seen(true);
    VELDRA_LOG(log, Severity::debug) << "FOREST: a";
    VELDRA_LOG(log, Severity::info) << "Running prediction from list of json files";
    VELDRA_LOG(log, Severity::debug) << "Number of predicted values: 3";
    VELDRA_LOG(log, Severity::warning) << "two";
    VELDRA_LOG(log, Severity::error) << "three";
    ASSERT_EQ(seen.records.size(), 3u);
    EXPECT_EQ(seen.records[0].message, "Running prediction from list of json files");
    EXPECT_EQ(seen.records[1].severity, 2);
    EXPECT_EQ(seen.records[2].severity, 3);
}

TEST(LoggerSet, ConstructionRemovesTheSinksOfEarlierJobs) {
    LogCapture earlier;
    LoggerSet first;
    VELDRA_LOG(first, Severity::info) << "after the new job's set";
    EXPECT_TRUE(earlier.records.empty());

    LogCapture current;
    VELDRA_LOG(first, Severity::info) << "reaches the current sink";
    EXPECT_EQ(current.records.size(), 1u);
    LoggerSet second;
    VELDRA_LOG(second, Severity::info) << "no sink any more";
    EXPECT_EQ(current.records.size(), 1u);
}

TEST(LoggerSet, RegistersCommonAttributesAndStartsWithProgressAtZero) {
    LoggerSet log;
    const auto globals = boost::log::core::get()->get_global_attributes();
    for (const char* name : {"LineID", "TimeStamp", "ProcessID", "ThreadID"}) {
        EXPECT_EQ(globals.count(name), 1u) << name;
    }
    EXPECT_EQ(log.inner_maximum, 0);
    EXPECT_EQ(log.inner_position, 0);
}

// The job's stop request is thrown from inside the sink; it must reach the code that wrote
// the record, and later records must still be delivered.
TEST(LoggerSet, AnExceptionFromTheSinkReachesTheWriter) {
    LoggerSet log;
    LogCapture seen(true, test::throw_int_on("stop here"));
    EXPECT_THROW(VELDRA_LOG(log, Severity::info) << "stop here", int);
    VELDRA_LOG(log, Severity::info) << "after";
    EXPECT_EQ(seen.messages(), std::vector<std::string>{"after"});
}

} // namespace
} // namespace veldra
