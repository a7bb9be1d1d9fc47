"""Addresses, JSON encoding and framing: everything between a command as a
dict and the bytes on the socket. Nothing here keeps session state."""
from __future__ import annotations

import json
import os
import re
import socket
import time
from typing import Any, Iterable, NamedTuple, Optional

from .errors import ConnectionLost, TovikError, from_failure, invalid_input

# Largest body either side writes, and the largest response read.
MAX_FRAME_BYTES = 1_048_576
# The first request of a connection (the login) is read with a smaller limit.
MAX_LOGIN_BYTES = 8_192
# Objects and arrays of a request may nest this deep, the request itself
# counting as the first level.
MAX_DEPTH = 127
# The server keeps integers in 64 bits and refuses a larger one in a document
# ("number out of range"); the client refuses it before sending.
MIN_INT, MAX_INT = -(2**63), 2**64 - 1

URI_PREFIX = "tovik://"
TUNNEL_ADVICE = (
    "direct remote authentication is disabled; use ssh -N -L 7337:127.0.0.1:7337 "
    "<ssh-user>@<host>, then tovik tovik://<db-user>@127.0.0.1:7337")
BAD_FRAME_TEXT = "invalid or oversized protocol frame"
VERSION_TEXT = "unsupported server protocol version"


class Target(NamedTuple):
    """Where to connect: the socket family and address, and the user the
    address names (or None)."""
    family: int
    host: str
    port: int
    user: Optional[str]

    @property
    def text(self) -> str:
        return f"[{self.host}]:{self.port}" if self.family == socket.AF_INET6 else (
            f"{self.host}:{self.port}")


# ---------------------------------------------------------------- addresses


def _port(text: str) -> Optional[int]:
    if not text or not text.isascii() or not text.isdigit():
        return None
    value = int(text)
    return value if value <= 65_535 else None


def _numeric(text: str) -> Optional[tuple[int, str, int]]:
    """"a.b.c.d:port" or "[v6]:port", numeric only."""
    if text.startswith("["):
        close = text.find("]:")
        if close < 0:
            return None
        family, host, port = socket.AF_INET6, text[1:close], text[close + 2:]
    else:
        colon = text.rfind(":")
        if colon < 0:
            return None
        family, host, port = socket.AF_INET, text[:colon], text[colon + 1:]
    try:
        packed = socket.inet_pton(family, host)
    except (OSError, ValueError):
        return None
    number = _port(port)
    return None if number is None else (family, socket.inet_ntop(family, packed), number)


def _resolved(text: str) -> list[tuple[int, str, int]]:
    """"name:port": every address the resolver gives, in its order."""
    colon = text.rfind(":")
    if colon < 0:
        raise TovikError(None, "invalid socket address")
    digits = text[colon + 1:]
    digits = digits[1:] if digits.startswith("+") else digits
    port = _port(digits)
    if port is None:
        raise TovikError(None, "invalid port value")
    try:
        found = socket.getaddrinfo(text[:colon], None, socket.AF_UNSPEC, socket.SOCK_STREAM)
    except socket.gaierror as e:
        raise TovikError(None, f"failed to lookup address information: {e.strerror}") from None
    except (UnicodeError, ValueError) as e:
        raise TovikError(None, f"failed to lookup address information: {e}") from None
    return [(family, str(sockaddr[0]), port) for family, _, _, _, sockaddr in found
            if family in (socket.AF_INET, socket.AF_INET6)]


def _is_loopback(family: int, host: str) -> bool:
    packed = socket.inet_pton(family, host.split("%")[0])
    if family == socket.AF_INET:
        return packed[0] == 127
    return packed == bytes(15) + b"\x01"


def parse_target(address: str) -> Target:
    """Reads "host:port" or "tovik://user@host:port" as the tovik shell does:
    a numeric address or a name that resolves to this machine. Anything that
    is not loopback is refused here, before a socket exists."""
    if not isinstance(address, str):
        raise TypeError("address must be a str")
    text = address[len(URI_PREFIX):] if address.startswith(URI_PREFIX) else address
    user = None
    at = text.find("@")
    if at >= 0:
        user = text[:at]
        if not user or ":" in user:
            raise TovikError(None, "URI must contain username only, never a password")
        text = text[at + 1:]
    numeric = _numeric(text)
    for family, host, port in [numeric] if numeric else _resolved(text):
        if _is_loopback(family, host):
            return Target(family, host, port, user)
    raise TovikError(None, TUNNEL_ADVICE)


# ---------------------------------------------------------------- encoding

_LONG_DIGITS = re.compile(rb"\d{19}")
_ENCODER = json.JSONEncoder(ensure_ascii=False, allow_nan=False, sort_keys=True,
                            separators=(",", ":"))


def _check_value(value: Any, depth: int) -> None:
    """Walks a value that may break the server's nesting or integer rules;
    depth is the level of value itself in its request."""
    stack = [(value, depth)]
    while stack:
        item, depth = stack.pop()
        children: Iterable[Any]
        if isinstance(item, dict):
            children = item.values()
        elif isinstance(item, (list, tuple)):
            children = item
        else:
            if isinstance(item, int) and not isinstance(item, bool) and not (
                    MIN_INT <= item <= MAX_INT):
                raise invalid_input(f"integer {item} does not fit in 64 bits")
            continue
        if depth > MAX_DEPTH:
            raise invalid_input(f"objects and arrays nest deeper than {MAX_DEPTH} levels "
                                "(the request's own counted)")
        stack.extend((child, depth + 1) for child in children)


