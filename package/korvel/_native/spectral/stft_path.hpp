// What a native path standing in for sonix's stft must check: the numpy
// routines of each step of stft (named once, for sonix and for pulsix's
// stages alike), and the frames of stft on a plain signal whose padding is
// kept implicit -- stft_mag's native path, the block-wise novelty and the
// tempogram stages.
#pragma once
#include "spectral/frames.hpp"

namespace korvel::spectral {

// np.hanning of the default window, and the np.array NumPy's hanning calls in turn.
inline constexpr RoutineGroup kHannWindow{{"hanning", "array"}};
// The zeros centring and end extension put around the signal:
// np.zeros and np.concatenate (C routines; nothing in turn).
inline constexpr RoutineGroup kImplicitZeros{{"zeros", "concatenate"}};
// The frame loop: np.fft.rfft of each frame, and np.empty and np.concatenate,
// whose genuine results (`output`, a padded x) are arrays nobody else holds.
inline constexpr RoutineGroup kFrameTransforms{{"fft.rfft", "empty", "concatenate"}};
// With zero-padding, np.pad(sig, (0, n), "constant") of each frame, and what
// NumPy's pad calls in turn as np.<name>.
inline constexpr RoutineGroup kZeroPadding{{"pad", "asarray", "array", "round", "empty"}};
// np.abs of the spectra (stft_mag).
inline constexpr RoutineGroup kMagnitudes{{"abs"}};

// 1 when stft(x, win_len, hop, zp, centered=centred) of a plain signal x,
// with np.hanning's window and the padding kept implicit, is what the
// frames `f` give, and `f` is set up; 0 when not; -1 with an error set.
// `guard(zp)` holds the stage's own checks (its globals and routine lists,
// which must include `path`'s "hanning" and "fft.rfft"); `calc_num_frames`
// is the frame counter stft would call.  Every call made here is of
// genuine NumPy or framix, and pure.  `zp_obj` may be null (a factor of 1);
// fewer than `min_hops` frames also give 0.
template <typename Guard>
int plan_signal_frames(const Call& c, PyObject* x_obj, PyObject* win_len_obj, PyObject* hop_obj, PyObject* zp_obj,
                       bool centred, long long min_hops, const Routines& path, PyObject* calc_num_frames,
                       Guard&& guard, SignalFrames& f) noexcept {
    long long win_len, hop, zp = 1;
    PyArrayObject* x = plain_array(x_obj, 1);
    if (!frame_dtype(x) || PyArray_STRIDE(x, 0) == 0 || PyArray_DIM(x, 0) >= limits::kSignal ||
        !small_int(win_len_obj, 1, limits::kSignal, &win_len) || !small_int(hop_obj, 1, limits::kSize, &hop) ||
        (zp_obj && !small_int(zp_obj, 1, limits::kZeroPad, &zp)) || win_len * zp > limits::kSignal) {
        return 0;
    }
    if (const int g = guard(zp); g <= 0) return g;
    Ref window;
    if (const int h = hann_window(path.at(c, "hanning"), win_len_obj, win_len, window); h <= 0) return h;
    const long long front = centred ? win_len / 2 : 0, n = PyArray_DIM(x, 0);
    Ref signal_len = Ref::steal(PyLong_FromLongLong(front + n));
    if (!signal_len) return -1;
    Ref hops = call(calc_num_frames, {signal_len.get(), win_len_obj, hop_obj});
    if (!hops) return -1;
    long long num_hops;
    if (!small_int(hops.get(), min_hops, limits::kSize, &num_hops)) return 0;
    // The zeros the frames reach past the end stay implicit, as in sonix's
    // loop; a tail far beyond any real signal is left to the steps.
    if ((num_hops - 1) * hop + win_len - (front + n) > limits::kImplicitTail) return 0;
    f = SignalFrames{x, false, front, Ref(), false, win_len, hop, win_len * zp, win_len * zp / 2 + 1, num_hops,
                     path.at(c, "fft.rfft"), nullptr};
    set_window(f, std::move(window));
    return 1;
}

}  // namespace korvel::spectral
