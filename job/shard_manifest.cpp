#include "job/shard_manifest.h"

#include "models/model_folder.h"
#include "text/platform.h"
#include "version.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

std::string shard_input_identity(const JobSettings& settings) {
    std::ostringstream line;
    boost::system::error_code error;
    if (!settings.csv_file.empty()) {
        line << "input: CSV file " << settings.csv_file
             << "\ninput size: " << fs::file_size(settings.csv_file, error) << " bytes, modified "
             << fs::last_write_time(settings.csv_file, error) << ", fingerprint "
             << file_fingerprint(settings.csv_file) << "\n";
        return line.str();
    }
    std::uintmax_t files = 0;
    std::uintmax_t bytes = 0;
    std::time_t newest = 0;
    for (fs::directory_iterator it(settings.opus_folder, error), end; !error && it != end;
         it.increment(error)) {
        boost::system::error_code ignored;
        if (fs::is_regular_file(it->path(), ignored)) {
            ++files;
            bytes += fs::file_size(it->path(), ignored);
            newest = std::max(newest, fs::last_write_time(it->path(), ignored));
        }
    }
    line << "input: OPUS folder " << settings.opus_folder << "\ninput size: " << files << " files, "
         << bytes << " bytes, latest modified " << newest << "\n";
    return line.str();
}

namespace {

std::string models_identity(const JobSettings& settings) {
    std::ostringstream lines;
    for (const std::string& type : settings.spectrometer_types) {
        for (const std::string& property : settings.soil_properties) {
            const fs::path folder = model_folder(settings.model_directory, type, property);
            std::size_t draws = 0;
            boost::system::error_code error;
            for (fs::directory_iterator it(folder, error), end; !error && it != end;
                 it.increment(error)) {
                draws += is_draw_file(it->path()) ? 1 : 0;
            }
            lines << "model " << type << "/" << property << ": card "
                  << file_fingerprint(card_file(folder).string()) << ", range "
                  << file_fingerprint(range_file(folder).string()) << ", " << draws
                  << " draw files\n";
        }
    }
    return lines.str();
}

} // namespace

std::string file_fingerprint(const std::string& path, std::size_t limit_bytes) {
    std::ifstream in(native_path(path), std::ios::binary);
    if (!in) {
        return "none";
    }
    std::uint64_t hash = 14695981039346656037ull;
    char buffer[65536];
    std::size_t read_bytes = 0;
    while (read_bytes < limit_bytes && in) {
        in.read(buffer, static_cast<std::streamsize>(
                            std::min<std::size_t>(sizeof buffer, limit_bytes - read_bytes)));
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        for (std::size_t i = 0; i < got; ++i) {
            hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
        }
        read_bytes += got;
        if (got == 0) {
            break;
        }
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string shard_manifest_text(const JobSettings& settings, const std::string& input_identity,
                                const ShardSamples& samples,
                                const std::vector<std::string>& files) {
    std::ostringstream text;
    text << "veldra shard manifest 1\n"
         << "program: veldra " << veldra_version << "\n"
         << "output: " << settings.output_path << "\n"
         << input_identity << "samples of the input: " << samples.total << "\n"
         << "settings: transformation " << transformation_text(settings.transformation)
         << ", exponential " << (settings.exponential ? "yes" : "no") << ", summary "
         << (settings.summary ? "yes" : "no") << ", summary only "
         << (settings.summary_only ? "yes" : "no") << ", separator '" << settings.output_separator
         << "'\n";
    if (!settings.sample_id.empty()) {
        text << "samples named by: " << settings.sample_id << "\n"; // a run of its own
    }
    text << "decisions: levels";
    for (const double level : settings.levels) {
        text << ' ' << level;
    }
    text << ", tolerances";
    for (const auto& [property, half_width] : settings.tolerances) {
        text << ' ' << property << '=' << half_width;
    }
    text << "\n"
         << "models: " << settings.model_directory.string() << "\n"
         << models_identity(settings) << "shards: " << settings.shards << "\n"
         << "shard: " << settings.shard << " of " << settings.shards << "\n"
         << "samples: " << samples.first + 1 << " to " << samples.last << "\n";
    for (const std::string& file : files) {
        text << "file: " << fs::path(file).filename().string() << "\n";
    }
    return text.str();
}

} // namespace veldra
