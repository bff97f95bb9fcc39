"""The results table of a batch: its columns, and the files that hold it.

Every row, whether written to Parquet, CSV or JSON Lines, and whether it
holds a result or an error, is built from the one column table below.
"""

from __future__ import annotations

import csv
import io
import json
import math
import os
import time
from typing import Any, Iterator

from ..analysis import AnalysisParams
from ..audio_io import replaced_atomically, sync
from .errors import BatchError, need_extra

# The columns, in file order, with the kind of value each holds.  Files
# written before a column existed are still read (the value is missing) and
# are brought up to these columns when rows are added or removed.
SCHEMA: tuple[tuple[str, str], ...] = (
    ("path", "text"),
    ("duration", "float"),
    ("sample_rate", "int"),
    ("channels", "int"),
    ("tempo", "float"),
    ("raw_tempo", "float"),
    ("num_beats", "int"),
    ("beat_times", "floats"),
    ("fft_len", "int"),
    ("hop", "int"),
    ("gamma", "float"),
    ("bpm_min", "float"),
    ("bpm_max", "float"),
    ("lmbda", "float"),
    ("tempo_level", "text"),
    ("feature_rate", "float"),
    ("tempo_warning", "text"),
    ("tempo_min", "float"),
    ("tempo_max", "float"),
    ("steadiness", "float"),
    ("error", "text"),
)
COLUMNS = tuple(name for name, _ in SCHEMA)
_INT_COLUMNS = tuple(name for name, kind in SCHEMA if kind == "int")
_FLOAT_COLUMNS = tuple(name for name, kind in SCHEMA if kind == "float")
# The settings a resumed run must share with the rows already in RESULTS.
SETTINGS = ("gamma", "bpm_min", "bpm_max", "lmbda")
TEXT_SETTINGS = ("tempo_level",)
# What a run reads back from the rows already recorded.
RESUME_COLUMNS = ("path", *SETTINGS, *TEXT_SETTINGS, "fft_len", "hop", "error")


def empty_row(path: str, params: AnalysisParams, error: str | None = None) -> dict[str, Any]:
    """The row of a track before (or instead of) its analysis: its path, the
    parameters as given, no beats, and ``error`` if it failed."""
    row: dict[str, Any] = dict.fromkeys(COLUMNS)
    row.update(path=path, num_beats=0, beat_times=[], fft_len=params.fft_len, hop=params.hop,
               error=error, **{k: getattr(params, k) for k in (*SETTINGS, *TEXT_SETTINGS)})
    return row


def _one_line(text: str | None) -> str | None:
    return None if text is None else " ".join(text.split())


def _record(row: dict[str, Any]) -> dict[str, Any]:
    """Every column of a row, in order, with the error on one line."""
    rec = {col: row.get(col) for col in COLUMNS}
    rec["error"] = _one_line(rec["error"])
    return rec


