"""Filtered writes, sorted and skipped queries, distinct values and drop with
contents over the wire, and the same calls through the Python client."""
import os
import sys

import pytest

from conftest import PASSWORD, clean_env, provision, start_server
from server_util import authenticated, frame

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "clients", "python"))
import tovik  # noqa: E402


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    home = tmp_path_factory.mktemp("everyday")
    env = clean_env(home)
    srv = start_server(provision(home / "e.tovik", env), env)
    yield srv
    srv.stop()


@pytest.fixture
def wire(served):
    client = authenticated(served.port)
    yield client
    client.close()


def call(wire, command):
    """The data of a success, or the message of a failure."""
    if isinstance(command, str):
        wire.send_raw(frame(command.encode()))
        reply = wire.receive()
    else:
        reply = wire.call(command)
    return reply["data"] if reply["ok"] else reply["error"]["message"]


def fill(wire, den, docs):
    call(wire, {"op": "use", "collection": den})
    call(wire, {"op": "delete_many", "filter": {}})
    ops = [{"op": "put", "id": i, "document": d} for i, d in docs.items()]
    for start in range(0, len(ops), 1024):
        assert "generation" in call(wire, {"op": "write", "ops": ops[start:start + 1024]})


def state(wire):
    return (call(wire, {"op": "stats"})["generation"],
            call(wire, {"op": "query", "filter": {}, "limit": 100})["documents"])


# The stored shiny, the update, and the result or the refusal, which
# update_many gives per shiny ("document b: ...") or before reading any.
@pytest.mark.parametrize("before, update, after, per_shiny", [
    ({"n": 1, "t": [1, 2, 1]}, {"$inc": {"n": 2}, "$pull": {"t": 1}, "$set": {"o.p": 1}},
     {"n": 3, "t": [2], "o": {"p": 1}}, None),
    ({"n": 1, "o": {"p": 1}}, {"$unset": {"o.p": ""}, "$rename": {"n": "m"}}, {"m": 1, "o": {}},
     None),
    ({"n": 1}, {"m": 2}, {"n": 1, "m": 2}, None),
    ({"n": "x"}, {"$inc": {"n": 1}}, "$inc needs a number at n", True),
    ({"t": {}}, {"$push": {"t": 1}}, "$push needs an array at t", True),
    ({"n": 1}, {"$set": {"n": 2}, "m": 1}, "cannot mix operators and fields in update", False),
    ({"n": 1}, {"$set": {"id": "b"}}, "cannot update id", False),
])
def test_update_operators_through_update_and_update_many(wire, before, update, after, per_shiny):
    fill(wire, "ops", {"a": before, "b": before})
    generation, documents = state(wire)
    single = call(wire, {"op": "update", "id": "a", "fields": update})
    many = call(wire, {"op": "update_many", "filter": {"id": "b"}, "update": update})
    if per_shiny is None:
        assert many == {"generation": generation + 2, "matched": 1, "modified": 1}
        assert state(wire)[1] == [{"id": "a", **after}, {"id": "b", **after}]
    else:
        assert (single, many) == (after, ("document b: " if per_shiny else "") + after)
        assert state(wire) == (generation, documents)


def test_filtered_writes_are_all_or_nothing_and_unbounded(wire):
    docs = {f"k{i:04}": {"n": i, "g": i % 3} for i in range(1500)}
    docs["k0700"]["n"] = "seven hundred"
    fill(wire, "bulk", docs)
    generation, documents = state(wire)
    assert call(wire, {"op": "update_many", "filter": {"g": 1}, "update": {"$inc": {"n": 1}}}) \
        == "document k0700: $inc needs a number at n"
    assert state(wire) == (generation, documents)
    assert call(wire, {"op": "update_many", "filter": {"g": {"$ne": 1}}, "update": {"s": 1}}) \
        == {"generation": generation + 1, "matched": 1000, "modified": 1000}
    # Already so, or nothing matched: success without a commit.
    commits = call(wire, {"op": "server"})["commits"]["count"]
    assert call(wire, {"op": "update_many", "filter": {"g": 0}, "update": {"s": 1}}) \
        == {"generation": generation + 1, "matched": 500, "modified": 0}
    assert call(wire, {"op": "delete_many", "filter": {"g": 9}}) \
        == {"deleted": 0, "generation": generation + 1}
    assert call(wire, {"op": "server"})["commits"]["count"] == commits
    assert call(wire, {"op": "delete_many", "filter": {"s": 1}}) \
        == {"deleted": 1000, "generation": generation + 2}


# Ids in ascending order of "v": missing and null (ties by id), numbers of
# both kinds by value, strings by bytes, objects, arrays, booleans.
KINDS = {"a": {}, "b": {"v": None}, "c": {"v": -2}, "d": {"v": 1.5}, "e": {"v": 1},
         "f": {"v": 1.0}, "g": {"v": "B"}, "h": {"v": "a"}, "i": {"v": {"x": 1}},
         "j": {"v": [0]}, "k": {"v": False}, "l": {"v": True}}


def test_sort_kinds_ties_descending_and_skip(wire):
    fill(wire, "kinds", KINDS)

    def ids(**extra):
        page = call(wire, {"op": "query", "filter": {}, "fields": [], "limit": 100, **extra})
        return [d["id"] for d in page["documents"]]
    assert ids(sort=["v"]) == list("abcefdghijkl")
    assert ids(sort=["-v"]) == list("lkjihgdefcab")  # the id tie-break stays ascending
    assert ids(sort=["v"], skip=9, limit=2) == list("jk") and ids(sort=["v"], skip=12) == []
    assert ids(filter={"v": {"$exists": True}}, skip=3, limit=2) == list("ef")
    assert ids(after="f", skip=3, limit=1) == ["g"]  # a cursor carries the position
    # The old array form still reads.
    assert call(wire, '{"version":1,"command":["query",{},[],1,"k"]}')["documents"] == [
        {"id": "l"}]


