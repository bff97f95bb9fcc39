"""The korvel command end to end, run as a user runs it: in a subprocess."""

import json
import os
import stat
import struct
import subprocess
import sys

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("matplotlib")

from korvel import audio_io, cli  # noqa: E402
from korvel.analysis import (  # noqa: E402
    AnalysisError, AnalysisParams, analyze, default_hop, min_samples, tempo_estimate)
from korvel.demo import demo_clip  # noqa: E402

from _audio import pulse_train  # noqa: E402
from _support import fifo_reader  # noqa: E402

TG_FFT_LEN = 4096


def run(*args, cwd=None, code=None):
    cmd = [sys.executable] + (["-c", code] if code else ["-m", "korvel"]) + [str(a) for a in args]
    return subprocess.run(cmd, capture_output=True, text=True, cwd=cwd, timeout=120)


def bin_spacing(feature_rate):
    return 60.0 * feature_rate / TG_FFT_LEN


def png_size(path):
    with open(path, "rb") as fh:
        head = fh.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    assert head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


def stderr_line(proc):
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1, proc.stderr
    assert "Traceback" not in proc.stderr
    return lines[0]


# ---------------------------------------------------------------- demo


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    proc = run("beats", "--plot", "demo.png", "--clicks", "demo.wav", "--json", "demo.json", cwd=out)
    assert proc.returncode == 0, proc.stderr
    return out, proc


def test_demo_announces_itself_and_prints_tempo_and_beats(demo_run):
    _, proc = demo_run
    assert proc.stderr == ""
    assert "demo clip" in proc.stdout and "120 BPM" in proc.stdout
    tempo_line = next(line for line in proc.stdout.splitlines() if line.startswith("tempo:"))
    assert abs(float(tempo_line.split()[1]) - 120.0) <= bin_spacing(22050 / 512)
    assert "beats: 16" in proc.stdout


def test_demo_plot_is_a_png_of_sensible_size(demo_run):
    out, _ = demo_run
    width, height = png_size(out / "demo.png")
    assert 600 <= width <= 4000 and 400 <= height <= 4000
    assert (out / "demo.png").stat().st_size > 20_000  # three panels, not an empty canvas


def test_demo_json_beats_lie_inside_the_clip_on_the_true_beats(demo_run):
    out, _ = demo_run
    doc = json.loads((out / "demo.json").read_text())
    clip = demo_clip()
    beats = np.array(doc["beat_times"])
    assert len(beats) >= 8
    assert np.all(np.diff(beats) > 0)
    assert 0 <= beats[0] and beats[-1] <= doc["input"]["duration"]
    assert doc["input"]["path"] is None and doc["input"]["demo"]["bpm"] == clip.bpm
    assert abs(doc["tempo"] - clip.bpm) <= bin_spacing(doc["feature_rate"])
    assert set(doc["parameters"]) == {"fft_len", "hop", "gamma", "bpm_min", "bpm_max", "lmbda"}
    assert doc["tempo_level"] == "auto" and doc["warnings"] == []
    # Every tracked beat sits on a beat of the clip, within a hop.
    err = np.min(np.abs(beats[:, None] - clip.beat_times[None, :]), axis=1)
    assert np.all(err < 0.02), err


def test_demo_click_track_has_input_length_and_a_click_on_every_beat(demo_run):
    out, _ = demo_run
    mixed, fs = sf.read(out / "demo.wav")
    clip = demo_clip()
    assert fs == clip.sample_rate
    assert mixed.shape == clip.samples.shape
    assert np.max(np.abs(mixed)) <= 1.0
    # Remove the (rescaled) input; what is left are the clicks.
    x = clip.samples
    residual = mixed - (mixed @ x) / (x @ x) * x
    beats = np.array(json.loads((out / "demo.json").read_text())["beat_times"])
    click_len = len(cli.clicks.click_sound(fs))
    mask = np.zeros(len(x), dtype=bool)
    for b in np.round(beats * fs).astype(int):
        window = residual[b : b + click_len]
        assert np.sum(window**2) > 1e-3, f"no click at sample {b}"
        mask[b : b + click_len] = True
    assert np.sum(residual[mask] ** 2) > 0.95 * np.sum(residual**2)


