"""Ctrl-C during a long call raises KeyboardInterrupt and breaks nothing.

A child interpreter starts create_dp_beats on 10**6 frames with a beat
period longer than the curve (every predecessor must be scanned, so the
recursion would run for a very long time), gets SIGINT once the call is
under way, and must come back with KeyboardInterrupt; afterwards the same
process must still compute the right results with NumPy's error settings
as they were.  Done on the native path and on the step-by-step path.
"""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = textwrap.dedent("""
    import signal, sys, time, types
    import numpy as np
    import korvel.pulsix as pulsix
    import korvel.sonix as sonix

    signal.signal(signal.SIGINT, signal.default_int_handler)

    class NumpyProxy(types.ModuleType):
        def __getattr__(self, name):
            return getattr(np, name)

    small = np.random.default_rng(1).random(300)
    want = pulsix.create_dp_beats(small, 20.0, 5.0)
    errstate = np.geterr()
    nov = np.random.default_rng(2).random(10 ** 6)
    if sys.argv[1] == "reference":
        pulsix.np = sonix.np = NumpyProxy("numpy")

    print("ready", flush=True)
    start = time.monotonic()
    try:
        pulsix.create_dp_beats(nov, 2e6, 10.0)
    except KeyboardInterrupt:
        print("interrupted after %.2f s" % (time.monotonic() - start), flush=True)
    else:
        print("finished", flush=True)
        sys.exit(1)

    pulsix.np = sonix.np = np
    got = pulsix.create_dp_beats(small, 20.0, 5.0)
    assert got[0].tobytes() == want[0].tobytes() and got[1].tobytes() == want[1].tobytes()
    assert np.geterr() == errstate, np.geterr()
    print("intact", flush=True)
""")


@pytest.mark.parametrize("path", ["native", "reference"])
def test_sigint_during_create_dp_beats(path):
    child = subprocess.Popen([sys.executable, "-c", CHILD, path], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(1.0)  # well inside the call by now
        assert child.poll() is None, "the call finished before it could be interrupted"
        child.send_signal(signal.SIGINT)
        # Only a guard against hanging; the child reports how long it took.
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    lines = out.split("\n")
    print(path, lines[0])
    assert lines[0].startswith("interrupted"), (out, err)
    assert "intact" in lines, (out, err)
    assert child.returncode == 0, err
