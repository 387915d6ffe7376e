#!/usr/bin/env python3
"""Turns the JSON output of browse_benchmark into a markdown table and a plot.

Usage: report.py RESULTS.json [MORE.json ...] [--table table.md]
                 [--plot time_per_item.png] [--merged benchmarks.json]
                 [--elapsed SECONDS] [--time cpu|real]

Several JSON files (one run of the benchmark per size, the timings of
`browse query` from time_query.py) are read as one run; --merged writes them
out as one JSON file. The table holds the checks, each with its target, what
was measured and whether the target was met, then every figure of every size,
ours next to each peer with the ratio peer / ours (above 1: ours is faster or
smaller). Figures are medians over the repetitions. With --time cpu (the
default) a benchmark measured in a fresh process counts the child's CPU time
of its timed region (counter child_cpu_ns), any other its own CPU time. The
plot needs gnuplot. Exits with 1 when a benchmark reported an error (such as a
page that disagrees between implementations).
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

GROUPS = [
    # (group, title, unit)
    ("copy", "Record copy, in process", "ns per copy"),
    ("add_items", "Adding N items, fresh process", "ns per item"),
    ("first_sort", "First sort after the adds, fresh process", "ns per item"),
    ("resort", "Re-sort of the same filled items, in process (warm memory)", "ns per item"),
    ("sorter", "Key sorter alone (keys, SortKeys, positions read) against stable_sort, "
               "fresh process", "ns per item"),
    ("first_page", "First answer after the adds (page of 100 at offset 0), fresh process",
     "ns per item"),
    ("page", "Page of 100 from the sorted items, copies included, in process", "µs per page"),
    ("browse", "Whole browse (collect N items, first page), fresh process", "ns per item"),
    ("warm_resort", "getResults on a warm cache after a first getResults, fresh process",
     "ns per item"),
    ("teardown", "Destroying the filled, sorted items, fresh process", "ns per item"),
    ("memory", "Peak heap of a whole browse above the input (usable bytes + chunk headers)",
     "bytes per item"),
    ("memory_rss", "Peak RSS of a whole browse above the RSS at the fork", "bytes per item"),
]
UNITS = {group: unit for group, _, unit in GROUPS}


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


COUNTERS = ["items", "heap_bytes_per_item", "rss_bytes_per_item", "input_bytes_per_item",
            "copies_bytes_per_item", "peak_rss_bytes", "minor_faults_per_item"]


def value_of(entry, clock):
    scale = NS_PER_UNIT[entry.get("time_unit", "ns")]
    if clock == "cpu" and "child_cpu_ns" in entry:
        time_ns = entry["child_cpu_ns"]
    else:
        time_ns = entry[f"{clock}_time"] * scale
    value = {"time_ns": time_ns, "wall_ns": entry["real_time"] * scale,
             "cpu_ns": entry.get("child_cpu_ns", entry["cpu_time"] * scale),
             "label": entry.get("label", "")}
    for counter in COUNTERS:
        value[counter] = entry.get(counter)
    return value


def median_of(runs):
    middle = dict(runs[0])
    for key, first in runs[0].items():
        if isinstance(first, (int, float)) and not isinstance(first, bool):
            numbers = [r[key] for r in runs if r.get(key) is not None]
            middle[key] = statistics.median(numbers) if numbers else None
    middle["runs"] = len(runs)
    walls = [r["wall_ns"] for r in runs if r.get("wall_ns")]
    middle["wall_spread"] = max(walls) / min(walls) if walls else None
    return middle


def load(paths, clock):
    """Context, medians by benchmark name, errors, and the merged JSON."""
    context = {}
    merged = {"context": {}, "benchmarks": []}
    samples = {}
    medians = {}
    errors = []
    sizes = []
    for path in paths:
        with open(path, encoding="utf-8") as stream:
            data = json.load(stream)
        if not context and data.get("context", {}).get("cpu_model"):
            context = dict(data["context"])
        for size in str(data.get("context", {}).get("browse_sizes", "")).split(","):
            if size and size not in sizes:
                sizes.append(size)
        merged["benchmarks"].extend(data.get("benchmarks", []))
        for entry in data.get("benchmarks", []):
            name = run_name(entry)
            if entry.get("error_occurred"):
                errors.append((name, entry.get("error_message", "")))
                continue
            if entry.get("run_type") == "aggregate":
                if entry.get("aggregate_name") == "median":
                    medians[name] = value_of(entry, clock)
                    medians[name]["runs"] = entry.get("repetitions")
            else:
                samples.setdefault(name, []).append(value_of(entry, clock))
    for name, runs in samples.items():
        if name not in medians:
            medians[name] = median_of(runs)
    if not context and paths:
        with open(paths[0], encoding="utf-8") as stream:
            context = json.load(stream).get("context", {})
    context["browse_sizes"] = ",".join(sizes)
    merged["context"] = context
    return context, medians, errors, merged


def figure(group, value, size):
    """A run's figure in the unit of its group."""
    if group == "memory":
        return value["heap_bytes_per_item"]
    if group == "page":
        return value["time_ns"] / 1e3
    if group == "copy":
        return value["time_ns"]
    return value["time_ns"] / size


