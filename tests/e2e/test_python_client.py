"""The Python client library against a real server (and, for broken
answers, a scripted loopback listener)."""
import ast
import contextlib
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib

import pytest

from conftest import PASSWORD, clean_env, provision, run, start_server
from shell_util import start_server_on

PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "clients", "python")
sys.path.insert(0, PACKAGE)
import tovik  # noqa: E402


@pytest.fixture(autouse=True)
def no_credentials_in_env(monkeypatch):
    monkeypatch.delenv("TOVIK_USER", raising=False)
    monkeypatch.delenv("TOVIK_PASSWORD", raising=False)


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    """One server for the tests that keep to their own warren."""
    home = tmp_path_factory.mktemp("pyclient")
    env = clean_env(home)
    srv = start_server(provision(home / "t.tovik", env), env)
    srv.env = env
    yield srv
    srv.stop()


def den_in(client, warren, den="d"):
    client.create_warren(warren)
    client.warren(warren).create_den(den)
    return client.warren(warren).den(den)


def test_documents_round_trip_exactly(shared):
    odd = {"one": 1, "float": 1.0, "neg_zero": -0.0, "u64": 2**64 - 1, "i64": -2**63,
           "tenth": 0.1, "huge": 1e300, "tiny": 5e-324, "text": "caf\u00e9 \U0001F98A \x00\u2028",
           "nested": {"list": [1, 2.5, True, None, "\u4e2d"]}}
    with tovik.connect(shared.address, password=PASSWORD) as client:
        den = den_in(client, "caf\u00e9", "\U0001F98A")
        den.put("\u00e9t\u00e9", odd)
        exact = lambda value: json.dumps(value, sort_keys=True)  # 1 and 1.0, 0.0 and -0.0 differ
        assert exact(den.get("\u00e9t\u00e9")) == exact({"id": "\u00e9t\u00e9", **odd})
        den.insert("b", {"qty": 1})
        den.update("b", {"qty": 2, "paid": None})
        assert den.get("b") == {"id": "b", "qty": 2, "paid": None}
        assert den.delete("b") is None and den.get("b") is None
        den.delete("b")  # missing: no error
        assert client.warren("caf\u00e9").dens() == ["\U0001F98A"]
        # The protocol cannot carry these exactly: refused before sending, and
        # the connection carries on.
        for bad in [{"n": 2**64}, {"n": -2**63 - 1}, {"n": float("nan")}, {"s": "\ud800"},
                    {"set": {1}}, {"deep": json.loads("[" * 125 + "]" * 125)},
                    {"pad": "x" * (1 << 20)}]:
            with pytest.raises(tovik.InvalidInput):
                den.put("x", bad)
        den.put("x", {"deep": json.loads("[" * 124 + "]" * 124)})
        assert den.get("x")["deep"] == json.loads("[" * 124 + "]" * 124)


def test_query_count_and_atomic_writes(shared):
    with tovik.connect(shared.address, password=PASSWORD) as client:
        den = den_in(client, "q")
        before = client.stats()["generation"]
        generation = den.write([{"op": "put", "id": f"k{i:03}", "document": {"n": i, "d": {"w": i % 3}}}
                                for i in range(150)] + [{"op": "delete", "id": "k000"}])
        assert generation == before + 1 == client.stats()["generation"]
        matched = list(den.query({"d.w": 1, "n": {"$gte": 100}}, ["n"]))
        assert matched == [{"id": f"k{i:03}", "n": i} for i in range(100, 150) if i % 3 == 1]
        assert [d["id"] for d in den.query({"id": {"$prefix": "k1"}})][-1] == "k149"
        assert den.count({"d.w": {"$in": [0, 2]}}) == 99 and type(den.count({})) is int
        with pytest.raises(tovik.TovikError, match="operation 2: shiny already exists"):
            den.write([{"op": "put", "id": "new", "document": {}},
                       {"op": "insert", "id": "k001", "document": {}}])
        assert den.get("new") is None
        with pytest.raises(tovik.TovikError, match="unknown query operator"):
            den.count({"n": {"$regex": "x"}})
        # Shapes the server would take for a broken frame are refused before sending.
        for op in [("put", "a", {}), {"op": "upsert", "id": "a", "document": {}},
                   {"op": "put", "id": "a"}, {"op": "delete", "id": "a", "document": {}},
                   {"op": "put", "id": "a", "document": [1]}, {"op": "put", "id": 1, "document": {}},
                   {"op": "update", "id": "a", "document": {}, "extra": 1}]:
            with pytest.raises((tovik.InvalidInput, TypeError)):
                den.write([op])
        assert den.write([{"op": "update", "id": "k001", "document": {"n": -1}}]) == generation + 1
        assert den.get("k001")["n"] == -1