def encode_json(value: Any, depth: int = 1) -> bytes:
    """value as the compact, key-sorted UTF-8 JSON the server reads, or
    InvalidInput when the server would refuse it; depth is the level value
    takes in its request (the request itself is level 1)."""
    try:
        body = _ENCODER.encode(value).encode("utf-8")
    except (TypeError, ValueError, RecursionError) as e:
        raise invalid_input(str(e)) from None
    # Only a value with long digit runs or many brackets can break the
    # rules, so ordinary ones skip the walk.
    if _LONG_DIGITS.search(body) or body.count(b"[") + body.count(b"{") > MAX_DEPTH - depth:
        _check_value(value, depth)
    return body


def frame(body: bytes, limit: int) -> bytes:
    """The frame of a request body, or InvalidInput when it is over limit."""
    if len(body) > limit:
        raise invalid_input(f"the request would take {len(body)} bytes, over {limit}")
    return len(body).to_bytes(4, "big") + body


def encode_request(command: dict[str, Any], limit: int) -> bytes:
    """The framed request for command, or InvalidInput when it cannot be
    sent as it is (nothing is sent then)."""
    return frame(encode_json({"command": command, "version": 1}), limit)


# ---------------------------------------------------------------- framing


def refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


_DECODER = json.JSONDecoder(parse_constant=refuse_constant)


def _os_text(error: OSError) -> str:
    if isinstance(error, socket.timeout):
        return "connection timed out"
    if error.errno:
        return f"{os.strerror(error.errno)} (os error {error.errno})"
    return str(error) or type(error).__name__


def connect_socket(target: Target, timeout: float) -> socket.socket:
    sock = socket.socket(target.family, socket.SOCK_STREAM)
    try:
        sock.settimeout(timeout)
        sock.connect((target.host, target.port))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    except OSError as e:
        sock.close()
        raise ConnectionLost(None, f"cannot connect to {target.text}; start an instance with "
                             f"tovik serve <database>: {_os_text(e)}") from None
    except BaseException:
        sock.close()
        raise
    return sock


class Connection:
    """One socket and the bytes read from it but not yet used. Any failure
    closes it for good: the caller learns through ConnectionLost."""

    def __init__(self, sock: socket.socket) -> None:
        self._sock: Optional[socket.socket] = sock
        self._buffer = bytearray()

    @property
    def open(self) -> bool:
        return self._sock is not None

    def close(self) -> None:
        sock, self._sock = self._sock, None
        if sock is not None:
            sock.close()

    def _lost(self, message: str, code: Optional[str] = None) -> ConnectionLost:
        self.close()
        return ConnectionLost(code, message)

    def call(self, frame: bytes, timeout: float) -> Any:
        """Sends one framed request and returns the data of a successful
        answer; a failure answer raises its TovikError."""
        sock = self._sock
        if sock is None:
            raise ConnectionLost(None, "not connected; call reconnect()")
        deadline = time.monotonic() + timeout
        try:
            sock.settimeout(timeout)
            sock.sendall(frame)
            head = self._read(sock, 4, deadline)
            length = int.from_bytes(head, "big")
            if length == 0 or length > MAX_FRAME_BYTES:
                raise self._lost(BAD_FRAME_TEXT)
            body = self._read(sock, length, deadline)
        except socket.timeout:
            raise self._lost("frame deadline exceeded") from None
        except OSError as e:
            raise self._lost(_os_text(e)) from None
        except BaseException:
            # Interrupted half-way (KeyboardInterrupt, say): the answer may
            # still come and would be taken for the next request's.
            self.close()
            raise
        return self._answer(body)

    def _read(self, sock: socket.socket, n: int, deadline: float) -> bytes:
        buffer = self._buffer
        while len(buffer) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise socket.timeout()
            sock.settimeout(left)
            chunk = sock.recv(max(65_536, n - len(buffer)))
            if not chunk:
                raise self._lost("unexpected end of stream")
            buffer += chunk
        if len(buffer) == n:
            data = bytes(buffer)
            buffer.clear()
        else:
            data = bytes(buffer[:n])
            del buffer[:n]
        return data

    def _answer(self, body: bytes) -> Any:
        try:
            message = _DECODER.decode(body.decode("utf-8"))
        except (ValueError, RecursionError):
            raise self._lost(BAD_FRAME_TEXT) from None
        if not isinstance(message, dict):
            raise self._lost(BAD_FRAME_TEXT)
        if type(message.get("version")) is not int or message["version"] != 1:
            raise self._lost(VERSION_TEXT)
        ok = message.get("ok")
        if ok is True:
            return message.get("data")
        error = message.get("error")
        if ok is not False or not isinstance(error, dict):
            raise self._lost(BAD_FRAME_TEXT)
        code, text = error.get("code"), error.get("message")
        if not isinstance(code, str) or not isinstance(text, str):
            raise self._lost(BAD_FRAME_TEXT)
        failure = from_failure(code, text)
        if isinstance(failure, ConnectionLost) or code == "authentication":
            self.close()
        raise failure
