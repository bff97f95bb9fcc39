"""Timing the contenders of one workload, the machine they run on, and cold
calls in fresh processes."""

import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path

import numpy as np

from contenders import FS, HERE, _Missing, audio, baseline, librosa, period_from_bpm

# --------------------------------------------------------------------------
# Measuring


def same_bits(a, b):
    """Equal dtype, shape and bytes (NaN payloads included); tuples element-wise."""
    if isinstance(a, tuple) or isinstance(b, tuple):
        return (type(a) is type(b) and len(a) == len(b)
                and all(same_bits(p, q) for p, q in zip(a, b)))
    if type(a) is not type(b):
        return False
    if isinstance(a, (np.ndarray, np.generic)):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return np.float64(a).tobytes() == np.float64(b).tobytes()
    return a == b


class Settings:
    def __init__(self, quick):
        if quick:
            self.budget, self.min_rep, self.max_rep, self.cap, self.min_sample = 0.04, 3, 9, 0.6, 0.002
        else:
            self.budget, self.min_rep, self.max_rep, self.cap, self.min_sample = 0.7, 5, 40, 12.0, 0.02


def _sample(fn, args, number):
    t0 = time.perf_counter()
    for _ in range(number):
        fn(*args)
    return (time.perf_counter() - t0) / number


def measure(contenders, settings, compare):
    """Time the contenders in interleaved rounds; returns a result dict."""
    out = {c: {} for c in contenders}
    live = {}
    results = {}
    for c, (fn, args) in contenders.items():
        if isinstance(fn, _Missing):
            out[c]["status"] = "missing"
            continue
        # The warm-up call (imports, JIT, first touch of the inputs) also gives
        # the result for the bit comparison and, where wanted, the peak memory:
        # a slow quadratic call is then made once less.
        traced = c in ("korvel", "ref", "baseline")
        try:
            gc.collect()
            if traced:
                tracemalloc.start()
                tracemalloc.reset_peak()
                base = tracemalloc.get_traced_memory()[0]
            try:
                t0 = time.perf_counter()
                results[c] = fn(*args)
                first = time.perf_counter() - t0
                if traced:
                    out[c]["peak"] = tracemalloc.get_traced_memory()[1] - base
            finally:
                if traced:
                    tracemalloc.stop()
        except Exception as e:
            out[c]["status"] = f"error: {type(e).__name__}: {e}"[:200]
            continue
        if first < 0.1:
            first = _sample(fn, args, 1)  # untraced, warm
        live[c] = (fn, args, first)

    if compare and "korvel" in results and "baseline" in results:
        out["korvel"]["bits"] = same_bits(results["korvel"], results["baseline"])
    if compare and "ref" in results and "baseline" in results:
        out["ref"]["bits"] = same_bits(results["ref"], results["baseline"])
    results.clear()

    # Calls per sample so that tiny calls are timed over a few milliseconds.
    number = {c: max(1, math.ceil(settings.min_sample / max(first, 1e-7)))
              for c, (_, _, first) in live.items()}
    samples = {c: [] for c in live}
    names = list(live)
    gc.collect()
    gc.disable()
    try:
        # Round 0 gives every contender's cost, which fixes its number of rounds.
        for c in names:
            fn, args, _ = live[c]
            samples[c].append(_sample(fn, args, number[c]))
        reps = {}
        for c in names:
            t = samples[c][0] * number[c]
            n = min(settings.max_rep, max(settings.min_rep, round(settings.budget / max(t, 1e-9))))
            if n * t > settings.cap:
                n = max(1, int(settings.cap / t))
            reps[c] = n
        rounds = max(reps.values(), default=0)
        for r in range(1, rounds):
            k = r % len(names)
            for c in names[k:] + names[:k]:
                if len(samples[c]) < reps[c]:
                    fn, args, _ = live[c]
                    samples[c].append(_sample(fn, args, number[c]))
    finally:
        gc.enable()

    for c in names:
        s = samples[c]
        out[c].update(status="ok", median=statistics.median(s), min=min(s), n=len(s),
                      number=number[c],
                      spread=(max(s) - min(s)) / statistics.median(s) if len(s) > 1 else 0.0)
    gc.collect()
    return out


