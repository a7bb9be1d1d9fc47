"""Runs the examples of the user documentation against the real binary.

Documents mark their examples with fenced blocks, read top to bottom as one
continuous session:

- ```console: a terminal transcript. A line starting with "$ " is a command
  for bash (continuation lines start with "> ", as bash shows them for a here
  document); the lines up to the next command are its combined standard output
  and standard error. A line "^C" interrupts the server started by the last
  `tovik serve`, and the lines after it are what the server prints as it stops.
  Inside the output of an interactive shell, a line that starts with a prompt
  ("tovik> ", "tovik:shop/orders> ", "Username [admin]: ") shows what the
  user typed after it; those texts become the shell's standard input.
- ```json request / ```hex request: one frame sent to the server (a JSON body,
  or raw bytes written in hex). The word "new" opens a fresh connection first.
- ```json response: the next frame the server sends, compared byte for byte
  with the block written compactly. "closed" also expects the server to close
  the connection afterwards; "busy" opens connections until the server refuses
  one and compares the refusal.
- Figures that differ from run to run (times, ports, counters of a running
  server) are written "…": in a console output line it stands for any text;
  in a response marked "varies" (```json response varies) a value "…"
  stands for any value.
- ```sh: commands that the documents show but that the tests cannot run
  (building the project, an SSH tunnel to another machine).

The documents show the server at 127.0.0.1:7337 and the home directory
/home/alice; the runner serves on a port the system chose and keeps its files
in a temporary directory, substituting one for the other in both directions.
"""
import json
import os
import re
import select
import shlex
import signal
import socket
import struct
import subprocess
import threading
import time
from dataclasses import dataclass, field

DOC_ADDRESS = "127.0.0.1:7337"
DOC_HOME = "/home/alice"
COMMAND_TIMEOUT = 60
SERVER_START_TIMEOUT = 30
# A shell prompt; "tovik: " (a colon and a blank) starts a failure line instead.
PROMPT = re.compile(r"^(tovik(?::[^ \n][^\n]*?)?>|Username \[admin\]:)(?: (.*))?$")


@dataclass
class Block:
    doc: str
    line: int  # 1-based line of the opening fence
    info: list
    text: str
    section: str
    ident: str = ""

    @property
    def kind(self):
        return " ".join(self.info[:2])


def _slug(heading):
    return re.sub(r"[^a-z0-9]+", "-", heading.lower()).strip("-") or "top"


