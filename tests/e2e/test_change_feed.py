"""The change feed against the real server: a watcher that follows next and
skip while four writers commit (single puts and deletes, multi-operation
writes, writes that fail, group commits, a filtered write) is told every
committed change once, in order, and nothing of a failed write."""
import json
import threading

from conftest import clean_env, provision, start_server
from server_util import authenticated

DEN = "feed"


def ok(client, command):
    reply = client.call(command)
    assert reply["ok"], reply
    return reply["data"]


def session(port):
    client = authenticated(port)
    ok(client, {"op": "use", "collection": DEN})
    return client


def single_writer(port, name, acknowledged):
    """Puts, and deletes of what it put, one request each."""
    client = session(port)
    for i in range(60):
        doc = {"by": name, "n": i}
        ok(client, {"op": "put", "id": f"{name}-{i % 7}", "document": doc})
        acknowledged.append(("put", f"{name}-{i % 7}", doc))
        if i % 3 == 2:
            ok(client, {"op": "delete", "id": f"{name}-{(i - 1) % 7}"})
            acknowledged.append(("delete", f"{name}-{(i - 1) % 7}", None))
    client.close()


def batch_writer(port, name, acknowledged):
    """Writes of several operations, and writes that fail as a whole."""
    client = session(port)
    for i in range(40):
        docs = {f"{name}-{i}-{k}": {"by": name, "n": i} for k in range(3)}
        reply = ok(client, {"op": "write", "ops": [
            {"op": "put", "id": key, "document": doc} for key, doc in docs.items()]})
        assert reply["written"] == 3
        acknowledged.extend(("put", key, doc) for key, doc in docs.items())
        failed = client.call({"op": "write", "ops": [
            {"op": "put", "id": f"{name}-bad-{i}", "document": {"failed": True}},
            {"op": "insert", "id": f"{name}-{i}-0", "document": {"failed": True}}]})
        assert not failed["ok"]
    client.close()


def group_writer(port, name, acknowledged):
    """Eight connections that send their puts at once, so that they share
    commits."""
    clients = [session(port) for _ in range(8)]
    for i in range(20):
        for k, client in enumerate(clients):
            client.send_command({"op": "put", "id": f"{name}-{k}", "document": {"n": i}})
        for k, client in enumerate(clients):
            assert client.receive()["ok"]
            acknowledged.append(("put", f"{name}-{k}", {"n": i}))
    for client in clients:
        client.close()


def test_a_watcher_is_told_every_committed_change_once_in_order(tmp_path):
    env = clean_env(tmp_path)
    srv = start_server(provision(tmp_path / "feed.tovik", env), env)
    try:
        watcher = session(srv.port)
        after = ok(watcher, {"op": "changes"})["next"]
        acknowledged = [[] for _ in range(4)]
        writers = [threading.Thread(target=target, args=(srv.port, name, acknowledged[i]))
                   for i, (target, name) in enumerate([
                       (single_writer, "s1"), (single_writer, "s2"),
                       (batch_writer, "b1"), (group_writer, "g1")])]
        seen, skip, done = [], None, False
        for writer in writers:
            writer.start()
        while True:
            command = {"op": "changes", "after": after, "limit": 7, "wait_ms": 100}
            if skip is not None:
                command["skip"] = skip
            page = ok(watcher, command)
            seen.extend(page["changes"])
            after, skip = page["next"], page.get("skip")
            if done and not page["changes"] and skip is None:
                break
            if not done and not any(w.is_alive() for w in writers):
                # A filtered write last: one commit of many changes, read
                # seven at a time.
                writer = session(srv.port)
                marked = ok(writer, {"op": "update_many", "filter": {"by": "b1"},
                                     "update": {"$set": {"marked": True}}})
                assert marked["modified"] > 7
                final, cursor = [], None
                while True:
                    page = ok(writer, {"op": "query", "filter": {}, "limit": 100, "after": cursor})
                    final += page["documents"]
                    cursor = page["next_after"]
                    if cursor is None:
                        break
                writer.close()
                done = True

        positions = [(c["generation"], c["id"]) for c in seen]
        assert len(set(positions)) == len(positions), "a change was told twice"
        assert positions == sorted(positions), "changes out of order"
        assert not [c for c in seen if "failed" in c.get("document", {})]
        assert {c["den"] for c in seen} == {DEN} and {c["warren"] for c in seen} == {"default"}

        # Puts sent at once on eight connections shared commits.
        generations = [c["generation"] for c in seen if c["id"].startswith("g1-")]
        assert len(set(generations)) < len(generations)
        # Replayed in order, the changes give the final state.
        state = {}
        for change in seen:
            if change["kind"] == "put":
                state[change["id"]] = change["document"]
            else:
                state.pop(change["id"], None)
        assert sorted(state.values(), key=lambda d: d["id"]) == final

        # Every acknowledged write is there, in each writer's order.
        for writes in acknowledged:
            told = [(c["kind"], c["id"], c.get("document")) for c in seen
                    if c["id"].split("-")[0] == writes[0][1].split("-")[0]]
            expected = [(kind, key, None if doc is None else {"id": key, **doc})
                        for kind, key, doc in writes]
            told = [t for t in told if "marked" not in (t[2] or {})]
            if writes[0][1].startswith("g1-"):  # no order among one round's puts
                told, expected = sorted(told, key=json.dumps), sorted(expected, key=json.dumps)
            assert told == expected
    finally:
        srv.stop()
