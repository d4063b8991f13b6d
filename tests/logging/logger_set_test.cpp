#include "logging/logger_set.h"

#include "tests/support/log_capture.h"

#include <iomanip>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::LogCapture;

TEST(LoggerSet, EachLoggerCarriesItsLevelAndTheStreamedText) {
    LoggerSet log;
    LogCapture seen(log);
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
    LogCapture seen(log, true);
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

// Two jobs in one process: each set's records reach its own observers only, and an observer
// that leaves receives nothing more.
TEST(LoggerSet, EachSetReachesOnlyItsOwnObservers) {
    LoggerSet first;
    LoggerSet second;
    auto one = std::make_unique<LogCapture>(first);
    LogCapture two(second);
    LogCapture also_two(second, true);
    VELDRA_LOG(first, Severity::info) << "first job";
    VELDRA_LOG(second, Severity::debug) << "second job, detail";
    VELDRA_LOG(second, Severity::warning) << "second job";
    EXPECT_EQ(one->messages(), std::vector<std::string>{"first job"});
    EXPECT_EQ(two.messages(), (std::vector<std::string>{"second job, detail", "second job"}));
    EXPECT_EQ(also_two.messages(), std::vector<std::string>{"second job"});
    one.reset();
    VELDRA_LOG(first, Severity::info) << "nobody listens";
    EXPECT_EQ(two.records.size(), 2u);
}

// Without an observer a statement formats nothing: its operands are not even evaluated.
TEST(LoggerSet, UnobservedRecordsAreNotFormattedAndProgressStartsAtZero) {
    LoggerSet log;
    int evaluated = 0;
    const auto costly = [&evaluated] { return ++evaluated; };
    VELDRA_LOG(log, Severity::error) << "value " << costly();
    EXPECT_EQ(evaluated, 0);
    LogCapture seen(log);
    VELDRA_LOG(log, Severity::error) << "value " << costly();
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(seen.messages(), std::vector<std::string>{"value 1"});
    EXPECT_EQ(log.inner_maximum, 0);
    EXPECT_EQ(log.inner_position, 0);
}

// Records written from several threads at once reach an observer one at a time, whole, and
// threads that logged may end while others log (rounds of short-lived threads).
TEST(LoggerSet, RecordsFromSeveralThreadsArriveWhole) {
    LoggerSet log;
    LogCapture seen(log);
    for (int round = 0; round < 20; ++round) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&log, t, round] {
                for (int k = 25 * round; k < 25 * (round + 1); ++k) {
                    VELDRA_LOG(log, Severity::info) << "thread " << t << " record " << k;
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    ASSERT_EQ(seen.records.size(), 2000u);
    std::vector<int> next(4, 0);
    for (const test::LogRecord& record : seen.records) {
        const int t = record.message[7] - '0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, 4);
        EXPECT_EQ(record.message, "thread " + std::to_string(t) + " record " +
                                      std::to_string(next[static_cast<std::size_t>(t)]++));
    }
}

// The job's stop request is thrown from inside the sink; it must reach the code that wrote
// the record, and later records must still be delivered.
TEST(LoggerSet, AnExceptionFromTheSinkReachesTheWriter) {
    LoggerSet log;
    LogCapture seen(log, true, test::throw_int_on("stop here"));
    EXPECT_THROW(VELDRA_LOG(log, Severity::info) << "stop here", int);
    VELDRA_LOG(log, Severity::info) << "after";
    EXPECT_EQ(seen.messages(), std::vector<std::string>{"after"});
}

// A record written while another's text is being written is a record of its own, and nothing
// of one record's text or format (a manipulator, a failed state) reaches the next.
TEST(LoggerSet, EachRecordStartsWithAnEmptyStreamInTheDefaultFormat) {
    LoggerSet log;
    LogCapture seen(log, true);
    const auto inner = [&log] {
        VELDRA_LOG(log, Severity::info) << "inner " << 2.5;
        return "outer";
    };
    VELDRA_LOG(log, Severity::info) << "the " << inner() << " record";
    VELDRA_LOG(log, Severity::info) << std::hex << std::showpoint << std::setprecision(2)
                                    << std::setfill('*') << std::setw(6) << 255 << " " << 1.0;
    VELDRA_LOG(log, Severity::info).setstate(std::ios::failbit);
    VELDRA_LOG(log, Severity::info) << 255 << " " << 1.0 << " " << std::setw(3) << 7;
    EXPECT_EQ(seen.messages(), (std::vector<std::string>{"inner 2.5", "the outer record",
                                                         "****ff 1.0", "", "255 1   7"}));
}

} // namespace
} // namespace veldra
