// Prints the model directory this program finds from its own path, as the window program does
// before it shows its window.
#include "models/model_directory.h"

#include <iostream>

int main(int, char** argv) {
    const std::optional<veldra::ModelDirectory> models =
        veldra::find_model_directory(argv[0] == nullptr ? "" : argv[0], std::cerr);
    if (!models) {
        return 1;
    }
    std::cout << models->string() << std::endl;
    return 0;
}
