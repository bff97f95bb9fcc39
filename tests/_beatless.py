"""Audio without a steady beat, and music in three, for the road's tests.

Each generator takes a seed and a length in seconds and returns float64
samples at FS.  The kinds are those a collection holds beside music: noise,
sounds at random times, a swell, a single sound, speech, applause.
"""

import numpy as np

from _audio import decay, lay, noise_floor, scaled_to

FS = 22050


def _kick(fs=FS):
    t = np.arange(int(0.25 * fs)) / fs
    return np.sin(2 * np.pi * np.cumsum(45 + 110 * np.exp(-t * 30)) / fs) * np.exp(-t * 10)


def _seeded_floor(seed, level, seconds):
    """A generator seeded with ``seed``, and the noise floor drawn from it first."""
    rng = np.random.default_rng(seed)
    return rng, noise_floor(rng, level, seconds, FS)


def pink_noise(seed, seconds):
    """Stationary noise with a 1/f spectrum."""
    rng = np.random.default_rng(seed)
    n = int(seconds * FS)
    spec = np.fft.rfft(rng.standard_normal(n))
    k = np.arange(len(spec), dtype=float)
    k[0] = 1.0
    x = np.fft.irfft(spec / np.sqrt(k), n)
    return scaled_to(0.3, x)


def random_hits(seed, seconds, rate=2.0):
    """Kicks at the times of a Poisson process (``rate`` per second)."""
    rng, x = _seeded_floor(seed, 0.001, seconds)
    t = 0.1
    while True:
        t += rng.exponential(1.0 / rate)
        if t > seconds - 0.1:
            return x
        lay(x, _kick(), t, 0.5 + 0.5 * rng.random(), FS)


