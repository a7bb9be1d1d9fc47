"""Filtered writes, sorted and skipped queries, distinct values and drop with
contents over the wire, and the same calls through the Python client."""
import json
import os
import sys

import pytest

from conftest import PASSWORD, clean_env, provision, start_server
from server_util import authenticated, frame

PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "clients", "python")
sys.path.insert(0, PACKAGE)
import tovik  # noqa: E402


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    home = tmp_path_factory.mktemp("everyday")
    env = clean_env(home)
    srv = start_server(provision(home / "e.tovik", env), env)
    yield srv
    srv.stop()


class Session:
    """One authenticated connection with verbs for answers."""

    def __init__(self, port):
        self.wire = authenticated(port)

    def answer(self, command, raw=None):
        if raw is None:
            return self.wire.call(command)
        self.wire.send_raw(frame(raw.encode()))
        return self.wire.receive()

    def ok(self, command, raw=None):
        reply = self.answer(command, raw)
        assert reply["ok"], (command or raw, reply)
        return reply["data"]

    def refused(self, command, raw=None):
        reply = self.answer(command, raw)
        assert not reply["ok"], (command or raw, reply)
        assert reply["error"]["code"] == "operation_failed", reply
        return reply["error"]["message"]

    def generation(self):
        return self.ok({"op": "stats"})["generation"]

    def documents(self):
        """Every shiny of the current den in id order."""
        return self.ok({"op": "query", "filter": {}, "limit": 100})["documents"]

    def fill(self, den, docs):
        self.ok({"op": "use", "collection": den})
        self.ok({"op": "delete_many", "filter": {}})
        ops = [{"op": "put", "id": i, "document": d} for i, d in docs.items()]
        for start in range(0, len(ops), 1024):
            self.ok({"op": "write", "ops": ops[start:start + 1024]})


@pytest.fixture
def session(served):
    s = Session(served.port)
    yield s
    s.wire.close()


# Each row: the stored shiny, the update, and the shiny after it or the
# refusal, and whether update_many refuses it per shiny ("document a: ") or
# before reading any.
OPERATOR_ROWS = [
    ({"n": 1, "t": ["x"]}, {"$inc": {"n": 2}, "$push": {"t": "y"}, "$set": {"o.p": 1}},
     {"n": 3, "t": ["x", "y"], "o": {"p": 1}}, None),
    ({"n": 1, "o": {"p": 1, "q": 2}}, {"$unset": {"o.p": ""}, "$rename": {"n": "m"}},
     {"m": 1, "o": {"q": 2}}, None),
    ({"t": [1, 2, 1]}, {"$pull": {"t": 1}, "$addToSet": {"u": 3}}, {"t": [2], "u": [3]}, None),
    ({"n": 1}, {"m": 2}, {"n": 1, "m": 2}, None),
    ({"n": "x"}, {"$inc": {"n": 1}}, "$inc needs a number at n", "each"),
    ({"t": {}}, {"$push": {"t": 1}}, "$push needs an array at t", "each"),
    ({"n": 1}, {"$set": {"n": 2}, "m": 1}, "cannot mix operators and fields in update", "whole"),
    ({"n": 1}, {"$set": {"id": "b"}}, "cannot update id", "whole"),
    ({"n": 1}, {"$foo": {"n": 1}}, "unknown update operator $foo", "whole"),
]


@pytest.mark.parametrize("before, update, after, refusal", OPERATOR_ROWS)
def test_update_operators_through_update_and_update_many(session, before, update, after,
                                                         refusal):
    session.fill("ops", {"a": before, "b": before})
    generation = session.generation()
    single = session.answer({"op": "update", "id": "a", "fields": update})
    many = session.answer({"op": "update_many", "filter": {"id": "b"}, "update": update})
    if refusal is None:
        assert single["ok"] and many["data"] == {"generation": generation + 2, "matched": 1,
                                                  "modified": 1}
        assert session.documents() == [{"id": "a", **after}, {"id": "b", **after}]
    else:
        assert single["error"]["message"] == after
        prefix = "document b: " if refusal == "each" else ""
        assert many["error"]["message"] == prefix + after
        assert session.generation() == generation
        assert session.documents() == [{"id": "a", **before}, {"id": "b", **before}]


