#!/usr/bin/env python3
"""Put throughput through the server with 1, 8 and 32 clients, beside a
throwaway PostgreSQL cluster doing the same writes in the same run.

Tovik: server_bench's put mode (a den of 1,000 documents and a full
database of 80,000 records; each put replaces a document of about the same
size). PostgreSQL: initdb into a temporary directory, listening on a Unix
socket in that directory only (no TCP), fsync and synchronous_commit on,
a jsonb table of 1,000 rows, pgbench upserting the same documents with 1, 8
and 32 clients over the socket.

Usage: bench/group_commit_bench.py --build BUILD [--seconds S] [--runs N]
  BUILD is a Release build directory holding bench/server_bench.
"""
import argparse
import glob
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile

CLIENTS = (1, 8, 32)
PAD = 120


def pg_bin(name):
    found = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"))
    if not found:
        raise SystemExit(f"{name} not found under /usr/lib/postgresql/*/bin "
                         "(install Debian's postgresql package)")
    return found[-1]


class Cluster:
    """A PostgreSQL cluster of its own; run as the postgres user when we are
    root (initdb refuses root)."""

    def __init__(self, work):
        self.dir = tempfile.mkdtemp(prefix="pg-", dir=work)
        self.data = os.path.join(self.dir, "data")
        self.prefix = []
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            os.chown(self.dir, user.pw_uid, user.pw_gid)
            os.chmod(work, 0o755)
            self.prefix = ["runuser", "-u", "postgres", "--"]
        self.call([pg_bin("initdb"), "-D", self.data, "-A", "trust", "-U", "bench",
                   "--no-instructions"])
        options = (f"-k {self.dir} -c listen_addresses='' -c fsync=on "
                   "-c synchronous_commit=on -c max_connections=64")
        self.call([pg_bin("pg_ctl"), "-D", self.data, "-o", options, "-w", "-l",
                   os.path.join(self.dir, "log"), "start"])

    def call(self, argv, **kw):
        res = subprocess.run(self.prefix + argv, capture_output=True, text=True, **kw)
        if res.returncode != 0:
            raise SystemExit(f"{argv[0]} failed: {res.stderr.strip() or res.stdout.strip()}")
        return res.stdout

    def sql(self, text):
        return self.call([pg_bin("psql"), "-h", self.dir, "-U", "bench", "-d", "postgres",
                          "-v", "ON_ERROR_STOP=1", "-q", "-c", text])

    def stop(self):
        subprocess.run(self.prefix + [pg_bin("pg_ctl"), "-D", self.data, "-m", "immediate",
                                      "stop"], capture_output=True)


def postgres_rates(work, seconds, runs):
    cluster = Cluster(work)
    try:
        doc = '{"name":"tovik","n":1,"pad":"' + "x" * PAD + '"}'
        cluster.sql("CREATE TABLE docs (id text PRIMARY KEY, doc jsonb NOT NULL);"
                    f"INSERT INTO docs SELECT 'fill-' || i, '{doc}'::jsonb "
                    "FROM generate_series(0, 999) i;")
        script = os.path.join(cluster.dir, "put.sql")
        with open(script, "w") as f:
            f.write("\\set id random(0, 999)\n\\set n random(0, 1000000)\n"
                    "INSERT INTO docs VALUES ('fill-' || :id, jsonb_build_object("
                    f"'name', 'tovik', 'n', :n, 'pad', repeat('x', {PAD}))) "
                    "ON CONFLICT (id) DO UPDATE SET doc = EXCLUDED.doc;\n")
        os.chmod(script, 0o644)
        rates = {}
        for clients in CLIENTS:
            got = []
            for _ in range(runs):
                out = cluster.call([pg_bin("pgbench"), "-h", cluster.dir, "-U", "bench", "-n",
                                    "-c", str(clients), "-j", str(min(clients, 8)),
                                    "-T", str(max(1, round(seconds))), "-f", script,
                                    "postgres"])
                m = re.search(r"tps = ([\d.]+)", out)
                got.append(float(m.group(1)))
            rates[clients] = got
        return rates
    finally:
        cluster.stop()


def tovik_rates(build, seconds, runs):
    out = subprocess.run([os.path.join(build, "bench", "server_bench"), str(seconds), str(runs),
                          "puts"], capture_output=True, text=True, check=True).stdout
    rates = {}
    for line in out.splitlines():
        m = re.match(r"put (.+), (\d+) client\(s\)\s+([\d.]+)/s \(runs ([\d.]+)-([\d.]+)\)", line)
        if m:
            rates[(m.group(1), int(m.group(2)))] = (float(m.group(4)), float(m.group(5)))
    return rates


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--dir", default=None, help="directory on the file system to measure")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="tovik-group-", dir=args.dir)
    try:
        print("running Tovik puts ...", file=sys.stderr, flush=True)
        tovik = tovik_rates(os.path.abspath(args.build), args.seconds, args.runs)
        print("running PostgreSQL upserts ...", file=sys.stderr, flush=True)
        pg = postgres_rates(work, args.seconds, args.runs)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"puts per second, best of {args.runs} runs of {args.seconds:g} s (range)")
    print(f"{'clients':>8}  {'Tovik, den of 1,000':>24}  {'Tovik, full database':>24}  "
          f"{'PostgreSQL, 1,000 rows':>24}")
    for clients in CLIENTS:
        cells = []
        for setting in ("den of 1,000", "full database"):
            low, high = tovik.get((setting, clients), (0, 0))
            cells.append(f"{high:8.0f} ({low:.0f}-{high:.0f})")
        got = pg[clients]
        cells.append(f"{max(got):8.0f} ({min(got):.0f}-{max(got):.0f})")
        print(f"{clients:>8}  " + "  ".join(f"{c:>24}" for c in cells))


if __name__ == "__main__":
    main()
