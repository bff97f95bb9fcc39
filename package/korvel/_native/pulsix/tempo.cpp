// korvel.pulsix, tempograms and tempo: auto_correlate, make_ac_tempogram, bpm_to_k, best_tempogram_bins, estimate_bpm.
#include "pulsix/pulsix.hpp"
#include "pulsix/tempogram.hpp"
#include "kernels/maxima.hpp"
#include "kernels/pairwise.hpp"


namespace korvel {
namespace pulsix {
namespace {

// ---- auto_correlate / make_ac_tempogram ---------------------------------

Ref auto_correlate(Call& c, PyObject* x) noexcept {
    K_LET(correlate, np_attr(c, K_NAME("correlate")));
    K_LET(ac, call_kw(correlate.get(), {x, x}, K_NAME("mode"), K_NAME("full")));
    K_LET(n, length(x));
    K_LET(one, integer(1));
    K_LET(first, sub(n.get(), one.get()));
    K_LET(lags, getslice(ac.get(), first.get(), nullptr));
    return lags;
}

// The frame loop of make_ac_tempogram without the interpreter: NumPy's own
// correlation per frame, its non-negative lags copied into the column.
// Calls np.correlate itself, as this module's auto_correlate does.
Routines kAcFrames{"correlate"};

Fast ac_frames_native(Call& c, PyObject* x_obj, PyObject* win_obj, PyObject* hop_obj, PyObject* tg_len_obj,
                      PyObject* out_obj) noexcept {
    long long win, hop, tg_len;
    PyArrayObject* x = plain_array(x_obj, 1);
    PyArrayObject* out = plain_array(out_obj, 2);
    if (!small_int(win_obj, 1, limits::kSize, &win) || !small_int(hop_obj, 1, limits::kSize, &hop) ||
        !small_int(tg_len_obj, 0, limits::kSize, &tg_len) || !has_type(x, NPY_DOUBLE) ||
        !fresh_contiguous(out, NPY_DOUBLE, win * tg_len) || PyArray_DIM(out, 0) != win ||
        (tg_len > 0 && (tg_len - 1) * hop + win > PyArray_DIM(x, 0))) {
        return Fast::kDeclined;
    }
    if (int g = genuine_with(c, K_NAME("auto_correlate"), c.state->extras[kOwnAutoCorrelate], kAcFrames); g <= 0) {
        return not_taken(g);
    }
    PyObject* correlate = kAcFrames.at(c, "correlate");
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

Ref make_ac_tempogram(Call& c, PyObject* x, PyObject* win_len, PyObject* hop_size) noexcept {
    K_LET(n, length(x));
    K_LET(excess, sub(n.get(), win_len));
    K_LET(quotient, truediv(excess.get(), hop_size));
    K_LET(tg_len, Ref::steal(PyNumber_Long(quotient.get())));
    K_LET(empty, np_attr(c, K_NAME("empty")));
    K_LET(shape, pack({win_len, tg_len.get()}));
    K_LET(out, call(empty.get(), {shape.get()}));
    K_FAST(fast, ac_frames_native(c, x, win_len, hop_size, tg_len.get(), out.get()));
    if (fast == Fast::kDone) return out;
    Py_ssize_t frames = 0;
    K_CHECK(loop_bound(tg_len.get(), &frames));
    K_LET(all, slice(nullptr, nullptr));
    long long win_c = 0;
    small_int(win_len, 0, limits::kSquaredWindow, &win_c);
    for (Steps steps(frames, win_c * win_c); !steps.done();) {
        K_LET(col, steps.next());
        K_LET(ac_fn, global(c, K_NAME("auto_correlate")));
        K_LET(start, mul(col.get(), hop_size));
        K_LET(frame, getslice_from(x, start.get(), win_len));
        K_LET(ac, call(ac_fn.get(), {frame.get()}));
        K_LET(key, pack({all.get(), col.get()}));
        K_CHECK(setitem(out.get(), key.get(), ac.get()));
    }
    return out;
}

// ---- tempo <-> tempogram bin --------------------------------------------

// int(np.<rounding>(bpm / 60.0 * fft_len / ff))
Ref tempo_bin(Call& c, PyObject* rounding_name, PyObject* bpm, PyObject* fft_len, PyObject* ff) noexcept {
    K_LET(rounding, np_attr(c, rounding_name));
    K_LET(sixty, real(60.0));
    K_LET(beats_per_sec, truediv(bpm, sixty.get()));
    K_LET(scaled, mul(beats_per_sec.get(), fft_len));
    K_LET(bin, truediv(scaled.get(), ff));
    K_LET(rounded, call(rounding.get(), {bin.get()}));
    K_LET(k, Ref::steal(PyNumber_Long(rounded.get())));
    return k;
}

Ref bpm_to_k(Call& c, PyObject* bpm, PyObject* fft_len, PyObject* ff) noexcept {
    return tempo_bin(c, K_NAME("round"), bpm, fft_len, ff);
}

// ---- magnitudes of tempogram rows ---------------------------------------

// The tempograms the row blocks below take: plain C-contiguous complex128
// with at least one column.
bool magnitude_rows_apply(PyObject* tg_obj) {
    PyArrayObject* tg = plain_array(tg_obj, 2);
    return has_type(tg, NPY_CDOUBLE) && PyArray_IS_C_CONTIGUOUS(tg) && PyArray_DIM(tg, 1) >= 1;
}

// NumPy's abs on contiguous blocks of rows of such a tempogram (abs is
// elementwise, the same on a block as on the whole matrix), about 256 KB of
// magnitudes at a time; `use(r0, nr, mags)` takes each block into `built`
// and returns kDone to go on.  `built` becomes the result once every block
// is in; declines, keeping nothing, when NumPy would report something.
template <typename Use>
Fast magnitude_row_blocks(Call& c, PyObject* tg_obj, PyObject* abs, Ref built, Ref& result, Use&& use) noexcept {
    auto* tg = reinterpret_cast<PyArrayObject*>(tg_obj);
    const npy_intp rows = PyArray_DIM(tg, 0), cols = PyArray_DIM(tg, 1);
    const npy_intp block_rows = std::clamp<npy_intp>((npy_intp{32} << 10) / cols, 1, std::max<npy_intp>(rows, 1));
    FpRecorder recorder;
    if (!recorder.enter(NumpyAtImport::errstate(c))) return Fast::kError;
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
        Ref mags;
        if (const Fast got = block_magnitudes(abs, block.get(), nr, cols, recorder, mags); got != Fast::kDone) {
            return got == Fast::kError || !recorder.exit() ? Fast::kError : Fast::kDeclined;
        }
        const Fast step = use(r0, nr, reinterpret_cast<PyArrayObject*>(mags.get()));
        if (step == Fast::kError) return Fast::kError;
        if (step == Fast::kDeclined || recorder.seen()) return recorder.exit() ? Fast::kDeclined : Fast::kError;
        if (!cadence.tick(nr * cols + SignalCadence::kStep)) return Fast::kError;
    }
    if (!recorder.exit()) return Fast::kError;
    result = std::move(built);
    return Fast::kDone;
}

// ---- best_tempogram_bins ------------------------------------------------

// np.abs(tg)[rows, :] for a slice `rows`, without the magnitudes of the
// rows outside it: every row's magnitude is still taken by NumPy's abs (so
// whatever it would report is seen), block by block, and only the rows of
// the slice are kept, in a contiguous array of their own -- what the view
// holds, value for value.
// Calls np.abs itself.
Routines kSliceMagnitudes{"abs"};

Fast sliced_magnitudes(Call& c, PyObject* tg_obj, PyObject* rows_slice, Ref& result) noexcept {
    if (!magnitude_rows_apply(tg_obj)) return Fast::kDeclined;
    PyArrayObject* tg = reinterpret_cast<PyArrayObject*>(tg_obj);
    if (const int g = kSliceMagnitudes.genuine(c); g <= 0) return not_taken(g);
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(rows_slice, &start, &stop, &step) < 0) return Fast::kError;
    const Py_ssize_t kept = PySlice_AdjustIndices(PyArray_DIM(tg, 0), &start, &stop, step);
    if (step != 1) return Fast::kDeclined;
    const npy_intp cols = PyArray_DIM(tg, 1);
    npy_intp dims[2] = {kept, cols};
    Ref out = new_array_or_decline(2, dims, NPY_DOUBLE, sizeof(double));
    if (!out) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    auto* dst = data_of<double>(out);
    return magnitude_row_blocks(c, tg_obj, kSliceMagnitudes.at(c, "abs"), std::move(out), result,
                                [&](npy_intp r0, npy_intp nr, PyArrayObject* m) {
        const npy_intp lo = std::max<npy_intp>(r0, start), hi = std::min<npy_intp>(r0 + nr, stop);
        if (lo < hi) {
            std::memcpy(dst + (lo - start) * cols, static_cast<const double*>(PyArray_DATA(m)) + (lo - r0) * cols,
                        static_cast<size_t>((hi - lo) * cols) * sizeof(double));
        }
        return Fast::kDone;
    });
}

Ref best_tempogram_bins(Call& c, PyObject* tg, PyObject* ff, PyObject* bpm_min, PyObject* bpm_max) noexcept {
    const char* helper = "korvel.pulsix.best_tempogram_bins.bpm_to_k";
    K_LET(fft_len, implied_fft_len(c, tg));
    K_LET(k_min, ceil_bin(c, helper, bpm_min, fft_len.get(), ff));
    K_LET(k_max, ceil_bin(c, helper, bpm_max, fft_len.get(), ff));
    K_LET(rows, slice(k_min.get(), k_max.get()));
    Ref tg_mag;
    K_FAST(fast, sliced_magnitudes(c, tg, rows.get(), tg_mag));
    if (fast == Fast::kDeclined) {
        K_LET(abs, np_attr(c, K_NAME("abs")));
        K_LET(mag, call(abs.get(), {tg}));
        K_LET(all, slice(nullptr, nullptr));
        K_LET(key, pack({rows.get(), all.get()}));
        K_SET(tg_mag, getitem(mag.get(), key.get()));
    }
    K_LET(argmax, np_attr(c, K_NAME("argmax")));
    K_LET(zero, integer(0));
    K_LET(pos, call_kw(argmax.get(), {tg_mag.get()}, K_NAME("axis"), zero.get()));
    K_LET(bins, add(pos.get(), k_min.get()));
    return bins;
}

// ---- estimate_bpm -------------------------------------------------------

// np.mean(np.abs(tg), axis=1) over blocks of rows: each row's mean is its
// own pairwise sum divided by the count, so NumPy's mean on a block of
// magnitudes gives the same bits, and only a block of magnitudes exists at
// a time.
// Calls np.abs and np.mean itself.
Routines kMeanRows{"abs", "mean"};

Fast mean_magnitude_rows(Call& c, PyObject* tg_obj, Ref& result) noexcept {
    if (!magnitude_rows_apply(tg_obj)) return Fast::kDeclined;
    if (const int g = kMeanRows.genuine(c); g <= 0) return not_taken(g);
    npy_intp dims[1] = {PyArray_DIM(reinterpret_cast<PyArrayObject*>(tg_obj), 0)};
    Ref ave = new_array_or_decline(1, dims, NPY_DOUBLE, sizeof(double));
    if (!ave) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    auto* dst = data_of<double>(ave);
    Ref one = integer(1);
    if (!one) return Fast::kError;
    PyObject* mean = kMeanRows.at(c, "mean");
    return magnitude_row_blocks(c, tg_obj, kMeanRows.at(c, "abs"), std::move(ave), result,
                                [&](npy_intp r0, npy_intp nr, PyArrayObject* m) {
        Ref means;
        const Fast got = reduce_rows(mean, reinterpret_cast<PyObject*>(m), one.get(), NPY_DOUBLE, nr, means);
        if (got == Fast::kDone) {
            std::memcpy(dst + r0, data_of<double>(means), static_cast<size_t>(nr) * sizeof(double));
        }
        return got;
    });
}

// estimate_bpm's tempogram, the means of its magnitude rows and their
// slice over the tempo range, without the complex tempogram and without
// the magnitude rows themselves: NumPy's abs on each block of spectra (see
// tempogram.hpp), whose range columns are added into the rows' pairwise
// sums in NumPy's own order (kernels/pairwise.hpp), each then divided by
// the number of frames as np.mean divides.  The means of the other rows
// are never used; what remains of them, and of NumPy's mean of the range
// rows, is that NumPy could report something while taking them, so each
// row's largest magnitude is kept, and the path declines unless none could
// overflow the sum or make a subnormal mean.  Sets `window`
// (ave_tg[k_min:k_max]) and `k_min`.  Stands in for this module's stft on
// the tempogram, np.abs and np.mean of it, and the np.ceil of the range
// (kRangeMeans).
Routines kRangeMeans{"abs", "mean", "ceil", "getbufsize", "add"};

// A kernels::PairwiseRowSums with its memory in arrays of its own.
struct RowSumsMemory {
    Ref runs, run, sums;

