#pragma once

#include "train/training.h"

#include <string>

#include <QtCharts/QChart>

namespace veldra {

// The card the trainer wrote, its list of covariate names replaced by their count: one per line,
// they would fill the view.
std::string calibration_card_text(const TrainingReport& report);

// Observed against predicted: out of fold when cross-validated, else the training fit, with each
// sample's 95% predictive band and the 1:1 line.
QtCharts::QChart* observed_chart(const TrainingReport& report);

} // namespace veldra
