#include "tools/model_tree_generator.h"

#include "bart/forest_writer.h"
#include "models/model_folder.h"
#include "models/model_layout.h"
#include "text/c_number.h"
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

// A node drawn from the tree prior, in preorder, with the spelling the varied document gives
// its numbers (about one in three as a JSON string) and its "n" entry (-1: none).
struct DrawnNode {
    int depth = 1;
    bool depth_as_text = false;
    int count = -1;
    int variable = 0; // 1-based, for a split; 0 for a leaf
    bool variable_as_text = false;
    std::string cut; // six significant digits, for a split
    std::string mu;  // ten significant digits, for a leaf
    bool mu_as_text = false;
};

struct DrawnTree {
    bool number_as_text = false;
    std::vector<DrawnNode> nodes;
};

bool as_text(std::mt19937_64& random) {
    return uniform_int(random, 3) == 0;
}

// The draws happen in one fixed order, so that a seed gives the same trees however they are
// written.
void draw_node(std::vector<DrawnNode>& nodes, int depth, int covariates, double leaf_scale,
               std::mt19937_64& random) {
    const double split_probability = 0.95 * std::pow(1.0 + (depth - 1), -2.0);
    const bool split = depth < 12 && uniform(random) < split_probability;
    DrawnNode node;
    node.depth = depth;
    node.depth_as_text = as_text(random);
    if (uniform_int(random, 8) == 0) {
        node.count = uniform_int(random, 100);
    }
    if (split) {
        node.variable = 1 + uniform_int(random, covariates);
        node.cut = number_text(0.01 * normal(random), 6);
        node.variable_as_text = as_text(random);
        nodes.push_back(node);
        draw_node(nodes, depth + 1, covariates, leaf_scale, random);
        draw_node(nodes, depth + 1, covariates, leaf_scale, random);
    } else {
        node.mu = number_text(leaf_scale * normal(random), 10);
        node.mu_as_text = as_text(random);
        nodes.push_back(node);
    }
}

std::vector<DrawnTree> draw_forest(int trees, int covariates, std::mt19937_64& random) {
    // Leaf values as BART's prior puts them: the sum of all trees spans about -0.5 to 0.5.
    const double leaf_scale = 0.5 / (2.0 * std::sqrt(static_cast<double>(trees)));
    std::vector<DrawnTree> forest(static_cast<std::size_t>(trees));
    for (DrawnTree& tree : forest) {
        tree.number_as_text = as_text(random);
        draw_node(tree.nodes, 1, covariates, leaf_scale, random);
    }
    return forest;
}

std::string json_value(const std::string& number, bool as_text) {
    return as_text ? "\"" + number + "\"" : number;
}

// Writes the subtree at `at` in the varied spelling; returns the position after it.
std::size_t write_node(std::string& out, const std::vector<DrawnNode>& nodes, std::size_t at) {
    const DrawnNode& node = nodes[at];
    out += "{\"Depth\":" + json_value(std::to_string(node.depth), node.depth_as_text);
    if (node.count >= 0) {
        out += ",\"n\":" + std::to_string(node.count);
    }
    if (node.variable == 0) {
        out += ",\"TBN\":\"110\",\"Mu\":" + json_value(node.mu, node.mu_as_text) + "}";
        return at + 1;
    }
    out += ",\"Var\":" + json_value(std::to_string(node.variable), node.variable_as_text);
    out += ",\"ORDRule\":\"x<=" + node.cut + "\"";
    out += ",\"TBN\":\"101\",\"S\":[";
    at = write_node(out, nodes, at + 1);
    out += ",";
    at = write_node(out, nodes, at);
    out += "]}";
    return at;
}

// Appends the subtree at `at` to `tree` as the forest writer takes it; returns the position
// after it.
std::size_t add_written_node(WrittenTree& tree, const std::vector<DrawnNode>& nodes,
                             std::size_t at) {
    const DrawnNode& node = nodes[at];
    const std::size_t index = tree.nodes.size();
    tree.nodes.emplace_back();
    if (node.variable == 0) {
        tree.nodes[index].value = read_c_double(node.mu);
        return at + 1;
    }
    tree.nodes[index].variable = node.variable - 1;
    tree.nodes[index].value = read_c_double(node.cut);
    tree.nodes[index].left = static_cast<std::int32_t>(tree.nodes.size());
    at = add_written_node(tree, nodes, at + 1);
    tree.nodes[index].right = static_cast<std::int32_t>(tree.nodes.size());
    return add_written_node(tree, nodes, at);
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
    std::string out = "{\"n\":{\"trees\":" + std::to_string(trees) +
                      ",\"covariates\":" + std::to_string(covariates) + "}";
    std::size_t k = 0;
    for (const DrawnTree& tree : draw_forest(trees, covariates, random)) {
        out += ",\n\"Tree\":" + json_value(std::to_string(++k), tree.number_as_text) + ",\"T\":";
        write_node(out, tree.nodes, 0);
    }
    out += "\n}\n";
    return out;
}

std::vector<WrittenTree> make_forest(int trees, int covariates, std::mt19937_64& random) {
    std::vector<WrittenTree> forest;
    for (const DrawnTree& tree : draw_forest(trees, covariates, random)) {
        forest.emplace_back();
        add_written_node(forest.back(), tree.nodes, 0);
    }
    return forest;
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
                return options.varied
                           ? make_forest_document(options.trees, covariates, random)
                           : forest_document(make_forest(options.trees, covariates, random));
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
