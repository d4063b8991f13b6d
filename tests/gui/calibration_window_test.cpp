#include "gui/calibration_window.h"
#include "models/model_open.h"

#include "tests/support/error_text.h"
#include "tests/support/qt_wait.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/temp_dir.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSpinBox>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QXYSeries>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::ScriptedDialogs;
using test::TempDir;

// What reaches the standard error stream (file descriptor 2: std::cerr, std::clog and the logging
// core's console output alike) while `run` runs.
std::string standard_error_of(const std::function<void()>& run) {
    TempDir dir;
    const std::string path = dir.file("stderr.txt");
    std::cerr.flush();
    std::clog.flush();
    std::fflush(stderr);
    const int saved = dup(2);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, 2);
    close(file);
    run();
    std::cerr.flush();
    std::clog.flush();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return test::read_file(path);
}

std::map<std::string, std::string> folder_files(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string content = test::read_file(entry.path().string());
        // The compiled model records the draw files' times: its size stands for it.
        files[entry.path().filename().string()] =
            entry.path().filename() == compiled_model_file(folder).filename()
                ? std::to_string(content.size()) + " bytes"
                : content;
    }
    return files;
}

// Forty samples of twelve covariates whose Clay follows the fourth one; a text column and
// references of other samples for the bad inputs; a model tree to write into.
struct Lab {
    TempDir dir;
    std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();
    Lab() {
        std::mt19937_64 random(3);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::string spectra = "SSN";
        for (int k = 0; k < 12; ++k) {
            spectra += ",wn_" + std::to_string(4000 - 10 * k);
        }
        spectra += "\n";
        std::string targets = "SSN,Clay,Texture\n";
        std::string others = "SSN,Clay\n";
        for (int i = 0; i < 40; ++i) {
            const std::string id = "s" + std::to_string(100 + i);
            spectra += id;
            double level = 0;
            for (int k = 0; k < 12; ++k) {
                level += unit(random);
                spectra += "," + std::to_string(level);
            }
            spectra += "\n";
            targets += id + "," + std::to_string(10 + 40 * unit(random)) + ",loam\n";
            others += "x" + std::to_string(i) + ",20\n";
        }
        dir.write("spectra.csv", spectra);
        dir.write("targets.csv", targets);
        dir.write("others.csv", others);
        fs::create_directories(dir.path() / "models");
        fs::create_directories(dir.path() / "cli-models");
    }
    std::string models() const { return dir.file("models"); }
    QString file(const std::string& name) const { return QString::fromStdString(dir.file(name)); }
    // A small sampler, so that a calibration takes a moment.
    static void small(CalibrationWindow& window, int burn_in = 20) {
        const std::map<QString, int> values = {{"calibration_trees", 10},
                                               {"calibration_draws", 40},
                                               {"calibration_burn-in", burn_in},
                                               {"calibration_chains", 1}};
        for (const auto& [name, value] : values) {
            window.findChild<QSpinBox*>(name)->setValue(value);
        }
        window.findChild<QSpinBox*>("calibration_folds_count")->setValue(4);
    }
    // The Clay calibration of `small` filled in as a user would.
    void fill_small(CalibrationWindow& window) const {
        window.fill(file("spectra.csv"), file("targets.csv"), "Clay", "", "");
        small(window);
    }
    // Runs the window's calibration to its end without a dialog; its figures text.
    QString calibrate(CalibrationWindow& window) const {
        EXPECT_TRUE(window.start());
        EXPECT_TRUE(test::wait_until([&] { return !window.running(); }));
        EXPECT_TRUE(dialogs->calls.empty()) << dialogs->calls.front().toStdString();
        return window.findChild<QLabel*>("calibration_figures")->text();
    }
    // Runs veldra-train with the window's settings: the same model files, and the report it
    // prints (after the folder written) is the window's figures text.
    void expect_command_line_model(const std::string& options, const QString& figures) const {
        const std::string command =
            "SOURCE_DATE_EPOCH=1700000000 " + std::string(VELDRA_TRAIN_PROGRAM) +
            " --quiet --spectra '" + dir.file("spectra.csv") + "' --targets '" +
            dir.file("targets.csv") + "' --target Clay --property Clay --models '" +
            dir.file("cli-models") + "' --cv 4 --trees 10 --draws 40 --burn-in 20 --chains 1" +
            options + " > '" + dir.file("printed.txt") + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        const auto from_window = folder_files(dir.path() / "models" / "mir" / "m3.Clay");
        EXPECT_GT(from_window.size(), 40u);
        EXPECT_EQ(from_window, folder_files(dir.path() / "cli-models" / "mir" / "m3.Clay"));
        const std::string printed = test::read_file(dir.file("printed.txt"));
        std::size_t report = printed.find('\n');
        report = printed.find('\n', report + 1);
        ASSERT_NE(report, std::string::npos) << printed;
        EXPECT_EQ(figures.toStdString(), printed.substr(report + 1));
    }
};

