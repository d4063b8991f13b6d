#include "input/opus_folder.h"

#include "input/opus_reader.h"
#include "text/characters.h"
#include "text/file_pattern.h"
#include "text/number_text.h"
#include "text/platform.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
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

bool has_nan(const std::vector<double>& values) {
    return std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); });
}

// On its own axis a file has no variable names (the folder names its columns) and may hold
// points without a value outside the table's axis: its values are checked once on that axis.
bool usable(const OpusFile& file, bool own_axis) {
    if ((file.variable_names.empty() && !own_axis) || file.records.empty()) {
        return false;
    }
    const std::vector<double>& values = file.records.front().grid_values;
    return !values.empty() && (own_axis || !has_nan(values));
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

// The configuration as boost::property_tree::read_ini reads a named file, with its messages, but
// opened through the platform's wide path.
void read_configuration(const std::string& path, boost::property_tree::ptree& configuration) {
    namespace ini = boost::property_tree::ini_parser;
    std::ifstream stream(native_path(path));
    if (!stream) {
        throw ini::ini_parser_error("cannot open file", path, 0);
    }
    try {
        ini::read_ini(stream, configuration);
    } catch (const ini::ini_parser_error& e) {
        throw ini::ini_parser_error(e.message(), path, e.line());
    }
}

} // namespace

