"""One self-contained HTML page to hear and see what the road found.

The page carries everything it shows: the audio as base64 Ogg Vorbis (mono,
at a rate that keeps it near :data:`AUDIO_BYTES_PER_SECOND`), the waveform
envelope, novelty and local pulse as base64 bytes, the tempogram as a PNG
data URI and the rest as JSON.  Its script and style are written out below;
nothing is fetched, so it works from a file, offline, in any current browser.

The envelope, novelty and pulse are quantised to bytes: the page draws them a
few hundred pixels high, where a 256-step scale is finer than a pixel, and a
byte per value keeps an hour of them to a few megabytes.
"""

from __future__ import annotations

import base64
import html
import json
import os
import struct
import zlib
from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np
import numpy.typing as npt

from .. import __version__
from ..analysis import BeatAnalysis
from ..tempogram import display_rows, frame_time, num_frames, pooled_tempogram
from .assets import PAGE_CSS, PAGE_JS
# The audio's names stay importable from here, where the page's users found them.
from .audio import (AUDIO_BYTES_PER_SECOND, ENVELOPE_RATE, Blocks, EnvelopeBuilder,  # noqa: F401
                    Resampler, array_blocks, encode_audio, envelope_bytes, file_blocks, resample)

TEMPOGRAM_COLUMNS = 1000
"""Most columns of the tempogram image; long tracks are pooled (maximum of each group)."""
MIN_TEMPOGRAM_COLUMNS = 200
"""Fewest columns: a short clip's few tempogram frames are spread over the whole width."""
PAGE_ALLOWANCE = 300_000
"""What a page may hold besides the per-second budget: script, style, tempogram, headers."""
VIEW_SECONDS = 15.0
"""Length of the zoomed view when the page opens: a few bars at any usual tempo."""


# ------------------------------------------------------------------ curves


def _b64(a: npt.NDArray[Any]) -> str:
    return base64.b64encode(np.ascontiguousarray(a).tobytes()).decode("ascii")


def unit_bytes(curve: npt.NDArray[np.float64]) -> npt.NDArray[np.uint8]:
    """A curve scaled by its maximum to 0..255 (negative values to 0)."""
    if len(curve) == 0:
        return np.zeros(0, np.uint8)
    top = float(np.max(curve))
    scaled = curve / top if top > 0 else np.zeros_like(curve)
    return np.round(np.clip(scaled, 0.0, 1.0) * 255).astype(np.uint8)


# ------------------------------------------------------------------ tempogram


def _palette() -> bytes:
    """256 colours from black through purple, red and orange to pale yellow."""
    stops = np.array([(0, 0, 4), (40, 11, 84), (101, 21, 110), (159, 42, 99),
                      (212, 72, 66), (245, 125, 21), (250, 193, 39), (252, 255, 164)], float)
    pos = np.linspace(0, 1, len(stops))
    t = np.linspace(0, 1, 256)
    rgb = np.stack([np.interp(t, pos, stops[:, c]) for c in range(3)], axis=1)
    return bytes(np.round(rgb).astype(np.uint8).tobytes())


def png_indexed(pixels: npt.NDArray[np.uint8], palette: bytes) -> bytes:
    """An 8-bit palette PNG of ``pixels`` [rows, columns], top row first."""
    rows, cols = pixels.shape

    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    raw = np.concatenate((np.zeros((rows, 1), np.uint8), pixels), axis=1).tobytes()  # filter 0 per row
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", cols, rows, 8, 3, 0, 0, 0))
            + chunk(b"PLTE", palette) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def spread_columns(mag: npt.NDArray[np.float64], centres: npt.NDArray[np.float64],
                   duration: float, columns: int) -> npt.NDArray[np.float64]:
    """Tempogram frames (centred at ``centres`` s) on ``columns`` equal
    columns over the whole track: each column the maximum of the frames whose
    centre falls in it, or the nearest frame where none does (a short clip's
    first and last frames reach out to its ends)."""
    frames = mag.shape[1]
    width = duration / columns
    which = np.clip((centres / width).astype(np.int64), 0, columns - 1)
    out = np.zeros((mag.shape[0], columns))
    hit = np.zeros(columns, bool)
    np.maximum.at(out.T, which, mag.T)
    hit[which] = True
    if not np.all(hit):
        mids = (np.arange(columns) + 0.5) * width
        nearest = np.clip(np.searchsorted(centres, mids), 0, frames - 1)
        before = np.clip(nearest - 1, 0, frames - 1)
        nearest = np.where(np.abs(centres[before] - mids) <= np.abs(centres[nearest] - mids), before, nearest)
        out[:, ~hit] = mag[:, nearest[~hit]]
    return out


