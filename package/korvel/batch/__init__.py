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
and are imported only when a batch runs; importing this package is cheap, which
lets the ``korvel`` command register the subcommand unconditionally.

The package: ``command`` (the subcommand's options), ``run`` (a run, on Dask),
``track`` (the work of one track, on the workers), ``results`` (the column
table and the files that hold it), ``discovery`` (finding the tracks) and
``progress`` (what a run shows).  It does not depend on the ``korvel`` command.
"""

from __future__ import annotations

import importlib
from typing import Any

# Each name and the module that defines it.  They load on first use, so that
# the ``korvel`` command, which only registers the subcommand, pays for none
# of them when it runs another one.
_EXPORTS = {
    "AUDIO_EXTENSIONS": "discovery",
    "COLUMNS": "results",
    "BatchError": "errors",
    "BatchRun": "run",
    "BatchSummary": "run",
    "Progress": "progress",
    "Results": "results",
    "analyze_track": "track",
    "dask_setup": "run",
    "find_tracks": "discovery",
    "open_results": "results",
    "parse_csv_row": "results",
    "register": "command",
    "run_batch": "run",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_EXPORTS))
