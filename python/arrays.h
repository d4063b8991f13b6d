#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace veldra::python {

// A two-dimensional array of numbers as C-ordered doubles (converted when it is not).
using Matrix = pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;

// The rows of `x`; raises ValueError naming `what` unless it has two dimensions.
std::vector<std::vector<double>> rows_of(const Matrix& x, const std::string& what);

// `rows` (each `columns` long) as a new array.
pybind11::array_t<double> array_of(const std::vector<std::vector<double>>& rows,
                                   std::size_t columns);

// `values` as a new one-dimensional array.
pybind11::array_t<double> array_of(const std::vector<double>& values);

} // namespace veldra::python