def test_count_past_the_servers_budget_counts_the_rest():
    moved = answer(True, {"warren": "w", "den": "d"})
    partial = answer(True, {"complete": False, "count": 5, "examined": 100_000})
    pages = [answer(True, {"documents": [{"id": "a"}, {"id": "b"}], "examined": 9, "next_after": "b"}),
             answer(True, {"documents": [{"id": "c"}], "examined": 9, "next_after": None})]
    received = []
    client = tovik.connect(scripted_server([LOGIN, moved, partial, *pages], received),
                           password=PASSWORD, timeout=0.5)
    assert client.warren("w").den("d").count({"n": 1}) == 3
    assert [json.loads(r)["command"].get("fields") for r in received[-2:]] == [[], []]


def test_jsonl_export_and_import_match_the_shell(shared, tmp_path):
    odd = [{"id": "a", "f": 0.1, "big": 1e300, "e": 1e16, "neg": -0.0, "u": 2**64 - 1,
            "s": "caf\u00e9 \U0001F98A \x00 \u2028 \"q\"\\", "z": {"b": [1, 2.5, None]}, "A": True},
           {"id": "\u00e9t\u00e9"}, {"id": "b", "n": -(2**63)}]
    with tovik.connect(shared.address, password=PASSWORD) as client:
        den = den_in(client, "jsonl")
        den.write([{"op": "put", "id": d["id"], "document": d} for d in odd])
        assert den.export_jsonl(tmp_path / "py.jsonl") == 3
        batch = run(["batch", shared.address], env={**shared.env, "TOVIK_PASSWORD": PASSWORD},
                    input=f"use jsonl/d\nexport {tmp_path / 'shell.jsonl'}\n")
        assert batch.returncode == 0, batch.stderr
        assert (tmp_path / "py.jsonl").read_bytes() == (tmp_path / "shell.jsonl").read_bytes()
        with pytest.raises(tovik.TovikError, match="already exists; export never overwrites"):
            den.export_jsonl(tmp_path / "shell.jsonl")
        copy = den_in(client, "jsonl", "copy")
        assert copy.import_jsonl(str(tmp_path / "py.jsonl")) == 3
        assert copy.export_jsonl(tmp_path / "again.jsonl") == 3
        assert (tmp_path / "again.jsonl").read_bytes() == (tmp_path / "py.jsonl").read_bytes()
        assert den_in(client, "jsonl", "empty").export_jsonl(tmp_path / "none.jsonl") == 0
        assert (tmp_path / "none.jsonl").read_bytes() == b""
        many = "".join(f'{{"id":"m{i:04}"}}\n' for i in range(2100)) + "\n"
        (tmp_path / "many.jsonl").write_text(many)
        assert den_in(client, "jsonl", "many").import_jsonl(tmp_path / "many.jsonl") == 2100
        assert client.warren("jsonl").den("many").count({}) == 2100


GOOD = "".join(f'{{"id":"g{i:04}"}}\n' for i in range(1030))


@pytest.mark.parametrize("text, line, stored, kind, reason", [
    ('{"id":"a"}\n\n{"id":"a"}\n', 3, 0, tovik.InvalidInput, "repeats the id of line 1"),
    ('{"id":"a"}\n[1]', 2, 0, tovik.InvalidInput, "not a JSON object"),
    ('\n{"x":1}\n', 2, 0, tovik.InvalidInput, 'no "id" member'),
    ('{"id":5}', 1, 0, tovik.InvalidInput, '"id" is not a string'),
    ('{"id":""}', 1, 0, tovik.InvalidInput, '"id" is not a valid id (empty or holding NUL)'),
    ('{"id":"a",', 1, 0, tovik.InvalidInput, None),
    ('{"id":"a","n":NaN}', 1, 0, tovik.InvalidInput, None),
    ('{"id":"a","n":18446744073709551616}', 1, 0, tovik.InvalidInput, None),
    ('{"id":"a","pad":"%s"}' % ("x" * 262_144), 1, 0, tovik.InvalidInput,
     "document larger than 262144 bytes"),
    (GOOD + '{"id":"g0001"}\n', 1031, 1024, tovik.InvalidInput, "repeats the id of line 2"),
], ids=["repeat", "array", "no-id", "number-id", "empty-id", "broken", "nan", "huge-int",
        "too-large", "after-a-write"])
