"""The user documentation, executed: every console transcript of the user
guide and every request of the protocol reference runs against the real
binary and a real server, so the documents cannot drift from the program.
The marking conventions are described in docs_util.py."""
import json
import os
import re
import subprocess

import pytest

import docs_util as du
from conftest import PASSWORD, TOVIK, clean_env, provision, run, start_server

DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs")
GUIDE = os.path.join(DOCS, "user-guide.md")
PROTOCOL = os.path.join(DOCS, "client-protocol.md")

GUIDE_BLOCKS = du.extract_blocks(GUIDE)
PROTOCOL_BLOCKS = du.extract_blocks(PROTOCOL)

# Examples that cannot pass yet because the feature they show is still being
# built, by "<document>::<block id>". Remove an entry once its feature lands.
PENDING = {}

RUNNABLE = {"console", "json request", "hex request", "json response", "python example",
            "text output"}


def _param(block, value=None):
    reason = PENDING.get(f"{block.doc}::{block.ident}")
    marks = [pytest.mark.xfail(reason=reason, strict=False)] if reason else []
    return pytest.param(block if value is None else value, id=block.ident, marks=marks)


def _protocol_groups():
    """Consecutive requests with the response that answers them."""
    groups, requests = [], []
    for block in PROTOCOL_BLOCKS:
        if block.kind in ("json request", "hex request"):
            requests.append(block)
        elif block.kind == "json response":
            groups.append((requests, block))
            requests = []
    assert not requests, "a request without a documented response"
    return groups


PROTOCOL_GROUPS = _protocol_groups()


# ---------------------------------------------------------------- the user guide


@pytest.fixture(scope="module")
def terminal(tmp_path_factory):
    runner = du.ConsoleRunner(TOVIK, tmp_path_factory.mktemp("guide"))
    runner.ran = set()
    yield runner
    runner.close()


def _catch_up(ran, earlier, play):
    """The examples build on each other: when a test is run on its own, the
    examples before it are played first."""
    for item in earlier:
        if id(item) not in ran:
            ran.add(id(item))
            try:
                play(item)
            except AssertionError as e:
                pytest.fail(f"an earlier example failed:\n{e}")


CONSOLE_BLOCKS = [b for b in GUIDE_BLOCKS if b.kind == "console"]


def _play_console(terminal, block):
    for step in du.parse_console(block.text):
        terminal.run_step(step)


@pytest.mark.parametrize("block", [_param(b) for b in CONSOLE_BLOCKS])
def test_user_guide_transcript(terminal, block):
    earlier = CONSOLE_BLOCKS[:CONSOLE_BLOCKS.index(block)]
    _catch_up(terminal.ran, earlier, lambda b: _play_console(terminal, b))
    terminal.ran.add(id(block))
    _play_console(terminal, block)


# ---------------------------------------------------------------- the protocol reference


