// korvel.sonix: pitch conversion and the short-time Fourier transform.
#include <algorithm>
#include <cstdlib>
#include <complex>

#define KORVEL_IMPORTS_NUMPY
#include "frame/arrays.hpp"
#include "kernels/fpe.hpp"
#include "frame/frame_blocks.hpp"
#include "sonix_docstrings.hpp"

namespace korvel {
namespace {

const ModuleInfo kModule{"korvel.sonix", "package/korvel/sonix", "init korvel.sonix"};

// numpy as captured at import; each fast path below names the routines
// it stands in for next to it (see Routines).
NumpyAtImport numpy_at_import;
// The module's extras (see ModuleState).
enum Extra { kOwnStft, kCalcNumFrames };

// ---- freq_to_pitch ------------------------------------------------------

// The in-place variant of freq_to_pitch calls np.log2 itself, with out=.
Routines kInPlaceLog2{numpy_at_import, {"log2"}};

// True for a fresh float array that the remaining steps may update in place:
// a temporary of this call that nobody else can see.
bool private_float_array(PyObject* o) {
    // The type first: NDIM may only be read from an ndarray.
    if (!o || Py_TYPE(o) != &PyArray_Type) return false;
    PyArrayObject* a = plain_array(o, PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)));
    return a && Py_REFCNT(o) == 1 && PyArray_NDIM(a) >= 1 && PyArray_ISWRITEABLE(a) &&
           PyArray_IS_C_CONTIGUOUS(a) && PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA) &&
           (PyArray_TYPE(a) == NPY_DOUBLE || PyArray_TYPE(a) == NPY_FLOAT);
}

Ref freq_to_pitch(Call& c) noexcept {
    PyObject* f = c.arg(0);
    K_LET(log2, np_attr(c, K_NAME("log2")));
    K_LET(c440, real(440.0));
    K_LET(ratio, truediv(f, c440.get()));
    K_LET(twelve, integer(12));
    K_LET(c69, integer(69));
    if (Py_TYPE(ratio.get()) == &PyArray_Type && private_float_array(ratio.get()) &&
        log2.get() == kInPlaceLog2.at(c, "log2")) {
        // The interpreter would let NumPy reuse these temporaries in place;
        // doing so explicitly saves two full-size allocations.
        PyObject* args[] = {ratio.get(), ratio.get()};
        K_LET(names, pack({K_NAME("out")}));
        K_LET(lg, Ref::steal(PyObject_Vectorcall(log2.get(), args, 1, names.get())));
        K_LET(scaled, Ref::steal(PyNumber_InPlaceMultiply(lg.get(), twelve.get())));
        K_LET(pitch, Ref::steal(PyNumber_InPlaceAdd(scaled.get(), c69.get())));
        return pitch;
    }
    K_LET(lg, call(log2.get(), {ratio.get()}));
    K_LET(scaled, mul(twelve.get(), lg.get()));
    K_LET(pitch, add(scaled.get(), c69.get()));
    return pitch;
}

// ---- stft ---------------------------------------------------------------

// The zeros that centring and end extension put around the signal, kept
// implicit while the native frame loop can use them that way: with genuine
// NumPy and a plain array, concatenating them is unobservable.
// Stands in for np.zeros and np.concatenate (C routines; nothing in turn).
Routines kImplicitPadding{numpy_at_import, {"zeros", "concatenate"}};

struct Padding {
    bool lazy = false;
    bool centre = false;  // np.concatenate((np.zeros(front), x)) still owed
    long long front = 0;
    long long back = 0;   // np.concatenate((x, np.zeros(back))) still owed when > 0
};

// x = np.concatenate((np.zeros(n), x)) or np.concatenate((x, np.zeros(n))).
Ref pad_signal(Call& c, PyObject* x, PyObject* n, bool in_front) noexcept {
    K_LET(concatenate, np_attr(c, K_NAME("concatenate")));
    K_LET(zeros, np_attr(c, K_NAME("zeros")));
    K_LET(pad, call(zeros.get(), {n}));
    K_LET(parts, in_front ? pack({pad.get(), x}) : pack({x, pad.get()}));
    K_LET(padded, call(concatenate.get(), {parts.get()}));
    return padded;
}

// Makes the owed concatenations, in the order the steps make them.
Ref settle_padding(Call& c, Ref x, Padding& pad) noexcept {
    if (pad.centre) {
        Ref n = Ref::steal(PyLong_FromLongLong(pad.front));
        if (!n) return Ref();
        x = pad_signal(c, x.get(), n.get(), true);
        if (!x) return x;
        pad.centre = false;
        pad.front = 0;
    }
    if (pad.back > 0) {
        Ref n = Ref::steal(PyLong_FromLongLong(pad.back));
        if (!n) return Ref();
        x = pad_signal(c, x.get(), n.get(), false);
        pad.back = 0;
    }
    pad.lazy = false;
    return x;
}

