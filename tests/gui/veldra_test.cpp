#include "gui/calibration_window.h"
#include "gui/veldra.h"
#include "input/csv_reader.h"
#include "job/job_summary.h"

#include "tests/support/held_file.h"
#include "tests/support/qt_wait.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/temp_dir.h"
#include "tools/model_tree_generator.h"
#include "version.h"

#include <chrono>
#include <cmath>
#include <deque>
#include <memory>
#include <thread>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>
#include <QThread>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::ScriptedDialogs;
using test::TempDir;

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

// A window over a model tree of its own, driven through its widgets' object names.
struct Window {
    TempDir dir;
    std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();
    std::unique_ptr<Veldra> window;

    explicit Window(int draws = 5) {
        tools::ModelTreeOptions options;
        options.draws = draws;
        options.trees = 10;
        options.types = {"mir"};
        options.properties = {"Carbon", "pH", "N", "Ca"};
        tools::write_model_tree(dir.path() / "models", options);
        tools::write_example_spectra(dir.file("in.csv"), tools::grid_of_spectrometer("mir"), 3, 4);
        window = std::make_unique<Veldra>(nullptr, dir.path() / "models", dialogs);
    }
    template <class T>
    T* get(const char* name) const {
        T* child = window->findChild<T*>(name);
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    QString log() const { return get<QPlainTextEdit>("log_area")->toPlainText(); }
    void click(const char* button) { get<QPushButton>(button)->click(); }
    bool idle() const {
        const QPushButton* compute = get<QPushButton>("button_compute");
        return compute->text() == "Compute Predictions" && compute->isEnabled();
    }
    void ready_to_run(const std::vector<const char*>& properties) {
        get<QLineEdit>("edit_input")->setText(q(dir.file("in.csv")));
        get<QLineEdit>("edit_output")->setText(q(dir.file("out.csv")));
        for (const char* property : properties) {
            get<QCheckBox>(property)->setChecked(true);
        }
    }
};

TEST(VeldraWindow, FreshStateAndWidgetTree) {
    Window w;
    EXPECT_EQ(w.window->windowTitle(), "Veldra");
    EXPECT_EQ(w.get<QLineEdit>("edit_input")->text(), "");
    EXPECT_EQ(w.get<QLineEdit>("edit_input")->placeholderText(), "[Please select a csv file]");
    EXPECT_EQ(w.get<QLineEdit>("edit_output")->placeholderText(), "[Please select output file]");
    EXPECT_FALSE(w.get<QPushButton>("button_open_folder")->isEnabled());
    EXPECT_EQ(w.get<QProgressBar>("progress_bar")->value(), -1);       // reset: empty
    EXPECT_EQ(w.get<QLabel>("label_version")->text(), veldra_version); // the build's own
    EXPECT_TRUE(w.get<QLabel>("label_about")->text().contains("About this app"));
    EXPECT_TRUE(w.get<QLabel>("label_about")->text().contains("doc/veldra/README.md"));
    EXPECT_TRUE(w.get<QLabel>("label_feedback")->text().contains("mailto:"));
    const auto items = [&](const char* name) {
        QStringList out;
        const QComboBox* box = w.get<QComboBox>(name);
        for (int i = 0; i < box->count(); ++i) {
            out << box->itemText(i);
        }
        return out;
    };
    EXPECT_EQ(items("box_filetype"), (QStringList{"csv", "opus"}));
    EXPECT_EQ(items("combo_box_spectr"), (QStringList{"mir", "mpa", "alphakbr", "alphaznse"}));
    EXPECT_EQ(items("combo_box_transform"), (QStringList{"first_der", "no transformation"}));
    EXPECT_EQ(items("combo_box_exptrf"), (QStringList{"Yes", "No"}));
    EXPECT_EQ(w.get<QCheckBox>("check_box_EC_S")->text(), "EC.S");
    EXPECT_FALSE(w.get<QCheckBox>("check_box_Carbon")->isChecked());
    EXPECT_FALSE(w.get<QPushButton>("veldra_logo")->icon().isNull());
    EXPECT_EQ(w.get<QPushButton>("button_compute")->text(), "Compute Predictions");
    EXPECT_FALSE(w.get<QPushButton>("button_results")->isEnabled()); // no job yet

    // "calibrate..." opens the calibration window over the window's model tree, modal.
    w.click("button_calibrate");
    auto* calibration = w.window->findChild<CalibrationWindow*>("calibration_window");
    ASSERT_NE(calibration, nullptr);
    EXPECT_TRUE(calibration->isVisible());
    EXPECT_EQ(calibration->windowModality(), Qt::ApplicationModal);
    calibration->close();
}

TEST(VeldraWindow, InputTypesRememberTheirOwnChoice) {
    Window w;
    w.dialogs->file_answers = {"/data/spectra.csv", "", "/data/scans"};
    w.click("button_in");
    EXPECT_EQ(w.get<QLineEdit>("edit_input")->text(), "/data/spectra.csv");
    w.get<QComboBox>("box_filetype")->setCurrentText("opus");
    EXPECT_EQ(w.get<QLineEdit>("edit_input")->text(), "");
    EXPECT_EQ(w.get<QLineEdit>("edit_input")->placeholderText(),
              "[Please select the folder containing opus files]");
    w.get<QLineEdit>("edit_input")->setText("typed by hand");
    w.click("button_in"); // cancelled: the remembered (empty) choice comes back
    EXPECT_EQ(w.get<QLineEdit>("edit_input")->text(), "");
    w.click("button_in");
    EXPECT_EQ(w.get<QLineEdit>("edit_input")->text(), "/data/scans");
    w.get<QComboBox>("box_filetype")->setCurrentText("csv");
    EXPECT_EQ(w.get<QLineEdit>("edit_input")->text(), "/data/spectra.csv");
    EXPECT_EQ(w.dialogs->calls,
              (std::vector<QString>{"open_file:Spectrum measurement file",
                                    "choose_directory:Directory for opus files",
                                    "choose_directory:Directory for opus files"}));
}

TEST(VeldraWindow, ValidationOpensDialogsInsteadOfStarting) {
    Window w;
    w.get<QPlainTextEdit>("log_area")->setPlainText("earlier log");
    w.dialogs->file_answers = {q(w.dir.file("in.csv"))};
    w.click("button_compute"); // no input: the input dialog, no job
    EXPECT_TRUE(w.idle());
    w.click("button_compute"); // no output: the output dialog, no job
    EXPECT_TRUE(w.idle());
    EXPECT_EQ(w.dialogs->calls, (std::vector<QString>{"open_file:Spectrum measurement file",
                                                      "save_file:Output file"}));
    w.get<QLineEdit>("edit_output")->setText(q(w.dir.file("out.csv")));
    w.click("button_compute"); // no property
    EXPECT_EQ(w.dialogs->calls.back(),
              "critical:Internal error!:Please choose at least one soil property");
    EXPECT_EQ(w.log(), "earlier log");
    EXPECT_TRUE(w.idle());
}

TEST(VeldraWindow, AWholeJobEndsInDone) {
    Window w;
    w.ready_to_run({"check_box_pH", "check_box_Carbon"});
    w.get<QPlainTextEdit>("log_area")->setPlainText("earlier log");
    w.click("button_compute");
    EXPECT_EQ(w.get<QPushButton>("button_compute")->text(), "Cancel");
    ASSERT_TRUE(test::wait_until([&] { return w.idle(); }));
    const std::string carbon = w.dir.file("out-mir-Carbon.csv");
    const std::string ph = w.dir.file("out-mir-pH.csv");
    const std::string summary = w.dir.file("out-summary.csv");
    // Done, then the results window over the job's summary.
    EXPECT_EQ(w.dialogs->calls,
              (std::vector<QString>{"information:Done:Files created:\n  " + q(carbon) + "\n  " +
                                        q(ph) + "\n  " + q(summary) + "\n",
                                    "results:" + q(summary)}));
    EXPECT_TRUE(w.log().startsWith("Running prediction from list of json files\n"));
    EXPECT_EQ(w.log().count("demonstration models"), 1); // told once per job
    EXPECT_EQ(test::read_file(summary).substr(0, 4), "SSN,");
    EXPECT_EQ(w.log().count("Predictions complete."), 2);
    EXPECT_EQ(w.get<QProgressBar>("progress_bar")->value(), -1);
    EXPECT_TRUE(test::read_file(ph).rfind("SSN,draw 1,", 0) == 0);
    // The results came with the job's record: its models and the spectra it read.
    ASSERT_EQ(w.dialogs->records.size(), 1u);
    const JobRecord& record = w.dialogs->records.front();
    EXPECT_TRUE(record.recorded);
    ASSERT_EQ(record.pairs.size(), 2u);
    EXPECT_EQ(record.pairs[0].property, "Carbon");
    ASSERT_NE(record.spectra, nullptr);
    EXPECT_EQ(record.spectra->ids, read_spectra_csv(w.dir.file("in.csv")).ids);

    // The results button opens them again.
    EXPECT_TRUE(w.get<QPushButton>("button_results")->isEnabled());
    w.dialogs->calls.clear();
    w.click("button_results");
    EXPECT_EQ(w.dialogs->calls, std::vector<QString>{"results:" + q(summary)});

    // The same job again: every line once, the log cleared first.
    w.dialogs->calls.clear();
    w.click("button_compute");
    ASSERT_TRUE(test::wait_until([&] { return w.idle(); }));
    EXPECT_EQ(w.log().count("Predictions complete."), 2);
    EXPECT_EQ(w.dialogs->calls.size(), 2u);
}

// The interval levels and tolerances typed in reach the job: the summary has the calibrated
// columns of each level and the decisions of the properties given; a tolerance of a property
// not chosen, or a level out of range, is told before any job.
TEST(VeldraWindow, LevelsAndTolerancesReachTheSummary) {
    Window w;
    w.ready_to_run({"check_box_pH", "check_box_Carbon"});
    w.get<QLineEdit>("edit_levels")->setText("0.9, 0.68");
    w.get<QLineEdit>("edit_tolerances")->setText("N=0.1");
    w.click("button_compute");
    EXPECT_TRUE(w.idle());
    EXPECT_EQ(w.dialogs->calls.back(),
              "critical:Internal error!:The tolerance names N, which is not a property chosen.");
    w.get<QLineEdit>("edit_levels")->setText("1.5");
    w.click("button_compute");
    EXPECT_TRUE(w.dialogs->calls.back().contains("The interval level \"1.5\" is not a number"));
    w.get<QLineEdit>("edit_levels")->setText("0.9, 0.68");
    w.get<QLineEdit>("edit_tolerances")->setText("pH=0.5");
    w.dialogs->calls.clear();
    w.click("button_compute");
    ASSERT_TRUE(test::wait_until([&] { return w.idle(); }));
    const SummaryTable summary = read_summary_file(w.dir.file("out-summary.csv"));
    EXPECT_EQ(summary.levels, (std::vector<double>{0.9, 0.68}));
    ASSERT_FALSE(summary.rows.empty());
    for (const SummaryRow& row : summary.rows) {
        ASSERT_EQ(row.calibrated.size(), 4u);
        if (row.text(SummaryColumn::property) == "pH") {
            // Demonstration models are not calibrated.
            EXPECT_EQ(row.decision,
                      sample_decision(row.domain()[0], std::nan(""), std::nan(""), 0.5));
        } else {
            EXPECT_EQ(row.decision, "NA");
        }
    }
    ASSERT_EQ(w.dialogs->records.size(), 1u);
    EXPECT_EQ(w.dialogs->records.front().pairs.size(), 2u);
}

TEST(VeldraWindow, AFailingJobEndsInInternalError) {
    Window w;
    w.ready_to_run({"check_box_K"}); // no model for K in this tree
    w.click("button_compute");
    ASSERT_TRUE(test::wait_until([&] { return w.idle(); }));
    EXPECT_EQ(w.dialogs->calls,
              (std::vector<QString>{"critical:Internal error!:Cannot open rangefile '" +
                                    q(w.dir.file("models/mir/m3.K/rgy.txt")) +
                                    "' for reading.\nThe model folder '" +
                                    q(w.dir.file("models/mir/m3.K")) +
                                    "' does not exist: check the spectrometer type and the "
                                    "property (names are case-sensitive: mir, not MIR) and the "
                                    "model directory."}));
}

// Replaces the window's input by a pipe, so that a job started on it waits at its start until
// the test releases the spectra.
std::unique_ptr<test::HeldFile> hold_input(const Window& w) {
    const std::string spectra = test::read_file(w.dir.file("in.csv"));
    boost::filesystem::remove(w.dir.file("in.csv"));
    auto held = std::make_unique<test::HeldFile>(w.dir.file("in.csv"), spectra);
    EXPECT_TRUE(held->ok());
    return held;
}

TEST(VeldraWindow, StopAnsweredNoThenYes) {
    Window w;
    w.ready_to_run({"check_box_Carbon", "check_box_pH", "check_box_N", "check_box_Ca"});
    const auto held = hold_input(w);
    w.dialogs->question_answers = {false, true};
    w.click("button_compute");
    w.click("button_compute"); // No: the job goes on
    EXPECT_EQ(w.get<QPushButton>("button_compute")->text(), "Cancel");
    EXPECT_TRUE(w.get<QPushButton>("button_compute")->isEnabled());
    w.click("button_compute"); // Yes
    EXPECT_FALSE(w.get<QPushButton>("button_compute")->isEnabled());
    EXPECT_TRUE(w.log().contains("Stopped by user"));
    held->release();
    ASSERT_TRUE(test::wait_until([&] { return w.idle(); }));
    const QString question =
        "question:Stop computations:All data will be lost.\nAre you sure you want to quit?";
    EXPECT_EQ(w.dialogs->calls, (std::vector<QString>{question, question})); // and no box
    EXPECT_FALSE(boost::filesystem::exists(w.dir.file("out-mir-Carbon.csv")));
    EXPECT_FALSE(boost::filesystem::exists(w.dir.file("out-mir-pH.csv")));
}

TEST(VeldraWindow, ClosingDuringAJobStopsItFirst) {
    Window w;
    w.ready_to_run({"check_box_Carbon", "check_box_pH", "check_box_N", "check_box_Ca"});
    const auto held = hold_input(w);
    w.click("button_compute");
    const QThread* job = w.window->findChild<QThread*>();
    ASSERT_NE(job, nullptr);
    // The spectra arrive only once closing has asked the job to stop.
    std::thread releaser([&] {
        while (!job->isInterruptionRequested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        held->release();
    });
    w.window.reset(); // must stop the job and wait for its thread
    releaser.join();
    EXPECT_FALSE(boost::filesystem::exists(w.dir.file("out-mir-Carbon.csv")));
    EXPECT_FALSE(boost::filesystem::exists(w.dir.file("out-mir-pH.csv")));
    EXPECT_TRUE(w.dialogs->calls.empty());
}

// The cards of the chosen models set the transformation and the back-transformation when they
// agree; a disagreement leaves the user's choice.
TEST(VeldraWindow, ModelCardsPreselectTheTransformations) {
    Window w;
    const auto transform = [&] { return w.get<QComboBox>("combo_box_transform")->currentText(); };
    const auto exponential = [&] { return w.get<QComboBox>("combo_box_exptrf")->currentText(); };
    EXPECT_EQ(transform(), "first_der");
    EXPECT_EQ(exponential(), "Yes");
    w.dir.write("models/mir/pH/model.json", R"({"property": "pH", "spectrometer_type": "mir",
        "transformation": "none", "log": false, "covariates": 3578})");
    w.get<QCheckBox>("check_box_pH")->setChecked(true);
    EXPECT_EQ(transform(), "no transformation");
    EXPECT_EQ(exponential(), "No");
    // Carbon's demonstration card says neither: pH's still decides.
    w.get<QCheckBox>("check_box_Carbon")->setChecked(true);
    EXPECT_EQ(transform(), "no transformation");
    // N's card disagrees: nothing changes.
    w.dir.write("models/mir/Total.Nitrogen/model.json", R"({"property": "N",
        "spectrometer_type": "mir", "transformation": "first_der", "log": true,
        "covariates": 3578})");
    w.get<QCheckBox>("check_box_N")->setChecked(true);
    EXPECT_EQ(transform(), "no transformation");
    EXPECT_EQ(exponential(), "No");
    w.get<QCheckBox>("check_box_pH")->setChecked(false); // only N's card is left
    EXPECT_EQ(transform(), "first_der");
    EXPECT_EQ(exponential(), "Yes");
    // A damaged card is left for the job to report.
    w.dir.write("models/mir/Total.Nitrogen/model.json", "{");
    w.get<QCheckBox>("check_box_N")->setChecked(false);
    w.get<QCheckBox>("check_box_N")->setChecked(true);
    EXPECT_EQ(transform(), "first_der");
    EXPECT_TRUE(w.dialogs->calls.empty());
}

