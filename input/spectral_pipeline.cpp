#include "input/spectral_pipeline.h"

#include "text/first_derivative.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include <Eigen/Dense>

namespace veldra {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("The preprocessing " + what);
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last + 1 - first);
}

// Splits `text` at `separator`, each part trimmed.
std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.push_back(trimmed(text.substr(start, at - start)));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

double number(const std::string& text, const std::string& step) {
    double value = 0.0;
    const auto read = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || read.ec != std::errc() || read.ptr != text.data() + text.size() ||
        !std::isfinite(value)) {
        fail("step \"" + step + "\" needs numbers; \"" + text + "\" is not one.");
    }
    return value;
}

// The largest wavenumber a range may name; far above any infrared or visible spectrometer's.
constexpr double largest_wavenumber = 1e6;

// A wavenumber as the pipeline's text writes it: the shortest fixed-point text that reads back
// as the same number (never an exponent).
std::string wavenumber_text(double value) {
    char text[400]; // the longest fixed-point double below the largest wavenumber fits
    return std::string(
        text, std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr);
}

// One end of a wavenumber range: a plain number (digits, an optional decimal point) from 0 to the
// largest, as covariate names carry them. Signs and exponents are refused: "+" joins steps and "-"
// joins a range's ends, so "1e+05" or "-5" would not read back from the pipeline's text.
double wavenumber(const std::string& text, const std::string& step) {
    const bool plain = !text.empty() && text != "." &&
                       std::count(text.begin(), text.end(), '.') <= 1 &&
                       std::all_of(text.begin(), text.end(), [](char c) {
                           return std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '.';
                       });
    const double value = plain ? number(text, step) : -1.0;
    if (!(value >= 0.0 && value <= largest_wavenumber)) {
        fail("step \"" + step + "\" needs wavenumbers written as plain numbers from 0 to " +
             wavenumber_text(largest_wavenumber) + "; \"" + text + "\" is not one.");
    }
    return value;
}

int whole(const std::string& text, const std::string& step, int low, int high, const char* what) {
    const double value = number(text, step);
    if (value != std::floor(value) || value < low || value > high) {
        fail("step \"" + step + "\" needs " + what + " as a whole number from " +
             std::to_string(low) + " to " + std::to_string(high) + ", not " + text + ".");
    }
    return static_cast<int>(value);
}

PipelineStep parse_step(const std::string& text) {
    const std::size_t open = text.find('(');
    const std::string name = trimmed(text.substr(0, open));
    std::vector<std::string> arguments;
    if (open != std::string::npos) {
        if (text.back() != ')') {
            fail("step \"" + text + "\" lacks its closing parenthesis.");
        }
        arguments = split(text.substr(open + 1, text.size() - open - 2), ',');
    }
    const auto arity = [&](std::size_t count) {
        if (arguments.size() != count) {
            fail("step \"" + text + "\" takes " +
                 (count == 0 ? std::string("no arguments")
                             : std::to_string(count) + (count == 1 ? " argument" : " arguments")) +
                 ".");
        }
    };
    PipelineStep step;
    if (name == "snv" || name == "msc" || name == "first_der") {
        arity(0);
        step.kind = name == "snv"   ? PipelineStep::Kind::snv
                    : name == "msc" ? PipelineStep::Kind::msc
                                    : PipelineStep::Kind::first_derivative;
    } else if (name == "keep" || name == "drop") {
        step.kind = name == "keep" ? PipelineStep::Kind::keep : PipelineStep::Kind::drop;
        if (arguments.empty() || arguments.front().empty()) {
            fail("step \"" + text + "\" needs wavenumber ranges such as " + name + "(2400-2250).");
        }
        for (const std::string& range : arguments) {
            const std::size_t dash = range.find('-');
            if (dash == std::string::npos) {
                fail("step \"" + text + "\" needs ranges written A-B; \"" + range +
                     "\" is not one.");
            }
            const double a = wavenumber(trimmed(range.substr(0, dash)), text);
            const double b = wavenumber(trimmed(range.substr(dash + 1)), text);
            step.ranges.emplace_back(std::min(a, b), std::max(a, b));
        }
    } else if (name == "bin") {
        arity(1);
        step.kind = PipelineStep::Kind::bin;
        step.size = whole(arguments[0], text, 2, 1000, "the points per bin");
    } else if (name == "sg") {
        arity(3);
        step.kind = PipelineStep::Kind::savitzky_golay;
        step.window = whole(arguments[0], text, 3, 101, "the window");
        if (step.window % 2 == 0) {
            fail("step \"" + text + "\" needs an odd window, not " + arguments[0] + ".");
        }
        step.order =
            whole(arguments[1], text, 0, std::min(6, step.window - 1), "the polynomial order");
        step.derivative = whole(arguments[2], text, 0, std::min(2, step.order), "the derivative");
    } else {
        fail("step \"" + name +
             "\" is not one this version knows (keep, drop, bin, snv, msc, sg, first_der).");
    }
    return step;
}

