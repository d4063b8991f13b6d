// Writes the bundled example inputs: a CSV table of 20 samples on the htsxt grid and a folder
// of OPUS files (6 samples, 3 replicates each). Synthetic, soil-like, deterministic.
#include "tools/model_tree_generator.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    try {
        veldra::tools::write_example_opus_folder(folder + "/opus", 6, 3, 2026);
        veldra::tools::write_example_spectra(folder + "/spectra.csv",
                                             veldra::tools::grid_of_spectrometer("mir"), 20, 2026);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
