"""The offline direct-file commands: output lines, failure texts, locking,
and that a failed command leaves the database file as it was."""
import json
import os
import re
import time

import pytest

from conftest import clean_env, run
from offline_util import LockHolder, snapshot

SLOT = 16 * 1024 * 1024


def ok(res, stdout):
    assert (res.returncode, res.stderr, res.stdout) == (0, "", stdout)


def fails(res, message, stdout=""):
    assert res.returncode == 1
    assert res.stderr == f"tovik: {message}\n"
    assert res.stdout == stdout


def put(db, env, den, doc_id, doc):
    res = run(["put", str(db), den, doc_id, json.dumps(doc)], env=env)
    ok(res, '{"ok":true}\n')


def generation(db, env):
    res = run(["stats", str(db)], env=env)
    assert res.returncode == 0, res.stderr
    return json.loads(res.stdout)["generation"]


@pytest.fixture(scope="module")
def people(tmp_path_factory):
    """A den "people" of five documents and a den "pets" after it; built once
    for the module, so tests must only read it."""
    home = tmp_path_factory.mktemp("people")
    env = clean_env(home)
    db = home / "people.tovik"
    ok(run(["init", str(db)], env=env), '{"ok":true}\n')
    for doc_id, doc in [("e", {"name": "eve", "age": 5}), ("a", {"name": "bob", "age": 30}),
                        ("c", {"name": "bob", "age": "5"}), ("b", {"name": "al", "active": True}),
                        ("d", {"name": "dee", "age": 5.0})]:
        put(db, env, "people", doc_id, doc)
    put(db, env, "pets", "p1", {"name": "rex"})
    return db


def test_status_and_stats_of_a_new_database(db, env):
    ok(run(["status", str(db)], env=env),
       '{"credentials_present":false,"generation":1,"state":"openable_offline",'
       '"storage_version":1}\n')
    ok(run(["stats", str(db)], env=env),
       '{"allocated_bytes":33554432,"generation":1,"live_bytes":0,"records":0}\n')
    ok(run(["check", str(db)], env=env), '{"ok":true}\n')


def test_status_sees_the_credential_file(provisioned_db, env):
    res = run(["status", str(provisioned_db)], env=env)
    assert json.loads(res.stdout)["credentials_present"] is True


def test_default_data_file_is_used_without_a_file(tmp_path, env):
    data = tmp_path / "data"
    data.mkdir()
    ok(run(["init", str(data / "instance.tovik")], env=env), '{"ok":true}\n')
    env = {**env, "TOVIK_DATA_DIR": str(data)}
    for word in ("status", "stats", "check"):
        assert run([word], env=env).returncode == 0
    fails(run(["stats"], env={**env, "TOVIK_DATA_DIR": str(tmp_path / "none")}),
          "database does not exist; run tovik init [file] first")


def test_put_get_delete_round_trip(db, env):
    put(db, env, "d", "a", {"name": "x", "z": [1, 2.5, None], "b": {"y": 1, "x": "\u00e9/"}})
    # Stored with "id", sorted keys at every level, compact, UTF-8 unescaped.
    ok(run(["get", str(db), "d", "a"], env=env),
       '{"b":{"x":"\u00e9/","y":1},"id":"a","name":"x","z":[1,2.5,null]}\n')
    stored = '{"b":{"x":"\u00e9/","y":1},"id":"a","name":"x","z":[1,2.5,null]}'
    live = 12 + len(b"d\0a") + len(stored.encode())
    ok(run(["stats", str(db)], env=env),
       f'{{"allocated_bytes":33554432,"generation":2,"live_bytes":{live},"records":1}}\n')
    ok(run(["delete", str(db), "d", "a"], env=env), '{"ok":true}\n')
    ok(run(["get", str(db), "d", "a"], env=env), "null\n")
    # Deleting what is not there is still a success (and a commit).
    ok(run(["delete", str(db), "d", "a"], env=env), '{"ok":true}\n')
    assert generation(db, env) == 4


