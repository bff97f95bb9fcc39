"""korvel batch: a generated collection through local and external Dask clusters.

The command runs in a subprocess, as a user runs it; every cluster listens on
127.0.0.1 only.  Collections are a few seconds of audio per track, so the
clusters' start-up dominates the run time.
"""

import json
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("tqdm")
psutil = pytest.importorskip("psutil")

from korvel import batch  # noqa: E402
from korvel.batch import BatchError  # noqa: E402

from _audio import pulse_train  # noqa: E402

# 11025/256, 22050/512 and 44100/1024 (the default hops) share one feature rate
# and so one tempogram bin spacing.
RATES = (11025, 22050, 44100)
DEFAULT_HOP = {11025: 256, 22050: 512, 44100: 1024}
FEATURE_RATE = 44100 / 1024
BIN = 60.0 * FEATURE_RATE / 4096


def near(tempo, bpm):
    """The road's tempo is the rate of its beats, not a tempogram bin: over
    6 s of noise bursts it is good to half a percent."""
    return abs(tempo / bpm - 1.0) <= 0.005
GOOD = 40


def run(*args, timeout=120):
    cmd = [sys.executable, "-m", "korvel", "batch", *[str(a) for a in args]]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def read_rows(path):
    path = str(path)
    if path.endswith(".parquet"):
        return pq.read_table(path).to_pylist()
    if path.endswith(".csv"):
        import csv

        with open(path, newline="") as fh:
            return [batch.parse_csv_row(r) for r in csv.DictReader(fh)]
    with open(path) as fh:
        return [json.loads(line) for line in fh]


@pytest.fixture(scope="module")
def collection(tmp_path_factory):
    """40 tracks at known tempi (WAV and FLAC, three sample rates, nested
    folders), a stereo track, and the troublemakers."""
    root = tmp_path_factory.mktemp("collection")
    truth = {}
    for i in range(GOOD):
        fs = RATES[i % 3]
        # Tempi on the bin centres: one bin of tolerance is then a fair test.
        bpm = round((100 + 2 * i) / BIN) * BIN
        folder = root / f"album{i % 4}" / ("disc2" if i % 5 == 0 else "")
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / f"track{i:02d}.{'flac' if i % 2 else 'wav'}"
        sf.write(path, pulse_train(bpm, fs, 6, seed=i + 7), fs)
        truth[str(path)] = bpm
    bpm = round(128 / BIN) * BIN
    stereo = np.stack([pulse_train(bpm, 22050, 6, seed=99)] * 2, axis=1) * [1.0, 0.5]
    sf.write(root / "stereo.wav", stereo, 22050)
    truth[str(root / "stereo.wav")] = bpm
    bad = {
        str(root / "corrupt.wav"): "cannot read as audio",
        str(root / "empty.flac"): "cannot read as audio",
        str(root / "short.wav"): "too short",
    }
    (root / "corrupt.wav").write_bytes(b"RIFF\x24\x00\x00\x00WAVEfmt " + bytes(range(256)) * 4)
    (root / "empty.flac").write_bytes(b"")
    sf.write(root / "short.wav", pulse_train(120, 22050, 0.15, seed=1), 22050)
    sf.write(root / "silent.wav", np.zeros(22050 * 3), 22050)
    # Not picked up from a folder: hidden, or not audio.
    (root / "notes.txt").write_text("not audio")
    sf.write(root / "._stereo.wav", np.zeros(100), 22050)
    return root, truth, bad, str(root / "silent.wav")


@pytest.fixture(scope="module")
def local_run(collection, tmp_path_factory):
    root, *_ = collection
    out = tmp_path_factory.mktemp("results") / "results.parquet"
    proc = run(root, "--out", out, "--workers", 2, "--progress", "lines", "--progress-every", 0)
    assert proc.returncode == 0, proc.stderr
    return out, proc


