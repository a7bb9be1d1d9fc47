"""A capacity chosen at init: databases of several sizes through every
command that touches the file, and the refusals of a bad size or a file of
the wrong length."""
import json
import os

import pytest

from conftest import PASSWORD, clean_env, provision, run, start_server
from server_util import authenticated

REFUSED = "tovik: capacity must be 1 MiB to 4 GiB in steps of 4 KiB\n"


def ok(res):
    assert res.returncode == 0, res.stderr
    return res.stdout


@pytest.mark.parametrize("size, capacity", [
    ("1MiB", 1 << 20),
    (None, 16 << 20),
    ("20484KiB", 20484 << 10),  # an odd size: 20 MiB and one 4 KiB step
])
def test_database_of_each_capacity_through_every_command(tmp_path, env, size, capacity):
    path = tmp_path / "db.tovik"
    ok(run(["init", str(path)] + (["--capacity", size] if size else []), env=env))
    assert os.path.getsize(path) == 2 * capacity
    ok(run(["put", str(path), "d", "a", '{"n":1}'], env=env))
    stats = json.loads(ok(run(["stats", str(path)], env=env)))
    assert stats["allocated_bytes"] == 2 * capacity and stats["records"] > 0
    usage = json.loads(ok(run(["usage", str(path)], env=env)))
    assert usage["capacity_bytes"] == capacity - 64

    provision(path, env)
    server = start_server(path, env)
    try:
        client = authenticated(server.port)
        assert client.call({"op": "use", "collection": "d"})["ok"]
        assert client.call({"op": "put", "id": "b", "document": {"n": 2}})["ok"]
        got = client.call({"op": "get", "id": "a"})
        assert got["ok"] and got["data"] == {"id": "a", "n": 1}, got
        client.close()
    finally:
        assert server.stop() == 0

    backup, restored = tmp_path / "copy.tovik", tmp_path / "restored.tovik"
    assert json.loads(ok(run(["backup", str(path), str(backup)], env=env)))["bytes"] == 2 * capacity
    ok(run(["restore", str(backup), str(restored)], env=env))
    assert os.path.getsize(restored) == 2 * capacity
    assert ok(run(["check", str(restored)], env=env)) == '{"ok":true}\n'
    assert json.loads(ok(run(["get", str(restored), "d", "b"], env=env))) == {"id": "b", "n": 2}


def test_a_full_small_database_refuses_with_the_capacity_message(tmp_path, env):
    path = tmp_path / "small.tovik"
    ok(run(["init", str(path), "--capacity", "1MiB"], env=env))
    text = json.dumps({"v": "x" * 100_000})
    for i in range(20):
        res = run(["put", str(path), "d", f"id{i}", text], env=env)
        if res.returncode != 0:
            break
    assert res.stderr == "tovik: configured database capacity exceeded\n"
    assert i == 10  # ten documents of 100 KB fit in 1 MiB, the eleventh does not
    assert ok(run(["check", str(path)], env=env)) == '{"ok":true}\n'


@pytest.mark.parametrize("size", [
    "", "0", "1048575", "1MB", "1mib", "1 MiB", "-1MiB", "+1MiB", "1.5MiB", "4097KiB",
    "1048577", "4294971392", "5GiB", "99999999999GiB", "MiB", "0x100000",
])
def test_every_bad_capacity_is_refused_before_anything_is_created(tmp_path, size):
    env = clean_env(tmp_path)
    path = tmp_path / "db.tovik"
    res = run(["init", str(path), "--capacity", size], env=env)
    assert (res.returncode, res.stderr) == (1, REFUSED)
    assert not path.exists()
    res = run(["init", "--capacity", size], env=env)  # the default data file too
    assert (res.returncode, res.stderr) == (1, REFUSED)
    assert not (tmp_path / "home").exists()


def test_limits_of_the_capacity_and_the_default_data_file(tmp_path):
    for size, capacity in [("1048576", 1 << 20), ("4GiB", 4 << 30), ("4096MiB", 4 << 30)]:
        path = tmp_path / f"{size}.tovik"
        ok(run(["init", "--capacity", size, str(path)], env=clean_env(tmp_path)))
        assert os.path.getsize(path) == 2 * capacity
        os.remove(path)  # sparse, but large
    env = clean_env(tmp_path, TOVIK_PASSWORD=PASSWORD)
    ok(run(["init", "--capacity", "2MiB"], env=env))
    data_file = tmp_path / "home" / ".local" / "share" / "tovik" / "instance.tovik"
    assert os.path.getsize(data_file) == 4 << 20
    assert run(["init", str(tmp_path / "x"), "--capacity"], env=env).stderr == \
        "tovik: missing option value\n"


def test_a_file_whose_length_does_not_match_its_header_is_refused_untouched(tmp_path, env):
    path = tmp_path / "db.tovik"
    ok(run(["init", str(path), "--capacity", "1MiB"], env=env))
    with open(path, "ab") as f:
        f.write(b"\0" * 4096)  # no longer twice the slot size its header records
    before = path.read_bytes()
    res = run(["check", str(path)], env=env)
    assert (res.returncode, res.stderr) == (1, "tovik: invalid input or configuration\n")
    assert path.read_bytes() == before
