"""The report page's audio: the signal as Ogg Vorbis within a byte budget,
and the waveform envelope, both read block by block in one pass.

A page holds its audio as base64 Ogg Vorbis (mono, at a rate that keeps it
near :data:`AUDIO_BYTES_PER_SECOND`); the envelope is the minimum and
maximum of every 1/:data:`ENVELOPE_RATE` s as signed bytes of the peak.
"""

from __future__ import annotations

import io
from typing import Any, Callable, Iterator

import numpy as np
import numpy.typing as npt

from .._errors import need

ENVELOPE_RATE = 200
"""Waveform envelope columns per second: 5 ms each, finer than a beat's attack."""
AUDIO_BYTES_PER_SECOND = 24_000
"""Budget of the embedded audio, and of the whole page beyond a fixed allowance."""
AUDIO_RATES = (22050, 16000, 11025, 8000)
"""Rates the audio is resampled to when the original rate would not fit the budget."""


# ------------------------------------------------------------------ audio

Blocks = Callable[[], Iterator[npt.NDArray[np.float64]]]
"""A source of the mono signal: each call starts a new pass over it, block by block."""

BLOCK = 1 << 16


def array_blocks(mono: npt.NDArray[np.floating[Any]]) -> Blocks:
    """The blocks of a signal in memory."""
    def blocks() -> Iterator[npt.NDArray[np.float64]]:
        for k in range(0, len(mono), BLOCK):
            yield np.asarray(mono[k:k + BLOCK], dtype=np.float64)
    return blocks


def file_blocks(path: str) -> Blocks:
    """The mono mix of an audio file, decoded a block at a time: a page of
    an hour-long file never holds its samples whole."""
    sf = need("soundfile", "the report page's audio", "cli")

    def blocks() -> Iterator[npt.NDArray[np.float64]]:
        from ..audio_io import _quiet_native_stderr

        # The file was read once already; its decoder's notes were silenced then too.
        with _quiet_native_stderr(), sf.SoundFile(path) as fh:
            for block in fh.blocks(BLOCK, dtype="float32", always_2d=True):
                yield block.mean(axis=1, dtype=np.float64)
    return blocks


class Resampler:
    """A signal pushed block by block, given back at ``new_rate`` (below
    ``rate``), low-passed first.

    A windowed-sinc filter cut at 0.45 of the new rate, then linear
    interpolation onto the new grid: enough for listening to the beats, and
    in time with the original to a sample.
    """

    TAPS = 129

    def __init__(self, rate: float, new_rate: int) -> None:
        cutoff = 0.45 * new_rate / rate  # in cycles per input sample
        k = np.arange(self.TAPS) - (self.TAPS - 1) / 2
        h = 2 * cutoff * np.sinc(2 * cutoff * k) * np.blackman(self.TAPS)
        self.h = h / h.sum()
        self.step = rate / new_rate
        self.delay = (self.TAPS - 1) // 2
        # Input held back: the filter's history, and what the next output sample needs.
        self.held = np.zeros(self.delay)
        self.start = -self.delay  # index in the input of held[0]
        self.produced = 0

    def push(self, x: npt.NDArray[np.float64], last: bool = False) -> npt.NDArray[np.float32]:
        data = np.concatenate((self.held, x, np.zeros(self.delay) if last else np.zeros(0)))
        if len(data) < self.TAPS:
            self.held = data
            return np.zeros(0, np.float32)
        # filtered[i] is the low-passed input at index self.start + self.delay + i.
        filtered = np.convolve(data, self.h[::-1], mode="valid")
        first = self.start + self.delay
        end = first + len(filtered) - 1  # the last input index the filter covers
        # Output sample j lies at input index j * step.
        count = max(0, int(np.floor(end / self.step)) + 1 - self.produced)
        src = (self.produced + np.arange(count)) * self.step - first
        at = np.interp(src, np.arange(len(filtered)), filtered)
        out: npt.NDArray[np.float32] = np.asarray(at, dtype=np.float32)
        self.produced += count
        keep = self.TAPS - 1
        self.held = data[-keep:]
        self.start += len(data) - keep
        return out


def resample(x: npt.NDArray[np.float64], rate: float, new_rate: int) -> npt.NDArray[np.float32]:
    """``x`` at ``new_rate`` (see :class:`Resampler`), ``len(x) * new_rate / rate`` samples."""
    if new_rate >= rate:
        return np.asarray(x, dtype=np.float32)
    r = Resampler(rate, new_rate)
    parts = [r.push(np.asarray(x[k:k + BLOCK], dtype=np.float64)) for k in range(0, len(x), BLOCK)]
    parts.append(r.push(np.zeros(0), last=True))
    return np.concatenate(parts)


