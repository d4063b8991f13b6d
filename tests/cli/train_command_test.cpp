#include "cli/predict_command.h"
#include "cli/train_command.h"
#include "input/csv_reader.h"

#include "tests/support/error_text.h"
#include "tests/support/temp_dir.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cstdlib>
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

// `arguments` with each option of `options` (pairs of name and value) set: replaced where given,
// added otherwise.
std::vector<std::string> with(std::vector<std::string> arguments,
                              const std::vector<std::string>& options) {
    for (std::size_t k = 0; k + 1 < options.size(); k += 2) {
        const auto at = std::find(arguments.begin(), arguments.end(), options[k]);
        if (at != arguments.end() && at + 1 != arguments.end()) {
            *(at + 1) = options[k + 1];
        } else {
            arguments.insert(arguments.end(), {options[k], options[k + 1]});
        }
    }
    return arguments;
}

TEST(TrainCommand, FitsWritesAndReportsTheCrossValidation) {
    const Lab lab;
    std::vector<std::string> arguments = lab.arguments();
    arguments.insert(arguments.end(), {"--cv", "4", "--transform", "none"});
    const Result result = run(arguments);
    ASSERT_EQ(result.code, exit_success) << result.err;
    EXPECT_EQ(
        test::slashes(result.out)
            .rfind(test::slashes("Model written to:\n  " + lab.dir.file("models") + "/mir/pH\n"),
                   0),
        0u)
        << result.out;
    EXPECT_NE(result.out.find("\ncv "), std::string::npos);
    EXPECT_NE(result.out.find("(cv: random 4 folds, out-of-fold, pooled)"), std::string::npos);
    EXPECT_EQ(result.out.find("k chosen"), std::string::npos);
    EXPECT_TRUE(boost::filesystem::exists(lab.dir.file("models/mir/pH/MCMC20.json")));
    // Without --force the model stays.
    const Result again = run(lab.arguments());
    EXPECT_EQ(again.code, exit_failure);
    EXPECT_NE(again.err.find("use --force to replace it."), std::string::npos);
}

TEST(TrainCommand, ChoosesKAndListsTheCandidates) {
    const Lab lab;
    const Result result = run(with(lab.arguments(), {"--k", "1,4", "--cv", "3"}));
    ASSERT_EQ(result.code, exit_success) << result.err;
    const std::size_t table = result.out.find(
        "k chosen by the out-of-fold interval score of the 95% bands (lower is better):\n"
        "         k      RMSE  coverage  interval score          above chosen\n");
    ASSERT_NE(table, std::string::npos) << result.out;
    // A line per candidate in the order given, the chosen one marked.
    const std::string lines = result.out.substr(table);
    EXPECT_LT(lines.find("     1  "), lines.find("     4  ")) << lines;
    EXPECT_NE(lines.find("\n  *      "), std::string::npos) << lines;
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
    // Two values after one option: the second is not dropped unseen.
    std::vector<std::string> two = lab.arguments();
    two.insert(two.end(), {"--cv", "3", "5"});
    const Result stray = run(two);
    EXPECT_EQ(stray.code, exit_usage);
    EXPECT_EQ(stray.err.rfind("veldra-train: unexpected argument '5': each option takes one value; "
                              "repeat the option for more\n",
                              0),
              0u);
    EXPECT_FALSE(boost::filesystem::exists(lab.dir.file("models/mir/pH")));
    std::vector<std::string> no_column = lab.arguments();
    no_column.insert(no_column.end(), {"--id-column", ""});
    const Result unnamed = run(no_column);
    EXPECT_EQ(unnamed.code, exit_usage);
    EXPECT_EQ(unnamed.err.rfind(
                  "veldra-train: --id-column takes the name of a column of --targets, not ''\n", 0),
              0u);
    std::vector<std::string> missing = lab.arguments();
    missing.insert(missing.end(), {"--id-column", "sample_id"});
    const Result without = run(missing);
    EXPECT_EQ(without.code, exit_failure);
    EXPECT_NE(without.err.find("\" has no \"sample_id\" column."), std::string::npos)
        << without.err;

    const Result stopped = run(lab.arguments(), true);
    EXPECT_EQ(stopped.code, exit_stopped);
    EXPECT_EQ(stopped.err, "Stopped by user\n");
    EXPECT_FALSE(boost::filesystem::exists(lab.dir.file("models/mir/pH")));
}

