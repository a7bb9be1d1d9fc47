"""Operating a running server: online backup, the space report, the status
counters and the access log, through the wire, the shell, batch mode and the
offline tool."""
import json
import os
import re
import resource
import signal
import subprocess
import threading

import pytest

from conftest import PASSWORD, TOVIK, Server, run, start_server
from backup_util import dead_pid, staging_names
from server_util import WireClient, authenticated, encode, frame, request, wait_until

NOT_ENABLED = "online backup is not enabled; start the server with --backup-dir <directory>"
EMPTY_USAGE = {"capacity_bytes": 16777152, "live_bytes": 0, "records": 0, "truncated": False,
               "warrens": []}


def ok(client, command):
    response = client.call(command)
    assert response and response["ok"], (command, response)
    return response["data"]


def refused(client, command):
    response = client.call(command)
    assert response and not response["ok"], (command, response)
    return response["error"]["message"]


def client_run(server, env, mode, lines):
    """The shell (mode "shell") or batch mode fed `lines` on standard input."""
    args = ["batch", server.address] if mode == "batch" else [f"tovik://admin@{server.address}"]
    return run(args, env={**env, "TOVIK_PASSWORD": PASSWORD}, input="".join(l + "\n" for l in lines))


@pytest.fixture
def backups(tmp_path):
    path = tmp_path / "backups"
    path.mkdir()
    return path


def test_online_backup_off_bad_names_existing_and_a_checked_copy(provisioned_db, env, backups,
                                                                 tmp_path):
    res = run(["serve", str(provisioned_db), "--backup-dir", str(tmp_path / "nowhere")], env=env)
    assert res.returncode == 1
    assert res.stderr == (f"tovik: cannot start server: backup directory missing: "
                          f"{tmp_path / 'nowhere'}; provision credentials with tovik setup "
                          "<file> <username>\n")

    server = start_server(provisioned_db, env)
    try:
        assert refused(authenticated(server.port), {"op": "backup", "name": "b"}) == NOT_ENABLED
    finally:
        server.stop()

    (backups / "taken.auth").write_text("{}")
    server = start_server(provisioned_db, env, "--backup-dir", str(backups))
    try:
        client = authenticated(server.port)
        ok(client, {"op": "use", "collection": "orders"})
        ok(client, {"op": "put", "id": "a1", "document": {"n": 1}})
        for name in ["", ".", "..", ".hidden", "../escape", "a/b", "x.auth", "a\u0000b",
                     "n" * 256]:
            assert refused(client, {"op": "backup", "name": name}) == "invalid backup name", name
        generation = ok(client, {"op": "stats"})["generation"]
        assert ok(client, {"op": "backup", "name": "first"}) == {
            "backup": "first", "bytes": 33554432, "generation": generation}
        for name, reported in (("first", "first"), ("taken", "taken.auth")):
            assert refused(client, {"op": "backup", "name": name}) == \
                f"destination already exists: {backups / reported}"
        # The shell and batch mode say the same.
        shell = client_run(server, env, "shell", ["backup second", "backup first"])
        assert f"Backup written: second (generation {generation})\n" in shell.stdout
        assert f"destination already exists: {backups / 'first'}" in shell.stderr
        batch = client_run(server, env, "batch", ["backup third"])
        assert json.loads(batch.stdout)["data"]["backup"] == "third"
    finally:
        server.stop()
    assert sorted(os.listdir(backups)) == ["first", "second", "taken.auth", "third"]
    assert run(["check", str(backups / "first")], env=env).stdout == '{"ok":true}\n'


def test_every_accepted_backup_name_works_and_stale_staging_is_removed(provisioned_db, env,
                                                                      backups, tmp_path):
    live = f".tovik-copy-{os.getpid()}-0.tmp"
    for name in (f".tovik-copy-{dead_pid()}-0.tmp", live):
        (backups / name).write_bytes(b"left over")
    server = start_server(provisioned_db, env, "--backup-dir", str(backups))
    try:
        # Removed at start; a copy killed while the server runs is removed by
        # the next backup.
        assert staging_names(backups) == [live]
        (backups / f".tovik-copy-{dead_pid()}-3.tmp").write_bytes(b"left over")
        client = authenticated(server.port)
        names = ["n" * 250, "n" * 251, "\u00e9" * 127 + "n"]
        for name in names:
            assert ok(client, {"op": "backup", "name": name})["bytes"] == 33554432, name
        assert staging_names(backups) == [live]
    finally:
        server.stop()
    restored = tmp_path / "restored.tovik"
    assert run(["restore", str(backups / names[2]), str(restored)], env=env).returncode == 0
    assert run(["check", str(restored)], env=env).stdout == '{"ok":true}\n'


