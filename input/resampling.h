#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace veldra {

// Two axes are the same when they have as many points and each pair of wavenumbers lies within
// this distance (cm-1): names written with three decimals still match the axis they came from.
constexpr double same_wavenumber_distance = 0.01;

// Whether `a` and `b` are the same axis (see same_wavenumber_distance).
bool same_axis(const std::vector<double>& a, const std::vector<double>& b);

// "7497.97–599.76 cm-1, 3578 points": an axis for messages.
std::string axis_text(const std::vector<double>& axis);

// Puts spectra measured at one set of wavenumbers onto another, changing them as little as the
// two axes allow.
//
// - The same wavenumbers in another order (columns reversed or shuffled): the values are only
//   reordered, bit for bit (`reorders`).
// - Otherwise the source's values are joined by a monotone cubic curve (Steffen's: it never
//   overshoots the values it lies between, and on real spectra it kept a model's predictions
//   closer to those of the spectra as measured than straight lines did; README, "Resampling"),
//   and each target point takes the curve's mean over a window around it. The window is the
//   fraction sqrt(1 - 2 (s / t)^2) of the target point's own interval (halfway to each
//   neighbour), where t is that interval's width and s the source's step there; none (the
//   curve's value at the point) when s >= t / sqrt(2). So the result is smoothed about as much as
//   a measurement at the target's step would be, and no more: following a curve through steps of
//   s already blurs about like a box of width sqrt(2) s (a linear one exactly: the same second
//   moment, s^2 / 6), and the window adds what a box of width t (t^2 / 12) lacks. A source about
//   as fine as the target, or coarser, is interpolated (a shift of 1% of a step moves a value by
//   about 1% of the difference to its neighbour); a much finer one is averaged over the whole
//   interval, so that no detail narrower than a target step leaks into the result as aliasing.
//   The window grows continuously with the ratio of the steps: no axis sits on an edge between
//   two rules.
// - A window reaching past the source's range is narrowed on both sides alike, so it stays
//   centred. A target point beyond the range (by at most half its step: more is refused) takes
//   the value at the range's end.
// A source point without a value (NaN) leaves the target points whose curve it shapes (those
// within two source steps) without one.
class SpectrumResampler {
public:
    // `source` holds at least two distinct finite wavenumbers in any order; `target` is strictly
    // monotone, in either direction. Raises std::runtime_error naming both ranges when a target
    // point lies outside the source's range by more than half its own step (or
    // same_wavenumber_distance, whichever is more).
    SpectrumResampler(const std::vector<double>& source, const std::vector<double>& target);

    std::size_t source_size() const { return order_.size(); }
    std::size_t target_size() const { return reorders_ ? reordered_.size() : windows_.size(); }
    // Whether the source holds the target's wavenumbers in another order, so that resampling is a
    // reordering.
    bool reorders() const { return reorders_; }

    // The spectrum on the target axis, from its values on the source axis (source_size() of
    // them).
    std::vector<double> operator()(const double* values) const;
    // The same into `out` (target_size() values).
    void resample(const double* values, double* out) const;

private:
    // What a target point reads: the curve's mean over [low, high], or its value at `low` when
    // `high` is the same.
    struct Window {
        double low = 0;
        double high = 0;
    };
    // Sets up a reordering when the rising source `x_` is the target's axis in another order.
    bool try_reordering(const std::vector<double>& target);

    bool reorders_ = false;
    // The source's points in rising order: order_[k] is the k-th smallest's place in the source.
    std::vector<std::size_t> order_;
    std::vector<double> x_; // the source's wavenumbers in rising order
    std::vector<Window> windows_;
    std::vector<std::size_t> reordered_; // for a reordering: the source point of each target
};

} // namespace veldra
