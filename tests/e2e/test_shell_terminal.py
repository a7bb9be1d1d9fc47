"""The shell at a terminal: Ctrl+C, history kept across sessions, completion
of names and paths, reopening a lost connection by itself, the output
settings, and watching changes."""
import json
import os
import re
import socket
import stat
import struct
import threading

from shell_util import RawClient, Session, shell_env, wait_watching
from test_line_editing import command, leave, terminal_env, wait_for_editor

UP = "\x1b[A"


def shell(address, env, **extra):
    session = Session([address], terminal_env(shell_env(env), **extra), use_pty=True)
    session.expect("tovik> ")
    return session


def den_with(server, documents=()):
    client = RawClient(server.port)
    for op in ({"op": "create", "kind": "warren", "name": "shop"},
               {"op": "navigate", "name": "shop"},
               {"op": "create", "kind": "den", "name": "orders"},
               {"op": "navigate", "name": "orders"}):
        assert client.send(op)["ok"]
    for doc in documents:
        assert client.send({"op": "put", "id": doc["id"], "document": doc})["ok"]
    return client


def count_all(client):
    count, after = 0, None
    while True:
        reply = client.send({"op": "page", "limit": 100, "after": after, "filter": None})
        count += len(reply["data"]["documents"])
        after = reply["data"].get("next_after")
        if after is None:
            return count


def test_ctrl_c_cancels_lines_and_stops_an_import(server, env, tmp_path):
    client = den_with(server)
    source = tmp_path / "many.jsonl"
    total = 150_000
    source.write_text("".join(f'{{"id":"d{i:06}","n":{i}}}\n' for i in range(total)))
    session = shell(server.address, env, TOVIK_HISTORY="")
    try:
        command(session, "use shop/orders\r", "Using den", prompt="tovik:shop/orders> ")
        # A half-typed line goes, and nothing is sent.
        wait_for_editor(session)
        session.send("delete nothing")
        session.send("\x03")
        seen = session.expect("tovik:shop/orders> ")
        assert "^C" in seen and "Deleted" not in seen
        # So does JSON being continued over lines.
        command(session, 'put a1 {"n":\r', "", prompt="...> ")
        wait_for_editor(session)
        session.send("\x03")
        session.expect("tovik:shop/orders> ")
        command(session, "get a1\r", "Shiny not found.", prompt="tovik:shop/orders> ")
        # An import stops between its writes; what was acknowledged stays.
        wait_for_editor(session)
        session.send(f"import {source}\r")
        session.expect(f" / {total} shinies", timeout=60)
        session.send("\x03")
        seen = session.expect("tovik:shop/orders> ", timeout=60)
        stored = int(re.search(r"Import interrupted: (\d+) shinies stored", seen).group(1))
        assert 0 < stored < total
        assert count_all(client) == stored
        # The shell goes on.
        command(session, "get d000000\r", '"n": 0', prompt="tovik:shop/orders> ")
        leave(session)
    finally:
        session.kill()
        client.close()


def test_history_is_kept_across_shells(server, env, tmp_path):
    default = tmp_path / "home" / ".local" / "share" / "tovik" / "shell_history"
    chosen = tmp_path / "chosen_history"
    for where, extra in ((default, {}), (chosen, {"TOVIK_HISTORY": str(chosen)})):
        first = shell(server.address, env, **extra)
        try:
            command(first, "check\r", "Integrity check passed.")
            command(first, " stats\r", "Instance: ")  # a leading blank: not kept
            leave(first)
        finally:
            first.kill()
        assert stat.S_IMODE(os.stat(where).st_mode) == 0o600
        assert where.read_text() == "check\n"
        second = shell(server.address, env, **extra)
        try:
            command(second, UP + "\r", "Integrity check passed.")
            leave(second)
        finally:
            second.kill()
        assert where.read_text() == "check\ncheck\n"
    # An empty TOVIK_HISTORY keeps none.
    none = shell(server.address, env, TOVIK_HISTORY="")
    try:
        command(none, "stats\r", "Instance: ")
        leave(none)
    finally:
        none.kill()
    assert default.read_text() == "check\ncheck\n"


def test_completion_of_names_and_paths(server, env, tmp_path):
    client = den_with(server)
    (tmp_path / "people.jsonl").write_text('{"id":"p1"}\n')
    session = shell(server.address, env, TOVIK_HISTORY="")
    try:
        command(session, "use sh\t\r", "Using warren: shop", prompt="tovik:shop> ")
        command(session, "use or\t\r", "Using den: orders", prompt="tovik:shop/orders> ")
        command(session, f"import {tmp_path}/peo\t\r", "Imported 1 ",
                prompt="tovik:shop/orders> ")
        leave(session)
    finally:
        session.kill()
        client.close()


