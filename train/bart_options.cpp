#include "train/bart_options.h"

#include "text/number_text.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace veldra {

const std::vector<BartOptionRange>& bart_option_ranges() {
    using O = const BartOptions&;
    static const std::vector<BartOptionRange> ranges = {
        {"trees", 1, 10000, false, false, true, "", [](O o) { return double(o.trees); }},
        {"draws", 1, 100000, false, false, true, " (each draw is one file of the model)",
         [](O o) { return double(o.draws); }},
        {"burn-in", 0, 1000000, false, false, true, "", [](O o) { return double(o.burn_in); }},
        {"thin", 1, 1000, false, false, true, "", [](O o) { return double(o.thin); }},
        {"chains", 1, 64, false, false, true, "", [](O o) { return double(o.chains); }},
        {"alpha", 0, 1, true, true, false, "", [](O o) { return o.alpha; }},
        {"beta", 0, 100, false, false, false, "", [](O o) { return o.beta; }},
        {"k", 0, 1000, true, false, false, "", [](O o) { return o.k; }},
        {"nu", 0, 10000, true, false, false, "", [](O o) { return o.nu; }},
        {"q", 0, 1, true, true, false, "", [](O o) { return o.q; }},
        {"cuts", 1, 65535, false, false, true, "", [](O o) { return double(o.max_cuts); }},
        {"threads", 0, 1024, false, false, true, " (0: one per core)",
         [](O o) { return double(o.threads); }},
    };
    return ranges;
}

const BartOptionRange& bart_option_range(const std::string& option) {
    for (const BartOptionRange& range : bart_option_ranges()) {
        if (option == range.option) {
            return range;
        }
    }
    throw std::out_of_range("no sampler setting '" + option + "'");
}

std::string bart_option_range_text(const BartOptionRange& range) {
    const auto text = [](double value) {
        return value == std::floor(value) ? std::to_string(static_cast<long long>(value))
                                          : shortest_text(value);
    };
    const std::string low = text(range.low);
    const std::string high = text(range.high);
    if (range.low_open && range.high_open) {
        return "between " + low + " and " + high + " (both excluded)";
    }
    if (range.low_open) {
        return "above " + low + ", at most " + high;
    }
    return "from " + low + " to " + high;
}

std::vector<BartOptionProblem> bart_option_problems(const BartOptions& options) {
    std::vector<BartOptionProblem> problems;
    for (const BartOptionRange& range : bart_option_ranges()) {
        const double value = range.value(options);
        const bool inside = std::isfinite(value) &&
                            (range.low_open ? value > range.low : value >= range.low) &&
                            (range.high_open ? value < range.high : value <= range.high);
        if (!inside) {
            const std::string shown =
                range.whole ? std::to_string(static_cast<long>(value)) : shortest_text(value);
            problems.push_back({range.option, std::string("takes ") +
                                                  (range.whole ? "a whole number " : "a number ") +
                                                  bart_option_range_text(range) + range.why +
                                                  ", not " + shown});
        }
        const std::string name = range.option;
        if (name == "draws" && options.trees >= 1 && options.draws >= 1 &&
            static_cast<long>(options.trees) * options.draws > 10000000) {
            problems.push_back(
                {"draws", "times --trees is " +
                              std::to_string(static_cast<long>(options.trees) * options.draws) +
                              " trees; a model holds at most 10000000"});
        }
        if (name == "chains" && options.chains > options.draws && options.draws >= 1) {
            problems.push_back({"chains", "must not exceed --draws (" +
                                              std::to_string(options.draws) +
                                              "): every chain keeps at least one draw"});
        }
    }
    return problems;
}
} // namespace veldra
