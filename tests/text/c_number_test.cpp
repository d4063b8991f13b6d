#include "text/c_number.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

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

// Plain digit texts take a shortcut; every text within the 32-bit range must still read as
// strtol reads it: lengths around the shortcut's nine digits, with and without what strtol skips
// or stops at.
TEST(CNumber, IntegersReadExactlyAsStrtolReadsThem) {
    std::mt19937 random(5);
    const char* fronts[] = {"", "", "", " ", "-", "+", "0"};
    const char* endings[] = {"", "", "", "x", ".5", " ", "/", ":", "e3"};
    for (int n = 0; n < 100000; ++n) {
        std::string text = fronts[random() % std::size(fronts)];
        const int count = 1 + static_cast<int>(random() % 11);
        for (int i = 0; i < count; ++i) {
            text += static_cast<char>('0' + random() % 10);
        }
        text += endings[random() % std::size(endings)];
        const long long expected = std::strtoll(text.c_str(), nullptr, 10);
        if (expected > 2147483647LL || expected < -2147483648LL) {
            continue; // the range errors above
        }
        ASSERT_EQ(read_c_int(text), expected) << text;
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

// Short decimals take a shortcut of their own; every text must still read exactly as strtod
// reads it, bit for bit: random texts around the shortcut's bounds (19 digits, 2^53, powers of
// ten up to 22, fractions taken eight digits at once) and with the endings strtod stops at.
TEST(CNumber, DecimalsReadExactlyAsStrtodReadsThem) {
    std::mt19937_64 random(17);
    const auto digits = [&](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += static_cast<char>('0' + random() % 10);
        }
        return text;
    };
    std::vector<std::string> texts = {"9007199254740992",
                                      "9007199254740993",
                                      "9007199254740993.0",
                                      "1e22",
                                      "1e23",
                                      "1e-22",
                                      "1e-23",
                                      "1234567890123456789",
                                      "12345678901234567890",
                                      "0.0000000000000000000001",
                                      "-0.0"};
    const char* endings[] = {"", "", "", "x", "e", "e+", ".", "e5e3", "E-", " 1", ":", "/"};
    for (int n = 0; n < 200000; ++n) {
        std::string text = random() % 4 == 0 ? "-" : "";
        text += digits(static_cast<int>(random() % 12));
        if (random() % 2 == 0) {
            text += "." + digits(static_cast<int>(random() % 14));
        }
        if (random() % 3 == 0) {
            text += random() % 2 == 0 ? "e" : "E";
            text += random() % 3 == 0 ? "-" : random() % 2 == 0 ? "+" : "";
            text += digits(1 + static_cast<int>(random() % 3));
        }
        texts.push_back(text + endings[random() % std::size(endings)]);
    }
    for (const std::string& text : texts) {
        char* end = nullptr;
        const double expected = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || std::isinf(expected)) {
            continue; // no number, or an overflow: the error cases above
        }
        const double got = read_c_double(text);
        ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << text;
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
