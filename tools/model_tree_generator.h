#pragma once

#include "bart/forest_writer.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra::tools {

// The wavenumber grid of one machine type as "opus.conf" describes it.
struct GridSection {
    std::string name; // section of "opus.conf"
    double start_wn;
    double end_wn;
    int num_wn;
};

// The four machine-type sections the demonstration tree ships.
const std::vector<GridSection>& grid_sections();

// The section whose grid a spectrometer type's models use (mir: htsxt, mpa: mpa, alphakbr:
// alpha_kbr, alphaznse: alpha_znse).
const GridSection& grid_of_spectrometer(const std::string& type);

// Grid points from start_wn down to end_wn, made by repeated subtraction as the folder import
// makes them.
std::vector<double> grid_points(const GridSection& section);

// A plausible range of a soil property on its natural scale; "rgy.txt" holds its logarithms,
// since predictions are back-transformed with exp by default.
std::pair<double, double> property_range(const std::string& property);

struct ModelTreeOptions {
    int draws = 100;                     // draw files per model
    int trees = 50;                      // trees per document
    std::uint64_t seed = 1;              // the same seed gives the same bytes
    std::vector<std::string> types;      // spectrometer types; empty: all four
    std::vector<std::string> properties; // soil properties; empty: all seventeen
    bool card = true;  // a "model.json" saying the model is a demonstration drawn from the prior
    bool sigma = true; // a "sigma.txt" of error spreads, for posterior-predictive intervals
    // Draw files in every form the format allows (`make_forest_document`), as models from
    // elsewhere come, instead of the forest writer's: the same trees, harder to read. The
    // benchmarks measure on these.
    bool varied = false;
};

// Writes "opus.conf" and, for every chosen type and property, the model folder with its range
// file, posterior-sample documents and card below `root`. Demonstration models drawn at random
// from the BART tree prior: their predictions mean nothing about soil, and their cards say so.
void write_model_tree(const boost::filesystem::path& root, const ModelTreeOptions& options);

// One model document of `trees` trees over covariates 1..`covariates`, drawn from the BART
// tree prior (a node at depth d splits with probability 0.95 (1 + d)^-2), with cuts on the
// scale of first-derivative spectra and leaf values on the scale of a sum of `trees` trees.
// The text uses every form the format allows: numbers as JSON numbers and as strings, "n"
// entries, ORDRule texts such as x<=0.0031, repeated keys.
std::string make_forest_document(int trees, int covariates, std::mt19937_64& random);

// The same trees, for the same state of `random`, as the forest writer takes them: the model
// folders of the tree are written through it, as the trainer's are.
std::vector<WrittenTree> make_forest(int trees, int covariates, std::mt19937_64& random);

// Writes a CSV table of `samples` synthetic absorbance spectra on `section`'s grid: smooth
// bands on a sloping baseline, different for every sample.
void write_example_spectra(const std::string& path, const GridSection& section, int samples,
                           std::uint64_t seed);

// Writes a folder of OPUS files: `samples` samples of `replicates` scans each, named
// soil01.0, soil01.1, ..., from the same smooth soil-like spectra as write_example_spectra. Every
// third replicate is stored on a slightly different axis (more points, a wider range), so
// resampling onto the grid matters. The files look as an HTS-XT instrument writes them.
void write_example_opus_folder(const std::string& folder, int samples, int replicates,
                               std::uint64_t seed);

} // namespace veldra::tools
