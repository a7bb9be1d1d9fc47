"""Batch mode against a real server: one compact JSON line per response,
stopping at the first failure."""
import json

from conftest import PASSWORD, run
from shell_util import shell_env


def batch(server, env, text, **extra):
    return run(["batch", server.address], env={**env, "TOVIK_PASSWORD": PASSWORD, **extra},
               input=text)


def test_empty_input_authenticates_and_prints_nothing(server, env):
    res = batch(server, env, "")
    assert (res.returncode, res.stdout, res.stderr) == (0, "", "")


def test_lines_in_fixed_key_order_and_blank_lines_skipped(server, env):
    res = batch(server, env, "\nstats\n\n   \nuse shop/orders\nput a1 {\"b\":1,\"a\":2}\nget a1\n")
    assert res.returncode == 0, res.stderr
    lines = res.stdout.splitlines()
    assert len(lines) == 4
    assert lines[0].startswith('{"version":1,"ok":true,"data":{"generation":')
    assert lines[0].endswith(',"error":null}')
    assert list(json.loads(lines[0])) == ["version", "ok", "data", "error"]
    assert lines[1] == '{"version":1,"ok":true,"data":{"den":"orders","warren":"shop"},"error":null}'
    assert lines[2] == '{"version":1,"ok":true,"data":{"stored":"a1"},"error":null}'
    assert lines[3] == '{"version":1,"ok":true,"data":{"a":2,"b":1,"id":"a1"},"error":null}'


def test_refused_command_prints_its_line_then_stops(server, env):
    res = batch(server, env, "stats\nget a1\nuse shop\nstats\n")
    assert res.returncode == 1
    lines = res.stdout.splitlines()
    assert len(lines) == 2
    assert lines[1] == ('{"version":1,"ok":false,"data":null,"error":{"code":"operation_failed",'
                        '"message":"select a collection with use <collection>"}}')
    assert res.stderr == "tovik: batch command failed\n"


def test_quit_stops_with_success(server, env):
    res = batch(server, env, "quit\nget a1\nbogus\n")
    assert res.returncode == 0, res.stderr
    assert res.stdout == '{"version":1,"ok":true,"data":{"bye":true},"error":null}\n'


def test_syntax_errors_stop_without_sending(server, env):
    for line, message in [("get a b", "unknown command or invalid arguments; type help"),
                          ("help", "unknown command or invalid arguments; type help"),
                          ("reconnect", "unknown command or invalid arguments; type help"),
                          ("page 0", "usage: page <1-100> [JSON string cursor]")]:
        res = batch(server, env, f"stats\n{line}\nstats\n")
        assert res.returncode == 1
        assert len(res.stdout.splitlines()) == 1
        assert res.stderr == f"tovik: {message}\n"


def test_credentials(server, env):
    res = run(["batch", server.address], env=env, input="stats\n")
    assert (res.returncode, res.stderr) == (1, "tovik: batch requires TOVIK_PASSWORD\n")
    # Checked before connecting: nothing needs to listen.
    res = run(["batch", "127.0.0.1:1"], env=env, input="")
    assert (res.returncode, res.stderr) == (1, "tovik: batch requires TOVIK_PASSWORD\n")
    res = batch(server, env, "stats\n", TOVIK_PASSWORD="not the password")
    assert (res.returncode, res.stdout, res.stderr) == (1, "", "tovik: authentication failed\n")
    res = batch(server, env, "stats\n", TOVIK_USER="nobody")
    assert res.stderr == "tovik: authentication failed\n"
    res = run(["batch", f"tovik://admin@{server.address}"],
              env={**env, "TOVIK_PASSWORD": PASSWORD, "TOVIK_USER": "nobody"}, input="stats\n")
    assert res.returncode == 0, res.stderr
    res = run(["batch"], env={**env, "TOVIK_PASSWORD": PASSWORD, "TOVIK_ADDR": server.address},
              input="stats\n")
    assert res.returncode == 0, res.stderr


def test_connect_failure_and_line_limit(server, env):
    res = run(["batch", "127.0.0.1:1"], env={**env, "TOVIK_PASSWORD": PASSWORD}, input="")
    assert res.returncode == 1
    assert res.stderr.startswith(
        "tovik: cannot connect to 127.0.0.1:1; start an instance with tovik serve <database>: ")
    res = batch(server, env, "stats\n" + "x" * 1_048_576 + "\n")
    assert res.returncode == 1
    assert res.stderr == "tovik: input line exceeds 1 MiB\n"
    assert len(res.stdout.splitlines()) == 1



def test_changes_are_read_once_each_by_following_next_and_skip(server, env):
    after = json.loads(batch(server, env, "stats\n").stdout)["data"]["generation"]
    assert batch(server, env, 'use w/d\nput a {}\nput b {}\nupdate-many {} {"$set":{"n":1}}\n'
                              "delete a\n").returncode == 0
    # One at a time: an answer stops inside the update-many's commit of two.
    seen, skip = [], ""
    while True:
        res = batch(server, env, f"use w/d\nchanges {after} 1{skip}\n")
        line = res.stdout.splitlines()[1]
        assert line.startswith('{"version":1,"ok":true,"data":{"changes":['), line
        data = json.loads(line)["data"]
        if not data["changes"]:
            break
        seen += [(c["kind"], c["id"], "n" in c.get("document", {})) for c in data["changes"]]
        after, skip = data["next"], f" skip {data['skip']}" if "skip" in data else ""
    assert seen == [("put", "a", False), ("put", "b", False), ("put", "a", True),
                    ("put", "b", True), ("delete", "a", False)]