def machine_info():
    info = {}
    cpu = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            key = key.strip()
            if key in ("model name", "cpu family", "model", "flags") and key not in cpu:
                cpu[key] = value.strip()
            if not line.strip() and cpu:
                break
    except OSError:
        pass
    info["cpu"] = cpu.get("model name") or platform.processor() or platform.machine()
    if "cpu family" in cpu:
        info["cpu_id"] = f"family {cpu['cpu family']} model {cpu.get('model')}"
    flags = set(cpu.get("flags", "").split())
    info["cpu_simd"] = [f for f in ("sse4_2", "avx", "avx2", "fma", "avx512f", "avx512bw",
                                    "avx512vl", "avx512_bf16") if f in flags]
    try:
        mem = Path("/proc/meminfo").read_text().split("\n", 1)[0].split()
        info["mem_gib"] = round(int(mem[1]) / (1 << 20), 1)
    except (OSError, IndexError, ValueError):
        pass
    info["cores"] = os.cpu_count()
    try:
        info["affinity"] = len(os.sched_getaffinity(0))
    except AttributeError:
        pass
    info["python"] = platform.python_version()
    info["numpy"] = np.__version__
    try:
        cfg = np.show_config(mode="dicts")
        simd = cfg.get("SIMD Extensions", {})
        info["numpy_simd"] = {"baseline": simd.get("baseline"), "found": simd.get("found")}
        blas = cfg.get("Build Dependencies", {}).get("blas", {})
        info["numpy_blas"] = f"{blas.get('name')} {blas.get('version')}"
    except Exception:
        pass
    try:
        from threadpoolctl import threadpool_info
        info["threadpools"] = [
            {k: p.get(k) for k in ("internal_api", "version", "architecture", "num_threads")}
            for p in threadpool_info()]
    except Exception:
        pass
    info["librosa"] = getattr(librosa, "__version__", None)
    env = {k: os.environ[k] for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE",
                                      "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS") if k in os.environ}
    info["env"] = env
    try:
        info["korvel_commit"] = subprocess.run(
            ["git", "-C", str(HERE.parent), "rev-parse", "--short", "HEAD"],
            capture_output=True, text=True, timeout=5).stdout.strip()
    except Exception:
        pass
    return info


def print_machine(info):
    print(f"CPU: {info.get('cpu')} ({info.get('cpu_id', '?')}), {info.get('cores')} logical cores"
          f" ({info.get('affinity', '?')} usable), {info.get('mem_gib', '?')} GiB;"
          f" SIMD: {' '.join(info.get('cpu_simd', []))}")
    print(f"Python {info.get('python')}, NumPy {info.get('numpy')}, librosa {info.get('librosa')}")
    simd = info.get("numpy_simd")
    if simd:
        print(f"NumPy SIMD: baseline {simd['baseline']}, dispatched {simd['found']}")
    print(f"NumPy BLAS: {info.get('numpy_blas')}")
    for p in info.get("threadpools", []):
        print(f"  threadpool: {p['internal_api']} {p['version']} kernel {p['architecture']},"
              f" {p['num_threads']} threads")
    if info.get("env"):
        print("  env: " + ", ".join(f"{k}={v}" for k, v in info["env"].items()))
    print(f"korvel commit: {info.get('korvel_commit')}")
    if info.get("load"):
        print("load average (1 min) at start / end: " + " / ".join(info["load"]))


# --------------------------------------------------------------------------
# Cold calls: the first call in a fresh process, as the CLI and every batch
# task make it (large temporaries come fresh from the kernel, caches and
# lazily built tables are empty).

# The child imports nothing but NumPy and korvel (not this module, which
# pulls in librosa): name, inputs path, warm calls -> JSON on stdout.
COLD_CHILD = """
import json, statistics, sys, time
import numpy as np
name, path, warm_calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
d = np.load(path)
ff = float(d["ff"])
args = {"spectral_novelty": (d["x"], 1024, 256, 100), "estimate_bpm": (d["nov"], ff, 60, 200),
        "make_local_pulse": (d["nov"], ff, 60, 200),
        "create_dp_beats": (d["nov"], float(d["period"]), 10)}[name]
import korvel.pulsix as pulsix  # after the inputs, as a script would
fn = getattr(pulsix, name)
t0 = time.perf_counter()
fn(*args)
cold = time.perf_counter() - t0
warm = []
for _ in range(warm_calls):
    t0 = time.perf_counter()
    fn(*args)
    warm.append(time.perf_counter() - t0)
print(json.dumps({"cold": cold, "warm": statistics.median(warm)}))
"""
COLD_FUNCTIONS = ("spectral_novelty", "estimate_bpm", "make_local_pulse", "create_dp_beats")


def measure_cold(duration, processes, warm_calls=3, blas_threads=None):
    """{name: {"cold": median, "warm": median, "n": processes}} over fresh processes."""
    import tempfile
    x = audio.make_audio(duration)
    ff = FS / 256
    nov = baseline.spectral_novelty(x, 1024, 256, 100)
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "inputs.npz")
        period = period_from_bpm(baseline.estimate_bpm(nov, ff, 60, 200), ff)
        np.savez(path, x=x, nov=nov, ff=ff, period=period)
        env = dict(os.environ)
        if blas_threads:
            env["OPENBLAS_NUM_THREADS"] = env["OMP_NUM_THREADS"] = str(blas_threads)
        for name in COLD_FUNCTIONS:
            colds, warms = [], []
            for _ in range(processes):
                proc = subprocess.run(
                    [sys.executable, "-c", COLD_CHILD, name, path, str(warm_calls)],
                    capture_output=True, text=True, env=env)
                if proc.returncode != 0:
                    out[name] = {"error": proc.stderr.strip().splitlines()[-1:]}
                    break
                r = json.loads(proc.stdout.strip().splitlines()[-1])
                colds.append(r["cold"])
                warms.append(r["warm"])
            else:
                out[name] = {"cold": statistics.median(colds), "warm": statistics.median(warms),
                             "n": processes}
    return out
