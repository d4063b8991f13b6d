#pragma once

#include "input/opus_reader.h"
#include "input/resampling.h"
#include "input/spectra_table.h"
#include "logging/logger_set.h"

#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace veldra {

// How the files of a folder are named to samples. By default a file's sample is its base name
// ("soil1.0" and "soil1.1" are replicates of "soil1"). With a pattern, it is the first group of
// that regular expression (ECMAScript syntax) found in the base name (the whole name when it has
// no numeric extension): with "^([^_]+)_", "K0417_S_001_030.0" and "K0417_S_001_031.0" are
// replicates of "K0417".
class SampleNaming {
public:
    SampleNaming() = default;
    // Raises a message naming the option for a pattern that is not a regular expression or has
    // no group.
    explicit SampleNaming(const std::string& pattern);

    bool by_pattern() const { return !pattern_.empty(); }
    const std::string& pattern() const { return pattern_; }
    // The sample of a file name; "" when it names none (no numeric extension by default, no
    // match or an empty group with a pattern).
    std::string sample_of(const std::string& file_name) const;

private:
    std::string pattern_;
    std::shared_ptr<const std::regex> regex_;
};

// How a folder of OPUS files is read: how its files name samples, and on which axis.
struct OpusFolderOptions {
    OpusFolderOptions(SampleNaming by = SampleNaming(), std::string on = {})
        : naming(std::move(by)), spectrometer(std::move(on)) {}

    SampleNaming naming;
    // "": every file onto the grid of the first file's machine type in "opus.conf". A lab's own
    // spectrometer name: onto the grid of that name's section of "opus.conf" when it has one
    // (whatever the files' types); else every file on its own axis, each resampled on its own
    // onto the table's axis (SpectrumResampler) where it has another, and a file without an
    // absorbance block giving the spectrum it holds (OpusSource).
    std::string spectrometer;
    // On own axes, the table's columns: a model's covariate names (their wavenumbers the axis),
    // so that every file goes straight onto the model's wavenumbers; empty: the axis most of the
    // folder's files share (of equals, that of the file named first), never the first file's by
    // chance.
    std::vector<std::string> axis_names;
    // On own axes, whether points without a value (a reflectance not above 0) stay empty in the
    // table, as a conversion keeps them; otherwise a file with such a point on the table's axis
    // is refused, as a model or a calibration needs every point.
    bool keep_empty_points = false;
};

// Why a folder gave no spectrum: "No file of '<folder>' gave a spectrum: " and the reasons of its
// files, each with how many it kept out.
std::string no_spectrum_message(const std::string& folder,
                                const std::vector<DefectiveFile>& defective);

// Turns a folder of OPUS files into a table: one row per sample (by default, per base name), the
// average of its replicates after each was resampled onto the grid of the first file's machine type
// from "opus.conf". Unusable files are skipped and listed. Every log record is at level 1. A folder
// where no file gives a spectrum is refused (`no_spectrum_message`).
SpectraTable& import_opus_folder(SpectraTable& table, const std::string& configuration_path,
                                 const std::string& folder, LoggerSet& log);

// The same, also naming the table's columns as OPUS variables are named: the name prefix of the
// first usable file followed by each grid wavenumber with three decimals.
SpectraTable& import_opus_folder(SpectraTable& table, const std::string& configuration_path,
                                 const std::string& folder, LoggerSet& log,
                                 std::vector<std::string>* column_names,
                                 const OpusFolderOptions& options = OpusFolderOptions());

// A folder of OPUS files read a few samples at a time, as `import_opus_folder` reads it whole:
// the same samples, log records (each file's name as it is met, the defective files once the
// folder is read) and messages. A sample is a group of replicates sharing a base name.
class OpusFolderReader {
public:
    // Reads the configuration, lists the folder and finds the grid of its first file's type.
    OpusFolderReader(const std::string& configuration_path, const std::string& folder,
                     LoggerSet& log, const OpusFolderOptions& options = OpusFolderOptions());

    // The groups of replicates in the folder: each gives one sample unless all its files are
    // defective.
    std::size_t groups() const { return groups_; }
    // Values per sample: the points of the grid.
    std::size_t width() const { return reader_.grid.size(); }
    // Reads only groups [first, last) (their names are still logged); the folder counts as read
    // after the last.
    void keep_groups(std::size_t first, std::size_t last);

    // Replaces the table's samples with the next at most `count` ones and returns how many;
    // sets the machine type, the column names (once a usable file gave their prefix) and the
    // defective files so far.
    std::size_t read(SpectraTable& table, std::size_t count, LoggerSet& log);
    // Whether every group has been read.
    bool done() const { return done_; }

private:
    void read_group(SpectraTable& table, LoggerSet& log);
    void choose_grid(const std::string& configuration_path, const std::string& spectrometer,
                     LoggerSet& log);
    // The axis most usable files share (of equals, the first file name's): every file read.
    void find_own_axis();
    // The file's values on the table's grid; false (the file listed as defective) when they
    // cannot be put there.
    bool own_axis_values(const std::string& path, const OpusRecord& record,
                         std::vector<double>& values, LoggerSet& log);
    void finish(LoggerSet& log);
    std::vector<std::string> names() const;
    // "axis most files share" or "model's wavenumbers": what the files go onto, for messages.
    std::string axis_kind() const;
    std::string empty_points(const std::vector<double>& values) const;

    SampleNaming naming_;
    std::vector<std::string> listing_; // with the closing sentinel; a sample's files together
    std::string folder_;
    std::string type_;
    OpusReader reader_;
    std::size_t groups_ = 0;
    std::size_t first_group_ = 0;
    std::size_t last_group_ = 0;
    std::size_t position_ = 0;    // the next name of the listing
    std::size_t group_index_ = 0; // the group being gathered
    std::vector<std::string> group_;
    std::string current_;
    std::string prefix_;
    std::vector<DefectiveFile> defective_;
    bool done_ = false;
    bool own_grid_ = false; // a lab's spectrometer with its own section: no machine type check
    // On own axes: the files per source, and those resampled onto the table's axis.
    std::vector<std::size_t> source_counts_;
    std::vector<std::string> axis_names_; // the table's columns when a model's names give them
    bool keep_empty_points_ = false;
    std::size_t resampled_ = 0;
    std::optional<SpectrumResampler> resampler_; // the last source axis met, and its resampler
    std::vector<double> resampler_axis_;
    std::vector<std::string> notes_;
};

// The names of the OPUS files of a folder (or the one file a path names, or the files matching
// a '*' pattern in the last path element), byte-wise ascending, followed by a sentinel name
// that closes the last replicate group and is never read.
std::vector<std::string> scan_opus_folder(const std::string& path, LoggerSet& log);

// The wavenumber grid of a machine type from "opus.conf" (an INI file): num_wn points from
// start_wn down to end_wn by repeated subtraction, so the first point is start_wn exactly.
// num_wn must lie between 2 and the largest point count an OPUS file may have. Without a
// section for "NA", the message names the instrument texts of `first_file`.
std::vector<double> read_opus_grid(const std::string& configuration_path, const std::string& type,
                                   const std::string& first_file);

// What stands before the last '.' of a name that ends in '.' and digits; "" otherwise.
std::string opus_base_name(const std::string& file_name);

} // namespace veldra
