// korvel.pulsix, make_clicks: click tracks.
#include "pulsix/pulsix.hpp"

#include "kernels/fpe.hpp"
#include "kernels/gather.hpp"

namespace korvel {
namespace pulsix {
namespace {

// ---- make_clicks --------------------------------------------------------

// The click loop, natively, for int64 positions and a float64 click.  The
// loop itself is array arithmetic; it relies on np.zeros for `out`.
Routines kClickLoop{"zeros"};

Fast clicks_native(Call& c, PyObject* frames_obj, PyObject* click_obj, PyObject* click_len_obj,
                   PyObject* out_obj) noexcept {
    long long click_len;
    PyArrayObject* frames = plain_array(frames_obj, 1);
    PyArrayObject* click = plain_array(click_obj, 1);
    PyArrayObject* out = plain_array(out_obj, 1);
    if (!small_int(click_len_obj, 0, limits::kSize, &click_len) || !has_type(frames, NPY_INT64) ||
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
        if (pos[k * pos_stride] > limits::kSize || pos[k * pos_stride] < -limits::kSize) return Fast::kDeclined;
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

Ref make_clicks(Call& c, PyObject* frames_arg, PyObject* out_len, PyObject* click_arg) noexcept {
    Ref frames = Ref::borrow(frames_arg);
    Ref click_snd = Ref::borrow(click_arg);
    Ref click_len;
    if (click_snd.get() == Py_None) {
        K_SET(click_len, integer(50));
        K_LET(half, real(0.5));
        K_LET(unit, np_call(c, K_NAME("ones"), {click_len.get()}));
        K_SET(click_snd, mul(half.get(), unit.get()));
    } else {
        K_SET(click_len, length(click_snd.get()));
    }
    K_LET(astype, attr(frames.get(), K_NAME("astype")));
    K_SET(frames, call(astype.get(), {reinterpret_cast<PyObject*>(&PyLong_Type)}));
    K_LET(zeros, np_attr(c, K_NAME("zeros")));
    K_LET(minus1, integer(-1));
    K_LET(last, getitem(frames.get(), minus1.get()));
    K_LET(total, add(last.get(), click_len.get()));
    K_LET(out, call(zeros.get(), {total.get()}));
    K_FAST(fast, clicks_native(c, frames.get(), click_snd.get(), click_len.get(), out.get()));
    K_LET(it, Ref::steal(PyObject_GetIter(frames.get())));
    long long click_ops = 0;
    small_int(click_len.get(), 0, limits::kSize, &click_ops);
    SignalCadence cadence;
    while (fast == Fast::kDeclined) {
        K_CHECK(cadence.tick(click_ops + SignalCadence::kStep));
        Ref f;
        K_CHECK(next_item(it.get(), &f));
        if (!f) break;
        K_CHECK(add_into(out.get(), f.get(), click_len.get(), click_snd.get()));
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

}  // namespace

const RoutineTable kClicksRoutines{{&kClickLoop}};

const FuncDef kMakeClicks{"make_clicks", kMakeClicksDoc, {"frames", "out_len", "click_snd"}, 3,
                          with_args<make_clicks>, __LINE__};

}  // namespace pulsix
}  // namespace korvel