# ---------------------------------------------------------------- real files


@pytest.mark.parametrize("bpm, fs, channels", [(108.0, 22050, 1), (150.0, 44100, 2)])
def test_generated_file_at_known_tempo(tmp_path, bpm, fs, channels):
    path = tmp_path / "beat.wav"
    sf.write(path, pulse_train(bpm, fs, 6.0, channels), fs)
    proc = run("beats", path, "--json", tmp_path / "b.json", "--clicks", tmp_path / "c.wav")
    assert proc.returncode == 0, proc.stderr
    doc = json.loads((tmp_path / "b.json").read_text())
    assert doc["feature_rate"] == fs / default_hop(fs)
    assert abs(doc["tempo"] - bpm) <= bin_spacing(doc["feature_rate"])
    assert doc["input"]["channels"] == channels and doc["input"]["sample_rate"] == fs
    clicks, fs_out = sf.read(tmp_path / "c.wav", always_2d=True)
    assert fs_out == fs and clicks.shape == (int(6.0 * fs), channels)

    tempo = run("tempo", path)
    assert tempo.returncode == 0
    assert tempo.stdout == f"{path}: {doc['tempo']:.2f} BPM\n"


def test_tempo_reports_each_file_and_fails_for_the_bad_one(tmp_path):
    good = tmp_path / "good.flac"
    sf.write(good, pulse_train(140.0, 16000, 5.0), 16000)
    silent = tmp_path / "silent.wav"
    sf.write(silent, np.zeros(16000), 16000)
    proc = run("tempo", good, tmp_path / "missing.wav", silent)
    assert proc.returncode == 1
    lines = proc.stdout.splitlines()
    assert len(lines) == 2
    assert lines[0].startswith(f"{good}: ") and lines[0].endswith(" BPM")
    assert abs(float(lines[0].split()[1]) - 140.0) <= bin_spacing(16000 / default_hop(16000))
    assert lines[1] == f"{silent}: no tempo (no onsets)"
    assert stderr_line(proc) == f"korvel: error: {tmp_path / 'missing.wav'}: no such file"


def test_tempo_reports_an_unanalysable_file_once_and_goes_on(tmp_path):
    short = tmp_path / "short.wav"
    sf.write(short, 0.1 * np.ones(TOO_SHORT), 22050)
    good = tmp_path / "good.wav"
    sf.write(good, pulse_train(120.0, 22050, 5.0), 22050)
    proc = run("tempo", short, good)
    assert proc.returncode == 1
    assert proc.stdout.startswith(f"{good}: ") and proc.stdout.count("\n") == 1
    assert stderr_line(proc).startswith(f"korvel: error: {short}: audio too short: {TOO_SHORT} samples")


def test_silent_audio_means_no_beats_not_failure(tmp_path):
    path = tmp_path / "silent.wav"
    sf.write(path, np.zeros((22050, 2)), 22050)
    proc = run("beats", path, "--json", tmp_path / "s.json", "--clicks", tmp_path / "s.wav",
               "--plot", tmp_path / "s.png")
    assert proc.returncode == 0, proc.stderr
    assert "no beats" in proc.stdout
    doc = json.loads((tmp_path / "s.json").read_text())
    assert doc["tempo"] is None and doc["beat_times"] == []
    clicks, _ = sf.read(tmp_path / "s.wav", always_2d=True)
    assert clicks.shape == (22050, 2) and not clicks.any()
    png_size(tmp_path / "s.png")


# ---------------------------------------------------------------- failures


def _write(tmp_path, name, content):
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        sf.write(path, content, 22050, subtype="FLOAT")
    return path


TOO_SHORT = min_samples(AnalysisParams(), 22050) - 1

