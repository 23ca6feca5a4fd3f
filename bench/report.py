"""Markdown table, JSON file and plot of a benchmark run."""
from __future__ import annotations

import json
import math
import os


def _num(x, fmt):
    if x is None:
        return "n/a"
    if isinstance(x, float) and not math.isfinite(x):
        return str(x)
    return format(x, fmt)


def _rate(qps):
    """Queries per second with a unit: 1.2 G/s, 35 M/s, 120 k/s."""
    if qps is None:
        return "n/a"
    for scale, unit in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if qps >= scale:
            return f"{qps / scale:.3g} {unit}/s"
    return f"{qps:.3g} /s"


def _ms(seconds):
    return "n/a" if seconds is None else f"{seconds * 1e3:.3g}"


def _count(n):
    if n is None:
        return "n/a"
    if n >= 1_000_000:
        return f"{n / 1e6:.3g}M"
    if n >= 10_000:
        return f"{n / 1e3:.3g}k"
    return str(n)


def _err(e, key):
    if not e or e.get(key) is None:
        return "n/a"
    if key == "flips":
        return f"{100.0 * e[key]:.3g}%"
    return f"{e[key]:.2e}"


def plot_title(m):
    """The figure's title: the host flavour's device name already says "host flavour"."""
    where = f"{m['cpu_count']} CPU threads" if m["flavour"] == "host" else m["device"]
    return f"gyrant ({m['flavour']} flavour, {where}) vs libigl ({m['cpu_count']} CPU threads)"


def markdown(result):
    m, c, rows = result["machine"], result["config"], result["rows"]
    lines = [
        f"# gyrant vs libigl ({m['flavour']} flavour)",
        "",
        f"gyrant on {m['device']}; libigl {m['libigl']} on {m['cpu_count']} CPU threads "
        f"({m['cpu']}). gyrant at its default beta, epsilon {c['epsilon']:g} for point clouds"
        f"{' (engine default)' if c['epsilon'] < 0 else ''}; libigl at its defaults "
        "(order-2 expansions, beta 2).",
        "",
        "## Speed",
        "",
        "| surface | kind | N | queries | Q | gyrant build ms | gyrant compute | brute_force (R) "
        "| libigl build ms | libigl query (I) | compute / libigl |",
        "|---|---|---:|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        g = r.get("gyrant") or {}
        i = r.get("libigl") or {}
        brute = "n/a" if not g.get("brute_qps") else f"{_rate(g['brute_qps'])} ({_count(g['brute_queries'])})"
        iq = "n/a" if not i.get("igl_qps") else f"{_rate(i['igl_qps'])} ({_count(i['igl_queries'])})"
        ratio = (f"{g['compute_qps'] / i['igl_qps']:.3g}x"
                 if g.get("compute_qps") and i.get("igl_qps") else "n/a")
        lines.append(
            f"| {r['surface']} | {r['kind']} | {_count(r['n'])} | {r['query_set']} | {_count(r['queries'])} "
            f"| {_ms(g.get('build_s'))} | {_rate(g.get('compute_qps'))} | {brute} "
            f"| {_ms(i.get('igl_build_s'))} | {iq} | {ratio} |")
    lines += [
        "",
        "## Accuracy against the reference",
        "",
        "Errors are absolute winding-number differences on the first R queries; "
        "\"flips\" counts points classified differently at 1/2. The last column checks the "
        "reference itself against a float64 evaluation on K queries.",
        "",
        "| surface | queries | reference (R) | gyrant max | gyrant mean | gyrant flips "
        "| libigl max | libigl mean | libigl flips | reference vs float64 max (K) |",
        "|---|---|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        g = r.get("gyrant") or {}
        i = r.get("libigl") or {}
        ge = g.get("gyrant_vs_brute")
        ie = i.get("vs_reference")
        ref_check = r.get("reference_vs_exact")
        check = ("n/a" if not ref_check or ref_check.get("max") is None
                 else f"{ref_check['max']:.2e} ({r['exact_queries']})")
        lines.append(
            f"| {r['surface']} | {r['query_set']} | {r['reference']} ({_count(r['reference_queries'])}) "
            f"| {_err(ge, 'max')} | {_err(ge, 'mean')} | {_err(ge, 'flips')} "
            f"| {_err(ie, 'max')} | {_err(ie, 'mean')} | {_err(ie, 'flips')} | {check} |")
    notes = [n for r in rows for n in r.get("notes", [])]
    if notes or result.get("notes"):
        lines += ["", "Notes:", ""]
        lines += [f"- {n}" for n in result.get("notes", [])]
        lines += [f"- {n}" for n in dict.fromkeys(notes)]
    return "\n".join(lines) + "\n"


def _strict(x):
    """Non-finite floats as strings, so the file stays strict JSON."""
    if isinstance(x, dict):
        return {k: _strict(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [_strict(v) for v in x]
    if isinstance(x, float) and not math.isfinite(x):
        return str(x)
    return x


def write_json(result, path):
    with open(path, "w") as f:
        json.dump(_strict(result), f, indent=1, allow_nan=False)


def plot(result, path):
    """Queries/s against primitive count, one panel per query set; returns False without
    matplotlib."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        return False
    sets = list(dict.fromkeys(r["query_set"] for r in result["rows"]))
    fig, axes = plt.subplots(1, max(1, len(sets)), figsize=(6.5 * max(1, len(sets)), 5), squeeze=False)
    series = (("gyrant", "compute_qps", "gyrant compute", "tab:blue"),
              ("gyrant", "brute_qps", "gyrant brute_force", "tab:gray"),
              ("libigl", "igl_qps", "libigl fast winding number", "tab:orange"))
    markers = {"soup": "s", "mesh": "o", "points": "^"}
    for ax, qs in zip(axes[0], sets):
        rows = [r for r in result["rows"] if r["query_set"] == qs]
        for part, key, label, colour in series:
            labelled = set()
            for kind, marker in markers.items():
                pts = sorted((r["n"], (r.get(part) or {}).get(key)) for r in rows
                             if r["kind"] == kind and (r.get(part) or {}).get(key))
                if not pts:
                    continue
                name = f"{label} ({kind})"
                ax.plot([p[0] for p in pts], [p[1] for p in pts], marker=marker, linestyle="none",
                        color=colour, label=name if name not in labelled else None)
                labelled.add(name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xlabel("primitives (triangles or points)")
        ax.set_ylabel("queries per second")
        ax.set_title(f"{qs} queries")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.suptitle(plot_title(result["machine"]))
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def write_all(result, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    text = markdown(result)
    with open(os.path.join(out_dir, "bench.md"), "w") as f:
        f.write(text)
    write_json(result, os.path.join(out_dir, "bench.json"))
    plotted = plot(result, os.path.join(out_dir, "bench.png"))
    return text, plotted
