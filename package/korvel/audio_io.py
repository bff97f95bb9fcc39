"""Reading audio, writing audio and other output files safely.

soundfile is an optional extra and is imported only when a file is read or
written.  Output files are written beside their destination under a
temporary name and renamed into place once complete, so that a failure
leaves nothing half-written behind; a symlink is followed to the file it
names, and what is not a regular file (standard output, a FIFO, a device)
is written directly, never renamed over.
"""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import stat
import sys
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

import numpy as np
import numpy.typing as npt

from ._errors import KorvelError, need
from .analysis import mix_to_mono
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

    mono: npt.NDArray[np.float64]
    """The channels mixed to one, as the analysis takes them."""
    sample_rate: int
    path: str | None
    channels: int
    frames: npt.NDArray[np.floating[Any]] | None = None
    """[num_frames, channels], kept only when asked for (a click track needs them)."""
    description: dict[str, Any] = field(default_factory=dict)

    @property
    def label(self) -> str:
        return self.path if self.path is not None else "demo clip"

    @property
    def duration(self) -> float:
        return len(self.mono) / self.sample_rate


# Frames decoded at a time when only the mono mix is wanted: large enough that
# the per-call cost vanishes, small enough that the buffer stays in cache.
READ_BLOCK = 1 << 16


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


_QUIET_LOCK = threading.Lock()


@contextlib.contextmanager
def quiet_reads() -> Iterator[None]:
    """:func:`_quiet_native_stderr` for one call into the decoder, one thread
    at a time: for files read a block at a time while other threads work."""
    with _QUIET_LOCK, _quiet_native_stderr():
        yield


# What soundfile raises for a file it cannot open or decode (its
# LibsndfileError is a RuntimeError): libsndfile reports every kind of bad
# file its own way.  Anything else, a MemoryError above all, is not about the
# file and goes through as it is.
_DECODE_ERRORS = (RuntimeError, ValueError, TypeError, EOFError)


class _Undecodable(Exception):
    """A decoder's error, told apart from errors of the mixing around it."""

    def __init__(self, error: BaseException) -> None:
        super().__init__(error)
        self.error = error


@contextlib.contextmanager
def _decoding() -> Iterator[None]:
    """Mark the decoder's errors raised in the block as :class:`_Undecodable`."""
    try:
        yield
    except _DECODE_ERRORS as exc:
        raise _Undecodable(exc) from exc


def _mix_into(out: npt.NDArray[np.float64], block: npt.NDArray[np.float32],
              scratch: npt.NDArray[np.float64] | None) -> None:
    """One decoded block's mono mix, written straight into ``out``."""
    mix_to_mono(block, out=out, scratch=scratch)


