"""The PostgreSQL path of docs/migrating.md, run for real: a throwaway
PostgreSQL server of its own (initdb and pg_ctl in a temporary directory,
a Unix socket there and no TCP), the guide's commands exactly as written,
every document compared with jsonb equality in SQL, and the way back into
new Tovik databases compared byte for byte."""
import glob
import json
import os
import re
import secrets
import shlex
import shutil
import subprocess
import tempfile

import pytest

from conftest import TOVIK, clean_env
from data_util import compact, varied_documents

GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                     "migrating.md")


def guide_steps():
    """The guide's marked shell blocks by name."""
    text = open(GUIDE, encoding="utf-8").read()
    return dict(re.findall(r"<!-- step: (\S+) -->\n```sh\n(.*?)```", text, re.S))


def postgres_bin():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
    if not found:
        pytest.fail("PostgreSQL is not installed: run scripts/deps.sh")
    return os.path.dirname(found[-1])


class Cluster:
    """A PostgreSQL cluster in a temporary directory, listening only on a
    Unix socket there. Run as the postgres user when the tests run as root
    (initdb refuses root); stopped by its own pg_ctl, always."""

    def __init__(self):
        self.bin = postgres_bin()
        self.dir = tempfile.mkdtemp(prefix="tovik-pg-")
        self.data = os.path.join(self.dir, "data")
        self.socket = os.path.join(self.dir, "socket")
        os.mkdir(self.socket)
        self.prefix = []
        if os.geteuid() == 0:
            for path in (self.dir, self.socket):
                shutil.chown(path, "postgres", "postgres")
            self.prefix = ["runuser", "-u", "postgres", "--"]
        self.started = False

    def pg(self, tool, *args):
        res = subprocess.run([*self.prefix, os.path.join(self.bin, tool), *args],
                             capture_output=True, text=True, timeout=120)
        assert res.returncode == 0, f"{tool}: {res.stdout}{res.stderr}"
        return res

    def start(self):
        self.pg("initdb", "-D", self.data, "-U", "tovik", "--auth=trust", "-E", "UTF8",
                "--locale=C")
        self.started = True
        self.pg("pg_ctl", "-D", self.data, "-l", os.path.join(self.dir, "log"), "-w", "-o",
                f"-c listen_addresses='' -k {self.socket} -c fsync=off", "start")

    def stop(self):
        try:
            if self.started:
                subprocess.run([*self.prefix, os.path.join(self.bin, "pg_ctl"), "-D", self.data,
                                "-m", "fast", "-w", "stop"], capture_output=True, timeout=60)
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)

    def env(self, database):
        return {"PGHOST": self.socket, "PGUSER": "tovik", "PGDATABASE": database}


@pytest.fixture(scope="module")
def cluster():
    c = Cluster()
    try:
        c.start()
        yield c
    finally:
        c.stop()


