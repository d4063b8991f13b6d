#include "models/calibration_domain.h"
#include "train/domain_fit.h"

#include "input/csv_reader.h"
#include "tests/support/error_text.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/SVD>
#include <boost/filesystem/operations.hpp>
#include <gsl/gsl_eigen.h>
#include <gsl/gsl_matrix.h>
#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::error_text;

// Worked by hand: one component along the first axis with variance 4.
TEST(CalibrationDomain, ScoresWorkedByHand) {
    CalibrationDomain domain;
    domain.center = {0, 0, 0};
    domain.components = {{1, 0, 0}};
    domain.variances = {4};
    domain.t2_limit = 9;
    domain.q_limit = 1;
    const std::vector<double> near = {2, 0.5, 0.5};
    const DomainScore inside = score_in_domain(domain, near.data());
    EXPECT_DOUBLE_EQ(inside.t2, 1.0); // (2 / 2)^2
    EXPECT_DOUBLE_EQ(inside.q, 0.5);  // 0.5^2 + 0.5^2 off the component
    EXPECT_FALSE(inside.outside);
    const std::vector<double> far_along = {7, 0, 0};
    EXPECT_DOUBLE_EQ(score_in_domain(domain, far_along.data()).t2, 12.25);
    EXPECT_TRUE(score_in_domain(domain, far_along.data()).outside);
    const std::vector<double> off_plane = {0, 1, 1};
    EXPECT_DOUBLE_EQ(score_in_domain(domain, off_plane.data()).q, 2.0);
    EXPECT_TRUE(score_in_domain(domain, off_plane.data()).outside);
    const std::vector<double> broken = {std::nan(""), 0, 0};
    EXPECT_TRUE(score_in_domain(domain, broken.data()).outside);
}

// Printed T² and Q must not move in their last bits: each score is the sum over the covariates
// in their order, and T² and the explained part sum over the components in theirs, whatever
// the number of components (in groups of four and one at a time).
TEST(CalibrationDomain, ScoresSumInCovariateAndComponentOrder) {
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    const std::size_t width = 37;
    for (std::size_t components = 1; components <= 9; ++components) {
        CalibrationDomain domain;
        for (std::size_t j = 0; j < width; ++j) {
            domain.center.push_back(value(random));
        }
        domain.components.assign(components, std::vector<double>(width));
        for (std::vector<double>& loading : domain.components) {
            for (double& x : loading) {
                x = value(random);
            }
        }
        for (std::size_t c = 0; c < components; ++c) {
            domain.variances.push_back(0.5 + value(random) * value(random));
        }
        domain.t2_limit = 1e9;
        domain.q_limit = 1e9;
        std::vector<double> row(width);
        for (double& x : row) {
            x = value(random) * 1e3;
        }
        double total = 0.0;
        double t2 = 0.0;
        double explained = 0.0;
        for (std::size_t j = 0; j < width; ++j) {
            total += (row[j] - domain.center[j]) * (row[j] - domain.center[j]);
        }
        for (std::size_t c = 0; c < components; ++c) {
            double t = 0.0;
            for (std::size_t j = 0; j < width; ++j) {
                t += domain.components[c][j] * (row[j] - domain.center[j]);
            }
            t2 += t * t / domain.variances[c];
            explained += t * t;
        }
        const DomainScore score = score_in_domain(domain, row.data());
        EXPECT_EQ(score.t2, t2) << components << " components";
        EXPECT_EQ(score.q, std::max(0.0, total - explained)) << components << " components";
    }
}

