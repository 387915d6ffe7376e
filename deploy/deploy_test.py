#!/usr/bin/env python3
"""deploy/nginx.conf in front of two `browse serve` processes, all on
ephemeral loopback ports: every data set is collected on one process only,
the page and the exports go through, and when a process stops its data sets
move to the other without a failed request.

The configuration is deploy/nginx.conf itself, filled by deploy/render.sh as
deploy/README.md tells. Every process started here is stopped at the end,
also on failure, and the whole run is bounded by TIME_LIMIT.

A client retry, as this test counts it: the client sends the same request
once more, at once, after its first attempt failed (no connection, no answer,
or a status other than 200). nginx's own retry on the next process is
invisible to the client and is not one. Every request must be answered by its
first attempt or its single retry; and since nginx itself sends a request that
the stopping process could not take to the other one, none may need the retry.

Usage: deploy_test.py BROWSE_BINARY NGINX_BINARY
"""
import concurrent.futures
import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testsupport"))
from serve_process import ServeProcess, free_port  # noqa: E402

BINARY, NGINX = sys.argv[1:3]
DEPLOY = os.path.dirname(os.path.abspath(__file__))
DATA_SETS = [f"/team{i % 4}/set{i:02}" for i in range(20)]
FIELD_LISTS = [["ByName"], ["ByNumber", "ByName"]]
REQUESTS = 200
PAGE = 10
TIME_LIMIT = 240  # seconds for the whole run
WAIT = 20  # seconds for one process to start, answer or stop


def items_of(index):
    return 100 + 37 * index


def request(port, method, target, body=None, headers=None):
    """(status, headers, body) of one request on a connection of its own."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT)
    try:
        connection.request(method, target, body=body, headers=headers or {})
        answer = connection.getresponse()
        return answer.status, {k.lower(): v for k, v in answer.getheaders()}, answer.read()
    finally:
        connection.close()


def browse_target(data_set):
    # As the page writes it: slashes kept, the rest percent-encoded.
    return "/v1/browse?dataset=" + urllib.parse.quote(data_set, safe="/")


def browse_body(data_set, fields, direction, offset, limit=PAGE):
    return json.dumps({
        "paths": [{"path": data_set}],
        "queries": [{"queryId": "page",
                     "parameters": {"sort": {"fields": fields, "direction": direction},
                                    "paging": {"offset": offset, "limit": limit}}},
                    {"queryId": "total", "aggregate": {"type": 4}}]})


class Server(ServeProcess):
    """A process whose log goes to `log_path`."""

    def __init__(self, data, log_path):
        self.log = open(log_path, "w")
        try:
            super().__init__(BINARY, data, "--threads", "4", "--cache-memory", "64MiB",
                             stderr=self.log, timeout=WAIT)
        except BaseException:
            self.log.close()
            raise

    def collections(self):
        """{data set: collections} from the process's /metrics."""
        status, _, text = request(self.port, "GET", "/metrics")
        assert status == 200, status
        found = {}
        for line in text.decode().splitlines():
            match = re.fullmatch(r'browse_dataset_collections_total\{dataset="(.*)"\} (\d+)', line)
            if match:
                found[match.group(1)] = int(match.group(2))
        return found

    def stop(self):
        try:
            return super().stop()
        finally:
            self.log.close()

    def kill(self):
        super().kill()
        self.log.close()


class Nginx:
    """nginx with deploy/nginx.conf, filled by deploy/render.sh, in `prefix`."""

    def __init__(self, prefix, servers):
        os.makedirs(prefix)
        self.prefix = prefix
        config = os.path.join(prefix, "nginx.conf")
        # A port taken between the probe and nginx's bind: try another.
        for _ in range(3):
            self.port = free_port()
            with open(config, "w") as out:
                subprocess.run([os.path.join(DEPLOY, "render.sh"), f"127.0.0.1:{self.port}",
                                *(server.address for server in servers)], stdout=out, check=True)
            self.stderr = open(os.path.join(prefix, "stderr.log"), "w")
            self.process = subprocess.Popen(
                [NGINX, "-p", prefix, "-c", config, "-e", "stderr", "-g", "daemon off;"],
                stdout=subprocess.DEVNULL, stderr=self.stderr)
            if self.await_ready():
                return
            self.stop()
        raise RuntimeError("nginx did not start:\n" + self.logs())

    def await_ready(self):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                if request(self.port, "GET", "/healthz")[0] == 200:
                    return True
            except OSError:
                time.sleep(0.05)
        return False

    def logs(self):
        text = ""
        for name in ("stderr.log", "error.log"):
            path = os.path.join(self.prefix, name)
            if os.path.exists(path):
                with open(path) as log:
                    text += f"-- {name}\n{log.read()[-4000:]}"
        return text

    def access_log(self):
        with open(os.path.join(self.prefix, "access.log")) as log:
            return log.read().splitlines()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)  # graceful: finish, then exit
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.stderr.close()


