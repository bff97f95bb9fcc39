// sonix's STFT as pulsix's stages stand in for it: the frames of a signal
// planned in sonix's terms (the novelty's stft_mag, the tempograms), and
// the tempogram stft(nov, win_len, hop, zp, centered=False) a block of
// frames at a time, for the stages that only reduce it (estimate_bpm's row
// means, make_local_pulse's best bins and their values): the same windowed,
// zero-padded frames and the same rfft call per block as sonix.stft's
// native frame loop, without the tempogram matrix itself.
#pragma once
#include "pulsix/pulsix.hpp"
#include "spectral/stft_path.hpp"

namespace korvel {
namespace pulsix {

// spectral::plan_signal_frames for a stage that stands in for sonix's stft:
// the frame counter is the one sonix imported, and `guard(zp, sonix_call)`
// gets a call with sonix's namespace for what sonix would look up there.
template <typename Guard>
int plan_sonix_frames(const Call& c, PyObject* x, PyObject* win_len, PyObject* hop, PyObject* zp, bool centred,
                      long long min_hops, const Routines& path, Guard&& guard, SignalFrames& f) noexcept {
    PyObject* const* extras = c.state->extras;
    if (!extras[kSonixGlobals]) return 0;
    const Call sonix_call{nullptr, extras[kSonixGlobals], &kModule, c.state};
    return spectral::plan_signal_frames(c, x, win_len, hop, zp, centred, min_hops, path, extras[kSonixCalcNumFrames],
                                        [&](long long z) { return guard(z, sonix_call); }, f);
}

// 1 when the tempogram stft(x, win_len, hop, zp, centered=False) of this
// module's `stft` global would come from sonix.stft's native frame loop,
// with at least one frame, and `t` is set up for spectral::each_block; 0
// when not (nothing observable was done); -1 with an error set.  Every
// call it makes is of genuine NumPy or framix, and pure.
int tempogram_blocks_hold(const Call& c, PyObject* x, PyObject* win_len, PyObject* hop, PyObject* zp,
                          SignalFrames& t) noexcept;

// Feeds the spectra of every block of tempogram frames to `use(h0, nb,
// spectra)` (see each_block), in blocks of frames_per_block.
template <typename Use>
Fast each_tempogram_block(const SignalFrames& t, FpRecorder& recorder, Use&& use) noexcept {
    return each_block(t, frames_per_block(t.num_hops, t.fft_len), recorder, std::forward<Use>(use));
}

// The rows [start, stop) of the tempo range bpm_min .. bpm_max that the
// tempogram searches slice out, with k_min as ceil_bin gives it.
struct TempoRows {
    Ref k_min;
    npy_intp start = 0, stop = 0;
};

// 1 when the range is a plain slice of at least one row of a tempogram of
// num_bins rows (FFT length `fft_len`, as the tempogram implies it), found
// by ceil_bin as the searches find it, and `rows` is set; 0 when not; -1
// with an error set.  Plain, moderate frame rates and tempos only, for
// which ceil_bin is pure and reports nothing, so it may come before the
// tempogram here.
int tempo_rows(Call& c, const char* owner, PyObject* ff, PyObject* bpm_min, PyObject* bpm_max,
               PyObject* fft_len, npy_intp num_bins, TempoRows& rows) noexcept;

}  // namespace pulsix
}  // namespace korvel
