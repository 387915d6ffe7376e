"""A `browse serve` process on an ephemeral loopback port, for the tests and
benchmarks that drive the service over HTTP, and the data sets they serve.

ServeProcess starts `BINARY serve --data DATA --listen 127.0.0.1:0 OPTIONS`,
waits for its ready line and knows its port; stop() sends SIGTERM and returns
the exit status, kill() ends it at once. Either closes its pipes.
"""
import os
import signal
import socket
import subprocess

READY = "listening on http://127.0.0.1:"


def generate(binary, path, count, seed):
    """Writes `count` generated items of `seed` to `path` as JSON Lines."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        subprocess.run([binary, "generate", "--count", str(count), "--seed", str(seed)],
                       stdout=out, check=True)


def free_port():
    """A loopback port that was free a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ServeProcess:
    def __init__(self, binary, data, *options, stderr=subprocess.DEVNULL, timeout=30):
        self.timeout = timeout
        self.process = subprocess.Popen(
            [binary, "serve", "--data", data, "--listen", "127.0.0.1:0", *options],
            stdout=subprocess.PIPE, stderr=stderr, text=True)
        ready = self.process.stdout.readline()
        if not ready.startswith(READY):
            self.kill()
            raise RuntimeError(f"browse serve did not start: {ready!r}")
        self.url = ready.split(" ", 2)[2].strip()
        self.port = int(self.url.rsplit(":", 1)[1])
        self.address = f"127.0.0.1:{self.port}"

    @property
    def pid(self):
        return self.process.pid

    def stop(self):
        """SIGTERM, then the exit status once the process has finished."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=self.timeout)
        finally:
            self.process.stdout.close()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
