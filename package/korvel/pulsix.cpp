// korvel.pulsix: novelty, tempograms, tempo, local pulse, beats and clicks.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>

#include "frame/arrays.hpp"
#include "kernels/dp_beats.hpp"
#include "kernels/fpe.hpp"
#include "kernels/frames.hpp"
#include "kernels/gather.hpp"
#include "kernels/novelty.hpp"
#include "kernels/pulse.hpp"

namespace korvel {
namespace {

const ModuleInfo kModule{"korvel.pulsix", "package/korvel/pulsix", "init korvel.pulsix"};

// numpy as captured at import; each fast path below names the routines
// it stands in for next to it (see Routines).  Arrays made by genuine NumPy
// calls of this function are private to the call, which is what lets the
// native loops run without the GIL.
NumpyAtImport numpy_at_import;
PyObject* own_auto_correlate = nullptr;
PyObject* imported_stft_mag = nullptr;

// sonix's stft_mag as this module imported it, with its namespace and
// the frame counter it calls: the novelty blocks stand in for its native
// path, so they hold where that path would run.
PyObject* sonix_globals = nullptr;
PyObject* sonix_stft = nullptr;
PyObject* sonix_calc_num_frames = nullptr;

constexpr long long kBig = 1LL << 40;

// A Python float/int or NumPy float64 scalar as a double, when converting it
// is exactly what NumPy does with it in float64 arithmetic.
bool plain_real(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o) || Py_TYPE(o) == &PyDoubleArrType_Type) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    long long v;
    if (small_int(o, -(1LL << 53), 1LL << 53, &v)) {
        *out = static_cast<double>(v);
        return true;
    }
    return false;
}

// ---- spectral_novelty ---------------------------------------------------

const char kSpectralNoveltyDoc[] =
    "Create the spectral novelty curve for a given signal x\n"
    "\n"
    "    :param x: the signal\n"
    "    :param fft_len: the length of the FFT for the spectrogram\n"
    "    :param hop_size: the hop size for the spectrogram\n"
    "    :param gamma: log compression factor\n"
    "\n"
    "    :returns: a numpy array of the spectral novelty curve\n"
    "    ";

// spec = mag ** 2 ... spec_nov = np.sum(dls, axis=0), step by step; picks up
// at the logarithm when `log_spec` is already given.
Ref novelty_steps(Call& c, PyObject* mag, PyObject* gamma, Ref log_spec = Ref()) {
    K_LET(one, integer(1));
    if (!log_spec) {
        K_LET(two, integer(2));
        K_LET(spec, power(mag, two.get()));
        K_LET(np, global(c, K_NAME("np")));
        K_LET(log10, attr(np.get(), K_NAME("log10")));
        K_LET(scaled, mul(gamma, spec.get()));
        K_LET(shifted, add(one.get(), scaled.get()));
        K_SET(log_spec, call(log10.get(), {shifted.get()}));
    }
    K_LET(all, slice(nullptr, nullptr));
    K_LET(from1, slice(one.get(), nullptr));
    K_LET(later_key, pack({all.get(), from1.get()}));
    K_LET(later, getitem(log_spec.get(), later_key.get()));
    K_LET(minus1, integer(-1));
    K_LET(upto_last, slice(nullptr, minus1.get()));
    K_LET(earlier_key, pack({all.get(), upto_last.get()}));
    K_LET(earlier, getitem(log_spec.get(), earlier_key.get()));
    K_LET(dls, sub(later.get(), earlier.get()));
    K_LET(zero, integer(0));
    {
        K_LET(neg_mask, compare(dls.get(), zero.get(), Py_LT));
        K_CHECK(setitem(dls.get(), neg_mask.get(), zero.get()));
    }
    K_LET(np_sum, global(c, K_NAME("np")));
    K_LET(sum, attr(np_sum.get(), K_NAME("sum")));
    K_LET(spec_nov, call_kw(sum.get(), {dls.get()}, K_NAME("axis"), zero.get()));
    return spec_nov;
}

// The same steps fused natively: 1 + gamma * mag**2 in one pass, NumPy's
// log10 in place on it, then differences, rectification and the sum over
// bins (row by row, as NumPy's sum along the first axis adds) in one pass.
// Declining after the logarithm hands it over in `log_spec`, for the steps
// to pick up from there.
// Calls np.log10 itself; stands in for np.sum, and for the np.add whose
// reduce NumPy's sum calls in turn.
Routines kNoveltySteps{numpy_at_import, {"log10", "sum", "add"}};

Fast novelty_native(Call& c, PyObject* mag_obj, PyObject* gamma_obj, Ref& result, Ref& log_spec) {
    double gamma;
    PyArrayObject* mag = plain_array(mag_obj, 2);
    if (!plain_real(gamma_obj, &gamma) || std::isnan(gamma) || !has_type(mag, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(mag) ||
        PyArray_DIM(mag, 1) < 3 || PyArray_DIM(mag, 0) < 1) {
        return Fast::kDeclined;
    }
    int g = global_is(c, K_NAME("stft_mag"), imported_stft_mag);
    if (g == 1) g = kNoveltySteps.genuine(c);
    if (g <= 0) return not_taken(g);
    const npy_intp rows = PyArray_DIM(mag, 0), cols = PyArray_DIM(mag, 1);
    Ref logs = Ref::steal(PyArray_NewLikeArray(mag, NPY_CORDER, nullptr, 0));
    if (!logs) return Fast::kError;
    auto* ls = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(logs.get())));
    bool flagged;
    {
        NoGil nogil;
        kernels::clear_fp_flags();
        kernels::compress_input(static_cast<const double*>(PyArray_DATA(mag)), rows * cols, gamma, ls);
        flagged = kernels::fp_flags_raised();
    }
    if (flagged) return Fast::kDeclined;
    {
        PyObject* args[] = {logs.get(), logs.get()};
        Ref names = pack({K_NAME("out")});
        if (!names) return Fast::kError;
        Ref done = Ref::steal(PyObject_Vectorcall(kNoveltySteps["log10"], args, 1, names.get()));
        if (!done) return Fast::kError;
    }
    npy_intp dims[1] = {cols - 1};
    Ref flux = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!flux) return Fast::kError;
    {
        NoGil nogil;
        kernels::clear_fp_flags();
        const bool clash = kernels::rectified_flux(
            ls, rows, cols, static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flux.get()))));
        flagged = clash || kernels::fp_flags_raised();
    }
    if (flagged) {
        log_spec = std::move(logs);
        return Fast::kDeclined;
    }
    result = std::move(flux);
    return Fast::kDone;
}

// The novelty blocks stand in for sonix.stft_mag's whole native path: what
// it checks in sonix's namespace (its own stft and frame counter there) and
// the routines it stands in for -- np.hanning (and the np.array NumPy's
// hanning calls in turn), the centring np.zeros and np.concatenate, np.empty,
// np.fft.rfft of each frame and np.abs of the result.
Routines kStftMagPath{numpy_at_import, {"fft.rfft", "abs", "hanning", "array", "empty", "concatenate", "zeros"}};

// 1 while sonix.stft_mag would take its native path for these arguments,
// so that its result is what the blocks below compute; 0 when not, -1 with
// an error set.
int stft_mag_native_holds(PyObject* x_obj, PyObject* win_len_obj, PyObject* hop_obj) {
    long long v;
    PyArrayObject* x = plain_array(x_obj, 1);
    const int t = x ? PyArray_TYPE(x) : -1;
    const bool frame_dtype = t == NPY_DOUBLE || t == NPY_FLOAT || t == NPY_INT16 || t == NPY_INT32 || t == NPY_INT64;
    if (!frame_dtype || PyArray_STRIDE(x, 0) == 0 || PyArray_DIM(x, 0) >= (1LL << 32) ||
        !small_int(win_len_obj, 1, 1LL << 32, &v) || !small_int(hop_obj, 1, 1LL << 40, &v) || !sonix_globals) {
        return 0;
    }
    const Call sonix_call{nullptr, sonix_globals, &kModule};
    int g = global_is(sonix_call, K_NAME("stft"), sonix_stft);
    if (g == 1) g = global_is(sonix_call, K_NAME("calc_num_frames"), sonix_calc_num_frames);
    if (g == 1) g = kStftMagPath.genuine(sonix_call);
    return g;
}

template <typename T>
void window_block(PyArrayObject* x, npy_intp front, const double* win, npy_intp win_len, npy_intp hop,
                  npy_intp h0, npy_intp nb, double* block, bool* clash) {
    *clash = kernels::window_frames(static_cast<const T*>(PyArray_DATA(x)),
                                    PyArray_STRIDE(x, 0) / static_cast<npy_intp>(sizeof(T)), PyArray_DIM(x, 0),
                                    front, win, kernels::any_nan(win, win_len), win_len, hop, h0, nb, win_len,
                                    block);
}

// Frames per block of the novelty blocks: about 256 KB of frames, so that a
// block's magnitudes and log spectra stay in L2 from one step to the next,
// and the call's memory stays a block instead of two spectrogram matrices.
npy_intp novelty_block_frames(npy_intp num_hops, npy_intp fft_len) {
    return std::clamp<npy_intp>((npy_intp{256} << 10) / (8 * fft_len), 8, std::max<npy_intp>(num_hops, 8));
}