class Proxy:
    """A loopback relay in front of the server that can close its clients'
    connections (as a server does after an idle limit) and can swallow an
    answer after passing its request on. It counts the requests by op."""

    def __init__(self, port):
        self.target = port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.clients, self.ops, self.swallow_next = [], [], False
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.target))
            with self.lock:
                self.clients.append(client)
            threading.Thread(target=self._relay, args=(client, upstream), daemon=True).start()

    @staticmethod
    def _frame(sock):
        head = b""
        while len(head) < 4:
            chunk = sock.recv(4 - len(head))
            if not chunk:
                return None
            head += chunk
        body = b""
        (length,) = struct.unpack(">I", head)
        while len(body) < length:
            chunk = sock.recv(length - len(body))
            if not chunk:
                return None
            body += chunk
        return head + body

    def _relay(self, client, upstream):
        try:
            while True:
                request = self._frame(client)
                if request is None:
                    break
                with self.lock:
                    self.ops.append(json.loads(request[4:])["command"]["op"])
                upstream.sendall(request)
                answer = self._frame(upstream)
                with self.lock:
                    swallow, self.swallow_next = self.swallow_next, False
                if answer is None or swallow:
                    break
                client.sendall(answer)
        except OSError:
            pass
        for sock in (client, upstream):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()

    def close_clients(self):
        with self.lock:
            clients, self.clients = self.clients, []
        for sock in clients:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def stop(self):
        self.listener.close()
        self.close_clients()


def test_lost_connection_is_reopened_and_a_lost_write_not_resent(server, env):
    den_with(server).close()
    proxy = Proxy(server.port)
    address = f"127.0.0.1:{proxy.port}"
    here = "tovik:shop/orders> "
    session = shell(address, env, TOVIK_HISTORY="")
    try:
        command(session, "use shop/orders\r", "Using den", prompt=here)
        # The server closes the idle session: the next command logs in again,
        # goes back to the same den and then runs.
        proxy.close_clients()
        seen = command(session, "put a1 {}\r", "Stored shiny: a1", prompt=here)
        assert seen.count(f"reconnected to {address}") == 1, seen
        # A write whose answer is lost is left to the user.
        with proxy.lock:
            proxy.swallow_next = True
        seen = command(session, "put a2 {}\r", "the previous command's result is unknown",
                       prompt="tovik> ")
        seen = command(session, "get a2\r", '"id": "a2"', prompt=here)
        assert f"reconnected to {address}" in seen
        with proxy.lock:
            assert proxy.ops.count("put") == 2, proxy.ops
        leave(session)
    finally:
        session.kill()
        proxy.stop()


def test_output_modes_and_timer(server, env):
    den_with(server, [{"id": "a1", "name": "bob", "age": 5},
                      {"id": "a2", "note": "x" * 60}]).close()
    here = "tovik:shop/orders> "
    session = shell(server.address, env, TOVIK_HISTORY="")
    try:
        command(session, "use shop/orders\r", "Using den", prompt=here)
        command(session, "show settings\r", "mode: pretty\r\ntimer: off", prompt=here)
        command(session, "mode compact\r", "Output mode: compact", prompt=here)
        seen = command(session, "scan\r", '{"age":5,"id":"a1","name":"bob"}\r\n{"id":"a2"',
                       prompt=here)
        command(session, "mode table\r", "Output mode: table", prompt=here)
        seen = command(session, "page 5\r", "id  age  name   note", prompt=here)
        assert '\r\na1  5    "bob"\r\n' in seen, seen
        assert '\r\na2' + ' ' * 14 + '"' + "x" * 38 + "…" in seen, seen
        command(session, "timer on\r", "Timer: on", prompt=here)
        seen = command(session, "stats\r", "Instance: ", prompt=here)
        assert re.search(r"Time: \d+\.\d{3} ms", seen), seen
        command(session, "show settings\r", "mode: table\r\ntimer: on", prompt=here)
        command(session, "mode loud\r", "usage: mode pretty|compact|table", prompt=here)
        leave(session)
    finally:
        session.kill()


def test_watch_prints_changes_until_ctrl_c(server, env):
    client = den_with(server, [{"id": "a0", "qty": 1}])
    here, up = "tovik:shop/orders> ", "tovik:shop> "
    session = shell(server.address, env, TOVIK_HISTORY="")
    try:
        command(session, "use shop/orders\r", "Using den", prompt=here)
        wait_for_editor(session)
        session.send("watch\r")
        wait_watching(client)
        client.send({"op": "put", "id": "a1", "document": {"qty": 2}})
        client.send({"op": "delete", "id": "a0"})
        seen = session.expect("delete orders a0")
        assert 'put orders a1\r\n{\r\n  "id": "a1",\r\n  "qty": 2\r\n}\r\n' in seen, seen
        # Ctrl+C ends the watch; the session, its connection and place stay.
        session.send("\x03")
        seen = session.expect(here)
        assert "Stopped watching." in seen, seen
        seen = command(session, "get a1\r", '"qty": 2', prompt=here)
        assert "reconnected" not in seen, seen
        # At the warren level each change names its den; deletes pass any
        # filter.
        command(session, "use ..\r", "Using warren: shop", prompt=up)
        command(session, "mode compact\r", "Output mode: compact", prompt=up)
        wait_for_editor(session)
        session.send('watch {"qty": {"$gt": 5}}\r')
        wait_watching(client)
        for op in ({"op": "put", "id": "a2", "document": {"qty": 3}},
                   {"op": "put", "id": "a3", "document": {"qty": 9}},
                   {"op": "delete", "id": "a2"}):
            client.send(op)
        seen = session.expect("delete shop/orders a2")
        assert seen.endswith('put shop/orders a3\r\n{"id":"a3","qty":9}\r\n'
                             "delete shop/orders a2"), seen
        session.send("\x03")
        session.expect(up)
        # A filter the server refuses ends the watch with its reason.
        command(session, 'watch {"$where": 1}\r', "unknown query operator $where", prompt=up)
        leave(session)
    finally:
        session.kill()
        client.close()
