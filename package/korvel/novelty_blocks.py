"""The novelty curve and the bass onsets of a signal fed block by block.

:class:`NoveltyBlocks` keeps only what the later steps need: one novelty sum
and one low-frequency energy per STFT frame, and the few samples the next
frames share with the block before.  The steps that need the whole curve
(the novelty's local average and its normalisation) run on the finished
sums, so the curves are the very bits that ``pulsix.spectral_novelty`` and
``tempo_level.bass_onsets`` give for the whole signal, at any block size:

- the STFT frames are local: frame ``h`` of the whole signal is computed
  from the samples it spans, by the same ``sonix.stft_mag``;
- each frame's novelty sum adds the bins in the order NumPy's ``sum`` along
  the first axis adds them (row after row) -- never along a single column,
  which NumPy sums pairwise;
- the low-frequency energies keep the whole signal's running sum, carried
  from block to block.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from .framix import calc_num_frames
from .sonix import stft_mag
from .tempo_level import BASS_HZ

__all__ = ["NoveltyBlocks", "Values", "bass_onsets_in_place", "calc_frames", "finish_novelty"]

FRAMES_PER_CALL = 64
"""STFT frames computed at a time: the block's magnitudes (half a MB at 2048
samples) stay in the processor's cache from one pass to the next."""
def finish_novelty(spec_nov: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The whole-curve steps of ``pulsix.spectral_novelty`` on its per-frame
    sums, in place: subtract 102 % of the Hann-weighted local average of 9
    values, keep what is above, scale the maximum to 1."""
    win = np.hanning(9)
    win /= np.sum(win)
    la = np.convolve(spec_nov, win, mode="same")
    la *= 1.02
    spec_nov -= la
    del la
    spec_nov[spec_nov < 0] = 0
    spec_nov /= np.max(spec_nov)
    return spec_nov


def bass_onsets_in_place(frame: npt.NDArray[np.float64], n: int, gamma: float) -> npt.NDArray[np.float64]:
    """``tempo_level.bass_onsets_of_energy(frame, n, gamma)``, the same bits,
    with one curve-sized temporary instead of several: the compression is
    done in ``frame`` itself (which is overwritten), each step the same
    operation on the same values."""
    peak = float(np.max(frame))
    if not peak > 0:
        return np.zeros(n)
    np.divide(frame, peak, out=frame)
    np.multiply(frame, gamma, out=frame)
    np.add(frame, 1.0, out=frame)
    np.log10(frame, out=frame)
    rise = np.diff(frame)
    np.maximum(rise, 0.0, out=rise)
    top = float(np.max(rise))
    if top > 0:
        np.divide(rise, top, out=rise)
    return rise


class Values:
    """float64 values appended a block at a time into one array: sized once
    when the total is known beforehand, else grown by half when full (and
    trimmed when taken), so that a curve of a long track is one array,
    without a small array per block beside it."""

    def __init__(self, expected: int = 0) -> None:
        self._values = np.empty(max(0, expected))
        self.size = 0

    def append(self, values: npt.NDArray[np.float64]) -> None:
        end = self.size + len(values)
        if end > len(self._values):
            grown = np.empty(max(end, len(self._values) * 3 // 2, 1024))
            grown[:self.size] = self._values[:self.size]
            self._values = grown
        self._values[self.size:end] = values
        self.size = end

    def take(self) -> npt.NDArray[np.float64]:
        """The values appended (once: the array is handed over)."""
        values, self._values = self._values, np.empty(0)
        if len(values) != self.size:
            # Nothing else refers to the array: its tail is given back in place.
            values.resize(self.size, refcheck=False)
        self.size = 0
        return values


class NoveltyBlocks:
    """The novelty curve and the bass-onset energies of a signal fed in blocks.

    ``feed`` takes consecutive float64 blocks of any length; ``novelty`` and
    ``bass`` then give what ``pulsix.spectral_novelty`` and
    ``tempo_level.bass_onsets`` give for the whole signal, bit for bit.
    """

    def __init__(self, sample_rate: float, fft_len: int, hop: int, gamma: float, bass: bool = True,
                 expected_samples: int = 0) -> None:
        self.fft_len, self.hop, self.gamma = int(fft_len), int(hop), float(gamma)
        self.front = self.fft_len // 2
        # stft_mag centres its frames with fft_len // 2 zeros in front: the
        # first `lead` frames of a call that starts inside the signal see those
        # zeros and are computed only to be dropped.
        self.lead = -(-self.front // self.hop)
        # At least `lead` frames in the first call, so that later calls start
        # inside the signal; and few dropped frames per call.
        self._per_call = max(FRAMES_PER_CALL, 4 * self.lead)
        self.num_samples = 0
        self._buf = np.zeros(0)
        self._buf_pos = 0  # signal position of _buf[0]
        self._next = 0  # next STFT frame to compute
        self._prev: npt.NDArray[np.float64] | None = None  # log spectrum of frame _next - 1
        # The declared length, when known, sizes the curves once.
        frames = calc_frames(expected_samples, self.fft_len, self.hop) if expected_samples > 0 else 0
        self._sums = Values(frames - 1)
        self._bass = bass
        self._block = max(1, int(round(sample_rate / (2.0 * BASS_HZ))))
        self._rest = np.zeros(0)  # samples after the last whole group of _block
        self._energy = np.zeros(1)  # running energy sums from index _energy_pos on
        self._energy_pos = 0
        self._bass_next = 0  # next STFT frame whose low-frequency energy is due
        self._frame_energy = Values(frames if bass else 0)

    # ---- the spectral sums

    def feed(self, block: npt.NDArray[np.float64]) -> None:
        """Take the next samples of the signal (1-D float64)."""
        self.num_samples += len(block)
        # A copy either way: the caller may reuse the block's memory.
        self._buf = np.concatenate((self._buf, block)) if len(self._buf) else \
            np.array(block, dtype=np.float64)
        if self._bass:
            self._feed_bass(block)
        # Frame h spans samples h * hop - front up to that plus fft_len.
        tail = self.fft_len - self.front
        while True:
            ready = (self.num_samples - tail) // self.hop + 1 - self._next
            if ready < self._per_call:
                break
            self._frames(min(ready, 4 * self._per_call), final=False)

    def _frames(self, count: int, final: bool) -> None:
        """Compute frames _next .. _next + count - 1 (to the end when ``final``)."""
        lead = self.lead if self._next else 0
        start = (self._next - lead) * self.hop
        assert start >= self._buf_pos, "samples of the frames were dropped"
        seg = self._buf[start - self._buf_pos:] if final else \
            self._buf[start - self._buf_pos:(self._next + count - 1) * self.hop + self.fft_len - self.front
                      - self._buf_pos]
        mag = stft_mag(seg, self.fft_len, self.hop)
        # The frame counter zero-extends the last frames as it does the whole signal's.
        assert mag.shape[1] == lead + count, "frames out of step"
        # 1 + gamma * mag ** 2 and its logarithm, in place, as spectral_novelty
        # forms them; on the whole contiguous block (the dropped frames too),
        # since NumPy's log10 of a strided view may take another loop.
        np.multiply(mag, mag, out=mag)
        np.multiply(mag, self.gamma, out=mag)
        np.add(mag, 1, out=mag)
        np.log10(mag, out=mag)
        self._sum_flux(mag[:, lead:] if lead else mag)
        self._next += count
        keep = (self._next - self.lead) * self.hop
        if keep > self._buf_pos:
            self._buf = self._buf[keep - self._buf_pos:].copy()
            self._buf_pos = keep

    def _sum_flux(self, logs: npt.NDArray[np.float64]) -> None:
        bins, count = logs.shape
        prev = self._prev
        first = prev is None
        cols = count - 1 if first else count
        # At least two columns: NumPy sums a single column pairwise, the whole
        # matrix row after row.
        dls = np.empty((bins, max(cols, 2)))
        if cols:
            np.subtract(logs[:, 1:], logs[:, :-1], out=dls[:, cols - count + 1:cols])
            if prev is not None:
                np.subtract(logs[:, 0], prev, out=dls[:, 0])
            if cols == 1:
                dls[:, 1] = 0.0
            # dls[dls < 0] = 0 in one pass: the differences of logarithms of
            # values >= 1 are never -0.0, and a NaN stays NaN either way.
            np.maximum(dls, 0.0, out=dls)
            self._sums.append(np.add.reduce(dls, axis=0)[:cols])
        self._prev = logs[:, -1].copy()

    def flux(self) -> npt.NDArray[np.float64]:
        """The per-frame novelty sums of the whole signal (``finish`` first;
        once only)."""
        return self._sums.take()

    # ---- the low-frequency energies

    def _feed_bass(self, block: npt.NDArray[np.float64]) -> None:
        b = self._block
        part = np.concatenate((self._rest, block)) if len(self._rest) else block
        m = len(part) // b
        self._rest = np.array(part[m * b:])
        if not m:
            return
        low = np.mean(part[: m * b].reshape(m, b), axis=1)
        # The running sum goes on from the last one, one value after another,
        # as np.cumsum over the whole signal adds them.
        grown = np.empty(len(self._energy) + m)
        grown[: len(self._energy)] = self._energy
        tail = grown[len(self._energy) - 1:]
        np.multiply(low, low, out=tail[1:])
        np.cumsum(tail, out=tail)
        self._energy = grown
        self._frames_energy(known=self._energy_pos + len(self._energy) - 1, final_m=None, frames=None)

    def _frames_energy(self, known: int, final_m: int | None, frames: int | None) -> None:
        """Energies of the STFT frames whose span of low-frequency values is
        known: all ``frames`` when ``final_m`` (the number of values) is given."""
        b, hop, fft_len = self._block, self.hop, self.fft_len
        if final_m is None:
            # Frame h spans values round((h * hop - front) / b) up to
            # round(that + fft_len / b); it is due once the upper end is known.
            last = int(math.floor(((known + 0.5) * b - fft_len + self.front) / hop)) + 2
            h = np.arange(self._bass_next, max(self._bass_next, last))
            starts = (h * hop - fft_len // 2) / b
            hi_raw = np.round(starts + fft_len / b).astype(np.intp)
            h = h[hi_raw <= known]
            if not len(h):
                return
            upto = int(h[-1]) + 1
            m = known
        else:
            if frames is None or frames <= self._bass_next:
                return
            upto, m = frames, final_m
        h = np.arange(self._bass_next, upto)
        starts = (h * hop - fft_len // 2) / b
        lo = np.clip(np.round(starts).astype(np.intp), 0, m)
        hi = np.clip(np.round(starts + fft_len / b).astype(np.intp), 0, m)
        e0 = self._energy_pos
        self._frame_energy.append(self._energy[hi - e0] - self._energy[lo - e0])
        self._bass_next = upto
        # Later frames start no earlier than this one's lower end.
        drop = int(lo[-1]) - e0
        if final_m is None and drop > 0:
            self._energy = self._energy[drop:].copy()
            self._energy_pos += drop

    # ---- the end

    def finish(self) -> None:
        """Compute the frames that reach past the last sample."""
        frames = calc_frames(self.num_samples, self.fft_len, self.hop)
        if self._next < frames:
            self._frames(frames - self._next, final=True)
        if self._bass:
            self._frames_energy(known=0, final_m=self.num_samples // self._block, frames=frames)

    def novelty(self) -> npt.NDArray[np.float64]:
        """``pulsix.spectral_novelty`` of the whole signal (``finish`` first;
        the signal must have at least 10 frames).  Once only: the curve is
        made from the sums in place."""
        return finish_novelty(self.flux())

    def bass(self, n: int) -> npt.NDArray[np.float64]:
        """``tempo_level.bass_onsets`` of the whole signal for ``n`` novelty
        values (``finish`` first).  Once only: the energies are used up."""
        return bass_onsets_in_place(self._frame_energy.take()[: n + 1], n, self.gamma)


def calc_frames(num_samples: int, fft_len: int, hop: int) -> int:
    """Frames of the centred spectrogram of ``num_samples`` samples."""
    return calc_num_frames(num_samples + fft_len // 2, fft_len, hop)
