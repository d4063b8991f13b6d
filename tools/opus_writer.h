#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace veldra::tools {

// Writes OPUS files (for tests, examples and benchmarks): a header, a block directory and the
// blocks, laid out in any order, with parameter blocks of typed records closed by END.
struct OpusParameterValue {
    std::string name;
    std::uint16_t type; // 0 int32, 1 float64, 2 text
    std::string value;  // the value bytes
};

inline OpusParameterValue int_parameter(const std::string& name, std::int32_t value) {
    std::string bytes(4, '\0');
    std::memcpy(&bytes[0], &value, 4);
    return {name, 0, bytes};
}
inline OpusParameterValue double_parameter(const std::string& name, double value) {
    std::string bytes(8, '\0');
    std::memcpy(&bytes[0], &value, 8);
    return {name, 1, bytes};
}
inline OpusParameterValue text_parameter(const std::string& name, const std::string& text) {
    std::string bytes = text + '\0';
    bytes.resize((bytes.size() + 1) / 2 * 2, '\0'); // whole 2-byte words
    return {name, 2, bytes};
}

struct OpusBlockSpec {
    std::uint32_t type;
    std::string bytes; // contents, a whole number of 4-byte words
};

inline OpusBlockSpec parameter_block(std::uint32_t type,
                                     const std::vector<OpusParameterValue>& parameters) {
    std::string bytes;
    for (const OpusParameterValue& p : parameters) {
        bytes += p.name.substr(0, 3);
        bytes += '\0';
        const std::uint16_t size = static_cast<std::uint16_t>(p.value.size() / 2);
        bytes.append(reinterpret_cast<const char*>(&p.type), 2);
        bytes.append(reinterpret_cast<const char*>(&size), 2);
        bytes += p.value;
    }
    bytes += std::string("END\0\0\0\0\0", 8);
    bytes.resize((bytes.size() + 3) / 4 * 4, '\0');
    return {type, bytes};
}

inline OpusBlockSpec float_block(std::uint32_t type, const std::vector<float>& values) {
    std::string bytes(values.size() * 4, '\0');
    if (!values.empty()) {
        std::memcpy(&bytes[0], values.data(), bytes.size());
    }
    return {type, bytes};
}

// The file with the blocks laid out in `blocks` order; the directory lists them in
// `directory_order` (indices into blocks; empty: the same order).
inline std::string opus_file(const std::vector<OpusBlockSpec>& blocks,
                             std::vector<std::size_t> directory_order = {}) {
    if (directory_order.empty()) {
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            directory_order.push_back(i);
        }
    }
    const std::int32_t slots = static_cast<std::int32_t>(blocks.size()) + 4;
    const auto put32 = [](std::string& out, std::size_t at, std::uint32_t value) {
        std::memcpy(&out[at], &value, 4);
    };
    std::string file(24 + static_cast<std::size_t>(slots) * 12, '\0');
    const unsigned char magic[4] = {0x0A, 0x0A, 0xFE, 0xFE};
    std::memcpy(&file[0], magic, 4);
    const double version = 920622.0;
    std::memcpy(&file[4], &version, 8);
    put32(file, 12, 24);
    put32(file, 16, static_cast<std::uint32_t>(slots));
    put32(file, 20, static_cast<std::uint32_t>(blocks.size()));
    std::vector<std::size_t> offsets;
    for (const OpusBlockSpec& block : blocks) {
        offsets.push_back(file.size());
        file += block.bytes;
    }
    for (std::size_t j = 0; j < directory_order.size(); ++j) {
        const std::size_t b = directory_order[j];
        put32(file, 24 + 12 * j, blocks[b].type);
        put32(file, 28 + 12 * j, static_cast<std::uint32_t>(blocks[b].bytes.size() / 4));
        put32(file, 32 + 12 * j, static_cast<std::uint32_t>(offsets[b]));
    }
    return file;
}

// The blocks of an ordinary absorbance file: instrument, optics and origin parameters, then
// the absorbance data and its status block.
struct AbsorbanceFileOptions {
    std::string instrument = "Tensor 27";
    std::string source = "MIR";
    std::string beamsplitter = "KBr";
    std::string detector = "HTS-XT DLaTGS [External]";
    std::string sample_name = "soil 12;;test";
    std::vector<float> values = {0.5f, 0.25f, 0.125f, 1.0f, 2.0f};
    double first_x = 4000.0;
    double last_x = 3600.0;
    std::int32_t points = -1; // -1: the number of values
    double scale = 1.0;
    std::int32_t format = 1;
    std::uint32_t data_type = 0x4000100Fu; // absorbance, before compensation
};

inline std::vector<OpusBlockSpec> absorbance_blocks(const AbsorbanceFileOptions& o) {
    const std::int32_t points =
        o.points < 0 ? static_cast<std::int32_t>(o.values.size()) : o.points;
    return {
        parameter_block(0x40000020u,
                        {text_parameter("INS", o.instrument), double_parameter("LWN", 15798.0)}),
        parameter_block(0x40000060u,
                        {text_parameter("BMS", o.beamsplitter), text_parameter("DTC", o.detector),
                         text_parameter("SRC", o.source)}),
        parameter_block(0x400000A0u, {text_parameter("SNM", o.sample_name)}),
        float_block(o.data_type, o.values),
        parameter_block(o.data_type | 0x10u,
                        {int_parameter("DPF", o.format), int_parameter("NPT", points),
                         double_parameter("FXV", o.first_x), double_parameter("LXV", o.last_x),
                         double_parameter("CSF", o.scale), text_parameter("DAT", "16/03/2023")}),
    };
}

} // namespace veldra::tools
