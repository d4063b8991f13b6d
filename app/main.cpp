// veldra: the window. "veldra --results FILE" opens the results window of an earlier job from its
// summary file instead.
#include "gui/results_window.h"
#include "gui/veldra.h"
#include "models/model_directory.h"

#include <QApplication>
#include <QMessageBox>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--results") {
        try {
            veldra::ResultsWindow results(nullptr, veldra::read_summary_file(argv[2]),
                                          QString("Results: ") + argv[2]);
            results.show();
            return application.exec();
        } catch (const std::exception& e) {
            QMessageBox::critical(nullptr, "Results", QString::fromStdString(e.what()));
            return 1;
        }
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