def collect(medians):
    """{(group, variant, size): {implementation: figure}} and the browse query rows."""
    figures = {}
    queries = {}
    for name, value in medians.items():
        group, implementation, variant, size = parse_name(name)
        if group == "cli_query":
            queries.setdefault(size, {})[implementation] = value
            continue
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
        if group == "memory":
            if value.get("rss_bytes_per_item") is not None:
                figures.setdefault(("memory_rss", variant, size), {})[implementation] = \
                    value["rss_bytes_per_item"]
            if value.get("input_bytes_per_item"):
                figures.setdefault(("input", "", size), {})["ours"] = value["input_bytes_per_item"]
            if value.get("copies_bytes_per_item"):
                figures.setdefault(("copies", "", size), {})["ours"] = \
                    value["copies_bytes_per_item"]
    # The sorter's peer is stable_sort of the fresh copies: the first sort's figure.
    for (group, variant, size), row in list(figures.items()):
        if group == "sorter":
            peer = figures.get(("first_sort", "name_number/asc", size), {}).get("stable_sort")
            if peer is not None:
                row["stable_sort"] = peer
    return figures, queries


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
    """Rows (check, measured, target, verdict) of the checks, and notes of related figures."""
    sizes = sizes_of(figures)
    if not sizes:
        return [], [], None
    at = 1_000_000 if 1_000_000 in sizes else sizes[-1]

    def get(group, variant, implementation, size=at):
        return figures.get((group, variant, size), {}).get(implementation)

    def ms(ns_per_item, size=at):
        return None if ns_per_item is None else ns_per_item * size / 1e6

    rows = []
    notes = []

    def add(title, target_text, value, passes, measured):
        if value is None:
            rows.append((title, target_text, "not measured", "–"))
        else:
            rows.append((title, target_text, measured(value),
                         "met" if passes(value) else "missed"))

    def quotient(top, bottom):
        return top / bottom if top and bottom else None

    nn = "name_number/asc"
    ours = get("first_page", nn, "ours")
    peer = get("first_page", nn, "sqlite")
    add("1. first getResults after the adds / SQLite's first query (no index), fresh",
        "≤ 1×", quotient(ours, peer), lambda v: v <= 1,
        lambda v: f"{fmt(ms(ours))} / {fmt(ms(peer))} ms = {v:.2f}×")
    sorter = get("sorter", nn + "/all", "ours")
    if ours and sorter:
        notes.append(f"first getResults / our sorter alone with all N read: {fmt(ms(ours))} / "
                     f"{fmt(ms(sorter))} ms = {ours / sorter:.2f}×")

    ours = get("browse", nn, "ours")
    peer = get("browse", nn, "sqlite")
    add("2. whole browse: SQLite insert + first page / ours, fresh", "≥ 4×",
        quotient(peer, ours), lambda v: v >= 4,
        lambda v: f"{fmt(peer)} / {fmt(ours)} ns per item = {v:.2f}×")

    peer = get("first_sort", nn, "stable_sort")
    for label, variant in (("3a", "all"), ("3b", "first100")):
        ours = get("sorter", f"{nn}/{variant}", "ours")
        read = "all N" if variant == "all" else "the first 100"
        add(f"{label}. sorter alone, {read} positions read: stable_sort / ours, fresh", "≥ 4×",
            quotient(peer, ours), lambda v: v >= 4,
            lambda v, ours=ours: f"{fmt(peer)} / {fmt(ours)} ns per item = {v:.2f}×")

    for label, group, what in (("4a", "memory", "heap above the input (usable + headers)"),
                               ("4b", "memory_rss", "RSS above the RSS at the fork")):
        ours = get(group, nn, "ours")
        peer = get(group, nn, "stable_sort")
        add(f"{label}. whole browse, peak {what}: ours / plain C++, fresh", "≤ 1.5×",
            quotient(ours, peer), lambda v: v <= 1.5,
            lambda v, ours=ours, peer=peer: f"{fmt(ours)} / {fmt(peer)} bytes per item = {v:.2f}×")
    value = get("memory", nn + "/sorter_alone", "ours")
    add("4c. sorter alone, peak heap per key", "≤ 32 bytes", value, lambda v: v <= 32,
        lambda v: f"{fmt(v)} bytes per key")

    for label, where in (("5a", "first"), ("5b", "middle"), ("5c", "last")):
        ours = get("page", f"{nn}/{where}", "ours")
        peer = get("page", f"{nn}/{where}", "stable_sort")
        offset = {"first": "0", "middle": "N/2", "last": "N − 100"}[where]
        add(f"{label}. page of 100 at {offset}: ours / plain C++ page copy", "≤ 3×",
            quotient(ours, peer), lambda v: v <= 3,
            lambda v, ours=ours, peer=peer: f"{fmt(ours)} / {fmt(peer)} µs = {v:.2f}×")
    for label, size in (("5d", 100_000), ("5e", 1_000_000)):
        ours = get("teardown", nn, "ours", size)
        peer = get("teardown", nn, "stable_sort", size)
        add(f"{label}. teardown at N = {size:,}: ours / plain C++ vector, fresh", "≤ 3×",
            quotient(ours, peer), lambda v: v <= 3,
            lambda v, ours=ours, peer=peer, size=size:
            f"{fmt(ms(ours, size))} / {fmt(ms(peer, size))} ms = {v:.2f}×")

    first = get("first_page", nn, "ours")
    flip = get("warm_resort", "flip", "ours")
    add("6. warm cache, direction flipped: getResults / first getResults", "≤ 0.6×",
        quotient(flip, first), lambda v: v <= 0.6,
        lambda v: f"{fmt(ms(flip))} / {fmt(ms(first))} ms = {v:.2f}×")
    fields = get("warm_resort", "fields", "ours")
    if first and fields:
        notes.append(f"warm cache, fields changed to [ByNumber]: getResults / first getResults: "
                     f"{fmt(ms(fields))} / {fmt(ms(first))} ms = {fields / first:.2f}×")

    first_page = get("page", f"{nn}/first", "ours")
    middle = get("page", f"{nn}/middle", "ours")
    add("7. page at N/2 / page at offset 0 (ours)", "≤ 1.5×", quotient(middle, first_page),
        lambda v: v <= 1.5, lambda v: f"{fmt(middle)} / {fmt(first_page)} µs = {v:.2f}×")
    peer = get("page", f"{nn}/middle", "sqlite_indexed")
    add("8. page at N/2: SQLite indexed / ours", "≥ 100×", quotient(peer, middle),
        lambda v: v >= 100, lambda v: f"{fmt(peer)} / {fmt(middle)} µs = {v:.1f}×")

    small = 100_000 if 100_000 in sizes else sizes[0]
    large = 4_000_000 if 4_000_000 in sizes else sizes[-1]
    low = get("first_sort", nn, "ours", small)
    high = get("first_sort", nn, "ours", large)
    add(f"9. first sort ns per item: N = {large:,} / N = {small:,} (ours), fresh", "≤ 1.3×",
        quotient(high, low) if large != small else None, lambda v: v <= 1.3,
        lambda v: f"{fmt(high)} / {fmt(low)} ns per item = {v:.2f}×")

    peer = get("add_items", "", "stable_sort")
    for label, variant, what in (("10a", "", "addItem × N"),
                                 ("10b", "reserved", "reserve(N), then addItem × N")):
        ours = get("add_items", variant, "ours")
        add(f"{label}. {what}: ours / plain C++ copy (reserve, then copy), fresh", "≤ 0.5×",
            quotient(ours, peer), lambda v: v <= 0.5,
            lambda v, ours=ours: f"{fmt(ours)} / {fmt(peer)} ns per item = {v:.2f}×")
    ours = get("browse", nn, "ours")
    peer = get("browse", nn, "sqlite")
    add("11. whole browse: SQLite insert + first page / ours, fresh", "≥ 6×",
        quotient(peer, ours), lambda v: v >= 6,
        lambda v: f"{fmt(peer)} / {fmt(ours)} ns per item = {v:.2f}×")
    ours = get("first_page", nn, "ours")
    peer = get("first_page", nn, "sqlite")
    add("12. first getResults after the adds / SQLite's first query (no index), fresh",
        "≤ 0.6×", quotient(ours, peer), lambda v: v <= 0.6,
        lambda v: f"{fmt(ms(ours))} / {fmt(ms(peer))} ms = {v:.2f}×")
    return rows, notes, at