// Points on a line in three dimensions with a little noise: one component along the line.
TEST(CalibrationDomain, FitFindsTheLineAndItsSpread) {
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<std::vector<double>> rows;
    for (int i = 0; i < 200; ++i) {
        const double t = normal(random);
        rows.push_back({1 + t + 1e-3 * normal(random), 2 + 2 * t + 1e-3 * normal(random),
                        3 + 1e-3 * normal(random)});
    }
    const CalibrationDomain domain = *fit_calibration_domain(rows);
    ASSERT_EQ(domain.components.size(), 1u);
    const std::vector<double>& v = domain.components[0];
    EXPECT_NEAR(std::abs(v[0]), 1 / std::sqrt(5.0), 1e-4);
    EXPECT_NEAR(std::abs(v[1]), 2 / std::sqrt(5.0), 1e-4);
    EXPECT_NEAR(v[2], 0.0, 1e-3);
    EXPECT_NEAR(domain.variances[0], 5.0, 1.0); // var(t) (1 + 4)
    EXPECT_NEAR(domain.center[2], 3.0, 1e-3);
    // A point on the line is inside, one off it or far along it is outside.
    const std::vector<double> on = {1.5, 3.0, 3.0};
    const std::vector<double> off = {1.5, 3.0, 3.1};
    const std::vector<double> along = {11, 22, 3};
    EXPECT_FALSE(score_in_domain(domain, on.data()).outside);
    EXPECT_TRUE(score_in_domain(domain, off.data()).outside);
    EXPECT_TRUE(score_in_domain(domain, along.data()).outside);
    EXPECT_FALSE(fit_calibration_domain({{1}, {2}, {3}, {4}}).has_value()); // too few samples
}

TEST(CalibrationDomain, ScaledChiSquareLimitMatchesKnownQuantiles) {
    // 2 chi2(5): its 99% quantile is 2 x 15.086.
    std::mt19937_64 random(5);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> values;
    for (int i = 0; i < 20000; ++i) {
        double sum = 0;
        for (int k = 0; k < 5; ++k) {
            const double z = normal(random);
            sum += z * z;
        }
        values.push_back(2 * sum);
    }
    EXPECT_NEAR(scaled_chi_square_limit(values), 30.17, 0.9);
    EXPECT_EQ(scaled_chi_square_limit({2, 2, 2}), 2.0); // no spread: the largest value
}

// The components against an independent computation: GSL's eigen-decomposition of the samples'
// Gram matrix (X X'), on the NRW.115 spectra after the first derivative.
TEST(CalibrationDomain, AgreesWithAGramMatrixEigenDecompositionOnRealSpectra) {
    const boost::filesystem::path file = VELDRA_SHARED_DIR "/limesoda-NRW.115/spectra.csv";
    if (!boost::filesystem::exists(file)) {
        GTEST_SKIP() << "no " << file << " beside the checkout";
    }
    const SpectraTable table = read_spectra_csv(file.string());
    std::vector<std::vector<double>> rows;
    for (const std::vector<double>& r : table.rows) {
        std::vector<double> d(r.size());
        for (std::size_t j = 0; j + 1 < r.size(); ++j) {
            d[j] = std::log10(100 / r[j + 1]) - std::log10(100 / r[j]);
        }
        rows.push_back(d);
    }
    const CalibrationDomain domain = *fit_calibration_domain(rows);
    const std::size_t n = rows.size();
    const std::size_t width = rows.front().size();
    EXPECT_GE(domain.components.size(), 2u);
    EXPECT_LE(domain.components.size(), 20u);

    gsl_matrix* gram = gsl_matrix_alloc(n, n);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b < n; ++b) {
            double sum = 0;
            for (std::size_t j = 0; j < width; ++j) {
                sum += (rows[a][j] - domain.center[j]) * (rows[b][j] - domain.center[j]);
            }
            gsl_matrix_set(gram, a, b, sum);
        }
    }
    gsl_vector* values = gsl_vector_alloc(n);
    gsl_matrix* vectors = gsl_matrix_alloc(n, n);
    gsl_eigen_symmv_workspace* work = gsl_eigen_symmv_alloc(n);
    gsl_eigen_symmv(gram, values, vectors, work);
    gsl_eigen_symmv_sort(values, vectors, GSL_EIGEN_SORT_VAL_DESC);
    for (std::size_t c = 0; c < domain.components.size(); ++c) {
        const double variance = gsl_vector_get(values, c) / static_cast<double>(n - 1);
        EXPECT_NEAR(domain.variances[c] / variance, 1.0, 1e-9) << c;
        // Loading c is X' u_c / s_c; compare up to sign.
        const double s = std::sqrt(gsl_vector_get(values, c));
        double dot = 0;
        for (std::size_t j = 0; j < width; ++j) {
            double loading = 0;
            for (std::size_t a = 0; a < n; ++a) {
                loading += (rows[a][j] - domain.center[j]) * gsl_matrix_get(vectors, a, c);
            }
            dot += loading / s * domain.components[c][j];
        }
        EXPECT_NEAR(std::abs(dot), 1.0, 1e-8) << c;
    }
    gsl_eigen_symmv_free(work);
    gsl_matrix_free(vectors);
    gsl_vector_free(values);
    gsl_matrix_free(gram);
}

