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

// Puts spectra measured at one set of wavenumbers onto another. Each target point takes the mean
// of the source's piecewise-linear curve over the target point's own interval (from halfway to
// one neighbour to halfway to the other; at an end, as far outward as inward). Where the source
// is finer than the target, that is the average of the source points the interval holds (with
// the linear curve's share of the points on either edge), so no detail narrower than a target
// step leaks into the result as aliasing; where the source is coarser, it is linear
// interpolation (exact wherever no source point falls inside the interval), which never
// overshoots the values it lies between. An interval reaching past the source's range is
// narrowed on both sides alike, so it stays centred on its point and a straight line is kept
// exactly everywhere; nothing is extrapolated.
class SpectrumResampler {
public:
    // Both axes strictly monotone, in either direction, with at least two points. Raises
    // std::runtime_error naming both ranges when a target point lies outside the source's range
    // by more than half its own step (or same_wavenumber_distance, whichever is more).
    SpectrumResampler(const std::vector<double>& source, const std::vector<double>& target);

    std::size_t source_size() const { return source_size_; }
    std::size_t target_size() const { return first_.size() - 1; }

    // The spectrum on the target axis, from its values on the source axis (source_size() of
    // them).
    std::vector<double> operator()(const double* values) const;

private:
    // Where point k of the rising source stands in the source as given.
    std::size_t original(std::size_t k) const { return falling_ ? source_size_ - 1 - k : k; }
    // Adds `weight` of a source point (rising order) to the target point being built.
    void add(std::size_t point, double weight);
    // Adds the weights of the mean of the linear curve through the rising source `x` over
    // [low, high].
    void add_interval(const std::vector<double>& x, double low, double high);

    std::size_t source_size_ = 0;
    bool falling_ = false;
    // Target point j is the sum of weights_[k] * values[indices_[k]] for k in
    // [first_[j], first_[j + 1]).
    std::vector<std::size_t> first_;
    std::vector<std::size_t> indices_;
    std::vector<double> weights_;
};

} // namespace veldra
