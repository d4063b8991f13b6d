#include "input/opus_spectrum.h"

#include "input/resampling.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>

namespace veldra {

namespace {

// Block type bytes, low to high: channel and class, data kind, variant, compensation.
constexpr std::uint8_t ratio_channel = 0x0F;
constexpr std::uint8_t sample_channel = 0x07;
constexpr std::uint8_t reference_channel = 0x0B;
constexpr std::uint8_t single_channel_kind = 0x04;
constexpr std::uint32_t status_class = 0x10u;
constexpr double percent_median = 1.5;

std::uint8_t type_byte(std::uint32_t type, int k) {
    return static_cast<std::uint8_t>((type >> (8 * k)) & 0xFFu);
}

// The data block of this channel and kind, the final one (after atmospheric compensation)
// where there are several; `count` says how many there were.
std::optional<OpusBlock> data_block(const OpusDocument& document, std::uint8_t channel,
                                    std::uint8_t kind, int& count) {
    std::optional<OpusBlock> chosen;
    count = 0;
    for (const OpusBlock& block : document.blocks()) {
        if (type_byte(block.type, 0) != channel || type_byte(block.type, 1) != kind ||
            type_byte(block.type, 2) != 0) {
            continue;
        }
        ++count;
        if (!chosen || (type_byte(chosen->type, 3) != 0 && type_byte(block.type, 3) == 0)) {
            chosen = block;
        }
    }
    return chosen;
}

std::string kind_text(std::uint8_t kind) {
    switch (kind) {
    case 0x04:
        return "single channel";
    case 0x08:
        return "interferogram";
    case 0x0C:
        return "phase";
    case 0x10:
        return "absorbance";
    case 0x14:
        return "transmittance";
    case 0x30:
        return "reflectance";
    case 0x40:
        return "ATR spectrum";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "data of kind 0x%02X", kind);
        return text;
    }
    }
}

// "a reference interferogram and a reference single channel": the data blocks of a file.
std::string holdings(const OpusDocument& document) {
    std::vector<std::string> items;
    for (const OpusBlock& block : document.blocks()) {
        const std::uint8_t channel = type_byte(block.type, 0);
        if (type_byte(block.type, 2) != 0 ||
            (channel != sample_channel && channel != reference_channel &&
             channel != ratio_channel)) {
            continue;
        }
        const std::string side = channel == sample_channel      ? "sample "
                                 : channel == reference_channel ? "reference "
                                                                : "ratioed ";
        const std::string item = "a " + side + kind_text(type_byte(block.type, 1));
        if (std::find(items.begin(), items.end(), item) == items.end()) {
            items.push_back(item);
        }
    }
    if (items.empty()) {
        return "no spectral data at all";
    }
    std::string text = items.front();
    for (std::size_t k = 1; k < items.size(); ++k) {
        text += (k + 1 == items.size() ? " and " : ", ") + items[k];
    }
    return text;
}

std::vector<double> axis_of(const OpusSpectrumBlock& block, const std::string& what) {
    const double first = block.first_x;
    const double last = block.last_x;
    if (block.points < 2 || block.points > largest_opus_point_count || !std::isfinite(first) ||
        !std::isfinite(last) || first == last) {
        char text[160];
        std::snprintf(text, sizeof text, "(FXV=%g, LXV=%g, NPT=%d)", first, last,
                      static_cast<int>(block.points));
        throw OpusFormatError("ERROR : the " + what + " spectrum's axis " + text +
                              " gives no wavenumbers");
    }
    const double step = (last - first) / static_cast<double>(block.points - 1);
    std::vector<double> axis(static_cast<std::size_t>(block.points));
    for (std::size_t i = 0; i < axis.size(); ++i) {
        axis[i] = first + static_cast<double>(i) * step;
    }
    return axis;
}

