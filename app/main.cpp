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

#include <QApplication>
#include <QMessageBox>

#include <iostream>
#include <map>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const bool spectra = argc == 5 && std::string(argv[3]) == "--spectra";
    if ((argc == 3 || spectra) && std::string(argv[1]) == "--results") {
        const std::string problem = veldra::summary_window_problem(argv[2]);
        if (!problem.empty()) {
            std::cerr << problem << "\n";
            return 1;
        }
        try {
            veldra::QtDialogs dialogs;
            veldra::ResultsWindow results(nullptr, veldra::read_summary_file(argv[2]),
                                          QString("Results: ") + argv[2], &dialogs);
            veldra::JobRecord record;
            if (spectra) {
                auto preview = std::make_shared<veldra::SpectraPreview>();
                veldra::CsvSpectraReader reader(argv[4]);
                veldra::SpectraTable block;
                block.names = reader.names();
                while (reader.read(block, 1024) > 0) {
                    preview->add(block, veldra::Transformation::first_derivative);
                }
                record.spectra = preview;
            }
            results.set_record(argv[2], record);
            results.choose_row(0);
            results.show();
            return application.exec();
        } catch (const std::exception& e) {
            QMessageBox::critical(nullptr, "Results", QString::fromStdString(e.what()));
            return 1;
        }
    }
    // "veldra --calibrate [--spectra P] [--targets CSV] [--target COLUMN] [--property NAME]
    // [--folds CSV] [--models DIR] [--start]": the calibration window alone, filled in.
    if (argc >= 2 && std::string(argv[1]) == "--calibrate") {
        std::map<std::string, QString> given;
        bool start = false;
        for (int i = 2; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "--start") {
                start = true;
            } else if (i + 1 < argc && option.rfind("--", 0) == 0) {
                given[option.substr(2)] = QString::fromLocal8Bit(argv[++i]);
            } else {
                std::cerr << "veldra: unknown option '" << option << "'\n";
                return 2;
            }
        }
        std::optional<veldra::ModelDirectory> models;
        if (given.count("models") > 0) {
            models = veldra::ModelDirectory(given["models"].toStdString());
        } else {
            models = veldra::find_model_directory(argv[0] == nullptr ? "" : argv[0], std::cerr);
        }
        if (!models) {
            return 1;
        }
        veldra::CalibrationWindow calibration(nullptr, *models,
                                              std::make_shared<veldra::QtDialogs>());
        calibration.fill(given["spectra"], given["targets"], given["target"], given["property"],
                         given["folds"]);
        calibration.show();
        if (start) {
            calibration.start();
        }
        return application.exec();
    }
    const std::optional<veldra::ModelDirectory> models =
        veldra::find_model_directory(argv[0] == nullptr ? "" : argv[0], std::cerr);
    if (!models) {
        return 1;
    }
    veldra::Veldra window(nullptr, *models);
    window.show();
    return application.exec();
}