def test_import_names_the_line_it_stops_at(shared, tmp_path, text, line, stored, kind, reason):
    (tmp_path / "in.jsonl").write_text(text)
    with tovik.connect(shared.address, password=PASSWORD) as client:
        den = den_in(client, "refused", f"d{zlib.crc32(text.encode())}")
        with pytest.raises(kind) as e:
            den.import_jsonl(tmp_path / "in.jsonl")
        before = "1 line before it is stored" if stored == 1 else f"{stored} lines before it are stored"
        assert (e.value.line, e.value.stored) == (line, stored)
        assert e.value.message.startswith(f"line {line}: {reason or ''}")
        assert e.value.message.endswith(f"; {before}")
        assert den.count({}) == stored


def test_import_keeps_within_the_servers_limits(tmp_path):
    status = answer(True, {"max_request_bytes": 300, "max_document_bytes": 60})
    moved = answer(True, {"warren": "w", "den": "d"})
    wrote = answer(True, {"generation": 2, "written": 1})
    received = []
    client = tovik.connect(scripted_server([LOGIN, status, moved] + [wrote] * 9, received),
                           password=PASSWORD, timeout=0.5)
    (tmp_path / "in.jsonl").write_text("".join(f'{{"id":"k{i}","pad":"{"x" * 30}"}}\n'
                                               for i in range(10)))
    assert client.warren("w").den("d").import_jsonl(tmp_path / "in.jsonl") == 10
    writes = [r for r in received if b'"op":"write"' in r]
    ops = [json.loads(r)["command"]["ops"] for r in writes]
    # Each request as full as the limit allows: the next operation would not fit.
    assert all(len(r) <= 300 for r in writes) and len(writes) > 2
    for body, following in zip(writes, ops[1:]):
        assert len(body) + 1 + len(json.dumps(following[0], separators=(",", ":"))) > 300
    ids = [op["id"] for batch in ops for op in batch]
    assert ids == [f"k{i}" for i in range(10)]
    client = tovik.connect(scripted_server([LOGIN, status]), password=PASSWORD, timeout=0.5)
    (tmp_path / "in.jsonl").write_text('{"id":"k","pad":"%s"}\n' % ("x" * 60))
    with pytest.raises(tovik.InvalidInput, match="^line 1: document larger than 60 bytes; 0 lines"):
        client.warren("w").den("d").import_jsonl(tmp_path / "in.jsonl")


def test_import_maps_server_refusals_and_losses_to_lines(tmp_path, monkeypatch):
    moved = answer(True, {"warren": "w", "den": "d"})
    status = answer(True, {})
    wrote = answer(True, {"generation": 2, "written": 2})
    full = answer(False, error={"code": "operation_failed",
                                "message": "operation 2: configured database capacity exceeded"})
    (tmp_path / "in.jsonl").write_text('{"id":"a"}\n{"id":"b"}\n\n{"id":"c"}\n{"id":"d"}\n')
    monkeypatch.setattr(tovik._transfer, "MAX_WRITE_OPS", 2)
    client = tovik.connect(scripted_server([LOGIN, status, moved, wrote, full]), password=PASSWORD)
    with pytest.raises(tovik.DatabaseFull) as e:
        client.warren("w").den("d").import_jsonl(tmp_path / "in.jsonl")
    assert e.value.message == "line 5: configured database capacity exceeded; 2 lines before it are stored"
    client = tovik.connect(scripted_server([LOGIN, status, moved, wrote, None]), password=PASSWORD)
    with pytest.raises(tovik.ConnectionLost) as e:
        client.warren("w").den("d").import_jsonl(tmp_path / "in.jsonl")
    assert re.fullmatch(r"line 4: .*; 2 lines before it are stored; lines 4-5 went in one write, "
                        r"which is stored whole or not at all", e.value.message)


