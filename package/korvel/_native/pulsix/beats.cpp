// korvel.pulsix, beats: beats_score and create_dp_beats.
#include "pulsix/pulsix.hpp"

#include <array>

#include "spectral/stft_path.hpp"

#include "kernels/dp_beats.hpp"
#include "kernels/fpe.hpp"

namespace korvel {
namespace pulsix {
namespace {

// ---- beats_score --------------------------------------------------------

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
Routines kScoreSums{"sum", "add", "log2"};

Fast beats_score_native(Call& c, PyObject* nov_obj, PyObject* beats_obj, PyObject* period_obj, Ref& a, Ref& b) noexcept {
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
    // log2 of positive finite values raises nothing; in place, as the
    // interpreter would let NumPy reuse the temporary.
    Ref lg = call_kw(kScoreSums.at(c, "log2"), {ratio.get()}, K_NAME("out"), ratio.get());
    if (!lg) return Fast::kError;
    kernels::clear_fp_flags();
    for (npy_intp i = 0; i + 1 < n; ++i) rt[i] = -(rt[i] * rt[i]);
    if (kernels::fp_flags_raised()) return Fast::kDeclined;
    if (!cadence.tick(n)) return Fast::kError;
    PyObject* add_ufunc = kScoreSums.at(c, "add");
    a = Ref::steal(PyObject_CallMethodOneArg(add_ufunc, K_NAME("reduce"), picked.get()));
    if (!a) return Fast::kError;
    b = Ref::steal(PyObject_CallMethodOneArg(add_ufunc, K_NAME("reduce"), ratio.get()));
    return b ? Fast::kDone : Fast::kError;
}

Ref beats_score(Call& c) noexcept {
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
    K_LET(sum, np_attr(c, K_NAME("sum")));
    K_LET(picked, getitem(nov, beats));
    K_LET(a, call(sum.get(), {picked.get()}));
    K_LET(one, integer(1));
    K_LET(later, getslice(beats, one.get(), nullptr));
    K_LET(minus1, integer(-1));
    K_LET(earlier, getslice(beats, nullptr, minus1.get()));
    K_LET(deltas, sub(later.get(), earlier.get()));
    K_LET(sum2, np_attr(c, K_NAME("sum")));
    K_LET(log2, np_attr(c, K_NAME("log2")));
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

// The recursion of create_dp_beats natively (see kernels/dp_beats.hpp):
// `nov` holds frame k + `shift` at k; d, p and pen are this call's own.
// `own_curve` says whether `nov` is too: only then does the loop let other
// threads run (another thread may write into a caller's array).  Declines
// when a floating-point error would have to be reported, leaving D and P as
// they were before the recursion.
template <typename Index>
Fast dp_kernel(const double* nov, std::ptrdiff_t shift, bool own_curve, double* d, Index* p, const double* pen,
               npy_intp N, PyObject* est_period) noexcept {
    if (N < 3) return Fast::kDone;
    // Near window: a few periods; any choice gives the same result.
    double period = 0;
    npy_intp W = N;
    if (plain_real(est_period, &period) && std::isfinite(period) && period > 0 && period < N) {
        W = static_cast<npy_intp>(std::ceil(3.0 * period)) + 2;
    }
    kernels::DpBeats<Index> dp(nov, pen, d, p, N, W, shift);
    SignalCadence cadence;
    bool flagged = false;
    while (!dp.done() && !flagged) {
        const std::int64_t budget = cadence.budget();
        const auto advance = [&] {
            kernels::clear_fp_flags();
            dp.advance(budget);
            flagged = kernels::fp_flags_raised() || dp.nan_clash();
        };
        if (own_curve) {
            NoGil nogil;
            advance();
        } else {
            advance();
        }
        if (!cadence.tick(budget)) return Fast::kError;
    }
    if (!flagged) return Fast::kDone;
    std::fill(d + 2, d + N, 0.0);
    std::fill(p, p + N, Index{0});
    return Fast::kDeclined;
}

// The recursion on the step-by-step path's own arrays.
// Stands in for np.arange(1, n) and np.argmax of each frame; relies on
// np.pad, np.zeros and np.log2 for `nov`, private D and P, and `penalty`.
Routines kDpRecursion{"arange", "argmax", "pad", "zeros", "log2"};

Fast dp_native(Call& c, PyObject* nov_obj, PyObject* D_obj, PyObject* P_obj, PyObject* pen_obj,
               PyObject* est_period) noexcept {
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
    return dp_kernel(static_cast<const double*>(PyArray_DATA(nov)), 0, true, static_cast<double*>(PyArray_DATA(D)),
                     static_cast<std::int64_t*>(PyArray_DATA(P)), static_cast<const double*>(PyArray_DATA(pen)), N,
                     est_period);
}

// The frames 2 .. stop - 1 of the recursion, step by step.
Ref dp_steps(Call& c, PyObject* nov, PyObject* D, PyObject* P, PyObject* penalty, Py_ssize_t stop) noexcept {
    K_LET(zero, integer(0));
    K_LET(one, integer(1));
    SignalCadence cadence;
    for (Py_ssize_t i = 2; i < stop; ++i) {
        K_CHECK(cadence.tick(i + SignalCadence::kStep));
        K_LET(n, ssize(i));
        K_LET(arange_m, np_attr(c, K_NAME("arange")));
        K_LET(m, call(arange_m.get(), {one.get(), n.get()}));
        K_LET(prev, getitem(D, m.get()));
        K_LET(gap, sub(n.get(), m.get()));
        K_LET(pen, getitem(penalty, gap.get()));
        K_LET(scores, add(prev.get(), pen.get()));
        K_LET(argmax, np_attr(c, K_NAME("argmax")));
        K_LET(idx, call(argmax.get(), {scores.get()}));
        K_LET(best_score, getitem(scores.get(), idx.get()));
        K_LET(best_m, add(idx.get(), one.get()));
        int below = PyObject_RichCompareBool(zero.get(), best_score.get(), Py_GT);
        K_CHECK(below >= 0);
        K_LET(nov_n, getitem(nov, n.get()));
        K_LET(total, add(nov_n.get(), below ? zero.get() : best_score.get()));
        K_CHECK(setitem(D, n.get(), total.get()));
        K_LET(stored, getitem(D, n.get()));
        K_LET(nov_n2, getitem(nov, n.get()));
        K_LET(same, compare(stored.get(), nov_n2.get(), Py_EQ));
        int starts = truth(same.get());
        K_CHECK(starts >= 0);
        K_CHECK(setitem(P, n.get(), starts ? zero.get() : best_m.get()));
    }
    return Ref::borrow(Py_None);
}

// D and P of create_dp_beats step by step (the recursion natively when it can).
Ref dp_tables(Call& c, Ref& P_out) noexcept {
    PyObject* est_period = c.arg(1);
    PyObject* lmbda = c.arg(2);
    K_LET(pad, np_attr(c, K_NAME("pad")));
    K_LET(zero, integer(0));
    K_LET(one, integer(1));
    K_LET(widths, pack({one.get(), zero.get()}));
    K_LET(nov, call(pad.get(), {c.arg(0), widths.get()}));
    K_LET(N, length(nov.get()));
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    K_LET(zeros, np_attr(c, K_NAME("zeros")));
    K_LET(D, call_kw(zeros.get(), {N.get()}, K_NAME("dtype"), float_type));
    K_LET(zeros2, np_attr(c, K_NAME("zeros")));
    K_LET(P, call_kw(zeros2.get(), {N.get()}, K_NAME("dtype"), reinterpret_cast<PyObject*>(&PyLong_Type)));
    {
        K_LET(first, getitem(nov.get(), one.get()));
        K_CHECK(setitem(D.get(), one.get(), first.get()));
    }
    K_LET(arange, np_attr(c, K_NAME("arange")));
    K_LET(deltas, call_kw(arange.get(), {N.get()}, K_NAME("dtype"), float_type));
    {
        K_LET(tiny, real(1e-4));
        K_CHECK(setitem(deltas.get(), zero.get(), tiny.get()));
    }
    K_LET(neg_lmbda, neg(lmbda));
    K_LET(log2, np_attr(c, K_NAME("log2")));
    // Each temporary of the penalty goes as soon as the next is made: on a
    // long curve they are as large as D and P together.
    K_LET(ratio, truediv(deltas.get(), est_period));
    deltas.reset();
    K_LET(lg, call(log2.get(), {ratio.get()}));
    ratio.reset();
    K_LET(two, integer(2));
    K_LET(sq, power(lg.get(), two.get()));
    lg.reset();
    K_LET(penalty, mul(neg_lmbda.get(), sq.get()));
    sq.reset();

    Py_ssize_t stop = PyObject_Size(nov.get());
    K_CHECK(stop >= 0);
    K_FAST(fast, dp_native(c, nov.get(), D.get(), P.get(), penalty.get(), est_period));
    if (fast == Fast::kDone) stop = 2;
    K_LET(done, dp_steps(c, nov.get(), D.get(), P.get(), penalty.get(), stop));
    P_out = std::move(P);
    return D;
}

// D and P of create_dp_beats in a third of the step-by-step path's memory:
// no padded copy of the curve (the recursion reads the curve itself, one
// frame on), the penalty made in place in one array (the same NumPy
// operations on the same values, operands in the same order: a ** 2 is
// NumPy's square), D and P the recursion's own.  For a plain float64 curve
// of two values or more and plain numbers as period and weight, when every
// routine involved is NumPy's own; declines before doing anything otherwise.  Should
// the recursion have floating-point errors to report, it is run step by
// step on a padded copy after all.
// Stands in for np.pad, np.zeros, np.arange, and the penalty's operators.
// NumPy's pad calls np.asarray, np.array... in turn (spectral::kZeroPadding).
Routines kDpLean{spectral::kZeroPadding, RoutineGroup{{"arange", "argmax", "zeros"}}};
// The penalty's ufuncs, called by name.
Routines kDpPenalty{"log2", "true_divide", "square", "multiply"};

// A Python float, or an int a double holds exactly: what NumPy turns into
// the same float64 whatever its version.
bool plain_number(PyObject* o) {
    long long v;
    return PyFloat_CheckExact(o) || small_int(o, -limits::kExactInDouble, limits::kExactInDouble, &v);
}

Fast dp_lean(Call& c, Ref& D, Ref& P) noexcept {
    PyObject* est_period = c.arg(1);
    PyObject* lmbda = c.arg(2);
    PyArrayObject* nov = plain_array(c.arg(0), 1);
    if (!has_type(nov, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(nov) || PyArray_DIM(nov, 0) < 2 ||
        !plain_number(est_period) || !plain_number(lmbda)) {
        return Fast::kDeclined;
    }
    if (int g = kDpLean.genuine(c); g <= 0) return not_taken(g);
    if (int g = kDpPenalty.genuine(c); g <= 0) return not_taken(g);
    const npy_intp N = PyArray_DIM(nov, 0) + 1;
    npy_intp dims[1] = {N};
    // The predecessors are frame indices: in 32 bits when every one fits
    // (the walk back turns them into Python ints, as the result needs).
    const bool narrow = N <= std::numeric_limits<std::int32_t>::max();
    Ref d = new_array_or_decline(1, dims, NPY_DOUBLE, sizeof(double));
    Ref p = d ? (narrow ? new_array_or_decline(1, dims, NPY_INT32, sizeof(std::int32_t))
                        : new_array_or_decline(1, dims, NPY_INT64, sizeof(std::int64_t)))
              : Ref();
    Ref pen = p ? new_array_or_decline(1, dims, NPY_DOUBLE, sizeof(double)) : Ref();
    if (!pen) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    const auto* x = static_cast<const double*>(PyArray_DATA(nov));
    auto* dv = data_of<double>(d);
    auto* penalty = data_of<double>(pen);
    std::fill(dv, dv + N, 0.0);
    if (narrow) {
        std::fill(data_of<std::int32_t>(p), data_of<std::int32_t>(p) + N, std::int32_t{0});
    } else {
        std::fill(data_of<std::int64_t>(p), data_of<std::int64_t>(p) + N, std::int64_t{0});
    }
    dv[1] = x[0];
    // np.arange(N, dtype=float) with its first value 1e-4.
    for (npy_intp i = 0; i < N; ++i) penalty[i] = static_cast<double>(i);
    penalty[0] = 1e-4;
    Ref neg_lmbda = Ref::steal(PyNumber_Negative(lmbda));
    if (!neg_lmbda) return Fast::kError;
    PyObject* out = pen.get();
    if (!Ref::steal(PyObject_Vectorcall(kDpPenalty.at(c, "true_divide"), std::array<PyObject*, 3>{pen.get(),
                    est_period, out}.data(), 3, nullptr)) ||
        !Ref::steal(PyObject_Vectorcall(kDpPenalty.at(c, "log2"), std::array<PyObject*, 2>{pen.get(), out}.data(),
                                        2, nullptr)) ||
        !Ref::steal(PyObject_Vectorcall(kDpPenalty.at(c, "square"), std::array<PyObject*, 2>{pen.get(), out}.data(),
                                        2, nullptr)) ||
        !Ref::steal(PyObject_Vectorcall(kDpPenalty.at(c, "multiply"), std::array<PyObject*, 3>{neg_lmbda.get(),
                    pen.get(), out}.data(), 3, nullptr))) {
        return Fast::kError;
    }
    // x is the caller's curve: the recursion keeps the GIL while it reads it.
    const Fast run = narrow ? dp_kernel(x, 1, false, dv, data_of<std::int32_t>(p), penalty, N, est_period)
                            : dp_kernel(x, 1, false, dv, data_of<std::int64_t>(p), penalty, N, est_period);
    if (run == Fast::kError) return Fast::kError;
    if (run == Fast::kDeclined) {
        Ref zero = integer(0), one = integer(1);
        Ref widths = zero && one ? pack({one.get(), zero.get()}) : Ref();
        Ref padded = widths ? call(kDpLean.at(c, "pad"), {c.arg(0), widths.get()}) : Ref();
        if (!padded || !dp_steps(c, padded.get(), d.get(), p.get(), pen.get(), N)) return Fast::kError;
    }
    D = std::move(d);
    P = std::move(p);
    return Fast::kDone;
}

Ref create_dp_beats(Call& c) noexcept {
    Ref D, P;
    K_FAST(lean, dp_lean(c, D, P));
    if (lean != Fast::kDone) K_SET(D, dp_tables(c, P));
    K_LET(zero, integer(0));
    K_LET(one, integer(1));
    SignalCadence cadence;
    K_LET(beats, Ref::steal(PyList_New(0)));
    K_LET(argmax_d, np_attr(c, K_NAME("argmax")));
    K_LET(n, call(argmax_d.get(), {D.get()}));
    while (true) {
        K_CHECK(cadence.tick(SignalCadence::kStep));
        int more = PyObject_RichCompareBool(n.get(), zero.get(), Py_GT);
        K_CHECK(more >= 0);
        if (!more) break;
        K_CHECK(PyList_Append(beats.get(), n.get()) == 0);
        K_SET(n, getitem(P.get(), n.get()));
        // The lean path's 32-bit predecessors are taken as plain ints, so
        // that the beats come out as int64 whichever width held them.
        if (lean == Fast::kDone) K_SET(n, Ref::steal(PyNumber_Index(n.get())));
    }
    K_CHECK(PyList_Reverse(beats.get()) == 0);
    K_LET(array, np_attr(c, K_NAME("array")));
    K_LET(arr, call(array.get(), {beats.get()}));
    K_LET(positions, sub(arr.get(), one.get()));
    K_LET(result, pack({positions.get(), D.get()}));
    return result;
}

}  // namespace

const RoutineTable kBeatsRoutines{{&kScoreSums, &kDpRecursion, &kDpLean, &kDpPenalty}};

const FuncDef kBeatsScore{"beats_score", kBeatsScoreDoc, {"nov", "beats", "est_period", "lmbda"}, 4,
                          beats_score, __LINE__};
const FuncDef kCreateDpBeats{"create_dp_beats", kCreateDpBeatsDoc, {"nov", "est_period", "lmbda"}, 3,
                             create_dp_beats, __LINE__};

}  // namespace pulsix
}  // namespace korvel
