"""Every command that opens a database or a socket, started with standard
input, output or error closed: nothing it opens may take descriptor 0, 1 or
2, so its own output never lands in the database file."""
import os
import shutil
import signal
import socket
import subprocess
import time

import pytest

from conftest import PASSWORD, TOVIK, run

# (arguments, writes the database); {db} is the case's database, {new} a
# path that does not exist yet.
OFFLINE = [
    (["status", "{db}"], False),
    (["stats", "{db}"], False),
    (["check", "{db}"], False),
    (["collections", "{db}"], False),
    (["get", "{db}", "c", "a1"], False),
    (["scan", "{db}", "c"], False),
    (["find", "{db}", "c", "v=1"], False),
    (["put", "{db}", "c", "a2", '{"v":2}'], True),
    (["delete", "{db}", "c", "a1"], True),
    (["backup", "{db}", "{new}"], False),
    (["restore", "{db}", "{new}"], False),
    (["init", "{new}"], False),
    (["setup", "{new}", "admin"], False),
]


def closing(fd):
    def close():
        os.close(fd)
    return close


def run_closed(args, fd, env, input=None):
    return subprocess.run([TOVIK, *args], env=env, preexec_fn=closing(fd), input=input,
                          stdin=None if input is not None else subprocess.DEVNULL,
                          capture_output=True, timeout=60, start_new_session=True)


@pytest.fixture
def base(tmp_path, env):
    path = tmp_path / "base.tovik"
    assert run(["init", str(path)], env=env).returncode == 0
    assert run(["put", str(path), "c", "a1", '{"v":1}'], env=env).returncode == 0
    assert run(["setup", str(path), "admin"],
               env={**env, "TOVIK_PASSWORD": PASSWORD}).returncode == 0
    return path


def case_files(base, tmp_path, name):
    folder = tmp_path / name
    folder.mkdir()
    db = folder / "db.tovik"
    shutil.copyfile(base, db)
    shutil.copyfile(f"{base}.auth", f"{db}.auth")
    return db, folder / "new.tovik"


def assert_checks(path, env):
    res = run(["check", str(path)], env=env)
    assert res.returncode == 0 and res.stdout == '{"ok":true}\n', res


@pytest.mark.parametrize("fd", [0, 1, 2])
def test_offline_commands_keep_their_output_out_of_the_file(base, tmp_path, env, fd):
    env = {**env, "TOVIK_PASSWORD": PASSWORD}
    for i, (template, writes) in enumerate(OFFLINE):
        db, new = case_files(base, tmp_path, f"case{i}")
        if template[0] == "setup":
            assert run(["init", str(new)], env=env).returncode == 0
        before = db.read_bytes()
        args = [a.replace("{db}", str(db)).replace("{new}", str(new)) for a in template]
        res = run_closed(args, fd, env)
        assert res.returncode == 0, (args, fd, res)
        if writes:
            assert_checks(db, env)
        else:
            assert db.read_bytes() == before, (args, fd)
        if "{new}" in template:
            assert_checks(new, env)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        assert proc.poll() is None, proc.communicate()
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise AssertionError("the server never listened")


@pytest.mark.parametrize("fd", [0, 1, 2])
def test_server_shell_and_batch_with_a_closed_descriptor(base, tmp_path, env, fd):
    env = {**env, "TOVIK_PASSWORD": PASSWORD, "TOVIK_USER": "admin"}
    db, _ = case_files(base, tmp_path, "served")
    port = free_port()
    server = subprocess.Popen([TOVIK, "serve", str(db), "--bind", f"127.0.0.1:{port}"], env=env,
                              preexec_fn=closing(fd), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    try:
        wait_listening(port, server)
        address = f"127.0.0.1:{port}"
        lines = b"use default\nuse c\nput b1 {\"v\":3}\nget b1\nquit\n"
        # Standard input closed leaves the clients nothing to read: they end
        # at once; with output closed they still do all their work.
        for args in (["batch", address], [address]):
            res = run_closed(args, fd, env, input=None if fd == 0 else lines)
            assert res.returncode == 0, (args, res)
    finally:
        server.send_signal(signal.SIGINT)
        assert server.wait(timeout=10) == 0
    assert_checks(db, env)
    if fd != 0:
        got = run(["get", str(db), "c", "b1"], env=env)
        assert got.stdout == '{"id":"b1","v":3}\n', got
