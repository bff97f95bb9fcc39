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

from .command import register
from .discovery import AUDIO_EXTENSIONS, find_tracks
from .errors import BatchError
from .progress import Progress
from .results import COLUMNS, Results, open_results, parse_csv_row
from .run import BatchRun, BatchSummary, dask_setup, run_batch
from .track import analyze_track

__all__ = [
    "AUDIO_EXTENSIONS",
    "COLUMNS",
    "BatchError",
    "BatchRun",
    "BatchSummary",
    "Progress",
    "Results",
    "analyze_track",
    "dask_setup",
    "find_tracks",
    "open_results",
    "parse_csv_row",
    "register",
    "run_batch",
]
