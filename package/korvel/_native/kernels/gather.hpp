// Small per-position loops: one spectrogram entry per column, and clicks
// added into an output signal.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fpe.hpp"

namespace korvel::kernels {

// out[i] = spec[bins[i], i]; negative bins count from the end (rows).
// Strides are in elements.
template <typename T>
void gather_diagonal(const T* spec, std::ptrdiff_t rows, std::ptrdiff_t row_stride,
                     std::ptrdiff_t col_stride, const std::int64_t* bins, std::ptrdiff_t bin_stride,
                     std::ptrdiff_t count, T* out) {
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        std::int64_t b = bins[i * bin_stride];
        if (b < 0) b += rows;
        out[i] = spec[b * row_stride + i * col_stride];
    }
}

// Bounds of the slice [start:stop] of a sequence of `len` items, as Python
// computes them for a step of 1.
inline void slice_bounds(std::int64_t start, std::int64_t stop, std::int64_t len, std::int64_t* lo,
                         std::int64_t* hi) {
    auto adjust = [len](std::int64_t v) {
        if (v < 0) {
            v += len;
            return v < 0 ? std::int64_t{0} : v;
        }
        return v > len ? len : v;
    };
    *lo = adjust(start);
    *hi = adjust(stop);
    if (*hi < *lo) *hi = *lo;
}

// out[f:f + click_len] += click for every f, in order.  Returns false
// (stopping there) when a slice does not match the click's length and the
// click cannot be broadcast to it, or when two NaNs met.
inline bool add_clicks(const std::int64_t* frames, std::ptrdiff_t frame_stride, std::ptrdiff_t count,
                       const double* click, std::ptrdiff_t click_stride, std::int64_t click_len,
                       double* out, std::int64_t out_len) {
    // Two NaNs can only meet where the click itself has one.
    bool click_nan = false;
    for (std::int64_t i = 0; i < click_len; ++i) click_nan |= std::isnan(click[i * click_stride]);
    for (std::ptrdiff_t k = 0; k < count; ++k) {
        const std::int64_t f = frames[k * frame_stride];
        std::int64_t lo, hi;
        slice_bounds(f, f + click_len, out_len, &lo, &hi);
        const std::int64_t len = hi - lo;
        if (len != click_len && click_len != 1) return false;
        const std::ptrdiff_t step = len == click_len ? click_stride : 0;
        double* dst = out + lo;
        if (click_nan) {
            bool clash = false;
            for (std::int64_t i = 0; i < len; ++i) {
                const double v = click[i * step];
                clash |= both_nan(dst[i], v);
                dst[i] = dst[i] + v;
            }
            if (clash) return false;
        } else if (step == 1) {
            for (std::int64_t i = 0; i < len; ++i) dst[i] = dst[i] + click[i];
        } else {
            for (std::int64_t i = 0; i < len; ++i) dst[i] = dst[i] + click[i * step];
        }
    }
    return true;
}

}  // namespace korvel::kernels
