#include "models/calibration_domain.h"

#include "models/model_digest.h"
#include "models/model_open.h"
#include "text/platform.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <boost/filesystem/operations.hpp>
#include <nlohmann/json.hpp>

namespace veldra {

const char* const domain_file_name = "domain.json";
const char* const input_domain_file_name = "input_domain.json";

namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& name, const std::string& what) {
    throw std::runtime_error("The domain file \"" + name + "\" " + what);
}

// The scores of four neighbouring components from `first` on: each summed over the covariates
// in their order, as one component alone would be, but side by side, so that the sums do not
// wait on one another (the same bits, several times as fast).
void score_four_components(const CalibrationDomain& domain, std::size_t first,
                           const std::vector<double>& centred, double* scores) {
    const double* const a = domain.components[first].data();
    const double* const b = domain.components[first + 1].data();
    const double* const c = domain.components[first + 2].data();
    const double* const d = domain.components[first + 3].data();
    double ta = 0.0;
    double tb = 0.0;
    double tc = 0.0;
    double td = 0.0;
    for (std::size_t j = 0; j < centred.size(); ++j) {
        const double x = centred[j];
        ta += a[j] * x;
        tb += b[j] * x;
        tc += c[j] * x;
        td += d[j] * x;
    }
    scores[first] = ta;
    scores[first + 1] = tb;
    scores[first + 2] = tc;
    scores[first + 3] = td;
}

double score_component(const std::vector<double>& loading, const std::vector<double>& centred) {
    double t = 0.0;
    for (std::size_t j = 0; j < centred.size(); ++j) {
        t += loading[j] * centred[j];
    }
    return t;
}

} // namespace

DomainProjection project_on_domain(const CalibrationDomain& domain, const double* row) {
    DomainProjection projection;
    std::vector<double>& centred = projection.centred;
    centred.resize(domain.center.size());
    for (std::size_t j = 0; j < centred.size(); ++j) {
        centred[j] = row[j] - domain.center[j];
    }
    const std::size_t components = domain.components.size();
    projection.scores.resize(components);
    std::size_t c = 0;
    for (; c + 4 <= components; c += 4) {
        score_four_components(domain, c, centred, projection.scores.data());
    }
    for (; c < components; ++c) {
        projection.scores[c] = score_component(domain.components[c], centred);
    }
    // Summed here, not while centring: a sum kept across the calls above lives in memory.
    double total = 0.0;
    for (const double x : centred) {
        total += x * x;
    }
    double explained = 0.0;
    for (c = 0; c < components; ++c) {
        const double t = projection.scores[c];
        projection.score.t2 += t * t / domain.variances[c];
        explained += t * t;
    }
    DomainScore& score = projection.score;
    score.q = std::max(0.0, total - explained);
    score.outside = !(score.t2 <= domain.t2_limit) || !(score.q <= domain.q_limit);
    return projection;
}

DomainScore score_in_domain(const CalibrationDomain& domain, const double* row) {
    return project_on_domain(domain, row).score;
}

namespace {

// Scores are projections on the components: rows that are scaled, repeated or zero would give
// every spectrum a wrong T² and Q, so they are refused, within a tolerance far above rounding.
void check_orthonormal(const std::vector<std::vector<double>>& components,
                       const std::string& name) {
    constexpr double tolerance = 1e-6;
    for (std::size_t a = 0; a < components.size(); ++a) {
        for (std::size_t b = a; b < components.size(); ++b) {
            double dot = 0.0;
            for (std::size_t j = 0; j < components[a].size(); ++j) {
                dot += components[a][j] * components[b][j];
            }
            if (std::abs(dot - (a == b ? 1.0 : 0.0)) > tolerance) {
                fail(name, "needs orthonormal \"components\" (each of length 1 and at right "
                           "angles to the others, within 1e-6): " +
                               (a == b ? "component " + std::to_string(a + 1) + " has length " +
                                             std::to_string(std::sqrt(dot)) + "."
                                       : "components " + std::to_string(a + 1) + " and " +
                                             std::to_string(b + 1) + " are not at right angles."));
            }
        }
    }
}

} // namespace

