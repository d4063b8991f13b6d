#include "gui/summary_model.h"

#include <cmath>
#include <map>

namespace veldra {

// The interval a cell shows: the calibrated one its decision was made on, else predictive
// where the model gives one, else credible.
QString summary_cell_text(const SummaryRow& row) {
    using C = SummaryColumn;
    if (decided_on_calibrated(row)) {
        return QString::fromStdString(row.text(C::mean) + " [" + bound_text(row.calibrated[0]) +
                                      ", " + bound_text(row.calibrated[1]) + "]");
    }
    const bool predictive = row.text(C::predictive_low) != "NA";
    const std::string& low = row.text(predictive ? C::predictive_low : C::low);
    const std::string& high = row.text(predictive ? C::predictive_high : C::high);
    return QString::fromStdString(row.text(C::mean) + " [" + low + ", " + high + "]");
}

bool decided_on_calibrated(const SummaryRow& row) {
    return !row.decision.empty() && row.decision != "NA" && row.calibrated.size() >= 2 &&
           !std::isnan(row.calibrated[0]) && !std::isnan(row.calibrated[1]);
}

std::string bound_text(double value) {
    if (std::isnan(value)) {
        return "NA";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-Inf" : "Inf";
    }
    return QString::number(value, 'g', 6).toStdString();
}

} // namespace veldra
