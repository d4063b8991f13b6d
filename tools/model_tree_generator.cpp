#include "tools/model_tree_generator.h"

#include "models/model_folder.h"
#include "models/model_layout.h"
#include "text/platform.h"
#include "tools/opus_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra::tools {

namespace fs = boost::filesystem;

namespace {

// Distributions of our own: the standard library's are not the same on every platform, and
// the generated tree must be.
double uniform(std::mt19937_64& random) {
    return static_cast<double>(random() >> 11) * (1.0 / 9007199254740992.0);
}

double normal(std::mt19937_64& random) {
    double u = 0.0;
    while (u <= 0.0) {
        u = uniform(random);
    }
    const double v = uniform(random);
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
}

int uniform_int(std::mt19937_64& random, int count) {
    return static_cast<int>(uniform(random) * count);
}

std::string number_text(double value, int digits) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
    return buffer;
}

double rounded(double value) {
    return std::strtod(number_text(value, 10).c_str(), nullptr);
}

// Writes a value as a JSON number or, about one time in three, as a JSON string.
std::string json_value(const std::string& number, std::mt19937_64& random) {
    return uniform_int(random, 3) == 0 ? "\"" + number + "\"" : number;
}

void write_node(std::string& out, int depth, int covariates, double leaf_scale,
                std::mt19937_64& random) {
    const double split_probability = 0.95 * std::pow(1.0 + (depth - 1), -2.0);
    const bool split = depth < 12 && uniform(random) < split_probability;
    out += "{\"Depth\":" + json_value(std::to_string(depth), random);
    if (uniform_int(random, 8) == 0) {
        out += ",\"n\":" + std::to_string(uniform_int(random, 100));
    }
    if (split) {
        const int variable = 1 + uniform_int(random, covariates);
        const double cut = 0.01 * normal(random);
        out += ",\"Var\":" + json_value(std::to_string(variable), random);
        out += ",\"ORDRule\":\"x<=" + number_text(cut, 6) + "\"";
        out += ",\"TBN\":\"101\",\"S\":[";
        write_node(out, depth + 1, covariates, leaf_scale, random);
        out += ",";
        write_node(out, depth + 1, covariates, leaf_scale, random);
        out += "]}";
    } else {
        out += ",\"TBN\":\"110\",\"Mu\":" +
               json_value(number_text(leaf_scale * normal(random), 10), random) + "}";
    }
}

} // namespace

const std::vector<GridSection>& grid_sections() {
    static const std::vector<GridSection> sections = {
        {"htsxt", 7497.96, 599.76, 3578},
        {"alpha_znse", 3996.5, 599.8, 1666},
        {"alpha_kbr", 3996.0, 400.0, 2540},
        {"mpa", 12488, 3600, 1112},
    };
    return sections;
}

const GridSection& grid_of_spectrometer(const std::string& type) {
    const std::string machine = opus_machine_type(type);
    if (machine.empty()) {
        throw std::invalid_argument("unknown spectrometer type: " + type);
    }
    for (const GridSection& section : grid_sections()) {
        if (section.name == machine) {
            return section;
        }
    }
    throw std::logic_error("no grid section " + machine);
}

std::vector<double> grid_points(const GridSection& section) {
    const double step =
        (section.start_wn - section.end_wn) / static_cast<double>(section.num_wn - 1);
    std::vector<double> points(static_cast<std::size_t>(section.num_wn));
    double value = section.start_wn + step;
    for (double& point : points) {
        value -= step;
        point = value;
    }
    return points;
}

std::pair<double, double> property_range(const std::string& property) {
    static const std::map<std::string, std::pair<double, double>> ranges = {
        {"Carbon", {0.1, 10}}, {"Al", {50, 2500}},  {"B", {0.1, 5}},   {"Ca", {100, 10000}},
        {"Cu", {0.2, 20}},     {"EC.S", {0.01, 4}}, {"Fe", {10, 600}}, {"Hp", {0.1, 12}},
        {"K", {20, 1200}},     {"Mg", {20, 2000}},  {"Mn", {5, 500}},  {"Na", {5, 1500}},
        {"P", {2, 300}},       {"S", {2, 200}},     {"Zn", {0.2, 30}}, {"pH", {3.5, 9.5}},
        {"N", {0.01, 1}}};
    const auto found = ranges.find(property);
    if (found == ranges.end()) {
        throw std::invalid_argument("unknown soil property: " + property);
    }
    return found->second;
}

std::string make_forest_document(int trees, int covariates, std::mt19937_64& random) {
    // Leaf values as BART's prior puts them: the sum of all trees spans about -0.5 to 0.5.
    const double leaf_scale = 0.5 / (2.0 * std::sqrt(static_cast<double>(trees)));
    std::string out = "{\"n\":{\"trees\":" + std::to_string(trees) +
                      ",\"covariates\":" + std::to_string(covariates) + "}";
    for (int k = 1; k <= trees; ++k) {
        out += ",\n\"Tree\":" + json_value(std::to_string(k), random) + ",\"T\":";
        write_node(out, 1, covariates, leaf_scale, random);
    }
    out += "\n}\n";
    return out;
}

