// korvel.pulsix, create_hmm_beats: beat tracking that follows tempo changes,
// by Viterbi decoding of a beat-pointer model (kernels/hmm_beats.hpp).
//
// Every logarithm and exponential is one NumPy call on a whole array (the
// numpy captured at import), everything else is plain IEEE arithmetic in a
// fixed order, so a NumPy program doing the same steps gets the same bits.
#include "pulsix/pulsix.hpp"

#include "kernels/hmm_beats.hpp"

namespace korvel {
namespace pulsix {
namespace {

// Periods are indexed by 16-bit backpointers.
constexpr long long kMaxPeriod = 1LL << 16;
// The score rings hold one double per state; beyond this many states a
// single frame is more work than any music-sized use needs.
constexpr long long kMaxStates = 1LL << 24;
// Observations are clipped to [kFloor, 1 - kFloor] so that neither a silent
// frame inside the beat region nor the loudest frame outside it has
// probability 0 (log(0) would make every path through it impossible).
constexpr double kFloor = 1e-6;
// Exponents below this are raised to it before np.exp: the terms they give
// are far below the rounding of a normaliser that is at least 1, and exp
// then never underflows (which NumPy could be told to report).
constexpr double kExpFloor = -700.0;
// Above this many periods the transition table (K * K doubles) is not
// stored; each value is formed when needed, with the same operations.
constexpr long long kMaxTablePeriods = 1024;

bool period_param(PyObject* o, const char* name, long long* out) {
    if (PyBool_Check(o) || PyArray_IsScalar(o, Bool) || !PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.200s", name, Py_TYPE(o)->tp_name);
        return false;
    }
    Ref v = Ref::steal(PyNumber_Index(o));
    if (!v) return false;
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow || x < 1 || x > kMaxPeriod) {
        PyErr_Format(PyExc_ValueError, "%s must be between 1 and %lld frames, got %S", name, kMaxPeriod, v.get());
        return false;
    }
    *out = x;
    return true;
}

bool real_param(PyObject* o, const char* name, double* out) {
    const bool real = PyFloat_Check(o) || PyLong_Check(o) || PyArray_IsScalar(o, Integer) ||
                      PyArray_IsScalar(o, Floating);
    if (!real || PyBool_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be a real number, not %.200s", name, Py_TYPE(o)->tp_name);
        return false;
    }
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// A new C-contiguous array; MemoryError when its size overflows.
Ref new_array(npy_intp rows, npy_intp cols, int type) {
    if (cols != 0 && rows > NPY_MAX_INTP / 16 / cols) return Ref::steal(PyErr_NoMemory());
    npy_intp dims[1] = {rows * cols};
    return Ref::steal(PyArray_SimpleNew(1, dims, type));
}

// A NumPy routine's result must be what the steps below read.
bool plain_doubles(const Ref& r, npy_intp n, const char* routine) {
    PyArrayObject* a = plain_array(r.get(), 1);
    if (!has_type(a, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(a) || PyArray_DIM(a, 0) != n) {
        PyErr_Format(PyExc_TypeError, "numpy.%s returned %.200s, not a float64 array of %zd values", routine,
                     Py_TYPE(r.get())->tp_name, static_cast<Py_ssize_t>(n));
        return false;
    }
    return true;
}

// numpy.<routine>(a) for a float64 array a of n values.
Ref np_unary(PyObject* numpy, PyObject* routine, const char* name, PyObject* a, npy_intp n) {
    Ref f = attr(numpy, routine);
    if (!f) return Ref();
    Ref r = call(f.get(), {a});
    if (!r || !plain_doubles(r, n, name)) return Ref();
    return r;
}

Ref empty_results(npy_intp n) {
    npy_intp none[1] = {0};
    Ref beats = Ref::steal(PyArray_SimpleNew(1, none, NPY_INT64));
    if (!beats) return Ref();
    npy_intp dims[1] = {n};
    Ref periods = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!periods) return Ref();
    double* p = data_of<double>(periods);
    for (npy_intp i = 0; i < n; ++i) p[i] = std::numeric_limits<double>::quiet_NaN();
    return pack({beats.get(), periods.get()});
}

Ref create_hmm_beats(Call& c) noexcept {
    long long lo = 0, hi = 0;
    double lambda = 0, obs = 0;
    K_CHECK(period_param(c.arg(1), "min_period", &lo));
    K_CHECK(period_param(c.arg(2), "max_period", &hi));
    if (lo > hi) {
        PyErr_Format(PyExc_ValueError, "min_period (%lld) must not exceed max_period (%lld)", lo, hi);
        return c.fail(__LINE__);
    }
    const long long K = hi - lo + 1;
    const long long S = (lo + hi) * K / 2;
    if (S > kMaxStates) {
        PyErr_Format(PyExc_ValueError,
                     "periods %lld..%lld make %lld states, more than the %lld a beat tracker is given", lo, hi, S,
                     kMaxStates);
        return c.fail(__LINE__);
    }
    K_CHECK(real_param(c.arg(3), "transition_lambda", &lambda));
    if (!(lambda > 0.0) || !std::isfinite(lambda)) {
        PyErr_Format(PyExc_ValueError, "transition_lambda must be finite and above 0, got %R", c.arg(3));
        return c.fail(__LINE__);
    }
    K_CHECK(real_param(c.arg(4), "obs_lambda", &obs));
    if (!(obs > 1.0) || !std::isfinite(obs)) {
        PyErr_Format(PyExc_ValueError, "obs_lambda must be finite and above 1, got %R", c.arg(4));
        return c.fail(__LINE__);
    }

    // The curve as np.asarray(curve, dtype=np.float64) gives it; complex
    // values are refused rather than cut to their real parts.
    PyObject* curve = c.arg(0);
    if (PyArray_Check(curve) && PyArray_ISCOMPLEX(reinterpret_cast<PyArrayObject*>(curve))) {
        PyErr_SetString(PyExc_TypeError, "curve must hold real numbers, not complex ones");
        return c.fail(__LINE__);
    }
    PyObject* numpy = c.state ? c.state->numpy : nullptr;
    if (!numpy) {
        PyErr_SetString(PyExc_SystemError, "korvel.pulsix was initialised without numpy");
        return c.fail(__LINE__);
    }
    K_LET(asarray, attr(numpy, K_NAME("asarray")));
    K_LET(float64, attr(numpy, K_NAME("float64")));
    K_LET(x_obj, call_kw(asarray.get(), {curve}, K_NAME("dtype"), float64.get()));
    PyArrayObject* x = PyArray_Check(x_obj.get()) ? reinterpret_cast<PyArrayObject*>(x_obj.get()) : nullptr;
    if (!x || PyArray_TYPE(x) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(x)) {
        PyErr_Format(PyExc_TypeError, "numpy.asarray returned %.200s, not a float64 array",
                     Py_TYPE(x_obj.get())->tp_name);
        return c.fail(__LINE__);
    }
    if (PyArray_NDIM(x) != 1) {
        PyErr_Format(PyExc_ValueError, "curve must be one-dimensional, not %d-dimensional", PyArray_NDIM(x));
        return c.fail(__LINE__);
    }
    const npy_intp N = PyArray_DIM(x, 0);
    const auto* xd = static_cast<const char*>(PyArray_DATA(x));
    const npy_intp xs = PyArray_STRIDE(x, 0);
    // (np.asarray may hand back the caller's array unaligned.)
    auto value = [&](npy_intp n) {
        double v;
        std::memcpy(&v, xd + n * xs, sizeof v);
        return v;
    };
    double peak = 0.0;
    for (npy_intp n = 0; n < N; ++n) {
        const double v = value(n);
        if (!std::isfinite(v)) {
            PyErr_Format(PyExc_ValueError, "curve must be finite, but frame %zd is %R", static_cast<Py_ssize_t>(n),
                         Ref::steal(PyFloat_FromDouble(v)).get());
            return c.fail(__LINE__);
        }
        if (v > peak) peak = v;
    }
    // No onset anywhere: nothing to place beats on, and no tempo.
    if (N == 0 || !(peak > 0.0)) {
        K_LET(result, empty_results(N));
        return result;
    }

    // Observations: log c inside the beat region, log((1 - c) / (obs - 1))
    // = log(1 - c) - log(obs - 1) outside, with c the curve scaled to its
    // peak and clipped to [kFloor, 1 - kFloor].
    K_LET(scaled, new_array(N, 1, NPY_DOUBLE));
    K_LET(complement, new_array(N, 1, NPY_DOUBLE));
    K_LET(odds, new_array(1, 1, NPY_DOUBLE));
    {
        double* sc = data_of<double>(scaled);
        double* cp = data_of<double>(complement);
        const double top = 1.0 - kFloor;
        for (npy_intp n = 0; n < N; ++n) {
            double v = value(n) / peak;
            v = v < kFloor ? kFloor : v;
            v = v > top ? top : v;
            sc[n] = v;
            cp[n] = 1.0 - v;
        }
        data_of<double>(odds)[0] = obs - 1.0;
    }
    K_LET(beat_ll, np_unary(numpy, K_NAME("log"), "log", scaled.get(), N));
    K_LET(rest_ll, np_unary(numpy, K_NAME("log"), "log", complement.get(), N));
    K_LET(log_odds, np_unary(numpy, K_NAME("log"), "log", odds.get(), 1));
    scaled.reset();
    complement.reset();
    {
        double* r = data_of<double>(rest_ll);
        const double d = data_of<double>(log_odds)[0];
        for (npy_intp n = 0; n < N; ++n) r[n] = r[n] - d;
    }

    // Periods, their beat regions (min(phi, T - phi) <= T / (2 obs)) and
    // their rings' offsets.
    K_LET(periods, new_array(K, 1, NPY_INT64));
    K_LET(reach, new_array(K, 1, NPY_INT64));
    K_LET(offset, new_array(K + 1, 1, NPY_INTP));
    auto* P = data_of<std::int64_t>(periods);
    {
        auto* h = data_of<std::int64_t>(reach);
        auto* off = data_of<npy_intp>(offset);
        off[0] = 0;
        for (long long k = 0; k < K; ++k) {
            P[k] = lo + k;
            h[k] = static_cast<std::int64_t>(std::floor(static_cast<double>(P[k]) / (2.0 * obs)));
            off[k + 1] = off[k] + static_cast<npy_intp>(P[k]);
        }
    }

    // Transitions: from period j to k with probability
    // exp(change(j, k)) / Z_j, Z_j summing over every k in order.
    K_LET(norm, new_array(K, 1, NPY_DOUBLE));
    {
        K_LET(exps, new_array(K, 1, NPY_DOUBLE));
        double* e = data_of<double>(exps);
        double* z = data_of<double>(norm);
        SignalCadence cadence;
        for (long long j = 0; j < K; ++j) {
            for (long long k = 0; k < K; ++k) {
                const double a = kernels::period_change(P[j], P[k], lambda);
                e[k] = a < kExpFloor ? kExpFloor : a;
            }
            K_LET(terms, np_unary(numpy, K_NAME("exp"), "exp", exps.get(), K));
            const double* t = data_of<double>(terms);
            double sum = 0.0;
            for (long long k = 0; k < K; ++k) sum += t[k];
            z[j] = sum;
            K_CHECK(cadence.tick(2 * K + SignalCadence::kStep));
        }
    }
    K_LET(log_norm, np_unary(numpy, K_NAME("log"), "log", norm.get(), K));
    const double* ln = data_of<double>(log_norm);
    Ref table;
    if (K <= kMaxTablePeriods) {
        K_SET(table, new_array(K * K, 1, NPY_DOUBLE));
        double* tb = data_of<double>(table);
        for (long long k = 0; k < K; ++k) {
            for (long long j = 0; j < K; ++j) tb[k * K + j] = kernels::period_change(P[j], P[k], lambda) - ln[j];
        }
    }

    K_LET(score, new_array(S, 1, NPY_DOUBLE));
    K_LET(ends, new_array(K, 1, NPY_DOUBLE));
    K_LET(starts, new_array(K, 1, NPY_DOUBLE));
    K_LET(turn, new_array(K, 1, NPY_INT64));
    K_LET(back, new_array(N, K, NPY_UINT16));
    K_LET(decoded, new_array(N, 1, NPY_DOUBLE));
    K_LET(found, new_array(N, 1, NPY_INT64));
    kernels::HmmBeats hmm(data_of<double>(beat_ll), data_of<double>(rest_ll), N, P, K,
                          data_of<std::int64_t>(reach), data_of<npy_intp>(offset),
                          table ? data_of<double>(table) : nullptr, lambda, ln, data_of<double>(score),
                          data_of<double>(ends), data_of<double>(starts), data_of<std::int64_t>(turn),
                          data_of<std::uint16_t>(back));
    // Every array the decoding touches was made by this call.
    SignalCadence cadence;
    while (!hmm.done()) {
        const std::int64_t budget = cadence.budget();
        {
            NoGil nogil;
            hmm.advance(budget);
        }
        K_CHECK(cadence.tick(budget));
    }
    std::ptrdiff_t count;
    {
        NoGil nogil;
        count = hmm.decode(data_of<double>(decoded), data_of<std::int64_t>(found));
    }
    K_LET(beats, new_array(count, 1, NPY_INT64));
    std::memcpy(data_of<std::int64_t>(beats), data_of<std::int64_t>(found) + (N - count),
                static_cast<size_t>(count) * sizeof(std::int64_t));
    K_LET(result, pack({beats.get(), decoded.get()}));
    return result;
}

}  // namespace

const FuncDef kCreateHmmBeats{"create_hmm_beats", kCreateHmmBeatsDoc,
                              {"curve", "min_period", "max_period", "transition_lambda", "obs_lambda"},
                              5, create_hmm_beats, __LINE__};

}  // namespace pulsix
}  // namespace korvel
