#include "job/worker_thread.h"

#include "tests/support/qt_wait.h"
#include "tests/support/temp_dir.h"

#include <atomic>

#include <QStringList>
#include <QVariant>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;

// A model folder mir/pH of `files` constant forests and a CSV input of two samples.
struct Job {
    TempDir dir;
    explicit Job(int files) {
        dir.write("mir/pH/rgy.txt", "0 10\n");
        dir.write("mir/Total.Nitrogen/rgy.txt", "0 1\n");
        for (int k = 1; k <= files; ++k) {
            for (const char* folder : {"mir/pH/", "mir/Total.Nitrogen/"}) {
                dir.write(folder + ("MCMC" + std::to_string(k)) + ".json",
                          R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":0.25}})");
            }
        }
        dir.write("in.csv", "SSN,a,b\ns1,1,2\ns2,3,4\n");
    }
    std::unique_ptr<WorkerThread> worker(const std::vector<std::string>& properties) {
        JobSettings request;
        request.output_path = dir.file("out.csv");
        request.model_directory = dir.path();
        request.csv_file = dir.file("in.csv");
        request.opus_configuration_path = dir.file("opus.conf");
        request.spectrometer_types = {"mir"};
        request.soil_properties = properties;
        request.exponential = false;
        request.summary = true;
        return std::make_unique<WorkerThread>(nullptr, std::move(request));
    }
};

// Records the worker's signals on the test's thread (queued delivery, as the window gets them),
// so the records are only ever touched by one thread.
struct Signals {
    QObject receiver;
    std::vector<QList<QVariant>> results;
    QStringList lines;
    std::vector<std::pair<int, int>> progress;
    explicit Signals(WorkerThread& worker) {
        QObject::connect(&worker, &WorkerThread::result_ready, &receiver,
                         [this](const QString& message, bool user, bool ok) {
                             results.push_back(QList<QVariant>{message, user, ok});
                         });
        QObject::connect(&worker, &WorkerThread::send_log_string, &receiver,
                         [this](const QString& line) { lines << line; });
        QObject::connect(&worker, &WorkerThread::set_progress, &receiver,
                         [this](int max, int current) { progress.emplace_back(max, current); });
    }
    QStringList texts() const { return lines; }
};

void run_to_end(WorkerThread& worker, Signals& spies) {
    worker.start();
    ASSERT_TRUE(test::wait_until([&] { return spies.results.size() == 1; }));
    ASSERT_TRUE(worker.wait(10000));
    QCoreApplication::processEvents();
}

TEST(WorkerThread, ReportsLinesProgressAndTheFilesCreated) {
    Job job(3);
    auto worker = job.worker({"pH", "N"});
    Signals spies(*worker);
    run_to_end(*worker, spies);
    const QList<QVariant> result = spies.results.at(0);
    EXPECT_EQ(result.at(0).toString().toStdString(),
              "Files created:\n  " + job.dir.file("out-mir-pH.csv") + "\n  " +
                  job.dir.file("out-mir-N.csv") + "\n  " + job.dir.file("out-summary.csv") + "\n");
    EXPECT_FALSE(result.at(1).toBool());
    EXPECT_TRUE(result.at(2).toBool());
    const QString written = QString::fromStdString("Writing results to file: ");
    EXPECT_EQ(
        spies.texts(),
        (QStringList{"Running prediction from list of json files", "Predictions complete.",
                     written + QString::fromStdString(job.dir.file("out-mir-pH.csv")),
                     QString::fromStdString(no_card_notice(job.dir.file("mir/pH"))),
                     "Running prediction from list of json files", "Predictions complete.",
                     written + QString::fromStdString(job.dir.file("out-mir-N.csv")),
                     QString::fromStdString(no_card_notice(job.dir.file("mir/Total.Nitrogen")))}));
    // One progress signal per line, in forest files: 2 pairs x 3 files.
    ASSERT_EQ(spies.progress.size(), 8u);
    const auto step = [&](std::size_t k) { return spies.progress.at(k); };
    EXPECT_EQ(step(0), std::make_pair(1, 0));
    EXPECT_EQ(step(1), std::make_pair(5, 2));
    EXPECT_EQ(step(3), std::make_pair(5, 2)); // the notice, still in the first pair
    EXPECT_EQ(step(4), std::make_pair(5, 3)); // the second pair starts at its first file
    EXPECT_EQ(step(6), std::make_pair(5, 5));
    EXPECT_EQ(worker->settings().csv_file, ""); // held in memory after the first read
}

