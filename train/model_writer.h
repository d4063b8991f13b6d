#pragma once

#include "train/bart_sampler.h"

#include <string>

#include <boost/filesystem/path.hpp>

namespace veldra {

// Whether a folder entry belongs to a model: "rgy.txt", "sigma.txt", "model.json", "MCMC*.json".
bool is_model_file(const boost::filesystem::path& path);

// Writes the model beside `folder` (forest documents, "rgy.txt", "sigma.txt" and the card), then
// replaces the folder's model files with it, so a failure never leaves a half-written model in
// place of a complete one.
void write_model(const boost::filesystem::path& folder, const BartFit& fit,
                 const std::string& card);

} // namespace veldra
