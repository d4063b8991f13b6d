// Arbitrary bytes as a model card ("model.json"), which travels with a copied model. An accepted
// card writes back to a text that reads back to the same text; its interval calibration bounds
// draw levels inside [0, 1]; its preprocessing, when this version reads it, plans and applies to
// a spectrum on the card's own covariates as prediction does.
#include "input/spectral_pipeline.h"
#include "models/interval_calibration.h"
#include "models/model_card.h"
#include "text/number_text.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace {

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void check_calibration(const veldra::IntervalCalibration& calibration) {
    for (const double level : {0.5, 0.68, 0.9, 0.95, 0.99}) {
        const std::optional<veldra::CalibratedLevels> bounds =
            veldra::calibrated_levels(calibration, level);
        check(bounds.has_value() == (veldra::bounding_rank(calibration, level) > 0));
        if (bounds) {
            check(bounds->low >= 0.0 && bounds->low <= bounds->high && bounds->high <= 1.0);
        }
    }
}

// The card's pipeline on a spectrum as wide as its covariates (wavenumbers from their names,
// as prediction takes them from the input's); a plan the card cannot make is a message.
void check_preprocessing(const veldra::ModelCard& card) {
    const std::size_t width = card.covariate_names.size();
    if (card.preprocessing.empty() || width == 0) {
        return;
    }
    try {
        veldra::SpectralPipeline pipeline(card.preprocessing);
        check(veldra::SpectralPipeline(pipeline.text()).text() == pipeline.text());
        pipeline.prepare(
            veldra::wavenumbers_of(card.covariate_names).value_or(std::vector<double>()), width);
        pipeline.set_references(card.preprocessing_references);
        std::vector<double> row(width);
        for (std::size_t i = 0; i < width; ++i) {
            row[i] = 0.5 + 0.25 * static_cast<double>(i % 7) + 0.01 * static_cast<double>(i);
        }
        std::vector<double> out;
        std::vector<double> scratch;
        pipeline.apply(row.data(), out, scratch);
        check(out.size() == pipeline.output_width());
    } catch (const std::exception&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    veldra::ModelCard card;
    try {
        card = veldra::parse_model_card(text, "fuzz");
    } catch (const std::exception&) {
        return 0;
    }
    const std::string written = veldra::model_card_text(card);
    try {
        check(veldra::model_card_text(veldra::parse_model_card(written, "written")) == written);
    } catch (const std::exception&) {
        std::abort(); // the card's owner wrote what it cannot read back
    }
    if (card.calibration) {
        check_calibration(*card.calibration);
    }
    check_preprocessing(card);
    return 0;
}