std::string step_text(const PipelineStep& step) {
    switch (step.kind) {
    case PipelineStep::Kind::snv:
        return "snv";
    case PipelineStep::Kind::msc:
        return "msc";
    case PipelineStep::Kind::first_derivative:
        return "first_der";
    case PipelineStep::Kind::bin:
        return "bin(" + std::to_string(step.size) + ")";
    case PipelineStep::Kind::savitzky_golay:
        return "sg(" + std::to_string(step.window) + "," + std::to_string(step.order) + "," +
               std::to_string(step.derivative) + ")";
    case PipelineStep::Kind::keep:
    case PipelineStep::Kind::drop: {
        std::string out = step.kind == PipelineStep::Kind::keep ? "keep(" : "drop(";
        for (std::size_t r = 0; r < step.ranges.size(); ++r) {
            out += (r == 0 ? "" : ",") + wavenumber_text(step.ranges[r].second) + "-" +
                   wavenumber_text(step.ranges[r].first);
        }
        return out + ")";
    }
    }
    return std::string();
}

double mean_of(const double* values, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sum += values[i];
    }
    return sum / static_cast<double>(n);
}

// The points a keep or drop step leaves of `points`, and their places among them in `columns`.
std::vector<double> kept_points(const PipelineStep& step, const std::vector<double>& points,
                                std::vector<std::size_t>& columns) {
    std::vector<double> kept;
    for (std::size_t j = 0; j < points.size(); ++j) {
        bool inside = false;
        for (const auto& [low, high] : step.ranges) {
            inside = inside || (points[j] >= low && points[j] <= high);
        }
        if (inside == (step.kind == PipelineStep::Kind::keep)) {
            columns.push_back(j);
            kept.push_back(points[j]);
        }
    }
    return kept;
}

} // namespace

std::vector<double> savitzky_golay_weights(int window, int order, int derivative, int position) {
    const int half = (window - 1) / 2;
    Eigen::MatrixXd powers(window, order + 1);
    for (int i = 0; i < window; ++i) {
        for (int k = 0; k <= order; ++k) {
            powers(i, k) = std::pow(static_cast<double>(i - half), k);
        }
    }
    // Least-squares coefficients of the polynomial, one column of weights per point.
    const Eigen::MatrixXd fit =
        powers.colPivHouseholderQr().solve(Eigen::MatrixXd::Identity(window, window));
    const double t = static_cast<double>(position - half);
    std::vector<double> weights(static_cast<std::size_t>(window), 0.0);
    for (int k = derivative; k <= order; ++k) {
        double factor = 1.0; // k! / (k - d)!, times t^(k - d)
        for (int j = 0; j < derivative; ++j) {
            factor *= static_cast<double>(k - j);
        }
        factor *= std::pow(t, k - derivative);
        for (int i = 0; i < window; ++i) {
            weights[static_cast<std::size_t>(i)] += factor * fit(k, i);
        }
    }
    return weights;
}

const std::vector<std::string>& automatic_pipelines() {
    static const std::vector<std::string> pipelines = {
        "first_der",  "sg(21,2,0)+first_der", "sg(11,2,1)",
        "sg(21,2,2)", "snv+sg(21,2,1)",       "msc+sg(21,2,1)",
    };
    return pipelines;
}

std::vector<std::string> pipeline_candidates(const std::string& text) {
    std::vector<std::string> candidates;
    for (const std::string& item : split(text, ';')) {
        if (!item.empty()) {
            candidates.push_back(item == "auto" ? item : SpectralPipeline(item).text());
        }
    }
    if (candidates.empty()) {
        fail("is empty: give a pipeline, several separated by ;, or auto.");
    }
    return candidates;
}

