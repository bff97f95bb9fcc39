"""Synthetic test audio shared by several test modules: click and pulse trains, a drum kit."""

import numpy as np


def noise_floor(rng, level, seconds, fs):
    """White noise `seconds` long, of standard deviation `level`."""
    return level * rng.standard_normal(int(seconds * fs))


def decay(seconds, tau, fs):
    """An exponential decay `seconds` long with time constant `tau` seconds."""
    return np.exp(-np.arange(int(seconds * fs)) / (tau * fs))


def scaled_to(peak, x):
    """`x` scaled so that its largest magnitude is `peak`."""
    return peak * x / np.max(np.abs(x))


def pulse_train(bpm, fs, seconds, channels=1, seed=0):
    """Noise bursts on every beat, louder on every other one: a plain,
    unambiguous beat whose double tempo lies above the default search range."""
    rng = np.random.default_rng(seed)
    x = noise_floor(rng, 0.01, seconds, fs)
    env = decay(0.04, 0.008, fs)
    for i, t in enumerate(np.arange(0.3, seconds - 0.1, 60.0 / bpm)):
        start = int(t * fs)
        seg = slice(start, min(len(x), start + len(env)))
        gain = 0.8 if i % 2 == 0 else 0.5
        x[seg] += gain * env[: seg.stop - seg.start] * rng.uniform(-1, 1, seg.stop - seg.start)
    if channels == 1:
        return x
    return np.stack([x * (1.0 - 0.3 * c) for c in range(channels)], axis=1)


def drum_kit(rng, fs, seconds, noise, sound_seconds, kick, hat_decay, hat_gain):
    """A noise floor `seconds` long, and a kick and a hi-hat `sound_seconds` long
    to lay on it.  `kick` is (low Hz, sweep Hz, sweep decay, decay): a sine
    gliding down from low + sweep to low; the hat is differenced white noise.
    Draws from `rng` in that order: floor, hat."""
    low, sweep, sweep_decay, decay = kick
    floor = noise_floor(rng, noise, seconds, fs)
    t = np.arange(int(sound_seconds * fs)) / fs
    kick_snd = np.sin(2 * np.pi * np.cumsum(low + sweep * np.exp(-t * sweep_decay)) / fs) * np.exp(-t * decay)
    hat = np.diff(rng.standard_normal(len(t) + 1)) * np.exp(-t * hat_decay) * hat_gain
    return floor, kick_snd, hat


def lay(out, sound, when, gain, fs):
    """Adds `sound` times `gain` into `out` from `when` seconds on, cut off
    at the end of `out`."""
    s = int(round(when * fs))
    if s < len(out):
        out[s:s + len(sound)] += sound[:len(out) - s] * gain


def click_train(bpm, fs, seconds, start, width):
    """Unit rectangles `width` samples long on every beat from `start` seconds
    to a tenth of a second before the end."""
    x = np.zeros(int(seconds * fs))
    for t in np.arange(start, seconds - 0.1, 60.0 / bpm):
        x[int(t * fs):int(t * fs) + width] = 1.0
    return x
