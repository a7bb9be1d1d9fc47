"""query and count end to end: offline with exit statuses and the summary
line, the shell's 20-at-a-time listing with more, and batch mode's lines."""
import json

from conftest import PASSWORD, run, start_server
from shell_util import shell_env


def offline(env, *args):
    return run(list(args), env=env)


def fill(db, env, count=25):
    """Shinies s00..s<count-1> with a number, a nested member and tags."""
    for i in range(count):
        doc = {"n": i, "dims": {"w": i % 5}, "tags": ["even" if i % 2 == 0 else "odd"]}
        res = offline(env, "put", str(db), "items", f"s{i:02d}", json.dumps(doc))
        assert res.returncode == 0, res.stderr


def test_offline_query_and_count(db, env):
    fill(db, env)
    generation = json.loads(offline(env, "status", str(db)).stdout)["generation"]
    res = offline(env, "query", str(db), "items", '{"dims.w":{"$gte":4},"tags":"even"}')
    assert res.returncode == 0, res.stderr
    assert [json.loads(line)["id"] for line in res.stdout.splitlines()] == ["s04", "s14", "s24"]
    assert res.stderr == ("examined 25 records; results capped at 100, examination budget "
                          "10000\n")
    # An id range seeks: s20 is the first record examined, s23 the last.
    res = offline(env, "query", str(db), "items", '{"id":{"$gte":"s20","$lte":"s22"}}', "2")
    assert [json.loads(line)["id"] for line in res.stdout.splitlines()] == ["s20", "s21"]
    assert res.stderr.startswith("examined 2 records; results capped at 2,")
    res = offline(env, "count", str(db), "items", '{"id":{"$gte":"s20","$lte":"s22"}}')
    assert (res.returncode, res.stdout, res.stderr) == (
        0, '{"complete":true,"count":3,"examined":4}\n', "")
    res = offline(env, "count", str(db), "nothing", "{}")
    assert res.stdout == '{"complete":true,"count":0,"examined":0}\n'
    # Queries never write.
    assert json.loads(offline(env, "status", str(db)).stdout)["generation"] == generation


def test_offline_failures(db, env):
    fill(db, env, 2)
    for args, message in [
        (["query", str(db), "items", '{"n":{"$regex":"1"}}'], "unknown query operator $regex at n"),
        (["count", str(db), "items", "[1]"], "filter must be an object"),
        (["count", str(db), "items", '{"n":{"$gt":0},"n":{"$lt":0}}'],
         "repeated key n in filter at top level"),
        (["count", str(db), "items", '{"n":'], "EOF while parsing a value at line 1 column 6"),
        (["query", str(db), "items", "{}", "-1"], "invalid digit found in string"),
        (["query", str(db), "items"], "missing command argument"),
        (["count", str(db) + ".none", "items", "{}"],
         "database does not exist; run tovik init [file] first"),
    ]:
        res = offline(env, *args)
        assert (res.returncode, res.stdout, res.stderr) == (1, "", f"tovik: {message}\n"), args


def test_a_served_database_is_refused_offline(provisioned_db, env):
    server = start_server(provisioned_db, env)
    try:
        for word in ("query", "count"):
            res = offline(env, word, str(provisioned_db), "items", "{}")
            assert (res.returncode, res.stderr) == (1, "tovik: storage I/O or locking failure\n")
    finally:
        server.stop()


def shell(server, env, lines):
    return run([server.address], env=shell_env(env), input="".join(l + "\n" for l in lines))


def test_shell_lists_twenty_then_more(env, provisioned_db):
    fill(provisioned_db, env)
    server = start_server(provisioned_db, env)
    try:
        res = shell(server, env, ["more", "use /default/items", 'query {"n":{"$gte":2}} ["n"]',
                                  "more", "more", 'count {"tags":"odd"}', "query", "count",
                                  'query {} "n"', 'query {"n":{"$in":1}}',
                                  'query {"$or":[{"n":1,"n":2}]}'])
        assert res.returncode == 0, res.stderr
        out = res.stdout
        assert out.count('"id": ') == 23
        assert out.count('Type "more" for more.') == 1
        assert '{\n  "id": "s02",\n  "n": 2\n}' in out
        assert out.index('"id": "s21"') < out.index('Type "more"') < out.index('"id": "s22"')
        assert "> 12 shinies\n" in out
        assert res.stderr.splitlines() == [
            "no query to continue; run query first", "no query to continue; run query first",
            "usage: query <filter JSON> [<fields JSON array>] [sort <paths>] [skip <n>] [limit <n>]", "usage: count <filter JSON>",
            "usage: query <filter JSON> [<fields JSON array>] [sort <paths>] [skip <n>] [limit <n>]", "$in needs an array at n",
            "repeated key n in filter at $or.0"]
    finally:
        server.stop()


def test_batch_prints_answers_and_more_continues(env, provisioned_db):
    fill(provisioned_db, env)
    server = start_server(provisioned_db, env)
    try:
        res = run(["batch", server.address], env={**env, "TOVIK_PASSWORD": PASSWORD},
                  input='use /default/items\nquery {"id":{"$prefix":"s"}} []\nmore\nmore\n')
        assert res.returncode == 1
        lines = [json.loads(line) for line in res.stdout.splitlines()]
        assert [len(line["data"]["documents"]) for line in lines[1:]] == [20, 5]
        assert lines[1]["data"]["next_after"] == "s19"
        assert lines[2]["data"]["documents"][0] == {"id": "s20"}
        assert lines[2]["data"]["next_after"] is None
        assert res.stderr == "tovik: no query to continue; run query first\n"
        res = run(["batch", server.address], env={**env, "TOVIK_PASSWORD": PASSWORD},
                  input='use /default/items\ncount {"n":{"$lt":3}}\ncount 5\n')
        assert res.returncode == 1
        assert res.stdout.splitlines()[1:] == [
            '{"version":1,"ok":true,"data":{"complete":true,"count":3,"examined":25},'
            '"error":null}',
            '{"version":1,"ok":false,"data":null,"error":{"code":"operation_failed",'
            '"message":"filter must be an object"}}']
    finally:
        server.stop()


def test_more_belongs_to_the_den_of_its_query(env, provisioned_db):
    fill(provisioned_db, env)
    res = offline(env, "put", str(provisioned_db), "other", "o1", "{}")
    assert res.returncode == 0, res.stderr
    server = start_server(provisioned_db, env)
    query = "query {}"
    try:
        # Every way of moving ends the query: another den, up and back, a reconnect.
        res = shell(server, env, ["use /default/items", query, "use /default/other", "more",
                                  "use /default/items", query, "use ..", "use items", "more",
                                  query, "reconnect", "use /default/items", "more",
                                  query, "use nowhere/x/y", "more"])
        assert res.returncode == 0, res.stderr
        assert res.stderr.splitlines()[:3] == ["no query to continue; run query first"] * 3
        # A refused use leaves the query where it was: its more shows s20..s24.
        assert res.stdout.count('"id": "s24"') == 1 and '"id": "o1"' not in res.stdout
        res = run(["batch", server.address], env={**env, "TOVIK_PASSWORD": PASSWORD},
                  input=f"use /default/items\n{query}\nuse /default/other\nmore\n")
        assert res.returncode == 1
        assert len(res.stdout.splitlines()) == 3
        assert res.stderr == "tovik: no query to continue; run query first\n"
    finally:
        server.stop()
