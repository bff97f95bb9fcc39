"""Property-based fuzzing of every exported function with hostile arguments.

Each call must return or raise an ordinary exception -- never crash, hang or
touch its arguments -- and its outcome (result bits, exception type and
message, warnings) must be the same whether the native fast paths are
allowed or forced off by a numpy proxy.

Profiles (environment variable KORVEL_FUZZ_PROFILE):
  ci    (default) seeded and bounded, a few hundred cases per function;
  long  many thousands of random cases per function, for manual runs.

Sizes are kept small on purpose: integers are either small or far beyond
any memory (2**34 and up), never in between, so that a size that NumPy
would actually try to allocate cannot eat the machine.  Huge sizes have
their own tests in test_limits.py.
"""

import math
import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import korvel.sonix as sonix
from _catalogue import CATALOGUE
from _oracle import assert_paths_agree, korvel_function

settings.register_profile(
    "ci", max_examples=200, derandomize=True, deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile(
    "long", max_examples=5000, deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
PROFILE = os.environ.get("KORVEL_FUZZ_PROFILE", "ci")


# ---- hostile objects ------------------------------------------------------

class Boom(Exception):
    """Raised by the hostile objects below; an ordinary exception."""


def raising(name, dunder):
    """A class named ``name`` whose method ``dunder`` raises Boom."""
    def method(self, *args):
        raise Boom(dunder)
    return type(name, (), {dunder: method})


BadLen = raising("BadLen", "__len__")
BadIndex = raising("BadIndex", "__index__")
BadFloat = raising("BadFloat", "__float__")


class LyingLen:
    """Claims a length that has nothing to do with its contents."""

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __getitem__(self, key):
        # Three items whatever the length says (an endless sequence would
        # make NumPy itself loop forever converting it).
        if isinstance(key, int) and not -3 <= key < 3:
            raise IndexError(key)
        return 1.0


class LyingIndex:
    """An integer-like object that is a different integer each way it is asked."""

    def __index__(self):
        return 7

    def __int__(self):
        return 3

    def __float__(self):
        return 5.5


class BadArray:
    def __array__(self, dtype=None, copy=None):
        raise Boom("__array__")

    def __len__(self):
        return 4


class LyingArray:
    """__len__ says 3, __array__ hands out a 2-D array of another size."""

    def __array__(self, dtype=None, copy=None):
        return np.arange(12.0).reshape(3, 4)

    def __len__(self):
        return 3


class NotImplementedEverywhere:
    """Declines every NumPy function and every arithmetic operation."""

    def __array_function__(self, func, types, args, kwargs):
        return NotImplemented

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        return NotImplemented


class BadArith:
    def __mul__(self, other):
        raise Boom("__mul__")

    __rmul__ = __truediv__ = __rtruediv__ = __add__ = __radd__ = __sub__ = __rsub__ = __mul__

    def __bool__(self):
        raise Boom("__bool__")


class UserArray(np.ndarray):
    """A user subclass: NumPy results keep the subclass."""


HOSTILE = [BadLen(), LyingLen(3), LyingLen(-1), LyingLen(2 ** 70), BadIndex(), LyingIndex(),
           BadFloat(), BadArray(), LyingArray(), NotImplementedEverywhere(), BadArith(), object(),
           Boom("an exception object"), len, np, sonix.stft]

# ---- values ---------------------------------------------------------------

SMALL_INTS = st.integers(-3, 64)
# Beyond any memory, so an allocation of this size fails at once.
HUGE_INTS = st.one_of(st.integers(2 ** 34, 2 ** 70), st.integers(-(2 ** 70), -(2 ** 34)),
                      st.sampled_from([2 ** 63 - 1, 2 ** 63, 2 ** 64, -(2 ** 63), -(2 ** 63) - 1]))
SPECIAL_FLOATS = st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 1e-310, 1e300,
                                  -1e300, 2.0 ** 63, 1e20, 0.5, 2.5, -1.5])
FLOATS = st.one_of(st.floats(-300, 300), SPECIAL_FLOATS)

DTYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64,
          np.float16, np.float32, np.float64, np.longdouble, np.complex64, np.complex128, np.bool_,
          object, "datetime64[s]", "timedelta64[ms]", "U3", "S2"]
REAL_DTYPES = [np.float64, np.float64, np.float32, np.int64, np.int32, np.int16, np.uint8]
LAYOUTS = ["contiguous", "strided", "reversed", "fortran", "bigendian", "readonly", "unaligned",
           "broadcast", "masked", "matrix", "subclass"]


