"""The module frame: attributes, docstrings, pickling, call-time name lookup,
traceback entries, initialisation (and its failures) and reference counting."""

import builtins
import copy
import json
import pickle
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

import korvel.framix
import korvel.pulsix as p
import korvel.sonix as s
from _catalogue import failing_calls, i, names, typical_calls
from _support import NumpyLog, Sized, assert_refcounts_stable, raised_through, traceback_entries, tracked

SONIX_FUNCTIONS = names("korvel.sonix")
PULSIX_FUNCTIONS = [n for n in names("korvel.pulsix") if hasattr(p, n)]


def public(module):
    return {k for k in vars(module) if not (k.startswith("__") and k.endswith("__"))}


# ------------------------------------------------------------ module attributes


@pytest.mark.parametrize("module, name, functions, imported", [
    (s, "korvel.sonix", SONIX_FUNCTIONS, {"np": np, "calc_num_frames": korvel.framix.calc_num_frames}),
    (p, "korvel.pulsix", PULSIX_FUNCTIONS, {"np": np, "stft": s.stft, "stft_mag": s.stft_mag}),
], ids=["sonix", "pulsix"])
def test_module_attributes(module, name, functions, imported):
    assert public(module) == set(imported) | set(functions)
    assert all(getattr(module, name) is value for name, value in imported.items())
    assert module.__doc__ is None and module.__name__ == name


def test_names_bound_in_initialisation_order():
    # Freshly imported: a test that deletes a global and has it restored
    # moves it to the end of the namespace.
    out = run_python("""
        import json
        import korvel.pulsix, korvel.sonix
        def order(m):
            return [k for k in vars(m) if not (k.startswith("__") and k.endswith("__"))]
        print(json.dumps([order(korvel.sonix), order(korvel.pulsix)]))
    """)
    sonix_order, pulsix_order = json.loads(out)
    assert sonix_order == ["np", "calc_num_frames"] + SONIX_FUNCTIONS
    assert pulsix_order == ["np", "stft", "stft_mag"] + PULSIX_FUNCTIONS


def test_one_callable_type_for_all_sonix_functions():
    fn_type = type(s.stft)
    assert type(s.freq_to_pitch) is fn_type and type(s.stft_mag) is fn_type
    assert callable(s.stft)
    assert "stft" in repr(s.stft)


def _doc(*lines):
    return "\n".join(lines)


STFT_SIGNAL_PARAMS = (
    "    :param x: the signal, must be real-valued",
    "    :param win_len: the size of the window",
    "    :param hop_size: the hop size for the stft",
)
DOCS = {
    "freq_to_pitch": _doc(
        "Convert frequency ``f`` to (floating point) midi pitch assuming A440 = 69.",
        "",
        "    :param f: frequency to convert",
        "",
        "    :returns: (float) midi pitch",
        "    "),
    "stft": _doc(
        "Return the Short-Time-Fourier-Transform.",
        "",
        *STFT_SIGNAL_PARAMS,
        "    :param zp_factor: zero-pad factor. win_len * zp_factor = fft_len",
        "    :param window: if None, use Hann window, else, use this as the window",
        "    :param centered: use a centered window",
        "",
        "    :returns: a matrix of shape [num_bins, num_hops] where num_bins = win_len /2 + 1 "
        'and num_hops is the total # of hops that "fit" into x',
        "    "),
    "stft_mag": _doc(
        "Return the magnitude of the Short-Time-Fourier-Transform.",
        "",
        *STFT_SIGNAL_PARAMS,
        "    :param zp_factor: zero-pad factor; win_len * zp_factor = fft_len",
        "",
        "    :returns: a matrix where each value is the magnitude of the stft",
        "    "),
}


ALL_FUNCTIONS = [getattr(s, n) for n in SONIX_FUNCTIONS] + [getattr(p, n) for n in PULSIX_FUNCTIONS]


@pytest.mark.parametrize("name", list(DOCS))
def test_docstrings_exact(name):
    assert getattr(s, name).__doc__ == DOCS[name]


