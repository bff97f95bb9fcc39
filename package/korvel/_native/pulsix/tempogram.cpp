// korvel.pulsix, the tempogram block by block (see tempogram.hpp).
#include "pulsix/tempogram.hpp"

namespace korvel {
namespace pulsix {

// What sonix.stft's native frame loop stands in for on a tempogram (no
// window given, no centring), looked up in sonix's namespace: np.hanning,
// np.empty for the result, the end extension's np.zeros and np.concatenate,
// np.fft.rfft of each frame...
Routines kTempogramFrames{spectral::kFrameTransforms, spectral::kHannWindow, spectral::kImplicitZeros};
// ...and with zero-padding np.pad of each frame.
Routines kTempogramPadding{spectral::kZeroPadding};

const RoutineTable kTempogramRoutines{{&kTempogramFrames, &kTempogramPadding}};

int tempogram_blocks_hold(const Call& c, PyObject* x_obj, PyObject* win_len_obj, PyObject* hop_obj,
                          PyObject* zp_obj, SignalFrames& t) noexcept {
    PyObject* const* extras = c.state->extras;
    return plan_sonix_frames(c, x_obj, win_len_obj, hop_obj, zp_obj, false, 1, kTempogramFrames,
                             [&](long long zp, const Call& sonix_call) {
        int g = global_is(c, K_NAME("stft"), extras[kSonixStft]);
        if (g == 1) {
            g = genuine_with(sonix_call, K_NAME("calc_num_frames"), extras[kSonixCalcNumFrames], kTempogramFrames);
        }
        if (g == 1 && zp > 1) g = kTempogramPadding.genuine(sonix_call);
        return g;
    }, t);
}

namespace {

// A frame rate or tempo of a size the bin arithmetic takes without
// reporting anything: no overflow, no subnormal, no division by zero.
bool moderate(double v) { return std::fabs(v) >= 1e-6 && std::fabs(v) <= 1e9; }

}  // namespace

int tempo_rows(Call& c, const char* owner, PyObject* ff, PyObject* bpm_min, PyObject* bpm_max,
               PyObject* fft_len, npy_intp num_bins, TempoRows& rows) noexcept {
    double ff_v, lo_v, hi_v;
    if (!plain_real(ff, &ff_v) || !plain_real(bpm_min, &lo_v) || !plain_real(bpm_max, &hi_v) || !(ff_v > 0.0) ||
        !moderate(ff_v) || !(lo_v == 0.0 || moderate(lo_v)) || !(hi_v == 0.0 || moderate(hi_v))) {
        return 0;
    }
    Ref k_min = ceil_bin(c, owner, bpm_min, fft_len, ff);
    if (!k_min) return -1;
    Ref k_max = ceil_bin(c, owner, bpm_max, fft_len, ff);
    if (!k_max) return -1;
    long long lo, hi;
    if (!small_int(k_min.get(), 0, num_bins - 1, &lo) || !small_int(k_max.get(), lo + 1, limits::kSize, &hi)) return 0;
    rows.k_min = std::move(k_min);
    rows.start = lo;
    rows.stop = std::min<npy_intp>(hi, num_bins);
    return 1;
}

}  // namespace pulsix
}  // namespace korvel
