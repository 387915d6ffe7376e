#!/usr/bin/env python3
"""Load benchmark of `browse serve` against nginx serving a static file.

Generates a data set of ITEMS items, starts `browse serve` on it and nginx
(its own configuration in a temporary folder) on loopback ports, and
measures, in one run:
  - the first answer of the fresh data set (a new server each time);
  - cached pages: wrk with 64 connections for DURATION seconds, random pages
    of 100 items over three sort field lists and both directions
    (serve_pages.lua), rounds alternating with nginx under the same load
    serving a file of the server's average answer size (serve_static.lua);
    requests per second, p50 and p99 latency, errors, the server's peak RSS;
  - the RSS of one session against 100 sessions in parallel on the data set.
The server and nginx run on CPU 0, wrk on CPU 1 (taskset), each peer with
one core. Everything talks to 127.0.0.1 only.

Usage: bench/serve_bench.py [--smoke] [--items N] [--duration S] [--rounds R]
                            [--out DIR]
Needs: the Release build of browse (built here), wrk, nginx-light.
"""
import argparse
import http.client
import json
import os
import random
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
BROWSE = os.path.join(BUILD, "browse")
DATA_SET = "/bench/items"
FIELD_LISTS = [["ByName", "ByNumber"], ["ByNumber"], ["ByFlag", "ByName"]]
SERVER_CPU, CLIENT_CPU = "0", "1"
# One event-loop thread, as nginx has one worker: on a CPU that other
# processes also want, two threads would get twice nginx's share of it.
SERVER_THREADS = "1"
CONNECTIONS = 64


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    """User and system CPU time of a process, all its threads."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def rss_kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} for {pid}")


def page_body(offset, fields, direction, session="bench", limit=100):
    return json.dumps({
        "paths": [{"path": DATA_SET}],
        "queries": [{"queryId": "page", "parameters": {
            "sort": {"fields": fields, "direction": direction},
            "paging": {"offset": offset, "limit": limit}}}],
        "context": {"sessionId": session, "sequence": 1}})


class Server:
    """browse serve on CPU 0, on a loopback port."""

    def __init__(self, data):
        self.process = subprocess.Popen(
            ["taskset", "-c", SERVER_CPU, BROWSE, "serve", "--data", data,
             "--listen", "127.0.0.1:0", "--threads", SERVER_THREADS, "--max-connections", "256"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        ready = self.process.stdout.readline()
        if not ready.startswith("listening on"):
            raise RuntimeError(f"browse serve did not start: {ready!r}")
        self.port = int(ready.rsplit(":", 1)[1])

    def post(self, body, connection=None):
        own = connection is None
        connection = connection or http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        connection.request("POST", "/v1/browse", body=body,
                           headers={"Content-Type": "application/json"})
        answer = connection.getresponse()
        payload = answer.read()
        if own:
            connection.close()
        if answer.status != 200:
            raise RuntimeError(f"status {answer.status}: {payload[:200]!r}")
        return payload

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=60)
        if status != 0:
            raise RuntimeError(f"browse serve exited with {status}")


class Nginx:
    """nginx with one worker on CPU 0, serving `answer.json` from a temporary folder."""

    def __init__(self, folder, answer_bytes):
        self.port = free_port()
        www = os.path.join(folder, "www")
        os.makedirs(www)
        with open(os.path.join(www, "answer.json"), "wb") as answer:
            answer.write(b"[" + b" " * (answer_bytes - 3) + b"]\n")
        config = os.path.join(folder, "nginx.conf")
        temp = os.path.join(folder, "temp")
        with open(config, "w") as out:
            out.write(f"""worker_processes 1;