def variant_sort_key(variant):
    """Orders as registered: name_number, number, flag_name; asc, desc; first, middle, last."""
    rank = {"short": 0, "long": 1, "name_number": 0, "number": 1, "flag_name": 2,
            "asc": 0, "desc": 1, "first": 0, "middle": 1, "last": 2, "all": 0, "first100": 1,
            "flip": 0, "fields": 1, "sorter_alone": 5}
    return [rank.get(part, 9) for part in variant.split("/")]


def machine_lines(context, elapsed, clock):
    load_avg = ", ".join(f"{x:.2f}" for x in context.get("load_avg", []))
    lines = [
        f"- Machine: {context.get('cpu_model', '?')}, {context.get('num_cpus', '?')} cores at "
        f"{context.get('mhz_per_cpu', '?')} MHz, {context.get('memory', '?')} memory; "
        f"kernel {context.get('kernel', '?')}, glibc {context.get('glibc', '?')}, "
        f"g++ {context.get('compiler', '?')}",
        f"- Run: {context.get('date', '?')} on {context.get('host_name', '?')}, load average "
        f"{load_avg or '?'} at the start",
        f"- Sizes: {context.get('browse_sizes', '?')}; SQLite {context.get('sqlite_version', '?')}",
    ]
    if elapsed is not None:
        lines.append(f"- Whole run (build excluded): {elapsed:.0f} s")
    lines.append(
        f"- Figures are medians over the repetitions of {clock} time; ratios in the figure "
        "tables are peer / ours, so above 1× means ours is faster (or smaller).")
    lines.append(
        "- *Fresh process*: each repetition runs in a new child forked from a process that holds "
        "only the generated items (free heap given back with malloc_trim), for ours and every "
        "peer alike; the child times one region and reports through a pipe. CPU time is the "
        "child's CPU time of that region, user + system, so page faults of fresh memory count. "
        "*In process*: repeated in a loop on warm fixtures. Repetitions are interleaved in "
        "random order.")
    return lines


