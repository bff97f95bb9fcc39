"""A batch run: the tracks to do, the Dask cluster that does them, and the
results file that collects their rows as they finish."""

from __future__ import annotations

import contextlib
import logging
import os
import signal
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Sequence

from ..analysis import AnalysisParams
from ..options import PROG
from .discovery import AUDIO_EXTENSIONS, find_tracks
from .errors import BatchError, need_extra
from .progress import Progress
from .results import SETTINGS, TEXT_SETTINGS, Results, empty_row, open_results
from .track import analyze_track

Task = Callable[[str, AnalysisParams], dict[str, Any]]


@dataclass
class BatchSummary:
    found: int = 0
    skipped: int = 0
    """Tracks already in RESULTS before this run (and not analysed again)."""
    failed_before: int = 0
    """Tracks whose row in RESULTS records an error, analysed again or not."""
    retried: int = 0
    """Failed tracks analysed again (``retry_failed``)."""
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


def _check_settings(results: Results, params: AnalysisParams) -> tuple[set[str], set[str]]:
    """Paths already in RESULTS, and those of them whose row records an error;
    refuses to mix rows made with other settings."""
    done: set[str] = set()
    failed: set[str] = set()
    want: dict[str, Any] = {k: float(getattr(params, k)) for k in SETTINGS}
    want.update((k, getattr(params, k)) for k in TEXT_SETTINGS)
    for row in results.existing():
        done.add(row["path"])
        if row.get("error") is not None:
            failed.add(row["path"])
        have: dict[str, Any] = {k: row.get(k) for k in (*SETTINGS, *TEXT_SETTINGS)}
        # A setting a row lacks was written before it existed: not a conflict.
        differs = [k for k in SETTINGS if have[k] is not None and float(have[k]) != want[k]]
        differs += [k for k in TEXT_SETTINGS if have[k] is not None and have[k] != want[k]]
        for size in ("fft_len", "hop"):
            given = getattr(params, size)
            if given is not None and row.get(size) is not None and int(row[size]) != given:
                differs.append(size)
        if differs:
            shown = ", ".join(f"{k.replace('_', '-')} {have.get(k, row.get(k))}" for k in differs)
            raise BatchError(f"--out {results.path} holds results made with other analysis "
                             f"parameters ({shown}); use the same parameters to resume, or another --out", 2)
    return done, failed


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


