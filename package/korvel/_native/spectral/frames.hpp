// The one native STFT path of both extensions: windowed frames of a plain
// signal array, a block at a time, each block transformed by one call of
// NumPy's rfft (row by row, as the per-frame calls would).  sonix's stft and
// stft_mag, the block-wise novelty and the tempogram stages all run it.
// The arithmetic is in kernels/frames.hpp; this is its NumPy-side dispatch,
// the reusable block arrays and the loop over the blocks.
#pragma once
#include <algorithm>

#include "kernels/fpe.hpp"
#include "kernels/frames.hpp"
#include "kernels/limits.hpp"
#include "runtime/arrays.hpp"

namespace korvel {

template <typename T>
inline bool window_block(PyArrayObject* x, npy_intp front, const double* window, bool window_nan,
                  npy_intp win_len, npy_intp hop, npy_intp h0, npy_intp nb, npy_intp fft_len,
                  double* block) {
    return kernels::window_frames(static_cast<const T*>(PyArray_DATA(x)),
                                  PyArray_STRIDE(x, 0) / static_cast<npy_intp>(sizeof(T)),
                                  PyArray_DIM(x, 0), front, window, window_nan, win_len, hop, h0, nb,
                                  fft_len, block);
}

// Windows frames h0 .. h0 + nb - 1 of x (any frame dtype) into `block`,
// without the GIL when x is the call's own array.  Returns true if NumPy
// would have to report something (a floating-point flag, or NaNs meeting).
inline bool window_frames_of(PyArrayObject* x, npy_intp front, bool own_x, const double* win, bool window_nan,
                      npy_intp win_len, npy_intp hop, npy_intp h0, npy_intp nb, npy_intp fft_len,
                      double* block) {
    bool flagged = false;
    auto fill = [&] {
        kernels::clear_fp_flags();
        bool clash;
        switch (PyArray_TYPE(x)) {
            case NPY_DOUBLE: clash = window_block<double>(x, front, win, window_nan, win_len, hop, h0, nb, fft_len, block); break;
            case NPY_FLOAT: clash = window_block<float>(x, front, win, window_nan, win_len, hop, h0, nb, fft_len, block); break;
            case NPY_INT16: clash = window_block<npy_int16>(x, front, win, window_nan, win_len, hop, h0, nb, fft_len, block); break;
            case NPY_INT32: clash = window_block<npy_int32>(x, front, win, window_nan, win_len, hop, h0, nb, fft_len, block); break;
            default: clash = window_block<npy_int64>(x, front, win, window_nan, win_len, hop, h0, nb, fft_len, block); break;
        }
        flagged = clash || kernels::fp_flags_raised();
    };
    if (own_x) {
        NoGil nogil;
        fill();
    } else {
        fill();
    }
    return flagged;
}

// Frames per block handed to one rfft call: about 1 MB of frames (and as
// much again of spectra).  Small blocks keep the transform in L2, but each
// output row then gets short runs per block, and the partial cache lines at
// either end of a run cost a read of memory each; about 1 MB balances the
// two on caches of 512 KB to 2 MB per core.  At most a sixteenth of the
// frames, so the block adds little to the peak memory of short signals.
inline npy_intp frames_per_block(npy_intp num_hops, npy_intp fft_len) {
    constexpr npy_intp kBytes = npy_intp{1} << 20;
    const npy_intp cache_sized = std::max<npy_intp>(8, kBytes / (8 * fft_len));
    return std::clamp<npy_intp>(std::min(num_hops / 16, cache_sized), 1, std::max<npy_intp>(num_hops, 1));
}

// window = np.hanning(win_len) through the captured `hanning`: 1 when it is
// the plain float64 window of win_len weights genuine NumPy makes, 0 when
// not, -1 with an error set.
inline int hann_window(PyObject* hanning, PyObject* win_len_obj, npy_intp win_len, Ref& window) {
    window = call(hanning, {win_len_obj});
    if (!window) return -1;
    PyArrayObject* w = plain_array(window.get(), 1);
    return has_type(w, NPY_DOUBLE) && PyArray_IS_C_CONTIGUOUS(w) && PyArray_DIM(w, 0) == win_len;
}

// What a NumPy call made of a block: kDone when `result` is the
// C-contiguous array of `type` and `rows` x `cols` genuine NumPy makes and
// nothing was reported, kDeclined when not, kError (an empty `result`)
// with an error set.
inline Fast checked_block(const Ref& result, int type, npy_intp rows, npy_intp cols, const FpRecorder& recorder) {
    if (!result) return Fast::kError;
    PyArrayObject* a = plain_array(result.get(), 2);
    if (recorder.seen() || !has_type(a, type) || !PyArray_IS_C_CONTIGUOUS(a) || PyArray_DIM(a, 0) != rows ||
        PyArray_DIM(a, 1) != cols) {
        return Fast::kDeclined;
    }
    return Fast::kDone;
}

// mags = NumPy's abs of a block of spectra (`rows` x `cols`), checked.
inline Fast block_magnitudes(PyObject* abs, PyObject* block, npy_intp rows, npy_intp cols,
                             const FpRecorder& recorder, Ref& mags) {
    mags = call(abs, {block});
    return checked_block(mags, NPY_DOUBLE, rows, cols, recorder);
}

inline bool frame_dtype(PyArrayObject* x) {
    const int t = x ? PyArray_TYPE(x) : -1;
    return t == NPY_DOUBLE || t == NPY_FLOAT || t == NPY_INT16 || t == NPY_INT32 || t == NPY_INT64;
}

// The frames one native STFT loop takes: frame h is x[h * hop - front :
// h * hop - front + win_len] (zeros outside x) times the window, followed
// by fft_len - win_len zeros.
struct SignalFrames {
    PyArrayObject* x = nullptr;  // the signal (the caller's, or the call's own when own_x)
    bool own_x = false;          // nobody else can see x: its frames may be read without the GIL
    npy_intp front = 0;          // implicit zeros before x
    Ref window;                  // a plain float64 array of win_len weights
    bool window_nan = false;
    npy_intp win_len = 0, hop = 0, fft_len = 0, num_bins = 0, num_hops = 0;
    PyObject* rfft = nullptr;    // captured np.fft.rfft
    PyObject* rfft_out = nullptr;  // "out" when rfft takes it and spectra go to a reused block
};

// Sets the window of `f` (and whether it holds NaNs).
inline void set_window(SignalFrames& f, Ref window) {
    f.window_nan = kernels::any_nan(data_of<double>(window), f.win_len);
    f.window = std::move(window);
}

// Feeds the spectra of every block of `block_frames` frames, in order, to
// `use(h0, nb, spectra)` (spectra: a C-contiguous complex128 array of nb
// rows and num_bins columns, which `use` may release), which returns kDone
// to go on.  Runs inside the caller's entered `recorder`, and declines as
// soon as NumPy would have reported something; the caller leaves the
// recorder (see run_blocks).
template <typename Use>
Fast each_block(const SignalFrames& f, npy_intp block_frames, FpRecorder& recorder, Use&& use) noexcept {
    const auto* win = data_of<double>(f.window);
    SignalCadence cadence;
    Ref block, spectra_block;
    for (npy_intp h0 = 0; h0 < f.num_hops; h0 += block_frames) {
        const npy_intp nb = std::min<npy_intp>(block_frames, f.num_hops - h0);
        if (!block_array(block, nb, f.fft_len, NPY_DOUBLE)) return Fast::kError;
        if (window_frames_of(f.x, f.front, f.own_x, win, f.window_nan, f.win_len, f.hop, h0, nb, f.fft_len,
                             data_of<double>(block))) {
            return Fast::kDeclined;
        }
        Ref spectra;
        if (f.rfft_out) {
            if (!block_array(spectra_block, nb, f.num_bins, NPY_CDOUBLE)) return Fast::kError;
            spectra = call_kw(f.rfft, {block.get()}, f.rfft_out, spectra_block.get());
        } else {
            spectra = call(f.rfft, {block.get()});
        }
        if (const Fast got = checked_block(spectra, NPY_CDOUBLE, nb, f.num_bins, recorder); got != Fast::kDone) {
            return got;
        }
        const Fast step = use(h0, nb, spectra);
        if (step != Fast::kDone) return step;
        if (recorder.seen()) return Fast::kDeclined;
        if (!cadence.tick(nb * f.fft_len)) return Fast::kError;
    }
    return Fast::kDone;
}

// each_block under a recorder of its own, entered before the first block
// and left after the last (leaving can fail: a signal handler's exception
// then makes any outcome an error); `use(h0, nb, spectra, recorder)`.
template <typename Use>
Fast run_blocks(const Call& c, const SignalFrames& f, npy_intp block_frames, Use&& use) noexcept {
    FpRecorder recorder;
    if (!recorder.enter(NumpyAtImport::errstate(c))) return Fast::kError;
    const Fast got = each_block(f, block_frames, recorder, [&](npy_intp h0, npy_intp nb, Ref& spectra) {
        return use(h0, nb, spectra, recorder);
    });
    if (got == Fast::kError) return Fast::kError;
    return recorder.exit() ? got : Fast::kError;
}

// run_blocks filling `built`, which becomes the result once every block is in.
template <typename Use>
Fast run_blocks_into(const Call& c, const SignalFrames& f, npy_intp block_frames, Ref built, Ref& result,
                     Use&& use) noexcept {
    const Fast done = run_blocks(c, f, block_frames, std::forward<Use>(use));
    if (done == Fast::kDone) result = std::move(built);
    return done;
}

}  // namespace korvel
