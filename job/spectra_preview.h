#pragma once

#include "input/spectra_table.h"
#include "input/spectral_pipeline.h"
#include "models/model_layout.h"

#include <cstddef>
#include <string>
#include <vector>

namespace veldra {

// The spectra a preview keeps: at most this many samples, each at most this many points.
constexpr std::size_t preview_samples = 10000;
constexpr std::size_t preview_points = 512;

// The spectra of a job for looking at, not for computing: every k-th point of each spectrum as
// the job read it (after OPUS resampling and averaging) and after the covariate transformation,
// in single precision, kept while the job reads its blocks, for at most `preview_samples`
// samples. 10,000 samples of 3578 covariates take 41 megabytes instead of the table's 286.
struct SpectraPreview {
    std::vector<double> x;    // the kept points' wavenumbers, or their column numbers (from 1)
    bool wavenumbers = false; // whether x holds wavenumbers
    std::vector<std::string> ids;
    std::vector<float> as_read;     // ids.size() rows of x.size() values
    std::vector<float> transformed; // ids.size() rows of x_after.size() values: what the forests
                                    // of the job's first pair see
    std::vector<double> x_after;    // their points, as `x` (a pipeline may drop or bin points)
    bool wavenumbers_after = false;
    std::size_t samples = 0; // samples of the job, kept or not

    // Keeps the block's samples while there is room; after `pipeline` when the first pair's
    // model has one, else after `transformation`.
    void add(const SpectraTable& block, Transformation transformation,
             const SpectralPipeline* pipeline = nullptr);

    const float* row(bool after_transformation, std::size_t sample) const {
        return after_transformation ? transformed.data() + sample * x_after.size()
                                    : as_read.data() + sample * x.size();
    }
    const std::vector<double>& points(bool after_transformation) const {
        return after_transformation ? x_after : x;
    }

private:
    std::size_t step_ = 0;
    std::size_t step_after_ = 0;
    std::size_t width_ = 0;
};

} // namespace veldra