namespace {

// The parts of a domain file as read, before they are checked. A value of the wrong kind is
// noted with its key, so that the checks give the same messages whatever the file's order.
struct DomainParts {
    std::optional<std::uint64_t> covariates;
    bool covariates_bad = false;
    std::optional<std::vector<double>> center;
    std::optional<std::vector<double>> variances;
    std::optional<std::vector<std::vector<double>>> components;
    std::optional<double> t2_limit;
    std::optional<double> q_limit;
    std::string not_a_number; // the key of a value that is not a finite number
    std::string wrong_shape;  // the key of an array holding a list or an object where a number
                              // belongs, or of a number where a list belongs
    bool too_many_components = false;
};

// Reads a domain file's JSON as events, keeping only what a domain is made of, straight into
// doubles: other keys cost nothing, and the file's numbers at most 8 bytes each, so a file
// within its bound never costs more than a few times its size.
class DomainReader : public nlohmann::json_sax<json> {
public:
    explicit DomainReader(DomainParts& parts) : parts_(parts) {}

    bool null() override { return other(); }
    bool boolean(bool) override { return other(); }
    bool number_integer(number_integer_t value) override {
        return number(static_cast<double>(value), false);
    }
    bool number_unsigned(number_unsigned_t value) override {
        if (depth_ == 1 && key_ == "covariates") {
            parts_.covariates = value;
            return true;
        }
        return number(static_cast<double>(value), false);
    }
    bool number_float(number_float_t value, const string_t&) override {
        return number(value, true);
    }
    bool string(string_t&) override { return other(); }
    bool binary(binary_t&) override { return other(); }
    bool start_object(std::size_t) override {
        if (depth_ >= 1 && wanted()) {
            other();
        }
        ++depth_;
        kinds_.push_back('o');
        return true;
    }
    bool end_object() override {
        --depth_;
        kinds_.pop_back();
        return true;
    }
    bool key(string_t& key) override {
        if (depth_ == 1) {
            key_ = key;
        }
        return true;
    }
    bool start_array(std::size_t) override {
        ++depth_;
        kinds_.push_back('a');
        if (depth_ == 2 && (key_ == "center" || key_ == "variances")) {
            list().emplace();
        } else if (depth_ == 2 && key_ == "components") {
            parts_.components.emplace();
        } else if (depth_ == 3 && key_ == "components" && within_arrays(2)) {
            if (parts_.components->size() == largest_domain_components) {
                parts_.too_many_components = true;
                return false;
            }
            parts_.components->emplace_back();
        } else if (wanted()) {
            note(parts_.wrong_shape);
        }
        return true;
    }
    bool end_array() override {
        --depth_;
        kinds_.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool wanted() const {
        return key_ == "covariates" || key_ == "center" || key_ == "variances" ||
               key_ == "components" || key_ == "t2_limit" || key_ == "q_limit";
    }
    std::optional<std::vector<double>>& list() {
        return key_ == "center" ? parts_.center : parts_.variances;
    }
    void note(std::string& what) {
        if (what.empty()) {
            what = key_;
        }
    }
    // A value that is neither a number nor a list where a domain's part is expected.
    bool other() {
        if (depth_ == 1 && key_ == "covariates") {
            parts_.covariates_bad = true;
        } else if (depth_ >= 1 && wanted()) {
            note(parts_.not_a_number);
        }
        return true;
    }
    bool number(double value, bool) {
        if (!std::isfinite(value) && wanted() && depth_ >= 1) {
            note(parts_.not_a_number);
            return true;
        }
        if (depth_ == 1) {
            if (key_ == "covariates") {
                parts_.covariates_bad = true;
            } else if (key_ == "t2_limit") {
                parts_.t2_limit = value;
            } else if (key_ == "q_limit") {
                parts_.q_limit = value;
            } else if (wanted()) {
                note(parts_.wrong_shape);
            }
        } else if (depth_ == 2 && (key_ == "center" || key_ == "variances") && within_arrays(1) &&
                   list()) {
            list()->push_back(value);
        } else if (depth_ == 3 && key_ == "components" && within_arrays(2) && parts_.components &&
                   !parts_.components->empty()) {
            parts_.components->back().push_back(value);
        } else if (depth_ == 2 && key_ == "components") {
            note(parts_.wrong_shape);
        }
        return true;
    }

    // Whether the value at hand sits in `levels` arrays directly below the top object: a list
    // inside an object inside "center" is no part of the domain.
    bool within_arrays(std::size_t levels) const {
        if (kinds_.size() != levels + 1) {
            return false;
        }
        return std::all_of(kinds_.begin() + 1, kinds_.end(), [](char kind) { return kind == 'a'; });
    }

    DomainParts& parts_;
    std::vector<char> kinds_; // 'o' or 'a' for every container open, outermost first
    std::size_t depth_ = 0;
    std::string key_;
};

// A domain file exactly as `domain_document` writes it (its keys in its order, no white space
// before the end, strings of plain printable characters, numbers in JSON's grammar) read in one
// pass straight into doubles, several times faster than the events above. Anything else is left
// to them: false, and every file is read to the same parts either way (tested), so a damaged one
// is told the same.
class WrittenDomain {
public:
    explicit WrittenDomain(const std::string& text)
        : p_(text.data()), end_(text.data() + text.size()) {}