class Cluster:
    """Two processes on one data directory and nginx in front of them."""

    def __init__(self, scratch, data, name):
        self.servers = []
        self.nginx = None
        folder = os.path.join(scratch, name)
        os.makedirs(folder)
        os.chmod(folder, 0o755)
        try:
            for number in range(2):
                self.servers.append(Server(data, os.path.join(folder, f"server{number}.log")))
            self.nginx = Nginx(os.path.join(folder, "nginx"), self.servers)
        except BaseException:
            self.close()
            raise

    def close(self):
        if self.nginx:
            self.nginx.stop()
        for server in self.servers:
            server.kill()

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.close()


class DeployTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="deploy_test_")
        # nginx's workers run as another user when the test runs as root; they
        # write their temporary files beneath the scratch folder.
        os.chmod(cls.scratch, 0o755)
        cls.data = os.path.join(cls.scratch, "data")
        for index, data_set in enumerate(DATA_SETS):
            path = cls.file(data_set)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as out:
                subprocess.run([BINARY, "generate", "--count", str(items_of(index)),
                                "--seed", str(index + 1)], stdout=out, check=True)
        cls.orders = {}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    @classmethod
    def file(cls, data_set):
        return os.path.join(cls.data, data_set[1:] + ".jsonl")

    def ordered(self, data_set, fields, direction):
        """Every item of the data set as `browse query` orders them."""
        key = (data_set, tuple(fields), direction)
        if key not in self.orders:
            request_file = os.path.join(self.scratch, f"request{len(self.orders)}.json")
            with open(request_file, "w") as out:
                out.write(browse_body(data_set, fields, direction, 0, 100_000))
            printed = subprocess.run([BINARY, "query", "--items", self.file(data_set),
                                      "--request", request_file],
                                     capture_output=True, check=True, text=True).stdout
            self.orders[key] = json.loads(printed)[0]["result"].get("items", [])
        return self.orders[key]

    def schedule(self):
        """The requests of one round: each (data set, fields) five times, both
        directions, pages spread over the data set."""
        for i in range(REQUESTS):
            index = i % len(DATA_SETS)
            offset = (i * 7) % items_of(index)
            yield (DATA_SETS[index], FIELD_LISTS[(i // 20) % 2], (i // 40) % 2, offset)

    def check_answer(self, case, status, body):
        data_set, fields, direction, offset = case
        self.assertEqual(200, status, body[:300])
        answer = {entry["result"]["queryId"]: entry["result"] for entry in json.loads(body)}
        expected = self.ordered(data_set, fields, direction)
        self.assertEqual(len(expected), answer["total"]["aggregates"][0]["count"])
        self.assertEqual(expected[offset:offset + PAGE], answer["page"].get("items", []))

    def browse(self, port, case):
        """Sends the case, and once more after a failed first attempt; returns
        whether the first attempt failed. The answer must be right."""
        for attempt in range(2):
            try:
                status, _, body = request(port, "POST", browse_target(case[0]),
                                          browse_body(*case), {"Content-Type": "application/json"})
            except (OSError, http.client.HTTPException) as error:
                status, body = None, repr(error).encode()
            if status == 200 or attempt == 1:
                self.check_answer(case, status, body)
                return attempt == 1

    def owners(self, servers):
        """{data set: [indexes of the servers that collected it]}."""
        counts = [server.collections() for server in servers]
        return {data_set: [n for n, found in enumerate(counts) if found.get(data_set, 0)]
                for data_set in DATA_SETS}, counts

    def setUp(self):
        signal.signal(signal.SIGALRM, self.out_of_time)
        signal.alarm(TIME_LIMIT)

    def tearDown(self):
        signal.alarm(0)

    @staticmethod
    def out_of_time(*_):
        raise TimeoutError(f"the test ran longer than {TIME_LIMIT} s")

    def test_each_data_set_sticks_to_one_server_and_moves_when_it_stops(self):
        with Cluster(self.scratch, self.data, "sticky") as cluster:
            servers, port = cluster.servers, cluster.nginx.port
            retried = sum(self.browse(port, case) for case in self.schedule())
            self.assertEqual(0, retried, "no process stopped: no request may fail")

            owners, before = self.owners(servers)
            for data_set, holders in owners.items():
                self.assertEqual(1, len(holders), f"{data_set} collected on servers {holders}")
                # One collection per sort field list: never again on its server.
                self.assertEqual(len(FIELD_LISTS), before[holders[0]][data_set], data_set)
            owned = [[d for d in DATA_SETS if owners[d] == [n]] for n in range(2)]
            self.assertTrue(owned[0] and owned[1], "the hash sent every data set to one server")

            # An export goes where the data set's browse requests went, and
            # is taken from the cached order there.
            for data_set in owned[0][:2] + owned[1][:2]:
                target = (f"/v1/export?dataset={urllib.parse.quote(data_set, safe='/')}"
                          "&fields=ByName&format=jsonl")
                status, _, body = request(port, "GET", target)
                self.assertEqual(200, status, body[:300])
                self.assertEqual([json.loads(line) for line in body.decode().splitlines()],
                                 self.ordered(data_set, ["ByName"], 0))
            self.assertEqual(before, self.owners(servers)[1], "an export collected again")

            # Server 0 stops while four clients send the second round; it
            # finishes what it has and exits.
            stopped, survivor = servers[0], servers[1]
            with concurrent.futures.ThreadPoolExecutor(4) as clients:
                futures = [clients.submit(self.browse, port, case) for case in self.schedule()]
                concurrent.futures.wait(futures[:REQUESTS // 4])
                stopped.process.send_signal(signal.SIGTERM)
                retried = sum(future.result() for future in futures)
            self.assertEqual(0, stopped.stop(), "the stopped server's exit status")
            # nginx sends a request that the stopping server could not take to
            # the other one, so even the single retry should not be needed.
            self.assertEqual(0, retried, "requests that needed the client's retry")
            after = survivor.collections()
            for data_set in owned[0]:
                self.assertGreater(after.get(data_set, 0), 0, f"{data_set} did not move")
            for data_set in owned[1]:
                self.assertEqual(before[1][data_set], after[data_set],
                                 f"{data_set} stayed on its server and was collected again")

            moved_by_nginx = [line for line in cluster.nginx.access_log()
                              if "POST /v1/browse" in line and ", " in line.split("upstream=")[1]]
            print(f"second round: {retried} client retries; {len(moved_by_nginx)} requests "
                  f"that nginx sent to the other server after a failed attempt; "
                  f"{len(owned[0])} data sets moved, {len(owned[1])} stayed", file=sys.stderr)

            # With no process left, nginx answers at once in the service's form.
            self.assertEqual(0, survivor.stop())
            status, headers, body = request(port, "POST", browse_target(DATA_SETS[0]),
                                            browse_body(DATA_SETS[0], [], 0, 0))
            self.assertEqual(502, status)
            self.assertEqual("application/json; charset=utf-8", headers["content-type"])
            self.assertEqual("unavailable", json.loads(body)["error"])

    def test_the_page_and_the_service_answer_through_nginx(self):
        with Cluster(self.scratch, self.data, "page") as cluster:
            port = cluster.nginx.port
            status, headers, body = request(port, "GET", "/")
            self.assertEqual(200, status)
            self.assertTrue(body.startswith(b"<!doctype html>"), body[:100])
            self.assertIn("default-src 'none'", headers["content-security-policy"])
            status, headers, body = request(port, "GET", "/page/api.js")
            self.assertEqual(200, status)
            self.assertTrue(headers["content-type"].startswith("text/javascript"), headers)

            status, _, body = request(port, "GET", "/v1/datasets")
            self.assertEqual(200, status)
            listed = [entry["path"] for entry in json.loads(body)["datasets"]]
            self.assertEqual(sorted(DATA_SETS), listed)

            # A body over the process's --max-body gets its JSON answer; one
            # over nginx's limit gets nginx's answer in the same form.
            for size, said in [(1_500_000, "(--max-body)"), (3_000_000, "the proxy takes")]:
                status, headers, body = request(port, "POST", "/v1/browse", b" " * size,
                                                {"Content-Type": "application/json"})
                self.assertEqual(413, status, size)
                self.assertEqual("application/json; charset=utf-8", headers["content-type"])
                self.assertEqual("too_large", json.loads(body)["error"])
                self.assertIn(said, json.loads(body)["message"])

            # A dataset parameter that the body contradicts is refused by the
            # process that nginx chose.
            status, _, body = request(port, "POST", browse_target(DATA_SETS[1]),
                                      browse_body(DATA_SETS[2], [], 0, 0))
            self.assertEqual(400, status)
            self.assertIn("must name the same data set", json.loads(body)["message"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
