#!/usr/bin/env python3
"""Turns the JSON output of browse_benchmark into a markdown table and a plot.

Usage: report.py RESULTS.json [--table table.md] [--plot time_per_item.png]
                 [--elapsed SECONDS] [--time cpu|real]

The table holds every figure of every size, ours next to each peer with the
ratio peer / ours (above 1: ours is faster or smaller), and the five checks.
Figures are medians over the repetitions (or the single run when there was
one). The plot needs gnuplot. Exits with 1 when a benchmark reported an
error (such as a page that disagrees between implementations).
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

NS_PER_UNIT = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

PEERS = [
    ("stable_sort", "plain C++ (stable_sort)"),
    ("sqlite", "SQLite"),
    ("sqlite_indexed", "SQLite, indexed"),
]

# Figure group -> (unit shown, how a run becomes that unit).
UNITS = {
    "copy": "ns per copy",
    "add_items": "ns per item",
    "sort": "ns per item",
    "page": "µs per page",
    "browse": "ns per item",
    "memory": "bytes per item above the input",
}

GROUP_TITLES = {
    "copy": "Record copy",
    "add_items": "Adding N items",
    "sort": "Sort alone",
    "page": "Page of 100 from the sorted items",
    "browse": "Whole browse (collect N items, first page)",
    "memory": "Peak memory of a whole browse",
}

GROUP_ORDER = ["copy", "add_items", "sort", "page", "browse", "memory"]


def run_name(entry):
    """The benchmark's own name, without the suffixes that the library adds."""
    name = entry.get("run_name", entry["name"])
    name = re.sub(r"/iterations:\d+", "", name)
    name = re.sub(r"/(real_time|manual_time)$", "", name)
    return name


def parse_name(name):
    """(group, implementation, variant, N or None) from GROUP/IMPL[/...]/N:SIZE."""
    parts = name.split("/")
    size = None
    if parts[-1].startswith("N:"):
        size = int(parts[-1][2:])
        parts = parts[:-1]
    return parts[0], parts[1], "/".join(parts[2:]), size


def load(path, clock):
    """Medians by benchmark name, and the benchmarks that reported errors."""
    with open(path, encoding="utf-8") as stream:
        data = json.load(stream)
    samples = {}
    medians = {}
    errors = []
    for entry in data.get("benchmarks", []):
        name = run_name(entry)
        if entry.get("error_occurred"):
            errors.append((name, entry.get("error_message", "")))
            continue
        scale = NS_PER_UNIT[entry.get("time_unit", "ns")]
        value = {
            "time_ns": entry[f"{clock}_time"] * scale,
            "items": entry.get("items"),
            "bytes_per_item": entry.get("bytes_per_item"),
            "input_bytes_per_item": entry.get("input_bytes_per_item"),
            "copies_bytes_per_item": entry.get("copies_bytes_per_item"),
            "label": entry.get("label", ""),
        }
        if entry.get("run_type") == "aggregate":
            if entry.get("aggregate_name") == "median":
                medians[name] = value
        else:
            samples.setdefault(name, []).append(value)
    for name, runs in samples.items():
        if name in medians:
            continue
        middle = dict(runs[0])
        middle["time_ns"] = statistics.median(r["time_ns"] for r in runs)
        medians[name] = middle
    return data.get("context", {}), medians, errors


def figure(group, value, size):
    """A run's figure in the unit of its group."""
    if group == "memory":
        return value["bytes_per_item"]
    if group == "page":
        return value["time_ns"] / 1e3
    if group == "copy":
        return value["time_ns"]
    return value["time_ns"] / size


def collect(medians):
    """{(group, variant, size): {implementation: figure}}."""
    figures = {}
    for name, value in medians.items():
        group, implementation, variant, size = parse_name(name)
        if group not in UNITS:
            continue
        if group == "copy":
            implementation = "ours" if implementation == "browse_data" else "stable_sort"
        try:
            number = figure(group, value, size)
        except (TypeError, ZeroDivisionError):
            continue
        if number is None:
            continue
        figures.setdefault((group, variant, size), {})[implementation] = number
        if group == "memory" and value.get("input_bytes_per_item"):
            figures.setdefault(("input", "", size), {})["ours"] = value["input_bytes_per_item"]
        if group == "memory" and value.get("copies_bytes_per_item"):
            figures.setdefault(("copies", "", size), {})["ours"] = value["copies_bytes_per_item"]
    return figures


def fmt(number):
    if number is None:
        return "–"
    if number >= 100:
        return f"{number:,.0f}"
    if number >= 10:
        return f"{number:.1f}"
    return f"{number:.2f}"


def ratio(peer, ours):
    if peer is None or ours is None or ours == 0:
        return "–"
    return f"{peer / ours:.2f}×"


def sizes_of(figures):
    return sorted({size for (group, _, size) in figures
                   if size is not None and group not in ("input", "copies")})


