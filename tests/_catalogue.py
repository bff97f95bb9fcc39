"""The public functions of the extension modules, each described once.

For every function: its module, name, parameters and defaults (its calling
convention), what each parameter is (so that arguments can be generated for
it), a typical call and a failing call.  The table-driven suites
(test_binding, test_sonix_module, test_pulsix_module, test_leaks,
test_numpy_calls, test_threads, test_fuzz) and the benchmark harness read it,
so a new function is covered by all of them once it has its entry here.

Calls build fresh arguments each time they are made (`make()`): the suites
watch reference counts and check that arguments are left untouched.  The
values are small, so a call is cheap enough to repeat ten thousand times.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import Callable

import numpy as np

RNG = np.random.default_rng(5)
SIG = RNG.standard_normal(40)
NOV = RNG.random(24)
TG = RNG.standard_normal((33, 6)) + 1j * RNG.standard_normal((33, 6))


def f(text: str) -> float:
    """A float object of our own, so that its reference count is ours alone."""
    return float(text)


def i(text: str) -> int:
    """An int object of our own, beyond the small-int cache."""
    return int(text)


@dataclass(frozen=True)
class Call:
    """One call of a function: how to make its arguments, and what it does."""

    make: Callable[[], tuple]
    label: str = ""
    kwargs: Callable[[], dict] = dict
    raises: type[BaseException] | None = None
    # The korvel traceback entries of a failing call, outermost first.
    entries: tuple[str, ...] = ()


@dataclass(frozen=True)
class Function:
    module: str                      # "korvel.sonix"
    name: str
    params: tuple[str, ...]
    defaults: tuple | None           # of the trailing parameters, as __defaults__ gives them
    kinds: tuple[str, ...]           # what each parameter is (test_fuzz generates by kind)
    typical: Call
    failing: Call

    @property
    def short(self) -> str:
        """"sonix.stft"."""
        return f"{self.module.split('.')[1]}.{self.name}"

    @property
    def fn(self) -> Callable:
        return getattr(importlib.import_module(self.module), self.name)

    def call_id(self, call: Call) -> str:
        return f"{self.name}-{call.label}" if call.label else self.name


S, P = "korvel.sonix", "korvel.pulsix"

# In the order each module binds its functions.
CATALOGUE = [
    Function(S, "freq_to_pitch", ("f",), None, ("pitch",),
             Call(lambda: (np.abs(SIG) * 1000 + 20,)),
             Call(lambda: ("a",), "str", raises=TypeError, entries=("korvel.sonix.freq_to_pitch",))),
    Function(S, "stft_mag", ("x", "win_len", "hop_size", "zp_factor"), (1,),
             ("signal", "size", "size", "zp"),
             Call(lambda: (SIG.copy(), 16, 8)),
             Call(lambda: (None, 16, 8), "none", raises=ValueError,
                  entries=("korvel.sonix.stft_mag", "korvel.sonix.stft"))),
    Function(S, "stft", ("x", "win_len", "hop_size", "zp_factor", "window", "centered"), (1, None, True),
             ("signal", "size", "size", "zp", "window", "flag"),
             Call(lambda: (SIG.copy(), i("300") - 284, i("300") - 288)),
             Call(lambda: (SIG.copy(), 16, 0), "hop-0", raises=ValueError, entries=("korvel.sonix.stft",))),
    Function(P, "spectral_novelty", ("x", "fft_len", "hop_size", "gamma"), None,
             ("signal", "size", "size", "weight"),
             Call(lambda: (SIG.copy(), 8, 3, f("10.5"))),
             Call(lambda: (SIG.copy(), 8, 6, "g"), "gamma-str", raises=TypeError,
                  entries=("korvel.pulsix.spectral_novelty",))),
    Function(P, "make_clicks", ("frames", "out_len", "click_snd"), (0, None), ("frames", "length", "click"),
             Call(lambda: (np.array([0, 30, 90]),)),
             Call(lambda: ([0, 3],), "list", raises=AttributeError, entries=("korvel.pulsix.make_clicks",))),
    Function(P, "auto_correlate", ("x",), None, ("signal",),
             Call(lambda: (NOV.copy(),)),
             Call(lambda: (np.array([]),), "empty", raises=ValueError, entries=("korvel.pulsix.auto_correlate",))),
    Function(P, "make_ac_tempogram", ("x", "win_len", "hop_size"), None, ("signal", "size", "size"),
             Call(lambda: (NOV.copy(), 8, 6)),
             Call(lambda: (NOV.copy(), 16, 0), "hop-0", raises=ZeroDivisionError,
                  entries=("korvel.pulsix.make_ac_tempogram",))),
    Function(P, "bpm_to_k", ("bpm", "fft_len", "ff"), None, ("bpm", "size", "rate"),
             Call(lambda: (f("90.5"), i("4096"), f("100.5"))),
             Call(lambda: (f("90.5"), 4096, 0), "ff-0", raises=ZeroDivisionError, entries=("korvel.pulsix.bpm_to_k",))),
    Function(P, "best_tempogram_bins", ("tg", "ff", "bpm_min", "bpm_max"), None, ("tempogram", "rate", "bpm", "bpm"),
             Call(lambda: (TG.copy(), f("10.5"), f("60.5"), f("300.5"))),
             Call(lambda: (TG.copy(), 10.0, 60.0, float("nan")), "nan", raises=ValueError,
                  entries=("korvel.pulsix.best_tempogram_bins", "korvel.pulsix.best_tempogram_bins.bpm_to_k"))),
    Function(P, "get_sinusoid_params", ("spec", "fs", "bins"), None, ("tempogram", "rate", "bins"),
             Call(lambda: (TG.copy(), f("10.5"), np.array([3, 5, 0, -1]))),
             Call(lambda: (TG.copy(), 10.0, np.array([3, 40])), "index", raises=IndexError,
                  entries=("korvel.pulsix.get_sinusoid_params",))),
    Function(P, "make_local_pulse", ("nov", "ff", "bpm_min", "bpm_max", "win_len_tg", "hop_tg", "zp_tg"),
             (256, 64, 16), ("signal", "rate", "bpm", "bpm", "size", "size", "zp_tg"),
             Call(lambda: (NOV[:12].copy(), f("50.5"), f("60.5"), f("300.5"), i("300") - 292, i("300") - 294, 2)),
             Call(lambda: (NOV.copy(), 0, 60.0, 300.0, 16, 8, 2), "ff-0", raises=ZeroDivisionError,
                  entries=("korvel.pulsix.make_local_pulse", "korvel.pulsix.best_tempogram_bins",
                           "korvel.pulsix.best_tempogram_bins.bpm_to_k"))),
    Function(P, "estimate_bpm", ("nov", "ff", "bpm_min", "bpm_max"), None, ("signal", "rate", "bpm", "bpm"),
             Call(lambda: (NOV.copy(), f("50.5"), f("60.5"), f("200.5"))),
             Call(lambda: (NOV.copy(), 50.0, 60.0, float("nan")), "nan", raises=ValueError,
                  entries=("korvel.pulsix.estimate_bpm", "korvel.pulsix.estimate_bpm.bpm_to_k"))),
    Function(P, "beats_score", ("nov", "beats", "est_period", "lmbda"), (10,), ("signal", "frames", "period", "weight"),
             Call(lambda: (NOV.copy(), np.array([0, 9, 15, 23]), f("10.5"))),
             Call(lambda: (NOV.copy(), np.array([0, 90]), 10.0), "index", raises=IndexError,
                  entries=("korvel.pulsix.beats_score",))),
    Function(P, "create_dp_beats", ("nov", "est_period", "lmbda"), None, ("signal", "any_period", "weight"),
             Call(lambda: (NOV[:12].copy(), f("4.5"), f("10.5"))),
             Call(lambda: (NOV.copy(), "p", 10.0), "period-str", raises=TypeError,
                  entries=("korvel.pulsix.create_dp_beats",))),
    Function(P, "create_hmm_beats", ("curve", "min_period", "max_period", "transition_lambda", "obs_lambda"),
             (100.0, 16.0), ("signal", "size", "size", "weight", "weight"),
             Call(lambda: (NOV.copy(), i("3"), i("6"))),
             Call(lambda: (NOV.copy(), 6, 3), "periods-reversed", raises=ValueError,
                  entries=("korvel.pulsix.create_hmm_beats",))),
    Function(P, "_hmm_beats_upsampled",
             ("curve", "upsample", "min_period", "max_period", "transition_lambda", "obs_lambda", "block"), (0,),
             ("signal", "size", "size", "size", "weight", "weight", "size"),
             Call(lambda: (NOV.copy(), i("2"), i("5"), i("9"), f("100.5"), f("16.5"))),
             Call(lambda: (NOV.copy(), 2, 5, 9, 100.0, 16.0, -1), "block-negative", raises=ValueError,
                  entries=("korvel.pulsix._hmm_beats_upsampled",))),
]

BY_NAME = {fn.name: fn for fn in CATALOGUE}
assert len(BY_NAME) == len(CATALOGUE), "a function is catalogued twice"


def functions(module: str | None = None) -> list[Function]:
    """The catalogued functions, of one module ("korvel.pulsix") or all."""
    return [fn for fn in CATALOGUE if module is None or fn.module == module]


def names(module: str | None = None) -> list[str]:
    return [fn.name for fn in functions(module)]


def typical_calls(module: str | None = None) -> list[tuple[Function, Call]]:
    return [(fn, fn.typical) for fn in functions(module)]


def failing_calls(module: str | None = None) -> list[tuple[Function, Call]]:
    return [(fn, fn.failing) for fn in functions(module)]
