// korvel.pulsix, create_hmm_beats: beat tracking that follows tempo changes,
// by Viterbi decoding of a beat-pointer model (pulsix/hmm_model.hpp,
// kernels/hmm_beats.hpp).
#include "pulsix/hmm_model.hpp"

namespace korvel {
namespace pulsix {
namespace {

using namespace hmm_model;

Ref create_hmm_beats(Call& c) noexcept {
    Model m;
    K_CHECK(model_params(c, 1, m));
    PyObject* numpy = captured_numpy(c);
    K_CHECK(numpy);
    K_LET(x_obj, curve_param(numpy, c.arg(0)));
    const Values value(x_obj);
    const npy_intp N = value.size();
    double peak = 0.0;
    K_CHECK(finite_peak(N, [&](npy_intp i) { return value[i]; }, &peak));
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

}  // namespace

const FuncDef kCreateHmmBeats{"create_hmm_beats", kCreateHmmBeatsDoc,
                              {"curve", "min_period", "max_period", "transition_lambda", "obs_lambda"},
                              5, create_hmm_beats, __LINE__};

}  // namespace pulsix
}  // namespace korvel
