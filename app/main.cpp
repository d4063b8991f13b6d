#include "gui/veldra.h"
#include "models/model_directory.h"

#include <QApplication>

#include <iostream>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const std::optional<veldra::ModelDirectory> models =
        veldra::find_model_directory(argv[0] == nullptr ? "" : argv[0], std::cerr);
    if (!models) {
        return 1;
    }
    veldra::Veldra window(nullptr, *models);
    window.show();
    return application.exec();
}