    // False when the memory is not there (an error set, or too large).
    bool make(npy_intp rows, npy_intp n, npy_intp part) noexcept {
        const npy_intp count = std::max<npy_intp>(1, kernels::PairwiseRowSums::count_runs(n, part));
        npy_intp run_dims[1] = {count};
        npy_intp buf_dims[1] = {std::max<npy_intp>(1, rows * kernels::PairwiseRowSums::kRun)};
        npy_intp sum_dims[1] = {std::max<npy_intp>(1, rows * count)};
        runs = new_array_or_decline(1, run_dims, NPY_INT64, sizeof(std::int64_t));
        if (runs) run = new_array_or_decline(1, buf_dims, NPY_DOUBLE, sizeof(double));
        if (run) sums = new_array_or_decline(1, sum_dims, NPY_DOUBLE, sizeof(double));
        return static_cast<bool>(sums);
    }
    kernels::PairwiseRowSums over(npy_intp rows, npy_intp n, npy_intp part) const noexcept {
        return kernels::PairwiseRowSums(rows, n, part, data_of<std::int64_t>(runs), data_of<double>(run),
                                        data_of<double>(sums));
    }
};

// How many values of a row of n NumPy's add.reduce along the rows of a
// matrix sums pairwise at a time (see kernels/pairwise.hpp): n when the
// whole row, the iterator's buffer size (np.getbufsize()) when parts of
// it; 0 when a probe fits neither, -1 with an error set.  Found once per
// buffer size, on a probe whose sums differ either way.
npy_intp reduce_part(Call& c, npy_intp n) noexcept {
    Ref size = call(kRangeMeans.at(c, "getbufsize"), {});
    if (!size) return -1;
    long long buf = 0;
    if (!small_int(size.get(), 1, limits::kSize, &buf)) return 0;
    if (n <= buf) return n;
    // Per process; the interpreter lock is held.
    static long long known_buf = 0;
    static npy_intp known_part = 0;
    if (buf != known_buf) {
        const npy_intp len = static_cast<npy_intp>(buf) + 200;
        npy_intp dims[2] = {1, len};
        Ref probe = new_array_or_decline(2, dims, NPY_DOUBLE, sizeof(double));
        if (!probe) return PyErr_Occurred() ? -1 : 0;
        double* p = data_of<double>(probe);
        std::uint64_t state = 0x9E3779B97F4A7C15ull;
        for (npy_intp i = 0; i < len; ++i) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            const double u = static_cast<double>(state >> 11) * (1.0 / 9007199254740992.0) - 0.5;
            p[i] = std::ldexp(u, static_cast<int>((state >> 3) % 41) - 20);  // magnitudes far apart
        }
        Ref axis = integer(1);
        if (!axis) return -1;
        Ref got = Ref::steal(PyObject_CallMethodObjArgs(kRangeMeans.at(c, "add"), K_NAME("reduce"), probe.get(),
                                                        axis.get(), nullptr));
        if (!got) return -1;
        PyArrayObject* g = plain_array(got.get(), 1);
        if (!has_type(g, NPY_DOUBLE) || PyArray_DIM(g, 0) != 1) return 0;
        const double want = *static_cast<const double*>(PyArray_DATA(g));
        npy_intp found = 0;
        for (const npy_intp part : {len, static_cast<npy_intp>(buf)}) {
            RowSumsMemory mem;
            if (!mem.make(1, len, part)) return PyErr_Occurred() ? -1 : 0;
            kernels::PairwiseRowSums sums = mem.over(1, len, part);
            for (npy_intp i = 0; i < len; ++i) sums.add_column(p + i, 1);
            const double total = sums.total(0);
            if (std::memcmp(&total, &want, sizeof(double)) == 0) {
                found = part;
                break;
            }
        }
        known_buf = buf;
        known_part = found > buf ? -1 : found;  // -1: the whole row
    }
    return known_part < 0 ? n : known_part;
}

Fast tempogram_range_means(Call& c, PyObject* win_tg, PyObject* hop_tg, PyObject* zp_tg, PyObject* fft_len,
                           Ref& window, Ref& k_min) noexcept {
    if (const int g = kRangeMeans.genuine(c); g <= 0) return not_taken(g);
    SignalFrames t;
    if (const int g = tempogram_blocks_hold(c, c.arg(0), win_tg, hop_tg, zp_tg, t); g <= 0) return not_taken(g);
    TempoRows rows;
    const int g = tempo_rows(c, "korvel.pulsix.estimate_bpm.bpm_to_k", c.arg(1), c.arg(2), c.arg(3), fft_len,
                             t.num_bins, rows);
    if (g <= 0) return not_taken(g);
    const npy_intp kept = rows.stop - rows.start;
    npy_intp dims[1] = {kept};
    Ref means = new_array_or_decline(1, dims, NPY_DOUBLE, sizeof(double));
    npy_intp max_dims[1] = {t.num_bins};
    Ref maxima = means ? new_array_or_decline(1, max_dims, NPY_DOUBLE, sizeof(double)) : Ref();
    const npy_intp part = reduce_part(c, t.num_hops);
    if (part <= 0) return part < 0 ? Fast::kError : Fast::kDeclined;
    // The pairwise sums' memory: the runs' lengths, one run of columns, the runs' sums.
    RowSumsMemory mem;
    if (!mem.make(kept, t.num_hops, part)) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    kernels::PairwiseRowSums row_sums = mem.over(kept, t.num_hops, part);
    kernels::PairwiseRowSums* sums = &row_sums;
    auto* most = data_of<double>(maxima);
    std::fill(most, most + t.num_bins, 0.0);
    PyObject* abs = kRangeMeans.at(c, "abs");
    FpRecorder recorder;
    if (!recorder.enter(NumpyAtImport::errstate(c))) return Fast::kError;
    Fast done = each_tempogram_block(t, recorder, [&](npy_intp, npy_intp nb, Ref& block) {
        auto* spectra = reinterpret_cast<PyArrayObject*>(block.get());
        Ref mags;
        const Fast got = block_magnitudes(abs, reinterpret_cast<PyObject*>(spectra), nb, t.num_bins, recorder, mags);
        if (got == Fast::kDone) {
            NoGil nogil;
            const double* m = data_of<double>(mags);
            kernels::column_maxima(m, nb, t.num_bins, t.num_bins, most);
            // Frame j of the block is column j of every row: row k's value is m[j * num_bins + k].
            for (npy_intp j = 0; j < nb; ++j) sums->add_column(m + j * t.num_bins + rows.start, 1);
        }
        return got;
    });
    // Sums of up to num_hops magnitudes no larger than the row's largest
    // cannot overflow below this; a mean at least the largest over
    // num_hops is normal above that (and a row of zeros has mean 0).  NaNs
    // pass quietly through sums and means, so they need no check.
    const double n = static_cast<double>(t.num_hops);
    const double no_overflow = std::numeric_limits<double>::max() / (2.0 * n);
    const double normal_mean = 2.0 * std::numeric_limits<double>::min() * n;
    for (npy_intp k = 0; k < t.num_bins && done == Fast::kDone; ++k) {
        if (!(most[k] <= no_overflow) || (most[k] != 0.0 && most[k] < normal_mean)) done = Fast::kDeclined;
    }
    if (done == Fast::kDone && !sums->complete()) done = Fast::kDeclined;
    if (done == Fast::kDone) {
        auto* dst = data_of<double>(means);
        for (npy_intp k = 0; k < kept; ++k) dst[k] = sums->total(k) / n;
    }
    if (!recorder.exit()) return Fast::kError;
    if (done == Fast::kDone) {
        window = std::move(means);
        k_min = std::move(rows.k_min);
    }
    return done;
}

Ref estimate_bpm(Call& c, PyObject* nov, PyObject* ff, PyObject* bpm_min, PyObject* bpm_max) noexcept {
    const char* helper = "korvel.pulsix.estimate_bpm.bpm_to_k";
    K_LET(win_tg, integer(256));
    K_LET(hop_tg, integer(32));
    K_LET(zp_tg, integer(16));
    K_LET(fft_len, mul(win_tg.get(), zp_tg.get()));
    Ref window, k_min;
    K_FAST(fused, tempogram_range_means(c, win_tg.get(), hop_tg.get(), zp_tg.get(), fft_len.get(), window, k_min));
    if (fused == Fast::kDeclined) {
        K_LET(stft, global(c, K_NAME("stft")));
        K_LET(tg, call_kw(stft.get(), {nov, win_tg.get(), hop_tg.get(), zp_tg.get()}, K_NAME("centered"),
                          Py_False));
        Ref ave_tg;
        K_FAST(fast, mean_magnitude_rows(c, tg.get(), ave_tg));
        if (fast == Fast::kDeclined) {
            K_SET(tg, np_call(c, K_NAME("abs"), {tg.get()}));
            K_LET(mean, np_attr(c, K_NAME("mean")));
            K_LET(one, integer(1));
            K_SET(ave_tg, call_kw(mean.get(), {tg.get()}, K_NAME("axis"), one.get()));
        }
        K_SET(k_min, ceil_bin(c, helper, bpm_min, fft_len.get(), ff));
        K_LET(k_max, ceil_bin(c, helper, bpm_max, fft_len.get(), ff));
        K_SET(window, getslice(ave_tg.get(), k_min.get(), k_max.get()));
    }
    K_LET(pos, np_call(c, K_NAME("argmax"), {window.get()}));
    K_LET(b, add(k_min.get(), pos.get()));
    K_LET(freq_res, truediv(ff, fft_len.get()));
    K_LET(sixty, integer(60));
    K_LET(scaled, mul(sixty.get(), b.get()));
    K_LET(bpm, mul(scaled.get(), freq_res.get()));
    return bpm;
}

}  // namespace

