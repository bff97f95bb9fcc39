"""A built-in demo clip: a short groove of drums and notes at a known tempo.

The clip is synthesised in code, so the command-line tool and the examples can
run without any audio file.  Everything is derived from a fixed seed, so the
same call always returns the same samples.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["DEMO_BPM", "DEMO_SAMPLE_RATE", "DemoClip", "demo_clip"]

DEMO_BPM = 120.0
DEMO_SAMPLE_RATE = 22050
DEMO_BARS = 4
_LEAD_IN = 0.25  # seconds of silence before the first beat
_TAIL = 0.5  # seconds after the last bar, so the last notes can ring out

# A two-bar bass line in eighth notes and a four-bar melody in quarter notes,
# as MIDI pitches (None: rest).
_BASS = [45, None, 45, 52, 43, None, 43, 50, 41, None, 41, 48, 43, None, 47, 50]
_MELODY = [76, 72, 74, 79, 77, 72, 74, 71, 76, 79, 81, 79, 77, 74, 71, 72]


@dataclass(frozen=True)
class DemoClip:
    """The demo signal together with what it was made of."""

    samples: npt.NDArray[np.float64]
    """Mono signal, peak 0.9."""
    sample_rate: int
    bpm: float
    beat_times: npt.NDArray[np.float64]
    """Where the beats were placed, in seconds from the start."""

    @property
    def duration(self) -> float:
        return len(self.samples) / self.sample_rate

    def describe(self) -> str:
        return (
            f"built-in demo clip: drums and notes at {self.bpm:g} BPM, "
            f"{self.duration:.2f} s, {self.sample_rate} Hz"
        )


def _pitch_to_freq(pitch: float) -> float:
    return float(440.0 * 2.0 ** ((pitch - 69) / 12))


def _add(out: npt.NDArray[np.float64], start: int, sound: npt.NDArray[np.float64]) -> None:
    end = min(len(out), start + len(sound))
    if end > start:
        out[start:end] += sound[: end - start]


def _kick(fs: int) -> npt.NDArray[np.float64]:
    t = np.arange(int(0.35 * fs)) / fs
    # Pitch glides down from about 150 Hz to 50 Hz: the phase is the integral
    # of the instantaneous frequency.
    freq = 50.0 + 100.0 * np.exp(-t / 0.03)
    phase = 2 * np.pi * np.cumsum(freq) / fs
    return np.sin(phase) * np.exp(-t / 0.12)


def _snare(fs: int, rng: np.random.Generator) -> npt.NDArray[np.float64]:
    t = np.arange(int(0.25 * fs)) / fs
    noise = rng.uniform(-1.0, 1.0, len(t)) * np.exp(-t / 0.05)
    body = 0.5 * np.sin(2 * np.pi * 190.0 * t) * np.exp(-t / 0.04)
    return 0.6 * (noise + body)


def _hihat(fs: int, rng: np.random.Generator) -> npt.NDArray[np.float64]:
    t = np.arange(int(0.06 * fs)) / fs
    noise = rng.uniform(-1.0, 1.0, len(t))
    # A first difference tilts the noise towards high frequencies.
    bright = np.diff(noise, prepend=0.0)
    return 0.15 * bright * np.exp(-t / 0.012)


def _tone(fs: int, pitch: float, length: float, decay: float) -> npt.NDArray[np.float64]:
    t = np.arange(int(length * fs)) / fs
    f0 = _pitch_to_freq(pitch)
    sig = np.zeros_like(t)
    for k, amp in enumerate((1.0, 0.5, 0.25, 0.125), start=1):
        if k * f0 < fs / 2:
            sig += amp * np.sin(2 * np.pi * k * f0 * t)
    attack = np.minimum(1.0, t / 0.005)
    return sig * attack * np.exp(-t / decay)


def demo_clip(
    bpm: float = DEMO_BPM,
    sample_rate: int = DEMO_SAMPLE_RATE,
    bars: int = DEMO_BARS,
    seed: int = 7,
) -> DemoClip:
    """Synthesise ``bars`` bars of 4/4 at ``bpm``: kick on beats 1 and 3, snare on 2
    and 4, hi-hat on every eighth note, a bass line and a melody.

    The result is the same for the same arguments.
    """
    if not bpm > 0 or sample_rate <= 0 or bars <= 0:
        raise ValueError("bpm, sample_rate and bars must be positive")
    fs = int(sample_rate)
    rng = np.random.default_rng(seed)
    beat = 60.0 / bpm
    num_beats = 4 * bars
    beat_times = np.asarray(_LEAD_IN + beat * np.arange(num_beats), dtype=np.float64)
    out = np.zeros(int(round((_LEAD_IN + num_beats * beat + _TAIL) * fs)))

    kick = _kick(fs)
    snare = _snare(fs, rng)
    hihat = _hihat(fs, rng)
    for i, t0 in enumerate(beat_times):
        pos = int(round(t0 * fs))
        _add(out, pos, 0.9 * kick if i % 2 == 0 else snare)
        _add(out, pos, 0.15 * _tone(fs, _MELODY[i % len(_MELODY)], beat, 0.2))

    eighths = _LEAD_IN + beat / 2 * np.arange(2 * num_beats)
    for i, t0 in enumerate(eighths):
        pos = int(round(t0 * fs))
        # Off-beat hats softer, as a drummer would play them.
        _add(out, pos, hihat if i % 2 == 0 else 0.4 * hihat)
        bass = _BASS[i % len(_BASS)]
        if bass is not None:
            _add(out, pos, 0.3 * _tone(fs, bass, 0.45 * beat, 0.15))

    out *= 0.9 / np.max(np.abs(out))
    return DemoClip(samples=out, sample_rate=fs, bpm=float(bpm), beat_times=beat_times)