QUERY_IMPLEMENTATIONS = [("ours", "`browse query`"), ("sqlite3_shell", "`sqlite3` shell")]


def query_section(queries):
    if not queries:
        return []
    lines = ["## `browse query` against the `sqlite3` shell (generated items, [ByName, ByNumber], "
             "first page of 100)", "",
             "The `browse` binary of the same build, from reading the JSON Lines file to "
             "writing the answer; the `sqlite3` shell on the same file in runs alternating with "
             "ours (tab-separated import into an in-memory table, `json_extract`, "
             "`ORDER BY ... COLLATE NOCASE, ..., rowid LIMIT 100`). Peak RSS from wait4 "
             "(ru_maxrss); spread is the slowest over the fastest wall time of the runs.", "",
             "| N | program | wall (s) | CPU, user + system (s) | peak RSS (MiB) | "
             "peak RSS per item (bytes) | spread of wall | runs |",
             "|---:|---|---:|---:|---:|---:|---:|---:|"]
    notes = []
    for size in sorted(queries):
        for implementation, title in QUERY_IMPLEMENTATIONS:
            value = queries[size].get(implementation)
            if value is None:
                continue
            rss = value.get("peak_rss_bytes")
            spread = value.get("wall_spread")
            lines.append(
                f"| {size:,} | {title} | {value['wall_ns'] / 1e9:.2f} | "
                f"{value['cpu_ns'] / 1e9:.2f} | {fmt(rss / 2**20) if rss else '–'} | "
                f"{fmt(rss / size) if rss else '–'} | "
                f"{f'{spread:.2f}×' if spread else '–'} | {value.get('runs', '?')} |")
            if "order differs" in value.get("label", ""):
                notes.append(f"N = {size:,}, the shell's page: {value['label'].split('; ', 1)[1]}")
    lines.append("")
    lines += [f"- {note}" for note in notes]
    if notes:
        lines.append("")
    return lines