@pytest.fixture(scope="module")
def wire(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("protocol")
    env = clean_env(tmp)
    path = provision(tmp / "proto.tovik", env)
    server = start_server(path, env)
    runner = du.ProtocolRunner(server.address)
    runner.ran = set()
    yield runner
    runner.disconnect()
    assert server.stop() == 0


def _exchange(wire, group):
    requests, response = group
    for request in requests:
        if request.kind == "json request":
            raw = du.frame(du.compact(du.ordered_json(request.text)).encode())
        else:
            raw = du.hex_bytes(request.text)
        wire.send(raw, new="new" in request.info[2:])
    got = wire.read_busy() if "busy" in response.info[2:] else wire.read_frame()
    if "varies" in response.info[2:]:
        assert du.matches_varying(du.ordered_json(response.text), json.loads(got)), got
    else:
        assert got.decode() == du.compact(du.ordered_json(response.text))
    if "closed" in response.info[2:]:
        wire.expect_closed()


@pytest.mark.parametrize("group", [_param(g[1], g) for g in PROTOCOL_GROUPS])
def test_protocol_exchange(wire, group):
    earlier = PROTOCOL_GROUPS[:PROTOCOL_GROUPS.index(group)]
    _catch_up(wire.ran, earlier, lambda g: _exchange(wire, g))
    wire.ran.add(id(group))
    _exchange(wire, group)


def test_protocol_client_program(wire, tmp_path):
    # The program reads what the exchanges above stored.
    _catch_up(wire.ran, PROTOCOL_GROUPS, lambda g: _exchange(wire, g))
    blocks = PROTOCOL_BLOCKS
    programs = [i for i, b in enumerate(blocks) if b.kind == "python example"]
    assert programs, "the reference shows a client program"
    for i in programs:
        assert blocks[i + 1].kind == "text output", "a program is followed by its output"
        source = blocks[i].text.replace("7337", str(wire.addr[1]))
        script = tmp_path / "client.py"
        script.write_text(source)
        res = subprocess.run(["/usr/bin/python3", str(script)], capture_output=True, text=True,
                             timeout=60, env={**os.environ, "TOVIK_PASSWORD": PASSWORD})
        assert res.returncode == 0, res.stderr
        assert res.stdout.rstrip("\n") == blocks[i + 1].text.rstrip("\n")


# ---------------------------------------------------------------- completeness


def test_every_example_is_executed():
    for block in GUIDE_BLOCKS + PROTOCOL_BLOCKS:
        where = f"{block.doc}:{block.line}"
        if block.kind == "sh":
            # Only what a test cannot do: build the project, reach another host.
            for line in block.text.splitlines():
                assert line.startswith(("bash scripts/", "ssh ")), where
        else:
            assert block.kind in RUNNABLE, where


def test_protocol_reference_shows_every_operation():
    ops = {du.ordered_json(b.text)["command"]["op"]
           for b in PROTOCOL_BLOCKS if b.kind == "json request"}
    assert ops == {"create", "drop_empty", "navigate", "warrens", "dens", "shinies", "auth",
                   "use", "collections", "put", "insert", "update", "page", "get", "delete",
                   "find", "scan", "stats", "check", "quit", "backup", "usage", "server", "write",
                   "query", "count", "update_many", "delete_many", "distinct", "drop", "changes"}


def test_user_guide_shows_every_command():
    tool, shell = set(), set()
    for block in GUIDE_BLOCKS:
        if block.kind != "console":
            continue
        for step in du.parse_console(block.text):
            tool.update(re.findall(r"\btovik (?:tovik://\S+|([a-z]+))", step.command))
            stdin, _ = du.shell_transcript(step.expected)
            shell.update(line.split(" ")[0] for line in (stdin or "").splitlines() if line)
    assert {"version", "help", "init", "setup", "serve", "batch", "backup", "restore", "status",
            "stats", "check", "collections", "put", "get", "delete", "scan", "find",
            "usage", "import", "export"} <= tool
    # reconnect needs a server that goes away under a running shell; the guide
    # describes it in prose.
    assert {"help", "show", "use", "create", "drop-empty", "put", "insert", "update", "get",
            "delete", "find", "scan", "page", "stats", "check", "quit", "exit",
            "backup", "usage", "import", "export"} <= shell


def _error_reference_fragments():
    text = open(GUIDE, encoding="utf-8").read()
    section = text.split("## Error messages", 1)[1].split("\n## ", 1)[0]
    for row in section.splitlines():
        if not row.startswith("| `"):
            continue
        first_cell = re.split(r"(?<!\\)\|", row)[1]
        for code in re.findall(r"`([^`]+)`", first_cell):
            for fragment in code.replace("\\|", "|").split("..."):
                fragment = fragment.strip(" ;")
                if fragment and "(os error" not in fragment:
                    yield fragment


def test_error_reference_quotes_the_program():
    with open(TOVIK, "rb") as f:
        binary = f.read()
    missing = [m for m in _error_reference_fragments() if m.encode() not in binary]
    assert not missing, missing