def extract_blocks(path):
    """Every fenced block of a Markdown file, with the heading it sits under."""
    blocks, section, counts = [], "top", {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("```"):
            info = line[3:].split()
            start = i
            body = []
            i += 1
            while i < len(lines) and lines[i].rstrip() != "```":
                body.append(lines[i])
                i += 1
            if i == len(lines):
                raise AssertionError(f"{path}:{start + 1}: unterminated code block")
            counts[section] = counts.get(section, 0) + 1
            blocks.append(Block(os.path.basename(path), start + 1, info, "\n".join(body),
                                section, f"{_slug(section)}-{counts[section]}"))
        elif line.startswith("#"):
            section = line.lstrip("#").strip()
        i += 1
    return blocks


# ---------------------------------------------------------------- console


@dataclass
class Step:
    command: str  # "" for an interrupt (^C)
    expected: list = field(default_factory=list)


def parse_console(text):
    steps = []
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("$ "):
            command = [line[2:]]
            i += 1
            while i < len(lines) and lines[i].startswith("> "):
                command.append(lines[i][2:])
                i += 1
            steps.append(Step("\n".join(command)))
            continue
        if line.rstrip() == "^C":
            steps.append(Step(""))
        elif not steps:
            raise AssertionError(f"output before any command: {line!r}")
        else:
            steps[-1].expected.append(line)
        i += 1
    for step in steps:
        while step.expected and not step.expected[-1].strip():
            step.expected.pop()
    return steps


def shell_transcript(expected):
    """Splits a transcript with prompts into (standard input, expected output
    lines as the program writes them with no terminal echoing the input)."""
    typed, stream = [], ""
    for line in expected:
        m = PROMPT.match(line.rstrip())
        if m:
            typed.append(m.group(2) or "")
            stream += m.group(1) + " "
        else:
            stream += line + "\n"
    if not typed:
        return None, expected
    return "".join(t + "\n" for t in typed), stream.split("\n")


def _trim(lines):
    out = [l.rstrip() for l in lines]
    while out and not out[-1]:
        out.pop()
    return out


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class _Collector(threading.Thread):
    """Collects a server's merged output lines as they arrive."""

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream, self.lines, self.cond = stream, [], threading.Condition()
        self.done = False

    def run(self):
        for raw in self.stream:
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.done = True
            self.cond.notify_all()

    def wait_for(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate(self.lines) and not self.done:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return predicate(self.lines)


class ConsoleRunner:
    """One reader's terminal: a working directory, an environment and at most
    one running server, kept across all console blocks of a document."""

    def __init__(self, tovik, workdir):
        self.workdir = str(workdir)
        bindir = os.path.join(self.workdir, ".bin")
        os.makedirs(bindir, exist_ok=True)
        os.symlink(os.path.abspath(tovik), os.path.join(bindir, "tovik"))
        self.home = os.path.join(self.workdir, "home", "alice")
        os.makedirs(self.home, exist_ok=True)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("TOVIK_") and k != "XDG_DATA_HOME"}
        env["PATH"] = bindir + os.pathsep + env.get("PATH", "/usr/bin:/bin")
        env["HOME"] = self.home
        self.env = env
        self.server = None
        self.collector = None
        # Until a server runs, the documented address points at a free port,
        # so that nothing else on the machine can answer in its place.
        self._set_address(f"127.0.0.1:{_free_port()}")

    def _set_address(self, real):
        self.real_address = real
        self.env["TOVIK_ADDR"] = real

    # Documented values -> real ones, for commands.
    def to_real(self, text):
        return text.replace(DOC_ADDRESS, self.real_address).replace(DOC_HOME, self.home)

    # Real values -> documented ones, for output.
    def to_doc(self, text):
        host, port = self.real_address.rsplit(":", 1)
        text = re.sub(re.escape(host) + ":" + port + r"(?!\d)", DOC_ADDRESS, text)
        return text.replace(self.home, DOC_HOME)

    def run_step(self, step):
        if not step.command:
            return self._interrupt(step)
        command = self.to_real(step.command)
        words = _words(command)
        if words and words[0] in ("export", "unset") and len(words) > 1:
            return self._set_env(words, step)
        assigns, argv = _split_assignments(words)
        if argv[:2] == ["tovik", "serve"]:
            return self._serve(assigns, argv, step)
        stdin, expected = shell_transcript(step.expected)
        res = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=self.workdir,
                             env=self.env, input=(stdin or "").encode(),
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=COMMAND_TIMEOUT, start_new_session=True)
        actual = self.to_doc(res.stdout.decode("utf-8", "replace")).split("\n")
        _compare(step.command, expected, actual)
        _check_status(step.command, step.expected, res.returncode)

    def _set_env(self, words, step):
        assert not step.expected, f"{step.command}: prints nothing"
        for word in words[1:]:
            if words[0] == "export":
                name, _, value = word.partition("=")
                self.env[name] = value
            else:
                self.env.pop(word, None)

    def _serve(self, assigns, argv, step):
        argv = list(argv)
        if "--bind" in argv:
            i = argv.index("--bind")
            if i + 1 < len(argv) and argv[i + 1] == self.real_address:
                argv[i + 1] = "127.0.0.1:0"
        else:
            argv += ["--bind", "127.0.0.1:0"]
        env = {**self.env, **assigns}
        proc = subprocess.Popen(argv, cwd=self.workdir, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                start_new_session=True)
        collector = _Collector(proc.stdout)
        collector.start()
        listening = re.compile(r"^Tovik listening on (\S+) \(loopback only\)")
        collector.wait_for(lambda ls: any(listening.match(l) for l in ls),
                           SERVER_START_TIMEOUT)
        m = next((listening.match(l) for l in collector.lines if listening.match(l)), None)
        if m is None:
            # The server refused to start: an ordinary command with its output.
            try:
                proc.wait(timeout=COMMAND_TIMEOUT)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            collector.join(5)
            actual = [self.to_doc(l) for l in collector.lines]
            _compare(step.command, step.expected, actual)
            _check_status(step.command, step.expected, proc.returncode)
            return
        assert self.server is None or self.server.poll() is not None, \
            "a second server started while the first one runs"
        self.server, self.collector = proc, collector
        self._set_address(m.group(1))
        actual = [self.to_doc(l) for l in collector.lines]
        _compare(step.command, step.expected, actual)

    def _interrupt(self, step):
        assert self.server is not None and self.server.poll() is None, "^C without a server"
        before = len(self.collector.lines)
        self.server.send_signal(signal.SIGINT)
        try:
            code = self.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
            raise AssertionError("the server did not stop on SIGINT")
        self.collector.join(5)
        actual = [self.to_doc(l) for l in self.collector.lines[before:]]
        self.server = None
        _compare("^C", step.expected, actual)
        _check_status("^C", step.expected, code)

    def close(self):
        if self.server is not None and self.server.poll() is None:
            self.server.send_signal(signal.SIGINT)
            try:
                self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
        self.server = None


