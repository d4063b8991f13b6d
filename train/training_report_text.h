#pragma once

#include "train/training.h"

#include <string>

namespace veldra {

// What a finished calibration tells the user, as veldra-train prints it and the calibration
// window shows it: the samples, the fit's and the cross-validation's figures in a fixed-width
// table, and the pipeline and k candidates with their out-of-fold interval scores (the chosen one
// starred), how far each lies above the chosen one sample by sample, and which of them the
// samples cannot tell from it.
std::string training_report_text(const TrainingReport& report);

} // namespace veldra