def checks(figures):
    """Rows (check, measured, target, verdict) of the five checks."""
    sizes = sizes_of(figures)
    if not sizes:
        return [], None
    at = 1_000_000 if 1_000_000 in sizes else sizes[-1]

    def get(group, variant, implementation, size=at):
        return figures.get((group, variant, size), {}).get(implementation)

    rows = []

    def add(title, measured_text, value, target_text, passes):
        if value is None:
            rows.append((title, "not measured", target_text, "–"))
        else:
            rows.append((title, measured_text, target_text, "pass" if passes(value) else "FAIL"))

    ours = get("sort", "name_number/asc", "ours")
    peer = get("sort", "name_number/asc", "stable_sort")
    value = peer / ours if ours and peer else None
    add("1. sort alone: stable_sort / ours",
        f"{fmt(peer)} / {fmt(ours)} ns per item = {value:.2f}×" if value else "",
        value, "≥ 8×", lambda v: v >= 8)

    ours = get("browse", "name_number/asc", "ours")
    peer = get("browse", "name_number/asc", "sqlite")
    value = peer / ours if ours and peer else None
    add("2. whole browse: SQLite insert + first page / ours",
        f"{fmt(peer)} / {fmt(ours)} ns per item = {value:.2f}×" if value else "",
        value, "≥ 3×", lambda v: v >= 3)

    first = get("page", "name_number/asc/first", "ours")
    middle = get("page", "name_number/asc/middle", "ours")
    value = middle / first if first and middle else None
    add("3a. page at N/2 / page at offset 0 (ours)",
        f"{fmt(middle)} / {fmt(first)} µs = {value:.2f}×" if value else "",
        value, "≤ 1.5×", lambda v: v <= 1.5)

    peer = get("page", "name_number/asc/middle", "sqlite_indexed")
    value = peer / middle if middle and peer else None
    add("3b. page at N/2: SQLite indexed / ours",
        f"{fmt(peer)} / {fmt(middle)} µs = {value:.1f}×" if value else "",
        value, "≥ 100×", lambda v: v >= 100)

    ours = get("memory", "name_number/asc", "ours")
    peer = get("memory", "name_number/asc", "stable_sort")
    value = ours / peer if ours and peer else None
    add("4. peak memory above input: ours / stable_sort",
        f"{fmt(ours)} / {fmt(peer)} bytes per item = {value:.2f}×" if value else "",
        value, "≤ 1.5×", lambda v: v <= 1.5)

    small = 100_000 if 100_000 in sizes else sizes[0]
    large = 4_000_000 if 4_000_000 in sizes else sizes[-1]
    low = get("sort", "name_number/asc", "ours", small)
    high = get("sort", "name_number/asc", "ours", large)
    value = high / low if low and high and large != small else None
    add(f"5. sort ns per item: N={large:,} / N={small:,} (ours)",
        f"{fmt(high)} / {fmt(low)} ns per item = {value:.2f}×" if value else "",
        value, "≤ 1.3×", lambda v: v <= 1.3)
    return rows, at


def variant_sort_key(variant):
    """Orders as registered: name_number, number, flag_name; asc, desc; first, middle, last."""
    rank = {"short": 0, "long": 1, "name_number": 0, "number": 1, "flag_name": 2,
            "asc": 0, "desc": 1, "first": 0, "middle": 1, "last": 2}
    return [rank.get(part, 9) for part in variant.split("/")]


def table(context, figures, errors, elapsed, clock):
    lines = []
    lines.append("# Browse benchmark results")
    lines.append("")
    lines.append(f"- Run: {context.get('date', '?')} on {context.get('host_name', '?')}, "
                 f"{context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz, "
                 f"load average {', '.join(f'{x:.2f}' for x in context.get('load_avg', []))}")
    lines.append(f"- Sizes: {context.get('browse_sizes', '?')}; SQLite "
                 f"{context.get('sqlite_version', '?')}")
    if elapsed is not None:
        lines.append(f"- Whole run (build excluded): {elapsed:.0f} s")
    lines.append(f"- Times are medians over the repetitions of {clock} time; ratios are "
                 "peer / ours, so above 1× means ours is faster (or smaller).")
    lines.append("- Every implementation starts from the same generated items. Teardown "
                 "(freeing the items, closing the database) is not timed. The SQLite tables "
                 "are in memory; the indexed one gets its index after the insert.")
    lines.append("")

    rows, at = checks(figures)
    if rows:
        lines.append(f"## Checks (N = {at:,}, [ByName, ByNumber] ascending)")
        lines.append("")
        lines.append("| Check | Measured | Target | Result |")
        lines.append("|---|---|---|---|")
        for row in rows:
            lines.append("| " + " | ".join(row) + " |")
        lines.append("")

    header = "| Figure | N | ours |"
    rule = "|---|---:|---:|"
    for _, title in PEERS:
        header += f" {title} | ratio |"
        rule += "---:|---:|"
    for group in GROUP_ORDER:
        keys = sorted((k for k in figures if k[0] == group),
                      key=lambda k: (variant_sort_key(k[1]), k[2] or 0))
        if not keys:
            continue
        lines.append(f"## {GROUP_TITLES[group]} ({UNITS[group]})")
        lines.append("")
        if group == "memory":
            inputs = [f"{fmt(row['ours'])} bytes per item at N = {k[2]:,}"
                      for k, row in sorted(figures.items()) if k[0] == "input"]
            if inputs:
                lines.append("The input itself (the generated items, counted as they were made) "
                             "holds " + "; ".join(inputs) + ".")
                lines.append("")
            copies = [f"{fmt(row['ours'])} bytes per item at N = {k[2]:,}"
                      for k, row in sorted(figures.items()) if k[0] == "copies"]
            if copies:
                lines.append("Of ours, the cache's copies of the items (before the sort) hold "
                             + "; ".join(copies) + "; the rest is the sorter and the page.")
                lines.append("")
        lines.append(header)
        lines.append(rule)
        for key in keys:
            row = figures[key]
            ours = row.get("ours")
            size = f"{key[2]:,}" if key[2] else "–"
            cells = [key[1] or "–", size, fmt(ours)]
            for peer, _ in PEERS:
                cells += [fmt(row.get(peer)), ratio(row.get(peer), ours)]
            lines.append("| " + " | ".join(cells) + " |")
        lines.append("")

    if errors:
        lines.append("## Errors")
        lines.append("")
        for name, message in errors:
            lines.append(f"- `{name}`: {message}")
        lines.append("")
    return "\n".join(lines)


