"""Helpers for the offline, provisioning and serve tests: holding a file's
lock from another process, driving tovik through a pseudo-terminal, and a
bare protocol client."""
import fcntl
import os
import pty
import select
import subprocess
import sys
import termios
import time

from conftest import TOVIK
from server_util import WireClient


def snapshot(path):
    """The file's bytes, to show that a command left it unchanged."""
    with open(path, "rb") as f:
        return f.read()


class LockHolder:
    """Another process holding the exclusive flock on path, as a running
    server would."""

    def __init__(self, path):
        code = ("import fcntl, sys\n"
                f"f = open({str(path)!r}, 'r+b')\n"
                "fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
                "print('locked', flush=True)\n"
                "sys.stdin.read()\n")
        self.proc = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "locked"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


class PtyRun:
    """tovik with a pseudo-terminal as its controlling terminal (so /dev/tty
    is the pty) and stdout/stderr on pipes."""

    def __init__(self, args, env):
        self.master, self.slave = pty.openpty()
        slave_name = os.ttyname(self.slave)

        def make_controlling():
            os.setsid()
            # The first terminal a session leader opens becomes its
            # controlling terminal.
            os.close(os.open(slave_name, os.O_RDWR))

        self.proc = subprocess.Popen([TOVIK, *args], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=make_controlling)
        self.seen = b""

    def expect(self, text, timeout=10):
        """Reads the terminal until text appears; returns everything read."""
        want = text.encode()
        deadline = time.monotonic() + timeout
        while want not in self.seen:
            left = deadline - time.monotonic()
            assert left > 0, f"waited for {text!r}, terminal showed {self.seen!r}"
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.master, 4096)
                except OSError:
                    chunk = b""
                if not chunk:
                    assert False, f"terminal closed before {text!r}: {self.seen!r}"
                self.seen += chunk
        return self.seen

    def wait_for_echo_off(self, timeout=10):
        deadline = time.monotonic() + timeout
        while termios.tcgetattr(self.slave)[3] & termios.ECHO:
            assert time.monotonic() < deadline, "echo never switched off"
            time.sleep(0.01)

    def type(self, text):
        os.write(self.master, text.encode())

    def echo_on(self):
        return bool(termios.tcgetattr(self.slave)[3] & termios.ECHO)

    def finish(self, timeout=30):
        out, err = self.proc.communicate(timeout=timeout)
        self.drain()
        return self.proc.returncode, out.decode(), err.decode()

    def drain(self):
        while True:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                return
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                return
            if not chunk:
                return
            self.seen += chunk

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        os.close(self.master)
        os.close(self.slave)


class Client(WireClient):
    """A client that expects an answer to every request."""

    def __init__(self, host, port):
        super().__init__(port, host=host)

    def request(self, command):
        reply = self.call(command)
        assert reply is not None, "server closed the connection"
        return reply


def hold_lock_in_process(path):
    """An open, flock-ed descriptor in this process (closed by the caller)."""
    fd = os.open(path, os.O_RDWR)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return fd


def run_without_terminal(args, env, timeout=60):
    """tovik in a new session, which has no controlling terminal."""
    return subprocess.run([TOVIK, *args], env=env, capture_output=True, text=True,
                          timeout=timeout, start_new_session=True, stdin=subprocess.DEVNULL)
