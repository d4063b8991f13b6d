#pragma once

#include "bart/forest_prediction.h"
#include "bart/forest_writer.h"
#include "train/bart_sampler.h"

#include <string>
#include <vector>

namespace veldra {

// A forest of the sampler as the forest writer takes it: each split's cut taken from the grid.
std::vector<WrittenTree> written_forest(const std::vector<BartTree>& forest, const CutGrid& grid);

// The model document of one forest (`forest_document` of its written form).
std::string forest_document(const std::vector<BartTree>& forest, const CutGrid& grid);

// Raises the trainer's message when the fit holds a value that is not a finite number (a
// response range, leaf value or cut point): no model is written or evaluated from it.
void refuse_non_finite(const BartFit& fit);

// A fit exported once to what prediction evaluates: each draw's model document read and built as
// a model file's forests are, with the scaling of the model's range file and each draw's error
// spread on the response's fitting scale, as the model's error-spread file holds it. Every figure
// of a calibration (cross-validation, the fit, the choices of k and preprocessing) comes from
// here, so they are what the written model predicts, to the last bit. Read-only once built.
class ExportedFit {
public:
    ExportedFit(const BartFit& fit, unsigned threads);

    // The value of every draw for every row (draw by draw), on the fitting scale.
    PredictionMatrix predict(const SpectraRows& rows) const;

    const std::vector<double>& sigma() const { return sigma_; }

private:
    HeldForests forests_;
    RangeScaling scaling_;
    std::vector<double> sigma_;
    PredictionOptions options_;
};

} // namespace veldra