def test_filtered_writes_are_all_or_nothing(session):
    docs = {f"k{i:04}": {"n": i, "g": i % 3} for i in range(1500)}
    docs["k0700"] = {"n": "seven hundred", "g": 1}
    session.fill("bulk", docs)
    generation = session.generation()
    # One shiny in the middle fails: nothing of the other 499 is stored.
    assert session.refused({"op": "update_many", "filter": {"g": 1},
                            "update": {"$inc": {"n": 1}}}) == \
        "document k0700: $inc needs a number at n"
    assert session.generation() == generation
    assert session.ok({"op": "get", "id": "k0001"}) == {"id": "k0001", "n": 1, "g": 1}
    # More than 1,024 in one commit.
    assert session.ok({"op": "update_many", "filter": {"g": {"$in": [0, 2]}},
                       "update": {"$set": {"seen": True}}}) == \
        {"generation": generation + 1, "matched": 1000, "modified": 1000}
    # Already so, or nothing matched: success, no commit.
    commits = session.ok({"op": "server"})["commits"]["count"]
    for command, data in [
        ({"op": "update_many", "filter": {"g": 0}, "update": {"seen": True}},
         {"generation": generation + 1, "matched": 500, "modified": 0}),
        ({"op": "update_many", "filter": {"g": 9}, "update": {"$set": {"x": 1}}},
         {"generation": generation + 1, "matched": 0, "modified": 0}),
        ({"op": "delete_many", "filter": {"n": {"$gt": 5000}}},
         {"deleted": 0, "generation": generation + 1}),
    ]:
        assert session.ok(command) == data
    assert session.ok({"op": "server"})["commits"]["count"] == commits
    assert session.ok({"op": "delete_many", "filter": {"seen": True}}) == \
        {"deleted": 1000, "generation": generation + 2}
    assert session.ok({"op": "count", "filter": {}})["count"] == 500
    # Refusals name the field's problem and change nothing.
    for command, raw, message in [
        (None, '{"version":1,"command":{"op":"delete_many","filter":{"g":1,"g":2}}}',
         "repeated key g in filter at top level"),
        (None, '{"version":1,"command":{"op":"update_many","filter":{},'
               '"update":{"$set":{"n":123456789012345678901}}}}', "number out of range"),
        ({"op": "update_many", "filter": [], "update": {"n": 1}}, None,
         "filter must be an object"),
        ({"op": "delete_many", "filter": {"n": {"$near": 1}}}, None,
         "unknown query operator $near at n"),
        ({"op": "update_many", "filter": {}, "update": {}}, None,
         "invalid input or configuration"),
    ]:
        assert session.refused(command, raw) == message
    assert session.generation() == generation + 2
    session.ok({"op": "navigate", "name": "/"})
    assert session.refused({"op": "delete_many", "filter": {}}) == \
        "select a collection with use <collection>"


# Ids in the order of {"v": ...} ascending: missing and null (ties by id),
# numbers of both kinds, strings by bytes, objects, arrays, booleans.
KINDS = {"a": {}, "b": {"v": None}, "c": {"v": -2}, "d": {"v": 1.5}, "e": {"v": 1},
         "f": {"v": 1.0}, "g": {"v": "B"}, "h": {"v": "a"}, "i": {"v": {"x": 1}},
         "j": {"v": [0]}, "k": {"v": False}, "l": {"v": True}}
ASCENDING = ["a", "b", "c", "e", "f", "d", "g", "h", "i", "j", "k", "l"]


def ids(page):
    return [d["id"] for d in page["documents"]]