def fill(rng, kind, shape, dtype):
    """Values of `shape` converted to `dtype`, chosen to stay small or go extreme."""
    size = int(np.prod(shape))
    if kind == "unit":
        base = rng.random(size)
    elif kind == "ints":
        base = rng.integers(0, 40, size).astype(float)
    elif kind == "sorted":
        base = np.sort(rng.integers(0, 60, size)).astype(float)
    elif kind == "mixed":
        base = rng.normal(0, 100, size)
    else:  # "special": NaN, infinities, signed zeros, extremes sprinkled in
        base = rng.normal(0, 3, size)
        picks = rng.integers(0, max(size, 1), min(size, 4))
        base[picks] = rng.choice([np.nan, np.inf, -np.inf, -0.0, 1e300, -1e300], len(picks))
    dt = np.dtype(dtype)
    if dt == object:
        objs = [float(v) if i % 3 else int(v) if math.isfinite(v) else None
                for i, v in enumerate(base)]
        out = np.empty(size, dtype=object)
        out[:] = objs
        return out.reshape(shape)
    if dt.kind in "MmUSiub":
        # Small values or the integer dtype's extremes; never sizes that fit
        # in memory only just.
        lo = 0 if dt.kind in "ub" else -60
        ints = [int(v) for v in np.clip(np.rint(np.nan_to_num(base)), lo, 60)]
        if dt.kind in "iu" and kind == "special" and size:
            info = np.iinfo(dt)
            ints[0] = int(info.min)
            if info.max >= 2 ** 40:
                ints[-1] = int(info.max)
        return np.array(ints, dtype=np.int64 if dt.kind in "MmUS" else dt).astype(dt).reshape(shape)
    with np.errstate(all="ignore"):
        return base.astype(dt).reshape(shape)


def lay_out(a, layout):
    """The same values in a memory layout or array type a fast path may not expect."""
    if layout == "strided":
        return np.repeat(a, 2, axis=-1)[..., ::2] if a.ndim else a
    if layout == "reversed":
        return a[::-1].copy()[::-1] if a.ndim else a
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "bigendian" and a.dtype.kind in "iufc" and a.dtype.itemsize > 1:
        return a.astype(a.dtype.newbyteorder(">"))
    if layout == "readonly":
        r = a.copy()
        r.flags.writeable = False
        return r
    if layout == "unaligned" and a.dtype != object and a.dtype.itemsize > 1:
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
        u = raw[1:].view(a.dtype).reshape(a.shape)
        u[...] = a
        return u
    if layout == "broadcast" and a.size:
        return np.broadcast_to(a.reshape(-1)[:1].reshape(()), a.shape)
    if layout == "masked":
        return np.ma.masked_array(a, mask=np.arange(a.size).reshape(a.shape) % 3 == 1)
    if layout == "matrix" and a.ndim == 2 and a.dtype != object:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", PendingDeprecationWarning)
            return np.asmatrix(a)
    if layout == "subclass":
        return a.view(UserArray)
    return a


@st.composite
def arrays(draw, ndim=st.integers(0, 3), dtypes=DTYPES, kinds=("unit", "ints", "mixed", "special"),
           max_len=64):
    nd = draw(ndim)
    if nd == 1:
        shape = (draw(st.integers(0, max_len)),)
    else:
        shape = tuple(draw(st.integers(0, 12 if nd == 2 else 4)) for _ in range(nd))
    dtype = draw(st.sampled_from(dtypes))
    seed = draw(st.integers(0, 2 ** 32 - 1))
    a = fill(np.random.default_rng(seed), draw(st.sampled_from(kinds)), shape, dtype)
    return lay_out(a, draw(st.sampled_from(LAYOUTS)))


@st.composite
def tempograms(draw):
    rows = draw(st.integers(1, 40))
    cols = draw(st.integers(0, 12))
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    dtype = draw(st.sampled_from([np.complex128, np.complex128, np.float64, np.complex64, np.float32]))
    a = (rng.random((rows, cols)) + 1j * rng.random((rows, cols))).astype(dtype) \
        if np.dtype(dtype).kind == "c" else rng.random((rows, cols)).astype(dtype)
    if draw(st.booleans()):
        a = a.T.copy().T  # Fortran order
    return lay_out(a, draw(st.sampled_from(LAYOUTS)))


ANYTHING = st.one_of(
    st.none(), st.booleans(), SMALL_INTS, HUGE_INTS, FLOATS,
    st.builds(complex, FLOATS, FLOATS),
    st.text(max_size=5), st.binary(max_size=5),
    st.lists(st.one_of(SMALL_INTS, FLOATS), max_size=20),
    st.lists(st.lists(SMALL_INTS, max_size=4), max_size=4),
    st.dictionaries(st.text(max_size=2), SMALL_INTS, max_size=3),
    st.builds(np.float64, FLOATS), st.builds(np.int32, SMALL_INTS),
    arrays(), st.sampled_from(HOSTILE),
)

