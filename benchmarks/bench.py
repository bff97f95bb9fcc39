"""Benchmark: korvel against a plain Python + NumPy program and against librosa.

    python benchmarks/bench.py [--quick] [--durations 30,180,600] [--only NAME ...] [--cold P]

Everything runs in one process.  For every workload and audio duration the
contenders are timed in interleaved rounds (the order rotates each round),
so a change of clock speed or a noisy neighbour hits all of them alike.
Contenders:

  korvel     the installed korvel function (fast path where its guard holds)
  ref        the same korvel function with its reference path forced (module
             global ``np`` replaced by a proxy of numpy, which fails the guard)
  baseline   tests/reference/transcription.py, the same algorithm run by the interpreter
  librosa    librosa's closest function, where there is one
  floor      for the STFT rows: one batched np.fft.rfft over the frames,
             already windowed (the part no STFT of this kind can avoid)

Reported: median time per call, the ratios korvel/baseline, korvel/librosa
and korvel/floor, the cost-growth exponent (log-log slope of median time
against duration), the peak of traced memory per call (tracemalloc; NumPy
reports its buffers to it) for korvel, ref and baseline, and whether korvel's
result equals the baseline's bit for bit.  A summary checks the targets of
the performance work against the 180 s medians.  A last table times the
road's functions cold: the first call in a fresh process against the median
warm call there, each the median over several processes.  The CPU model is
printed beside every table: the cost of the STFT's stores depends on it.
"""

import argparse
import fnmatch
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc
import types
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))  # the plain transcription lives in tests/reference/

import audio  # noqa: E402
from reference import transcription as baseline  # noqa: E402

FS = audio.FS
EXPORTS = {
    "sonix": ("freq_to_pitch", "stft", "stft_mag"),
    "pulsix": ("spectral_novelty", "make_clicks", "auto_correlate", "make_ac_tempogram",
               "bpm_to_k", "best_tempogram_bins", "get_sinusoid_params", "make_local_pulse",
               "estimate_bpm", "beats_score", "create_dp_beats"),
}
CONTENDERS = ("korvel", "ref", "baseline", "librosa", "floor")


# --------------------------------------------------------------------------
# korvel and librosa, both optional at import time


class _Missing:
    """Stands for a korvel function the installed build does not have yet."""

    def __init__(self, name):
        self.name = name


def _load_korvel():
    mods = {}
    try:
        import korvel.sonix as sonix
        mods["sonix"] = sonix
    except Exception as e:  # pragma: no cover - reported, not fatal
        print(f"korvel.sonix does not import: {e!r}")
    try:
        import korvel.pulsix as pulsix
        mods["pulsix"] = pulsix
    except Exception as e:  # pragma: no cover
        print(f"korvel.pulsix does not import: {e!r}")
    return mods


KORVEL = _load_korvel()


def kfun(module, name):
    mod = KORVEL.get(module)
    fn = getattr(mod, name, None) if mod is not None else None
    return fn if callable(fn) else _Missing(f"{module}.{name}")


try:
    import librosa
    import librosa.beat
    import librosa.feature
    import librosa.onset
except Exception:  # pragma: no cover
    librosa = None


class _NumpyProxy(types.ModuleType):
    """Behaves like numpy but is not numpy, so korvel's fast-path guard fails."""

    def __getattr__(self, name):
        return getattr(np, name)


_PROXY = _NumpyProxy("numpy")


def forced_reference(fn):
    """``fn`` run with korvel's reference paths (all modules, so callees too)."""
    if isinstance(fn, _Missing):
        return fn
    mods = list(KORVEL.values())

    def run(*args):
        saved = [m.np for m in mods]
        for m in mods:
            m.np = _PROXY
        try:
            return fn(*args)
        finally:
            for m, s in zip(mods, saved):
                m.np = s

    return run


# --------------------------------------------------------------------------
# Inputs


def period_from_bpm(bpm, ff):
    """Beat period in novelty frames, as a caller of create_dp_beats makes it."""
    return int(round(60.0 * ff / float(bpm)))


