#pragma once

#include <cstddef>

namespace veldra {

// The covariate transformation "first_der": value i of a row of n becomes row[i + 1] - row[i],
// and the last is 0. Written to out[0], out[stride], ... so that a block of rows can be laid
// out covariate by covariate. Training, the one-row prediction paths and the spectra preview use
// it; the batched flat-forest evaluator (bart/flat_forest.cpp) computes the same differences in
// its own loops, and the tests check that both give the same numbers.
inline void first_derivative(const double* row, std::size_t n, double* out,
                             std::size_t stride = 1) {
    for (std::size_t i = 0; i + 1 < n; ++i) {
        out[i * stride] = row[i + 1] - row[i];
    }
    if (n > 0) {
        out[(n - 1) * stride] = 0.0;
    }
}

} // namespace veldra
