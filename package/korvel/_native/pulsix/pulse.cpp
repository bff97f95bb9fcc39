// korvel.pulsix, the local pulse: get_sinusoid_params and make_local_pulse.
#include "pulsix/pulsix.hpp"
#include "pulsix/tempogram.hpp"

#include "kernels/gather.hpp"
#include "kernels/pulse.hpp"
#include "kernels/fpe.hpp"

namespace korvel {
namespace pulsix {
namespace {

// ---- get_sinusoid_params ------------------------------------------------

Ref gather_reference(Call& c, PyObject* array, PyObject* spec, PyObject* bins) noexcept;

// values = np.array([spec[b, i] for i, b in enumerate(bins)]) natively for
// a plain complex128/float64 spec and int64 bins that index it.
// Stands in for np.array (a C routine; nothing in turn).
Routines kGather{"array"};

Fast gather_native(Call& c, PyObject* spec_obj, PyObject* bins_obj, Ref& result) noexcept {
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

Ref get_sinusoid_params(Call& c, PyObject* spec, PyObject* fs_arg, PyObject* bins) noexcept {
    K_LET(fft_len, implied_fft_len(c, spec));
    K_LET(fs, Ref::steal(PyNumber_Float(fs_arg)));
    K_LET(scaled, mul(bins, fs.get()));
    K_LET(freqs, truediv(scaled.get(), fft_len.get()));
    K_LET(array, np_attr(c, K_NAME("array")));
    Ref values;
    K_FAST(fast, gather_native(c, spec, bins, values));
    if (fast == Fast::kDeclined) {
        K_SET(values, gather_reference(c, array.get(), spec, bins));
    }
    K_LET(phases, np_call(c, K_NAME("angle"), {values.get()}));
    K_LET(result, pack({freqs.get(), phases.get()}));
    return result;
}

Ref gather_reference(Call& c, PyObject* array, PyObject* spec, PyObject* bins) noexcept {
    K_LET(items, Ref::steal(PyList_New(0)));
    K_LET(it, Ref::steal(PyObject_GetIter(bins)));
    SignalCadence cadence;
    for (Py_ssize_t i = 0;; ++i) {
        K_CHECK(cadence.tick(SignalCadence::kStep));
        Ref b;
        K_CHECK(next_item(it.get(), &b));
        if (!b) break;
        K_LET(col, ssize(i));
        K_LET(key, pack({b.get(), col.get()}));
        K_LET(value, getitem(spec, key.get()));
        K_CHECK(PyList_Append(items.get(), value.get()) == 0);
    }
    K_LET(values, call(array, {items.get()}));
    return values;
}

// ---- make_local_pulse ---------------------------------------------------

// `a, b = pair`: exactly two items, with the unpacking messages of the
// interpreter's fixed-size unpacking.
bool unpack_two(PyObject* pair, Ref* first, Ref* second) {
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) return false;
    Ref* slots[2] = {first, second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        if (!next_item(it.get(), slots[i])) return false;
        if (!*slots[i]) {
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
            return false;
        }
    }
    Ref extra;
    if (!next_item(it.get(), &extra)) return false;
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return false;
    }
    return true;
}

// The synthesis loop of make_local_pulse: cosine arguments built natively
// for a block of frames, one np.cos call per block, then the windowed
// overlap-add in frame order.  Declines when a floating-point error would
// have to be reported; `est` is then back to zeros.
// Stands in for np.cos and np.pi of each frame; relies on np.arange,
// np.hanning and np.zeros for `n`, `win` and a private `est`.
Routines kPulseSynthesis{"cos", "pi", "arange", "hanning", "zeros"};

Fast pulse_native(Call& c, PyObject* freqs_obj, PyObject* phases_obj, PyObject* n_obj, PyObject* win_obj,
                  PyObject* ff_obj, PyObject* hop_obj, PyObject* est_obj) noexcept {
    long long hop;
    double ff;
    PyArrayObject* freqs = plain_array(freqs_obj, 1);
    PyArrayObject* phases = plain_array(phases_obj, 1);
    PyArrayObject* n = plain_array(n_obj, 1);
    PyArrayObject* win = plain_array(win_obj, 1);
    PyArrayObject* est = plain_array(est_obj, 1);
    if (!small_int(hop_obj, 0, limits::kSize, &hop) || !plain_real(ff_obj, &ff) || std::isnan(ff) ||
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
    PyObject* pi = kPulseSynthesis.at(c, "pi");
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
    Ref args;
    if (!block_array(args, block_frames, win_len, NPY_DOUBLE)) return Fast::kError;
    PyObject* cos = kPulseSynthesis.at(c, "cos");
    FpRecorder recorder;
    if (!recorder.enter(NumpyAtImport::errstate(c))) return Fast::kError;
    SignalCadence cadence;
    bool declined = false;
    for (npy_intp m0 = 0; m0 < num_hops && !declined; m0 += block_frames) {
        const npy_intp nb = std::min<npy_intp>(block_frames, num_hops - m0);
        if (!block_array(args, nb, win_len, NPY_DOUBLE)) return Fast::kError;
        auto* a = data_of<double>(args);
        kernels::clear_fp_flags();
        const bool clash = kernels::cosine_args(two_pi, f, fstride, ph, pstride, idx, win_len, ff, m0, nb, a);
        if (clash || kernels::fp_flags_raised()) {
            declined = true;
            break;
        }
        Ref waves = call(cos, {args.get()});
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

// make_local_pulse's tempogram, best bins and their values without the
// tempogram: for each block of frames (see tempogram.hpp), NumPy's abs of
// all its spectra -- so whatever np.abs of the whole tempogram reports is
// seen -- and NumPy's argmax across the bins of the tempo range, frame by
// frame (the first largest, or the first NaN, as down the rows of the
// range); each frame's value is then its spectrum at that bin.  Sets
// `fft_len` (the one the tempogram implies), `bins` and `values`, what
// best_tempogram_bins and get_sinusoid_params' gather would give.
// Stands in for this module's stft, best_tempogram_bins and
// get_sinusoid_params, and for the np.abs, np.argmax, np.ceil, np.array and
// np.angle they call.
Routines kPulseBins{"abs", "argmax", "ceil", "array", "angle"};

Fast pulse_bins_native(Call& c, Ref& fft_len, Ref& bins, Ref& values) noexcept {
    PyObject* const* extras = c.state->extras;
    int g = global_is(c, K_NAME("best_tempogram_bins"), extras[kOwnBestTempogramBins]);
    if (g == 1) g = genuine_with(c, K_NAME("get_sinusoid_params"), extras[kOwnGetSinusoidParams], kPulseBins);
    if (g <= 0) return not_taken(g);
    SignalFrames t;
    if (g = tempogram_blocks_hold(c, c.arg(0), c.arg(4), c.arg(5), c.arg(6), t); g <= 0) return not_taken(g);
    Ref implied = Ref::steal(PyLong_FromSsize_t((t.num_bins - 1) * 2));
    if (!implied) return Fast::kError;
    TempoRows rows;
    g = tempo_rows(c, "korvel.pulsix.best_tempogram_bins.bpm_to_k", c.arg(1), c.arg(2), c.arg(3), implied.get(),
                   t.num_bins, rows);
    if (g <= 0) return not_taken(g);
    const npy_intp k_min = rows.start, stop = rows.stop;
    npy_intp dims[1] = {t.num_hops};
    Ref bins_arr = new_array_or_decline(1, dims, NPY_INT64, 8);
    Ref values_arr = bins_arr ? new_array_or_decline(1, dims, NPY_CDOUBLE, 16) : Ref();
    if (!values_arr) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    Ref stop_obj = ssize(static_cast<Py_ssize_t>(stop));
    Ref one = integer(1);
    Ref range = stop_obj ? slice(rows.k_min.get(), stop_obj.get()) : Ref();
    Ref all = slice(nullptr, nullptr);
    Ref key = range && all ? pack({all.get(), range.get()}) : Ref();
    if (!one || !key) return Fast::kError;
    auto* b = data_of<std::int64_t>(bins_arr);
    auto* v = data_of<std::complex<double>>(values_arr);
    PyObject* abs = kPulseBins.at(c, "abs");
    PyObject* argmax = kPulseBins.at(c, "argmax");
    FpRecorder recorder;
    if (!recorder.enter(NumpyAtImport::errstate(c))) return Fast::kError;
    const Fast done = each_tempogram_block(t, recorder, [&](npy_intp h0, npy_intp nb, Ref& block) {
        auto* spectra = reinterpret_cast<PyArrayObject*>(block.get());
        Ref mags;
        if (const Fast got = block_magnitudes(abs, reinterpret_cast<PyObject*>(spectra), nb, t.num_bins, recorder, mags); got != Fast::kDone) return got;
        Ref part = getitem(mags.get(), key.get());
        if (!part) return Fast::kError;
        Ref pos;
        if (const Fast got = reduce_rows(argmax, part.get(), one.get(), NPY_INT64, nb, pos); got != Fast::kDone) {
            return got;
        }
        const auto* at = data_of<const std::int64_t>(pos);
        const auto* sp = static_cast<const std::complex<double>*>(PyArray_DATA(spectra));
        for (npy_intp j = 0; j < nb; ++j) {
            const std::int64_t k = at[j] + k_min;
            if (at[j] < 0 || k >= stop) return Fast::kDeclined;
            b[h0 + j] = k;
            v[h0 + j] = sp[j * t.num_bins + k];
        }
        return Fast::kDone;
    });
    if (!recorder.exit()) return Fast::kError;
    if (done == Fast::kDone) {
        fft_len = std::move(implied);
        bins = std::move(bins_arr);
        values = std::move(values_arr);
    }
    return done;
}

// get_sinusoid_params' steps after the gather: the bins' frequencies and
// the values' phases.
bool sinusoid_params(Call& c, PyObject* fft_len, PyObject* ff, PyObject* bins, PyObject* values, Ref& freqs,
                     Ref& phases) noexcept {
    Ref fs = Ref::steal(PyNumber_Float(ff));
    Ref scaled = fs ? mul(bins, fs.get()) : Ref();
    freqs = scaled ? truediv(scaled.get(), fft_len) : Ref();
    Ref angle = freqs ? np_attr(c, K_NAME("angle")) : Ref();
    phases = angle ? call(angle.get(), {values}) : Ref();
    return static_cast<bool>(phases);
}

Ref make_local_pulse(Call& c, PyObject* nov, PyObject* ff, PyObject* bpm_min, PyObject* bpm_max, PyObject* win_len_tg,
                     PyObject* hop_tg, PyObject* zp_tg) noexcept {
    Ref freqs, phases;
    {
        Ref fft_len, bins, values;
        K_FAST(fused, pulse_bins_native(c, fft_len, bins, values));
        if (fused == Fast::kDone) {
            K_CHECK(sinusoid_params(c, fft_len.get(), ff, bins.get(), values.get(), freqs, phases));
        } else {
            K_LET(stft, global(c, K_NAME("stft")));
            K_LET(tg, call_kw(stft.get(), {nov, win_len_tg, hop_tg, zp_tg}, K_NAME("centered"), Py_False));
            K_LET(best, global(c, K_NAME("best_tempogram_bins")));
            K_SET(bins, call(best.get(), {tg.get(), ff, bpm_min, bpm_max}));
            K_LET(params_fn, global(c, K_NAME("get_sinusoid_params")));
            K_LET(params, call(params_fn.get(), {tg.get(), ff, bins.get()}));
            K_CHECK(unpack_two(params.get(), &freqs, &phases));
        }
    }
    K_LET(n, np_call(c, K_NAME("arange"), {win_len_tg}));
    K_LET(win, np_call(c, K_NAME("hanning"), {win_len_tg}));
    K_LET(num_hops, length(freqs.get()));
    K_LET(zeros, np_attr(c, K_NAME("zeros")));
    K_LET(covered, mul(num_hops.get(), hop_tg));
    K_LET(est_len, add(covered.get(), win_len_tg));
    K_LET(est, call(zeros.get(), {est_len.get()}));
    K_FAST(fast, pulse_native(c, freqs.get(), phases.get(), n.get(), win.get(), ff, hop_tg, est.get()));
    Py_ssize_t hops = 0;
    if (fast == Fast::kDeclined) K_CHECK(loop_bound(num_hops.get(), &hops));
    K_LET(two, integer(2));
    long long win_c = 0;
    small_int(win_len_tg, 0, limits::kSize, &win_c);
    for (Steps steps(hops, win_c); !steps.done();) {
        K_LET(m, steps.next());
        K_LET(cos, np_attr(c, K_NAME("cos")));
        K_LET(pi, np_attr(c, K_NAME("pi")));
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
        K_CHECK(add_into(est.get(), start.get(), win_len_tg, est_m.get()));
    }
    K_LET(zero, integer(0));
    K_LET(neg_mask, compare(est.get(), zero.get(), Py_LT));
    K_CHECK(setitem(est.get(), neg_mask.get(), zero.get()));
    return est;
}

}  // namespace

const RoutineTable kPulseRoutines{{&kGather, &kPulseSynthesis, &kPulseBins}};

const FuncDef kGetSinusoidParams{"get_sinusoid_params", kGetSinusoidParamsDoc, {"spec", "fs", "bins"},
                                 3, with_args<get_sinusoid_params>, __LINE__};
const FuncDef kMakeLocalPulse{"make_local_pulse", kMakeLocalPulseDoc,
                              {"nov", "ff", "bpm_min", "bpm_max", "win_len_tg", "hop_tg", "zp_tg"}, 7,
                              with_args<make_local_pulse>, __LINE__};

}  // namespace pulsix
}  // namespace korvel
