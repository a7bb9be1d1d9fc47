"""Bounded load on loopback: 16 clients with mixed commands beside clients
that drop mid-frame or trickle their bytes. Afterwards every acknowledged put
is in the file, the file checks, and the server holds no more descriptors
and little more memory than when idle.

TOVIK_LOAD_OPS raises the commands per client (default kept small so the
suite stays fast; the full run is 2000)."""
import json
import os
import random
import threading
import time

from conftest import run, start_server
from server_util import (WireClient, authenticated, fd_count, frame, request, rss_kib,
                         wait_until)

CLIENTS = 16
OPS = int(os.environ.get("TOVIK_LOAD_OPS", "150"))
IDS_PER_CLIENT = 20
# One Argon2id verification holds 19,456 KiB; the rest is allocator slack.
RSS_ALLOWANCE_KIB = 19_456 + 8 * 1024


def well_behaved(port, index, acknowledged, errors):
    rng = random.Random(index)
    den = f"load{index}"
    try:
        client = authenticated(port)
        assert client.call({"op": "use", "collection": den})["ok"]
        for op in range(OPS):
            choice = rng.random()
            doc_id = f"k{rng.randrange(IDS_PER_CLIENT)}"
            if choice < 0.4:
                doc = {"n": op, "client": index, "pad": "p" * rng.randrange(200)}
                response = client.call({"op": "put", "id": doc_id, "document": doc})
                assert response["ok"], response
                acknowledged[(den, doc_id)] = op
            elif choice < 0.6:
                response = client.call({"op": "get", "id": doc_id})
                assert response["ok"], response
                expected = acknowledged.get((den, doc_id))
                got = response["data"]
                assert (got and got["n"]) == expected or (got is None and expected is None)
            elif choice < 0.75:
                response = client.call({"op": "find", "field": "client", "value": index})
                assert response["ok"], response
            elif choice < 0.9:
                response = client.call({"op": "page", "limit": 5, "after": None, "filter": None})
                assert response["ok"], response
            else:
                assert client.call({"op": "navigate", "name": f"/w{index}/d"})["ok"]
                assert client.call({"op": "use", "collection": den})["ok"]
        assert client.call({"op": "quit"})["ok"]
        client.close()
    except Exception as exc:  # reported by the main thread
        errors.append(f"client {index}: {exc!r}")


def dropper(port, rounds, errors):
    """Authenticates, then abandons a frame halfway."""
    try:
        for _ in range(rounds):
            client = authenticated(port)
            body = request({"op": "stats"})
            client.send_raw(frame(body)[: len(body) // 2])
            client.close()
    except Exception as exc:
        errors.append(f"dropper: {exc!r}")


def trickler(port, rounds, errors):
    """Sends whole frames one byte at a time and still gets answers."""
    try:
        client = authenticated(port)
        for _ in range(rounds):
            for byte in frame(request({"op": "stats"})):
                client.send_raw(bytes([byte]))
                time.sleep(0.002)
            assert client.receive()["ok"]
        client.close()
    except Exception as exc:
        errors.append(f"trickler: {exc!r}")


def garbage(port, rounds, errors):
    """Unauthenticated nonsense: every one must be answered or closed."""
    try:
        for i in range(rounds):
            client = WireClient(port)
            client.send_raw([b"\xff\xff\xff\xff", b"\x00\x00\x00\x03{{{", b"\x00\x00"][i % 3])
            client.close()
    except Exception as exc:
        errors.append(f"garbage: {exc!r}")


def test_mixed_load_keeps_data_and_leaks_nothing(provisioned_db, env):
    srv = start_server(provisioned_db, env, "--max-clients", "64")
    pid = srv.proc.pid
    try:
        # Idle values after one full conversation, so the first Argon2
        # working set and thread start-up are already in them.
        warm = authenticated(srv.port)
        warm.call({"op": "quit"})
        assert warm.sees_close()
        idle_fds = fd_count(pid)
        idle_rss = rss_kib(pid)

        acknowledged, errors = {}, []
        threads = [threading.Thread(target=well_behaved, args=(srv.port, i, acknowledged, errors))
                   for i in range(CLIENTS)]
        threads += [threading.Thread(target=dropper, args=(srv.port, 5, errors)),
                    threading.Thread(target=trickler, args=(srv.port, 5, errors)),
                    threading.Thread(target=garbage, args=(srv.port, 30, errors))]
        started = time.monotonic()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
        assert not any(thread.is_alive() for thread in threads)
        assert errors == []
        elapsed = time.monotonic() - started

        assert wait_until(lambda: fd_count(pid) == idle_fds, timeout=5), \
            (fd_count(pid), idle_fds)
        grown = rss_kib(pid) - idle_rss
        assert grown <= RSS_ALLOWANCE_KIB, f"RSS grew {grown} KiB"
        print(f"load: {CLIENTS}x{OPS} commands in {elapsed:.2f}s, RSS grew {grown} KiB")
    finally:
        assert srv.stop() == 0

    res = run(["check", str(provisioned_db)], env=env)
    assert res.returncode == 0, res.stderr
    for index in range(CLIENTS):
        den = f"load{index}"
        res = run(["scan", str(provisioned_db), den, "1000"], env=env)
        assert res.returncode == 0, res.stderr
        stored = {doc["id"]: doc["n"] for doc in map(json.loads, res.stdout.splitlines())}
        expected = {doc_id: n for (d, doc_id), n in acknowledged.items() if d == den}
        assert stored == expected


def test_a_flood_of_writers_is_answered_whole_in_shared_commits(provisioned_db, env):
    """64 clients writing at once: every put answered and stored, in fewer
    commits than puts, and memory bounded by the group limit."""
    srv = start_server(provisioned_db, env, "--max-clients", "64")
    try:
        clients = [authenticated(srv.port) for _ in range(64)]
        for client in clients:
            assert client.call({"op": "use", "collection": "flood"})["ok"]
        before = clients[0].call({"op": "stats"})["data"]["generation"]
        idle_rss = rss_kib(srv.proc.pid)
        errors = []

        def writer(index, client):
            try:
                for n in range(10):
                    doc = {"n": n, "pad": "f" * 2000}
                    response = client.call({"op": "put", "id": f"c{index}-{n}", "document": doc})
                    assert response["ok"] and response["data"] == {"stored": f"c{index}-{n}"}, response
            except Exception as exc:  # reported by the main thread
                errors.append(f"writer {index}: {exc!r}")

        threads = [threading.Thread(target=writer, args=pair) for pair in enumerate(clients)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
        assert errors == []
        commits = clients[0].call({"op": "stats"})["data"]["generation"] - before
        assert 0 < commits < 640
        assert rss_kib(srv.proc.pid) - idle_rss <= RSS_ALLOWANCE_KIB
    finally:
        assert srv.stop() == 0
    res = run(["scan", str(provisioned_db), "flood", "1000"], env=env)
    assert len(res.stdout.splitlines()) == 640
