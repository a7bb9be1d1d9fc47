"""The command table, exit statuses and default data file resolution."""
from conftest import clean_env, run

BANNER = "Tovik 0.1.0 (storage v1, protocol v1)\n"


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
