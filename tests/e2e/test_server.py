"""The server as a process: conversations over real sockets, the client
limit, stopping on SIGINT or SIGTERM, and start-up failures that must bind
nothing."""
import signal
import socket
import subprocess
import time

import pytest

from conftest import TOVIK, run, start_server
from server_util import (WireClient, authenticated, failure_code, free_port, frame,
                         wait_until)


def stop_and_wait(srv, timeout=5, signo=signal.SIGINT):
    """Sends signo; returns (seconds until exit, stdout rest, stderr)."""
    started = time.monotonic()
    srv.proc.send_signal(signo)
    out, err = srv.proc.communicate(timeout=timeout)
    return time.monotonic() - started, out, err


def test_authenticated_session_runs_commands(server):
    client = WireClient(server.port)
    assert client.auth() == {"version": 1, "ok": True, "data": {"authenticated": True},
                             "error": None}
    assert client.call({"op": "use", "collection": "orders"})["data"] == {"collection": "orders"}
    assert client.call({"op": "put", "id": "a1", "document": {"total": 3, "x": "é"}})["ok"]
    assert client.call({"op": "get", "id": "a1"})["data"] == {"id": "a1", "total": 3, "x": "é"}
    found = client.call({"op": "find", "field": "total", "value": 3})["data"]
    assert [d["id"] for d in found["documents"]] == ["a1"]
    page = client.call({"op": "page", "limit": 10, "after": None, "filter": None})["data"]
    assert page["documents"] == [{"id": "a1", "total": 3, "x": "é"}]
    missing = client.call({"op": "use", "collection": ""})
    assert failure_code(missing) == "operation_failed"
    # An integer no 64-bit kind holds is refused, not stored rounded.
    big = client.call({"op": "put", "id": "a1", "document": {"n": 123456789012345678901234567890}})
    assert big["error"] == {"code": "operation_failed", "message": "number out of range"}
    # The session survives a failed command.
    assert client.call({"op": "get", "id": "a1"})["data"] == {"id": "a1", "total": 3, "x": "é"}
    assert client.call({"op": "quit"})["data"] == {"bye": True}
    assert client.sees_close()


@pytest.mark.parametrize("username,password", [
    ("admin", "wrong password here"),
    ("Admin", "correct horse battery"),
])
def test_wrong_credentials_are_refused_and_closed(server, username, password):
    client = WireClient(server.port)
    response = client.auth(username, password)
    assert response == {"version": 1, "ok": False, "data": None,
                        "error": {"code": "authentication", "message": "authentication failed"}}
    assert client.sees_close()


def test_bad_first_frames_are_answered_then_closed(server):
    cases = [
        (frame(b'{"command":{"op":"warrens"},"version":1}'), "authentication"),
        (frame(b'{"command":{"op":"auth","password":"x","username":"y"},"version":2}'), "version"),
        (frame(b"{]"), "bad_frame"),
        (b"\x00\x00\x00\x00", "bad_frame"),
        (b"\x00\x00\x20\x01", "bad_frame"),  # 8,193 announced: refused on the prefix alone
    ]
    for data, code in cases:
        client = WireClient(server.port)
        client.send_raw(data)
        assert failure_code(client.receive()) == code, data
        assert client.sees_close(), data


def test_client_limit_refuses_before_reading_and_frees_slots(provisioned_db, env):
    srv = start_server(provisioned_db, env, "--max-clients", "1")
    try:
        first = authenticated(srv.port)
        busy = WireClient(srv.port)
        # Nothing was sent: the refusal comes unprompted.
        assert busy.receive() == {"version": 1, "ok": False, "data": None, "error": {
            "code": "server_busy", "message": "connection limit reached"}}
        assert busy.sees_close()

        # The close after quit comes once the slot is free again.
        assert first.call({"op": "quit"})["ok"]
        assert first.sees_close()
        second = authenticated(srv.port)

        # A client that vanishes frees its slot as well.
        second.close()

        def accepted():
            client = WireClient(srv.port)
            ok = (client.auth() or {}).get("ok", False)
            client.close()
            return ok
        assert wait_until(accepted, timeout=5, step=0.05)
    finally:
        srv.stop()


# SIGTERM is how service managers stop a process: it must stop as Ctrl+C does.
@pytest.mark.parametrize("signo", [signal.SIGINT, signal.SIGTERM], ids=["sigint", "sigterm"])
def test_stop_signal_with_idle_clients_stops_cleanly(server, provisioned_db, env, signo):
    a = authenticated(server.port)
    b = authenticated(server.port)
    assert a.call({"op": "use", "collection": "orders"})["ok"]
    assert a.call({"op": "put", "id": "a1", "document": {"n": 1}})["ok"]
    elapsed, out, err = stop_and_wait(server, signo=signo)
    assert server.proc.returncode == 0, err
    assert out == "Tovik stopped.\n"
    assert elapsed < 1.5
    assert a.sees_close(1) and b.sees_close(1)
    checked = run(["check", str(provisioned_db)], env=env)
    assert checked.stdout == '{"ok":true}\n', checked.stderr


def test_sigint_before_any_client_stops_at_once(server):
    elapsed, out, _ = stop_and_wait(server)
    assert server.proc.returncode == 0
    assert out == "Tovik stopped.\n"
    # The accept loop looks at the flag every 20 ms.
    assert elapsed < 0.5


