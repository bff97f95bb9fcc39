"""Deterministic, music-like test audio for the benchmark.

A drum pattern (kick, snare, hi-hat) whose tempo drifts slowly around
120 BPM, a sequence of harmonic notes and chords that change with the beat,
and a little broadband noise.  Everything is drawn from one seeded
generator, so the same (duration, seed) always gives the same samples on
every machine with the same NumPy.  The point is to give the rhythm
functions realistic material: onsets of varying strength, a tempo that is
not constant, and tonal energy between the beats.
"""

import numpy as np

FS = 22050


def tempo_curve(t, base_bpm=120.0):
    """Tempo in BPM at times ``t`` (seconds): two slow, incommensurate drifts."""
    return base_bpm + 6.0 * np.sin(2 * np.pi * t / 47.0) + 3.0 * np.sin(2 * np.pi * t / 131.0 + 1.0)


def beat_times(duration, base_bpm=120.0):
    """Times (seconds) of the beats of the drifting tempo within ``duration``."""
    # Integrate beats per second on a fine grid and read off the integer crossings.
    grid = np.arange(0.0, duration + 1.0, 0.001)
    phase = np.cumsum(tempo_curve(grid, base_bpm) / 60.0) * 0.001
    n_beats = int(np.floor(np.interp(duration, grid, phase)))
    return np.interp(np.arange(n_beats), phase, grid)


def beat_samples(duration, fs=FS, base_bpm=120.0):
    """Beat positions in samples (int64) within ``duration`` seconds."""
    return np.round(beat_times(duration, base_bpm) * fs).astype(np.int64)


def _kick(fs, rng):
    n = int(0.25 * fs)
    t = np.arange(n) / fs
    # A falling pitch sweep with a fast decay, as a bass drum sounds.
    freq = 45.0 + 90.0 * np.exp(-t * 30.0)
    phase = 2 * np.pi * np.cumsum(freq) / fs
    return np.sin(phase) * np.exp(-t * 14.0)


def _snare(fs, rng):
    n = int(0.18 * fs)
    t = np.arange(n) / fs
    body = 0.5 * np.sin(2 * np.pi * 185.0 * t) * np.exp(-t * 30.0)
    rattle = rng.standard_normal(n) * np.exp(-t * 22.0)
    return 0.7 * (body + 0.6 * rattle)


def _hihat(fs, rng):
    n = int(0.05 * fs)
    t = np.arange(n) / fs
    noise = rng.standard_normal(n)
    # First difference pushes the energy up to the top of the band.
    bright = np.concatenate(([0.0], np.diff(noise)))
    return 0.15 * bright * np.exp(-t * 90.0)


def _note(freq, n, fs, rng):
    t = np.arange(n) / fs
    tone = np.zeros(n)
    for h in range(1, 6):
        if freq * h >= fs / 2:
            break
        tone += (0.6 ** (h - 1)) * np.sin(2 * np.pi * freq * h * t + rng.uniform(0, 2 * np.pi))
    attack = np.minimum(t / 0.01, 1.0)
    return tone * attack * np.exp(-t * 2.5)


def _add(out, start, snd, gain):
    end = min(start + len(snd), len(out))
    if start < end:
        out[start:end] += gain * snd[:end - start]


def make_audio(duration, fs=FS, seed=0):
    """``duration`` seconds of synthetic music at ``fs`` Hz, float64, peak about 0.9."""
    rng = np.random.default_rng(seed)
    n = int(round(duration * fs))
    out = np.zeros(n)
    beats = beat_samples(duration, fs)
    kick, snare = _kick(fs, rng), _snare(fs, rng)
    hats = [_hihat(fs, rng) for _ in range(4)]

    # Drums: kick on 1 and 3, snare on 2 and 4, hi-hat on every eighth note,
    # with small random dynamics and the odd ghost note.
    for i, b in enumerate(beats):
        bar_pos = i % 4
        if bar_pos in (0, 2):
            _add(out, b, kick, 0.9 + 0.1 * rng.uniform())
        else:
            _add(out, b, snare, 0.6 + 0.15 * rng.uniform())
        if rng.uniform() < 0.1:
            ghost = b + int(0.75 * (beats[i + 1] - b)) if i + 1 < len(beats) else b
            _add(out, ghost, kick, 0.35)
        _add(out, b, hats[i % 4], 0.8 + 0.2 * rng.uniform())
        if i + 1 < len(beats):
            _add(out, (b + beats[i + 1]) // 2, hats[(i + 2) % 4], 0.5 + 0.2 * rng.uniform())

    # Harmony: a chord of three notes every two beats from a fixed progression,
    # plus a melody note on most beats.
    roots = [57, 53, 60, 55]  # MIDI numbers: A3, F3, C4, G3
    major, minor = (0, 4, 7), (0, 3, 7)
    for i in range(0, len(beats), 2):
        root = roots[(i // 8) % len(roots)]
        chord = minor if root == 57 else major
        end = beats[i + 2] if i + 2 < len(beats) else n
        length = min(end - beats[i], n - beats[i])
        for step in chord:
            f = 440.0 * 2.0 ** ((root + step - 69) / 12.0)
            _add(out, beats[i], _note(f, length, fs, rng), 0.08)
    scale = np.array([0, 2, 3, 5, 7, 8, 10, 12])
    for i in range(len(beats) - 1):
        if rng.uniform() < 0.8:
            pitch = 69 + scale[rng.integers(len(scale))]
            f = 440.0 * 2.0 ** ((pitch - 69) / 12.0)
            _add(out, beats[i], _note(f, beats[i + 1] - beats[i], fs, rng), 0.12)

    out += 0.01 * rng.standard_normal(n)
    peak = np.max(np.abs(out))
    if peak > 0:
        out *= 0.9 / peak
    return out


if __name__ == "__main__":
    import time

    t0 = time.perf_counter()
    x = make_audio(30.0)
    print(f"30 s: {len(x)} samples, {time.perf_counter() - t0:.2f} s to make, "
          f"rms {np.sqrt(np.mean(x ** 2)):.3f}, beats {len(beat_times(30.0))}")