@dataclass
class BatchRun:
    """How to run a batch into one results file; :meth:`run` does it.

    ``progress`` is "auto", "bar", "lines" or "none".  ``task`` is the function
    the workers run for each path (it must be importable by them).  Finished
    rows are written every ``chunk_size`` tracks or ``chunk_seconds`` seconds,
    whichever comes first.  With ``retry_failed``, tracks whose row records an
    error are analysed again; their old rows are removed from RESULTS first.
    """

    out: str
    params: AnalysisParams = field(default_factory=AnalysisParams)
    workers: int | None = None
    scheduler: str | None = None
    extensions: Iterable[str] = AUDIO_EXTENSIONS
    chunk_size: int = 100
    chunk_seconds: float = 10.0
    progress: str = "auto"
    progress_every: float = 10.0
    task: Task = analyze_track
    log: Any = None
    retry_failed: bool = False

    # The state of a run in progress, set up by run().
    summary: BatchSummary = field(init=False, repr=False, compare=False)
    results: Results = field(init=False, repr=False, compare=False)
    bar: Progress | None = field(init=False, repr=False, compare=False)
    buffer: list[dict[str, Any]] = field(init=False, repr=False, compare=False)
    last_flush: float = field(init=False, repr=False, compare=False)

    def run(self, inputs: Sequence[str]) -> BatchSummary:
        """Analyse every track the inputs name that RESULTS does not hold yet."""
        log = self.log or sys.stderr
        self.params.validate()
        t0 = time.monotonic()
        self.summary = summary = BatchSummary()
        self.results = open_results(self.out)
        # The command refuses this before any work; a caller of the library
        # comes here unchecked and would learn it only at the first write.
        out_dir = os.path.dirname(os.path.abspath(self.out))
        if not os.path.isdir(out_dir):
            raise BatchError(f"--out {self.out}: directory {out_dir} does not exist", 2)

        tracks = find_tracks(inputs, self.extensions)
        summary.found = len(tracks)
        done, failed = _check_settings(self.results, self.params)
        failed.intersection_update(tracks)
        summary.failed_before = len(failed)
        if self.retry_failed and failed:
            # Their rows go first: whatever happens to this run, a track is
            # recorded once, and one without a row is taken by the next run.
            self.results.remove(failed)
            done -= failed
            summary.retried = len(failed)
        todo = [p for p in tracks if p not in done]
        summary.skipped = len(tracks) - len(todo)
        if not todo:
            summary.wall_time = time.monotonic() - t0
            summary.engine = "nothing to do"
            return summary

        again = f" ({summary.retried} of them failed before)" if summary.retried else ""
        print(f"{PROG} batch: {len(tracks)} track{'s' if len(tracks) != 1 else ''}, "
              f"{summary.skipped} already in {self.out}, "
              f"{len(todo)} to analyse{again}", file=log, flush=True)
        self.bar = (Progress(len(todo), self.progress, self.progress_every, log)
                    if self.progress != "none" else None)
        self.buffer = []
        self.last_flush = time.monotonic()

        in_main = threading.current_thread() is threading.main_thread()
        old_term = signal.signal(signal.SIGTERM, _raise_interrupt) if in_main else None
        client = cluster = None
        try:
            try:
                client, cluster = self._start_engine(len(todo))
                summary.startup_time = time.monotonic() - t0
                if self.bar is not None:
                    self.bar.restart_clock()
                message = f"{PROG} batch: running on {summary.engine}"
                if self.bar is not None:
                    self.bar.message(message)  # on a line of its own, above the bar
                else:
                    print(message, file=log, flush=True)
                self._drive(client, todo)
            except KeyboardInterrupt:
                summary.interrupted = True
            finally:
                # Each step is taken even when one before it fails (the stack
                # runs its callbacks last first); the error goes on afterwards.
                with contextlib.ExitStack() as cleanup:
                    cleanup.callback(self.results.finish)
                    if client is not None:
                        cleanup.callback(_stop_engine, client, cluster)
                    if self.bar is not None:
                        cleanup.callback(self.bar.close)
                    # Finished rows first: whatever happens next, they are safe.
                    self._flush()
        except KeyboardInterrupt:
            # A second Ctrl-C while cleaning up: the chunks on disk are still
            # picked up by the next run.
            summary.interrupted = True
        finally:
            if old_term is not None:
                signal.signal(signal.SIGTERM, old_term)
        summary.wall_time = time.monotonic() - t0
        return summary

    # ------------------------------------------------------------ rows

    def _flush(self) -> None:
        self.results.append(self.buffer)
        self.buffer.clear()
        self.last_flush = time.monotonic()

    def _record(self, row: dict[str, Any]) -> None:
        failed = row.get("error") is not None
        self.buffer.append(row)
        self.summary.analysed += 1
        self.summary.failed += int(failed)
        if self.bar is not None:
            self.bar.update(failed)
        if len(self.buffer) >= self.chunk_size or time.monotonic() - self.last_flush >= self.chunk_seconds:
            self._flush()

    # ------------------------------------------------------------ the cluster

    def _start_engine(self, pending: int) -> tuple[Any, Any]:
        distributed = need_extra("distributed")
        dask = need_extra("dask")
        if self.scheduler is not None:
            try:
                client = distributed.Client(self.scheduler,
                                            timeout=dask.config.get("distributed.comm.timeouts.connect"))
            except Exception as exc:  # OSError, TimeoutError, bad address: all one message
                raise BatchError(f"--scheduler {self.scheduler}: cannot connect ({exc})") from None
            nthreads = client.nthreads()
            self.summary.engine = (f"the Dask cluster at {self.scheduler} ({len(nthreads)} workers, "
                                   f"{sum(nthreads.values())} threads)")
            return client, None
        n = self.workers if self.workers is not None else _cores()
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
        self.summary.engine = f"{n} local worker process{'es' if n != 1 else ''}"
        return client, cluster

    def _drive(self, client: Any, todo: list[str]) -> None:
        """Keep the cluster busy with a bounded number of tasks in flight and
        collect rows as tasks finish, in whatever order they do."""
        distributed = need_extra("distributed")
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
                fut = client.submit(self.task, path, self.params, pure=False)
                paths[fut] = path
                ac.add(fut)

        start = time.monotonic()
        try:
            self._collect(ac, paths, top_up)
        finally:
            self.summary.busy_time = time.monotonic() - start

    def _collect(self, ac: Any, paths: dict[Any, str], top_up: Callable[[], None]) -> None:
        killed_worker = getattr(need_extra("distributed"), "KilledWorker", ())
        top_up()
        for fut in ac:
            if fut.status == "finished":
                try:
                    row = fut.result()
                except Exception as fetch_error:
                    if fut.status != "finished":  # gone with its worker since it was reported done
                        ac.add(fut)
                        continue
                    # Done, yet its result cannot be had: waiting would never end.
                    msg = f"task failed: {type(fetch_error).__name__}: {fetch_error}"
                    row = empty_row(paths[fut], self.params, msg)
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
                row = empty_row(paths[fut], self.params, msg)
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
            self._record(row)
            top_up()


def _stop_engine(client: Any, cluster: Any) -> None:
    # Shut down quietly: an interrupted run has tasks in flight, and Dask
    # reports their cancellation at length.
    logging.getLogger("distributed").setLevel(logging.CRITICAL)
    with contextlib.suppress(Exception):
        client.close(timeout=10)
    if cluster is not None:
        with contextlib.suppress(Exception):
            cluster.close(timeout=10)


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
    task: Task = analyze_track,
    log: Any = None,
    retry_failed: bool = False,
) -> BatchSummary:
    """Analyse every track the inputs name into ``out``; see :class:`BatchRun`."""
    run = BatchRun(out, params or AnalysisParams(), workers=workers, scheduler=scheduler,
                   extensions=extensions, chunk_size=chunk_size, chunk_seconds=chunk_seconds,
                   progress=progress, progress_every=progress_every, task=task, log=log,
                   retry_failed=retry_failed)
    return run.run(inputs)