// A new output folder is offered to be made before the job; a file in its place stops it.
TEST(VeldraWindow, OutputFolderMadeOnRequestOrRefused) {
    Window w;
    w.ready_to_run({"check_box_pH"});
    const std::string folder = w.dir.file("new/folder");
    w.get<QLineEdit>("edit_output")->setText(q(folder + "/job.csv"));
    w.dialogs->question_answers = {false, true};
    w.click("button_compute"); // No: nothing made, nothing run
    EXPECT_TRUE(w.idle());
    EXPECT_FALSE(boost::filesystem::exists(folder));
    w.click("button_compute"); // Yes
    ASSERT_TRUE(test::wait_until([&] { return w.idle(); }));
    EXPECT_TRUE(boost::filesystem::exists(folder + "/job.csv"));
    const QString question =
        "question:Create folder:The output folder '" + q(folder) + "' does not exist.\nCreate it?";
    ASSERT_EQ(w.dialogs->calls.size(), 4u);
    EXPECT_EQ(w.dialogs->calls[0], question);
    EXPECT_EQ(w.dialogs->calls[1], question);
    EXPECT_TRUE(w.dialogs->calls[2].startsWith("information:Done:Files created:"));
    EXPECT_EQ(w.dialogs->calls[3], "results:" + q(folder + "/job-summary.csv"));

    w.dir.write("plain", "x");
    w.get<QLineEdit>("edit_output")->setText(q(w.dir.file("plain") + "/job.csv"));
    w.click("button_compute");
    EXPECT_TRUE(w.idle());
    EXPECT_EQ(w.dialogs->calls.back(), "critical:Internal error!:The output folder '" +
                                           q(w.dir.file("plain")) + "' is a file, not a folder.");
}

