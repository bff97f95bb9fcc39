"""The ``korvel batch`` subcommand: its options, and the report of a run."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from ..options import PROG, add_analysis_options, analysis_params, seconds, whole_number
from .discovery import AUDIO_EXTENSIONS
from .errors import need_extra


def _worker_count(text: str) -> int:
    return whole_number(text, "must be at least 1")


def tracks(n: int) -> str:
    return f"{n} track{'s' if n != 1 else ''}"


def _page_task(html_dir: str) -> Any:
    """The workers' task with a report page per track into ``html_dir``
    (made here if its parent exists; checked writable before any work)."""
    import functools

    from ..audio_io import OutputError, probe_directory
    from .pages import track_with_page

    folder = os.path.abspath(html_dir)
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise OutputError(f"--html-dir {html_dir}: not a directory")
    if not os.path.isdir(folder):
        parent = os.path.dirname(folder)
        if not os.path.isdir(parent):
            raise OutputError(f"--html-dir {html_dir}: directory {parent} does not exist")
        try:
            os.mkdir(folder)
        except OSError as exc:
            raise OutputError(f"--html-dir {html_dir}: cannot create it ({exc.strerror or exc})") from None
    probe_directory(folder, f"--html-dir {html_dir}")
    return functools.partial(track_with_page, html_dir=folder)


def cmd_batch(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    # The run, the results formats and the output checks load only when a batch runs.
    from ..audio_io import check_destination
    from .results import format_of
    from .run import run_batch

    params = analysis_params(args, parser)
    if args.scheduler is not None and args.workers is not None:
        parser.error("--workers sets the size of the local cluster; it cannot go with --scheduler")
    fmt = format_of(args.out)
    check_destination(args.out, "--out")
    extensions = [e.strip() for e in args.ext.split(",") if e.strip()] if args.ext else AUDIO_EXTENSIONS
    task = None
    if args.html_dir is not None:
        task = _page_task(args.html_dir)
    # Missing extras are reported before any work, in one line.
    for module in ("dask", "distributed", "tqdm") + (("pyarrow",) if fmt == "parquet" else ()):
        need_extra(module)
    summary = run_batch(
        args.inputs, args.out, params, workers=args.workers, scheduler=args.scheduler,
        extensions=extensions, chunk_size=args.chunk_size, progress=args.progress,
        progress_every=args.progress_every, retry_failed=args.retry_failed,
        **({"task": task} if task is not None else {}),
    )
    if args.html_dir is not None:
        from .pages import INDEX, write_index

        listed = write_index(args.html_dir)
        print(f"{PROG} batch: wrote {os.path.join(args.html_dir, INDEX)} ({tracks(listed)} with "
              "report pages)", file=sys.stderr)
    if not summary.analysed and not summary.interrupted:
        hint = (f" ({summary.failed_before} of them failed; --retry-failed analyses those again)"
                if summary.failed_before else "")
        every = f"all {tracks(summary.found)} are" if summary.found != 1 else "the 1 track is"
        print(f"{PROG} batch: {every} already in {args.out}{hint}; nothing to do")
        return 0
    state = "interrupted" if summary.interrupted else "done"
    print(f"{PROG} batch {state}: {tracks(summary.analysed)} analysed, {summary.failed} failed, "
          f"{summary.skipped} already in {args.out}; wall time {summary.wall_time:.1f} s "
          f"({summary.startup_time:.1f} s to start the cluster), {summary.tracks_per_second:.2f} tracks/s")
    if summary.interrupted:
        left = summary.found - summary.skipped - summary.analysed
        print(f"{PROG} batch: {tracks(left)} left; run the same command again to go on", file=sys.stderr)
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
    p.add_argument("--html-dir", metavar="DIR", default=None,
                   help="also write a report page per track (music with clicks on the beats, "
                        "waveform, tempogram) into DIR, and DIR/index.html listing the tracks "
                        "by tempo, confidence and warnings, least confident first")
    p.add_argument("--retry-failed", action="store_true",
                   help="analyse again the tracks whose row in RESULTS records an error "
                        "(their old rows are replaced)")
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
    out.add_argument("--progress-every", type=seconds, default=10.0, metavar="SECONDS",
                     help="seconds between progress lines (default: 10)")
    p.add_argument("--ext", default=None, metavar="LIST",
                   help="audio extensions to look for in folders and patterns "
                        f"(default: {','.join(AUDIO_EXTENSIONS)})")
    add_analysis_options(p, with_lmbda=True)
    p.set_defaults(run=cmd_batch, parser=p)
    return p
