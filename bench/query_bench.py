#!/usr/bin/python3
"""query and count figures (bench/query_bench.cc) beside the same range query
in sqlite3: a json_extract filter over the same 10,000 stored texts, in
process, the table on disk and warm like Tovik's file.

Usage: bench/query_bench.py [--build DIR] [--repeats N]"""
import argparse
import json
import os
import re
import sqlite3
import statistics
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--repeats", type=int, default=25)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="tovik-qbench-") as work:
        exported = os.path.join(work, "orders.jsonl")
        out = subprocess.run([os.path.join(args.build, "bench", "query_bench"),
                              str(args.repeats), exported],
                             check=True, capture_output=True, text=True).stdout
        print(out, end="")
        medians = {m.group(1): float(m.group(2)) for m in
                   re.finditer(r"^(\w+)\s+min\s+[\d.]+ ms\s+median\s+([\d.]+) ms", out, re.M)}

        con = sqlite3.connect(os.path.join(work, "orders.sqlite"))
        con.execute("CREATE TABLE den (id TEXT PRIMARY KEY, body TEXT NOT NULL)")
        with open(exported, encoding="utf-8") as f:
            rows = [(json.loads(line)["id"], line.rstrip("\n")) for line in f]
        assert len(rows) == 10_000
        con.executemany("INSERT INTO den VALUES (?, ?)", rows)
        con.commit()
        sql = ("SELECT body FROM den WHERE json_extract(body, '$.dims.w') > 1000 "
               "AND json_extract(body, '$.dims.w') < 2000 ORDER BY id LIMIT 100")
        samples = []
        for _ in range(args.repeats):
            start = time.perf_counter()
            found = con.execute(sql).fetchall()
            samples.append((time.perf_counter() - start) * 1000)
            assert not found
        con.close()
        samples.sort()
        median = statistics.median(samples)
        print(f"sqlite3  min {samples[0]:8.3f} ms  median {median:8.3f} ms  "
              f"max {samples[-1]:8.3f} ms  (same range, json_extract over the same 10,000 "
              f"rows; Tovik query is {medians['query'] / median:.2f}x its time)")


if __name__ == "__main__":
    main()
