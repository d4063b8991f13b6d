// veldra-predict: the prediction job from the command line.
#include "cli/command_line.h"
#include "cli/predict_command.h"

int main(int argc, char** argv) {
    return veldra::run_command(argc, argv, veldra::run_predict_command);
}
