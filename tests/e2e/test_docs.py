"""The user documentation, executed: every console transcript of the user
guide and every request of the protocol reference runs against the real
binary and a real server, so the documents cannot drift from the program.
The marking conventions are described in docs_util.py."""
import os
import re
import subprocess

import pytest

import docs_util as du
from conftest import PASSWORD, TOVIK, clean_env, run, start_server

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
            groups.append(_param(block, (requests, block)))
            requests = []
    assert not requests, "a request without a documented response"
    return groups


# ---------------------------------------------------------------- the user guide


@pytest.fixture(scope="module")
def terminal(tmp_path_factory):
    runner = du.ConsoleRunner(TOVIK, tmp_path_factory.mktemp("guide"))
    yield runner
    runner.close()


@pytest.mark.parametrize("block", [_param(b) for b in GUIDE_BLOCKS if b.kind == "console"])
def test_user_guide_transcript(terminal, block):
    for step in du.parse_console(block.text):
        terminal.run_step(step)


# ---------------------------------------------------------------- the protocol reference


@pytest.fixture(scope="module")
def wire(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("protocol")
    env = clean_env(tmp)
    path = tmp / "proto.tovik"
    assert run(["init", str(path)], env=env).returncode == 0
    res = run(["setup", str(path), "admin"], env={**env, "TOVIK_PASSWORD": PASSWORD})
    assert res.returncode == 0, res.stderr
    server = start_server(path, env)
    runner = du.ProtocolRunner(server.address)
    runner.server = server
    yield runner
    runner.disconnect()
    assert server.stop() == 0


@pytest.mark.parametrize("group", _protocol_groups())
def test_protocol_exchange(wire, group):
    requests, response = group
    for request in requests:
        if request.kind == "json request":
            raw = du.frame(du.compact(du.ordered_json(request.text)).encode())
        else:
            raw = du.hex_bytes(request.text)
        wire.send(raw, new="new" in request.info[2:])
    got = wire.read_busy() if "busy" in response.info[2:] else wire.read_frame()
    assert got.decode() == du.compact(du.ordered_json(response.text))
    if "closed" in response.info[2:]:
        wire.expect_closed()


def test_protocol_client_program(wire, tmp_path):
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
                assert line.startswith(("scripts/", "ssh ")), where
        else:
            assert block.kind in RUNNABLE or block.info[:1] == ["console"], where


def test_protocol_reference_shows_every_operation():
    ops = {du.ordered_json(b.text)["command"]["op"]
           for b in PROTOCOL_BLOCKS if b.kind == "json request"}
    assert ops == {"create", "drop_empty", "navigate", "warrens", "dens", "shinies", "auth",
                   "use", "collections", "put", "insert", "update", "page", "get", "delete",
                   "find", "scan", "stats", "check", "quit"}


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
            "stats", "check", "collections", "put", "get", "delete", "scan", "find"} <= tool
    # reconnect needs a server that goes away under a running shell; the guide
    # describes it in prose.
    assert {"help", "show", "use", "create", "drop-empty", "put", "insert", "update", "get",
            "delete", "find", "scan", "page", "stats", "check", "quit", "exit"} <= shell


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
