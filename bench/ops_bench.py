#!/usr/bin/python3
"""The filtered writes and the sorted page (bench/ops_bench.cc) beside the same
work in sqlite3, in one run: DELETE and UPDATE ... json_set over the 20,000 of
40,000 rows whose n is below 5 (one transaction each, synchronous FULL in WAL
mode, so each commit is durable as Tovik's is), and ORDER BY json_extract(...)
LIMIT 20 over 80,000 rows. The documents are the bench's own shape.

Usage: bench/ops_bench.py [--build DIR] [--repeats N]"""
import argparse
import json
import os
import sqlite3
import subprocess
import tempfile
import time

from bench_util import summary

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def document(i):
    return {"id": f"{i:08d}", "name": f"customer {i:08d}",
            "status": "active" if i % 2 == 0 else "closed", "n": i % 10,
            "total": (i * 7919) % 1000003, "tags": ["alpha", "beta"]}


def seeded(path, count):
    if os.path.exists(path):
        os.remove(path)
    con = sqlite3.connect(path, isolation_level=None)
    con.execute("PRAGMA journal_mode=WAL")
    con.execute("PRAGMA synchronous=FULL")
    con.execute("CREATE TABLE den (id TEXT PRIMARY KEY, body TEXT NOT NULL)")
    con.execute("BEGIN")
    con.executemany("INSERT INTO den VALUES (?, ?)",
                    ((f"{i:08d}", json.dumps(document(i), separators=(",", ":"), sort_keys=True))
                     for i in range(count)))
    con.execute("COMMIT")
    return con


def timed_write(work, sql, repeats):
    samples = []
    for _ in range(repeats):
        con = seeded(os.path.join(work, "writes.sqlite"), 40_000)
        start = time.perf_counter()
        con.execute("BEGIN")
        changed = con.execute(sql).rowcount
        con.execute("COMMIT")
        samples.append(time.perf_counter() - start)
        con.close()
        assert changed == 20_000, changed
    return samples


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    out = subprocess.run([os.path.join(args.build, "bench", "ops_bench"), str(args.repeats)],
                         check=True, capture_output=True, text=True).stdout
    print(out, end="")
    with tempfile.TemporaryDirectory(prefix="tovik-opsbench-") as work:
        where = "WHERE json_extract(body, '$.n') < 5"
        print(summary("sqlite3 delete", timed_write(work, f"DELETE FROM den {where}", args.repeats))
              + "  (20,000 of 40,000 rows, one transaction)")
        update = ("UPDATE den SET body = json_set(body, '$.total', "
                  f"json_extract(body, '$.total') + 1) {where}")
        print(summary("sqlite3 update", timed_write(work, update, args.repeats))
              + "  (20,000 of 40,000 rows, json_set, one transaction)")
        con = seeded(os.path.join(work, "sorted.sqlite"), 80_000)
        samples = []
        for _ in range(args.repeats * 4):
            start = time.perf_counter()
            rows = con.execute("SELECT body FROM den ORDER BY json_extract(body, '$.total') "
                               "DESC, id LIMIT 20").fetchall()
            samples.append(time.perf_counter() - start)
            assert len(rows) == 20
        con.close()
        print(summary("sqlite3 sorted", samples) + "  (first 20 of 80,000 by -total)")


if __name__ == "__main__":
    main()
