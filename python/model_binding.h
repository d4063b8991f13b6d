#pragma once

#include <pybind11/pybind11.h>

namespace veldra::python {

// The model folder as prediction opens it, predicting spectra held in memory as a job does.
void bind_model(pybind11::module_& m);

} // namespace veldra::python