BAD_INPUTS = [
    # (id, files to create, args after the outputs, message fragment, exit code)
    ("missing", {}, ["nothere.wav"], "nothere.wav: no such file", 1),
    ("directory", {}, ["."], ".: is a directory", 1),
    ("corrupt", {"bad.wav": b"RIFF\x10\x00\x00\x00WAVEfmt garbage"}, ["bad.wav"], "cannot read as audio", 1),
    ("not-audio", {"notes.mp3": b"just some text, not a song\n" * 20}, ["notes.mp3"], "cannot read as audio", 1),
    ("empty", {"empty.wav": np.zeros(0)}, ["empty.wav"], "audio too short", 1),
    ("too-short", {"short.wav": 0.1 * np.ones(TOO_SHORT)}, ["short.wav"], "audio too short", 1),
    ("nan", {"nan.wav": np.full(30000, np.nan)}, ["nan.wav"], "NaN or infinite", 1),
    ("negative-hop", {}, ["--hop", "-512"], "argument --hop: must be a positive number", 2),
    ("fractional-hop", {}, ["--hop", "1014.3"], "argument --hop: expected a whole number, got '1014.3'", 2),
    ("tempo-level", {}, ["--tempo-level", "double"], "argument --tempo-level: invalid choice: 'double'", 2),
    ("zero-fft-len", {}, ["--fft-len", "0"], "argument --fft-len: must be a positive number", 2),
    ("bpm-order", {}, ["--bpm-min", "180", "--bpm-max", "90"], "bpm-min (180) must be below bpm-max (90)", 2),
    ("bpm-negative", {}, ["--bpm-min", "-10"], "bpm-min must be a positive number", 2),
    ("gamma-text", {}, ["--gamma", "loud"], "argument --gamma: expected a number, got 'loud'", 2),
    ("gamma-zero", {}, ["--gamma", "0"], "gamma must be a positive number", 2),
    ("empty-tempo-range", {}, ["--bpm-min", "120", "--bpm-max", "120.1"], "holds no tempogram bin", 1),
]


@pytest.mark.parametrize("files, extra, message, code", [c[1:] for c in BAD_INPUTS],
                         ids=[c[0] for c in BAD_INPUTS])
def test_bad_input_one_line_error_and_no_output(tmp_path, files, extra, message, code):
    for name, content in files.items():
        _write(tmp_path, name, content)
    before = set(os.listdir(tmp_path))
    proc = run("beats", "--json", "o.json", "--clicks", "o.wav", *extra, cwd=tmp_path)
    assert proc.returncode == code
    line = stderr_line(proc)
    assert line.startswith("korvel") and message in line, line
    assert set(os.listdir(tmp_path)) == before  # no output, no leftover temporary file


@pytest.mark.parametrize("option, target, message", [
    ("--plot", "out.bmpx", "cannot draw a '.bmpx' file"),
    ("--clicks", "out.mp4", "cannot write audio as '.mp4'"),
    ("--json", "no/such/dir/out.json", "does not exist"),
    ("--clicks", "in.wav", "would overwrite the input file"),
    ("--plot", "-", "--plot -: cannot write this to standard output"),
])
def test_bad_output_path_is_refused_before_any_work(tmp_path, option, target, message):
    sf.write(tmp_path / "in.wav", pulse_train(120.0, 22050, 3.0), 22050)
    before = {p: p.stat().st_mtime_ns for p in tmp_path.iterdir()}
    proc = run("beats", "in.wav", option, target, cwd=tmp_path)
    assert proc.returncode == 2
    assert message in stderr_line(proc)
    assert {p: p.stat().st_mtime_ns for p in tmp_path.iterdir()} == before


@pytest.mark.parametrize("module, args", [
    ("soundfile", ["beats", "song.wav"]),
    ("matplotlib", ["beats", "--plot", "x.png"]),
])
def test_missing_extra_gives_install_hint(tmp_path, module, args):
    # A None entry in sys.modules makes `import module` fail as if it were absent.
    code = (f"import sys; sys.modules[{module!r}] = None; "
            "from korvel.cli import main; sys.exit(main(sys.argv[1:]))")
    (tmp_path / "song.wav").write_bytes(b"")
    proc = run(*args, code=code, cwd=tmp_path)
    assert proc.returncode == 1
    line = stderr_line(proc)
    assert f"'{module}'" in line and "pip install 'korvel[cli]'" in line
    assert not (tmp_path / "x.png").exists()


