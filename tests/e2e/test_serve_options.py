"""serve: option parsing, the order of its start-up checks and their
messages, the listening line, Ctrl+C, and the document size option."""
import json
import os
import re
import signal
import socket
import subprocess

import pytest

from backup_util import hold_lock
from conftest import PASSWORD, TOVIK, run, start_server
from offline_util import Client, snapshot

WRAP = "tovik: cannot start server: {}; provision credentials with tovik setup <file> <username>\n"
LIMITS = "invalid request, document or index limit"
LOOPBACK = "authenticated TCP is loopback-only; use an SSH tunnel for remote access"
CLIENTS = "max clients must be 1-64"


def serve(path, env, *options):
    """A serve run that is expected to end by itself (a refusal)."""
    return run(["serve", str(path), *options], env=env, timeout=30)


def refused(res, text, wrapped=True):
    assert res.returncode == 1
    assert res.stdout == ""
    assert res.stderr == (WRAP.format(text) if wrapped else f"tovik: {text}\n")


@pytest.mark.parametrize("options,message,wrapped", [
    (["--max-clients"], "missing option value", False),
    (["--bind", "127.0.0.1:0", "--max-clients"], "missing option value", False),
    (["--port", "7337"], "unknown serve option", False),
    (["--port"], "missing option value", False),
    (["--bind", "localhost:7337"], "invalid socket address syntax", False),
    (["--bind", "127.0.0.1"], "invalid socket address syntax", False),
    (["--bind", "::1:7337"], "invalid socket address syntax", False),
    (["--index-entries", "300"], "number too large to fit in target type", False),
    (["--index-entries", "256"], "number too large to fit in target type", False),
    (["--max-clients", "-1"], "invalid digit found in string", False),
    (["--max-clients", ""], "cannot parse integer from empty string", False),
    (["--max-request-bytes", "99999999999999999999"], "number too large to fit in target type",
     False),
    (["--max-clients", "0"], CLIENTS, True),
    (["--max-clients", "65"], CLIENTS, True),
    (["--max-request-bytes", "127"], LIMITS, True),
    (["--max-request-bytes", "1048577"], LIMITS, True),
    (["--max-document-bytes", "1"], LIMITS, True),
    (["--max-document-bytes", "262145"], LIMITS, True),
    (["--index-entries", "65"], LIMITS, True),
    (["--bind", "0.0.0.0:7337"], LOOPBACK, True),
    (["--bind", "[::]:7337"], LOOPBACK, True),
    (["--bind", "[::ffff:127.0.0.1]:7337"], LOOPBACK, True),
    (["--bind", "10.0.0.1:7337"], LOOPBACK, True),
])
def test_option_messages(provisioned_db, env, options, message, wrapped):
    refused(serve(provisioned_db, env, *options), message, wrapped)


def test_checks_run_in_their_order(tmp_path, env):
    absent = tmp_path / "absent.tovik"
    # Parsing fails before anything is validated...
    refused(serve(absent, env, "--bind", "0.0.0.0:1", "--port", "1"), "unknown serve option",
            False)
    # ...then limits, loopback, client count, the file, in that order.
    refused(serve(absent, env, "--max-clients", "0", "--bind", "0.0.0.0:1",
                  "--max-document-bytes", "1"), LIMITS)
    refused(serve(absent, env, "--max-clients", "0", "--bind", "0.0.0.0:1"), LOOPBACK)
    refused(serve(absent, env, "--max-clients", "0"), CLIENTS)
    refused(serve(absent, env), "database missing: run tovik init first")
    refused(serve(tmp_path, env), "database missing: run tovik init first")


def test_later_occurrence_of_an_option_wins(provisioned_db, env):
    refused(serve(provisioned_db, env, "--max-clients", "0", "--max-clients", "99"), CLIENTS)
    srv = start_server(provisioned_db, env, "--max-clients", "0", "--max-clients", "+2")
    assert srv.stop() == 0


def test_database_without_credentials_is_not_served(db, env):
    refused(serve(db, env, "--bind", "127.0.0.1:0"), "No such file or directory (os error 2)")


def test_broken_credential_file_is_not_served(db, env):
    (db.parent / (db.name + ".auth")).write_text('{"username":"admin"}')
    refused(serve(db, env, "--bind", "127.0.0.1:0"), "invalid credential registry")


def test_empty_database_file_is_not_served(provisioned_db, env, tmp_path):
    empty = tmp_path / "empty.tovik"
    empty.write_bytes(b"")
    (tmp_path / "empty.tovik.auth").write_bytes(
        (provisioned_db.parent / (provisioned_db.name + ".auth")).read_bytes())
    (tmp_path / "empty.tovik.auth").chmod(0o600)
    refused(serve(empty, env, "--bind", "127.0.0.1:0"), "database corruption detected")


