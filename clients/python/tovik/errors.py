"""The exceptions of the Tovik client.

Every exception the library raises on purpose is a `TovikError`. Failures the
server reports carry its `code` and `message` unchanged. Failures the client
finds itself (an address it will not use, a broken connection) have `code`
None; input it refuses before sending because the server would refuse it too
(`InvalidInput`, a name with a slash) carries the server's code and message.
"""
from __future__ import annotations

import re
from typing import Optional


class TovikError(Exception):
    """Base class: `code` is the server's failure code (or None when the
    client found the problem), `message` its text."""

    def __init__(self, code: Optional[str], message: str, detail: Optional[str] = None) -> None:
        super().__init__(message if detail is None else f"{message}: {detail}")
        self.code = code
        self.message = message


class AuthenticationError(TovikError):
    """The server refused the user name or password (and closed the connection)."""


class ConnectionLost(TovikError):
    """The connection is gone: it broke, timed out, the server answered
    something unreadable, or the server said its last word (bad_frame,
    version, server_busy) and closed. The last request may or may not have
    been carried out. Call `Client.reconnect()` to go on."""


class AlreadyExists(TovikError):
    """insert: a shiny with that id is stored already."""


class NotFound(TovikError):
    """update: no shiny with that id."""


class InvalidInput(TovikError):
    """The server (or the client, before sending) refused a value: a document
    that is not an object or is too large, an id that disagrees with the
    document's, a page size outside 1 to 100, a value JSON cannot carry
    exactly, and the like."""


class DatabaseFull(TovikError):
    """The write does not fit in the database's capacity; nothing changed."""


class FeedPositionLost(TovikError):
    """A watch asked for changes the server's feed cannot give: those after
    `after` are no longer kept (the feed dropped them, or the server started
    after that generation; `oldest` is the generation it still holds
    changes after), or `after` is beyond the server's `current` generation
    (a server that restarted on an older file). Either way some changes
    cannot be delivered: read the data again and watch from the generation
    noted before reading (`client.stats()["generation"]`)."""

    def __init__(self, code: Optional[str], message: str, after: Optional[int] = None,
                 oldest: Optional[int] = None, current: Optional[int] = None) -> None:
        super().__init__(code, message)
        self.after, self.oldest, self.current = after, oldest, current


_POSITION_LOST = re.compile(r"changes after generation (\d+) are (no longer available; the oldest "
                            r"is|not available yet; the current generation is) (\d+)")
OPERATION_FAILURES = {
    "shiny already exists": AlreadyExists,
    "shiny does not exist": NotFound,
    "invalid input or configuration": InvalidInput,
    "configured database capacity exceeded": DatabaseFull,
}
INVALID_INPUT_TEXT = "invalid input or configuration"
# After these answers the server closes the connection.
CLOSING_CODES = frozenset({"bad_frame", "version", "server_busy"})


def from_failure(code: str, message: str) -> TovikError:
    """The exception for a failure the server answered."""
    if code == "authentication":
        return AuthenticationError(code, message)
    if code in CLOSING_CODES:
        return ConnectionLost(code, message)
    lost = _POSITION_LOST.fullmatch(message)
    if code == "operation_failed" and lost:
        after, other = int(lost.group(1)), int(lost.group(3))
        gone = lost.group(2).startswith("no longer")
        return FeedPositionLost(code, message, after, other if gone else None,
                                None if gone else other)
    if code == "operation_failed":
        return OPERATION_FAILURES.get(message, TovikError)(code, message)
    return TovikError(code, message)


def invalid_input(detail: str) -> InvalidInput:
    """A refusal made by the client, worded as the server's."""
    return InvalidInput("operation_failed", INVALID_INPUT_TEXT, detail)