def whole_track_tempogram(nov: npt.NDArray[np.float64], ff: float, k_min: int, k_max: int,
                          duration: float) -> npt.NDArray[np.float64]:
    """Rows k_min .. k_max - 1 of the magnitude Fourier tempogram of ``nov``
    on equal columns over the whole track: long tracks pooled to at most
    TEMPOGRAM_COLUMNS (each the maximum of a group of frames, never the whole
    tempogram at once), a short clip's few frames spread to its ends."""
    pooled, group, frames = pooled_tempogram(nov, k_min, k_max, TEMPOGRAM_COLUMNS)
    first = np.arange(pooled.shape[1]) * group
    last = np.minimum(first + group, frames) - 1
    # A pooled column sits at the middle of the frames it holds.
    centres = frame_time((first + last) / 2, ff)
    columns = min(TEMPOGRAM_COLUMNS, max(pooled.shape[1], MIN_TEMPOGRAM_COLUMNS))
    return spread_columns(pooled, centres, duration, columns)


class WholeTrackTempograms:
    """The whole-track tempograms of one result, each made once: a command
    that draws both the plot and the page hands the same one to both.

    Keyed by what the pictures could differ by (rows and duration), so a
    picture asked for with other rows or another length still gets its own.
    """

    def __init__(self, result: BeatAnalysis) -> None:
        self.result = result
        self._made: dict[tuple[int, int, float], npt.NDArray[np.float64]] = {}

    def get(self, k_min: int, k_max: int, duration: float) -> npt.NDArray[np.float64]:
        key = (k_min, k_max, duration)
        if key not in self._made:
            mag = whole_track_tempogram(self.result.novelty, self.result.feature_rate, k_min, k_max, duration)
            mag.flags.writeable = False  # one picture must not change what the other draws
            self._made[key] = mag
        return self._made[key]


def track_tempograms(result: BeatAnalysis,
                     tempograms: WholeTrackTempograms | None) -> WholeTrackTempograms:
    """``tempograms`` when it belongs to ``result``, else a new set for it."""
    if tempograms is not None and tempograms.result is result:
        return tempograms
    return WholeTrackTempograms(result)


@dataclass(frozen=True)
class TempogramImage:
    png: bytes
    bpm_low: float
    """Tempo at the lower edge of the image."""
    bpm_high: float
    """Tempo at the upper edge of the image."""


def tempogram_image(result: BeatAnalysis, duration: float,
                    tempograms: WholeTrackTempograms | None = None) -> TempogramImage | None:
    """The Fourier tempogram from 30 BPM to a little above the search range,
    over the whole track (from ``tempograms`` when given); None without onsets."""
    if result.tempo is None or len(result.novelty) == 0 or duration <= 0:
        return None
    ff = result.feature_rate
    if num_frames(len(result.novelty)) == 0:
        return None
    rows, bpm = display_rows(ff, result.params.bpm_max)
    if len(rows) < 2:
        return None
    mag = track_tempograms(result, tempograms).get(int(rows[0]), int(rows[-1]) + 1, duration)
    top = float(np.max(mag))
    level = np.sqrt(mag / top) if top > 0 else mag  # square root: weaker levels stay visible
    pixels = np.round(level * 255).astype(np.uint8)[::-1]  # highest tempo on the top row
    step = float(bpm[1] - bpm[0])
    return TempogramImage(png_indexed(pixels, _palette()), float(bpm[0]) - step / 2,
                          float(bpm[-1]) + step / 2)


def tempo_curve(result: BeatAnalysis) -> tuple[list[float], list[float]] | None:
    """(times, BPM) of the result's tempo curve where the road reports one.

    Looked up by name, as a pair of arrays (``tempo_curve_times``,
    ``tempo_curve_bpm``) or an object ``tempo_curve`` with ``times`` and
    ``bpm``: results without a curve simply draw none.
    """
    curve = getattr(result, "tempo_curve", None)
    times = getattr(result, "tempo_curve_times", None)
    bpm = getattr(result, "tempo_curve_bpm", None)
    if curve is not None and (times is None or bpm is None):
        times = getattr(curve, "times", None)
        bpm = getattr(curve, "bpm", None)
    if times is None or bpm is None:
        return None
    t = np.asarray(times, dtype=np.float64).ravel()
    b = np.asarray(bpm, dtype=np.float64).ravel()
    if len(t) == 0 or len(t) != len(b):
        return None
    keep = np.isfinite(t) & np.isfinite(b)
    return [round(float(v), 3) for v in t[keep]], [round(float(v), 2) for v in b[keep]]


# ------------------------------------------------------------------ page