def test_failure_while_writing_leaves_no_output(tmp_path, monkeypatch, capsys):
    def broken(*args, **kwargs):
        raise OSError(28, "No space left on device", "clicks.wav")

    monkeypatch.setattr(audio_io, "write_audio", broken)
    paths = [tmp_path / "r.json", tmp_path / "r.png", tmp_path / "clicks.wav"]
    code = cli.main(["beats", "--json", str(paths[0]), "--plot", str(paths[1]), "--clicks", str(paths[2])])
    assert code == 1
    assert "No space left on device" in capsys.readouterr().err
    assert os.listdir(tmp_path) == []


# Options that only this audio shows to be unusable, and destinations that
# only a try shows to be unwritable: all refused before the analysis starts.
REFUSED_UP_FRONT = [
    # (id, command, seconds of audio, args, words of the message)
    ("hop-too-fine", "beats", 3.0, ["--hop", "3"],
     ["--hop 3", "too short for the tempogram to resolve 60-200 BPM", "usable: --hop 87 to 3307"]),
    ("hop-too-coarse", "beats", 3.0, ["--hop", "100000"],
     ["--hop 100000", "cannot show tempi up to 200 BPM", "usable: --hop 87 to 3307"]),
    ("hop-too-long-for-the-clip", "beats", 1.0, ["--hop", "3000"],
     ["--hop 3000", "too few novelty frames in 1.000 s", "usable: --hop 87 to 2449"]),
    ("hop-for-slow-tempi", "tempo", 3.0, ["--hop", "100", "--bpm-min", "20"],
     ["--hop 100", "20-200 BPM", "usable: --hop 259 to 3307"]),
    ("excerpt-without-a-plot", "beats", 3.0, ["--excerpt", "1"], ["--excerpt", "--plot or --html"]),
    ("excerpt-past-the-end", "beats", 3.0, ["--plot", "p.png", "--excerpt", "3"], ["--excerpt 3", "only 3.00 s"]),
    ("html-name", "beats", 3.0, ["--html", "page.txt"], ["--html page.txt", "name it .html"]),
    ("html-stdout", "beats", 3.0, ["--html", "-"], ["--html -", "standard output"]),
    ("plot-in-sys", "beats", 3.0, ["--plot", "/sys/p.png"], ["--plot /sys/p.png", "/sys"]),
    ("html-in-proc", "beats", 3.0, ["--html", "/proc/r.html"], ["--html /proc/r.html", "/proc"]),
    ("clicks-in-sys", "beats", 3.0, ["--clicks", "/sys/c.wav"], ["--clicks /sys/c.wav", "/sys"]),
    ("json-in-sys", "beats", 3.0, ["--json", "/sys/r.json"], ["--json /sys/r.json", "/sys"]),
]


@pytest.mark.parametrize("command, seconds, args, words", [c[1:] for c in REFUSED_UP_FRONT],
                         ids=[c[0] for c in REFUSED_UP_FRONT])
def test_unusable_options_and_destinations_are_refused_before_the_analysis(
        tmp_path, command, seconds, args, words):
    sf.write(tmp_path / "in.wav", pulse_train(120.0, 22050, seconds), 22050)
    before = {p: p.stat().st_mtime_ns for p in tmp_path.iterdir()}
    proc = run(command, "in.wav", *args, cwd=tmp_path)
    assert proc.returncode == 2
    line = stderr_line(proc)
    for word in words:
        assert word in line, line
    assert ".part" not in line and "probe" not in line  # no name of ours
    assert "BPM" not in proc.stdout  # no analysis was reported
    assert {p: p.stat().st_mtime_ns for p in tmp_path.iterdir()} == before


