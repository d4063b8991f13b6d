#include "cli/predict_command.h"
#include "cli/train_command.h"

#include "tests/support/temp_dir.h"

#include <random>
#include <sstream>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result run(std::vector<std::string> arguments, bool stop = false) {
    arguments.insert(arguments.begin(), "veldra-train");
    std::ostringstream out;
    std::ostringstream err;
    const std::atomic<bool> stop_flag{stop};
    const int code = run_train_command(arguments, out, err, stop_flag, false);
    return {code, out.str(), err.str()};
}

// 40 samples of 6 covariates with a property that follows the second one.
struct Lab {
    TempDir dir;
    Lab() {
        std::mt19937_64 random(2);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::string spectra = "SSN,a,b,c,d,e,f\n";
        std::string targets = "SSN,pH\n";
        for (int i = 0; i < 40; ++i) {
            spectra += "s" + std::to_string(i);
            double level = 0.0;
            for (int j = 0; j < 6; ++j) {
                level += unit(random);
                spectra += "," + std::to_string(level);
            }
            targets += "s" + std::to_string(i) + "," + std::to_string(5.0 + level) + "\n";
            spectra += "\n";
        }
        dir.write("spectra.csv", spectra);
        dir.write("targets.csv", targets);
        dir.write("models/opus.conf", "[htsxt]\nstart_wn=4000\nend_wn=600\nnum_wn=3\n");
    }
    std::vector<std::string> arguments() const {
        return {"--spectra",  dir.file("spectra.csv"),
                "--targets",  dir.file("targets.csv"),
                "--property", "pH",
                "--models",   dir.file("models"),
                "--trees",    "10",
                "--burn-in",  "20",
                "--draws",    "20",
                "--quiet"};
    }
};

TEST(TrainCommand, FitsWritesAndReportsTheCrossValidation) {
    const Lab lab;
    std::vector<std::string> arguments = lab.arguments();
    arguments.insert(arguments.end(), {"--cv", "4", "--transform", "none"});
    const Result result = run(arguments);
    ASSERT_EQ(result.code, exit_success) << result.err;
    EXPECT_EQ(result.out.rfind("Model written to:\n  " + lab.dir.file("models") + "/mir/pH\n", 0),
              0u)
        << result.out;
    EXPECT_NE(result.out.find("\ncv "), std::string::npos);
    EXPECT_NE(result.out.find("(cv: random 4 folds, out-of-fold, pooled)"), std::string::npos);
    EXPECT_TRUE(boost::filesystem::exists(lab.dir.file("models/mir/pH/MCMC20.json")));
    // Without --force the model stays.
    const Result again = run(lab.arguments());
    EXPECT_EQ(again.code, exit_failure);
    EXPECT_NE(again.err.find("use --force to replace it."), std::string::npos);
}

TEST(TrainCommand, UsageErrorsAndStop) {
    const Lab lab;
    EXPECT_EQ(run({"--spectra", "x.csv"}).code, exit_usage);
    std::vector<std::string> both = lab.arguments();
    both.insert(both.end(), {"--cv", "3", "--folds", "f.csv"});
    const Result conflict = run(both);
    EXPECT_EQ(conflict.code, exit_usage);
    EXPECT_EQ(conflict.err.rfind("veldra-train: --cv and --folds exclude each other\n", 0), 0u);
    EXPECT_EQ(run({"--draws", "many"}).code, exit_usage);

    const Result stopped = run(lab.arguments(), true);
    EXPECT_EQ(stopped.code, exit_stopped);
    EXPECT_EQ(stopped.err, "Stopped by user\n");
    EXPECT_FALSE(boost::filesystem::exists(lab.dir.file("models/mir/pH")));
}

} // namespace
} // namespace veldra
