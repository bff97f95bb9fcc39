"""``korvel batch --html-dir``: a report page per track, written by the
worker that analysed it, and an index page over them all.

Each worker writes the track's page and a small summary beside it (tempo,
confidence, warnings, error) under a name made from the file name and a hash
of its path, so tracks of the same name in different folders do not collide
and a resumed run finds the summaries of earlier runs.  The index is built
from those summaries once the run ends.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
from typing import Any

from ..analysis import AnalysisParams, BeatAnalysis
from ..audio_io import replaced_atomically
from ..stream import FileAnalysis
from .track import analyze_track

SUMMARIES = ".korvel-pages"
"""Folder of the per-track summaries, inside the pages' folder."""
INDEX = "index.html"


def page_name(path: str) -> str:
    """The page's file name: the track's name, made safe, and a hash of its full path."""
    stem = re.sub(r"[^A-Za-z0-9._-]+", "_", os.path.splitext(os.path.basename(path))[0])[:80] or "track"
    digest = hashlib.sha1(path.encode("utf-8", "surrogateescape")).hexdigest()[:10]
    return f"{stem}-{digest}.html"


def _write_summary(html_dir: str, name: str, summary: dict[str, Any]) -> None:
    folder = os.path.join(html_dir, SUMMARIES)
    os.makedirs(folder, exist_ok=True)
    dest = os.path.join(folder, name + ".json")
    with replaced_atomically(dest, f".{name}.json.{os.getpid()}.part") as tmp:
        with open(tmp, "w", encoding="utf-8") as fh:
            json.dump(summary, fh)


def track_with_page(path: str, params: AnalysisParams, html_dir: str) -> dict[str, Any]:
    """:func:`~korvel.batch.track.analyze_track`, and the track's report page
    in ``html_dir`` (run on the workers: it never raises for a bad track)."""
    from ..report import write_page

    name = page_name(path)
    summary: dict[str, Any] = {"path": path, "page": None, "tempo": None, "confidence": None,
                               "warnings": [], "error": None, "duration": None}

    def page(audio: FileAnalysis, result: BeatAnalysis) -> None:
        summary.update(duration=audio.duration, tempo=result.tempo,
                       confidence=(result.tempo_candidates[0].confidence
                                   if result.tempo_candidates else None),
                       warnings=[result.tempo_warning] if result.tempo_warning else [])
        dest = os.path.join(html_dir, name)
        try:
            with replaced_atomically(dest, f".{name}.{os.getpid()}.part") as tmp:
                # The file is read again block by block: the page keeps no copy of the samples.
                write_page(tmp, path, audio.sample_rate, result, title=os.path.basename(path),
                           source=path)
            summary["page"] = name
        except OSError as exc:  # the row is still good; the index says what is missing
            summary["warnings"].append(f"report page not written: {exc.strerror or exc}")

    row = analyze_track(path, params, on_result=page)
    summary["error"] = row.get("error")
    try:
        _write_summary(html_dir, name, summary)
    except OSError:
        pass  # the track is left out of the index; its row is what counts
    return row


def write_index(html_dir: str) -> int:
    """The index page over every summary in ``html_dir``; returns the number of tracks."""
    from ..report import IndexEntry, index_page

    folder = os.path.join(html_dir, SUMMARIES)
    entries = []
    for file in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        if not file.endswith(".json"):
            continue
        try:
            with open(os.path.join(folder, file), encoding="utf-8") as fh:
                s = json.load(fh)
        except (OSError, ValueError):
            continue  # a summary cut short by a killed worker: the next run writes it again
        page = s.get("page")
        if page and not os.path.exists(os.path.join(html_dir, page)):
            page = None
        entries.append(IndexEntry(path=s["path"], page=page, tempo=s.get("tempo"),
                                  confidence=s.get("confidence"), warnings=s.get("warnings") or [],
                                  error=s.get("error"), duration=s.get("duration")))
    entries.sort(key=lambda e: e.path)
    dest = os.path.join(html_dir, INDEX)
    with replaced_atomically(dest, f".{INDEX}.{os.getpid()}.part") as tmp:
        with open(tmp, "w", encoding="utf-8") as fh:
            fh.write(index_page(entries, title=f"korvel batch: {len(entries)} "
                                               f"track{'s' if len(entries) != 1 else ''}"))
    return len(entries)
