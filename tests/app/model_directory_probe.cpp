// Prints the model directory this program finds from its own path, as the window program does
// before it shows its window.
#include "app/model_directory.h"

#include <iostream>

int main(int, char** argv) {
    std::cout << veldra::find_model_directory(argv[0]).string() << std::endl;
    return 0;
}