def test_a_failed_export_removes_its_file(tmp_path):
    moved = answer(True, {"warren": "w", "den": "d"})
    page = answer(True, {"documents": [{"id": "a"}], "examined": 1, "next_after": "a"})
    boom = answer(False, error={"code": "operation_failed", "message": "storage I/O or locking failure"})
    client = tovik.connect(scripted_server([LOGIN, moved, page, boom]), password=PASSWORD)
    with pytest.raises(tovik.TovikError, match="storage I/O"):
        client.warren("w").den("d").export_jsonl(tmp_path / "out.jsonl")
    assert not (tmp_path / "out.jsonl").exists()


def test_namespaces_stats_and_check(shared):
    with tovik.connect(shared.address, password=PASSWORD) as client:
        den_in(client, "ns").put("a", {})
        client.warren("ns").create_den("spare")
        assert "ns" in client.warrens() and client.warren("ns").dens() == ["d", "spare"]
        client.warren("ns").drop_den("spare")
        with pytest.raises(tovik.TovikError) as e:
            client.drop_warren("ns")
        assert (type(e.value), e.value.code, e.value.message) == (
            tovik.TovikError, "operation_failed", "namespace is not empty")
        with pytest.raises(tovik.TovikError, match="no slash"):
            client.warren("ns/d").dens()
        stats = client.stats()
        assert set(stats) == {"generation", "live_bytes", "records"} and client.check() is True
        for i in range(101 - len(client.warrens())):
            client.create_warren(f"w{i:03d}")
        with pytest.raises(tovik.TovikError, match="only the first 100") as e:
            client.warrens()
        assert len(e.value.names) == 100 and e.value.code is None
        client.create_warren("empty")
        client.drop_warren("empty")


def test_check_reports_a_corrupt_file(provisioned_db, env):
    srv = start_server(provisioned_db, env)
    try:
        with tovik.connect(srv.address, password=PASSWORD) as client:
            den_in(client, "w").put("a", {"pad": "Q" * 500})
            assert client.check() is True
            with open(provisioned_db, "r+b") as f:  # flip a byte of every copy in place
                for m in list(re.finditer(b"Q{500}", f.read())):
                    f.seek(m.start() + 10)
                    f.write(b"P")
            assert client.check() is False
    finally:
        srv.stop()


def test_walks_cross_pages_and_the_byte_limit(shared):
    with tovik.connect(shared.address, password=PASSWORD) as client:
        den = den_in(client, "walk")
        for i in range(205):
            den.put(f"k{i:03d}", {"n": i, "even": i % 2 == 0, "one": 1 if i < 3 else 1.0})
        assert [d["n"] for d in den.scan()] == list(range(205))
        assert [d["n"] for d in den.find("even", True)] == list(range(0, 205, 2))
        assert [d["n"] for d in den.find("one", 1)] == [0, 1, 2]
        docs, after = den.page(100)
        assert (len(docs), after) == (100, "k099")
        assert den.page(100, after="k200")[0][0]["id"] == "k201"
        big = den_in(client, "walk", "big")
        for i in range(3):
            big.put(f"p{i}", {"pad": "x" * 200_000})
        docs, after = big.page(100)
        assert (len(docs), after) == (2, "p1")
        assert [d["id"] for d in big.scan()] == ["p0", "p1", "p2"]


def test_navigation_only_when_the_position_differs(shared, monkeypatch):
    with tovik.connect(shared.address, password=PASSWORD) as client:
        a, b = den_in(client, "nav", "a"), den_in(client, "nav", "b")
        sent = []
        real = tovik.client.encode_request
        monkeypatch.setattr(tovik.client, "encode_request",
                            lambda command, limit: sent.append(command["op"]) or real(command, limit))
        for _ in range(3):
            a.get("x")
        b.get("x")
        client.warren("nav").dens()
        a.get("x")
        assert sent == ["navigate", "get", "get", "get", "navigate", "get", "dens", "navigate", "get"]


def test_server_failures_map_to_classes(server):
    with tovik.connect(server.address, password=PASSWORD) as client:
        den = den_in(client, "w")
        den.put("a", {})
        cases = [(lambda: den.insert("a", {}), tovik.AlreadyExists, "shiny already exists"),
                 (lambda: den.update("zz", {"q": 1}), tovik.NotFound, "shiny does not exist"),
                 (lambda: den.put("a", {"id": "b"}), tovik.InvalidInput, None),
                 (lambda: den.page(0), tovik.InvalidInput, "invalid input or configuration")]
        for call, cls, message in cases:
            with pytest.raises(cls) as e:
                call()
            assert e.value.code == "operation_failed" and message in (None, e.value.message)
        with pytest.raises(tovik.DatabaseFull):
            for i in range(70):
                den.put(f"p{i}", {"pad": "x" * 262_000})
        assert den.get("a") == {"id": "a"}
    with pytest.raises(tovik.AuthenticationError) as e:
        tovik.connect(server.address, password="wrong horse battery")
    assert e.value.code == "authentication"