// stft_mag followed by the novelty steps, block by block over the frames:
// the same windowed frames, NumPy's rfft and abs on each block (as
// stft_mag's native path calls them), 1 + gamma * mag**2 natively and
// NumPy's log10 in place on the block (contiguous, as on the whole
// matrix), and each frame's rectified flux against the frame before it.
// No magnitude or log matrix of the whole signal exists at any time.
// Declines wherever the two-step path could differ or would report
// something; every call it makes before is of genuine NumPy or framix, and
// pure.  Besides stft_mag's path, it stands in for what novelty_native
// does (kNoveltySteps).
Fast novelty_blocks(Call& c, PyObject* x_obj, PyObject* win_len_obj, PyObject* hop_obj, PyObject* gamma_obj,
                    Ref& result) {
    double gamma;
    long long win_len, hop;
    if (!plain_real(gamma_obj, &gamma) || std::isnan(gamma)) return Fast::kDeclined;
    int g = global_is(c, K_NAME("stft_mag"), imported_stft_mag);
    if (g == 1) g = kNoveltySteps.genuine(c);
    if (g == 1) g = stft_mag_native_holds(x_obj, win_len_obj, hop_obj);
    if (g <= 0) return not_taken(g);
    small_int(win_len_obj, 1, 1LL << 32, &win_len);
    small_int(hop_obj, 1, 1LL << 40, &hop);
    PyArrayObject* x = reinterpret_cast<PyArrayObject*>(x_obj);
    Ref window = call(kStftMagPath["hanning"], {win_len_obj});
    if (!window) return Fast::kError;
    PyArrayObject* w = plain_array(window.get(), 1);
    if (!has_type(w, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(w) || PyArray_DIM(w, 0) != win_len) {
        return Fast::kDeclined;
    }
    const long long front = win_len / 2, n = PyArray_DIM(x, 0);
    Ref signal_len = Ref::steal(PyLong_FromLongLong(front + n));
    if (!signal_len) return Fast::kError;
    Ref hops_obj = call(sonix_calc_num_frames, {signal_len.get(), win_len_obj, hop_obj});
    if (!hops_obj) return Fast::kError;
    long long num_hops;
    if (!small_int(hops_obj.get(), 3, 1LL << 40, &num_hops)) return Fast::kDeclined;
    if ((num_hops - 1) * hop + win_len - (front + n) > (1LL << 26)) return Fast::kDeclined;
    const npy_intp bins = win_len / 2 + 1;
    npy_intp dims[1] = {static_cast<npy_intp>(num_hops - 1)};
    Ref flux = new_array_or_decline(1, dims, NPY_DOUBLE, sizeof(double));
    if (!flux) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flux.get())));
    // The previous block's last log spectrum, as a NumPy array so that
    // memory tracing sees it like every other buffer of the call.
    npy_intp last_dims[1] = {bins};
    Ref last_array = Ref::steal(PyArray_SimpleNew(1, last_dims, NPY_DOUBLE));
    if (!last_array) return Fast::kError;
    auto* last = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(last_array.get())));
    const auto* win = static_cast<const double*>(PyArray_DATA(w));
    const npy_intp block_frames = novelty_block_frames(num_hops, win_len);
    npy_intp block_dims[2] = {std::min<npy_intp>(block_frames, num_hops), win_len};
    Ref block = Ref::steal(PyArray_SimpleNew(2, block_dims, NPY_DOUBLE));
    if (!block) return Fast::kError;
    Ref names = pack({K_NAME("out")});
    if (!names) return Fast::kError;
    FpRecorder recorder;
    if (!recorder.enter(numpy_at_import.errstate())) return Fast::kError;
    auto declined = [&recorder] { return recorder.exit() ? Fast::kDeclined : Fast::kError; };
    SignalCadence cadence;
    for (npy_intp h0 = 0; h0 < num_hops; h0 += block_frames) {
        const npy_intp nb = std::min<npy_intp>(block_frames, num_hops - h0);
        if (nb != PyArray_DIM(reinterpret_cast<PyArrayObject*>(block.get()), 0)) {
            block_dims[0] = nb;
            block = Ref::steal(PyArray_SimpleNew(2, block_dims, NPY_DOUBLE));
            if (!block) return Fast::kError;
        }
        auto* frames = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(block.get())));
        bool clash = false;
        kernels::clear_fp_flags();
        switch (PyArray_TYPE(x)) {
            case NPY_DOUBLE: window_block<double>(x, front, win, win_len, hop, h0, nb, frames, &clash); break;
            case NPY_FLOAT: window_block<float>(x, front, win, win_len, hop, h0, nb, frames, &clash); break;
            case NPY_INT16: window_block<npy_int16>(x, front, win, win_len, hop, h0, nb, frames, &clash); break;
            case NPY_INT32: window_block<npy_int32>(x, front, win, win_len, hop, h0, nb, frames, &clash); break;
            default: window_block<npy_int64>(x, front, win, win_len, hop, h0, nb, frames, &clash); break;
        }
        if (clash || kernels::fp_flags_raised()) return declined();
        Ref spectra = call(kStftMagPath["fft.rfft"], {block.get()});
        if (!spectra) return Fast::kError;
        Ref mags = call(kStftMagPath["abs"], {spectra.get()});
        if (!mags) return Fast::kError;
        spectra.reset();
        PyArrayObject* m = plain_array(mags.get(), 2);
        if (recorder.seen() || !has_type(m, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(m) ||
            !PyArray_ISWRITEABLE(m) || PyArray_DIM(m, 0) != nb || PyArray_DIM(m, 1) != bins) {
            return declined();
        }
        auto* ls = static_cast<double*>(PyArray_DATA(m));
        kernels::clear_fp_flags();
        kernels::compress_input(ls, nb * bins, gamma, ls);
        if (kernels::fp_flags_raised()) return declined();
        PyObject* args[] = {mags.get(), mags.get()};
        Ref logged = Ref::steal(PyObject_Vectorcall(kNoveltySteps["log10"], args, 1, names.get()));
        if (!logged) return Fast::kError;
        if (recorder.seen()) return declined();
        kernels::clear_fp_flags();
        // The first frame has no flux of its own; it only serves the second.
        if (h0 == 0) {
            clash = nb > 1 && kernels::rectified_flux_frames(ls, ls + bins, nb - 1, bins, out);
        } else {
            clash = kernels::rectified_flux_frames(last, ls, nb, bins, out + h0 - 1);
        }
        if (clash || kernels::fp_flags_raised()) return declined();
        std::copy(ls + (nb - 1) * bins, ls + nb * bins, last);
        if (!cadence.tick(nb * win_len)) return Fast::kError;
    }
    if (!recorder.exit()) return Fast::kError;
    result = std::move(flux);
    return Fast::kDone;
}

Ref spectral_novelty(Call& c) {
    PyObject* gamma = c.arg(3);
    Ref spec_nov;
    K_FAST(blocks, novelty_blocks(c, c.arg(0), c.arg(1), c.arg(2), gamma, spec_nov));
    if (blocks == Fast::kDeclined) {
        K_LET(stft_mag, global(c, K_NAME("stft_mag")));
        K_LET(mag, call(stft_mag.get(), {c.arg(0), c.arg(1), c.arg(2)}));
        Ref log_spec;
        K_FAST(fast, novelty_native(c, mag.get(), gamma, spec_nov, log_spec));
        if (fast == Fast::kDeclined) {
            K_SET(spec_nov, novelty_steps(c, mag.get(), gamma, std::move(log_spec)));
        }
    }
    K_LET(zero, integer(0));
    K_LET(ave_len, integer(9));
    K_LET(np_h, global(c, K_NAME("np")));
    K_LET(hanning, attr(np_h.get(), K_NAME("hanning")));
    K_LET(win, call(hanning.get(), {ave_len.get()}));
    {
        K_LET(np_s, global(c, K_NAME("np")));
        K_LET(sum2, attr(np_s.get(), K_NAME("sum")));
        K_LET(total, call(sum2.get(), {win.get()}));
        K_SET(win, itruediv(win.get(), total.get()));
    }
    K_LET(np_c, global(c, K_NAME("np")));
    K_LET(convolve, attr(np_c.get(), K_NAME("convolve")));
    K_LET(conv, call_kw(convolve.get(), {spec_nov.get(), win.get()}, K_NAME("mode"), K_NAME("same")));
    K_LET(factor, real(1.02));
    K_LET(la, mul(conv.get(), factor.get()));
    K_SET(spec_nov, isub(spec_nov.get(), la.get()));
    {
        K_LET(neg_mask, compare(spec_nov.get(), zero.get(), Py_LT));
        K_CHECK(setitem(spec_nov.get(), neg_mask.get(), zero.get()));
    }
    K_LET(np_m, global(c, K_NAME("np")));
    K_LET(max, attr(np_m.get(), K_NAME("max")));
    K_LET(peak, call(max.get(), {spec_nov.get()}));
    K_SET(spec_nov, itruediv(spec_nov.get(), peak.get()));
    return spec_nov;
}

// ---- make_clicks --------------------------------------------------------

const char kMakeClicksDoc[] =
    "Create an audio signal with clicks at specific locations.\n"
    "\n"
    "    :param frames: array of locations at which to place clicks\n"
    "    :param out_len: ensure that output is of this length\n"
    "    :param click: the click sound\n"
    "\n"
    "    :returns: a numpy array of the audio signal of clicks\n"
    "    ";

