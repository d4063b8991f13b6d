#include "text/stream_number.h"

#include <clocale>
#include <cstring>
#include <iterator>
#include <locale>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

struct Outcome {
    bool ok;
    double value;
    std::size_t consumed;
};

Outcome with_stream(const std::string& text) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in.unsetf(std::ios::skipws);
    double value = 0.0;
    in >> value;
    if (in.fail()) {
        return {false, 0.0, 0};
    }
    const std::size_t consumed = in.eof() ? text.size() : static_cast<std::size_t>(in.tellg());
    return {true, value, consumed};
}

Outcome with_scanner(const std::string& text) {
    const char* p = text.data();
    double value = 0.0;
    const bool ok = scan_stream_double(p, text.data() + text.size(), value);
    return {ok, ok ? value : 0.0, static_cast<std::size_t>(p - text.data())};
}

void expect_same(const std::string& text) {
    const Outcome expected = with_stream(text);
    const Outcome actual = with_scanner(text);
    ASSERT_EQ(actual.ok, expected.ok) << '"' << text << '"';
    if (expected.ok) {
        ASSERT_EQ(std::memcmp(&actual.value, &expected.value, sizeof(double)), 0)
            << '"' << text << "\" " << actual.value << " vs " << expected.value;
        ASSERT_EQ(actual.consumed, expected.consumed) << '"' << text << '"';
    }
}

// The CSV grammar is defined by formatted stream input; the scanner must agree with it on every
// text, including the odd ones.
TEST(StreamNumber, AgreesWithStreamInputOnEdgeCases) {
    for (const char* text :
         {"0", "-0", "+0", "1", "-1", "+.5", "-.5", ".5", "5.", ".", "+", "-", "+-1", "1e", "1e+",
          "1e-", "1e5", "1E5", "1e+5", "1e-5", ".e5", "1.e5", "1e5.5", "1e5e5", "1.2.3", "0x1A",
          "00012.5000e-2", "1e400", "-1e400", "1e-400", "-1e-400", "2e-324", "4.9e-324",
          "1.7976931348623157e308", "1.7976931348623159e308", "0.1", "1,5", "12abc", "e5", "inf",
          "nan", "1e0000000000000000000000001", "0e99999999999",
          "0.000000000000000000000000000000000000000000001e-300",
          // followed by what ends a field
          "1e400,", "1e-400 ", "1e,2", "-inf,", "-.5\t", "5.,", "7e+3\r"}) {
        expect_same(text);
    }
}

TEST(StreamNumber, AgreesWithStreamInputOnRandomTexts) {
    std::mt19937 random(20261207);
    const std::string alphabet = "0123456789012345.eE+-x ,";
    for (int n = 0; n < 100000; ++n) {
        std::string text;
        const int length = 1 + static_cast<int>(random() % 12);
        for (int k = 0; k < length; ++k) {
            text += alphabet[random() % alphabet.size()];
        }
        expect_same(text);
    }
}

// Short plain decimals take a shortcut; they must still read bit for bit as the stream reads
// them: up to 21 digits with the point anywhere, around 2^53 and 22 decimals, and followed by
// what ends a field or what makes the text something else.
TEST(StreamNumber, AgreesWithStreamInputOnDecimals) {
    std::mt19937_64 random(7);
    std::vector<std::string> texts = {
        "9007199254740992,",   "9007199254740993,",        "900719925474099.3,",
        "0.9007199254740993",  "0.0000000000000000000001", "0.00000000000000000000001",
        "1234567890123456789", "12345678901234567890.5",   "-0.0,"};
    const char* endings[] = {"", ",", ",", " ", "	", "e2", "E-1", "x", ".", ",1"};
    for (int n = 0; n < 100000; ++n) {
        std::string digits;
        const int count = 1 + static_cast<int>(random() % 21);
        for (int k = 0; k < count; ++k) {
            digits += static_cast<char>('0' + random() % 10);
        }
        std::string text = random() % 4 == 0 ? "-" : "";
        const std::size_t point = random() % (digits.size() + 2);
        text += point > digits.size() ? digits : digits.insert(point, ".");
        texts.push_back(text + endings[random() % std::size(endings)]);
    }
    for (const std::string& text : texts) {
        expect_same(text);
    }
}

// The window program sets the user's locale; numbers must still use '.'.
TEST(StreamNumber, IgnoresTheProcessLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        std::setlocale(LC_NUMERIC, "C");
    }
    const Outcome outcome = with_scanner("1.25");
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.value, 1.25);
    EXPECT_EQ(outcome.consumed, 4u);
}

} // namespace
} // namespace veldra