class Inputs:
    """Inputs for one duration, computed on first use with the baseline."""

    def __init__(self, duration):
        self.duration = duration
        self._cache = {}

    def _get(self, key, make):
        if key not in self._cache:
            self._cache[key] = make()
        return self._cache[key]

    @property
    def x(self):
        return self._get("x", lambda: audio.make_audio(self.duration))

    ff = FS / 256

    @property
    def nov(self):
        return self._get("nov", lambda: baseline.spectral_novelty(self.x, 1024, 256, 100))

    @property
    def bpm(self):
        return self._get("bpm", lambda: baseline.estimate_bpm(self.nov, self.ff, 60, 200))

    @property
    def period(self):
        return period_from_bpm(self.bpm, self.ff)

    @property
    def true_beats(self):
        # The beats the audio was made with, as frames of the novelty curve.
        def make():
            b = np.round(audio.beat_times(self.duration) * self.ff).astype(np.int64)
            return b[(b >= 0) & (b < len(self.nov))]

        return self._get("true_beats", make)

    def tempogram(self, win, hop, zp):
        return self._get(("tg", win, hop, zp),
                         lambda: baseline.stft(self.nov, win, hop, zp, centered=False))

    def frames(self, win_len, hop):
        """The windowed frames the centred STFT transforms, one per row."""
        def make():
            xp = np.concatenate((np.zeros(win_len // 2), self.x))
            n = baseline.calc_num_frames(len(xp), win_len, hop)
            need = (n - 1) * hop + win_len
            if need > len(xp):
                xp = np.concatenate((xp, np.zeros(need - len(xp))))
            view = np.lib.stride_tricks.sliding_window_view(xp, win_len)[::hop]
            return view * np.hanning(win_len)

        return self._get(("frames", win_len, hop), make)


# --------------------------------------------------------------------------
# Workloads


class Workload:
    """One benchmark row family.

    ``make(inp)`` returns {contender: (callable, args)}; ``inp`` is an Inputs
    for duration workloads and None for fixed-size ones.
    """

    def __init__(self, name, make, sized=True, note="", compare=True, max_duration=None):
        self.name, self.make, self.sized, self.note, self.compare = name, make, sized, note, compare
        self.max_duration = max_duration


def _with_ref(fn, args):
    return {"korvel": (fn, args), "ref": (forced_reference(fn), args)}


def _three_ways(module, name, args):
    """korvel's function, its forced reference path and the baseline's
    function of the same name, all on `args`."""
    d = _with_ref(kfun(module, name), args)
    d["baseline"] = (getattr(baseline, name), args)
    return d


def _stft_workload(win, hop, mag):
    name = f"{'stft_mag' if mag else 'stft'}_{win}_{hop}"

    def make(inp):
        x = inp.x
        if mag:
            d = _three_ways("sonix", "stft_mag", (x, win, hop))
            if librosa:
                d["librosa"] = (lambda y: np.abs(librosa.stft(y, n_fft=win, hop_length=hop)), (x,))
        else:
            d = _three_ways("sonix", "stft", (x, win, hop))
            if librosa:
                d["librosa"] = (lambda y: librosa.stft(y, n_fft=win, hop_length=hop), (x,))
        d["floor"] = (np.fft.rfft, (inp.frames(win, hop),))
        return d

    return Workload(name, make)


def _w_freq_to_pitch(_):
    f = np.random.default_rng(1).uniform(20.0, 11025.0, 10 ** 6)
    d = _three_ways("sonix", "freq_to_pitch", (f,))
    if librosa:
        d["librosa"] = (librosa.hz_to_midi, (f,))
    return d


def _w_tempogram(inp):
    nov = inp.nov
    d = _three_ways("sonix", "stft", (nov, 256, 32, 16, None, False))
    if librosa:
        d["librosa"] = (lambda o: librosa.feature.fourier_tempogram(
            onset_envelope=o, sr=FS, hop_length=256, win_length=256), (nov,))
    return d


def _w_spectral_novelty(inp):
    x = inp.x
    d = _three_ways("pulsix", "spectral_novelty", (x, 1024, 256, 100))
    if librosa:
        d["librosa"] = (lambda y: librosa.onset.onset_strength(
            y=y, sr=FS, n_fft=1024, hop_length=256), (x,))
    return d


def _w_estimate_bpm(inp):
    args = (inp.nov, inp.ff, 60, 200)
    d = _three_ways("pulsix", "estimate_bpm", args)
    if librosa:
        d["librosa"] = (lambda o: librosa.feature.tempo(
            onset_envelope=o, sr=FS, hop_length=256, max_tempo=200.0), (inp.nov,))
    return d


def _w_create_dp_beats(inp):
    args = (inp.nov, inp.period, 10)
    d = _three_ways("pulsix", "create_dp_beats", args)
    if librosa:
        bpm = 60.0 * inp.ff / inp.period
        d["librosa"] = (lambda o: librosa.beat.beat_track(
            onset_envelope=o, sr=FS, hop_length=256, bpm=bpm, trim=False), (inp.nov,))
    return d


def _w_beats_score(inp):
    args = (inp.nov, inp.true_beats, inp.period, 10)
    d = _three_ways("pulsix", "beats_score", args)
    return d


def _w_make_local_pulse(inp):
    args = (inp.nov, inp.ff, 60, 200)
    d = _three_ways("pulsix", "make_local_pulse", args)
    if librosa:
        d["librosa"] = (lambda o: librosa.beat.plp(
            onset_envelope=o, sr=FS, hop_length=256, win_length=256,
            tempo_min=60, tempo_max=200), (inp.nov,))
    return d


def _w_best_tempogram_bins(inp):
    args = (inp.tempogram(256, 64, 16), inp.ff, 60, 200)
    d = _three_ways("pulsix", "best_tempogram_bins", args)
    return d


def _frame_autocorrelate(x, win, hop):
    frames = librosa.util.frame(x, frame_length=win, hop_length=hop)
    return librosa.autocorrelate(frames, axis=0)


def _w_make_ac_tempogram(inp):
    args = (inp.nov, 512, 32)
    d = _three_ways("pulsix", "make_ac_tempogram", args)
    if librosa:
        d["librosa"] = (_frame_autocorrelate, args)
    return d


def _w_auto_correlate(inp):
    args = (inp.nov,)
    d = _three_ways("pulsix", "auto_correlate", args)
    if librosa:
        d["librosa"] = (librosa.autocorrelate, args)
    return d


def _w_get_sinusoid_params(_):
    rng = np.random.default_rng(2)
    spec = rng.standard_normal((2049, 2000)) + 1j * rng.standard_normal((2049, 2000))
    bins = rng.integers(0, 2049, 2000).astype(np.int64)
    args = (spec, 86.1328125, bins)
    d = _three_ways("pulsix", "get_sinusoid_params", args)
    return d


def _clicks_floor(frames, click_len):
    # What no click track can avoid: the zeroed output and the first touch of
    # the memory under every click (page faults), without the per-click loop.
    out = np.zeros(frames[-1] + click_len)
    out[frames] += 0.5
    return out


def _w_make_clicks(_, spacing=None):
    if spacing is None:
        frames = audio.beat_samples(600.0)[:1000]
    else:
        frames = np.arange(1000, dtype=np.int64) * spacing + 100
    d = _three_ways("pulsix", "make_clicks", (frames,))
    d["floor"] = (_clicks_floor, (frames, 50))
    if librosa:
        click = 0.5 * np.ones(50)
        d["librosa"] = (lambda f: librosa.clicks(frames=f, sr=FS, hop_length=1, click=click),
                        (frames,))
    return d


def _w_bpm_to_k(_):
    args = (120.0, 4096, FS / 256)
    d = _three_ways("pulsix", "bpm_to_k", args)
    return d


def _w_beats_score_10(_):
    nov = np.random.default_rng(3).uniform(0.0, 1.0, 900)
    beats = np.arange(10, dtype=np.int64) * 43 + 20
    args = (nov, beats, 43, 10)
    d = _three_ways("pulsix", "beats_score", args)
    return d


def _road(mod):
    def road(x):
        ff = FS / 512
        nov = mod.spectral_novelty(x, 2048, 512, 100)
        bpm = mod.estimate_bpm(nov, ff, 60, 200)
        beats, d = mod.create_dp_beats(nov, period_from_bpm(bpm, ff), 10)
        return bpm, beats, d

    return road


def _librosa_road(x):
    oenv = librosa.onset.onset_strength(y=x, sr=FS, n_fft=2048, hop_length=512)
    return librosa.beat.beat_track(onset_envelope=oenv, sr=FS, hop_length=512)


def _w_road(inp):
    names = ("spectral_novelty", "estimate_bpm", "create_dp_beats")
    fns = {n: kfun("pulsix", n) for n in names}
    missing = [f for f in fns.values() if isinstance(f, _Missing)]
    k = missing[0] if missing else _road(types.SimpleNamespace(**fns))
    d = _with_ref(k, (inp.x,))
    d["baseline"] = (_road(baseline), (inp.x,))
    if librosa:
        d["librosa"] = (_librosa_road, (inp.x,))
    return d


WORKLOADS = [
    Workload("freq_to_pitch", _w_freq_to_pitch, sized=False, note="10^6 values"),
    _stft_workload(1024, 256, False),
    _stft_workload(2048, 512, False),
    _stft_workload(1024, 256, True),
    _stft_workload(2048, 512, True),
    Workload("tempogram_stft", _w_tempogram,
             note="stft(nov, 256, 32, 16, centered=False); librosa's fourier_tempogram "
                  "has hop 1, so it computes 32x the frames"),
    Workload("spectral_novelty", _w_spectral_novelty, note="(x, 1024, 256, 100)"),
    Workload("estimate_bpm", _w_estimate_bpm, note="(nov, ff, 60, 200)"),
    Workload("create_dp_beats", _w_create_dp_beats, note="(nov, period, 10)"),
    Workload("beats_score", _w_beats_score, note="the beats the audio was made with"),
    Workload("make_local_pulse", _w_make_local_pulse, note="(nov, ff, 60, 200)"),
    Workload("best_tempogram_bins", _w_best_tempogram_bins,
             note="tempogram 256/64 zp 16 of nov, 60-200 BPM"),
    Workload("make_ac_tempogram", _w_make_ac_tempogram, note="(nov, 512, 32)"),
    Workload("auto_correlate", _w_auto_correlate, max_duration=180.0,
             note="of the whole novelty curve (quadratic np.correlate: up to 180 s only)"),
    Workload("get_sinusoid_params", _w_get_sinusoid_params, sized=False, note="2000 bins"),
    Workload("make_clicks", _w_make_clicks, sized=False,
             note="1000 clicks at the beats of 500 s of audio (88 MB output: bound by the "
                  "kernel zeroing the pages under the clicks; floor = np.zeros + one "
                  "fancy-indexed write per click)"),
    Workload("make_clicks_dense", lambda inp: _w_make_clicks(inp, spacing=512), sized=False,
             note="1000 clicks 512 samples apart (4 MB output: the per-click loop dominates)"),
    Workload("bpm_to_k", _w_bpm_to_k, sized=False, note="per-call overhead"),
    Workload("beats_score_10", _w_beats_score_10, sized=False,
             note="per-call overhead, 10 beats"),
    Workload("road_2048_512", _w_road,
             note="spectral_novelty -> estimate_bpm -> create_dp_beats, FFT 2048 hop 512; "
                  "librosa: onset_strength + beat_track"),
]


# --------------------------------------------------------------------------
# Measuring


def same_bits(a, b):
    """Equal dtype, shape and bytes (NaN payloads included); tuples element-wise."""
    if isinstance(a, tuple) or isinstance(b, tuple):
        return (type(a) is type(b) and len(a) == len(b)
                and all(same_bits(p, q) for p, q in zip(a, b)))
    if type(a) is not type(b):
        return False
    if isinstance(a, (np.ndarray, np.generic)):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return np.float64(a).tobytes() == np.float64(b).tobytes()
    return a == b


class Settings:
    def __init__(self, quick):
        if quick:
            self.budget, self.min_rep, self.max_rep, self.cap, self.min_sample = 0.04, 3, 9, 0.6, 0.002
        else:
            self.budget, self.min_rep, self.max_rep, self.cap, self.min_sample = 0.7, 5, 40, 12.0, 0.02


def _sample(fn, args, number):
    t0 = time.perf_counter()
    for _ in range(number):
        fn(*args)
    return (time.perf_counter() - t0) / number


def measure(contenders, settings, compare):
    """Time the contenders in interleaved rounds; returns a result dict."""
    out = {c: {} for c in contenders}
    live = {}
    results = {}
    for c, (fn, args) in contenders.items():
        if isinstance(fn, _Missing):
            out[c]["status"] = "missing"
            continue
        # The warm-up call (imports, JIT, first touch of the inputs) also gives
        # the result for the bit comparison and, where wanted, the peak memory:
        # a slow quadratic call is then made once less.
        traced = c in ("korvel", "ref", "baseline")
        try:
            gc.collect()
            if traced:
                tracemalloc.start()
                tracemalloc.reset_peak()
                base = tracemalloc.get_traced_memory()[0]
            try:
                t0 = time.perf_counter()
                results[c] = fn(*args)
                first = time.perf_counter() - t0
                if traced:
                    out[c]["peak"] = tracemalloc.get_traced_memory()[1] - base
            finally:
                if traced:
                    tracemalloc.stop()
        except Exception as e:
            out[c]["status"] = f"error: {type(e).__name__}: {e}"[:200]
            continue
        if first < 0.1:
            first = _sample(fn, args, 1)  # untraced, warm
        live[c] = (fn, args, first)

    if compare and "korvel" in results and "baseline" in results:
        out["korvel"]["bits"] = same_bits(results["korvel"], results["baseline"])
    if compare and "ref" in results and "baseline" in results:
        out["ref"]["bits"] = same_bits(results["ref"], results["baseline"])
    results.clear()

    # Calls per sample so that tiny calls are timed over a few milliseconds.
    number = {c: max(1, math.ceil(settings.min_sample / max(first, 1e-7)))
              for c, (_, _, first) in live.items()}
    samples = {c: [] for c in live}
    names = list(live)
    gc.collect()
    gc.disable()
    try:
        # Round 0 gives every contender's cost, which fixes its number of rounds.
        for c in names:
            fn, args, _ = live[c]
            samples[c].append(_sample(fn, args, number[c]))
        reps = {}
        for c in names:
            t = samples[c][0] * number[c]
            n = min(settings.max_rep, max(settings.min_rep, round(settings.budget / max(t, 1e-9))))
            if n * t > settings.cap:
                n = max(1, int(settings.cap / t))
            reps[c] = n
        rounds = max(reps.values(), default=0)
        for r in range(1, rounds):
            k = r % len(names)
            for c in names[k:] + names[:k]:
                if len(samples[c]) < reps[c]:
                    fn, args, _ = live[c]
                    samples[c].append(_sample(fn, args, number[c]))
    finally:
        gc.enable()

    for c in names:
        s = samples[c]
        out[c].update(status="ok", median=statistics.median(s), min=min(s), n=len(s),
                      number=number[c],
                      spread=(max(s) - min(s)) / statistics.median(s) if len(s) > 1 else 0.0)
    gc.collect()
    return out


# --------------------------------------------------------------------------
# Reporting


def fmt_time(t):
    if t is None:
        return "-"
    if t >= 1:
        return f"{t:.2f} s"
    if t >= 1e-3:
        return f"{t * 1e3:.2f} ms"
    return f"{t * 1e6:.1f} us"


def fmt_mem(b):
    if b is None:
        return "-"
    if b >= 1 << 20:
        return f"{b / (1 << 20):.1f}M"
    if b >= 1 << 10:
        return f"{b / (1 << 10):.0f}K"
    return f"{b}B"


def fmt_ratio(a, b):
    if a is None or b is None or b == 0:
        return "-"
    return f"{a / b:.3g}"


def cell_time(r):
    st = r.get("status")
    if st is None:
        return "-"
    if st == "missing":
        return "missing"
    if st != "ok":
        return "error"
    return fmt_time(r["median"])


def _med(r):
    return r.get("median") if r.get("status") == "ok" else None


def _bits(r):
    b = r.get("bits")
    return "-" if b is None else ("yes" if b else "NO")


def growth(points):
    """Least-squares slope of log(time) against log(duration)."""
    pts = [(math.log(d), math.log(t)) for d, t in points if t]
    if len(pts) < 2:
        return None
    mx = sum(p[0] for p in pts) / len(pts)
    my = sum(p[1] for p in pts) / len(pts)
    sxx = sum((p[0] - mx) ** 2 for p in pts)
    return sum((p[0] - mx) * (p[1] - my) for p in pts) / sxx if sxx else None


HEADER = ["workload", "dur", "korvel", "ref", "baseline", "librosa", "floor",
          "k/base", "k/lib", "k/floor", "bits", "mem k", "mem ref", "mem base", "mem k/ref"]


def table_rows(all_results):
    rows = []
    for name, per_dur in all_results.items():
        for dur, res in per_dur.items():
            k, rf, b, lb, fl = (res.get(c, {}) for c in CONTENDERS)
            tk, tb, tl, tf = _med(k), _med(b), _med(lb), _med(fl)
            rows.append([
                name, "-" if dur is None else f"{dur:g}s",
                cell_time(k), cell_time(rf), cell_time(b), cell_time(lb), cell_time(fl),
                fmt_ratio(tk, tb), fmt_ratio(tk, tl), fmt_ratio(tk, tf), _bits(k),
                fmt_mem(k.get("peak")), fmt_mem(rf.get("peak")), fmt_mem(b.get("peak")),
                fmt_ratio(k.get("peak"), rf.get("peak")),
            ])
    return rows


def print_table(rows, header=HEADER, file=sys.stdout):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = "  ".join(h.ljust(w) if i < 2 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths)))
    print(line, file=file)
    print("-" * len(line), file=file)
    for r in rows:
        print("  ".join(str(c).ljust(w) if i < 2 else str(c).rjust(w)
                        for i, (c, w) in enumerate(zip(r, widths))), file=file)


def markdown_table(rows, header=HEADER):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def growth_rows(all_results):
    rows = []
    for name, per_dur in all_results.items():
        if len(per_dur) < 2 or None in per_dur:
            continue
        g = {}
        for c in ("korvel", "baseline", "librosa"):
            pts = [(d, _med(res.get(c, {}))) for d, res in per_dur.items()]
            e = growth(pts) if all(t for _, t in pts) else None
            g[c] = "-" if e is None else f"{e:.2f}"
        rows.append([name, g["korvel"], g["baseline"], g["librosa"]])
    return rows


# Targets of the performance work: (workload, check, bound).
#   speedup   baseline/korvel >= bound
#   floor     korvel/floor <= bound
#   no_slower korvel/baseline <= bound
#   growth    korvel's cost-growth exponent <= bound
#   librosa   korvel/librosa < bound
TARGETS = [
    ("create_dp_beats", "speedup", 50), ("create_dp_beats", "growth", 1.3),
    ("stft_1024_256", "speedup", 2), ("stft_1024_256", "floor", 1.25),
    ("stft_2048_512", "speedup", 2), ("stft_2048_512", "floor", 1.25),
    ("stft_mag_1024_256", "speedup", 2), ("stft_mag_1024_256", "floor", 1.25),
    ("stft_mag_2048_512", "speedup", 2), ("stft_mag_2048_512", "floor", 1.25),
    ("spectral_novelty", "speedup", 2.5),
    ("estimate_bpm", "speedup", 2), ("make_local_pulse", "speedup", 2),
    ("get_sinusoid_params", "speedup", 5), ("make_clicks", "speedup", 5),
    ("make_clicks_dense", "speedup", 5),
    ("make_ac_tempogram", "no_slower", 1.0), ("best_tempogram_bins", "no_slower", 1.0),
    ("freq_to_pitch", "no_slower", 1.0),
    ("bpm_to_k", "no_slower", 1.0), ("beats_score_10", "no_slower", 1.0),
    ("road_2048_512", "librosa", 1.0),
]


def target_rows(all_results, target_dur=180.0):
    rows = []
    for name, check, bound in TARGETS:
        per_dur = all_results.get(name)
        if not per_dur:
            continue
        if None in per_dur:
            dur = None
        elif target_dur in per_dur:
            dur = target_dur
        else:
            dur = max(per_dur)  # nearest we have; marked in the table
        res = per_dur[dur]
        tk, tb = _med(res.get("korvel", {})), _med(res.get("baseline", {}))
        tl, tf = _med(res.get("librosa", {})), _med(res.get("floor", {}))
        value, ok = None, None
        want = {"speedup": f">= {bound}x faster", "floor": f"korvel/floor <= {bound}",
                "no_slower": "korvel/baseline <= 1", "librosa": "korvel/librosa < 1",
                "growth": f"exponent <= {bound}"}[check]
        if check == "speedup" and tk and tb:
            value, ok = tb / tk, tb / tk >= bound
        elif check == "floor" and tk and tf:
            value, ok = tk / tf, tk / tf <= bound
        elif check == "no_slower" and tk and tb:
            value, ok = tk / tb, tk / tb <= bound
        elif check == "librosa" and tk and tl:
            value, ok = tk / tl, tk / tl < bound
        elif check == "growth":
            pts = [(d, _med(r.get("korvel", {}))) for d, r in per_dur.items() if d is not None]
            if len(pts) >= 2 and all(t for _, t in pts):
                value = growth(pts)
                ok = value <= bound
        dlabel = "-" if dur is None else (f"{dur:g}s" if check != "growth" else
                                          "/".join(f"{d:g}" for d in per_dur))
        rows.append([name, dlabel, want, "-" if value is None else f"{value:.3g}",
                     "-" if ok is None else ("holds" if ok else "MISSES")])
    # Memory: every fast path at most 25% above its reference path's peak.
    for name, per_dur in all_results.items():
        worst = None
        for res in per_dur.values():
            pk, pr = res.get("korvel", {}).get("peak"), res.get("ref", {}).get("peak")
            if pk is not None and pr:
                worst = max(worst or 0.0, pk / pr)
        if worst is not None:
            rows.append([name, "all", "peak mem k/ref <= 1.25", f"{worst:.3g}",
                         "holds" if worst <= 1.25 else "MISSES"])
    return rows


def machine_info():
    info = {}
    cpu = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            key = key.strip()
            if key in ("model name", "cpu family", "model", "flags") and key not in cpu:
                cpu[key] = value.strip()
            if not line.strip() and cpu:
                break
    except OSError:
        pass
    info["cpu"] = cpu.get("model name") or platform.processor() or platform.machine()
    if "cpu family" in cpu:
        info["cpu_id"] = f"family {cpu['cpu family']} model {cpu.get('model')}"
    flags = set(cpu.get("flags", "").split())
    info["cpu_simd"] = [f for f in ("sse4_2", "avx", "avx2", "fma", "avx512f", "avx512bw",
                                    "avx512vl", "avx512_bf16") if f in flags]
    try:
        mem = Path("/proc/meminfo").read_text().split("\n", 1)[0].split()
        info["mem_gib"] = round(int(mem[1]) / (1 << 20), 1)
    except (OSError, IndexError, ValueError):
        pass
    info["cores"] = os.cpu_count()
    try:
        info["affinity"] = len(os.sched_getaffinity(0))
    except AttributeError:
        pass
    info["python"] = platform.python_version()
    info["numpy"] = np.__version__
    try:
        cfg = np.show_config(mode="dicts")
        simd = cfg.get("SIMD Extensions", {})
        info["numpy_simd"] = {"baseline": simd.get("baseline"), "found": simd.get("found")}
        blas = cfg.get("Build Dependencies", {}).get("blas", {})
        info["numpy_blas"] = f"{blas.get('name')} {blas.get('version')}"
    except Exception:
        pass
    try:
        from threadpoolctl import threadpool_info
        info["threadpools"] = [
            {k: p.get(k) for k in ("internal_api", "version", "architecture", "num_threads")}
            for p in threadpool_info()]
    except Exception:
        pass
    info["librosa"] = getattr(librosa, "__version__", None)
    env = {k: os.environ[k] for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE",
                                      "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS") if k in os.environ}
    info["env"] = env
    try:
        info["korvel_commit"] = subprocess.run(
            ["git", "-C", str(HERE.parent), "rev-parse", "--short", "HEAD"],
            capture_output=True, text=True, timeout=5).stdout.strip()
    except Exception:
        pass
    return info


