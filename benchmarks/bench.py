"""Benchmark: korvel against a plain Python + NumPy program and against librosa.

    python benchmarks/bench.py [--quick] [--durations 30,180,600] [--only NAME ...] [--cold P]

Everything runs in one process.  For every workload and audio duration the
contenders are timed in interleaved rounds (the order rotates each round),
so a change of clock speed or a noisy neighbour hits all of them alike.
Contenders:

  korvel     the installed korvel function (fast path where its guard holds)
  ref        the same korvel function with its reference path forced (module
             global ``np`` replaced by a proxy of numpy, which fails the guard)
  baseline   tests/reference/transcription.py, the same algorithm run by the interpreter
  librosa    librosa's closest function, where there is one
  floor      for the STFT rows: one batched np.fft.rfft over the frames,
             already windowed (the part no STFT of this kind can avoid)

Reported: median time per call, the ratios korvel/baseline, korvel/librosa
and korvel/floor, the cost-growth exponent (log-log slope of median time
against duration), the peak of traced memory per call (tracemalloc; NumPy
reports its buffers to it) for korvel, ref and baseline, and whether korvel's
result equals the baseline's bit for bit.  A summary checks the targets of
the performance work against the 180 s medians.  A last table times the
road's functions cold: the first call in a fresh process against the median
warm call there, each the median over several processes.  The CPU model is
printed beside every table: the cost of the STFT's stores depends on it.
"""

import argparse
import fnmatch
import gc
import io
import json
import os
import sys
import time
from pathlib import Path

from contenders import CONTENDERS, EXPORTS, Inputs, _Missing, kfun  # noqa: F401 - Inputs: stft_parts.py
from measure import Settings, machine_info, measure, measure_cold, print_machine
from report import (COLD_HEADER, GROWTH_HEADER, TARGET_HEADER, cold_rows, growth_rows, markdown_table,
                    print_table, table_rows, target_rows)
from workloads import WORKLOADS


def parse_options(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="short audio, few repeats (< 1 min)")
    ap.add_argument("--durations", help="comma-separated audio durations in seconds")
    ap.add_argument("--only", nargs="+", metavar="NAME",
                    help="workloads to run (names or shell patterns; 'cold' alone: only the "
                         "cold-call table)")
    ap.add_argument("--json", metavar="PATH", help="write raw results as JSON")
    ap.add_argument("--markdown", metavar="PATH", help="write the tables as Markdown")
    ap.add_argument("--list", action="store_true", help="list the workloads and exit")
    ap.add_argument("--cold", type=int, metavar="P",
                    help="processes for the cold-call table (median over them); default 5, "
                         "3 with --quick, 0 to skip")
    ap.add_argument("--cold-duration", type=float, metavar="S",
                    help="audio duration for the cold calls; default 300 s, 30 s with --quick")
    ap.add_argument("--blas-threads", type=int, metavar="N",
                    help="limit BLAS threads (threadpoolctl) for the whole run; default: "
                         "leave NumPy's BLAS as it is")
    opts = ap.parse_args(argv)
    if opts.durations:
        opts.durations = [float(d) for d in opts.durations.split(",") if d]
    else:
        opts.durations = [10.0, 30.0] if opts.quick else [30.0, 180.0, 600.0]
    opts.selected = WORKLOADS
    if opts.only:
        opts.selected = [w for w in WORKLOADS if any(fnmatch.fnmatch(w.name, p) for p in opts.only)]
        if not opts.selected and opts.only != ["cold"]:
            ap.error("no workload matches --only")
    if opts.blas_threads:
        try:
            from threadpoolctl import threadpool_limits
        except ImportError:
            ap.error("--blas-threads needs threadpoolctl")
        # Kept referenced for the whole run; the limit lifts when it is collected.
        opts._limiter = threadpool_limits(limits=opts.blas_threads, user_api="blas")
    opts.cold_procs = opts.cold if opts.cold is not None else (3 if opts.quick else 5)
    opts.cold_dur = opts.cold_duration or (30.0 if opts.quick else 300.0)
    return opts


def run_workloads(selected, durations, settings):
    """{workload: {duration or None: result}} and the errors met, printing a line per row."""
    all_results = {w.name: {} for w in selected}
    errors = []

    def run(w, inp, dur):
        t0 = time.perf_counter()
        res = measure(w.make(inp), settings, w.compare)
        all_results[w.name][dur] = res
        for c in CONTENDERS:
            st = res.get(c, {}).get("status", "")
            if st.startswith("error"):
                errors.append(f"{w.name} {'' if dur is None else f'{dur:g}s '}{c}: {st}")
        r = table_rows({w.name: {dur: res}})[0]
        print(f"  {w.name:20s} {r[1]:>5s}  korvel {r[2]:>10s}  baseline {r[4]:>10s}"
              f"  k/base {r[7]:>6s}  bits {r[10]:3s} ({time.perf_counter() - t0:.1f} s)",
              flush=True)

    for w in selected:
        if not w.sized:
            run(w, None, None)
    for dur in durations:
        inp = Inputs(dur)
        for w in selected:
            if w.sized and (w.max_duration is None or dur <= w.max_duration):
                run(w, inp, dur)
        del inp
        gc.collect()
    return all_results, errors


