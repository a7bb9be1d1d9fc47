"""Data in and out: the protocol's atomic `write`, offline import and export
(per den and whole database), and import and export through a server in the
shell and batch mode."""
import json
import os
import subprocess
import threading
import time

import pytest

from conftest import PASSWORD, TOVIK, provision, run, start_server
from data_util import compact, varied_documents
from offline_util import snapshot
from server_util import authenticated, failure_code
from shell_util import Session, shell_env


def lines_of(docs):
    return "".join(json.dumps(d, ensure_ascii=False) + "\n" for d in docs)


def rows(text):
    """The lines of JSON-lines text (str.splitlines would also split at U+2028)."""
    return text.split("\n")[:-1] if text.endswith("\n") else text.split("\n")


def new_db(tmp_path, env, name):
    path = tmp_path / name
    res = run(["init", str(path)], env=env)
    assert res.returncode == 0, res.stderr
    return path


def export(db, env, *args):
    res = run(["export", str(db), *args], env=env)
    assert res.returncode == 0, res.stderr
    return res.stdout


# ---- offline ------------------------------------------------------------------

def test_export_then_import_reproduces_every_document(tmp_path, env, db):
    docs = varied_documents(300)
    source = tmp_path / "in.jsonl"
    # Blank lines are skipped and the last line may lack its line feed.
    source.write_text("\n" + lines_of(docs[:150]) + "  \n" + lines_of(docs[150:]).rstrip("\n"))
    res = run(["import", str(db), "people", str(source)], env=env)
    assert (res.returncode, res.stdout, res.stderr) == (0, "Imported 300 shinies into people\n", "")
    exported = export(db, env, "people")
    lines = rows(exported)
    assert len(lines) == 300
    # The id comes first, then the other members in stored order.
    assert all(line.startswith('{"id":') for line in lines)
    first = json.loads(lines[0])
    assert list(first)[1:] == sorted(k for k in first if k != "id")

    copy = new_db(tmp_path, env, "copy.tovik")
    res = run(["import", str(copy), "people", "-"], env=env, input=exported)
    assert res.returncode == 0, res.stderr
    assert export(copy, env, "people") == exported
    for doc in docs[::37]:
        got = [run(["get", str(p), "people", doc["id"]], env=env).stdout for p in (db, copy)]
        assert got[0] == got[1] == compact(doc) + "\n"

    # --id-field both ways: exported under _id, read back from _id.
    under = export(db, env, "people", "--id-field", "_id")
    assert rows(under)[0] == lines[0].replace('{"id":', '{"_id":', 1)
    third = new_db(tmp_path, env, "third.tovik")
    res = run(["import", str(third), "people", "-", "--id-field", "_id"], env=env, input=under)
    assert res.returncode == 0, res.stderr
    assert export(third, env, "people") == exported

    # Empty input imports nothing, and says so.
    res = run(["import", str(third), "empty", "-"], env=env, input="")
    assert (res.returncode, res.stdout) == (0, "Imported 0 shinies into empty\n")


def test_every_import_failure_names_its_line_and_changes_nothing(tmp_path, env, db):
    res = run(["import", str(db), "d", "-"], env=env, input='{"id":"old","v":1}\n{"id":"x","_id":1}\n')
    assert res.returncode == 0, res.stderr
    good = '{"id":"a"}\n\n{"id":"b"}\n'
    big = json.dumps({"id": "big", "t": "x" * 262_144})
    cases = [
        (good + "{nope\n", [], "line 4: key must be a string at column 2"),
        (good + "[1]\n", [], "line 4: not a JSON object"),
        (good + '{"name":"x"}\n', [], 'line 4: no "id" member'),
        (good + '{"id":5}\n', [], 'line 4: "id" is not a string'),
        (good + '{"id":""}\n', [], 'line 4: "id" is not a valid id (empty or holding NUL)'),
        (good + '{"id":"a"}\n', [], "line 4: repeats the id of line 1"),
        (good + big + "\n", [], "line 4: document larger than 262144 bytes"),
        # Found only when the line is staged: the key its id makes.
        (good + json.dumps({"id": "i" * 1024}) + "\n", [],
         "line 4: id too long: a key holds at most 1024 bytes"),
        (good + '{"id":"old"}\n', ["--mode", "insert"], "line 4: shiny already exists"),
        (good + '{"_id":"c","id":"c"}\n', ["--id-field", "_id"],
         'line 1: no "_id" member'),
        ('{"_id":"c","id":"c"}\n', ["--id-field", "_id"],
         'line 1: member id collides with the id field "_id"'),
        (good + "\xff\n", [], None),
    ]
    before = snapshot(db)
    for text, options, message in cases:
        res = subprocess.run([TOVIK, "import", str(db), "d", "-", *options], env=env,
                             input=text.encode("utf-8", "surrogateescape") if "\xff" not in text
                             else good.encode() + b"\xff\n", capture_output=True)
        assert res.returncode == 1, text
        expected = message or "line 4: expected value at column 1"
        assert res.stderr.decode() == f"tovik: {expected}\n", text
        assert res.stdout == b""
        assert snapshot(db) == before, text
    res = run(["import", str(db), "d"], env=env)
    assert res.returncode == 1 and res.stderr.startswith("tovik: usage: tovik import")
    res = run(["import", str(db), "d", str(tmp_path / "missing.jsonl")], env=env)
    assert res.returncode == 1 and "No such file or directory" in res.stderr
    # Export refuses a member that has the id field's own name.
    res = run(["export", str(db), "d", "--id-field", "_id"], env=env)
    assert (res.returncode, res.stderr) == (1, "tovik: member _id collides with the id field\n")


