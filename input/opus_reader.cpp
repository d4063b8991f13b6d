#include "input/opus_reader.h"

#include "input/gsl_errors.h"

#include "input/opus_format.h"
#include "input/opus_spectrum.h"
#include "text/platform.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>

#include <boost/filesystem/path.hpp>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_spline.h>

namespace veldra {

namespace {

// Block types, low byte first: 0x0F ratio data, 0x10 absorbance; 0x1F its status block.
constexpr std::uint32_t absorbance_kind = 0x0000100Fu;
constexpr std::uint32_t final_variant_mask = 0xFF000000u;
constexpr std::uint8_t instrument_block = 0x20;
constexpr std::uint8_t optics_block = 0x60;
// Spectra files are well below a megabyte; anything far larger is not one and is not loaded.
constexpr std::streamoff largest_file_bytes = 256LL << 20;

std::string quoted(const std::string& path) {
    std::ostringstream out;
    out << boost::filesystem::path(path);
    return out.str();
}

// Loads a whole file; adds the loading diagnostics and returns false when it cannot.
bool load_file(const std::string& path, std::vector<unsigned char>& bytes,
               std::vector<std::string>& diagnostics) {
    bytes.clear();
    std::ifstream in(native_path(path), std::ios::binary);
    if (!in) {
        diagnostics.push_back("ERROR : file " + quoted(path) + " cannot be opened");
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff length = in.tellg();
    in.seekg(0, std::ios::beg);
    if (length > largest_file_bytes) {
        diagnostics.push_back("ERROR : file " + quoted(path) +
                              " is too large for an OPUS spectrum");
        return false;
    }
    bytes.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (length < 0 || in.gcount() != static_cast<std::streamsize>(bytes.size())) {
        diagnostics.push_back("ERROR : file " + quoted(path) + " cannot be opened");
        bytes.clear();
        return false;
    }
    if (bytes.empty()) {
        diagnostics.push_back("ERROR : file " + quoted(path) + " has size 0!");
        return false;
    }
    return true;
}

std::string required_text(const OpusDocument& document, const std::vector<OpusParameter>& block,
                          const char* name) {
    const OpusParameter* parameter = find_parameter(block, name);
    if (parameter == nullptr) {
        throw OpusFormatError(std::string("ERROR : parameter ") + name + " not found");
    }
    return document.text_value(*parameter);
}

std::vector<OpusParameter> parameter_block(const OpusDocument& document, std::uint8_t kind,
                                           const char* what) {
    const std::optional<OpusBlock> block = document.find_parameter_block(kind);
    if (!block) {
        throw OpusFormatError(std::string("ERROR : no ") + what + " parameter block");
    }
    return document.parameters(*block);
}

OpusInstrument instrument_of(const OpusDocument& document) {
    const std::vector<OpusParameter> instrument =
        parameter_block(document, instrument_block, "instrument");
    const std::vector<OpusParameter> optics = parameter_block(document, optics_block, "optics");
    OpusInstrument texts;
    texts.instrument = required_text(document, instrument, "INS");
    texts.source = required_text(document, optics, "SRC");
    texts.beamsplitter = required_text(document, optics, "BMS");
    texts.detector = required_text(document, optics, "DTC");
    return texts;
}

// Column-name prefix from the first three characters of the instrument and source texts.
std::string name_prefix(const OpusInstrument& texts) {
    const std::string key = texts.instrument.substr(0, 3) + "-" + texts.source.substr(0, 3);
    if (key == "Ten-MIR" || key == "Ten-Off") {
        return "m";
    }
    if (key == "Alp-MIR") {
        return "a";
    }
    if (key == "MPA-NIR") {
        return "n";
    }
    return "X";
}

// The machine type a spectrum record carries: independent tests in this order.
std::string record_machine_type(const OpusInstrument& texts) {
    std::string type;
    if (texts.detector.find("HTS") != std::string::npos) {
        type = "htsxt";
    }
    if (texts.instrument.find("Alp") != std::string::npos) {
        if (texts.beamsplitter.find("KBr") != std::string::npos) {
            type = "alpha_kbr";
        }
        if (texts.beamsplitter.find("ZnSe") != std::string::npos) {
            type = "alpha_znse";
        }
    } else if (texts.instrument.find("MPA") != std::string::npos) {
        type = "mpa";
    }
    return type;
}

OpusSpectrumBlock find_spectrum(const OpusDocument& document) {
    std::optional<OpusBlock> chosen;
    for (const OpusBlock& block : document.blocks()) {
        if ((block.type & ~final_variant_mask) != absorbance_kind) {
            continue;
        }
        // Where the spectrum exists before and after atmospheric compensation, the
        // compensated one (top byte 0x00) is the file's spectrum.
        if (!chosen ||
            ((chosen->type & final_variant_mask) != 0 && (block.type & final_variant_mask) == 0)) {
            chosen = block;
        }
    }
    if (!chosen) {
        throw OpusFormatError("ERROR : no absorbance spectrum in the file");
    }
    return spectrum_block(document, *chosen, "absorbance");
}

// Names of the spectral points: the axis from first to last by repeated subtraction.
std::vector<std::string> point_names(const OpusSpectrumBlock& spectrum, const std::string& prefix) {
    const double c = static_cast<double>(spectrum.points) - 1.0;
    const double step = (spectrum.first_x - spectrum.last_x) / c;
    double v = spectrum.first_x + step;
    if (c < 0 || step < 0 || v < 0 || c > largest_opus_point_count - 1 || !std::isfinite(step) ||
        !std::isfinite(v)) {
        throw OpusFormatError(
            "ERROR : Something went wrong with the conversion. No column names extracted");
    }
    std::vector<std::string> names = {"SAMPLEID", "MID", "DateTime"};
    names.reserve(static_cast<std::size_t>(spectrum.points) + 3);
    char text[400];
    const std::size_t prefix_length = std::min(prefix.size(), std::size_t{8});
    std::memcpy(text, prefix.data(), prefix_length);
    for (std::int32_t i = 0; i < spectrum.points; ++i) {
        v -= step;
        // Fixed notation with three decimals, correctly rounded like printf's "%.3f".
        const auto end =
            std::to_chars(text + prefix_length, text + sizeof text, v, std::chars_format::fixed, 3)
                .ptr;
        names.emplace_back(text, end);
    }
    return names;
}

// The wavenumber in a point name (after its one-character prefix), locale-independent.
double name_wavenumber(const std::string& name) {
    double value = 0;
    std::from_chars(name.data() + 1, name.data() + name.size(), value);
    return value;
}

std::string number_text(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// Natural cubic spline through (wavenumber, value), evaluated on the grid. The first grid point
// may lie above the file's range and the last below it; they take the edge values.
std::vector<double> resample(const std::vector<std::string>& names,
                             const std::vector<double>& values, const std::vector<double>& grid) {
    std::vector<std::pair<double, double>> points;
    points.reserve(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        points.emplace_back(name_wavenumber(names[3 + k]), values[k]);
    }
    std::sort(points.begin(), points.end());
    bool rising = points.size() >= 3;
    for (std::size_t k = 1; rising && k < points.size(); ++k) {
        rising = points[k - 1].first < points[k].first;
    }
    if (!rising) {
        throw OpusFormatError("ERROR : the spectrum needs at least three strictly rising "
                              "wavenumbers for the spline");
    }
    std::vector<double> x(points.size());
    std::vector<double> y(points.size());
    for (std::size_t k = 0; k < points.size(); ++k) {
        x[k] = points[k].first;
        y[k] = points[k].second;
    }
    const GslErrorsReturned returned;
    const std::unique_ptr<gsl_interp_accel, void (*)(gsl_interp_accel*)> accelerator(
        gsl_interp_accel_alloc(), gsl_interp_accel_free);
    const std::unique_ptr<gsl_spline, void (*)(gsl_spline*)> spline(
        gsl_spline_alloc(gsl_interp_cspline, x.size()), gsl_spline_free);
    if (!accelerator || !spline || gsl_spline_init(spline.get(), x.data(), y.data(), x.size())) {
        throw OpusFormatError("ERROR : the spline through the spectrum could not be built");
    }
    const double xmin = x.front();
    const double xmax = x.back();
    const std::size_t m = grid.size();
    std::vector<double> out(m);
    for (std::size_t i = 0; i < m; ++i) {
        double g = grid[i];
        if (g < xmin && i == m - 1) {
            g = xmin;
        } else if (g > xmax && i == 0) {
            g = xmax;
        } else if (g < xmin || g > xmax || std::isnan(g)) {
            throw OpusFormatError("ERROR for k=" + std::to_string(i) + ",n=" + std::to_string(m) +
                                  ": interpolated wavelength of " + number_text(grid[i]) +
                                  " lies outside range [" + number_text(xmin) + "," +
                                  number_text(xmax) + "].");
        }
        if (gsl_spline_eval_e(spline.get(), g, accelerator.get(), &out[i]) != GSL_SUCCESS) {
            throw OpusFormatError("ERROR : the spline could not be evaluated at " +
                                  number_text(grid[i]));
        }
    }
    return out;
}

// The file's spectrum on its own axis, with the texts a record carries.
void read_on_own_axis(const OpusDocument& document, OpusFile& file) {
    OpusInstrument instrument;
    try {
        instrument = instrument_of(document);
    } catch (const OpusFormatError&) {
        // The instrument's texts only name the file's type, which its own axis does not need.
    }
    file.machine_type = machine_type_of(instrument);
    OpusRecord record = own_axis_record(document);
    const std::string sample_name = sample_name_of(document);
    if (sample_name.empty()) {
        file.diagnostics.push_back("WARNING : Product name not found inside OPUS file...");
    }
    record.texts = {record_machine_type(instrument), sample_name, record.texts[2]};
    file.records.push_back(std::move(record));
}

} // namespace

std::string machine_type_of(const OpusInstrument& texts) {
    if (texts.detector.find("HTS-XT") != std::string::npos ||
        texts.detector.find("HTS XT") != std::string::npos) {
        return "htsxt";
    }
    if (texts.instrument.find("Alpha") != std::string::npos) {
        if (texts.beamsplitter.find("KBr") != std::string::npos) {
            return "alpha_kbr";
        }
        if (texts.beamsplitter.find("ZnSe") != std::string::npos) {
            return "alpha_znse";
        }
        return "NA";
    }
    if (texts.instrument.find("MPA") != std::string::npos) {
        return "mpa";
    }
    return "NA";
}

bool read_opus_instrument(const std::string& path, OpusInstrument& instrument) {
    std::vector<unsigned char> bytes;
    std::vector<std::string> diagnostics; // the read of the file itself reports them
    if (!load_file(path, bytes, diagnostics)) {
        return false;
    }
    try {
        instrument = instrument_of(OpusDocument(ByteView(bytes.data(), bytes.size())));
        return true;
    } catch (const OpusFormatError&) {
        return false;
    }
}

std::string detect_machine_type(const std::string& path) {
    OpusInstrument instrument;
    return read_opus_instrument(path, instrument) ? machine_type_of(instrument) : "NA";
}

OpusFile read_opus_file(OpusReader& reader, const std::string& path) {
    OpusFile file;
    load_file(path, reader.bytes, file.diagnostics);
    reader.size = static_cast<std::uint32_t>(reader.bytes.size());
    if (reader.size == 0) {
        file.diagnostics.push_back("WARNING : empty buffer. skipping...");
        file.diagnostics.push_back("ERROR : No col names in file " + quoted(path));
        return file;
    }

    const ByteView bytes(reader.bytes.data(), reader.bytes.size());
    std::vector<std::string> names;
    try {
        const OpusDocument document(bytes);
        if (reader.own_axis) {
            read_on_own_axis(document, file);
            return file;
        }
        const OpusInstrument instrument = instrument_of(document);
        file.machine_type = machine_type_of(instrument);
        const OpusSpectrumBlock spectrum = find_spectrum(document);
        names = point_names(spectrum, name_prefix(instrument));
        reader.column_count = spectrum.points + 3;

        try {
            OpusRecord record;
            record.raw_values = spectrum_values(document, spectrum, "absorbance");
            const std::string sample_name = sample_name_of(document);
            if (sample_name.empty()) {
                file.diagnostics.push_back("WARNING : Product name not found inside OPUS file...");
            }
            record.texts = {record_machine_type(instrument), sample_name, spectrum.date};
            record.grid_values = resample(names, record.raw_values, reader.grid);
            file.variable_names = std::move(names);
            file.records.push_back(std::move(record));
        } catch (const OpusFormatError& e) {
            file.diagnostics.push_back(e.what() + std::string(" From file ") + quoted(path));
            file.variable_names = std::move(names);
        }
    } catch (const OpusFormatError& e) {
        file.diagnostics.push_back(e.what() + std::string(" From file ") + quoted(path));
    }
    return file;
}

} // namespace veldra
