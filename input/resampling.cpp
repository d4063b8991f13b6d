#include "input/resampling.h"

#include <gsl/gsl_interp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
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
// sqrt(1 - 2 (s / t)^2), then cut to the rising source `x`'s range on both sides alike so that
// it stays centred on its point; low == high (the point, or the range's end nearest it) for the
// curve's value alone.
void window_of(const std::vector<double>& target, std::size_t j, const std::vector<double>& x,
               double& low, double& high) {
    interval_of(target, j, low, high);
    const double point = std::clamp(target[j], x.front(), x.back());
    const double ratio = step_at(x, point) / (high - low);
    const double share = std::sqrt(std::max(0.0, 1.0 - 2.0 * ratio * ratio));
    const double half = std::min(
        {(point - low) * share, (high - point) * share, point - x.front(), x.back() - point});
    low = point - half;
    high = point + half;
}

struct CurveDeleter {
    void operator()(gsl_interp* curve) const { gsl_interp_free(curve); }
    void operator()(gsl_interp_accel* accelerator) const { gsl_interp_accel_free(accelerator); }
};

} // namespace

SpectrumResampler::SpectrumResampler(const std::vector<double>& source,
                                     const std::vector<double>& target) {
    if (source.size() < 2 || !strictly_monotone(target)) {
        throw std::runtime_error(bad_axes);
    }
    order_.resize(source.size());
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::sort(order_.begin(), order_.end(),
              [&](std::size_t a, std::size_t b) { return source[a] < source[b]; });
    x_.resize(source.size());
    for (std::size_t k = 0; k < source.size(); ++k) {
        x_[k] = source[order_[k]];
        if (!std::isfinite(x_[k]) || (k > 0 && x_[k] == x_[k - 1])) {
            throw std::runtime_error(bad_axes);
        }
    }
    if (try_reordering(target)) {
        return;
    }
    check_coverage(source, target, x_.front(), x_.back());
    windows_.resize(target.size());
    for (std::size_t j = 0; j < target.size(); ++j) {
        window_of(target, j, x_, windows_[j].low, windows_[j].high);
    }
}

// The same wavenumbers in another order: each target point takes its own source value, whole.
bool SpectrumResampler::try_reordering(const std::vector<double>& target) {
    const std::size_t n = target.size();
    if (n != x_.size()) {
        return false;
    }
    const bool falling = target.front() > target.back();
    for (std::size_t j = 0; j < n; ++j) {
        if (!(std::fabs(target[falling ? n - 1 - j : j] - x_[j]) <= same_wavenumber_distance)) {
            return false;
        }
    }
    reorders_ = true;
    reordered_.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        reordered_[j] = order_[falling ? n - 1 - j : j];
    }
    return true;
}

void SpectrumResampler::resample(const double* values, double* out) const {
    if (reorders_) {
        for (std::size_t j = 0; j < reordered_.size(); ++j) {
            out[j] = values[reordered_[j]]; // the very value, a negative zero's sign included
        }
        return;
    }
    const std::size_t n = x_.size();
    std::vector<double> y(n);
    for (std::size_t k = 0; k < n; ++k) {
        y[k] = values[order_[k]];
    }
    // Steffen's curve needs three points; through two, the straight line.
    const std::unique_ptr<gsl_interp, CurveDeleter> curve(
        gsl_interp_alloc(n >= 3 ? gsl_interp_steffen : gsl_interp_linear, n));
    const std::unique_ptr<gsl_interp_accel, CurveDeleter> accelerator(gsl_interp_accel_alloc());
    if (!curve || !accelerator) {
        throw std::bad_alloc();
    }
    // Every point the curve is read at lies within [x_.front(), x_.back()]: no call below can
    // meet a domain error (nor reach GSL's error handler).
    gsl_interp_init(curve.get(), x_.data(), y.data(), n);
    for (std::size_t j = 0; j < windows_.size(); ++j) {
        const Window& window = windows_[j];
        out[j] =
            window.high > window.low
                ? gsl_interp_eval_integ(curve.get(), x_.data(), y.data(), window.low, window.high,
                                        accelerator.get()) /
                      (window.high - window.low)
                : gsl_interp_eval(curve.get(), x_.data(), y.data(), window.low, accelerator.get());
    }
}

std::vector<double> SpectrumResampler::operator()(const double* values) const {
    std::vector<double> out(target_size());
    resample(values, out.data());
    return out;
}

} // namespace veldra
