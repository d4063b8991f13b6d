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
        VELDRA_LOG(log, k) << "record " << k << " of " << 4;
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
    VELDRA_LOG(log, 0) << "FOREST: a";
    VELDRA_LOG(log, 1) << "Running prediction from list of json files";
    VELDRA_LOG(log, 0) << "Number of predicted values: 3";
    VELDRA_LOG(log, 2) << "two";
    VELDRA_LOG(log, 3) << "three";
    ASSERT_EQ(seen.records.size(), 3u);
    EXPECT_EQ(seen.records[0].message, "Running prediction from list of json files");
    EXPECT_EQ(seen.records[1].severity, 2);
    EXPECT_EQ(seen.records[2].severity, 3);
}

TEST(LoggerSet, ConstructionRemovesTheSinksOfEarlierJobs) {
    LogCapture earlier;
    LoggerSet first;
    VELDRA_LOG(first, 1) << "after the new job's set";
    EXPECT_TRUE(earlier.records.empty());

    LogCapture current;
    VELDRA_LOG(first, 1) << "reaches the current sink";
    EXPECT_EQ(current.records.size(), 1u);
    LoggerSet second;
    VELDRA_LOG(second, 1) << "no sink any more";
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
    EXPECT_THROW(log.level(4), std::out_of_range);
    EXPECT_THROW(log.level(-1), std::out_of_range);
}

// The job's stop request is thrown from inside the sink; it must reach the code that wrote
// the record, and later records must still be delivered.
TEST(LoggerSet, AnExceptionFromTheSinkReachesTheWriter) {
    LoggerSet log;
    LogCapture seen(true, test::throw_int_on("stop here"));
    EXPECT_THROW(VELDRA_LOG(log, 1) << "stop here", int);
    VELDRA_LOG(log, 1) << "after";
    EXPECT_EQ(seen.messages(), std::vector<std::string>{"after"});
}

} // namespace
} // namespace veldra