SpectralPipeline::SpectralPipeline(const std::string& text) {
    const std::string whole_text = trimmed(text);
    if (whole_text == "none") {
        return;
    }
    if (whole_text.empty()) {
        fail("is empty: give steps such as sg(21,2,1)+snv, or none.");
    }
    // "+" separates steps; inside parentheses it would be a sign, which no argument takes.
    std::vector<std::string> parts(1);
    std::size_t part_start = 0;
    int depth = 0;
    for (std::size_t i = 0; i < whole_text.size(); ++i) {
        const char c = whole_text[i];
        depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        if (c == '+' && depth > 0) {
            const std::size_t end = whole_text.find(')', i);
            fail("step \"" +
                 trimmed(whole_text.substr(part_start,
                                           end == std::string::npos ? end : end + 1 - part_start)) +
                 "\" holds a sign: its numbers are written without one, as in sg(21,2,1).");
        }
        if (c == '+' && depth <= 0) {
            parts.emplace_back();
            part_start = i + 1;
        } else {
            parts.back() += c;
        }
    }
    for (const std::string& part : parts) {
        if (trimmed(part).empty()) {
            fail("\"" + whole_text + "\" has an empty step.");
        }
        steps_.push_back(parse_step(trimmed(part)));
    }
}

std::string SpectralPipeline::text() const {
    if (steps_.empty()) {
        return "none";
    }
    std::string out;
    for (const PipelineStep& step : steps_) {
        out += (out.empty() ? "" : "+") + step_text(step);
    }
    return out;
}

bool SpectralPipeline::needs_references() const {
    return std::any_of(steps_.begin(), steps_.end(), [](const PipelineStep& step) {
        return step.kind == PipelineStep::Kind::msc;
    });
}

void SpectralPipeline::prepare(const std::vector<double>& wavenumbers, std::size_t width) {
    plans_.clear();
    std::vector<double> points = wavenumbers.size() == width ? wavenumbers : std::vector<double>();
    std::size_t current = width;
    std::size_t references = 0;
    for (const PipelineStep& step : steps_) {
        Plan plan;
        plan.in = current;
        const std::string name = "step \"" + step_text(step) + "\"";
        switch (step.kind) {
        case PipelineStep::Kind::keep:
        case PipelineStep::Kind::drop: {
            if (points.empty()) {
                fail(name + " needs covariate names that end in wavenumbers (such as wn_3799).");
            }
            points = kept_points(step, points, plan.columns);
            plan.out = plan.columns.size();
            break;
        }
        case PipelineStep::Kind::bin: {
            const std::size_t size = static_cast<std::size_t>(step.size);
            std::vector<double> centres;
            for (std::size_t first = 0; first < current; first += size) {
                const std::size_t count = std::min(size, current - first);
                plan.bins.emplace_back(first, count);
                if (!points.empty()) {
                    centres.push_back(mean_of(points.data() + first, count));
                }
            }
            points = centres;
            plan.out = plan.bins.size();
            break;
        }
        case PipelineStep::Kind::savitzky_golay: {
            const std::size_t window = static_cast<std::size_t>(step.window);
            if (current < window) {
                fail(name + " needs at least " + std::to_string(window) + " points; it gets " +
                     std::to_string(current) + ".");
            }
            const int half = (step.window - 1) / 2;
            plan.centre = savitzky_golay_weights(step.window, step.order, step.derivative, half);
            for (int position = 0; position < step.window; ++position) {
                plan.edges.push_back(
                    savitzky_golay_weights(step.window, step.order, step.derivative, position));
            }
            plan.out = current;
            break;
        }
        case PipelineStep::Kind::msc:
            plan.reference = references++;
            plan.out = current;
            break;
        case PipelineStep::Kind::snv:
        case PipelineStep::Kind::first_derivative:
            plan.out = current;
            break;
        }
        if (plan.out == 0) {
            fail(name + " leaves no point of the spectrum.");
        }
        if ((step.kind == PipelineStep::Kind::snv || step.kind == PipelineStep::Kind::msc) &&
            plan.out < 2) {
            fail(name + " needs at least 2 points.");
        }
        current = plan.out;
        plans_.push_back(std::move(plan));
    }
    output_width_ = current;
    output_wavenumbers_ = points;
}

void SpectralPipeline::fit(const std::vector<std::vector<double>>& rows) {
    references_.clear();
    std::vector<double> a;
    std::vector<double> b;
    std::vector<std::vector<double>> sums;
    for (std::size_t s = 0; s < steps_.size(); ++s) {
        if (steps_[s].kind == PipelineStep::Kind::msc) {
            sums.emplace_back(plans_[s].in, 0.0);
        }
    }
    // The references are fitted in order: the rows reach each MSC step through the references
    // before it.
    for (std::size_t r = 0; r < sums.size(); ++r) {
        std::vector<double>& sum = sums[r];
        for (const std::vector<double>& row : rows) {
            a.assign(row.begin(), row.end());
            std::size_t seen = 0;
            for (std::size_t s = 0; s < steps_.size(); ++s) {
                if (steps_[s].kind == PipelineStep::Kind::msc && seen++ == r) {
                    for (std::size_t j = 0; j < a.size(); ++j) {
                        sum[j] += a[j];
                    }
                    break;
                }
                apply_step(s, a, b);
                a.swap(b);
            }
        }
        for (double& value : sum) {
            value /= static_cast<double>(std::max<std::size_t>(rows.size(), 1));
        }
        references_.push_back(sum);
    }
}

