"""The command table, exit statuses and default data file resolution."""
import subprocess

from conftest import TOVIK, clean_env, run

BANNER = "Tovik 0.1.0 (storage v1, protocol v1)\n"
BACKUP_USAGE = "usage: tovik backup <database> <new-backup> | restore <backup> <new-database>"
SERVE_USAGE = "usage: tovik serve [file] [option value]..."
IMPORT_USAGE = ("usage: tovik import <file> <den> <path>|- [--id-field NAME] [--mode put|insert] "
                "| tovik import <file> --all <path>|-")


def test_version_ignores_extra_arguments(env):
    for args in (["version"], ["--version", "x", "y"]):
        res = run(args, env=env)
        assert (res.returncode, res.stdout, res.stderr) == (0, BANNER, "")


def test_usage_failures_exit_one_with_prefix(env):
    cases = [
        (["init", "a", "b"], "usage: tovik init [file]"),
        (["setup", "a"], "usage: tovik setup <file> <username>"),
        (["setup", "a", "b", "c"], "usage: tovik setup <file> <username>"),
        (["backup", "a"], "usage: tovik backup <database> <new-backup> | restore <backup> <new-database>"),
        (["restore", "a", "b", "c"], "usage: tovik backup <database> <new-backup> | restore <backup> <new-database>"),
        (["batch", "a", "b"], "unknown command"),
        (["frobnicate", "x"], "unknown command"),
        (["Put", "x", "y"], "unknown command"),
    ]
    for args, message in cases:
        res = run(args, env=env)
        assert res.returncode == 1, args
        assert res.stdout == ""
        assert res.stderr == f"tovik: {message}\n", args


def test_help_shows_default_file_from_each_source(tmp_path):
    def last_line(**extra):
        res = run(["help"], env=clean_env(tmp_path, **extra))
        assert res.returncode == 0
        return res.stdout.splitlines()[-1]

    suffix = " (override directory with TOVIK_DATA_DIR)"
    assert last_line(TOVIK_DATA_DIR="/srv/db") == "Default data file: /srv/db/instance.tovik" + suffix
    assert last_line(XDG_DATA_HOME="/x") == "Default data file: /x/tovik/instance.tovik" + suffix
    assert last_line(HOME="/home/u") == \
        "Default data file: /home/u/.local/share/tovik/instance.tovik" + suffix


def test_help_omits_default_file_when_unresolvable(tmp_path):
    res = run(["--help"], env=clean_env(tmp_path, TOVIK_DATA_DIR="relative"))
    assert res.returncode == 0
    lines = res.stdout.splitlines()
    assert len(lines) == 13
    assert lines[0] == "tovik backup <database> <new-backup>"
    assert lines[-1].startswith("No-path init creates admin credentials")


def test_default_file_failures(tmp_path):
    res = run(["stats"], env=clean_env(tmp_path, TOVIK_DATA_DIR="relative"))
    assert res.returncode == 1
    assert res.stderr == ("tovik: data directory must be absolute "
                          "(TOVIK_DATA_DIR/XDG_DATA_HOME/LOCALAPPDATA/HOME)\n")
    env = clean_env(tmp_path)
    del env["HOME"]
    res = run(["status"], env=env)
    assert (res.returncode, res.stderr) == (1, "tovik: HOME missing; set TOVIK_DATA_DIR\n")
    res = run(["check"], env=clean_env(tmp_path, XDG_DATA_HOME=""))
    assert res.returncode == 1 and "data directory must be absolute" in res.stderr


def run_in(cwd, args, env, input=None):
    return subprocess.run([TOVIK, *args], cwd=cwd, env=env, input=input, capture_output=True,
                          text=True, timeout=60)


def tree(root):
    """Every path under root with its bytes: what a command created or changed."""
    return {p: p.read_bytes() if p.is_file() else None for p in sorted(root.rglob("*"))}


