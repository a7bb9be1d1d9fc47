#!/usr/bin/python3
"""Figures for operating a running server, each beside its peer in the same run.

1. Online backup of a full database (the server's `backup` command, timed as
   the client's round trip) beside the offline `tovik backup` of an identical
   file (timed as the whole process), interleaved.
2. The get round trip of one client against three servers running side by
   side: a baseline binary without status counters (--baseline, e.g. a build
   of the branch before them; skipped when absent), this binary (counters
   always on), and this binary with --log. Rounds alternate between them.

Usage: operating_bench.py [--tovik PATH] [--baseline PATH] [--dir DIR]
                          [--runs N] [--seconds S]
Prints figures only; never asserts on time.
"""
import argparse
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
from backup_bench import DEFAULT_TOVIK, full_database  # noqa: E402
from bench_util import Wire, frame, summary  # noqa: E402

PASSWORD = "correct horse battery"


def serve(binary, db, *options):
    proc = subprocess.Popen([binary, "serve", db, "--bind", "127.0.0.1:0", *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    m = re.search(r"127\.0\.0\.1:(\d+) ", line)
    if not m:
        proc.kill()
        raise SystemExit(f"server did not start: {line!r} {proc.stderr.read()!r}")
    client = Wire(int(m.group(1)))
    client.data({"op": "auth", "username": "admin", "password": PASSWORD})
    return proc, client


def stop(proc):
    proc.send_signal(signal.SIGINT)
    proc.wait(timeout=30)


def provision(binary, path, env):
    res = subprocess.run([binary, "setup", path, "admin"], env=env, capture_output=True)
    if res.returncode != 0:
        raise SystemExit(f"setup failed: {res.stderr!r}")


def backup_figures(args, work, env):
    db = os.path.join(work, "served.tovik")
    count, live = full_database(db)
    twin = os.path.join(work, "offline.tovik")
    shutil.copyfile(db, twin)
    provision(args.tovik, db, env)
    backups = os.path.join(work, "backups")
    os.mkdir(backups)
    print(f"database: {count} documents, {live} live bytes, file {os.path.getsize(db)} bytes; "
          f"{args.runs} runs, interleaved")
    proc, client = serve(args.tovik, db, "--backup-dir", backups)
    online, offline = [], []
    try:
        for run in range(args.runs + 1):
            start = time.perf_counter()
            client.data({"op": "backup", "name": f"online-{run}"})
            o = time.perf_counter() - start
            dest = os.path.join(work, f"offline-{run}.tovik")
            start = time.perf_counter()
            res = subprocess.run([args.tovik, "backup", twin, dest], capture_output=True)
            f = time.perf_counter() - start
            if res.returncode != 0:
                raise SystemExit(f"offline backup failed: {res.stderr!r}")
            os.unlink(os.path.join(backups, f"online-{run}"))
            os.unlink(dest)
            if run > 0:  # the first run warms the cache for both
                online.append(o)
                offline.append(f)
    finally:
        stop(proc)
    print(summary("online backup (round trip)", online, "ms", 1000))
    print(summary("offline tovik backup (process)", offline, "ms", 1000))
    print(f"ratio online/offline: medians "
          f"{statistics.median(online) / statistics.median(offline):.3f}x, minimums "
          f"{min(online) / min(offline):.3f}x")


def get_figures(args, work, env):
    variants = []
    if args.baseline and os.path.exists(args.baseline):
        variants.append(("baseline (no counters)", args.baseline, []))
    variants.append(("counters", args.tovik, []))
    variants.append(("counters + --log", args.tovik, ["--log", os.path.join(work, "access.log")]))
    servers = []
    for i, (name, binary, options) in enumerate(variants):
        db = os.path.join(work, f"get-{i}.tovik")
        subprocess.run([args.tovik, "init", db], check=True, capture_output=True)
        provision(args.tovik, db, env)
        proc, client = serve(binary, db, *options)
        client.data({"op": "use", "collection": "c"})
        client.data({"op": "put", "id": "k", "document": {"n": 1, "s": "x" * 100}})
        servers.append((name, proc, client))
    request = frame({"op": "get", "id": "k"})
    per_variant = {name: [] for name, _, _ in servers}
    try:
        for _ in range(args.runs):
            for name, _, client in servers:
                n, start = 0, time.perf_counter()
                end = start + args.seconds
                while True:
                    client.raw(request)
                    n += 1
                    if n % 256 == 0 and time.perf_counter() >= end:
                        break
                per_variant[name].append((time.perf_counter() - start) / n)
    finally:
        for _, proc, _ in servers:
            stop(proc)
    print(f"get round trip, 1 client, {args.runs} rounds of {args.seconds} s per server, "
          "alternating")
    for name, xs in per_variant.items():
        print(summary(f"get: {name}", xs, "us", 1e6))
    reference = per_variant.get("baseline (no counters)")
    if reference:
        base = statistics.median(reference)
        for name in ("counters", "counters + --log"):
            # Minimums too: on a shared machine they are the least disturbed rounds.
            print(f"ratio {name}/baseline: medians "
                  f"{statistics.median(per_variant[name]) / base:.3f}x, minimums "
                  f"{min(per_variant[name]) / min(reference):.3f}x")
    else:
        print(f"ratio of medians log/counters: "
              f"{statistics.median(per_variant['counters + --log']) / statistics.median(per_variant['counters']):.3f}x")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tovik", default=os.environ.get("TOVIK_BIN", DEFAULT_TOVIK))
    ap.add_argument("--baseline", default=None, help="a tovik binary without status counters")
    ap.add_argument("--dir", default=None, help="directory on the file system to measure")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--seconds", type=float, default=1.0)
    args = ap.parse_args()
    env = {**os.environ, "TOVIK_PASSWORD": PASSWORD}
    work = tempfile.mkdtemp(prefix="tovik-operating-bench-", dir=args.dir)
    try:
        backup_figures(args, work, env)
        get_figures(args, work, env)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
