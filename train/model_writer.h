#pragma once

#include "train/bart_sampler.h"

#include <cstddef>
#include <functional>
#include <string>

#include <boost/filesystem/path.hpp>

namespace veldra {

// Whether a folder entry belongs to a model: "rgy.txt", "sigma.txt", "model.json", "domain.json",
// "MCMC*.json".
bool is_model_file(const boost::filesystem::path& path);

// Writes the model beside `folder` (forest documents, "rgy.txt", "sigma.txt", the card and, when
// `domain` is not empty, "domain.json" holding it), then
// replaces the folder's model files with it, so a failure never leaves a half-written model in
// place of a complete one. `checkpoint` is called before each file and before the replacement;
// an exception from it (a stop request) removes what was staged and leaves the old model as it
// was. Refuses a fit holding a value that is not a finite number. Removes the stale staging
// folders of earlier runs first.
void write_model(const boost::filesystem::path& folder, const BartFit& fit, const std::string& card,
                 const std::function<void()>& checkpoint = {},
                 const std::string& domain = std::string());

// Removes the staging folders ".veldra-train-<process>-…" in a spectrometer folder whose process
// no longer runs (older names without a process: those untouched for an hour); returns how many.
std::size_t remove_stale_staging(const boost::filesystem::path& type_folder);

} // namespace veldra
