#!/usr/bin/env python3
"""Checks that sorter_seeds.py and sorter_fuzzer decode inputs alike.

Usage: sorter_seeds_test.py SORTER_FUZZER

Runs SORTER_FUZZER on each seed that sorter_seeds.py writes, with
SORTER_FUZZ_TRACE=1, and compares the operations that it traces with those
that the script meant the seed to hold; then checks that fuzz/corpus/sorter/
holds the seeds as the script writes them. Exits 1 on any difference.
"""
import difflib
import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no cache of the script in the source tree
import sorter_seeds  # noqa: E402

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "sorter")


# The operations that the input chose, as the fuzzer traced them; the lines
# indented beneath them are what those ran and read.
def traced_operations(fuzzer, path):
    run = subprocess.run([fuzzer, path], env=dict(os.environ, SORTER_FUZZ_TRACE="1"),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    output = run.stdout.decode(errors="replace")
    if run.returncode != 0:
        raise RuntimeError(f"exit status {run.returncode}:\n{output[-2000:]}")
    return [line for line in output.splitlines() if line.startswith("sorter ")]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    fuzzer = sys.argv[1]
    failures = []
    seeds = sorter_seeds.seeds()
    with tempfile.TemporaryDirectory() as folder:
        for name, seed in seeds.items():
            path = os.path.join(folder, name)
            with open(path, "wb") as f:
                f.write(seed.data())
            try:
                traced = traced_operations(fuzzer, path)
            except (RuntimeError, subprocess.TimeoutExpired) as e:
                failures.append(f"{name}: the fuzzer failed on it: {e}")
                continue
            meant = seed.operations()
            if traced != meant:
                diff = difflib.unified_diff(meant, traced, "sorter_seeds.py meant",
                                            "sorter_fuzzer ran", lineterm="", n=2)
                failures.append(f"{name}: decoded otherwise than meant\n" +
                                "\n".join(list(diff)[:40]))
    for name, seed in seeds.items():
        path = os.path.join(CORPUS, name)
        if not os.path.exists(path) or open(path, "rb").read() != seed.data():
            failures.append(f"{path} is not what sorter_seeds.py writes; run it again")
    for failure in failures:
        print(failure, file=sys.stderr)
    print(f"{len(seeds)} seeds, {len(failures)} failures")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