def test_sort_orders_kinds_ties_descending_and_skip(session):
    session.fill("kinds", KINDS)
    query = {"op": "query", "filter": {}, "fields": [], "limit": 100}
    assert ids(session.ok({**query, "sort": ["v"]})) == ASCENDING
    # Descending reverses the values, never the id tie-break.
    assert ids(session.ok({**query, "sort": ["-v"]})) == \
        ["l", "k", "j", "i", "h", "g", "d", "e", "f", "c", "a", "b"]
    assert ids(session.ok({**query, "sort": ["v"], "skip": 9, "limit": 2})) == ["j", "k"]
    assert ids(session.ok({**query, "sort": ["v"], "skip": 12})) == []
    # Unsorted skip counts matches in id order; next_after stays an id.
    page = session.ok({**query, "filter": {"v": {"$exists": True}}, "skip": 3, "limit": 2})
    assert (ids(page), page["next_after"]) == (["e", "f"], "f")
    assert ids(session.ok({**query, "after": "f", "skip": 3, "limit": 1})) == ["g"]
    # Two paths, and paths into objects.
    session.fill("two", {"p": {"g": 1, "n": {"m": 1}}, "q": {"g": 0, "n": {"m": 5}},
                         "r": {"g": 1, "n": {"m": 3}}, "s": {"g": 0}})
    assert ids(session.ok({**query, "sort": ["g", "-n.m"]})) == ["q", "s", "r", "p"]
    # The old array form, without sort and skip, still reads.
    assert session.ok(None, raw='{"version":1,"command":["query",{},[],2,"p"]}')[
        "documents"] == [{"id": "q"}, {"id": "r"}]
    generation = session.generation()
    for extra, message in [
        ({"sort": []}, "sort needs at least one path"),
        ({"sort": list("abcdefghi")}, "sort takes at most 8 paths"),
        ({"sort": ["n..m"]}, "empty step in path n..m"),
        ({"sort": ["-"]}, "empty path"),
        ({"skip": 1000001}, "skip must be between 0 and 1000000"),
        ({"sort": ["g"], "limit": 101}, "limit must be between 1 and 100"),
        ({"sort": ["g"], "after": "not a cursor"}, "invalid cursor"),
        ({"sort": ["g"], "after": "q"}, "invalid cursor"),
    ]:
        assert session.refused({**query, **extra}) == message, extra
    assert session.generation() == generation


def test_cursor_pages_survive_puts_and_deletes_between_them(served, session):
    docs = {f"d{i:03}": {"n": (i * 37) % 50} for i in range(120)}
    session.fill("moving", docs)
    other = Session(served.port)
    other.ok({"op": "use", "collection": "moving"})
    unchanged = set(docs)
    seen, after, step = [], None, 0
    while True:
        command = {"op": "query", "filter": {}, "fields": ["n"], "sort": ["-n"], "limit": 7}
        page = session.ok({**command, "after": after} if after else command)
        seen += ids(page)
        after = page["next_after"]
        if after is None:
            break
        # Between pages: new shinies everywhere in the order, and deletes of
        # the shiny the cursor names and of shinies still to come.
        step += 1
        other.ok({"op": "put", "id": f"new{step:03}", "document": {"n": step % 50}})
        for gone in (seen[-1], f"d{(step * 7) % 120:03}"):
            other.ok({"op": "delete", "id": gone})
            unchanged.discard(gone)
    other.wire.close()
    assert len(seen) == len(set(seen)), "a shiny came twice"
    assert unchanged <= set(seen), sorted(unchanged - set(seen))


def test_distinct_values(session):
    session.fill("tags", {
        "a": {"t": ["x", "y"], "n": 1, "o": [{"p": 2}, {"p": 3}]},
        "b": {"t": "y", "n": 1.0, "o": {"p": 2}},
        "c": {"t": [], "n": None},
        "d": {"t": [["x"]], "n": 2},
    })
    for path, filter, values in [
        ("t", None, ["x", "y", ["x"]]),
        ("n", None, [None, 1, 1.0, 2]),
        ("o.p", None, [2, 3]),
        ("n", {"t": "y"}, [1, 1.0]),
        ("missing", None, []),
    ]:
        command = {"op": "distinct", "path": path}
        if filter is not None:
            command["filter"] = filter
        data = session.ok(command)
        assert data == {"truncated": False, "values": values}, path
        assert json.dumps(data["values"]) == json.dumps(values), path  # 1 and 1.0 apart
    assert session.ok({"op": "distinct", "path": "n", "filter": None})["values"] == \
        [None, 1, 1.0, 2]
    session.fill("many", {f"m{i:04}": {"v": i} for i in range(1001)})
    data = session.ok({"op": "distinct", "path": "v"})
    assert data["truncated"] is True and data["values"] == list(range(1000))
    for command, message in [
        ({"op": "distinct", "path": ""}, "empty path"),
        ({"op": "distinct", "path": "v", "filter": 3}, "filter must be an object"),
    ]:
        assert session.refused(command) == message


