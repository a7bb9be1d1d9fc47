"""backup and restore: refusals before the source is touched, the lock, the
integrity gate, staging names, the published copy and racing backups."""
import json
import os
import subprocess

from backup_util import (FILE_SIZE, SLOT, dead_pid, hold_lock, run_with_known_pid,
                         staging_names)
from conftest import TOVIK, run

USAGE = "tovik: usage: tovik backup <database> <new-backup> | restore <backup> <new-database>\n"
LOCKED = "tovik: storage I/O or locking failure\n"


def put(db, env, den, doc_id, doc):
    res = run(["put", str(db), den, doc_id, json.dumps(doc)], env=env)
    assert res.returncode == 0, res.stderr


def ok_line(path):
    return json.dumps({"bytes": FILE_SIZE, "ok": True, "path": str(path)},
                      separators=(",", ":")) + "\n"


def test_wrong_argument_counts_print_the_usage(env):
    for args in (["backup"], ["backup", "a.tovik"], ["restore", "a", "b", "c"]):
        res = run(args, env=env)
        assert (res.returncode, res.stdout, res.stderr) == (1, "", USAGE), args


def test_existing_destinations_fail_before_the_source_is_opened(db, env, tmp_path):
    (tmp_path / "file.tovik").write_bytes(b"keep")
    os.symlink(tmp_path / "nowhere", tmp_path / "dangling.tovik")
    (tmp_path / "auth.tovik.auth").write_text("{}")
    cases = [(tmp_path / "file.tovik", tmp_path / "file.tovik"),
             (tmp_path / "dangling.tovik", tmp_path / "dangling.tovik"),
             (tmp_path / "auth.tovik", tmp_path / "auth.tovik.auth")]
    # With the source's lock held elsewhere, any step past the destination
    # checks would report the lock instead.
    with hold_lock(db):
        for dest, reported in cases:
            res = run(["backup", str(db), str(dest)], env=env)
            assert res.returncode == 1
            assert res.stderr == f"tovik: destination already exists: {reported}\n"
    assert (tmp_path / "file.tovik").read_bytes() == b"keep"
    assert os.path.islink(tmp_path / "dangling.tovik")
    assert not (tmp_path / "nowhere").exists()
    assert not (tmp_path / "auth.tovik").exists()
    assert staging_names(tmp_path) == []


def test_backup_of_a_locked_source_fails_with_the_locking_error(db, env, tmp_path):
    with hold_lock(db):
        res = run(["backup", str(db), str(tmp_path / "copy.tovik")], env=env)
    assert (res.returncode, res.stderr) == (1, LOCKED)
    assert not (tmp_path / "copy.tovik").exists()
    assert staging_names(tmp_path) == []


def test_corrupted_record_fails_the_check_and_leaves_no_staging_file(db, env, tmp_path):
    put(db, env, "orders", "a1", {"n": 1})
    # Generation 2 lives in slot 1; flip a byte of its first record's value.
    value = SLOT + 64 + 12 + len(b"orders\0a1")
    with open(db, "r+b") as f:
        f.seek(value + 3)
        byte = f.read(1)
        f.seek(value + 3)
        f.write(bytes([byte[0] ^ 0x20]))
    out = tmp_path / "out"
    out.mkdir()
    res = run(["backup", str(db), str(out / "copy.tovik")], env=env)
    assert (res.returncode, res.stderr) == (1, "tovik: database corruption detected\n")
    assert os.listdir(out) == []


def test_backup_and_restore_copy_the_database_without_its_credentials(db, env, tmp_path):
    put(db, env, "orders", "a1", {"n": 1})
    put(db, env, "orders", "b2", {"n": 2, "tags": ["x"]})
    put(db, env, "users", "u", {"name": "ü"})
    (tmp_path / "test.tovik.auth").write_text('{"username":"admin","hash":"x"}')
    status = json.loads(run(["status", str(db)], env=env).stdout)

    backups = tmp_path / "backups"
    backups.mkdir()
    copy = backups / "monday.tovik"
    res = run(["backup", str(db), str(copy)], env=env)
    assert (res.returncode, res.stdout, res.stderr) == (0, ok_line(copy), "")
    assert os.path.getsize(copy) == FILE_SIZE
    assert copy.read_bytes() == db.read_bytes()
    assert os.stat(copy).st_mode & 0o777 == 0o600
    assert staging_names(backups) == []

    copied = json.loads(run(["status", str(copy)], env=env).stdout)
    assert copied["generation"] == status["generation"] == 4
    assert copied["credentials_present"] is False
    for den in ("orders", "users"):
        assert run(["scan", str(copy), den], env=env).stdout == \
            run(["scan", str(db), den], env=env).stdout
    assert run(["check", str(copy)], env=env).returncode == 0

    # Restore into the working directory: a destination without a directory
    # part stages in ".".
    res = subprocess.run([TOVIK, "restore", str(copy), "restored.tovik"], env=env, cwd=tmp_path,
                         capture_output=True, text=True, timeout=60)
    assert (res.returncode, res.stdout, res.stderr) == (0, ok_line("restored.tovik"), "")
    assert (tmp_path / "restored.tovik").read_bytes() == db.read_bytes()
    assert staging_names(tmp_path) == []
    got = run(["get", str(tmp_path / "restored.tovik"), "users", "u"], env=env)
    assert json.loads(got.stdout) == {"id": "u", "name": "ü"}

    # Nothing is ever restored over an existing database.
    res = run(["restore", str(copy), str(db)], env=env)
    assert (res.returncode, res.stderr) == (1, f"tovik: destination already exists: {db}\n")


