// Times the import of a folder of OPUS files: copies of one 3578-point absorbance file, in
// replicate groups of three, resampled onto the htsxt grid. Prints files per second and the
// peak memory of the process.
#include "bench/command_line.h"
#include "input/opus_folder.h"
#include "text/platform.h"
#include "tools/opus_writer.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>

int main(int argc, char** argv) {
    namespace fs = boost::filesystem;
    namespace po = boost::program_options;
    int files = 1000;
    std::string source = std::string(VELDRA_SHARED_DIR) + "/opus-samples/629266_1TP_A-1_C1.0";
    po::options_description described("veldra-bench-opus-import");
    described.add_options()("help", "show this text")(
        "files", po::value(&files)->default_value(files), "files in the folder")(
        "source", po::value(&source)->default_value(source),
        "OPUS file to copy (a synthetic 3578-point file when it does not exist)");
    if (!veldra::bench::parse_options(argc, argv, described)) {
        return 0;
    }

    const fs::path root = fs::temp_directory_path() / fs::unique_path("veldra-bench-%%%%-%%%%");
    const fs::path folder = root / "scans";
    fs::create_directories(folder);
    std::string bytes;
    if (fs::is_regular_file(source)) {
        std::ifstream in(source, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        std::printf("source: %s\n", source.c_str());
    } else {
        veldra::tools::AbsorbanceFileOptions options;
        options.first_x = 7497.969434666015;
        options.last_x = 599.7604151700439;
        options.values.clear();
        for (int k = 0; k < 3578; ++k) {
            options.values.push_back(0.2f + 0.0004f * static_cast<float>(k % 977));
        }
        bytes = veldra::tools::opus_file(veldra::tools::absorbance_blocks(options));
        std::printf("source: synthetic 3578-point file\n");
    }
    for (int k = 0; k < files; ++k) {
        char name[64];
        std::snprintf(name, sizeof name, "sample%05d.%d", k / 3, k % 3);
        std::ofstream((folder / name).string(), std::ios::binary) << bytes;
    }
    std::ofstream((root / "opus.conf").string())
        << "[htsxt]\nstart_wn = 7497.96\nend_wn = 599.76\nnum_wn = 3578\n";

    veldra::LoggerSet log;
    veldra::SpectraTable table;
    const auto start = std::chrono::steady_clock::now();
    veldra::import_opus_folder(table, (root / "opus.conf").string(), folder.string() + "/", log);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d files, %zu samples, %.3f s, %.0f files per second, peak memory %.1f MB\n",
                files, table.rows.size(), seconds, files / seconds,
                static_cast<double>(veldra::peak_memory_bytes()) / 1e6);
    std::printf("reproduce: %s --files %d\n", argv[0], files);
    fs::remove_all(root);
    return 0;
}