def test_every_good_track_gets_its_tempo(collection, local_run):
    _, truth, _, _ = collection
    rows = {r["path"]: r for r in read_rows(local_run[0])}
    for path, bpm in truth.items():
        row = rows[path]
        assert row["error"] is None, row
        # The plain estimate finds the burst rate; the chosen level may be
        # that or, with every other burst louder, its half (within the usual
        # 4 %: the half-rate peak of a 6 s clip is broad).
        assert abs(row["raw_tempo"] - bpm) <= BIN, (path, row["raw_tempo"], bpm)
        half_ok = abs(row["tempo"] - bpm / 2) <= 0.04 * bpm / 2
        assert near(row["tempo"], bpm) or half_ok, (path, row["tempo"], bpm)
        assert row["duration"] == pytest.approx(6.0, abs=1e-3)
        assert row["hop"] == DEFAULT_HOP[row["sample_rate"]] and row["fft_len"] == 2 * row["hop"]
        assert row["feature_rate"] == FEATURE_RATE
        assert (row["gamma"], row["bpm_min"], row["bpm_max"], row["lmbda"]) == (100, 60, 200, 10)
        assert row["tempo_level"] == "auto"
        beats = np.asarray(row["beat_times"])
        assert row["num_beats"] == len(beats) > 0
        assert np.all(np.diff(beats) > 0) and 0 < beats[0] and beats[-1] < row["duration"]
        # Beats follow the bursts: about one per beat period over the clip.
        assert abs(np.median(np.diff(beats)) - 60.0 / row["tempo"]) < 0.05
    assert rows[str(collection[0] / "stereo.wav")]["channels"] == 2


def test_bad_tracks_are_recorded_with_their_errors(collection, local_run):
    root, truth, bad, silent = collection
    rows = read_rows(local_run[0])
    assert sorted(r["path"] for r in rows) == sorted([*truth, *bad, silent])
    by_path = {r["path"]: r for r in rows}
    for path, message in bad.items():
        row = by_path[path]
        assert message in row["error"], row
        assert row["tempo"] is None and row["num_beats"] == 0 and row["beat_times"] == []
    assert by_path[str(root / "short.wav")]["sample_rate"] == 22050
    # Silence is an answer, not a failure.
    row = by_path[silent]
    assert row["error"] is None and row["tempo"] is None and row["num_beats"] == 0


def test_progress_and_summary(collection, local_run):
    _, truth, bad, _ = collection
    total = len(truth) + len(bad) + 1
    _, proc = local_run
    assert "Traceback" not in proc.stderr
    assert "2 local worker processes" in proc.stderr
    counts = [int(m) for m in re.findall(rf"(\d+)/{total} tracks \(", proc.stderr)]
    assert counts and counts == sorted(counts) and counts[-1] == total
    assert re.search(r"ETA \d+:\d\d", proc.stderr)
    summary = proc.stdout.strip().splitlines()[-1]
    assert f"{total} tracks analysed, {len(bad)} failed, 0 already in" in summary
    assert re.search(r"wall time [\d.]+ s .* [\d.]+ tracks/s", summary)


def test_second_run_does_no_work(collection, local_run):
    out, _ = local_run
    before = out.read_bytes()
    proc = run(collection[0], "--out", out, "--progress", "lines")
    assert proc.returncode == 0, proc.stderr
    assert "nothing to do" in proc.stdout
    assert "worker" not in proc.stderr  # no cluster was started
    assert out.read_bytes() == before
    assert not os.path.exists(f"{out}.parts")


def test_resuming_with_other_parameters_is_refused(collection, local_run):
    out, _ = local_run
    before = out.read_bytes()
    proc = run(collection[0], "--out", out, "--bpm-min", 70)
    assert proc.returncode == 2
    assert "other analysis parameters (bpm-min 60.0)" in proc.stderr
    assert len(proc.stderr.strip().splitlines()) == 1
    proc = run(collection[0], "--out", out, "--tempo-level", "raw")
    assert proc.returncode == 2 and "other analysis parameters (tempo-level auto)" in proc.stderr
    assert out.read_bytes() == before


# ---------------------------------------------------------------- interruption


LONG_TRACKS = 120
"""Tracks enough that a one-worker run is still going when the signal comes,
however late a busy machine lets the test send it (one file, linked under
many names)."""


@pytest.fixture(scope="module")
def long_collection(tmp_path_factory):
    """Tracks long enough that a one-worker run can be stopped part-way."""
    source = tmp_path_factory.mktemp("long-source") / "take.wav"
    sf.write(source, pulse_train(120, 44100, 15, seed=3), 44100, subtype="PCM_16")
    root = tmp_path_factory.mktemp("long")
    for i in range(LONG_TRACKS):
        (root / f"take{i:03d}.wav").symlink_to(source)
    return root


