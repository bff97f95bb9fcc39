"""Small helpers the test modules share: threads, FIFOs, stand-ins that
record their calls or raise, traceback entries, reference-counted arguments,
numpy stand-ins, the alarm of the signal tests, and the strict type check of
a usage file."""

import contextlib
import gc
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest


def run_threads(target, args_of_each):
    """One thread per tuple of arguments, all started, then all joined."""
    threads = [threading.Thread(target=target, args=args) for args in args_of_each]
    for th in threads:
        th.start()
    for th in threads:
        th.join()


def fifo_reader(path):
    """Read a FIFO in the background, as the program at its other end would:
    the thread, and a dict whose "data" is what it read once it ends."""
    got = {}

    def read():
        with open(path, "rb") as fh:
            got["data"] = fh.read()

    thread = threading.Thread(target=read, daemon=True)
    thread.start()
    return thread, got


class Recorder:
    """Wraps a callable and records every call's arguments."""

    def __init__(self, fn, result=None):
        self.fn, self.result, self.calls = fn, result, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        out = self.fn(*args, **kwargs)
        return self.result(out) if self.result else out


class NumpyLog:
    """Stands in for numpy and logs, in ``seen``, every attribute looked up
    on it; those of numpy.fft are logged as "fft.<name>"."""

    def __init__(self, target=np, seen=None, prefix=""):
        self._target, self.seen, self._prefix = target, [] if seen is None else seen, prefix

    def __getattr__(self, name):
        self.seen.append(self._prefix + name)
        value = getattr(self._target, name)
        return NumpyLog(value, self.seen, "fft.") if name == "fft" else value


def assert_refcounts_stable(call, objects, times=100):
    """``call()`` a few times, then ``times`` times more: the reference count
    of every one of ``objects`` is the same after as before those.  Garbage
    cycles (an earlier test's tracebacks, say) are collected before each
    count, so that their collection cannot fall in between."""
    for _ in range(3):
        call()
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(times):
        call()
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before


def returning(value):
    """A stand-in that records its calls and always returns ``value``."""
    return Recorder(lambda *args, **kwargs: value)


def raised_through(monkeypatch, module, name, call):
    """Replace ``module.name`` by a function that raises, run ``call``, and
    check that the very exception object reached the caller; returns
    pytest's record of it."""
    class FromTheCallee(Exception):
        pass

    raised = FromTheCallee(f"raised by the stand-in for {name}")

    def failing(*args):
        raise raised

    monkeypatch.setattr(module, name, failing)
    with pytest.raises(FromTheCallee) as info:
        call()
    assert info.value is raised
    return info


def named(value):
    """A test id: the name of a function or class, pytest's own id for anything else."""
    return getattr(value, "__name__", None)


def traceback_entries(exc, prefix=""):
    """(function name, file, line) of the traceback entries of ``exc`` whose
    file starts with ``prefix``, outermost first."""
    tb, out = exc.__traceback__, []
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.startswith(prefix):
            out.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return out


def tracked(values):
    """The values whose reference counts are the caller's alone: not None,
    strings or the interpreter's shared small ints."""
    return [v for v in values if not (v is None or type(v) is str or type(v) is int and -5 <= v <= 256)]


class Sized:
    """Has a length but no item access."""

    def __len__(self):
        return 8


class Alarm(Exception):
    """Raised by :func:`raise_alarm`, the SIGALRM handler of :func:`alarm_after`."""


def raise_alarm(signum, frame):
    raise Alarm


@contextlib.contextmanager
def alarm_after(seconds):
    """SIGALRM after ``seconds``, its handler raising :class:`Alarm`; on the
    way out the timer stops, then the previous handler is back."""
    previous = signal.signal(signal.SIGALRM, raise_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


needs_numpy2_stubs = pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0",
                                        reason="NumPy 1's stubs do not make np.float64 a float")


def check_strictly(tmp_path, source):
    """``mypy --strict`` accepts ``source`` (whose ``type: ignore`` comments
    mark the calls it must reject: an unused one is an error)."""
    pytest.importorskip("mypy", reason="mypy is not installed")
    usage = tmp_path / "usage.py"
    usage.write_text(source)
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), str(usage)],
        capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