def print_machine(info):
    print(f"CPU: {info.get('cpu')} ({info.get('cpu_id', '?')}), {info.get('cores')} logical cores"
          f" ({info.get('affinity', '?')} usable), {info.get('mem_gib', '?')} GiB;"
          f" SIMD: {' '.join(info.get('cpu_simd', []))}")
    print(f"Python {info.get('python')}, NumPy {info.get('numpy')}, librosa {info.get('librosa')}")
    simd = info.get("numpy_simd")
    if simd:
        print(f"NumPy SIMD: baseline {simd['baseline']}, dispatched {simd['found']}")
    print(f"NumPy BLAS: {info.get('numpy_blas')}")
    for p in info.get("threadpools", []):
        print(f"  threadpool: {p['internal_api']} {p['version']} kernel {p['architecture']},"
              f" {p['num_threads']} threads")
    if info.get("env"):
        print("  env: " + ", ".join(f"{k}={v}" for k, v in info["env"].items()))
    print(f"korvel commit: {info.get('korvel_commit')}")
    if info.get("load"):
        print("load average (1 min) at start / end: " + " / ".join(info["load"]))


# --------------------------------------------------------------------------
# Cold calls: the first call in a fresh process, as the CLI and every batch
# task make it (large temporaries come fresh from the kernel, caches and
# lazily built tables are empty).