def test_interrupted_run_resumes_without_loss_or_duplicates(long_collection, tmp_path):
    # Parquet, the format that cannot simply be appended to; the line formats'
    # recovery from a cut-off write is tested on its own below.
    out = tmp_path / "results.parquet"

    def chunks():  # rows on disk so far, one chunk file each
        return len(os.listdir(f"{out}.parts")) if os.path.isdir(f"{out}.parts") else 0

    cmd = [sys.executable, "-m", "korvel", "batch", str(long_collection), "--out", str(out),
           "--workers", "1", "--chunk-size", "1", "--progress", "lines", "--progress-every", "0"]
    # Its own process group, as in a terminal, so that Ctrl-C reaches the
    # workers too; they must leave the stopping to the client.
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        deadline = time.monotonic() + 90
        while chunks() < 3 and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        os.killpg(proc.pid, signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert proc.returncode == 130, stderr
    assert "Traceback" not in stderr and "KeyboardInterrupt" not in stderr
    assert "interrupted" in stdout and "run the same command again" in stderr
    first = read_rows(out)
    assert 3 <= len(first) < LONG_TRACKS, "the run was not stopped part-way"
    assert all(r["error"] is None for r in first)
    assert not os.path.exists(f"{out}.parts")

    proc = run(long_collection, "--out", out, "--workers", 2, "--progress", "none")
    assert proc.returncode == 0, proc.stderr
    assert f"already in {out}" in proc.stdout and f"{LONG_TRACKS - len(first)} tracks analysed" in proc.stdout
    rows = read_rows(out)
    paths = [r["path"] for r in rows]
    assert sorted(paths) == sorted(str(p) for p in long_collection.iterdir())
    assert len(set(paths)) == len(paths) == LONG_TRACKS
    assert all(r["error"] is None and near(r["tempo"], 120) for r in rows)


# ---------------------------------------------------------------- external cluster


def _kill_tree(procs):
    """Stop processes we started, and whatever they started, by pid."""
    family = []
    for p in procs:
        try:
            family += psutil.Process(p.pid).children(recursive=True)
        except psutil.NoSuchProcess:
            pass
    for p in reversed(procs):  # workers before their scheduler
        if p.poll() is None:
            p.terminate()
    for p in procs:
        try:
            p.wait(timeout=3)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
    _, alive = psutil.wait_procs(family, timeout=10)
    for child in alive:
        child.kill()
    psutil.wait_procs(alive, timeout=10)


@pytest.fixture
def scheduler(tmp_path):
    """A `dask scheduler` and two `dask worker` processes on 127.0.0.1."""
    file = tmp_path / "scheduler.json"
    dask = [sys.executable, "-m", "dask"]
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tmp_path)
    procs = [subprocess.Popen(dask + ["scheduler", "--host", "127.0.0.1", "--port", "0",
                                      "--no-dashboard", "--scheduler-file", str(file)], **quiet)]
    try:
        deadline = time.monotonic() + 60
        while not file.exists() and time.monotonic() < deadline:
            assert procs[0].poll() is None, "the scheduler did not start"
            time.sleep(0.1)
        time.sleep(0.2)  # the file is written whole, but give it a moment
        address = json.loads(file.read_text())["address"]
        assert address.startswith("tcp://127.0.0.1:")
        for _ in range(2):
            procs.append(subprocess.Popen(
                dask + ["worker", address, "--host", "127.0.0.1", "--nthreads", "1",
                        "--no-dashboard"], **quiet))
        with distributed.Client(address, timeout="30s") as client:
            client.wait_for_workers(2, timeout=60)
        yield address
    finally:
        _kill_tree(procs)
    assert all(p.poll() is not None for p in procs)


def test_runs_on_an_existing_scheduler(collection, scheduler, tmp_path):
    root, truth, bad, _ = collection
    out = tmp_path / "results.csv"
    inputs = [root / "corrupt.wav", str(root / "album1" / "*.flac"), root / "stereo.wav"]
    proc = run(*inputs, "--out", out, "--scheduler", scheduler, "--progress", "bar")
    assert proc.returncode == 0, proc.stderr
    assert f"the Dask cluster at {scheduler} (2 workers" in proc.stderr
    # The news is a line of its own, not glued to the bar drawn before it.
    news = [line for line in proc.stderr.splitlines() if "running on" in line]
    assert len(news) == 1 and news[0].split("\r")[-1].startswith("korvel batch: running on"), news
    # The bar as a terminal would show it: done/total, rate and time left.
    total = len(read_rows(out))
    assert re.search(rf"{total}/{total} \[[\d:]+<[\d:]+, +[\d.]+(track/s|s/track)", proc.stderr), proc.stderr
    rows = {r["path"]: r for r in read_rows(out)}
    flacs = {p for p in truth if os.path.dirname(p) == str(root / "album1") and p.endswith(".flac")}
    assert flacs
    assert set(rows) == flacs | {str(root / "corrupt.wav"), str(root / "stereo.wav")}
    assert "cannot read as audio" in rows[str(root / "corrupt.wav")]["error"]
    for path in flacs | {str(root / "stereo.wav")}:
        assert near(rows[path]["tempo"], truth[path])
        assert rows[path]["num_beats"] == len(rows[path]["beat_times"]) > 0