def print_report(tables, opts, settings, all_results, errors, elapsed):
    cpu_line = tables["cpu"]
    print()
    print(cpu_line)
    print_table(tables["rows"])
    if tables["growth"]:
        print("\ncost-growth exponent (log-log slope of median time over "
              + ", ".join(f"{d:g}" for d in opts.durations) + " s)")
        print_table(tables["growth"], header=GROWTH_HEADER)
    if tables["targets"]:
        print("\ntargets (180 s of audio where measured, else the longest duration run); " + cpu_line)
        print_table(tables["targets"], header=TARGET_HEADER)
    if tables["cold"]:
        print(f"\ncold calls: first call in a fresh process vs the median warm call, {opts.cold_dur:g} s of"
              f" audio, median of {opts.cold_procs} processes; " + cpu_line)
        print_table(tables["cold"], header=COLD_HEADER)
    print("\nnotes:")
    for w in opts.selected:
        if w.note:
            print(f"  {w.name}: {w.note}")
    few = [(n, d, c, r["n"]) for n, pd in all_results.items() for d, res in pd.items()
           for c, r in res.items() if r.get("status") == "ok" and r["n"] < settings.min_rep]
    for n, d, c, k in few:
        print(f"  {n} {'' if d is None else f'{d:g}s'} {c}: only {k} timed call(s)"
              f" (capped at {settings.cap:g} s per contender)")
    for e in errors:
        print("  " + e)
    print(f"\ntotal {elapsed:.1f} s")


def write_markdown(path, info, tables, opts):
    buf = io.StringIO()
    old, sys.stdout = sys.stdout, buf
    try:
        print_machine(info)
    finally:
        sys.stdout = old
    cpu_line = tables["cpu"]
    md = ["## Machine", "", "```", buf.getvalue().rstrip(), "```", "", "## Times", "", cpu_line, "",
          markdown_table(tables["rows"])]
    if tables["growth"]:
        md += ["", "## Cost-growth exponents", "", cpu_line, "", markdown_table(tables["growth"], GROWTH_HEADER)]
    if tables["targets"]:
        md += ["", "## Targets", "", cpu_line, "", markdown_table(tables["targets"], TARGET_HEADER)]
    if tables["cold"]:
        md += ["", "## Cold calls", "",
               f"{cpu_line}; {opts.cold_dur:g} s of audio, median of {opts.cold_procs} fresh processes", "",
               markdown_table(tables["cold"], COLD_HEADER)]
    Path(path).write_text("\n".join(md) + "\n")


def write_json(path, info, opts, elapsed, all_results, cold):
    def key(d):
        return "fixed" if d is None else f"{d:g}"
    Path(path).write_text(json.dumps(
        {"machine": info, "durations": opts.durations, "elapsed": elapsed,
         "results": {n: {key(d): r for d, r in pd.items()} for n, pd in all_results.items()},
         "cold": cold},
        indent=1, default=str))


def main(argv=None):
    opts = parse_options(argv)
    if opts.list:
        for w in WORKLOADS:
            print(f"{w.name:22s} {w.note}")
        return 0
    settings = Settings(opts.quick)
    info = machine_info()
    info["load"] = [f"{os.getloadavg()[0]:.2f}"]
    print_machine(info)
    missing = [f"{m}.{n}" for m, names in EXPORTS.items() for n in names
               if isinstance(kfun(m, n), _Missing)]
    if missing:
        print("korvel does not have yet: " + ", ".join(missing))
    print(f"durations: {', '.join(f'{d:g} s' for d in opts.durations)};"
          f" {'quick' if opts.quick else 'full'} mode\n")

    t_start = time.perf_counter()
    all_results, errors = run_workloads(opts.selected, opts.durations, settings)
    cold = {}
    if opts.cold_procs > 0 and (not opts.only or opts.cold or opts.only == ["cold"]):
        print(f"  cold calls: {opts.cold_dur:g} s of audio, {opts.cold_procs} fresh processes each", flush=True)
        cold = measure_cold(opts.cold_dur, opts.cold_procs, blas_threads=opts.blas_threads)
    elapsed = time.perf_counter() - t_start
    info["load"].append(f"{os.getloadavg()[0]:.2f}")
    tables = {"cpu": f"CPU: {info.get('cpu')} ({info.get('cpu_id', '?')})", "rows": table_rows(all_results),
              "growth": growth_rows(all_results), "targets": target_rows(all_results), "cold": cold_rows(cold)}
    print_report(tables, opts, settings, all_results, errors, elapsed)
    if opts.markdown:
        write_markdown(opts.markdown, info, tables, opts)
    if opts.json:
        write_json(opts.json, info, opts, elapsed, all_results, cold)
    return 0


if __name__ == "__main__":
    sys.exit(main())