def test_taken_first_staging_name_makes_the_backup_use_attempt_one(db, env, tmp_path):
    out = tmp_path / "out"
    out.mkdir()

    def prepare(pid):
        # Attempt 0 is someone else's leftover and 2 to 127 are taken: only
        # attempt 1 can succeed.
        for n in [0, *range(2, 128)]:
            (out / f".tovik-copy-{pid}-{n}.tmp").write_bytes(b"other")

    code, stdout, stderr = run_with_known_pid(
        lambda pid: ["backup", str(db), str(out / "copy.tovik")], env, prepare)
    assert (code, stdout, stderr) == (0, ok_line(out / "copy.tovik"), "")
    assert len(staging_names(out)) == 127
    assert all((out / n).read_bytes() == b"other" for n in staging_names(out))


def test_destination_named_like_a_staging_file_skips_that_attempt(db, env, tmp_path):
    def dest(pid):
        return f".TOVIK-COPY-{pid}-0.TMP"

    seen = []

    def prepare(pid):
        seen.append(pid)
        # Every attempt but 0 is taken. Attempt 0 is free on this case-
        # sensitive file system, yet must be skipped: it is the destination's
        # own name in other letter case.
        for n in range(1, 128):
            (tmp_path / f".tovik-copy-{pid}-{n}.tmp").write_bytes(b"")

    code, stdout, stderr = run_with_known_pid(
        lambda pid: ["backup", str(db), dest(pid)], env, prepare, cwd=tmp_path)
    assert (code, stdout, stderr) == (1, "", "tovik: no unused backup staging filename\n")
    assert len(staging_names(tmp_path)) == 127
    assert not (tmp_path / dest(seen[0])).exists()


def test_racing_backups_to_one_destination_have_exactly_one_winner(db, env, tmp_path):
    put(db, env, "orders", "a1", {"n": 1})
    other = tmp_path / "other.tovik"
    assert run(["init", str(other)], env=env).returncode == 0
    put(other, env, "orders", "z9", {"n": 9})
    for round_ in range(3):
        dest = tmp_path / f"race{round_}.tovik"
        procs = [subprocess.Popen([TOVIK, "backup", str(src), str(dest)], env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for src in (db, other)]
        results = [(p.wait(timeout=60), p.stdout.read(), p.stderr.read()) for p in procs]
        for p in procs:
            p.stdout.close()
            p.stderr.close()
        winners = [i for i, r in enumerate(results) if r[0] == 0]
        assert len(winners) == 1, results
        loser = results[1 - winners[0]]
        assert loser[0] == 1
        assert ("destination already exists: " in loser[2]
                or "File exists (os error 17)" in loser[2]), loser
        source = (db, other)[winners[0]]
        assert dest.read_bytes() == source.read_bytes()
        assert run(["check", str(dest)], env=env).returncode == 0
        assert staging_names(tmp_path) == []


def test_names_up_to_the_longest_file_name_work(db, env, tmp_path):
    # The credential name beside such a copy would be longer than a file name
    # may be: it cannot exist, and stands in nobody's way.
    put(db, env, "orders", "a1", {"n": 1})
    for name in ("b" * 250, "c" * 251, "é" * 127 + "d"):
        copy, restored = tmp_path / name, tmp_path / ("r" + name[1:])
        res = run(["backup", str(db), str(copy)], env=env)
        assert json.loads(res.stdout) == json.loads(ok_line(copy)), res.stderr
        assert run(["restore", str(copy), str(restored)], env=env).returncode == 0
        assert run(["get", str(restored), "orders", "a1"], env=env).stdout == '{"id":"a1","n":1}\n'
        status = json.loads(run(["status", str(restored)], env=env).stdout)
        assert status["credentials_present"] is False


def test_leftovers_of_ended_processes_are_removed_by_the_next_backup(db, env, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    dead = dead_pid()
    stale = [f".tovik-copy-{dead}-0.tmp", f".tovik-copy-{dead}-5.tmp"]
    kept = [f".tovik-copy-{os.getpid()}-0.tmp", f".tovik-copy-{dead}-0.tmp.bak",
            f".tovik-copy-{dead}.tmp", ".tovik-copy-x-0.tmp", f".tovik-copy-0-0.tmp",
            f"tovik-copy-{dead}-0.tmp"]
    for name in stale + kept:
        (out / name).write_bytes(b"left over")
    copy = out / "copy.tovik"
    assert run(["backup", str(db), str(copy)], env=env).stdout == ok_line(copy)
    assert sorted(os.listdir(out)) == sorted(kept + ["copy.tovik"])