def test_an_import_that_overflows_the_database_changes_nothing(tmp_path, env, db):
    blob = "x" * 250_000
    text = "".join(json.dumps({"id": f"k{n}", "t": blob}) + "\n" for n in range(70))
    # 67 records of 250,028 bytes fit the 16,777,152 bytes of a database, 68 do not.
    res = run(["import", str(db), "d", "-"], env=env, input=text)
    assert (res.returncode, res.stderr) == (
        1, "tovik: line 68: configured database capacity exceeded\n")
    # Put over present documents counts what they free: the same 67 again fit.
    res = run(["import", str(db), "d", "-"], env=env, input="".join(text.splitlines(True)[:67]))
    assert res.returncode == 0, res.stderr
    before = snapshot(db)
    res = run(["import", str(db), "d", "-"], env=env, input=text)
    assert (res.returncode, res.stderr) == (
        1, "tovik: line 68: configured database capacity exceeded\n")
    res = run(["import", str(db), "--all", "-"], env=env, input="")
    assert res.returncode == 1 and "needs a database without dens" in res.stderr
    assert snapshot(db) == before
    empty = new_db(tmp_path, env, "empty.tovik")
    whole = "".join(json.dumps({"den": "d", "document": {"id": "x" * n}, "warren": "w"}) + "\n"
                    for n in (1, 1000, 1024))
    res = run(["import", str(empty), "--all", "-"], env=env, input=whole)
    assert (res.returncode, res.stderr) == (
        1, "tovik: line 3: id too long: a key holds at most 1024 bytes\n")