class EnvelopeBuilder:
    """Minimum and maximum of every 1/``rate`` s of a signal pushed block by block."""

    def __init__(self, sample_rate: int, rate: int = ENVELOPE_RATE) -> None:
        self.sample_rate, self.rate = sample_rate, rate
        self.pos = 0
        self.lo: list[npt.NDArray[np.float64]] = []
        self.hi: list[npt.NDArray[np.float64]] = []
        self.last = -1  # the column the last block ended in

    def push(self, x: npt.NDArray[np.float64]) -> None:
        if len(x) == 0:
            return
        # Sample i belongs to column i * rate // sample_rate.
        col = ((self.pos + np.arange(len(x), dtype=np.int64)) * self.rate) // self.sample_rate
        starts = np.concatenate(([0], np.flatnonzero(np.diff(col)) + 1))
        lo = np.minimum.reduceat(x, starts)
        hi = np.maximum.reduceat(x, starts)
        if col[0] == self.last:  # the first column goes on from the last block
            self.lo[-1][-1] = min(self.lo[-1][-1], lo[0])
            self.hi[-1][-1] = max(self.hi[-1][-1], hi[0])
            lo, hi = lo[1:], hi[1:]
        self.lo.append(lo)
        self.hi.append(hi)
        self.last = int(col[-1])
        self.pos += len(x)

    def result(self) -> tuple[npt.NDArray[np.int8], npt.NDArray[np.int8], float]:
        """The columns as signed bytes of the peak, and that peak."""
        if not self.lo:
            return np.zeros(0, np.int8), np.zeros(0, np.int8), 0.0
        lo, hi = np.concatenate(self.lo), np.concatenate(self.hi)
        peak = float(max(np.max(np.abs(lo)), np.max(np.abs(hi))))
        scale = 127.0 / peak if peak > 0 else 0.0
        return np.round(lo * scale).astype(np.int8), np.round(hi * scale).astype(np.int8), peak


def envelope_bytes(mono: npt.NDArray[np.floating[Any]], sample_rate: int,
                   rate: int = ENVELOPE_RATE) -> tuple[npt.NDArray[np.int8], npt.NDArray[np.int8], float]:
    """Minimum and maximum of every 1/``rate`` s of ``mono`` as signed bytes
    of the peak, and that peak."""
    env = EnvelopeBuilder(sample_rate, rate)
    for block in array_blocks(mono)():
        env.push(block)
    return env.result()


def _encode(blocks: Blocks, sample_rate: int, rate: int, quality: float, gain: float,
            envelope: EnvelopeBuilder | None) -> tuple[bytes, int]:
    """One pass: the source as Ogg Vorbis at ``rate`` (and its envelope, if
    asked for); returns the bytes and the number of samples read."""
    sf = need("soundfile", "the report page's audio", "cli")
    buf = io.BytesIO()
    resampler = Resampler(sample_rate, rate) if rate < sample_rate else None
    count = 0
    with sf.SoundFile(buf, "w", rate, 1, format="OGG", subtype="VORBIS",
                      compression_level=quality) as fh:

        def write(samples: npt.NDArray[Any]) -> None:
            # A second at a time: the Vorbis encoder behind libsndfile
            # crashes on very large single writes.  Beyond full scale is cut.
            samples = np.clip(samples * gain, -1.0, 1.0).astype(np.float32)
            for k in range(0, len(samples), rate):
                fh.write(samples[k:k + rate])

        for block in blocks():
            count += len(block)
            if envelope is not None:
                envelope.push(block)
            write(resampler.push(block) if resampler is not None else block)
        if resampler is not None:
            write(resampler.push(np.zeros(0), last=True))
    return buf.getvalue(), count


def encode_audio(mono: npt.NDArray[np.floating[Any]] | Blocks, sample_rate: int,
                 budget: int = AUDIO_BYTES_PER_SECOND,
                 envelope: EnvelopeBuilder | None = None) -> tuple[bytes, int]:
    """The signal (an array, or :data:`Blocks`) as Ogg Vorbis bytes within
    about ``budget`` bytes per second, and the rate it was stored at; the
    rate is lowered only when the original does not fit.  ``envelope``, if
    given, is filled on the first pass over the signal."""
    gain = 1.0
    if isinstance(mono, np.ndarray):
        # Vorbis takes samples up to full scale; louder input is scaled down whole.
        peak = float(np.max(np.abs(mono))) if len(mono) else 0.0
        gain = 1.0 / peak if peak > 1.0 else 1.0
        blocks = array_blocks(mono)
    else:
        blocks = mono
    # Vorbis above 48 kHz spends its bits on what no one checks beats by.
    rates = [r for r in (min(sample_rate, 48000), *AUDIO_RATES) if r <= min(sample_rate, 48000)]
    rates = sorted(set(rates), reverse=True)
    data = b""
    for rate in rates:
        for quality in (0.3, 0.7):  # libsndfile's compression level: 0 best quality, 1 smallest
            data, count = _encode(blocks, sample_rate, rate, quality, gain, envelope)
            envelope = None  # filled once
            if len(data) <= budget * max(count / sample_rate, 1.0):
                return data, rate
    return data, rates[-1]
