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
import io
import json
import math
import os
import struct
import zlib
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Sequence

import numpy as np
import numpy.typing as npt

from .. import __version__
from .._errors import need
from ..analysis import BeatAnalysis, pooled_tempogram
from ..framix import calc_num_frames
from ..tempo_level import TG_FFT_LEN, TG_HOP, TG_WIN
from .assets import PAGE_CSS, PAGE_JS

ENVELOPE_RATE = 200
"""Waveform envelope columns per second: 5 ms each, finer than a beat's attack."""
TEMPOGRAM_COLUMNS = 1000
"""Most columns of the tempogram image; long tracks are pooled (maximum of each group)."""
MIN_TEMPOGRAM_COLUMNS = 200
"""Fewest columns: a short clip's few tempogram frames are spread over the whole width."""
AUDIO_BYTES_PER_SECOND = 24_000
"""Budget of the embedded audio, and of the whole page beyond a fixed allowance."""
PAGE_ALLOWANCE = 300_000
"""What a page may hold besides the per-second budget: script, style, tempogram, headers."""
VIEW_SECONDS = 15.0
"""Length of the zoomed view when the page opens: a few bars at any usual tempo."""
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
    centres = ((first + last) / 2 * TG_HOP + TG_WIN / 2 + 1) / ff
    columns = min(TEMPOGRAM_COLUMNS, max(pooled.shape[1], MIN_TEMPOGRAM_COLUMNS))
    return spread_columns(pooled, centres, duration, columns)


@dataclass(frozen=True)
class TempogramImage:
    png: bytes
    bpm_low: float
    """Tempo at the lower edge of the image."""
    bpm_high: float
    """Tempo at the upper edge of the image."""


def tempogram_image(result: BeatAnalysis, duration: float) -> TempogramImage | None:
    """The Fourier tempogram from 30 BPM to a little above the search range,
    over the whole track; None without onsets."""
    if result.tempo is None or len(result.novelty) == 0 or duration <= 0:
        return None
    ff = result.feature_rate
    if calc_num_frames(len(result.novelty), TG_WIN, TG_HOP) == 0:
        return None
    all_bpm = 60.0 * np.arange(TG_FFT_LEN // 2 + 1) * ff / TG_FFT_LEN
    # Below ~30 BPM sits the curve's mean and its slow drift, which would
    # swamp the colour scale.
    top_bpm = min(float(all_bpm[-1]), max(300.0, 1.25 * result.params.bpm_max))
    rows = np.flatnonzero((all_bpm >= 30.0) & (all_bpm <= top_bpm))
    if len(rows) < 2:
        return None
    bpm = all_bpm[rows]
    mag = whole_track_tempogram(result.novelty, ff, int(rows[0]), int(rows[-1]) + 1, duration)
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
              title: str, source: str, start: float | None = None, audio: bool = True) -> dict[str, Any]:
    """Everything the page shows, as the JSON object its script reads.

    ``signal`` is the analysed mono signal, or the name of the audio file it
    was read from (decoded again, a block at a time); ``start`` is where the
    zoomed view first begins (default: the start).
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
    image = tempogram_image(result, duration)
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
               title: str, source: str = "", start: float | None = None) -> str:
    """The report page of one analysed recording, as HTML text.

    :param signal: the analysed mono signal (what the page plays and draws),
        or the name of the audio file it was read from (decoded again block
        by block, and mixed to mono: an hour's page needs no hour of samples)
    :param title: shown as the page's heading (a file name, usually)
    :param source: a line about the input, shown beside the tempo
    :param start: where the zoomed view begins when the page opens, in seconds
    """
    doc = page_data(signal, sample_rate, result, title=title, source=source, start=start)
    return render(doc, f"korvel: {title}", _BODY, PAGE_JS)


def write_page(path: str, signal: npt.NDArray[np.floating[Any]] | str, sample_rate: int,
               result: BeatAnalysis, *, title: str, source: str = "", start: float | None = None) -> None:
    text = build_page(signal, sample_rate, result, title=title, source=source, start=start)
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
