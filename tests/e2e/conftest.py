"""Shared helpers for the end-to-end suite: the binary, isolated environments,
throwaway databases and a real server on a free loopback port."""
import os
import re
import signal
import subprocess
import time

import pytest

TOVIK = os.environ.get("TOVIK_BIN") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "src", "cli", "tovik")
PASSWORD = "correct horse battery"


def clean_env(tmp_path, **extra):
    """An environment that cannot reach the user's real data directory."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("TOVIK_")}
    env.pop("XDG_DATA_HOME", None)
    env["HOME"] = str(tmp_path / "home")
    env.update({k: v for k, v in extra.items() if v is not None})
    return env


def run(args, env=None, input=None, timeout=60):
    """Runs tovik with args; returns the CompletedProcess (text mode)."""
    return subprocess.run([TOVIK, *args], env=env, input=input, capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture
def tovik():
    return TOVIK


@pytest.fixture
def env(tmp_path):
    return clean_env(tmp_path)


@pytest.fixture
def db(tmp_path, env):
    """A fresh database file without credentials."""
    path = tmp_path / "test.tovik"
    res = run(["init", str(path)], env=env)
    assert res.returncode == 0, res.stderr
    return path


class Server:
    """A `tovik serve` process on 127.0.0.1 with a port the system chose."""

    def __init__(self, proc, host, port):
        self.proc, self.host, self.port = proc, host, port

    @property
    def address(self):
        return f"{self.host}:{self.port}"

    def stop(self, timeout=10):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


def start_server(path, env, *options):
    """Starts `tovik serve path --bind 127.0.0.1:0 options...` and waits for
    its listening line."""
    proc = subprocess.Popen([TOVIK, "serve", str(path), "--bind", "127.0.0.1:0", *options],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    m = re.match(r"Tovik listening on (\S+):(\d+) \(loopback only\)", line)
    if not m:
        proc.kill()
        out, err = proc.communicate()
        raise AssertionError(f"server did not start: {line!r} {out!r} {err!r}")
    return Server(proc, m.group(1), int(m.group(2)))


def provision(path, env):
    """Makes path a database with the administrator "admin" and PASSWORD."""
    if not path.exists():
        res = run(["init", str(path)], env=env)
        assert res.returncode == 0, res.stderr
    res = run(["setup", str(path), "admin"], env={**env, "TOVIK_PASSWORD": PASSWORD})
    assert res.returncode == 0, res.stderr
    return path


@pytest.fixture
def provisioned_db(db, env):
    """A database with the administrator "admin" and PASSWORD."""
    return provision(db, env)


@pytest.fixture
def server(provisioned_db, env):
    srv = start_server(provisioned_db, env)
    yield srv
    srv.stop()
