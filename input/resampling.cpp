#include "input/resampling.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <stdexcept>

namespace veldra {

namespace {

bool strictly_monotone(const std::vector<double>& axis) {
    if (axis.size() < 2) {
        return false;
    }
    const bool rising = axis[1] > axis[0];
    for (std::size_t k = 1; k < axis.size(); ++k) {
        const bool step_rises = axis[k] > axis[k - 1];
        if (!std::isfinite(axis[k]) || axis[k] == axis[k - 1] || step_rises != rising) {
            return false;
        }
    }
    return std::isfinite(axis[0]);
}

// The interval a target point speaks for: halfway to each neighbour, mirrored at the ends.
void interval_of(const std::vector<double>& target, std::size_t j, double& low, double& high) {
    const std::size_t n = target.size();
    const double before =
        j > 0 ? (target[j - 1] + target[j]) / 2.0 : target[0] - (target[1] - target[0]) / 2.0;
    const double after = j + 1 < n ? (target[j] + target[j + 1]) / 2.0
                                   : target[n - 1] + (target[n - 1] - target[n - 2]) / 2.0;
    low = std::min(before, after);
    high = std::max(before, after);
}

const char* const bad_axes = "Spectra can only be resampled between axes of at least two "
                             "strictly rising or falling wavenumbers.";

} // namespace

bool same_axis(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (!(std::fabs(a[k] - b[k]) <= same_wavenumber_distance)) {
            return false;
        }
    }
    return true;
}

std::string axis_text(const std::vector<double>& axis) {
    if (axis.empty()) {
        return "no points";
    }
    char text[128];
    std::snprintf(text, sizeof text, "%.2f–%.2f cm-1, ", axis.front(), axis.back());
    return text + std::to_string(axis.size()) + " points";
}

namespace {

// Refuses a target point beyond the source's range by more than half its own step (so that the
// source still covers half its interval): two instruments of one model differ in their axes by
// such fractions of a step.
void check_coverage(const std::vector<double>& source, const std::vector<double>& target,
                    double smallest, double largest) {
    for (std::size_t j = 0; j < target.size(); ++j) {
        double low = 0;
        double high = 0;
        interval_of(target, j, low, high);
        const double reach = std::max(same_wavenumber_distance, (high - low) / 2.0);
        if (target[j] < smallest - reach || target[j] > largest + reach) {
            throw std::runtime_error("The spectra cover " + axis_text(source) +
                                     "; they cannot be resampled onto " + axis_text(target) +
                                     " without extrapolating.");
        }
    }
}

// The source's step at `at` (within its range): the width of the segment holding it.
double step_at(const std::vector<double>& x, double at) {
    std::size_t k = static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), at) - x.begin());
    k = k == 0 ? 0 : std::min(k - 1, x.size() - 2);
    return x[k + 1] - x[k];
}

// The window of target point j (see SpectrumResampler): its interval shrunk towards the point by
// sqrt(1 - 2 (s / t)^2), then cut to [smallest, largest] on both sides alike so that it stays
// centred on its point. Empty (low == high) for plain interpolation or a point on the edge.
void window_of(const std::vector<double>& target, std::size_t j, const std::vector<double>& x,
               double& low, double& high) {
    interval_of(target, j, low, high);
    const double point = std::clamp(target[j], x.front(), x.back());
    const double ratio = step_at(x, point) / (high - low);
    const double share = std::sqrt(std::max(0.0, 1.0 - 2.0 * ratio * ratio));
    const double below = (target[j] - low) * share;
    const double above = (high - target[j]) * share;
    low = target[j] - below;
    high = target[j] + above;
    if (low < x.front() || high > x.back()) {
        const double half =
            std::max(0.0, std::min({below, above, target[j] - x.front(), x.back() - target[j]}));
        low = target[j] - half;
        high = target[j] + half;
    }
}

} // namespace