// The window refuses, before any work, an output that would replace its input.
TEST(VeldraWindow, AnOutputThatIsTheInputIsRefused) {
    Window w;
    w.ready_to_run({"check_box_pH"});
    const std::string input = test::read_file(w.dir.file("in.csv"));
    w.get<QLineEdit>("edit_output")->setText(q(w.dir.file("in.csv")));
    w.click("button_compute");
    EXPECT_TRUE(w.idle());
    EXPECT_EQ(w.dialogs->calls.back(), "critical:Internal error!:The output '" +
                                           q(w.dir.file("in.csv")) + "' is the job's input '" +
                                           q(w.dir.file("in.csv")) +
                                           "': choose another output path.");
    EXPECT_EQ(test::read_file(w.dir.file("in.csv")), input);
    // Through a ".." too: the summary of "in" would be "in-summary.csv", the input of this job.
    w.dir.write("in-summary.csv", input);
    w.dir.write("sub/notes.txt", "");
    w.get<QLineEdit>("edit_input")->setText(q(w.dir.file("in-summary.csv")));
    w.get<QLineEdit>("edit_output")->setText(q(w.dir.file("sub/../in.csv")));
    w.get<QCheckBox>("check_box_N")->setChecked(true);
    w.click("button_compute");
    EXPECT_TRUE(w.idle());
    EXPECT_TRUE(w.dialogs->calls.back().endsWith("': choose another output path."))
        << w.dialogs->calls.back().toStdString();
    EXPECT_EQ(test::read_file(w.dir.file("in-summary.csv")), input);
}

