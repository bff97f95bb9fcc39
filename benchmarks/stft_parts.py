"""Where the STFT's time goes, against the floor of bench.py.

    python benchmarks/stft_parts.py [--duration 180] [--rounds 15]

The floor (one batched ``np.fft.rfft`` of the ready, windowed frames) writes
its result from inside the transform, into fresh pages.  A [bins, frames]
STFT made a block of frames at a time cannot: it transforms each block into
a small buffer and writes the result in a pass of its own.  So its cost has
two parts no blocked STFT of this layout avoids, each timed here on its own
in the same process, interleaved with the floor and korvel:

  rfft_blocks   np.fft.rfft of the ready frames, ~1 MB of frames per call,
                into one reused buffer (the transform without fresh pages)
  fresh_result  writing a fresh array of the result's size once
  abs_blocks    (stft_mag only) NumPy's abs of each block of spectra into a
                reused buffer: the magnitudes' bits are NumPy's

Their sum is a lower bound for korvel's time (it leaves out the windowing);
the table gives everything as a ratio to the floor.
"""

import argparse
import statistics
import time

import numpy as np

from bench import Inputs, machine_info, print_machine

import korvel.sonix as sonix


def parts(frames, win, mag):
    nb = max(1, (1 << 20) // (win * 8))  # frames per block, as korvel takes them
    n = frames.shape[0]
    bins = win // 2 + 1
    spectra = np.empty((nb, bins), complex)
    mags = np.empty((nb, bins))
    # The spectra abs_blocks works on: a block of the real ones.
    sample = np.fft.rfft(frames[:nb])

    def rfft_blocks():
        for b in range(0, n, nb):
            e = min(n, b + nb)
            np.fft.rfft(frames[b:e], out=spectra[:e - b])

    def fresh_result():
        np.empty((bins, n), float if mag else complex).fill(0.0)

    def abs_blocks():
        for b in range(0, n, nb):
            np.abs(sample[:min(nb, n - b)], out=mags[:min(nb, n - b)])

    out = {"rfft_blocks": rfft_blocks, "fresh_result": fresh_result}
    if mag:
        out["abs_blocks"] = abs_blocks
    return out


def measure(fns, rounds):
    times = {k: [] for k in fns}
    names = list(fns)
    for f in fns.values():
        f()  # warm-up
    for r in range(rounds):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            t0 = time.perf_counter()
            fns[name]()
            times[name].append(time.perf_counter() - t0)
    return {k: statistics.median(v) for k, v in times.items()}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--duration", type=float, default=180.0)
    ap.add_argument("--rounds", type=int, default=15)
    args = ap.parse_args(argv)
    print_machine(machine_info())
    inp = Inputs(args.duration)
    x = inp.x
    print(f"\n{args.duration:g} s of audio, medians of {args.rounds} interleaved rounds, "
          "ratios to the floor\n")
    print("| call | floor | rfft_blocks | fresh_result | abs_blocks | bound | korvel | korvel/bound |")
    print("|---|---|---|---|---|---|---|---|")
    for win, hop in ((1024, 256), (2048, 512)):
        frames = np.ascontiguousarray(inp.frames(win, hop))
        for mag in (False, True):
            name = "stft_mag" if mag else "stft"
            fn = getattr(sonix, name)
            fns = {"floor": lambda: np.fft.rfft(frames), **parts(frames, win, mag),
                   "korvel": lambda: fn(x, win, hop)}
            m = measure(fns, args.rounds)
            r = {k: v / m["floor"] for k, v in m.items()}
            bound = r["rfft_blocks"] + r["fresh_result"] + r.get("abs_blocks", 0.0)
            abs_cell = f"{r['abs_blocks']:.3f}" if mag else "-"
            print(f"| {name} {win}/{hop} | {m['floor'] * 1e3:.1f} ms | {r['rfft_blocks']:.3f} | "
                  f"{r['fresh_result']:.3f} | {abs_cell} | {bound:.3f} | {r['korvel']:.3f} | "
                  f"{r['korvel'] / bound:.3f} |")


if __name__ == "__main__":
    main()