// The next-bin-up mapping local to the tempogram searches; its errors carry
// an extra traceback entry named after the enclosing function.
Ref ceil_bin(Call& c, const char* owner, PyObject* bpm, PyObject* fft_len, PyObject* ff) noexcept {
    Call inner{c.args, c.globals, c.module, c.state};
    Ref k = tempo_bin(inner, K_NAME("ceil"), bpm, fft_len, ff);
    if (!k) add_traceback(owner, c.module->file, inner.line);
    return k;
}

// (shape[0] - 1) * 2 of a spectrogram-like object
Ref implied_fft_len(Call& c, PyObject* spec) noexcept {
    K_LET(shape, attr(spec, K_NAME("shape")));
    K_LET(zero, integer(0));
    K_LET(rows, getitem(shape.get(), zero.get()));
    K_LET(one, integer(1));
    K_LET(rows_m1, sub(rows.get(), one.get()));
    K_LET(two, integer(2));
    K_LET(fft_len, mul(rows_m1.get(), two.get()));
    return fft_len;
}

const RoutineTable kTempoRoutines{{&kAcFrames, &kSliceMagnitudes, &kMeanRows, &kRangeMeans}};

const FuncDef kAutoCorrelate{"auto_correlate", kAutoCorrelateDoc, {"x"}, 1, with_args<auto_correlate>, __LINE__};
const FuncDef kMakeAcTempogram{"make_ac_tempogram", kMakeAcTempogramDoc, {"x", "win_len", "hop_size"},
                               3, with_args<make_ac_tempogram>, __LINE__};
const FuncDef kBpmToK{"bpm_to_k", kBpmToKDoc, {"bpm", "fft_len", "ff"}, 3, with_args<bpm_to_k>, __LINE__};
const FuncDef kBestTempogramBins{"best_tempogram_bins", kBestTempogramBinsDoc,
                                 {"tg", "ff", "bpm_min", "bpm_max"}, 4, with_args<best_tempogram_bins>, __LINE__};
const FuncDef kEstimateBpm{"estimate_bpm", kEstimateBpmDoc, {"nov", "ff", "bpm_min", "bpm_max"}, 4,
                           with_args<estimate_bpm>, __LINE__};

}  // namespace pulsix
}  // namespace korvel
