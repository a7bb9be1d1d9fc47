#!/usr/bin/python3
"""Whole-process time of one offline `tovik put` and one `tovik get` against a
database of 1,000 documents, beside a whole-process `sqlite3` upsert of one
JSON row into a table of 1,000 rows in a durable mode (journal_mode=WAL,
synchronous=FULL), in the same run and on the same file system.

Usage: offline_bench.py [--tovik PATH] [--sqlite3 PATH] [--dir DIR] [--runs N]

The tovik database is written directly in the storage format (one
generation-1 snapshot of 1,000 documents in den "bench") and passes
`tovik check` before timing. The three commands are run in turn, one of each
per round, so all see the same cache and disk state; the first round only
warms up. Each put replaces an existing document (as the upsert replaces an
existing row), so both stores stay at 1,000 entries. Prints figures only.
"""
import argparse
import json
import os
import shutil
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_util import DEFAULT_TOVIK, compact, record, summary  # noqa: E402

SLOT = 16 * 1024 * 1024
HEADER = struct.Struct("<8sII QQQQ 12s")  # up to the crc
DOCUMENTS = 1_000


def body(doc_id, round_no=0):
    """A small, typical document: about 150 bytes of compact JSON."""
    return {"id": doc_id, "name": f"user {doc_id}", "age": 20 + round_no % 50,
            "email": f"{doc_id}@example.invalid", "tags": ["alpha", "beta"], "active": True,
            "score": 12.5}


def tovik_database(path):
    ids = [f"doc{n:05d}" for n in range(DOCUMENTS)]
    data = b"".join(record(b"bench\x00" + i.encode(), compact(body(i)).encode())
                    for i in sorted(ids))
    head = HEADER.pack(b"TOVIK001", 1, 0, 1, len(data), DOCUMENTS, SLOT, b"\0" * 12)
    head += struct.pack("<I", zlib.crc32(head) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(head + data)
        f.truncate(2 * SLOT)
        os.fsync(f.fileno())
    return len(data)


def sqlite_database(path):
    con = sqlite3.connect(path)
    con.execute("PRAGMA journal_mode=WAL")
    con.execute("CREATE TABLE docs (id TEXT PRIMARY KEY, body TEXT NOT NULL)")
    con.executemany("INSERT INTO docs VALUES (?, ?)",
                    [(f"doc{n:05d}", compact(body(f"doc{n:05d}"))) for n in range(DOCUMENTS)])
    con.commit()
    con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    con.close()


def timed(argv, stdin=None):
    start = time.perf_counter()
    res = subprocess.run(argv, input=stdin, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if res.returncode != 0:
        raise SystemExit(f"{argv[0]} failed: {res.stderr.strip()}")
    return elapsed, res.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tovik", default=os.environ.get("TOVIK_BIN", DEFAULT_TOVIK))
    ap.add_argument("--sqlite3", default=shutil.which("sqlite3") or "sqlite3")
    ap.add_argument("--dir", default=None, help="directory on the file system to measure")
    ap.add_argument("--runs", type=int, default=31)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="tovik-offline-bench-", dir=args.dir)
    try:
        db = os.path.join(work, "bench.tovik")
        live = tovik_database(db)
        check = subprocess.run([args.tovik, "check", db], capture_output=True, text=True)
        if check.returncode != 0:
            raise SystemExit(f"generated database fails the check: {check.stderr.strip()}")
        sdb = os.path.join(work, "bench.sqlite")
        sqlite_database(sdb)
        print(f"tovik: {DOCUMENTS} documents, live_bytes {live}; sqlite3: {DOCUMENTS} rows, WAL, "
              f"synchronous=FULL")
        print(f"file system: {os.path.realpath(work)}; {args.runs} rounds, interleaved")

        puts, gets, upserts = [], [], []
        for round_no in range(args.runs + 1):
            doc_id = f"doc{(round_no * 37) % DOCUMENTS:05d}"
            doc = body(doc_id, round_no + 1)
            text = compact(doc)
            p, _ = timed([args.tovik, "put", db, "bench", doc_id, text])
            g, out = timed([args.tovik, "get", db, "bench", doc_id])
            if json.loads(out) != doc:
                raise SystemExit(f"get returned {out!r}, expected {text!r}")
            sql = ("PRAGMA journal_mode=WAL;\nPRAGMA synchronous=FULL;\n"
                   "INSERT INTO docs(id, body) VALUES ('" + doc_id + "', '" + text + "') "
                   "ON CONFLICT(id) DO UPDATE SET body = excluded.body;\n")
            u, _ = timed([args.sqlite3, sdb], stdin=sql)
            if round_no > 0:  # the first round warms the cache for all three
                puts.append(p)
                gets.append(g)
                upserts.append(u)

        print(summary("tovik put (process)", puts))
        print(summary("tovik get (process)", gets))
        print(summary("sqlite3 upsert WAL+FULL (process)", upserts))
        print(f"put / upsert ratio of medians: "
              f"{statistics.median(puts) / statistics.median(upserts):.2f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
