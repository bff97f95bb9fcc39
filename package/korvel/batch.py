"""``korvel batch``: tempo and beats of a whole collection, in parallel.

    korvel batch INPUT... --out RESULTS.parquet [--workers N | --scheduler ADDRESS]

INPUT are audio files, folders (searched recursively for audio) or glob
patterns.  Each track becomes one row of RESULTS: path, duration, sample rate,
channels, tempo, beat times, number of beats, the analysis parameters and an
error column.  The work runs on Dask: by default a local cluster with one
worker process per core, or an existing cluster given by its scheduler address.

The run is built to be stopped and started again.  Finished rows are written
in chunks while the run goes on, and a new run skips every track already in
RESULTS, so an interruption costs only the tracks that were in flight.

Dask, pyarrow and tqdm are an optional extra (``pip install 'korvel[batch]'``)
and are imported only when a batch runs; importing this module is cheap, which
lets the ``korvel`` command register the subcommand unconditionally.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import glob
import importlib
import io
import json
import logging
import math
import os
import signal
import sys
import threading
import time
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Callable, Iterable, Iterator, Sequence

from .analysis import AnalysisError, AnalysisParams, analyze
from .cli import PROG, CliError, _add_analysis_options, _params, load_audio

__all__ = [
    "AUDIO_EXTENSIONS",
    "COLUMNS",
    "BatchSummary",
    "analyze_track",
    "find_tracks",
    "open_results",
    "register",
    "run_batch",
]

INSTALL_HINT = "pip install 'korvel[batch]'"

# What soundfile (libsndfile) reads, by the extensions such files usually carry.
AUDIO_EXTENSIONS = (
    "wav", "wave", "flac", "ogg", "oga", "opus", "mp3", "aif", "aiff", "aifc",
    "au", "snd", "caf", "w64", "rf64", "voc",
)

COLUMNS = (
    "path", "duration", "sample_rate", "channels", "tempo", "num_beats", "beat_times",
    "fft_len", "hop", "gamma", "bpm_min", "bpm_max", "lmbda", "feature_rate", "error",
)
_INT_COLUMNS = ("sample_rate", "channels", "num_beats", "fft_len", "hop")
_FLOAT_COLUMNS = ("duration", "tempo", "gamma", "bpm_min", "bpm_max", "lmbda", "feature_rate")
# The settings a resumed run must share with the rows already in RESULTS.
_SETTINGS = ("gamma", "bpm_min", "bpm_max", "lmbda")


def _need(module: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".")[0]
        raise CliError(f"korvel batch needs the '{top}' package; install it with: {INSTALL_HINT}") from None


# ---------------------------------------------------------------- the work of one track

# libsndfile's decoders may print notes about damaged data straight to file
# descriptor 2; load_audio silences it for the duration of the read.  Swapping
# a process-wide descriptor is only safe one thread at a time, and a worker of
# an existing cluster may run several tracks at once.
_READ_LOCK = threading.Lock()


def analyze_track(path: str, params: AnalysisParams) -> dict[str, Any]:
    """One row of results for one audio file.

    This runs on the workers: it gets a path, reads the file itself and never
    raises for a bad track; whatever went wrong is in the ``error`` column.
    """
    row: dict[str, Any] = dict.fromkeys(COLUMNS)
    row.update(path=path, num_beats=0, beat_times=[], **{k: getattr(params, k) for k in _SETTINGS})
    row.update(fft_len=params.fft_len, hop=params.hop)
    try:
        with _READ_LOCK:
            audio = load_audio(path)
        row.update(duration=audio.duration, sample_rate=audio.sample_rate,
                   channels=int(audio.frames.shape[1]))
        resolved = params.resolved(audio.sample_rate)
        row.update(fft_len=resolved.fft_len, hop=resolved.hop,
                   feature_rate=audio.sample_rate / resolved.sizes()[1])
        result = analyze(audio.frames, audio.sample_rate, params)
    except (CliError, AnalysisError) as exc:
        message = str(exc)
        row["error"] = message[len(path) + 2:] if message.startswith(f"{path}: ") else message
        return row
    except MemoryError:
        row["error"] = "out of memory while analysing this track"
        return row
    except Exception as exc:  # a bug of ours must not stop a run of a million tracks
        row["error"] = f"unexpected {type(exc).__name__}: {exc}"
        return row
    row.update(tempo=result.tempo, num_beats=len(result.beat_times),
               beat_times=[float(t) for t in result.beat_times])
    return row


# ---------------------------------------------------------------- finding the tracks


def _is_audio(name: str, extensions: frozenset[str]) -> bool:
    return os.path.splitext(name)[1].lstrip(".").lower() in extensions


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
                raise CliError(f"{item}: no audio files in this folder "
                               f"(looked for .{', .'.join(sorted(exts))})")
            found.update(os.path.abspath(p) for p in matches)
            continue
        if not glob.has_magic(item):
            raise CliError(f"{item}: no such file or folder")
        hits: list[str] = []
        for match in glob.glob(item, recursive=True):
            if os.path.isdir(match):
                hits.extend(_walk(match, exts))
            elif os.path.isfile(match) and _is_audio(match, exts):
                hits.append(match)
        if not hits:
            raise CliError(f"{item}: the pattern matches no audio file")
        found.update(os.path.abspath(p) for p in hits)
    return sorted(found)


# ---------------------------------------------------------------- results files


def _format_of(path: str) -> str:
    ext = os.path.splitext(path)[1].lower()
    if ext in (".parquet", ".pq"):
        return "parquet"
    if ext == ".csv":
        return "csv"
    if ext in (".jsonl", ".ndjson"):
        return "jsonl"
    raise CliError(f"--out {path}: unknown results format '{ext or path}' "
                   "(use .parquet, .csv or .jsonl)", 2)


class Results:
    """A results file that grows by chunks and survives interruptions."""

    def __init__(self, path: str) -> None:
        self.path = path

    def existing(self) -> Iterator[dict[str, Any]]:
        """The rows already recorded (``path`` and the settings at least)."""
        raise NotImplementedError

    def append(self, rows: list[dict[str, Any]]) -> None:
        """Add rows; they are on disk when this returns."""
        raise NotImplementedError

    def finish(self) -> None:
        """Bring the file into its final shape (nothing to do for text files)."""


def _sync(fh: Any) -> None:
    fh.flush()
    try:
        os.fsync(fh.fileno())
    except OSError:  # not every file system can (pipes, some network mounts)
        pass


class _LineResults(Results):
    """CSV and JSON Lines: rows are appended to the file itself.

    A run killed while writing may leave half a line at the end; it is cut
    off before the next run appends, and its track is analysed again.
    """

    def _encode(self, row: dict[str, Any]) -> str:
        raise NotImplementedError

    def _decode_all(self, fh: io.TextIOBase) -> Iterator[dict[str, Any]]:
        raise NotImplementedError

    def _header(self) -> str:
        return ""

    def _cut_partial_line(self) -> None:
        try:
            size = os.path.getsize(self.path)
        except FileNotFoundError:
            return
        if size == 0:
            return
        with open(self.path, "rb+") as fh:
            fh.seek(size - 1)
            if fh.read(1) == b"\n":
                return
            # Walk back to the last complete line.
            pos = size
            block = 1 << 16
            while pos > 0:
                start = max(0, pos - block)
                fh.seek(start)
                chunk = fh.read(pos - start)
                nl = chunk.rfind(b"\n")
                if nl >= 0:
                    fh.truncate(start + nl + 1)
                    return
                pos = start
            fh.truncate(0)

    def existing(self) -> Iterator[dict[str, Any]]:
        self._cut_partial_line()
        if not os.path.exists(self.path):
            return
        with open(self.path, newline="", encoding="utf-8") as fh:
            yield from self._decode_all(fh)

    def append(self, rows: list[dict[str, Any]]) -> None:
        if not rows:
            return
        new = not os.path.exists(self.path) or os.path.getsize(self.path) == 0
        text = (self._header() if new else "") + "".join(self._encode(r) for r in rows)
        with open(self.path, "a", newline="", encoding="utf-8") as fh:
            fh.write(text)
            _sync(fh)


def _one_line(text: str | None) -> str | None:
    return None if text is None else " ".join(text.split())


class CsvResults(_LineResults):
    """Beat times are one cell of space-separated seconds; empty cells are missing values."""

    def _header(self) -> str:
        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerow(COLUMNS)
        return out.getvalue()

    def _encode(self, row: dict[str, Any]) -> str:
        cells = []
        for col in COLUMNS:
            value = row.get(col)
            if col == "beat_times":
                value = " ".join(f"{t:.6f}" for t in value or ())
            elif col == "error":
                value = _one_line(value)
            elif isinstance(value, float):
                value = repr(value)
            cells.append("" if value is None else value)
        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerow(cells)
        return out.getvalue()

    def _decode_all(self, fh: io.TextIOBase) -> Iterator[dict[str, Any]]:
        reader = csv.DictReader(fh)
        if reader.fieldnames is None:
            return
        if "path" not in reader.fieldnames:
            raise CliError(f"--out {self.path}: this CSV file has no 'path' column; "
                           "it was not written by korvel batch")
        for rec in reader:
            yield parse_csv_row(rec)


def parse_csv_row(rec: dict[str, str]) -> dict[str, Any]:
    """A row of a results CSV with its values converted back to numbers and lists."""
    row: dict[str, Any] = {}
    for col, text in rec.items():
        if col is None:
            continue
        if col == "beat_times":
            row[col] = [float(t) for t in (text or "").split()]
        elif text in ("", None):
            row[col] = None
        elif col in _INT_COLUMNS:
            row[col] = int(text)
        elif col in _FLOAT_COLUMNS:
            row[col] = float(text)
        else:
            row[col] = text
    return row


class JsonlResults(_LineResults):
    def _encode(self, row: dict[str, Any]) -> str:
        rec: dict[str, Any] = {col: row.get(col) for col in COLUMNS}
        rec["error"] = _one_line(rec["error"])
        # NaN is not JSON; a track has no NaN values, but keep the file valid regardless.
        for col in _FLOAT_COLUMNS:
            if isinstance(rec[col], float) and not math.isfinite(rec[col]):
                rec[col] = None
        return json.dumps(rec, ensure_ascii=False) + "\n"

    def _decode_all(self, fh: io.TextIOBase) -> Iterator[dict[str, Any]]:
        for number, line in enumerate(fh, 1):
            if not line.strip():
                continue
            try:
                rec = json.loads(line)
            except ValueError:
                raise CliError(f"--out {self.path}: line {number} is not JSON; "
                               "this file was not written by korvel batch") from None
            if not isinstance(rec, dict) or "path" not in rec:
                raise CliError(f"--out {self.path}: line {number} has no 'path'; "
                               "this file was not written by korvel batch")
            yield rec


class ParquetResults(Results):
    """Parquet cannot be appended to once closed, so chunks go to small files
    in ``RESULTS.parts/`` as the run goes on (each written whole, then renamed
    into place).  At the end, and at the start of every run, they are folded
    into RESULTS.  A run that is killed outright leaves its chunks in the parts
    folder, where the next run finds them.
    """

    def __init__(self, path: str) -> None:
        super().__init__(path)
        self.pa = _need("pyarrow")
        self.pq = _need("pyarrow.parquet")
        self.parts = path + ".parts"
        self._count = 0
        pa = self.pa
        self.schema = pa.schema(
            [("path", pa.string())]
            + [(c, pa.float64()) for c in ("duration",)]
            + [(c, pa.int64()) for c in ("sample_rate", "channels")]
            + [("tempo", pa.float64()), ("num_beats", pa.int64()),
               ("beat_times", pa.list_(pa.float64()))]
            + [(c, pa.int64()) for c in ("fft_len", "hop")]
            + [(c, pa.float64()) for c in ("gamma", "bpm_min", "bpm_max", "lmbda", "feature_rate")]
            + [("error", pa.string())]
        )
        assert tuple(self.schema.names) == COLUMNS

    def _part_files(self) -> list[str]:
        if not os.path.isdir(self.parts):
            return []
        names = sorted(n for n in os.listdir(self.parts) if n.endswith(".parquet"))
        return [os.path.join(self.parts, n) for n in names]

    def _sources(self) -> list[str]:
        main = [self.path] if os.path.exists(self.path) else []
        return main + self._part_files()

    def _batches(self, columns: list[str] | None = None) -> Iterator[Any]:
        for src in self._sources():
            try:
                pf = self.pq.ParquetFile(src)
            except Exception as exc:
                raise CliError(f"--out {self.path}: cannot read {src} as Parquet ({exc})") from None
            missing = set(columns or ()) - set(pf.schema_arrow.names)
            if missing or "path" not in pf.schema_arrow.names:
                raise CliError(f"--out {src}: not a korvel batch results file "
                               f"(no column {', '.join(sorted(missing or {'path'}))})")
            yield from pf.iter_batches(batch_size=4096, columns=columns)

    def existing(self) -> Iterator[dict[str, Any]]:
        self.finish()
        for batch in self._batches(columns=["path", *_SETTINGS, "fft_len", "hop"]):
            yield from batch.to_pylist()

    def append(self, rows: list[dict[str, Any]]) -> None:
        if not rows:
            return
        os.makedirs(self.parts, exist_ok=True)
        self._count += 1
        name = f"part-{time.time_ns():020d}-{os.getpid()}-{self._count:06d}.parquet"
        dest = os.path.join(self.parts, name)
        tmp = dest + ".tmp"
        recs = [{c: r.get(c) for c in COLUMNS} for r in rows]
        for rec in recs:
            rec["error"] = _one_line(rec["error"])
        table = self.pa.Table.from_pylist(recs, schema=self.schema)
        self.pq.write_table(table, tmp)
        with open(tmp, "rb") as fh:
            _sync(fh)
        os.replace(tmp, dest)

    def finish(self) -> None:
        parts = self._part_files()
        if not parts:
            self._remove_parts_dir()
            return
        # Stream everything into a new file, so memory stays bounded however
        # large the collection.  A path seen twice (only possible if a run was
        # stopped between the rename and removing its parts) is kept once.
        tmp = os.path.join(os.path.dirname(os.path.abspath(self.path)),
                           f".{os.path.basename(self.path)}.{os.getpid()}.tmp")
        seen: set[str] = set()
        try:
            with self.pq.ParquetWriter(tmp, self.schema) as writer:
                for batch in self._batches():
                    table = self.pa.Table.from_batches([batch]).select(list(COLUMNS)).cast(self.schema)
                    paths = table.column("path").to_pylist()
                    keep = [p not in seen for p in paths]
                    seen.update(paths)
                    if not all(keep):
                        table = table.filter(self.pa.array(keep))
                    if table.num_rows:
                        writer.write_table(table, row_group_size=65536)
            with open(tmp, "rb") as fh:
                _sync(fh)
            os.replace(tmp, self.path)
        finally:
            if os.path.exists(tmp):
                os.unlink(tmp)
        for part in parts:
            os.unlink(part)
        self._remove_parts_dir()

    def _remove_parts_dir(self) -> None:
        if not os.path.isdir(self.parts):
            return
        for name in os.listdir(self.parts):
            if name.endswith(".tmp"):  # a chunk whose writing was cut short
                os.unlink(os.path.join(self.parts, name))
        try:
            os.rmdir(self.parts)
        except OSError:
            pass


def open_results(path: str) -> Results:
    """The results file for ``path``, in the format its extension names."""
    fmt = _format_of(path)
    if fmt == "parquet":
        return ParquetResults(path)
    if fmt == "csv":
        return CsvResults(path)
    return JsonlResults(path)


# ---------------------------------------------------------------- progress


def _clock(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "?"
    s = int(round(seconds))
    h, rest = divmod(s, 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02d}:{s:02d}" if h else f"{m}:{s:02d}"


class Progress:
    """A tqdm bar on a terminal; otherwise a plain line every ``every`` seconds."""

    def __init__(self, total: int, mode: str, every: float, stream: Any = None) -> None:
        self.total = total
        self.done = 0
        self.failed = 0
        self.every = every
        self.stream = stream or sys.stderr
        self.start = time.monotonic()
        self._last_line = self.start
        if mode == "auto":
            isatty = getattr(self.stream, "isatty", None)
            mode = "bar" if isatty is not None and isatty() else "lines"
        self.mode = mode
        self.bar = None
        if mode == "bar":
            tqdm = _need("tqdm").tqdm
            self.bar = tqdm(total=total, unit="track", file=self.stream, dynamic_ncols=True,
                            desc=PROG + " batch", smoothing=0.05)

    def restart_clock(self) -> None:
        self.start = self._last_line = time.monotonic()
        if self.bar is not None:
            self.bar.reset(total=self.total)

    def update(self, failed: bool) -> None:
        self.done += 1
        self.failed += int(failed)
        if self.bar is not None:
            self.bar.update(1)
            if failed:
                self.bar.set_postfix(failed=self.failed, refresh=False)
        elif self.mode == "lines":
            now = time.monotonic()
            if now - self._last_line >= self.every:
                self._last_line = now
                self.line()

    def line(self) -> None:
        elapsed = time.monotonic() - self.start
        rate = self.done / elapsed if elapsed > 0 else 0.0
        eta = (self.total - self.done) / rate if rate > 0 else math.inf
        pct = 100.0 * self.done / self.total if self.total else 100.0
        print(f"{PROG} batch: {self.done}/{self.total} tracks ({pct:.1f}%), {self.failed} failed, "
              f"{rate:.2f} tracks/s, ETA {_clock(eta)}", file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.mode == "lines" and self.done:
            self.line()  # where the run ended, however recently the last line came


# ---------------------------------------------------------------- the run


@dataclass
class BatchSummary:
    found: int = 0
    skipped: int = 0
    """Tracks already in RESULTS before this run."""
    analysed: int = 0
    failed: int = 0
    wall_time: float = 0.0
    startup_time: float = 0.0
    """Part of the wall time spent starting or connecting to the cluster."""
    busy_time: float = 0.0
    """From the first task sent to the last result back."""
    interrupted: bool = False
    engine: str = ""

    @property
    def tracks_per_second(self) -> float:
        return self.analysed / self.busy_time if self.busy_time > 0 else 0.0


class _Interrupted(KeyboardInterrupt):
    pass


def _raise_interrupt(signum: int, frame: Any) -> None:
    raise _Interrupted()


def _check_settings(results: Results, params: AnalysisParams) -> set[str]:
    """Paths already in RESULTS; refuses to mix rows made with other settings."""
    done: set[str] = set()
    want = {k: float(getattr(params, k)) for k in _SETTINGS}
    for row in results.existing():
        done.add(row["path"])
        have: dict[str, Any] = {k: row.get(k) for k in _SETTINGS}
        differs = [k for k in _SETTINGS if have[k] is not None and float(have[k]) != want[k]]
        for size in ("fft_len", "hop"):
            given = getattr(params, size)
            if given is not None and row.get(size) is not None and int(row[size]) != given:
                differs.append(size)
        if differs:
            shown = ", ".join(f"{k.replace('_', '-')} {have.get(k, row.get(k))}" for k in differs)
            raise CliError(f"--out {results.path} holds results made with other analysis "
                           f"parameters ({shown}); use the same parameters to resume, or another --out", 2)
    return done


def _start_engine(summary: BatchSummary, workers: int | None, scheduler: str | None,
                  pending: int) -> tuple[Any, Any]:
    distributed = _need("distributed")
    dask = _need("dask")
    if scheduler is not None:
        try:
            client = distributed.Client(scheduler,
                                        timeout=dask.config.get("distributed.comm.timeouts.connect"))
        except Exception as exc:  # OSError, TimeoutError, bad address: all one message
            raise CliError(f"--scheduler {scheduler}: cannot connect ({exc})") from None
        nthreads = client.nthreads()
        summary.engine = (f"the Dask cluster at {scheduler} ({len(nthreads)} workers, "
                          f"{sum(nthreads.values())} threads)")
        return client, None
    n = workers if workers is not None else _cores()
    n = max(1, min(n, pending))
    # Worker processes on the loopback interface: a local run opens no port to
    # the network, and every worker runs one track at a time (the analysis
    # holds the GIL for much of its time, so threads would not add speed).
    # A worker takes its next track only when it is free: when a worker dies,
    # Dask holds every task on it partly to blame, and tracks queued behind a
    # bad one would otherwise be counted as failures too.
    with dask.config.set({"distributed.scheduler.worker-saturation": 1.0}):
        cluster = distributed.LocalCluster(
            n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=None, silence_logs=logging.CRITICAL, preload=[__name__],
        )
    client = distributed.Client(cluster)
    summary.engine = f"{n} local worker process{'es' if n != 1 else ''}"
    return client, cluster


def dask_setup(worker: Any) -> None:
    """Run by Dask in each local worker process as it starts (a preload).

    Ctrl-C in a terminal reaches the whole process group.  Stopping the run is
    the client's business: it saves what is finished and shuts the cluster
    down; workers that also took the signal would only die noisily mid-track.
    """
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _stop_engine(client: Any, cluster: Any) -> None:
    # Shut down quietly: an interrupted run has tasks in flight, and Dask
    # reports their cancellation at length.
    logging.getLogger("distributed").setLevel(logging.CRITICAL)
    with contextlib.suppress(Exception):
        client.close(timeout=10)
    if cluster is not None:
        with contextlib.suppress(Exception):
            cluster.close(timeout=10)


def _failed_row(path: str, params: AnalysisParams, message: str) -> dict[str, Any]:
    row: dict[str, Any] = dict.fromkeys(COLUMNS)
    row.update(path=path, num_beats=0, beat_times=[], error=message,
               fft_len=params.fft_len, hop=params.hop,
               **{k: getattr(params, k) for k in _SETTINGS})
    return row


def run_batch(
    inputs: Sequence[str],
    out: str,
    params: AnalysisParams | None = None,
    *,
    workers: int | None = None,
    scheduler: str | None = None,
    extensions: Iterable[str] = AUDIO_EXTENSIONS,
    chunk_size: int = 100,
    chunk_seconds: float = 10.0,
    progress: str = "auto",
    progress_every: float = 10.0,
    task: Callable[[str, AnalysisParams], dict[str, Any]] = analyze_track,
    log: Any = None,
) -> BatchSummary:
    """Analyse every track the inputs name into ``out``; see the module docstring.

    ``progress`` is "auto", "bar", "lines" or "none".  ``task`` is the function
    the workers run for each path (it must be importable by them).
    """
    log = log or sys.stderr
    params = params or AnalysisParams()
    params.validate()
    t0 = time.monotonic()
    summary = BatchSummary()
    results = open_results(out)
    out_dir = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(out_dir):
        raise CliError(f"--out {out}: directory {out_dir} does not exist", 2)

    tracks = find_tracks(inputs, extensions)
    summary.found = len(tracks)
    done = _check_settings(results, params)
    todo = [p for p in tracks if p not in done]
    summary.skipped = len(tracks) - len(todo)
    if not todo:
        summary.wall_time = time.monotonic() - t0
        summary.engine = "nothing to do"
        return summary

    print(f"{PROG} batch: {len(tracks)} tracks, {summary.skipped} already in {out}, "
          f"{len(todo)} to analyse", file=log, flush=True)
    bar = Progress(len(todo), progress, progress_every, log) if progress != "none" else None

    buffer: list[dict[str, Any]] = []
    last_flush = time.monotonic()

    def flush() -> None:
        nonlocal last_flush
        results.append(buffer)
        buffer.clear()
        last_flush = time.monotonic()

    def maybe_flush() -> None:
        if len(buffer) >= chunk_size or time.monotonic() - last_flush >= chunk_seconds:
            flush()

    in_main = threading.current_thread() is threading.main_thread()
    old_term = signal.signal(signal.SIGTERM, _raise_interrupt) if in_main else None
    client = cluster = None
    try:
        try:
            client, cluster = _start_engine(summary, workers, scheduler, len(todo))
            summary.startup_time = time.monotonic() - t0
            if bar is not None:
                bar.restart_clock()
            print(f"{PROG} batch: running on {summary.engine}", file=log, flush=True)
            _drive(client, task, params, todo, summary, buffer, bar, maybe_flush)
        except KeyboardInterrupt:
            summary.interrupted = True
        finally:
            # Finished rows first: whatever happens next, they are safe.
            flush()
            if bar is not None:
                bar.close()
            if client is not None:
                _stop_engine(client, cluster)
            results.finish()
    except KeyboardInterrupt:
        # A second Ctrl-C while cleaning up: the chunks on disk are still
        # picked up by the next run.
        summary.interrupted = True
    finally:
        if old_term is not None:
            signal.signal(signal.SIGTERM, old_term)
    summary.wall_time = time.monotonic() - t0
    return summary


def _drive(client: Any, task: Callable[..., dict[str, Any]], params: AnalysisParams,
           todo: list[str], summary: BatchSummary, buffer: list[dict[str, Any]],
           bar: Progress | None, maybe_flush: Callable[[], None]) -> None:
    """Keep the cluster busy with a bounded number of tasks in flight and
    collect rows as tasks finish, in whatever order they do."""
    distributed = _need("distributed")
    queue = iter(todo)
    paths: dict[Any, str] = {}
    ac = distributed.as_completed()
    window_checked = 0.0
    window = 16

    def top_up() -> None:
        nonlocal window, window_checked
        now = time.monotonic()
        if now - window_checked > 5.0:
            # A few tasks per thread keeps every worker fed without flooding
            # the scheduler with a million tasks at once; clusters grow and
            # shrink, so look again now and then.
            window = max(16, 4 * sum(client.nthreads().values()))
            window_checked = now
        while len(paths) < window:
            path = next(queue, None)
            if path is None:
                return
            fut = client.submit(task, path, params, pure=False)
            paths[fut] = path
            ac.add(fut)

    start = time.monotonic()
    try:
        _collect(client, ac, paths, top_up, params, summary, buffer, bar, maybe_flush)
    finally:
        summary.busy_time = time.monotonic() - start


def _collect(client: Any, ac: Any, paths: dict[Any, str], top_up: Callable[[], None],
             params: AnalysisParams, summary: BatchSummary, buffer: list[dict[str, Any]],
             bar: Progress | None, maybe_flush: Callable[[], None]) -> None:
    killed_worker = getattr(_need("distributed"), "KilledWorker", ())
    top_up()
    for fut in ac:
        if fut.status == "finished":
            try:
                row = fut.result()
            except Exception:  # gone with its worker since it was reported done
                ac.add(fut)
                continue
        elif fut.status == "error":
            exc = fut.exception()
            if isinstance(exc, KeyboardInterrupt):
                raise KeyboardInterrupt
            if isinstance(exc, killed_worker):
                tries = getattr(exc, "allowed_failures", None)
                times = f", all {tries + 1} times it was tried" if isinstance(tries, int) else ""
                msg = f"the worker process died while this track was being analysed{times}"
            else:
                msg = f"task failed: {type(exc).__name__}: {exc}"
            row = _failed_row(paths[fut], params, msg)
        elif fut.status == "cancelled":  # not done: the next run takes it again
            paths.pop(fut)
            top_up()
            continue
        else:
            # "lost": the result was on a worker that died before we fetched
            # it.  Dask computes it again; wait for that.
            ac.add(fut)
            continue
        paths.pop(fut)
        failed = row.get("error") is not None
        buffer.append(row)
        summary.analysed += 1
        summary.failed += int(failed)
        if bar is not None:
            bar.update(failed)
        maybe_flush()
        top_up()


# ---------------------------------------------------------------- command line


def _worker_count(text: str) -> int:
    from .cli import whole_number

    return whole_number(text, "must be at least 1")


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got '{text}'") from None
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be zero or more seconds, got '{text}'")
    return value


def cmd_batch(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    params = _params(args, parser)
    if args.scheduler is not None and args.workers is not None:
        parser.error("--workers sets the size of the local cluster; it cannot go with --scheduler")
    _format_of(args.out)
    if os.path.isdir(args.out):
        raise CliError(f"--out {args.out}: is a directory", 2)
    extensions = [e.strip() for e in args.ext.split(",") if e.strip()] if args.ext else AUDIO_EXTENSIONS
    # Missing extras are reported before any work, in one line.
    for module in ("dask", "distributed", "tqdm") + (("pyarrow",) if _format_of(args.out) == "parquet" else ()):
        _need(module)
    summary = run_batch(
        args.inputs, args.out, params, workers=args.workers, scheduler=args.scheduler,
        extensions=extensions, chunk_size=args.chunk_size, progress=args.progress,
        progress_every=args.progress_every,
    )
    if not summary.analysed and not summary.interrupted:
        print(f"{PROG} batch: all {summary.found} tracks are already in {args.out}; nothing to do")
        return 0
    state = "interrupted" if summary.interrupted else "done"
    print(f"{PROG} batch {state}: {summary.analysed} tracks analysed, {summary.failed} failed, "
          f"{summary.skipped} already in {args.out}; wall time {summary.wall_time:.1f} s "
          f"({summary.startup_time:.1f} s to start the cluster), {summary.tracks_per_second:.2f} tracks/s")
    if summary.interrupted:
        left = summary.found - summary.skipped - summary.analysed
        print(f"{PROG} batch: {left} tracks left; run the same command again to go on", file=sys.stderr)
        return 130
    return 0


def register(subparsers: Any) -> argparse.ArgumentParser:
    """Add the ``batch`` subcommand to the ``korvel`` command's subparsers."""
    p: argparse.ArgumentParser = subparsers.add_parser(
        "batch", help="tempo and beats of many files, in parallel, into a results table",
        description="Analyse every track that the inputs name, in parallel on Dask, and "
                    "record one row per track in RESULTS (Parquet, CSV or JSON Lines by "
                    "extension). Finished rows are written as the run goes on; running the "
                    "same command again skips the tracks already recorded.")
    p.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="audio file, folder (searched recursively) or glob pattern "
                        "(quote it, e.g. 'music/**/*.flac')")
    p.add_argument("--out", required=True, metavar="RESULTS",
                   help="results file: .parquet, .csv or .jsonl")
    eng = p.add_argument_group("engine")
    eng.add_argument("--workers", type=_worker_count, default=None, metavar="N",
                     help="local worker processes (default: one per core)")
    eng.add_argument("--scheduler", metavar="ADDRESS", default=None,
                     help="run on an existing Dask cluster, e.g. tcp://10.0.0.5:8786 "
                          "(the files must be readable by the workers under the same paths)")
    eng.add_argument("--chunk-size", type=_worker_count, default=100, metavar="N",
                     help="write finished rows to RESULTS at least every N tracks (default: 100; "
                          "also every 10 seconds)")
    out = p.add_argument_group("display")
    out.add_argument("--progress", choices=("auto", "bar", "lines", "none"), default="auto",
                     help="progress bar on a terminal, periodic lines otherwise (default: auto)")
    out.add_argument("--progress-every", type=_seconds, default=10.0, metavar="SECONDS",
                     help="seconds between progress lines (default: 10)")
    p.add_argument("--ext", default=None, metavar="LIST",
                   help="audio extensions to look for in folders and patterns "
                        f"(default: {','.join(AUDIO_EXTENSIONS)})")
    _add_analysis_options(p, with_lmbda=True)
    p.set_defaults(run=cmd_batch, parser=p)
    return p
