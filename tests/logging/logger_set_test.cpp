#include "logging/logger_set.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace logging = boost::log;

struct Captured {
    int severity;
    std::string message;
};

// Collects what reaches it; optionally throws on a given message, as the window's sink does
// when the user asked the job to stop.
class CaptureBackend
    : public logging::sinks::basic_sink_backend<logging::sinks::synchronized_feeding> {
public:
    explicit CaptureBackend(std::vector<Captured>& out, std::string throw_on = {})
        : out_(out), throw_on_(std::move(throw_on)) {}

    void consume(const logging::record_view& record) {
        const auto level = logging::extract<Severity>("severity", record);
        const auto message = logging::extract<std::string>("Message", record);
        const std::string text = message ? *message : std::string();
        if (!throw_on_.empty() && text == throw_on_) {
            throw 42;
        }
        out_.push_back({level ? static_cast<int>(*level) : -1, text});
    }

private:
    std::vector<Captured>& out_;
    std::string throw_on_;
};

using CaptureSink = logging::sinks::synchronous_sink<CaptureBackend>;

boost::shared_ptr<CaptureSink> add_capture_sink(std::vector<Captured>& out, bool window_filter,
                                                std::string throw_on = {}) {
    auto sink = boost::make_shared<CaptureSink>(boost::make_shared<CaptureBackend>(out, throw_on));
    if (window_filter) {
        sink->set_filter(logging::expressions::attr<Severity>("severity") >= Severity::info);
    }
    logging::core::get()->add_sink(sink);
    return sink;
}

TEST(LoggerSet, EachLoggerCarriesItsLevelAndTheStreamedText) {
    LoggerSet log;
    std::vector<Captured> seen;
    add_capture_sink(seen, false);

    for (int k = 0; k < 4; ++k) {
        VELDRA_LOG(log, k) << "record " << k << " of " << 4;
    }
    ASSERT_EQ(seen.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(seen[static_cast<std::size_t>(k)].severity, k);
        EXPECT_EQ(seen[static_cast<std::size_t>(k)].message,
                  "record " + std::to_string(k) + " of 4");
    }
    logging::core::get()->remove_all_sinks();
}

TEST(LoggerSet, WindowFilterDropsOnlyTheDebugLevel) {
    LoggerSet log;
    std::vector<Captured> seen;
    add_capture_sink(seen, true);

    VELDRA_LOG(log, 0) << "FOREST: a";
    VELDRA_LOG(log, 1) << "Running prediction from list of json files";
    VELDRA_LOG(log, 0) << "Number of predicted values: 3";
    VELDRA_LOG(log, 2) << "two";
    VELDRA_LOG(log, 3) << "three";
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].message, "Running prediction from list of json files");
    EXPECT_EQ(seen[1].severity, 2);
    EXPECT_EQ(seen[2].severity, 3);
    logging::core::get()->remove_all_sinks();
}

TEST(LoggerSet, ConstructionRemovesTheSinksOfEarlierJobs) {
    std::vector<Captured> earlier;
    add_capture_sink(earlier, false);
    LoggerSet first;
    VELDRA_LOG(first, 1) << "after the new job's set";
    EXPECT_TRUE(earlier.empty());

    std::vector<Captured> current;
    add_capture_sink(current, false);
    VELDRA_LOG(first, 1) << "reaches the current sink";
    EXPECT_EQ(current.size(), 1u);
    LoggerSet second;
    VELDRA_LOG(second, 1) << "no sink any more";
    EXPECT_EQ(current.size(), 1u);
}

TEST(LoggerSet, RegistersCommonAttributesAndStartsWithProgressAtZero) {
    LoggerSet log;
    const auto globals = logging::core::get()->get_global_attributes();
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
    std::vector<Captured> seen;
    add_capture_sink(seen, true, "stop here");
    EXPECT_THROW(VELDRA_LOG(log, 1) << "stop here", int);
    VELDRA_LOG(log, 1) << "after";
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, "after");
    logging::core::get()->remove_all_sinks();
}

} // namespace
} // namespace veldra