def page_data(signal: npt.NDArray[np.floating[Any]] | str, sample_rate: int, result: BeatAnalysis, *,
              title: str, source: str, start: float | None = None, audio: bool = True,
              tempograms: WholeTrackTempograms | None = None) -> dict[str, Any]:
    """Everything the page shows, as the JSON object its script reads.

    ``signal`` is the analysed mono signal, or the name of the audio file it
    was read from (decoded again, a block at a time); ``start`` is where the
    zoomed view first begins (default: the start); ``tempograms``, the
    result's whole-track tempograms where another picture shares them.
    """
    envelope = EnvelopeBuilder(sample_rate)
    audio_uri = None
    audio_rate = None
    if isinstance(signal, str):
        blocks = file_blocks(signal)
        src: npt.NDArray[np.floating[Any]] | Blocks = blocks
    else:
        src = signal
        blocks = array_blocks(signal)
    if audio and (not isinstance(signal, np.ndarray) or len(signal)):
        ogg, audio_rate = encode_audio(src, sample_rate, envelope=envelope)
        audio_uri = base64.b64encode(ogg).decode("ascii")
    else:
        for block in blocks():
            envelope.push(block)
    lo, hi, peak = envelope.result()
    duration = envelope.pos / sample_rate
    image = tempogram_image(result, duration, tempograms)
    params = {**result.params.as_dict(), "tempo_level": result.params.tempo_level}
    warnings = [result.tempo_warning] if result.tempo_warning else []
    curve = tempo_curve(result)
    return {
        "version": __version__,
        "title": title,
        "source": source,
        "duration": duration,
        "sample_rate": sample_rate,
        "tempo": result.tempo,
        "raw_tempo": result.raw_tempo,
        "beats": [round(float(t), 4) for t in result.beat_times],
        "candidates": [{"bpm": c.bpm, "confidence": c.confidence} for c in result.tempo_candidates],
        "warnings": warnings,
        "params": params,
        "feature_rate": result.feature_rate,
        "envelope": {"rate": ENVELOPE_RATE, "peak": peak, "min": _b64(lo), "max": _b64(hi)},
        "novelty": _b64(unit_bytes(result.novelty)),
        "pulse": _b64(unit_bytes(result.local_pulse)),
        "tempogram": None if image is None else {
            "png": base64.b64encode(image.png).decode("ascii"),
            "bpm_low": image.bpm_low, "bpm_high": image.bpm_high},
        "curve": None if curve is None else {"times": curve[0], "bpm": curve[1]},
        "audio": audio_uri,
        "audio_rate": audio_rate,
        "view": {"start": 0.0 if start is None else float(start), "span": VIEW_SECONDS},
    }