def test_drop_with_contents_moves_the_session(session):
    drops = session.ok({"op": "server"})["commands"]["by_op"].get("drop", 0)
    session.ok({"op": "create", "kind": "warren", "name": "gone"})
    session.ok({"op": "navigate", "name": "gone"})
    session.ok({"op": "create", "kind": "den", "name": "empty"})
    for den, count in [("d1", 3), ("d2", 2)]:
        session.ok({"op": "navigate", "name": f"/gone/{den}"})
        session.ok({"op": "write", "ops": [{"op": "put", "id": f"s{i}", "document": {}}
                                           for i in range(count)]})
    generation = session.generation()
    assert session.ok({"op": "drop", "kind": "den", "name": "d2"}) == \
        {"dropped": "d2", "shinies": 2}
    assert session.refused({"op": "get", "id": "s0"}) == \
        "select a collection with use <collection>"
    assert session.ok({"op": "navigate", "name": ".."}) == {"den": None, "warren": None}
    for command, message in [
        ({"op": "drop", "kind": "den", "name": "d1"}, "select a warren first"),
        ({"op": "drop", "kind": "warren", "name": "nowhere"}, "namespace does not exist"),
        ({"op": "drop", "kind": "warren", "name": "a/b"}, "invalid namespace name"),
    ]:
        assert session.refused(command) == message
    session.ok({"op": "navigate", "name": "/gone/d1"})
    assert session.ok({"op": "drop", "kind": "warren", "name": "gone"}) == \
        {"dropped": "gone", "shinies": 3}
    assert session.generation() == generation + 2
    assert session.refused({"op": "dens"}) == "select a warren with use <name>"
    assert "gone" not in session.ok({"op": "warrens"})["names"]
    # The server's counters know the new commands; only real commits count.
    figures = session.ok({"op": "server"})
    assert figures["commands"]["by_op"]["drop"] == drops + 5


def test_python_client(served):
    with tovik.connect(served.address, password=PASSWORD) as client:
        client.create_warren("py")
        den = client.warren("py").den("d")
        den.write([{"op": "put", "id": f"p{i:03}", "document": {"n": i % 7, "t": [i % 2]}}
                   for i in range(250)])
        assert den.update_many({"n": 0}, {"$set": {"zero": True}}) == (36, 36)
        assert den.update_many({"n": 0}, {"zero": True}) == (36, 0)
        with pytest.raises(tovik.TovikError, match="document p001: \\$push needs an array at n"):
            den.update_many({"n": {"$gt": 0}}, {"$push": {"n": 1}})
        # Sorted across pages, skipped, limited; the old positional form stays.
        top = list(den.query({}, ["n"], sort=["-n", "id"], skip=5, limit=150))
        assert len(top) == 150
        everything = sorted(((d["n"], d["id"]) for d in den.query({}, ["n"])),
                            key=lambda pair: (-pair[0], pair[1]))
        assert [(d["n"], d["id"]) for d in top] == everything[5:155]
        assert [d["id"] for d in den.query({"n": 3}, [], skip=30)] == [f"p{i}" for i in range(213, 250, 7)]
        assert list(den.query({}, limit=0)) == []
        values = den.distinct("t")
        assert values == [0, 1] and values.truncated is False
        assert den.distinct("n", {"t": 1}) == list(range(7))
        assert den.delete_many({"n": {"$gte": 5}}) == 70
        assert den.count({}) == 180
        with pytest.raises(tovik.InvalidInput):
            list(den.query({}, skip=-1))
        with pytest.raises(tovik.TovikError, match="sort takes at most 8 paths"):
            list(den.query({}, sort=list("abcdefghi")))
        # Drops with contents; the position is found again afterwards.
        assert client.warren("py").drop_den("d", contents=True) == 180
        assert den.count({}) == 0
        den.put("again", {})
        client.warren("py").create_den("spare")
        assert client.warren("py").drop_den("spare") is None
        assert client.drop_warren("py", contents=True) == 1
        assert "py" not in client.warrens() and den.get("again") is None
