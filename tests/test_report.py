"""The report page: one self-contained HTML file that plays the music with
clicks on the beats and shows where they fall.  The pages are loaded in a
real browser (the system's Chromium, driven by playwright); the parts that
need no browser are checked directly."""

import base64
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import types
import zlib

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")

from korvel.analysis import AnalysisParams, analyze  # noqa: E402
from korvel.report import html as report  # noqa: E402
from _audio import pulse_train, scaled_to  # noqa: E402

FS = 22050


def run(*args, cwd=None):
    cmd = [sys.executable, "-m", "korvel", *map(str, args)]
    return subprocess.run(cmd, capture_output=True, text=True, cwd=cwd, timeout=300)


def music(seconds, fs, bpm=112.0, seed=0):
    """Kick, snare and hi-hat over a chord: enough of music for the road."""
    rng = np.random.default_rng(seed)
    n = int(seconds * fs)
    t = np.arange(n) / fs
    x = 0.05 * np.sin(2 * np.pi * 220 * t) + 0.03 * np.sin(2 * np.pi * 277 * t)
    period = 60.0 / bpm
    hit = np.arange(int(0.12 * fs)) / fs
    kick = np.sin(2 * np.pi * (50 + 80 * np.exp(-hit * 30)) * hit) * np.exp(-hit * 25)
    hat = rng.standard_normal(len(hit)) * np.exp(-hit * 80) * 0.2
    for i, start in enumerate(np.arange(0.2, seconds - 0.2, period / 2)):
        s = int(start * fs)
        seg = slice(s, min(n, s + len(hit)))
        x[seg] += (kick if i % 2 == 0 else hat)[: seg.stop - s] * (0.8 if i % 4 == 0 else 0.6)
    return scaled_to(0.8, x)


# ---------------------------------------------------------------- the browser

CHROMIUM_NAMES = ("chromium", "chromium-browser", "google-chrome", "chrome")


def _chromium():
    given = os.environ.get("KORVEL_CHROMIUM")
    if given:
        return given
    for name in CHROMIUM_NAMES:
        path = shutil.which(name)
        if path:
            return path
    return None


@pytest.fixture(scope="module")
def browser():
    if os.environ.get("KORVEL_SANITIZED"):
        pytest.skip("the browser would run with the sanitizer runtime preloaded")
    executable = _chromium()
    if executable is None:
        pytest.skip("no Chromium found (apt-get install chromium, or set KORVEL_CHROMIUM)")
    sync_api = pytest.importorskip("playwright.sync_api",
                                   reason="playwright is not installed (pip install playwright)")
    os.environ.setdefault("PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD", "1")
    with sync_api.sync_playwright() as pw:
        try:
            chromium = pw.chromium.launch(
                executable_path=executable,
                args=["--no-sandbox", "--autoplay-policy=no-user-gesture-required",
                      "--disable-gpu"])
        except Exception as exc:  # a browser that cannot start here is not korvel's fault
            pytest.skip(f"Chromium at {executable} does not start: {exc}")
        yield chromium
        chromium.close()


