"""init and setup: the three provisioning states, the credential file they
write, and the password prompt on a real (pseudo-)terminal."""
import json
import os
import signal
import stat

import argon2
import pytest

from conftest import PASSWORD, run
from offline_util import LockHolder, PtyRun, run_without_terminal, snapshot

PROMPT = "New administrator password (12-1024 bytes): "
CONFIRM = "Confirm password: "
ALREADY = ("instance already exists; run tovik serve (or tovik setup <file> <username> "
           "to finish credentials)")


def auth_of(path):
    return type(path)(str(path) + ".auth")


def configured(path):
    return f"Local administrator configured. Start with: tovik serve {path}\n"


def verify_registry(path, username, password):
    """The registry as another Argon2 implementation reads it."""
    text = auth_of(path).read_text()
    assert list(json.loads(text)) == ["username", "hash"]
    assert "\n" not in text and ", " not in text
    registry = json.loads(text)
    assert registry["username"] == username
    assert argon2.PasswordHasher().verify(registry["hash"], password)
    assert stat.S_IMODE(auth_of(path).stat().st_mode) == 0o600


def test_init_file_creates_an_empty_database_without_credentials(tmp_path, env):
    path = tmp_path / "new.tovik"
    res = run(["init", str(path)], env=env)
    assert (res.returncode, res.stdout, res.stderr) == (0, '{"ok":true}\n', "")
    assert path.stat().st_size == 33_554_432
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    assert not auth_of(path).exists()


def test_init_file_refuses_an_existing_file_or_credentials(db, env, tmp_path):
    before = snapshot(db)
    res = run(["init", str(db)], env=env)
    assert (res.returncode, res.stderr) == (1, "tovik: storage I/O or locking failure\n")
    assert snapshot(db) == before

    path = tmp_path / "other.tovik"
    auth_of(path).write_text("{}")
    res = run(["init", str(path)], env=env)
    assert res.stderr == "tovik: credentials already exist; refusing initialization\n"
    assert not path.exists()


def test_default_init_creates_directory_and_administrator(tmp_path, env):
    data = tmp_path / "a" / "b" / "data"
    env = {**env, "TOVIK_DATA_DIR": str(data), "TOVIK_PASSWORD": PASSWORD}
    path = data / "instance.tovik"
    res = run(["init"], env=env)
    assert res.returncode == 0, res.stderr
    assert res.stdout == f"Initialized instance: {path}\n" + configured(path)
    assert res.stderr == ""
    verify_registry(path, "admin", PASSWORD)

    again = run(["init"], env=env)
    assert (again.returncode, again.stderr) == (1, f"tovik: {ALREADY}\n")


def test_default_init_refuses_a_leftover_credential_file(tmp_path, env):
    data = tmp_path / "data"
    data.mkdir()
    (data / "instance.tovik.auth").write_text("{}")
    res = run(["init"], env={**env, "TOVIK_DATA_DIR": str(data)})
    assert res.stderr == f"tovik: {ALREADY}\n"
    assert not (data / "instance.tovik").exists()


def test_default_init_without_a_terminal_leaves_setup_to_finish(tmp_path, env):
    data = tmp_path / "data"
    env = {**env, "TOVIK_DATA_DIR": str(data)}
    path = data / "instance.tovik"
    # A new session has no controlling terminal, so the password cannot be read.
    res = run_without_terminal(["init"], env)
    assert res.returncode == 1
    assert res.stdout == f"Initialized instance: {path}\n"
    assert res.stderr.startswith("tovik: ") and "(os error " in res.stderr
    assert path.exists() and not auth_of(path).exists()

    res = run(["setup"], env={**env, "TOVIK_PASSWORD": PASSWORD})
    assert (res.returncode, res.stdout) == (0, configured(path))
    verify_registry(path, "admin", PASSWORD)


def test_setup_with_password_variable_does_not_prompt(db, env):
    res = run(["setup", str(db), "Ops.team-1_"], env={**env, "TOVIK_PASSWORD": PASSWORD})
    assert (res.returncode, res.stdout, res.stderr) == (0, configured(db), "")
    verify_registry(db, "Ops.team-1_", PASSWORD)
    status = json.loads(run(["status", str(db)], env=env).stdout)
    assert status["credentials_present"] is True


def test_second_setup_fails_and_keeps_the_first_credential(provisioned_db, env):
    before = auth_of(provisioned_db).read_bytes()
    res = run(["setup", str(provisioned_db), "other"],
              env={**env, "TOVIK_PASSWORD": "another password!"})
    assert (res.returncode, res.stderr) == (1, "tovik: File exists (os error 17)\n")
    assert res.stdout == ""
    assert auth_of(provisioned_db).read_bytes() == before