def test_an_overflowing_import_stops_reading_and_stays_small(tmp_path, env, db):
    # Tiny shinies, written lazily through a pipe: the import must fail at
    # the line that overflows, long before the input ends, and hold no more
    # than a small multiple of the database's 16 MiB meanwhile.
    proc = subprocess.Popen([TOVIK, "import", str(db), "d", "-"], env=env,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines, total = 0, 20_000_000
    try:
        while lines < total:
            proc.stdin.write("".join(f'{{"id":"{n:08d}"}}\n'
                                     for n in range(lines, lines + 10_000)).encode())
            lines += 10_000
        proc.stdin.close()
    except BrokenPipeError:
        pass
    out = proc.stdout.read()
    err = proc.stderr.read().decode()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    assert (proc.returncode, out) == (1, b"")
    assert err.startswith("tovik: line ") and err.endswith(": configured database capacity exceeded\n")
    assert int(err.split()[2].rstrip(":")) < 600_000 and lines < total
    assert usage.ru_maxrss * 1024 < 12 * 16 * 2**20


def test_whole_database_export_and_import(tmp_path, env):
    src = provision(tmp_path / "src.tovik", env)
    srv = start_server(src, env)
    try:
        client = authenticated(srv.port)
        for path, ids in (("/shop/orders", ["o1", "o2"]), ("/shop/items", ["i1"]),
                          ("/zoo/pens", ["p1"])):
            assert client.call({"op": "navigate", "name": path})["ok"]
            ops = [{"op": "put", "id": i, "document": {"at": path}} for i in ids]
            assert client.call({"op": "write", "ops": ops})["ok"]
        assert client.call({"op": "use", "collection": "plain den"})["ok"]
        assert client.call({"op": "put", "id": "x", "document": {"é": [1]}})["ok"]
    finally:
        srv.stop()
    whole = export(src, env)
    assert whole.splitlines() == [
        '{"den":"items","document":{"at":"/shop/items","id":"i1"},"warren":"shop"}',
        '{"den":"orders","document":{"at":"/shop/orders","id":"o1"},"warren":"shop"}',
        '{"den":"orders","document":{"at":"/shop/orders","id":"o2"},"warren":"shop"}',
        '{"den":"pens","document":{"at":"/zoo/pens","id":"p1"},"warren":"zoo"}',
        '{"den":"plain den","document":{"id":"x","é":[1]},"warren":"default"}',
    ]
    dst = new_db(tmp_path, env, "dst.tovik")
    res = run(["import", str(dst), "--all", "-"], env=env, input=whole)
    assert (res.returncode, res.stdout) == (0, "Imported 5 shinies\n"), res.stderr
    assert export(dst, env) == whole
    # Only into a database without dens or documents; the file stays as it was.
    before = snapshot(dst)
    res = run(["import", str(dst), "--all", "-"], env=env, input="")
    assert res.returncode == 1 and "needs a database without dens" in res.stderr
    assert snapshot(dst) == before
    empty = new_db(tmp_path, env, "empty.tovik")
    before = snapshot(empty)
    res = run(["import", str(empty), "--all", "-"], env=env, input=whole + whole.splitlines()[1])
    assert (res.returncode, res.stderr) == (1, "tovik: line 6: repeats the id of line 2\n")
    assert snapshot(empty) == before


# ---- the write command ----------------------------------------------------------

@pytest.fixture
def wired(server):
    client = authenticated(server.port)
    assert client.call({"op": "use", "collection": "c"})["ok"]
    return client


def test_write_through_the_wire(wired, provisioned_db):
    # Order, visibility and all-or-nothing are the executor's (dispatch_test);
    # here: the wire forms, and that a refused write leaves the file alone.
    c = wired
    ok = c.call({"op": "write", "ops": [
        {"op": "put", "id": "a", "document": {"n": 1}},
        ["update", "a", {"m": 3}]]})
    assert ok["ok"] and ok["data"]["written"] == 2, ok
    assert c.call({"op": "stats"})["data"]["generation"] == ok["data"]["generation"]
    before = snapshot(provisioned_db)
    reply = c.call({"op": "write", "ops": [{"op": "delete", "id": "a"},
                                           {"op": "insert", "id": "b", "document": {}},
                                           {"op": "update", "id": "a", "document": {"x": 1}}]})
    assert reply["error"] == {"code": "operation_failed",
                              "message": "operation 3: shiny does not exist"}
    reply = c.call({"op": "write", "ops": [{"op": "put", "id": "w", "document": {"n": 2**64}}]})
    assert reply["error"]["message"] == "number out of range"
    assert snapshot(provisioned_db) == before
    assert c.call({"op": "get", "id": "a"})["data"] == {"id": "a", "m": 3, "n": 1}
    # A malformed operation is a malformed command: bad_frame.
    reply = c.call({"op": "write", "ops": [{"op": "delete", "id": "a", "document": {}}]})
    assert failure_code(reply) == "bad_frame"


# ---- through a server -------------------------------------------------------------

def batch(server, env, text):
    return run(["batch", server.address], env={**env, "TOVIK_PASSWORD": PASSWORD}, input=text)


def test_batch_and_shell_import_and_export(tmp_path, env, server):
    docs = varied_documents(2500)
    source = tmp_path / "in.jsonl"
    source.write_text(lines_of(docs))
    res = batch(server, env, f"use default/c\nimport {source}\n")
    assert res.returncode == 0, res.stderr
    assert res.stdout.splitlines()[1] == '{"imported":2500,"writes":3}'

    out = tmp_path / "out.jsonl"
    res = batch(server, env, f"use default/c\nexport {out}\n")
    assert res.returncode == 0, res.stderr
    assert res.stdout.splitlines()[1] == json.dumps({"exported": 2500, "path": str(out)},
                                                    separators=(",", ":"))
    server.stop()
    offline = export(tmp_path / "test.tovik", env, "c")
    assert out.read_text() == offline

    # Never overwrite: the file stays as it was, in the shell and in batch mode.
    srv = start_server(tmp_path / "test.tovik", env)
    try:
        res = batch(srv, env, f"use default/c\nexport {out}\nstats\n")
        assert res.returncode == 1
        assert res.stderr == f"tovik: {out} already exists; export never overwrites\n"
        assert out.read_text() == offline
        shell = Session([srv.address], shell_env(env))
        shell.send(f"export {out}\n")
        shell.expect("already exists; export never overwrites", stream="err")
        shell.send("use default/d\n")
        shell.send(f"import {out}\n")
        shell.expect("Imported 2500 shinies in 3 writes")
        fresh = tmp_path / "fresh.jsonl"
        shell.send(f"export {fresh}\n")
        shell.expect(f"Exported 2500 shinies to {fresh}")
        shell.send("quit\n")
        status, rest = shell.finish()
        # Nothing but the result lines when output is no terminal.
        assert status == 0 and rest["out"] == "\ntovik:default/d> Goodbye.\n"
        assert fresh.read_text() == offline
        # On a terminal a progress line is drawn, then cleared.
        tty = Session([srv.address], shell_env(env), use_pty=True)
        tty.send("use default/e\n")
        tty.send(f"import {out}\n")
        shown = tty.expect("Imported 2500 shinies in 3 writes")
        assert "\r1024 / 2500 shinies" in shown and "\r\x1b[K" in shown
        tty.send("quit\n")
        tty.finish()
    finally:
        srv.stop()


def test_import_stops_at_the_first_refused_line(tmp_path, env):
    db = provision(tmp_path / "limited.tovik", env)
    srv = start_server(db, env, "--max-document-bytes", "200")
    try:
        lines = [{"id": f"k{n:04d}"} for n in range(1500)]
        lines[1200]["t"] = "x" * 300
        source = tmp_path / "in.jsonl"
        source.write_text(lines_of(lines))
        # A regular file is checked whole against the limits the server reports first.
        res = batch(srv, env, f"use default/c\nimport {source}\n")
        assert res.returncode == 1
        assert res.stderr == "tovik: line 1201: document larger than 200 bytes; nothing was sent\n"
        # A pipe is read once: what was sent before the refused line stays.
        fifo = tmp_path / "in.fifo"
        os.mkfifo(fifo)
        feeder = threading.Thread(target=lambda: fifo.write_text(lines_of(lines)))
        feeder.start()
        res = batch(srv, env, f"use default/c\nimport {fifo}\n")
        feeder.join()
        assert res.returncode == 1
        assert res.stderr == ("tovik: line 1201: document larger than 200 bytes; "
                              "1024 lines before it are stored\n")
        # A line the client can read no better is refused before anything is sent.
        source.write_text('{"id":"z"}\n{"id":\n')
        res = batch(srv, env, f"use default/c\nimport {source}\n")
        assert res.stderr.startswith("tovik: line 2: ") and "nothing was sent" in res.stderr
        res = batch(srv, env, f"use default/c\nimport {tmp_path / 'none'}\n")
        assert res.returncode == 1 and "No such file or directory" in res.stderr
        res = batch(srv, env, "import\n")
        assert res.stderr == "tovik: usage: import <local path>\n"
    finally:
        srv.stop()
    assert json.loads(run(["get", str(db), "c", "k1023"], env=env).stdout) == {"id": "k1023"}
    assert run(["get", str(db), "c", "k1024"], env=env).stdout == "null\n"


def test_a_vanished_server_leaves_whole_writes_only(tmp_path, env, server):
    source = tmp_path / "in.jsonl"
    source.write_text(lines_of({"id": f"k{n}"} for n in range(10)))
    proc = subprocess.Popen([TOVIK, "batch", server.address], env={**env, "TOVIK_PASSWORD": PASSWORD},
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    proc.stdin.write("use default/c\n")
    proc.stdin.flush()
    assert '"ok":true' in proc.stdout.readline()
    server.stop()
    time.sleep(0.2)
    proc.stdin.write(f"import {source}\n")
    proc.stdin.close()
    assert proc.wait(timeout=30) == 1
    err = proc.stderr.read()
    assert err.startswith("tovik: line 1: ")
    assert err.endswith("; 0 lines before it are stored; lines 1-10 went in one write, "
                        "which is stored whole or not at all\n")


def test_import_keeps_within_the_servers_limits(tmp_path, env):
    db = provision(tmp_path / "small.tovik", env)
    srv = start_server(db, env, "--max-request-bytes", "4096")
    try:
        source = tmp_path / "in.jsonl"
        # A line nested deeper than a write request carries names its line,
        # and the connection stays usable.
        deep = '{"id":"deep","v":' + "[" * 123 + "]" * 123 + "}"
        source.write_text('{"id":"a"}\n' + deep + "\n")
        res = batch(srv, env, f"use default/c\nimport {source}\nstats\n")
        assert res.stderr == ("tovik: line 2: nested deeper than 123 levels, the most a request "
                              "carries; nothing was sent\n")
        client = authenticated(srv.port)
        if "max_request_bytes" not in client.call({"op": "server"})["data"]:
            pytest.skip("this server does not report its limits")
        source.write_text(lines_of({"id": f"k{n}", "t": "x" * 100} for n in range(200)))
        res = batch(srv, env, f"use default/c\nimport {source}\n")
        assert res.returncode == 0, res.stderr
        assert json.loads(res.stdout.splitlines()[1])["imported"] == 200
        source.write_text('{"id":"a"}\n' + json.dumps({"id": "big", "t": "x" * 5000}) + "\n")
        res = batch(srv, env, f"use default/c\nimport {source}\n")
        assert res.stderr == ("tovik: line 2: too large for one request of at most 4096 bytes; "
                              "nothing was sent\n")
    finally:
        srv.stop()
