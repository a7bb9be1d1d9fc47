#!/usr/bin/python3
"""Runs every benchmark program of bench/ and prints each figure beside its
floor (the least any implementation must pay on this machine: the file
system's write+fsync, a loopback echo, the store's raw walk, a process
start) and its peer (sqlite3 doing the same work durably), measured in the
same run, as ratios. A short table for people, then the same figures as JSON
lines (one object per figure) for machines.

Usage: suite.py --build DIR [--dir DIR] [--quick]   (bench/run.sh calls it)

The benchmark programs keep their own output; this script only parses it.
Figures are medians in milliseconds (lower is better); "-" means no such
comparison exists for that figure. Nothing here asserts on time.
"""
import argparse
import json
import os
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import offline_bench  # noqa: E402  (reused: its database writers and document shape)


class Figure:
    def __init__(self, name, tovik, floor=None, floor_name="", peer=None, peer_name="",
                 note=""):
        self.name, self.tovik, self.floor, self.floor_name = name, tovik, floor, floor_name
        self.peer, self.peer_name, self.note = peer, peer_name, note

    def as_json(self):
        out = {"figure": self.name, "unit": "ms", "tovik": round(self.tovik, 4)}
        if self.floor is not None:
            out.update(floor=round(self.floor, 4), floor_name=self.floor_name,
                       tovik_over_floor=round(self.tovik / self.floor, 3))
        if self.peer is not None:
            out.update(peer=round(self.peer, 4), peer_name=self.peer_name,
                       tovik_over_peer=round(self.tovik / self.peer, 3))
        if self.note:
            out["note"] = self.note
        return out


