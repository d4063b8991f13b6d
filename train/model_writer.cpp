#include "train/model_writer.h"

#include "models/model_folder.h"
#include "train/fit_export.h"

namespace veldra {

void write_model(const boost::filesystem::path& folder, const BartFit& fit, const ModelCard& card,
                 const std::function<void()>& checkpoint,
                 const std::optional<CalibrationDomain>& domain,
                 const std::optional<CalibrationDomain>& input_domain) {
    refuse_non_finite(fit);
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
