// The beat-pointer model shared by create_hmm_beats and its bounded-memory
// road (_hmm_beats_upsampled): argument readers, the model's tables, the
// observations and the decoding loop (kernels/hmm_beats.hpp does the work).
//
// Every logarithm and exponential is one NumPy call on a whole array (the
// numpy captured at import), everything else is plain IEEE arithmetic in a
// fixed order, so a NumPy program doing the same steps gets the same bits.
#pragma once
#include "pulsix/pulsix.hpp"

#include <climits>

#include "kernels/hmm_beats.hpp"

namespace korvel {
namespace pulsix {
namespace hmm_model {


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

// An integer argument (a bool is refused) as a Python int, its value in *x;
// *overflow is set when it does not fit a long long.  Empty on an error.
inline Ref int_param(PyObject* o, const char* name, long long* x, int* overflow) {
    if (PyBool_Check(o) || PyArray_IsScalar(o, Bool) || !PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.200s", name, Py_TYPE(o)->tp_name);
        return Ref();
    }
    Ref v = Ref::steal(PyNumber_Index(o));
    if (!v) return v;
    *x = PyLong_AsLongLongAndOverflow(v.get(), overflow);
    if (*x == -1 && PyErr_Occurred()) return Ref();
    return v;
}

// An integer argument within [lo, hi] into *out; otherwise a ValueError that
// refuse(value) raises (a TypeError for what is no integer).
template <class Refuse>
inline bool ranged_param(PyObject* o, const char* name, long long lo, long long hi, long long* out,
                         Refuse refuse) {
    long long x = 0;
    int overflow = 0;
    const Ref v = int_param(o, name, &x, &overflow);
    if (!v) return false;
    if (overflow || x < lo || x > hi) {
        refuse(v.get());
        return false;
    }
    *out = x;
    return true;
}

inline bool period_param(PyObject* o, const char* name, long long* out) {
    return ranged_param(o, name, 1, kMaxPeriod, out, [&](PyObject* v) {
        PyErr_Format(PyExc_ValueError, "%s must be between 1 and %lld frames, got %S", name, kMaxPeriod, v);
    });
}

// A count of at least 0 (block sizes; 0 leaves the choice to the call).
inline bool count_param(PyObject* o, const char* name, long long* out) {
    return ranged_param(o, name, 0, LLONG_MAX, out, [&](PyObject* v) {
        PyErr_Format(PyExc_ValueError, "%s must be an integer of at least 0, got %S", name, v);
    });
}

inline bool real_param(PyObject* o, const char* name, double* out) {
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
inline Ref new_array(npy_intp rows, npy_intp cols, int type) {
    if (cols != 0 && rows > NPY_MAX_INTP / 16 / cols) return Ref::steal(PyErr_NoMemory());
    npy_intp dims[1] = {rows * cols};
    return Ref::steal(PyArray_SimpleNew(1, dims, type));
}

// A NumPy routine's result must be what the steps below read.
inline bool plain_doubles(const Ref& r, npy_intp n, const char* routine) {
    PyArrayObject* a = plain_array(r.get(), 1);
    if (!has_type(a, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(a) || PyArray_DIM(a, 0) != n) {
        PyErr_Format(PyExc_TypeError, "numpy.%s returned %.200s, not a float64 array of %zd values", routine,
                     Py_TYPE(r.get())->tp_name, static_cast<Py_ssize_t>(n));
        return false;
    }
    return true;
}

// numpy.<routine>(a) for a float64 array a of n values.
inline Ref np_unary(PyObject* numpy, PyObject* routine, const char* name, PyObject* a, npy_intp n) {
    Ref f = attr(numpy, routine);
    if (!f) return Ref();
    Ref r = call(f.get(), {a});
    if (!r || !plain_doubles(r, n, name)) return Ref();
    return r;
}

inline Ref empty_results(npy_intp n) {
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

// The model's parameters and the tables built from them.
struct Model {
    long long lo = 0, hi = 0, K = 0, S = 0;
    double lambda = 0, obs = 0;
    Ref periods, reach, offset, log_norm, table, log_odds;
};

// Reads min_period, max_period, transition_lambda and obs_lambda from the
// four arguments starting at `first`.
inline bool model_params(Call& c, int first, Model& m) {
    if (!period_param(c.arg(first), "min_period", &m.lo) || !period_param(c.arg(first + 1), "max_period", &m.hi))
        return false;
    if (m.lo > m.hi) {
        PyErr_Format(PyExc_ValueError, "min_period (%lld) must not exceed max_period (%lld)", m.lo, m.hi);
        return false;
    }
    m.K = m.hi - m.lo + 1;
    m.S = (m.lo + m.hi) * m.K / 2;
    if (m.S > kMaxStates) {
        PyErr_Format(PyExc_ValueError,
                     "periods %lld..%lld make %lld states, more than the %lld a beat tracker is given", m.lo, m.hi,
                     m.S, kMaxStates);
        return false;
    }
    if (!real_param(c.arg(first + 2), "transition_lambda", &m.lambda)) return false;
    if (!(m.lambda > 0.0) || !std::isfinite(m.lambda)) {
        PyErr_Format(PyExc_ValueError, "transition_lambda must be finite and above 0, got %R", c.arg(first + 2));
        return false;
    }
    if (!real_param(c.arg(first + 3), "obs_lambda", &m.obs)) return false;
    if (!(m.obs > 1.0) || !std::isfinite(m.obs)) {
        PyErr_Format(PyExc_ValueError, "obs_lambda must be finite and above 1, got %R", c.arg(first + 3));
        return false;
    }
    return true;
}

// The curve as np.asarray(curve, dtype=np.float64) gives it, one-dimensional;
// complex values are refused rather than cut to their real parts.
inline Ref curve_param(PyObject* numpy, PyObject* curve) {
    if (PyArray_Check(curve) && PyArray_ISCOMPLEX(reinterpret_cast<PyArrayObject*>(curve))) {
        PyErr_SetString(PyExc_TypeError, "curve must hold real numbers, not complex ones");
        return Ref();
    }
    Ref asarray = attr(numpy, K_NAME("asarray"));
    if (!asarray) return Ref();
    Ref float64 = attr(numpy, K_NAME("float64"));
    if (!float64) return Ref();
    Ref x_obj = call_kw(asarray.get(), {curve}, K_NAME("dtype"), float64.get());
    if (!x_obj) return Ref();
    PyArrayObject* x = PyArray_Check(x_obj.get()) ? reinterpret_cast<PyArrayObject*>(x_obj.get()) : nullptr;
    if (!x || PyArray_TYPE(x) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(x)) {
        PyErr_Format(PyExc_TypeError, "numpy.asarray returned %.200s, not a float64 array",
                     Py_TYPE(x_obj.get())->tp_name);
        return Ref();
    }
    if (PyArray_NDIM(x) != 1) {
        PyErr_Format(PyExc_ValueError, "curve must be one-dimensional, not %d-dimensional", PyArray_NDIM(x));
        return Ref();
    }
    return x_obj;
}

// Values of a float64 array as np.asarray hands it over: possibly strided
// and unaligned.
class Values {
public:
    explicit Values(const Ref& a)
        : data_(static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())))),
          stride_(PyArray_STRIDE(reinterpret_cast<PyArrayObject*>(a.get()), 0)),
          size_(PyArray_DIM(reinterpret_cast<PyArrayObject*>(a.get()), 0)) {}
    npy_intp size() const { return size_; }
    double operator[](npy_intp n) const {
        double v;
        std::memcpy(&v, data_ + n * stride_, sizeof v);
        return v;
    }

private:
    const char* data_;
    npy_intp stride_;
    npy_intp size_;
};

inline void not_finite(npy_intp n, double v) {
    // Without the float for the message, its MemoryError is the error.
    const Ref f = Ref::steal(PyFloat_FromDouble(v));
    if (f) PyErr_Format(PyExc_ValueError, "curve must be finite, but frame %zd is %R", static_cast<Py_ssize_t>(n), f.get());
}

// The largest of value(0) .. value(n - 1), at least 0, in *peak; false with
// ValueError at the first value that is not finite.
template <class Value>
bool finite_peak(npy_intp n, Value&& value, double* peak) {
    double top = 0.0;
    for (npy_intp i = 0; i < n; ++i) {
        const double v = value(i);
        if (!std::isfinite(v)) {
            not_finite(i, v);
            return false;
        }
        if (v > top) top = v;
    }
    *peak = top;
    return true;
}

// The numpy captured at import; SystemError when the module has none.
inline PyObject* captured_numpy(const Call& c) {
    PyObject* numpy = c.state ? c.state->numpy : nullptr;
    if (!numpy) PyErr_SetString(PyExc_SystemError, "korvel.pulsix was initialised without numpy");
    return numpy;
}

// Periods, their beat regions (min(phi, T - phi) <= T / (2 obs)), their
// rings' offsets, and the transitions: from period j to k with probability
// exp(change(j, k)) / Z_j, Z_j summing over every k in order.
inline bool build_model(PyObject* numpy, Model& m) {
    const long long K = m.K;
    if (!(m.periods = new_array(K, 1, NPY_INT64)) || !(m.reach = new_array(K, 1, NPY_INT64)) ||
        !(m.offset = new_array(K + 1, 1, NPY_INTP)))
        return false;
    auto* P = data_of<std::int64_t>(m.periods);
    {
        auto* h = data_of<std::int64_t>(m.reach);
        auto* off = data_of<npy_intp>(m.offset);
        off[0] = 0;
        for (long long k = 0; k < K; ++k) {
            P[k] = m.lo + k;
            h[k] = static_cast<std::int64_t>(std::floor(static_cast<double>(P[k]) / (2.0 * m.obs)));
            off[k + 1] = off[k] + static_cast<npy_intp>(P[k]);
        }
    }
    Ref norm = new_array(K, 1, NPY_DOUBLE);
    Ref exps = new_array(K, 1, NPY_DOUBLE);
    if (!norm || !exps) return false;
    {
        double* e = data_of<double>(exps);
        double* z = data_of<double>(norm);
        SignalCadence cadence;
        for (long long j = 0; j < K; ++j) {
            for (long long k = 0; k < K; ++k) {
                const double a = kernels::period_change(P[j], P[k], m.lambda);
                e[k] = a < kExpFloor ? kExpFloor : a;
            }
            Ref terms = np_unary(numpy, K_NAME("exp"), "exp", exps.get(), K);
            if (!terms) return false;
            const double* t = data_of<double>(terms);
            double sum = 0.0;
            for (long long k = 0; k < K; ++k) sum += t[k];
            z[j] = sum;
            if (!cadence.tick(2 * K + SignalCadence::kStep)) return false;
        }
    }
    if (!(m.log_norm = np_unary(numpy, K_NAME("log"), "log", norm.get(), K))) return false;
    const double* ln = data_of<double>(m.log_norm);
    if (K <= kMaxTablePeriods) {
        if (!(m.table = new_array(K * K, 1, NPY_DOUBLE))) return false;
        double* tb = data_of<double>(m.table);
        for (long long k = 0; k < K; ++k) {
            for (long long j = 0; j < K; ++j) tb[k * K + j] = kernels::period_change(P[j], P[k], m.lambda) - ln[j];
        }
    }
    return true;
}

// Observations of n frames whose curve values `value(i)` (i < n) give:
// log c inside the beat region, log((1 - c) / (obs - 1)) = log(1 - c) -
// log(obs - 1) outside, with c the value scaled to the peak and clipped to
// [kFloor, 1 - kFloor]; log(obs - 1) is taken once, on the first call.
// Each logarithm is one numpy.log over the n values,
// which gives every value the bits it gets in a longer array.
template <class Value>
inline bool observations(PyObject* numpy, Model& m, double peak, npy_intp n, Value&& value, Ref& beat_ll,
                  Ref& rest_ll) {
    Ref scaled = new_array(n, 1, NPY_DOUBLE);
    Ref complement = new_array(n, 1, NPY_DOUBLE);
    if (!scaled || !complement) return false;
    double* sc = data_of<double>(scaled);
    double* cp = data_of<double>(complement);
    const double top = 1.0 - kFloor;
    for (npy_intp i = 0; i < n; ++i) {
        double v = value(i) / peak;
        v = v < kFloor ? kFloor : v;
        v = v > top ? top : v;
        sc[i] = v;
        cp[i] = 1.0 - v;
    }
    if (!(beat_ll = np_unary(numpy, K_NAME("log"), "log", scaled.get(), n))) return false;
    scaled.reset();
    if (!(rest_ll = np_unary(numpy, K_NAME("log"), "log", complement.get(), n))) return false;
    if (!m.log_odds) {
        Ref odds = new_array(1, 1, NPY_DOUBLE);
        if (!odds) return false;
        data_of<double>(odds)[0] = m.obs - 1.0;
        if (!(m.log_odds = np_unary(numpy, K_NAME("log"), "log", odds.get(), 1))) return false;
    }
    double* r = data_of<double>(rest_ll);
    const double d = data_of<double>(m.log_odds)[0];
    for (npy_intp i = 0; i < n; ++i) r[i] = r[i] - d;
    return true;
}

// The arrays the decoder works in, all made here.
struct Scratch {
    Ref score, ends, starts, turn;
    bool make(const Model& m) {
        return (score = new_array(m.S, 1, NPY_DOUBLE)) && (ends = new_array(m.K, 1, NPY_DOUBLE)) &&
               (starts = new_array(m.K, 1, NPY_DOUBLE)) && (turn = new_array(m.K, 1, NPY_INT64));
    }
    template <typename Back>
    kernels::HmmBeats<Back> decoder(const Model& m, npy_intp N) const {
        return kernels::HmmBeats<Back>(N, data_of<std::int64_t>(m.periods), m.K, data_of<std::int64_t>(m.reach),
                                       data_of<npy_intp>(m.offset), m.table ? data_of<double>(m.table) : nullptr,
                                       m.lambda, data_of<double>(m.log_norm), data_of<double>(score),
                                       data_of<double>(ends), data_of<double>(starts), data_of<std::int64_t>(turn));
    }
};

// Decodes frames up to `stop`, without the GIL: every array the decoder
// touches was made by this call.
template <typename Back>
inline bool run(kernels::HmmBeats<Back>& hmm, std::ptrdiff_t stop, SignalCadence& cadence) {
    while (hmm.frame() < stop) {
        const std::int64_t budget = cadence.budget();
        const std::ptrdiff_t from = hmm.frame();
        {
            NoGil nogil;
            hmm.advance(budget, stop);
        }
        if (!cadence.tick((hmm.frame() - from) * hmm.frame_cost())) return false;
    }
    return true;
}

}  // namespace hmm_model
}  // namespace pulsix
}  // namespace korvel