def test_put_replaces_and_keeps_matching_id(db, env):
    put(db, env, "d", "a", {"n": 1})
    put(db, env, "d", "a", {"id": "a", "n": 2})
    ok(run(["get", str(db), "d", "a"], env=env), '{"id":"a","n":2}\n')


@pytest.mark.parametrize("text", ["[1,2]", '"text"', "null", "5", '{"id":"b"}', '{"id":5}'])
def test_put_of_a_non_object_or_wrong_id_changes_nothing(db, env, text):
    before = snapshot(db)
    fails(run(["put", str(db), "d", "a", text], env=env), "invalid input or configuration")
    assert snapshot(db) == before


@pytest.mark.parametrize("text,line", [("[1", 1), ('{"a":1,}', 1), ("{}x", 1), ("", 1),
                                       ('{\n  "a": }', 2), ('{"n":18446744073709551616}', 1),
                                       ('{"n":[-9223372036854775809]}', 1)])
def test_put_of_invalid_json_reports_parser_position_and_changes_nothing(db, env, text, line):
    before = snapshot(db)
    res = run(["put", str(db), "d", "a", text], env=env)
    assert res.returncode == 1 and res.stdout == ""
    assert re.fullmatch(rf"tovik: \S.* at line {line} column \d+\n", res.stderr), res.stderr
    assert snapshot(db) == before


def test_put_allows_whitespace_around_the_value(db, env):
    ok(run(["put", str(db), "d", "a", ' \n {"n":1}\t '], env=env), '{"ok":true}\n')


def test_oversized_key_and_bad_names_fail_as_storage_errors(db, env):
    before = snapshot(db)
    # A key over 1,024 bytes (one argument cannot carry a 256 KiB document).
    fails(run(["put", str(db), "d", "i" * 1_100, "{}"], env=env),
          "invalid input or configuration")
    fails(run(["put", str(db), "d", "", "{}"], env=env), "invalid input or configuration")
    fails(run(["get", str(db), "", "a"], env=env), "invalid input or configuration")
    assert snapshot(db) == before


def test_missing_arguments_are_reported_after_the_file_opened(db, env, tmp_path):
    for args in (["get", str(db), "d"], ["delete", str(db), "d"], ["put", str(db), "d", "a"],
                 ["find", str(db), "d"]):
        fails(run(args, env=env), "missing command argument")
    # Opening comes first: a missing file is reported instead.
    fails(run(["get", str(tmp_path / "absent"), "d"], env=env),
          "database does not exist; run tovik init [file] first")


@pytest.mark.parametrize("word", ["status", "stats", "check", "collections", "get", "scan"])
def test_unusable_files(tmp_path, env, word):
    extra = {"get": ["d", "a"], "scan": ["d"]}.get(word, [])
    fails(run([word, str(tmp_path), *extra], env=env),
          "database does not exist; run tovik init [file] first")
    empty = tmp_path / "empty.tovik"
    empty.write_bytes(b"")
    fails(run([word, str(empty), *extra], env=env), "database corruption detected")
    assert empty.stat().st_size == 0
    short = tmp_path / "short.tovik"
    short.write_bytes(b"\0" * 1000)
    fails(run([word, str(short), *extra], env=env), "invalid input or configuration")


def test_damaged_record_is_refused_by_every_command(db, env):
    put(db, env, "d", "a", {"n": 1})
    with open(db, "r+b") as f:  # generation 2 lives in slot 1; flip a value byte
        f.seek(SLOT + 64 + 20)
        byte = f.read(1)
        f.seek(SLOT + 64 + 20)
        f.write(bytes([byte[0] ^ 0xFF]))
    before = snapshot(db)
    fails(run(["check", str(db)], env=env), "database corruption detected")
    fails(run(["put", str(db), "d", "b", "{}"], env=env), "database corruption detected")
    assert snapshot(db) == before


@pytest.mark.parametrize("args", [["status"], ["stats"], ["check"], ["collections"],
                                  ["put", "d", "a", "{}"], ["get", "d", "a"], ["delete", "d", "a"],
                                  ["scan", "d"], ["find", "d", "a=1"]])