// The domain computed the direct way: every fit (the whole set, then each fold's rows) a
// singular value decomposition of its own centred rows.
CalibrationDomain svd_domain(const std::vector<std::vector<double>>& rows) {
    const std::size_t n = rows.size();
    const std::size_t width = rows.front().size();
    const auto fit = [&](const std::vector<char>& use, std::size_t count, double* total) {
        std::vector<std::size_t> chosen;
        for (std::size_t i = 0; i < n; ++i) {
            if (use[i]) {
                chosen.push_back(i);
            }
        }
        CalibrationDomain domain;
        domain.center.assign(width, 0.0);
        for (const std::size_t i : chosen) {
            for (std::size_t j = 0; j < width; ++j) {
                domain.center[j] += rows[i][j] / static_cast<double>(chosen.size());
            }
        }
        Eigen::MatrixXd x(chosen.size(), width);
        for (std::size_t r = 0; r < chosen.size(); ++r) {
            for (std::size_t j = 0; j < width; ++j) {
                x(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(j)) =
                    rows[chosen[r]][j] - domain.center[j];
            }
        }
        const Eigen::BDCSVD<Eigen::MatrixXd> svd(x, Eigen::ComputeThinV);
        const double m1 = static_cast<double>(chosen.size() - 1);
        if (total != nullptr) {
            *total = svd.singularValues().squaredNorm() / m1;
        }
        for (std::size_t c = 0; c < count; ++c) {
            const double s = svd.singularValues()(static_cast<Eigen::Index>(c));
            const auto v = svd.matrixV().col(static_cast<Eigen::Index>(c));
            domain.components.emplace_back(v.data(), v.data() + v.size());
            domain.variances.push_back(s * s / m1);
        }
        return domain;
    };
    double total = 0.0;
    CalibrationDomain domain = fit(std::vector<char>(n, 1), domain_most_components, &total);
    std::size_t count = 0;
    for (double explained = 0.0; explained < domain_explained_share * total; ++count) {
        explained += domain.variances[count];
    }
    domain.components.resize(count);
    domain.variances.resize(count);
    std::vector<double> t2(n);
    std::vector<double> q(n);
    for (std::size_t f = 0; f < domain_folds; ++f) {
        std::vector<char> use(n);
        for (std::size_t i = 0; i < n; ++i) {
            use[i] = i % domain_folds != f;
        }
        CalibrationDomain part = fit(use, count, nullptr);
        part.t2_limit = 1.0;
        part.q_limit = 1.0;
        for (std::size_t i = f; i < n; i += domain_folds) {
            t2[i] = score_in_domain(part, rows[i].data()).t2;
            q[i] = score_in_domain(part, rows[i].data()).q;
        }
    }
    domain.t2_limit = scaled_chi_square_limit(t2);
    domain.q_limit = scaled_chi_square_limit(q);
    return domain;
}

// Smooth spectra of `width` points: a baseline and bands whose heights vary from soil to soil,
// with a little noise.
std::vector<std::vector<double>> band_spectra(std::size_t n, std::size_t width,
                                              std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<std::vector<double>> rows(n, std::vector<double>(width));
    for (std::vector<double>& row : rows) {
        double heights[6];
        for (double& h : heights) {
            h = normal(random);
        }
        for (std::size_t j = 0; j < width; ++j) {
            const double x = static_cast<double>(j) / static_cast<double>(width);
            row[j] = 1.0 + 0.1 * heights[0] * x;
            for (int b = 1; b < 6; ++b) {
                row[j] += 0.3 / b * heights[b] * std::exp(-std::pow((x - 0.15 * b) / 0.04, 2));
            }
            row[j] += 0.002 * normal(random);
        }
    }
    return rows;
}