TEST(VeldraWindow, OpenFolderAndOutputField) {
    Window w;
    QLineEdit* output = w.get<QLineEdit>("edit_output");
    output->setText(q(w.dir.file("nothing.csv")));
    EXPECT_TRUE(w.get<QPushButton>("button_open_folder")->isEnabled());
    w.click("button_open_folder");
    output->setText(q(w.dir.path().string()));
    w.click("button_open_folder");
    output->setText(q(w.dir.file("in.csv")));
    w.click("button_open_folder");
    EXPECT_EQ(w.dialogs->calls,
              (std::vector<QString>{
                  "critical:Open failed:File not found: '" + q(w.dir.file("nothing.csv")) + "'",
                  "critical:Open failed:Not a file: '" + q(w.dir.path().string()) + "'"}));
    ASSERT_EQ(w.dialogs->opened.size(), 1u);
    EXPECT_EQ(w.dialogs->opened[0].toLocalFile().toStdString(), w.dir.path().string());
    output->clear();
    EXPECT_FALSE(w.get<QPushButton>("button_open_folder")->isEnabled());

    w.dialogs->file_answers = {"/data/result.csv"};
    w.click("button_out");
    EXPECT_EQ(output->text(), "/data/result.csv");
    w.click("button_out"); // cancelled: unchanged
    EXPECT_EQ(output->text(), "/data/result.csv");
}