def test_a_held_lock_fails_every_command_at_once(db, env, args):
    before = snapshot(db)
    with LockHolder(db):
        start = time.monotonic()
        fails(run([args[0], str(db), *args[1:]], env=env), "storage I/O or locking failure")
        assert time.monotonic() - start < 10  # no waiting for the lock
    assert snapshot(db) == before


def test_scan_prints_one_den_in_id_order_with_summary(people, env):
    res = run(["scan", str(people), "people"], env=env)
    assert res.returncode == 0
    assert [json.loads(line)["id"] for line in res.stdout.splitlines()] == list("abcde")
    assert res.stdout.splitlines()[0] == '{"age":30,"id":"a","name":"bob"}'
    assert res.stderr == ("examined 5 records; results capped at 100, "
                          "examination budget 10000\n")


@pytest.mark.parametrize("limit,ids,examined", [("2", "ab", 2), ("+5", "abcde", 5),
                                                ("0", "", 0), ("007", "abcde", 5)])
def test_scan_limits(people, env, limit, ids, examined):
    res = run(["scan", str(people), "people", limit], env=env)
    assert res.returncode == 0
    assert "".join(json.loads(line)["id"] for line in res.stdout.splitlines()) == ids
    capped = int(limit.lstrip("+"))
    assert res.stderr == (f"examined {examined} records; results capped at {capped}, "
                          "examination budget 10000\n")


@pytest.mark.parametrize("limit,message", [
    ("-1", "invalid digit found in string"),
    ("", "cannot parse integer from empty string"),
    ("5x", "invalid digit found in string"),
    ("+", "invalid digit found in string"),
    ("18446744073709551616", "number too large to fit in target type"),
])
def test_bad_limits(people, env, limit, message):
    fails(run(["scan", str(people), "people", limit], env=env), message)
    fails(run(["find", str(people), "people", "name=bob", limit], env=env), message)


def test_largest_limit_is_accepted(people, env):
    res = run(["scan", str(people), "people", "18446744073709551615"], env=env)
    assert res.returncode == 0 and len(res.stdout.splitlines()) == 5


@pytest.mark.parametrize("arg,ids", [
    ("age=5", "e"),             # the integer only: not "5", not 5.0
    ('age="5"', "c"),
    ("age=5.0", "d"),
    ("name=bob", "ac"),         # not JSON: the text as a string
    ('name="bob"', "ac"),
    ("active=true", "b"),
    ("name=", ""),
    ("missing=1", ""),
    ("name=bob=x", ""),         # split at the first "="
])
def test_find_values(people, env, arg, ids):
    res = run(["find", str(people), "people", arg], env=env)
    assert res.returncode == 0, res.stderr
    assert "".join(json.loads(line)["id"] for line in res.stdout.splitlines()) == ids
    assert res.stderr == "examined 5 records; results capped at 100, examination budget 10000\n"


def test_find_limit_stops_at_the_matches(people, env):
    res = run(["find", str(people), "people", "name=bob", "1"], env=env)
    assert res.stdout == '{"age":30,"id":"a","name":"bob"}\n'
    assert res.stderr.startswith("examined 1 records; results capped at 1,")


def test_find_without_equals(people, env):
    fails(run(["find", str(people), "people", "nameonly"], env=env), "expected field=value")


def test_collections_lists_dens_of_the_default_warren(db, env):
    ok(run(["collections", str(db)], env=env), "")
    for den in ("pets", "a den/with\u00e9", "people", "pets"):
        put(db, env, den, "x", {})
    ok(run(["collections", str(db)], env=env), '"a den/with\u00e9"\n"people"\n"pets"\n')


def test_surplus_arguments_are_ignored(people, env):
    ok(run(["get", str(people), "pets", "p1", "extra"], env=env),
       '{"id":"p1","name":"rex"}\n')
    ok(run(["status", str(people), "x", "y"], env=env),
       '{"credentials_present":false,"generation":7,"state":"openable_offline",'
       '"storage_version":1}\n')
