#pragma once

#include "models/calibration_domain.h"
#include "models/linear_part.h"
#include "models/model_card.h"
#include "train/bart_sampler.h"

#include <ctime>
#include <functional>
#include <optional>

#include <boost/filesystem/path.hpp>

namespace veldra {

// The time SOURCE_DATE_EPOCH sets (seconds since 1970), when it holds a whole number: the card's
// date and the draw files' times, so that the same seed gives the same bytes.
std::optional<std::time_t> source_date_epoch();

// Writes a fitted model into `folder` through the model folder's writer (`write_model_folder`,
// which says what a stop or a failure leaves): a forest document per kept draw, the response
// range, the error spreads on the response's scale, the card and, when given, the domain.
// With `linear`, the linear part the model blends its draws with. Refuses a fit holding a value
// that is not a finite number. The compiled model of the draws is written with them, so that the
// first job need not make it.
void write_model(const boost::filesystem::path& folder, const BartFit& fit, const ModelCard& card,
                 const std::function<void()>& checkpoint = {},
                 const std::optional<CalibrationDomain>& domain = std::nullopt,
                 const std::optional<CalibrationDomain>& input_domain = std::nullopt,
                 const std::optional<LinearPart>& linear = std::nullopt);

} // namespace veldra