def swell(seed, seconds):
    """A four-note chord growing from silence (amplitude rising as t^2)."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * FS)) / FS
    chord = sum(np.sin(2 * np.pi * f * t + rng.random() * 6) for f in (220.0, 277.2, 329.6, 440.0))
    return 0.2 * chord * (t / seconds) ** 2 + 0.0005 * rng.standard_normal(len(t))


def single_hit(seed, seconds):
    """One kick in near silence."""
    _, x = _seeded_floor(seed, 0.0005, seconds)
    lay(x, _kick(), 0.4 * seconds, 0.8, FS)
    return x


def hit_burst(seed, seconds, hits=3, bpm=150.0):
    """A few kicks in a row, evenly spaced, in near silence: regular, but over
    less than two beats of the slowest tempo."""
    _, x = _seeded_floor(seed, 0.0005, seconds)
    for i in range(hits):
        lay(x, _kick(), 0.4 * seconds + i * 60.0 / bpm, 0.8, FS)
    return x


def speech_like(seed, seconds):
    """Syllables of 0.1-0.25 s (a voiced tone with a gliding pitch, some with
    noise), a little apart at random, with the odd pause between phrases."""
    rng = np.random.default_rng(seed)
    n = int(seconds * FS)
    x = np.zeros(n)
    t = 0.2
    while t < seconds - 0.5:
        d = rng.uniform(0.1, 0.25)
        tt = np.arange(int(d * FS)) / FS
        f0 = rng.uniform(100, 180) * (1 + 0.1 * np.sin(2 * np.pi * rng.uniform(1, 4) * tt))
        phase = 2 * np.pi * np.cumsum(f0) / FS
        env = np.sin(np.pi * tt / d) ** 2
        syl = sum(np.sin(h * phase) / h for h in range(1, 12)) * env
        if rng.random() < 0.3:
            syl += 0.3 * rng.standard_normal(len(tt)) * env
        lay(x, syl, t, rng.uniform(0.3, 1.0), FS)
        t += d + rng.exponential(0.05) + (rng.uniform(0.25, 0.7) if rng.random() < 0.12 else 0.0)
    return scaled_to(0.3, x) + 0.001 * rng.standard_normal(n)


def applause_like(seed, seconds):
    """Forty short claps a second at random times over a noise floor."""
    rng, x = _seeded_floor(seed, 0.01, seconds)
    env = decay(0.02, 0.003, FS)
    for t in rng.uniform(0, seconds, int(40 * seconds)):
        lay(x, np.diff(rng.standard_normal(len(env) + 1)) * env, t, rng.uniform(0.2, 1.0), FS)
    return scaled_to(0.5, x)


def short_music(seed, seconds, bpm=126.0):
    """Kicks on the eighths at ``bpm``: music, but ``seconds`` may be too short."""
    _, x = _seeded_floor(seed, 0.002, seconds)
    for t in np.arange(0.05, seconds, 30.0 / bpm):
        lay(x, _kick(), t, 1.0, FS)
    return x


def _kit(rng):
    t = np.arange(int(0.25 * FS)) / FS
    kick = _kick() + rng.standard_normal(len(t)) * np.exp(-t * 400)
    hat = np.diff(rng.standard_normal(len(t) + 1)) * np.exp(-t * 90) * 0.35
    snare = rng.standard_normal(len(t)) * np.exp(-t * 25) * 0.5
    return kick, hat, snare


def _kit_over_floor(seed, seconds):
    """The kit of a generator seeded with ``seed``, and a quiet noise floor
    ``seconds`` long drawn from it next: what the pieces below play on."""
    rng = np.random.default_rng(seed)
    kit = _kit(rng)
    return kit, noise_floor(rng, 0.002, seconds, FS)


def waltz(bpm, seconds=12.0, seed=0):
    """3/4: a kick on the first beat of the bar, a snare on the other two, a
    hi-hat on every beat."""
    (kick, hat, snare), out = _kit_over_floor(seed, seconds)
    for i, t in enumerate(np.arange(0.3, seconds - 0.2, 60.0 / bpm)):
        lay(out, kick if i % 3 == 0 else snare, t, 1.0 if i % 3 == 0 else 0.4, FS)
        lay(out, hat, t, 0.3, FS)
    return out / np.max(np.abs(out)) * 0.9


def six_eight(bpm, seconds=12.0, seed=0):
    """6/8 with its beat (a dotted quarter) at ``bpm``: hi-hats on every eighth,
    louder on the beats, a kick on the first beat of the bar, a snare on the
    second."""
    (kick, hat, snare), out = _kit_over_floor(seed, seconds)
    for i, t in enumerate(np.arange(0.3, seconds - 0.2, 20.0 / bpm)):
        if i % 6 == 0:
            lay(out, kick, t, 1.0, FS)
        if i % 6 == 3:
            lay(out, snare, t, 0.8, FS)
        lay(out, hat, t, 0.35 if i % 3 == 0 else 0.2, FS)
    return out / np.max(np.abs(out)) * 0.9


def accelerando(bpm0, bpm1, seconds, seed=0):
    """A kick on every beat and a hi-hat between, the tempo rising linearly in
    time from ``bpm0`` to ``bpm1``; returns the samples and the beat times."""
    (kick, hat, _), out = _kit_over_floor(seed, seconds)
    beats = []
    t = 0.3
    while t < seconds - 0.2:
        beats.append(t)
        bpm = bpm0 + (bpm1 - bpm0) * t / seconds
        lay(out, kick, t, 1.0, FS)
        lay(out, hat, t + 30.0 / bpm, 0.3, FS)
        t += 60.0 / bpm
    return out / np.max(np.abs(out)) * 0.9, np.array(beats)


def _band(rng):
    """A kick, a snare, two bass notes (low sines) and a three-note chord."""
    t = np.arange(int(0.3 * FS)) / FS
    snare = rng.standard_normal(len(t)) * np.exp(-t * 25) * 0.5
    chord = sum(np.sin(2 * np.pi * f * t) for f in (392.0, 494.0, 587.0)) * np.exp(-t * 20) * 0.3
    chord[:44] *= np.linspace(0.0, 1.0, 44)
    return {"kick": _kick(), "snare": snare, "chord": chord,
            "low": np.sin(2 * np.pi * 55.0 * t) * np.exp(-t * 8) * 0.8,
            "high": np.sin(2 * np.pi * 82.0 * t) * np.exp(-t * 8) * 0.8}


BARS = {
    # a bass note on beats 1 and 3 (two pitches), a chord and a soft snare on 2 and 4
    "boom-chick": [(0, "low", 1.0), (1, "chord", 1.0), (1, "snare", 0.5), (2, "high", 1.0),
                   (3, "chord", 1.0), (3, "snare", 0.5)],
    "kick and snare": [(0, "kick", 1.0), (1, "snare", 1.0), (2, "kick", 1.0), (3, "snare", 1.0)],
    # bass notes on 1 and 3, chords on every off-beat
    "off-beat chords": [(0, "low", 1.0), (2, "low", 1.0)] + [(b + 0.5, "chord", 1.0) for b in range(4)],
    "walking bass": [(0, "low", 1.0), (1, "high", 0.8), (2, "low", 0.9), (3, "high", 0.8)],
}
"""Bars of four beats: (beat, sound, gain) of each event."""


def played(bar, bpm, seconds=14.0, seed=0, floor=0.002, drift=0.0, jitter=0.0):
    """The bar of BARS named ``bar`` played over and over at ``bpm`` over a
    noise floor of standard deviation ``floor``, as a player would: the tempo
    swaying by ``drift`` (a fraction of it, over 8 s) and every event off the
    beat by a normal error of ``jitter`` beats."""
    rng = np.random.default_rng(seed)
    sounds = _band(rng)
    out = noise_floor(rng, floor, seconds, FS)
    beat = 60.0 / bpm
    times = [0.31]
    while times[-1] < seconds:
        times.append(times[-1] + beat * (1.0 + drift * np.sin(2 * np.pi * times[-1] / 8.0)))
    for first in range(0, len(times) - 1, 4):
        for pos, name, gain in BARS[bar]:
            k = first + int(pos)
            if k + 1 < len(times):
                when = times[k] + (pos - int(pos)) * (times[k + 1] - times[k]) + jitter * beat * rng.standard_normal()
                lay(out, sounds[name], max(0.0, when), gain * (0.9 + 0.1 * rng.random()), FS)
    return out / np.max(np.abs(out)) * 0.9
