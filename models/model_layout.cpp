#include "models/model_layout.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

const char* const opus_configuration_name = "opus.conf";

boost::filesystem::path opus_configuration_file(const ModelDirectory& models) {
    return models / opus_configuration_name;
}

const std::vector<std::string>& spectrometer_types() {
    static const std::vector<std::string> types = {"mir", "mpa", "alphakbr", "alphaznse"};
    return types;
}

bool is_plain_spectrometer_name(std::string_view name) {
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

std::vector<std::string> chosen_spectrometers(const std::vector<std::string>& given) {
    const std::vector<std::string>& standard = spectrometer_types();
    std::vector<std::string> chosen;
    for (const std::string& value : standard) {
        if (std::find(given.begin(), given.end(), value) != given.end()) {
            chosen.push_back(value);
        }
    }
    for (const std::string& name : given) {
        if (std::find(chosen.begin(), chosen.end(), name) != chosen.end()) {
            continue;
        }
        const auto same_but_case =
            std::find_if(standard.begin(), standard.end(), [&](const std::string& type) {
                return type.size() == name.size() &&
                       std::equal(type.begin(), type.end(), name.begin(), [](char a, char b) {
                           return std::tolower(static_cast<unsigned char>(a)) ==
                                  std::tolower(static_cast<unsigned char>(b));
                       });
            });
        if (same_but_case != standard.end()) {
            throw std::invalid_argument("unknown spectrometer type '" + name +
                                        "': names are case-sensitive; did you mean '" +
                                        *same_but_case + "'?");
        }
        if (!is_plain_spectrometer_name(name)) {
            throw std::invalid_argument("unknown spectrometer type '" + name +
                                        "' (a lab's own takes 1 to 64 letters, digits, - and _)");
        }
        chosen.push_back(name);
    }
    return chosen;
}

std::vector<std::string> own_spectrometers(const ModelDirectory& models) {
    namespace fs = boost::filesystem;
    const std::vector<std::string>& standard = spectrometer_types();
    std::vector<std::string> own;
    boost::system::error_code error;
    for (fs::directory_iterator it(models, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        boost::system::error_code kind;
        if (is_plain_spectrometer_name(name) && fs::is_directory(it->path(), kind) &&
            std::find(standard.begin(), standard.end(), name) == standard.end()) {
            own.push_back(name);
        }
    }
    std::sort(own.begin(), own.end());
    return own;
}

std::string own_spectrometer(const std::vector<std::string>& chosen) {
    const std::vector<std::string>& types = spectrometer_types();
    for (const std::string& name : chosen) {
        if (std::find(types.begin(), types.end(), name) != types.end()) {
            return std::string();
        }
    }
    return chosen.empty() ? std::string() : chosen.front();
}

std::string opus_machine_type(const std::string& spectrometer_type) {
    const std::vector<std::string>& types = spectrometer_types();
    static const std::vector<std::string> machines = {"htsxt", "mpa", "alpha_kbr", "alpha_znse"};
    const auto found = std::find(types.begin(), types.end(), spectrometer_type);
    return found == types.end() ? std::string()
                                : machines[static_cast<std::size_t>(found - types.begin())];
}

const std::vector<std::string>& soil_properties() {
    static const std::vector<std::string> properties = {"Carbon", "Al", "B",  "Ca", "Cu", "EC.S",
                                                        "Fe",     "Hp", "K",  "Mg", "Mn", "Na",
                                                        "P",      "S",  "Zn", "pH", "N"};
    return properties;
}

std::string model_property_name(const std::string& property) {
    if (property == "Carbon") {
        return "Acidified.Carbon";
    }
    if (property == "N") {
        return "Total.Nitrogen";
    }
    if (property == "pH") {
        return "pH";
    }
    return "m3." + property;
}

boost::filesystem::path model_folder(const ModelDirectory& models, const std::string& type,
                                     const std::string& property) {
    return models / type / model_property_name(property);
}

bool is_plain_property_name(std::string_view property) {
    if (property.empty() || property.size() > 64 || property == "." || property == "..") {
        return false;
    }
    return std::all_of(property.begin(), property.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-' || c == '+';
    });
}

std::vector<std::string> available_properties(const ModelDirectory& models,
                                              const std::string& type) {
    namespace fs = boost::filesystem;
    std::vector<std::string> found;
    boost::system::error_code error;
    for (const std::string& property : soil_properties()) {
        if (fs::is_directory(model_folder(models, type, property), error)) {
            found.push_back(property);
        }
    }
    std::vector<std::string> own;
    const fs::path folder = models / type;
    if (fs::is_directory(folder, error)) {
        for (fs::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (name.rfind("m3.", 0) != 0 || !fs::is_directory(it->path(), error)) {
                continue;
            }
            const std::string property = name.substr(3);
            const auto& standard = soil_properties();
            if (is_plain_property_name(property) &&
                std::find(standard.begin(), standard.end(), property) == standard.end()) {
                own.push_back(property);
            }
        }
    }
    std::sort(own.begin(), own.end());
    found.insert(found.end(), own.begin(), own.end());
    return found;
}

namespace {

// The number n of a name MCMC<n>.json (n from 1, no leading zero); 0 for any other name.
long draw_number(const std::string& file) {
    const std::string name = boost::filesystem::path(file).filename().string();
    const std::string digits = name.size() > 9 ? name.substr(4, name.size() - 9) : "";
    const bool numbered =
        name.rfind("MCMC", 0) == 0 && name.size() > 9 &&
        name.compare(name.size() - 5, 5, ".json") == 0 && digits.size() <= 9 &&
        digits.front() != '0' &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    return numbered ? std::stol(digits) : 0;
}

} // namespace

std::string draw_files_problem(const std::vector<std::string>& files, const std::string& folder,
                               std::optional<std::size_t> card_draws) {
    if (!card_draws) {
        return std::string();
    }
    // Only names of the form MCMC<n>.json can reveal a hole; any other matching name is a draw
    // like the others.
    std::vector<long> numbers;
    for (const std::string& file : files) {
        if (const long number = draw_number(file); number > 0) {
            numbers.push_back(number);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const long expected = static_cast<long>(i) + 1;
        if (numbers[i] != expected) {
            return "The model in '" + folder + "' lacks draw file MCMC" + std::to_string(expected) +
                   ".json (" + std::to_string(numbers.size()) + " numbered draw files, up to " +
                   std::to_string(numbers.back()) +
                   "): its numbered draws must be MCMC1.json to MCMC<D>.json without a gap.";
        }
    }
    if (files.size() != *card_draws) {
        return "The model in '" + folder + "' holds " + std::to_string(files.size()) +
               " draw files; its card says it was written with " + std::to_string(*card_draws) +
               ".";
    }
    return std::string();
}

std::vector<std::size_t> draw_indices(const std::vector<std::string>& files) {
    std::vector<std::size_t> indices(files.size());
    std::vector<char> seen(files.size(), 0);
    for (std::size_t r = 0; r < files.size(); ++r) {
        const long number = draw_number(files[r]);
        if (number < 1 || static_cast<std::size_t>(number) > files.size() ||
            seen[static_cast<std::size_t>(number - 1)]) {
            for (std::size_t k = 0; k < files.size(); ++k) {
                indices[k] = k;
            }
            return indices;
        }
        indices[r] = static_cast<std::size_t>(number - 1);
        seen[indices[r]] = 1;
    }
    return indices;
}

std::optional<Transformation> transformation_from_text(std::string_view text) {
    if (text == "first_der") {
        return Transformation::first_derivative;
    }
    if (text == "none" || text == "no transformation") {
        return Transformation::none;
    }
    return std::nullopt;
}

const char* transformation_text(Transformation transformation) {
    return transformation == Transformation::first_derivative ? "first_der" : "none";
}

} // namespace veldra