def test_backup_while_writers_run_holds_exactly_one_generation(provisioned_db, env, backups,
                                                              tmp_path):
    server = start_server(provisioned_db, env, "--backup-dir", str(backups))
    writers, acknowledged, sent = 3, {}, {}
    stop = threading.Event()

    def write(n):
        client = authenticated(server.port)
        ok(client, {"op": "use", "collection": "w"})
        i = 0
        while not stop.is_set() and i < 400:
            sent[n] = i
            ok(client, {"op": "put", "id": f"t{n}-{i:04}", "document": {"i": i}})
            acknowledged[n] = i
            i += 1
        client.close()

    try:
        admin = authenticated(server.port)
        start = ok(admin, {"op": "stats"})["generation"]
        threads = [threading.Thread(target=write, args=(n,)) for n in range(writers)]
        for t in threads:
            t.start()
        assert wait_until(lambda: len(acknowledged) == writers and min(acknowledged.values()) > 5)
        before = dict(acknowledged)
        copy = ok(admin, {"op": "backup", "name": "live"})
        stop.set()
        for t in threads:
            t.join()
    finally:
        server.stop()

    assert run(["check", str(backups / "live")], env=env).stdout == '{"ok":true}\n'
    restored = tmp_path / "restored.tovik"
    assert run(["restore", str(backups / "live"), str(restored)], env=env).returncode == 0
    scan = run(["scan", str(restored), "w", "100000"], env=env)
    ids = [json.loads(line)["id"] for line in scan.stdout.splitlines()]
    # The copy is one committed state: the generation the server reported,
    # holding of each writer's puts a prefix of what it sent, every put
    # answered before the backup was asked for included.
    stats = json.loads(run(["stats", str(backups / "live")], env=env).stdout)
    assert stats["generation"] == copy["generation"] > start
    for n in range(writers):
        mine = sorted(int(i.split("-")[1]) for i in ids if i.startswith(f"t{n}-"))
        assert mine == list(range(len(mine)))
        assert before[n] < len(mine) <= sent[n] + 1


def test_usage_offline_and_online_agree(provisioned_db, env):
    assert json.loads(run(["usage", str(provisioned_db)], env=env).stdout) == EMPTY_USAGE
    run(["put", str(provisioned_db), "orders", "a1", '{"n":1}'], env=env)
    server = start_server(provisioned_db, env)
    try:
        client = authenticated(server.port)
        for command in ({"op": "create", "kind": "warren", "name": "zoo"},
                        {"op": "navigate", "name": "/zoo"},
                        {"op": "create", "kind": "den", "name": "cats"},
                        {"op": "create", "kind": "den", "name": "empty"},
                        {"op": "navigate", "name": "cats"},
                        {"op": "put", "id": "tom", "document": {"age": 3}}):
            ok(client, command)
        online = ok(client, {"op": "usage"})
        shell = client_run(server, env, "shell", ["usage"])
        batch = client_run(server, env, "batch", ["usage"])
    finally:
        server.stop()
    assert online["records"] == 5 and [w["name"] for w in online["warrens"]] == ["default", "zoo"]
    zoo = online["warrens"][1]
    assert [(d["name"], d["documents"]) for d in zoo["dens"]] == [("cats", 1), ("empty", 0)]
    assert sum(w["bytes"] for w in online["warrens"]) == online["live_bytes"]
    assert json.loads(run(["usage", str(provisioned_db)], env=env).stdout) == online
    assert json.loads(batch.stdout)["data"] == online
    lines = shell.stdout.splitlines()
    assert re.search(r"warren/den\s+documents\s+bytes\s+share", shell.stdout)
    assert any(re.match(r"\s+zoo/cats\s+1\s+\d+\s+0\.0%$", l) for l in lines), shell.stdout
    assert "[" + "." * 40 + "] 0% of 16 MiB" in lines


def test_usage_of_many_dens_lists_the_largest_within_one_response(provisioned_db, env):
    lines = [json.dumps({"den": f"d{n:05}", "document": {"id": "x"}, "warren": "many"})
             for n in range(25_000)]
    lines.append(json.dumps({"den": "big", "document": {"id": "x", "pad": "p" * 5000},
                             "warren": "default"}))
    res = run(["import", str(provisioned_db), "--all", "-"], env=env, input="\n".join(lines) + "\n")
    assert res.returncode == 0, res.stderr
    server = start_server(provisioned_db, env)
    try:
        client = authenticated(server.port)
        online = ok(client, {"op": "usage"})
        assert ok(client, {"op": "server"})["commands"]["failed"] == 0
        shell = client_run(server, env, "shell", ["usage"])
    finally:
        server.stop()
    assert online["truncated"] is True
    assert sum(w["bytes"] for w in online["warrens"]) == online["live_bytes"]
    dens = [(w["name"], d["name"]) for w in online["warrens"] for d in w["dens"]]
    # The largest first, then equal sizes in name order.
    assert dens == [("default", "big")] + [("many", f"d{n:05}") for n in range(999)]
    assert json.loads(run(["usage", str(provisioned_db)], env=env).stdout) == online
    assert ("Truncated: only the 1000 largest dens are listed; warren bytes and the total "
            "cover every den.") in shell.stdout


