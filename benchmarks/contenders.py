"""The contenders of the benchmark and its inputs: korvel's functions (as
the installed build has them), their forced reference paths, librosa when
it is installed, and the audio, novelty curve and tempograms of a duration."""

import sys
import types
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))  # the transcription and the catalogue live in tests/

import audio  # noqa: E402
from _catalogue import CATALOGUE  # noqa: E402
from reference import transcription as baseline  # noqa: E402

FS = audio.FS
# The functions of each module, as the catalogue has them.
EXPORTS = {m: tuple(fn.name for fn in CATALOGUE if fn.module == f"korvel.{m}")
           for m in ("sonix", "pulsix")}
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