def test_docstring_layout_of_every_function():
    for fn in ALL_FUNCTIONS:
        doc = fn.__doc__
        assert doc.endswith("\n    "), fn.__name__
        lines = doc.split("\n")
        assert all(line == "" or line.startswith("    ") for line in lines[2:]), fn.__name__
        assert any(line.startswith("    :returns:") for line in lines), fn.__name__


# --------------------------------------------------------------------- pickling


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickled_by_reference(protocol):
    for fn in ALL_FUNCTIONS + [p.stft, p.stft_mag]:
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn
        assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn


def test_unpickled_in_a_fresh_interpreter():
    data = pickle.dumps((s.stft_mag, p.stft, s.freq_to_pitch))
    run_python(f"""
        import pickle, numpy as np, sys
        mag, stft, ftp = pickle.loads({data!r})
        import korvel.sonix as s
        assert mag is s.stft_mag and stft is s.stft and ftp is s.freq_to_pitch
        assert ftp(880) == 81.0
        assert mag(np.ones(10), 4, 2).shape == (3, 5)
    """)


# --------------------------------------------------------- call-time name lookup


@pytest.mark.parametrize("name,call", [
    ("np", lambda: s.stft(np.ones(8), 4, 2)),
    ("np", lambda: s.stft_mag(np.ones(8), 4, 2)),
    ("np", lambda: s.freq_to_pitch(440.0)),
    ("np", lambda: s.freq_to_pitch([1.0])),  # np.log2 is looked up before dividing
    # With a window and no centring, stft still needs np for the extension and output.
    ("np", lambda: s.stft([1.0] * 8, 4, 4, 1, np.ones(4), False)),
    ("calc_num_frames", lambda: s.stft(np.ones(8), 4, 2)),
    ("calc_num_frames", lambda: s.stft(np.ones(8), 4, 2, 1, np.ones(3), False)),
    ("stft", lambda: s.stft_mag(np.ones(8), 4, 2)),
])
def test_deleted_global_raises_name_error(monkeypatch, name, call):
    monkeypatch.delattr(s, name)
    with pytest.raises(NameError) as info:
        call()
    assert str(info.value) == f"name '{name}' is not defined"
    assert type(info.value) is NameError
    monkeypatch.undo()
    call_result = outcome_kind(call)
    assert call_result != "NameError"


def outcome_kind(call):
    try:
        call()
    except Exception as exc:  # noqa: BLE001
        return type(exc).__name__
    return "ok"


def test_globals_fall_back_to_builtins(monkeypatch):
    x = np.random.default_rng(0).standard_normal(50)
    want = s.stft_mag(x, 8, 3)
    counted = []

    def counting(*args):
        counted.append(args)
        return korvel.framix.calc_num_frames(*args)

    monkeypatch.delattr(s, "np")
    monkeypatch.delattr(s, "calc_num_frames")
    monkeypatch.setattr(builtins, "np", np, raising=False)
    monkeypatch.setattr(builtins, "calc_num_frames", counting, raising=False)
    assert s.stft_mag(x, 8, 3).tobytes() == want.tobytes()
    assert counted == [(54, 8, 3)]
    # A module global shadows the built-in again as soon as it is bound.
    monkeypatch.setattr(s, "calc_num_frames", lambda *a: 1, raising=False)
    assert s.stft_mag(x, 8, 3).shape == (5, 1)


def test_rebound_frame_counter_seen_by_next_call(monkeypatch):
    x = np.ones(100)
    assert s.stft(x, 8, 4).shape == (5, 25)
    calls = []
    monkeypatch.setattr(s, "calc_num_frames", lambda *a: calls.append(a) or 3)
    assert s.stft(x, 8, 4).shape == (5, 3)
    assert s.stft(x, 7, 4, 1, None, False).shape == (4, 3)
    # Signal length after centring, effective window length, hop size; all positional.
    assert calls == [(104, 8, 4), (100, 7, 4)]
    assert all(type(a[0]) is int for a in calls)