# The child imports nothing but NumPy and korvel (not this module, which
# pulls in librosa): name, inputs path, warm calls -> JSON on stdout.
COLD_CHILD = """
import json, statistics, sys, time
import numpy as np
name, path, warm_calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
d = np.load(path)
ff = float(d["ff"])
args = {"spectral_novelty": (d["x"], 1024, 256, 100), "estimate_bpm": (d["nov"], ff, 60, 200),
        "make_local_pulse": (d["nov"], ff, 60, 200),
        "create_dp_beats": (d["nov"], float(d["period"]), 10)}[name]
import korvel.pulsix as pulsix  # after the inputs, as a script would
fn = getattr(pulsix, name)
t0 = time.perf_counter()
fn(*args)
cold = time.perf_counter() - t0
warm = []
for _ in range(warm_calls):
    t0 = time.perf_counter()
    fn(*args)
    warm.append(time.perf_counter() - t0)
print(json.dumps({"cold": cold, "warm": statistics.median(warm)}))
"""
COLD_FUNCTIONS = ("spectral_novelty", "estimate_bpm", "make_local_pulse", "create_dp_beats")


def measure_cold(duration, processes, warm_calls=3, blas_threads=None):
    """{name: {"cold": median, "warm": median, "n": processes}} over fresh processes."""
    import tempfile
    x = audio.make_audio(duration)
    ff = FS / 256
    nov = baseline.spectral_novelty(x, 1024, 256, 100)
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "inputs.npz")
        period = period_from_bpm(baseline.estimate_bpm(nov, ff, 60, 200), ff)
        np.savez(path, x=x, nov=nov, ff=ff, period=period)
        env = dict(os.environ)
        if blas_threads:
            env["OPENBLAS_NUM_THREADS"] = env["OMP_NUM_THREADS"] = str(blas_threads)
        for name in COLD_FUNCTIONS:
            colds, warms = [], []
            for _ in range(processes):
                proc = subprocess.run(
                    [sys.executable, "-c", COLD_CHILD, name, path, str(warm_calls)],
                    capture_output=True, text=True, env=env)
                if proc.returncode != 0:
                    out[name] = {"error": proc.stderr.strip().splitlines()[-1:]}
                    break
                r = json.loads(proc.stdout.strip().splitlines()[-1])
                colds.append(r["cold"])
                warms.append(r["warm"])
            else:
                out[name] = {"cold": statistics.median(colds), "warm": statistics.median(warms),
                             "n": processes}
    return out