SpectrumResampler::SpectrumResampler(const std::vector<double>& source,
                                     const std::vector<double>& target)
    : source_size_(source.size()) {
    if (source.size() < 2 || !strictly_monotone(target)) {
        throw std::runtime_error(bad_axes);
    }
    order_.resize(source.size());
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::sort(order_.begin(), order_.end(),
              [&](std::size_t a, std::size_t b) { return source[a] < source[b]; });
    std::vector<double> x(source.size());
    for (std::size_t k = 0; k < source.size(); ++k) {
        x[k] = source[order_[k]];
        if (!std::isfinite(x[k]) || (k > 0 && x[k] == x[k - 1])) {
            throw std::runtime_error(bad_axes);
        }
    }
    if (try_reordering(x, target)) {
        return;
    }
    check_coverage(source, target, x.front(), x.back());
    first_.reserve(target.size() + 1);
    for (std::size_t j = 0; j < target.size(); ++j) {
        first_.push_back(indices_.size());
        double low = 0;
        double high = 0;
        window_of(target, j, x, low, high);
        if (high > low) {
            add_interval(x, low, high);
        } else {
            add_point(x, std::clamp(target[j], x.front(), x.back()));
        }
    }
    first_.push_back(indices_.size());
}

// The same wavenumbers in another order: each target point takes its own source value, whole.
bool SpectrumResampler::try_reordering(const std::vector<double>& x,
                                       const std::vector<double>& target) {
    if (target.size() != x.size()) {
        return false;
    }
    const bool falling = target.front() > target.back();
    const std::size_t n = target.size();
    for (std::size_t j = 0; j < n; ++j) {
        if (!(std::fabs(target[falling ? n - 1 - j : j] - x[j]) <= same_wavenumber_distance)) {
            return false;
        }
    }
    reorders_ = true;
    indices_.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        indices_[j] = order_[falling ? n - 1 - j : j];
    }
    weights_.assign(n, 1.0);
    first_.resize(n + 1);
    std::iota(first_.begin(), first_.end(), std::size_t{0});
    return true;
}

void SpectrumResampler::add(std::size_t point, double weight) {
    if (weight == 0.0) {
        return; // a point without a value must not reach a target point it has no share in
    }
    const std::size_t index = order_[point];
    if (indices_.size() > first_.back() && indices_.back() == index) {
        weights_.back() += weight;
    } else {
        indices_.push_back(index);
        weights_.push_back(weight);
    }
}

void SpectrumResampler::add_point(const std::vector<double>& x, double at) {
    std::size_t k = static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), at) - x.begin());
    k = k == 0 ? 0 : std::min(k - 1, x.size() - 2);
    const double u = (at - x[k]) / (x[k + 1] - x[k]);
    add(k, 1.0 - u);
    add(k + 1, u);
}

void SpectrumResampler::add_interval(const std::vector<double>& x, double low, double high) {
    const double width = high - low;
    // The segment [x[k], x[k + 1]] holding `low`.
    std::size_t k = static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), low) - x.begin());
    k = k == 0 ? 0 : std::min(k - 1, x.size() - 2);
    for (; k + 1 < x.size() && x[k] < high; ++k) {
        const double u = std::max(low, x[k]);
        const double v = std::min(high, x[k + 1]);
        if (!(v > u)) {
            continue;
        }
        const double h = x[k + 1] - x[k];
        // The integral of the linear curve over [u, v], split between its two ends.
        const double left =
            ((x[k + 1] - u) * (x[k + 1] - u) - (x[k + 1] - v) * (x[k + 1] - v)) / (2.0 * h);
        const double right = ((v - x[k]) * (v - x[k]) - (u - x[k]) * (u - x[k])) / (2.0 * h);
        add(k, left / width);
        add(k + 1, right / width);
    }
}

void SpectrumResampler::resample(const double* values, double* out) const {
    const std::size_t n = target_size();
    if (reorders_) {
        for (std::size_t j = 0; j < n; ++j) {
            out[j] = values[indices_[j]]; // the very value, a negative zero's sign included
        }
        return;
    }
    for (std::size_t j = 0; j < n; ++j) {
        double sum = 0.0;
        for (std::size_t k = first_[j]; k < first_[j + 1]; ++k) {
            sum += weights_[k] * values[indices_[k]];
        }
        out[j] = sum;
    }
}

std::vector<double> SpectrumResampler::operator()(const double* values) const {
    std::vector<double> out(target_size());
    resample(values, out.data());
    return out;
}

} // namespace veldra
