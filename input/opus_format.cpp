#include "input/opus_format.h"

#include <cstdio>
#include <cstring>

namespace veldra {

namespace {

constexpr std::size_t header_bytes = 24;
constexpr std::size_t directory_entry_bytes = 12;
constexpr std::size_t record_header_bytes = 8;

} // namespace

void ByteView::require(std::size_t offset, std::size_t length) const {
    if (!contains(offset, length)) {
        throw OpusFormatError("ERROR : read outside the file (truncated file?)");
    }
}

std::uint16_t ByteView::u16(std::size_t offset) const {
    require(offset, 2);
    return static_cast<std::uint16_t>(data_[offset] | (data_[offset + 1] << 8));
}

std::uint32_t ByteView::u32(std::size_t offset) const {
    require(offset, 4);
    return static_cast<std::uint32_t>(data_[offset]) |
           (static_cast<std::uint32_t>(data_[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(data_[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(data_[offset + 3]) << 24);
}

float ByteView::f32(std::size_t offset) const {
    const std::uint32_t bits = u32(offset);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

double ByteView::f64(std::size_t offset) const {
    const std::uint64_t bits = static_cast<std::uint64_t>(u32(offset)) |
                               (static_cast<std::uint64_t>(u32(offset + 4)) << 32);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

OpusDocument::OpusDocument(ByteView bytes) : bytes_(bytes) {
    static const unsigned char magic[4] = {0x0A, 0x0A, 0xFE, 0xFE};
    if (bytes.size() < header_bytes || std::memcmp(bytes.data(), magic, 4) != 0) {
        throw OpusFormatError("ERROR : not an OPUS file (no OPUS header)");
    }
    const std::int32_t directory = bytes.i32(12);
    const std::int32_t slots = bytes.i32(16);
    if (directory < static_cast<std::int32_t>(header_bytes) || slots < 0 ||
        !bytes.contains(static_cast<std::size_t>(directory), directory_entry_bytes)) {
        throw OpusFormatError("ERROR : the block directory lies outside the file");
    }
    for (std::size_t j = 0; j < static_cast<std::size_t>(slots); ++j) {
        const std::size_t entry = static_cast<std::size_t>(directory) + j * directory_entry_bytes;
        if (!bytes.contains(entry, directory_entry_bytes)) {
            throw OpusFormatError("ERROR : the block directory lies outside the file");
        }
        const std::int32_t length_words = bytes.i32(entry + 4);
        const std::int32_t offset = bytes.i32(entry + 8);
        if (offset == 0) {
            break;
        }
        OpusBlock block;
        block.type = bytes.u32(entry);
        if (offset < 0 || length_words < 0 ||
            !bytes.contains(static_cast<std::size_t>(offset),
                            static_cast<std::size_t>(length_words) * 4)) {
            // Kept, marked unusable: only a block the reader needs makes the file defective.
            block.offset = bytes.size();
            block.bytes = static_cast<std::size_t>(-1);
        } else {
            block.offset = static_cast<std::size_t>(offset);
            block.bytes = static_cast<std::size_t>(length_words) * 4;
        }
        blocks_.push_back(block);
    }
}

std::optional<OpusBlock> OpusDocument::find_block(std::uint32_t type) const {
    for (const OpusBlock& block : blocks_) {
        if (block.type == type) {
            return block;
        }
    }
    return std::nullopt;
}

std::optional<OpusBlock> OpusDocument::find_parameter_block(std::uint8_t class_byte) const {
    for (const OpusBlock& block : blocks_) {
        if ((block.type & 0x00FFFFFFu) == class_byte) {
            return block;
        }
    }
    return std::nullopt;
}

namespace {

// A parameter name as a message shows it: printable characters as they are, any other byte as
// \xHH (a damaged file's name would otherwise reach the terminal as raw bytes).
std::string shown(const std::string& name) {
    std::string text;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text;
}

} // namespace

std::vector<OpusParameter> OpusDocument::parameters(const OpusBlock& block) const {
    if (!bytes_.contains(block.offset, block.bytes)) {
        throw OpusFormatError("ERROR : a parameter block lies outside the file");
    }
    std::vector<OpusParameter> records;
    const std::size_t end = block.offset + block.bytes;
    std::size_t at = block.offset;
    while (true) {
        if (end - at < 4) {
            throw OpusFormatError("ERROR : a parameter block has no END record");
        }
        const char* name = reinterpret_cast<const char*>(bytes_.data() + at);
        if (std::memcmp(name, "END", 3) == 0) {
            return records;
        }
        if (end - at < record_header_bytes) {
            throw OpusFormatError("ERROR : a parameter record runs past its block");
        }
        OpusParameter parameter;
        parameter.name.assign(name, 3);
        parameter.type = bytes_.u16(at + 4);
        parameter.value_offset = at + record_header_bytes;
        parameter.value_bytes = static_cast<std::size_t>(bytes_.u16(at + 6)) * 2;
        if (parameter.value_bytes > end - parameter.value_offset) {
            throw OpusFormatError("ERROR : parameter " + shown(parameter.name) +
                                  " runs past its block");
        }
        at = parameter.value_offset + parameter.value_bytes;
        records.push_back(std::move(parameter));
    }
}

std::int32_t OpusDocument::int_value(const OpusParameter& parameter) const {
    if (parameter.type != 0 || parameter.value_bytes < 4) {
        throw OpusFormatError("ERROR : parameter " + shown(parameter.name) + " is not an integer");
    }
    return bytes_.i32(parameter.value_offset);
}

double OpusDocument::double_value(const OpusParameter& parameter) const {
    if (parameter.type != 1 || parameter.value_bytes < 8) {
        throw OpusFormatError("ERROR : parameter " + shown(parameter.name) + " is not a number");
    }
    return bytes_.f64(parameter.value_offset);
}

std::string OpusDocument::text_value(const OpusParameter& parameter) const {
    if (parameter.type < 2 || parameter.type > 4) {
        throw OpusFormatError("ERROR : parameter " + shown(parameter.name) + " is not a text");
    }
    const char* first = reinterpret_cast<const char*>(bytes_.data() + parameter.value_offset);
    const void* nul = std::memchr(first, 0, parameter.value_bytes);
    const std::size_t length =
        nul == nullptr ? parameter.value_bytes
                       : static_cast<std::size_t>(static_cast<const char*>(nul) - first);
    return std::string(first, length);
}

const OpusParameter* find_parameter(const std::vector<OpusParameter>& parameters,
                                    const char* name) {
    for (const OpusParameter& parameter : parameters) {
        if (parameter.name == name) {
            return &parameter;
        }
    }
    return nullptr;
}

} // namespace veldra