def test_monkeypatched_rfft_seen_by_next_call(monkeypatch):
    x = np.random.default_rng(1).standard_normal(40)
    real_rfft = np.fft.rfft
    frames = []

    def spy(sig):
        frames.append(sig.copy())
        return real_rfft(sig) * 2

    before = s.stft(x, 8, 4, 2)
    monkeypatch.setattr(np.fft, "rfft", spy)
    after = s.stft(x, 8, 4, 2)
    assert len(frames) == before.shape[1]
    assert all(f.shape == (16,) and not f[8:].any() for f in frames)
    assert after.tobytes() == (before * 2).tobytes()
    monkeypatch.undo()
    assert s.stft(x, 8, 4, 2).tobytes() == before.tobytes()


def test_numpy_attributes_looked_up_on_every_use_in_order(monkeypatch):
    log = []
    monkeypatch.setattr(s, "np", NumpyLog(np, log))
    x = np.ones(5)
    # 5 samples + 2 in front = 7; 3 frames of 4 every 2 need 8, so one zero is appended.
    s.stft(x, 4, 2, 2)
    setup = ["hanning", "concatenate", "zeros", "concatenate", "zeros", "empty"]
    assert log == setup + ["pad", "fft", "fft.rfft"] * 3
    log.clear()
    s.stft_mag(x, 4, 2, 2)
    assert log == ["abs"] + setup + ["pad", "fft", "fft.rfft"] * 3
    log.clear()
    s.stft(np.ones(8), 4, 4, 1, np.ones(4), False)
    assert log == ["empty", "fft", "fft.rfft", "fft", "fft.rfft"]


def test_pitch_looks_up_log2_before_dividing(monkeypatch):
    log = []

    class Freq:
        def __truediv__(self, other):
            log.append(("div", other))
            return 4.0

    monkeypatch.setattr(s, "np", NumpyLog(np, log))
    assert s.freq_to_pitch(Freq()) == 93.0
    assert log == ["log2", ("div", 440.0)]


# ------------------------------------------------------------ traceback entries


@pytest.mark.parametrize("call,exc_type,names", [
    (lambda: s.stft(np.ones(10), 4, 0), ValueError,
     ["korvel.sonix.stft", "calc_num_frames"]),
    (lambda: s.stft_mag(np.ones(10), 4, 0), ValueError,
     ["korvel.sonix.stft_mag", "korvel.sonix.stft", "calc_num_frames"]),
    (lambda: s.stft(np.ones(10), 4, 2, 1, 7), TypeError, ["korvel.sonix.stft"]),
    (lambda: s.freq_to_pitch([1.0]), TypeError, ["korvel.sonix.freq_to_pitch"]),
    (lambda: s.stft(np.ones(10), 4, 2, 0), ValueError, ["korvel.sonix.stft"]),
    # Binding errors carry the function's entry too.
    (lambda: s.stft(), TypeError, ["korvel.sonix.stft"]),
    (lambda: s.stft_mag(1, 2, 3, bogus=4), TypeError, ["korvel.sonix.stft_mag"]),
    (lambda: s.freq_to_pitch(1, 2), TypeError, ["korvel.sonix.freq_to_pitch"]),
])
def test_traceback_entries(call, exc_type, names):
    with pytest.raises(exc_type) as info:
        call()
    entries = traceback_entries(info.value)
    got = [name for name, _, _ in entries]
    assert got[got.index("<lambda>") + 1:] == names
    for name, filename, line in entries:
        if name.startswith("korvel."):
            assert filename == "package/korvel/sonix"
            assert line > 0
    # One entry per korvel function on the way out, no more.
    assert sum(n.startswith("korvel.") for n, _, _ in entries) == \
        sum(n.startswith("korvel.") for n in names)


CATALOGUE_FAILURES = failing_calls("korvel.sonix")


@pytest.mark.parametrize("fn, call", CATALOGUE_FAILURES, ids=[fn.call_id(c) for fn, c in CATALOGUE_FAILURES])
def test_catalogue_failures_carry_one_entry_per_function(fn, call):
    with pytest.raises(call.raises) as info:
        fn.fn(*call.make(), **call.kwargs())
    entries = [(n, f) for n, f, _ in traceback_entries(info.value) if n.startswith("korvel.")]
    assert entries == [(name, "package/korvel/sonix") for name in call.entries]


