// veldra: the window. "veldra --results FILE [--spectra CSV]" opens the results window of an
// earlier job from its summary file instead, with the spectra of its CSV input when given (the
// transformed view taking the first derivative).
#include "gui/calibration_window.h"
#include "gui/dialogs.h"
#include "gui/results_window.h"
#include "gui/veldra.h"
#include "input/csv_reader.h"
#include "job/spectra_preview.h"
#include "models/model_directory.h"
#include "text/platform.h"
#include "version.h"

#include <QApplication>
#include <QMessageBox>

#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* usage =
    "Usage: veldra                                the window\n"
    "       veldra --results SUMMARY [--spectra CSV]\n"
    "                                             the results window of an earlier job\n"
    "       veldra --calibrate [--spectra PATH] [--targets CSV] [--target COLUMN]\n"
    "                          [--property NAME] [--folds CSV] [--preprocess PIPELINE]\n"
    "                          [--method METHOD] [--models DIR] [--start]\n"
    "                                             the calibration window, filled in\n"
    "       veldra --help | --version\n"
    "Predicting from the command line: veldra-predict --help; calibrating: veldra-train --help.\n";

// "--help" and "--version" print and end the program before any window (or display) is needed.
std::optional<int> answered_alone(int argc, char** argv) {
    if (argc != 2) {
        return std::nullopt;
    }
    const std::string option = argv[1];
    if (option == "--help" || option == "-h") {
        std::cout << usage;
        return 0;
    }
    if (option == "--version") {
        std::cout << "veldra " << veldra::veldra_version << "\n";
        return 0;
    }
    return std::nullopt;
}

// "veldra --results SUMMARY [--spectra CSV]": the results window of an earlier job.
int show_results(QApplication& application, const std::vector<std::string>& arguments) {
    const std::string& summary = arguments[2];
    const std::string problem = veldra::summary_window_problem(summary);
    if (!problem.empty()) {
        std::cerr << problem << "\n";
        return 1;
    }
    try {
        veldra::QtDialogs dialogs;
        veldra::ResultsWindow results(nullptr, veldra::read_summary_file(summary),
                                      "Results: " + QString::fromStdString(summary), &dialogs);
        veldra::JobRecord record;
        if (arguments.size() == 5) {
            auto preview = std::make_shared<veldra::SpectraPreview>();
            veldra::CsvSpectraReader reader(arguments[4]);
            veldra::SpectraTable block;
            block.names = reader.names();
            while (reader.read(block, 1024) > 0) {
                preview->add(block, veldra::Transformation::first_derivative);
            }
            record.spectra = preview;
        }
        results.set_record(summary, record);
        results.choose_first_outside();
        results.show();
        return application.exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "Results", QString::fromStdString(e.what()));
        return 1;
    }
}

// "veldra --calibrate [--spectra P] [--targets CSV] [--target COLUMN] [--property NAME]
// [--folds CSV] [--preprocess PIPELINE] [--method METHOD] [--models DIR] [--start]": the
// calibration window
// alone, filled in.
int show_calibration(QApplication& application, const std::vector<std::string>& arguments,
                     const char* first_argument) {
    std::map<std::string, QString> given;
    bool start = false;
    for (std::size_t i = 2; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--start") {
            start = true;
        } else if (i + 1 < arguments.size() && option.rfind("--", 0) == 0) {
            given[option.substr(2)] = QString::fromStdString(arguments[++i]);
        } else {
            std::cerr << "veldra: unknown option '" << option << "'\n";
            return 2;
        }
    }
    std::optional<veldra::ModelDirectory> models;
    if (given.count("models") > 0) {
        models = veldra::ModelDirectory(given["models"].toStdString());
    } else {
        models = veldra::find_model_directory(veldra::program_path(first_argument), std::cerr);
    }
    if (!models) {
        return 1;
    }
    veldra::CalibrationWindow calibration(nullptr, *models, std::make_shared<veldra::QtDialogs>());
    calibration.fill(given["spectra"], given["targets"], given["target"], given["property"],
                     given["folds"]);
    if (given.count("preprocess") > 0) {
        calibration.fill_preprocessing(given["preprocess"]);
    }
    if (given.count("method") > 0) {
        calibration.fill_method(given["method"]);
    }
    calibration.show();
    if (start) {
        calibration.start();
    }
    return application.exec();
}

} // namespace

int main(int argc, char** argv) {
    veldra::keep_freed_memory_for_reuse();
    if (const std::optional<int> code = answered_alone(argc, argv)) {
        return *code;
    }
    if (veldra::windows_follow_display_scaling()) {
        // 150% stays 1.5, not rounded to 2.
        QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
        QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
            Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    }
    QApplication application(argc, argv);
    // UTF-8 texts, whatever the platform passed.
    const std::vector<std::string> arguments = veldra::program_arguments(argc, argv);
    const std::size_t count = arguments.size();
    const bool spectra = count == 5 && arguments[3] == "--spectra";
    if ((count == 3 || spectra) && arguments[1] == "--results") {
        return show_results(application, arguments);
    }
    if (count >= 2 && arguments[1] == "--calibrate") {
        return show_calibration(application, arguments, argv[0]);
    }
    if (count >= 2) {
        std::cerr << "veldra: unknown option '" << arguments[1] << "'\n" << usage;
        return 2;
    }
    const std::optional<veldra::ModelDirectory> models =
        veldra::find_model_directory(veldra::program_path(argv[0]), std::cerr);
    if (!models) {
        return 1;
    }
    veldra::Veldra window(nullptr, *models);
    window.show();
    return application.exec();
}
