"""The benchmark's tables: times, ratios, cost growth, the targets of the
performance work and cold calls, as text and as Markdown."""

import math
import sys

from contenders import CONTENDERS

# --------------------------------------------------------------------------
# Reporting


def fmt_time(t):
    if t is None:
        return "-"
    if t >= 1:
        return f"{t:.2f} s"
    if t >= 1e-3:
        return f"{t * 1e3:.2f} ms"
    return f"{t * 1e6:.1f} us"


def fmt_mem(b):
    if b is None:
        return "-"
    if b >= 1 << 20:
        return f"{b / (1 << 20):.1f}M"
    if b >= 1 << 10:
        return f"{b / (1 << 10):.0f}K"
    return f"{b}B"


def fmt_ratio(a, b):
    if a is None or b is None or b == 0:
        return "-"
    return f"{a / b:.3g}"


def cell_time(r):
    st = r.get("status")
    if st is None:
        return "-"
    if st == "missing":
        return "missing"
    if st != "ok":
        return "error"
    return fmt_time(r["median"])


def _med(r):
    return r.get("median") if r.get("status") == "ok" else None


def _bits(r):
    b = r.get("bits")
    return "-" if b is None else ("yes" if b else "NO")


def growth(points):
    """Least-squares slope of log(time) against log(duration)."""
    pts = [(math.log(d), math.log(t)) for d, t in points if t]
    if len(pts) < 2:
        return None
    mx = sum(p[0] for p in pts) / len(pts)
    my = sum(p[1] for p in pts) / len(pts)
    sxx = sum((p[0] - mx) ** 2 for p in pts)
    return sum((p[0] - mx) * (p[1] - my) for p in pts) / sxx if sxx else None


HEADER = ["workload", "dur", "korvel", "ref", "baseline", "librosa", "floor",
          "k/base", "k/lib", "k/floor", "bits", "mem k", "mem ref", "mem base", "mem k/ref"]


def table_rows(all_results):
    rows = []
    for name, per_dur in all_results.items():
        for dur, res in per_dur.items():
            k, rf, b, lb, fl = (res.get(c, {}) for c in CONTENDERS)
            tk, tb, tl, tf = _med(k), _med(b), _med(lb), _med(fl)
            rows.append([
                name, "-" if dur is None else f"{dur:g}s",
                cell_time(k), cell_time(rf), cell_time(b), cell_time(lb), cell_time(fl),
                fmt_ratio(tk, tb), fmt_ratio(tk, tl), fmt_ratio(tk, tf), _bits(k),
                fmt_mem(k.get("peak")), fmt_mem(rf.get("peak")), fmt_mem(b.get("peak")),
                fmt_ratio(k.get("peak"), rf.get("peak")),
            ])
    return rows


def print_table(rows, header=HEADER, file=sys.stdout):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = "  ".join(h.ljust(w) if i < 2 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths)))
    print(line, file=file)
    print("-" * len(line), file=file)
    for r in rows:
        print("  ".join(str(c).ljust(w) if i < 2 else str(c).rjust(w)
                        for i, (c, w) in enumerate(zip(r, widths))), file=file)


def markdown_table(rows, header=HEADER):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def growth_rows(all_results):
    rows = []
    for name, per_dur in all_results.items():
        if len(per_dur) < 2 or None in per_dur:
            continue
        g = {}
        for c in ("korvel", "baseline", "librosa"):
            pts = [(d, _med(res.get(c, {}))) for d, res in per_dur.items()]
            e = growth(pts) if all(t for _, t in pts) else None
            g[c] = "-" if e is None else f"{e:.2f}"
        rows.append([name, g["korvel"], g["baseline"], g["librosa"]])
    return rows