def _words(command):
    try:
        return shlex.split(command, posix=True) if "\n" not in command else []
    except ValueError:
        return []


def _split_assignments(words):
    assigns, i = {}, 0
    while i < len(words) and re.match(r"^[A-Za-z_][A-Za-z0-9_]*=", words[i]):
        name, _, value = words[i].partition("=")
        assigns[name] = value
        i += 1
    return assigns, words[i:]


VARIES = "\u2026"


def _line_matches(documented, actual):
    if documented == actual:
        return True
    if VARIES not in documented:
        return False
    pattern = ".*".join(re.escape(part) for part in documented.split(VARIES))
    return re.fullmatch(pattern, actual) is not None


def _compare(command, expected, actual):
    exp, act = _trim(expected), _trim(actual)
    if len(exp) != len(act) or not all(_line_matches(e, a) for e, a in zip(exp, act)):
        raise AssertionError(
            f"$ {command}\n--- documented\n" + "\n".join(exp) +
            "\n--- actual\n" + "\n".join(act))


def _check_status(command, expected, code):
    # The tool's own rule: a failure is reported as one "tovik: " line and
    # exit status 1; everything else exits 0.
    failed = any(l.startswith("tovik: ") for l in expected)
    want = 1 if failed else 0
    if code != want:
        raise AssertionError(f"$ {command}: exit status {code}, documented {want}")


# ---------------------------------------------------------------- protocol


def ordered_json(text):
    """Parses a documented JSON block; its key order is kept, so that the
    compact form is byte for byte what the server writes."""
    return json.loads(text)


def matches_varying(documented, actual):
    """Documented JSON against actual JSON, key order included; a documented
    value "…" matches any value."""
    if documented == VARIES:
        return True
    if isinstance(documented, dict):
        return (isinstance(actual, dict) and list(documented) == list(actual)
                and all(matches_varying(documented[k], actual[k]) for k in documented))
    if isinstance(documented, list):
        return (isinstance(actual, list) and len(documented) == len(actual)
                and all(matches_varying(d, a) for d, a in zip(documented, actual)))
    return documented == actual and type(documented) is type(actual)


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def frame(body):
    return struct.pack(">I", len(body)) + body


def hex_bytes(text):
    cleaned = re.sub(r"#.*", "", text)
    return bytes.fromhex("".join(cleaned.split()))


class ProtocolRunner:
    """Sends documented requests over raw sockets and reads the frames back."""

    def __init__(self, address, timeout=10.0):
        host, port = address.rsplit(":", 1)
        self.addr = (host, int(port))
        self.timeout = timeout
        self.sock = None

    def connect(self):
        self.disconnect()
        self.sock = socket.create_connection(self.addr, timeout=self.timeout)

    def disconnect(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def send(self, raw, new=False):
        if new or self.sock is None:
            self.connect()
        self.sock.sendall(raw)

    def read_frame(self, sock=None):
        sock = sock or self.sock
        assert sock is not None, "no connection to read a response from"
        prefix = _recv_exact(sock, 4)
        (length,) = struct.unpack(">I", prefix)
        assert 0 < length <= 1 << 20, f"response frame length {length}"
        return _recv_exact(sock, length)

    def expect_closed(self):
        self.sock.settimeout(self.timeout)
        try:
            data = self.sock.recv(1)
        except ConnectionResetError:
            data = b""
        assert data == b"", "the server kept the connection open"
        self.disconnect()

    def read_busy(self):
        """Opens connections until the server refuses one; returns the
        refusing frame. The refusal comes unprompted, right after accept."""
        held = []
        try:
            while len(held) < 72:
                for _ in range(8):
                    held.append(socket.create_connection(self.addr, timeout=self.timeout))
                ready, _, _ = select.select(held, [], [], 0.5)
                if ready:
                    # Connections are accepted in order: the first refused
                    # one is the earliest readable.
                    first = min(ready, key=held.index)
                    return self.read_frame(first)
            raise AssertionError("the server never refused a connection")
        finally:
            for s in held:
                s.close()
            # Give the server a moment to reap the closed connections, so the
            # next example is not refused as busy in their place.
            time.sleep(0.5)


def _recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise AssertionError(f"connection closed after {len(data)} of {n} bytes")
        data += chunk
    return data