// The click loop, natively, for int64 positions and a float64 click.  The
// loop itself is array arithmetic; it relies on np.zeros for `out`.
Routines kClickLoop{numpy_at_import, {"zeros"}};

Fast clicks_native(Call& c, PyObject* frames_obj, PyObject* click_obj, PyObject* click_len_obj,
                   PyObject* out_obj) {
    long long click_len;
    PyArrayObject* frames = plain_array(frames_obj, 1);
    PyArrayObject* click = plain_array(click_obj, 1);
    PyArrayObject* out = plain_array(out_obj, 1);
    if (!small_int(click_len_obj, 0, kBig, &click_len) || !has_type(frames, NPY_INT64) ||
        !has_type(click, NPY_DOUBLE) || PyArray_DIM(click, 0) != click_len ||
        !fresh_contiguous(out, NPY_DOUBLE, PyArray_DIM(out, 0))) {
        return Fast::kDeclined;
    }
    if (int g = kClickLoop.genuine(c); g <= 0) return not_taken(g);
    const npy_intp count = PyArray_DIM(frames, 0);
    const auto* pos = static_cast<const std::int64_t*>(PyArray_DATA(frames));
    const npy_intp pos_stride = PyArray_STRIDE(frames, 0) / 8;
    for (npy_intp k = 0; k < count; ++k) {
        // f + click_len must not overflow int64 (NumPy would warn).
        if (pos[k * pos_stride] > kBig || pos[k * pos_stride] < -kBig) return Fast::kDeclined;
    }
    auto* dst = static_cast<double*>(PyArray_DATA(out));
    const npy_intp out_len = PyArray_DIM(out, 0);
    auto add = [&](npy_intp k0, npy_intp nk) {
        kernels::clear_fp_flags();
        return kernels::add_clicks(pos + k0 * pos_stride, pos_stride, nk,
                                   static_cast<const double*>(PyArray_DATA(click)), PyArray_STRIDE(click, 0) / 8,
                                   click_len, dst, out_len) &&
               !kernels::fp_flags_raised();
    };
    // Clicks in runs of about one signal interval; most tracks are one run.
    const std::int64_t click_ops = std::max<std::int64_t>(1, click_len);
    SignalCadence cadence;
    bool ok = true;
    if (count * click_ops <= cadence.budget()) {
        ok = add(0, count);
    } else {
        const npy_intp run = std::max<std::int64_t>(1, SignalCadence::kInterval / click_ops);
        for (npy_intp k0 = 0; k0 < count && ok; k0 += run) {
            const npy_intp nk = std::min<npy_intp>(count - k0, run);
            ok = add(k0, nk);
            if (ok && !cadence.tick(nk * click_ops)) return Fast::kError;
        }
    }
    if (ok) return Fast::kDone;
    std::memset(dst, 0, static_cast<size_t>(out_len) * sizeof(double));
    return Fast::kDeclined;
}

