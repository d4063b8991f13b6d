#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace veldra {

// A problem that makes one OPUS file unusable. Its text is the diagnostic line without the
// file name ("ERROR : ..." or "WARNING : ...").
class OpusFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Little-endian numbers at byte offsets of a buffer; every read is checked against its end.
class ByteView {
public:
    ByteView(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t size() const { return size_; }
    const unsigned char* data() const { return data_; }
    bool contains(std::size_t offset, std::size_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    std::uint16_t u16(std::size_t offset) const;
    std::uint32_t u32(std::size_t offset) const;
    std::int32_t i32(std::size_t offset) const { return static_cast<std::int32_t>(u32(offset)); }
    float f32(std::size_t offset) const;
    double f64(std::size_t offset) const;

private:
    void require(std::size_t offset, std::size_t length) const;
    const unsigned char* data_;
    std::size_t size_;
};

// One parameter record of a parameter block: a three-letter name, a type (0 int32, 1 float64,
// 2 to 4 text) and its value bytes.
struct OpusParameter {
    std::string name;
    std::uint16_t type = 0;
    std::size_t value_offset = 0; // in the file
    std::size_t value_bytes = 0;
};

// One entry of the block directory. `type` bytes, low to high: channel and parameter class,
// data kind, derived or report variant, 0x00 or 0x40 (before atmospheric compensation).
struct OpusBlock {
    std::uint32_t type = 0;
    std::size_t offset = 0; // bytes from the start of the file
    std::size_t bytes = 0;  // length; checked to lie inside the file
};

// The block structure of an OPUS file: the header, the directory and the parameter blocks
// parsed record by record up to "END". Nothing is searched for by name in the raw bytes.
class OpusDocument {
public:
    // Raises OpusFormatError when the header or the directory does not fit the file.
    explicit OpusDocument(ByteView bytes);

    const std::vector<OpusBlock>& blocks() const { return blocks_; }

    // The first block of exactly this type, if any.
    std::optional<OpusBlock> find_block(std::uint32_t type) const;

    // The first block whose low byte (class and channel) is `class_byte` and whose data kind and
    // variant bytes are zero: the parameter blocks of instrument (0x20), optics (0x60) and
    // sample origin (0xA0) on the sample side.
    std::optional<OpusBlock> find_parameter_block(std::uint8_t class_byte) const;

    // Records of a parameter block. Raises OpusFormatError when a record runs past the block.
    std::vector<OpusParameter> parameters(const OpusBlock& block) const;

    // Typed values of one record (raise OpusFormatError when the type or the size is wrong).
    std::int32_t int_value(const OpusParameter& parameter) const;
    double double_value(const OpusParameter& parameter) const;
    std::string text_value(const OpusParameter& parameter) const; // up to the first NUL

    ByteView bytes() const { return bytes_; }

private:
    ByteView bytes_;
    std::vector<OpusBlock> blocks_;
};

// The value of the parameter `name` among `parameters`, if present.
const OpusParameter* find_parameter(const std::vector<OpusParameter>& parameters, const char* name);

} // namespace veldra
