"""The Fourier tempogram of a novelty curve: its grid, and tempo <-> bin.

``estimate_bpm`` and ``make_local_pulse`` average and follow the magnitude of
``stft(nov, TG_WIN, TG_HOP, TG_ZP, centered=False)``; the tempo-level step,
the range checks, the plot and the report page read the same grid, so its
sizes and the conversion between a bin and its tempo are stated here once.
Bin k is the tempo ``60 * k * ff / TG_FFT_LEN`` BPM at ``ff`` novelty frames
per second.

A long curve's tempogram is never made whole: :func:`mean_magnitude` and
:func:`pooled_tempogram` take it ``TG_BLOCK`` frames at a time, and
:class:`RowSums` adds the rows of any matrix fed a block of columns at a time
with NumPy's own bits.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Iterator, overload

import numpy as np
import numpy.typing as npt

from .framix import calc_num_frames
from .sonix import stft

__all__ = [
    "MEAN_BLOCK", "TG_BINS", "TG_BLOCK", "TG_FFT_LEN", "TG_HOP", "TG_WIN", "TG_ZP", "Tempogram", "bin_bpm",
    "RowSums", "bpm_bin", "reduce_run", "display_rows", "fourier_tempogram", "frame_time", "mean_magnitude",
    "nearest_bin", "num_frames", "pooled_columns", "pooled_tempogram", "tempo_bins",
]

# Window 256 novelty frames, hop 32, zero-padded 16 times (bins 60 * ff / 4096 BPM apart).
TG_WIN = 256
TG_HOP = 32
TG_ZP = 16
TG_FFT_LEN = TG_WIN * TG_ZP
TG_BINS = TG_FFT_LEN // 2 + 1
"""Rows of the tempogram: the bins of a real FFT of TG_FFT_LEN values."""

TG_BLOCK = 256
"""Tempogram frames computed at a time (8 MB of spectra): the tempogram of an
hour's curve would take a quarter of a GB whole."""

MEAN_BLOCK = 32
"""Tempogram frames :func:`mean_magnitude` takes at a time: 1 MB of spectra,
small beside the curves of a long track (only sums are kept of them)."""

DISPLAY_MIN_BPM = 30.0
"""Lowest tempo drawn: below it sit the curve's mean (row 0) and its slow
drift, which would swamp the colour scale."""

@overload
def bin_bpm(k: float, ff: float) -> float: ...
@overload
def bin_bpm(k: npt.NDArray[Any], ff: float) -> npt.NDArray[np.float64]: ...


def bin_bpm(k: float | npt.NDArray[Any], ff: float) -> float | npt.NDArray[np.float64]:
    """The tempo (BPM) of tempogram bin ``k`` (a number or an array) at
    ``ff`` novelty frames per second."""
    # ff / TG_FFT_LEN is exact (a power of two), so the product is rounded once.
    return 60.0 * k * (ff / TG_FFT_LEN)


def bpm_bin(bpm: float, ff: float) -> float:
    """The (fractional) tempogram bin of ``bpm`` at ``ff`` frames per second."""
    return bpm / 60.0 * TG_FFT_LEN / ff


def nearest_bin(bpm: float, ff: float) -> int:
    """The bin whose tempo ``bpm`` is, as estimate_bpm reports its bins."""
    return int(round(bpm_bin(bpm, ff)))


def tempo_bins(bpm_min: float, bpm_max: float, ff: float) -> tuple[int, int]:
    """The bins ``k_min .. k_max - 1`` that estimate_bpm searches for a tempo
    in ``bpm_min .. bpm_max``: both limits round up."""
    k_min = int(math.ceil(bpm_bin(bpm_min, ff)))
    k_max = int(math.ceil(bpm_bin(bpm_max, ff)))
    return k_min, min(k_max, TG_BINS)


def num_frames(n: int) -> int:
    """Tempogram frames of a novelty curve of ``n`` values."""
    return calc_num_frames(n, TG_WIN, TG_HOP)


def frame_time(h: npt.NDArray[Any], ff: float) -> npt.NDArray[np.float64]:
    """The centres (s) of tempogram frames ``h``, on the clock of the beat
    times (novelty value k is heard at (k + 1) / ff)."""
    times: npt.NDArray[np.float64] = (h * TG_HOP + TG_WIN / 2 + 1) / ff
    return times


def display_rows(ff: float, bpm_max: float) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
    """The rows a picture of the tempogram shows, and their tempi: from
    DISPLAY_MIN_BPM to a little above the search range (its first harmonics)."""
    all_bpm = bin_bpm(np.arange(TG_BINS), ff)
    top_bpm = min(float(all_bpm[-1]), max(300.0, 1.25 * bpm_max))
    rows = np.flatnonzero((all_bpm >= DISPLAY_MIN_BPM) & (all_bpm <= top_bpm))
    return rows, all_bpm[rows]


