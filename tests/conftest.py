"""Shared test helpers: the NumPy oracle and exact-comparison utilities."""

import pathlib
import sys

import numpy as np
import pytest

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
if str(BENCHMARKS) not in sys.path:
    sys.path.insert(0, str(BENCHMARKS))


@pytest.fixture
def baseline(monkeypatch):
    """The plain NumPy transcription, counting frames with korvel.framix.

    The transcription carries its own non-validating frame counter; using the
    real one makes error cases (bad hop sizes and the like) comparable too.
    """
    import baseline as mod
    import korvel.framix

    monkeypatch.setattr(mod, "calc_num_frames", korvel.framix.calc_num_frames)
    return mod


from _oracle import outcome  # noqa: E402,F401  (shared with the oracle tests)


def assert_bits_equal(got, want):
    """Same type, dtype, shape and bytes: NaN payloads and signed zeros included."""
    assert type(got) is type(want)
    if isinstance(want, (np.ndarray, np.generic)):
        assert got.dtype == want.dtype
        assert got.shape == want.shape
        if got.tobytes() != want.tobytes():
            bad = np.flatnonzero(got.view(np.uint8).reshape(-1) != want.view(np.uint8).reshape(-1))
            pytest.fail(f"bits differ at byte offsets {bad[:10]}: got {got!r}, want {want!r}")
    else:
        assert got == want or (got != got and want != want)


def assert_same_outcome(got, want):
    """Compare two `outcome` results exactly."""
    (g, g_warn), (w, w_warn) = got, want
    assert g[0] == w[0], f"got {g}, want {w}"
    if w[0] == "ok":
        assert_bits_equal(g[1], w[1])
    else:
        assert g[1:] == w[1:]
    assert g_warn == w_warn
