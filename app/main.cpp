#include "app/model_directory.h"
#include "gui/veldra.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const veldra::ModelDirectory model_dir = veldra::find_model_directory(argv[0]);
    veldra::Veldra window(nullptr, model_dir);
    window.show();
    return application.exec();
}
