"""What the benchmark scripts share: the stored record's bytes, compact JSON,
one summary line per figure, a plain wire client, and a fresh served
database. Each script imports it
from its own folder; nothing here times or asserts anything by itself."""
import json
import os
import re
import socket
import statistics
import struct
import subprocess
import zlib


def record(key, value):
    """One stored record: key and value lengths, the CRC-32 of lengths, key
    and value, then key and value."""
    lengths = struct.pack("<II", len(key), len(value))
    crc = zlib.crc32(lengths + key + value) & 0xFFFFFFFF
    return lengths + struct.pack("<I", crc) + key + value


def compact(value, sort_keys=True):
    return json.dumps(value, separators=(",", ":"), sort_keys=sort_keys, ensure_ascii=False)


def summary(name, xs, unit="ms", scale=1000, width=34, digits=2):
    """Median, min, max and spread of samples in seconds, shown in `unit`
    (`scale` units to a second)."""
    v = [x * scale for x in xs]
    med = statistics.median(v)
    return (f"{name:<{width}} median {med:9.{digits}f} {unit}  min {min(v):9.{digits}f}  "
            f"max {max(v):9.{digits}f}  spread {(max(v) - min(v)) / med * 100:5.1f}%")


def frame(command):
    body = json.dumps({"command": command, "version": 1}, separators=(",", ":"),
                      sort_keys=True).encode()
    return struct.pack(">I", len(body)) + body


class Wire:
    """One connection to a server on loopback: `call` answers the whole
    response, `data` only the data of a success (a failure ends the run)."""

    def __init__(self, port, timeout=600):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def raw(self, request):
        self.sock.sendall(request)
        head = self._exact(4)
        return self._exact(struct.unpack(">I", head)[0])

    def call(self, command):
        return json.loads(self.raw(frame(command)))

    def data(self, command):
        response = self.call(command)
        if not response["ok"]:
            raise SystemExit(f"{command['op']} failed: {response['error']}")
        return response["data"]

    def _exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise SystemExit("server closed the connection")
            data += chunk
        return data


DEFAULT_TOVIK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "src",
                             "cli", "tovik")


def serve_fresh(binary, workdir, password="correct horse battery"):
    """A new database in workdir with the administrator "admin", served on a
    free loopback port: the server process, its address and the environment
    (with TOVIK_PASSWORD) that reaches it."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("TOVIK_")}
    env["HOME"] = workdir
    db = os.path.join(workdir, "bench.tovik")
    subprocess.run([binary, "init", db], env=env, check=True, capture_output=True)
    subprocess.run([binary, "setup", db, "admin"], env={**env, "TOVIK_PASSWORD": password},
                   check=True, capture_output=True)
    proc = subprocess.Popen([binary, "serve", db, "--bind", "127.0.0.1:0"], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    m = re.match(r"Tovik listening on (\S+) ", proc.stdout.readline())
    if not m:
        proc.kill()
        raise SystemExit("server did not start")
    return proc, m.group(1), {**env, "TOVIK_PASSWORD": password}