daemon off;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  client_body_temp_path {temp};
  proxy_temp_path {temp};
  fastcgi_temp_path {temp};
  uwsgi_temp_path {temp};
  scgi_temp_path {temp};
  default_type application/json;
  server {{
    listen 127.0.0.1:{self.port};
    root {www};
    # A POST of a static file is answered like a GET.
    location / {{ error_page 405 =200 $uri; }}
  }}
}}
""")
        self.process = subprocess.Popen(
            ["taskset", "-c", SERVER_CPU, "nginx", "-c", config, "-p", folder],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("nginx did not start")

    def worker(self):
        """The pid of the worker process, which answers the requests."""
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as stat:
                        if int(stat.read().rsplit(")", 1)[1].split()[1]) == self.process.pid:
                            return int(entry)
                except OSError:
                    continue
        raise RuntimeError("nginx has no worker")

    def stop(self):
        self.process.send_signal(signal.SIGQUIT)
        self.process.wait(timeout=30)


def wrk(port, script, duration, *script_args, server_pid=None):
    """wrk's output and figures; with `server_pid`, also the CPU time that the
    server used per request and the shares of their CPU that the server and
    wrk used (a peer that does not use its whole CPU is held back by
    something else: the load generator, or other processes on the CPU)."""
    command = ["taskset", "-c", CLIENT_CPU, "wrk", "-t1", f"-c{CONNECTIONS}",
               f"-d{duration}s", "--timeout", "5s", "--latency", "-s", script,
               f"http://127.0.0.1:{port}", "--", *script_args]
    server_before = cpu_seconds(server_pid) if server_pid else 0
    wrk_before = children_cpu_seconds()
    start = time.perf_counter()
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    wall = time.perf_counter() - start
    figures = parse_wrk(output)
    if server_pid:
        server_cpu = cpu_seconds(server_pid) - server_before
        figures.update({"cpu_us_per_request": server_cpu * 1e6 / max(figures["requests"], 1),
                        "server_cpu_share": server_cpu / wall,
                        "wrk_cpu_share": (children_cpu_seconds() - wrk_before) / wall})
    return output, figures


def parse_wrk(output):
    def latency(label):
        match = re.search(rf"^\s+{label}\s+([\d.]+)(us|ms|s)\s*$", output, re.M)
        value, unit = float(match.group(1)), match.group(2)
        return value * {"us": 1e-3, "ms": 1.0, "s": 1e3}[unit]

    requests = int(re.search(r"(\d+) requests in", output).group(1))
    errors = 0
    socket_errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)",
                              output)
    if socket_errors:
        errors += sum(int(group) for group in socket_errors.groups())
    non_2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    if non_2xx:
        errors += int(non_2xx.group(1))
    return {"rps": float(re.search(r"Requests/sec:\s+([\d.]+)", output).group(1)),
            "p50_ms": latency("50%"), "p99_ms": latency("99%"),
            "requests": requests, "errors": errors}


def first_answers(data, runs):
    """Seconds from sending the first request of a fresh data set to its whole
    answer, and, alternating with it, the wall time of `browse query` for the
    same file and request on the same CPU (the library's own floor)."""
    took, query = [], []
    request = os.path.join(data, "request.json")
    with open(request, "w") as out:
        out.write(page_body(0, FIELD_LISTS[0], 0))
    items = os.path.join(data, DATA_SET.lstrip("/") + ".jsonl")
    for _ in range(runs):
        server = Server(data)
        start = time.perf_counter()
        server.post(page_body(0, FIELD_LISTS[0], 0))
        took.append(time.perf_counter() - start)
        server.stop()
        start = time.perf_counter()
        subprocess.run(["taskset", "-c", SERVER_CPU, BROWSE, "query", "--items", items,
                        "--request", request], check=True, stdout=subprocess.DEVNULL)
        query.append(time.perf_counter() - start)
    return took, query


def session_rss(data, sessions, requests_each, items):
    """RSS (KiB) of a fresh server after `sessions` clients browsed in parallel."""
    server = Server(data)
    server.post(page_body(0, FIELD_LISTS[0], 0))

    def browse(number):
        rng = random.Random(number)
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
        for _ in range(requests_each):
            server.post(page_body(rng.randrange(items - 100), FIELD_LISTS[0], rng.randrange(2),
                                  session=f"session-{number}"), connection)
        connection.close()

    threads = [threading.Thread(target=browse, args=(n,)) for n in range(sessions)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    rss = rss_kib(server.process.pid, "VmRSS")
    server.stop()
    return rss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--smoke", action="store_true", help="small and short: checks the script")
    parser.add_argument("--items", type=int)
    parser.add_argument("--duration", type=int)
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--out")
    args = parser.parse_args()
    items = args.items or (20000 if args.smoke else 1000000)
    duration = args.duration or (2 if args.smoke else 10)
    rounds = args.rounds or (1 if args.smoke else 3)
    out = args.out or (os.path.join(BUILD, "serve-smoke") if args.smoke
                       else os.path.join(ROOT, "bench", "results"))
    os.makedirs(out, exist_ok=True)

    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "browse"], check=True,
                   stdout=subprocess.DEVNULL)
    scratch = tempfile.mkdtemp(prefix="serve_bench_")
    # nginx's worker runs as another user and reads the answer file there.
    os.chmod(scratch, 0o755)
    console = []
    try:
        data = os.path.join(scratch, "data")
        os.makedirs(os.path.join(data, "bench"))
        with open(os.path.join(data, "bench", "items.jsonl"), "w") as items_file:
            subprocess.run([BROWSE, "generate", "--count", str(items), "--seed", "7"],
                           check=True, stdout=items_file)

        first, query = first_answers(data, 1 if args.smoke else 5)

        server = Server(data)
        for fields in FIELD_LISTS:
            server.post(page_body(0, fields, 0))
        rng = random.Random(3)
        sizes = [len(server.post(page_body(rng.randrange(items - 100), rng.choice(FIELD_LISTS),
                                           rng.randrange(2)))) for _ in range(200)]
        answer_bytes = int(statistics.mean(sizes))
        nginx = Nginx(os.path.join(scratch, "nginx"), answer_bytes)
        pages = os.path.join(ROOT, "bench", "serve_pages.lua")
        static = os.path.join(ROOT, "bench", "serve_static.lua")
        wrk(server.port, pages, 2, str(items), DATA_SET, "1")  # warms every sort
        wrk(nginx.port, static, 2)
        nginx_worker = nginx.worker()
        ours, peer = [], []
        for round_number in range(rounds):
            text, figures = wrk(server.port, pages, duration, str(items), DATA_SET,
                                str(round_number + 11), server_pid=server.process.pid)
            console.append(f"== browse serve, round {round_number + 1}\n{text}")
            ours.append(figures)
            text, figures = wrk(nginx.port, static, duration, server_pid=nginx_worker)
            console.append(f"== nginx, round {round_number + 1}\n{text}")
            peer.append(figures)
        peak_rss = rss_kib(server.process.pid, "VmHWM")
        nginx.stop()
        server.stop()

        requests_each = 20 if args.smoke else 50
        one = session_rss(data, 1, requests_each * 10, items)
        hundred = session_rss(data, 100, requests_each, items)
    finally:
        shutil.rmtree(scratch)

    def median(runs, key):
        return statistics.median(run[key] for run in runs)

    results = {
        "items": items, "duration_s": duration, "rounds": rounds, "connections": CONNECTIONS,
        "answer_bytes": answer_bytes, "first_answer_s": first, "browse_query_s": query,
        "ours": ours, "nginx": peer, "peak_rss_kib": peak_rss,
        "one_session_rss_kib": one, "hundred_sessions_rss_kib": hundred,
    }
    with open(os.path.join(out, "serve.json"), "w") as out_file:
        json.dump(results, out_file, indent=2)
    with open(os.path.join(out, "serve_console.txt"), "w") as out_file:
        out_file.write("\n".join(console))

    rps, peer_rps = median(ours, "rps"), median(peer, "rps")
    p99, peer_p99 = median(ours, "p99_ms"), median(peer, "p99_ms")
    errors = sum(run["errors"] for run in ours) + sum(run["errors"] for run in peer)
    first_median = statistics.median(first)
    checks = [
        ("cached pages: requests/s, ours / nginx", "≥ 0.5×",
         f"{rps:.0f} / {peer_rps:.0f} = {rps / peer_rps:.2f}×", rps / peer_rps >= 0.5),
        ("cached pages: p99 latency, ours / nginx", "≤ 2×",
         f"{p99:.2f} / {peer_p99:.2f} ms = {p99 / peer_p99:.2f}×", p99 / peer_p99 <= 2),
        ("first answer of a fresh data set", "≤ 0.6 s", f"{first_median:.3f} s", first_median <= 0.6),
        ("RSS: 100 sessions / one session", "≤ 1.3×",
         f"{hundred / 1024:.0f} / {one / 1024:.0f} MiB = {hundred / one:.2f}×", hundred / one <= 1.3),
        ("errors (non-2xx, socket errors, timeouts)", "0", str(errors), errors == 0),
    ]
    lines = [f"# browse serve under load ({items} items, {CONNECTIONS} connections, "
             f"{rounds} rounds of {duration} s, medians)", "",
             "| Check | Target | Measured | Result |", "|---|---|---|---|"]
    lines += [f"| {name} | {target} | {measured} | {'met' if met else 'missed'} |"
              for name, target, measured, met in checks]
    lines += ["", f"- p50 latency: ours {median(ours, 'p50_ms'):.2f} ms, "
              f"nginx {median(peer, 'p50_ms'):.2f} ms",
              f"- peak RSS of the server over the load rounds: {peak_rss / 1024:.0f} MiB",
              f"- average answer: {answer_bytes} bytes (nginx serves a file of that size)",
              f"- first answers: {', '.join(f'{t:.3f}' for t in first)} s; `browse query` on "
              f"the same file and request, alternating with them: "
              f"{', '.join(f'{t:.3f}' for t in query)} s (median {statistics.median(query):.3f})",
              f"- CPU per request: ours {median(ours, 'cpu_us_per_request'):.1f} µs, nginx "
              f"{median(peer, 'cpu_us_per_request'):.1f} µs (nginx / ours = "
              f"{median(peer, 'cpu_us_per_request') / median(ours, 'cpu_us_per_request'):.2f}×); "
              f"share of CPU 0 used: ours {median(ours, 'server_cpu_share'):.2f}, nginx "
              f"{median(peer, 'server_cpu_share'):.2f}; wrk's share of CPU 1: "
              f"{median(ours, 'wrk_cpu_share'):.2f} against ours, "
              f"{median(peer, 'wrk_cpu_share'):.2f} against nginx",
              f"- CPU 0: the server ({SERVER_THREADS} thread) or nginx (1 worker); CPU 1: wrk (1 thread)"]
    table = "\n".join(lines) + "\n"
    with open(os.path.join(out, "serve.md"), "w") as out_file:
        out_file.write(table)
    print(table)
    if errors:
        sys.exit("the load run had errors")


if __name__ == "__main__":
    main()
