// Framing for the short-time Fourier transform: windowed, zero-padded
// frames gathered into a block, and the block's spectra scattered back
// into the columns of the result matrix.
#pragma once
#include <complex>
#include <cstddef>

#include "fpe.hpp"

namespace korvel::kernels {

// block[j, :] = x[(h0 + j) * hop + i] * window[i] for i < win_len, then zeros
// up to fft_len; the frames must lie inside x.  `stride` is in elements.
// Returns true if a NaN sample met a NaN weight; only a window with NaNs
// (`window_nan`) can make that happen, so the common case is a plain loop.
template <typename T>
bool window_frames(const T* x, std::ptrdiff_t stride, const double* window, bool window_nan,
                   std::ptrdiff_t win_len, std::ptrdiff_t hop, std::ptrdiff_t h0, std::ptrdiff_t nb,
                   std::ptrdiff_t fft_len, double* block) {
    bool clash = false;
    for (std::ptrdiff_t j = 0; j < nb; ++j) {
        const T* src = x + (h0 + j) * hop * stride;
        double* dst = block + j * fft_len;
        if (window_nan) {
            for (std::ptrdiff_t i = 0; i < win_len; ++i) {
                const double v = static_cast<double>(src[i * stride]);
                clash |= both_nan(v, window[i]);
                dst[i] = v * window[i];
            }
        } else if (stride == 1) {
            for (std::ptrdiff_t i = 0; i < win_len; ++i) dst[i] = static_cast<double>(src[i]) * window[i];
        } else {
            for (std::ptrdiff_t i = 0; i < win_len; ++i) {
                dst[i] = static_cast<double>(src[i * stride]) * window[i];
            }
        }
        for (std::ptrdiff_t i = win_len; i < fft_len; ++i) dst[i] = 0.0;
    }
    return clash;
}

inline bool any_nan(const double* v, std::ptrdiff_t n) {
    bool nan = false;
    for (std::ptrdiff_t i = 0; i < n; ++i) nan |= std::isnan(v[i]);
    return nan;
}

// out[k, h0 + j] = spectra[j, k] for a row-major out of num_hops columns.
// Rows of `out` are written contiguously; the strided reads touch one cache
// line per frame of the block, which stays cached for small blocks.
inline void scatter_columns(const std::complex<double>* spectra, std::ptrdiff_t nb,
                            std::ptrdiff_t num_bins, std::complex<double>* out,
                            std::ptrdiff_t num_hops, std::ptrdiff_t h0) {
    for (std::ptrdiff_t k = 0; k < num_bins; ++k) {
        std::complex<double>* row = out + k * num_hops + h0;
        const std::complex<double>* src = spectra + k;
        for (std::ptrdiff_t j = 0; j < nb; ++j) row[j] = src[j * num_bins];
    }
}

}  // namespace korvel::kernels
