#include "text/number_core.h"

#include "text/characters.h"

namespace veldra {

long long number_magnitude(std::string_view number, bool hex) {
    const char exponent_mark = hex ? 'p' : 'e';
    long long integer_digits = 0; // significant digits before the point
    long long leading_fraction_zeros = 0;
    bool seen_nonzero = false;
    bool in_fraction = false;
    std::size_t i = 0;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) {
        ++i;
    }
    for (; i < number.size() && number[i] != exponent_mark && number[i] != exponent_mark - 32;
         ++i) {
        const char c = number[i];
        if (c == '.') {
            in_fraction = true;
        } else if (!seen_nonzero && c == '0') {
            leading_fraction_zeros += in_fraction ? 1 : 0;
        } else {
            seen_nonzero = true;
            integer_digits += in_fraction ? 0 : 1;
        }
    }
    long long exponent = 0;
    bool negative = false;
    if (i < number.size()) {
        ++i;
        if (i < number.size() && (number[i] == '+' || number[i] == '-')) {
            negative = number[i] == '-';
            ++i;
        }
        for (; i < number.size() && is_digit(number[i]); ++i) {
            if (exponent < 1000000000LL) {
                exponent = exponent * 10 + (number[i] - '0');
            }
        }
    }
    const long long scale = hex ? 4 : 1;
    return (integer_digits > 0 ? integer_digits : -leading_fraction_zeros) * scale +
           (negative ? -exponent : exponent);
}

bool exact_decimal(std::uint64_t digits, int scale, double& value) {
    constexpr std::uint64_t exact_integers = std::uint64_t{1} << 53;
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (digits > exact_integers || scale < -22 || scale > 22) {
        return false;
    }
    const auto exact = static_cast<double>(digits);
    value = scale < 0 ? exact / powers[-scale] : exact * powers[scale];
    return true;
}

} // namespace veldra
