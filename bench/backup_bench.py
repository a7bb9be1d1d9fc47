#!/usr/bin/python3
"""Whole-process backup time of a full database, beside the floor of reading,
writing and fsyncing the same 32 MiB on the same file system in the same run.

Usage: backup_bench.py [--tovik PATH] [--dir DIR] [--runs N]

The database is written directly in the storage format (one generation-1
snapshot filling slot 0 to within a record of its capacity, valid documents
of the default warren), then checked with `tovik check` before timing. Each
run times `tovik backup` into a fresh name and one plain copy with fsync,
interleaved so both see the same cache and disk state. Prints figures only.
"""
import argparse
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_util import DEFAULT_TOVIK, record, summary  # noqa: E402

SLOT = 16 * 1024 * 1024
CAPACITY = SLOT - 64
HEADER = struct.Struct("<8sII QQQQ 12s")  # up to the crc
CHUNK = 65536


def document(doc_id, pad):
    return json.dumps({"id": doc_id, "pad": "x" * pad}, separators=(",", ":"),
                      sort_keys=True).encode()


def full_database(path):
    """Documents of about 200 KB in den "bench", then one sized to leave less
    than a minimal record of room."""
    records, used, n = [], 0, 0
    overhead = len(record(b"bench\x00000000", document("000000", 0)))
    while True:
        room = CAPACITY - used - overhead
        if room < 0:
            break
        pad = min(200_000, room, 262_144 - len(document("000000", 0)))
        rec = record(b"bench\x00" + f"{n:06d}".encode(), document(f"{n:06d}", pad))
        records.append(rec)
        used += len(rec)
        n += 1
        if pad == room:
            break
    data = b"".join(records)
    head = HEADER.pack(b"TOVIK001", 1, 0, 1, len(data), len(records), SLOT, b"\0" * 12)
    head += struct.pack("<I", zlib.crc32(head) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(head + data)
        f.truncate(2 * SLOT)
        os.fsync(f.fileno())
    return len(records), len(data)


def floor_copy(src, dst):
    with open(src, "rb", buffering=0) as i, open(dst, "wb", buffering=0) as o:
        while True:
            piece = i.read(CHUNK)
            if not piece:
                break
            o.write(piece)
        os.fsync(o.fileno())


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tovik", default=os.environ.get("TOVIK_BIN", DEFAULT_TOVIK))
    ap.add_argument("--dir", default=None, help="directory on the file system to measure")
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="tovik-backup-bench-", dir=args.dir)
    try:
        db = os.path.join(work, "full.tovik")
        count, live = full_database(db)
        check = subprocess.run([args.tovik, "check", db], capture_output=True, text=True)
        if check.returncode != 0:
            raise SystemExit(f"generated database fails the check: {check.stderr.strip()}")
        print(f"database: {count} documents, live_bytes {live} of {CAPACITY} "
              f"({live / CAPACITY * 100:.2f}% full), file {os.path.getsize(db)} bytes")
        print(f"file system: {os.path.realpath(work)}; {args.runs} runs, interleaved")

        backups, floors = [], []
        for run in range(args.runs + 1):
            dest = os.path.join(work, f"backup-{run}.tovik")
            plain = os.path.join(work, f"plain-{run}.bin")

            def backup():
                res = subprocess.run([args.tovik, "backup", db, dest], capture_output=True)
                if res.returncode != 0:
                    raise SystemExit(f"backup failed: {res.stderr.decode().strip()}")

            b = timed(backup)
            f = timed(lambda: floor_copy(db, plain))
            os.unlink(dest)
            os.unlink(plain)
            if run > 0:  # the first run warms the cache for both
                backups.append(b)
                floors.append(f)

        print(summary("tovik backup (process)", backups))
        print(summary("floor: read+write+fsync", floors))
        print(f"ratio of medians: {statistics.median(backups) / statistics.median(floors):.2f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