def test_listening_line_shows_the_chosen_port_and_ctrl_c_stops(provisioned_db, env):
    proc = subprocess.Popen([TOVIK, "serve", str(provisioned_db), "--bind", "127.0.0.1:0",
                             "--index-entries", "0"], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        m = re.fullmatch(r"Tovik listening on 127\.0\.0\.1:(\d+) \(loopback only\)\. "
                         r"Ctrl\+C stops the server\.\n", line)
        assert m, line
        port = int(m.group(1))
        assert port != 0
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
        assert (proc.returncode, out, err) == (0, "Tovik stopped.\n", "")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_other_loopback_addresses_are_accepted(provisioned_db, env):
    srv = start_server(provisioned_db, env)  # binds 127.0.0.1:0 first
    srv.stop()
    proc = subprocess.Popen([TOVIK, "serve", str(provisioned_db), "--bind", "127.0.0.2:0"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=10)
    assert line.startswith("Tovik listening on 127.0.0.2:"), line
    assert proc.returncode == 0


def test_ipv6_loopback_is_accepted(provisioned_db, env):
    try:
        socket.socket(socket.AF_INET6).bind(("::1", 0))
    except OSError:
        pytest.skip("no IPv6 loopback here")
    proc = subprocess.Popen([TOVIK, "serve", str(provisioned_db), "--bind", "[::1]:0"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=10)
    assert re.match(r"Tovik listening on \[::1\]:\d+ \(loopback only\)", line), line
    assert proc.returncode == 0


def test_first_argument_option_serves_the_default_data_file(tmp_path, env):
    data = tmp_path / "data"
    env = {**env, "TOVIK_DATA_DIR": str(data)}
    # Nothing there yet: the default file is what serve looked for.
    res = run(["serve", "--max-clients", "4"], env=env)
    assert res.stderr == WRAP.format("database missing: run tovik init first")
    assert run(["init"], env={**env, "TOVIK_PASSWORD": PASSWORD}).returncode == 0
    proc = subprocess.Popen([TOVIK, "serve", "--max-clients", "4", "--bind", "127.0.0.1:0"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=10)
    assert line.startswith("Tovik listening on 127.0.0.1:"), line
    assert proc.returncode == 0


def test_a_served_file_is_locked_against_everything_else(server, provisioned_db, env):
    before = snapshot(provisioned_db)
    for args in (["status", str(provisioned_db)], ["put", str(provisioned_db), "d", "a", "{}"],
                 ["setup", str(provisioned_db), "x"], ["check", str(provisioned_db)]):
        res = run(args, env={**env, "TOVIK_PASSWORD": PASSWORD})
        assert res.stderr == "tovik: storage I/O or locking failure\n", args
    refused(serve(provisioned_db, env, "--bind", "127.0.0.1:0"), "storage I/O or locking failure")
    assert snapshot(provisioned_db) == before


def test_address_in_use_is_the_systems_error(server, tmp_path, env):
    other = tmp_path / "other.tovik"
    assert run(["init", str(other)], env=env).returncode == 0
    res = run(["setup", str(other), "admin"], env={**env, "TOVIK_PASSWORD": PASSWORD})
    assert res.returncode == 0
    res = serve(other, env, "--bind", server.address)
    refused(res, "Address already in use (os error 98)")


def authenticate(srv):
    client = Client(srv.host, srv.port)
    reply = client.request({"op": "auth", "username": "admin", "password": PASSWORD})
    assert reply["ok"], reply
    return client


def test_document_limit_bounds_writes_but_not_what_is_stored(provisioned_db, env):
    big = {"pad": "x" * 500}
    res = run(["put", str(provisioned_db), "d", "big", json.dumps(big)], env=env)
    assert res.returncode == 0
    srv = start_server(provisioned_db, env, "--max-document-bytes", "100")
    try:
        client = authenticate(srv)
        assert client.request({"op": "use", "collection": "d"})["ok"]
        # What is stored stays readable...
        got = client.request({"op": "get", "id": "big"})
        assert got["ok"] and got["data"]["pad"] == "x" * 500
        # ...but nothing over the limit can be written.
        put = client.request({"op": "put", "id": "new", "document": big})
        assert put["ok"] is False
        assert put["error"]["message"] == "invalid input or configuration"
        small = client.request({"op": "put", "id": "s", "document": {"n": 1}})
        assert small["ok"], small
        client.close()
    finally:
        assert srv.stop() == 0
    res = run(["get", str(provisioned_db), "d", "new"], env=env)
    assert res.stdout == "null\n"


def exposed(path):
    return f"warning: {path} is accessible by other users; run chmod 600 {path}\n"


def test_a_credential_file_others_can_reach_is_served_with_a_warning(provisioned_db, env):
    registry = f"{provisioned_db}.auth"
    for mode, expected in [(0o640, exposed(registry)), (0o602, exposed(registry)), (0o400, "")]:
        os.chmod(registry, mode)
        srv = start_server(provisioned_db, env)
        assert srv.stop() == 0
        assert srv.proc.stderr.read() == expected, oct(mode)


def test_the_log_is_a_regular_file_checked_before_the_database(provisioned_db, env, tmp_path):
    fifo, target, link = tmp_path / "fifo", tmp_path / "target", tmp_path / "link"
    os.mkfifo(fifo)
    target.write_text("")
    link.symlink_to(target)
    # Refused at once (a FIFO without a reader never holds the start up), and
    # before the database is opened: its lock, held here, is never asked for.
    with hold_lock(provisioned_db):
        for path in (fifo, link, tmp_path, "/dev/null"):
            refused(serve(provisioned_db, env, "--log", str(path)),
                    f"log must be a regular file: {path}")
    assert target.read_text() == ""
    created, loose = tmp_path / "new.log", tmp_path / "loose.log"
    loose.write_text("")
    os.chmod(loose, 0o644)
    for log, warning in ((created, ""), (loose, exposed(loose))):
        srv = start_server(provisioned_db, env, "--log", str(log))
        assert srv.stop() == 0
        assert srv.proc.stderr.read() == warning
    assert oct(os.stat(created).st_mode & 0o777) == "0o600"


def test_server_reports_its_limits(provisioned_db, env):
    srv = start_server(provisioned_db, env, "--max-request-bytes", "4096",
                       "--max-document-bytes", "1000")
    try:
        data = authenticate(srv).request({"op": "server"})["data"]
        assert (data["max_request_bytes"], data["max_document_bytes"]) == (4096, 1000)
    finally:
        assert srv.stop() == 0
