#include "job/spectra_preview.h"

#include "models/model_card.h"
#include "text/first_derivative.h"

#include <algorithm>

namespace veldra {

void SpectraPreview::add(const SpectraTable& block, Transformation transformation,
                         const SpectralPipeline* pipeline) {
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
        const std::size_t after = pipeline ? pipeline->output_width() : width_;
        const std::vector<double>& after_numbers =
            pipeline ? pipeline->output_wavenumbers()
                     : (numbers ? *numbers : std::vector<double>());
        wavenumbers_after = after_numbers.size() == after;
        step_after_ = std::max<std::size_t>(1, (after + preview_points - 1) / preview_points);
        for (std::size_t k = 0; k < after; k += step_after_) {
            x_after.push_back(wavenumbers_after ? after_numbers[k] : static_cast<double>(k + 1));
        }
    }
    std::vector<double> seen(width_);
    std::vector<double> scratch;
    for (std::size_t i = 0; i < block.rows.size(); ++i) {
        ++samples;
        const std::vector<double>& row = block.rows[i];
        if (ids.size() >= preview_samples || row.size() != width_) {
            continue;
        }
        ids.push_back(block.ids[i]);
        if (pipeline) {
            pipeline->apply(row.data(), seen, scratch);
        } else if (transformation == Transformation::first_derivative) {
            first_derivative(row.data(), width_, seen.data());
        } else {
            seen = row;
        }
        for (std::size_t k = 0; k < width_; k += step_) {
            as_read.push_back(static_cast<float>(row[k]));
        }
        for (std::size_t k = 0; k < seen.size(); k += step_after_) {
            transformed.push_back(static_cast<float>(seen[k]));
        }
    }
}

} // namespace veldra
