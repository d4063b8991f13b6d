#include "text/file_pattern.h"
#include "text/first_derivative.h"
#include "text/number_core.h"
#include "text/number_text.h"

#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

TEST(FilePattern, OnlyTheStarIsSpecial) {
    EXPECT_TRUE(matches_file_pattern("MCMC*.json", "MCMC1.json"));
    EXPECT_TRUE(matches_file_pattern("MCMC*.json", "MCMC.json"));
    EXPECT_FALSE(matches_file_pattern("MCMC*.json", "MCMC1xjson"));
    EXPECT_FALSE(matches_file_pattern("MCMC*.json", "MCMC1.json.bak"));
    EXPECT_FALSE(matches_file_pattern("json", "MCMC1.json"));
    // Characters a regular expression would read as operators stand for themselves.
    EXPECT_TRUE(matches_file_pattern("soil(1)+[a]*.0", "soil(1)+[a]x.0"));
    EXPECT_FALSE(matches_file_pattern("soil(1)*.0", "soil1x.0"));
    EXPECT_FALSE(matches_file_pattern("a+*", "aa"));
    EXPECT_TRUE(matches_file_pattern("a?b", "a?b"));
    EXPECT_FALSE(matches_file_pattern("a?b", "axb"));
    // Several stars and backtracking.
    EXPECT_TRUE(matches_file_pattern("*a*b*", "xxaxxbxx"));
    EXPECT_FALSE(matches_file_pattern("*a*b", "xxaxxbxc"));
    EXPECT_TRUE(matches_file_pattern("*", ""));
    EXPECT_FALSE(matches_file_pattern("", "x"));
    // A hostile pattern stays fast (no exponential backtracking).
    EXPECT_FALSE(matches_file_pattern(std::string(30, '*') + "b", std::string(5000, 'a')));
}

TEST(FirstDerivative, DifferencesThenZeroInAnyStride) {
    const std::vector<double> row = {1, 4, 9, 16};
    std::vector<double> out(4, -1);
    first_derivative(row.data(), row.size(), out.data());
    EXPECT_EQ(out, (std::vector<double>{3, 5, 7, 0}));
    std::vector<double> strided(8, -1);
    first_derivative(row.data(), row.size(), strided.data(), 2);
    EXPECT_EQ(strided, (std::vector<double>{3, -1, 5, -1, 7, -1, 0, -1}));
    std::vector<double> one = {-1};
    first_derivative(row.data(), 1, one.data());
    EXPECT_EQ(one, std::vector<double>{0});
    first_derivative(row.data(), 0, nullptr); // nothing to write
}

TEST(NumberCore, MagnitudeSignTellsOverflowFromUnderflow) {
    EXPECT_GT(number_magnitude("1e400", false), 0);
    EXPECT_GT(number_magnitude("-123.4e308", false), 0);
    EXPECT_LE(number_magnitude("1e-400", false), 0);
    EXPECT_LE(number_magnitude("+0.0001e-320", false), 0);
    EXPECT_GT(number_magnitude("1p2000", true), 0);
    EXPECT_LE(number_magnitude("0.01p-2000", true), 0);
}

TEST(NumberCore, ExactDecimalOnlyWithinExactFactors) {
    double value = 7;
    EXPECT_TRUE(exact_decimal(1345687546, -11, value));
    EXPECT_EQ(value, 0.01345687546);
    EXPECT_TRUE(exact_decimal(5, 22, value));
    EXPECT_EQ(value, 5e22);
    value = 7;
    EXPECT_FALSE(exact_decimal(5, 23, value));
    EXPECT_FALSE(exact_decimal((std::uint64_t{1} << 53) + 1, 0, value));
    EXPECT_EQ(value, 7);
}

TEST(NumberText, ShortestRoundTrip) {
    EXPECT_EQ(shortest_text(0.95), "0.95");
    EXPECT_EQ(shortest_text(2), "2");
    EXPECT_EQ(shortest_text(1e-5), "1e-05");
    EXPECT_EQ(shortest_text(std::numeric_limits<double>::infinity()), "inf");
}

} // namespace
} // namespace veldra
