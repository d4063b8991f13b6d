#pragma once

#include "job/job_summary.h"

#include <QString>
#include <utility>

namespace QtCharts {
class QChart;
}

namespace veldra {

// "mir Carbon" for a pair of a summary.
QString pair_name(const std::pair<std::string, std::string>& pair);

// The chart of one pair of a summary (`index` in the table's order): every sample's mean with
// its credible and predictive 95% intervals, in sample order, samples outside the calibration
// domain marked. The caller owns the chart; an index out of range gives an empty chart.
QtCharts::QChart* make_pair_chart(const SummaryTable& table, int index);

} // namespace veldra