def run(argv, cwd=None, timeout=1800):
    res = subprocess.run(argv, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    if res.returncode != 0:
        raise SystemExit(f"{argv[0]} failed ({res.returncode}): {res.stderr.strip()}")
    return res.stdout


def median_ms(fn, runs):
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        samples.append((time.perf_counter() - start) * 1000)
    return statistics.median(samples)


# --- storage engine: commit against its floor ---------------------------------------------

def store_figures(build, work):
    out = run([os.path.join(build, "bench", "store_bench"), os.path.join(work, "store")])
    figures = []
    records = None
    commit = None
    for line in out.splitlines():
        m = re.match(r"records\s+(\d+)", line)
        if m:
            records = int(m.group(1))
        m = re.search(r"commit \(1 mutation\) us:.*median\s+([\d.]+)", line)
        if m:
            commit = float(m.group(1)) / 1000
        m = re.search(r"^\s*floor\s+us:.*median\s+([\d.]+)", line)
        if m and commit is not None:
            figures.append(Figure(f"commit, {records:,} records", commit,
                                  float(m.group(1)) / 1000, "write+fsync of the same bytes"))
            commit = None
    return figures, out


# --- document layer: check, find, scan against the store's walk and sqlite3 ----------------

def document_figures(build, work, repeats):
    out = run([os.path.join(build, "bench", "document_bench"), "20", str(repeats)])
    medians = {}
    for line in out.splitlines():
        m = re.match(r"(\w+)\s+min\s+[\d.]+ ms\s+median\s+([\d.]+) ms", line)
        if m:
            medians[m.group(1)] = float(m.group(2))
    peers = sqlite_document_peers(work, repeats)
    figures = [
        Figure("check, full 16 MiB database", medians["check"], medians["verify"],
               "store walk, no decoding", peers["check"], "sqlite3 integrity_check, 16 MiB"),
        Figure("find, 10,000 documents, no match", medians["find"], medians["den"],
               "store walk over the den", peers["find"], "sqlite3 json_extract filter"),
        Figure("scan, first 100 of 10,000", medians["scan"], medians["den"] / 100,
               "store walk over 100 records", peers["scan"], "sqlite3 select 100 rows"),
        Figure("walk, all 10,000 documents", medians["walk"], medians["den"],
               "store walk over the den", peers["walk"], "sqlite3 select 10,000 rows"),
    ]
    return figures, out


def sqlite_document_peers(work, repeats):
    """The same reads in sqlite3, in-process like document_bench, durable mode."""
    path = os.path.join(work, "documents.sqlite")
    con = sqlite3.connect(path)
    con.execute("PRAGMA journal_mode=WAL")
    con.execute("PRAGMA synchronous=FULL")
    con.execute("CREATE TABLE docs (id TEXT PRIMARY KEY, body TEXT NOT NULL)")
    pad = "x" * 60
    rows = []
    for n in range(74_000):  # about 16 MiB of ~200-byte documents, as document_bench's
        doc_id = f"{n:08d}"
        rows.append((doc_id, offline_bench.compact(
            {"id": doc_id, "name": f"customer {doc_id}", "status": "active",
             "tags": ["alpha", "beta", "gamma"], "total": 1234.5, "n": 7, "note": pad})))
    con.executemany("INSERT INTO docs VALUES (?, ?)", rows)
    con.execute("CREATE TABLE den (id TEXT PRIMARY KEY, body TEXT NOT NULL)")
    con.executemany("INSERT INTO den VALUES (?, ?)", rows[:10_000])
    con.commit()
    peers = {
        "check": median_ms(lambda: con.execute("PRAGMA integrity_check").fetchall(), repeats),
        "find": median_ms(lambda: con.execute(
            "SELECT body FROM den WHERE json_extract(body, '$.status') = 'missing'").fetchall(),
            repeats),
        "scan": median_ms(lambda: con.execute(
            "SELECT body FROM den ORDER BY id LIMIT 100").fetchall(), repeats),
        "walk": median_ms(lambda: con.execute(
            "SELECT body FROM den ORDER BY id").fetchall(), repeats),
    }
    con.close()
    return peers


# --- server: round trips against a loopback echo -----------------------------------------

def three_small_fsyncs_ms(work, runs=31):
    """The floor of one durable commit: three 64-byte write+fsync pairs."""
    path = os.path.join(work, "fsync-floor")
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    try:
        def once():
            for offset in (0, 4096, 0):
                os.pwrite(fd, b"\0" * 64, offset)
                os.fsync(fd)
        return median_ms(once, runs)
    finally:
        os.close(fd)
        os.unlink(path)


def server_figures(build, work, seconds, repetitions):
    out = run([os.path.join(build, "bench", "server_bench"), str(seconds), str(repetitions)])
    fsyncs = three_small_fsyncs_ms(work)
    figures = []
    for line in out.splitlines():
        m = re.match(r"(get|put), (\d+) client\(s\)\s+([\d.]+)/s.*echo floor\s+([\d.]+)/s", line)
        if m:
            kind, clients = m.group(1), int(m.group(2))
            rate, floor = float(m.group(3)), float(m.group(4))
            # Per round trip as each client sees it: clients in flight / rate.
            name = f"server {kind}, {clients} client{'s' if clients > 1 else ''}"
            if kind == "put":
                # A put is a round trip plus one durable commit, and commits
                # run one at a time: the floor is the echo plus three small
                # fsyncs for every client in flight.
                figures.append(Figure(name, clients * 1000 / rate,
                                      clients * (1000 / floor + fsyncs),
                                      "loopback echo + three 64-byte write+fsync",
                                      note=f"{rate:.0f} commits/s"))
            else:
                figures.append(Figure(name, clients * 1000 / rate, clients * 1000 / floor,
                                      "loopback echo, same frames",
                                      note=f"{rate:.0f} round trips/s"))
    return figures, out


# --- offline tool: whole process against sqlite3's, 1,000 and 50,000 rows -------------------

def offline_figures(tovik, sqlite_bin, work, documents, runs):
    offline_bench.DOCUMENTS = documents
    sub = tempfile.mkdtemp(prefix=f"offline-{documents}-", dir=work)
    db = os.path.join(sub, "bench.tovik")
    sdb = os.path.join(sub, "bench.sqlite")
    offline_bench.tovik_database(db)
    check = subprocess.run([tovik, "check", db], capture_output=True, text=True)
    if check.returncode != 0:
        raise SystemExit(f"generated database fails the check: {check.stderr.strip()}")
    offline_bench.sqlite_database(sdb)
    puts, gets, upserts, selects, starts = [], [], [], [], []
    for round_no in range(runs + 1):
        doc_id = f"doc{(round_no * 37) % documents:05d}"
        doc = offline_bench.body(doc_id, round_no + 1)
        text = offline_bench.compact(doc)
        p, _ = offline_bench.timed([tovik, "put", db, "bench", doc_id, text])
        g, got = offline_bench.timed([tovik, "get", db, "bench", doc_id])
        if json.loads(got) != doc:
            raise SystemExit(f"get returned {got!r}, expected {text!r}")
        sql = ("PRAGMA journal_mode=WAL;\nPRAGMA synchronous=FULL;\n"
               "INSERT INTO docs(id, body) VALUES ('" + doc_id + "', '" + text + "') "
               "ON CONFLICT(id) DO UPDATE SET body = excluded.body;\n")
        u, _ = offline_bench.timed([sqlite_bin, sdb], stdin=sql)
        s, row = offline_bench.timed(
            [sqlite_bin, sdb], stdin=f"SELECT body FROM docs WHERE id = '{doc_id}';\n")
        if json.loads(row) != doc:
            raise SystemExit(f"sqlite3 returned {row!r}")
        t, _ = offline_bench.timed([tovik, "--version"])
        if round_no > 0:  # the first round warms the cache for all
            for xs, x in ((puts, p), (gets, g), (upserts, u), (selects, s), (starts, t)):
                xs.append(x * 1000)
    shutil.rmtree(sub, ignore_errors=True)
    floor = statistics.median(starts)
    rows = f"{documents:,}"
    return [
        Figure(f"offline put, {rows} rows", statistics.median(puts), floor,
               "process start (tovik --version)", statistics.median(upserts),
               "sqlite3 upsert, WAL+FULL (process)"),
        Figure(f"offline get, {rows} rows", statistics.median(gets), floor,
               "process start (tovik --version)", statistics.median(selects),
               "sqlite3 select (process)"),
    ]


# --- backup: whole process against read+write+fsync of 32 MiB --------------------------------

def backup_figures(tovik, work, runs):
    out = run([sys.executable, os.path.join(HERE, "backup_bench.py"), "--tovik", tovik,
               "--dir", work, "--runs", str(runs)])
    backup = re.search(r"tovik backup \(process\)\s+median\s+([\d.]+)", out)
    floor = re.search(r"floor: read\+write\+fsync\s+median\s+([\d.]+)", out)
    if not backup or not floor:
        raise SystemExit(f"backup_bench.py printed nothing to parse:\n{out}")
    return [Figure("backup, full database", float(backup.group(1)), float(floor.group(1)),
                   "read+write+fsync of 32 MiB")], out


# --- change feed: a waiting watcher's wake-up, and puts with watchers beside none -------------

def feed_figures(tovik, quick):
    argv = [sys.executable, os.path.join(HERE, "feed_bench.py"), "--tovik", tovik]
    out = run(argv + (["--puts", "200", "--seconds", "1", "--runs", "3"] if quick else []))
    wake = re.search(r"watcher answer minus put ack\s+median\s+(-?[\d.]+) ms\s+"
                     r"p99\s+(-?[\d.]+)", out)
    rates = re.search(r"median\s+no watchers\s+([\d.]+)/s\s+(\d+) watchers\s+([\d.]+)/s", out)
    if not wake or not rates:
        raise SystemExit(f"feed_bench.py printed nothing to parse:\n{out}")
    alone, watched = float(rates.group(1)), float(rates.group(3))
    return [Figure("feed wake-up, put ack to watcher", float(wake.group(1)),
                   note=f"p99 {wake.group(2)} ms; negative: the watcher is answered first"),
            Figure(f"feed, 8 putters, {rates.group(2)} watchers", 8_000 / watched, 8_000 / alone,
                   "the same puts with no watcher",
                   note=f"{watched:.0f} puts/s beside {alone:.0f}")], out


def cell(value):
    return "-" if value is None else f"{value:.3f}" if value < 10 else f"{value:.1f}"


def ratio(a, b):
    return "-" if b is None or b == 0 else f"{a / b:.2f}x"


def print_table(figures):
    head = f"{'figure':<36} {'tovik ms':>10} {'floor ms':>10} {'/floor':>8} {'peer ms':>10} {'/peer':>8}"
    print(head)
    print("-" * len(head))
    for f in figures:
        print(f"{f.name:<36} {cell(f.tovik):>10} {cell(f.floor):>10} {ratio(f.tovik, f.floor):>8} "
              f"{cell(f.peer):>10} {ratio(f.tovik, f.peer):>8}")
    print()
    print("floors and peers:")
    for f in figures:
        line = f"  {f.name}: floor = {f.floor_name or '-'}; peer = {f.peer_name or '-'}"
        if f.note:
            line += f"; {f.note}"
        print(line)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="a Release build directory")
    ap.add_argument("--dir", default=None, help="directory on the file system to measure")
    ap.add_argument("--sqlite3", default=shutil.which("sqlite3") or "sqlite3")
    ap.add_argument("--quick", action="store_true", help="fewer repetitions, noisier figures")
    ap.add_argument("--raw", action="store_true", help="also print each program's own output")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    tovik = os.path.join(build, "src", "cli", "tovik")
    repeats = 5 if args.quick else 15
    work = tempfile.mkdtemp(prefix="tovik-suite-", dir=args.dir)
    figures, raw = [], []
    try:
        steps = [
            ("offline", lambda: (offline_figures(tovik, args.sqlite3, work, 1_000, repeats * 2)
                                 + offline_figures(tovik, args.sqlite3, work, 50_000, repeats),
                                 "")),
            ("store_bench", lambda: store_figures(build, work)),
            ("document_bench", lambda: document_figures(build, work, repeats)),
            ("server_bench", lambda: server_figures(build, work, 0.5 if args.quick else 1.0,
                                                    2 if args.quick else 3)),
            ("backup_bench", lambda: backup_figures(tovik, work, 3 if args.quick else 7)),
            ("feed_bench", lambda: feed_figures(tovik, args.quick)),
        ]
        for name, step in steps:
            print(f"running {name} ...", file=sys.stderr, flush=True)
            found, out = step()
            figures += found
            raw.append((name, out))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if args.raw:
        for name, out in raw:
            if out:
                print(f"== {name}\n{out}")
    order = ["offline", "server", "feed", "commit", "check", "find", "scan", "walk", "backup"]
    figures.sort(key=lambda f: next(i for i, p in enumerate(order) if f.name.startswith(p)))
    print_table(figures)
    print()
    for f in figures:
        print(json.dumps(f.as_json(), sort_keys=True))


if __name__ == "__main__":
    main()