# ---------------------------------------------------------------- a dying worker


def _crash_on_some(path, params):
    if "crash" in os.path.basename(path):
        os._exit(3)
    return batch.analyze_track(path, params)


def test_a_track_that_kills_its_worker_is_recorded_as_failed(collection, tmp_path, monkeypatch):
    import cloudpickle
    import dask

    # The workers cannot import this test module; send the task by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    root, truth, _, _ = collection
    good = sorted(truth)[:6]
    crash = tmp_path / "crash.wav"
    crash.write_bytes((root / "stereo.wav").read_bytes())
    out = tmp_path / "results.jsonl"
    try:
        with dask.config.set({"distributed.scheduler.allowed-failures": 1}), \
                open(os.devnull, "w") as devnull:
            summary = batch.run_batch([*good, str(crash)], str(out), workers=2, progress="none",
                                      task=_crash_on_some, log=devnull)
    finally:
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
    assert (summary.analysed, summary.failed, summary.interrupted) == (7, 1, False)
    rows = {r["path"]: r for r in read_rows(out)}
    assert "worker process died" in rows[str(crash)]["error"]
    assert all(rows[p]["error"] is None and near(rows[p]["tempo"], truth[p]) for p in good)


# ---------------------------------------------------------------- pieces


def test_finding_tracks(collection, tmp_path, monkeypatch):
    root, truth, bad, silent = collection
    every = sorted([*truth, *bad, silent])
    assert batch.find_tracks([str(root)]) == every
    # Overlapping inputs give each file once; a named file counts whatever its name.
    assert batch.find_tracks([str(root), str(root / "album0"), str(root / "notes.txt")]) == \
        sorted([*every, str(root / "notes.txt")])
    monkeypatch.chdir(root)
    assert batch.find_tracks(["album2/*.wav"]) == sorted(
        p for p in truth if os.path.dirname(p) == str(root / "album2") and p.endswith(".wav"))
    assert batch.find_tracks(["**/disc2"]) == sorted(p for p in truth if "/disc2/" in p)
    assert batch.find_tracks([str(root)], extensions=["FLAC"]) == sorted(
        p for p in every if p.endswith(".flac"))


@pytest.mark.parametrize("inputs, message", [
    (["stereo.wav", "missing.wav"], "missing.wav: no such file or folder"),
    (["*.mp3"], "*.mp3: the pattern matches no audio file"),
    (["*.txt"], "*.txt: the pattern matches no audio file"),
    (["docs"], "docs: no audio files in this folder"),
])
def test_inputs_that_name_nothing(collection, tmp_path, monkeypatch, inputs, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "notes.txt").write_text("not audio")
    (tmp_path / "docs" / ".hidden.wav").write_bytes((collection[0] / "stereo.wav").read_bytes())
    (tmp_path / "stereo.wav").write_bytes(b"")
    (tmp_path / "a.txt").write_text("not audio")
    with pytest.raises(BatchError, match=re.escape(message)):
        batch.find_tracks(inputs)


def _row(i, error=None):
    row = dict.fromkeys(batch.COLUMNS)
    row.update(path=f"/music/{i:03d}.wav", duration=6.0, sample_rate=22050, channels=1,
               tempo=None if error else 120.0 + i, num_beats=0 if error else 3,
               beat_times=[] if error else [0.5, 1.0, 1.5 + i / 1000], fft_len=1024, hop=512,
               gamma=100.0, bpm_min=60.0, bpm_max=200.0, lmbda=10.0, feature_rate=22050 / 512,
               error=error)
    return row


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".parquet"])
def test_results_round_trip_in_chunks(tmp_path, suffix):
    out = str(tmp_path / f"r{suffix}")
    rows = [_row(i) for i in range(5)] + [_row(5, "cannot read as audio (bad,\n \"file\")")]
    results = batch.open_results(out)
    results.append(rows[:2])
    results.append(rows[2:])
    results.append([])
    results.finish()
    got = read_rows(out)
    want = [dict(r, error=r["error"] and 'cannot read as audio (bad, "file")') for r in rows]
    assert got == want
    assert [r["path"] for r in batch.open_results(out).existing()] == [r["path"] for r in rows]