def test_a_failed_write_names_the_destination_not_the_temporary_file(tmp_path, monkeypatch, capsys):
    def full(path, doc):
        raise OSError(28, "No space left on device", path)

    monkeypatch.setattr(audio_io, "write_json", full)
    dest = tmp_path / "r.json"
    assert cli.main(["beats", "--json", str(dest), "--quiet"]) == 1
    err = capsys.readouterr().err
    assert err == f"korvel: error: {dest}: No space left on device\n"
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("args, stdout_lines, stderr_words", [
    (["--quiet"], ["tempo: 120.05 BPM"], []),
    (["-q", "--bpm-min", "130"], ["tempo: "], ["warning", "lower limit"]),
    (["--quiet", "--html", "r.html", "--plot", "r.png"], ["tempo: 120.05 BPM"], []),
    ([], ["No AUDIO given", "input: demo clip (22050 Hz, 1 channel, 8.75 s)", "tempo: 120.05 BPM",
          "local tempo: ", "beats: 16 (times in seconds)", "  0.255 0.743"], []),
])
def test_quiet_prints_the_tempo_line_and_warnings_only(tmp_path, args, stdout_lines, stderr_words):
    proc = run("beats", *args, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) >= len(stdout_lines)
    for line, start in zip(lines, stdout_lines):
        assert line.startswith(start), proc.stdout
    if "--quiet" in args or "-q" in args:
        assert len(lines) == 1
    for word in stderr_words:
        assert word in proc.stderr
    assert all(os.path.getsize(tmp_path / name) > 0 for name in ("r.html", "r.png") if name in args)


# ---------------------------------------------------------------- destinations


@pytest.fixture(scope="module")
def track(tmp_path_factory):
    path = tmp_path_factory.mktemp("track") / "beat.wav"
    sf.write(path, pulse_train(132.0, 22050, 6.0, channels=2), 22050)
    return path


def test_json_to_stdout_carries_nothing_else(track, tmp_path):
    proc = run("beats", track, "--json", "-", "--plot", "p.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)  # the whole of stdout is the document
    assert doc["input"]["path"] == str(track) and len(doc["beat_times"]) > 5
    # The report moved to stderr, and no "wrote" line names the JSON.
    assert f"tempo: {doc['tempo']:.2f} BPM" in proc.stderr
    assert "wrote p.png (plot)" in proc.stderr and "JSON" not in proc.stderr
    assert sorted(os.listdir(tmp_path)) == ["p.png"]


def test_a_reader_gone_from_stdout_still_gets_the_files_written(track, tmp_path, monkeypatch):
    # `korvel beats x --json out.json | head -2` on a long track: the report
    # meets the closed pipe while it is printed, before the files are made.
    read_end, write_end = os.pipe()
    os.close(read_end)
    closed = os.fdopen(write_end, "w", buffering=1)
    monkeypatch.setattr(sys, "stdout", closed)
    monkeypatch.chdir(tmp_path)
    try:
        code = cli.main(["beats", str(track), "--json", "b.json", "--clicks", "c.wav"])
    finally:
        closed.close()
    assert code == 1
    assert sorted(os.listdir(tmp_path)) == ["b.json", "c.wav"]
    assert len(json.loads((tmp_path / "b.json").read_text())["beat_times"]) > 5


def test_json_through_a_symlink_and_into_a_fifo(track, tmp_path):
    (tmp_path / "store").mkdir()
    target = tmp_path / "store" / "beats.json"
    target.write_text("old")
    (tmp_path / "link.json").symlink_to(target)
    fifo = tmp_path / "out.png"
    os.mkfifo(fifo)
    reader, got = fifo_reader(fifo)  # the other end, e.g. a pipeline's consumer
    proc = run("beats", track, "--json", "link.json", "--plot", "out.png", cwd=tmp_path)
    if reader.is_alive() and proc.returncode != 0:
        open(fifo, "wb").close()  # let the reader go
    reader.join(60)
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "link.json").is_symlink()
    assert json.loads(target.read_text())["input"]["path"] == str(track)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode) and got["data"].startswith(b"\x89PNG")
    assert sorted(os.listdir(tmp_path)) == ["link.json", "out.png", "store"]
    assert os.listdir(tmp_path / "store") == ["beats.json"]


# ---------------------------------------------------------------- tempo level


