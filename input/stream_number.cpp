#include "input/stream_number.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
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

// A plain decimal text, [-]digits[.digits] without an exponent, read without the general
// conversion: when its digits fit in 53 bits (at most 19 of them), the digits and the power of
// ten are exact doubles and one division rounds correctly, giving the value std::from_chars
// gives. Returns false, having read nothing, for any other text.
bool read_plain_decimal(const char* first, const char* last, const char*& stop, double& value) {
    const char* at = first;
    const bool negative = at != last && *at == '-';
    if (negative) {
        ++at;
    }
    std::uint64_t digits = 0;
    int count = 0;
    for (; at != last && is_digit(*at); ++at) {
        digits = digits * 10 + static_cast<std::uint64_t>(*at - '0');
        ++count;
    }
    std::ptrdiff_t decimals = 0;
    if (at != last && *at == '.') {
        const char* const fraction = ++at;
        for (; at != last && is_digit(*at); ++at) {
            digits = digits * 10 + static_cast<std::uint64_t>(*at - '0');
            ++count;
        }
        decimals = at - fraction;
    }
    constexpr int most_digits = 19; // fit in 64 bits
    constexpr std::uint64_t exact_integers = std::uint64_t{1} << 53;
    if (count == 0 || count > most_digits || digits > exact_integers ||
        (at != last && (*at == 'e' || *at == 'E'))) {
        return false;
    }
    // Decimals are digits: at most 19, within the table.
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                        1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
    const double magnitude = static_cast<double>(digits) / powers[decimals];
    value = negative ? -magnitude : magnitude;
    stop = at;
    return true;
}

} // namespace

bool scan_stream_double(const char*& text, const char* end, double& value) {
    // The common case in one pass: a plain number that std::from_chars (or, for a short plain
    // decimal, the shortcut that gives the same value) reads up to a comma, a space or the end.
    // Over such a text the stream's extent is the same, so the slower scan below would give the
    // same value. Texts starting otherwise ("inf", "nan", '+') and every failure go the long way.
    {
        const char* digits = text != end && *text == '-' ? text + 1 : text;
        if (digits != end && (is_digit(*digits) || *digits == '.')) {
            double parsed = 0.0;
            const char* stop = text;
            std::errc error = std::errc();
            if (!read_plain_decimal(text, end, stop, parsed)) {
                const std::from_chars_result read = std::from_chars(text, end, parsed);
                stop = read.ptr;
                error = read.ec;
            }
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
