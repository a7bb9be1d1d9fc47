"""Line editing in the interactive shell on a terminal: recall, completion,
cursor movement, the input limits, the password prompt between edited
lines, and history kept in memory only when TOVIK_HISTORY is empty."""
import os
import select
import termios
import time

from conftest import PASSWORD, start_server
from shell_util import Session, shell_env

UP, LEFT = "\x1b[A", "\x1b[D"
LIMIT = 1_048_576


def terminal_env(env, **extra):
    # A known terminal type, so the keys and cursor moves are the usual ones.
    return {**env, "TERM": "xterm", **extra}


def files_under(path):
    return sorted(os.path.relpath(os.path.join(d, f), path)
                  for d, _, names in os.walk(path) for f in names)


def wait_for_editor(session, timeout=5):
    """Waits until the editor has the terminal in character mode: keys sent
    before that are echoed by the terminal itself as well."""
    deadline = time.monotonic() + timeout
    while termios.tcgetattr(session.write_fd)[3] & termios.ICANON:
        assert time.monotonic() < deadline, "the editor never took the terminal"
        time.sleep(0.01)


def leave(session):
    """Ctrl+D on an empty line ends the input; the shell exits 0. Returns
    what the terminal showed."""
    wait_for_editor(session)
    session.send("\x04")
    status, rest = session.finish()
    assert status == 0, rest
    return rest["tty"]


def command(session, line, expect, prompt="tovik> "):
    wait_for_editor(session)
    session.send(line)
    seen = session.expect(prompt)
    assert expect in seen, seen
    return seen


def test_recall_completion_and_cursor_editing(server, env, tmp_path):
    home = tmp_path / "home"
    home.mkdir(exist_ok=True)
    session = Session([server.address], terminal_env(shell_env(env), TOVIK_HISTORY=""),
                      use_pty=True)
    try:
        session.expect("tovik> ")
        command(session, "create warren shop\r", "Namespace ready: shop")
        command(session, "stats\r", "Instance: ")
        # Up recalls the last line, twice up the one before it.
        seen = command(session, UP + "\r", "Instance: ")
        assert "Namespace ready" not in seen
        command(session, UP + UP + "\r", "Namespace ready: shop")
        # Tab completes command words and the word after create and show.
        command(session, "che\t\r", "Integrity check passed.")
        command(session, "create w\tbarn\r", "Namespace ready: barn")
        seen = command(session, "show w\t\r", "Limit: 100 names")
        assert "barn" in seen and "shop" in seen
        # An ambiguous start lists what it could become; Ctrl+U drops it.
        wait_for_editor(session)
        session.send("s\t")
        assert "scan  show  stats" in session.expect("stats")
        session.send("\x15stats\r")
        session.expect("Instance: ")
        session.expect("tovik> ")
        # Fix a typo in the middle of the line: left three times, insert.
        command(session, "use sop" + LEFT * 2 + "h\r", "Using warren: shop",
                prompt="tovik:shop> ")
        assert "Goodbye." not in leave(session)
    finally:
        session.kill()
    # An empty TOVIK_HISTORY keeps history in memory only.
    assert files_under(home) == []


def test_utf8_is_kept_and_invalid_bytes_end_the_shell(server, env):
    session = Session([server.address], terminal_env(shell_env(env)), use_pty=True)
    try:
        session.expect("tovik> ")
        command(session, "create warren café\r", "Namespace ready: café")
        # The editor must not quietly drop what it cannot decode.
        wait_for_editor(session)
        os.write(session.write_fd, b"use caf\xe9\r")
        status, rest = session.finish()
        assert status == 1
        assert "tovik: stream did not contain valid UTF-8" in rest["tty"]
    finally:
        session.kill()


def feed(session, data, timeout=60):
    """Writes data to the terminal while draining the echo, which would
    otherwise fill up and stall the shell."""
    fd = session.write_fd
    os.set_blocking(fd, False)
    deadline = time.monotonic() + timeout
    tail = b""
    while data:
        assert time.monotonic() < deadline, "shell stopped reading"
        readable, writable, _ = select.select([fd], [fd], [], 1)
        if readable:
            tail = (tail + os.read(fd, 65536))[-4096:]
        if writable:
            try:
                data = data[os.write(fd, data[:65536]):]
            except BlockingIOError:
                pass
    os.set_blocking(fd, True)
    session.buffers["tty"] = tail


def test_line_limit_holds_in_the_editor(server, env):
    session = Session([server.address], terminal_env(shell_env(env)), use_pty=True)
    try:
        session.expect("tovik> ")
        wait_for_editor(session)
        # "get " and the id make LIMIT - 1 bytes, with the line feed LIMIT.
        feed(session, b"get " + b"a" * (LIMIT - 5) + b"\r")
        seen = session.expect("tovik> ", timeout=60)
        assert "exceeds" not in seen
        wait_for_editor(session)
        feed(session, b"get " + b"a" * (LIMIT - 4) + b"\r")
        status, rest = session.finish(timeout=60)
        assert status == 1
        assert "tovik: input line exceeds 1 MiB" in rest["tty"]
    finally:
        session.kill()


def test_password_prompt_between_edited_lines(provisioned_db, env):
    srv = start_server(provisioned_db, env)
    session = Session([srv.address], terminal_env(env, TOVIK_USER="admin"), use_pty=True)
    try:
        session.expect("Password: ")
        mode = termios.tcgetattr(session.write_fd)[3]
        assert not mode & termios.ECHO and mode & termios.ICANON
        session.send(PASSWORD + "\r")
        session.expect("tovik> ")
        command(session, "stats\r", "Instance: ")
        # The editor gives the terminal back in line mode between lines.
        wait_for_editor(session)
        session.send("reconnect\r")
        session.expect("Password: ")
        mode = termios.tcgetattr(session.write_fd)[3]
        assert not mode & termios.ECHO and mode & termios.ICANON
        session.send(PASSWORD + "\r")
        seen = session.expect("tovik> ")
        assert "Reconnected to " in seen and PASSWORD not in seen
        seen = command(session, "check\r", "Integrity check passed.")
        assert seen.startswith("check"), seen  # typed text shows again
        wait_for_editor(session)
        session.send("quit\r")
        status, rest = session.finish()
        assert status == 0 and "Goodbye." in rest["tty"]
    finally:
        session.kill()
        srv.stop()


def test_pasted_json_continues_over_lines_until_its_brackets_balance(server, env):
    session = Session([server.address], terminal_env(shell_env(env)), use_pty=True)
    try:
        session.expect("tovik> ")
        command(session, "use default\r", "Using warren", prompt="tovik:default> ")
        command(session, "use c\r", "Using den", prompt="tovik:default/c> ")
        for line in ['put p1 {\r', '  "a": [1, "]",\r', '    {"b": 2}\r']:
            wait_for_editor(session)
            session.send(line)
            session.expect("...> ")
        command(session, "]}\r", "Stored shiny: p1", prompt="tovik:default/c> ")
        seen = command(session, "get p1\r", '"b": 2', prompt="tovik:default/c> ")
        assert '"]"' in seen
        leave(session)
    finally:
        session.kill()
