#pragma once

#include "input/spectra_table.h"
#include "models/model_layout.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace veldra {

// The user's choices for one job, copied into the job when it is created.
struct JobSettings {
    std::string output_path;
    ModelDirectory model_directory;
    std::string output_separator = ",";
    std::string opus_folder; // folder text followed by "/", or empty
    std::string csv_file;    // or empty
    SpectraColumns columns;  // in-memory spectra, one inner sequence per covariate
    std::vector<std::string> ids;
    std::string opus_configuration_path;
    // How the OPUS folder's files name their samples: a regular expression whose first group is
    // the sample (SampleNaming); empty: the base name, replicates "<sample>.0", "<sample>.1", ...
    std::string sample_id;
    bool exponential = true;
    std::vector<std::string> spectrometer_types;
    std::vector<std::string> soil_properties; // in the fixed order of soil_properties()
    Transformation transformation = Transformation::first_derivative;
    unsigned threads = 0;      // threads evaluating forest files; 0: one per core
    bool summary = false;      // also write the summary table "<stem>-summary<extension>"
    bool summary_only = false; // the summary table and no per-pair files (needs `summary`)
    // Predict only part `shard` (1-based) of `shards` contiguous parts of the input's samples;
    // 0 of 0: all. The outputs are named "<stem>-shard-<K>-of-<N><extension>" and so on.
    std::size_t shard = 0;
    std::size_t shards = 0;
    // Samples predicted at a time (the outputs do not depend on it); 0: by the rule of
    // `default_block_samples`.
    std::size_t block_samples = 0;
    // The most memory of forests kept from one block to the next over all pairs; the pairs
    // beyond it read their forest files again for every block.
    std::size_t held_forest_budget = std::size_t{512} << 20;
    // Whether pairs read and write compiled models (PairPrediction::compiled).
    bool compiled_models = true;
    // Keep a preview of the spectra read, for the results window (see SpectraPreview).
    bool keep_spectra = false;
    // The levels of the summary's calibrated intervals, in order (the first is the one the
    // decisions use), and per property the half width a decision accepts.
    std::vector<double> levels{0.95};
    std::map<std::string, double> tolerances;
};

} // namespace veldra