// Reflectance and transmittance in percent become fractions; says so in the note.
void fraction_of_light(std::vector<double>& values, const std::string& what, std::string& note) {
    std::vector<double> sorted = values;
    std::nth_element(sorted.begin(),
                     sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const double median = sorted[sorted.size() / 2];
    if (median > percent_median) {
        for (double& value : values) {
            value /= 100.0;
        }
        char text[160];
        std::snprintf(text, sizeof text, "%s in percent (median %.4g), divided by 100",
                      what.c_str(), median);
        note = text;
    }
}

// -log10 of each value. A value that is not above 0 (noise at an edge of the detector's range)
// has no logarithm: that point becomes NaN and the note says where.
void minus_log10(std::vector<double>& values, const std::vector<double>& axis,
                 const std::string& what, std::string& note) {
    std::size_t undefined = 0;
    double high = 0;
    double low = 0;
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (!(values[k] > 0.0) || !std::isfinite(values[k])) {
            high = undefined == 0 ? axis[k] : std::max(high, axis[k]);
            low = undefined == 0 ? axis[k] : std::min(low, axis[k]);
            ++undefined;
            values[k] = std::nan("");
            continue;
        }
        values[k] = -std::log10(values[k]);
    }
    if (undefined > 0) {
        char text[200];
        std::snprintf(text, sizeof text,
                      " points of the %s are not above 0 and have no logarithm, between %.2f and "
                      "%.2f cm-1",
                      what.c_str(), high, low);
        note += (note.empty() ? "" : "; ") + std::to_string(undefined) + text;
    }
}

// -log10(sample / reference), the reference put on the sample's axis where they differ.
void ratio_of_channels(const OpusDocument& document, const OpusBlock& sample,
                       const OpusBlock& reference, OpusRecord& record) {
    const OpusSpectrumBlock s = spectrum_block(document, sample, "sample single channel");
    const OpusSpectrumBlock b = spectrum_block(document, reference, "reference single channel");
    record.axis = axis_of(s, "sample single channel");
    std::vector<double> values = spectrum_values(document, s, "sample single channel");
    const std::vector<double> reference_axis = axis_of(b, "reference single channel");
    std::vector<double> background = spectrum_values(document, b, "reference single channel");
    if (!same_axis(reference_axis, record.axis)) {
        try {
            background = SpectrumResampler(reference_axis, record.axis)(background.data());
        } catch (const std::runtime_error& e) {
            throw OpusFormatError(std::string("ERROR : the reference single channel does not "
                                              "cover the sample's: ") +
                                  e.what());
        }
        record.source_note = "the reference single channel resampled onto the sample's axis";
    }
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k] = background[k] != 0.0 ? values[k] / background[k] : std::nan("");
    }
    minus_log10(values, record.axis, "ratio of the single channels", record.source_note);
    record.grid_values = std::move(values);
}

} // namespace

const char* opus_source_text(OpusSource source) {
    switch (source) {
    case OpusSource::absorbance:
        return "absorbance";
    case OpusSource::reflectance:
        return "reflectance as log10(1/R)";
    case OpusSource::transmittance:
        return "transmittance as -log10(T)";
    case OpusSource::atr:
        return "ATR as stored";
    case OpusSource::single_channels:
        return "single channels as -log10(sample/reference)";
    }
    return "";
}

OpusSpectrumBlock spectrum_block(const OpusDocument& document, const OpusBlock& data,
                                 const std::string& what) {
    const std::optional<OpusBlock> status = document.find_block(data.type | status_class);
    if (!status) {
        throw OpusFormatError("ERROR : the " + what + " spectrum has no status parameters");
    }
    const std::vector<OpusParameter> parameters = document.parameters(*status);
    const auto required = [&](const char* name) -> const OpusParameter& {
        const OpusParameter* parameter = find_parameter(parameters, name);
        if (parameter == nullptr) {
            throw OpusFormatError(std::string("ERROR : parameter ") + name + " not found");
        }
        return *parameter;
    };
    OpusSpectrumBlock spectrum;
    spectrum.data = data;
    const std::int32_t format = document.int_value(required("DPF"));
    if (format != 1) {
        throw OpusFormatError("ERROR : data format DPF=" + std::to_string(format) +
                              " is not supported (only 1, float32)");
    }
    spectrum.points = document.int_value(required("NPT"));
    spectrum.first_x = document.double_value(required("FXV"));
    spectrum.last_x = document.double_value(required("LXV"));
    spectrum.scale = document.double_value(required("CSF"));
    if (const OpusParameter* date = find_parameter(parameters, "DAT")) {
        spectrum.date = document.text_value(*date);
    }
    if (!document.bytes().contains(data.offset, data.bytes)) {
        throw OpusFormatError("ERROR : the " + what + " data block lies outside the file");
    }
    return spectrum;
}