def test_exception_reaches_caller_unchanged(monkeypatch):
    info = raised_through(monkeypatch, s, "calc_num_frames", lambda: s.stft_mag(np.ones(10), 4, 2))
    assert info.value.__cause__ is None and info.value.__context__ is None
    got = [n for n, _, _ in traceback_entries(info.value)]
    assert got[got.index("<lambda>") + 1:] == \
        ["korvel.sonix.stft_mag", "korvel.sonix.stft", "failing"]


# ------------------------------------------------------------- initialisation


def run_python(code, tmp_path=None):
    """Run code in a fresh interpreter; it signals failure by raising."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120,
                            cwd=str(tmp_path) if tmp_path else "/")
    assert result.returncode == 0, result.stderr
    return result.stdout


# Import hooks shared by the subprocess scenarios: a finder that can refuse a
# module, replace its source, or just log what is being imported.
IMPORT_HOOKS = """
import importlib.abc, importlib.util, sys

class Hook(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    def __init__(self, refuse=(), fake=None):
        self.refuse, self.fake, self.log = set(refuse), dict(fake or {}), []
    def find_spec(self, name, path, target=None):
        self.log.append(name)
        if name in self.refuse:
            raise ModuleNotFoundError(f"refused {name}", name=name)
        if name in self.fake:
            return importlib.util.spec_from_loader(name, self)
        return None
    def create_module(self, spec):
        return None
    def exec_module(self, module):
        exec(self.fake[module.__name__], module.__dict__)

def entries(exc):
    tb, out = exc.__traceback__, []
    while tb is not None:
        out.append((tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename))
        tb = tb.tb_next
    return out

def expect_failure(module, exc_type, message):
    try:
        importlib.import_module(module)
    except exc_type as exc:
        assert str(exc) == message, str(exc)
        return entries(exc)
    raise AssertionError(f"import {module} succeeded")

import importlib
"""


@pytest.mark.parametrize("module,first,then", [
    ("korvel.sonix", "numpy", "korvel.framix"),
    ("korvel.pulsix", "numpy", "korvel.sonix"),
])
def test_import_order(tmp_path, module, first, then):
    run_python(IMPORT_HOOKS + f"""
hook = Hook()
sys.meta_path.insert(0, hook)
import {module}
assert hook.log.index({first!r}) < hook.log.index({then!r}), hook.log
""", tmp_path)


def refusing(name):
    """Setup: a hook installed first refuses to import ``name``."""
    return f"hook = Hook(refuse={{{name!r}}})\nsys.meta_path.insert(0, hook)\n"


def faking_framix(source):
    """Setup: korvel.framix is ``source`` instead."""
    return f"sys.meta_path.insert(0, Hook(fake={{'korvel.framix': {source!r}}}))\n"


def faking_sonix(source):
    """Setup: korvel.sonix is already imported, as a module that runs ``source``."""
    return f"import korvel\nfake = type(sys)('korvel.sonix')\nexec({source!r}, fake.__dict__)\n" \
        "sys.modules['korvel.sonix'] = fake\n"


# module, setup, exception and message of the failed import (whose traceback
# holds the module's initialisation entry), then what must hold afterwards.
IMPORT_FAILURES = {
    "sonix-framix-refused-then-reimport": ("korvel.sonix", refusing("korvel.framix"), ModuleNotFoundError,
                                           "refused korvel.framix", """
assert "korvel.sonix" not in sys.modules and "korvel.framix" not in sys.modules
# numpy is imported (and stays imported) before the failing step.
assert "numpy" in sys.modules
tb = expect_failure("korvel.sonix", ModuleNotFoundError, "refused korvel.framix")
assert hook.log.count("korvel.framix") == 2, hook.log

sys.meta_path.remove(hook)
import korvel.sonix as s, korvel.framix
assert s.calc_num_frames is korvel.framix.calc_num_frames
assert s.stft_mag(s.np.ones(9), 4, 2).shape == (3, 5)
"""),
    "pulsix-framix-refused-then-reimport": ("korvel.pulsix", refusing("korvel.framix"), ModuleNotFoundError,
                                            "refused korvel.framix", """
names = [name for name, _ in tb]
assert "init korvel.pulsix" in names and "init korvel.sonix" in names, tb
assert names.index("init korvel.pulsix") < names.index("init korvel.sonix"), tb
assert "korvel.pulsix" not in sys.modules and "korvel.sonix" not in sys.modules

sys.meta_path.remove(hook)
import korvel.pulsix as p, korvel.sonix as s
assert p.stft is s.stft and p.stft_mag is s.stft_mag and p.np is s.np
"""),
    "broken-framix": ("korvel.sonix", faking_framix("1 / 0"), ZeroDivisionError, "division by zero", ""),
    "framix-without-the-name": ("korvel.sonix", faking_framix("other = 1"), ImportError,
                                "cannot import name calc_num_frames", """
# An already imported submodule of that name is accepted instead.
marker = type(sys)("korvel.framix.calc_num_frames")
sys.modules["korvel.framix.calc_num_frames"] = marker
import korvel.sonix as s
assert s.calc_num_frames is marker
"""),
    # Only a missing attribute turns into "cannot import name"; other errors pass through.
    "error-fetching-the-name": ("korvel.sonix", faking_framix(
        "def __getattr__(name):\n"
        "    if name == 'calc_num_frames':\n"
        "        raise RuntimeError('lookup failed')\n"
        "    raise AttributeError(name)\n"), RuntimeError, "lookup failed", ""),
    # The pulsix module needs both names of sonix; stft is fetched first.
    "sonix-without-stft": ("korvel.pulsix", faking_sonix("stft_mag = 1"), ImportError, "cannot import name stft",
                           'assert "korvel.pulsix" not in sys.modules\n'),
    "sonix-without-either": ("korvel.pulsix", faking_sonix("pass"), ImportError, "cannot import name stft",
                             'assert "korvel.pulsix" not in sys.modules\n'),
    "sonix-without-stft_mag": ("korvel.pulsix", faking_sonix("stft = 1"), ImportError,
                               "cannot import name stft_mag", 'assert "korvel.pulsix" not in sys.modules\n'),
    "numpy-missing-fails-before-framix": ("korvel.sonix", refusing("numpy"), ModuleNotFoundError, "refused numpy",
                                          'assert "korvel.framix" not in hook.log, hook.log\n'),
}


@pytest.mark.parametrize("module,setup,exc,message,then", IMPORT_FAILURES.values(), ids=list(IMPORT_FAILURES))
def test_failed_initialisation(tmp_path, module, setup, exc, message, then):
    run_python(IMPORT_HOOKS + setup + f"""
tb = expect_failure({module!r}, {exc.__name__}, {message!r})
assert ("init {module}", "package/{module.replace('.', '/')}") in tb, tb
""" + then, tmp_path)


# ----------------------------------------------------------- reference counts


class Truthy:
    def __bool__(self):
        return True


def expect(exc_type, fn, *args, kw=None):
    def call():
        try:
            fn(*args, **(kw or {}))
        except exc_type:
            return
        raise AssertionError("no exception")
    return call


def _refcount_cases():
    x = np.random.default_rng(2).standard_normal(1500)
    win, hop, zp = i("300"), i("257"), np.int64(2)
    window, centered = np.hanning(300), Truthy()
    f_arr, f_float = np.array([440.0, 0.5]), float("123.25")
    kw_value = i("999")
    yield "stft", lambda: s.stft(x, win, hop, zp, window, centered), \
        [x, win, hop, zp, window, centered]
    yield "stft-kw", lambda: s.stft(x=x, win_len=win, hop_size=hop, zp_factor=zp), \
        [x, win, hop, zp]
    yield "stft-uncentred", lambda: s.stft(x, win, hop, zp, None, False), [x, win, hop, zp]
    yield "stft_mag", lambda: s.stft_mag(x, win, hop, zp), [x, win, hop, zp]
    yield "freq_to_pitch", lambda: s.freq_to_pitch(f_arr), [f_arr]
    yield "freq_to_pitch-kw", lambda: s.freq_to_pitch(f=f_float), [f_float]
    # Binding errors.
    yield "too-many", expect(TypeError, s.stft, x, win, hop, zp, window, centered, kw_value), \
        [x, win, hop, zp, window, centered, kw_value]
    yield "unknown-kw", expect(TypeError, s.stft_mag, x, win, hop, kw={"bogus": kw_value}), \
        [x, win, hop, kw_value]
    yield "duplicate-kw", expect(TypeError, s.stft, x, win, hop, kw={"x": kw_value}), \
        [x, win, hop, kw_value]
    yield "non-string-kw", expect(TypeError, s.freq_to_pitch, f_arr, kw={kw_value: x}), \
        [f_arr, kw_value, x]
    yield "missing", expect(TypeError, s.stft, x, kw={"hop_size": hop}), [x, hop]
    # Errors raised inside, before, during and after the frame loop.
    yield "bad-hop", expect(ValueError, s.stft_mag, x, win, i("0")), [x, win]
    yield "window-without-len", expect(TypeError, s.stft, x, win, hop, zp, kw_value), \
        [x, win, hop, zp, kw_value]
    unsliceable = Sized()
    yield "unsliceable", expect(TypeError, s.stft, unsliceable, 8, 1, 1, None, False), \
        [unsliceable]
    yield "zp-zero", expect(ValueError, s.stft, x, win, hop, i("0"), window), \
        [x, win, hop, window]
    yield "pitch-type-error", expect(TypeError, s.freq_to_pitch, [f_float]), [f_float]


def _catalogue_refcount_cases():
    """The catalogue's typical and failing calls of sonix, with the arguments they watch."""
    for fn, call in typical_calls("korvel.sonix") + failing_calls("korvel.sonix"):
        args = call.make()
        run = expect(call.raises, fn.fn, *args) if call.raises else (lambda fn=fn, args=args: fn.fn(*args))
        yield f"catalogue-{fn.call_id(call)}", run, tracked(args)


REFCOUNT_CASES = list(_refcount_cases()) + list(_catalogue_refcount_cases())


@pytest.mark.parametrize("call,objects", [(c, o) for _, c, o in REFCOUNT_CASES],
                         ids=[n for n, _, _ in REFCOUNT_CASES])
def test_refcounts_of_arguments_unchanged(call, objects):
    # The module globals and NumPy functions in use must not leak either.
    shared = [s.np, s.calc_num_frames, s.stft, np.hanning, np.fft.rfft, np.concatenate,
              s.stft.__defaults__]
    assert_refcounts_stable(call, objects + shared)


def test_refcounts_with_name_error(monkeypatch):
    x, win, hop = np.ones(50), i("300"), i("257")
    monkeypatch.delattr(s, "stft")
    assert_refcounts_stable(expect(NameError, s.stft_mag, x, win, hop), [x, win, hop, s.np])


def test_refcounts_when_the_fft_fails_mid_loop(monkeypatch):
    real_rfft, count = np.fft.rfft, [0]

    def flaky(sig):
        count[0] += 1
        if count[0] % 3 == 0:
            raise RuntimeError("third frame")
        return real_rfft(sig)

    monkeypatch.setattr(np.fft, "rfft", flaky)
    x, window, hop = np.ones(100), np.hanning(10), i("7")

    def call():
        count[0] = 0
        with pytest.raises(RuntimeError):
            s.stft(x, 10, hop, 2, window)

    assert_refcounts_stable(call, [x, window, hop])


def test_results_and_temporaries_are_released():
    import weakref

    x = np.random.default_rng(5).standard_normal(4000)
    result = s.stft(x, 256, 64, 2)
    ref = weakref.ref(result)
    del result
    assert ref() is None
    s.stft_mag(x, 256, 64, 2)  # warm caches (FFT plans) before measuring
    with pytest.raises(ValueError):
        s.stft(x, 256, 64, 0)
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(30):
            s.stft_mag(x, 256, 64, 2)
            with pytest.raises(ValueError):
                s.stft(x, 256, 64, 0)
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    # One leaked result alone would be 257 * 64 * 8 bytes; 30 would be far more.
    assert grown < 100_000