TEST(VeldraWindow, LogLinesKeepTheUsersCursorAndClearLogEmptiesIt) {
    Window w;
    QPlainTextEdit* log = w.get<QPlainTextEdit>("log_area");
    w.window->send_log_string("first");
    QTextCursor cursor = log->textCursor();
    cursor.setPosition(1);
    cursor.setPosition(3, QTextCursor::KeepAnchor);
    log->setTextCursor(cursor);
    w.window->send_log_string("two\nlines");
    EXPECT_EQ(log->toPlainText(), "first\ntwo\nlines\n");
    EXPECT_EQ(log->textCursor().selectedText(), "ir");
    w.window->set_progress(10, 4);
    EXPECT_EQ(w.get<QProgressBar>("progress_bar")->maximum(), 10);
    EXPECT_EQ(w.get<QProgressBar>("progress_bar")->value(), 4);
    w.click("button_clear");
    EXPECT_EQ(log->toPlainText(), "");
}

// A model tree holding a lab's own spectrometer folder and property: the window offers both
// beside the standard ones, and predicts the lab's property; a sample pattern that is not one
// is told before any job.
TEST(VeldraWindow, ALabsOwnSpectrometerAndPropertyAreOfferedAndPredicted) {
    Window w;
    namespace fs = boost::filesystem;
    const fs::path models = w.dir.path() / "models";
    const fs::path clay = models / "vertex70" / "m3.Clay";
    fs::create_directories(clay);
    for (const fs::directory_entry& file : fs::directory_iterator(models / "mir" / "pH")) {
        if (file.path().filename() != "model.json") { // its card names pH under mir
            fs::copy_file(file.path(), clay / file.path().filename());
        }
    }
    w.window = std::make_unique<Veldra>(nullptr, models, w.dialogs);
    auto* spectrometer = w.get<QComboBox>("combo_box_spectr");
    QStringList offered;
    for (int i = 0; i < spectrometer->count(); ++i) {
        offered << spectrometer->itemText(i);
    }
    EXPECT_EQ(offered, (QStringList{"mir", "mpa", "alphakbr", "alphaznse", "vertex70"}));
    EXPECT_EQ(w.window->findChild<QCheckBox*>("check_box_own_Clay"), nullptr); // not under mir
    spectrometer->setCurrentText("vertex70");
    auto* own = w.get<QCheckBox>("check_box_own_Clay");
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->text(), "Clay");
    w.ready_to_run({"check_box_own_Clay"});
    w.get<QLineEdit>("edit_sample_id")->setText("^(");
    w.click("button_compute");
    EXPECT_TRUE(w.idle());
    EXPECT_TRUE(w.dialogs->calls.back().startsWith(
        "critical:Internal error!:--sample-id '^(' is not a regular expression"))
        << w.dialogs->calls.back().toStdString();
    w.get<QLineEdit>("edit_sample_id")->setText("");
    w.dialogs->calls.clear();
    w.click("button_compute");
    ASSERT_TRUE(test::wait_until([&] { return w.idle(); }));
    const std::string output = w.dir.file("out.csv"); // one pair: the output itself
    ASSERT_FALSE(w.dialogs->calls.empty());
    EXPECT_TRUE(w.dialogs->calls.front().startsWith("information:Done:"))
        << w.dialogs->calls.front().toStdString();
    EXPECT_TRUE(test::read_file(output).rfind("SSN,draw 1,", 0) == 0);
    const SummaryTable summary = read_summary_file(w.dir.file("out-summary.csv"));
    ASSERT_FALSE(summary.rows.empty());
    EXPECT_TRUE(summary.rows[0].of_pair({"vertex70", "Clay"}));
    // A property calibrated in the calibration window is offered once that window closes.
    w.click("button_calibrate");
    auto* calibration = w.window->findChild<CalibrationWindow*>("calibration_window");
    ASSERT_NE(calibration, nullptr);
    fs::create_directories(models / "vertex70" / "m3.Sand");
    EXPECT_EQ(w.window->findChild<QCheckBox*>("check_box_own_Sand"), nullptr);
    calibration->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_NE(w.window->findChild<QCheckBox*>("check_box_own_Sand"), nullptr);
    EXPECT_TRUE(w.get<QCheckBox>("check_box_own_Clay")->isChecked()); // kept as it was
    // Back to mir: the lab's properties are not offered there.
    spectrometer->setCurrentText("mir");
    EXPECT_EQ(w.window->findChild<QCheckBox*>("check_box_own_Clay"), nullptr);
    // A calibration window left open when the window goes does not call back into it.
    w.click("button_calibrate");
    w.window.reset();
}

} // namespace
} // namespace veldra
