#include "models/model_digest.h"

#include "models/calibration_domain.h"
#include "models/linear_part.h"
#include "models/model_folder.h"
#include "text/platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <boost/filesystem/operations.hpp>
#include <nlohmann/json.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

// FNV-1a over 64 bits, as sixteen hexadecimal digits.
class Digest {
public:
    void add(const char* data, std::size_t size) {
        for (std::size_t k = 0; k < size; ++k) {
            hash_ = (hash_ ^ static_cast<unsigned char>(data[k])) * 0x100000001b3ULL;
        }
    }
    void add(const std::string& text) { add(text.data(), text.size()); }
    std::string hex() const {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash_));
        return text;
    }

private:
    std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

// The digest of a file's bytes; "" when there is no such file.
std::string file_digest(const fs::path& file) {
    boost::system::error_code error;
    if (!fs::is_regular_file(file, error)) {
        return std::string();
    }
    std::ifstream in(native_path(file.string()), std::ios::binary);
    Digest digest;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        digest.add(buffer, static_cast<std::size_t>(in.gcount()));
    }
    return digest.hex();
}

// The keys of a card that shape what its model predicts.
const char* const shaping_keys[] = {
    "transformation",       "preprocessing", "log",          "covariates", "covariate_names",
    "interval_calibration", "domain",        "input_domain", "draws",      "method"};

} // namespace

std::string card_shaping_digest(const std::string& card_text) {
    const nlohmann::json document = nlohmann::json::parse(card_text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        return std::string();
    }
    nlohmann::json shaping = nlohmann::json::object();
    for (const char* key : shaping_keys) {
        const auto found = document.find(key);
        if (found != document.end()) {
            shaping[key] = *found;
        }
    }
    Digest digest;
    digest.add(shaping.dump());
    return digest.hex();
}

std::string bytes_digest(std::string_view bytes) {
    Digest digest;
    digest.add(bytes.data(), bytes.size());
    return digest.hex();
}

std::string draws_digest(std::vector<std::pair<std::string, std::uintmax_t>> names_and_sizes) {
    std::sort(names_and_sizes.begin(), names_and_sizes.end());
    Digest listed;
    for (const auto& [name, size] : names_and_sizes) {
        listed.add(name + " " + std::to_string(size) + "\n");
    }
    return listed.hex();
}

ModelDigest model_files_digest(const fs::path& folder, const ModelDigest& known) {
    ModelDigest digest;
    if (const auto taken = known.find("draws"); taken != known.end()) {
        digest["draws"] = taken->second;
    } else {
        std::vector<std::pair<std::string, std::uintmax_t>> draws;
        boost::system::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            if (is_draw_file(it->path())) {
                boost::system::error_code size_error;
                const std::uintmax_t size = fs::file_size(it->path(), size_error);
                draws.emplace_back(it->path().filename().string(), size_error ? 0 : size);
            }
        }
        digest["draws"] = draws_digest(std::move(draws));
    }
    const std::pair<const char*, fs::path> files[] = {
        {"range", range_file(folder)},
        {"sigma", sigma_file(folder)},
        {"domain", folder / domain_file_name},
        {"input_domain", folder / input_domain_file_name},
        {"linear", folder / linear_file_name}};
    for (const auto& [key, file] : files) {
        const auto taken = known.find(key);
        const std::string bytes = taken != known.end() ? taken->second : file_digest(file);
        if (!bytes.empty()) {
            digest[key] = bytes;
        }
    }
    return digest;
}

std::string model_identity(const fs::path& folder) {
    Digest digest;
    digest.add("card " + file_digest(card_file(folder)) + "\n");
    for (const auto& [key, value] : model_files_digest(folder)) {
        digest.add(key + " " + value + "\n");
    }
    return digest.hex();
}

std::vector<std::string> model_changes(const fs::path& folder, const ModelCard& card,
                                       const ModelDigest& known) {
    std::vector<std::string> changed;
    if (card.digest.empty()) {
        return changed;
    }
    const auto recorded = [&](const char* key) {
        const auto found = card.digest.find(key);
        return found == card.digest.end() ? std::string() : found->second;
    };
    if (recorded("card") != card.shaping_digest) {
        changed.push_back("its card's settings (pipeline, references, covariates, "
                          "transformation or calibration)");
    }
    const ModelDigest files = model_files_digest(folder, known);
    const std::pair<const char*, const char*> named[] = {{"draws", "its draw files (MCMC*.json)"},
                                                         {"range", "rgy.txt"},
                                                         {"sigma", "sigma.txt"},
                                                         {"domain", "domain.json"},
                                                         {"input_domain", "input_domain.json"},
                                                         {"linear", "linear.json"}};
    for (const auto& [key, name] : named) {
        const auto now = files.find(key);
        if (recorded(key) != (now == files.end() ? std::string() : now->second)) {
            changed.push_back(name);
        }
    }
    return changed;
}

} // namespace veldra