def query_checks(queries):
    """Check rows of `browse query` against the sqlite3 shell at the largest N measured."""
    rows = []
    sizes = [size for size in queries if {"ours", "sqlite3_shell"} <= queries[size].keys()]
    if not sizes:
        return rows
    size = max(sizes)
    ours = queries[size]["ours"]
    shell = queries[size]["sqlite3_shell"]
    for label, key, what in (("13a", "wall_ns", "wall"), ("13b", "cpu_ns", "CPU")):
        ratio = shell[key] / ours[key]
        rows.append((f"{label}. `browse query`, {what}: sqlite3 shell / ours, N = {size:,}", "≥ 4×",
                     f"{shell[key] / 1e9:.2f} / {ours[key] / 1e9:.2f} s = {ratio:.2f}×",
                     "met" if ratio >= 4 else "missed"))
    if ours.get("peak_rss_bytes") and shell.get("peak_rss_bytes"):
        ratio = ours["peak_rss_bytes"] / shell["peak_rss_bytes"]
        rows.append((f"13c. `browse query`, peak RSS: ours / sqlite3 shell, N = {size:,}", "≤ 1×",
                     f"{ours['peak_rss_bytes'] / 2**20:.1f} / "
                     f"{shell['peak_rss_bytes'] / 2**20:.1f} MiB = {ratio:.2f}×",
                     "met" if ratio <= 1 else "missed"))
    if ours.get("wall_spread"):
        spread = ours["wall_spread"]
        rows.append((f"13d. `browse query`, spread of wall over {ours.get('runs', '?')} runs: "
                     "max / min", "≤ 1.3×", f"{spread:.2f}×", "met" if spread <= 1.3 else "missed"))
    return rows


