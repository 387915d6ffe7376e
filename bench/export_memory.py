#!/usr/bin/env python3
"""Peak memory of `browse serve` while it streams GET /v1/export, at 100 000
and 1 000 000 generated items, CSV and JSON Lines.

For each size a fresh server on a loopback port first answers one browse
request (which collects and sorts the data set), then its peak RSS is reset
(/proc/PID/clear_refs) and the whole data set is exported to a client that
reads and drops the body. The export's cost is the peak during the export
less the RSS before it; a streamed export keeps it flat however many rows.

Usage: bench/export_memory.py [--browse build-rel/browse] [--rounds 3]
Writes a Markdown table of medians to stdout.
"""
import argparse
import http.client
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testsupport"))
from serve_process import ServeProcess  # noqa: E402

SIZES = [100_000, 1_000_000]
FORMATS = ["csv", "jsonl"]


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} for {pid}")


class Server(ServeProcess):
    def __init__(self, binary, data):
        super().__init__(binary, data, "--cache-memory", "4GiB", timeout=60)

    def connection(self):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=600)


def measure(binary, data, data_set, export_format):
    server = Server(binary, data)
    try:
        pid = server.process.pid
        request = {"paths": [{"path": data_set}],
                   "queries": [{"parameters": {"sort": {"fields": ["ByName", "ByNumber"]},
                                               "paging": {"offset": 0, "limit": 10}}}]}
        connection = server.connection()
        connection.request("POST", "/v1/browse", body=json.dumps(request),
                           headers={"Content-Type": "application/json"})
        answer = connection.getresponse()
        answer.read()
        assert answer.status == 200, answer.status
        before = status_kib(pid, "VmRSS")
        with open(f"/proc/{pid}/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the current RSS
        start = time.monotonic()
        connection.request("GET", f"/v1/export?dataset={data_set}&fields=ByName,ByNumber"
                                  f"&format={export_format}")
        answer = connection.getresponse()
        assert answer.status == 200, answer.status
        size = 0
        while piece := answer.read(1 << 16):
            size += len(piece)
        seconds = time.monotonic() - start
        peak = status_kib(pid, "VmHWM")
        connection.close()
        return before, peak, size, seconds
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--browse", default="build-rel/browse")
    parser.add_argument("--rounds", type=int, default=3)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="export_memory_") as data:
        for count in SIZES:
            with open(os.path.join(data, f"items{count}.jsonl"), "w") as out:
                subprocess.run([arguments.browse, "generate", "--count", str(count), "--seed", "7"],
                               stdout=out, check=True)
        results = {}
        # Sizes and formats alternate within each round.
        for _ in range(arguments.rounds):
            for count in SIZES:
                for export_format in FORMATS:
                    results.setdefault((count, export_format), []).append(
                        measure(arguments.browse, data, f"/items{count}", export_format))
    print("| items | format | export MiB | RSS before export MiB | peak during export MiB "
          "| growth MiB | seconds |")
    print("|---:|---|---:|---:|---:|---:|---:|")
    for (count, export_format), runs in results.items():
        growth = statistics.median((run[1] - run[0]) / 1024 for run in runs)
        seconds = statistics.median(run[3] for run in runs)
        before = statistics.median(run[0] / 1024 for run in runs)
        peak = statistics.median(run[1] / 1024 for run in runs)
        print(f"| {count:,} | {export_format} | {runs[0][2] / 2**20:.1f} | {before:.1f} "
              f"| {peak:.1f} | {growth:.1f} | {seconds:.2f} |")


if __name__ == "__main__":
    main()