def cold_rows(cold):
    rows = []
    for name, r in cold.items():
        if "error" in r:
            rows.append([name, "error", " ".join(r["error"]), "-", "-"])
            continue
        ratio = r["cold"] / r["warm"]
        rows.append([name, fmt_time(r["cold"]), fmt_time(r["warm"]), f"{ratio:.2f}",
                     "holds" if ratio <= 1.3 else "MISSES"])
    return rows


COLD_HEADER = ["workload", "cold", "warm", "cold/warm", "<= 1.3"]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="short audio, few repeats (< 1 min)")
    ap.add_argument("--durations", help="comma-separated audio durations in seconds")
    ap.add_argument("--only", nargs="+", metavar="NAME",
                    help="workloads to run (names or shell patterns; 'cold' alone: only the "
                         "cold-call table)")
    ap.add_argument("--json", metavar="PATH", help="write raw results as JSON")
    ap.add_argument("--markdown", metavar="PATH", help="write the tables as Markdown")
    ap.add_argument("--list", action="store_true", help="list the workloads and exit")
    ap.add_argument("--cold", type=int, metavar="P",
                    help="processes for the cold-call table (median over them); default 5, "
                         "3 with --quick, 0 to skip")
    ap.add_argument("--cold-duration", type=float, metavar="S",
                    help="audio duration for the cold calls; default 300 s, 30 s with --quick")
    ap.add_argument("--blas-threads", type=int, metavar="N",
                    help="limit BLAS threads (threadpoolctl) for the whole run; default: "
                         "leave NumPy's BLAS as it is")
    opts = ap.parse_args(argv)

    if opts.list:
        for w in WORKLOADS:
            print(f"{w.name:22s} {w.note}")
        return 0

    if opts.durations:
        durations = [float(d) for d in opts.durations.split(",") if d]
    else:
        durations = [10.0, 30.0] if opts.quick else [30.0, 180.0, 600.0]
    settings = Settings(opts.quick)
    selected = WORKLOADS
    if opts.only:
        selected = [w for w in WORKLOADS if any(fnmatch.fnmatch(w.name, p) for p in opts.only)]
        if not selected and opts.only != ["cold"]:
            ap.error("no workload matches --only")

    if opts.blas_threads:
        try:
            from threadpoolctl import threadpool_limits
        except ImportError:
            ap.error("--blas-threads needs threadpoolctl")
        # Kept referenced for the whole run; the limit lifts when it is collected.
        opts._limiter = threadpool_limits(limits=opts.blas_threads, user_api="blas")
    info = machine_info()
    info["load"] = [f"{os.getloadavg()[0]:.2f}"]
    print_machine(info)
    missing = [f"{m}.{n}" for m, names in EXPORTS.items() for n in names
               if isinstance(kfun(m, n), _Missing)]
    if missing:
        print("korvel does not have yet: " + ", ".join(missing))
    print(f"durations: {', '.join(f'{d:g} s' for d in durations)};"
          f" {'quick' if opts.quick else 'full'} mode\n")

    t_start = time.perf_counter()
    all_results = {w.name: {} for w in selected}
    errors = []

    def run(w, inp, dur):
        t0 = time.perf_counter()
        res = measure(w.make(inp), settings, w.compare)
        all_results[w.name][dur] = res
        for c in CONTENDERS:
            st = res.get(c, {}).get("status", "")
            if st.startswith("error"):
                errors.append(f"{w.name} {'' if dur is None else f'{dur:g}s '}{c}: {st}")
        r = table_rows({w.name: {dur: res}})[0]
        print(f"  {w.name:20s} {r[1]:>5s}  korvel {r[2]:>10s}  baseline {r[4]:>10s}"
              f"  k/base {r[7]:>6s}  bits {r[10]:3s} ({time.perf_counter() - t0:.1f} s)",
              flush=True)

    for w in selected:
        if not w.sized:
            run(w, None, None)
    for dur in durations:
        inp = Inputs(dur)
        for w in selected:
            if w.sized and (w.max_duration is None or dur <= w.max_duration):
                run(w, inp, dur)
        del inp
        gc.collect()
    cold_procs = opts.cold if opts.cold is not None else (3 if opts.quick else 5)
    cold_dur = opts.cold_duration or (30.0 if opts.quick else 300.0)
    cold = {}
    if cold_procs > 0 and (not opts.only or opts.cold or opts.only == ["cold"]):
        print(f"  cold calls: {cold_dur:g} s of audio, {cold_procs} fresh processes each", flush=True)
        cold = measure_cold(cold_dur, cold_procs, blas_threads=opts.blas_threads)
    elapsed = time.perf_counter() - t_start
    info["load"].append(f"{os.getloadavg()[0]:.2f}")
    cpu_line = f"CPU: {info.get('cpu')} ({info.get('cpu_id', '?')})"

    rows = table_rows(all_results)
    print()
    print(cpu_line)
    print_table(rows)
    grows = growth_rows(all_results)
    if grows:
        print("\ncost-growth exponent (log-log slope of median time over "
              + ", ".join(f"{d:g}" for d in durations) + " s)")
        print_table(grows, header=["workload", "korvel", "baseline", "librosa"])
    trows = target_rows(all_results)
    if trows:
        print("\ntargets (180 s of audio where measured, else the longest duration run); " + cpu_line)
        print_table(trows, header=["workload", "at", "target", "value", "verdict"])
    crows = cold_rows(cold)
    if crows:
        print(f"\ncold calls: first call in a fresh process vs the median warm call, {cold_dur:g} s of"
              f" audio, median of {cold_procs} processes; " + cpu_line)
        print_table(crows, header=COLD_HEADER)
    notes = [w for w in selected if w.note]
    print("\nnotes:")
    for w in notes:
        print(f"  {w.name}: {w.note}")
    few = [(n, d, c, r["n"]) for n, pd in all_results.items() for d, res in pd.items()
           for c, r in res.items() if r.get("status") == "ok" and r["n"] < settings.min_rep]
    for n, d, c, k in few:
        print(f"  {n} {'' if d is None else f'{d:g}s'} {c}: only {k} timed call(s)"
              f" (capped at {settings.cap:g} s per contender)")
    for e in errors:
        print("  " + e)
    print(f"\ntotal {elapsed:.1f} s")

    if opts.markdown:
        md = ["## Machine", "", "```"]
        import io
        buf = io.StringIO()
        old, sys.stdout = sys.stdout, buf
        try:
            print_machine(info)
        finally:
            sys.stdout = old
        md += [buf.getvalue().rstrip(), "```", "", "## Times", "", cpu_line, "", markdown_table(rows)]
        if grows:
            md += ["", "## Cost-growth exponents", "", cpu_line, "",
                   markdown_table(grows, ["workload", "korvel", "baseline", "librosa"])]
        if trows:
            md += ["", "## Targets", "", cpu_line, "",
                   markdown_table(trows, ["workload", "at", "target", "value", "verdict"])]
        if crows:
            md += ["", "## Cold calls", "",
                   f"{cpu_line}; {cold_dur:g} s of audio, median of {cold_procs} fresh processes", "",
                   markdown_table(crows, COLD_HEADER)]
        Path(opts.markdown).write_text("\n".join(md) + "\n")
    if opts.json:
        def key(d):
            return "fixed" if d is None else f"{d:g}"
        Path(opts.json).write_text(json.dumps(
            {"machine": info, "durations": durations, "elapsed": elapsed,
             "results": {n: {key(d): r for d, r in pd.items()} for n, pd in all_results.items()},
             "cold": cold},
            indent=1, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