def format_of(path: str) -> str:
    ext = os.path.splitext(path)[1].lower()
    if ext in (".parquet", ".pq"):
        return "parquet"
    if ext == ".csv":
        return "csv"
    if ext in (".jsonl", ".ndjson"):
        return "jsonl"
    raise BatchError(f"--out {path}: unknown results format '{ext or path}' "
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

    def remove(self, paths: set[str]) -> None:
        """Drop the rows of ``paths``; the file is replaced whole, or not at all."""
        raise NotImplementedError


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

    def _outdated(self) -> bool:
        """True when the file was written with other columns than today's."""
        return False

    def remove(self, paths: set[str]) -> None:
        if not os.path.exists(self.path):
            return
        tmp = f".{os.path.basename(self.path)}.{os.getpid()}.tmp"
        with replaced_atomically(self.path, tmp) as part:
            with open(part, "w", newline="", encoding="utf-8") as out:
                out.write(self._header())
                for row in self.existing():
                    if row["path"] not in paths:
                        out.write(self._encode(row))

    def append(self, rows: list[dict[str, Any]]) -> None:
        if not rows:
            return
        new = not os.path.exists(self.path) or os.path.getsize(self.path) == 0
        if not new and self._outdated():
            self.remove(set())  # rewritten with today's columns
        text = (self._header() if new else "") + "".join(self._encode(r) for r in rows)
        with open(self.path, "a", newline="", encoding="utf-8") as fh:
            fh.write(text)
            sync(fh)


class CsvResults(_LineResults):
    """Beat times are one cell of space-separated seconds; empty cells are missing values."""

    def _header(self) -> str:
        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerow(COLUMNS)
        return out.getvalue()

    def _outdated(self) -> bool:
        with open(self.path, newline="", encoding="utf-8") as fh:
            header = next(csv.reader(fh), None)
        return header is not None and tuple(header) != COLUMNS

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
            raise BatchError(f"--out {self.path}: this CSV file has no 'path' column; "
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
        rec = _record(row)
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
                raise BatchError(f"--out {self.path}: line {number} is not JSON; "
                                 "this file was not written by korvel batch") from None
            if not isinstance(rec, dict) or "path" not in rec:
                raise BatchError(f"--out {self.path}: line {number} has no 'path'; "
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
        self.pa = need_extra("pyarrow")
        self.pq = need_extra("pyarrow.parquet")
        self.parts = path + ".parts"
        self._count = 0
        pa = self.pa
        kinds = {"text": pa.string(), "int": pa.int64(), "float": pa.float64(),
                 "floats": pa.list_(pa.float64())}
        self.schema = pa.schema([(name, kinds[kind]) for name, kind in SCHEMA])

    def _part_files(self) -> list[str]:
        if not os.path.isdir(self.parts):
            return []
        names = sorted(n for n in os.listdir(self.parts) if n.endswith(".parquet"))
        return [os.path.join(self.parts, n) for n in names]

    def _sources(self) -> list[str]:
        main = [self.path] if os.path.exists(self.path) else []
        return main + self._part_files()

    def _batches(self, columns: list[str] | None = None) -> Iterator[Any]:
        """Record batches of every source file, with today's columns (those a
        file lacks are filled with nulls) or just ``columns``."""
        pa = self.pa
        want = list(columns or COLUMNS)
        for src in self._sources():
            try:
                pf = self.pq.ParquetFile(src)
            except Exception as exc:
                raise BatchError(f"--out {self.path}: cannot read {src} as Parquet ({exc})") from None
            have = set(pf.schema_arrow.names)
            if "path" not in have:
                raise BatchError(f"--out {src}: not a korvel batch results file (no column path)")
            for batch in pf.iter_batches(batch_size=4096, columns=[c for c in want if c in have]):
                if len(batch.schema.names) < len(want):
                    arrays = [batch.column(c) if c in have else
                              pa.nulls(batch.num_rows, self.schema.field(c).type) for c in want]
                    batch = pa.RecordBatch.from_arrays(arrays, names=want)
                yield batch

    def existing(self) -> Iterator[dict[str, Any]]:
        self.finish()
        for batch in self._batches(columns=list(RESUME_COLUMNS)):
            yield from batch.to_pylist()

    def append(self, rows: list[dict[str, Any]]) -> None:
        if not rows:
            return
        os.makedirs(self.parts, exist_ok=True)
        self._count += 1
        name = f"part-{time.time_ns():020d}-{os.getpid()}-{self._count:06d}.parquet"
        dest = os.path.join(self.parts, name)
        table = self.pa.Table.from_pylist([_record(r) for r in rows], schema=self.schema)
        with replaced_atomically(dest, dest + ".tmp") as tmp:
            self.pq.write_table(table, tmp)

    def finish(self) -> None:
        parts = self._part_files()
        if not parts:
            self._remove_parts_dir()
            return
        self._rewrite(set())
        for part in parts:
            os.unlink(part)
        self._remove_parts_dir()

    def remove(self, paths: set[str]) -> None:
        self.finish()
        if os.path.exists(self.path):
            self._rewrite(paths)

    def _rewrite(self, drop: set[str]) -> None:
        """RESULTS and the chunks beside it as one file, without the rows of ``drop``.

        Everything is streamed into a new file, so memory stays bounded however
        large the collection.  A path seen twice (only possible if a run was
        stopped between the rename and removing its parts) is kept once.
        """
        tmp = f".{os.path.basename(self.path)}.{os.getpid()}.tmp"
        seen: set[str] = set(drop)
        with replaced_atomically(self.path, tmp) as part:
            with self.pq.ParquetWriter(part, self.schema) as writer:
                for batch in self._batches():
                    table = self.pa.Table.from_batches([batch]).cast(self.schema)
                    paths = table.column("path").to_pylist()
                    keep = [p not in seen for p in paths]
                    seen.update(paths)
                    if not all(keep):
                        table = table.filter(self.pa.array(keep))
                    if table.num_rows:
                        writer.write_table(table, row_group_size=65536)

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
    fmt = format_of(path)
    if fmt == "parquet":
        return ParquetResults(path)
    if fmt == "csv":
        return CsvResults(path)
    return JsonlResults(path)
