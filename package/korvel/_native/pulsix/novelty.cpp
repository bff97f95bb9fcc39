// korvel.pulsix, spectral_novelty: the novelty curve of a signal, whole or block by block.
#include "pulsix/pulsix.hpp"

#include "kernels/novelty.hpp"
#include "pulsix/tempogram.hpp"

namespace korvel {
namespace pulsix {
namespace {

// ---- spectral_novelty ---------------------------------------------------

// spec = mag ** 2 ... spec_nov = np.sum(dls, axis=0), step by step; picks up
// at the logarithm when `log_spec` is already given.
Ref novelty_steps(Call& c, PyObject* mag, PyObject* gamma, Ref log_spec = Ref()) noexcept {
    K_LET(one, integer(1));
    if (!log_spec) {
        K_LET(two, integer(2));
        K_LET(spec, power(mag, two.get()));
        K_LET(log10, np_attr(c, K_NAME("log10")));
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
    K_LET(sum, np_attr(c, K_NAME("sum")));
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
Routines kNoveltySteps{"log10", "sum", "add"};

Fast novelty_native(Call& c, PyObject* mag_obj, PyObject* gamma_obj, Ref& result, Ref& log_spec) noexcept {
    double gamma;
    PyArrayObject* mag = plain_array(mag_obj, 2);
    if (!plain_real(gamma_obj, &gamma) || std::isnan(gamma) || !has_type(mag, NPY_DOUBLE) || !PyArray_IS_C_CONTIGUOUS(mag) ||
        PyArray_DIM(mag, 1) < 3 || PyArray_DIM(mag, 0) < 1) {
        return Fast::kDeclined;
    }
    if (int g = genuine_with(c, K_NAME("stft_mag"), c.state->extras[kImportedStftMag], kNoveltySteps); g <= 0) {
        return not_taken(g);
    }
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
    if (!call_kw(kNoveltySteps.at(c, "log10"), {logs.get()}, K_NAME("out"), logs.get())) return Fast::kError;
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
// the routines it stands in for -- np.hanning, the centring np.zeros and
// np.concatenate, np.empty, np.fft.rfft of each frame and np.abs of the
// result.
Routines kStftMagPath{spectral::kFrameTransforms, spectral::kMagnitudes, spectral::kHannWindow,
                      spectral::kImplicitZeros};

// 1 while sonix.stft_mag would take its native path for these arguments,
// so that its result is what the frames `f` give, with at least three
// frames; 0 when not, -1 with an error set.
int stft_mag_frames(const Call& c, PyObject* x_obj, PyObject* win_len_obj, PyObject* hop_obj, SignalFrames& f) {
    PyObject* const* extras = c.state->extras;
    return plan_sonix_frames(c, x_obj, win_len_obj, hop_obj, nullptr, true, 3, kStftMagPath,
                             [&](long long, const Call& sonix_call) {
        int g = global_is(sonix_call, K_NAME("stft"), extras[kSonixStft]);
        return g == 1 ? genuine_with(sonix_call, K_NAME("calc_num_frames"), extras[kSonixCalcNumFrames], kStftMagPath)
                      : g;
    }, f);
}

// Frames per block of the novelty blocks: about 256 KB of frames, so that a
// block's magnitudes and log spectra stay in L2 from one step to the next,
// and the call's memory stays a block instead of two spectrogram matrices.
npy_intp novelty_block_frames(npy_intp num_hops, npy_intp fft_len) {
    return std::clamp<npy_intp>((npy_intp{256} << 10) / (8 * fft_len), 8, std::max<npy_intp>(num_hops, 8));
}

// What the novelty blocks carry from one block to the next.
struct FluxState {
    PyObject* abs;
    PyObject* log10;
    PyObject* out_name;  // "out"
    double gamma;
    double* out;         // the flux of frames 1 .. num_hops - 1
    double* last;        // the previous block's last log spectrum
};

// One block's part of the novelty: NumPy's abs of its spectra, 1 + gamma *
// mag**2 natively and NumPy's log10 in place on the block (contiguous, as
// on the whole matrix), and each frame's rectified flux against the frame
// before it.
Fast block_flux(const SignalFrames& f, FluxState& s, const FpRecorder& recorder, npy_intp h0, npy_intp nb,
                Ref& spectra) noexcept {
    const npy_intp bins = f.num_bins;
    Ref mags;
    if (const Fast got = block_magnitudes(s.abs, spectra.get(), nb, bins, recorder, mags); got != Fast::kDone) {
        return got;
    }
    spectra.reset();
    if (!PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(mags.get()))) return Fast::kDeclined;
    auto* ls = data_of<double>(mags);
    kernels::clear_fp_flags();
    kernels::compress_input(ls, nb * bins, s.gamma, ls);
    if (kernels::fp_flags_raised()) return Fast::kDeclined;
    if (!call_kw(s.log10, {mags.get()}, s.out_name, mags.get())) return Fast::kError;
    if (recorder.seen()) return Fast::kDeclined;
    kernels::clear_fp_flags();
    // The first frame has no flux of its own; it only serves the second.
    bool clash;
    if (h0 == 0) {
        clash = nb > 1 && kernels::rectified_flux_frames(ls, ls + bins, nb - 1, bins, s.out);
    } else {
        clash = kernels::rectified_flux_frames(s.last, ls, nb, bins, s.out + h0 - 1);
    }
    if (clash || kernels::fp_flags_raised()) return Fast::kDeclined;
    std::copy(ls + (nb - 1) * bins, ls + nb * bins, s.last);
    return Fast::kDone;
}

// stft_mag followed by the novelty steps, block by block over the frames
// (spectral/frames.hpp): the same windowed frames, NumPy's rfft and abs on
// each block (as stft_mag's native path calls them), then block_flux.  No
// magnitude or log matrix of the whole signal exists at any time.
// Declines wherever the two-step path could differ or would report
// something; every call it makes before is of genuine NumPy or framix, and
// pure.  Besides stft_mag's path, it stands in for what novelty_native
// does (kNoveltySteps).
Fast novelty_blocks(Call& c, PyObject* x_obj, PyObject* win_len_obj, PyObject* hop_obj, PyObject* gamma_obj,
                    Ref& result) noexcept {
    FluxState s;
    if (!plain_real(gamma_obj, &s.gamma) || std::isnan(s.gamma)) return Fast::kDeclined;
    int g = genuine_with(c, K_NAME("stft_mag"), c.state->extras[kImportedStftMag], kNoveltySteps);
    SignalFrames f;
    if (g == 1) g = stft_mag_frames(c, x_obj, win_len_obj, hop_obj, f);
    if (g <= 0) return not_taken(g);
    npy_intp dims[1] = {f.num_hops - 1};
    Ref flux = new_array_or_decline(1, dims, NPY_DOUBLE, sizeof(double));
    if (!flux) return PyErr_Occurred() ? Fast::kError : Fast::kDeclined;
    // The previous block's last log spectrum, as a NumPy array so that
    // memory tracing sees it like every other buffer of the call.
    npy_intp last_dims[1] = {f.num_bins};
    Ref last = Ref::steal(PyArray_SimpleNew(1, last_dims, NPY_DOUBLE));
    if (!last) return Fast::kError;
    s.out = data_of<double>(flux);
    s.last = data_of<double>(last);
    s.abs = kStftMagPath.at(c, "abs");
    s.log10 = kNoveltySteps.at(c, "log10");
    s.out_name = K_NAME("out");
    if (!s.out_name) return Fast::kError;
    return run_blocks_into(c, f, novelty_block_frames(f.num_hops, f.win_len), std::move(flux), result,
                           [&](npy_intp h0, npy_intp nb, Ref& spectra, const FpRecorder& recorder) {
        return block_flux(f, s, recorder, h0, nb, spectra);
    });
}


Ref spectral_novelty(Call& c, PyObject* x, PyObject* fft_len, PyObject* hop_size, PyObject* gamma) noexcept {
    Ref spec_nov;
    K_FAST(blocks, novelty_blocks(c, x, fft_len, hop_size, gamma, spec_nov));
    if (blocks == Fast::kDeclined) {
        K_LET(stft_mag, global(c, K_NAME("stft_mag")));
        K_LET(mag, call(stft_mag.get(), {x, fft_len, hop_size}));
        Ref log_spec;
        K_FAST(fast, novelty_native(c, mag.get(), gamma, spec_nov, log_spec));
        if (fast == Fast::kDeclined) {
            K_SET(spec_nov, novelty_steps(c, mag.get(), gamma, std::move(log_spec)));
        }
    }
    K_LET(zero, integer(0));
    K_LET(ave_len, integer(9));
    K_LET(win, np_call(c, K_NAME("hanning"), {ave_len.get()}));
    {
        K_LET(total, np_call(c, K_NAME("sum"), {win.get()}));
        K_SET(win, itruediv(win.get(), total.get()));
    }
    K_LET(convolve, np_attr(c, K_NAME("convolve")));
    K_LET(conv, call_kw(convolve.get(), {spec_nov.get(), win.get()}, K_NAME("mode"), K_NAME("same")));
    K_LET(factor, real(1.02));
    K_LET(la, mul(conv.get(), factor.get()));
    K_SET(spec_nov, isub(spec_nov.get(), la.get()));
    {
        K_LET(neg_mask, compare(spec_nov.get(), zero.get(), Py_LT));
        K_CHECK(setitem(spec_nov.get(), neg_mask.get(), zero.get()));
    }
    K_LET(peak, np_call(c, K_NAME("max"), {spec_nov.get()}));
    K_SET(spec_nov, itruediv(spec_nov.get(), peak.get()));
    return spec_nov;
}

}  // namespace

const RoutineTable kNoveltyRoutines{{&kNoveltySteps, &kStftMagPath}};

const FuncDef kSpectralNovelty{"spectral_novelty", kSpectralNoveltyDoc,
                               {"x", "fft_len", "hop_size", "gamma"}, 4, with_args<spectral_novelty>,
                               __LINE__};

}  // namespace pulsix
}  // namespace korvel
