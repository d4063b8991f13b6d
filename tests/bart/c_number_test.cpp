#include "bart/c_number.h"

#include <clocale>
#include <cmath>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace veldra {
namespace {

TEST(CNumber, IntegersReadLikeStrtolAndFailLikeStoi) {
    EXPECT_EQ(read_c_int("42"), 42);
    EXPECT_EQ(read_c_int(" \t-7xyz"), -7);
    EXPECT_EQ(read_c_int("+3.9"), 3);
    EXPECT_EQ(read_c_int("2147483647"), 2147483647);
    EXPECT_EQ(read_c_int("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(read_c_int("0000000000000000000000012"), 12);
    for (const char* bad : {"", " ", "-", "+-1", "x1", ".5", "\"3\""}) {
        try {
            read_c_int(bad);
            ADD_FAILURE() << bad;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "invalid stoi argument") << bad;
        }
    }
    for (const char* big : {"2147483648", "-2147483649", "99999999999999999999999"}) {
        try {
            read_c_int(big);
            ADD_FAILURE() << big;
        } catch (const std::out_of_range& e) {
            EXPECT_EQ(std::string(e.what()), "stoi argument out of range") << big;
        }
    }
}

TEST(CNumber, DoublesReadLikeStrtodAndFailLikeStod) {
    EXPECT_EQ(read_c_double("0.25"), 0.25);
    EXPECT_EQ(read_c_double("  -1.5e2abc"), -150.0);
    EXPECT_EQ(read_c_double("+.5"), 0.5);
    EXPECT_EQ(read_c_double("1e5e3"), 1e5);
    EXPECT_EQ(read_c_double("1e"), 1.0);
    EXPECT_EQ(read_c_double("0x1p3"), 8.0);
    EXPECT_EQ(read_c_double("-0x.8"), -0.5);
    EXPECT_EQ(read_c_double("0x"), 0.0);
    EXPECT_EQ(read_c_double("1e-400"), 0.0);
    EXPECT_TRUE(std::signbit(read_c_double("-1e-400")));
    EXPECT_EQ(read_c_double("4.9e-324"), 4.9406564584124654e-324);
    EXPECT_TRUE(std::isinf(read_c_double("INF")));
    EXPECT_TRUE(std::isinf(read_c_double("-infinity")));
    EXPECT_TRUE(std::isnan(read_c_double("nan(0x1)")));
    for (const char* bad : {"", "-", "+-1", "x", ".", "e5", "--1"}) {
        try {
            read_c_double(bad);
            ADD_FAILURE() << bad;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "invalid stod argument") << bad;
        }
    }
    for (const char* big : {"1e309", "-1e400", "0x1p99999", "1e99999999999999999999"}) {
        try {
            read_c_double(big);
            ADD_FAILURE() << big;
        } catch (const std::out_of_range& e) {
            EXPECT_EQ(std::string(e.what()), "stod argument out of range") << big;
        }
    }
}

// The window sets the user's locale; model documents always use '.'.
TEST(CNumber, IgnoresTheProcessLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    const double value = read_c_double("0.0031");
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(value, 0.0031);
}

} // namespace
} // namespace veldra
