#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veldra {

// The most points an OPUS spectrum (and a wavenumber grid) may have: far above any instrument's
// resolution, low enough that a hostile count cannot make a huge allocation.
constexpr std::int32_t largest_opus_point_count = 100001;

// One reader serves a whole folder import: it holds the bytes of the file last loaded and the
// wavenumber grid (descending) that every spectrum is resampled onto. One thread at a time.
struct OpusReader {
    std::uint32_t size = 0; // bytes loaded; 0 when nothing is loaded
    std::vector<unsigned char> bytes;
    std::int32_t column_count = 0; // variable names of the last file read (NPT + 3)
    std::vector<double> grid;
    // Each file on its own axis instead of the grid, and a file without an absorbance block
    // gives the spectrum it holds (see OpusSource). The grid is not used.
    bool own_axis = false;
};

// What a spectrum read on its own axis was made from, in the order they are looked for: the
// absorbance block; else reflectance R as log10(1/R); else transmittance T as -log10(T); else
// an ATR spectrum as stored; else the sample's and the reference's single channels S and B as
// -log10(S/B). A reflectance or transmittance whose median exceeds 1.5 is taken to be in
// percent and divided by 100 first (a fraction of the light lies between 0 and 1; soils reflect
// between about 2% and 80%).
enum class OpusSource { absorbance, reflectance, transmittance, atr, single_channels };

// "absorbance", "reflectance as log10(1/R)", "transmittance as -log10(T)", "ATR as stored",
// "single channels as -log10(sample/reference)".
const char* opus_source_text(OpusSource source);

struct OpusRecord {
    std::vector<std::string> texts;  // machine type, sample name, acquisition date
    std::vector<double> raw_values;  // the absorbance values in file order, scaled by CSF
    std::vector<double> grid_values; // resampled onto the reader's grid, in grid order
    // On its own axis: the wavenumbers of grid_values, falling (an axis stored rising is turned
    // round), what the spectrum was made from, and anything a user should know about the choice
    // ("" when nothing).
    std::vector<double> axis;
    OpusSource source = OpusSource::absorbance;
    std::string source_note;
};

struct OpusFile {
    // "SAMPLEID", "MID", "DateTime", then prefix + wavenumber (3 decimals) per point; empty
    // when the file could not be understood.
    std::vector<std::string> variable_names;
    std::vector<OpusRecord> records; // one when the spectrum was read and resampled
    std::string machine_type;        // from the instrument texts, as detect_machine_type gives it
    // What went wrong or was missing, one line each ("ERROR : ...", "WARNING : ..."), for the
    // caller to report.
    std::vector<std::string> diagnostics;
};

// The instrument, beamsplitter, detector and source texts of a file (sample side).
struct OpusInstrument {
    std::string instrument;
    std::string beamsplitter;
    std::string detector;
    std::string source;
};

// Reads one OPUS file: its absorbance spectrum (the ratio block of kind absorbance, the final
// one after atmospheric compensation where two exist) with the axis of its status block,
// resampled onto reader.grid with a natural cubic spline. A problem of the file is described in
// the result's diagnostics and leaves it without names or record; nothing is read outside the
// loaded bytes and nothing is thrown for a bad file.
// With reader.own_axis, the record holds the file's spectrum on its own axis instead (grid_values
// and axis, no variable names) and says what it was made from.
OpusFile read_opus_file(OpusReader& reader, const std::string& path);

// "htsxt", "alpha_kbr", "alpha_znse", "mpa" or "NA", from the instrument, beamsplitter and
// detector texts of the file. Reads the file itself.
std::string detect_machine_type(const std::string& path);

// The sample-side instrument texts of a file; false when the file cannot be read or has none.
bool read_opus_instrument(const std::string& path, OpusInstrument& instrument);

// The machine type that the instrument texts name (the rule of detect_machine_type).
std::string machine_type_of(const OpusInstrument& instrument);

} // namespace veldra
