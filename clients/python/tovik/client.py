"""Client, Warren and Den: the commands of a Tovik server as Python calls.

A Client owns one connection and is not thread-safe: use one Client per
thread. The connection has a position (a warren and a den); every call
moves it with one navigation request only when it stands elsewhere, so a
loop over one den costs one round trip per call.
"""
from __future__ import annotations

import os
from typing import Any, Iterator, NoReturn, Optional, TypeVar, Union

from . import _transfer
from ._watch import Watch
from ._wire import (MAX_FRAME_BYTES, MAX_LOGIN_BYTES, Connection, Target, connect_socket,
                    encode_request, frame, parse_target)
from .errors import ConnectionLost, InvalidInput, TovikError, from_failure, invalid_input

DEFAULT_ADDRESS = "127.0.0.1:7337"
PAGE_LIMIT = 100
WRITE_OPS = ("put", "insert", "update", "delete")
# The members of each write operation (the protocol's closed forms).
WRITE_MEMBERS = {"op", "id", "document"}
DELETE_MEMBERS = {"op", "id"}
NAME_TEXT = "name must be 1-256 bytes with no slash or control characters"
Document = dict[str, Any]
T = TypeVar("T")


def _env(name: str) -> Optional[str]:
    """An environment variable, absent when unset or not valid UTF-8."""
    value = os.environ.get(name)
    if value is None:
        return None
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return None
    return value


