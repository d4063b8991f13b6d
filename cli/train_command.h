#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

namespace veldra {

// Runs veldra-train with `arguments` (the program path first): reads spectra and reference
// values, fits a BART model (after a cross-validation when asked) and writes it into the
// model tree. Log lines and progress go to `err`, the summary and the cross-validation table
// to `out`. A set `stop` ends the run at the next iteration (exit status 130) without touching
// an existing model. Exit statuses as veldra-predict's.
int run_train_command(const std::vector<std::string>& arguments, std::ostream& out,
                      std::ostream& err, const std::atomic<bool>& stop, bool terminal);

} // namespace veldra