# (arguments, the argument refused, the usage line); DB is an existing database.
UNKNOWN_OPTIONS = [
    (["init", "--bogus"], "--bogus", "usage: tovik init [file]"),
    (["init", "-"], "-", "usage: tovik init [file]"),
    (["init", "-x", "y"], "-x", "usage: tovik init [file]"),
    (["setup", "-x", "admin"], "-x", "usage: tovik setup <file> <username>"),
    (["setup", "DB", "--user"], "--user", "usage: tovik setup <file> <username>"),
    (["backup", "DB", "--force"], "--force", BACKUP_USAGE),
    (["restore", "-b", "new"], "-b", BACKUP_USAGE),
    (["serve", "-x"], "-x", SERVE_USAGE),
    (["serve", "DB", "--log", "--bind", "127.0.0.1:0"], "--bind", SERVE_USAGE),
    (["serve", "DB", "--backup-dir", "-d"], "-d", SERVE_USAGE),
    (["status", "-x"], "-x", "usage: tovik status [file]"),
    (["collections", "--all"], "--all", "usage: tovik collections <file>"),
    (["usage", "-f"], "-f", "usage: tovik usage <file>"),
    (["put", "DB", "-d", "id", "{}"], "-d", "usage: tovik put <file> <den> <id> <json>"),
    (["get", "--file", "d", "i"], "--file", "usage: tovik get <file> <den> <id>"),
    (["delete", "DB", "-d", "i"], "-d", "usage: tovik delete <file> <den> <id>"),
    (["scan", "DB", "-d"], "-d", "usage: tovik scan <file> <den> [limit]"),
    (["find", "DB", "--den", "a=1"], "--den", "usage: tovik find <file> <den> <field>=<value> [limit]"),
    (["query", "DB", "-d", "{}"], "-d", "usage: tovik query <file> <den> <filter> [limit] [--sort PATHS] [--skip N]"),
    (["count", "DB", "-d", "{}"], "-d", "usage: tovik count <file> <den> <filter>"),
    (["import", "DB", "-d", "in.jsonl"], "-d", IMPORT_USAGE),
    (["import", "DB", "d", "-in.jsonl"], "-in.jsonl", IMPORT_USAGE),
    (["export", "DB", "-d"], "-d", "usage: tovik export <file> [<den> [--id-field NAME]]"),
]
WORDS = ["init", "setup", "serve", "batch", "backup", "restore", "version", "status", "stats",
         "check", "collections", "usage", "put", "get", "delete", "scan", "find", "query",
         "count", "import", "export"]


def test_options_are_never_taken_for_files_or_names(tmp_path, env):
    work = tmp_path / "work"
    work.mkdir()
    assert run_in(work, ["init", "DB"], env).returncode == 0
    (work / "in.jsonl").write_text('{"id":"a"}\n')
    before = tree(tmp_path)
    for args, refused, usage in UNKNOWN_OPTIONS:
        res = run_in(work, args, env, input="")
        assert (res.returncode, res.stdout, res.stderr) == (
            1, "", f"tovik: unknown option {refused}\n{usage}\n"), args
        assert tree(tmp_path) == before, args
    for word in WORDS:
        for flag in ("--help", "-h"):
            res = run_in(work, [word, flag, "DB"], env, input="")
            assert (res.returncode, res.stderr) == (0, ""), (word, flag)
            usage = res.stdout.splitlines()[0]
            assert usage.startswith(f"usage: tovik {'backup' if word == 'restore' else word}")
            assert len(res.stdout.splitlines()) > 1 and tree(tmp_path) == before
    assert "  --max-document-bytes N " in run_in(work, ["serve", "-h"], env).stdout
    assert "  --mode put|insert " in run_in(work, ["import", "--help"], env).stdout
    help_text = run_in(work, ["help"], env).stdout
    for args in (["--help"], ["-h"], ["help", "--help"], ["--help", "init"]):
        assert run_in(work, args, env).stdout == help_text


def test_values_that_begin_with_a_dash_stay_values(tmp_path, env):
    work = tmp_path / "work"
    work.mkdir()
    run_in(work, ["init", "DB"], env)
    rows = [(["put", "DB", "d", "-1", '{"n":-2}'], 0, '{"ok":true}\n', ""),
            (["get", "DB", "d", "-1"], 0, '{"id":"-1","n":-2}\n', ""),
            (["find", "DB", "d", "n=-2"], 0, '{"id":"-1","n":-2}\n', None),
            (["count", "DB", "d", '{"n":-2}'], 0, None, ""),
            (["scan", "DB", "d", "-1"], 1, "", "tovik: invalid digit found in string\n"),
            (["put", "DB", "--", "-d", "x", "{}"], 0, '{"ok":true}\n', ""),
            (["scan", "DB", "--", "-d"], 0, '{"id":"x"}\n', None),
            (["get", "DB", "d", "--"], 0, "null\n", ""),
            (["import", "DB", "d", "-"], 0, "Imported 1 shinies into d\n", ""),
            (["serve", "--max-clients", "-1"], 1, "", "tovik: invalid digit found in string\n"),
            (["init", "a", "-b"], 1, "", "tovik: usage: tovik init [file]\n")]
    for args, code, out, err in rows:
        res = run_in(work, args, env, input='{"id":"in"}\n')
        assert res.returncode == code, (args, res.stderr)
        assert out is None or res.stdout == out, args
        assert err is None or res.stderr == err, args
