// What a model's card says the job must match: the spectrometer, the transformation, the
// back-transformation and the covariates.
#include "models/model_card.h"

#include "text/number_text.h"

#include <cmath>
#include <string>
#include <vector>

namespace veldra {

namespace {

// What to give a model whose covariates the input's do not match.
std::string spectra_remedy(const ModelCard& card) {
    if (card.covariate_names.empty()) {
        return " Choose spectra of the instrument and settings the model was calibrated with.";
    }
    return " Choose spectra with the model's covariates (" + card.covariate_names.front() +
           " ... " + card.covariate_names.back() + ")" +
           (wavenumbers_of(card.covariate_names)
                ? ", or with wavenumbers in their names that cover its range to be resampled."
                : ".");
}

} // namespace

std::vector<std::string> card_mismatches(const ModelCard& card, const std::string& folder,
                                         const JobSide& job) {
    std::vector<std::string> found;
    const std::string model = "The model in '" + folder + "'";
    if (!card.spectrometer_type.empty() && !job.spectrometer_type.empty() &&
        card.spectrometer_type != job.spectrometer_type) {
        found.push_back(model + " was calibrated for the " + card.spectrometer_type +
                        " spectrometer type; this job predicts " + job.spectrometer_type +
                        ". Choose --spectrometer " + card.spectrometer_type +
                        " (the window's \"Spectrometer type\").");
    }
    // A model with its own preprocessing applies it whatever the job's transformation.
    if (card.preprocessing.empty() && card.transformation &&
        *card.transformation != job.transformation) {
        found.push_back(model + " was calibrated with the transformation \"" +
                        transformation_text(*card.transformation) + "\"; this job uses \"" +
                        transformation_text(job.transformation) + "\". Choose --transform " +
                        transformation_text(*card.transformation) +
                        " (the window's \"Transformation of the covariates\").");
    }
    if (card.log && *card.log != job.exponential) {
        found.push_back(model +
                        (*card.log ? " fits log(y) and needs the exponential back-transformation; "
                                     "this job does not apply it. Choose --exp yes"
                                   : " fits y itself; this job applies the exponential "
                                     "back-transformation, which it must not. Choose --exp no") +
                        " (the window's \"Exponential transformation\").");
    }
    if (card.covariates && *card.covariates != job.covariates) {
        found.push_back(model + " was calibrated on " + std::to_string(*card.covariates) +
                        " covariates; the input has " + std::to_string(job.covariates) + "." +
                        spectra_remedy(card));
    } else if (job.names != nullptr && card.covariate_names.size() == job.names->size() &&
               !card.covariate_names.empty()) {
        const auto calibrated = wavenumbers_of(card.covariate_names);
        const auto given = wavenumbers_of(*job.names);
        if (calibrated && given) {
            for (std::size_t j = 0; j < calibrated->size(); ++j) {
                const double a = (*calibrated)[j];
                const double b = (*given)[j];
                if (std::abs(a - b) > 0.01 + 1e-9 * std::abs(a)) {
                    found.push_back(model + " was calibrated on the wavenumbers " +
                                    card.covariate_names.front() + " ... " +
                                    card.covariate_names.back() + "; the input's covariate " +
                                    std::to_string(j + 1) + " is " + (*job.names)[j] + ", not " +
                                    card.covariate_names[j] + "." + spectra_remedy(card));
                    break;
                }
            }
        }
    }
    return found;
}

} // namespace veldra
