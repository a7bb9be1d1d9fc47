#!/usr/bin/python3
"""Data in and out, each figure beside its peer in the same run:

  import   whole-process `tovik import` of 50,000 documents of about 200 bytes
           (one commit) into a new database, beside `sqlite3` loading the same
           lines in one transaction into a table with a primary key (WAL,
           synchronous=FULL; each line checked as JSON, as tovik does)
  export   whole-process `tovik export` of that den to a file, beside `sqlite3`
           writing the same rows, in id order, to a file
  write    one `write` request of 1,000 puts through a server, beside 1,000
           single `put` requests on the same connection (both wall time from
           the first request sent to the last response read)

Usage: data_bench.py [--tovik PATH] [--sqlite3 PATH] [--dir DIR] [--runs N]

Rounds alternate the two sides so both see the same cache and disk state;
the first round only warms up. Prints the median, minimum and maximum of each
figure in milliseconds, and the ratios of the medians.
"""
import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_util import DEFAULT_TOVIK, Wire, compact  # noqa: E402

DOCUMENTS = 50_000
PASSWORD = "bench password 123"

SQLITE_LOAD = """PRAGMA journal_mode=WAL;
PRAGMA synchronous=FULL;
CREATE TABLE docs(id TEXT PRIMARY KEY, doc TEXT NOT NULL);
CREATE TEMP TABLE raw(line TEXT);
.mode ascii
.separator "\\037" "\\n"
.import {lines} raw
BEGIN;
INSERT INTO docs SELECT json_extract(line, '$.id'), json(line) FROM raw;
COMMIT;
"""


def document(n):
    """About 200 bytes of compact JSON."""
    return {"id": f"user{n:06d}", "name": f"User Number {n}", "email": f"user{n}@example.invalid",
            "age": 18 + n % 60, "score": round(n * 0.37 % 100, 2), "active": n % 3 != 0,
            "tags": ["alpha", "beta", "gamma"][: 1 + n % 3],
            "address": {"city": f"City {n % 97}", "zip": f"{10000 + n % 89999}"}}


def timed(argv, **kwargs):
    start = time.perf_counter()
    subprocess.run(argv, check=True, **kwargs)
    return (time.perf_counter() - start) * 1000


def summary(samples):
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples)}


def show(name, tovik, peer, peer_name):
    t, p = summary(tovik), summary(peer)
    print(f"{name:8} tovik {t['median']:9.1f} ms (min {t['min']:.1f}, max {t['max']:.1f})   "
          f"{peer_name} {p['median']:9.1f} ms (min {p['min']:.1f}, max {p['max']:.1f})   "
          f"ratio peer/tovik {p['median'] / t['median']:.2f}")


def import_and_export(tovik, sqlite_bin, work, runs):
    lines = os.path.join(work, "data.jsonl")
    with open(lines, "w", encoding="utf-8") as f:
        for n in range(DOCUMENTS):
            f.write(compact(document(n), sort_keys=False) + "\n")
    size = os.path.getsize(lines)
    print(f"{DOCUMENTS} documents, {size / DOCUMENTS:.0f} bytes per line on average")
    env = {**os.environ, "HOME": work}
    results = {"import": ([], []), "export": ([], [])}
    for round_no in range(runs + 1):
        db = os.path.join(work, f"r{round_no}.tovik")
        sdb = os.path.join(work, f"r{round_no}.sqlite")
        subprocess.run([tovik, "init", db], check=True, capture_output=True, env=env)
        t = timed([tovik, "import", db, "bench", lines], capture_output=True, env=env)
        s = timed([sqlite_bin, sdb], input=SQLITE_LOAD.format(lines=lines), text=True,
                  capture_output=True)
        out_t, out_s = os.path.join(work, "t.out"), os.path.join(work, "s.out")
        for f in (out_t, out_s):
            if os.path.exists(f):
                os.remove(f)
        with open(out_t, "w") as f:
            te = timed([tovik, "export", db, "bench"], stdout=f, env=env)
        se = timed([sqlite_bin, sdb, ".output " + out_s, "SELECT doc FROM docs ORDER BY id;"])
        assert sum(1 for _ in open(out_t)) == DOCUMENTS
        assert sum(1 for _ in open(out_s)) == DOCUMENTS
        os.remove(db)
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(sdb + suffix):
                os.remove(sdb + suffix)
        if round_no == 0:
            continue
        results["import"][0].append(t)
        results["import"][1].append(s)
        results["export"][0].append(te)
        results["export"][1].append(se)
    show("import", *results["import"], "sqlite3")
    show("export", *results["export"], "sqlite3")


def write_versus_puts(tovik, work, runs):
    env = {**os.environ, "HOME": work, "TOVIK_PASSWORD": PASSWORD}
    db = os.path.join(work, "server.tovik")
    subprocess.run([tovik, "init", db], check=True, capture_output=True, env=env)
    subprocess.run([tovik, "setup", db, "admin"], check=True, capture_output=True, env=env)
    proc = subprocess.Popen([tovik, "serve", db, "--bind", "127.0.0.1:0"], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        port = int(re.search(r":(\d+) ", proc.stdout.readline()).group(1))
        wire = Wire(port)
        assert wire.call({"op": "auth", "username": "admin", "password": PASSWORD})["ok"]
        assert wire.call({"op": "use", "collection": "bench"})["ok"]
        singles, writes = [], []
        for round_no in range(runs + 1):
            docs = [document(round_no * 1000 + n) for n in range(1000)]
            start = time.perf_counter()
            for d in docs:
                assert wire.call({"op": "put", "id": d["id"], "document": d})["ok"]
            single = (time.perf_counter() - start) * 1000
            ops = [{"op": "put", "id": d["id"], "document": {**d, "round": 1}} for d in docs]
            start = time.perf_counter()
            response = wire.call({"op": "write", "ops": ops})
            write = (time.perf_counter() - start) * 1000
            assert response["ok"], response
            if round_no:
                singles.append(single)
                writes.append(write)
        show("write", writes, singles, "1,000 puts")
    finally:
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tovik", default=DEFAULT_TOVIK)
    parser.add_argument("--sqlite3", default=shutil.which("sqlite3") or "sqlite3")
    parser.add_argument("--dir", default=None)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as work:
        import_and_export(os.path.abspath(args.tovik), args.sqlite3, work, args.runs)
        write_versus_puts(os.path.abspath(args.tovik), work, args.runs)


if __name__ == "__main__":
    main()
