#include "input/opus_folder.h"

#include "input/opus_reader.h"
#include "text/characters.h"
#include "text/file_pattern.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

// A file of the folder: "mix/" and "zz.0" give "mix/zz.0", as "mix" does.
std::string in_folder(const std::string& folder, const std::string& name) {
    if (folder.empty()) {
        return name;
    }
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string quoted(const fs::path& path) {
    std::ostringstream out;
    out << path;
    return out.str();
}

bool usable(const OpusFile& file) {
    if (file.variable_names.empty() || file.records.empty()) {
        return false;
    }
    const std::vector<double>& values = file.records.front().grid_values;
    return !values.empty() &&
           std::none_of(values.begin(), values.end(), [](double v) { return std::isnan(v); });
}

// Why a file that is not usable was left out, for the user: its first error, or what is
// missing.
std::string unusable_reason(const OpusFile& file) {
    for (const std::string& line : file.diagnostics) {
        if (line.rfind("ERROR", 0) == 0) {
            return line;
        }
    }
    if (!file.diagnostics.empty()) {
        return file.diagnostics.front();
    }
    if (file.variable_names.empty() || file.records.empty() ||
        file.records.front().grid_values.empty()) {
        return "no absorbance spectrum in the file";
    }
    return "the spectrum holds values that are not numbers (NaN)";
}

} // namespace

std::vector<double> read_opus_grid(const std::string& configuration_path, const std::string& type,
                                   const std::string& first_file) {
    boost::property_tree::ptree configuration;
    boost::property_tree::read_ini(configuration_path, configuration);
    if (type == "NA" && !configuration.get_child_optional("NA")) {
        OpusInstrument instrument;
        read_opus_instrument(first_file, instrument);
        std::ostringstream message;
        message << "Cannot tell the spectrometer of " << quoted(fs::path(first_file))
                << " (instrument \"" << instrument.instrument << "\", beamsplitter \""
                << instrument.beamsplitter << "\", detector \"" << instrument.detector
                << "\"), so there is no wavenumber grid for this folder.";
        throw std::runtime_error(message.str());
    }
    const double start = configuration.get<double>(type + ".start_wn");
    const double end = configuration.get<double>(type + ".end_wn");
    const int count = configuration.get<int>(type + ".num_wn");
    if (count < 2) {
        throw std::runtime_error("num_wn of section [" + type +
                                 "] in opus.conf must be at least 2, not " + std::to_string(count));
    }
    if (count > largest_opus_point_count) {
        throw std::runtime_error("num_wn of section [" + type + "] in opus.conf must be at most " +
                                 std::to_string(largest_opus_point_count) + ", not " +
                                 std::to_string(count));
    }
    const double step = (start - end) / static_cast<double>(count - 1);
    std::vector<double> grid(static_cast<std::size_t>(count));
    double v = start + step;
    for (double& point : grid) {
        v -= step;
        point = v;
    }
    return grid;
}

std::string opus_base_name(const std::string& file_name) {
    const std::size_t dot = file_name.rfind('.');
    if (dot == std::string::npos || dot + 1 == file_name.size() ||
        !std::all_of(file_name.begin() + static_cast<std::ptrdiff_t>(dot) + 1, file_name.end(),
                     is_digit)) {
        return std::string();
    }
    return file_name.substr(0, dot);
}

std::vector<std::string> scan_opus_folder(const std::string& path_text, LoggerSet& log) {
    fs::path path(path_text);
    const std::string name = path.filename().string();
    const bool wildcard = name.find('*') != std::string::npos;
    if (wildcard) {
        path = path.parent_path();
    }

    std::vector<std::string> listing;
    if (!wildcard) {
        boost::system::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (error || status.type() == fs::file_not_found) {
            throw std::runtime_error("Directory '" + quoted(path) + "' not found");
        }
        if (status.type() == fs::regular_file && name.rfind('.', 0) != 0) {
            listing.push_back(name);
        } else if (status.type() != fs::directory_file) {
            throw std::runtime_error("'" + quoted(path) + "' is not a directory or file");
        }
    }
    VELDRA_LOG(log, Severity::info) << "";
    VELDRA_LOG(log, Severity::info) << "Uploaded Files:";
    if (!listing.empty()) {
        VELDRA_LOG(log, Severity::info) << name << " ";
    } else {
        for (const fs::directory_entry& entry :
             fs::directory_iterator(path.empty() ? fs::path(".") : path)) {
            const std::string entry_name = entry.path().filename().string();
            if (wildcard && !matches_file_pattern(name, entry_name)) {
                continue;
            }
            boost::system::error_code error;
            const fs::file_status status = fs::status(entry.path(), error);
            if (error) {
                VELDRA_LOG(log, Severity::info) << entry_name << " " << error.message();
                continue;
            }
            if (status.type() == fs::regular_file && entry_name.rfind('.', 0) != 0) {
                listing.push_back(entry_name);
                VELDRA_LOG(log, Severity::info) << entry_name << " ";
            }
        }
    }
    std::sort(listing.begin(), listing.end());

    std::string sentinel = ".0";
    if (!listing.empty()) {
        const std::string& largest = listing.back();
        std::string base = opus_base_name(largest);
        if (base.empty()) {
            base = largest;
        }
        for (char& c : base) {
            c = static_cast<char>(static_cast<unsigned char>(c) + 1);
        }
        sentinel = base + ".0";
    }
    listing.push_back(sentinel);
    return listing;
}