def test_cursor_pages_survive_puts_and_deletes_between_them(served, wire):
    fill(wire, "moving", {f"d{i:03}": {"n": (i * 37) % 50} for i in range(120)})
    other = authenticated(served.port)
    call(other, {"op": "use", "collection": "moving"})
    unchanged, seen, after = {f"d{i:03}" for i in range(120)}, [], None
    while True:
        page = call(wire, {"op": "query", "filter": {}, "fields": ["n"], "sort": ["-n"],
                           "limit": 7, "after": after})
        seen += [d["id"] for d in page["documents"]]
        if (after := page["next_after"]) is None:
            break
        # The shiny the cursor names goes, so does one still to come, and a
        # new one arrives somewhere in the order.
        call(other, {"op": "put", "id": f"new{len(seen)}", "document": {"n": len(seen) % 50}})
        for gone in (seen[-1], f"d{(len(seen) * 7) % 120:03}"):
            call(other, {"op": "delete", "id": gone})
            unchanged.discard(gone)
    other.close()
    assert len(seen) == len(set(seen)) and unchanged <= set(seen)


def test_distinct_values(wire):
    fill(wire, "tags", {"a": {"t": ["x", "y"], "n": 1, "o": [{"p": 2}, {"p": 3}]},
                        "b": {"t": "y", "n": 1.0, "o": {"p": 2}}, "c": {"t": [], "n": None},
                        "d": {"t": [["x"]], "n": 2}})
    for path, where, values in [("t", None, ["x", "y", ["x"]]), ("n", None, [None, 1, 1.0, 2]),
                                ("o.p", None, [2, 3]), ("n", {"t": "y"}, [1, 1.0])]:
        data = call(wire, {"op": "distinct", "path": path, "filter": where})
        assert repr(data) == repr({"truncated": False, "values": values})  # 1 and 1.0 apart
    fill(wire, "many", {f"m{i:04}": {"v": i} for i in range(1001)})
    assert call(wire, {"op": "distinct", "path": "v"}) == {"truncated": True,
                                                           "values": list(range(1000))}


# Every refusal names what is wrong and changes nothing.
@pytest.mark.parametrize("command, message", [
    ('{"version":1,"command":{"op":"delete_many","filter":{"g":1,"g":2}}}',
     "repeated key g in filter at top level"),
    ('{"version":1,"command":{"op":"update_many","filter":{},'
     '"update":{"$set":{"n":123456789012345678901}}}}', "number out of range"),
    ({"op": "update_many", "filter": [], "update": {"n": 1}}, "filter must be an object"),
    ({"op": "query", "filter": {}, "limit": 5, "sort": list("abcdefghi")},
     "sort takes at most 8 paths"),
    ({"op": "query", "filter": {}, "limit": 5, "sort": ["-"]}, "empty path"),
    ({"op": "query", "filter": {}, "limit": 5, "skip": 1000001},
     "skip must be between 0 and 1000000"),
    ({"op": "query", "filter": {}, "limit": 0, "sort": ["v"]}, "limit must be between 1 and 100"),
    ({"op": "query", "filter": {}, "limit": 5, "sort": ["v"], "after": "a"}, "invalid cursor"),
    ({"op": "distinct", "path": "", "filter": None}, "empty path"),
    ({"op": "drop", "kind": "warren", "name": "nowhere"}, "namespace does not exist"),
])
def test_refusals_change_nothing(wire, command, message):
    call(wire, {"op": "use", "collection": "kinds"})
    before = state(wire)
    assert call(wire, command) == message
    assert state(wire) == before


def test_drop_of_the_current_den_moves_the_session(wire):
    call(wire, {"op": "navigate", "name": "/gone/d1"})
    call(wire, {"op": "write", "ops": [{"op": "put", "id": f"s{i}", "document": {}}
                                       for i in range(3)]})
    drops = call(wire, {"op": "server"})["commands"]["by_op"].get("drop", 0)
    assert call(wire, {"op": "drop", "kind": "den", "name": "d1"}) == {"dropped": "d1",
                                                                       "shinies": 3}
    assert call(wire, {"op": "delete_many", "filter": {}}) == \
        "select a collection with use <collection>"
    assert call(wire, {"op": "navigate", "name": ".."}) == {"den": None, "warren": None}
    assert call(wire, {"op": "server"})["commands"]["by_op"]["drop"] == drops + 1


def test_python_client(served):
    with tovik.connect(served.address, password=PASSWORD) as client:
        den = client.warren("py").den("d")
        den.write([{"op": "put", "id": f"p{i:03}", "document": {"n": i % 7, "t": [i % 2]}}
                   for i in range(250)])
        assert den.update_many({"n": 0}, {"$set": {"z": 1}}) == (36, 36)
        assert den.update_many({"n": 0}, {"z": 1}) == (36, 0)
        # Sorted across pages, skipped and limited; the old positional form stays.
        order = sorted(den.query({}, ["n"]), key=lambda d: (-d["n"], d["id"]))
        assert list(den.query({}, ["n"], sort=["-n"], skip=5, limit=150)) == order[5:155]
        assert [d["id"] for d in den.query({"n": 3}, [], skip=34)] == ["p241", "p248"]
        values = den.distinct("t")
        assert values == [0, 1] and values.truncated is False
        assert den.delete_many({"n": {"$gte": 5}}) == 70
        with pytest.raises(tovik.InvalidInput):
            list(den.query({}, skip=-1))
        assert client.warren("py").drop_den("d", contents=True) == 180 and den.count({}) == 0
        den.put("again", {})
        assert client.drop_warren("py", contents=True) == 1 and den.get("again") is None