SIGNAL = arrays(ndim=st.just(1), dtypes=REAL_DTYPES)
SIZE = st.one_of(st.integers(1, 64), st.integers(1, 8), st.builds(np.int64, st.integers(1, 64)))
RATE = st.one_of(st.floats(0.5, 200), st.integers(1, 200), st.sampled_from([0, 0.0, -10.0]))
BPM = st.one_of(st.floats(10, 400), st.integers(30, 300))
FRAMES = arrays(ndim=st.just(1), dtypes=[np.int64, np.int64, np.float64, np.int32, np.uint8],
                kinds=("sorted", "ints"))
BINS = arrays(ndim=st.just(1), dtypes=[np.int64, np.int64, np.intp, np.int32, np.float64],
              kinds=("ints",), max_len=14)


@st.composite
def sometimes(draw, plausible):
    """Mostly a plausible value for the parameter, sometimes anything at all."""
    return draw(ANYTHING if draw(st.integers(0, 3)) == 0 else plausible)


# Plausible values for each kind of parameter the catalogue names.
KINDS = {
    "signal": SIGNAL,
    "pitch": st.one_of(SIGNAL, FLOATS, SMALL_INTS),
    "size": SIZE,
    "zp": st.integers(-1, 4),
    "zp_tg": st.integers(0, 3),
    "window": st.one_of(st.none(), arrays(ndim=st.just(1), dtypes=REAL_DTYPES, max_len=40)),
    "flag": st.one_of(st.booleans(), st.none(), st.integers(0, 1)),
    "weight": st.one_of(FLOATS, SMALL_INTS),
    "frames": FRAMES,
    "length": st.one_of(SMALL_INTS, st.none()),
    "click": st.one_of(st.none(), arrays(ndim=st.just(1), dtypes=REAL_DTYPES, max_len=8)),
    "bpm": BPM,
    "rate": RATE,
    "tempogram": tempograms(),
    "bins": BINS,
    "period": st.one_of(RATE, SMALL_INTS),
    "any_period": st.one_of(RATE, SMALL_INTS, FLOATS),
}
# Plausible values per parameter, from the catalogue; defaulted parameters
# may also be left out.
PARAMS = {fn.name: [(param, KINDS[kind]) for param, kind in zip(fn.params, fn.kinds)] for fn in CATALOGUE}
FUNCTIONS = {name: korvel_function(name) for name in PARAMS}


@st.composite
def calls(draw, name):
    """(args, kwargs) for a call of `name`, binding every required parameter."""
    fn = FUNCTIONS[name]
    params = PARAMS[name]
    required = len(params) - len(fn.__defaults__ or ())
    count = draw(st.integers(required, len(params)))
    values = [draw(sometimes(strategy)) for _, strategy in params[:count]]
    split = draw(st.integers(0, count))
    return tuple(values[:split]), {p: v for (p, _), v in zip(params[split:count], values[split:])}


# ---- comparing outcomes ---------------------------------------------------

def check_call(name, args, kwargs):
    """Fast and step-by-step paths agree; what happened, for hypothesis' statistics."""
    result, _ = assert_paths_agree(FUNCTIONS[name], *args, **kwargs)
    return "returned" if result[0] == "ok" else f"raised {result[1].__name__}"


@pytest.mark.parametrize("name", list(PARAMS))
@settings(settings.get_profile(PROFILE))
@given(data=st.data())
def test_any_arguments_are_survived_and_agree_with_reference(name, data):
    args, kwargs = data.draw(calls(name), label="call")
    event(check_call(name, args, kwargs))


# ---- well-formed inputs: the native paths must agree with the reference -----

FAST_LAYOUTS = ["contiguous"] * 4 + ["strided", "reversed", "readonly", "unaligned", "bigendian",
                                     "broadcast"]


@st.composite
def signal(draw, lo=0, hi=200, dtypes=(np.float64, np.float64, np.float32, np.int64, np.int16,
                                       np.int32)):
    n = draw(st.integers(lo, hi))
    dtype = np.dtype(draw(st.sampled_from(dtypes)))
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    kind = draw(st.sampled_from(["unit", "unit", "mixed", "special", "sparse"]))
    if kind == "sparse":  # mostly zeros: ties, flat stretches, zero maxima
        a = (rng.random(n) < 0.1).astype(float)
    else:
        a = fill(rng, kind if dtype.kind == "f" else "ints", (n,), np.float64)
    with np.errstate(all="ignore"):
        a = a.astype(dtype) if dtype.kind == "f" else np.nan_to_num(a).astype(dtype)
    return lay_out(a, draw(st.sampled_from(FAST_LAYOUTS)))


