#include "train/model_writer.h"

#include "models/model_folder.h"
#include "train/training_error.h"

#include <cmath>

namespace veldra {

namespace {

// The first value of the fit that is not a finite number, described; "" when all are.
std::string non_finite_value(const BartFit& fit) {
    if (!std::isfinite(fit.y_min) || !std::isfinite(fit.y_max)) {
        return "the response range";
    }
    for (std::size_t d = 0; d < fit.sigma.size(); ++d) {
        if (!std::isfinite(fit.sigma[d])) {
            return "the error spread of draw " + std::to_string(d + 1);
        }
    }
    for (std::size_t d = 0; d < fit.forests.size(); ++d) {
        for (const BartTree& tree : fit.forests[d]) {
            for (const BartTree::Node& node : tree.nodes) {
                if (!std::isfinite(node.value)) {
                    return "a leaf value of draw " + std::to_string(d + 1);
                }
            }
        }
    }
    for (const std::vector<double>& cuts : fit.grid.cuts) {
        for (const double cut : cuts) {
            if (!std::isfinite(cut)) {
                return "a cut point";
            }
        }
    }
    return std::string();
}

} // namespace

void write_model(const boost::filesystem::path& folder, const BartFit& fit, const ModelCard& card,
                 const std::function<void()>& checkpoint,
                 const std::optional<CalibrationDomain>& domain,
                 const std::optional<CalibrationDomain>& input_domain) {
    const std::string bad = non_finite_value(fit);
    if (!bad.empty()) {
        training_error::fail("The fit gave " + bad +
                             " that is not a finite number; no model was written. " +
                             "Check the reference values and the prior settings.");
    }
    ModelContents contents;
    contents.draws = fit.forests.size();
    contents.forest_document = [&fit](std::size_t d) {
        return forest_document(fit.forests[d], fit.grid);
    };
    contents.range_low = fit.y_min;
    contents.range_high = fit.y_max;
    for (const double s : fit.sigma) {
        contents.sigma.push_back(s * (fit.y_max - fit.y_min));
    }
    contents.card = card;
    contents.domain = domain;
    contents.input_domain = input_domain;
    write_model_folder(folder, contents, checkpoint);
}

} // namespace veldra
