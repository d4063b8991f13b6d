// veldra-train: BART models calibrated from a lab's own reference values.
#include "cli/command_line.h"
#include "cli/train_command.h"

int main(int argc, char** argv) {
    return veldra::run_command(argc, argv, veldra::run_train_command);
}
