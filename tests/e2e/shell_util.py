"""Helpers for driving the shell and batch mode end to end: a raw protocol
client, an interactive session over pipes or a pseudo-terminal, and a server
restarted on a port it had before."""
import os
import pty
import re
import select
import signal
import subprocess
import time

from conftest import PASSWORD, TOVIK, Server
from server_util import WireClient


def shell_env(env, **extra):
    """env with the shell's user and password preset, so nothing prompts."""
    return {**env, "TOVIK_USER": "admin", "TOVIK_PASSWORD": PASSWORD, **extra}


class RawClient(WireClient):
    """A protocol client for setting up data the shell itself cannot type
    (ids with line feeds)."""

    def __init__(self, port, username="admin", password=PASSWORD):
        super().__init__(port)
        reply = self.auth(username, password)
        assert reply and reply["ok"], reply

    def send(self, command):
        reply = self.call(command)
        assert reply is not None, "server closed the connection"
        return reply


def wait_watching(client, count=1):
    """Waits until the server holds `count` changes requests: a watch starts
    from the generation its first request finds."""
    deadline = time.monotonic() + 10
    while client.send({"op": "server"})["data"]["feed"]["waiting"] < count:
        assert time.monotonic() < deadline, "no watch is waiting"
        time.sleep(0.02)


def start_server_on(path, env, port):
    """`tovik serve` bound to a given loopback port (to bring a server back
    where a shell expects it)."""
    deadline = time.monotonic() + 10
    while True:
        proc = subprocess.Popen([TOVIK, "serve", str(path), "--bind", f"127.0.0.1:{port}"],
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        line = proc.stdout.readline()
        if re.match(r"Tovik listening on ", line):
            return Server(proc, "127.0.0.1", port)
        proc.wait()
        # The old server's socket may linger for a moment after it stopped.
        assert time.monotonic() < deadline, proc.stderr.read()
        time.sleep(0.1)


class Session:
    """A tovik process whose output is read as it comes. Over pipes stdout
    and stderr are kept apart; over a pseudo-terminal (the controlling
    terminal, so /dev/tty prompts show up too) everything is one stream."""

    def __init__(self, args, env, use_pty=False):
        self.buffers = {}
        if use_pty:
            # pty.fork makes the child a session leader whose controlling
            # terminal is the pty, so its /dev/tty is ours to drive.
            pid, master = pty.fork()
            if pid == 0:
                try:
                    os.execve(TOVIK, [TOVIK, *args], env)
                finally:
                    os._exit(127)
            self.pid, self.fds = pid, {"tty": master}
            self.write_fd = master
            self.proc = None
        else:
            self.proc = subprocess.Popen([TOVIK, *args], env=env, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.pid = self.proc.pid
            self.fds = {"out": self.proc.stdout.fileno(), "err": self.proc.stderr.fileno()}
            self.write_fd = self.proc.stdin.fileno()
        for name in self.fds:
            self.buffers[name] = b""

    def send(self, text):
        os.write(self.write_fd, text.encode())

    def close_input(self):
        self.proc.stdin.close()

    def _pump(self, timeout):
        open_fds = [fd for fd in self.fds.values() if fd is not None]
        if not open_fds:
            return False
        ready, _, _ = select.select(open_fds, [], [], timeout)
        for name, fd in self.fds.items():
            if fd in ready:
                try:
                    chunk = os.read(fd, 65536)
                except OSError:  # a pty reports EIO once the child is gone
                    chunk = b""
                if chunk:
                    self.buffers[name] += chunk
                else:
                    self.fds[name] = None
        return bool(ready)

    def expect(self, text, stream=None, timeout=10):
        """Waits until `text` appears in a stream; returns and consumes
        everything up to and including it."""
        stream = stream or next(iter(self.fds))
        deadline = time.monotonic() + timeout
        needle = text.encode()
        while needle not in self.buffers[stream]:
            left = deadline - time.monotonic()
            if left <= 0 or (not self._pump(left) and self.fds[stream] is None):
                raise AssertionError(f"{text!r} not seen on {stream}; got "
                                     f"{self.buffers[stream]!r}")
        head, _, tail = self.buffers[stream].partition(needle)
        self.buffers[stream] = tail
        return (head + needle).decode()

    def finish(self, timeout=10):
        """Waits for exit; returns (status, rest of each stream)."""
        deadline = time.monotonic() + timeout
        while any(fd is not None for fd in self.fds.values()):
            if time.monotonic() > deadline:
                self.kill()
                raise AssertionError("tovik did not exit")
            self._pump(0.1)
        if self.proc is not None:
            status = self.proc.wait(timeout)
        else:
            _, raw = os.waitpid(self.pid, 0)
            status = os.waitstatus_to_exitcode(raw)
            os.close(self.write_fd)
        rest = {name: data.decode() for name, data in self.buffers.items()}
        return status, rest

    def kill(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