// Fewer samples than covariates (the samples' inner products), more (the covariates'), each
// large enough for the leading components to be found without a whole decomposition: every
// centre, variance, loading (up to its sign) and limit agrees with the direct computation.
TEST(CalibrationDomain, GramMatrixFitsAgreeWithEachFitsOwnDecomposition) {
    const std::vector<std::pair<std::size_t, std::size_t>> shapes = {{120, 200}, {300, 90}};
    for (const auto& [n, width] : shapes) {
        SCOPED_TRACE(std::to_string(n) + " x " + std::to_string(width));
        const std::vector<std::vector<double>> rows = band_spectra(n, width, n);
        const CalibrationDomain fast = *fit_calibration_domain(rows);
        const CalibrationDomain direct = svd_domain(rows);
        ASSERT_EQ(fast.components.size(), direct.components.size());
        EXPECT_GE(fast.components.size(), 5u);
        for (std::size_t j = 0; j < width; ++j) {
            EXPECT_NEAR(fast.center[j], direct.center[j], 1e-12);
        }
        for (std::size_t c = 0; c < fast.components.size(); ++c) {
            EXPECT_NEAR(fast.variances[c] / direct.variances[c], 1.0, 1e-9) << c;
            const double dot =
                std::inner_product(fast.components[c].begin(), fast.components[c].end(),
                                   direct.components[c].begin(), 0.0);
            EXPECT_NEAR(std::abs(dot), 1.0, 1e-9) << c;
        }
        EXPECT_NEAR(fast.t2_limit / direct.t2_limit, 1.0, 1e-8);
        EXPECT_NEAR(fast.q_limit / direct.q_limit, 1.0, 1e-8);
    }
}

TEST(CalibrationDomain, FileRoundTripAndDamagedFiles) {
    CalibrationDomain domain;
    domain.center = {0.5, -1.25};
    domain.components = {{0.6, 0.8}};
    domain.variances = {2.5};
    domain.t2_limit = 7.5;
    domain.q_limit = 0.125;
    const CalibrationDomain back = parse_calibration_domain(domain_document(domain), "d");
    EXPECT_EQ(back.center, domain.center);
    EXPECT_EQ(back.components, domain.components);
    EXPECT_EQ(back.variances, domain.variances);
    EXPECT_EQ(back.t2_limit, 7.5);
    EXPECT_EQ(back.q_limit, 0.125);

    const std::string base =
        R"("center": [0, 0], "variances": [1], "components": [[1, 0]], "t2_limit": 1)";
    const std::vector<std::pair<std::string, std::string>> damaged = {
        {"[]", "is not a JSON object."},
        {R"({"covariates": 0})", "needs \"covariates\" as a whole number from 1 to 10000000."},
        {R"({"covariates": 3, )" + base + R"(, "q_limit": 1})",
         "needs \"center\" as a list of 3 numbers."},
        {R"({"covariates": 2, )" + base + "}", "has no \"q_limit\"."},
        {R"({"covariates": 2, )" + base + R"(, "q_limit": -1})", "needs \"q_limit\" above 0."},
        {R"({"covariates": 2, "center": [0, 0], "variances": [0], "components": [[1, 0]],
            "t2_limit": 1, "q_limit": 1})",
         "needs every value of \"variances\" above 0."},
        {R"({"covariates": 2, "center": [0, 0], "variances": [1], "components": [[1]],
            "t2_limit": 1, "q_limit": 1})",
         "needs every row of \"components\" as a list of 2 numbers."},
        {R"({"covariates": 2, "center": [0, "x"], "variances": [1], "components": [[1, 0]],
            "t2_limit": 1, "q_limit": 1})",
         "holds a value of \"center\" that is not a finite number."},
        {R"({"covariates": 2, "center": [0, 0], "variances": [], "components": [],
            "t2_limit": 1, "q_limit": 1})",
         "needs \"components\" as a list of 1 to 100 loadings."},
        // Lists inside objects are no part of a domain (a file the fuzzer made).
        {R"({"covariates": 2, "center": {"a": [1, 2]}, "variances": [1],
            "components": [{"b": [1, 0]}], "t2_limit": 1, "q_limit": 1})",
         "holds a value of \"center\" that is not a finite number."},
        // Components scaled, repeated or zero would give every spectrum a wrong T² and Q.
        {R"({"covariates": 2, "center": [0, 0], "variances": [1], "components": [[2, 0]],
            "t2_limit": 1, "q_limit": 1})",
         "needs orthonormal \"components\" (each of length 1 and at right angles to the "
         "others, within 1e-6): component 1 has length 2.000000."},
        {R"({"covariates": 2, "center": [0, 0], "variances": [1, 1],
            "components": [[0.6, 0.8], [0.6, 0.8]], "t2_limit": 1, "q_limit": 1})",
         "needs orthonormal \"components\" (each of length 1 and at right angles to the "
         "others, within 1e-6): components 1 and 2 are not at right angles."},
        {R"({"covariates": 2, "center": [0, 0], "variances": [1], "components": [[0, 0]],
            "t2_limit": 1, "q_limit": 1})",
         "needs orthonormal \"components\" (each of length 1 and at right angles to the "
         "others, within 1e-6): component 1 has length 0.000000."},
    };
    for (const auto& [content, message] : damaged) {
        const std::string text = content; // a lambda cannot capture a structured binding
        EXPECT_EQ(error_text([&] { parse_calibration_domain(text, "d.json"); }),
                  "The domain file \"d.json\" " + message)
            << text;
    }
}

