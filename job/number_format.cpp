#include "job/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace veldra {

namespace {

// Exact for every double: the formatter the fast one below falls back on.
char* write_general6_exactly(char* out, double value) {
    return std::to_chars(out, out + general6_room, value, std::chars_format::general, 6).ptr;
}

// 10^0 .. 10^9, each exact in a double.
constexpr double powers_of_ten[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};

// The common case of a draw or a summary figure: a magnitude that "%g" writes without an
// exponent, from 1e-4 to below 999999. Its six significant digits come from one product
// with an exact power of ten, which is off the true product by at most 2^-33 (below 1e6, one
// rounding): a fraction within 1e-9 of a half, where that error could tip the rounding, is left
// to the exact formatter, as is every other magnitude. Null when nothing was written.
char* write_fixed6(char* out, double value) {
    const double a = std::fabs(value);
    if (!(a >= 1e-4 && a < 999999.0)) {
        return nullptr;
    }
    // The decimal exponent, from the powers of ten (the doubles nearest 1e-1 .. 1e-4 are above
    // them, so a value just below one is corrected next).
    int exponent;
    if (a >= 1.0) {
        exponent =
            a >= 1e3 ? (a >= 1e4 ? (a >= 1e5 ? 5 : 4) : 3) : (a >= 1e2 ? 2 : (a >= 1e1 ? 1 : 0));
    } else {
        exponent = a >= 1e-2 ? (a >= 1e-1 ? -1 : -2) : (a >= 1e-3 ? -3 : -4);
    }
    double scaled = a * powers_of_ten[5 - exponent];
    if (scaled < 99999.5) {
        if (exponent == -4) {
            return nullptr;
        }
        --exponent;
        scaled = a * powers_of_ten[5 - exponent];
    }
    constexpr double margin = 1e-9;
    const double whole = static_cast<double>(static_cast<std::uint32_t>(scaled));
    const double fraction = scaled - whole;
    if (std::fabs(fraction - 0.5) < margin || scaled < 99999.5 + margin ||
        scaled >= 999999.5 - margin) {
        return nullptr;
    }
    std::uint32_t n = static_cast<std::uint32_t>(whole) + (fraction > 0.5 ? 1 : 0);
    char digits[6];
    for (int i = 5; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    char* text = out;
    std::size_t length = 0;
    if (std::signbit(value)) {
        text[length++] = '-';
    }
    int last = 5; // the last digit written: trailing zeros of the fraction are not
    if (exponent >= 0) {
        while (last > exponent && digits[last] == '0') {
            --last;
        }
        for (int i = 0; i <= exponent; ++i) {
            text[length++] = digits[i];
        }
        if (last > exponent) {
            text[length++] = '.';
            for (int i = exponent + 1; i <= last; ++i) {
                text[length++] = digits[i];
            }
        }
    } else {
        while (digits[last] == '0') {
            --last;
        }
        text[length++] = '0';
        text[length++] = '.';
        for (int i = -1; i > exponent; --i) {
            text[length++] = '0';
        }
        for (int i = 0; i <= last; ++i) {
            text[length++] = digits[i];
        }
    }
    return text + length;
}

char* write_word(char* out, const char* word) {
    while (*word != '\0') {
        *out++ = *word++;
    }
    return out;
}

} // namespace

char* write_general6(char* out, double value) {
    if (std::isnan(value)) {
        return write_word(out, std::signbit(value) ? "-nan" : "nan");
    }
    if (std::isinf(value)) {
        return write_word(out, value < 0 ? "-inf" : "inf");
    }
    char* const end = write_fixed6(out, value);
    return end != nullptr ? end : write_general6_exactly(out, value);
}

void append_general6(std::string& out, double value) {
    char text[general6_room];
    out.append(text, write_general6(text, value));
}

} // namespace veldra