def _mono_of(frames: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    """The mono mix of frames already in memory, block by block as a read makes it."""
    out = np.empty(len(frames), dtype=np.float64)
    scratch = np.empty((READ_BLOCK, 2), dtype=np.float64)
    for pos in range(0, len(frames), READ_BLOCK):
        block = frames[pos:pos + READ_BLOCK]
        _mix_into(out[pos:pos + len(block)], block, scratch)
    return out


def _read_mono(fh: Any) -> npt.NDArray[np.float64]:
    """Decode an open file block by block into its mono mix: the decoded
    channels never exist at full length, only the one float64 result does."""
    out = np.empty(max(int(fh.frames), 0), dtype=np.float64)
    buf = np.empty((READ_BLOCK, fh.channels), dtype=np.float32)
    scratch = np.empty((READ_BLOCK, 2), dtype=np.float64) if fh.channels == 2 else None
    pos = 0
    while True:
        with _decoding():
            block = fh.read(READ_BLOCK, dtype="float32", always_2d=True, out=buf)
        k = len(block)
        if k == 0:
            break
        if pos + k > len(out):  # some compressed formats only estimate their length
            out = np.concatenate((out[:pos], np.empty(max(pos + k, 2 * len(out)) - pos)))
        _mix_into(out[pos:pos + k], block, scratch)
        pos += k
    return out[:pos] if pos < len(out) else out


def audio_error(path: str, exc: BaseException) -> AudioError:
    """The error to report for the decoder's ``exc`` on ``path``."""
    reason = getattr(exc, "error_string", None) or str(exc) or type(exc).__name__
    if "does not exist" in reason:
        # What libsndfile says when no decoder accepts the bytes of a file
        # that plainly does exist.
        reason = "format not recognised, or the file is damaged"
    return AudioError(path, f"cannot read as audio ({reason.rstrip('.')})")


def check_audio_path(path: str) -> None:
    """Raise :class:`AudioError` for a path that cannot name an audio file:
    one that does not exist, a directory."""
    if not os.path.exists(path):
        raise AudioError(path, "no such file")
    if os.path.isdir(path):
        raise AudioError(path, "is a directory, not an audio file")


def load_audio(path: str, keep_channels: bool = False) -> AudioInput:
    """An audio file as its mono mix; with ``keep_channels`` also every channel
    as float32 frames (float32 holds 16- and 24-bit samples exactly)."""
    check_audio_path(path)
    sf = need("soundfile", "reading audio files", "cli")
    frames = None
    try:
        with _quiet_native_stderr():
            with _decoding():
                fh = sf.SoundFile(path)
            with fh:
                with _decoding():
                    fmt, subtype, fs, channels = fh.format, fh.subtype, int(fh.samplerate), int(fh.channels)
                    if keep_channels:
                        frames = fh.read(dtype="float32", always_2d=True)
                mono = _mono_of(frames) if frames is not None else _read_mono(fh)
    except _Undecodable as undecodable:
        raise audio_error(path, undecodable.error) from None
    desc = {
        "path": path,
        "format": fmt,
        "subtype": subtype,
        "sample_rate": fs,
        "channels": channels,
        "frames": len(mono),
        "duration": len(mono) / fs,
    }
    return AudioInput(mono=mono, sample_rate=fs, path=path, channels=channels, frames=frames,
                      description=desc)


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
    return AudioInput(mono=np.asarray(clip.samples, dtype=np.float64), sample_rate=clip.sample_rate,
                      path=None, channels=1, frames=clip.samples[:, None], description=desc)


# ---------------------------------------------------------------- writing


def extension(path: str) -> str:
    """The file name extension, lower case, without the dot."""
    return os.path.splitext(path)[1].lstrip(".").lower()


STDOUT = "-"


def is_special(path: str) -> bool:
    """True for an existing destination that is not a regular file (a FIFO, a
    device, a socket), after following symlinks.  Such a file is written
    where it is: renaming a new file over it would replace it, not write to it."""
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:  # absent (or a dangling link): a new regular file
        return False


def check_destination(path: str, option: str, stdout_ok: bool = False) -> None:
    """Refuse, before any work, a destination that could never be written.

    A symlink is judged by the file it points to, since that is what gets
    written; ``-`` is standard output where ``stdout_ok``.
    """
    if path == STDOUT:
        if stdout_ok:
            return
        raise OutputError(f"{option} -: cannot write this to standard output; give a file name")
    target = os.path.realpath(path)
    if os.path.isdir(target):
        raise OutputError(f"{option} {path}: is a directory")
    if is_special(target):
        if not os.access(target, os.W_OK):
            raise OutputError(f"{option} {path}: not writable")
        return
    directory = os.path.dirname(target)
    if not os.path.isdir(directory):
        raise OutputError(f"{option} {path}: directory {directory} does not exist")
    if not os.access(directory, os.W_OK):
        raise OutputError(f"{option} {path}: directory {directory} is not writable")
    probe_directory(directory, f"{option} {path}")


def probe_directory(directory: str, label: str) -> None:
    """Create and remove a file in ``directory``: the permission bits do not
    tell everything (a root user, read-only mounts, /sys and /proc)."""
    import tempfile

    try:
        fd, name = tempfile.mkstemp(prefix=".korvel-probe.", dir=directory)
    except OSError as exc:
        raise OutputError(f"{label}: cannot create a file in {directory} "
                          f"({exc.strerror or type(exc).__name__})") from None
    os.close(fd)
    os.unlink(name)


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


class OutputSet:
    """Output files that appear whole, all together, or not at all.

    Each regular file is written to a temporary file beside its destination
    (beside the target of a symlink) and renamed into place when the block
    ends normally; all are removed when it raises.  Standard output (``-``)
    and destinations that exist but are not regular files (FIFOs, devices)
    cannot be renamed over: they are written to a private temporary file like
    the others (writers may need to seek), whose bytes are copied to them
    once every output is complete, just before the renames.
    """

    def __init__(self) -> None:
        self._staged: list[tuple[str, str]] = []
        self._direct: list[tuple[str, str]] = []

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
        try:
            self._stage(dest, write)
        except OSError as exc:
            # The temporary name is ours, not the user's: report the destination.
            if exc.filename is None or exc.filename == dest:
                raise
            raise type(exc)(exc.errno, exc.strerror or str(exc), dest) from None

    def _stage(self, dest: str, write: Callable[[str], None]) -> None:
        import tempfile  # only when there is something to write

        direct = dest == STDOUT or is_special(dest)
        target = os.path.realpath(dest) if not direct else dest
        name = os.path.basename(target) if not direct else "output"
        fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=".part",
                                   dir=None if direct else os.path.dirname(target))
        os.close(fd)
        (self._direct if direct else self._staged).append((tmp, target))
        write(tmp)
        # mkstemp creates the file private; give it the permissions a plain
        # open() would have.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)

    def replacement(self, dest: str, tmp: str) -> str:
        """The path to write ``dest``'s new content to, named as ``tmp`` and
        beside the file that ``dest`` resolves to (a symlink is followed, so
        that the link stays a link); renamed over that file on commit.  The
        caller creates it, with the permissions a plain open() gives."""
        target = os.path.realpath(dest)
        path = os.path.join(os.path.dirname(target), os.path.basename(tmp))
        self._staged.append((path, target))
        return path

    def commit(self) -> None:
        # Every staged file durable before anything is written or replaced.
        for tmp, _ in self._staged:
            with open(tmp, "rb") as fh:
                sync(fh)
        for tmp, dest in self._direct:
            with open(tmp, "rb") as src:
                if dest == STDOUT:
                    sys.stdout.flush()
                    shutil.copyfileobj(src, sys.stdout.buffer)
                    sys.stdout.buffer.flush()
                else:
                    with open(dest, "wb") as out:
                        shutil.copyfileobj(src, out)
        for tmp, dest in self._staged:
            os.replace(tmp, dest)
        self._staged = []
        self.discard()

    def discard(self) -> None:
        for tmp, _ in self._staged + self._direct:
            try:
                os.unlink(tmp)
            except OSError:
                pass
        self._staged = []
        self._direct = []


@contextlib.contextmanager
def replaced_atomically(dest: str, tmp: str) -> Iterator[str]:
    """Write to a temporary file in the block; then it is made durable and
    renamed over ``dest``.  If the block fails, it is removed and ``dest``
    untouched.  The temporary file is named as ``tmp`` and lies beside the
    file that ``dest`` resolves to: an :class:`OutputSet` of one file."""
    with OutputSet() as outputs:
        yield outputs.replacement(dest, tmp)
