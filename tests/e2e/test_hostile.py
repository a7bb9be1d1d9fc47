"""Hostile clients against a real server: floods beyond the client limit,
first frames that never complete, oversized and maximum-size frames, deep
nesting, invalid UTF-8 and a stream of tiny frames. Throughout, a
well-behaved client keeps getting answers, and afterwards the server's
threads, descriptors and memory are back where they were when it was idle.

TOVIK_HOSTILE_FRAMES raises the number of tiny frames (default 100,000; a
million is the full-size run)."""
import json
import os
import socket
import struct
import threading
import time

from conftest import PASSWORD, start_server
from server_util import WireClient, fd_count, frame, request, rss_kib, wait_until

TINY_FRAMES = int(os.environ.get("TOVIK_HOSTILE_FRAMES", "100000"))
MAX_REQUEST = 1_048_576
FIRST_FRAME_MAX = 8_192
MAX_CLIENTS = 6
# Argon2 work areas and thread stacks may stay mapped a little while after use.
RSS_SLACK_KIB = 4 * 1024


AUTH = request({"op": "auth", "username": "admin", "password": PASSWORD})


class Conn(WireClient):
    """A raw connection that sends exactly what the test says."""

    send = WireClient.send_raw
    closed_by_server = WireClient.sees_close


def code(response):
    return response and response.get("error") and response["error"]["code"]


def login(port):
    conn = Conn(port)
    response = conn.call({"op": "auth", "username": "admin", "password": PASSWORD})
    assert response and response["ok"], response
    return conn


def expect_refusal(conn, payload, expected="bad_frame"):
    """Sends payload (ignoring a reset mid-send) and expects one failure, then close."""
    try:
        conn.send(payload)
    except (BrokenPipeError, ConnectionResetError):
        pass
    response = conn.receive()
    assert code(response) == expected, response
    assert conn.closed_by_server()
    conn.close()


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def idle_figures(pid):
    return threads(pid), fd_count(pid), rss_kib(pid)


def finish(good, pid, idle):
    """The well-behaved client is still answered and leaves; the server is
    back to its idle figures."""
    well_behaved(good)
    assert good.call({"op": "quit"})["ok"]
    good.close()
    assert_back_to_idle(pid, idle)


def assert_back_to_idle(pid, idle):
    idle_threads, idle_fds, idle_rss = idle
    assert wait_until(lambda: threads(pid) <= idle_threads, 10), (threads(pid), idle_threads)
    assert wait_until(lambda: fd_count(pid) <= idle_fds, 10), (fd_count(pid), idle_fds)
    assert rss_kib(pid) <= idle_rss + RSS_SLACK_KIB, (rss_kib(pid), idle_rss)


def start(provisioned_db, env):
    """A server, warmed up (the first authentications size the allocator for
    Argon2), and its idle figures."""
    srv = start_server(provisioned_db, env, "--max-clients", str(MAX_CLIENTS))
    pid = srv.proc.pid
    idle_threads = threads(pid)
    for _ in range(2):
        conn = login(srv.port)
        assert conn.call({"op": "quit"})["ok"]
        conn.close()
    assert wait_until(lambda: threads(pid) <= idle_threads)
    time.sleep(0.1)  # the accept loop closes its duplicates at its next reaping
    return srv, idle_figures(pid)


def well_behaved(conn):
    response = conn.call({"op": "stats"})
    assert response and response["ok"], response


def test_floods_and_stalled_first_frames_leave_room_for_a_good_client(provisioned_db, env):
    srv, idle = start(provisioned_db, env)
    try:
        good = login(srv.port)
        # Stalled first frames: a prefix announcing a full auth frame, then a
        # few bytes, then silence. They hold their slots but nothing else.
        stalled = []
        for _ in range(MAX_CLIENTS - 1):
            conn = Conn(srv.port)
            conn.send(struct.pack(">I", FIRST_FRAME_MAX) + b'{"command":')
            stalled.append(conn)
        well_behaved(good)

        # A flood beyond the limit: each is refused at once, unprompted.
        deadline = time.monotonic() + 8
        refused = 0
        for i in range(200):
            conn = Conn(srv.port)
            assert code(conn.receive()) == "server_busy"
            conn.close()
            refused += 1
            if i % 50 == 0:
                well_behaved(good)
            if time.monotonic() > deadline:
                break
        assert refused >= 50

        # Ending a stalled frame early is answered with bad_frame and frees the slot.
        for conn in stalled:
            conn.sock.shutdown(socket.SHUT_WR)
            assert code(conn.receive()) == "bad_frame"
            conn.close()
        assert wait_until(lambda: threads(srv.proc.pid) <= idle[0] + 1)
        newcomer = login(srv.port)
        well_behaved(newcomer)
        newcomer.close()
        finish(good, srv.proc.pid, idle)
    finally:
        assert srv.stop() == 0