@dataclass(frozen=True)
class Tempogram:
    """Magnitude Fourier tempogram of a novelty curve, with its axes."""

    magnitude: npt.NDArray[np.float64]
    """[bins, frames]; row k is the tempo 60 * k * ff / 4096 BPM."""
    bpm: npt.NDArray[np.float64]
    times: npt.NDArray[np.float64]
    """Centre of each tempogram frame, in seconds (same clock as beat_times)."""


def fourier_tempogram(nov: npt.NDArray[np.float64], feature_rate: float) -> Tempogram:
    """The tempogram that the tempo estimate averages (window 256 novelty frames,
    hop 32, zero-padding 16)."""
    mag = np.abs(stft(nov, TG_WIN, TG_HOP, TG_ZP, centered=False))
    bpm = bin_bpm(np.arange(mag.shape[0]), feature_rate)
    times = np.asarray(frame_time(np.arange(mag.shape[1]), feature_rate), dtype=np.float64)
    return Tempogram(magnitude=mag, bpm=bpm, times=times)


def _blocks(nov: npt.NDArray[np.float64], k_min: int, k_max: int, step: int
            ) -> Iterator[tuple[int, int, npt.NDArray[np.float64]]]:
    """Rows k_min .. k_max - 1 of the tempogram magnitude, ``step`` frames at
    a time: ``(h0, h1, rows of frames h0 .. h1 - 1)``, the same bits as those
    columns of the whole."""
    frames = num_frames(len(nov))
    for h0 in range(0, frames, step):
        h1 = min(frames, h0 + step)
        # stft zero-extends the last block as it does the whole curve.
        part = nov[h0 * TG_HOP:] if h1 == frames else nov[h0 * TG_HOP:(h1 - 1) * TG_HOP + TG_WIN]
        yield h0, h1, np.abs(stft(part, TG_WIN, TG_HOP, TG_ZP, centered=False)[k_min:k_max])


PAIRWISE_LEAF = 128
"""Longest run of values NumPy's pairwise sum adds in one loop."""


def _pairwise_tree(n: int, leaves: list[int]) -> Any:
    """How NumPy's pairwise sum of ``n`` values adds them: the runs (leaf
    lengths, appended to ``leaves`` in order) and the tree their sums are
    added along, a leaf index or a pair of subtrees.  Halves are rounded
    down to a multiple of 8."""
    if n <= PAIRWISE_LEAF:
        leaves.append(n)
        return len(leaves) - 1
    half = n // 2
    half -= half % 8
    return _pairwise_tree(half, leaves), _pairwise_tree(n - half, leaves)


_SPLITS: dict[int, int] = {}


def reduce_run(n: int) -> int:
    """How many values of a row of ``n`` NumPy's ``add.reduce`` along the rows
    of a C-ordered matrix sums pairwise at a time: the whole row (NumPy 2.3
    and later), or the iterator's buffer, ``np.getbufsize()`` values (before;
    the runs' sums are then added one after another).  Found once per buffer
    size on a probe whose sums differ either way; 0 when it fits neither."""
    size = int(np.getbufsize())
    if n <= size:
        return n
    if size not in _SPLITS:
        # Values of many magnitudes (no random generator: numpy.random would
        # load libraries of a few MB for this alone).
        k = np.arange(size + 200, dtype=np.float64)
        probe = (np.sin(0.7 * k) * 10.0 ** (k % 13 - 6)).reshape(1, -1)
        want = np.add.reduce(probe, axis=1).tobytes()
        _SPLITS[size] = 0
        for run in (size + 200, size):
            sums = RowSums(1, size + 200, run=run)
            sums.feed(probe)
            if sums.total().tobytes() == want:
                _SPLITS[size] = run
                break
    run = _SPLITS[size]
    return n if run > size else run


