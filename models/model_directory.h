#pragma once

#include "models/model_layout.h"

#include <optional>
#include <ostream>
#include <string>
#include <utility>

namespace veldra {

// Where the shipped model files lie below the executable's folder or its parent.
constexpr const char* model_directory_location = "/share/Kavuni/binary_modelfiles/v0.0.3";

// The two candidates for a program path: the executable's folder, then its parent, each
// followed by the model directory location. The path is made canonical against the current
// folder; when it cannot be (started through the search path), the running executable's own
// path is used.
std::pair<ModelDirectory, ModelDirectory> model_directory_candidates(const std::string& program);

// The first candidate that exists, if any.
std::optional<ModelDirectory> search_model_directory(const std::string& program);

// The same; when neither candidate exists, writes the three "Resources not found" lines to `err`.
std::optional<ModelDirectory> find_model_directory(const std::string& program, std::ostream& err);

} // namespace veldra
