// korvel.pulsix, the tempogram block by block (see tempogram.hpp).
#include "pulsix/tempogram.hpp"

namespace korvel {
namespace pulsix {

namespace {

// What sonix.stft's native frame loop stands in for on a tempogram (no
// window given, no centring), looked up in sonix's namespace: np.hanning
// and the np.array NumPy's hanning calls in turn, np.empty for the result,
// the end extension's np.zeros and np.concatenate, np.fft.rfft of each
// frame...
Routines kTempogramFrames{numpy_at_import, {"fft.rfft", "hanning", "array", "empty", "concatenate", "zeros"}};
// ...and with zero-padding np.pad of each frame, with what NumPy's pad
// calls in turn as np.<name>.
Routines kTempogramPadding{numpy_at_import, {"pad", "asarray", "array", "round", "empty"}};

}  // namespace

int tempogram_blocks_hold(const Call& c, PyObject* x_obj, PyObject* win_len_obj, PyObject* hop_obj,
                          PyObject* zp_obj, TempogramBlocks& t) noexcept {
    long long win_len, hop, zp;
    PyObject* const* extras = c.state->extras;
    PyArrayObject* x = plain_array(x_obj, 1);
    if (!frame_dtype(x) || PyArray_STRIDE(x, 0) == 0 || PyArray_DIM(x, 0) >= (1LL << 32) ||
        !small_int(win_len_obj, 1, 1LL << 32, &win_len) || !small_int(hop_obj, 1, kBig, &hop) ||
        !small_int(zp_obj, 1, 1 << 20, &zp) || win_len * zp > kBig || !extras[kSonixGlobals]) {
        return 0;
    }
    const Call sonix_call{nullptr, extras[kSonixGlobals], &kModule, c.state};
    int g = global_is(c, K_NAME("stft"), extras[kSonixStft]);
    if (g == 1) g = global_is(sonix_call, K_NAME("calc_num_frames"), extras[kSonixCalcNumFrames]);
    if (g == 1) g = kTempogramFrames.genuine(sonix_call);
    if (g == 1 && zp > 1) g = kTempogramPadding.genuine(sonix_call);
    if (g <= 0) return g;
    Ref window;
    if (const int h = hann_window(kTempogramFrames.at(c, "hanning"), win_len_obj, win_len, window); h <= 0) return h;
    const long long n = PyArray_DIM(x, 0);
    Ref x_len = Ref::steal(PyLong_FromLongLong(n));
    if (!x_len) return -1;
    Ref hops = call(extras[kSonixCalcNumFrames], {x_len.get(), win_len_obj, hop_obj});
    if (!hops) return -1;
    long long num_hops;
    if (!small_int(hops.get(), 1, 1LL << 32, &num_hops) || num_hops - 1 > (1LL << 50) / hop) return 0;
    // The zeros the frames reach past the end stay implicit, as in sonix's
    // loop; a tail far beyond any real signal is left to the steps.
    const long long wanted = (num_hops - 1) * hop + win_len;
    if (wanted - n > (1LL << 26)) return 0;
    t.x = x;
    t.window_nan = kernels::any_nan(data_of<double>(window), win_len);
    t.window = std::move(window);
    t.win_len = win_len;
    t.hop = hop;
    t.fft_len = win_len * zp;
    t.num_bins = t.fft_len / 2 + 1;
    t.num_hops = num_hops;
    t.rfft = kTempogramFrames.at(c, "fft.rfft");
    return 1;
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
    if (!small_int(k_min.get(), 0, num_bins - 1, &lo) || !small_int(k_max.get(), lo + 1, kBig, &hi)) return 0;
    rows.k_min = std::move(k_min);
    rows.start = lo;
    rows.stop = std::min<npy_intp>(hi, num_bins);
    return 1;
}

}  // namespace pulsix
}  // namespace korvel
