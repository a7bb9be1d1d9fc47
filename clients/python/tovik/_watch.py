"""Watching what commits change: an iterator that long-polls the server's
`changes` request on a connection of its own."""
from __future__ import annotations

from collections import deque
from typing import TYPE_CHECKING, Any, Deque, NamedTuple, NoReturn, Optional

from ._wire import BAD_FRAME_TEXT, MAX_FRAME_BYTES, Connection, encode_request
from .errors import ConnectionLost

if TYPE_CHECKING:
    from .client import Client

# Each request asks for up to LIMIT changes and, when there are none yet,
# waits up to WAIT_MS on the server; the answer may take that much longer
# than the client's timeout.
LIMIT = 1_000
WAIT_MS = 10_000
KINDS = ("put", "delete")
Position = tuple[int, int]


class Change(NamedTuple):
    """One change a commit made: kind "put" with the stored shiny (its "id"
    included) as document, or "delete" with document None."""
    generation: int
    warren: str
    den: str
    id: str
    kind: str
    document: Optional[dict[str, Any]]


def _whole(value: Any, what: str) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int")


class Watch:
    """The changes of one place (a den, every den of a warren, or the whole
    instance) as they are committed, oldest first, each once: an iterator
    that waits as long as it takes for the next change. Make one with
    `Den.watch`, `Warren.watch` or `Client.watch`.

    A watch has a connection of its own, logged in as its client's user
    (it takes one of the server's client slots), so the client stays free
    for other calls between changes, and a watch may be iterated in a
    thread of its own (one thread per watch). Its position is fixed when
    it is made: with after=None, what is committed from then on comes.
    close(), leaving a `with` block or dropping the last reference closes
    the connection; a closed watch ends its iteration.

    `after` and `skip` hold the position behind the last change handed
    out: a new watch given both goes on from there. One stopped between two
    changes of one commit goes on from that commit's first change.

    Raises FeedPositionLost when the server no longer holds the changes
    after the position (or not yet), ConnectionLost when the connection
    breaks; the watch is closed then.
    """

    def __init__(self, client: Client, path: Optional[str], after: Optional[int], skip: int,
                 filter: Optional[dict[str, Any]]) -> None:
        if after is not None:
            _whole(after, "after")
        _whole(skip, "skip")
        self._connection: Optional[Connection] = None
        self._timeout = client.timeout
        self._command: dict[str, Any] = {"op": "changes", "limit": LIMIT}
        if filter is not None:
            self._command["filter"] = filter
        self._pending: Deque[Change] = deque()
        # Where the changes in _pending began and where they end.
        self._start: tuple[Optional[int], int] = (after, skip)
        self._end: tuple[Optional[int], int] = (after, skip)
        self.after, self.skip = after, skip
        self._connection = client._login()
        try:
            if path is not None:
                self._call({"op": "navigate", "name": path}, 0)
            self._fetch(0)
        except BaseException:
            self.close()
            raise

    def __repr__(self) -> str:
        state = "open" if self._connection else "closed"
        return f"<tovik.Watch after {self.after} skip {self.skip} {state}>"

    def __iter__(self) -> Watch:
        return self

    def __enter__(self) -> Watch:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def close(self) -> None:
        """Closes the watch's connection. Safe to call twice."""
        connection, self._connection = getattr(self, "_connection", None), None
        if connection is not None:
            connection.close()

    def __next__(self) -> Change:
        while not self._pending:
            if self._connection is None:
                raise StopIteration
            self._fetch(WAIT_MS)
        change = self._pending.popleft()
        if not self._pending:
            self.after, self.skip = self._end
        elif self._pending[0].generation != change.generation:
            self.after, self.skip = change.generation, 0
        elif self._start[0] == change.generation:
            self.after, self.skip = self._start  # the answer began inside this commit
        else:
            self.after, self.skip = change.generation - 1, 0
        return change

    def _call(self, command: dict[str, Any], wait_ms: int) -> Any:
        connection = self._connection
        if connection is None:
            raise ConnectionLost(None, "the watch is closed")
        try:
            return connection.call(encode_request(command, MAX_FRAME_BYTES),
                                   self._timeout + wait_ms / 1000)
        except BaseException:
            # A refusal, a loss or an interruption: the watch cannot go on.
            self.close()
            raise

    def _fetch(self, wait_ms: int) -> None:
        """One changes request from the end of the last answer."""
        after, skip = self._end
        command = dict(self._command, wait_ms=wait_ms)
        if after is not None:
            command["after"] = after
        if skip:
            command["skip"] = skip
        changes, end = self._read(self._call(command, wait_ms), after)
        if after is None:
            # The server chose the start: its current generation.
            after, skip = (changes[0].generation - 1, 0) if changes else end
            self.after, self.skip = after, skip
        self._start, self._end = (after, skip), end
        self._pending.extend(changes)
        if not changes:
            self.after, self.skip = end

    def _read(self, data: Any, after: Optional[int]) -> tuple[list[Change], Position]:
        """The changes of an answer and the position after them, checked."""
        if not isinstance(data, dict) or not isinstance(data.get("changes"), list):
            self._garbled()
        end = (data.get("next"), data.get("skip", 0))
        if not all(type(n) is int and n >= 0 for n in end):
            self._garbled()
        changes = []
        for item in data["changes"]:
            if not isinstance(item, dict):
                self._garbled()
            change = Change(item.get("generation"), item.get("warren"), item.get("den"),
                            item.get("id"), item.get("kind"), item.get("document"))
            if type(change.generation) is not int or change.kind not in KINDS or not all(
                    isinstance(text, str) for text in change[1:4]) or not isinstance(
                    change.document, dict if change.kind == "put" else type(None)):
                self._garbled()
            changes.append(change)
        # Generations only grow; a server that goes back cannot be followed.
        order = [] if after is None else [after]
        order += [change.generation for change in changes] + [end[0]]
        if any(a > b for a, b in zip(order, order[1:])):
            self._garbled()
        return changes, end

    def _garbled(self) -> NoReturn:
        self.close()
        raise ConnectionLost(None, BAD_FRAME_TEXT)
