// korvel.sonix: pitch conversion and the short-time Fourier transform.
#include <algorithm>
#include <cstdlib>
#include <complex>

#define KORVEL_IMPORTS_NUMPY
#include "kernels/fpe.hpp"
#include "runtime/arrays.hpp"
#include "sonix_docstrings.hpp"
#include "spectral/stft_path.hpp"

namespace korvel {
namespace {

const ModuleInfo kModule{"korvel.sonix", "package/korvel/sonix", "init korvel.sonix"};

using spectral::plan_signal_frames;

// Each fast path below names the numpy routines it stands in for next to
// it (see Routines); initialisation lists them all (kRoutineLists).
// The module's extras (see ModuleState).
enum Extra { kOwnStft, kCalcNumFrames, kExtraCount };

// ---- freq_to_pitch ------------------------------------------------------

// The in-place variant of freq_to_pitch calls np.log2 itself, with out=.
Routines kInPlaceLog2{"log2"};

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

Ref freq_to_pitch(Call& c, PyObject* f) noexcept {
    K_LET(log2, np_attr(c, K_NAME("log2")));
    K_LET(c440, real(440.0));
    K_LET(ratio, truediv(f, c440.get()));
    K_LET(twelve, integer(12));
    K_LET(c69, integer(69));
    if (Py_TYPE(ratio.get()) == &PyArray_Type && private_float_array(ratio.get()) &&
        log2.get() == kInPlaceLog2.at(c, "log2")) {
        // The interpreter would let NumPy reuse these temporaries in place;
        // doing so explicitly saves two full-size allocations.
        K_LET(lg, call_kw(log2.get(), {ratio.get()}, K_NAME("out"), ratio.get()));
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
Routines kImplicitPadding{spectral::kImplicitZeros};
// The frame loop, and with zero-padding the np.pad of each frame.
Routines kFrameLoop{spectral::kFrameTransforms};
Routines kZeroPadding{spectral::kZeroPadding};

struct Padding {
    bool lazy = false;
    bool centre = false;  // np.concatenate((np.zeros(front), x)) still owed
    long long front = 0;
    long long back = 0;   // np.concatenate((x, np.zeros(back))) still owed when > 0
    long long n = 0;      // samples of the caller's x, while lazy
};

// x = np.concatenate((np.zeros(n), x)) or np.concatenate((x, np.zeros(n))).
Ref pad_signal(Call& c, PyObject* x, PyObject* n, bool in_front) noexcept {
    K_LET(concatenate, np_attr(c, K_NAME("concatenate")));
    K_LET(pad, np_call(c, K_NAME("zeros"), {n}));
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

// len(x) of the signal the steps would have made by now.
Ref signal_length(PyObject* x, const Padding& pad) noexcept {
    return pad.lazy ? Ref::steal(PyLong_FromLongLong(pad.front + pad.n)) : length(x);
}

// Both lists above, the second only with zero-padding.
int frame_loop_genuine(const Call& c, long long zp) noexcept {
    const int g = kFrameLoop.genuine(c);
    return g == 1 && zp > 1 ? kZeroPadding.genuine(c) : g;
}

// NumPy 2's rfft takes `out`; older ones get their spectra scattered.
bool rfft_takes_out = false;

// The frame loop of stft, natively (spectral/frames.hpp), the spectra
// written into the columns of `output`.  Declines -- leaving the loop to
// the step-by-step path -- for anything but plain arrays and ints, or when
// a floating-point error would have to be reported.
Fast stft_frames(Call& c, PyObject* x_obj, const Padding& pad, bool own_x, PyObject* window_obj,
                 PyObject* win_len_obj, PyObject* hop_obj, PyObject* zp_obj, PyObject* num_hops_obj,
                 PyObject* output_obj) noexcept {
    long long win_len, hop, zp, num_hops;
    if (!small_int(win_len_obj, 1, limits::kSize, &win_len) || !small_int(hop_obj, 1, limits::kSize, &hop) ||
        !small_int(zp_obj, 1, limits::kZeroPad, &zp) || !small_int(num_hops_obj, 0, limits::kSize, &num_hops) ||
        win_len * zp > limits::kSignal) {
        return Fast::kDeclined;
    }
    SignalFrames f;
    f.x = plain_array(x_obj, 1);
    PyArrayObject* window = plain_array(window_obj, 1);
    PyArrayObject* output = plain_array(output_obj, 2);
    f.fft_len = win_len * zp;
    f.num_bins = f.fft_len / 2 + 1;
    if (!f.x || !has_type(window, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(window) ||
        PyArray_DIM(window, 0) != win_len || !fresh_contiguous(output, NPY_CDOUBLE, f.num_bins * num_hops) ||
        PyArray_DIM(output, 0) != f.num_bins) {
        return Fast::kDeclined;
    }
    if (!frame_dtype(f.x)) return Fast::kDeclined;
    if (num_hops == 0) return Fast::kDone;
    if ((num_hops - 1) * hop + win_len > pad.front + PyArray_DIM(f.x, 0) + pad.back) return Fast::kDeclined;
    if (int g = frame_loop_genuine(c, zp); g <= 0) return not_taken(g);
    f.own_x = own_x;
    f.front = pad.front;
    f.win_len = win_len;
    f.hop = hop;
    f.num_hops = num_hops;
    set_window(f, Ref::borrow(window_obj));
    f.rfft = kFrameLoop.at(c, "fft.rfft");
    // Spectra into a contiguous block (our own, reused, where rfft takes
    // `out`), then transposed into the result's columns.
    f.rfft_out = rfft_takes_out ? K_NAME("out") : nullptr;
    auto* out = static_cast<std::complex<double>*>(PyArray_DATA(output));
    return run_blocks(c, f, frames_per_block(num_hops, f.fft_len), [&](npy_intp h0, npy_intp nb, Ref& spectra,
                                                                      const FpRecorder&) {
        NoGil nogil;
        kernels::scatter_columns(data_of<std::complex<double>>(spectra), nb, f.num_bins, out, num_hops, h0);
        return Fast::kDone;
    });
}

// x with the centring stft asks for: the zeros in front made, or kept
// implicit in `pad` when the native loop can use them that way.
Ref centre_signal(Call& c, Ref x, PyObject* win_len, int is_centered, Padding& pad) noexcept {
    long long win_c = 0;
    PyArrayObject* xa = plain_array(x.get(), 1);
    // Only for signals that own their samples: a padded copy of a broadcast
    // view may be too large to make, and then the copy's error is the result.
    pad.lazy = frame_dtype(xa) && PyArray_STRIDE(xa, 0) != 0 && PyArray_DIM(xa, 0) < limits::kSignal &&
               small_int(win_len, 1, limits::kSignal, &win_c);
    if (pad.lazy) {
        const int padding_genuine = kImplicitPadding.genuine(c);
        K_CHECK(padding_genuine >= 0);
        pad.lazy = padding_genuine;
        pad.n = PyArray_DIM(xa, 0);
    }
    if (is_centered) {
        if (pad.lazy) {
            pad.centre = true;
            pad.front = win_c / 2;
        } else {
            K_LET(two, integer(2));
            K_LET(pad_len, floordiv(win_len, two.get()));
            K_SET(x, pad_signal(c, x.get(), pad_len.get(), true));
        }
    }
    return x;
}

// num_hops = calc_num_frames(len(x), win_len, hop_size), and x extended
// with zeros to cover every frame (kept implicit in `pad` when it can be).
Ref count_and_extend(Call& c, Ref& x, PyObject* win_len, PyObject* hop_size, Padding& pad) noexcept {
    K_LET(one, integer(1));
    K_LET(calc_num_frames, global(c, K_NAME("calc_num_frames")));
    K_LET(x_len, signal_length(x.get(), pad));
    K_LET(num_hops, call(calc_num_frames.get(), {x_len.get(), win_len, hop_size}));

    K_LET(hops_m1, sub(num_hops.get(), one.get()));
    K_LET(span, mul(hops_m1.get(), hop_size));
    K_LET(new_x_len, add(span.get(), win_len));
    K_SET(x_len, signal_length(x.get(), pad));
    K_LET(longer, compare(new_x_len.get(), x_len.get(), Py_GT));
    int extend = truth(longer.get());
    K_CHECK(extend >= 0);
    if (extend) {
        long long wanted = 0;
        // A tail far beyond any real signal is left to np.zeros, whose
        // MemoryError is then the result, as it is step by step.
        if (pad.lazy && small_int(new_x_len.get(), 0, limits::kExtendedLength, &wanted) &&
            wanted - (pad.front + pad.n) <= limits::kImplicitTail) {
            pad.back = wanted - (pad.front + pad.n);
        } else {
            K_SET(x, settle_padding(c, std::move(x), pad));
            K_SET(x_len, length(x.get()));
            K_LET(missing, sub(new_x_len.get(), x_len.get()));
            K_SET(x, pad_signal(c, x.get(), missing.get(), false));
        }
    }
    return num_hops;
}

// The frame loop step by step: output[:, h] = np.fft.rfft(frame) of each
// windowed (and zero-padded) frame.
Ref frame_steps(Call& c, PyObject* x, PyObject* window, PyObject* win_len, PyObject* hop_size, PyObject* zp_factor,
                PyObject* num_hops, PyObject* output) noexcept {
    Py_ssize_t hops = 0;
    K_CHECK(loop_bound(num_hops, &hops));
    K_LET(one, integer(1));
    K_LET(all, slice(nullptr, nullptr));
    long long frame_len = 0, zp_c = 1;
    small_int(win_len, 0, limits::kSize, &frame_len);
    small_int(zp_factor, 1, limits::kZeroPad, &zp_c);
    for (Steps steps(hops, frame_len * zp_c); !steps.done();) {
        K_LET(h, steps.next());
        K_LET(start, mul(h.get(), hop_size));
        K_LET(frame, getslice_from(x, start.get(), win_len));
        K_LET(sig, mul(frame.get(), window));
        K_LET(zp_gt_1, compare(zp_factor, one.get(), Py_GT));
        int padded = truth(zp_gt_1.get());
        K_CHECK(padded >= 0);
        if (padded) {
            K_LET(pad, np_attr(c, K_NAME("pad")));
            K_LET(zero, integer(0));
            K_LET(zp_m1, sub(zp_factor, one.get()));
            K_LET(amount, mul(win_len, zp_m1.get()));
            K_LET(widths, pack({zero.get(), amount.get()}));
            K_SET(sig, call(pad.get(), {sig.get(), widths.get(), K_NAME("constant")}));
        }
        K_LET(fft, np_attr(c, K_NAME("fft")));
        K_LET(rfft, attr(fft.get(), K_NAME("rfft")));
        K_LET(spectrum, call(rfft.get(), {sig.get()}));
        K_LET(key, pack({all.get(), h.get()}));
        K_CHECK(setitem(output, key.get(), spectrum.get()));
    }
    return Ref::borrow(output);
}

Ref stft(Call& c) noexcept {
    Ref x = Ref::borrow(c.arg(0));
    Ref win_len = Ref::borrow(c.arg(1));
    PyObject* hop_size = c.arg(2);
    PyObject* zp_factor = c.arg(3);
    Ref window = Ref::borrow(c.arg(4));

    if (window.get() == Py_None) {
        K_SET(window, np_call(c, K_NAME("hanning"), {win_len.get()}));
    } else {
        K_SET(win_len, length(window.get()));
    }
    K_LET(two, integer(2));
    K_LET(one, integer(1));
    K_LET(zw, mul(zp_factor, win_len.get()));
    K_LET(half, floordiv(zw.get(), two.get()));
    K_LET(num_bins, add(half.get(), one.get()));

    int is_centered = truth(c.arg(5));
    K_CHECK(is_centered >= 0);
    Padding pad;
    K_SET(x, centre_signal(c, std::move(x), win_len.get(), is_centered, pad));
    K_LET(num_hops, count_and_extend(c, x, win_len.get(), hop_size, pad));

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
    return frame_steps(c, x.get(), window.get(), win_len.get(), hop_size, zp_factor, num_hops.get(), output.get());
}

// stft_mag of a plain array straight to magnitudes: the same frames, the
// same rfft per block, NumPy's abs on each block's spectra (abs is
// elementwise, the same for a block as for the whole matrix), scattered
// into the float64 result -- no complex matrix of the whole signal.  Every
// step before the loop is a pure call of genuine NumPy or of framix, so on
// declining the caller can redo it all step by step.
// Stands in for the whole stft call (np.hanning, the padding and the frame
// loop) and for np.abs of its result.
Routines kMagnitudePath{spectral::kFrameTransforms, spectral::kMagnitudes, spectral::kHannWindow,
                        spectral::kImplicitZeros};

Fast stft_mag_native(Call& c, Ref& result) noexcept {
    SignalFrames f;
    const int g = plan_signal_frames(c, c.arg(0), c.arg(1), c.arg(2), c.arg(3), true, 0, kMagnitudePath,
                                     c.state->extras[kCalcNumFrames], [&](long long zp) {
        int h = global_is(c, K_NAME("stft"), c.state->extras[kOwnStft]);
        if (h == 1) h = genuine_with(c, K_NAME("calc_num_frames"), c.state->extras[kCalcNumFrames], kMagnitudePath);
        return h == 1 && zp > 1 ? kZeroPadding.genuine(c) : h;
    }, f);
    if (g <= 0) return not_taken(g);
    npy_intp dims[2] = {f.num_bins, f.num_hops};
    Ref mag = new_array_or_decline(2, dims, NPY_DOUBLE, sizeof(double));
    if (!mag) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    if (f.num_hops == 0) {
        result = std::move(mag);
        return Fast::kDone;
    }
    PyObject* abs = kMagnitudePath.at(c, "abs");
    auto* out = data_of<double>(mag);
    return run_blocks_into(c, f, frames_per_block(f.num_hops, f.fft_len), std::move(mag), result,
                           [&](npy_intp h0, npy_intp nb, Ref& spectra, const FpRecorder& recorder) {
        Ref mags;
        const Fast m = block_magnitudes(abs, spectra.get(), nb, f.num_bins, recorder, mags);
        if (m == Fast::kDone) {
            NoGil nogil;
            kernels::scatter_columns(data_of<double>(mags), nb, f.num_bins, out, f.num_hops, h0);
        }
        return m;
    });
}


Ref stft_mag(Call& c, PyObject* x, PyObject* win_len, PyObject* hop_size, PyObject* zp_factor) noexcept {
    {
        Ref mag;
        K_FAST(fast, stft_mag_native(c, mag));
        if (fast == Fast::kDone) return mag;
    }
    K_LET(abs, np_attr(c, K_NAME("abs")));
    K_LET(stft_fn, global(c, K_NAME("stft")));
    K_LET(spec, call(stft_fn.get(), {x, win_len, hop_size, zp_factor}));
    K_LET(mag, call(abs.get(), {spec.get()}));
    return mag;
}

const FuncDef kFreqToPitch{"freq_to_pitch", sonix::kFreqToPitchDoc, {"f"}, 1, with_args<freq_to_pitch>,
                           __LINE__};
const FuncDef kStftMag{"stft_mag", sonix::kStftMagDoc, {"x", "win_len", "hop_size", "zp_factor"}, 4,
                       with_args<stft_mag>, __LINE__};
const FuncDef kStft{"stft", sonix::kStftDoc,
                    {"x", "win_len", "hop_size", "zp_factor", "window", "centered"}, 6, stft,
                    __LINE__};

const RoutineTable kRoutineLists{{&kInPlaceLog2, &kImplicitPadding, &kFrameLoop, &kZeroPadding, &kMagnitudePath}};

bool init(PyObject* m, int* line) {
    Ref np = import_numpy(m, {&kRoutineLists}, kExtraCount);
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
    Ref cnf = import_bound(m, framix.get(), "calc_num_frames");
    K_INIT(cnf);
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
