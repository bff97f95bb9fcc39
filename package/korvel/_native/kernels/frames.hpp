// Framing for the short-time Fourier transform: windowed, zero-padded
// frames gathered into a block, and the block's spectra scattered back
// into the columns of the result matrix.
#pragma once
#include <complex>
#include <cstddef>

#include "fpe.hpp"

namespace korvel::kernels {

// One frame sample times its window weight.  Positions outside the signal
// are the zeros the signal is padded with; they are multiplied too, so a
// negative or non-finite weight gives what it gives on a padded copy.
// block[j, i] = xp[(h0 + j) * hop + i] * window[i] for i < win_len, then
// zeros up to fft_len, where xp is x (n samples, `stride` elements apart)
// behind `front` zeros and followed by as many zeros as the frames need.
// Returns true if a NaN sample met a NaN weight; only a window with NaNs
// (`window_nan`) can make that happen, so the common case is a plain loop.
template <typename T>
bool window_frames(const T* x, std::ptrdiff_t stride, std::ptrdiff_t n, std::ptrdiff_t front,
                   const double* window, bool window_nan, std::ptrdiff_t win_len, std::ptrdiff_t hop,
                   std::ptrdiff_t h0, std::ptrdiff_t nb, std::ptrdiff_t fft_len, double* block) {
    bool clash = false;
    for (std::ptrdiff_t j = 0; j < nb; ++j) {
        const std::ptrdiff_t p0 = (h0 + j) * hop;
        // frame offsets [lo, hi) hold signal samples, the rest padding
        std::ptrdiff_t lo = front - p0, hi = front + n - p0;
        lo = lo < 0 ? 0 : (lo > win_len ? win_len : lo);
        hi = hi < lo ? lo : (hi > win_len ? win_len : hi);
        double* dst = block + j * fft_len;
        for (std::ptrdiff_t i = 0; i < lo; ++i) dst[i] = 0.0 * window[i];
        const std::ptrdiff_t count = hi - lo;
        // frame offset lo is signal sample p0 + lo - front
        const T* src = count > 0 ? x + (p0 + lo - front) * stride : x;
        const double* w = window + lo;
        double* out = dst + lo;
        if (count <= 0) {
        } else if (window_nan) {
            for (std::ptrdiff_t k = 0; k < count; ++k) {
                const double v = static_cast<double>(src[k * stride]);
                clash |= both_nan(v, w[k]);
                out[k] = v * w[k];
            }
        } else if (stride == 1) {
            for (std::ptrdiff_t k = 0; k < count; ++k) out[k] = static_cast<double>(src[k]) * w[k];
        } else {
            for (std::ptrdiff_t k = 0; k < count; ++k) out[k] = static_cast<double>(src[k * stride]) * w[k];
        }
        for (std::ptrdiff_t i = hi; i < win_len; ++i) dst[i] = 0.0 * window[i];
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
// Bins go in strips of two cache lines: for each frame of the block the
// strip's values are read and written to a few output rows at column j, so
// those rows are written one after another along j and each output line is
// filled while it is still in L1.  Writing whole spectra down the columns
// instead touches one output line per element, which some cache
// hierarchies punish hard; wide strips spread the writes over too many
// pages and lines.
template <typename T>
void scatter_columns(const T* spectra, std::ptrdiff_t nb, std::ptrdiff_t num_bins, T* out,
                     std::ptrdiff_t num_hops, std::ptrdiff_t h0) {
    constexpr std::ptrdiff_t kStrip = 128 / sizeof(T);
    for (std::ptrdiff_t k0 = 0; k0 < num_bins; k0 += kStrip) {
        const std::ptrdiff_t k1 = k0 + kStrip < num_bins ? k0 + kStrip : num_bins;
        T* base = out + h0;
        for (std::ptrdiff_t j = 0; j < nb; ++j) {
            const T* src = spectra + j * num_bins;
            for (std::ptrdiff_t k = k0; k < k1; ++k) base[k * num_hops + j] = src[k];
        }
    }
}

}  // namespace korvel::kernels
