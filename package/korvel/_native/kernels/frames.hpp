// Framing for the short-time Fourier transform: windowed, zero-padded
// frames gathered into a block, and the block's spectra scattered back
// into the columns of the result matrix.
#pragma once
#include <complex>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// out[k, h0 + j] = spectra[j, k] for a row-major out of num_hops columns
// (the block's frames `stride` elements apart), with ordinary stores.  Bins go in strips of two cache lines: for each
// frame of the block the strip's values are written to a few output rows at
// column j, so each output line is filled while it is still in L1.
template <typename T>
void scatter_columns_cached(const T* spectra, std::ptrdiff_t nb, std::ptrdiff_t num_bins, std::ptrdiff_t stride,
                            T* out, std::ptrdiff_t num_hops, std::ptrdiff_t h0) {
    constexpr std::ptrdiff_t kStrip = 128 / sizeof(T);
    for (std::ptrdiff_t k0 = 0; k0 < num_bins; k0 += kStrip) {
        const std::ptrdiff_t k1 = k0 + kStrip < num_bins ? k0 + kStrip : num_bins;
        T* base = out + h0;
        for (std::ptrdiff_t j = 0; j < nb; ++j) {
            const T* src = spectra + j * stride;
            for (std::ptrdiff_t k = k0; k < k1; ++k) base[k * num_hops + j] = src[k];
        }
    }
}

#if defined(__SSE2__)
// Two consecutive output elements of one row (or one complex element),
// read from the block: j-th and (j+1)-th frames of bin k.
inline __m128d column_pair(const double* at, std::ptrdiff_t frame_step) {
    return _mm_set_pd(at[frame_step], at[0]);
}
inline __m128d column_pair(const std::complex<double>* at, std::ptrdiff_t) {
    return _mm_loadu_pd(reinterpret_cast<const double*>(at));
}

// The same copy with non-temporal stores for the whole 64-byte lines of
// each output row.  The result is written once and read much later, so
// filling it through the cache costs a read of every line before it is
// written (and evicts the block the transform works in); streaming whole
// lines skips both.  Each row's run of the block is split at its own line
// boundaries: the partial lines at either end get ordinary stores (a
// partial streamed line would be flushed piecemeal), the whole lines in
// between are streamed, eight rows at a time so the reads of the block
// stay in L1.  The values written are the same bits either way.
template <typename T>
void scatter_columns_streamed(const T* spectra, std::ptrdiff_t nb, std::ptrdiff_t num_bins, std::ptrdiff_t stride,
                              T* out, std::ptrdiff_t num_hops, std::ptrdiff_t h0) {
    constexpr std::ptrdiff_t kLine = 64 / sizeof(T);  // elements per cache line
    constexpr std::ptrdiff_t kStore = 16 / sizeof(T);  // elements per 16-byte store
    constexpr std::ptrdiff_t kRows = 8;
    for (std::ptrdiff_t k0 = 0; k0 < num_bins; k0 += kRows) {
        const std::ptrdiff_t rows = num_bins - k0 < kRows ? num_bins - k0 : kRows;
        std::ptrdiff_t lo[kRows], hi[kRows], lines = 0;
        for (std::ptrdiff_t r = 0; r < rows; ++r) {
            const std::ptrdiff_t k = k0 + r;
            T* row = out + k * num_hops + h0;
            const auto misalign = static_cast<std::ptrdiff_t>(reinterpret_cast<std::uintptr_t>(row) & 63);
            std::ptrdiff_t a = ((64 - misalign) & 63) / static_cast<std::ptrdiff_t>(sizeof(T));
            if (a > nb) a = nb;
            const std::ptrdiff_t whole = (nb - a) / kLine;
            lo[r] = a;
            hi[r] = a + whole * kLine;
            if (whole > lines) lines = whole;
            for (std::ptrdiff_t j = 0; j < a; ++j) row[j] = spectra[j * stride + k];
        }
        for (std::ptrdiff_t g = 0; g < lines; ++g) {
            for (std::ptrdiff_t r = 0; r < rows; ++r) {
                const std::ptrdiff_t j = lo[r] + g * kLine;
                if (j >= hi[r]) continue;
                const std::ptrdiff_t k = k0 + r;
                auto* dst = reinterpret_cast<double*>(out + k * num_hops + h0 + j);
                const T* src = spectra + j * stride + k;
                for (std::ptrdiff_t q = 0; q < kLine; q += kStore) {
                    _mm_stream_pd(dst + q * static_cast<std::ptrdiff_t>(sizeof(T) / 8),
                                  column_pair(src + q * stride, stride));
                }
            }
        }
        for (std::ptrdiff_t r = 0; r < rows; ++r) {
            const std::ptrdiff_t k = k0 + r;
            T* row = out + k * num_hops + h0;
            for (std::ptrdiff_t j = hi[r]; j < nb; ++j) row[j] = spectra[j * stride + k];
        }
    }
    // Streamed stores are weakly ordered: make them visible before anyone
    // (another thread once the GIL is back) reads the result.
    _mm_sfence();
}
#endif

// out[k, h0 + j] = spectra[j, k]: a block's spectra (one frame per row,
// `stride` elements apart, of which the first num_bins are taken) into the
// columns h0 .. h0 + nb - 1 of the result.  Writing whole spectra down the
// columns instead would touch one output line per element, which some
// cache hierarchies punish hard.
template <typename T>
void scatter_columns(const T* spectra, std::ptrdiff_t nb, std::ptrdiff_t num_bins, std::ptrdiff_t stride, T* out,
                     std::ptrdiff_t num_hops, std::ptrdiff_t h0) {
#if defined(__SSE2__)
    if (reinterpret_cast<std::uintptr_t>(out) % sizeof(T) == 0) {
        scatter_columns_streamed(spectra, nb, num_bins, stride, out, num_hops, h0);
        return;
    }
#endif
    scatter_columns_cached(spectra, nb, num_bins, stride, out, num_hops, h0);
}

template <typename T>
void scatter_columns(const T* spectra, std::ptrdiff_t nb, std::ptrdiff_t num_bins, T* out, std::ptrdiff_t num_hops,
                     std::ptrdiff_t h0) {
    scatter_columns(spectra, nb, num_bins, num_bins, out, num_hops, h0);
}

}  // namespace korvel::kernels