def _text(value: Any, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    return value


def _name(value: Any) -> str:
    # A slash would make the navigation path name another place.
    name = _text(value, "name")
    if not name or "/" in name:
        raise TovikError("operation_failed", NAME_TEXT, repr(name))
    return name


def connect(address: str = DEFAULT_ADDRESS, user: Optional[str] = None,
            password: Optional[str] = None, timeout: float = 5.0) -> Client:
    """Connects to a Tovik server on this machine and logs in.

    address is "host:port" or "tovik://user@host:port"; host is a numeric
    address or a name that resolves to this machine. Any other address is
    refused before a socket is opened. The user is the address's, else
    `user`, else TOVIK_USER, else "admin"; the password is `password`, else
    TOVIK_PASSWORD. timeout (seconds) bounds connecting and each answer.

    Raises TovikError for a bad address or missing credentials,
    ConnectionLost when no server answers, AuthenticationError when the
    server refuses the login.
    """
    target = parse_target(address)
    if user is not None:
        _text(user, "user")
        if target.user is not None and target.user != user:
            raise TovikError(None, f"the address names user {target.user!r}, not {user!r}")
    name = next((n for n in (target.user, user, _env("TOVIK_USER")) if n is not None), "admin")
    secret = password if password is not None else _env("TOVIK_PASSWORD")
    if secret is None:
        raise TovikError(None, "no password: pass password= or set TOVIK_PASSWORD")
    _text(secret, "password")
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
        raise TypeError("timeout must be a positive number of seconds")
    client = Client(target, name, secret, float(timeout))
    client.reconnect()
    return client


class Client:
    """A logged-in connection to a server; make one with `tovik.connect`.

    Not thread-safe: one Client per thread. A lost connection raises
    ConnectionLost from the call that found it, and every later call too,
    until `reconnect()`. No call is retried by the library: after a loss, a
    write may or may not have been carried out.
    """

    def __init__(self, target: Target, user: str, password: str, timeout: float) -> None:
        self._target = target
        self.user = user
        self._password = password
        self.timeout = timeout
        self._connection: Optional[Connection] = None
        # (warren, den) where the server's session stands; None when unknown.
        self._position: Optional[tuple[Optional[str], Optional[str]]] = None

    def __repr__(self) -> str:
        state = "open" if self._connection and self._connection.open else "closed"
        return f"<tovik.Client {self.user}@{self._target.text} {state}>"

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # ------------------------------------------------------------ connection

    def reconnect(self) -> None:
        """Drops the current connection, if any, opens a new one and logs in
        again. The new session starts at the instance level."""
        self.close()
        self._connection, self._position = self._login(), (None, None)

    def _login(self) -> Connection:
        """A new connection, logged in, at the instance level."""
        connection = Connection(connect_socket(self._target, self.timeout))
        frame = encode_request({"op": "auth", "username": self.user,
                                "password": self._password}, MAX_LOGIN_BYTES)
        try:
            connection.call(frame, self.timeout)
        except BaseException:
            connection.close()
            raise
        return connection

    def close(self) -> None:
        """Says quit and closes the connection. Safe to call twice."""
        connection, self._connection = self._connection, None
        self._position = None
        if connection is None or not connection.open:
            return
        try:
            connection.call(encode_request({"op": "quit"}, MAX_FRAME_BYTES), self.timeout)
        except TovikError:
            pass
        finally:
            connection.close()

    def _call(self, command: dict[str, Any]) -> Any:
        return self._send(encode_request(command, MAX_FRAME_BYTES))

    def _send(self, request: bytes) -> Any:
        """Sends one framed request; the data of its answer."""
        connection = self._connection
        if connection is None:
            raise ConnectionLost(None, "not connected; call reconnect()")
        try:
            return connection.call(request, self.timeout)
        except ConnectionLost:
            self._connection, self._position = None, None
            raise

    def _move(self, path: str) -> None:
        data = self._call({"op": "navigate", "name": path})
        self._take_position(data)

    def _take_position(self, data: Any) -> None:
        warren, den = self._expect(data, dict).get("warren"), data.get("den")
        if not isinstance(warren, (str, type(None))) or not isinstance(den, (str, type(None))):
            self._garbled()
        self._position = (warren, den)

    def _in_warren(self, warren: str) -> None:
        if self._position is None or self._position[0] != warren:
            self._move("/" + warren)

    def _in_den(self, warren: str, den: str) -> None:
        if self._position != (warren, den):
            self._move(f"/{warren}/{den}")

    def _garbled(self) -> NoReturn:
        if self._connection is not None:
            self._connection.close()
        self._connection, self._position = None, None
        raise ConnectionLost(None, "invalid or oversized protocol frame")

    def _expect(self, value: Any, kind: type[T]) -> T:
        """value when it has the type an answer promises; a server that says
        otherwise is not trusted any further."""
        if not isinstance(value, kind):
            self._garbled()
        return value

    def _names(self, command: dict[str, Any], what: str) -> list[str]:
        data = self._expect(self._call(command), dict)
        names = self._expect(data.get("names"), list)
        truncated = data.get("truncated")
        if not isinstance(truncated, bool) or not all(isinstance(n, str) for n in names):
            self._garbled()
        if truncated:
            error = TovikError(None, f"the server listed only the first {len(names)} {what}; "
                               "the protocol has no way to ask for the rest")
            error.names = names  # type: ignore[attr-defined]
            raise error
        return names

    # ------------------------------------------------------------ the instance

    def warrens(self) -> list[str]:
        """The names of all warrens, in ascending byte order.

        The server lists at most 100 names (and reads at most 10,000
        records) per answer, and the protocol has no cursor for listings:
        beyond that this raises TovikError, whose `names` holds the first
        ones.
        """
        return self._names({"op": "warrens"}, "warrens")

    def create_warren(self, name: str) -> None:
        """Creates a warren; creating one that exists changes nothing."""
        self._call({"op": "create", "kind": "warren", "name": _text(name, "name")})

    def drop_warren(self, name: str, contents: bool = False) -> Optional[int]:
        """Removes a warren that was created and holds nothing. With
        contents=True, removes it with every den and shiny in it instead, in
        one commit, and returns how many shinies went with it."""
        if contents:
            return _dropped(self, "warren", name)
        data = self._call({"op": "drop_empty", "kind": "warren", "name": _text(name, "name")})
        self._take_position(data)
        return None

    def warren(self, name: str) -> Warren:
        """The warren called name (no request is sent; it need not exist)."""
        return Warren(self, _name(name))

    def watch(self, after: Optional[int] = None, filter: Optional[dict[str, Any]] = None,
              skip: int = 0) -> Watch:
        """The changes of every warren and den as they are committed: a
        `Watch`, iterating `Change`s, on a connection of its own. after: the
        generation to start after (None: the current one), with skip when a
        position came from an earlier watch; filter: only the puts that
        match it come (deletes always do)."""
        return Watch(self, None, after, skip, filter)

    def stats(self) -> dict[str, Any]:
        """Storage records, their bytes and the generation, as the server
        counts them."""
        return self._expect(self._call({"op": "stats"}), dict)

    def check(self) -> bool:
        """Re-reads and verifies the whole database file: True when it is
        sound, False when the server finds it corrupt."""
        try:
            data = self._expect(self._call({"op": "check"}), dict)
        except TovikError as e:
            if e.code == "operation_failed" and e.message == "database corruption detected":
                return False
            raise
        return data.get("valid") is True


class Warren:
    """A warren of a Client's server; its calls go through that Client."""

    def __init__(self, client: Client, name: str) -> None:
        self.client, self.name = client, name

    def __repr__(self) -> str:
        return f"<tovik.Warren {self.name!r}>"

    def dens(self) -> list[str]:
        """The names of all dens of this warren, in ascending byte order.

        Like `Client.warrens()`, this raises TovikError (with `names`) when
        the server's answer is cut at 100 names or 10,000 records read,
        since the protocol cannot ask for the rest.
        """
        self.client._in_warren(self.name)
        return self.client._names({"op": "dens"}, f"dens of {self.name}")

    def create_den(self, name: str) -> None:
        """Creates a den in this warren; creating one that exists changes
        nothing."""
        self.client._in_warren(self.name)
        self.client._call({"op": "create", "kind": "den", "name": _text(name, "name")})

    def drop_den(self, name: str, contents: bool = False) -> Optional[int]:
        """Removes a den of this warren that was created and holds nothing.
        With contents=True, removes it with every shiny in it instead, in
        one commit, and returns how many shinies went with it."""
        client = self.client
        client._in_warren(self.name)
        if contents:
            return _dropped(client, "den", name)
        data = client._call({"op": "drop_empty", "kind": "den", "name": _text(name, "name")})
        client._take_position(data)
        return None

    def den(self, name: str) -> Den:
        """The den called name (no request is sent; it need not exist)."""
        return Den(self.client, self.name, _name(name))

    def watch(self, after: Optional[int] = None, filter: Optional[dict[str, Any]] = None,
              skip: int = 0) -> Watch:
        """The changes of every den of this warren as they are committed;
        as `Client.watch`."""
        return Watch(self.client, "/" + self.name, after, skip, filter)


class Den:
    """A den of a warren; documents are dicts that carry their "id"."""

    def __init__(self, client: Client, warren: str, name: str) -> None:
        self.client, self.warren, self.name = client, warren, name

    def __repr__(self) -> str:
        return f"<tovik.Den {self.warren!r}/{self.name!r}>"

    def _call(self, command: dict[str, Any]) -> Any:
        self.client._in_den(self.warren, self.name)
        return self.client._call(command)

    def put(self, id: str, doc: Document) -> None:
        """Stores doc under id, replacing what was there."""
        self._call({"op": "put", "id": _text(id, "id"), "document": doc})

    def insert(self, id: str, doc: Document) -> None:
        """Stores doc under a new id; AlreadyExists when the id is taken."""
        self._call({"op": "insert", "id": _text(id, "id"), "document": doc})

    def update(self, id: str, fields: Document) -> None:
        """Sets top-level members of a stored shiny (NotFound when there is
        none); each value replaces the whole member, None stores null.
        fields whose keys all start with "$" are update operators instead,
        e.g. {"$inc": {"qty": 1}, "$push": {"tags": "new"}}."""
        self._call({"op": "update", "id": _text(id, "id"), "fields": fields})

    def get(self, id: str) -> Optional[Document]:
        """The shiny stored under id, or None."""
        document = self._call({"op": "get", "id": _text(id, "id")})
        return None if document is None else self.client._expect(document, dict)

    def delete(self, id: str) -> None:
        """Removes the shiny stored under id; a missing id is no error."""
        self._call({"op": "delete", "id": _text(id, "id")})

    def page(self, limit: int, after: Optional[str] = None) -> tuple[list[Document], Optional[str]]:
        """Up to limit (1 to 100) shinies in id order after the id `after`,
        and the cursor for the next page (None at the end). The server may
        return fewer to keep an answer within its byte limit."""
        return self._page(limit, after, None)

    def _page(self, limit: int, after: Optional[str],
              where: Optional[dict[str, Any]]) -> tuple[list[Document], Optional[str]]:
        if isinstance(limit, bool) or not isinstance(limit, int):
            raise TypeError("limit must be an int")
        if not 0 <= limit < 2**64:
            raise invalid_input(f"page size {limit}")
        command: dict[str, Any] = {"op": "page", "limit": limit}
        if after is not None:
            command["after"] = _text(after, "after")
        if where is not None:
            command["filter"] = where
        return self._query_page(command)

    def _query_page(self, command: dict[str, Any]) -> tuple[list[Document], Optional[str]]:
        """One page or query request and its checked answer."""
        client = self.client
        data = client._expect(self._call(command), dict)
        documents = client._expect(data.get("documents"), list)
        cursor = data.get("next_after")
        if not all(isinstance(d, dict) for d in documents) or not isinstance(
                cursor, (str, type(None))):
            client._garbled()
        return documents, cursor

    def query(self, filter: dict[str, Any], fields: Optional[list[str]] = None,
              sort: Optional[list[str]] = None, skip: int = 0,
              limit: Optional[int] = None) -> Iterator[Document]:
        """The shinies that match filter (the server's filter language:
        {"qty": {"$gt": 2}}, {"id": {"$gte": "a", "$lt": "b"}}, ...), fetched
        a page at a time as the iterator is consumed.

        They come in id order, or with sort (1 to 8 paths, each ascending
        or, with a leading "-", descending: ["-qty", "item"]) in that
        order, ties by id. skip passes over that many matches first (0 to
        1,000,000); limit stops after that many (None: all of them). With
        fields, each holds its "id" and those paths only."""
        command: dict[str, Any] = {"op": "query", "filter": filter}
        if fields is not None:
            command["fields"] = [_text(path, "field") for path in fields]
        if sort is not None:
            if isinstance(sort, str):
                sort = [sort]
            command["sort"] = [_text(path, "sort path") for path in sort]
        remaining = _count(limit, "limit") if limit is not None else None
        if _count(skip, "skip"):
            command["skip"] = skip
        after: Optional[str] = None
        while remaining is None or remaining > 0:
            size = PAGE_LIMIT if remaining is None else min(PAGE_LIMIT, remaining)
            documents, cursor = self._query_page({**command, "limit": size, "after": after})
            # Ids grow from page to page; a sorted walk's cursors are opaque
            # but never repeat.
            if after is not None and cursor is not None and (
                    cursor == after or (sort is None and cursor < after)):
                self.client._garbled()
            if remaining is not None:
                documents = documents[:remaining]
                remaining -= len(documents)
            yield from documents
            if cursor is None:
                return
            after = cursor
            command.pop("skip", None)

    def distinct(self, path: str, filter: Optional[dict[str, Any]] = None) -> DistinctValues:
        """The different values at path (dotted; array elements count one
        by one, as filters see them) among the shinies that match filter
        (None: all), in sort order. The server answers at most 1,000 values
        and 524,288 bytes of them: the list's `truncated` is True when more
        exist."""
        command: dict[str, Any] = {"op": "distinct", "path": _text(path, "path")}
        if filter is not None:
            command["filter"] = filter
        data = self.client._expect(self._call(command), dict)
        values, truncated = self.client._expect(data.get("values"), list), data.get("truncated")
        if not isinstance(truncated, bool):
            self.client._garbled()
        return DistinctValues(values, truncated)

    def update_many(self, filter: dict[str, Any], update: Document) -> tuple[int, int]:
        """Applies update (members to set, or update operators as `update`
        takes them) to every shiny that matches filter, in one commit or
        not at all: the first shiny refused raises with "document <id>:
        ..." and nothing changes. Returns (matched, modified), modified
        counting the shinies whose stored text changed."""
        if not isinstance(update, dict):
            raise invalid_input("update must be a dict")
        data = self._call({"op": "update_many", "filter": filter, "update": update})
        matched, modified = self._counts(data, "matched", "modified")
        return matched, modified

    def delete_many(self, filter: dict[str, Any]) -> int:
        """Removes every shiny that matches filter ({} removes them all), in
        one commit; returns how many."""
        data = self._call({"op": "delete_many", "filter": filter})
        return self._counts(data, "deleted")[0]

    def _counts(self, data: Any, *names: str) -> tuple[int, ...]:
        counts = tuple(self.client._expect(data, dict).get(name) for name in names)
        if not all(type(count) is int for count in counts):
            self.client._garbled()
        return counts

    def count(self, filter: dict[str, Any]) -> int:
        """The number of shinies that match filter. The server counts up to
        100,000 records examined; past that, the rest is counted here by
        walking the matches a page at a time (their ids only)."""
        data = self.client._expect(self._call({"op": "count", "filter": filter}), dict)
        count, complete = data.get("count"), data.get("complete")
        if type(count) is not int or not isinstance(complete, bool):
            self.client._garbled()
        if complete:
            return count
        return sum(1 for _ in self.query(filter, fields=[]))

    def write(self, ops: list[dict[str, Any]]) -> int:
        """Runs up to 1,024 writes in order as one commit, all or none. Each
        is a dict in the protocol's form: {"op": "put"|"insert"|"update",
        "id": .., "document": {..}} (for update, the fields to set) or
        {"op": "delete", "id": ..}. Returns the generation of the commit; a
        failing operation raises with "operation <n>: ..." and stores
        nothing."""
        if not isinstance(ops, (list, tuple)):
            raise TypeError("ops must be a list of dicts")
        wire = [_write_op(op) for op in ops]
        data = self.client._expect(self._call({"op": "write", "ops": wire}), dict)
        generation = data.get("generation")
        if type(generation) is not int:
            self.client._garbled()
        return generation

    def import_jsonl(self, path: Union[str, os.PathLike[str]]) -> int:
        """Stores the shinies of a JSON-lines file (one object per line with
        its "id"; blank lines skipped) with put, in `write` requests within
        the server's request and document limits; returns how many.

        The file is read as a stream. The first line that is refused (by
        this client or the server) stops the import with "line <n>: <reason>;
        <k> lines before it are stored": the error's `line` and `stored`
        attributes say so too, and the stored ones are the file's first k
        shinies. A lost connection names the lines of the request in flight,
        which the server stored whole or not at all."""
        request_limit, document_limit = _transfer.server_limits(self.client._call({"op": "server"}))
        importer = _Import(self, request_limit)
        with open(path, "rb") as file:
            for number, op in _transfer.put_ops(file, document_limit):
                if isinstance(op, str):
                    raise importer.refused(InvalidInput, None, number, op)
                importer.add(number, op)
        importer.send()
        return importer.stored

    def export_jsonl(self, path: Union[str, os.PathLike[str]]) -> int:
        """Writes every shiny of the den, in id order, to a new JSON-lines
        file (the id first, the other members in stored order), page by
        page; returns how many. An existing path is never overwritten, and
        a failed export removes the file it began."""
        name = os.fspath(path)
        exists = TovikError(None, f"{name} already exists; export never overwrites")
        if os.path.lexists(name):
            raise exists
        file = None
        count, after = 0, None
        try:
            while True:
                documents, cursor = self._page(PAGE_LIMIT, after, None)
                if file is None:
                    try:
                        fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
                    except FileExistsError:
                        raise exists from None
                    file = os.fdopen(fd, "wb")
                if not all(isinstance(d.get("id"), str) for d in documents) or (
                        after is not None and cursor is not None and cursor <= after):
                    self.client._garbled()
                file.writelines(_transfer.export_line(d) for d in documents)
                count += len(documents)
                if cursor is None:
                    break
                after = cursor
            file.flush()
            os.fsync(file.fileno())
            file.close()
        except BaseException:
            if file is not None:
                file.close()
                os.unlink(name)
            raise
        return count

    def watch(self, after: Optional[int] = None, filter: Optional[dict[str, Any]] = None,
              skip: int = 0) -> Watch:
        """The changes of this den as they are committed; as `Client.watch`."""
        return Watch(self.client, f"/{self.warren}/{self.name}", after, skip, filter)

    def _walk(self, where: Optional[dict[str, Any]]) -> Iterator[Document]:
        after: Optional[str] = None
        while True:
            documents, cursor = self._page(PAGE_LIMIT, after, where)
            if after is not None and cursor is not None and cursor <= after:
                self.client._garbled()  # a cursor that does not advance would never end
            yield from documents
            if cursor is None:
                return
            after = cursor

    def scan(self) -> Iterator[Document]:
        """Every shiny of the den in id order, fetched a page at a time as
        the iterator is consumed (no cap on the count)."""
        return self._walk(None)

    def find(self, field: str, value: Any) -> Iterator[Document]:
        """Every shiny whose top-level member field equals value (same JSON
        type: 1 and 1.0 differ), in id order, fetched a page at a time."""
        return self._walk({"field": _text(field, "field"), "value": value})


class DistinctValues(list):  # type: ignore[type-arg]
    """The values `Den.distinct` returns: a list, with `truncated` True when
    the server left values out."""

    def __init__(self, values: list[Any], truncated: bool) -> None:
        super().__init__(values)
        self.truncated = truncated


def _count(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int")
    if value < 0:
        raise invalid_input(f"{what} {value}")
    return value


def _dropped(client: Client, kind: str, name: str) -> int:
    """drop of a warren or den with its contents: the shinies removed. The
    server moves the session off what was dropped, so the position is
    asked for again before the next call that needs one."""
    data = client._call({"op": "drop", "kind": kind, "name": _text(name, "name")})
    client._position = None
    shinies = client._expect(data, dict).get("shinies")
    if type(shinies) is not int:
        client._garbled()
    return shinies


def _write_op(op: Any) -> dict[str, Any]:
    """One operation of a write, checked against the protocol's closed
    forms so a malformed one is refused before sending (the server would
    end the connection)."""
    if not isinstance(op, dict) or op.get("op") not in WRITE_OPS or set(op) != (
            DELETE_MEMBERS if op["op"] == "delete" else WRITE_MEMBERS):
        raise invalid_input(f"write operation {op!r}")
    _text(op["id"], "id")
    if op["op"] != "delete" and not isinstance(op["document"], dict):
        raise invalid_input(f"write operation {op!r}: the document must be a dict")
    return dict(op)


class _Import:
    """The write requests of one import: operations gathered until the next
    would not fit, then sent as one."""

    def __init__(self, den: Den, request_limit: int) -> None:
        self.den, self.limit = den, request_limit
        self.ops: list[bytes] = []
        self.lines: list[int] = []
        self.bytes = _transfer.ENVELOPE_BYTES
        self.stored = 0

    def refused(self, kind: type[TovikError], code: Optional[str], line: int, reason: str,
                tail: str = "") -> TovikError:
        """The error that stops the import at line."""
        error = kind(code, f"line {line}: {reason}; {_transfer.stored_before(self.stored)}{tail}")
        error.line, error.stored = line, self.stored  # type: ignore[attr-defined]
        return error

    def add(self, line: int, op: bytes) -> None:
        if _transfer.ENVELOPE_BYTES + len(op) > self.limit:
            raise self.refused(InvalidInput, None, line,
                               f"too large for one request of at most {self.limit} bytes")
        if len(self.ops) == _transfer.MAX_WRITE_OPS or self.bytes + 1 + len(op) > self.limit:
            self.send()
        self.bytes += len(op) + (1 if self.ops else 0)
        self.ops.append(op)
        self.lines.append(line)

    def send(self) -> None:
        if not self.ops:
            return
        first, last = self.lines[0], self.lines[-1]
        client = self.den.client
        try:
            client._in_den(self.den.warren, self.den.name)
            client._send(frame(_transfer.write_body(self.ops), self.limit))
        except ConnectionLost as e:
            raise self.refused(ConnectionLost, e.code, first, e.message,
                               f"; lines {first}-{last} went in one write, which is stored "
                               "whole or not at all") from None
        except TovikError as e:
            line, reason = first, e.message
            operation = _transfer.failed_operation(e.message)
            if operation and 1 <= operation[0] <= len(self.ops):
                line, reason = self.lines[operation[0] - 1], operation[1]
            kind = type(from_failure(e.code, reason)) if e.code else type(e)
            raise self.refused(kind, e.code, line, reason) from None
        self.stored += len(self.ops)
        self.ops, self.lines = [], []
        self.bytes = _transfer.ENVELOPE_BYTES