def test_sessions_have_their_own_position_and_share_commits(server):
    a = authenticated(server.port)
    b = authenticated(server.port)
    assert a.call({"op": "navigate", "name": "/shop/orders"})["ok"]
    assert b.call({"op": "navigate", "name": "shop"})["data"] == {"warren": "shop", "den": None}
    assert a.call({"op": "put", "id": "o1", "document": {"n": 1}})["ok"]
    # b stands in the warren only: document commands need a den.
    assert b.call({"op": "get", "id": "o1"})["error"]["message"] == \
        "select a collection with use <collection>"
    assert b.call({"op": "navigate", "name": "orders"})["ok"]
    assert b.call({"op": "get", "id": "o1"})["data"] == {"id": "o1", "n": 1}
    assert b.call({"op": "put", "id": "o2", "document": {}})["ok"]
    assert a.call({"op": "get", "id": "o2"})["data"] == {"id": "o2"}


def test_update_operators_through_update_and_write(server):
    client = authenticated(server.port)
    assert client.call({"op": "navigate", "name": "/shop/orders"})["ok"]
    assert client.call({"op": "put", "id": "o1", "document": {"n": 1, "tags": ["a"]}})["ok"]
    fields = {"$inc": {"n": 2}, "$push": {"tags": "b"}}
    assert client.call({"op": "update", "id": "o1", "fields": fields})["data"] == {"updated": "o1"}
    ops = [{"op": "update", "id": "o1", "document": {"$pull": {"tags": "a"}, "$set": {"box.w": 3}}},
           {"op": "update", "id": "o1", "document": {"$rename": {"box": "crate"}}}]
    assert client.call({"op": "write", "ops": ops})["ok"]
    after = {"crate": {"w": 3}, "id": "o1", "n": 3, "tags": ["b"]}
    assert client.call({"op": "get", "id": "o1"})["data"] == after
    assert client.call({"op": "put", "id": "o2", "document": {"n": 18446744073709551615}})["ok"]
    generation = client.call({"op": "stats"})["data"]["generation"]
    # Refusals name the operator and the path; nothing changes.
    ops = [{"op": "update", "id": "o1", "document": {"$set": {"x": 1}}},
           {"op": "update", "id": "o1", "document": {"$inc": {"tags": 1}}}]
    assert client.call({"op": "write", "ops": ops})["error"]["message"] == \
        "operation 2: $inc needs a number at tags"
    for id, fields, message in [
            ("o1", {"$set": {"id": "x"}}, "cannot update id"),
            ("o1", {"$inc": {"n": 1}, "n": 2}, "cannot mix operators and fields in update"),
            ("o1", {"$inc": {"n": 123456789012345678901234567890}}, "number out of range"),
            ("o2", {"$inc": {"n": 1}}, "$inc: number out of range at n")]:
        response = client.call({"op": "update", "id": id, "fields": fields})
        assert response["error"] == {"code": "operation_failed", "message": message}
    assert client.call({"op": "stats"})["data"]["generation"] == generation
    assert client.call({"op": "get", "id": "o1"})["data"] == after


def test_second_server_on_the_same_file_fails_and_binds_nothing(server, provisioned_db, env):
    port = free_port()
    res = run(["serve", str(provisioned_db), "--bind", f"127.0.0.1:{port}"], env=env, timeout=10)
    assert res.returncode == 1
    assert "storage I/O or locking failure" in res.stderr
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=2)
    # The first server is unaffected.
    authenticated(server.port).close()


def test_address_in_use_is_the_systems_error(provisioned_db, env):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        res = run(["serve", str(provisioned_db), "--bind", f"127.0.0.1:{port}"], env=env,
                  timeout=10)
    assert res.returncode == 1
    assert "Address already in use (os error 98)" in res.stderr
    assert res.stdout == ""


def test_document_limit_applies_to_writes_not_to_stored_documents(provisioned_db, env):
    big = '{"text":"' + "b" * 500 + '"}'
    assert run(["put", str(provisioned_db), "c", "big", big], env=env).returncode == 0
    srv = start_server(provisioned_db, env, "--max-document-bytes", "64")
    try:
        client = authenticated(srv.port)
        assert client.call({"op": "use", "collection": "c"})["ok"]
        assert client.call({"op": "get", "id": "big"})["data"]["text"] == "b" * 500
        assert client.call({"op": "check"})["data"] == {"valid": True}
        refused = client.call({"op": "put", "id": "n", "document": {"t": "x" * 100}})
        assert refused["error"] == {"code": "operation_failed",
                                    "message": "invalid input or configuration"}
        assert client.call({"op": "put", "id": "n", "document": {"t": "x" * 10}})["ok"]
    finally:
        srv.stop()


def test_stalled_and_broken_clients_do_not_stall_others(server):
    stalled = WireClient(server.port)
    stalled.send_raw(b"\x00\x00\x00\x40{")  # half a first frame, then silence
    vanished = WireClient(server.port)
    vanished.send_raw(b"\x00\x00")
    vanished.close()
    client = authenticated(server.port)
    started = time.monotonic()
    for i in range(20):
        assert client.call({"op": "stats"})["ok"]
    assert time.monotonic() - started < 5
    stalled.close()
