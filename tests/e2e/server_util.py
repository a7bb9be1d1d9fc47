"""A raw wire client for the server tests: frames are a 4-byte big-endian
length and a JSON body. Sends exactly what a test asks, so tests can also
misbehave on purpose."""
import json
import os
import select
import socket
import struct
import time

from conftest import PASSWORD


def encode(obj):
    return json.dumps(obj, separators=(",", ":"), sort_keys=True).encode()


def frame(body):
    return struct.pack(">I", len(body)) + body


def request(command):
    return encode({"command": command, "version": 1})


class WireClient:
    def __init__(self, port, host="127.0.0.1", timeout=10):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def close(self):
        self.sock.close()

    def send_raw(self, data):
        self.sock.sendall(data)

    def send_command(self, command):
        self.send_raw(frame(request(command)))

    def _recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def receive(self):
        """The next response as a dict, or None when the server closed."""
        try:
            head = self._recv_exact(4)
            if head is None:
                return None
            (length,) = struct.unpack(">I", head)
            body = self._recv_exact(length)
        except (ConnectionResetError, BrokenPipeError):
            return None
        return None if body is None else json.loads(body)

    def call(self, command):
        self.send_command(command)
        return self.receive()

    def auth(self, username="admin", password=PASSWORD):
        return self.call({"op": "auth", "username": username, "password": password})

    def sees_close(self, timeout=5):
        """True when the server closes the connection within timeout
        (bytes still queued before the close are skipped)."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            ready, _, _ = select.select([self.sock], [], [], max(0, end - time.monotonic()))
            if not ready:
                continue
            try:
                if not self.sock.recv(65536):
                    return True
            except ConnectionResetError:
                return True
        return False


def failure_code(response):
    return (response or {}).get("error", {}) and response["error"]["code"]


def authenticated(port, **kwargs):
    client = WireClient(port, **kwargs)
    response = client.auth()
    assert response and response["ok"], response
    return client


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def wait_until(predicate, timeout=5, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
