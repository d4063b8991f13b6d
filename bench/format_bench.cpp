// Times the writing of numbers as the output files hold them ("%g", six significant digits):
// the formatter the job uses beside the standard library's exact one it falls back on, over a
// million numbers of each kind a job writes. Prints nanoseconds per number and whether the two
// wrote the same text.
#include "job/number_format.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

template <class Format>
double nanoseconds_per_number(const std::vector<double>& values, std::string& out,
                              const Format& format) {
    double best = 1e300;
    for (int round = 0; round < 5; ++round) { // the first rounds take the text's pages
        out.clear();
        const auto start = std::chrono::steady_clock::now();
        for (const double value : values) {
            format(out, value);
            out += ',';
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, seconds);
    }
    return best * 1e9 / static_cast<double>(values.size());
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
    std::mt19937_64 random(3);
    struct Kind {
        const char* name;
        std::vector<double> values;
    };
    std::vector<Kind> kinds{{"draws of a property near 2", {}},
                            {"draws spread over 1e-3 to 1e4", {}},
                            {"exponents (1e-7, 1e12)", {}}};
    std::normal_distribution<double> near_two(2.0, 0.3);
    std::uniform_real_distribution<double> spread(std::log(1e-3), std::log(1e4));
    for (int i = 0; i < count; ++i) {
        kinds[0].values.push_back(near_two(random));
        kinds[1].values.push_back(std::exp(spread(random)));
        kinds[2].values.push_back(i % 2 == 0 ? 1.2345678e-7 * near_two(random)
                                             : 1.2345678e12 * near_two(random));
    }
    std::printf("%-32s %12s %12s %6s\n", "numbers", "exact ns", "job's ns", "same");
    for (const Kind& kind : kinds) {
        std::string exact;
        std::string fast;
        const double exact_ns =
            nanoseconds_per_number(kind.values, exact, [](std::string& out, double value) {
                char text[32];
                const auto result =
                    std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
                out.append(text, result.ptr);
            });
        const double fast_ns = nanoseconds_per_number(kind.values, fast, veldra::append_general6);
        std::printf("%-32s %12.1f %12.1f %6s\n", kind.name, exact_ns, fast_ns,
                    exact == fast ? "yes" : "NO");
    }
    std::printf("reproduce: %s %d (exact: std::to_chars, general, precision 6)\n", argv[0], count);
    return 0;
}