# Targets of the performance work: (workload, check, bound).
#   speedup   baseline/korvel >= bound
#   floor     korvel/floor <= bound
#   no_slower korvel/baseline <= bound
#   growth    korvel's cost-growth exponent <= bound
#   librosa   korvel/librosa < bound
TARGETS = [
    ("create_dp_beats", "speedup", 50), ("create_dp_beats", "growth", 1.3),
    ("stft_1024_256", "speedup", 2), ("stft_1024_256", "floor", 1.25),
    ("stft_2048_512", "speedup", 2), ("stft_2048_512", "floor", 1.25),
    ("stft_mag_1024_256", "speedup", 2), ("stft_mag_1024_256", "floor", 1.25),
    ("stft_mag_2048_512", "speedup", 2), ("stft_mag_2048_512", "floor", 1.25),
    ("spectral_novelty", "speedup", 2.5),
    ("estimate_bpm", "speedup", 2), ("make_local_pulse", "speedup", 2),
    ("get_sinusoid_params", "speedup", 5), ("make_clicks", "speedup", 5),
    ("make_clicks_dense", "speedup", 5),
    ("make_ac_tempogram", "no_slower", 1.0), ("best_tempogram_bins", "no_slower", 1.0),
    ("freq_to_pitch", "no_slower", 1.0),
    ("bpm_to_k", "no_slower", 1.0), ("beats_score_10", "no_slower", 1.0),
    ("road_2048_512", "librosa", 1.0),
]


def target_rows(all_results, target_dur=180.0):
    rows = []
    for name, check, bound in TARGETS:
        per_dur = all_results.get(name)
        if not per_dur:
            continue
        if None in per_dur:
            dur = None
        elif target_dur in per_dur:
            dur = target_dur
        else:
            dur = max(per_dur)  # nearest we have; marked in the table
        res = per_dur[dur]
        tk, tb = _med(res.get("korvel", {})), _med(res.get("baseline", {}))
        tl, tf = _med(res.get("librosa", {})), _med(res.get("floor", {}))
        value, ok = None, None
        want = {"speedup": f">= {bound}x faster", "floor": f"korvel/floor <= {bound}",
                "no_slower": "korvel/baseline <= 1", "librosa": "korvel/librosa < 1",
                "growth": f"exponent <= {bound}"}[check]
        if check == "speedup" and tk and tb:
            value, ok = tb / tk, tb / tk >= bound
        elif check == "floor" and tk and tf:
            value, ok = tk / tf, tk / tf <= bound
        elif check == "no_slower" and tk and tb:
            value, ok = tk / tb, tk / tb <= bound
        elif check == "librosa" and tk and tl:
            value, ok = tk / tl, tk / tl < bound
        elif check == "growth":
            pts = [(d, _med(r.get("korvel", {}))) for d, r in per_dur.items() if d is not None]
            if len(pts) >= 2 and all(t for _, t in pts):
                value = growth(pts)
                ok = value <= bound
        dlabel = "-" if dur is None else (f"{dur:g}s" if check != "growth" else
                                          "/".join(f"{d:g}" for d in per_dur))
        rows.append([name, dlabel, want, "-" if value is None else f"{value:.3g}",
                     "-" if ok is None else ("holds" if ok else "MISSES")])
    # Memory: every fast path at most 25% above its reference path's peak.
    for name, per_dur in all_results.items():
        worst = None
        for res in per_dur.values():
            pk, pr = res.get("korvel", {}).get("peak"), res.get("ref", {}).get("peak")
            if pk is not None and pr:
                worst = max(worst or 0.0, pk / pr)
        if worst is not None:
            rows.append([name, "all", "peak mem k/ref <= 1.25", f"{worst:.3g}",
                         "holds" if worst <= 1.25 else "MISSES"])
    return rows


def cold_rows(cold):
    rows = []
    for name, r in cold.items():
        if "error" in r:
            rows.append([name, "error", " ".join(r["error"]), "-", "-"])
            continue
        ratio = r["cold"] / r["warm"]
        rows.append([name, fmt_time(r["cold"]), fmt_time(r["warm"]), f"{ratio:.2f}",
                     "holds" if ratio <= 1.3 else "MISSES"])
    return rows


COLD_HEADER = ["workload", "cold", "warm", "cold/warm", "<= 1.3"]
GROWTH_HEADER = ["workload", "korvel", "baseline", "librosa"]
TARGET_HEADER = ["workload", "at", "target", "value", "verdict"]