TEST(WorkerThread, StopAtTheFirstCheckpoint) {
    Job job(2);
    auto worker = job.worker({"pH"});
    Signals spies(*worker);
    // The stop is requested from the job's thread at its first checkpoint, so the second
    // record is the one that stops it.
    WorkerThread* raw = worker.get();
    QObject::connect(
        raw, &WorkerThread::set_progress, raw, [raw] { raw->requestInterruption(); },
        Qt::DirectConnection);
    run_to_end(*worker, spies);
    EXPECT_EQ(spies.results.at(0).at(0).toString(), "Files created:\n");
    EXPECT_TRUE(spies.results.at(0).at(1).toBool());
    EXPECT_FALSE(spies.results.at(0).at(2).toBool());
    EXPECT_EQ(spies.texts(), QStringList{"Running prediction from list of json files"});
    EXPECT_EQ(test::read_file(job.dir.file("out.csv")), ""); // stopped before it was written
}

TEST(WorkerThread, FailureAndTwoJobsInARow) {
    Job job(1);
    auto failing = job.worker({"Carbon"});
    Signals failed(*failing);
    run_to_end(*failing, failed);
    EXPECT_EQ(failed.results.at(0).at(0).toString().toStdString(),
              "Cannot open rangefile '" + job.dir.file("mir/Acidified.Carbon/rgy.txt") +
                  "' for reading.\nThe model folder '" + job.dir.file("mir/Acidified.Carbon") +
                  "' does not exist: check the spectrometer type and the property (names are "
                  "case-sensitive: mir, not MIR) and the model directory.");
    EXPECT_FALSE(failed.results.at(0).at(2).toBool());
    failing.reset();

    auto first = job.worker({"pH"});
    Signals one(*first);
    run_to_end(*first, one);
    auto second = job.worker({"pH"});
    Signals two(*second);
    run_to_end(*second, two);
    EXPECT_EQ(one.lines.size(), 4); // three records and the notice that pH has no card
    EXPECT_EQ(two.lines.size(), 4); // the first job's sink no longer forwards anything
    EXPECT_EQ(one.lines.size(), 4);
}

// Two workers at once, each with its own request and log: the lines of each reach its own
// window signals only, and a stop of one leaves the other to finish.
TEST(WorkerThread, TwoJobsAtOnceLogAndStopAlone) {
    Job first_job(30);
    Job second_job(30);
    auto first = first_job.worker({"pH", "N"});
    auto second = second_job.worker({"pH", "N"});
    Signals first_spies(*first);
    Signals second_spies(*second);
    // The first stops at its first checkpoint, from its own thread, once the second runs.
    WorkerThread* raw = first.get();
    std::atomic<bool> second_running{false};
    QObject::connect(
        second.get(), &WorkerThread::set_progress, second.get(),
        [&second_running] { second_running.store(true); }, Qt::DirectConnection);
    QObject::connect(
        raw, &WorkerThread::set_progress, raw,
        [raw, &second_running] {
            for (int k = 0; k < 10000 && !second_running.load(); ++k) {
                QThread::msleep(1);
            }
            raw->requestInterruption();
        },
        Qt::DirectConnection);
    first->start();
    second->start();
    ASSERT_TRUE(test::wait_until(
        [&] { return first_spies.results.size() == 1 && second_spies.results.size() == 1; }));
    EXPECT_TRUE(first_spies.results.at(0).at(1).toBool());  // stopped by the user
    EXPECT_TRUE(second_spies.results.at(0).at(2).toBool()); // the second ends well
    EXPECT_EQ(first_spies.texts(), QStringList{"Running prediction from list of json files"});
    EXPECT_EQ(second_spies.lines.size(), 8);
    for (const QString& line : second_spies.lines) {
        EXPECT_FALSE(line.contains(QString::fromStdString(first_job.dir.path().string())))
            << line.toStdString();
    }
}

} // namespace
} // namespace veldra