def test_oversized_deep_and_malformed_frames_are_refused(provisioned_db, env):
    srv, idle = start(provisioned_db, env)
    try:
        good = login(srv.port)
        port = srv.port

        # First frames: the 8,192-byte limit, length 0, deep nesting, bad UTF-8.
        expect_refusal(Conn(port), struct.pack(">I", FIRST_FRAME_MAX + 1))
        expect_refusal(Conn(port), struct.pack(">I", 0))
        expect_refusal(Conn(port), frame(b"[" * 4000 + b"]" * 4000))
        expect_refusal(Conn(port), frame(AUTH.replace(b'"admin"', b'"adm\xff\xfein"')))
        expect_refusal(Conn(port), frame(b"\x00" * FIRST_FRAME_MAX))
        padded = AUTH + b" " * (FIRST_FRAME_MAX - len(AUTH))
        exact = Conn(port)
        exact.send(frame(padded))
        assert exact.receive()["ok"]
        exact.close()
        # A first frame trickled byte by byte still counts as one frame.
        trickle = Conn(port)
        for byte in frame(AUTH):
            trickle.send(bytes([byte]))
        assert trickle.receive()["ok"]
        trickle.close()
        well_behaved(good)

        # Later frames: exactly the maximum is read (and the command fails on
        # its own merits); one byte more is refused unread.
        for_den = login(port)
        assert for_den.call({"op": "create", "kind": "warren", "name": "w"})["ok"]
        assert for_den.call({"op": "navigate", "name": "w"})["ok"]
        assert for_den.call({"op": "create", "kind": "den", "name": "d"})["ok"]
        assert for_den.call({"op": "navigate", "name": "w/d"})["ok"]
        body = request({"op": "put", "id": "big", "document": {"s": ""}})
        body = body.replace(b'"s":""', b'"s":"' + b"x" * (MAX_REQUEST - len(body)) + b'"')
        assert len(body) == MAX_REQUEST
        for_den.send(frame(body))
        response = for_den.receive()
        assert code(response) == "operation_failed", response
        well_behaved(for_den)
        expect_refusal(for_den, struct.pack(">I", MAX_REQUEST + 1))

        # Nesting 10,000 levels deep, in a document and bare.
        deep = login(port)
        nested = b"[" * 10_000 + b"]" * 10_000
        expect_refusal(deep, frame(request({"op": "put", "id": "d", "document": {}})
                                   .replace(b"{}", nested)))
        expect_refusal(login(port), frame(b"{\"a\":" * 10_000 + b"1" + b"}" * 10_000))
        # Invalid UTF-8 inside a string, an overlong encoding, a lone surrogate.
        for bad in (b"\xc3\x28", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf8\x88\x80\x80\x80"):
            body = request({"op": "get", "id": "X"}).replace(b'"X"', b'"' + bad + b'"')
            expect_refusal(login(port), frame(body))
        # Garbage and truncated JSON.
        expect_refusal(login(port), frame(b"\xff" * 100))
        expect_refusal(login(port), frame(request({"op": "stats"})[:-1]))

        finish(good, srv.proc.pid, idle)
    finally:
        assert srv.stop() == 0


def test_a_stream_of_tiny_frames_is_answered_one_by_one(provisioned_db, env):
    srv, idle = start(provisioned_db, env)
    try:
        good = login(srv.port)
        flood = login(srv.port)
        # The array form of "warrens": the smallest frame that is a valid request.
        tiny = frame(b'[1,["warrens"]]')
        batch = 1000
        sent_error = []

        def sender():
            try:
                left = TINY_FRAMES
                while left > 0:
                    n = min(batch, left)
                    flood.sock.sendall(tiny * n)
                    left -= n
            except OSError as error:
                sent_error.append(error)

        writer = threading.Thread(target=sender)
        writer.start()
        answered = 0
        buffered = b""
        started = time.monotonic()
        next_check = 0
        while answered < TINY_FRAMES:
            chunk = flood.sock.recv(1 << 20)
            assert chunk, f"server closed after {answered} answers"
            buffered += chunk
            at = 0
            while len(buffered) - at >= 4:
                length = struct.unpack_from(">I", buffered, at)[0]
                if len(buffered) - at < 4 + length:
                    break
                response = json.loads(buffered[at + 4:at + 4 + length])
                assert response["ok"], response
                at += 4 + length
                answered += 1
            buffered = buffered[at:]
            if answered >= next_check:
                well_behaved(good)
                next_check += max(TINY_FRAMES // 10, 1)
            assert time.monotonic() - started < 120
        writer.join()
        assert not sent_error
        assert flood.call({"op": "quit"})["ok"]
        flood.close()
        well_behaved(good)
        good.close()
        assert_back_to_idle(srv.proc.pid, idle)
    finally:
        assert srv.stop() == 0
