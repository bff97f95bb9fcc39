"""Finding the audio files that the INPUT arguments of a batch name."""

from __future__ import annotations

import glob
import os
from typing import Iterable, Iterator, Sequence

from ..audio_io import extension
from .errors import BatchError

# What soundfile (libsndfile) reads, by the extensions such files usually carry.
AUDIO_EXTENSIONS = (
    "wav", "wave", "flac", "ogg", "oga", "opus", "mp3", "aif", "aiff", "aifc",
    "au", "snd", "caf", "w64", "rf64", "voc",
)


def _is_audio(name: str, extensions: frozenset[str]) -> bool:
    return extension(name) in extensions


def _walk(folder: str, extensions: frozenset[str]) -> Iterator[str]:
    # Hidden files and folders are skipped: they are mostly the "._song.wav"
    # shadows and caches that other systems leave beside music.
    for root, dirs, files in os.walk(folder, followlinks=True):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in files:
            if not name.startswith(".") and _is_audio(name, extensions):
                yield os.path.join(root, name)


def find_tracks(inputs: Sequence[str], extensions: Iterable[str] = AUDIO_EXTENSIONS) -> list[str]:
    """Absolute paths of the audio files that the INPUT arguments name, sorted,
    each once.

    A file given by name is taken whatever its extension; folders (searched
    recursively) and glob patterns contribute files with an audio extension.
    """
    exts = frozenset(e.lstrip(".").lower() for e in extensions)
    found: set[str] = set()
    for item in inputs:
        if os.path.isfile(item):
            found.add(os.path.abspath(item))
            continue
        if os.path.isdir(item):
            matches = list(_walk(item, exts))
            if not matches:
                raise BatchError(f"{item}: no audio files in this folder "
                                 f"(looked for .{', .'.join(sorted(exts))})")
            found.update(os.path.abspath(p) for p in matches)
            continue
        if not glob.has_magic(item):
            raise BatchError(f"{item}: no such file or folder")
        hits: list[str] = []
        for match in glob.glob(item, recursive=True):
            if os.path.isdir(match):
                hits.extend(_walk(match, exts))
            elif os.path.isfile(match) and _is_audio(match, exts):
                hits.append(match)
        if not hits:
            raise BatchError(f"{item}: the pattern matches no audio file")
        found.update(os.path.abspath(p) for p in hits)
    return sorted(found)