Ref make_clicks(Call& c) {
    Ref frames = Ref::borrow(c.arg(0));
    PyObject* out_len = c.arg(1);
    Ref click_snd = Ref::borrow(c.arg(2));
    Ref click_len;
    if (click_snd.get() == Py_None) {
        K_SET(click_len, integer(50));
        K_LET(half, real(0.5));
        K_LET(np, global(c, K_NAME("np")));
        K_LET(ones, attr(np.get(), K_NAME("ones")));
        K_LET(unit, call(ones.get(), {click_len.get()}));
        K_SET(click_snd, mul(half.get(), unit.get()));
    } else {
        K_SET(click_len, length(click_snd.get()));
    }
    K_LET(astype, attr(frames.get(), K_NAME("astype")));
    K_SET(frames, call(astype.get(), {reinterpret_cast<PyObject*>(&PyLong_Type)}));
    K_LET(np, global(c, K_NAME("np")));
    K_LET(zeros, attr(np.get(), K_NAME("zeros")));
    K_LET(minus1, integer(-1));
    K_LET(last, getitem(frames.get(), minus1.get()));
    K_LET(total, add(last.get(), click_len.get()));
    K_LET(out, call(zeros.get(), {total.get()}));
    K_FAST(fast, clicks_native(c, frames.get(), click_snd.get(), click_len.get(), out.get()));
    K_LET(it, Ref::steal(PyObject_GetIter(frames.get())));
    long long click_ops = 0;
    small_int(click_len.get(), 0, kBig, &click_ops);
    SignalCadence cadence;
    while (fast == Fast::kDeclined) {
        K_CHECK(cadence.tick(click_ops + SignalCadence::kStep));
        Ref f = Ref::steal(PyIter_Next(it.get()));
        if (!f) {
            K_CHECK(!PyErr_Occurred());
            break;
        }
        K_LET(end, add(f.get(), click_len.get()));
        K_LET(where, slice(f.get(), end.get()));
        K_LET(part, getitem(out.get(), where.get()));
        K_LET(summed, iadd(part.get(), click_snd.get()));
        K_CHECK(setitem(out.get(), where.get(), summed.get()));
    }
    int resize = truth(out_len);
    K_CHECK(resize >= 0);
    if (resize) {
        // Called as a method so that no bound-method object holds an extra
        // reference to `out`: resize refuses arrays referenced elsewhere.
        PyObject* margs[] = {out.get(), out_len};
        K_LET(done, Ref::steal(PyObject_VectorcallMethod(K_NAME("resize"), margs,
                                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
    }
    return out;
}

// ---- auto_correlate / make_ac_tempogram ---------------------------------

const char kAutoCorrelateDoc[] =
    "Calculate the autocorrelation on a signal.\n"
    "\n"
    "    :param x: the signal\n"
    "\n"
    "    :returns: a numpy array of length len(x), the autocorrelation of x\n"
    "    ";

Ref auto_correlate(Call& c) {
    PyObject* x = c.arg(0);
    K_LET(np, global(c, K_NAME("np")));
    K_LET(correlate, attr(np.get(), K_NAME("correlate")));
    K_LET(ac, call_kw(correlate.get(), {x, x}, K_NAME("mode"), K_NAME("full")));
    K_LET(n, length(x));
    K_LET(one, integer(1));
    K_LET(first, sub(n.get(), one.get()));
    K_LET(lags, getslice(ac.get(), first.get(), nullptr));
    return lags;
}

const char kMakeAcTempogramDoc[] =
    "Makes the autocorrelation tempogram of a signal\n"
    "\n"
    "    :param x: the signal\n"
    "    :param win_len: length of the windows for the autocorrelation tempogram\n"
    "    :param hop_size: length of the hops for the autocorrelation tempogram\n"
    "\n"
    "    :returns: a matrix of shape (win_len, num_hops)\n"
    "    ";

// The frame loop of make_ac_tempogram without the interpreter: NumPy's own
// correlation per frame, its non-negative lags copied into the column.
// Calls np.correlate itself, as this module's auto_correlate does.
Routines kAcFrames{numpy_at_import, {"correlate"}};

Fast ac_frames_native(Call& c, PyObject* x_obj, PyObject* win_obj, PyObject* hop_obj, PyObject* tg_len_obj,
                      PyObject* out_obj) {
    long long win, hop, tg_len;
    PyArrayObject* x = plain_array(x_obj, 1);
    PyArrayObject* out = plain_array(out_obj, 2);
    if (!small_int(win_obj, 1, kBig, &win) || !small_int(hop_obj, 1, kBig, &hop) ||
        !small_int(tg_len_obj, 0, kBig, &tg_len) || !has_type(x, NPY_DOUBLE) ||
        !fresh_contiguous(out, NPY_DOUBLE, win * tg_len) || PyArray_DIM(out, 0) != win ||
        (tg_len > 0 && (tg_len - 1) * hop + win > PyArray_DIM(x, 0))) {
        return Fast::kDeclined;
    }
    int g = global_is(c, K_NAME("auto_correlate"), own_auto_correlate);
    if (g == 1) g = kAcFrames.genuine(c);
    if (g <= 0) return not_taken(g);
    PyObject* correlate = kAcFrames["correlate"];
    SignalCadence cadence;
    auto* dst = static_cast<double*>(PyArray_DATA(out));
    for (long long n = 0; n < tg_len; ++n) {
        Ref lo = ssize(static_cast<Py_ssize_t>(n * hop));
        Ref hi = ssize(static_cast<Py_ssize_t>(n * hop + win));
        if (!lo || !hi) return Fast::kError;
        Ref frame = getslice(x_obj, lo.get(), hi.get());
        if (!frame) return Fast::kError;
        Ref ac = call_kw(correlate, {frame.get(), frame.get()}, K_NAME("mode"), K_NAME("full"));
        if (!ac) return Fast::kError;
        PyArrayObject* a = plain_array(ac.get(), 1);
        if (!has_type(a, NPY_DOUBLE) || PyArray_DIM(a, 0) != 2 * win - 1) {
            return n == 0 ? Fast::kDeclined : (PyErr_SetString(PyExc_SystemError, "unexpected correlation"), Fast::kError);
        }
        const char* src = static_cast<const char*>(PyArray_DATA(a));
        const npy_intp stride = PyArray_STRIDE(a, 0);
        for (long long k = 0; k < win; ++k) {
            std::memcpy(&dst[k * tg_len + n], src + (win - 1 + k) * stride, sizeof(double));
        }
        if (!cadence.tick(win * win)) return Fast::kError;
    }
    return Fast::kDone;
}

Ref make_ac_tempogram(Call& c) {
    PyObject* x = c.arg(0);
    PyObject* win_len = c.arg(1);
    PyObject* hop_size = c.arg(2);
    K_LET(n, length(x));
    K_LET(excess, sub(n.get(), win_len));
    K_LET(quotient, truediv(excess.get(), hop_size));
    K_LET(tg_len, Ref::steal(PyNumber_Long(quotient.get())));
    K_LET(np, global(c, K_NAME("np")));
    K_LET(empty, attr(np.get(), K_NAME("empty")));
    K_LET(shape, pack({win_len, tg_len.get()}));
    K_LET(out, call(empty.get(), {shape.get()}));
    K_FAST(fast, ac_frames_native(c, x, win_len, hop_size, tg_len.get(), out.get()));
    if (fast == Fast::kDone) return out;
    Py_ssize_t frames = 0;
    K_CHECK(loop_bound(tg_len.get(), &frames));
    K_LET(all, slice(nullptr, nullptr));
    long long win_c = 0;
    small_int(win_len, 0, 1LL << 20, &win_c);
    SignalCadence cadence;
    for (Py_ssize_t i = 0; i < frames; ++i) {
        K_CHECK(cadence.tick(win_c * win_c + SignalCadence::kStep));
        K_LET(col, ssize(i));
        K_LET(ac_fn, global(c, K_NAME("auto_correlate")));
        K_LET(start, mul(col.get(), hop_size));
        K_LET(end, add(start.get(), win_len));
        K_LET(frame, getslice(x, start.get(), end.get()));
        K_LET(ac, call(ac_fn.get(), {frame.get()}));
        K_LET(key, pack({all.get(), col.get()}));
        K_CHECK(setitem(out.get(), key.get(), ac.get()));
    }
    return out;
}

// ---- tempo <-> tempogram bin --------------------------------------------

// int(np.<rounding>(bpm / 60.0 * fft_len / ff))
Ref tempo_bin(Call& c, PyObject* rounding_name, PyObject* bpm, PyObject* fft_len, PyObject* ff) {
    K_LET(np, global(c, K_NAME("np")));
    K_LET(rounding, attr(np.get(), rounding_name));
    K_LET(sixty, real(60.0));
    K_LET(beats_per_sec, truediv(bpm, sixty.get()));
    K_LET(scaled, mul(beats_per_sec.get(), fft_len));
    K_LET(bin, truediv(scaled.get(), ff));
    K_LET(rounded, call(rounding.get(), {bin.get()}));
    K_LET(k, Ref::steal(PyNumber_Long(rounded.get())));
    return k;
}

// The next-bin-up mapping local to the tempogram searches; its errors carry
// an extra traceback entry named after the enclosing function.
Ref ceil_bin(Call& c, const char* owner, PyObject* bpm, PyObject* fft_len, PyObject* ff) {
    Call inner{c.args, c.globals, c.module};
    Ref k = tempo_bin(inner, K_NAME("ceil"), bpm, fft_len, ff);
    if (!k) add_traceback(owner, c.module->file, inner.line);
    return k;
}

const char kBpmToKDoc[] =
    "For a given tempo (in beats per minute) return the corresponding bin number of\n"
    "    a Fourier tempogram\n"
    "\n"
    "    :param bpm: a tempo in beats per minute\n"
    "    :param fft_len: N - the DFT length used in the Fourier tempogram\n"
    "    :param ff: the feature rate of the novelty curve used to create the Fourier tempogram\n"
    "\n"
    "    :returns: the corresponding bin number\n"
    "    ";

Ref bpm_to_k(Call& c) { return tempo_bin(c, K_NAME("round"), c.arg(0), c.arg(1), c.arg(2)); }

// (shape[0] - 1) * 2 of a spectrogram-like object
Ref implied_fft_len(Call& c, PyObject* spec) {
    K_LET(shape, attr(spec, K_NAME("shape")));
    K_LET(zero, integer(0));
    K_LET(rows, getitem(shape.get(), zero.get()));
    K_LET(one, integer(1));
    K_LET(rows_m1, sub(rows.get(), one.get()));
    K_LET(two, integer(2));
    K_LET(fft_len, mul(rows_m1.get(), two.get()));
    return fft_len;
}

const char kBestTempogramBinsDoc[] =
    "Find the bin with the largest magnitude at each time step in a Fourier tempogram\n"
    "\n"
    "    :param tg: the Fourier tempogram\n"
    "    :param ff: the feature rate of the novelty curve used to create the Fourier tempogram\n"
    "    :param bpm_min: minimum tempo\n"
    "    :param bpm_max: maximum tempo\n"
    "\n"
    "    :returns: a numpy array of length tg.shape[1]\n"
    "    ";

Ref best_tempogram_bins(Call& c) {
    PyObject* tg = c.arg(0);
    PyObject* ff = c.arg(1);
    const char* helper = "korvel.pulsix.best_tempogram_bins.bpm_to_k";
    K_LET(fft_len, implied_fft_len(c, tg));
    K_LET(k_min, ceil_bin(c, helper, c.arg(2), fft_len.get(), ff));
    K_LET(k_max, ceil_bin(c, helper, c.arg(3), fft_len.get(), ff));
    K_LET(np, global(c, K_NAME("np")));
    K_LET(abs, attr(np.get(), K_NAME("abs")));
    K_LET(mag, call(abs.get(), {tg}));
    K_LET(rows, slice(k_min.get(), k_max.get()));
    K_LET(all, slice(nullptr, nullptr));
    K_LET(key, pack({rows.get(), all.get()}));
    K_LET(tg_mag, getitem(mag.get(), key.get()));
    K_LET(np2, global(c, K_NAME("np")));
    K_LET(argmax, attr(np2.get(), K_NAME("argmax")));
    K_LET(zero, integer(0));
    K_LET(pos, call_kw(argmax.get(), {tg_mag.get()}, K_NAME("axis"), zero.get()));
    K_LET(bins, add(pos.get(), k_min.get()));
    return bins;
}

// ---- get_sinusoid_params ------------------------------------------------

const char kGetSinusoidParamsDoc[] =
    "Given a spectrogram and a list of bins, return the frequencies and phases associated with "
    "those bins.\n"
    "\n"
    "    :param spec: input spectrogram\n"
    "    :param fs: the sample rate\n"
    "    :param bins: list of bins\n"
    "\n"
    "    :returns: a tuple of two lists, (frequencies, phases), each of length len(bins)\n"
    "    ";

Ref gather_reference(Call& c, PyObject* array, PyObject* spec, PyObject* bins);

// values = np.array([spec[b, i] for i, b in enumerate(bins)]) natively for
// a plain complex128/float64 spec and int64 bins that index it.
// Stands in for np.array (a C routine; nothing in turn).
Routines kGather{numpy_at_import, {"array"}};

Fast gather_native(Call& c, PyObject* spec_obj, PyObject* bins_obj, Ref& result) {
    PyArrayObject* spec = plain_array(spec_obj, 2);
    PyArrayObject* bins = plain_array(bins_obj, 1);
    if (!spec || !has_type(bins, NPY_INT64)) return Fast::kDeclined;
    if (int g = kGather.genuine(c); g <= 0) return not_taken(g);
    const int type = PyArray_TYPE(spec);
    const npy_intp count = PyArray_DIM(bins, 0);
    const npy_intp rows = PyArray_DIM(spec, 0);
    const npy_intp itemsize = type == NPY_CDOUBLE ? 16 : 8;
    if ((type != NPY_CDOUBLE && type != NPY_DOUBLE) || count == 0 || count > PyArray_DIM(spec, 1) ||
        PyArray_STRIDE(spec, 0) % itemsize || PyArray_STRIDE(spec, 1) % itemsize) {
        return Fast::kDeclined;
    }
    const auto* b = static_cast<const std::int64_t*>(PyArray_DATA(bins));
    const npy_intp bstride = PyArray_STRIDE(bins, 0) / 8;
    for (npy_intp i = 0; i < count; ++i) {
        if (b[i * bstride] < -rows || b[i * bstride] >= rows) return Fast::kDeclined;
    }
    npy_intp dims[1] = {count};
    Ref values = Ref::steal(PyArray_SimpleNew(1, dims, type));
    if (!values) return Fast::kError;
    void* out = PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get()));
    const npy_intp rs = PyArray_STRIDE(spec, 0) / itemsize, cs = PyArray_STRIDE(spec, 1) / itemsize;
    if (type == NPY_CDOUBLE) {
        kernels::gather_diagonal(static_cast<const std::complex<double>*>(PyArray_DATA(spec)), rows, rs, cs,
                                 b, bstride, count, static_cast<std::complex<double>*>(out));
    } else {
        kernels::gather_diagonal(static_cast<const double*>(PyArray_DATA(spec)), rows, rs, cs, b, bstride,
                                 count, static_cast<double*>(out));
    }
    result = std::move(values);
    return Fast::kDone;
}

Ref get_sinusoid_params(Call& c) {
    PyObject* spec = c.arg(0);
    PyObject* bins = c.arg(2);
    K_LET(fft_len, implied_fft_len(c, spec));
    K_LET(fs, Ref::steal(PyNumber_Float(c.arg(1))));
    K_LET(scaled, mul(bins, fs.get()));
    K_LET(freqs, truediv(scaled.get(), fft_len.get()));
    K_LET(np, global(c, K_NAME("np")));
    K_LET(array, attr(np.get(), K_NAME("array")));
    Ref values;
    K_FAST(fast, gather_native(c, spec, bins, values));
    if (fast == Fast::kDeclined) {
        K_SET(values, gather_reference(c, array.get(), spec, bins));
    }
    K_LET(np2, global(c, K_NAME("np")));
    K_LET(angle, attr(np2.get(), K_NAME("angle")));
    K_LET(phases, call(angle.get(), {values.get()}));
    K_LET(result, pack({freqs.get(), phases.get()}));
    return result;
}

Ref gather_reference(Call& c, PyObject* array, PyObject* spec, PyObject* bins) {
    K_LET(items, Ref::steal(PyList_New(0)));
    K_LET(it, Ref::steal(PyObject_GetIter(bins)));
    SignalCadence cadence;
    for (Py_ssize_t i = 0;; ++i) {
        K_CHECK(cadence.tick(SignalCadence::kStep));
        Ref b = Ref::steal(PyIter_Next(it.get()));
        if (!b) {
            K_CHECK(!PyErr_Occurred());
            break;
        }
        K_LET(col, ssize(i));
        K_LET(key, pack({b.get(), col.get()}));
        K_LET(value, getitem(spec, key.get()));
        K_CHECK(PyList_Append(items.get(), value.get()) == 0);
    }
    K_LET(values, call(array, {items.get()}));
    return values;
}

// ---- make_local_pulse ---------------------------------------------------

const char kMakeLocalPulseDoc[] =
    "Return the predominant local pulse signal from a given novelty curve.\n"
    "\n"
    "    :param nov: an onset novelty curve\n"
    "    :param ff: feature rate of nov\n"
    "    :param bpm_min: lower limit of tempo range to consider\n"
    "    :param bpm_max: (exclusive) upper limit tempo range to consider\n"
    "    :param win_len_tg: tempogram window length\n"
    "    :param hop_tg: tempogram hop size\n"
    "    :param zp_tg: zero-padding factor for STFT to increase frequency resolution\n"
    "\n"
    "    :returns: a signal of combined sinusoids that reflect the local pulse\n"
    "    ";

// `a, b = pair`: exactly two items, with the unpacking messages of the
// interpreter's fixed-size unpacking.
bool unpack_two(PyObject* pair, Ref* first, Ref* second) {
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) return false;
    Ref* slots[2] = {first, second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i,
                             i == 1 ? "" : "s");
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return false;
    }
    return !PyErr_Occurred();
}

