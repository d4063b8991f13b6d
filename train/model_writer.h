#pragma once

#include "models/calibration_domain.h"
#include "models/model_card.h"
#include "train/bart_sampler.h"

#include <functional>
#include <optional>

#include <boost/filesystem/path.hpp>

namespace veldra {

// Writes a fitted model into `folder` through the model folder's writer (`write_model_folder`,
// which says what a stop or a failure leaves): a forest document per kept draw, the response
// range, the error spreads on the response's scale, the card and, when given, the domain.
// Refuses a fit holding a value that is not a finite number.
void write_model(const boost::filesystem::path& folder, const BartFit& fit, const ModelCard& card,
                 const std::function<void()>& checkpoint = {},
                 const std::optional<CalibrationDomain>& domain = std::nullopt,
                 const std::optional<CalibrationDomain>& input_domain = std::nullopt);

} // namespace veldra
