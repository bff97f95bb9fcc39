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

// A count of at least 0 (block sizes; 0 leaves the choice to the call).
bool count_param(PyObject* o, const char* name, long long* out) {
    if (PyBool_Check(o) || PyArray_IsScalar(o, Bool) || !PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.200s", name, Py_TYPE(o)->tp_name);
        return false;
    }
    Ref v = Ref::steal(PyNumber_Index(o));
    if (!v) return false;
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow || x < 0) {
        PyErr_Format(PyExc_ValueError, "%s must be an integer of at least 0, got %S", name, v.get());
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

// The model's parameters and the tables built from them.
struct Model {
    long long lo = 0, hi = 0, K = 0, S = 0;
    double lambda = 0, obs = 0;
    Ref periods, reach, offset, log_norm, table, log_odds;
};

// Reads min_period, max_period, transition_lambda and obs_lambda from the
// four arguments starting at `first`.
bool model_params(Call& c, int first, Model& m) {
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
Ref curve_param(PyObject* numpy, PyObject* curve) {
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

void not_finite(npy_intp n, double v) {
    PyErr_Format(PyExc_ValueError, "curve must be finite, but frame %zd is %R", static_cast<Py_ssize_t>(n),
                 Ref::steal(PyFloat_FromDouble(v)).get());
}

// Periods, their beat regions (min(phi, T - phi) <= T / (2 obs)), their
// rings' offsets, and the transitions: from period j to k with probability
// exp(change(j, k)) / Z_j, Z_j summing over every k in order.
bool build_model(PyObject* numpy, Model& m) {
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
bool observations(PyObject* numpy, Model& m, double peak, npy_intp n, Value&& value, Ref& beat_ll,
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
bool run(kernels::HmmBeats<Back>& hmm, std::ptrdiff_t stop, SignalCadence& cadence) {
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

Ref create_hmm_beats(Call& c) noexcept {
    Model m;
    K_CHECK(model_params(c, 1, m));
    PyObject* numpy = c.state ? c.state->numpy : nullptr;
    if (!numpy) {
        PyErr_SetString(PyExc_SystemError, "korvel.pulsix was initialised without numpy");
        return c.fail(__LINE__);
    }
    K_LET(x_obj, curve_param(numpy, c.arg(0)));
    const Values value(x_obj);
    const npy_intp N = value.size();
    double peak = 0.0;
    for (npy_intp n = 0; n < N; ++n) {
        const double v = value[n];
        if (!std::isfinite(v)) {
            not_finite(n, v);
            return c.fail(__LINE__);
        }
        if (v > peak) peak = v;
    }
    // No onset anywhere: nothing to place beats on, and no tempo.
    if (N == 0 || !(peak > 0.0)) {
        K_LET(result, empty_results(N));
        return result;
    }

    Ref beat_ll, rest_ll;
    K_CHECK(observations(numpy, m, peak, N, [&](npy_intp i) { return value[i]; }, beat_ll, rest_ll));
    K_CHECK(build_model(numpy, m));

    Scratch scratch;
    K_CHECK(scratch.make(m));
    K_LET(back, new_array(N, m.K, NPY_UINT16));
    K_LET(decoded, new_array(N, 1, NPY_DOUBLE));
    K_LET(found, new_array(N, 1, NPY_INT64));
    auto hmm = scratch.decoder<std::uint16_t>(m, N);
    hmm.observe_from(data_of<double>(beat_ll), data_of<double>(rest_ll), 0);
    hmm.back_from(data_of<std::uint16_t>(back), 0);
    SignalCadence cadence;
    K_CHECK(run(hmm, N, cadence));
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

// ---- the same beats in memory independent of the length -----------------
//
// _hmm_beats_upsampled decodes np.interp(np.arange(up * (n - 1) + 1) / up,
// np.arange(n), curve) as create_hmm_beats does and returns its beats only.
// Nothing it keeps grows with the frames but the checkpoints and the beats:
// the interpolated values and their observations are formed a block of
// frames at a time, and so are the backpointers.  The forward pass keeps the
// scores at the start of every block; the trace-back then decodes each
// block again from its checkpoint, last block first, and walks it back.  A
// block decoded again repeats the same operations on the same values, so it
// makes the same choices among equal scores.

constexpr long long kMaxUpsample = 64;
// Memory of a block when the caller leaves its size to us: its
// backpointers and about four doubles of observations per frame.  A track
// of up to about ten minutes (at four values per frame of 512 samples at
// 44.1 kHz) is then one block, decoded once; a longer one is decoded twice
// in blocks of this size.
constexpr double kBlockBytes = 16.0 * (1 << 20);
constexpr double kObservationBytes = 4.0 * sizeof(double);

// np.interp at m / up over the points (i, y[i]), i < n: NumPy's own steps
// for unit-spaced points.  m / up lies in [j, j + 1) for j = m div up (the
// rounded quotient of a non-multiple is never a whole number, far below
// 2^52), the slope is y[j + 1] - y[j] (divided by a spacing of exactly 1),
// and a whole-number abscissa takes its point's value as it is.  With
// finite y no step makes a NaN, which NumPy would otherwise redo.
double interpolated(const Values& y, npy_intp m, long long up) {
    const npy_intp n = y.size();
    const npy_intp j = m / static_cast<npy_intp>(up);
    if (j >= n - 1) return y[n - 1];
    const double x = static_cast<double>(m) / static_cast<double>(up);
    const double xj = static_cast<double>(j);
    if (x == xj) return y[j];
    const double slope = y[j + 1] - y[j];
    return slope * (x - xj) + y[j];
}

template <typename Back>
Ref bounded_beats(Call& c, PyObject* numpy, Model& m, const Values& y, long long up, npy_intp M,
                  double peak, npy_intp block) {
    Scratch scratch;
    K_CHECK(scratch.make(m));
    const npy_intp blocks = (M + block - 1) / block;
    K_LET(saved, new_array(blocks - 1, m.S, NPY_DOUBLE));
    K_LET(back, new_array(block, m.K, sizeof(Back) == 1 ? NPY_UINT8 : NPY_UINT16));
    // Beats are at least min_period frames apart.
    const npy_intp most = (M - 1) / static_cast<npy_intp>(m.lo) + 1;
    K_LET(found, new_array(most, 1, NPY_INT64));
    auto hmm = scratch.decoder<Back>(m, M);
    hmm.back_from(data_of<Back>(back), 0);
    SignalCadence cadence;
    // Decodes block b from wherever the decoder stands, its backpointers
    // into `back`.
    auto decode_block = [&](npy_intp b) -> bool {
        const npy_intp first = b * block, stop = std::min(M, first + block);
        Ref beat_ll, rest_ll;
        if (!observations(numpy, m, peak, stop - first,
                          [&](npy_intp i) { return interpolated(y, first + i, up); }, beat_ll, rest_ll))
            return false;
        hmm.observe_from(data_of<double>(beat_ll), data_of<double>(rest_ll), first);
        hmm.back_from(data_of<Back>(back), first);
        return run(hmm, stop, cadence);
    };
    double* checkpoints = data_of<double>(saved);
    for (npy_intp b = 0; b < blocks; ++b) {
        if (b > 0) hmm.save(checkpoints + (b - 1) * m.S);
        K_CHECK(decode_block(b));
    }
    kernels::HmmPosition at = hmm.last();
    auto* out = data_of<std::int64_t>(found);
    npy_intp count = 0;
    for (npy_intp b = blocks - 1; b >= 0; --b) {
        if (b < blocks - 1) {
            if (b > 0)
                hmm.resume(checkpoints + (b - 1) * m.S, b * block);
            else
                hmm.rewind();
            K_CHECK(decode_block(b));
        }
        NoGil nogil;
        const auto visit = [&](std::ptrdiff_t n, std::ptrdiff_t, std::int64_t phi) {
            if (phi == 0) out[most - 1 - count++] = n;
        };
        hmm.trace(b * block, std::min(M, (b + 1) * block), at, visit);
    }
    K_LET(beats, new_array(count, 1, NPY_INT64));
    std::memcpy(data_of<std::int64_t>(beats), out + (most - count),
                static_cast<size_t>(count) * sizeof(std::int64_t));
    return beats;
}

Ref hmm_beats_upsampled(Call& c) noexcept {
    long long up = 0, block = 0;
    if (!period_param(c.arg(1), "upsample", &up)) return c.fail(__LINE__);
    if (up > kMaxUpsample) {
        PyErr_Format(PyExc_ValueError, "upsample must be between 1 and %lld, got %lld", kMaxUpsample, up);
        return c.fail(__LINE__);
    }
    Model m;
    K_CHECK(model_params(c, 2, m));
    K_CHECK(count_param(c.arg(6), "block", &block));
    PyObject* numpy = c.state ? c.state->numpy : nullptr;
    if (!numpy) {
        PyErr_SetString(PyExc_SystemError, "korvel.pulsix was initialised without numpy");
        return c.fail(__LINE__);
    }
    K_LET(x_obj, curve_param(numpy, c.arg(0)));
    const Values y(x_obj);
    const npy_intp n = y.size();
    if (n > NPY_MAX_INTP / 2 / kMaxUpsample) {
        PyErr_NoMemory();
        return c.fail(__LINE__);
    }
    const npy_intp M = n > 0 ? static_cast<npy_intp>(up) * (n - 1) + 1 : 0;
    for (npy_intp i = 0; i < n; ++i) {
        if (!std::isfinite(y[i])) {
            not_finite(i, y[i]);
            return c.fail(__LINE__);
        }
    }
    double peak = 0.0;
    for (npy_intp i = 0; i < M; ++i) {
        const double v = interpolated(y, i, up);
        if (!std::isfinite(v)) {
            not_finite(i, v);
            return c.fail(__LINE__);
        }
        if (v > peak) peak = v;
    }
    if (M == 0 || !(peak > 0.0)) {
        npy_intp none[1] = {0};
        K_LET(beats, Ref::steal(PyArray_SimpleNew(1, none, NPY_INT64)));
        return beats;
    }
    K_CHECK(build_model(numpy, m));
    if (block == 0) {
        // Beyond kBlockBytes, blocks of the square root of the work that
        // balances the checkpoints (one score per state each) against a
        // block's backpointers, so that neither grows in step with M.
        const double per_frame = static_cast<double>(m.K) * (m.K <= 256 ? 1.0 : 2.0) + kObservationBytes;
        const double balance = std::sqrt(static_cast<double>(M) * static_cast<double>(sizeof(double)) *
                                         static_cast<double>(m.S) / per_frame);
        block = static_cast<long long>(std::max(kBlockBytes / per_frame, balance));
    }
    const npy_intp b = static_cast<npy_intp>(std::min<long long>(block, M));
    if (m.K <= 256) return bounded_beats<std::uint8_t>(c, numpy, m, y, up, M, peak, b);
    return bounded_beats<std::uint16_t>(c, numpy, m, y, up, M, peak, b);
}
}  // namespace

const FuncDef kCreateHmmBeats{"create_hmm_beats", kCreateHmmBeatsDoc,
                              {"curve", "min_period", "max_period", "transition_lambda", "obs_lambda"},
                              5, create_hmm_beats, __LINE__};
const FuncDef kHmmBeatsUpsampled{"_hmm_beats_upsampled", kHmmBeatsUpsampledDoc,
                                 {"curve", "upsample", "min_period", "max_period", "transition_lambda", "obs_lambda",
                                  "block"},
                                 7, hmm_beats_upsampled, __LINE__};

}  // namespace pulsix
}  // namespace korvel