// What reading `text` gives: the domain's numbers to the bit, or the error's message.
std::string reading_of(const std::string& text) {
    std::string read;
    try {
        const CalibrationDomain domain = parse_calibration_domain(text, "d.json");
        const auto add = [&read](const std::vector<double>& values) {
            for (const double value : values) {
                char bits[32];
                std::snprintf(bits, sizeof bits, "%a ", value);
                read += bits;
            }
            read += "| ";
        };
        add(domain.center);
        add(domain.variances);
        for (const std::vector<double>& component : domain.components) {
            add(component);
        }
        add({domain.t2_limit, domain.q_limit});
    } catch (const std::runtime_error& e) {
        read = std::string("error: ") + e.what();
    }
    return read;
}

// A file as the trainer writes it is read in one pass, any other through JSON events. A space
// before it sends the same text the other way: both must read every file alike, damaged ones
// included, down to the sign of a zero.
TEST(CalibrationDomain, WrittenLayoutReadAsAnyOther) {
    CalibrationDomain domain;
    domain.center = {0.5, -1.25e-300, 1e300, -0.0, 123456789.0};
    domain.components = {{0.6, 0.8, 0.0, 0.0, 0.0}, {0.0, 0.0, -1.0, 0.0, 0.0}};
    domain.variances = {2.5, 1e-5};
    domain.t2_limit = 7.0;
    domain.q_limit = 0.1;
    const std::string written = domain_document(domain);
    ASSERT_EQ(reading_of(written), reading_of(" " + written));
    EXPECT_EQ(reading_of(written).rfind("error", 0), std::string::npos) << reading_of(written);
    std::size_t damaged = 0;
    for (std::size_t at = 0; at < written.size(); ++at) {
        std::vector<std::string> texts{written.substr(0, at) + written.substr(at + 1)};
        for (const char c : std::string("-0159.eE+,[]\"\\x \n")) {
            texts.push_back(written.substr(0, at) + c + written.substr(at));
            texts.push_back(written.substr(0, at) + c + written.substr(at + 1));
        }
        for (const std::string& text : texts) {
            const std::string read = reading_of(text);
            damaged += read.rfind("error", 0) == 0 ? 1 : 0;
            ASSERT_EQ(read, reading_of(" " + text)) << text;
        }
    }
    EXPECT_GT(damaged, written.size()); // most changes damage the file
    // Numbers JSON reads apart: integers (whose "-0" is 0), long ones, and out of range.
    const std::size_t first = written.find("[0.5,") + 1;
    ASSERT_NE(first, std::string::npos + 1);
    for (const std::string number :
         {"-0", "0", "-7", "123456789012345678901", "9007199254740993", "1e400", "-1e-400",
          "4.9e-324", "0e0", "-0.0e-0", "1E+2", "01", "1.", ".5", "+1", "--1", "1e", "0x10"}) {
        const std::string text = written.substr(0, first) + number + written.substr(first + 3);
        EXPECT_EQ(reading_of(text), reading_of(" " + text)) << number;
    }
}

} // namespace
} // namespace veldra
