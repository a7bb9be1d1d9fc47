"""Processes killed with SIGKILL at random moments, offline and while serving:
the database file must always open and pass `tovik check`, and every put
whose success was reported must still be there. The random seed is printed
(run pytest with -s to see it) and can be replayed with TOVIK_KILL_SEED."""
import json
import os
import random
import signal
import socket
import struct
import subprocess
import threading
import time

from conftest import PASSWORD, TOVIK, run, start_server

SEED = int(os.environ.get("TOVIK_KILL_SEED", "20261208"))
DEN = "victims"


def rng_for(name):
    print(f"{name}: kill seed {SEED} (set TOVIK_KILL_SEED to replay another)")
    return random.Random(f"{SEED}-{name}")


def documents(db, env):
    """Every document of DEN as {id: document}, read offline."""
    res = run(["scan", str(db), DEN, "100000"], env=env)
    assert res.returncode == 0, res.stderr
    docs = [json.loads(line) for line in res.stdout.splitlines()]
    return {doc["id"]: doc for doc in docs}


def assert_intact(db, env, acknowledged, attempted):
    """The file opens and checks clean; every acknowledged put is there with
    its exact content, and an interrupted one is either absent or whole."""
    res = run(["check", str(db)], env=env)
    assert (res.returncode, res.stdout, res.stderr) == (0, '{"ok":true}\n', ""), res
    present = documents(db, env)
    for doc_id, doc in acknowledged.items():
        assert present.get(doc_id) == doc, f"acknowledged put {doc_id} lost"
    for doc_id, doc in present.items():
        assert doc == attempted[doc_id], f"{doc_id} holds a document never put"
    return present


def document(doc_id, rng):
    return {"id": doc_id, "n": rng.randrange(1 << 30), "pad": "x" * rng.randrange(0, 4000)}


def prefill(db, env, rng):
    """A few large documents, so that each commit rewrites a megabyte or so
    and a kill has a wide window to land inside one."""
    attempted = {}
    for i in range(10):  # one argument may not exceed 128 KiB
        doc = {"id": f"bulk{i}", "pad": "b" * 100_000}
        res = run(["put", str(db), DEN, doc["id"], json.dumps(doc)], env=env)
        assert res.returncode == 0, res.stderr
        attempted[doc["id"]] = doc
    return attempted


def test_offline_puts_killed_at_random_moments_lose_no_acknowledged_put(db, env):
    rng = rng_for("offline")
    attempted = prefill(db, env, rng)
    acknowledged = dict(attempted)
    # How long an undisturbed put takes, to spread the kills over its life.
    lifetimes = []
    for i in range(3):
        doc_id, start = f"timing{i}", time.monotonic()
        doc = document(doc_id, rng)
        assert run(["put", str(db), DEN, doc_id, json.dumps(doc)], env=env).returncode == 0
        lifetimes.append(time.monotonic() - start)
        attempted[doc_id] = acknowledged[doc_id] = doc
    lifetime = sorted(lifetimes)[1]

    killed = completed = landed = 0
    for i in range(40):
        doc_id = f"p{i}"
        doc = document(doc_id, rng)
        attempted[doc_id] = doc
        proc = subprocess.Popen([TOVIK, "put", str(db), DEN, doc_id, json.dumps(doc)], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(rng.uniform(0, lifetime * 1.2))
        proc.send_signal(signal.SIGKILL)
        out, err = proc.communicate(timeout=30)
        if proc.returncode == 0:
            assert out == '{"ok":true}\n', err
            acknowledged[doc_id] = doc
            completed += 1
        else:
            assert proc.returncode == -signal.SIGKILL, (proc.returncode, err)
            killed += 1
        present = assert_intact(db, env, acknowledged, attempted)
        landed += proc.returncode != 0 and doc_id in present
    print(f"offline: a put takes {lifetime * 1000:.0f} ms; {killed} puts killed ({landed} of them "
          f"after their commit), {completed} completed before the kill")
    # Both outcomes must really occur, or the test shows nothing.
    assert killed >= 3 and completed >= 1, (killed, completed)


class Connection:
    """A protocol client: 4-byte big-endian length, then a JSON body."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)

    def call(self, command):
        body = json.dumps({"version": 1, "command": command}).encode()
        self.sock.sendall(struct.pack(">I", len(body)) + body)
        (length,) = struct.unpack(">I", self._exact(4))
        response = json.loads(self._exact(length))
        assert response["version"] == 1, response
        return response

    def _exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("server closed the connection")
            data += chunk
        return data

    def close(self):
        self.sock.close()


def test_server_killed_at_random_moments_loses_no_acknowledged_put(provisioned_db, env):
    """Eight writers at once, so the kill also lands inside commits that
    carry the writes of several connections."""
    rng = rng_for("server")
    db = provisioned_db
    attempted = prefill(db, env, rng)
    acknowledged = dict(attempted)
    lock = threading.Lock()
    interrupted = []

    def writer(port, round_no, w, seed, ready):
        wrng = random.Random(seed)
        conn = Connection(port)
        try:
            login = conn.call({"op": "auth", "username": "admin", "password": PASSWORD})
            assert login["ok"], login
            assert conn.call({"op": "use", "collection": DEN})["ok"]
            ready.wait()
            for n in range(100_000):
                doc_id = f"s{round_no}-{w}-{n}"
                doc = document(doc_id, wrng)
                with lock:
                    attempted[doc_id] = doc
                try:
                    response = conn.call({"op": "put", "id": doc_id, "document": doc})
                except (ConnectionError, OSError, struct.error):
                    with lock:
                        interrupted.append(doc_id)
                    return
                assert response["ok"] and response["data"] == {"stored": doc_id}, response
                with lock:
                    acknowledged[doc_id] = doc
        finally:
            conn.close()

    for round_no in range(5):
        server = start_server(db, env)
        try:
            ready = threading.Barrier(9, timeout=60)
            threads = [threading.Thread(target=writer,
                                        args=(server.port, round_no, w, rng.random(), ready))
                       for w in range(8)]
            for t in threads:
                t.start()
            ready.wait()
            # The kill lands while the puts of all eight stream in.
            time.sleep(rng.uniform(0.1, 0.6))
            server.proc.kill()
            for t in threads:
                t.join(timeout=30)
        finally:
            server.proc.kill()
            server.proc.communicate(timeout=30)
        assert server.proc.returncode == -signal.SIGKILL
        assert_intact(db, env, acknowledged, attempted)
    print(f"server: {len(acknowledged)} acknowledged puts kept over 5 kills")
    assert len(interrupted) == 5 * 8
