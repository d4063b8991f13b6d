#include "input/stream_number.h"

#include <charconv>
#include <string>

namespace veldra {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// True when a well-formed number text that std::from_chars found out of range is smaller than
// 1 in magnitude, so that the stream would have accepted it as an underflow to zero.
bool is_underflow(const std::string& number) {
    std::size_t i = 0;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) {
        ++i;
    }
    long long integer_digits = 0; // significant digits before the point
    long long leading_fraction_zeros = 0;
    bool seen_nonzero = false;
    bool in_fraction = false;
    for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
        const char c = number[i];
        if (c == '.') {
            in_fraction = true;
        } else if (!seen_nonzero && c == '0') {
            if (in_fraction) {
                ++leading_fraction_zeros;
            }
        } else {
            seen_nonzero = true;
            if (!in_fraction) {
                ++integer_digits;
            }
        }
    }
    long long exponent = 0;
    bool negative_exponent = false;
    if (i < number.size()) {
        ++i;
        if (i < number.size() && (number[i] == '+' || number[i] == '-')) {
            negative_exponent = number[i] == '-';
            ++i;
        }
        for (; i < number.size(); ++i) {
            if (exponent < 1000000000LL) {
                exponent = exponent * 10 + (number[i] - '0');
            }
        }
    }
    const long long magnitude = (integer_digits > 0 ? integer_digits : -leading_fraction_zeros) +
                                (negative_exponent ? -exponent : exponent);
    return magnitude <= 0;
}

} // namespace

bool scan_stream_double(const char*& text, const char* end, double& value) {
    // The common case in one pass: a plain number that std::from_chars reads up to a comma, a
    // space or the end. Over such a text the stream's extent is the same, so the slower scan
    // below would give the same value. Texts starting otherwise ("inf", "nan", '+') and every
    // failure go the long way.
    {
        const char* digits = text != end && *text == '-' ? text + 1 : text;
        if (digits != end && (is_digit(*digits) || *digits == '.')) {
            double parsed = 0.0;
            const auto [stop, error] = std::from_chars(text, end, parsed);
            if (error == std::errc() && (stop == end || *stop == ',' || is_stream_space(*stop))) {
                text = stop;
                value = parsed;
                return true;
            }
        }
    }
    // The extent of what the stream would consume.
    const char* const start = text;
    const char* p = text;
    if (p != end && (*p == '+' || *p == '-')) {
        ++p;
    }
    bool found_mantissa = false;
    bool found_point = false;
    bool found_exponent = false;
    while (p != end) {
        const char c = *p;
        if (is_digit(c)) {
            found_mantissa = true;
        } else if (c == '.' && !found_point && !found_exponent) {
            found_point = true;
        } else if ((c == 'e' || c == 'E') && !found_exponent && found_mantissa) {
            found_exponent = true;
            if (p + 1 != end && (p[1] == '+' || p[1] == '-')) {
                ++p;
            }
        } else {
            break;
        }
        ++p;
    }
    text = p;

    // std::from_chars rejects a leading '+' that the stream accepts.
    const char* first = start;
    if (first != p && *first == '+') {
        ++first;
    }
    double parsed = 0.0;
    const auto [stop, error] = std::from_chars(first, p, parsed, std::chars_format::general);
    if (error == std::errc::result_out_of_range && stop == p &&
        is_underflow(std::string(start, p))) {
        value = *start == '-' ? -0.0 : 0.0;
        return true;
    }
    if (error != std::errc() || stop != p) {
        return false;
    }
    value = parsed;
    return true;
}

} // namespace veldra