// The synthesis loop of make_local_pulse: cosine arguments built natively
// for a block of frames, one np.cos call per block, then the windowed
// overlap-add in frame order.  Declines when a floating-point error would
// have to be reported; `est` is then back to zeros.
// Stands in for np.cos and np.pi of each frame; relies on np.arange,
// np.hanning and np.zeros for `n`, `win` and a private `est`.
Routines kPulseSynthesis{numpy_at_import, {"cos", "pi", "arange", "hanning", "zeros"}};

Fast pulse_native(Call& c, PyObject* freqs_obj, PyObject* phases_obj, PyObject* n_obj, PyObject* win_obj,
                  PyObject* ff_obj, PyObject* hop_obj, PyObject* est_obj) {
    long long hop;
    double ff;
    PyArrayObject* freqs = plain_array(freqs_obj, 1);
    PyArrayObject* phases = plain_array(phases_obj, 1);
    PyArrayObject* n = plain_array(n_obj, 1);
    PyArrayObject* win = plain_array(win_obj, 1);
    PyArrayObject* est = plain_array(est_obj, 1);
    if (!small_int(hop_obj, 0, kBig, &hop) || !plain_real(ff_obj, &ff) || std::isnan(ff) ||
        !has_type(freqs, NPY_DOUBLE) ||
        !has_type(phases, NPY_DOUBLE) || !has_type(n, NPY_INT64) || !PyArray_IS_C_CONTIGUOUS(n) ||
        !has_type(win, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(win)) {
        return Fast::kDeclined;
    }
    const npy_intp num_hops = PyArray_DIM(freqs, 0);
    const npy_intp win_len = PyArray_DIM(win, 0);
    if (PyArray_DIM(n, 0) != win_len || PyArray_DIM(phases, 0) < num_hops || win_len == 0 ||
        !fresh_contiguous(est, NPY_DOUBLE, num_hops * hop + win_len)) {
        return Fast::kDeclined;
    }
    if (int g = kPulseSynthesis.genuine(c); g <= 0) return not_taken(g);
    PyObject* pi = kPulseSynthesis["pi"];
    if (!PyFloat_CheckExact(pi)) return Fast::kDeclined;
    if (num_hops == 0) return Fast::kDone;
    const double two_pi = 2.0 * PyFloat_AS_DOUBLE(pi);
    const auto* f = static_cast<const double*>(PyArray_DATA(freqs));
    const auto* ph = static_cast<const double*>(PyArray_DATA(phases));
    const auto* idx = static_cast<const std::int64_t*>(PyArray_DATA(n));
    const auto* w = static_cast<const double*>(PyArray_DATA(win));
    auto* out = static_cast<double*>(PyArray_DATA(est));
    const npy_intp fstride = PyArray_STRIDE(freqs, 0) / 8, pstride = PyArray_STRIDE(phases, 0) / 8;
    if (PyArray_STRIDE(freqs, 0) % 8 || PyArray_STRIDE(phases, 0) % 8) return Fast::kDeclined;

    const npy_intp block_frames = std::max<npy_intp>(1, std::min<npy_intp>(num_hops, 16384 / win_len));
    npy_intp dims[2] = {block_frames, win_len};
    Ref args = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    if (!args) return Fast::kError;
    FpRecorder recorder;
    if (!recorder.enter(numpy_at_import.errstate())) return Fast::kError;
    SignalCadence cadence;
    bool declined = false;
    for (npy_intp m0 = 0; m0 < num_hops && !declined; m0 += block_frames) {
        const npy_intp nb = std::min<npy_intp>(block_frames, num_hops - m0);
        if (nb != block_frames) {
            dims[0] = nb;
            args = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
            if (!args) return Fast::kError;
        }
        auto* a = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(args.get())));
        kernels::clear_fp_flags();
        const bool clash = kernels::cosine_args(two_pi, f, fstride, ph, pstride, idx, win_len, ff, m0, nb, a);
        if (clash || kernels::fp_flags_raised()) {
            declined = true;
            break;
        }
        Ref waves = call(kPulseSynthesis["cos"], {args.get()});
        if (!waves) return Fast::kError;
        PyArrayObject* wv = plain_array(waves.get(), 2);
        if (recorder.seen() || !has_type(wv, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(wv) ||
            PyArray_DIM(wv, 0) != nb) {
            declined = true;
            break;
        }
        const auto* wave = static_cast<const double*>(PyArray_DATA(wv));
        {
            NoGil nogil;
            kernels::clear_fp_flags();
            const bool clash = kernels::overlap_add(w, wave, win_len, hop, m0, nb, out);
            declined = clash || kernels::fp_flags_raised();
        }
        if (!cadence.tick(nb * win_len)) return Fast::kError;
    }
    if (!recorder.exit()) return Fast::kError;
    if (!declined) return Fast::kDone;
    std::memset(out, 0, static_cast<size_t>(PyArray_DIM(est, 0)) * sizeof(double));
    return Fast::kDeclined;
}