    bool read(DomainParts& parts) {
        std::uint64_t covariates = 0;
        double t2_limit = 0.0;
        double q_limit = 0.0;
        std::vector<double> variances;
        std::vector<double> center;
        std::vector<std::vector<double>> components;
        if (!literal("{\"format\":") || !plain_string() || !literal(",\"rule\":") ||
            !plain_string() || !literal(",\"covariates\":") || !whole(covariates) ||
            !literal(",\"t2_limit\":") || !number(t2_limit) || !literal(",\"q_limit\":") ||
            !number(q_limit) || !literal(",\"variances\":") || !list(variances) ||
            !literal(",\"center\":") || !list(center) || !literal(",\"components\":[")) {
            return false;
        }
        do {
            if (components.size() == largest_domain_components) {
                return false;
            }
            components.emplace_back().reserve(center.size());
            if (!list(components.back())) {
                return false;
            }
        } while (literal(","));
        if (!literal("]}")) {
            return false;
        }
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) {
            ++p_;
        }
        if (p_ != end_) {
            return false;
        }
        parts.covariates = covariates;
        parts.t2_limit = t2_limit;
        parts.q_limit = q_limit;
        parts.variances = std::move(variances);
        parts.center = std::move(center);
        parts.components = std::move(components);
        return true;
    }

private:
    bool literal(std::string_view text) {
        if (static_cast<std::size_t>(end_ - p_) < text.size() ||
            std::memcmp(p_, text.data(), text.size()) != 0) {
            return false;
        }
        p_ += text.size();
        return true;
    }
    bool plain_string() {
        if (p_ == end_ || *p_ != '"') {
            return false;
        }
        for (++p_; p_ != end_ && *p_ != '"'; ++p_) {
            if (*p_ < 0x20 || *p_ > 0x7e || *p_ == '\\') {
                return false;
            }
        }
        return p_ != end_ && *p_++ == '"';
    }
    static bool digit(char c) { return c >= '0' && c <= '9'; }
    // Digits without a leading zero (but "0" itself), and no sign.
    bool whole(std::uint64_t& value) {
        const char* const first = p_;
        while (p_ != end_ && digit(*p_)) {
            ++p_;
        }
        const std::size_t length = static_cast<std::size_t>(p_ - first);
        if (length == 0 || length > 18 || (length > 1 && *first == '0')) {
            return false;
        }
        return std::from_chars(first, p_, value).ec == std::errc();
    }
    // A number as JSON writes it. The integer "-0" is left to the events, which read it as the
    // integer 0, and so is a number out of a double's range.
    bool number(double& value) {
        const char* const first = p_;
        if (p_ != end_ && *p_ == '-') {
            ++p_;
        }
        const char* const digits = p_;
        while (p_ != end_ && digit(*p_)) {
            ++p_;
        }
        const std::size_t length = static_cast<std::size_t>(p_ - digits);
        if (length == 0 || (length > 1 && *digits == '0')) {
            return false;
        }
        bool integer = true;
        if (p_ != end_ && *p_ == '.') {
            integer = false;
            const char* const fraction = ++p_;
            while (p_ != end_ && digit(*p_)) {
                ++p_;
            }
            if (p_ == fraction) {
                return false;
            }
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            integer = false;
            if (++p_ != end_ && (*p_ == '+' || *p_ == '-')) {
                ++p_;
            }
            const char* const exponent = p_;
            while (p_ != end_ && digit(*p_)) {
                ++p_;
            }
            if (p_ == exponent) {
                return false;
            }
        }
        if (integer && *first == '-' && *digits == '0') {
            return false;
        }
        const std::from_chars_result read = std::from_chars(first, p_, value);
        return read.ec == std::errc() && read.ptr == p_ && std::isfinite(value);
    }
    bool list(std::vector<double>& values) {
        if (!literal("[")) {
            return false;
        }
        if (literal("]")) {
            return true;
        }
        do {
            double value = 0.0;
            if (!number(value)) {
                return false;
            }
            values.push_back(value);
        } while (literal(","));
        return literal("]");
    }