def plot(figures, output, clock):
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        print("report.py: gnuplot not found; no plot written", file=sys.stderr)
        return False
    sizes = sizes_of(figures)
    if not sizes:
        return False
    left = [("sort", "name_number/asc", "ours", "sort alone, ours"),
            ("sort", "name_number/asc", "stable_sort", "sort alone, stable_sort"),
            ("browse", "name_number/asc", "ours", "whole browse, ours"),
            ("browse", "name_number/asc", "stable_sort", "whole browse, stable_sort"),
            ("browse", "name_number/asc", "sqlite", "whole browse, SQLite")]
    right = [("page", "name_number/asc/middle", "ours", "ours"),
             ("page", "name_number/asc/middle", "stable_sort", "stable_sort (sorted vector)"),
             ("page", "name_number/asc/middle", "sqlite", "SQLite"),
             ("page", "name_number/asc/middle", "sqlite_indexed", "SQLite, indexed")]
    with tempfile.TemporaryDirectory() as folder:
        def write(series, path):
            with open(path, "w", encoding="utf-8") as stream:
                for group, variant, implementation, _ in series:
                    for size in sizes:
                        value = figures.get((group, variant, size), {}).get(implementation)
                        if value is not None:
                            stream.write(f"{size} {value}\n")
                    stream.write("\n\n")
        left_data = os.path.join(folder, "left.dat")
        right_data = os.path.join(folder, "right.dat")
        write(left, left_data)
        write(right, right_data)

        def plots(series, path):
            # Ours in solid lines, the peers dashed.
            return ", ".join(
                f"'{path}' index {i} with linespoints lw 2 pt 7 "
                f"dt {1 if implementation == 'ours' else 2} title '{title}'"
                for i, (_, _, implementation, title) in enumerate(series))
        script = f"""
set terminal pngcairo size 1400,620 noenhanced font ',10'
set output '{output}'
set multiplot layout 1,2 title '[ByName, ByNumber] ascending; median {clock} time'
set logscale x
set xlabel 'N (items)'
set format x '%.0s%c'
set key below
set xrange [{sizes[0] / 1.5}:{sizes[-1] * 1.5}]
set grid
set ylabel 'ns per item'
set yrange [0:*]
set title 'Sort alone and whole browse'
plot {plots(left, left_data)}
set logscale y
set yrange [*:*]
set ylabel 'µs per page of 100'
set format y '%g'
set title 'Page at offset N/2'
plot {plots(right, right_data)}
unset multiplot
"""
        completed = subprocess.run([gnuplot], input=script, text=True, capture_output=True)
        if completed.returncode != 0:
            print(completed.stderr, file=sys.stderr)
            return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", help="JSON written by --benchmark_out")
    parser.add_argument("--table", help="markdown table to write (default: print it)")
    parser.add_argument("--plot", help="PNG to write with gnuplot")
    parser.add_argument("--elapsed", type=float, help="seconds that the run took")
    parser.add_argument("--time", choices=["cpu", "real"], default="cpu",
                        help="which clock the figures use (default: cpu)")
    args = parser.parse_args()

    context, medians, errors = load(args.results, args.time)
    figures = collect(medians)
    text = table(context, figures, errors, args.elapsed, args.time)
    if args.table:
        with open(args.table, "w", encoding="utf-8") as stream:
            stream.write(text + "\n")
    else:
        print(text)
    if args.plot:
        plot(figures, args.plot, args.time)
    for name, message in errors:
        print(f"report.py: {name}: {message}", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