def test_tempo_level_and_candidates_in_json(track, tmp_path):
    docs = {}
    for level in ("raw", "auto"):
        proc = run("beats", track, "--tempo-level", level, "--json", "-")
        assert proc.returncode == 0, proc.stderr
        docs[level] = doc = json.loads(proc.stdout)
        assert doc["tempo_level"] == level
        cands = doc["tempo_candidates"]
        assert cands and all(set(c) == {"bpm", "confidence"} for c in cands)
        assert cands[0]["bpm"] == doc["tempo"]  # the chosen one comes first
        assert all(0 <= c["confidence"] <= 1 for c in cands)
        assert sum(c["confidence"] for c in cands) <= 1 + 1e-9
        # The same numbers as the library gives for this signal and level.
        x, fs = sf.read(track)
        est = tempo_estimate(x, fs, AnalysisParams(tempo_level=level))
        assert (doc["tempo"], doc["raw_tempo"]) == (est.tempo, est.raw_tempo)
        assert [c["bpm"] for c in cands] == [c.bpm for c in est.candidates]
    # The raw level is the plain tempogram peak, and both levels agree on it.
    assert docs["raw"]["tempo"] == docs["raw"]["raw_tempo"] == docs["auto"]["raw_tempo"]
    assert abs(docs["raw"]["tempo"] - 132.0) <= bin_spacing(docs["raw"]["feature_rate"])

    tempo = run("tempo", track, "--tempo-level", "raw")
    assert tempo.stdout == f"{track}: {docs['raw']['tempo']:.2f} BPM\n"


@pytest.mark.parametrize("level", ["raw", "auto"])
def test_tempo_on_a_range_limit_is_warned_about(track, level):
    # 132 BPM searched for in 100-120 BPM: the raw peak sits on the upper limit.
    limits = ("--bpm-min", "100", "--bpm-max", "120", "--tempo-level", level)
    beats = run("beats", track, "--json", "-", *limits)
    assert beats.returncode == 0, beats.stderr
    doc = json.loads(beats.stdout)
    warnings = [line for line in beats.stderr.splitlines() if line.startswith("korvel: warning:")]
    assert warnings == [f"korvel: warning: {track}: {w}" for w in doc["warnings"]]
    tempo = run("tempo", track, *limits)
    assert tempo.returncode == 0 and tempo.stdout == f"{track}: {doc['tempo']:.2f} BPM\n"
    assert tempo.stderr.splitlines() == warnings
    if level == "raw":
        assert len(doc["warnings"]) == 1 and "upper limit of the search range (100-120 BPM)" in doc["warnings"][0]
    # Within the range, no warning.
    calm = run("tempo", track, "--tempo-level", level)
    assert calm.returncode == 0 and calm.stderr == ""


# ---------------------------------------------------------------- the road itself


def test_shortest_analysable_signal_is_exactly_min_samples():
    params = AnalysisParams(fft_len=256, hop=64)
    n = min_samples(params, 8000)
    x = np.random.default_rng(1).standard_normal(n)
    analyze(x, 8000, params)
    with pytest.raises(AnalysisError, match="too short"):
        analyze(x[:-1], 8000, params)


@pytest.mark.parametrize("given, fs, resolved", [
    ({}, 22050, (1024, 512)),
    ({}, 44100, (2048, 1024)),
    ({}, 48000, (2048, 1024)),
    ({"hop": 300}, 44100, (600, 300)),
    ({"fft_len": 4096}, 44100, (4096, 1024)),
    ({"fft_len": 512}, 44100, (512, 256)),  # a short window still gets overlapping frames
])
def test_frame_sizes_follow_the_sample_rate_unless_given(given, fs, resolved):
    assert AnalysisParams(**given).resolved(fs).sizes() == resolved


def test_demo_clip_is_deterministic_and_states_its_tempo():
    a, b = demo_clip(), demo_clip()
    assert np.array_equal(a.samples, b.samples)
    assert a.bpm == 120.0 and np.allclose(np.diff(a.beat_times), 0.5)
    assert np.max(np.abs(a.samples)) == pytest.approx(0.9)
    assert "120 BPM" in a.describe()