@pytest.mark.parametrize("suffix", [".csv", ".jsonl"])
def test_half_written_last_line_is_dropped(tmp_path, suffix):
    out = tmp_path / f"r{suffix}"
    results = batch.open_results(str(out))
    results.append([_row(0), _row(1)])
    whole = out.read_bytes()
    with open(out, "ab") as fh:
        fh.write(b"/music/002.wav,6.0,22050")  # a run killed mid-write
    assert [r["path"] for r in results.existing()] == ["/music/000.wav", "/music/001.wav"]
    assert out.read_bytes() == whole
    results.append([_row(2)])
    assert [r["path"] for r in read_rows(out)] == [f"/music/00{i}.wav" for i in range(3)]


def test_parquet_chunks_left_by_a_killed_run_are_folded_in(tmp_path):
    out = tmp_path / "r.parquet"
    results = batch.open_results(str(out))
    results.append([_row(0), _row(1)])
    results.finish()
    # A killed run: two finished chunks (one repeating a row already folded
    # in) and one cut short while being written.
    results.append([_row(2)])
    results.append([_row(1), _row(3)])
    (tmp_path / "r.parquet.parts" / "part-x.parquet.tmp").write_bytes(b"PAR1")
    again = batch.open_results(str(out))
    assert [r["path"] for r in again.existing()] == [f"/music/00{i}.wav" for i in range(4)]
    assert not (tmp_path / "r.parquet.parts").exists()
    assert read_rows(out) == [_row(i) for i in range(4)]


def test_missing_extra_gives_an_install_hint(collection, tmp_path):
    code = ("import sys; sys.modules['distributed'] = None\n"
            "from korvel.cli import main\n"
            f"sys.exit(main(['batch', {str(collection[0])!r}, '--out', {str(tmp_path / 'r.csv')!r}]))")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1
    assert proc.stderr.strip() == ("korvel: error: korvel batch needs the 'distributed' package; "
                                   "install it with: pip install 'korvel[batch]'")
    assert not (tmp_path / "r.csv").exists()