TEST(CalibrationWindow, ACompleteCalibrationIsTheCommandLinesToTheByte) {
    Lab lab;
    const test::ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "1700000000");
    CalibrationWindow window(nullptr, lab.models(), lab.dialogs);
    window.fill(lab.file("spectra.csv"), lab.file("targets.csv"), "Clay", "", "");
    // The column's name is the property's unless the user names another.
    EXPECT_EQ(window.findChild<QComboBox*>("calibration_property")->currentText(), "Clay");
    EXPECT_EQ(window.findChild<QComboBox*>("calibration_column")->count(), 2);
    Lab::small(window);
    // The trainer's messages appear in the window, and nothing of the run on the console.
    const std::string console = standard_error_of([&] {
        ASSERT_TRUE(window.start());
        EXPECT_TRUE(window.running());
        ASSERT_TRUE(test::wait_until([&] { return !window.running(); }));
    });
    EXPECT_EQ(console, "");
    EXPECT_TRUE(lab.dialogs->calls.empty()) << lab.dialogs->calls.front().toStdString();
    const QString messages =
        window.findChild<QPlainTextEdit*>("calibration_messages")->toPlainText();
    EXPECT_TRUE(messages.contains("40 samples with a reference value")) << messages.toStdString();
    EXPECT_TRUE(messages.contains("Calibration domain: ")) << messages.toStdString();

    // Figures, the chart of every out-of-fold prediction with its band and the 1:1 line, the card.
    const QString figures = window.findChild<QLabel*>("calibration_figures")->text();
    EXPECT_TRUE(figures.contains("RPIQ")) << figures.toStdString();
    EXPECT_TRUE(figures.contains("(cv: random 4 folds, out-of-fold, pooled)"));
    QtCharts::QChart* chart = window.findChild<QtCharts::QChartView*>("calibration_chart")->chart();
    std::map<QString, int> points;
    for (QtCharts::QAbstractSeries* series : chart->series()) {
        points[series->name()] += dynamic_cast<QtCharts::QXYSeries*>(series)->count();
    }
    EXPECT_EQ(points["out-of-fold mean"], 40);
    EXPECT_EQ(points["1:1"], 2);
    EXPECT_EQ(chart->series().size(), 2 + 40); // a band per sample
    const QString card = window.findChild<QPlainTextEdit*>("calibration_card")->toPlainText();
    EXPECT_TRUE(card.contains("\"property\": \"Clay\"")) << card.toStdString();
    EXPECT_TRUE(card.contains("\"covariate_names\": [12 names]")) << card.toStdString();
    EXPECT_TRUE(
        window.findChild<QLabel*>("calibration_status")->text().startsWith("Model written"));

    EXPECT_FALSE(figures.contains("chosen by"));
    lab.expect_command_line_model("", figures);
}

TEST(CalibrationWindow, ChoosingKIsTheCommandLinesChoice) {
    Lab lab;
    const test::ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "1700000000");
    CalibrationWindow window(nullptr, lab.models(), lab.dialogs);
    lab.fill_small(window);
    window.findChild<QCheckBox*>("calibration_choose_k")->setChecked(true);
    EXPECT_FALSE(window.findChild<QDoubleSpinBox*>("calibration_k")->isEnabled());
    const QString figures = lab.calibrate(window);
    EXPECT_TRUE(figures.contains("chosen by the out-of-fold interval score"))
        << figures.toStdString();
    lab.expect_command_line_model(" --k 1,2,3,5", figures);
}

