#include "text/c_number.h"

#include "text/characters.h"
#include "text/number_core.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace veldra {

namespace {

// Leading whitespace and one sign, as strtol and strtod take them; returns where the number
// begins.
std::size_t skip_space_and_sign(std::string_view text, bool& negative) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) {
        ++i;
    }
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    return i;
}

// Whether the eight bytes at `at` are all decimal digits; if so, their value.
bool read_eight_digits(const char* at, std::uint64_t& value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::uint64_t bytes = 0;
    std::memcpy(&bytes, at, sizeof bytes);
    // Every byte 0x30 to 0x39: its high half is 3, and adding 6 leaves it 3.
    constexpr std::uint64_t high_halves = 0xF0F0F0F0F0F0F0F0;
    constexpr std::uint64_t threes = 0x3030303030303030;
    if ((bytes & high_halves) != threes || ((bytes + 0x0606060606060606) & high_halves) != threes) {
        return false;
    }
    // The first character is the lowest byte: pairs, then fours, then all eight are combined.
    bytes -= threes;
    bytes = bytes * 10 + (bytes >> 8);
    bytes = ((bytes & 0x000000FF000000FF) * (100 + (1000000ULL << 32)) +
             ((bytes >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32))) >>
            32;
    value = bytes & 0xFFFFFFFF;
    return true;
#else
    std::uint64_t digits = 0;
    for (int i = 0; i < 8; ++i) {
        if (!is_digit(at[i])) {
            return false;
        }
        digits = digits * 10 + static_cast<std::uint64_t>(at[i] - '0');
    }
    value = digits;
    return true;
#endif
}

// The short decimal texts model documents hold ("0.01345687546", "-0.005064"), read without
// the general conversion: when the digits fit in 53 bits and the power of ten is at most 22,
// both are exact doubles and one multiplication or division rounds correctly, giving the value
// the general conversion gives. Reads the longest number that begins at `first`, as strtod does,
// and returns false, having read nothing, for any other text.
bool read_short_decimal(const char* first, const char* last, double& value) {
    constexpr int most_digits = 19; // fit in 64 bits
    std::uint64_t digits = 0;
    int count = 0;
    int scale = 0; // the power of ten the digits are multiplied by
    const char* at = first;
    for (; at != last && is_digit(*at); ++at) {
        digits = digits * 10 + static_cast<std::uint64_t>(*at - '0');
        ++count;
    }
    const int whole_digits = count;
    if (at != last && *at == '.') {
        // The fraction's first eight digits at once when there are eight (more than 19 digits
        // in all are refused below, overflowed or not).
        std::uint64_t eight = 0;
        ++at;
        if (last - at >= 8 && read_eight_digits(at, eight)) {
            digits = digits * 100000000 + eight;
            count += 8;
            at += 8;
        }
        for (; at != last && is_digit(*at); ++at) {
            digits = digits * 10 + static_cast<std::uint64_t>(*at - '0');
            ++count;
        }
        scale = whole_digits - count;
    }
    if (count == 0 || count > most_digits) {
        return false;
    }
    if (at != last && (*at == 'e' || *at == 'E')) {
        const char* mark = at + 1;
        bool negative = false;
        if (mark != last && (*mark == '+' || *mark == '-')) {
            negative = *mark == '-';
            ++mark;
        }
        if (mark != last && is_digit(*mark)) {
            int exponent = 0;
            for (; mark != last && is_digit(*mark); ++mark) {
                if (exponent > 999) {
                    return false;
                }
                exponent = exponent * 10 + (*mark - '0');
            }
            scale += negative ? -exponent : exponent;
        }
    }
    return exact_decimal(digits, scale, value);
}

} // namespace

std::int32_t read_c_int(std::string_view text) {
    // The usual text: one to nine digits and nothing else, which cannot overflow.
    if (!text.empty() && text.size() <= 9) {
        std::int32_t value = 0;
        std::size_t i = 0;
        for (; i < text.size() && is_digit(text[i]); ++i) {
            value = value * 10 + (text[i] - '0');
        }
        if (i == text.size()) {
            return value;
        }
    }
    bool negative = false;
    std::size_t i = skip_space_and_sign(text, negative);
    if (i >= text.size() || !is_digit(text[i])) {
        throw std::invalid_argument("invalid stoi argument");
    }
    long long value = 0;
    bool overflow = false;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) {
            overflow = true;
            value = 2147483648LL;
        }
    }
    if (negative) {
        value = -value;
    }
    if (overflow || value > std::numeric_limits<std::int32_t>::max() ||
        value < std::numeric_limits<std::int32_t>::min()) {
        throw std::out_of_range("stoi argument out of range");
    }
    return static_cast<std::int32_t>(value);
}

double read_c_double(std::string_view text) {
    bool negative = false;
    const std::size_t i = skip_space_and_sign(text, negative);
    const char* first = text.data() + i;
    const char* const last = text.data() + text.size();
    // A lone sign in front of another sign is no number ("--1", "+-1").
    if (first != last && (*first == '+' || *first == '-')) {
        throw std::invalid_argument("invalid stod argument");
    }
    bool hex = false;
    if (last - first > 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X') &&
        (is_hex_digit(first[2]) ||
         (first[2] == '.' && last - first > 3 && is_hex_digit(first[3])))) {
        hex = true;
        first += 2;
    }
    double value = 0.0;
    if (!hex && read_short_decimal(first, last, value)) {
        return negative ? -value : value;
    }
    const auto [stop, error] = std::from_chars(
        first, last, value, hex ? std::chars_format::hex : std::chars_format::general);
    if (error == std::errc::invalid_argument) {
        throw std::invalid_argument("invalid stod argument");
    }
    if (error == std::errc::result_out_of_range) {
        if (number_magnitude(std::string_view(first, static_cast<std::size_t>(stop - first)), hex) >
            0) {
            throw std::out_of_range("stod argument out of range");
        }
        value = 0.0;
    }
    return negative ? -value : value;
}

} // namespace veldra
