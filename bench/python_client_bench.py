#!/usr/bin/python3
"""Gets per second through the Python client on one connection, beside
`tovik batch` piping the same gets to the same server in the same run.

Usage: python_client_bench.py [--tovik PATH] [--gets N] [--runs N] [--docs N]

A throwaway database is served on a free loopback port and filled with
small shinies. Each run times, interleaved so both see the same machine
state: the Python client connecting, reading N ids in turn and quitting;
and `tovik batch` doing the same from a pipe (its output to /dev/null).
Both figures include logging in; the rate of the gets alone is printed too
(the Python loop timed by itself, batch minus a run that only logs in).
Prints figures only: medians with min-max over the runs.
"""
import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "clients", "python"))
import tovik  # noqa: E402

sys.path.insert(0, HERE)
from bench_util import serve_fresh  # noqa: E402

DEFAULT_TOVIK = os.path.join(ROOT, "build", "src", "cli", "tovik")
PASSWORD = "correct horse battery"


def python_run(address, ids):
    """Seconds for connect + gets + quit, and for the gets alone."""
    begin = time.perf_counter()
    with tovik.connect(address, password=PASSWORD) as client:
        den = client.warren("bench").den("items")
        den.get(ids[0])  # moves the session; not counted in the loop
        loop = time.perf_counter()
        for doc_id in ids:
            if den.get(doc_id) is None:
                raise SystemExit(f"missing {doc_id}")
        loop = time.perf_counter() - loop
    return time.perf_counter() - begin, loop


def batch_run(binary, address, env, script):
    begin = time.perf_counter()
    subprocess.run([binary, "batch", address], input=script, env=env, check=True, text=True,
                   stdout=subprocess.DEVNULL)
    return time.perf_counter() - begin


def spread(values):
    return f"{statistics.median(values):,.0f} ({min(values):,.0f}-{max(values):,.0f})"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tovik", default=os.environ.get("TOVIK_BIN", DEFAULT_TOVIK))
    parser.add_argument("--gets", type=int, default=20_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--docs", type=int, default=1_000)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as workdir:
        proc, address, env = serve_fresh(args.tovik, workdir, PASSWORD)
        try:
            ids = [f"k{i:05d}" for i in range(args.docs)]
            with tovik.connect(address, password=PASSWORD) as client:
                client.create_warren("bench")
                client.warren("bench").create_den("items")
                den = client.warren("bench").den("items")
                for i, doc_id in enumerate(ids):
                    den.put(doc_id, {"item": "tea", "qty": i, "note": "x" * 100})
            gets = [ids[i % len(ids)] for i in range(args.gets)]
            script = "use bench/items\n" + "".join(f"get {i}\n" for i in gets)
            py_all, py_loop, batch_all, batch_login = [], [], [], []
            for _ in range(args.runs):
                whole, loop = python_run(address, gets)
                py_all.append(args.gets / whole)
                py_loop.append(args.gets / loop)
                full = batch_run(args.tovik, address, env, script)
                login = batch_run(args.tovik, address, env, "use bench/items\n")
                batch_all.append(args.gets / full)
                batch_login.append(args.gets / max(full - login, 1e-9))
        finally:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()

    print(f"gets per second, {args.gets:,} gets of {args.docs:,} shinies on one connection, "
          f"median (min-max) of {args.runs} runs")
    print(f"  python client, with login:   {spread(py_all)}")
    print(f"  tovik batch, with login:     {spread(batch_all)}")
    print(f"  python client, gets alone:   {spread(py_loop)}")
    print(f"  tovik batch, gets alone:     {spread(batch_login)}")
    ratio = [p / b for p, b in zip(py_all, batch_all)]
    print(f"  python / batch, with login:  {statistics.median(ratio):.2f} "
          f"({min(ratio):.2f}-{max(ratio):.2f})")
    ratio = [p / b for p, b in zip(py_loop, batch_login)]
    print(f"  python / batch, gets alone:  {statistics.median(ratio):.2f} "
          f"({min(ratio):.2f}-{max(ratio):.2f})")


if __name__ == "__main__":
    main()
