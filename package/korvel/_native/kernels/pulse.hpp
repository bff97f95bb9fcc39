// Synthesis of the predominant local pulse: cosine arguments for a block of
// frames, and the windowed overlap-add of their cosines.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fpe.hpp"

namespace korvel::kernels {

// args[j, i] = two_pi * freqs[m] * n[i] / ff + phases[m] for m = m0 + j,
// evaluated left to right exactly as the array expression does.  Returns
// true if two NaNs met.
inline bool cosine_args(double two_pi, const double* freqs, std::ptrdiff_t freq_stride,
                        const double* phases, std::ptrdiff_t phase_stride, const std::int64_t* n,
                        std::ptrdiff_t win_len, double ff, std::ptrdiff_t m0, std::ptrdiff_t nb,
                        double* args) {
    bool clash = false;
    for (std::ptrdiff_t j = 0; j < nb; ++j) {
        const double omega = two_pi * freqs[(m0 + j) * freq_stride];
        const double phase = phases[(m0 + j) * phase_stride];
        double* row = args + j * win_len;
        for (std::ptrdiff_t i = 0; i < win_len; ++i) {
            const double scaled = omega * static_cast<double>(n[i]) / ff;
            clash |= both_nan(scaled, phase);
            row[i] = scaled + phase;
        }
    }
    return clash;
}

// est[(m0 + j) * hop + i] += win[i] * waves[j, i], frames in increasing
// order.  Returns true if two NaNs met.
inline bool overlap_add(const double* win, const double* waves, std::ptrdiff_t win_len,
                        std::ptrdiff_t hop, std::ptrdiff_t m0, std::ptrdiff_t nb, double* est) {
    // NaNs can only meet where a window weight or a wave value is NaN.
    bool nan_inputs = false;
    for (std::ptrdiff_t i = 0; i < win_len; ++i) nan_inputs |= std::isnan(win[i]);
    for (std::ptrdiff_t i = 0; i < nb * win_len; ++i) nan_inputs |= std::isnan(waves[i]);
    bool clash = false;
    for (std::ptrdiff_t j = 0; j < nb; ++j) {
        double* dst = est + (m0 + j) * hop;
        const double* wave = waves + j * win_len;
        if (!nan_inputs) {
            for (std::ptrdiff_t i = 0; i < win_len; ++i) dst[i] = dst[i] + win[i] * wave[i];
            continue;
        }
        for (std::ptrdiff_t i = 0; i < win_len; ++i) {
            const double term = win[i] * wave[i];
            clash |= both_nan(win[i], wave[i]) | both_nan(dst[i], term);
            dst[i] = dst[i] + term;
        }
    }
    return clash;
}

}  // namespace korvel::kernels
