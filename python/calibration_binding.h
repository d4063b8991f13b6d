#pragma once

#include <pybind11/pybind11.h>

namespace veldra::python {

// A calibration from spectra and values held in memory, its predictions and its model folder.
void bind_calibration(pybind11::module_& m);

} // namespace veldra::python
