// Times the CSV reader on a table of synthetic spectra on the htsxt grid (3578 columns).
// Prints megabytes per second and the peak memory of the process.
#include "input/csv_reader.h"
#include "text/platform.h"
#include "tools/model_tree_generator.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <boost/filesystem.hpp>

int main(int argc, char** argv) {
    namespace fs = boost::filesystem;
    const int samples = argc > 1 ? std::atoi(argv[1]) : 2000;
    const fs::path file = fs::temp_directory_path() / fs::unique_path("veldra-csv-%%%%.csv");
    veldra::tools::write_example_spectra(file.string(), veldra::tools::grid_of_spectrometer("mir"),
                                         samples, 3);
    const double megabytes = static_cast<double>(fs::file_size(file)) / 1e6;
    const auto start = std::chrono::steady_clock::now();
    const veldra::SpectraTable table = veldra::read_spectra_csv(file.string());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu samples x %zu values, %.1f MB in %.3f s: %.0f MB/s, peak memory %.1f MB\n",
                table.rows.size(), table.rows.front().size(), megabytes, seconds,
                megabytes / seconds, static_cast<double>(veldra::peak_memory_bytes()) / 1e6);
    std::printf("reproduce: %s %d\n", argv[0], samples);
    fs::remove(file);
    return 0;
}