def test_lost_connections_and_reconnect(provisioned_db, env):
    servers = [start_server(provisioned_db, env, "--max-clients", "1",
                            "--max-request-bytes", "128")]
    try:
        client = tovik.connect(servers[0].address, password=PASSWORD)
        den = den_in(client, "w")
        with pytest.raises(tovik.ConnectionLost) as e:
            tovik.connect(servers[0].address, password=PASSWORD)
        assert e.value.code in ("server_busy", None)
        with pytest.raises(tovik.ConnectionLost) as e:
            den.put("a", {"pad": "x" * 200})  # over the server's request limit
        assert e.value.code == "bad_frame"
        with pytest.raises(tovik.ConnectionLost, match="reconnect"):
            den.get("a")
        client.reconnect()
        den.put("a", {"n": 1})
        servers[0].stop()
        with pytest.raises(tovik.ConnectionLost):
            den.get("a")
        with pytest.raises(tovik.ConnectionLost, match="Connection refused \\(os error 111\\)"):
            client.reconnect()
        servers.append(start_server_on(provisioned_db, env, servers[0].port))
        client.reconnect()
        assert den.get("a") == {"id": "a", "n": 1}
        client.close()
        client.close()
        with pytest.raises(tovik.ConnectionLost):
            den.get("a")
    finally:
        for srv in servers:
            srv.stop()


def until(check, seconds=10):
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


@pytest.fixture
def alarm():
    """Fails a test that waits too long: a watch waits for changes without end."""
    def expired(*args):
        pytest.fail("no change came within 60 seconds")
    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(60)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def test_watches_see_each_change_once_in_order(shared, monkeypatch, alarm):
    monkeypatch.setattr(tovik._watch, "LIMIT", 2)  # answers that stop inside a commit
    with tovik.connect(shared.address, password=PASSWORD) as client, \
            tovik.connect(shared.address, password=PASSWORD) as writer:
        a, b = den_in(client, "watch", "a"), den_in(client, "watch", "b")
        den_in(client, "w2")
        g = client.stats()["generation"]
        watches = [(a.watch(), ["a/x put", "a/k0 put", "a/k1 put", "a/k2 put", "a/x delete"]),
                   (a.watch(filter={"n": {"$gte": 3}}), ["a/k1 put", "a/k2 put", "a/x delete"]),
                   (client.warren("watch").watch(), ["a/x put", "a/k0 put", "a/k1 put", "a/k2 put",
                                                     "b/y put", "a/x delete"]),
                   (client.watch(), ["a/x put", "a/k0 put", "a/k1 put", "a/k2 put", "b/y put",
                                     "d/z put", "a/x delete"])]
        mine = writer.warren("watch").den("a")
        mine.put("x", {"n": 1})
        mine.write([{"op": "put", "id": f"k{i}", "document": {"n": i + 2}} for i in range(3)])
        writer.warren("watch").den("b").put("y", {})
        writer.warren("w2").den("d").put("z", {})
        mine.delete("x")
        for watch, expected in watches:
            seen = [next(watch) for _ in expected]
            assert [f"{c.den}/{c.id} {c.kind}" for c in seen] == expected
            assert [c.generation for c in seen] == sorted(c.generation for c in seen)
            assert all((c.kind == "put") == isinstance(c.document, dict) for c in seen)
        assert seen[0].document == {"id": "x", "n": 1} and seen[-1].document is None
        # Positions: exact between answers and commits; inside a commit, its start.
        watch = a.watch(after=g)
        positions = [(next(watch), (watch.after, watch.skip))[1] for _ in range(5)]
        assert positions == [(g + 1, 0), (g + 2, 1), (g + 2, 1), (g + 2, 0), (g + 5, 0)]
        resumed = a.watch(after=g + 2, skip=1)
        assert [next(resumed).id for _ in range(2)] == ["k1", "k2"]
        # A waiting watch is answered by the next commit.
        waited = []

        def put_once_waiting():
            try:
                until(lambda: writer._call({"op": "server"})["feed"]["waiting"] == 1)
                waited.append(True)
            finally:
                mine.put("late", {})
        late = threading.Thread(target=put_once_waiting)
        late.start()
        assert next(watch).id == "late"
        late.join()
        assert waited


