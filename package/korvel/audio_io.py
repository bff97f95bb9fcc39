"""Reading audio, writing audio and other output files safely.

soundfile is an optional extra and is imported only when a file is read or
written.  Output files are written beside their destination under a
temporary name and renamed into place once complete, so that a failure
leaves nothing half-written behind.
"""

from __future__ import annotations

import contextlib
import json
import os
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

import numpy as np
import numpy.typing as npt

from ._errors import KorvelError, need
from .demo import demo_clip


class AudioError(KorvelError):
    """A file that cannot be read as audio; ``reason`` is the message without the path."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


class OutputError(KorvelError):
    """An output destination that cannot be written."""

    def __init__(self, message: str) -> None:
        super().__init__(message, 2)


# ---------------------------------------------------------------- reading


@dataclass
class AudioInput:
    """An audio signal as read, plus a description for reports and JSON."""

    frames: npt.NDArray[np.floating[Any]]
    """[num_frames, channels]"""
    sample_rate: int
    path: str | None
    description: dict[str, Any] = field(default_factory=dict)

    @property
    def label(self) -> str:
        return self.path if self.path is not None else "demo clip"

    @property
    def duration(self) -> float:
        return len(self.frames) / self.sample_rate


@contextlib.contextmanager
def _quiet_native_stderr() -> Iterator[None]:
    """Silence file descriptor 2 for a while: some decoders behind libsndfile
    print notes about damaged data straight to it, around our own message.
    The descriptor is process-wide: callers that read from several threads
    must hold a lock around the read."""
    try:
        fd = sys.stderr.fileno()
    except (AttributeError, OSError, ValueError):
        yield
        return
    sys.stderr.flush()
    saved = os.dup(fd)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), fd)
        yield
    finally:
        os.dup2(saved, fd)
        os.close(saved)


def load_audio(path: str) -> AudioInput:
    """Every channel of an audio file, as float32 frames."""
    if not os.path.exists(path):
        raise AudioError(path, "no such file")
    if os.path.isdir(path):
        raise AudioError(path, "is a directory, not an audio file")
    sf = need("soundfile", "reading audio files", "cli")
    try:
        with _quiet_native_stderr():
            info = sf.info(path)
            # float32 holds 16- and 24-bit samples exactly at half the memory;
            # the mono mix for the analysis is made in float64.
            data, fs = sf.read(path, dtype="float32", always_2d=True)
    except Exception as exc:  # libsndfile reports every kind of bad file its own way
        reason = getattr(exc, "error_string", None) or str(exc) or type(exc).__name__
        if "does not exist" in reason:
            # What libsndfile says when no decoder accepts the bytes of a file
            # that plainly does exist.
            reason = "format not recognised, or the file is damaged"
        raise AudioError(path, f"cannot read as audio ({reason.rstrip('.')})") from None
    desc = {
        "path": path,
        "format": info.format,
        "subtype": info.subtype,
        "sample_rate": int(fs),
        "channels": int(data.shape[1]),
        "frames": int(data.shape[0]),
        "duration": data.shape[0] / fs,
    }
    return AudioInput(frames=data, sample_rate=int(fs), path=path, description=desc)


def demo_input() -> AudioInput:
    """The built-in demo clip, described like a file that was read."""
    clip = demo_clip()
    desc = {
        "path": None,
        "demo": {"bpm": clip.bpm, "beat_times": [round(float(t), 6) for t in clip.beat_times]},
        "description": clip.describe(),
        "sample_rate": clip.sample_rate,
        "channels": 1,
        "frames": len(clip.samples),
        "duration": clip.duration,
    }
    return AudioInput(frames=clip.samples[:, None], sample_rate=clip.sample_rate, path=None, description=desc)


# ---------------------------------------------------------------- writing


def extension(path: str) -> str:
    """The file name extension, lower case, without the dot."""
    return os.path.splitext(path)[1].lstrip(".").lower()


def check_destination(path: str, option: str) -> None:
    """Refuse, before any work, a destination that could never be written."""
    directory = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise OutputError(f"{option} {path}: is a directory")
    if not os.path.isdir(directory):
        raise OutputError(f"{option} {path}: directory {directory} does not exist")
    if not os.access(directory, os.W_OK):
        raise OutputError(f"{option} {path}: directory {directory} is not writable")


def audio_format(path: str, option: str) -> str:
    """The soundfile format that the extension of ``path`` names."""
    sf = need("soundfile", option, "cli")
    ext = extension(path)
    fmt = ext.upper()
    if fmt not in sf.available_formats():
        raise OutputError(f"{option} {path}: cannot write audio as '.{ext}' (use .wav, .flac or .ogg)")
    return fmt


def write_audio(path: str, data: npt.NDArray[np.float64], sample_rate: int, fmt: str) -> None:
    sf = need("soundfile", "writing audio files", "cli")
    sf.write(path, data, sample_rate, format=fmt)


def write_json(path: str, doc: Any) -> None:
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(json.dumps(doc, indent=2) + "\n")


def sync(fh: Any) -> None:
    """Make what was written to an open file durable, where the file system can."""
    fh.flush()
    try:
        os.fsync(fh.fileno())
    except OSError:  # not every file system can (pipes, some network mounts)
        pass


@contextlib.contextmanager
def replaced_atomically(dest: str, tmp: str) -> Iterator[str]:
    """Write to ``tmp`` in the block; then ``tmp`` is made durable and renamed
    to ``dest``.  If the block fails, ``tmp`` is removed and ``dest`` untouched."""
    try:
        yield tmp
        with open(tmp, "rb") as fh:
            sync(fh)
        os.replace(tmp, dest)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


class OutputSet:
    """Stage output files next to their destinations; rename all or none.

    As a context manager, the staged files are renamed into place when the
    block ends normally and removed when it raises.
    """

    def __init__(self) -> None:
        self._staged: list[tuple[str, str]] = []

    def __enter__(self) -> OutputSet:
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if exc_type is None:
            try:
                self.commit()
            except BaseException:
                self.discard()
                raise
        else:
            self.discard()

    def stage(self, dest: str, write: Callable[[str], None]) -> None:
        directory = os.path.dirname(os.path.abspath(dest))
        fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(dest)}.", suffix=".part", dir=directory)
        os.close(fd)
        self._staged.append((tmp, dest))
        write(tmp)
        # mkstemp creates the file private; give it the permissions a plain
        # open() would have.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)

    def commit(self) -> None:
        for tmp, dest in self._staged:
            os.replace(tmp, dest)
        self._staged = []

    def discard(self) -> None:
        for tmp, _ in self._staged:
            try:
                os.unlink(tmp)
            except OSError:
                pass
        self._staged = []