@pytest.mark.parametrize("user,password", [("admin", "x" * 11), ("admin", "x" * 1025),
                                           ("ad min", PASSWORD), ("a" * 65, PASSWORD),
                                           ("\u00e9", PASSWORD)])
def test_setup_refuses_bad_names_and_passwords(db, env, user, password):
    res = run(["setup", str(db), user], env={**env, "TOVIK_PASSWORD": password})
    assert res.stderr == ("tovik: username must be 1-64 simple characters; "
                          "password must be 12-1024 bytes\n")
    assert not auth_of(db).exists()


def test_setup_of_missing_empty_or_locked_files(tmp_path, db, env):
    env = {**env, "TOVIK_PASSWORD": PASSWORD}
    res = run(["setup", str(tmp_path / "absent"), "admin"], env=env)
    assert res.stderr == "tovik: database missing; run tovik init <file> first\n"
    res = run(["setup", str(tmp_path), "admin"], env=env)
    assert res.stderr == "tovik: database missing; run tovik init <file> first\n"
    empty = tmp_path / "empty.tovik"
    empty.write_bytes(b"")
    res = run(["setup", str(empty), "admin"], env=env)
    assert res.stderr == "tovik: database corruption detected\n"
    assert not auth_of(empty).exists()
    with LockHolder(db):
        res = run(["setup", str(db), "admin"], env=env)
        assert res.stderr == "tovik: storage I/O or locking failure\n"
        res = run(["init", str(db)], env=env)
        assert res.stderr == "tovik: storage I/O or locking failure\n"
    assert not auth_of(db).exists()


# --- the terminal ----------------------------------------------------------


@pytest.fixture
def terminal(db, env):
    runs = []

    def start(args):
        r = PtyRun(args, env)
        runs.append(r)
        return r

    yield start
    for r in runs:
        r.close()


def test_setup_on_a_terminal_asks_twice_without_echo(db, terminal):
    t = terminal(["setup", str(db), "admin"])
    t.expect(PROMPT)
    assert not t.echo_on()
    t.type(PASSWORD + "\n")
    t.expect(CONFIRM)
    t.type(PASSWORD + "\n")
    code, out, err = t.finish()
    assert (code, out, err) == (0, configured(db), "")
    assert PASSWORD.encode() not in t.seen
    assert t.echo_on()
    verify_registry(db, "admin", PASSWORD)


def test_different_entries_do_not_match_and_write_nothing(db, terminal):
    t = terminal(["setup", str(db), "admin"])
    t.expect(PROMPT)
    t.type(PASSWORD + "\n")
    t.expect(CONFIRM)
    t.type(PASSWORD + "x\n")
    code, out, err = t.finish()
    assert (code, out, err) == (1, "", "tovik: passwords do not match\n")
    assert not auth_of(db).exists()
    assert t.echo_on()


def test_ctrl_c_at_the_prompt_restores_echo(db, terminal):
    t = terminal(["setup", str(db), "admin"])
    t.expect(PROMPT)
    t.type("half typed")
    t.type("\x03")  # the terminal turns this into SIGINT
    code, out, err = t.finish()
    assert code == 1 and out == "" and err.startswith("tovik: ")
    assert t.echo_on()
    assert not auth_of(db).exists()
    # The lock went with the process: the database is usable at once.
    assert run(["status", str(db)], env={}).returncode == 0


def test_termination_at_the_prompt_restores_echo(db, terminal):
    t = terminal(["setup", str(db), "admin"])
    t.expect(PROMPT)
    t.proc.send_signal(signal.SIGTERM)
    t.proc.wait(timeout=10)
    assert t.proc.returncode == -signal.SIGTERM
    assert t.echo_on()


def test_end_of_input_at_the_prompt_is_an_empty_password(db, terminal):
    t = terminal(["setup", str(db), "admin"])
    t.expect(PROMPT)
    t.type("\x04")
    t.expect(CONFIRM)
    t.type("\x04")
    code, _, err = t.finish()
    assert code == 1 and "password must be 12-1024 bytes" in err
    assert t.echo_on()


def test_invalid_utf8_password_variable_prompts_but_does_not_confirm(db, terminal, env):
    env_bytes = {k.encode(): v.encode() for k, v in env.items()}
    env_bytes[b"TOVIK_PASSWORD"] = b"\xff\xfe not text"
    t = PtyRun(["setup", str(db), "admin"], env_bytes)
    try:
        t.expect(PROMPT)
        t.type(PASSWORD + "\n")
        code, out, err = t.finish()
        assert (code, out, err) == (0, configured(db), "")
        assert CONFIRM.encode() not in t.seen
        verify_registry(db, "admin", PASSWORD)
    finally:
        t.close()