// A pipeline typed or chosen in the window is the command line's --preprocess: the same model,
// and the figures name the pipeline and every candidate's score.
TEST(CalibrationWindow, PreprocessingIsTheCommandLinesChoice) {
    Lab lab;
    const test::ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "1700000000");
    CalibrationWindow window(nullptr, lab.models(), lab.dialogs);
    lab.fill_small(window);
    auto* pipeline = window.findChild<QComboBox*>("calibration_preprocessing");
    auto* transformation = window.findChild<QComboBox*>("calibration_transformation");
    EXPECT_EQ(pipeline->currentText(), "transformation only");
    EXPECT_TRUE(transformation->isEnabled());
    window.fill_preprocessing("snv + first_der; first_der");
    EXPECT_FALSE(transformation->isEnabled()); // the pipeline takes its place
    const QString figures = lab.calibrate(window);
    EXPECT_TRUE(figures.contains("preprocessing chosen by the out-of-fold interval score"))
        << figures.toStdString();
    EXPECT_TRUE(figures.contains("  snv+first_der\n")) << figures.toStdString();
    lab.expect_command_line_model(" --preprocess 'snv+first_der;first_der'", figures);

    // The documented set needs cross-validation, as the command line does.
    window.fill_preprocessing("auto");
    EXPECT_TRUE(window.findChild<QCheckBox*>("calibration_choose_preprocessing")->isChecked());
    EXPECT_FALSE(pipeline->isEnabled());
    window.findChild<QComboBox*>("calibration_validation")->setCurrentText("none");
    EXPECT_EQ(test::error_text([&] { window.settings(); }),
              "Choosing the preprocessing needs cross-validation: choose K random folds or a "
              "folds file.");
}

// The method chosen in the window is the command line's --method: the same model folder, and
// the figures show every method side by side.
TEST(CalibrationWindow, MethodIsTheCommandLinesChoice) {
    Lab lab;
    const test::ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "1700000000");
    CalibrationWindow window(nullptr, lab.models(), lab.dialogs);
    lab.fill_small(window);
    auto* method = window.findChild<QComboBox*>("calibration_method");
    EXPECT_EQ(method->currentText(), "bart");
    method->setCurrentText("auto");
    const QString figures = lab.calibrate(window);
    for (const char* line : {"method chosen by the out-of-fold interval score", "bart       1.0",
                             "pls        0.0", "blend  "}) {
        EXPECT_TRUE(figures.contains(line)) << line << "\n" << figures.toStdString();
    }
    lab.expect_command_line_model(" --method auto", figures);

    window.findChild<QComboBox*>("calibration_validation")->setCurrentText("none");
    EXPECT_EQ(test::error_text([&] { window.settings(); }),
              "Choosing the method, or the blend's weight, needs cross-validation: choose K "
              "random folds or a folds file.");
    method->setCurrentText("pls");
    EXPECT_EQ(window.settings().methods, std::vector<std::string>{"pls"});
}

// The window's fields take exactly what the sampler takes: each field's ends pass the
// sampler's checks, and the sampler refuses what lies just beyond a whole-number field's ends.
TEST(CalibrationWindow, SettingFieldsHaveTheSamplersRanges) {
    Lab lab;
    CalibrationWindow window(nullptr, lab.models(), lab.dialogs);
    const auto problems = [](const char* option, double value) {
        BartOptions options; // 100 draws of a tree each: no two settings clash
        options.chains = 1;
        options.draws = 100;
        options.trees = 1;
        const BartOptionRange& range = bart_option_range(option);
        const auto set = [&](double v) {
            const std::string name = option;
            if (name == "trees")
                options.trees = static_cast<int>(v);
            if (name == "draws")
                options.draws = static_cast<int>(v);
            if (name == "burn-in")
                options.burn_in = static_cast<int>(v);
            if (name == "thin")
                options.thin = static_cast<int>(v);
            if (name == "chains")
                options.chains = static_cast<int>(v);
            if (name == "cuts")
                options.max_cuts = static_cast<int>(v);
            if (name == "alpha")
                options.alpha = v;
            if (name == "beta")
                options.beta = v;
            if (name == "k")
                options.k = v;
            if (name == "nu")
                options.nu = v;
            if (name == "q")
                options.q = v;
        };
        set(value);
        EXPECT_EQ(range.value(options), value) << option;
        return bart_option_problems(options).size();
    };
    for (const char* option : {"trees", "draws", "burn-in", "thin", "chains", "cuts"}) {
        const auto* field = window.findChild<QSpinBox*>(QString("calibration_") + option);
        ASSERT_NE(field, nullptr) << option;
        EXPECT_EQ(problems(option, field->minimum()), 0u) << option;
        EXPECT_EQ(problems(option, field->maximum()), 0u) << option;
        EXPECT_EQ(problems(option, field->minimum() - 1), 1u) << option;
        EXPECT_EQ(problems(option, field->maximum() + 1), 1u) << option;
    }
    for (const char* option : {"alpha", "beta", "k", "nu", "q"}) {
        const auto* field = window.findChild<QDoubleSpinBox*>(QString("calibration_") + option);
        ASSERT_NE(field, nullptr) << option;
        EXPECT_EQ(problems(option, field->minimum()), 0u) << option;
        EXPECT_EQ(problems(option, field->maximum()), 0u) << option;
    }
}

