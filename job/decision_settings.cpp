#include "job/decision_settings.h"

#include "models/interval_calibration.h"
#include "text/number_text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace veldra {

namespace {

bool read_number(const std::string& text, double& value) {
    const char* end = text.data() + text.size();
    const auto read = std::from_chars(text.data(), end, value);
    return !text.empty() && read.ec == std::errc() && read.ptr == end && std::isfinite(value);
}

std::vector<std::string> items(const std::string& text) {
    std::vector<std::string> found;
    std::string item;
    for (const char c : text + " ") {
        if (c == ',' || c == ' ' || c == ';' || c == '\t') {
            if (!item.empty()) {
                found.push_back(item);
            }
            item.clear();
        } else {
            item += c;
        }
    }
    return found;
}

// A text that failed to read and holds a comma between two digits was likely written with
// decimal commas ("0,9": the levels 0 and 9 in a list, no number alone): said after the message,
// and in a list (`in_list`) what the comma does there.
std::string with_decimal_hint(const std::string& text, const std::string& message,
                              bool in_list = true) {
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == ',' && std::isdigit(static_cast<unsigned char>(text[i - 1])) != 0 &&
            std::isdigit(static_cast<unsigned char>(text[i + 1])) != 0) {
            return message + " Decimals take a point (0.9, not 0,9)" +
                   (in_list ? "; a comma separates items." : ".");
        }
    }
    return message;
}

[[noreturn]] void rethrow_with_decimal_hint(const std::string& text, const std::runtime_error& e) {
    throw std::runtime_error(with_decimal_hint(text, e.what()));
}

} // namespace

double parse_level(const std::string& text) {
    const bool percent = !text.empty() && text.back() == '%';
    double value = 0.0;
    if (!read_number(percent ? text.substr(0, text.size() - 1) : text, value) ||
        !is_interval_level(percent ? value / 100.0 : value)) {
        throw std::runtime_error(
            with_decimal_hint(text,
                              "The interval level \"" + text +
                                  "\" is not a number above 0 and below 1 (or a percentage, 90%).",
                              false));
    }
    const double level = percent ? value / 100.0 : value;
    if (lower_percent(level) == upper_percent(level)) {
        throw std::runtime_error("The interval level \"" + text +
                                 "\" is too close to 0: the summary would name both of its bounds "
                                 "\"calibrated " +
                                 lower_percent(level) + "%\". Give a level such as 0.5 or 0.9.");
    }
    return level;
}

std::vector<double> parse_levels(const std::string& text) {
    std::vector<double> levels;
    for (const std::string& item : items(text)) {
        double level = 0.0;
        try {
            level = parse_level(item);
        } catch (const std::runtime_error& e) {
            rethrow_with_decimal_hint(text, e);
        }
        // A level given twice ("0.9, 90%") is one; two that the summary would name alike
        // ("0.9" and "0.9000001": "calibrated 5%") would give two columns of one name.
        const auto alike = std::find_if(levels.begin(), levels.end(), [&](double kept) {
            return lower_percent(kept) == lower_percent(level);
        });
        if (alike == levels.end()) {
            levels.push_back(level);
        } else if (*alike != level) {
            throw std::runtime_error("The interval levels " + shortest_text(*alike) + " and " +
                                     shortest_text(level) + " would both be named \"calibrated " +
                                     lower_percent(level) +
                                     "%\" in the summary: give one of them.");
        }
    }
    return levels.empty() ? std::vector<double>{0.95} : levels;
}

std::pair<std::string, double> parse_tolerance(const std::string& text) {
    const std::size_t equals = text.find('=');
    double half_width = 0.0;
    if (equals == std::string::npos || equals == 0 ||
        !read_number(text.substr(equals + 1), half_width) || !(half_width > 0.0)) {
        throw std::runtime_error(
            with_decimal_hint(text,
                              "The tolerance \"" + text +
                                  "\" is not PROPERTY=HALF_WIDTH with a half width above 0 "
                                  "(Carbon=0.2).",
                              false));
    }
    return {text.substr(0, equals), half_width};
}

std::map<std::string, double> parse_tolerances(const std::string& text) {
    std::map<std::string, double> tolerances;
    for (const std::string& item : items(text)) {
        std::pair<std::string, double> tolerance;
        try {
            tolerance = parse_tolerance(item);
        } catch (const std::runtime_error& e) {
            rethrow_with_decimal_hint(text, e);
        }
        if (!tolerances.insert(tolerance).second) {
            throw std::runtime_error("The tolerance of " + tolerance.first + " is given twice.");
        }
    }
    return tolerances;
}

} // namespace veldra
