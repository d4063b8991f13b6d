#include "gui/summary_model.h"

#include <cmath>
#include <map>

namespace veldra {

// The interval a cell shows: predictive where the model gives one, else credible.
QString summary_cell_text(const SummaryRow& row) {
    using C = SummaryColumn;
    const bool predictive = row.text(C::predictive_low) != "NA";
    const std::string& low = row.text(predictive ? C::predictive_low : C::low);
    const std::string& high = row.text(predictive ? C::predictive_high : C::high);
    return QString::fromStdString(row.text(C::mean) + " [" + low + ", " + high + "]");
}

} // namespace veldra