SpectraTable& import_opus_folder(SpectraTable& table, const std::string& configuration_path,
                                 const std::string& folder, LoggerSet& log) {
    return import_opus_folder(table, configuration_path, folder, log, nullptr);
}

SpectraTable& import_opus_folder(SpectraTable& table, const std::string& configuration_path,
                                 const std::string& folder, LoggerSet& log,
                                 std::vector<std::string>* column_names) {
    // Read first: a missing or broken configuration is reported before the folder is listed.
    {
        boost::property_tree::ptree configuration;
        boost::property_tree::read_ini(configuration_path, configuration);
    }
    table.ids.clear();
    table.rows.clear();
    table.defective.clear();
    OpusReader reader;
    const std::vector<std::string> listing = scan_opus_folder(folder, log);

    // Files are read from the folder the path names, or from its parent when it names a single
    // file or a '*' pattern.
    std::string folder_text = folder;
    boost::system::error_code error;
    if (fs::is_regular_file(folder, error) ||
        fs::path(folder).filename().string().find('*') != std::string::npos) {
        folder_text = fs::path(folder).parent_path().string();
    }
    if (listing.size() == 1) {
        // Only the sentinel: there is no file whose type could give the grid.
        throw std::runtime_error("No OPUS files found in " + quoted(fs::path(folder)));
    }
    const std::string first_file = in_folder(folder_text, listing.front());
    const std::string type = detect_machine_type(first_file);
    if (type == "NA") {
        VELDRA_LOG(log, Severity::info) << "unknown machinetype " << type;
    }
    reader.grid = read_opus_grid(configuration_path, type, first_file);
    table.machine_type = type;

    std::vector<std::string> defective;
    std::string prefix;
    const auto process_group = [&](const std::vector<std::string>& group, const std::string& base) {
        std::size_t count = 0;
        std::vector<double> sum;
        for (const std::string& member : group) {
            const std::string path = in_folder(folder_text, member);
            const OpusFile file = read_opus_file(reader, path);
            for (const std::string& line : file.diagnostics) {
                VELDRA_LOG(log, Severity::warning) << line;
            }
            if (!usable(file)) {
                defective.push_back(path);
                table.defective.push_back({path, unusable_reason(file)});
                continue;
            }
            if (type != "NA" && file.machine_type != type) {
                // Another instrument's spectrum would be resampled onto a grid it was not
                // measured on: reported, not mixed in.
                VELDRA_LOG(log, Severity::warning)
                    << "ERROR : " << quoted(fs::path(path)) << " is from another instrument ("
                    << file.machine_type << ") than the folder's first file (" << type << ")";
                defective.push_back(path);
                table.defective.push_back({path, "from another instrument (" + file.machine_type +
                                                     ") than the folder's first file (" + type +
                                                     ")"});
                continue;
            }
            const std::vector<double>& values = file.records.front().grid_values;
            if (prefix.empty()) {
                prefix = file.variable_names[3].substr(0, 1);
            }
            if (count == 0) {
                table.ids.push_back(base);
                sum = values;
            } else {
                for (std::size_t k = 0; k < sum.size(); ++k) {
                    sum[k] += values[k];
                }
            }
            ++count;
        }
        if (count > 0) {
            for (double& value : sum) {
                value /= static_cast<double>(count);
            }
            table.rows.push_back(std::move(sum));
        }
    };

    std::vector<std::string> group;
    std::string current;
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const std::string& name = listing[i];
        const bool is_sentinel = i + 1 == listing.size();
        if (!is_sentinel) {
            VELDRA_LOG(log, Severity::info) << "  filename " << name;
        }
        const std::string base = opus_base_name(name);
        if (i == 0) {
            group = {name};
        } else if (base != current) {
            process_group(group, current);
            group = {name};
        } else {
            group.push_back(name);
        }
        current = base;
    }

    table.names.clear();
    char text[400];
    for (const double wavenumber : reader.grid) {
        const auto end =
            std::to_chars(text, text + sizeof text, wavenumber, std::chars_format::fixed, 3);
        table.names.push_back(prefix + std::string(text, end.ptr));
    }
    if (column_names != nullptr) {
        *column_names = table.names;
    }

    if (!defective.empty()) {
        VELDRA_LOG(log, Severity::info) << defective.size() << " defective files found:";
        for (const std::string& path : defective) {
            VELDRA_LOG(log, Severity::info) << "\t" << path;
        }
        for (int k = 0; k < 3; ++k) {
            VELDRA_LOG(log, Severity::info) << "";
        }
    } else {
        VELDRA_LOG(log, Severity::info) << "No defective files detected";
    }
    return table;
}

} // namespace veldra