// Every setting outside its range exits 2 naming the option, before anything is read or written.
TEST(TrainCommand, SettingsOutOfRangeNameTheOption) {
    const Lab lab;
    struct Case {
        std::vector<std::string> options;
        std::string message; // the start of the first line of standard error
    };
    const std::vector<Case> cases = {
        {{"--k", "nan"}, "veldra-train: --k takes a number above 0, at most 1000, not nan"},
        {{"--k", "0"}, "veldra-train: --k takes a number above 0, at most 1000, not 0"},
        {{"--k", "2,0", "--cv", "3"},
         "veldra-train: --k takes a number above 0, at most 1000, not 0"},
        {{"--k", "2,x"},
         "veldra-train: --k takes a number, or several separated by commas, "
         "not '2,x'"},
        {{"--k", "2,"}, "veldra-train: --k takes a number, or several separated by commas"},
        {{"--k", "2,3,2", "--cv", "3"}, "veldra-train: --k names 2 twice"},
        {{"--k", "2,3"},
         "veldra-train: --k with several values chooses among them by "
         "cross-validation: give --cv K or --folds"},
        {{"--q", "2"}, "veldra-train: --q takes a number between 0 and 1 (both excluded), not 2"},
        {{"--q", "0"}, "veldra-train: --q takes a number between 0 and 1 (both excluded), not 0"},
        {{"--nu", "0"}, "veldra-train: --nu takes a number above 0, at most 10000, not 0"},
        {{"--nu", "-1"}, "veldra-train: --nu takes a number above 0, at most 10000, not -1"},
        {{"--nu", "1e300"}, "veldra-train: --nu takes a number above 0, at most 10000, not 1e+300"},
        {{"--alpha", "1.5"},
         "veldra-train: --alpha takes a number between 0 and 1 (both excluded), not 1.5"},
        {{"--beta", "-1"}, "veldra-train: --beta takes a number from 0 to 100, not -1"},
        {{"--chains", "1000000"},
         "veldra-train: --chains takes a whole number from 1 to 64, not 1000000"},
        {{"--chains", "30"}, "veldra-train: --chains must not exceed --draws (20)"},
        {{"--trees", "1000000000"},
         "veldra-train: --trees takes a whole number from 1 to 10000, not 1000000000"},
        {{"--draws", "1000000000"}, "veldra-train: --draws takes a whole number from 1 to 100000"},
        {{"--trees", "10000", "--draws", "100000"},
         "veldra-train: --draws times --trees is 1000000000 trees; a model holds at most"},
        {{"--burn-in", "2000000000"},
         "veldra-train: --burn-in takes a whole number from 0 to 1000000, not 2000000000"},
        {{"--thin", "0"}, "veldra-train: --thin takes a whole number from 1 to 1000, not 0"},
        {{"--cuts", "0"}, "veldra-train: --cuts takes a whole number from 1 to 65535, not 0"},
        {{"--cv", "-1"},
         "veldra-train: --cv takes the number of folds, 2 or more (0: no cross-validation)"},
        {{"--cv", "1"}, "veldra-train: --cv takes the number of folds, 2 or more"},
        {{"--threads", "-1"}, "veldra-train: --threads takes 0 (one per core) or a positive"},
        {{"--spectrometer", "../ftir"}, "veldra-train: unknown spectrometer type '../ftir'"},
        {{"--property", "/../../../escaped"},
         "veldra-train: --property takes a plain name (letters, digits and ._-+, at most 64), "
         "not '/../../../escaped'"},
        {{"--property", "a/b"}, "veldra-train: --property takes a plain name"},
        {{"--property", ".."}, "veldra-train: --property takes a plain name"},
        {{"--property", "a\\b"}, "veldra-train: --property takes a plain name"},
        {{"--models", lab.dir.file("modles")},
         "veldra-train: --models: no model directory '" + lab.dir.file("modles") + "'"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> arguments = with(lab.arguments(), c.options);
        const Result result = run(arguments);
        EXPECT_EQ(result.code, exit_usage) << c.message;
        EXPECT_EQ(result.err.rfind(c.message, 0), 0u) << result.err;
        EXPECT_NE(result.err.find("Usage: veldra-train"), std::string::npos);
    }
    // Nothing was created anywhere: no model folder, no escaped folder, no misspelt tree.
    EXPECT_FALSE(boost::filesystem::exists(lab.dir.file("models/mir")));
    EXPECT_FALSE(boost::filesystem::exists(lab.dir.file("modles")));
    EXPECT_FALSE(boost::filesystem::exists(lab.dir.path().parent_path() / "escaped"));
}

// A property the trainer accepts is one the prediction command predicts.
TEST(TrainCommand, ALabsOwnPropertyIsPredictedByName) {
    const Lab lab;
    const std::vector<std::string> arguments = with(lab.arguments(), {"--property", "Clay"});
    const Result trained = run(arguments);
    ASSERT_EQ(trained.code, exit_success) << trained.err;
    EXPECT_TRUE(boost::filesystem::exists(lab.dir.file("models/mir/m3.Clay/MCMC20.json")));
    std::ostringstream out;
    std::ostringstream err;
    const std::atomic<bool> no_stop{false};
    const std::vector<std::string> predict = {"veldra-predict",
                                              "--input",
                                              lab.dir.file("spectra.csv"),
                                              "--models",
                                              lab.dir.file("models"),
                                              "--property",
                                              "Clay",
                                              "--property",
                                              "Sand",
                                              "--output",
                                              lab.dir.file("p.csv"),
                                              "--exp",
                                              "no",
                                              "--quiet"};
    // Sand has no model folder: refused as unknown, naming where it was looked for.
    EXPECT_EQ(run_predict_command(predict, out, err, no_stop, false), exit_usage);
    EXPECT_EQ(test::slashes(err.str()).rfind(
                  test::slashes("veldra-predict: unknown soil property 'Sand' (no model folder \"" +
                                lab.dir.file("models") + "/mir/m3.Sand\")\n"),
                  0),
              0u)
        << err.str();
    std::vector<std::string> clay_only(predict.begin(), predict.begin() + 7);
    clay_only.insert(clay_only.end(), predict.begin() + 9, predict.end());
    err.str("");
    EXPECT_EQ(run_predict_command(clay_only, out, err, no_stop, false), exit_success) << err.str();
    EXPECT_EQ(out.str(), "Files created:\n  " + lab.dir.file("p.csv") + "\n  " +
                             lab.dir.file("p-summary.csv") + "\n");
    // Its summary row has the predictive bounds (from "sigma.txt") and the card's R2.
    const std::string summary = test::read_file(lab.dir.file("p-summary.csv"));
    const std::string first = summary.substr(summary.find('\n') + 1);
    const std::vector<std::string> fields = split_csv_fields(first.substr(0, first.find('\n')));
    ASSERT_EQ(fields.size(), 21u);
    EXPECT_EQ(fields[2], "Clay");
    EXPECT_NE(fields[8], "NA");
    EXPECT_NE(fields[9], "NA");
    EXPECT_NE(fields[13], "NA");
    // The summary says which R2 it is: this model was trained without cross-validation.
    EXPECT_EQ(fields[20], "training fit");
    // The trainer stored the calibration domain; its own spectra lie inside it, mostly.
    EXPECT_TRUE(boost::filesystem::exists(lab.dir.file("models/mir/m3.Clay/domain.json")));
    EXPECT_TRUE(fields[10] == "inside" || fields[10] == "outside") << fields[10];
    EXPECT_NE(fields[11], "NA");
    EXPECT_NE(fields[12], "NA");
    std::size_t inside = 0;
    for (std::size_t at = summary.find(",inside,"); at != std::string::npos;
         at = summary.find(",inside,", at + 1)) {
        ++inside;
    }
    EXPECT_GE(inside, 36u); // of 40
}

// The card says what the model was calibrated with; a job that differs stops with both sides.
TEST(TrainCommand, PredictionRefusesAJobThatDoesNotMatchTheCard) {
    const Lab lab;
    ASSERT_EQ(run(with(lab.arguments(), {"--transform", "none"})).code, exit_success);
    const auto predict = [&](const std::string& input, std::vector<std::string> options) {
        std::vector<std::string> arguments = {
            "veldra-predict",       "--input",    input, "--models",
            lab.dir.file("models"), "--property", "pH",  "--output",
            lab.dir.file("p.csv"),  "--quiet"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::ostringstream out;
        std::ostringstream err;
        const std::atomic<bool> no_stop{false};
        const int code = run_predict_command(arguments, out, err, no_stop, false);
        return Result{code, out.str(), err.str()};
    };
    const std::string folder = lab.dir.file("models") + "/mir/pH";
    const Result defaults = predict(lab.dir.file("spectra.csv"), {});
    EXPECT_EQ(defaults.code, exit_failure);
    EXPECT_EQ(test::slashes(defaults.err),
              test::slashes("The model in '" + folder +
                            "' was calibrated with the transformation \"none\"; this job uses "
                            "\"first_der\". Choose --transform none (the window's "
                            "\"Transformation of the covariates\"). The model in '" +
                            folder +
                            "' fits y itself; this job applies the exponential "
                            "back-transformation, which it must not. Choose --exp no (the "
                            "window's \"Exponential transformation\").\n"));
    EXPECT_FALSE(boost::filesystem::exists(lab.dir.file("p.csv")));

    // Another instrument's table: one covariate more than the calibration had.
    std::string wider;
    std::istringstream lines(test::read_file(lab.dir.file("spectra.csv")));
    for (std::string line; std::getline(lines, line);) {
        wider += line + (wider.empty() ? ",g\n" : ",1\n");
    }
    const Result wide =
        predict(lab.dir.write("wide.csv", wider), {"--transform", "none", "--exp", "no"});
    EXPECT_EQ(wide.code, exit_failure);
    EXPECT_EQ(test::slashes(wide.err),
              test::slashes("The model in '" + folder +
                            "' was calibrated on 6 covariates; the input has 7. Choose spectra "
                            "with the model's covariates (a ... f).\n"));

    const Result matching =
        predict(lab.dir.file("spectra.csv"), {"--transform", "none", "--exp", "no"});
    EXPECT_EQ(matching.code, exit_success) << matching.err;

    // A card edited by hand afterwards is refused, naming what changed.
    const std::string card = test::read_file(folder + "/model.json");
    const std::size_t at = card.find("\"log\": false");
    ASSERT_NE(at, std::string::npos);
    lab.dir.write("models/mir/pH/model.json", std::string(card).replace(at, 12, "\"log\": true"));
    const Result edited =
        predict(lab.dir.file("spectra.csv"), {"--transform", "none", "--exp", "yes"});
    EXPECT_EQ(edited.code, exit_failure);
    EXPECT_EQ(test::slashes(edited.err),
              test::slashes("The model in '" + folder +
                            "' was changed after it was trained; what differs from its card's "
                            "record: its card's settings (pipeline, references, covariates, "
                            "transformation or calibration). Train the model again, or copy its "
                            "whole folder again from where it was trained.\n"));
}

// SIGTERM, as a service manager or a batch system sends it, stops as Ctrl-C does: exit 130,
// no model, no staging folder left in the tree.
TEST(TrainCommand, TerminationStopsCleanly) {
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX shell and signals; scripts/check-windows runs the program";
#else
    const Lab lab;
    std::string command = VELDRA_TRAIN_PROGRAM;
    std::vector<std::string> arguments = with(lab.arguments(), {"--burn-in", "1000000"});
    arguments.pop_back(); // without --quiet: progress lines show that the run is under way
    for (std::string& argument : arguments) {
        command += " '" + argument + "'";
    }
    const std::string script = lab.dir.write(
        "run.sh", command + " 2>'" + lab.dir.file("err") + "' & pid=$!\n" +
                      "while kill -0 $pid 2>/dev/null && ! grep -q progress '" +
                      lab.dir.file("err") + "'; do sleep 0.05; done\nkill -TERM $pid\nwait $pid\n");
    const int status = std::system(("bash '" + script + "'").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), exit_stopped);
    EXPECT_NE(test::read_file(lab.dir.file("err")).find("Stopped by user"), std::string::npos);
    EXPECT_FALSE(boost::filesystem::exists(lab.dir.file("models/mir/pH")));
    if (boost::filesystem::exists(lab.dir.file("models/mir"))) {
        EXPECT_TRUE(boost::filesystem::is_empty(lab.dir.file("models/mir")));
    }
#endif
}

} // namespace
} // namespace veldra
