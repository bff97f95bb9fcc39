// The tempogram stft(nov, win_len, hop, zp, centered=False) a block of
// frames at a time, for the stages that only reduce it (estimate_bpm's row
// means, make_local_pulse's best bins and their values): the same windowed,
// zero-padded frames and the same rfft call per block as sonix.stft's
// native frame loop, without the tempogram matrix itself.
#pragma once
#include "frame/frame_blocks.hpp"
#include "pulsix/pulsix.hpp"

namespace korvel {
namespace pulsix {

struct TempogramBlocks {
    PyArrayObject* x = nullptr;  // the novelty curve (the caller's)
    Ref window;                  // np.hanning(win_len)
    bool window_nan = false;
    npy_intp win_len = 0, hop = 0, fft_len = 0, num_bins = 0, num_hops = 0;
    PyObject* rfft = nullptr;    // captured np.fft.rfft
};

// 1 when the tempogram stft(x, win_len, hop, zp, centered=False) of this
// module's `stft` global would come from sonix.stft's native frame loop,
// with at least one frame, and `t` is set up for the blocks below; 0 when
// not (nothing observable was done); -1 with an error set.  Every call it
// makes is of genuine NumPy or framix, and pure.
int tempogram_blocks_hold(const Call& c, PyObject* x, PyObject* win_len, PyObject* hop, PyObject* zp,
                          TempogramBlocks& t) noexcept;

// Feeds the spectra of every block of frames, in order, to
// `use(h0, nb, spectra)` (spectra: a C-contiguous complex128 array of nb
// rows and num_bins columns), which returns kDone to go on.  Runs inside
// the caller's entered `recorder` and declines as soon as NumPy would have
// reported something.
template <typename Use>
Fast each_tempogram_block(const TempogramBlocks& t, FpRecorder& recorder, Use&& use) noexcept {
    const npy_intp block_frames = frames_per_block(t.num_hops, t.fft_len);
    const auto* win = data_of<double>(t.window);
    SignalCadence cadence;
    Ref block;
    for (npy_intp h0 = 0; h0 < t.num_hops; h0 += block_frames) {
        const npy_intp nb = std::min<npy_intp>(block_frames, t.num_hops - h0);
        if (!block_array(block, nb, t.fft_len, NPY_DOUBLE)) return Fast::kError;
        if (window_frames_of(t.x, 0, false, win, t.window_nan, t.win_len, t.hop, h0, nb, t.fft_len,
                             data_of<double>(block))) {
            return Fast::kDeclined;
        }
        Ref spectra = call(t.rfft, {block.get()});
        if (const Fast got = checked_block(spectra, NPY_CDOUBLE, nb, t.num_bins, recorder); got != Fast::kDone) {
            return got;
        }
        const Fast step = use(h0, nb, reinterpret_cast<PyArrayObject*>(spectra.get()));
        if (step != Fast::kDone) return step;
        if (recorder.seen()) return Fast::kDeclined;
        if (!cadence.tick(nb * t.fft_len)) return Fast::kError;
    }
    return Fast::kDone;
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
