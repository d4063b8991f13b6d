#include "job/spectra_preview.h"

#include "models/model_card.h"
#include "text/first_derivative.h"

#include <algorithm>

namespace veldra {

void SpectraPreview::add(const SpectraTable& block, Transformation transformation) {
    if (block.rows.empty()) {
        return;
    }
    if (step_ == 0) {
        width_ = block.rows.front().size();
        step_ = std::max<std::size_t>(1, (width_ + preview_points - 1) / preview_points);
        const auto numbers =
            block.names.size() == width_ ? wavenumbers_of(block.names) : std::nullopt;
        wavenumbers = numbers.has_value();
        for (std::size_t k = 0; k < width_; k += step_) {
            x.push_back(wavenumbers ? (*numbers)[k] : static_cast<double>(k + 1));
        }
    }
    std::vector<double> derivative(width_);
    for (std::size_t i = 0; i < block.rows.size(); ++i) {
        ++samples;
        const std::vector<double>& row = block.rows[i];
        if (ids.size() >= preview_samples || row.size() != width_) {
            continue;
        }
        ids.push_back(block.ids[i]);
        const bool derive = transformation == Transformation::first_derivative;
        if (derive) {
            first_derivative(row.data(), width_, derivative.data());
        }
        for (std::size_t k = 0; k < width_; k += step_) {
            as_read.push_back(static_cast<float>(row[k]));
            transformed.push_back(static_cast<float>(derive ? derivative[k] : row[k]));
        }
    }
}

} // namespace veldra