// The frame loop stands in for np.fft.rfft of each frame, and relies on
// np.empty and np.concatenate for `output` and a padded `x`: genuine ones
// make them arrays nobody else holds, safe to use without the GIL.
Routines kFrameLoop{numpy_at_import, {"fft.rfft", "empty", "concatenate"}};
// With zero-padding it also stands in for np.pad(sig, (0, n), "constant")
// of each frame, and for what NumPy's pad calls in turn as np.<name>.
Routines kZeroPadding{numpy_at_import, {"pad", "asarray", "array", "round", "empty"}};

// Both lists above, the second only with zero-padding.
int frame_loop_genuine(const Call& c, long long zp) noexcept {
    const int g = kFrameLoop.genuine(c);
    return g == 1 && zp > 1 ? kZeroPadding.genuine(c) : g;
}

// NumPy 2's rfft takes `out`; older ones get their spectra scattered.
bool rfft_takes_out = false;

// The frame loop of stft, natively: frames are windowed and zero-padded
// into blocks, each block is transformed by one call of NumPy's rfft (row
// by row, as the per-frame calls would), and the spectra are written into
// the columns of `output`.  Declines -- leaving the loop to the
// step-by-step path -- for anything but plain arrays and ints, or when a
// floating-point error would have to be reported.
Fast stft_frames(Call& c, PyObject* x_obj, const Padding& pad, bool own_x, PyObject* window_obj,
                 PyObject* win_len_obj, PyObject* hop_obj, PyObject* zp_obj, PyObject* num_hops_obj,
                 PyObject* output_obj) noexcept {
    long long win_len, hop, zp, num_hops;
    constexpr long long kBig = 1LL << 40;
    if (!small_int(win_len_obj, 1, kBig, &win_len) || !small_int(hop_obj, 1, kBig, &hop) ||
        !small_int(zp_obj, 1, 1 << 20, &zp) || !small_int(num_hops_obj, 0, kBig, &num_hops) ||
        win_len * zp > kBig) {
        return Fast::kDeclined;
    }
    PyArrayObject* x = plain_array(x_obj, 1);
    PyArrayObject* window = plain_array(window_obj, 1);
    PyArrayObject* output = plain_array(output_obj, 2);
    const npy_intp fft_len = win_len * zp;
    const npy_intp num_bins = fft_len / 2 + 1;
    if (!x || !has_type(window, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(window) ||
        PyArray_DIM(window, 0) != win_len || !fresh_contiguous(output, NPY_CDOUBLE, num_bins * num_hops) ||
        PyArray_DIM(output, 0) != num_bins) {
        return Fast::kDeclined;
    }
    if (!frame_dtype(x)) return Fast::kDeclined;
    if (num_hops == 0) return Fast::kDone;
    if ((num_hops - 1) * hop + win_len > pad.front + PyArray_DIM(x, 0) + pad.back) return Fast::kDeclined;
    if (int g = frame_loop_genuine(c, zp); g <= 0) return not_taken(g);

    const double* win = static_cast<const double*>(PyArray_DATA(window));
    const bool window_nan = kernels::any_nan(win, win_len);
    auto* out = static_cast<std::complex<double>*>(PyArray_DATA(output));
    PyObject* rfft = kFrameLoop.at(c, "fft.rfft");
    FpRecorder recorder;
    if (!recorder.enter(NumpyAtImport::errstate(c))) return Fast::kError;
    const npy_intp block_frames = frames_per_block(num_hops, fft_len);
    SignalCadence cadence;
    Ref block, spectra_block;
    for (npy_intp h0 = 0; h0 < num_hops; h0 += block_frames) {
        const npy_intp nb = std::min<npy_intp>(block_frames, num_hops - h0);
        if (!block_array(block, nb, fft_len, NPY_DOUBLE)) return Fast::kError;
        if (window_frames_of(x, pad.front, own_x, win, window_nan, win_len, hop, h0, nb, fft_len,
                             data_of<double>(block))) {
            return recorder.exit() ? Fast::kDeclined : Fast::kError;
        }
        // Spectra into a contiguous block (our own, reused, where rfft takes
        // `out`), then transposed into the result's columns.
        Ref spectra;
        if (rfft_takes_out) {
            if (!block_array(spectra_block, nb, num_bins, NPY_CDOUBLE)) return Fast::kError;
            spectra = call_kw(rfft, {block.get()}, K_NAME("out"), spectra_block.get());
        } else {
            spectra = call(rfft, {block.get()});
        }
        if (const Fast got = checked_block(spectra, NPY_CDOUBLE, nb, num_bins, recorder); got != Fast::kDone) {
            return got == Fast::kError || !recorder.exit() ? Fast::kError : Fast::kDeclined;
        }
        {
            NoGil nogil;
            kernels::scatter_columns(data_of<std::complex<double>>(spectra), nb, num_bins, out, num_hops, h0);
        }
        if (!cadence.tick(nb * fft_len)) return Fast::kError;
    }
    return recorder.exit() ? Fast::kDone : Fast::kError;
}

Ref stft(Call& c) noexcept {
    Ref x = Ref::borrow(c.arg(0));
    Ref win_len = Ref::borrow(c.arg(1));
    PyObject* hop_size = c.arg(2);
    PyObject* zp_factor = c.arg(3);
    Ref window = Ref::borrow(c.arg(4));
    PyObject* centered = c.arg(5);

    if (window.get() == Py_None) {
        K_LET(hanning, np_attr(c, K_NAME("hanning")));
        K_SET(window, call(hanning.get(), {win_len.get()}));
    } else {
        K_SET(win_len, length(window.get()));
    }
    K_LET(two, integer(2));
    K_LET(one, integer(1));
    K_LET(zw, mul(zp_factor, win_len.get()));
    K_LET(half, floordiv(zw.get(), two.get()));
    K_LET(num_bins, add(half.get(), one.get()));

    int is_centered = truth(centered);
    K_CHECK(is_centered >= 0);
    Padding pad;
    long long win_c = 0;
    PyArrayObject* xa = plain_array(x.get(), 1);
    // Only for signals that own their samples: a padded copy of a broadcast
    // view may be too large to make, and then the copy's error is the result.
    pad.lazy = frame_dtype(xa) && PyArray_STRIDE(xa, 0) != 0 && PyArray_DIM(xa, 0) < (1LL << 32) &&
               small_int(win_len.get(), 1, 1LL << 32, &win_c);
    if (pad.lazy) {
        const int padding_genuine = kImplicitPadding.genuine(c);
        K_CHECK(padding_genuine >= 0);
        pad.lazy = padding_genuine;
    }
    if (is_centered) {
        if (pad.lazy) {
            pad.centre = true;
            pad.front = win_c / 2;
        } else {
            K_LET(pad_len, floordiv(win_len.get(), two.get()));
            K_SET(x, pad_signal(c, x.get(), pad_len.get(), true));
        }
    }
    auto signal_length = [&]() {
        return pad.lazy ? Ref::steal(PyLong_FromLongLong(pad.front + PyArray_DIM(xa, 0))) : length(x.get());
    };

    K_LET(calc_num_frames, global(c, K_NAME("calc_num_frames")));
    K_LET(x_len, signal_length());
    K_LET(num_hops, call(calc_num_frames.get(), {x_len.get(), win_len.get(), hop_size}));

    K_LET(hops_m1, sub(num_hops.get(), one.get()));
    K_LET(span, mul(hops_m1.get(), hop_size));
    K_LET(new_x_len, add(span.get(), win_len.get()));
    K_SET(x_len, signal_length());
    K_LET(longer, compare(new_x_len.get(), x_len.get(), Py_GT));
    int extend = truth(longer.get());
    K_CHECK(extend >= 0);
    if (extend) {
        long long wanted = 0;
        // A tail far beyond any real signal is left to np.zeros, whose
        // MemoryError is then the result, as it is step by step.
        if (pad.lazy && small_int(new_x_len.get(), 0, 1LL << 50, &wanted) &&
            wanted - (pad.front + PyArray_DIM(xa, 0)) <= (1LL << 26)) {
            pad.back = wanted - (pad.front + PyArray_DIM(xa, 0));
        } else {
            K_SET(x, settle_padding(c, std::move(x), pad));
            K_SET(x_len, length(x.get()));
            K_LET(missing, sub(new_x_len.get(), x_len.get()));
            K_SET(x, pad_signal(c, x.get(), missing.get(), false));
        }
    }

    K_LET(empty, np_attr(c, K_NAME("empty")));
    K_LET(shape, pack({num_bins.get(), num_hops.get()}));
    K_LET(output, call_kw(empty.get(), {shape.get()}, K_NAME("dtype"),
                          reinterpret_cast<PyObject*>(&PyComplex_Type)));

    K_FAST(fast, stft_frames(c, x.get(), pad, x.get() != c.arg(0), window.get(), win_len.get(),
                             hop_size, zp_factor, num_hops.get(), output.get()));
    if (fast == Fast::kDone) return output;
    if (pad.lazy) {
        K_SET(x, settle_padding(c, std::move(x), pad));
    }

    Py_ssize_t hops = 0;
    K_CHECK(loop_bound(num_hops.get(), &hops));
    K_LET(all, slice(nullptr, nullptr));
    long long frame_len = 0, zp_c = 1;
    small_int(win_len.get(), 0, 1LL << 40, &frame_len);
    small_int(zp_factor, 1, 1 << 20, &zp_c);
    SignalCadence cadence;
    for (Py_ssize_t i = 0; i < hops; ++i) {
        K_CHECK(cadence.tick(frame_len * zp_c + SignalCadence::kStep));
        K_LET(h, ssize(i));
        K_LET(start, mul(h.get(), hop_size));
        K_LET(end, add(start.get(), win_len.get()));
        K_LET(frame, getslice(x.get(), start.get(), end.get()));
        K_LET(sig, mul(frame.get(), window.get()));
        K_LET(zp_gt_1, compare(zp_factor, one.get(), Py_GT));
        int padded = truth(zp_gt_1.get());
        K_CHECK(padded >= 0);
        if (padded) {
            K_LET(pad, np_attr(c, K_NAME("pad")));
            K_LET(zero, integer(0));
            K_LET(zp_m1, sub(zp_factor, one.get()));
            K_LET(amount, mul(win_len.get(), zp_m1.get()));
            K_LET(widths, pack({zero.get(), amount.get()}));
            K_SET(sig, call(pad.get(), {sig.get(), widths.get(), K_NAME("constant")}));
        }
        K_LET(fft, np_attr(c, K_NAME("fft")));
        K_LET(rfft, attr(fft.get(), K_NAME("rfft")));
        K_LET(spectrum, call(rfft.get(), {sig.get()}));
        K_LET(key, pack({all.get(), h.get()}));
        K_CHECK(setitem(output.get(), key.get(), spectrum.get()));
    }
    return output;
}

// stft_mag of a plain array straight to magnitudes: the same frames, the
// same rfft per block, NumPy's abs on each block's spectra (abs is
// elementwise, the same for a block as for the whole matrix), scattered
// into the float64 result -- no complex matrix of the whole signal.  Every
// step before the loop is a pure call of genuine NumPy or of framix, so on
// declining the caller can redo it all step by step.
// Stands in for the whole stft call (np.hanning, and the np.array NumPy's
// hanning calls in turn; the padding and frame loop listed above) and for
// np.abs of its result.
Routines kMagnitudes{numpy_at_import, {"abs", "hanning", "array"}};

Fast stft_mag_native(Call& c, Ref& result) noexcept {
    long long win_len, hop, zp;
    PyArrayObject* x = plain_array(c.arg(0), 1);
    if (!frame_dtype(x) || PyArray_STRIDE(x, 0) == 0 || PyArray_DIM(x, 0) >= (1LL << 32) ||
        !small_int(c.arg(1), 1, 1LL << 32, &win_len) || !small_int(c.arg(2), 1, 1LL << 40, &hop) ||
        !small_int(c.arg(3), 1, 1 << 20, &zp) || win_len * zp > (1LL << 32)) {
        return Fast::kDeclined;
    }
    int g = global_is(c, K_NAME("stft"), c.state->extras[kOwnStft]);
    if (g == 1) g = global_is(c, K_NAME("calc_num_frames"), c.state->extras[kCalcNumFrames]);
    if (g == 1) g = kMagnitudes.genuine(c);
    if (g == 1) g = kImplicitPadding.genuine(c);
    if (g == 1) g = frame_loop_genuine(c, zp);
    if (g <= 0) return not_taken(g);
    Ref window;
    if (const int h = hann_window(kMagnitudes.at(c, "hanning"), c.arg(1), win_len, window); h <= 0) {
        return not_taken(h);
    }
    const long long front = win_len / 2;
    const long long n = PyArray_DIM(x, 0);
    Ref signal_len = Ref::steal(PyLong_FromLongLong(front + n));
    if (!signal_len) return Fast::kError;
    Ref hops_obj = call(c.state->extras[kCalcNumFrames], {signal_len.get(), c.arg(1), c.arg(2)});
    if (!hops_obj) return Fast::kError;
    long long num_hops;
    if (!small_int(hops_obj.get(), 0, 1LL << 40, &num_hops)) return Fast::kDeclined;
    const long long wanted = num_hops > 0 ? (num_hops - 1) * hop + win_len : win_len - hop;
    if (wanted - (front + n) > (1LL << 26)) return Fast::kDeclined;
    const npy_intp fft_len = win_len * zp, num_bins = fft_len / 2 + 1;
    npy_intp dims[2] = {num_bins, num_hops};
    Ref mag = new_array_or_decline(2, dims, NPY_DOUBLE, sizeof(double));
    if (!mag) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    if (num_hops == 0) {
        result = std::move(mag);
        return Fast::kDone;
    }
    const double* win = data_of<double>(window);
    const bool window_nan = kernels::any_nan(win, win_len);
    PyObject* rfft = kFrameLoop.at(c, "fft.rfft");
    PyObject* abs = kMagnitudes.at(c, "abs");
    FpRecorder recorder;
    if (!recorder.enter(NumpyAtImport::errstate(c))) return Fast::kError;
    const npy_intp block_frames = frames_per_block(num_hops, fft_len);
    SignalCadence cadence;
    Ref block;
    for (npy_intp h0 = 0; h0 < num_hops; h0 += block_frames) {
        const npy_intp nb = std::min<npy_intp>(block_frames, num_hops - h0);
        if (!block_array(block, nb, fft_len, NPY_DOUBLE)) return Fast::kError;
        if (window_frames_of(x, front, false, win, window_nan, win_len, hop, h0, nb, fft_len,
                             data_of<double>(block))) {
            return recorder.exit() ? Fast::kDeclined : Fast::kError;
        }
        Ref spectra = call(rfft, {block.get()});
        if (!spectra) return Fast::kError;
        Ref mags;
        if (const Fast got = block_magnitudes(abs, spectra.get(), nb, num_bins, recorder, mags); got != Fast::kDone) {
            return got == Fast::kError || !recorder.exit() ? Fast::kError : Fast::kDeclined;
        }
        {
            NoGil nogil;
            kernels::scatter_columns(data_of<double>(mags), nb, num_bins,
                                     data_of<double>(mag), num_hops, h0);
        }
        if (!cadence.tick(nb * fft_len)) return Fast::kError;
    }
    if (!recorder.exit()) return Fast::kError;
    result = std::move(mag);
    return Fast::kDone;
}

Ref stft_mag(Call& c) noexcept {
    {
        Ref mag;
        K_FAST(fast, stft_mag_native(c, mag));
        if (fast == Fast::kDone) return mag;
    }
    K_LET(abs, np_attr(c, K_NAME("abs")));
    K_LET(stft_fn, global(c, K_NAME("stft")));
    K_LET(spec, call(stft_fn.get(), {c.arg(0), c.arg(1), c.arg(2), c.arg(3)}));
    K_LET(mag, call(abs.get(), {spec.get()}));
    return mag;
}

const FuncDef kFreqToPitch{"freq_to_pitch", sonix::kFreqToPitchDoc, {"f"}, 1, freq_to_pitch, __LINE__};
const FuncDef kStftMag{"stft_mag", sonix::kStftMagDoc, {"x", "win_len", "hop_size", "zp_factor"}, 4,
                       stft_mag, __LINE__};
const FuncDef kStft{"stft", sonix::kStftDoc,
                    {"x", "win_len", "hop_size", "zp_factor", "window", "centered"}, 6, stft,
                    __LINE__};

bool init(PyObject* m, int* line) {
    Ref np = import_numpy(m, numpy_at_import);
    K_INIT(np);
    ModuleState& state = state_of(m);
    {
        Ref version = attr(np.get(), K_NAME("__version__"));
        const char* v = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
        if (!v) PyErr_Clear();
        rfft_takes_out = v && std::atoi(v) >= 2;
    }
    Ref framix = import_relative(m, "framix", {"calc_num_frames"});
    K_INIT(framix);
    Ref cnf = import_from(framix.get(), "calc_num_frames");
    K_INIT(cnf);
    K_INIT(bind_global(m, "calc_num_frames", cnf.get()));
    K_INIT(add_function(m, kModule, kFreqToPitch, Ref()) == 0);
    K_INIT(add_function(m, kModule, kStftMag, Ref::steal(Py_BuildValue("(i)", 1))) == 0);
    K_INIT(add_function(m, kModule, kStft, Ref::steal(Py_BuildValue("(iOO)", 1, Py_None, Py_True))) == 0);
    state.set_extra(kOwnStft, PyDict_GetItemString(PyModule_GetDict(m), "stft"));
    state.set_extra(kCalcNumFrames, cnf.get());
    return true;
}

}  // namespace
}  // namespace korvel

KORVEL_MODULE(sonix, kModule, init)
