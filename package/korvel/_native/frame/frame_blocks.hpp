// Windowed frames of a plain signal array, a block at a time: what the
// native frame loops of both extensions (the STFT and the block-wise
// novelty) share.  The arithmetic is in kernels/frames.hpp; this is its
// NumPy-side dispatch and the reusable block arrays.
#pragma once
#include <algorithm>

#include "arrays.hpp"
#include "kernels/fpe.hpp"
#include "kernels/frames.hpp"

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

inline bool frame_dtype(PyArrayObject* x) {
    const int t = x ? PyArray_TYPE(x) : -1;
    return t == NPY_DOUBLE || t == NPY_FLOAT || t == NPY_INT16 || t == NPY_INT32 || t == NPY_INT64;
}

}  // namespace korvel