@pytest.mark.parametrize("args, message", [
    (["--out", "r.xlsx"], "unknown results format '.xlsx'"),
    (["--out", "r.csv", "--workers", "0"], "must be at least 1"),
    (["--out", "r.csv", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "cannot go with --scheduler"),
    (["--out", "r.csv", "--bpm-min", "200", "--bpm-max", "100"], "must be below bpm-max"),
])
def test_bad_options(collection, tmp_path, args, message):
    proc = subprocess.run([sys.executable, "-m", "korvel", "batch", str(collection[0]), *args],
                          capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert proc.returncode == 2
    assert message in proc.stderr and len(proc.stderr.strip().splitlines()) == 1
    assert os.listdir(tmp_path) == []


def test_unreachable_scheduler(collection, tmp_path, monkeypatch):
    # A port on loopback that nothing listens on: bind it, note it, close it.
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.setenv("DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT", "2s")
    proc = run(collection[0] / "stereo.wav", "--out", tmp_path / "r.csv",
               "--scheduler", f"tcp://127.0.0.1:{port}", timeout=90)
    assert proc.returncode == 1
    assert f"--scheduler tcp://127.0.0.1:{port}: cannot connect" in proc.stderr
    assert not (tmp_path / "r.csv").exists()


def test_a_track_that_cannot_be_read_gives_the_row_of_a_failed_task(tmp_path):
    # The worker's own error row and the one recorded for a task that died
    # share one shape; the message names no path, the row already does.
    from korvel.analysis import AnalysisParams

    params = AnalysisParams(bpm_min=70.0)
    path = str(tmp_path / "gone.wav")
    assert batch.analyze_track(path, params) == batch.results.empty_row(path, params, "no such file")
    row = batch.results.empty_row(path, params, "x")
    assert tuple(row) == batch.COLUMNS and (row["bpm_min"], row["num_beats"], row["beat_times"]) == (70.0, 0, [])


# ---------------------------------------------------------------- tempo level, old files, retries


def test_track_rows_carry_the_raw_tempo_and_the_range_warning(tmp_path):
    from korvel.analysis import AnalysisParams

    path = str(tmp_path / "t.wav")
    sf.write(path, pulse_train(132.0, 22050, 6.0), 22050)
    # 132 BPM searched for in 100-120: the raw peak sits on the upper limit.
    row = batch.analyze_track(path, AnalysisParams(bpm_min=100.0, bpm_max=120.0, tempo_level="raw"))
    assert row["error"] is None and row["tempo_level"] == "raw"
    assert row["raw_tempo"] == row["tempo"] and 118 < row["tempo"] < 120
    assert "upper limit of the search range (100-120 BPM)" in row["tempo_warning"]
    row = batch.analyze_track(path, AnalysisParams(tempo_level="raw"))
    assert row["tempo_warning"] is None and near(row["tempo"], 132.0)


# Rows as written before the tempo-level columns existed.
OLD_COLUMNS = [c for c in batch.COLUMNS if c not in ("raw_tempo", "tempo_level", "tempo_warning")]


def _write_old(path, rows):
    old = [{k: r[k] for k in OLD_COLUMNS} for r in rows]
    if path.endswith(".parquet"):
        import pyarrow as pa

        pq.write_table(pa.Table.from_pylist(old), path)
    elif path.endswith(".csv"):
        import csv

        with open(path, "w", newline="") as fh:
            w = csv.writer(fh, lineterminator="\n")
            w.writerow(OLD_COLUMNS)
            for r in old:
                w.writerow(["" if r[c] is None else " ".join(f"{t:.6f}" for t in r[c])
                            if c == "beat_times" else repr(r[c]) if isinstance(r[c], float) else r[c]
                            for c in OLD_COLUMNS])
    else:
        with open(path, "w") as fh:
            fh.writelines(json.dumps(r) + "\n" for r in old)


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".parquet"])
def test_results_written_before_the_new_columns_are_read_and_extended(tmp_path, suffix):
    out = str(tmp_path / f"r{suffix}")
    _write_old(out, [_row(0), _row(1, "cannot read as audio")])
    results = batch.open_results(out)
    seen = list(results.existing())
    assert [r["path"] for r in seen] == ["/music/000.wav", "/music/001.wav"]
    assert seen[0].get("tempo_level") is None and seen[1]["error"] == "cannot read as audio"
    new = dict(_row(2), raw_tempo=61.0, tempo_level="auto", tempo_warning="at the lower limit")
    results.append([new])
    results.finish()
    got = read_rows(out)
    # JSON Lines rows describe themselves: the old ones simply lack the new keys.
    assert [{c: r.get(c) for c in batch.COLUMNS} for r in got] == [_row(0), _row(1, "cannot read as audio"), new]
    if suffix != ".jsonl":
        assert all(tuple(r) == batch.COLUMNS for r in got)


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".parquet"])
def test_removing_rows_keeps_the_others_whole(tmp_path, suffix):
    out = str(tmp_path / f"r{suffix}")
    rows = [_row(i, "bad file" if i % 2 else None) for i in range(5)]
    results = batch.open_results(out)
    results.append(rows[:3])
    results.finish()
    results.append(rows[3:])  # parquet: still a chunk beside the file
    results.remove({"/music/001.wav", "/music/003.wav", "/music/999.wav"})
    assert read_rows(out) == [rows[0], rows[2], rows[4]]
    assert sorted(os.listdir(tmp_path)) == [f"r{suffix}"]


def test_progress_news_goes_above_the_bar():
    import io

    stream = io.StringIO()
    progress = batch.Progress(3, "bar", 1.0, stream)
    progress.update(False)
    progress.message("korvel batch: running on 2 local worker processes")
    progress.update(True)
    progress.close()
    lines = stream.getvalue().split("\n")
    news = [line for line in lines if "running on" in line]
    # Whatever the bar drew on that line before, it was cleared ("\r") first.
    assert len(news) == 1 and news[0].split("\r")[-1] == "korvel batch: running on 2 local worker processes"
    assert "2/3" in stream.getvalue().split("running on")[1]  # the bar goes on below


