"""Speed and memory of create_hmm_beats, beside create_dp_beats.

    python benchmarks/hmm_beats.py [--seconds 20 600 3600] [--periods 13 43]
                                   [--repeat 3] [--baseline-seconds 10]

For every duration a random curve at 22050 / 512 frames per second goes
through create_hmm_beats (and create_dp_beats with the middle period, for
scale); the table shows the best of `--repeat` calls and the peak of the
memory NumPy allocated during one call (tracemalloc).  The plain NumPy
decoder of tests/reference/hmm_beats.py is timed on a short curve
(`--baseline-seconds`) and checked to give the same bits.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import tracemalloc

import numpy as np

from korvel.pulsix import create_dp_beats, create_hmm_beats

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from reference.hmm_beats import hmm_beats as plain_viterbi  # noqa: E402

FF = 22050 / 512


def best_of(repeat: int, fn, *args) -> float:
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn(*args)
        best = min(best, time.perf_counter() - t)
    return best


def peak_bytes(fn, *args) -> int:
    tracemalloc.start()
    try:
        fn(*args)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, nargs="+", default=[20, 600, 3600])
    ap.add_argument("--periods", type=int, nargs=2, default=[13, 43], metavar=("MIN", "MAX"))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--baseline-seconds", type=float, default=10)
    args = ap.parse_args(argv)
    lo, hi = args.periods
    rng = np.random.default_rng(0)

    curve = rng.random(int(args.baseline_seconds * FF))
    t_plain = best_of(1, plain_viterbi, curve, lo, hi)
    t_native = best_of(args.repeat, create_hmm_beats, curve, lo, hi)
    got, want = create_hmm_beats(curve, lo, hi), plain_viterbi(curve, lo, hi)
    same = all(g.tobytes() == w.tobytes() for g, w in zip(got, want))
    print(f"periods {lo}..{hi}, {FF:.2f} frames/s")
    print(f"plain NumPy decoder, {args.baseline_seconds:g} s: {t_plain * 1e3:.0f} ms; "
          f"create_hmm_beats {t_native * 1e3:.2f} ms ({t_plain / t_native:.0f}x); same bits: {same}")
    print()
    print("| seconds | frames | create_hmm_beats | peak memory | create_dp_beats |")
    print("|---:|---:|---:|---:|---:|")
    for seconds in args.seconds:
        curve = rng.random(int(seconds * FF))
        t_hmm = best_of(args.repeat, create_hmm_beats, curve, lo, hi)
        mem = peak_bytes(create_hmm_beats, curve, lo, hi)
        t_dp = best_of(args.repeat, create_dp_beats, curve, (lo + hi) / 2, 10)
        print(f"| {seconds:g} | {len(curve)} | {t_hmm * 1e3:.1f} ms | {mem / 2 ** 20:.1f} MiB "
              f"| {t_dp * 1e3:.1f} ms |")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