    const char* p_;
    const char* const end_;
};

double positive(const std::optional<double>& value, const char* key, const std::string& name) {
    if (!value) {
        fail(name, std::string("has no \"") + key + "\".");
    }
    if (!(*value > 0.0)) {
        fail(name, std::string("needs \"") + key + "\" above 0.");
    }
    return *value;
}

std::vector<double> sized(std::optional<std::vector<double>>& values, const char* key,
                          std::size_t size, const std::string& name) {
    if (!values || values->size() != size) {
        fail(name, std::string("needs \"") + key + "\" as a list of " + std::to_string(size) +
                       " numbers.");
    }
    return std::move(*values);
}

} // namespace

CalibrationDomain parse_calibration_domain(const std::string& text, const std::string& name) {
    DomainParts parts;
    bool parsed = WrittenDomain(text).read(parts);
    if (!parsed) {
        parts = DomainParts();
        DomainReader reader(parts);
        parsed = json::sax_parse(text, &reader, nlohmann::json::input_format_t::json, false);
    }
    if (parts.too_many_components) {
        fail(name, "needs \"components\" as a list of 1 to " +
                       std::to_string(largest_domain_components) + " loadings.");
    }
    if (!parsed || text.find_first_not_of(" \t\r\n") == std::string::npos ||
        text[text.find_first_not_of(" \t\r\n")] != '{') {
        fail(name, "is not a JSON object.");
    }
    if (!parts.not_a_number.empty()) {
        fail(name, "holds a value of \"" + parts.not_a_number + "\" that is not a finite number.");
    }
    if (!parts.covariates || parts.covariates_bad || *parts.covariates == 0 ||
        *parts.covariates > 10000000) {
        fail(name, "needs \"covariates\" as a whole number from 1 to 10000000.");
    }
    const std::size_t width = static_cast<std::size_t>(*parts.covariates);
    CalibrationDomain domain;
    domain.center = sized(parts.center, "center", width, name);
    if (!parts.components || parts.components->empty() || parts.wrong_shape == "components") {
        fail(name, "needs \"components\" as a list of 1 to " +
                       std::to_string(largest_domain_components) + " loadings.");
    }
    domain.variances = sized(parts.variances, "variances", parts.components->size(), name);
    for (const double variance : domain.variances) {
        if (!(variance > 0.0)) {
            fail(name, "needs every value of \"variances\" above 0.");
        }
    }
    for (const std::vector<double>& row : *parts.components) {
        if (row.size() != width) {
            fail(name, "needs every row of \"components\" as a list of " + std::to_string(width) +
                           " numbers.");
        }
    }
    domain.components = std::move(*parts.components);
    check_orthonormal(domain.components, name);
    domain.t2_limit = positive(parts.t2_limit, "t2_limit", name);
    domain.q_limit = positive(parts.q_limit, "q_limit", name);
    return domain;
}

std::optional<CalibrationDomain> read_calibration_domain(const boost::filesystem::path& folder,
                                                         const std::string& name,
                                                         std::string* digest) {
    const boost::filesystem::path file = folder / name;
    boost::system::error_code error;
    if (!boost::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    if (boost::filesystem::file_size(file, error) > largest_domain_bytes || error) {
        fail(file.string(),
             "is larger than " + std::to_string(largest_domain_bytes >> 20) + " MB.");
    }
    const std::string text = read_at_most(file.string(), largest_domain_bytes);
    if (text.size() > largest_domain_bytes) {
        fail(file.string(),
             "is larger than " + std::to_string(largest_domain_bytes >> 20) + " MB.");
    }
    if (digest != nullptr) {
        *digest = bytes_digest(text);
    }
    return parse_calibration_domain(text, file.string());
}

std::string domain_document(const CalibrationDomain& domain) {
    nlohmann::ordered_json document;
    document["format"] = "veldra calibration domain 1";
    document["rule"] = "principal components explaining 99% of the variance (at most 20); "
                       "99% limits of a scaled chi-square fitted to out-of-sample scores "
                       "(10 folds)";
    document["covariates"] = domain.center.size();
    document["t2_limit"] = domain.t2_limit;
    document["q_limit"] = domain.q_limit;
    document["variances"] = domain.variances;
    document["center"] = domain.center;
    document["components"] = domain.components;
    return document.dump() + "\n";
}

} // namespace veldra