def spectrogram(draw, rows, cols):
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    a = rng.standard_normal((rows, cols)) + 1j * rng.standard_normal((rows, cols))
    if draw(st.booleans()):
        a = a.real.copy()
    if draw(st.integers(0, 4)) == 0 and a.size:
        a.reshape(-1)[rng.integers(0, a.size, 2)] = np.nan
    return lay_out(a, draw(st.sampled_from(["contiguous", "contiguous", "fortran", "strided", "reversed"])))


FLOAT_OR_SPECIAL = st.one_of(st.floats(0.1, 50), st.integers(1, 40), SPECIAL_FLOATS)
TEMPO = st.floats(20, 300)


@st.composite
def well_formed(draw, name):
    d = draw
    if name == "freq_to_pitch":
        return (d(signal(0, 50, (np.float64, np.float32, np.int64))),)
    if name in ("stft", "stft_mag"):
        args = [d(signal()), d(st.integers(1, 32)), d(st.integers(1, 16)), d(st.integers(1, 4))]
        if name == "stft":
            args.append(d(st.one_of(st.none(), signal(1, 32, (np.float64,)))))
            args.append(d(st.booleans()))
        return tuple(args)
    if name == "spectral_novelty":
        return d(signal(16, 300)), d(st.integers(2, 32)), d(st.integers(1, 16)), d(FLOAT_OR_SPECIAL)
    if name == "make_clicks":
        count = d(st.integers(1, 10))
        frames = np.sort(d(st.lists(st.integers(-5, 200), min_size=count, max_size=count)))
        frames = frames.astype(d(st.sampled_from([np.int64, np.int64, np.float64, np.int32])))
        click = d(st.one_of(st.none(), signal(1, 12, (np.float64,))))
        return frames, d(st.integers(0, 300)), click
    if name == "auto_correlate":
        return (d(signal(1, 64, (np.float64, np.float64, np.float32))),)
    if name == "make_ac_tempogram":
        return d(signal(1, 120, (np.float64,))), d(st.integers(1, 32)), d(st.integers(1, 16))
    if name == "bpm_to_k":
        return d(TEMPO), d(st.integers(1, 4096)), d(st.floats(1, 200))
    if name == "best_tempogram_bins":
        tg = spectrogram(d, d(st.integers(2, 60)), d(st.integers(1, 10)))
        lo = d(st.floats(1, 100))
        return tg, d(st.floats(1, 100)), lo, lo + d(st.floats(1, 300))
    if name == "get_sinusoid_params":
        rows, cols = d(st.integers(1, 40)), d(st.integers(1, 12))
        count = d(st.integers(1, cols))
        bins = np.array(d(st.lists(st.integers(-rows, rows - 1), min_size=count, max_size=count)))
        return spectrogram(d, rows, cols), d(FLOAT_OR_SPECIAL), bins
    if name == "make_local_pulse":
        lo = d(TEMPO)
        return (d(signal(8, 200, (np.float64,))), d(st.floats(1, 100)), lo, lo + d(st.floats(1, 300)),
                d(st.integers(4, 32)), d(st.integers(1, 16)), d(st.integers(1, 4)))
    if name == "estimate_bpm":
        lo = d(st.floats(30, 200))
        return d(signal(1, 400, (np.float64,))), d(st.floats(5, 100)), lo, lo + d(st.floats(1, 100))
    if name == "beats_score":
        nov = d(signal(2, 100, (np.float64,)))
        beats = np.unique(d(st.lists(st.integers(0, len(nov) - 1), min_size=1, max_size=20)))
        return nov, beats, d(FLOAT_OR_SPECIAL), d(st.one_of(st.floats(0, 100), st.integers(0, 20)))
    if name == "create_dp_beats":
        return (d(signal(1, 300, (np.float64, np.float64, np.float32, np.int64))), d(FLOAT_OR_SPECIAL),
                d(st.one_of(st.floats(0, 100), st.integers(0, 20), SPECIAL_FLOATS)))
    if name == "create_hmm_beats":
        lo = d(st.integers(1, 12))
        return (d(signal(0, 200, (np.float64, np.float32, np.int64))), lo, lo + d(st.integers(0, 12)),
                d(st.floats(0.1, 1000)), d(st.floats(1.5, 64)))
    if name == "_hmm_beats_upsampled":
        lo = d(st.integers(1, 12))
        return (d(signal(0, 100, (np.float64, np.float32, np.int64))), d(st.integers(1, 4)), lo,
                lo + d(st.integers(0, 12)), d(st.floats(0.1, 1000)), d(st.floats(1.5, 64)), d(st.integers(0, 50)))
    raise AssertionError(f"well_formed() has no arguments for {name}: add them here")


@pytest.mark.parametrize("name", list(PARAMS))
@settings(settings.get_profile(PROFILE))
@given(data=st.data())
def test_well_formed_arguments_agree_with_reference(name, data):
    event(check_call(name, data.draw(well_formed(name), label="args"), {}))