Ref make_local_pulse(Call& c) {
    PyObject* nov = c.arg(0);
    PyObject* ff = c.arg(1);
    PyObject* win_len_tg = c.arg(4);
    PyObject* hop_tg = c.arg(5);
    PyObject* zp_tg = c.arg(6);
    K_LET(stft, global(c, K_NAME("stft")));
    K_LET(tg, call_kw(stft.get(), {nov, win_len_tg, hop_tg, zp_tg}, K_NAME("centered"), Py_False));
    K_LET(best, global(c, K_NAME("best_tempogram_bins")));
    K_LET(bins, call(best.get(), {tg.get(), ff, c.arg(2), c.arg(3)}));
    K_LET(params_fn, global(c, K_NAME("get_sinusoid_params")));
    K_LET(params, call(params_fn.get(), {tg.get(), ff, bins.get()}));
    Ref freqs, phases;
    K_CHECK(unpack_two(params.get(), &freqs, &phases));
    K_LET(np, global(c, K_NAME("np")));
    K_LET(arange, attr(np.get(), K_NAME("arange")));
    K_LET(n, call(arange.get(), {win_len_tg}));
    K_LET(np2, global(c, K_NAME("np")));
    K_LET(hanning, attr(np2.get(), K_NAME("hanning")));
    K_LET(win, call(hanning.get(), {win_len_tg}));
    K_LET(num_hops, length(freqs.get()));
    K_LET(np3, global(c, K_NAME("np")));
    K_LET(zeros, attr(np3.get(), K_NAME("zeros")));
    K_LET(covered, mul(num_hops.get(), hop_tg));
    K_LET(est_len, add(covered.get(), win_len_tg));
    K_LET(est, call(zeros.get(), {est_len.get()}));
    K_FAST(fast, pulse_native(c, freqs.get(), phases.get(), n.get(), win.get(), ff, hop_tg, est.get()));
    Py_ssize_t hops = 0;
    if (fast == Fast::kDeclined) K_CHECK(loop_bound(num_hops.get(), &hops));
    K_LET(two, integer(2));
    long long win_c = 0;
    small_int(win_len_tg, 0, kBig, &win_c);
    SignalCadence cadence;
    for (Py_ssize_t i = 0; i < hops; ++i) {
        K_CHECK(cadence.tick(win_c + SignalCadence::kStep));
        K_LET(m, ssize(i));
        K_LET(npc, global(c, K_NAME("np")));
        K_LET(cos, attr(npc.get(), K_NAME("cos")));
        K_LET(npp, global(c, K_NAME("np")));
        K_LET(pi, attr(npp.get(), K_NAME("pi")));
        K_LET(two_pi, mul(two.get(), pi.get()));
        K_LET(freq, getitem(freqs.get(), m.get()));
        K_LET(omega, mul(two_pi.get(), freq.get()));
        K_LET(ramp, mul(omega.get(), n.get()));
        K_LET(scaled, truediv(ramp.get(), ff));
        K_LET(phase, getitem(phases.get(), m.get()));
        K_LET(arg, add(scaled.get(), phase.get()));
        K_LET(wave, call(cos.get(), {arg.get()}));
        K_LET(est_m, mul(win.get(), wave.get()));
        K_LET(start, mul(m.get(), hop_tg));
        K_LET(end, add(start.get(), win_len_tg));
        K_LET(where, slice(start.get(), end.get()));
        K_LET(part, getitem(est.get(), where.get()));
        K_LET(summed, iadd(part.get(), est_m.get()));
        K_CHECK(setitem(est.get(), where.get(), summed.get()));
    }
    K_LET(zero, integer(0));
    K_LET(neg_mask, compare(est.get(), zero.get(), Py_LT));
    K_CHECK(setitem(est.get(), neg_mask.get(), zero.get()));
    return est;
}

// ---- estimate_bpm -------------------------------------------------------

const char kEstimateBpmDoc[] =
    "Estimate the average BPM for a given novelty curve that has a feature-rate ff. Limits the "
    "tempo estimates to between bpm_min and bpm_max.\n"
    "\n"
    "    :param nov: the novelty curve\n"
    "    :param ff: feature rate\n"
    "    :param bpm_min: minimum BPM\n"
    "    :param bpm_max: maximum BPM\n"
    "\n"
    "    :returns: a BPM value between bpm_min and bpm_max\n"
    "    ";

// np.mean(np.abs(tg), axis=1) over blocks of rows: abs and mean are NumPy's
// own, on contiguous row blocks of the contiguous tempogram (abs is
// elementwise; each row's mean is its own pairwise sum divided by the
// count), so only a block of magnitudes exists at a time.  Declines when
// NumPy would report something.
// Calls np.abs and np.mean itself.
Routines kMeanRows{numpy_at_import, {"abs", "mean"}};

Fast mean_magnitude_rows(Call& c, PyObject* tg_obj, Ref& result) {
    PyArrayObject* tg = plain_array(tg_obj, 2);
    if (!has_type(tg, NPY_CDOUBLE) || !PyArray_IS_C_CONTIGUOUS(tg) || PyArray_DIM(tg, 1) < 1) {
        return Fast::kDeclined;
    }
    if (const int g = kMeanRows.genuine(c); g <= 0) return not_taken(g);
    const npy_intp rows = PyArray_DIM(tg, 0), cols = PyArray_DIM(tg, 1);
    // About 256 KB of magnitudes per block.
    const npy_intp block_rows = std::clamp<npy_intp>((npy_intp{32} << 10) / cols, 1, std::max<npy_intp>(rows, 1));
    npy_intp dims[1] = {rows};
    Ref ave = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!ave) return Fast::kError;
    auto* dst = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ave.get())));
    Ref one = integer(1);
    if (!one) return Fast::kError;
    FpRecorder recorder;
    if (!recorder.enter(numpy_at_import.errstate())) return Fast::kError;
    SignalCadence cadence;
    for (npy_intp r0 = 0; r0 < rows; r0 += block_rows) {
        const npy_intp nr = std::min<npy_intp>(block_rows, rows - r0);
        npy_intp bdims[2] = {nr, cols};
        PyArray_Descr* descr = PyArray_DESCR(tg);
        Py_INCREF(descr);
        Ref block = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 2, bdims, nullptr,
                                                    PyArray_BYTES(tg) + r0 * PyArray_STRIDE(tg, 0), 0, nullptr));
        if (!block) return Fast::kError;
        Py_INCREF(tg_obj);
        if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(block.get()), tg_obj) < 0) return Fast::kError;
        Ref mags = call(kMeanRows["abs"], {block.get()});
        if (!mags) return Fast::kError;
        Ref means = call_kw(kMeanRows["mean"], {mags.get()}, K_NAME("axis"), one.get());
        if (!means) return Fast::kError;
        PyArrayObject* m = plain_array(means.get(), 1);
        if (recorder.seen() || !has_type(m, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(m) || PyArray_DIM(m, 0) != nr) {
            return recorder.exit() ? Fast::kDeclined : Fast::kError;
        }
        std::memcpy(dst + r0, PyArray_DATA(m), static_cast<size_t>(nr) * sizeof(double));
        if (!cadence.tick(nr * cols + SignalCadence::kStep)) return Fast::kError;
    }
    if (!recorder.exit()) return Fast::kError;
    result = std::move(ave);
    return Fast::kDone;
}

Ref estimate_bpm(Call& c) {
    PyObject* nov = c.arg(0);
    PyObject* ff = c.arg(1);
    const char* helper = "korvel.pulsix.estimate_bpm.bpm_to_k";
    K_LET(win_tg, integer(256));
    K_LET(hop_tg, integer(32));
    K_LET(zp_tg, integer(16));
    K_LET(fft_len, mul(win_tg.get(), zp_tg.get()));
    K_LET(stft, global(c, K_NAME("stft")));
    K_LET(tg, call_kw(stft.get(), {nov, win_tg.get(), hop_tg.get(), zp_tg.get()}, K_NAME("centered"),
                      Py_False));
    Ref ave_tg;
    K_FAST(fast, mean_magnitude_rows(c, tg.get(), ave_tg));
    if (fast == Fast::kDeclined) {
        K_LET(np, global(c, K_NAME("np")));
        K_LET(abs, attr(np.get(), K_NAME("abs")));
        K_SET(tg, call(abs.get(), {tg.get()}));
        K_LET(np2, global(c, K_NAME("np")));
        K_LET(mean, attr(np2.get(), K_NAME("mean")));
        K_LET(one, integer(1));
        K_SET(ave_tg, call_kw(mean.get(), {tg.get()}, K_NAME("axis"), one.get()));
    }
    K_LET(k_min, ceil_bin(c, helper, c.arg(2), fft_len.get(), ff));
    K_LET(k_max, ceil_bin(c, helper, c.arg(3), fft_len.get(), ff));
    K_LET(np3, global(c, K_NAME("np")));
    K_LET(argmax, attr(np3.get(), K_NAME("argmax")));
    K_LET(window, getslice(ave_tg.get(), k_min.get(), k_max.get()));
    K_LET(pos, call(argmax.get(), {window.get()}));
    K_LET(b, add(k_min.get(), pos.get()));
    K_LET(freq_res, truediv(ff, fft_len.get()));
    K_LET(sixty, integer(60));
    K_LET(scaled, mul(sixty.get(), b.get()));
    K_LET(bpm, mul(scaled.get(), freq_res.get()));
    return bpm;
}

// ---- beats_score --------------------------------------------------------

const char kBeatsScoreDoc[] =
    "Calculates the beat score for a given novelty function and set of beats.\n"
    "\n"
    "    :param nov: the novelty function\n"
    "    :param beats: numpy array of beat locations\n"
    "    :param est_period: delta-hat, the estimated period in units of samples\n"
    "    :param lmbda: lambda, the weight for the penalty function\n"
    "\n"
    "    :returns: the beat score\n"
    "    ";

// The two sums of beats_score natively prepared: the picked novelty values
// and -log2(delta / period)**2, each summed by NumPy (np.sum of an exact
// float64 array is np.add.reduce of it: the same pairwise sum, without
// np.sum's Python-level dispatch).  Only where no step can raise or report
// anything -- indices in range, finite values whose sums cannot overflow,
// positive finite ratios -- so the result equals the step-by-step one and
// nothing is left to report; otherwise declines.  Done leaves the pair in
// `a` and `b`.
// Calls np.log2 and np.add's reduce itself; stands in for np.sum (which
// calls np.add's reduce in turn).
Routines kScoreSums{numpy_at_import, {"sum", "add", "log2"}};

