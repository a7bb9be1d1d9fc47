#!/usr/bin/python3
"""What watching the change feed costs, through a server on a free loopback
port (raw sockets, one process per client, so no interpreter lock is shared).

Wake-up: a watcher process waits in a changes request on a den; the writer
(this process) sees it waiting in the server's status, then puts one shiny
into the den. Each takes CLOCK_MONOTONIC (one clock for the whole machine)
as its answer arrives. Printed: the watcher's answer time minus the put's
acknowledgement time, median and 99th percentile over the puts. It can be
negative: the server wakes the watcher once the commit is durable, and may
answer the watcher before the writer.

Throughput: 8 processes put as fast as they can for some seconds, without
and with 4 watcher processes on the same den (each looping on changes with
wait_ms and the answer's next and skip); the two configurations alternate
in one run. Printed: each run's puts per second and its ratio, and the
medians.

Usage: feed_bench.py [--tovik PATH] [--puts N] [--seconds S] [--runs N]
Prints figures only; nothing here asserts on time.
"""
import argparse
import multiprocessing
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_util import DEFAULT_TOVIK, Wire, serve_fresh  # noqa: E402

PASSWORD = "correct horse battery"
PUTTERS, WATCHERS = 8, 4
IDS = 1_000
PAD = "x" * 120


def session(port, place="/bench/items"):
    wire = Wire(port, timeout=120)
    wire.data({"op": "auth", "username": "admin", "password": PASSWORD})
    if place:
        wire.data({"op": "navigate", "name": place})
    return wire


def waiting(status):
    return status.data({"op": "server"})["feed"]["waiting"]


def follow(wire, position, wait_ms):
    """One changes request from position (after, skip); its changes and the
    position after them."""
    command = {"op": "changes", "limit": 1_000, "wait_ms": wait_ms}
    if position is not None:
        command["after"] = position[0]
        if position[1]:
            command["skip"] = position[1]
    data = wire.data(command)
    return data["changes"], (data["next"], data.get("skip", 0))


# ---------------------------------------------------------------- wake-up


def wake_watcher(port, puts, pipe):
    """Waits for each put; sends back when each answer arrived."""
    wire = session(port)
    _, position = follow(wire, None, 0)
    for _ in range(puts):
        changes, position = follow(wire, position, 30_000)
        pipe.send((time.clock_gettime(time.CLOCK_MONOTONIC), len(changes)))


def wake_up(port, puts):
    ours, theirs = multiprocessing.Pipe()
    watcher = multiprocessing.Process(target=wake_watcher, args=(port, puts, theirs))
    watcher.start()
    writer, status = session(port), session(port, None)
    deltas, round_trips = [], []
    for i in range(puts):
        while waiting(status) < 1:
            pass
        sent = time.clock_gettime(time.CLOCK_MONOTONIC)
        writer.data({"op": "put", "id": f"w{i % IDS}", "document": {"n": i, "pad": PAD}})
        acked = time.clock_gettime(time.CLOCK_MONOTONIC)
        answered, count = ours.recv()
        if count != 1:
            raise SystemExit(f"the watcher saw {count} changes for one put")
        deltas.append(answered - acked)
        round_trips.append(acked - sent)
    watcher.join()
    return deltas, round_trips


# ---------------------------------------------------------------- throughput


def putter(port, number, begin, seconds, results):
    wire = session(port)
    i = 0
    while time.monotonic() < begin:
        time.sleep(0.001)
    end = begin + seconds
    while time.monotonic() < end:
        # Ids of one putter only: two puts of one id sharing a commit would be
        # one change, and the watchers' count would fall short of the puts.
        wire.data({"op": "put", "id": f"p{number}-{i % IDS}",
                   "document": {"n": i, "pad": PAD}})
        i += 1
    results.put(i)


def loop_watcher(port, stop, results):
    wire = session(port)
    seen, position = 0, None
    while True:
        # Once the putters are done, what is left is read without waiting.
        done = stop.is_set()
        changes, position = follow(wire, position, 0 if done else 200)
        seen += len(changes)
        if done and not changes:
            break
    results.put(seen)


def throughput(port, seconds, watchers):
    """Puts per second of PUTTERS processes, with `watchers` following."""
    results, seen, stop = multiprocessing.Queue(), multiprocessing.Queue(), multiprocessing.Event()
    followers = [multiprocessing.Process(target=loop_watcher, args=(port, stop, seen))
                 for _ in range(watchers)]
    for p in followers:
        p.start()
    status = session(port, None)
    while waiting(status) < watchers:
        time.sleep(0.01)
    begin = time.monotonic() + 0.5  # every putter connected before the clock starts
    writers = [multiprocessing.Process(target=putter, args=(port, n, begin, seconds, results))
               for n in range(PUTTERS)]
    for p in writers:
        p.start()
    total = sum(results.get() for _ in writers)
    for p in writers:
        p.join()
    stop.set()
    followed = [seen.get() for _ in followers]
    for p in followers:
        p.join()
    if any(n < total for n in followed):
        raise SystemExit(f"a watcher fell behind: {followed} of {total} changes")
    return total / seconds


def ms(values):
    return f"{statistics.median(values) * 1000:8.3f} ms"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tovik", default=os.environ.get("TOVIK_BIN", DEFAULT_TOVIK))
    ap.add_argument("--puts", type=int, default=400)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    multiprocessing.set_start_method("fork")
    with tempfile.TemporaryDirectory(prefix="tovik-feed-") as workdir:
        proc, address, _ = serve_fresh(args.tovik, workdir, PASSWORD)
        port = int(address.rsplit(":", 1)[1])
        try:
            admin = session(port, None)
            admin.data({"op": "create", "kind": "warren", "name": "bench"})
            admin.data({"op": "navigate", "name": "/bench"})
            admin.data({"op": "create", "kind": "den", "name": "items"})
            deltas, round_trips = wake_up(port, args.puts)
            rates = {0: [], WATCHERS: []}
            for _ in range(args.runs):
                for watchers in rates:
                    rates[watchers].append(throughput(port, args.seconds, watchers))
        finally:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()

    ordered = sorted(deltas)
    p99 = ordered[min(len(ordered) - 1, round(0.99 * (len(ordered) - 1)))]
    print(f"wake-up, {args.puts} puts, each to a waiting watcher "
          "(negative: the watcher was answered first)")
    print(f"  watcher answer minus put ack   median {ms(deltas)}  p99 {p99 * 1000:8.3f} ms  "
          f"min {ordered[0] * 1000:8.3f} ms  max {ordered[-1] * 1000:8.3f} ms")
    print(f"  put round trip                 median {ms(round_trips)}")
    print(f"put throughput, {PUTTERS} clients, {args.seconds:g} s per run, configurations "
          "alternating")
    # Each pair ran back to back, so its ratio is less touched by the
    # machine's drift than the ratio of the medians.
    pairs = [watched / alone for alone, watched in zip(rates[0], rates[WATCHERS])]
    for run, (alone, watched) in enumerate(zip(rates[0], rates[WATCHERS]), 1):
        print(f"  run {run}   no watchers {alone:8.0f}/s   {WATCHERS} watchers {watched:8.0f}/s"
              f"   ratio {pairs[run - 1]:.3f}")
    alone, watched = statistics.median(rates[0]), statistics.median(rates[WATCHERS])
    print(f"  median   no watchers {alone:8.0f}/s   {WATCHERS} watchers {watched:8.0f}/s   "
          f"ratio {watched / alone:.3f}   median of the runs' ratios "
          f"{statistics.median(pairs):.3f}")


if __name__ == "__main__":
    main()