def _script_json(doc: Any) -> str:
    """JSON that can sit inside a <script> element: no '</' or '<!--' in it."""
    text = json.dumps(doc, separators=(",", ":"), allow_nan=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def render(doc: dict[str, Any], page_title: str, body: str, script: str) -> str:
    tempo = doc.get("tempo")
    return (
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        f"<title>{html.escape(page_title)}</title>\n<style>{PAGE_CSS}</style>\n</head>\n<body>\n"
        f"<main id=\"korvel-report\" data-tempo=\"{'' if tempo is None else f'{tempo:.2f}'}\" "
        f"data-beat-count=\"{len(doc.get('beats', []))}\">\n{body}\n</main>\n"
        f"<script type=\"application/json\" id=\"korvel-data\">{_script_json(doc)}</script>\n"
        f"<script>{script}</script>\n</body>\n</html>\n"
    )


_BODY = """<header>
<h1 id="title"></h1>
<p class="headline"><span id="tempo"></span> <span id="beat-count"></span>
<span class="source" id="source"></span></p>
<ul id="warnings" class="warnings"></ul>
</header>
<section class="transport" aria-label="playback">
<button id="play" type="button" disabled>Play</button>
<input id="seek" type="range" min="0" max="1000" value="0" step="1" aria-label="position">
<span id="clock" class="clock">0:00.0</span>
<label><input id="clicks" type="checkbox" checked> clicks on the beats</label>
<label>music <input id="balance" type="range" min="0" max="100" value="50" aria-label="balance"> clicks</label>
</section>
<section aria-label="waveform">
<div class="row"><h2>Whole track</h2><span class="hint">click to jump there</span></div>
<div class="plot"><canvas id="overview" height="70"></canvas></div>
<div class="row"><h2>Waveform and beats</h2>
<span class="zoom"><button id="zoom-out" type="button" title="zoom out">&minus;</button>
<span id="span"></span><button id="zoom-in" type="button" title="zoom in">+</button></span>
<span class="hint">click to jump, wheel to zoom</span></div>
<div class="plot" id="detail-box"><canvas id="detail" height="150"></canvas>
<div id="cursor" class="cursor"></div></div>
<div class="row"><h2>Novelty <span class="key nov"></span> and local pulse <span class="key pulse"></span>
with beats <span class="key beat"></span></h2></div>
<div class="plot"><canvas id="novelty" height="120"></canvas></div>
</section>
<section aria-label="tempo">
<div class="row"><h2>Tempogram</h2><span class="hint">tempo <span class="key tempo"></span>,
<span id="curve-key" hidden>tempo curve <span class="key curve"></span>, </span>search range dotted,
candidates on the right</span></div>
<div class="plot" id="tempogram-box"><canvas id="tempogram" height="220"></canvas></div>
<div class="tables">
<table id="candidates"><caption>Tempo candidates</caption>
<thead><tr><th>BPM</th><th>confidence</th></tr></thead><tbody></tbody></table>
<table id="params"><caption>Parameters</caption><tbody></tbody></table>
</div>
</section>
<footer>korvel <span id="version"></span></footer>
<audio id="audio" preload="auto"></audio>"""


def build_page(signal: npt.NDArray[np.floating[Any]] | str, sample_rate: int, result: BeatAnalysis, *,
               title: str, source: str = "", start: float | None = None,
               tempograms: WholeTrackTempograms | None = None) -> str:
    """The report page of one analysed recording, as HTML text.

    :param signal: the analysed mono signal (what the page plays and draws),
        or the name of the audio file it was read from (decoded again block
        by block, and mixed to mono: an hour's page needs no hour of samples)
    :param title: shown as the page's heading (a file name, usually)
    :param source: a line about the input, shown beside the tempo
    :param start: where the zoomed view begins when the page opens, in seconds
    :param tempograms: the result's whole-track tempograms, shared with the
        command's other pictures (made here when not given)
    """
    doc = page_data(signal, sample_rate, result, title=title, source=source, start=start,
                    tempograms=tempograms)
    return render(doc, f"korvel: {title}", _BODY, PAGE_JS)


def write_page(path: str, signal: npt.NDArray[np.floating[Any]] | str, sample_rate: int,
               result: BeatAnalysis, *, title: str, source: str = "", start: float | None = None,
               tempograms: WholeTrackTempograms | None = None) -> None:
    text = build_page(signal, sample_rate, result, title=title, source=source, start=start,
                      tempograms=tempograms)
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(text)


def size_limit(duration: float) -> int:
    """The most bytes a page of ``duration`` seconds of audio should take."""
    return PAGE_ALLOWANCE + int(AUDIO_BYTES_PER_SECOND * duration)


# ------------------------------------------------------------------ index


@dataclass(frozen=True)
class IndexEntry:
    """One track of a batch's index page."""

    path: str
    page: str | None
    """The track's page, relative to the index; None when it has none."""
    tempo: float | None
    confidence: float | None
    warnings: Sequence[str]
    error: str | None = None
    duration: float | None = None


def index_page(entries: Sequence[IndexEntry], title: str = "korvel batch") -> str:
    """A page listing the tracks, sortable by any column (least confident first)."""
    from .assets import INDEX_JS

    rows = []
    for e in entries:
        name = html.escape(os.path.basename(e.path) or e.path)
        link = f"<a href=\"{html.escape(e.page)}\">{name}</a>" if e.page else name
        conf = "" if e.confidence is None else f"{e.confidence:.3f}"
        tempo = "" if e.tempo is None else f"{e.tempo:.2f}"
        dur = "" if e.duration is None else f"{e.duration:.1f}"
        notes = "; ".join(html.escape(w) for w in e.warnings)
        if e.error:
            notes = f"<span class=\"error\">error: {html.escape(e.error)}</span>" + (f"; {notes}" if notes else "")
        rows.append(
            f"<tr><td title=\"{html.escape(e.path)}\">{link}</td>"
            f"<td data-value=\"{'' if e.tempo is None else e.tempo}\">{tempo}</td>"
            f"<td data-value=\"{'' if e.confidence is None else e.confidence}\">{conf}</td>"
            f"<td data-value=\"{'' if e.duration is None else e.duration}\">{dur}</td>"
            f"<td data-value=\"{len(e.warnings) + (1 if e.error else 0)}\">{notes}</td></tr>")
    body = (f"<h1>{html.escape(title)}</h1>\n<p>{len(entries)} track{'s' if len(entries) != 1 else ''}; "
            "click a column heading to sort (confidence: least confident first).</p>\n"
            "<table id=\"tracks\" class=\"index\"><thead><tr>"
            "<th data-kind=\"text\">track</th><th data-kind=\"number\">tempo (BPM)</th>"
            "<th data-kind=\"number\">confidence</th><th data-kind=\"number\">duration (s)</th>"
            "<th data-kind=\"number\">warnings</th></tr></thead>\n<tbody>\n"
            + "\n".join(rows) + "\n</tbody></table>")
    return (
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        f"<title>{html.escape(title)}</title>\n<style>{PAGE_CSS}</style>\n</head>\n<body>\n"
        f"<main id=\"korvel-index\" data-track-count=\"{len(entries)}\">\n{body}\n</main>\n"
        f"<script>{INDEX_JS}</script>\n</body>\n</html>\n")