@pytest.fixture
def shell(cluster, tmp_path):
    """Runs a guide step in its own directory, with `tovik` on the PATH and
    psql pointed at a fresh database of the cluster."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    os.symlink(os.path.abspath(TOVIK), bindir / "tovik")
    os.symlink(os.path.join(cluster.bin, "psql"), bindir / "psql")
    database = "d" + secrets.token_hex(4)
    subprocess.run([os.path.join(cluster.bin, "createdb"), "-h", cluster.socket, "-U", "tovik",
                    database], check=True, capture_output=True)
    env = {**clean_env(tmp_path), **cluster.env(database),
           "PATH": f"{bindir}:{os.environ.get('PATH', '/usr/bin:/bin')}"}
    work = tmp_path / "work"
    work.mkdir()

    def run(script, check=True, stdin=None):
        res = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=work, env=env,
                             input=stdin, capture_output=True, text=True, timeout=300)
        if check:
            assert res.returncode == 0, f"{script}\n{res.stdout}{res.stderr}"
        return res

    run.work = work
    return run


def sql(run, text):
    return run("psql -v ON_ERROR_STOP=1 -q -At", stdin=text).stdout


def dollar_quoted(text):
    tag = "$t" + secrets.token_hex(4) + "$"
    assert tag not in text
    return f"{tag}{text}{tag}"


def test_a_den_and_the_whole_database_go_to_postgres_and_back(shell):
    steps = guide_steps()
    docs = varied_documents(3000)
    others = [("shop", "orders", {"id": "o1", "total": 12.5, "lines": [{"sku": "a", "n": 2}]}),
              ("shop", "orders", {"id": "o2", "note": "ü \\ \""}),
              ("zoo", "pens", {"id": "p1", "animals": []})]
    lines = [compact({"den": "people", "document": d, "warren": "default"}) for d in docs]
    lines += [compact({"den": den, "document": d, "warren": w}) for w, den, d in others]
    (shell.work / "seed.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    shell("tovik init app.tovik && tovik import app.tovik --all seed.jsonl")

    # One den: exported, loaded, and every document equal as jsonb to the
    # original, which reaches PostgreSQL by another path (SQL literals).
    shell(steps["den-export"])
    shell(steps["den-load"])
    values = ",\n".join(f"({dollar_quoted(json.dumps(d, ensure_ascii=False))}::jsonb)"
                       for d in docs)
    assert sql(shell, f"""CREATE TABLE expected (doc jsonb NOT NULL);
INSERT INTO expected VALUES {values};
SELECT count(*) FROM people;
SELECT count(*) FROM expected e FULL JOIN people p ON p.id = e.doc ->> 'id'
  WHERE p.doc IS DISTINCT FROM e.doc;""").split() == ["3000", "0"]

    # Back into a new Tovik database: the same documents, byte for byte.
    shell(steps["den-back"])
    original = shell("tovik export app.tovik people").stdout
    assert shell("tovik export new.tovik people").stdout == original
    for doc in docs[::250]:
        assert shell(f"tovik get new.tovik people {shlex.quote(doc['id'])}").stdout == \
            compact(doc) + "\n"

    # The whole database in one table, and back.
    shell(steps["all-load"])
    assert sql(shell, """SELECT count(*) FROM documents;
SELECT count(*) FROM documents d JOIN expected e ON d.id = e.doc ->> 'id'
  WHERE d.warren = 'default' AND d.den = 'people' AND d.document = e.doc;
SELECT document ->> 'note' FROM documents WHERE warren = 'shop' AND id = 'o2';""").split("\n")[:3] \
        == ["3003", "3000", 'ü \\ "']
    shell(steps["all-back"])
    assert shell("tovik export restored.tovik").stdout == shell("tovik export app.tovik").stdout


def test_what_the_guide_says_does_not_come_back_unchanged(shell):
    steps = guide_steps()
    shell("tovik init app.tovik && tovik import app.tovik people - <<'END'\n"
          '{"id":"f","f":1e15,"z":-0.0,"small":1.5e-300}\n{"id":"g","big":1e300}\nEND\n')
    shell(steps["den-export"])
    shell(steps["den-load"])
    # In PostgreSQL the numbers are still equal...
    assert sql(shell, """SELECT count(*) FROM people
  WHERE doc = '{"id":"f","f":1e15,"z":-0.0,"small":1.5e-300}' OR doc = '{"id":"g","big":1e300}';""") \
        .split() == ["2"]
    # ...but come back in plain decimal: 1e+300 is an integer beyond 64 bits.
    res = shell(steps["den-back"], check=False)
    assert res.returncode == 1
    assert re.search(r"tovik: line 2: number out of range at column \d+\n$", res.stderr)
    shell("head -n 1 people-back.jsonl > f.jsonl && tovik import new.tovik people f.jsonl")
    assert shell("tovik get new.tovik people f").stdout == \
        '{"f":1000000000000000,"id":"f","small":1.5e-300,"z":0.0}\n'
