// Synthesis of the predominant local pulse: cosine arguments for a block of
// frames, and the windowed overlap-add of their cosines.
#pragma once
#include <cstddef>
#include <cstdint>

namespace korvel::kernels {

// args[j, i] = two_pi * freqs[m] * n[i] / ff + phases[m] for m = m0 + j,
// evaluated left to right exactly as the array expression does.
inline void cosine_args(double two_pi, const double* freqs, std::ptrdiff_t freq_stride,
                        const double* phases, std::ptrdiff_t phase_stride, const std::int64_t* n,
                        std::ptrdiff_t win_len, double ff, std::ptrdiff_t m0, std::ptrdiff_t nb,
                        double* args) {
    for (std::ptrdiff_t j = 0; j < nb; ++j) {
        const double omega = two_pi * freqs[(m0 + j) * freq_stride];
        const double phase = phases[(m0 + j) * phase_stride];
        double* row = args + j * win_len;
        for (std::ptrdiff_t i = 0; i < win_len; ++i) {
            row[i] = omega * static_cast<double>(n[i]) / ff + phase;
        }
    }
}

// est[(m0 + j) * hop + i] += win[i] * waves[j, i], frames in increasing order.
inline void overlap_add(const double* win, const double* waves, std::ptrdiff_t win_len,
                        std::ptrdiff_t hop, std::ptrdiff_t m0, std::ptrdiff_t nb, double* est) {
    for (std::ptrdiff_t j = 0; j < nb; ++j) {
        double* dst = est + (m0 + j) * hop;
        const double* wave = waves + j * win_len;
        for (std::ptrdiff_t i = 0; i < win_len; ++i) dst[i] = dst[i] + win[i] * wave[i];
    }
}

}  // namespace korvel::kernels