TEST(CalibrationWindow, ReplacingAsksAndCancellingKeepsTheModel) {
    Lab lab;
    lab.dir.write("models/mir/m3.Clay/rgy.txt", "0 1\n");
    lab.dir.write("models/mir/m3.Clay/MCMC1.json", "{}");
    const auto before = folder_files(lab.dir.path() / "models" / "mir" / "m3.Clay");
    CalibrationWindow window(nullptr, lab.models(), lab.dialogs);
    window.fill(lab.file("spectra.csv"), lab.file("targets.csv"), "Clay", "", "");
    Lab::small(window, 1000000);

    // No: nothing runs.
    lab.dialogs->question_answers = {false};
    EXPECT_FALSE(window.start());
    EXPECT_FALSE(window.running());
    ASSERT_EQ(lab.dialogs->calls.size(), 1u);
    EXPECT_TRUE(lab.dialogs->calls[0].startsWith("question:Replace model:A model of Clay for mir"));

    // Yes, then Cancel once it samples: the old model stays.
    lab.dialogs->question_answers = {true};
    ASSERT_TRUE(window.start());
    auto* status = window.findChild<QLabel*>("calibration_status");
    ASSERT_TRUE(test::wait_until([&] { return status->text().startsWith("iteration"); }));
    EXPECT_TRUE(status->text().contains("left")) << status->text().toStdString();
    window.cancel();
    ASSERT_TRUE(test::wait_until([&] { return !window.running(); }));
    EXPECT_TRUE(status->text().startsWith("Stopped")) << status->text().toStdString();
    EXPECT_EQ(folder_files(lab.dir.path() / "models" / "mir" / "m3.Clay"), before);

    // Closing while it runs asks first; No keeps it running, Yes stops it and waits.
    lab.dialogs->question_answers = {true, false, true};
    ASSERT_TRUE(window.start());
    ASSERT_TRUE(test::wait_until([&] { return status->text().startsWith("iteration"); }));
    window.show();
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.running());
    EXPECT_TRUE(window.close());
    EXPECT_TRUE(test::wait_until([&] { return !window.running(); }));
    EXPECT_TRUE(lab.dialogs->calls.back().startsWith("question:Stop calibration"));
    EXPECT_EQ(folder_files(lab.dir.path() / "models" / "mir" / "m3.Clay"), before);
}

TEST(CalibrationWindow, BadInputsAreToldBeforeAnyModelIsWritten) {
    Lab lab;
    const struct {
        const char* references;
        const char* column;
        int folds;
        const char* message;
    } cases[] = {
        {"others.csv", "Clay", 4,
         "matches a sample of the spectra (the spectra hold "
         "\"s100\", the targets \"x0\")"},
        {"targets.csv", "Texture", 4, "The value of \"s100\""},
        {"targets.csv", "Clay", 41, "Cross-validation needs from 2 to 40 folds"},
    };
    for (const auto& c : cases) {
        lab.dialogs->calls.clear();
        CalibrationWindow window(nullptr, lab.models(), lab.dialogs);
        window.fill(lab.file("spectra.csv"), lab.file(c.references), c.column, "Clay", "");
        Lab::small(window);
        window.findChild<QSpinBox*>("calibration_folds_count")->setValue(c.folds);
        ASSERT_TRUE(window.start());
        ASSERT_TRUE(test::wait_until([&] { return !window.running(); }));
        ASSERT_EQ(lab.dialogs->calls.size(), 1u) << c.message;
        EXPECT_TRUE(lab.dialogs->calls[0].startsWith("critical:Calibration:"));
        EXPECT_NE(lab.dialogs->calls[0].indexOf(c.message), -1)
            << lab.dialogs->calls[0].toStdString();
        EXPECT_FALSE(fs::exists(lab.dir.path() / "models" / "mir" / "m3.Clay"));
    }
    // An incomplete form or settings the sampler refuses: told at once, nothing started.
    lab.dialogs->calls.clear();
    CalibrationWindow empty(nullptr, lab.models(), lab.dialogs);
    EXPECT_FALSE(empty.start());
    EXPECT_EQ(lab.dialogs->calls,
              std::vector<QString>{"critical:Calibration:Choose the spectra: a CSV file or a "
                                   "folder of OPUS files."});
    // Filled with the spectra alone: nothing to say until started. The window starts inside the
    // screen (the test platform's is 800 by 600, smaller than its form).
    lab.dialogs->calls.clear();
    CalibrationWindow spectra_only(nullptr, lab.models(), lab.dialogs);
    const QRect screen = spectra_only.screen()->availableGeometry();
    EXPECT_LE(spectra_only.width(), screen.width());
    EXPECT_LE(spectra_only.height(), screen.height());
    spectra_only.fill(lab.file("spectra.csv"), "", "", "", "");
    EXPECT_TRUE(lab.dialogs->calls.empty()) << lab.dialogs->calls.front().toStdString();
    EXPECT_FALSE(spectra_only.start());
    EXPECT_EQ(lab.dialogs->calls,
              std::vector<QString>{"critical:Calibration:Choose the reference values: a CSV "
                                   "file with a column SSN."});
    CalibrationWindow form(nullptr, lab.models(), lab.dialogs);
    form.fill(lab.file("spectra.csv"), lab.file("targets.csv"), "Clay", "Clay", "");
    form.findChild<QComboBox*>("calibration_property")->setCurrentText("../Clay");
    EXPECT_FALSE(form.start());
    EXPECT_TRUE(lab.dialogs->calls.back().contains("not '../Clay'"));
    form.findChild<QComboBox*>("calibration_property")->setCurrentText("Clay");
    form.findChild<QComboBox*>("calibration_validation")->setCurrentText("folds file");
    EXPECT_FALSE(form.start());
    EXPECT_TRUE(lab.dialogs->calls.back().contains("Choose the folds file"));
    form.findChild<QComboBox*>("calibration_validation")->setCurrentText("none");
    form.findChild<QCheckBox*>("calibration_choose_k")->setChecked(true);
    EXPECT_FALSE(form.start());
    EXPECT_TRUE(lab.dialogs->calls.back().contains("Choosing k needs cross-validation"));
    form.findChild<QCheckBox*>("calibration_choose_k")->setChecked(false);
    form.findChild<QSpinBox*>("calibration_draws")->setValue(3);
    form.findChild<QSpinBox*>("calibration_chains")->setValue(4);
    EXPECT_FALSE(form.start());
    EXPECT_TRUE(lab.dialogs->calls.back().startsWith("critical:Calibration:chains "))
        << lab.dialogs->calls.back().toStdString();
    EXPECT_FALSE(form.running());
}

