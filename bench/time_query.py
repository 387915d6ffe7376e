#!/usr/bin/env python3
"""Times `browse query` on a file of generated items and checks its answer.

Usage: time_query.py --browse BIN --items ITEMS.jsonl --count N [--runs 9]
                     [--sqlite3 SHELL] --out OUT.json

The request sorts [ByName, ByNumber] ascending and asks for the first page of
100. Each run is the whole command: reading the items, the browse, writing
the answer. Wall time is taken around the process, CPU time (user + system)
and peak RSS (ru_maxrss) from wait4. The answer of every run is compared with
the first page computed here from the items file (ASCII-folded name bytes,
then number, then file order); a mismatch or a failed run exits with 1.

With --sqlite3, the sqlite3 shell does the same job in runs that alternate
with ours: it imports the file as one tab-separated column into an in-memory
table and answers SELECT ... ORDER BY json_extract(doc, '$.name') COLLATE
NOCASE, json_extract(doc, '$.number'), rowid LIMIT 100. Its page is compared
with the same expected page; where it differs, the first difference is
printed and recorded in the entry's label, not counted as a failure (its
NOCASE and text comparison are its own).

OUT.json has the layout of Google Benchmark's JSON (one entry per run, named
cli_query/ours/name_number/asc/N:<count> and
cli_query/sqlite3_shell/name_number/asc/N:<count>), so report.py reads it
with the benchmark's own output.
"""

import argparse
import heapq
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

PAGE = 100
FOLD = bytes.maketrans(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ", b"abcdefghijklmnopqrstuvwxyz")

REQUEST = {
    "paths": [{"path": "/bench"}],
    "queries": [{
        "queryId": "page",
        "parameters": {
            "sort": {"fields": ["ByName", "ByNumber"], "direction": 0},
            "paging": {"offset": 0, "limit": PAGE},
        },
    }],
}


def expected_page(items_path):
    """(name, number) of the first page, read line by line to keep this process small."""
    def keyed():
        with open(items_path, encoding="utf-8") as stream:
            for index, line in enumerate(stream):
                item = json.loads(line)
                name = item.get("name", "")
                yield (name.encode("utf-8").translate(FOLD), item.get("number", 0), index,
                       name)
    return [(name, number) for _, number, _, name in heapq.nsmallest(PAGE, keyed())]


def answered_page(output):
    responses = json.loads(output)
    items = responses[0]["result"].get("items", []) if responses else []
    return [(item.get("name", ""), item.get("number", 0)) for item in items]


def shell_script(items_path):
    """The sqlite3 shell's commands for the same job."""
    quoted = items_path.replace("'", "''")
    return ("CREATE TABLE items(doc TEXT);\n"
            ".mode tabs\n"
            f".import '{quoted}' items\n"
            ".mode list\n"
            "SELECT json_object('name', json_extract(doc, '$.name'), "
            "'number', json_extract(doc, '$.number')) FROM items "
            "ORDER BY json_extract(doc, '$.name') COLLATE NOCASE, "
            f"json_extract(doc, '$.number'), rowid LIMIT {PAGE};\n")


def shell_page(output):
    rows = [json.loads(line) for line in output.decode("utf-8").splitlines() if line.strip()]
    return [(row.get("name") or "", row.get("number") or 0) for row in rows]


def first_difference(got, expected):
    for index, (a, b) in enumerate(zip(got, expected)):
        if a != b:
            return f"position {index}: {a!r} where ours has {b!r}"
    if len(got) != len(expected):
        return f"{len(got)} rows where ours has {len(expected)}"
    return ""


def run_once(command, stdin=None):
    """(wall seconds, CPU seconds, peak RSS bytes, stdout, stderr, status)."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors,
                                   stdin=stdin)
        output = process.stdout.read()
        process.stdout.close()
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        errors.seek(0)
        message = errors.read().decode("utf-8", "replace")
    return (wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024, output, message,
            process.returncode)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--browse", required=True, help="the browse binary")
    parser.add_argument("--items", required=True, help="JSON Lines of items")
    parser.add_argument("--count", type=int, required=True, help="items in the file")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--sqlite3", help="the sqlite3 shell, run as a peer")
    parser.add_argument("--out", required=True, help="JSON to write")
    args = parser.parse_args()

    expected = expected_page(args.items)
    # ru_maxrss of a child cannot fall below the peak of the process that
    # started it, so a figure at this floor is an upper bound only.
    floor = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as request:
        json.dump(REQUEST, request)
    entries = []
    failed = False
    script = None
    if args.sqlite3:
        script = tempfile.NamedTemporaryFile("w", suffix=".sql", delete=False)
        script.write(shell_script(args.items))
        script.close()
    try:
        ours = [args.browse, "query", "--items", args.items, "--request", request.name]
        peers = [("ours", ours)]
        if script:
            peers.append(("sqlite3_shell", [args.sqlite3, ":memory:"]))
        for run in range(args.runs):
            for implementation, command in peers:
                if implementation == "ours":
                    wall, cpu, rss, output, message, code = run_once(command)
                    label = "browse query, JSON Lines in, JSON out"
                else:
                    with open(script.name, "rb") as commands:
                        wall, cpu, rss, output, message, code = run_once(command, commands)
                    label = "sqlite3 shell: tab-separated import, json_extract, ORDER BY, LIMIT"
                name = f"cli_query/{implementation}/name_number/asc/N:{args.count}"
                entry = {"name": name, "run_name": name, "run_type": "iteration",
                         "repetitions": args.runs, "repetition_index": run, "iterations": 1,
                         "real_time": wall * 1e3, "cpu_time": cpu * 1e3, "time_unit": "ms",
                         "items": args.count, "peak_rss_bytes": rss, "label": label}
                problem = ""
                if code != 0:
                    problem = f"{implementation} exited with {code}: {message.strip()}"
                elif implementation == "ours" and answered_page(output) != expected:
                    problem = "browse query answered another first page than the items file gives"
                elif implementation != "ours":
                    difference = first_difference(shell_page(output), expected)
                    if difference:
                        entry["label"] += f"; its order differs at {difference}"
                        if run == 0:
                            print(f"time_query.py: the sqlite3 shell's page differs at "
                                  f"{difference}", file=sys.stderr)
                if not problem and rss <= floor:
                    print(f"time_query.py: peak RSS {rss} is not above this script's own peak "
                          f"{floor}; it bounds the figure from above only", file=sys.stderr)
                if problem:
                    entry.update({"error_occurred": True, "error_message": problem})
                    print(f"time_query.py: {problem}", file=sys.stderr)
                    failed = True
                entries.append(entry)
                print(f"{name} run {run + 1}/{args.runs}: {wall:.2f} s wall, {cpu:.2f} s CPU, "
                      f"{rss / 2**20:.1f} MiB peak RSS", flush=True)
    finally:
        os.unlink(request.name)
        if script:
            os.unlink(script.name)
    with open(args.out, "w", encoding="utf-8") as stream:
        json.dump({"context": {"browse_sizes": ""}, "benchmarks": entries}, stream, indent=1)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