def test_watch_refusals_and_endings_leave_no_connection(shared, alarm):
    with tovik.connect(shared.address, password=PASSWORD) as client:
        den = den_in(client, "watch_end")
        status = lambda: client._call({"op": "server"})
        oldest, current = status()["feed"]["oldest"], client.stats()["generation"]
        for after, lost in [(0, (0, oldest, None)), (current + 9, (current + 9, None, current))]:
            with pytest.raises(tovik.FeedPositionLost) as e:
                den.watch(after=after)
            assert (e.value.after, e.value.oldest, e.value.current) == lost
        with pytest.raises(tovik.TovikError, match="unknown query operator"):
            den.watch(filter={"n": {"$regex": "x"}})
        den.put("a", {})
        for change in den.watch(after=current):
            break
        assert change.id == "a"
        with client.watch() as watch:
            pass
        assert list(watch) == []
        until(lambda: status()["clients"]["connected"] == 1 and status()["feed"]["waiting"] == 0)


ADDRESSES = ["10.0.0.5:7337", "tovik://admin@10.0.0.5:7337", "[::ffff:127.0.0.1]:7337",
             "[::2]:1", "tovik://admin:pw@127.0.0.1:1", "tovik://@127.0.0.1:1",
             "127.0.0.1", "localhost:x", "127.0.0.1:70000"]


@pytest.mark.parametrize("address", ADDRESSES)
def test_addresses_are_refused_as_the_shell_refuses_them(address, env, monkeypatch):
    # Batch mode reads addresses with the shell's rules and prints the same message.
    shell = run(["batch", address], env={**env, "TOVIK_PASSWORD": PASSWORD}, input="")
    assert shell.returncode == 1 and shell.stderr.startswith("tovik: ")

    def no_socket(*args, **kwargs):
        raise AssertionError("a socket was opened")
    monkeypatch.setattr(socket, "socket", no_socket)
    with pytest.raises(tovik.TovikError) as e:
        tovik.connect(address, password=PASSWORD)
    assert str(e.value) == shell.stderr[len("tovik: "):].rstrip("\n")


def test_users_and_passwords(shared, monkeypatch):
    with pytest.raises(tovik.TovikError, match="password"):
        tovik.connect(shared.address)
    with pytest.raises(tovik.TovikError, match="names user"):
        tovik.connect(f"tovik://admin@{shared.address}", user="bob", password=PASSWORD)
    monkeypatch.setenv("TOVIK_PASSWORD", PASSWORD)
    tovik.connect(f"tovik://admin@{shared.address}", user="admin").close()
    monkeypatch.setenv("TOVIK_USER", "bob")
    with pytest.raises(tovik.AuthenticationError):
        tovik.connect(shared.address)
    tovik.connect(f"localhost:{shared.port}", user="admin").close()