class RowSums:
    """``np.add.reduce(matrix, axis=1)`` of a [rows, n] matrix fed a block of
    columns at a time, the same bits, without the matrix.

    NumPy adds each row of a C-ordered matrix with its pairwise sum, a part
    of the row at a time (:func:`reduce_run`): in each part, runs of at most
    PAIRWISE_LEAF values are summed in one loop and the runs' sums are added
    along a binary tree that depends on the part's length alone; the parts'
    sums are added in turn to 0.  Each run is summed by NumPy itself as soon
    as its columns are in (a run alone is one loop of the same sum), and only
    the runs' sums are kept: about one value per row for every hundred
    columns.  Should NumPy split rows some other way, the columns are kept
    and summed whole at the end.
    """

    def __init__(self, rows: int, n: int, run: int | None = None) -> None:
        self.rows, self.n = int(rows), int(n)
        part = reduce_run(self.n) if run is None else int(run)
        self._whole = part <= 0  # keep every column: NumPy's splitting is not known
        self._leaves: list[int] = []
        self._trees = [] if self._whole else \
            [_pairwise_tree(min(part, self.n - at), self._leaves) for at in range(0, self.n, part)]
        self._sums: list[npt.NDArray[np.float64]] = []
        self._pending = np.zeros((self.rows, 0))
        self._fed = 0

    def feed(self, block: npt.NDArray[np.float64]) -> None:
        """The next columns (a [rows, m] float64 array)."""
        if block.shape[0] != self.rows or self._fed + block.shape[1] > self.n:
            raise ValueError(f"expected at most {self.n - self._fed} more columns of {self.rows} rows, "
                             f"got shape {block.shape}")
        self._fed += block.shape[1]
        if self._whole:
            self._sums.append(np.array(block))
            return
        cols = np.concatenate((self._pending, block), axis=1) if self._pending.shape[1] else block
        at = 0
        while len(self._sums) < len(self._leaves) and cols.shape[1] - at >= self._leaves[len(self._sums)]:
            m = self._leaves[len(self._sums)]
            # A contiguous copy of the run, so that each row is one loop of m values.
            self._sums.append(np.add.reduce(np.ascontiguousarray(cols[:, at:at + m]), axis=1))
            at += m
        self._pending = np.array(cols[:, at:])

    def total(self) -> npt.NDArray[np.float64]:
        """The row sums (every column fed)."""
        if self._fed != self.n:
            raise ValueError(f"{self._fed} of {self.n} columns fed")
        if self._whole:
            whole = np.concatenate(self._sums, axis=1) if self._sums else np.zeros((self.rows, 0))
            return np.asarray(np.add.reduce(whole, axis=1), dtype=np.float64)

        def add(node: Any) -> npt.NDArray[np.float64]:
            if isinstance(node, int):
                return self._sums[node]
            return add(node[0]) + add(node[1])

        # The reduction starts from 0, as NumPy's does (a sum of -0.0 is 0.0).
        out = np.zeros(self.rows)
        for tree in self._trees:
            out = out + add(tree)
        return out


def mean_magnitude(nov: npt.NDArray[np.float64], k_min: int, k_max: int) -> npt.NDArray[np.float64]:
    """``np.mean(np.abs(stft(nov, TG_WIN, TG_HOP, TG_ZP, centered=False)), axis=1)[k_min:k_max]``,
    the same bits, without the whole tempogram: rows k_min .. k_max - 1 are
    summed a block of frames at a time (:class:`RowSums`), then divided by
    the number of frames as NumPy's mean divides."""
    frames = num_frames(len(nov))
    sums = RowSums(max(0, k_max - k_min), frames)
    for _, _, mag in _blocks(nov, k_min, k_max, MEAN_BLOCK):
        sums.feed(mag)
    return np.asarray(sums.total() / frames, dtype=np.float64)


def _pool(mag: npt.NDArray[np.float64], group: int) -> npt.NDArray[np.float64]:
    """Each ``group`` neighbouring columns as their maximum, the last group
    padded with zeros."""
    pad = (-mag.shape[1]) % group
    if pad:
        mag = np.concatenate((mag, np.zeros((mag.shape[0], pad))), axis=1)
    pooled: npt.NDArray[np.float64] = mag.reshape(mag.shape[0], -1, group).max(axis=2)
    return pooled


def pooled_columns(mag: npt.NDArray[np.float64], limit: int) -> tuple[npt.NDArray[np.float64], int]:
    """At most ``limit`` columns, each the maximum of ``group`` neighbours."""
    group = -(-mag.shape[1] // limit)
    if group <= 1:
        return mag, 1
    return _pool(mag, group), group


def pooled_tempogram(nov: npt.NDArray[np.float64], k_min: int, k_max: int, limit: int
                     ) -> tuple[npt.NDArray[np.float64], int, int]:
    """Rows k_min .. k_max - 1 of the magnitude of :func:`fourier_tempogram`
    pooled by :func:`pooled_columns` to at most ``limit`` columns, with the
    group size and the number of tempogram frames; computed a few groups at a
    time, so that the tempogram of a long track never exists whole."""
    frames = num_frames(len(nov))
    group = max(1, -(-frames // limit))
    step = group * max(1, TG_BLOCK // group)
    pooled = [_pool(mag, group) if group > 1 else mag for _, _, mag in _blocks(nov, k_min, k_max, step)]
    out = np.concatenate(pooled, axis=1) if pooled else np.zeros((k_max - k_min, 0))
    return out, group, frames