Fast beats_score_native(Call& c, PyObject* nov_obj, PyObject* beats_obj, PyObject* period_obj, Ref& a, Ref& b) {
    double period;
    PyArrayObject* nov = plain_array(nov_obj, 1);
    PyArrayObject* beats = plain_array(beats_obj, 1);
    if (!has_type(nov, NPY_DOUBLE) || !has_type(beats, NPY_INT64) || PyArray_DIM(beats, 0) < 2 ||
        !plain_real(period_obj, &period) || !(period > 0.0) || !std::isfinite(period) ||
        PyArray_STRIDE(nov, 0) % 8 || PyArray_STRIDE(beats, 0) % 8) {
        return Fast::kDeclined;
    }
    if (const int g = kScoreSums.genuine(c); g <= 0) return not_taken(g);
    const npy_intp n = PyArray_DIM(beats, 0), len = PyArray_DIM(nov, 0);
    const auto* bt = static_cast<const std::int64_t*>(PyArray_DATA(beats));
    const auto* nv = static_cast<const double*>(PyArray_DATA(nov));
    const npy_intp bs = PyArray_STRIDE(beats, 0) / 8, ns = PyArray_STRIDE(nov, 0) / 8;
    npy_intp dims[1] = {n};
    Ref picked = new_array_or_decline(1, dims, NPY_DOUBLE, sizeof(double));
    if (!picked) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    dims[0] = n - 1;
    Ref ratio = new_array_or_decline(1, dims, NPY_DOUBLE, sizeof(double));
    if (!ratio) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    auto* pk = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(picked.get())));
    auto* rt = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ratio.get())));
    SignalCadence cadence;
    double largest = 0.0;
    for (npy_intp i = 0; i < n; ++i) {
        std::int64_t k = bt[i * bs];
        if (k < 0) k += len;
        if (k < 0 || k >= len) return Fast::kDeclined;
        pk[i] = nv[k * ns];
        largest = std::max(largest, std::fabs(pk[i]));  // NaN compares false: caught below
        if (!std::isfinite(pk[i])) return Fast::kDeclined;
        if (!cadence.tick(1)) return Fast::kError;
    }
    // No partial sum of n values can exceed n times the largest.
    if (largest > std::numeric_limits<double>::max() / static_cast<double>(n)) return Fast::kDeclined;
    kernels::clear_fp_flags();
    for (npy_intp i = 0; i + 1 < n; ++i) {
        const std::int64_t d = static_cast<std::int64_t>(static_cast<std::uint64_t>(bt[(i + 1) * bs]) -
                                                         static_cast<std::uint64_t>(bt[i * bs]));
        rt[i] = static_cast<double>(d) / period;
        if (!(rt[i] > 0.0) || !std::isfinite(rt[i])) return Fast::kDeclined;
        if (!cadence.tick(1)) return Fast::kError;
    }
    if (kernels::fp_flags_raised()) return Fast::kDeclined;
    PyObject* args[] = {ratio.get(), ratio.get()};
    Ref names = pack({K_NAME("out")});
    if (!names) return Fast::kError;
    // log2 of positive finite values raises nothing; in place, as the
    // interpreter would let NumPy reuse the temporary.
    Ref lg = Ref::steal(PyObject_Vectorcall(kScoreSums["log2"], args, 1, names.get()));
    if (!lg) return Fast::kError;
    kernels::clear_fp_flags();
    for (npy_intp i = 0; i + 1 < n; ++i) rt[i] = -(rt[i] * rt[i]);
    if (kernels::fp_flags_raised()) return Fast::kDeclined;
    if (!cadence.tick(n)) return Fast::kError;
    PyObject* add_ufunc = kScoreSums["add"];
    a = Ref::steal(PyObject_CallMethodOneArg(add_ufunc, K_NAME("reduce"), picked.get()));
    if (!a) return Fast::kError;
    b = Ref::steal(PyObject_CallMethodOneArg(add_ufunc, K_NAME("reduce"), ratio.get()));
    return b ? Fast::kDone : Fast::kError;
}

Ref beats_score(Call& c) {
    PyObject* nov = c.arg(0);
    PyObject* beats = c.arg(1);
    {
        Ref a, b;
        K_FAST(fast, beats_score_native(c, nov, beats, c.arg(2), a, b));
        if (fast == Fast::kDone) {
            K_LET(weighted, mul(c.arg(3), b.get()));
            K_LET(score, add(a.get(), weighted.get()));
            return score;
        }
    }
    K_LET(np, global(c, K_NAME("np")));
    K_LET(sum, attr(np.get(), K_NAME("sum")));
    K_LET(picked, getitem(nov, beats));
    K_LET(a, call(sum.get(), {picked.get()}));
    K_LET(one, integer(1));
    K_LET(later, getslice(beats, one.get(), nullptr));
    K_LET(minus1, integer(-1));
    K_LET(earlier, getslice(beats, nullptr, minus1.get()));
    K_LET(deltas, sub(later.get(), earlier.get()));
    K_LET(np2, global(c, K_NAME("np")));
    K_LET(sum2, attr(np2.get(), K_NAME("sum")));
    K_LET(np3, global(c, K_NAME("np")));
    K_LET(log2, attr(np3.get(), K_NAME("log2")));
    K_LET(period, Ref::steal(PyNumber_Float(c.arg(2))));
    K_LET(ratio, truediv(deltas.get(), period.get()));
    K_LET(lg, call(log2.get(), {ratio.get()}));
    K_LET(two, integer(2));
    K_LET(sq, power(lg.get(), two.get()));
    K_LET(terms, neg(sq.get()));
    K_LET(b, call(sum2.get(), {terms.get()}));
    K_LET(weighted, mul(c.arg(3), b.get()));
    K_LET(score, add(a.get(), weighted.get()));
    return score;
}

// ---- create_dp_beats ----------------------------------------------------

const char kCreateDpBeatsDoc[] =
    "Create beats by dynamic programming based on novelty curve and estimated period.\n"
    "\n"
    "    :param nov: the novelty curve\n"
    "    :param est_period: delta-hat, the estimated period in units of samples\n"
    "    :param lmbda: lambda, the weight for the penalty function\n"
    "\n"
    "    :returns: tuple of (beat locations, D) where beat locations is a list of indices and D "
    "is the accumulated score vector\n"
    "    ";

// The recursion of create_dp_beats natively (see kernels/dp_beats.hpp), on
// the arrays this call created.  Declines when a floating-point error would
// have to be reported, leaving D and P as they were before the recursion.
// Stands in for np.arange(1, n) and np.argmax of each frame; relies on
// np.pad, np.zeros and np.log2 for `nov`, private D and P, and `penalty`.
Routines kDpRecursion{numpy_at_import, {"arange", "argmax", "pad", "zeros", "log2"}};

