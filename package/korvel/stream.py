"""The road for audio files, in bounded memory: decode, mix and analyse block by block.

A file is decoded a block at a time (soundfile's blocks) and each block is
mixed to mono; the blocks then pass through
:class:`~korvel.novelty_blocks.NoveltyBlocks`, which keeps one novelty sum and
one low-frequency energy per STFT frame.  The steps that need the whole curve
(the tempogram, the beat tracker) run on the finished curves, so the results
are the very bits that :func:`korvel.analysis.analyze` gives for the whole
decoded signal, at any block size.

Decoding and mixing run in a thread of their own, a bounded queue ahead of
the analysis, so that one file keeps two cores busy (the decoder, NumPy's
loops and the native STFT all release the interpreter lock) while memory
stays a few blocks, whatever the track's length.
"""

from __future__ import annotations

import contextlib
import math
import queue
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, Generator, Iterator

import numpy as np
import numpy.typing as npt

from . import audio_io
from ._errors import need
from .analysis import (
    AnalysisError,
    AnalysisParams,
    BeatAnalysis,
    TempoEstimate,
    analyze_curves,
    check_signal,
    check_tempo_range,
    estimate_from_curves,
    mix_to_mono,
)
from .audio_io import READ_BLOCK
# NoveltyBlocks and finish_novelty stay importable from here.
from .novelty_blocks import NoveltyBlocks, finish_novelty  # noqa: F401

__all__ = ["FileAnalysis", "FileAnalysisError", "NoveltyBlocks", "SignalSummary", "analyze_file",
           "finish_novelty", "keep_freed_memory", "read_blocks", "tempo_of_file"]

QUEUE_BLOCKS = 4
"""Mixed blocks the decoder may run ahead of the analysis."""


# ---------------------------------------------------------------- reading


@dataclass
class SignalSummary:
    """What the stream learns about the signal on the way, besides the curves."""

    num_samples: int = 0
    finite: bool = True
    peak: float = 0.0
    """Largest absolute sample of any channel (as decoded)."""
    chunk: int = 1
    """Samples per envelope value."""
    env_lo: list[npt.NDArray[np.float64]] = field(default_factory=list)
    env_hi: list[npt.NDArray[np.float64]] = field(default_factory=list)


@dataclass
class FileInfo:
    """What an audio file says of itself when opened (``frames`` as declared)."""

    sample_rate: int
    channels: int
    format: str
    subtype: str
    frames: int


class FileAnalysisError(AnalysisError):
    """An :class:`~korvel.analysis.AnalysisError` of a file, with what was
    learnt of the file before it: its ``info``, the samples decoded and the
    resolved parameters."""

    def __init__(self, message: str, info: FileInfo, num_samples: int, params: AnalysisParams) -> None:
        super().__init__(message)
        self.info, self.num_samples, self.params = info, num_samples, params


_DONE = object()


def read_blocks(path: str, block: int = READ_BLOCK, start: int = 0, stop: int | None = None,
                with_frames: bool = False, reuse: int = 0) -> tuple[FileInfo, Iterator[Any]]:
    """Open ``path`` and yield its mono mix block by block (``(mono, frames)``
    pairs ``with_frames``: the decoded float32 channels too), from frame
    ``start`` up to ``stop``.  Errors of the file become :class:`AudioError`.

    With ``reuse`` > 0 the blocks are written into that many buffers in
    turn (no fresh memory, and no page faults, per block): a block is
    overwritten ``reuse`` blocks later, so the consumer must be done with
    it by then."""
    sf = need("soundfile", "reading audio files", "cli")
    audio_io.check_audio_path(path)
    try:
        with audio_io.quiet_reads():
            with audio_io._decoding():
                fh = sf.SoundFile(path)
                info = FileInfo(int(fh.samplerate), int(fh.channels), fh.format, fh.subtype, int(fh.frames))
                if start:
                    fh.seek(start)
    except audio_io._Undecodable as undecodable:
        raise audio_io.audio_error(path, undecodable.error) from None

    def blocks() -> Iterator[Any]:
        with fh:
            scratch = np.empty((block, 2), dtype=np.float64) if info.channels == 2 else None
            ring = [(np.empty((block, info.channels), dtype=np.float32), np.empty(block))
                    for _ in range(reuse)]
            left = None if stop is None else stop - start
            turn = 0
            while left is None or left > 0:
                want = block if left is None else min(block, left)
                out = ring[turn % reuse][0][:want] if reuse else None
                try:
                    with audio_io.quiet_reads():
                        with audio_io._decoding():
                            frames = fh.read(want, dtype="float32", always_2d=True, out=out)
                except audio_io._Undecodable as undecodable:
                    raise audio_io.audio_error(path, undecodable.error) from None
                k = len(frames)
                if k == 0:
                    return
                mono = ring[turn % reuse][1][:k] if reuse else np.empty(k)
                turn += 1
                mix_to_mono(frames, out=mono, scratch=scratch)
                yield (mono, frames) if with_frames else mono
                if left is not None:
                    left -= k

    return info, blocks()