def scripted_server(answers, received=None):
    """A listener that reads requests (kept in received, when given) and
    sends each scripted answer (raw bytes, or (delay, bytes); None closes)
    for one connection."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        conn, _ = listener.accept()
        with conn, listener, contextlib.suppress(OSError):  # the client may hang up first
            for answer in answers:
                head = conn.recv(4, socket.MSG_WAITALL)
                if len(head) == 4:
                    body = conn.recv(struct.unpack(">I", head)[0], socket.MSG_WAITALL)
                    if received is not None:
                        received.append(body)
                if answer is None:
                    return
                if isinstance(answer, tuple):
                    time.sleep(answer[0])
                    answer = answer[1]
                conn.sendall(answer)
            time.sleep(1)
    threading.Thread(target=serve, daemon=True).start()
    return f"127.0.0.1:{listener.getsockname()[1]}"


def framed(obj):
    body = obj if isinstance(obj, bytes) else json.dumps(obj).encode()
    return struct.pack(">I", len(body)) + body


LOGIN = framed({"version": 1, "ok": True, "data": {"authenticated": True}, "error": None})


def answer(ok, data=None, error=None, version=1):
    return framed({"version": version, "ok": ok, "data": data, "error": error})


@pytest.mark.parametrize("reply", [
    pytest.param(b"garbage!", id="garbage"),
    pytest.param(b"\xff\xff\xff\xff", id="oversized"),
    pytest.param(b"\x00\x00\x00\x00", id="empty-frame"),
    pytest.param(b"\x00\x00\x00\x64{\"ver", id="closed-mid-body"),
    pytest.param(None, id="closed"),
    pytest.param(b"", id="silent"),
    pytest.param(framed(b"{\"version\":1,\"ok\":tru"), id="bad-json"),
    pytest.param(framed(b"\xff\xfe"), id="not-utf8"),
    pytest.param(framed(b"[" * 5000), id="deep"),
    pytest.param(framed(b"{\"version\":1,\"ok\":true,\"data\":NaN,\"error\":null}"), id="nan"),
    pytest.param(answer(True, version=2), id="version"),
    pytest.param(answer(True, {"names": "x", "truncated": False}), id="wrong-shape"),
    pytest.param(answer(False, error={"code": "server_busy", "message": "connection limit reached"}),
                 id="busy"),
])
def test_broken_answers_end_in_connection_lost(reply):
    client = tovik.connect(scripted_server([LOGIN, reply]), password=PASSWORD, timeout=0.5)
    begin = time.monotonic()
    with pytest.raises(tovik.ConnectionLost):
        client.warrens()
    assert time.monotonic() - begin < 2
    with pytest.raises(tovik.ConnectionLost):
        client.stats()


def test_a_cursor_that_does_not_advance_ends_the_walk():
    moved = answer(True, {"warren": "w", "den": "d"})
    stuck = answer(True, {"documents": [{"id": "a"}], "examined": 1, "next_after": "a"})
    client = tovik.connect(scripted_server([LOGIN, moved, stuck, stuck]), password=PASSWORD)
    with pytest.raises(tovik.ConnectionLost):
        list(client.warren("w").den("d").scan())


def test_an_interrupted_call_drops_the_connection():
    """The answer to an interrupted call must not be taken for the next one's."""
    late = answer(True, {"names": ["late"], "truncated": False})
    client = tovik.connect(scripted_server([LOGIN, (0.3, late), late]), password=PASSWORD)

    def interrupt(*args):
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        with pytest.raises(KeyboardInterrupt):
            client.warrens()
    finally:
        signal.signal(signal.SIGALRM, previous)
    with pytest.raises(tovik.ConnectionLost):
        client.warrens()


def test_readme_example_runs(server, tmp_path):
    text = open(os.path.join(PACKAGE, "README.md")).read()
    code = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    expected = re.search(r"```text\n(.*?)```", text, re.S).group(1)
    assert len(code.splitlines()) <= 10
    env = {**os.environ, "PYTHONPATH": PACKAGE, "TOVIK_PASSWORD": PASSWORD}
    res = subprocess.run([sys.executable, "-c", code.replace("127.0.0.1:7337", server.address)],
                         env=env, capture_output=True, text=True, timeout=30)
    assert (res.stderr, res.stdout) == ("", expected)


def test_package_installs_and_parses_as_python_3_9(tmp_path):
    for name in os.listdir(os.path.join(PACKAGE, "tovik")) + [os.path.join("..", "_tovik_build.py")]:
        if name.endswith(".py"):
            ast.parse(open(os.path.join(PACKAGE, "tovik", name)).read(), feature_version=(3, 9))
    source = shutil.copytree(PACKAGE, tmp_path / "src", ignore=shutil.ignore_patterns("build"))
    # The README's line, in a new virtual environment that has neither wheel
    # nor a network (no index at all).
    line = re.search(r"```sh\n(python3 -m pip install [^\n]*clients/python)\n```",
                     open(os.path.join(PACKAGE, "README.md")).read()).group(1)
    subprocess.run([sys.executable, "-m", "venv", str(tmp_path / "venv")], check=True, timeout=120)
    python = str(tmp_path / "venv" / "bin" / "python3")
    env = {**os.environ, "PIP_NO_INDEX": "1", "PIP_FIND_LINKS": "", "PYTHONPATH": ""}
    res = subprocess.run([python, *line.split()[1:-1], str(source)], env=env, cwd=tmp_path,
                         capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stdout + res.stderr
    res = subprocess.run([python, "-c", "import tovik, os; print(tovik.__file__); "
                          "print(os.path.exists(os.path.join(os.path.dirname(tovik.__file__), "
                          "'py.typed')))"], env=env, capture_output=True, text=True, cwd=tmp_path)
    assert res.stdout.startswith(str(tmp_path / "venv")) and res.stdout.endswith("True\n"), res