Fast dp_native(Call& c, PyObject* nov_obj, PyObject* D_obj, PyObject* P_obj, PyObject* pen_obj,
               PyObject* est_period) {
    PyArrayObject* nov = plain_array(nov_obj, 1);
    PyArrayObject* D = plain_array(D_obj, 1);
    PyArrayObject* P = plain_array(P_obj, 1);
    PyArrayObject* pen = plain_array(pen_obj, 1);
    const npy_intp N = nov ? PyArray_DIM(nov, 0) : 0;
    if (!has_type(nov, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(nov) || !fresh_contiguous(D, NPY_DOUBLE, N) ||
        !fresh_contiguous(P, NPY_INT64, N) || !has_type(pen, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(pen) ||
        PyArray_DIM(pen, 0) != N) {
        return Fast::kDeclined;
    }
    if (int g = kDpRecursion.genuine(c); g <= 0) return not_taken(g);
    if (N < 3) return Fast::kDone;
    // Near window: a few periods; any choice gives the same result.
    double period = 0;
    npy_intp W = N;
    if (plain_real(est_period, &period) && std::isfinite(period) && period > 0 && period < N) {
        W = static_cast<npy_intp>(std::ceil(3.0 * period)) + 2;
    }
    auto* d = static_cast<double*>(PyArray_DATA(D));
    auto* p = static_cast<std::int64_t*>(PyArray_DATA(P));
    kernels::DpBeats dp(static_cast<const double*>(PyArray_DATA(nov)), static_cast<const double*>(PyArray_DATA(pen)),
                        d, p, N, W);
    SignalCadence cadence;
    bool flagged = false;
    while (!dp.done() && !flagged) {
        const std::int64_t budget = cadence.budget();
        {
            NoGil nogil;
            kernels::clear_fp_flags();
            dp.advance(budget);
            flagged = kernels::fp_flags_raised() || dp.nan_clash();
        }
        if (!cadence.tick(budget)) return Fast::kError;
    }
    if (!flagged) return Fast::kDone;
    std::fill(d + 2, d + N, 0.0);
    std::fill(p, p + N, std::int64_t{0});
    return Fast::kDeclined;
}

Ref create_dp_beats(Call& c) {
    PyObject* est_period = c.arg(1);
    PyObject* lmbda = c.arg(2);
    K_LET(np, global(c, K_NAME("np")));
    K_LET(pad, attr(np.get(), K_NAME("pad")));
    K_LET(zero, integer(0));
    K_LET(one, integer(1));
    K_LET(widths, pack({one.get(), zero.get()}));
    K_LET(nov, call(pad.get(), {c.arg(0), widths.get()}));
    K_LET(N, length(nov.get()));
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    K_LET(np2, global(c, K_NAME("np")));
    K_LET(zeros, attr(np2.get(), K_NAME("zeros")));
    K_LET(D, call_kw(zeros.get(), {N.get()}, K_NAME("dtype"), float_type));
    K_LET(np3, global(c, K_NAME("np")));
    K_LET(zeros2, attr(np3.get(), K_NAME("zeros")));
    K_LET(P, call_kw(zeros2.get(), {N.get()}, K_NAME("dtype"), reinterpret_cast<PyObject*>(&PyLong_Type)));
    {
        K_LET(first, getitem(nov.get(), one.get()));
        K_CHECK(setitem(D.get(), one.get(), first.get()));
    }
    K_LET(np4, global(c, K_NAME("np")));
    K_LET(arange, attr(np4.get(), K_NAME("arange")));
    K_LET(deltas, call_kw(arange.get(), {N.get()}, K_NAME("dtype"), float_type));
    {
        K_LET(tiny, real(1e-4));
        K_CHECK(setitem(deltas.get(), zero.get(), tiny.get()));
    }
    K_LET(neg_lmbda, neg(lmbda));
    K_LET(np5, global(c, K_NAME("np")));
    K_LET(log2, attr(np5.get(), K_NAME("log2")));
    K_LET(ratio, truediv(deltas.get(), est_period));
    K_LET(lg, call(log2.get(), {ratio.get()}));
    K_LET(two, integer(2));
    K_LET(sq, power(lg.get(), two.get()));
    K_LET(penalty, mul(neg_lmbda.get(), sq.get()));

    Py_ssize_t stop = PyObject_Size(nov.get());
    K_CHECK(stop >= 0);
    K_FAST(fast, dp_native(c, nov.get(), D.get(), P.get(), penalty.get(), est_period));
    if (fast == Fast::kDone) stop = 2;
    SignalCadence cadence;
    for (Py_ssize_t i = 2; i < stop; ++i) {
        K_CHECK(cadence.tick(i + SignalCadence::kStep));
        K_LET(n, ssize(i));
        K_LET(npa, global(c, K_NAME("np")));
        K_LET(arange_m, attr(npa.get(), K_NAME("arange")));
        K_LET(m, call(arange_m.get(), {one.get(), n.get()}));
        K_LET(prev, getitem(D.get(), m.get()));
        K_LET(gap, sub(n.get(), m.get()));
        K_LET(pen, getitem(penalty.get(), gap.get()));
        K_LET(scores, add(prev.get(), pen.get()));
        K_LET(npm, global(c, K_NAME("np")));
        K_LET(argmax, attr(npm.get(), K_NAME("argmax")));
        K_LET(idx, call(argmax.get(), {scores.get()}));
        K_LET(best_score, getitem(scores.get(), idx.get()));
        K_LET(best_m, add(idx.get(), one.get()));
        int below = PyObject_RichCompareBool(zero.get(), best_score.get(), Py_GT);
        K_CHECK(below >= 0);
        K_LET(nov_n, getitem(nov.get(), n.get()));
        K_LET(total, add(nov_n.get(), below ? zero.get() : best_score.get()));
        K_CHECK(setitem(D.get(), n.get(), total.get()));
        K_LET(stored, getitem(D.get(), n.get()));
        K_LET(nov_n2, getitem(nov.get(), n.get()));
        K_LET(same, compare(stored.get(), nov_n2.get(), Py_EQ));
        int starts = truth(same.get());
        K_CHECK(starts >= 0);
        K_CHECK(setitem(P.get(), n.get(), starts ? zero.get() : best_m.get()));
    }
    K_LET(beats, Ref::steal(PyList_New(0)));
    K_LET(npb, global(c, K_NAME("np")));
    K_LET(argmax_d, attr(npb.get(), K_NAME("argmax")));
    K_LET(n, call(argmax_d.get(), {D.get()}));
    while (true) {
        K_CHECK(cadence.tick(SignalCadence::kStep));
        int more = PyObject_RichCompareBool(n.get(), zero.get(), Py_GT);
        K_CHECK(more >= 0);
        if (!more) break;
        K_CHECK(PyList_Append(beats.get(), n.get()) == 0);
        K_SET(n, getitem(P.get(), n.get()));
    }
    K_CHECK(PyList_Reverse(beats.get()) == 0);
    K_LET(npr, global(c, K_NAME("np")));
    K_LET(array, attr(npr.get(), K_NAME("array")));
    K_LET(arr, call(array.get(), {beats.get()}));
    K_LET(positions, sub(arr.get(), one.get()));
    K_LET(result, pack({positions.get(), D.get()}));
    return result;
}

const FuncDef kSpectralNovelty{"spectral_novelty", kSpectralNoveltyDoc,
                               {"x", "fft_len", "hop_size", "gamma"}, 4, spectral_novelty, __LINE__};
const FuncDef kMakeClicks{"make_clicks", kMakeClicksDoc, {"frames", "out_len", "click_snd"}, 3,
                          make_clicks, __LINE__};
const FuncDef kAutoCorrelate{"auto_correlate", kAutoCorrelateDoc, {"x"}, 1, auto_correlate, __LINE__};
const FuncDef kMakeAcTempogram{"make_ac_tempogram", kMakeAcTempogramDoc, {"x", "win_len", "hop_size"},
                               3, make_ac_tempogram, __LINE__};
const FuncDef kBpmToK{"bpm_to_k", kBpmToKDoc, {"bpm", "fft_len", "ff"}, 3, bpm_to_k, __LINE__};
const FuncDef kBestTempogramBins{"best_tempogram_bins", kBestTempogramBinsDoc,
                                 {"tg", "ff", "bpm_min", "bpm_max"}, 4, best_tempogram_bins, __LINE__};
const FuncDef kGetSinusoidParams{"get_sinusoid_params", kGetSinusoidParamsDoc, {"spec", "fs", "bins"},
                                 3, get_sinusoid_params, __LINE__};
const FuncDef kMakeLocalPulse{"make_local_pulse", kMakeLocalPulseDoc,
                              {"nov", "ff", "bpm_min", "bpm_max", "win_len_tg", "hop_tg", "zp_tg"}, 7,
                              make_local_pulse, __LINE__};
const FuncDef kEstimateBpm{"estimate_bpm", kEstimateBpmDoc, {"nov", "ff", "bpm_min", "bpm_max"}, 4,
                           estimate_bpm, __LINE__};
const FuncDef kBeatsScore{"beats_score", kBeatsScoreDoc, {"nov", "beats", "est_period", "lmbda"}, 4,
                          beats_score, __LINE__};
const FuncDef kCreateDpBeats{"create_dp_beats", kCreateDpBeatsDoc, {"nov", "est_period", "lmbda"}, 3,
                             create_dp_beats, __LINE__};

bool init(PyObject* m, int* line) {
    Ref np = import_absolute(m, "numpy");
    K_INIT(np);
    K_INIT(bind_global(m, "np", np.get()));
    K_INIT(init_numpy_api() == 0);
    K_INIT(numpy_at_import.capture(np.get()));
    Ref sonix = import_relative(m, "sonix", {"stft", "stft_mag"});
    K_INIT(sonix);
    Ref stft = import_from(sonix.get(), "stft");
    K_INIT(stft);
    K_INIT(bind_global(m, "stft", stft.get()));
    Ref stft_mag = import_from(sonix.get(), "stft_mag");
    K_INIT(stft_mag);
    K_INIT(bind_global(m, "stft_mag", stft_mag.get()));
    Py_XSETREF(imported_stft_mag, Py_NewRef(stft_mag.get()));
    {
        PyObject* g = PyModule_GetDict(sonix.get());
        PyObject* cnf = g ? PyDict_GetItemString(g, "calc_num_frames") : nullptr;
        Py_XSETREF(sonix_globals, Py_XNewRef(g));
        Py_XSETREF(sonix_stft, Py_NewRef(stft.get()));
        Py_XSETREF(sonix_calc_num_frames, Py_XNewRef(cnf));
    }
    K_INIT(add_function(m, kModule, kSpectralNovelty, Ref()) == 0);
    K_INIT(add_function(m, kModule, kMakeClicks, Ref::steal(Py_BuildValue("(iO)", 0, Py_None))) == 0);
    K_INIT(add_function(m, kModule, kAutoCorrelate, Ref()) == 0);
    K_INIT(add_function(m, kModule, kMakeAcTempogram, Ref()) == 0);
    K_INIT(add_function(m, kModule, kBpmToK, Ref()) == 0);
    K_INIT(add_function(m, kModule, kBestTempogramBins, Ref()) == 0);
    K_INIT(add_function(m, kModule, kGetSinusoidParams, Ref()) == 0);
    K_INIT(add_function(m, kModule, kMakeLocalPulse, Ref::steal(Py_BuildValue("(iii)", 256, 64, 16))) == 0);
    K_INIT(add_function(m, kModule, kEstimateBpm, Ref()) == 0);
    K_INIT(add_function(m, kModule, kBeatsScore, Ref::steal(Py_BuildValue("(i)", 10))) == 0);
    K_INIT(add_function(m, kModule, kCreateDpBeats, Ref()) == 0);
    Py_XSETREF(own_auto_correlate, Py_XNewRef(PyDict_GetItemString(PyModule_GetDict(m), "auto_correlate")));
    return true;
}

}  // namespace
}  // namespace korvel

KORVEL_MODULE(pulsix, kModule, init)
