#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

namespace veldra {

// Exit statuses of veldra-predict.
constexpr int exit_success = 0;
constexpr int exit_failure = 1; // the job's error text on the error stream
constexpr int exit_usage = 2;   // wrong options, with a usage line
constexpr int exit_stopped = 130;

// Runs veldra-predict with `arguments` (the program path first): the same job as the window's,
// log lines and progress on `err`, the files created on `out`. A set `stop` stops the job at
// its next checkpoint, as the window's stop does. `terminal` chooses a progress bar over
// plain progress lines.
int run_predict_command(const std::vector<std::string>& arguments, std::ostream& out,
                        std::ostream& err, const std::atomic<bool>& stop, bool terminal);

} // namespace veldra
