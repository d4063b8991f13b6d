#include "job/prediction_driver.h"

#include "job/sample_runs.h"

#include "models/calibration_domain.h"
#include "models/domain_reason.h"
#include "text/first_derivative.h"

#include <sstream>
#include <stdexcept>

namespace veldra {

// A pair's judgement of its samples against the model's calibration domains.

// The calibration domains of the model, both as its card says the trainer wrote them, and the
// wavenumbers of the covariates each judges; a lost or mismatched domain stops the pair.
void PairRun::prepare_domains(const SpectraTable& first, std::size_t width) {
    domain_ = model_.domain;
    const std::size_t seen = pipeline_ ? pipeline_->output_width() : width;
    if (model_.input_domain && pipeline_) {
        input_domain_ = model_.input_domain;
        if (input_domain_->center.size() != width) {
            throw std::runtime_error("The model in '" + folder_ +
                                     "' has lost or damaged its domain before the preprocessing "
                                     "\"" +
                                     std::string(input_domain_file_name) +
                                     "\", which its card says the trainer wrote: copy the whole "
                                     "model folder again, or train the model again.");
        }
    }
    const std::vector<double> read_wavenumbers =
        first.names.size() == width ? wavenumbers_of(first.names).value_or(std::vector<double>())
                                    : std::vector<double>();
    input_wavenumbers_ = read_wavenumbers;
    for (std::size_t j = 0; j + 1 < input_wavenumbers_.size(); ++j) {
        // A difference lies between its two points.
        input_wavenumbers_[j] = (read_wavenumbers[j] + read_wavenumbers[j + 1]) / 2.0;
    }
    domain_wavenumbers_ = pipeline_  ? pipeline_->output_wavenumbers()
                          : derive() ? input_wavenumbers_
                                     : read_wavenumbers;
    if (domain_ && domain_->center.size() != seen) {
        throw std::runtime_error("The model in '" + folder_ + "' was calibrated on " +
                                 std::to_string(domain_->center.size()) +
                                 " covariates; the input has " + std::to_string(seen) +
                                 (pipeline_ ? " after its preprocessing" : "") +
                                 ". Choose what the model was calibrated with.");
    }
}

// Scores every sample of the block against the model's calibration domain on the covariates the
// forests see and keeps the figures for the summary; counts those outside for the log.
void PairRun::judge_domain(const SpectraTable& block, const SpectraTable& as_read,
                           PairStatistics* statistics) {
    const std::size_t samples = block.rows.size();
    std::vector<DomainScore> scores(samples);
    std::vector<std::string> reasons(samples);
    // A sample's score depends on its spectrum alone: scored on the job's threads, then counted
    // and kept in order.
    for_sample_runs(samples, pair_.threads, [&](std::size_t first, std::size_t last) {
        std::vector<double> row;
        for (std::size_t i = first; i < last; ++i) {
            const std::vector<double>& values = block.rows[i];
            row.resize(values.size());
            if (derive()) {
                first_derivative(values.data(), values.size(), row.data());
            } else {
                row = values;
            }
            DomainScore& score = scores[i];
            score = score_in_domain(*domain_, row.data());
            if (score.outside) {
                reasons[i] = outside_reason(*domain_, row, domain_wavenumbers_);
            } else if (input_domain_) {
                // What the pipeline divides out (scale, noise) is judged on the spectrum as read.
                const std::vector<double>& raw = as_read.rows[i];
                row.resize(raw.size());
                first_derivative(raw.data(), raw.size(), row.data());
                const DomainScore input = score_in_domain(*input_domain_, row.data());
                if (input.outside) {
                    // The figures shown are those of the domain that put the sample outside.
                    score = input;
                    reasons[i] = outside_reason(*input_domain_, row, input_wavenumbers_);
                }
            }
        }
    });
    for (std::size_t i = 0; i < samples; ++i) {
        const DomainScore& score = scores[i];
        if (score.outside) {
            if (outside_.size() < 20) {
                outside_.push_back(block.ids[i]);
                outside_reasons_.push_back(reasons[i]);
            }
            ++outside_count_;
        }
        if (statistics != nullptr) {
            statistics->domain_reasons.push_back(std::move(reasons[i]));
            statistics->t2.push_back(score.t2);
            statistics->q.push_back(score.q);
            statistics->outside.push_back(score.outside ? 1 : 0);
        }
    }
    judged_ += samples;
}

// The log line of the samples outside the domain: how many of all, and the first twenty.
void PairRun::log_domain(LoggerSet& log) const {
    std::ostringstream text;
    text << "Calibration domain of " << pair_label() << ": " << outside_count_ << " of " << judged_
         << " samples outside";
    for (std::size_t k = 0; k < outside_.size(); ++k) {
        text << (k == 0 ? ": " : ", ") << outside_[k];
    }
    if (outside_count_ > outside_.size()) {
        text << " and " << outside_count_ - outside_.size() << " more";
    }
    VELDRA_LOG(log, outside_count_ == 0 ? Severity::info : Severity::warning) << text.str();
    for (std::size_t k = 0; k < outside_.size(); ++k) {
        if (!outside_reasons_[k].empty()) {
            VELDRA_LOG(log, Severity::info)
                << "Outside the " << pair_label() << " domain: " << outside_[k]
                << " differs most at " << outside_reasons_[k] << ".";
        }
    }
}

std::string PairRun::outside_reason(const CalibrationDomain& domain, const std::vector<double>& row,
                                    const std::vector<double>& wavenumbers) const {
    return bands_text(contributing_bands(domain_contributions(domain, row.data()), wavenumbers));
}

} // namespace veldra