def test_server_counters_move_as_commands_run(server, env):
    client = authenticated(server.port)
    before = ok(client, {"op": "server"})
    ok(client, {"op": "use", "collection": "c"})
    ok(client, {"op": "put", "id": "a", "document": {"n": 1}})
    for _ in range(3):
        ok(client, {"op": "get", "id": "a"})
    refused(client, {"op": "insert", "id": "a", "document": {}})
    after = ok(client, {"op": "server"})
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", after["started_at"])
    assert after["clients"] == {"connected": 1, "max": 16}
    assert after["commands"]["total"] - before["commands"]["total"] == 7
    assert after["commands"]["failed"] - before["commands"]["failed"] == 1
    assert after["commands"]["by_op"]["get"] == 3 and after["commands"]["by_op"]["server"] == 1
    assert after["commits"]["count"] == 1 and after["commits"]["max_ms"] > 0
    assert after["bytes_in"] > before["bytes_in"] and after["bytes_out"] > before["bytes_out"]
    assert after["log_errors"] == 0
    assert (after["max_request_bytes"], after["max_document_bytes"]) == (1048576, 262144)
    shell = client_run(server, env, "shell", ["show server"])
    assert re.search(r"^Clients: 2 connected, at most 16$", shell.stdout, re.M), shell.stdout
    assert re.search(r"^Commits: 1; p50 [\d.]+ ms", shell.stdout, re.M)


def log_lines(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


def test_access_log_holds_every_event_and_no_secret(provisioned_db, env, tmp_path):
    log = tmp_path / "access.log"
    server = start_server(provisioned_db, env, "--log", str(log), "--max-clients", "2")
    try:
        client = authenticated(server.port)
        ok(client, {"op": "use", "collection": "secret-den"})
        ok(client, {"op": "put", "id": "SECRET-ID", "document": {"card": "SECRET-DOC"}})
        ok(client, {"op": "find", "field": "card", "value": "SECRET-FILTER"})
        refused(client, {"op": "drop_empty", "kind": "den", "name": "none"})
        second = authenticated(server.port)
        busy = WireClient(server.port)
        assert busy.receive()["error"]["code"] == "server_busy"
        second.close()

        def disconnects():
            return sum(l["event"] == "disconnect" for l in log_lines(log))

        assert wait_until(lambda: disconnects() == 1)
        intruder = WireClient(server.port)
        assert not intruder.auth(password="WRONG-PASSWORD-1")["ok"]
        # Every first message that does not log in is a failed login.
        for n, first in enumerate((b"{not json", request({"op": "stats"}),
                                   encode({"command": {"op": "auth", "password": "WRONG-PASSWORD-2",
                                                       "username": "old"}, "version": 2}))):
            assert wait_until(lambda: disconnects() == 2 + n)
            # The last one's slot is freed just after its disconnect line: a
            # stranger that finds no slot yet ("busy", no disconnect) tries again.
            while True:
                stranger = WireClient(server.port)
                stranger.send_raw(frame(first))
                answer = stranger.receive()
                stranger.close()
                assert answer["ok"] is False
                if answer["error"]["code"] != "server_busy":
                    break
        client.close()
        assert wait_until(lambda: disconnects() == 6)
    finally:
        server.stop()
    lines = log_lines(log)
    assert oct(os.stat(log).st_mode & 0o777) == "0o600"
    text = log.read_text()
    for secret in (PASSWORD, "WRONG-PASSWORD", "SECRET-ID", "SECRET-DOC", "SECRET-FILTER"):
        assert secret not in text
    assert {l["event"] for l in lines} == {"connect", "auth", "command", "disconnect", "busy"}
    auths = [(l["ok"], l["user"]) for l in lines if l["event"] == "auth"]
    assert auths == [(True, "admin"), (True, "admin"), (False, "admin"), (False, ""), (False, ""),
                     (False, "old")]
    commands = [l for l in lines if l["event"] == "command"]
    assert [(c["op"], c["ok"], c.get("code")) for c in commands] == [
        ("use", True, None), ("put", True, None), ("find", True, None),
        ("drop_empty", False, "operation_failed")]
    assert all(re.fullmatch(r"127\.0\.0\.1:\d+", l["client"]) for l in lines)
    assert all(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", l["ts"]) for l in lines)


def test_server_goes_on_when_its_log_cannot_be_written(provisioned_db, env, tmp_path):
    log = tmp_path / "access.log"
    limit = 40 << 20  # above the 32 MiB database, so only the log can exceed it

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    proc = subprocess.Popen([TOVIK, "serve", str(provisioned_db), "--bind", "127.0.0.1:0", "--log",
                             str(log)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, preexec_fn=limit_file_size)
    line = proc.stdout.readline()
    server = Server(proc, "127.0.0.1", int(re.search(r":(\d+) ", line).group(1)))
    try:
        client = authenticated(server.port)
        ok(client, {"op": "use", "collection": "c"})
        # From here every append lands beyond the limit and fails.
        os.truncate(log, limit + 1)
        ok(client, {"op": "put", "id": "a", "document": {"n": 1}})
        assert ok(client, {"op": "get", "id": "a"}) == {"id": "a", "n": 1}
        # The log has a writer of its own: a lost line is counted just after its answer.
        assert wait_until(lambda: ok(client, {"op": "server"})["log_errors"] >= 2)
        assert authenticated(server.port) is not None
    finally:
        assert server.stop() == 0
    assert os.path.getsize(log) == limit + 1