class Page:
    """A page loaded in the browser, with every script error it raised."""

    def __init__(self, browser, path):
        self.page = browser.new_page(viewport={"width": 1100, "height": 900})
        self.errors = []
        self.page.on("pageerror", lambda exc: self.errors.append(f"pageerror: {exc}"))
        self.page.on("console", lambda m: self.errors.append(f"console: {m.text}")
                     if m.type == "error" else None)
        self.fetched = []
        self.page.on("request", lambda r: self.fetched.append(r.url)
                     if not r.url.startswith(("file:", "data:", "blob:")) else None)
        self.page.goto(f"file://{path}")
        self.page.wait_for_selector("html[data-korvel-ready='1']", timeout=30_000)

    def attr(self, selector, name):
        return self.page.get_attribute(selector, name)

    def js(self, expression):
        return self.page.evaluate(expression)

    def wait_until(self, expression, timeout=15.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if self.js(expression):
                return True
            time.sleep(0.05)
        return False

    def close(self):
        self.page.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _track(folder, name, seconds, fs, channels, fmt, subtype=None):
    x = music(seconds, fs, seed=len(name))
    data = np.stack([x, 0.9 * np.roll(x, 11)], axis=1) if channels == 2 else x
    path = folder / name
    with sf.SoundFile(str(path), "w", fs, channels, format=fmt, subtype=subtype) as fh:
        for k in range(0, len(data), fs):
            fh.write(data[k:k + fs].astype(np.float32))
    return path


@pytest.fixture(scope="module")
def pages(tmp_path_factory):
    """`korvel beats --html` of the demo, a 3-minute OGG and a 5-minute MP3
    (44.1 kHz stereo), with their JSON."""
    folder = tmp_path_factory.mktemp("pages")
    tracks = {
        "demo": None,
        "ogg": _track(folder, "three.ogg", 180.0, 44100, 2, "OGG", "VORBIS"),
        "mp3": _track(folder, "five.mp3", 300.0, 44100, 2, "MP3", "MPEG_LAYER_III"),
    }
    out = {}
    for key, track in tracks.items():
        args = ([track] if track is not None else []) + ["--html", f"{key}.html", "--json",
                                                         f"{key}.json", "--quiet"]
        proc = run("beats", *args, cwd=folder)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.startswith("tempo: ") and len(proc.stdout.splitlines()) == 1, proc.stdout
        doc = json.loads((folder / f"{key}.json").read_text())
        out[key] = folder / f"{key}.html", doc
    return out


@pytest.mark.parametrize("key", ["demo", "ogg", "mp3"])
def test_page_loads_shows_the_result_and_plays(browser, pages, key):
    path, doc = pages[key]
    duration = doc["input"]["duration"]
    assert path.stat().st_size <= report.size_limit(duration)
    with Page(browser, path) as page:
        assert page.errors == [] and page.fetched == []
        assert page.attr("#korvel-report", "data-beat-count") == str(len(doc["beat_times"]))
        assert float(page.attr("#korvel-report", "data-tempo")) == pytest.approx(doc["tempo"], abs=0.005)
        assert page.js("document.getElementById('beat-count').textContent") == f"{len(doc['beat_times'])} beats"
        assert page.js("document.getElementById('audio').paused")
        start = float(page.attr("#cursor", "data-time"))
        left = page.js("document.getElementById('cursor').getBoundingClientRect().left")
        page.page.click("#play")
        assert page.wait_until("!document.getElementById('audio').paused"), "play did not start"
        assert page.wait_until("document.getElementById('audio').currentTime > 0.6"), "no playback"
        assert page.wait_until("Number(document.getElementById('cursor').dataset.time) > 0.5")
        assert float(page.attr("#cursor", "data-time")) > start
        assert page.js("document.getElementById('cursor').getBoundingClientRect().left") > left
        assert page.js("document.getElementById('play').textContent") == "Pause"
        # A click went out for every beat played so far, and none far ahead of the music.
        sound, now = page.js("[korvelSound(), document.getElementById('audio').currentTime]")
        beats = np.array(doc["beat_times"])
        assert sound["context"] == "running"
        assert np.sum(beats < now - 0.1) <= sound["clicks"] <= np.sum(beats < now + 0.5)
        page.page.click("#play")
        assert page.wait_until("document.getElementById('audio').paused")
        assert page.errors == []


def test_seeking_zooming_and_the_clicks_switch(browser, pages):
    path, doc = pages["ogg"]
    with Page(browser, path) as page:
        span = lambda: float(page.js("document.getElementById('span').textContent").split()[0])  # noqa: E731
        assert span() == pytest.approx(report.VIEW_SECONDS, abs=0.01)
        page.page.click("#zoom-in")
        assert span() == pytest.approx(report.VIEW_SECONDS / 2, abs=0.01)
        page.page.click("#zoom-out")
        page.page.click("#zoom-out")
        assert span() == pytest.approx(2 * report.VIEW_SECONDS, abs=0.01)
        # A click three quarters along the overview jumps there; the zoomed view follows.
        box = page.page.locator("#overview").bounding_box()
        page.page.mouse.click(box["x"] + 0.75 * box["width"], box["y"] + box["height"] / 2)
        when = page.js("document.getElementById('audio').currentTime")
        assert when == pytest.approx(0.75 * doc["input"]["duration"], rel=0.02)
        assert float(page.attr("#cursor", "data-time")) == pytest.approx(when, abs=0.01)
        assert page.js("getComputedStyle(document.getElementById('cursor')).display") == "block"
        # The balance shifts between music and clicks; the switch mutes the clicks.
        page.page.click("#play")
        assert page.wait_until("korvelSound().context === 'running'")
        gains = []
        for balance in ("0", "50", "100"):
            page.page.fill("#balance", balance)
            gains.append(page.js("korvelSound()"))
        assert [(g["music"], g["click"]) for g in gains] == [(1, 0), (1, 1), (0, 1)]
        page.page.click("#clicks")
        assert page.js("document.getElementById('clicks').checked") is False
        assert page.js("korvelSound().click") == 0
        page.page.click("#play")
        assert page.errors == []


def test_candidates_warnings_and_parameters_are_listed(browser, tmp_path):
    # A 120 BPM pulse searched from 130 BPM up: the tempo sits on the lower limit.
    x = pulse_train(120.0, FS, 8.0)
    result = analyze(x, FS, AnalysisParams(bpm_min=130, bpm_max=200))
    assert result.tempo_warning
    path = tmp_path / "warned.html"
    report.write_page(str(path), x, FS, result, title="warned <b>&</b> \"quoted\" </script>")
    with Page(browser, path) as page:
        assert page.errors == []
        assert page.js("document.getElementById('title').textContent") == \
            "warned <b>&</b> \"quoted\" </script>"
        warnings = page.js("[...document.querySelectorAll('#warnings li')].map(e => e.textContent)")
        assert warnings == [f"warning: {result.tempo_warning}"]
        rows = page.js("[...document.querySelectorAll('#candidates tbody tr')].map(r => r.cells.length)")
        assert len(rows) == len(result.tempo_candidates)
        params = page.js("[...document.querySelectorAll('#params tbody tr')].map(r => r.cells[0].textContent)")
        assert {"hop", "fft_len", "bpm_min", "bpm_max", "tempo_level"} <= set(params)


def test_silence_and_a_tempo_curve_are_drawn_without_error(browser, tmp_path):
    silent = np.zeros(FS * 4)
    quiet = analyze(silent, FS)
    x = pulse_train(120.0, FS, 10.0)
    steady = analyze(x, FS)
    # A result as the road reports it with a tempo curve.
    fields = {f: getattr(steady, f) for f in steady.__dataclass_fields__}
    fields.update(tempo_curve_times=np.array([1.0, 5.0, 9.0]), tempo_curve_bpm=np.array([118.0, 120.0, 122.0]))
    curved = types.SimpleNamespace(**fields)
    cases = [("silent", silent, quiet), ("curve", x, curved)]
    for name, signal, result in cases:
        path = tmp_path / f"{name}.html"
        report.write_page(str(path), signal, FS, result, title=name)
        with Page(browser, path) as page:
            assert page.errors == []
            count = page.attr("#korvel-report", "data-beat-count")
            assert count == str(len(result.beat_times))
            if name == "silent":
                assert page.attr("#korvel-report", "data-tempo") == ""
                assert "no beats" in page.js("document.getElementById('tempo').textContent")
            else:
                assert page.js("JSON.parse(document.getElementById('korvel-data').textContent).curve.bpm") \
                    == [118.0, 120.0, 122.0]


def test_batch_index_lists_the_tracks_least_confident_first(browser, tmp_path):
    from korvel.batch.pages import page_name, track_with_page, write_index

    folder = tmp_path / "music"
    folder.mkdir()
    paths = [_track(folder, f"t{i}.flac", 6.0 + i, FS, 1, "FLAC") for i in range(3)]
    noise = folder / "noise.flac"
    sf.write(noise, np.random.default_rng(1).standard_normal(FS * 6) * 0.3, FS)
    broken = folder / "broken.wav"
    broken.write_bytes(b"RIFF junk")
    pages_dir = tmp_path / "pages"
    pages_dir.mkdir()
    rows = [track_with_page(str(p), AnalysisParams(), str(pages_dir)) for p in [*paths, noise, broken]]
    assert [r["error"] is None for r in rows] == [True, True, True, True, False]
    assert write_index(str(pages_dir)) == 5
    for p in [*paths, noise]:
        assert (pages_dir / page_name(str(p))).is_file()
    assert not (pages_dir / page_name(str(broken))).exists()

    with Page(browser, pages_dir / "index.html") as page:
        assert page.errors == []
        table = """[...document.querySelectorAll('#tracks tbody tr')].map(r =>
            [r.cells[0].textContent, r.cells[2].getAttribute('data-value'),
             r.cells[1].getAttribute('data-value'), r.cells[0].querySelector('a')?.getAttribute('href')])"""
        listed = page.js(table)
        assert [row[0] for row in listed][0] == "broken.wav"  # failures first, then by confidence
        confidences = [float(row[1]) for row in listed[1:]]
        assert confidences == sorted(confidences)
        assert all((pages_dir / row[3]).is_file() for row in listed[1:]) and listed[0][3] is None
        # By tempo, ascending, then descending; tracks without one (the broken
        # file, and the noise: no steady beat) come first either way.
        page.page.click("#tracks th:nth-child(2)")
        rows = page.js(table)
        tempi = [float(row[2]) for row in rows if row[2]]
        assert tempi == sorted(tempi) and [bool(row[2]) for row in rows] == [False, False, True, True, True]
        page.page.click("#tracks th:nth-child(2)")
        rows = page.js(table)
        assert [float(row[2]) for row in rows if row[2]] == sorted(tempi, reverse=True)
        assert [bool(row[2]) for row in rows] == [False, False, True, True, True]
        # The pages it links to open too.
        with Page(browser, pages_dir / listed[1][3]) as first:
            assert first.errors == []


# ---------------------------------------------------------------- without a browser


def test_page_is_self_contained(tmp_path):
    x = pulse_train(120.0, FS, 6.0)
    text = report.build_page(x, FS, analyze(x, FS), title="t")
    # Nothing is fetched: no external scripts, styles, fonts or media.
    assert not re.search(r"""(src|href)\s*=\s*["']?(https?:|//)""", text)
    assert "<link" not in text and "@import" not in text and "url(" not in text
    assert text.count("</script>") == 2  # the data and the program, nothing breaking out early
    doc = json.loads(re.search(r'<script type="application/json" id="korvel-data">(.*?)</script>',
                               text, re.S).group(1))
    audio = base64.b64decode(doc["audio"])
    assert audio[:4] == b"OggS"
    back, rate = sf.read(io.BytesIO(audio))
    assert rate == FS and abs(len(back) - len(x)) < FS // 10


def _png_pixels(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        assert struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0] == zlib.crc32(kind + body)
        chunks[kind] = chunks.get(kind, b"") + body
        pos += 12 + length
    cols, rows = struct.unpack(">II", chunks[b"IHDR"][:8])
    raw = np.frombuffer(zlib.decompress(chunks[b"IDAT"]), np.uint8).reshape(rows, cols + 1)
    assert np.all(raw[:, 0] == 0)
    return raw[:, 1:], chunks[b"PLTE"]


def test_png_holds_the_pixels_and_palette():
    pixels = np.random.default_rng(0).integers(0, 256, (7, 13)).astype(np.uint8)
    palette = bytes(range(256)) * 3
    got, plte = _png_pixels(report.png_indexed(pixels, palette))
    assert np.array_equal(got, pixels) and plte == palette


@pytest.mark.parametrize("frames, columns", [(3, 200), (200, 200), (5000, 1000)])
def test_tempogram_columns_cover_the_whole_track(frames, columns):
    duration = 100.0
    # Frames centred from 3 s on, as a tempogram's first window ends there.
    centres = 3.0 + np.arange(frames) * ((duration - 6.0) / max(frames - 1, 1))
    mag = np.random.default_rng(frames).random((4, frames))
    out = report.spread_columns(mag, centres, duration, columns)
    assert out.shape == (4, columns)
    # The ends show the first and last frames: a short clip's image is full width.
    assert np.array_equal(out[:, 0], mag[:, 0]) and np.array_equal(out[:, -1], mag[:, -1])
    if frames > columns:  # pooled: every column is the maximum of its frames
        assert np.isclose(out.max(), mag.max()) and np.all(out.max(axis=0) > 0)


@pytest.mark.parametrize("fs, seconds", [(44100, 20.0), (96000, 5.0), (8000, 5.0)])
def test_audio_fits_its_budget_and_keeps_its_timing(fs, seconds):
    x = music(seconds, fs)
    data, rate = report.encode_audio(x, fs)
    assert len(data) <= report.AUDIO_BYTES_PER_SECOND * seconds
    back, got_rate = sf.read(io.BytesIO(data))
    assert got_rate == rate <= min(fs, 48000)
    assert abs(len(back) / rate - seconds) < 0.05
    # The beats stay where they were: the envelopes line up within a few ms.
    hop = rate // 200
    env = lambda y, r: np.abs(y[: int(seconds * r) // (r // 200) * (r // 200)]).reshape(-1, r // 200).max(1)  # noqa: E731
    a, b = env(x, fs), env(back, rate)
    n = min(len(a), len(b))
    lags = range(-3, 4)
    best = max(lags, key=lambda k: np.corrcoef(np.roll(a[:n], k), b[:n])[0, 1])
    assert abs(best) <= 1 and hop > 0


def test_a_tight_budget_lowers_the_rate():
    x = music(10.0, 44100)
    data, rate = report.encode_audio(x, 44100, budget=4000)
    assert rate < 44100
    assert sf.read(io.BytesIO(data))[1] == rate


def test_resampling_keeps_a_tone_and_removes_what_cannot_be_kept():
    fs, new = 48000, 16000
    t = np.arange(fs) / fs
    keep, alias = np.sin(2 * np.pi * 1000 * t), np.sin(2 * np.pi * 12000 * t)
    y = report.resample(keep + alias, fs, new)
    assert len(y) == new
    spec = np.abs(np.fft.rfft(y[1000:-1000] * np.hanning(len(y) - 2000)))
    freqs = np.fft.rfftfreq(len(y) - 2000, 1 / new)
    assert abs(freqs[np.argmax(spec)] - 1000) < 5
    # 12 kHz would fold to 4 kHz: it is filtered out first.
    near = spec[(freqs > 3900) & (freqs < 4100)].max()
    assert near < 1e-3 * spec.max()


def test_envelope_bytes_keep_the_extremes():
    x = np.zeros(FS)
    x[100], x[5000] = 0.5, -0.25
    lo, hi, peak = report.envelope_bytes(x, FS)
    assert peak == 0.5 and len(lo) == len(hi) == report.ENVELOPE_RATE
    assert hi.max() == 127 and lo.min() == round(-0.25 * 127 / 0.5)
    assert hi[100 * report.ENVELOPE_RATE // FS] == 127


@pytest.mark.parametrize("attrs, want", [
    ({}, None),
    ({"tempo_curve_times": [1.0, 2.0], "tempo_curve_bpm": [100.0, 101.5]}, ([1.0, 2.0], [100.0, 101.5])),
    ({"tempo_curve": types.SimpleNamespace(times=np.array([0.5]), bpm=np.array([90.0]))}, ([0.5], [90.0])),
    ({"tempo_curve": None}, None),
    ({"tempo_curve_times": [1.0, 2.0], "tempo_curve_bpm": [100.0]}, None),
    ({"tempo_curve_times": [1.0, 2.0], "tempo_curve_bpm": [100.0, float("nan")]}, ([1.0], [100.0])),
])
def test_a_tempo_curve_is_found_where_the_result_has_one(attrs, want):
    assert report.tempo_curve(types.SimpleNamespace(**attrs)) == want


def test_batch_pages_through_the_command(tmp_path):
    pytest.importorskip("distributed")
    folder = tmp_path / "music"
    folder.mkdir()
    _track(folder, "one.flac", 6.0, FS, 1, "FLAC")
    proc = run("batch", folder, "--out", tmp_path / "r.csv", "--html-dir", tmp_path / "pages",
               "--workers", 1, "--progress", "none")
    assert proc.returncode == 0, proc.stderr
    assert "1 track analysed" in proc.stdout
    assert "(1 track with report pages)" in proc.stderr
    index = (tmp_path / "pages" / "index.html").read_text()
    assert 'data-track-count="1"' in index and "one.flac" in index
    # Unusable page folders are refused before any work.
    for bad, words in [(tmp_path / "r.csv", "not a directory"), (tmp_path / "no" / "pages", "does not exist")]:
        proc = run("batch", folder, "--out", tmp_path / "s.csv", "--html-dir", bad)
        assert proc.returncode == 2 and words in proc.stderr and not (tmp_path / "s.csv").exists()


def test_a_page_from_the_file_matches_the_page_from_its_samples(tmp_path):
    from korvel.audio_io import load_audio

    path = _track(tmp_path, "x.flac", 7.3, FS, 2, "FLAC")
    audio = load_audio(str(path))
    result = analyze(audio.mono, FS)
    from_file = report.page_data(str(path), FS, result, title="x", source="", audio=False)
    in_memory = report.page_data(audio.mono, FS, result, title="x", source="", audio=False)
    assert from_file == in_memory
    assert from_file["duration"] == audio.duration


@pytest.fixture
def counted_tempograms(monkeypatch):
    """How many whole-track tempograms are computed, from here on."""
    calls = []
    pooled = report.pooled_tempogram

    def counting(*args, **kwargs):
        calls.append(args[1:3])
        return pooled(*args, **kwargs)

    monkeypatch.setattr(report, "pooled_tempogram", counting)
    return calls


def test_the_plot_and_the_page_share_one_tempogram_and_draw_it_unchanged(tmp_path, counted_tempograms):
    pytest.importorskip("matplotlib")
    from korvel.audio_io import load_audio
    from korvel.cli import plot

    path = _track(tmp_path, "x.flac", 9.0, FS, 1, "FLAC")
    audio = load_audio(str(path))
    result = analyze(audio.mono, FS)
    alone_fig = plot.build_figure(audio, result)
    alone_page = report.page_data(audio.mono, FS, result, title="x", source="", audio=False)
    assert len(counted_tempograms) == 2
    shared = report.WholeTrackTempograms(result)
    fig = plot.build_figure(audio, result, tempograms=shared)
    page = report.page_data(audio.mono, FS, result, title="x", source="", audio=False, tempograms=shared)
    assert len(counted_tempograms) == 3
    assert np.array_equal(fig.axes[1].images[0].get_array(), alone_fig.axes[1].images[0].get_array())
    assert page["tempogram"] == alone_page["tempogram"]
    # A set made for another result is not used for this one.
    other = analyze(audio.mono[: FS * 6], FS)
    report.page_data(audio.mono, FS, result, title="x", source="", audio=False,
                     tempograms=report.WholeTrackTempograms(other))
    assert len(counted_tempograms) == 4


@pytest.mark.parametrize("outputs, computed", [
    (["--plot", "p.png", "--html", "p.html"], 1),
    (["--html", "p.html"], 1),
    (["--json", "p.json"], 0),
])
def test_a_command_computes_the_whole_track_tempogram_once(tmp_path, counted_tempograms, outputs, computed):
    if "--plot" in outputs:
        pytest.importorskip("matplotlib")
    from korvel import cli

    path = _track(tmp_path, "x.flac", 6.0, FS, 1, "FLAC")
    assert cli.main(["beats", str(path), *(str(tmp_path / o) if "." in o else o for o in outputs)]) == 0
    assert len(counted_tempograms) == computed
    assert all((tmp_path / o).stat().st_size > 0 for o in outputs if "." in o)


def test_a_batch_track_computes_its_page_tempogram_once(tmp_path, counted_tempograms):
    from korvel.batch.pages import track_with_page

    path = _track(tmp_path, "x.flac", 6.0, FS, 1, "FLAC")
    (tmp_path / "pages").mkdir()
    row = track_with_page(str(path), AnalysisParams(), str(tmp_path / "pages"))
    assert row["error"] is None and len(counted_tempograms) == 1


@pytest.mark.parametrize("block", [1, 100, 777, 1 << 16])
def test_resampling_in_blocks_gives_the_same_samples(block):
    x = np.random.default_rng(block).standard_normal(50_001)
    whole = report.resample(x, 44100, 22050)
    r = report.Resampler(44100, 22050)
    parts = [r.push(x[k:k + block]) for k in range(0, len(x), block)] + [r.push(np.zeros(0), last=True)]
    assert np.array_equal(np.concatenate(parts), whole)
    assert len(whole) == 25_001
