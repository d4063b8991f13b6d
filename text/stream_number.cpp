#include "text/stream_number.h"

#include "text/characters.h"
#include "text/number_core.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>

namespace veldra {

namespace {

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
    double magnitude = 0.0;
    if (count == 0 || count > most_digits || (at != last && (*at == 'e' || *at == 'E')) ||
        !exact_decimal(digits, -static_cast<int>(decimals), magnitude)) {
        return false;
    }
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
            if (error == std::errc() && (stop == end || *stop == ',' || is_space(*stop))) {
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
        number_magnitude(std::string_view(start, static_cast<std::size_t>(p - start)), false) <=
            0) {
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