void write_model_tree(const fs::path& root, const ModelTreeOptions& options) {
    fs::create_directories(root);
    {
        std::ofstream conf(native_path(opus_configuration_file(root).string()), std::ios::binary);
        for (const GridSection& section : grid_sections()) {
            conf << "[" << section.name << "]\n"
                 << "start_wn = " << number_text(section.start_wn, 10) << "\n"
                 << "end_wn = " << number_text(section.end_wn, 10) << "\n"
                 << "num_wn = " << section.num_wn << "\n\n";
        }
        if (!conf.flush()) {
            throw std::runtime_error("cannot write " + opus_configuration_file(root).string());
        }
    }
    const std::vector<std::string>& types =
        options.types.empty() ? spectrometer_types() : options.types;
    const std::vector<std::string>& properties =
        options.properties.empty() ? soil_properties() : options.properties;
    for (std::size_t t = 0; t < types.size(); ++t) {
        const int covariates = grid_of_spectrometer(types[t]).num_wn;
        for (std::size_t p = 0; p < properties.size(); ++p) {
            const fs::path folder = root / types[t] / model_property_name(properties[p]);
            // On the log scale: the window back-transforms with exp by default. Figures are
            // kept to ten significant digits, the written files' precision.
            const auto [low, high] = property_range(properties[p]);
            ModelContents contents;
            contents.draws = static_cast<std::size_t>(options.draws);
            contents.range_low = rounded(std::log(low));
            contents.range_high = rounded(std::log(high));
            if (options.sigma) {
                // An error spread per draw on the fitted (log) scale, a tenth of the range.
                contents.sigma.assign(contents.draws, rounded(0.1 * std::log(high / low)));
            }
            if (options.card) {
                ModelCard card;
                card.property = properties[p];
                card.spectrometer_type = types[t];
                card.draws = contents.draws;
                card.demonstration = true;
                card.description = "Drawn at random from the BART tree prior by "
                                   "veldra-make-model-tree: its predictions mean nothing about "
                                   "soil.";
                contents.card = card;
            }
            std::mt19937_64 random(options.seed * 1000003ULL + t * 101ULL + p);
            contents.forest_document = [&](std::size_t) {
                return make_forest_document(options.trees, covariates, random);
            };
            write_model_folder(folder, contents);
        }
    }
}

namespace {

// A smooth soil-like absorbance spectrum: bands on a sloping baseline, drawn from `random`.
class SoilSpectrum {
public:
    SoilSpectrum(std::mt19937_64& random, double low, double high) : low_(low), span_(high - low) {
        for (int b = 0; b < 12; ++b) {
            bands_.push_back({low + span_ * uniform(random),
                              span_ * (0.005 + 0.03 * uniform(random)),
                              0.2 + 0.8 * uniform(random)});
        }
        baseline_ = 0.3 + 0.4 * uniform(random);
        slope_ = 0.2 * uniform(random);
    }
    double at(double wavenumber) const {
        double value = baseline_ + slope_ * (low_ + span_ - wavenumber) / span_;
        for (const Band& band : bands_) {
            const double z = (wavenumber - band.centre) / band.width;
            value += band.height * std::exp(-0.5 * z * z);
        }
        return value;
    }

private:
    struct Band {
        double centre, width, height;
    };
    double low_;
    double span_;
    std::vector<Band> bands_;
    double baseline_ = 0;
    double slope_ = 0;
};

} // namespace

void write_example_spectra(const std::string& path, const GridSection& section, int samples,
                           std::uint64_t seed) {
    const std::vector<double> grid = grid_points(section);
    std::mt19937_64 random(seed);
    std::ofstream out(native_path(path), std::ios::binary);
    out << "SSN";
    for (const double wavenumber : grid) {
        char name[32];
        std::snprintf(name, sizeof name, "m%.3f", wavenumber);
        out << "," << name;
    }
    out << "\n";
    for (int s = 1; s <= samples; ++s) {
        const SoilSpectrum spectrum(random, section.end_wn, section.start_wn);
        char id[32];
        std::snprintf(id, sizeof id, "sample%03d", s);
        out << id;
        for (const double wavenumber : grid) {
            out << "," << number_text(spectrum.at(wavenumber), 7);
        }
        out << "\n";
    }
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

void write_example_opus_folder(const std::string& folder, int samples, int replicates,
                               std::uint64_t seed) {
    fs::create_directories(folder);
    std::mt19937_64 random(seed);
    for (int s = 1; s <= samples; ++s) {
        const SoilSpectrum spectrum(random, 599.76, 7497.97);
        char name[32];
        std::snprintf(name, sizeof name, "soil%02d", s);
        for (int r = 0; r < replicates; ++r) {
            AbsorbanceFileOptions file;
            file.instrument = "VERTEX 70";
            file.beamsplitter = "KBr";
            file.detector = "HTS-XT LN-MCT Mid [Microplate reader]";
            file.sample_name = std::string(name) + ";;example;soil";
            const bool shifted = r % 3 == 2;
            file.first_x = shifted ? 7499.898 : 7497.969434666015;
            file.last_x = shifted ? 597.832 : 599.7604151700439;
            const int points = shifted ? 3581 : 3578;
            file.data_type = 0x0000100Fu;
            file.values.clear();
            const double step = (file.first_x - file.last_x) / (points - 1);
            for (int k = 0; k < points; ++k) {
                const double noise = 0.002 * (uniform(random) - 0.5);
                file.values.push_back(
                    static_cast<float>(spectrum.at(file.first_x - k * step) + noise));
            }
            std::ofstream out(
                native_path(
                    (fs::path(folder) / (std::string(name) + "." + std::to_string(r))).string()),
                std::ios::binary);
            out << opus_file(absorbance_blocks(file));
            if (!out.flush()) {
                throw std::runtime_error("cannot write into " + folder);
            }
        }
    }
}

} // namespace veldra::tools
