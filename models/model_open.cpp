#include "models/model_open.h"

#include "models/model_layout.h"
#include "text/platform.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

// The domains the card says the trainer wrote must be there; one the card does not name is
// used when present, as for models of earlier versions.
void read_domains(OpenedModel& model) {
    const fs::path folder(model.folder);
    model.domain = read_calibration_domain(folder);
    const ModelCard* card = model.card ? &*model.card : nullptr;
    if (!model.domain && card != nullptr && card->domain.value_or(false)) {
        throw std::runtime_error("The model in '" + model.folder +
                                 "' has lost its calibration domain \"domain.json\", which its "
                                 "card says the trainer wrote: copy the whole model folder "
                                 "again, or train the model again.");
    }
    if (card == nullptr || !card->input_domain.value_or(false) || card->preprocessing.empty()) {
        return;
    }
    model.input_domain = read_calibration_domain(folder, input_domain_file_name);
    if (!model.input_domain) {
        throw std::runtime_error("The model in '" + model.folder +
                                 "' has lost or damaged its domain before the preprocessing \"" +
                                 std::string(input_domain_file_name) +
                                 "\", which its card says the trainer wrote: copy the whole "
                                 "model folder again, or train the model again.");
    }
}

void read_draws(OpenedModel& model, const fs::path& folder) {
    model.draw_files = list_draw_files(folder);
    if (model.draw_files.empty()) {
        throw std::runtime_error("No files found in '" + draw_file_pattern(folder) +
                                 "' which match 'json'");
    }
    const std::string problem = draw_files_problem(model.draw_files, model.folder,
                                                   model.card ? model.card->draws : std::nullopt);
    if (!problem.empty()) {
        throw std::runtime_error(problem);
    }
    model.draw_of_file = draw_indices(model.draw_files);
}

} // namespace

OpenedModel open_model(const fs::path& folder, const ModelOpening& opening) {
    OpenedModel model;
    model.folder = folder.string();
    model.card = read_model_card(folder);
    read_domains(model);
    const std::string range =
        opening.range_file.empty() ? range_file(folder).string() : opening.range_file;
    if (!std::ifstream(native_path(range)).is_open()) {
        throw std::runtime_error("Cannot open rangefile '" + range + "' for reading.");
    }
    model.range = read_range_numbers(range);
    if (model.range.numbers.size() < 2) {
        throw std::runtime_error("The range file '" + range +
                                 "' must start with two numbers (the smallest and the largest "
                                 "reference value of the model); it holds " +
                                 std::to_string(model.range.numbers.size()) + ".");
    }
    read_draws(model, folder);
    if (opening.error_spreads) {
        model.sigma = read_sigma_file(model.folder, model.draw_files.size());
    }
    return model;
}

std::vector<std::string> list_draw_files(const fs::path& folder) {
    std::vector<std::string> files;
    if (!fs::is_directory(folder)) {
        std::ostringstream message;
        message << "Directory `" << folder << "` not exists";
        throw std::runtime_error(message.str());
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (is_draw_file(entry.path())) {
            files.push_back((folder / entry.path().filename()).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string read_at_most(const std::string& path, std::size_t largest) {
    std::ifstream in(native_path(path), std::ios::binary);
    std::string content(largest + 1, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(in.gcount()));
    return content;
}

} // namespace veldra