def _ahead(blocks: Iterator[Any], depth: int = QUEUE_BLOCKS) -> Generator[Any, None, None]:
    """The items of ``blocks``, produced in a thread of their own at most
    ``depth`` ahead of the consumer; its errors are raised here."""
    q: queue.Queue[Any] = queue.Queue(maxsize=depth)
    stop = threading.Event()

    def produce() -> None:
        try:
            for item in blocks:
                while not stop.is_set():
                    try:
                        q.put(item, timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    return
            q.put(_DONE)
        except BaseException as exc:  # handed to the consumer, raised there
            q.put(exc)

    worker = threading.Thread(target=produce, name="korvel-decode", daemon=True)
    worker.start()
    try:
        while True:
            item = q.get()
            if item is _DONE:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        # Free a producer blocked on a full queue, then wait for it (and so
        # for its file to close).
        while worker.is_alive():
            try:
                q.get(timeout=0.05)
            except queue.Empty:
                pass
        worker.join()


@dataclass
class FileAnalysis:
    """The curves of a whole file and what the stream learnt about it."""

    path: str
    info: FileInfo
    params: AnalysisParams
    """Resolved (``fft_len`` and ``hop`` filled in)."""
    novelty: npt.NDArray[np.float64] | None
    """The novelty curve; None when nothing in the signal ever gets louder."""
    bass: npt.NDArray[np.float64] | None
    summary: SignalSummary

    @property
    def sample_rate(self) -> int:
        return self.info.sample_rate

    @property
    def channels(self) -> int:
        return self.info.channels

    @property
    def label(self) -> str:
        return self.path

    @property
    def duration(self) -> float:
        return self.summary.num_samples / self.info.sample_rate

    @property
    def description(self) -> dict[str, Any]:
        """The input as ``korvel beats --json`` describes it."""
        return {
            "path": self.path,
            "format": self.info.format,
            "subtype": self.info.subtype,
            "sample_rate": self.info.sample_rate,
            "channels": self.info.channels,
            "frames": self.summary.num_samples,
            "duration": self.duration,
        }

    def result(self) -> BeatAnalysis:
        """Tempo, beats and local pulse, as :func:`~korvel.analysis.analyze` finds them."""
        with _whole_curve_steps():
            return analyze_curves(self.novelty, self.bass, self.info.sample_rate, self.summary.num_samples,
                                  self.params)

    def tempo(self) -> TempoEstimate:
        """The tempo step alone, as :func:`~korvel.analysis.tempo_estimate` finds it."""
        with _whole_curve_steps():
            return estimate_from_curves(self.novelty, self.bass, self.info.sample_rate, self.params)


ENVELOPE_VALUES = 32000
"""Minimum/maximum pairs kept of a whole track for its waveform drawing
(about 16 per column of a 2000-column drawing)."""


def analyze_file(path: str, params: AnalysisParams | None = None, envelope: bool = False,
                 block: int = READ_BLOCK) -> FileAnalysis:
    """Decode ``path`` block by block and compute its curves.

    :param envelope: also keep a bounded min/max outline of the mono signal
        (for a waveform drawing) and the peak of the decoded channels
    :raises AudioError: the file cannot be read
    :raises AnalysisError: parameters out of range, audio too short or not finite
    """
    p = params or AnalysisParams()
    p.validate()
    # The queue's blocks, the one in the consumer's hands and the one being read.
    info, source = read_blocks(path, block, with_frames=envelope, reuse=QUEUE_BLOCKS + 3)
    p = p.resolved(info.sample_rate)  # checked when made, as every AnalysisParams
    try:
        # An impossible tempo range is known before anything is decoded.
        check_tempo_range(p, info.sample_rate)
        return _analyze_blocks(path, info, source, p, envelope)
    except AnalysisError as exc:
        raise FileAnalysisError(str(exc), info, getattr(exc, "num_samples", info.frames), p) from None


class _SignalError(AnalysisError):
    def __init__(self, message: str, num_samples: int) -> None:
        super().__init__(message)
        self.num_samples = num_samples


def _checked(num_samples: int, finite: bool, sample_rate: int, p: AnalysisParams) -> None:
    try:
        check_signal(num_samples, finite, sample_rate, p)
    except AnalysisError as exc:
        raise _SignalError(str(exc), num_samples) from None


def _analyze_blocks(path: str, info: FileInfo, source: Iterator[Any], p: AnalysisParams,
                    envelope: bool) -> FileAnalysis:
    fft_len, hop = p.sizes()
    nov_blocks = NoveltyBlocks(info.sample_rate, fft_len, hop, p.gamma, bass=p.tempo_level != "raw",
                               expected_samples=info.frames)
    # The declared length sets the outline's chunks (grown later if it was short of the truth).
    summary = SignalSummary(chunk=max(1, -(-info.frames // ENVELOPE_VALUES)) if envelope else 1)
    rest = np.zeros(0)
    # Closed on the way out, error or not: the decoding thread ends with the analysis.
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"), \
            contextlib.closing(_ahead(source)) as items:
        for item in items:
            mono, frames = item if envelope else (item, None)
            if not len(mono):
                continue
            # min and max carry any NaN or infinity through.
            lo, hi = float(np.min(mono)), float(np.max(mono))
            if not (math.isfinite(lo) and math.isfinite(hi)):
                # The first thing the whole road checks: nothing to wait for.
                summary.finite = False
                _checked(max(info.frames, summary.num_samples), False, info.sample_rate, p)
            nov_blocks.feed(mono)
            summary.num_samples += len(mono)
            if frames is not None:
                summary.peak = max(summary.peak, float(np.max(np.abs(frames))))
                rest = _outline(summary, np.concatenate((rest, mono)) if len(rest) else mono)
        if envelope and len(rest):
            summary.env_lo.append(np.array([np.min(rest)]))
            summary.env_hi.append(np.array([np.max(rest)]))
        _checked(summary.num_samples, summary.finite, info.sample_rate, p)
        nov_blocks.finish()
        nov: npt.NDArray[np.float64] | None = nov_blocks.novelty()
        assert nov is not None
        bass = nov_blocks.bass(len(nov)) if p.tempo_level != "raw" else None
        if not np.all(np.isfinite(nov)):
            nov, bass = None, None
    return FileAnalysis(path=path, info=info, params=p, novelty=nov, bass=bass, summary=summary)


def _outline(summary: SignalSummary, mono: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Add the min/max of each whole chunk of ``mono``; return what is left."""
    c = summary.chunk
    m = len(mono) // c
    if m:
        groups = mono[: m * c].reshape(m, c)
        summary.env_lo.append(groups.min(axis=1))
        summary.env_hi.append(groups.max(axis=1))
        kept = sum(len(v) for v in summary.env_lo)
        # A file longer than it said it was: pairs of chunks become one,
        # when they pair up evenly, so that the outline stays bounded.
        if kept > 4 * ENVELOPE_VALUES and kept % 2 == 0:
            lo, hi = np.concatenate(summary.env_lo), np.concatenate(summary.env_hi)
            summary.env_lo = [np.minimum(lo[0::2], lo[1::2])]
            summary.env_hi = [np.maximum(hi[0::2], hi[1::2])]
            summary.chunk = 2 * c
    return np.array(mono[m * c:])


def keep_freed_memory() -> None:
    """Let this process's allocator keep what it frees for reuse.

    Every block of the stream allocates a few arrays of some hundred KB and
    frees them again; glibc maps such sizes fresh from the system each time
    and hands them back on release, so that every page of every block is
    faulted in anew -- more than a second of system time per hour of audio.
    Raising its mapping and trimming thresholds (16 and 64 MB) makes the
    blocks reuse the same memory.  For a command's own process: the setting
    is process-wide.  Without glibc (no ``mallopt``) nothing is done.

    While the steps on a file's whole curves run, arrays from CURVE_MAPPING
    on are mapped on their own again (see :func:`_whole_curve_steps`).
    """
    import ctypes

    global _mallopt
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return
    mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
    _mallopt = mallopt
    mallopt(_M_MMAP_THRESHOLD, STREAM_MAPPING)
    mallopt(_M_TRIM_THRESHOLD, 64 << 20)


_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
STREAM_MAPPING = 16 << 20
"""Allocations glibc maps on their own while a file streams (bytes)."""
CURVE_MAPPING = 1 << 20
"""... and while the steps on the whole curves run (bytes)."""
_mallopt: Callable[[int, int], int] | None = None
"""glibc's mallopt once :func:`keep_freed_memory` was called."""


@contextlib.contextmanager
def _whole_curve_steps() -> Iterator[None]:
    """In a process that called :func:`keep_freed_memory`: glibc maps
    allocations from CURVE_MAPPING on by themselves within the block, from
    STREAM_MAPPING on after it.

    The steps on the whole curves make and drop arrays of about a curve's
    size (1.2 MB per hour of audio) one after another; from the heap, each
    one that does not fit the hole the last one left grows it, so that the
    peak grows with the track faster than the curves do.  Mapped by
    themselves, they go back to the system when dropped.  Everything else
    (the stream's blocks, the click track's and drawing's) keeps reusing
    freed memory.
    """
    if _mallopt is None:
        yield
        return
    _mallopt(_M_MMAP_THRESHOLD, CURVE_MAPPING)
    try:
        yield
    finally:
        _mallopt(_M_MMAP_THRESHOLD, STREAM_MAPPING)


def tempo_of_file(path: str, params: AnalysisParams | None = None) -> TempoEstimate:
    """The tempo step of the road for an audio file, in bounded memory."""
    return analyze_file(path, params).tempo()