std::vector<double> spectrum_values(const OpusDocument& document, const OpusSpectrumBlock& block,
                                    const std::string& what) {
    if (block.points < 0 || static_cast<std::size_t>(block.points) * 4 > block.data.bytes) {
        throw OpusFormatError("ERROR : the " + what + " data block is shorter than NPT=" +
                              std::to_string(block.points) + " values");
    }
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(block.points));
    for (std::int32_t k = 0; k < block.points; ++k) {
        const float value =
            document.bytes().f32(block.data.offset + 4 * static_cast<std::size_t>(k));
        values.push_back(static_cast<double>(value) * block.scale);
    }
    return values;
}

std::string sample_name_of(const OpusDocument& document) {
    std::string sample_name;
    if (const std::optional<OpusBlock> origin = document.find_parameter_block(0xA0)) {
        const std::vector<OpusParameter> parameters = document.parameters(*origin);
        if (const OpusParameter* snm = find_parameter(parameters, "SNM")) {
            sample_name = document.text_value(*snm);
            sample_name = sample_name.substr(0, sample_name.find(';'));
        }
    }
    return sample_name;
}

OpusRecord own_axis_record(const OpusDocument& document) {
    struct Kind {
        std::uint8_t byte;
        OpusSource source;
    };
    static const Kind ratioed[] = {{0x10, OpusSource::absorbance},
                                   {0x30, OpusSource::reflectance},
                                   {0x14, OpusSource::transmittance},
                                   {0x40, OpusSource::atr}};
    OpusRecord record;
    std::string date;
    for (const Kind& kind : ratioed) {
        int count = 0;
        const std::optional<OpusBlock> block =
            data_block(document, ratio_channel, kind.byte, count);
        if (!block) {
            continue;
        }
        const std::string what = kind_text(kind.byte);
        const OpusSpectrumBlock spectrum = spectrum_block(document, *block, what);
        record.source = kind.source;
        record.axis = axis_of(spectrum, what);
        record.grid_values = spectrum_values(document, spectrum, what);
        date = spectrum.date;
        if (count > 1) {
            record.source_note = std::to_string(count) + " " + what +
                                 " blocks: the final one (after atmospheric compensation) is "
                                 "taken";
        }
        if (kind.source == OpusSource::reflectance || kind.source == OpusSource::transmittance) {
            fraction_of_light(record.grid_values, what, record.source_note);
            minus_log10(record.grid_values, record.axis, what, record.source_note);
        }
        break;
    }
    if (record.axis.empty()) {
        int count = 0;
        const std::optional<OpusBlock> sample =
            data_block(document, sample_channel, single_channel_kind, count);
        const std::optional<OpusBlock> reference =
            data_block(document, reference_channel, single_channel_kind, count);
        if (!sample || !reference) {
            throw OpusFormatError("ERROR : no sample spectrum to read: the file holds " +
                                  holdings(document) +
                                  (sample ? " (a sample single channel needs its reference)" : ""));
        }
        record.source = OpusSource::single_channels;
        ratio_of_channels(document, *sample, *reference, record);
        date = spectrum_block(document, *sample, "sample single channel").date;
    }
    if (record.axis.front() < record.axis.back()) {
        std::reverse(record.axis.begin(), record.axis.end());
        std::reverse(record.grid_values.begin(), record.grid_values.end());
    }
    record.texts = {std::string(), std::string(), date};
    return record;
}

} // namespace veldra
