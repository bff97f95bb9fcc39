// korvel.sonix: pitch conversion and the short-time Fourier transform.
#include "frame/runtime.hpp"

namespace korvel {
namespace {

const ModuleInfo kModule{"korvel.sonix", "package/korvel/sonix"};

// ---- freq_to_pitch ------------------------------------------------------

const char kFreqToPitchDoc[] =
    "Convert frequency ``f`` to (floating point) midi pitch assuming A440 = 69.\n"
    "\n"
    "    :param f: frequency to convert\n"
    "\n"
    "    :returns: (float) midi pitch\n"
    "    ";

Ref freq_to_pitch(Call& c) {
    PyObject* f = c.arg(0);
    K_LET(np, global(c, K_NAME("np")));
    K_LET(log2, attr(np.get(), K_NAME("log2")));
    K_LET(c440, real(440.0));
    K_LET(ratio, truediv(f, c440.get()));
    K_LET(lg, call(log2.get(), {ratio.get()}));
    K_LET(twelve, integer(12));
    K_LET(scaled, mul(twelve.get(), lg.get()));
    K_LET(c69, integer(69));
    K_LET(pitch, add(scaled.get(), c69.get()));
    return pitch;
}

// ---- stft ---------------------------------------------------------------

const char kStftDoc[] =
    "Return the Short-Time-Fourier-Transform.\n"
    "\n"
    "    :param x: the signal, must be real-valued\n"
    "    :param win_len: the size of the window\n"
    "    :param hop_size: the hop size for the stft\n"
    "    :param zp_factor: zero-pad factor. win_len * zp_factor = fft_len\n"
    "    :param window: if None, use Hann window, else, use this as the window\n"
    "    :param centered: use a centered window\n"
    "\n"
    "    :returns: a matrix of shape [num_bins, num_hops] where num_bins = win_len /2 + 1 and "
    "num_hops is the total # of hops that \"fit\" into x\n"
    "    ";

Ref stft(Call& c) {
    Ref x = Ref::borrow(c.arg(0));
    Ref win_len = Ref::borrow(c.arg(1));
    PyObject* hop_size = c.arg(2);
    PyObject* zp_factor = c.arg(3);
    Ref window = Ref::borrow(c.arg(4));
    PyObject* centered = c.arg(5);

    if (window.get() == Py_None) {
        K_LET(np, global(c, K_NAME("np")));
        K_LET(hanning, attr(np.get(), K_NAME("hanning")));
        K_SET(window, call(hanning.get(), {win_len.get()}));
    } else {
        K_SET(win_len, length(window.get()));
    }
    K_LET(two, integer(2));
    K_LET(one, integer(1));
    K_LET(zw, mul(zp_factor, win_len.get()));
    K_LET(half, floordiv(zw.get(), two.get()));
    K_LET(num_bins, add(half.get(), one.get()));

    int is_centered = truth(centered);
    K_CHECK(is_centered >= 0);
    if (is_centered) {
        K_LET(np, global(c, K_NAME("np")));
        K_LET(concatenate, attr(np.get(), K_NAME("concatenate")));
        K_LET(np2, global(c, K_NAME("np")));
        K_LET(zeros, attr(np2.get(), K_NAME("zeros")));
        K_LET(pad_len, floordiv(win_len.get(), two.get()));
        K_LET(pad, call(zeros.get(), {pad_len.get()}));
        K_LET(parts, pack({pad.get(), x.get()}));
        K_SET(x, call(concatenate.get(), {parts.get()}));
    }

    K_LET(calc_num_frames, global(c, K_NAME("calc_num_frames")));
    K_LET(x_len, length(x.get()));
    K_LET(num_hops, call(calc_num_frames.get(), {x_len.get(), win_len.get(), hop_size}));

    K_LET(hops_m1, sub(num_hops.get(), one.get()));
    K_LET(span, mul(hops_m1.get(), hop_size));
    K_LET(new_x_len, add(span.get(), win_len.get()));
    K_SET(x_len, length(x.get()));
    K_LET(longer, compare(new_x_len.get(), x_len.get(), Py_GT));
    int extend = truth(longer.get());
    K_CHECK(extend >= 0);
    if (extend) {
        K_LET(np, global(c, K_NAME("np")));
        K_LET(concatenate, attr(np.get(), K_NAME("concatenate")));
        K_LET(np2, global(c, K_NAME("np")));
        K_LET(zeros, attr(np2.get(), K_NAME("zeros")));
        K_SET(x_len, length(x.get()));
        K_LET(missing, sub(new_x_len.get(), x_len.get()));
        K_LET(tail, call(zeros.get(), {missing.get()}));
        K_LET(parts, pack({x.get(), tail.get()}));
        K_SET(x, call(concatenate.get(), {parts.get()}));
    }

    K_LET(np, global(c, K_NAME("np")));
    K_LET(empty, attr(np.get(), K_NAME("empty")));
    K_LET(shape, pack({num_bins.get(), num_hops.get()}));
    K_LET(output, call_kw(empty.get(), {shape.get()}, K_NAME("dtype"),
                          reinterpret_cast<PyObject*>(&PyComplex_Type)));

    Py_ssize_t hops = 0;
    K_CHECK(loop_bound(num_hops.get(), &hops));
    K_LET(all, slice(nullptr, nullptr));
    for (Py_ssize_t i = 0; i < hops; ++i) {
        K_LET(h, ssize(i));
        K_LET(start, mul(h.get(), hop_size));
        K_LET(end, add(start.get(), win_len.get()));
        K_LET(frame, getslice(x.get(), start.get(), end.get()));
        K_LET(sig, mul(frame.get(), window.get()));
        K_LET(zp_gt_1, compare(zp_factor, one.get(), Py_GT));
        int padded = truth(zp_gt_1.get());
        K_CHECK(padded >= 0);
        if (padded) {
            K_LET(npp, global(c, K_NAME("np")));
            K_LET(pad, attr(npp.get(), K_NAME("pad")));
            K_LET(zero, integer(0));
            K_LET(zp_m1, sub(zp_factor, one.get()));
            K_LET(amount, mul(win_len.get(), zp_m1.get()));
            K_LET(widths, pack({zero.get(), amount.get()}));
            K_SET(sig, call(pad.get(), {sig.get(), widths.get(), K_NAME("constant")}));
        }
        K_LET(npf, global(c, K_NAME("np")));
        K_LET(fft, attr(npf.get(), K_NAME("fft")));
        K_LET(rfft, attr(fft.get(), K_NAME("rfft")));
        K_LET(spectrum, call(rfft.get(), {sig.get()}));
        K_LET(key, pack({all.get(), h.get()}));
        K_CHECK(setitem(output.get(), key.get(), spectrum.get()));
    }
    return output;
}

const char kStftMagDoc[] =
    "Return the magnitude of the Short-Time-Fourier-Transform.\n"
    "\n"
    "    :param x: the signal, must be real-valued\n"
    "    :param win_len: the size of the window\n"
    "    :param hop_size: the hop size for the stft\n"
    "    :param zp_factor: zero-pad factor; win_len * zp_factor = fft_len\n"
    "\n"
    "    :returns: a matrix where each value is the magnitude of the stft\n"
    "    ";

Ref stft_mag(Call& c) {
    K_LET(np, global(c, K_NAME("np")));
    K_LET(abs, attr(np.get(), K_NAME("abs")));
    K_LET(stft_fn, global(c, K_NAME("stft")));
    K_LET(spec, call(stft_fn.get(), {c.arg(0), c.arg(1), c.arg(2), c.arg(3)}));
    K_LET(mag, call(abs.get(), {spec.get()}));
    return mag;
}

const FuncDef kFreqToPitch{"freq_to_pitch", kFreqToPitchDoc, {"f"}, 1, freq_to_pitch, __LINE__};
const FuncDef kStftMag{"stft_mag", kStftMagDoc, {"x", "win_len", "hop_size", "zp_factor"}, 4,
                       stft_mag, __LINE__};
const FuncDef kStft{"stft", kStftDoc,
                    {"x", "win_len", "hop_size", "zp_factor", "window", "centered"}, 6, stft,
                    __LINE__};

bool init(PyObject* m, int* line) {
#define K_INIT(cond)        \
    if (!(cond)) {          \
        *line = __LINE__;   \
        return false;       \
    }
    Ref np = import_absolute(m, "numpy");
    K_INIT(np);
    K_INIT(bind_global(m, "np", np.get()));
    Ref framix = import_relative(m, "framix", {"calc_num_frames"});
    K_INIT(framix);
    Ref cnf = import_from(framix.get(), "calc_num_frames");
    K_INIT(cnf);
    K_INIT(bind_global(m, "calc_num_frames", cnf.get()));
    K_INIT(add_function(m, kModule, kFreqToPitch, Ref()) == 0);
    Ref mag_defaults = Ref::steal(Py_BuildValue("(i)", 1));
    K_INIT(mag_defaults);
    K_INIT(add_function(m, kModule, kStftMag, std::move(mag_defaults)) == 0);
    Ref stft_defaults = Ref::steal(Py_BuildValue("(iOO)", 1, Py_None, Py_True));
    K_INIT(stft_defaults);
    K_INIT(add_function(m, kModule, kStft, std::move(stft_defaults)) == 0);
#undef K_INIT
    return true;
}

int exec_module(PyObject* m) {
    int line = 0;
    if (init(m, &line)) return 0;
    add_traceback("init korvel.sonix", kModule.file, line);
    return -1;
}

PyModuleDef_Slot kSlots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef kDef = {PyModuleDef_HEAD_INIT, "korvel.sonix", nullptr, 0, nullptr, kSlots,
                    nullptr, nullptr, nullptr};

}  // namespace
}  // namespace korvel

PyMODINIT_FUNC PyInit_sonix() { return PyModuleDef_Init(&korvel::kDef); }
