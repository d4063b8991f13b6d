// veldra-train: BART models calibrated from a lab's own reference values.
#include "cli/terminal.h"
#include "cli/train_command.h"

#include <atomic>
#include <csignal>
#include <iostream>

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void request_stop(int) {
    stop_requested.store(true);
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, request_stop);
    const std::vector<std::string> arguments(argv, argv + argc);
    return veldra::run_train_command(arguments, std::cout, std::cerr, stop_requested,
                                     veldra::standard_error_is_terminal());
}
