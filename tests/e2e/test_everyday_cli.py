"""Everyday document operations from the command line: writes by filter,
sorted queries, distinct values and drops in batch mode and on a terminal,
and the offline tool in any warren."""
import json

import pytest

from conftest import PASSWORD, run
from shell_util import Session, shell_env
from test_line_editing import command, leave, terminal_env


def batch(server, env, text):
    return run(["batch", server.address], env={**env, "TOVIK_PASSWORD": PASSWORD}, input=text)


def answers(res):
    return [json.loads(line) for line in res.stdout.splitlines()]


@pytest.fixture
def stocked(server, env):
    """A den shop/stock of five shinies; skips where the server does not run
    the operations yet."""
    lines = ["create warren shop", "use shop", "create den stock", "use stock"]
    lines += [f'put k{i} {{"qty":{q},"kind":"{k}"}}'
              for i, (q, k) in enumerate([(3, "tea"), (1, "jam"), (5, "tea"), (2, "oil"),
                                          (4, "jam")])]
    res = batch(server, env, "\n".join(lines + ["distinct kind"]) + "\n")
    if "not available" in res.stdout:
        pytest.skip("the server does not run these operations in this build")
    assert res.returncode == 0, res.stdout + res.stderr
    return server


def test_batch_filtered_writes_sorted_queries_distinct_and_drop(stocked, env):
    res = batch(stocked, env, "\n".join([
        "use /shop/stock",
        'query {} ["qty"] sort -qty skip 1 limit 2',
        "more",
        'query {"kind":"jam"} sort ["kind","-qty"]',
        'distinct kind {"qty":{"$gt":1}}',
        'update-many {"kind":"tea"} {"$inc":{"qty":10}}',
        'delete-many {"qty":{"$lt":3}}',
        "drop den stock",
    ]) + "\n")
    assert res.returncode == 0, res.stderr
    data = [a["data"] for a in answers(res)]
    assert [d["id"] for d in data[1]["documents"]] == ["k4", "k0"]
    assert [d["id"] for d in data[2]["documents"]] == ["k3", "k1"]
    assert [d["id"] for d in data[3]["documents"]] == ["k4", "k1"]
    assert data[4]["values"] == ["jam", "oil", "tea"]
    assert (data[5]["matched"], data[5]["modified"]) == (2, 2)
    assert data[6]["deleted"] == 2
    assert data[7]["shinies"] == 3  # batch mode never asks


def test_terminal_asks_before_emptying_or_dropping_a_den(stocked, env):
    session = Session([stocked.address], terminal_env(shell_env(env)), use_pty=True)
    try:
        session.expect("tovik> ")
        command(session, "use /shop/stock\r", "Using den", prompt="stock> ")
        command(session, "delete-many {}\r", "delete all 5 shinies in stock? [y/N]",
                prompt="[y/N] ")
        command(session, "n\r", "Cancelled; nothing changed.", prompt="stock> ")
        command(session, 'delete {"qty":1}\r', "to delete by filter, use: delete-many",
                prompt="stock> ")
        command(session, "distinct kind\r", '"oil"', prompt="stock> ")
        command(session, "use ..\r", "Using warren", prompt="shop> ")
        command(session, "drop den stock\r", "drop den stock and its 5 shinies? [y/N]",
                prompt="[y/N] ")
        command(session, "y\r", "Dropped den stock and its 5 shinies", prompt="shop> ")
        leave(session)
    finally:
        session.kill()


# Each offline command with --warren on the den shop/stock: its arguments
# after the file and what its output holds.
OFFLINE = [
    (["put", "stock", "k9", '{"qty":9}'], '{"ok":true}'),
    (["get", "stock", "k1"], '"qty":1'),
    (["delete", "stock", "k9"], '{"ok":true}'),
    (["scan", "stock"], '"id":"k2"'),
    (["find", "stock", "qty=2"], '"id":"k2"'),
    (["query", "stock", "{}", "2", "--sort", "-qty"], '{"id":"k3","qty":3}\n{"id":"k2"'),
    (["query", "stock", "{}", "--sort", "qty", "--skip", "2"], '{"id":"k3","qty":3}\n'),
    (["count", "stock", "{}"], '"count":3'),
    (["distinct", "stock", "qty", '{"qty":{"$gt":1}}'], "2\n3\n"),
    (["export", "stock"], '{"id":"k1","qty":1}'),
    (["import", "stock", "-"], "Imported 1 shinies into stock"),
]


@pytest.mark.parametrize("args, expected", OFFLINE, ids=[row[0][0] for row in OFFLINE])
def test_offline_commands_in_any_warren(db, env, args, expected):
    prepared = "".join(json.dumps({"warren": "shop", "den": "stock",
                                   "document": {"id": f"k{q}", "qty": q}}) + "\n" for q in (1, 2, 3))
    assert run(["import", str(db), "--all", "-"], env=env, input=prepared).returncode == 0
    res = run([args[0], str(db), *args[1:], "--warren", "shop"], env=env,
              input='{"id":"k7","qty":7}\n')
    assert res.returncode == 0, res.stderr
    assert expected in res.stdout
    # The same den in a warren that lacks it is refused, the file untouched.
    before = db.read_bytes()
    res = run([args[0], "--warren", "barn", str(db), *args[1:]], env=env, input="")
    assert (res.returncode, res.stderr) == (1, "tovik: no such den barn/stock\n")
    assert db.read_bytes() == before
    # Without --warren, the default warren as always: no den there yet.
    if args[0] == "get":
        assert run(["get", str(db), "stock", "k1"], env=env).stdout == "null\n"


def test_offline_warrens_and_refusals(db, env):
    assert run(["put", str(db), "stock", "a", "{}"], env=env).returncode == 0
    prepared = json.dumps({"warren": "shop", "den": "d", "document": {"id": "x"}}) + "\n"
    # --all needs a database without dens: a second file.
    other = db.with_name("other.tovik")
    assert run(["init", str(other)], env=env).returncode == 0
    assert run(["import", str(other), "--all", "-"], env=env, input=prepared).returncode == 0
    assert run(["warrens", str(other)], env=env).stdout == '"shop"\n'
    assert run(["warrens", str(db)], env=env).stdout == '"default"\n'
    before = db.read_bytes()
    for args, message in [
        (["query", str(db), "stock", "{}", "--sort", "a,,b"], "empty path"),
        (["query", str(db), "stock", "{}", "--skip", "-1"], "invalid digit found in string"),
        (["query", str(db), "stock", "{}", "--sort"], "usage: tovik query"),
        (["distinct", str(db), "stock", "a..b"], "empty step in path a..b"),
        (["put", str(db), "stock", "b", "{}", "--warren"], "usage: tovik put"),
        (["export", str(db), "--warren", "shop"], "usage: tovik export"),
    ]:
        res = run(args, env=env)
        assert res.returncode == 1 and message in res.stderr, (args, res.stderr)
    assert db.read_bytes() == before
