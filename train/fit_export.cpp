#include "train/fit_export.h"

#include "logging/logger_set.h"
#include "train/training_error.h"

#include <cmath>

namespace veldra {

std::vector<WrittenTree> written_forest(const std::vector<BartTree>& forest, const CutGrid& grid) {
    std::vector<WrittenTree> written(forest.size());
    for (std::size_t t = 0; t < forest.size(); ++t) {
        written[t].nodes.reserve(forest[t].nodes.size());
        for (const BartTree::Node& node : forest[t].nodes) {
            WrittenTree::Node out;
            out.left = node.left;
            out.right = node.right;
            out.variable = node.variable;
            out.value = node.left < 0 ? node.value
                                      : grid.cuts[static_cast<std::size_t>(node.variable)]
                                                 [static_cast<std::size_t>(node.cut)];
            written[t].nodes.push_back(out);
        }
    }
    return written;
}

std::string forest_document(const std::vector<BartTree>& forest, const CutGrid& grid) {
    return forest_document(written_forest(forest, grid));
}

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

// The fit's draws, once the fit is known to hold finite values only.
std::size_t checked_draws(const BartFit& fit);

PredictionOptions export_options(unsigned threads) {
    PredictionOptions options;
    options.threads = threads;
    options.log_files = false;
    return options;
}

} // namespace

void refuse_non_finite(const BartFit& fit) {
    const std::string bad = non_finite_value(fit);
    if (!bad.empty()) {
        training_error::fail("The fit gave " + bad +
                             " that is not a finite number; no model was written. " +
                             "Check the reference values and the prior settings.");
    }
}

namespace {

std::size_t checked_draws(const BartFit& fit) {
    refuse_non_finite(fit);
    return fit.forests.size();
}

} // namespace

ExportedFit::ExportedFit(const BartFit& fit, unsigned threads)
    : forests_(
          checked_draws(fit),
          [&fit](std::size_t d) { return forest_document(fit.forests[d], fit.grid); },
          export_options(threads)),
      scaling_{fit.y_min, fit.y_max}, options_(export_options(threads)) {
    sigma_.reserve(fit.sigma.size());
    for (const double s : fit.sigma) {
        sigma_.push_back(s * (fit.y_max - fit.y_min));
    }
}

PredictionMatrix ExportedFit::predict(const SpectraRows& rows) const {
    LoggerSet progress; // the forests' progress pair, seen by nobody
    return forests_.predict(rows, scaling_, false, progress, false, options_);
}

} // namespace veldra
