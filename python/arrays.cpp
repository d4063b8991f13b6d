#include "python/arrays.h"

#include <algorithm>

namespace py = pybind11;

namespace veldra::python {

std::vector<std::vector<double>> rows_of(const Matrix& x, const std::string& what) {
    if (x.ndim() != 2) {
        throw py::value_error(what +
                              " must be a two-dimensional array (samples x wavenumbers), not " +
                              std::to_string(x.ndim()) + "-dimensional.");
    }
    const auto samples = static_cast<std::size_t>(x.shape(0));
    const auto columns = static_cast<std::size_t>(x.shape(1));
    std::vector<std::vector<double>> rows(samples);
    const double* data = x.data();
    for (std::size_t i = 0; i < samples; ++i) {
        rows[i].assign(data + i * columns, data + (i + 1) * columns);
    }
    return rows;
}

py::array_t<double> array_of(const std::vector<std::vector<double>>& rows, std::size_t columns) {
    py::array_t<double> out({rows.size(), columns});
    double* data = out.mutable_data();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::copy_n(rows[i].data(), std::min(columns, rows[i].size()), data + i * columns);
    }
    return out;
}

py::array_t<double> array_of(const std::vector<double>& values) {
    py::array_t<double> out(values.size());
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

} // namespace veldra::python