// A lab's own instrument and tables: the spectrometer field takes a new name (and offers the
// tree's own folders), the identifier column and the sample pattern reach the settings, and
// what cannot be a name or a pattern is told.
TEST(CalibrationWindow, OwnInstrumentIdentifierColumnAndSampleNamesReachTheSettings) {
    Lab lab;
    fs::create_directories(lab.dir.path() / "models" / "invenio-s" / "m3.Clay");
    CalibrationWindow window(nullptr, lab.models(), lab.dialogs);
    auto* spectrometer = window.findChild<QComboBox*>("calibration_spectrometer");
    ASSERT_TRUE(spectrometer->isEditable());
    QStringList offered;
    for (int i = 0; i < spectrometer->count(); ++i) {
        offered << spectrometer->itemText(i);
    }
    EXPECT_EQ(offered, (QStringList{"mir", "mpa", "alphakbr", "alphaznse", "invenio-s"}));

    // A table naming its samples in "sample_id": its other columns are the properties.
    std::string renamed = test::read_file(lab.dir.file("targets.csv"));
    renamed.replace(0, 3, "sample_id");
    lab.dir.write("lab.csv", renamed);
    window.findChild<QLineEdit*>("calibration_id-column")->setText("sample_id");
    window.fill(lab.file("spectra.csv"), lab.file("lab.csv"), "Clay", "", "");
    EXPECT_EQ(window.findChild<QComboBox*>("calibration_column")->count(), 2); // Clay, Texture
    spectrometer->setCurrentText("vertex70");
    window.findChild<QLineEdit*>("calibration_sample-id")->setText("^([^_]+)_");
    const TrainingSettings settings = window.settings();
    EXPECT_EQ(settings.spectrometer_type, "vertex70");
    EXPECT_EQ(settings.input.spectrometer, "vertex70");
    EXPECT_EQ(settings.input.id_column, "sample_id");
    EXPECT_EQ(settings.input.sample_id, "^([^_]+)_");

    window.findChild<QLineEdit*>("calibration_sample-id")->setText("^[^_]+_");
    EXPECT_EQ(test::error_text([&] { window.settings(); }),
              "--sample-id '^[^_]+_' has no group: put the sample's part of the file name in "
              "parentheses, as in '^([^_]+)_'.");
    window.findChild<QLineEdit*>("calibration_sample-id")->setText("");
    spectrometer->setCurrentText("../mir");
    EXPECT_EQ(test::error_text([&] { window.settings(); }),
              "Name the spectrometer with letters, digits, - and _ (at most 64), not '../mir'.");
}

} // namespace
} // namespace veldra
