#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra {

// Absolute path of the root of the model files: "opus.conf" and one folder per spectrometer type.
// Below it, one folder per soil property (named by model_property_name) holding "rgy.txt" and
// the "MCMC*.json" documents.
using ModelDirectory = boost::filesystem::path;

// The spectrometer types a user can choose, in the window's order.
const std::vector<std::string>& spectrometer_types();

// The seventeen soil properties, in the fixed order in which a job takes them.
const std::vector<std::string>& soil_properties();

// The model folder name of a property as chosen: "Carbon" is "Acidified.Carbon", "N" is
// "Total.Nitrogen", "pH" stays, any other X is "m3." + X. Exact, case-sensitive.
std::string model_property_name(const std::string& property);

// The folder of one model: <models>/<type>/<model_property_name(property)>.
boost::filesystem::path model_folder(const ModelDirectory& models, const std::string& type,
                                     const std::string& property);

// How covariates are transformed before the forests see them; a model is used as it was fitted.
enum class Transformation { first_derivative, none };

// "first_der" and "none" as the command lines and model cards spell them, and the window's "no
// transformation"; nothing else.
std::optional<Transformation> transformation_from_text(std::string_view text);

// "first_der" or "none".
const char* transformation_text(Transformation transformation);

} // namespace veldra