def test_retry_failed_analyses_failed_rows_again(collection, tmp_path):
    root, truth, _, _ = collection
    good, fixed = sorted(truth)[:2]
    other = "/elsewhere/broken.wav"
    out = tmp_path / "r.csv"
    # An older results file: one good row, a failure since repaired, and a
    # failure of a track this run is not asked about.
    _write_old(str(out), [dict(_row(0), path=good),
                          dict(_row(1, "cannot read as audio (was damaged)"), path=fixed),
                          dict(_row(2, "no such file"), path=other)])
    plain = run(good, fixed, "--out", out)
    assert plain.returncode == 0, plain.stderr
    assert "(1 of them failed; --retry-failed analyses those again); nothing to do" in plain.stdout

    proc = run(good, fixed, "--out", out, "--retry-failed", "--workers", 1, "--progress", "none")
    assert proc.returncode == 0, proc.stderr
    assert "2 tracks, 1 already in" in proc.stderr and "(1 of them failed before)" in proc.stderr
    assert "1 track analysed, 0 failed, 1 already in" in proc.stdout
    rows = read_rows(out)
    assert [r["path"] for r in rows] == [good, other, fixed]
    assert rows[0] == dict(_row(0), path=good) and rows[1]["error"] == "no such file"
    assert rows[2]["error"] is None and near(rows[2]["tempo"], truth[fixed])
    assert out.read_text().splitlines()[0] == ",".join(batch.COLUMNS)


# ---------------------------------------------------------------- the run's bookkeeping, without a cluster


class _Future:
    """A task reported finished whose result cannot be fetched ``lost`` more
    times (its worker died: Dask computes it again), or ever (``None``)."""

    def __init__(self, row, lost):
        self.row, self.lost, self.status = row, lost, "finished"

    def result(self):
        if self.lost is None:
            raise RuntimeError("cannot unpickle the result")
        if self.lost:
            self.lost -= 1
            self.status = "lost"
            raise OSError("the worker holding it is gone")
        return self.row


class _AsCompleted:
    """Yields the futures added to it, each again when added again; a lost
    one is computed again (finished) by the time it comes round."""

    def __init__(self, futures):
        self.queue, self.added = list(futures), 0

    def add(self, fut):
        self.added += 1
        assert self.added < 20, "a future that can never complete is waited for again and again"
        if fut.status == "lost":
            fut.status = "finished"
        self.queue.append(fut)

    def __iter__(self):
        while self.queue:
            yield self.queue.pop(0)


def test_a_result_that_cannot_be_fetched_is_waited_for_only_while_it_can_come(tmp_path):
    run = batch.BatchRun(str(tmp_path / "r.jsonl"), chunk_seconds=1e9)
    run.summary, run.bar, run.buffer, run.last_flush = batch.BatchSummary(), None, [], time.monotonic()
    good, flaky, broken = _Future({"path": "a", "error": None}, 0), _Future({"path": "b", "error": None}, 2), \
        _Future(None, None)
    paths = {good: "a", flaky: "b", broken: "c"}
    run._collect(_AsCompleted([good, flaky, broken]), paths, lambda: None)
    assert not paths and (run.summary.analysed, run.summary.failed) == (3, 1)
    rows = {r["path"]: r for r in run.buffer}
    assert rows["a"] == good.row and rows["b"] == flaky.row
    assert rows["c"] == batch.results.empty_row("c", run.params,
                                                "task failed: RuntimeError: cannot unpickle the result")


def test_every_cleanup_step_runs_when_the_last_write_fails(tmp_path, monkeypatch):
    import importlib
    import io

    run_module = importlib.import_module("korvel.batch.run")
    steps = []

    class Results:
        path = str(tmp_path / "r.jsonl")

        def existing(self):
            return iter(())

        def append(self, rows):
            raise OSError(28, "No space left on device")

        def finish(self):
            steps.append("finish")

    class NoCluster(run_module.BatchRun):
        def _start_engine(self, pending):
            return "client", None

        def _drive(self, client, todo):
            pass

    monkeypatch.setattr(run_module, "open_results", lambda path: Results())
    monkeypatch.setattr(run_module, "_stop_engine", lambda client, cluster: steps.append(f"stop {client}"))
    monkeypatch.setattr(run_module.Progress, "close", lambda self: steps.append("bar"))
    track = tmp_path / "a.wav"
    track.write_bytes(b"")
    with pytest.raises(OSError, match="No space left"):
        NoCluster(Results.path, progress="lines", log=io.StringIO()).run([str(track)])
    assert steps == ["bar", "stop client", "finish"]