std::vector<double> read_opus_grid(const std::string& configuration_path, const std::string& type,
                                   const std::string& first_file) {
    boost::property_tree::ptree configuration;
    read_configuration(configuration_path, configuration);
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

SampleNaming::SampleNaming(const std::string& pattern) : pattern_(pattern) {
    if (pattern.empty()) {
        return;
    }
    try {
        regex_ = std::make_shared<const std::regex>(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
        throw std::runtime_error("--sample-id '" + pattern +
                                 "' is not a regular expression: " + e.what());
    }
    if (regex_->mark_count() < 1) {
        throw std::runtime_error("--sample-id '" + pattern +
                                 "' has no group: put the sample's part of the file name in "
                                 "parentheses, as in '^([^_]+)_'.");
    }
}

std::string SampleNaming::sample_of(const std::string& file_name) const {
    const std::string base = opus_base_name(file_name);
    if (!regex_) {
        return base;
    }
    std::smatch found;
    const std::string& searched = base.empty() ? file_name : base;
    if (!std::regex_search(searched, found, *regex_)) {
        return std::string();
    }
    return found[1].str();
}

std::vector<std::string> scan_opus_folder(const std::string& path_text, LoggerSet& log) {
    fs::path path(path_text);
    const std::string name = path.filename().string();
    const bool wildcard = name.find('*') != std::string::npos;
    if (wildcard) {
        path = path.parent_path();
    }

    std::vector<std::string> listing;
    boost::system::error_code missing;
    if (wildcard && !fs::is_directory(path.empty() ? fs::path(".") : path, missing)) {
        throw std::runtime_error("Directory '" + quoted(path) +
                                 "' not found\nNo folder has that name: check the path before the "
                                 "pattern.");
    }
    if (!wildcard) {
        boost::system::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (error || status.type() == fs::file_not_found) {
            throw std::runtime_error("Directory '" + quoted(path) +
                                     "' not found\nNo folder or file has that name: check the "
                                     "path (and that the drive or network folder is there).");
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

std::string no_spectrum_message(const std::string& folder,
                                const std::vector<DefectiveFile>& defective) {
    // The reasons, each once with its count, in the order first met.
    std::vector<std::pair<std::string, std::size_t>> reasons;
    for (const DefectiveFile& file : defective) {
        const auto same = std::find_if(reasons.begin(), reasons.end(), [&](const auto& known) {
            return known.first == file.reason;
        });
        if (same == reasons.end()) {
            reasons.emplace_back(file.reason, 1);
        } else {
            ++same->second;
        }
    }
    std::string message = "No file of '" + folder + "' gave a spectrum: ";
    if (reasons.empty()) {
        return message + "it holds no file with a name that gives a sample.";
    }
    const std::size_t shown = std::min<std::size_t>(reasons.size(), 3);
    for (std::size_t k = 0; k < shown; ++k) {
        message += (k > 0 ? "; " : "") + std::to_string(reasons[k].second) +
                   (reasons[k].second == 1 ? " file: " : " files: ") + reasons[k].first;
    }
    if (shown < reasons.size()) {
        message += "; and " + std::to_string(reasons.size() - shown) + " other reasons";
    }
    return message + " (the log names each file).";
}

SpectraTable& import_opus_folder(SpectraTable& table, const std::string& configuration_path,
                                 const std::string& folder, LoggerSet& log) {
    return import_opus_folder(table, configuration_path, folder, log, nullptr);
}

SpectraTable& import_opus_folder(SpectraTable& table, const std::string& configuration_path,
                                 const std::string& folder, LoggerSet& log,
                                 std::vector<std::string>* column_names,
                                 const OpusFolderOptions& options) {
    OpusFolderReader reader(configuration_path, folder, log, options);
    reader.read(table, std::numeric_limits<std::size_t>::max(), log);
    if (table.rows.empty()) {
        throw std::runtime_error(no_spectrum_message(folder, table.defective));
    }
    if (column_names != nullptr) {
        *column_names = table.names;
    }
    return table;
}

OpusFolderReader::OpusFolderReader(const std::string& configuration_path, const std::string& folder,
                                   LoggerSet& log, const OpusFolderOptions& options)
    : naming_(options.naming), axis_names_(options.axis_names),
      keep_empty_points_(options.keep_empty_points) {
    if (options.spectrometer.empty()) {
        // Read first: a missing or broken configuration is reported before the folder is listed.
        boost::property_tree::ptree configuration;
        read_configuration(configuration_path, configuration);
    }
    listing_ = scan_opus_folder(folder, log);
    if (naming_.by_pattern()) {
        // The files of one sample read together, samples in the order of their names; the
        // sentinel stays last.
        std::stable_sort(listing_.begin(), listing_.end() - 1,
                         [this](const std::string& a, const std::string& b) {
                             return naming_.sample_of(a) < naming_.sample_of(b);
                         });
    }

    // Files are read from the folder the path names, or from its parent when it names a single
    // file or a '*' pattern.
    folder_ = folder;
    boost::system::error_code error;
    if (fs::is_regular_file(folder, error) ||
        fs::path(folder).filename().string().find('*') != std::string::npos) {
        folder_ = fs::path(folder).parent_path().string();
    }
    if (listing_.size() == 1) {
        // Only the sentinel: there is no file whose type could give the grid.
        throw std::runtime_error("No OPUS files found in " + quoted(fs::path(folder)));
    }
    if (options.spectrometer.empty()) {
        const std::string first_file = in_folder(folder_, listing_.front());
        type_ = detect_machine_type(first_file);
        if (type_ == "NA") {
            VELDRA_LOG(log, Severity::info) << "unknown machinetype " << type_;
        }
        reader_.grid = read_opus_grid(configuration_path, type_, first_file);
    } else {
        choose_grid(configuration_path, options.spectrometer, log);
    }
    for (std::size_t i = 0; i + 1 < listing_.size(); ++i) {
        groups_ +=
            i == 0 || naming_.sample_of(listing_[i]) != naming_.sample_of(listing_[i - 1]) ? 1 : 0;
    }
    last_group_ = groups_;
}

// A lab's own spectrometer: the grid of its section of the configuration, or the files' own
// axes.
void OpusFolderReader::choose_grid(const std::string& configuration_path,
                                   const std::string& spectrometer, LoggerSet& log) {
    boost::property_tree::ptree configuration;
    if (std::ifstream(native_path(configuration_path))) {
        read_configuration(configuration_path, configuration);
    }
    const std::string first_file = in_folder(folder_, listing_.front());
    if (configuration.get_child_optional(spectrometer)) {
        reader_.grid = read_opus_grid(configuration_path, spectrometer, first_file);
        own_grid_ = true;
        VELDRA_LOG(log, Severity::info)
            << "The files are resampled onto the grid of [" << spectrometer << "] in "
            << quoted(fs::path(configuration_path)) << ".";
        return;
    }
    reader_.own_axis = true;
    prefix_ = "wn_";
    source_counts_.assign(5, 0);
    VELDRA_LOG(log, Severity::info)
        << "The files are read on their own axes: the spectrometer '" << spectrometer
        << "' has no grid of its own in " << quoted(fs::path(configuration_path)) << ".";
    if (!axis_names_.empty()) {
        const std::optional<std::vector<double>> axis = wavenumbers_of(axis_names_);
        if (!axis) {
            throw std::runtime_error("The model's covariates are not named by wavenumber, so the "
                                     "files cannot be put onto its axis.");
        }
        reader_.grid = *axis;
        VELDRA_LOG(log, Severity::info)
            << "Each file is put onto the model's wavenumbers (" << axis_text(reader_.grid) << ").";
        return;
    }
    find_own_axis();
}

void OpusFolderReader::find_own_axis() {
    struct Axis {
        std::vector<double> wavenumbers;
        std::size_t files = 0;
        std::string first_name;
    };
    std::vector<Axis> axes;
    for (std::size_t i = 0; i + 1 < listing_.size(); ++i) {
        if (naming_.by_pattern() && naming_.sample_of(listing_[i]).empty()) {
            continue;
        }
        const OpusFile file = read_opus_file(reader_, in_folder(folder_, listing_[i]));
        if (!usable(file, true)) {
            continue;
        }
        const std::vector<double>& wavenumbers = file.records.front().axis;
        const auto same = std::find_if(axes.begin(), axes.end(), [&](const Axis& known) {
            return same_axis(known.wavenumbers, wavenumbers);
        });
        if (same == axes.end()) {
            axes.push_back({wavenumbers, 1, listing_[i]});
        } else {
            ++same->files;
            same->first_name = std::min(same->first_name, listing_[i]);
        }
    }
    const auto most = std::min_element(axes.begin(), axes.end(), [](const Axis& a, const Axis& b) {
        return a.files != b.files ? a.files > b.files : a.first_name < b.first_name;
    });
    if (most != axes.end()) {
        reader_.grid = most->wavenumbers;
    }
}

bool OpusFolderReader::own_axis_values(const std::string& path, const OpusRecord& record,
                                       std::vector<double>& values, LoggerSet& log) {
    const std::string name = fs::path(path).filename().string();
    if (record.source != OpusSource::absorbance || !record.source_note.empty()) {
        VELDRA_LOG(log, Severity::info)
            << "  " << name << ": " << opus_source_text(record.source)
            << (record.source_note.empty() ? "" : " (" + record.source_note + ")");
    }
    if (same_axis(record.axis, reader_.grid)) {
        values = record.grid_values;
    } else {
        try {
            if (!resampler_ || !same_axis(resampler_axis_, record.axis)) {
                resampler_.emplace(record.axis, reader_.grid);
                resampler_axis_ = record.axis;
            }
        } catch (const std::runtime_error& e) {
            VELDRA_LOG(log, Severity::warning)
                << "ERROR : " << quoted(fs::path(path)) << ": " << e.what();
            defective_.push_back({path, e.what()});
            return false;
        }
        values = (*resampler_)(record.grid_values.data());
        ++resampled_;
        VELDRA_LOG(log, Severity::info)
            << "  " << name << " resampled from " << axis_text(record.axis) << " onto the "
            << axis_kind() << " (" << axis_text(reader_.grid) << ")";
    }
    const std::string empty = empty_points(values);
    if (!empty.empty() && keep_empty_points_) {
        notes_.push_back(name + ": no value " + empty + ", left empty" +
                         (record.source_note.empty() ? "" : " (" + record.source_note + ")") + ".");
    } else if (!empty.empty()) {
        const std::string reason =
            "the spectrum has no value " + empty + " of the " + axis_kind() +
            (record.source_note.empty() ? std::string() : ": " + record.source_note);
        VELDRA_LOG(log, Severity::warning)
            << "ERROR : " << quoted(fs::path(path)) << ": " << reason;
        defective_.push_back({path, reason});
        return false;
    }
    ++source_counts_[static_cast<std::size_t>(record.source)];
    return true;
}

void OpusFolderReader::keep_groups(std::size_t first, std::size_t last) {
    first_group_ = std::min(first, groups_);
    last_group_ = std::min(std::max(last, first_group_), groups_);
}

std::string OpusFolderReader::axis_kind() const {
    return axis_names_.empty() ? "axis most files share" : "model's wavenumbers";
}

// Where the values on the table's axis have none (NaN): "at 9803.10–9730.20 cm-1", "" when
// every point has one.
std::string OpusFolderReader::empty_points(const std::vector<double>& values) const {
    std::size_t first = values.size();
    std::size_t last = 0;
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (std::isnan(values[k])) {
            first = std::min(first, k);
            last = k;
        }
    }
    if (first == values.size()) {
        return std::string();
    }
    char text[96];
    std::snprintf(text, sizeof text, "at %.2f–%.2f cm-1", reader_.grid[first], reader_.grid[last]);
    return text;
}

std::vector<std::string> OpusFolderReader::names() const {
    if (!axis_names_.empty()) {
        return axis_names_;
    }
    std::vector<std::string> names;
    char text[400];
    for (const double wavenumber : reader_.grid) {
        const auto end =
            std::to_chars(text, text + sizeof text, wavenumber, std::chars_format::fixed, 3);
        names.push_back(prefix_ + std::string(text, end.ptr));
    }
    return names;
}

// One sample from the files of a group (the average of its usable replicates), or none.
void OpusFolderReader::read_group(SpectraTable& table, LoggerSet& log) {
    std::size_t count = 0;
    std::vector<double> sum;
    for (const std::string& member : group_) {
        const std::string path = in_folder(folder_, member);
        if (naming_.by_pattern() && current_.empty()) {
            const std::string reason = "its name gives no sample with --sample-id '" +
                                       naming_.pattern() +
                                       "' (the pattern finds no part of the name, or an empty one)";
            VELDRA_LOG(log, Severity::warning)
                << "ERROR : " << quoted(fs::path(path)) << ": " << reason;
            defective_.push_back({path, reason});
            continue;
        }
        const OpusFile file = read_opus_file(reader_, path);
        for (const std::string& line : file.diagnostics) {
            VELDRA_LOG(log, Severity::warning) << line;
        }
        if (!usable(file, reader_.own_axis)) {
            defective_.push_back({path, unusable_reason(file)});
            continue;
        }
        if (!reader_.own_axis && !own_grid_ && type_ != "NA" && file.machine_type != type_) {
            // Another instrument's spectrum would be resampled onto a grid it was not
            // measured on: reported, not mixed in.
            VELDRA_LOG(log, Severity::warning)
                << "ERROR : " << quoted(fs::path(path)) << " is from another instrument ("
                << file.machine_type << ") than the folder's first file (" << type_ << ")";
            defective_.push_back({path, "from another instrument (" + file.machine_type +
                                            ") than the folder's first file (" + type_ + ")"});
            continue;
        }
        std::vector<double> own_values;
        if (reader_.own_axis && !own_axis_values(path, file.records.front(), own_values, log)) {
            continue;
        }
        const std::vector<double>& values =
            reader_.own_axis ? own_values : file.records.front().grid_values;
        if (prefix_.empty()) {
            prefix_ = file.variable_names[3].substr(0, 1);
        }
        if (count == 0) {
            table.ids.push_back(current_);
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
}

std::size_t OpusFolderReader::read(SpectraTable& table, std::size_t count, LoggerSet& log) {
    table.ids.clear();
    table.rows.clear();
    table.machine_type = type_;
    // Every name is logged as it is met; a group is read when the next one starts, so that the
    // log keeps the order of a folder read at once.
    while (!done_ && table.rows.size() < count) {
        const std::string& name = listing_[position_];
        const bool is_sentinel = position_ + 1 == listing_.size();
        if (!is_sentinel) {
            VELDRA_LOG(log, Severity::info) << "  filename " << name;
        }
        const std::string base = is_sentinel ? std::string() : naming_.sample_of(name);
        if (position_ == 0) {
            group_ = {name};
        } else if (base != current_ || is_sentinel) {
            if (group_index_ >= first_group_ && group_index_ < last_group_) {
                read_group(table, log);
            }
            ++group_index_;
            group_ = {name};
        } else {
            group_.push_back(name);
        }
        current_ = base;
        ++position_;
        if (is_sentinel || group_index_ >= last_group_) {
            finish(log);
        }
    }
    table.names = names();
    table.defective = defective_;
    table.read_notes = notes_;
    return table.rows.size();
}

void OpusFolderReader::finish(LoggerSet& log) {
    done_ = true;
    for (std::size_t k = 0; k < source_counts_.size(); ++k) {
        if (source_counts_[k] > 0) {
            notes_.push_back(std::to_string(source_counts_[k]) +
                             (source_counts_[k] == 1 ? " file: " : " files: ") +
                             opus_source_text(static_cast<OpusSource>(k)) + ".");
        }
    }
    if (resampled_ > 0) {
        notes_.push_back(std::to_string(resampled_) + (resampled_ == 1 ? " file" : " files") +
                         " resampled onto the " + axis_kind() + " (" + axis_text(reader_.grid) +
                         ").");
    }
    for (const std::string& note : notes_) {
        VELDRA_LOG(log, Severity::info) << note;
    }
    if (!defective_.empty()) {
        VELDRA_LOG(log, Severity::info) << defective_.size() << " defective files found:";
        for (const DefectiveFile& file : defective_) {
            VELDRA_LOG(log, Severity::info) << "\t" << file.path;
        }
        for (int k = 0; k < 3; ++k) {
            VELDRA_LOG(log, Severity::info) << "";
        }
    } else {
        VELDRA_LOG(log, Severity::info) << "No defective files detected";
    }
}

} // namespace veldra
