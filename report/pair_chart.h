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

// Whether a row's decision is to re-measure the sample.
bool remeasure(const SummaryRow& row);

struct PairChartOptions {
    bool by_mean = false;        // samples ordered by their mean, else in input order
    bool only_remeasure = false; // only the samples to re-measure
};

// The chart of one pair of a summary (`index` in the table's order): every sample's mean with
// its intervals as error bars, nothing joining one sample to the next: for a calibrated model,
// whiskers at the widest calibrated level and a box at the narrowest; else a box for the
// credible 95% interval and whiskers for the predictive 95% band. Samples outside the
// calibration domain and those to re-measure are marked.
// The caller owns the chart; an index out of range gives an empty chart.
QtCharts::QChart* make_pair_chart(const SummaryTable& table, int index,
                                  const PairChartOptions& options = PairChartOptions());

} // namespace veldra
