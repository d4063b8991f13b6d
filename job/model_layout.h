#pragma once

#include <string>
#include <vector>

namespace veldra {

// Below the model directory: one folder per spectrometer type, in it one folder per soil
// property (named by model_property_name) holding "rgy.txt" and the "MCMC*.json" documents.

// The spectrometer types a user can choose, in the window's order.
const std::vector<std::string>& spectrometer_types();

// The seventeen soil properties, in the fixed order in which a job takes them.
const std::vector<std::string>& soil_properties();

// The model folder name of a property as chosen: "Carbon" is "Acidified.Carbon", "N" is
// "Total.Nitrogen", "pH" stays, any other X is "m3." + X. Exact, case-sensitive.
std::string model_property_name(const std::string& property);

} // namespace veldra