def table(context, figures, queries, errors, elapsed, clock):
    lines = ["# Browse benchmark results", ""]
    lines += machine_lines(context, elapsed, clock)
    lines.append("")

    rows, notes, at = checks(figures)
    rows += query_checks(queries)
    if rows:
        where = f"N = {at:,}, " if at else ""
        lines.append(f"## Checks ({where}[ByName, ByNumber] ascending)")
        lines.append("")
        lines.append("| Check | Target | Measured | Result |")
        lines.append("|---|---|---|---|")
        for row in rows:
            lines.append("| " + " | ".join(row) + " |")
        lines.append("")
        for note in notes:
            lines.append(f"- Also: {note}")
        if notes:
            lines.append("")
    lines += query_section(queries)

    header = "| Figure | N | ours |"
    rule = "|---|---:|---:|"
    for _, title in PEERS:
        header += f" {title} | ratio |"
        rule += "---:|---:|"
    for group, title, unit in GROUPS:
        keys = sorted((k for k in figures if k[0] == group),
                      key=lambda k: (variant_sort_key(k[1]), k[2] or 0))
        if not keys:
            continue
        lines.append(f"## {title} ({unit})")
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
                             + "; ".join(copies) + "; the rest is the sorter and the page. "
                             "`sorter_alone` is the key sorter by itself (bytes per key).")
                lines.append("")
        if group == "sorter":
            lines.append("The peer is stable_sort of the fresh plain copies (the first sort's "
                         "figure).")
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
    nn = "name_number/asc"
    panels = [
        ("Time per item (fresh process)", "ns per item", False, [
            ("first_sort", nn, "ours", "first sort, ours"),
            ("first_sort", nn, "stable_sort", "first sort, stable_sort"),
            ("sorter", nn + "/all", "ours", "sorter alone, ours"),
            ("first_page", nn, "ours", "first getResults, ours"),
            ("first_page", nn, "sqlite", "first query, SQLite"),
            ("browse", nn, "ours", "whole browse, ours"),
            ("browse", nn, "stable_sort", "whole browse, stable_sort"),
            ("browse", nn, "sqlite", "whole browse, SQLite")]),
        ("Page at offset N/2 (in process)", "µs per page of 100", True, [
            ("page", nn + "/middle", "ours", "ours"),
            ("page", nn + "/middle", "stable_sort", "stable_sort (sorted vector)"),
            ("page", nn + "/middle", "sqlite", "SQLite"),
            ("page", nn + "/middle", "sqlite_indexed", "SQLite, indexed")]),
        ("Peak memory of a whole browse above the input", "bytes per item", False, [
            ("memory", nn, "ours", "heap, ours"),
            ("memory", nn, "stable_sort", "heap, stable_sort"),
            ("memory", nn, "sqlite", "heap, SQLite"),
            ("memory_rss", nn, "ours", "RSS, ours"),
            ("memory_rss", nn, "stable_sort", "RSS, stable_sort"),
            ("memory", nn + "/sorter_alone", "ours", "heap, sorter alone")]),
    ]
    with tempfile.TemporaryDirectory() as folder:
        commands = []
        for number, (title, ylabel, logy, series) in enumerate(panels):
            path = os.path.join(folder, f"panel{number}.dat")
            with open(path, "w", encoding="utf-8") as stream:
                for group, variant, implementation, _ in series:
                    for size in sizes:
                        value = figures.get((group, variant, size), {}).get(implementation)
                        if value is not None:
                            stream.write(f"{size} {value}\n")
                    stream.write("\n\n")
            # Ours in solid lines, the peers dashed.
            curves = ", ".join(
                f"'{path}' index {i} with linespoints lw 2 pt 7 "
                f"dt {1 if implementation == 'ours' else 2} title '{label}'"
                for i, (_, _, implementation, label) in enumerate(series))
            scale = "set logscale y; set yrange [*:*]" if logy else "unset logscale y; " \
                "set yrange [0:*]"
            commands.append(f"set title '{title}'\nset ylabel '{ylabel}'\n{scale}\n"
                            f"plot {curves}")
        panels_script = "\n".join(commands)
        script = f"""
set terminal pngcairo size 2000,680 noenhanced font ',10'
set output '{output}'
set multiplot layout 1,3 title '[ByName, ByNumber] ascending; median {clock} time'
set logscale x
set xlabel 'N (items)'
set format x '%.0s%c'
set format y '%g'
set key below
set xrange [{sizes[0] / 1.5}:{sizes[-1] * 1.5}]
set grid
{panels_script}
unset multiplot
"""
        completed = subprocess.run([gnuplot], input=script, text=True, capture_output=True)
        if completed.returncode != 0:
            print(completed.stderr, file=sys.stderr)
            return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", nargs="+", help="JSON written by --benchmark_out")
    parser.add_argument("--table", help="markdown table to write (default: print it)")
    parser.add_argument("--plot", help="PNG to write with gnuplot")
    parser.add_argument("--merged", help="JSON file to write with every input's benchmarks")
    parser.add_argument("--elapsed", type=float, help="seconds that the run took")
    parser.add_argument("--time", choices=["cpu", "real"], default="cpu",
                        help="which clock the figures use (default: cpu)")
    args = parser.parse_args()

    context, medians, errors, merged = load(args.results, args.time)
    figures, queries = collect(medians)
    text = table(context, figures, queries, errors, args.elapsed, args.time)
    if args.merged:
        with open(args.merged, "w", encoding="utf-8") as stream:
            json.dump(merged, stream, indent=1)
            stream.write("\n")
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
