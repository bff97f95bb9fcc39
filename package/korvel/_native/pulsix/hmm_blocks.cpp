// korvel.pulsix, _hmm_beats_upsampled: the beats of create_hmm_beats on an
// interpolated curve, in memory independent of the length.
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
#include "pulsix/hmm_model.hpp"

namespace korvel {
namespace pulsix {
namespace {

using namespace hmm_model;

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
    PyObject* numpy = captured_numpy(c);
    K_CHECK(numpy);
    K_LET(x_obj, curve_param(numpy, c.arg(0)));
    const Values y(x_obj);
    const npy_intp n = y.size();
    if (n > NPY_MAX_INTP / 2 / kMaxUpsample) {
        PyErr_NoMemory();
        return c.fail(__LINE__);
    }
    const npy_intp M = n > 0 ? static_cast<npy_intp>(up) * (n - 1) + 1 : 0;
    // The curve's own values first, so that a bad one is named at its frame.
    double peak = 0.0;
    K_CHECK(finite_peak(n, [&](npy_intp i) { return y[i]; }, &peak));
    K_CHECK(finite_peak(M, [&](npy_intp i) { return interpolated(y, i, up); }, &peak));
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

const FuncDef kHmmBeatsUpsampled{"_hmm_beats_upsampled", kHmmBeatsUpsampledDoc,
                                 {"curve", "upsample", "min_period", "max_period", "transition_lambda", "obs_lambda",
                                  "block"},
                                 7, hmm_beats_upsampled, __LINE__};

}  // namespace pulsix
}  // namespace korvel