void SpectralPipeline::set_references(std::vector<std::vector<double>> references) {
    // Checked before they replace the references in use: a refused set leaves the pipeline
    // as it was.
    references.swap(references_);
    try {
        check_references();
    } catch (...) {
        references.swap(references_);
        throw;
    }
}

void SpectralPipeline::check_references() const {
    std::size_t r = 0;
    for (std::size_t s = 0; s < steps_.size(); ++s) {
        if (steps_[s].kind != PipelineStep::Kind::msc) {
            continue;
        }
        if (r >= references_.size() || references_[r].size() != plans_[s].in) {
            fail("step \"msc\" needs a reference spectrum of " + std::to_string(plans_[s].in) +
                 " points; the model holds none that fits.");
        }
        ++r;
    }
    if (r != references_.size()) {
        fail("holds " + std::to_string(references_.size()) + " reference spectra for " +
             std::to_string(r) + " msc steps.");
    }
}

void SpectralPipeline::apply(const double* row, std::vector<double>& out,
                             std::vector<double>& scratch) const {
    out.assign(row, row + (plans_.empty() ? output_width_ : plans_.front().in));
    for (std::size_t s = 0; s < steps_.size(); ++s) {
        apply_step(s, out, scratch);
        out.swap(scratch);
    }
}

void SpectralPipeline::apply_step(std::size_t s, const std::vector<double>& in,
                                  std::vector<double>& out) const {
    const PipelineStep& step = steps_[s];
    const Plan& plan = plans_[s];
    const std::size_t n = plan.in;
    out.resize(plan.out);
    switch (step.kind) {
    case PipelineStep::Kind::keep:
    case PipelineStep::Kind::drop:
        for (std::size_t j = 0; j < plan.columns.size(); ++j) {
            out[j] = in[plan.columns[j]];
        }
        return;
    case PipelineStep::Kind::bin:
        for (std::size_t j = 0; j < plan.bins.size(); ++j) {
            out[j] = mean_of(in.data() + plan.bins[j].first, plan.bins[j].second);
        }
        return;
    case PipelineStep::Kind::snv: {
        const double mean = mean_of(in.data(), n);
        double squares = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            squares += (in[j] - mean) * (in[j] - mean);
        }
        // A flat spectrum (a failed measurement) stays centred, all 0, rather than becoming
        // NaN, which the forests would send down one side unnoticed; its domain flags it.
        const double deviation = std::sqrt(squares / static_cast<double>(n - 1));
        const double scale = deviation > 0.0 ? 1.0 / deviation : 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            out[j] = (in[j] - mean) * scale;
        }
        return;
    }
    case PipelineStep::Kind::msc: {
        const std::vector<double>& reference = references_[plan.reference];
        const double mean_x = mean_of(in.data(), n);
        const double mean_m = mean_of(reference.data(), n);
        double covariance = 0.0;
        double variance = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            covariance += (in[j] - mean_x) * (reference[j] - mean_m);
            variance += (reference[j] - mean_m) * (reference[j] - mean_m);
        }
        // A spectrum with no share of the reference's shape (slope 0) keeps its offset removed
        // and is not scaled, for the same reason.
        const double slope = variance > 0.0 ? covariance / variance : 0.0;
        const double intercept = mean_x - slope * mean_m;
        const double scale = slope != 0.0 && std::isfinite(1.0 / slope) ? 1.0 / slope : 1.0;
        for (std::size_t j = 0; j < n; ++j) {
            out[j] = (in[j] - intercept) * scale;
        }
        return;
    }
    case PipelineStep::Kind::savitzky_golay: {
        const std::size_t window = plan.centre.size();
        const std::size_t half = (window - 1) / 2;
        const auto weighted = [&](const std::vector<double>& weights, std::size_t first) {
            double sum = 0.0;
            for (std::size_t i = 0; i < window; ++i) {
                sum += weights[i] * in[first + i];
            }
            return sum;
        };
        for (std::size_t j = 0; j < n; ++j) {
            if (j < half) {
                out[j] = weighted(plan.edges[j], 0);
            } else if (j + half >= n) {
                out[j] = weighted(plan.edges[window - (n - j)], n - window);
            } else {
                out[j] = weighted(plan.centre, j - half);
            }
        }
        return;
    }
    case PipelineStep::Kind::first_derivative:
        first_derivative(in.data(), n, out.data());
        return;
    }
}

} // namespace veldra
