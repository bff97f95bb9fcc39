// Elementwise and column steps of the spectral novelty curve.
#pragma once
#include <cmath>
#include <cstddef>

#include "fpe.hpp"

namespace korvel::kernels {

// out[i] = 1 + gamma * (mag[i] * mag[i])
inline void compress_input(const double* mag, std::ptrdiff_t count, double gamma, double* out) {
    for (std::ptrdiff_t i = 0; i < count; ++i) out[i] = 1.0 + gamma * (mag[i] * mag[i]);
}

// out[j] = sum over rows i, in row order starting from +0.0, of the
// half-wave rectified difference ls[i, j + 1] - ls[i, j]; ls is row-major
// with `cols` columns, out has cols - 1 values.  Returns true if two NaNs met.
inline bool rectified_flux(const double* ls, std::ptrdiff_t rows, std::ptrdiff_t cols, double* out) {
    bool clash = false;
    for (std::ptrdiff_t j = 0; j + 1 < cols; ++j) out[j] = 0.0;
    for (std::ptrdiff_t i = 0; i < rows; ++i) {
        const double* row = ls + i * cols;
        for (std::ptrdiff_t j = 0; j + 1 < cols; ++j) {
            clash |= both_nan(row[j + 1], row[j]);
            double d = row[j + 1] - row[j];
            if (std::isless(d, 0.0)) d = 0.0;
            clash |= both_nan(out[j], d);
            out[j] = out[j] + d;
        }
    }
    return clash;
}

// The flux of frame-major log spectra: out[j] = sum over bins i, in bin
// order starting from +0.0, of the half-wave rectified difference
// ls[j, i] - prev[i], where prev is ls[j - 1] (for j = 0, `first_prev`,
// the last frame of the previous block).  ls holds `frames` rows of `bins`
// values.  The same sums, in the same order, as rectified_flux on the
// bin-major matrix.  Returns true if two NaNs met.
inline bool rectified_flux_frames(const double* first_prev, const double* ls, std::ptrdiff_t frames,
                                  std::ptrdiff_t bins, double* out) {
    bool clash = false;
    for (std::ptrdiff_t j = 0; j < frames; ++j) {
        const double* prev = j == 0 ? first_prev : ls + (j - 1) * bins;
        const double* row = ls + j * bins;
        double total = 0.0;
        for (std::ptrdiff_t i = 0; i < bins; ++i) {
            clash |= both_nan(row[i], prev[i]);
            double d = row[i] - prev[i];
            if (std::isless(d, 0.0)) d = 0.0;
            clash |= both_nan(total, d);
            total = total + d;
        }
        out[j] = total;
    }
    return clash;
}

}  // namespace korvel::kernels
