#include "job/number_format.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

namespace veldra {
namespace {

// What a default-formatted stream writes; a NaN's sign as glibc's stream shows it (the MinGW
// runtime's drops it), so that every platform writes the same files.
std::string with_stream(double value) {
    if (std::isnan(value)) {
        return std::signbit(value) ? "-nan" : "nan";
    }
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

std::string with_format(double value) {
    std::string out;
    append_general6(out, value);
    return out;
}

// The output file's numbers must be the bytes a default-formatted stream writes.
TEST(NumberFormat, SameTextAsAStreamForEveryKindOfDouble) {
    const double special[] = {0.0,
                              -0.0,
                              0.1,
                              0.099999,
                              12.3456789,
                              1e-5,
                              1e-4,
                              999999.5,
                              1e6,
                              123456789.0,
                              2.718281828,
                              -1.5e-300,
                              5e-324,
                              std::numeric_limits<double>::max(),
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::quiet_NaN(),
                              -std::numeric_limits<double>::quiet_NaN(),
                              std::sqrt(-1.0),
                              0.0 / std::numeric_limits<double>::infinity()};
    for (const double value : special) {
        EXPECT_EQ(with_format(value), with_stream(value)) << value;
    }
    // Around each power of ten and each place where six digits round up to seven.
    for (const double edge : {1e-5, 1e-4, 1e-3, 0.01, 0.1, 1.0, 10.0, 100.0, 1e3, 1e4, 1e5, 1e6,
                              0.99999949999999, 9.9999950000001, 99999.5, 999999.0, 999999.5}) {
        double value = edge;
        for (int step = 0; step < 40; ++step) {
            value = std::nextafter(value, 0.0);
        }
        for (int step = 0; step < 80; ++step) {
            value = std::nextafter(value, 1e300);
            EXPECT_EQ(with_format(value), with_stream(value)) << value;
            EXPECT_EQ(with_format(-value), with_stream(-value)) << -value;
        }
    }
    std::mt19937_64 random(17);
    for (int n = 0; n < 300000; ++n) {
        double value = 0;
        if (n % 3 == 0) {
            const std::uint64_t bits = random();
            std::memcpy(&value, &bits, sizeof value); // any bit pattern
        } else if (n % 3 == 1) {
            value = std::ldexp(static_cast<double>(random() % 2000001) - 1000000.0,
                               static_cast<int>(random() % 60) - 40);
        } else {
            // Seven or eight decimal digits: halves at the sixth digit, as near as a double can be.
            value = static_cast<double>(random() % 100000000) /
                    std::pow(10.0, static_cast<double>(random() % 14));
        }
        ASSERT_EQ(with_format(value), with_stream(value)) << value;
    }
}

} // namespace
} // namespace veldra
