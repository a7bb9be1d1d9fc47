"""JSON lines in and out of a den, as the tovik shell's import and export
move them.

A line holds one JSON object with its id as the string member "id"; blank
lines are skipped and the last line needs no line feed. An import sends the
lines as `write` requests of put operations, as many per request as the
server's limits allow; an export writes each shiny with its id first and the
other members in stored (ascending) order."""
from __future__ import annotations

import json
import re
from typing import Any, BinaryIO, Iterator, Optional, Union

from ._wire import MAX_FRAME_BYTES, encode_json, refuse_constant
from .errors import InvalidInput

DEFAULT_DOCUMENT_BYTES = 262_144
MAX_WRITE_OPS = 1_024
WRITE_HEAD = b'{"command":{"op":"write","ops":['
WRITE_TAIL = b']},"version":1}'
ENVELOPE_BYTES = len(WRITE_HEAD) + len(WRITE_TAIL)
# An operation's level in a write request: the request, its command, the
# ops array, the operation.
_OP_DEPTH = 4
_BLANK = re.compile(rb"[ \t\r]*")
_OPERATION = re.compile(r"operation (\d+): (.*)", re.S)
_DECODER = json.JSONDecoder(parse_constant=refuse_constant)


def stored_before(stored: int) -> str:
    if stored == 1:
        return "1 line before it is stored"
    return f"{stored} lines before it are stored"


def failed_operation(message: str) -> Optional[tuple[int, str]]:
    """(n, reason) of a write refused with "operation <n>: <reason>"."""
    match = _OPERATION.fullmatch(message)
    return (int(match.group(1)), match.group(2)) if match else None


def server_limits(data: Any) -> tuple[int, int]:
    """The request and document limits the server's status reports, else
    those of a server started with the defaults."""
    def limit(name: str, default: int) -> int:
        value = data.get(name) if isinstance(data, dict) else None
        return min(value, default) if type(value) is int and value > 0 else default
    return (limit("max_request_bytes", MAX_FRAME_BYTES),
            limit("max_document_bytes", DEFAULT_DOCUMENT_BYTES))


def _put_op(text: bytes, seen: dict[str, int], number: int,
            document_limit: int) -> Union[bytes, str]:
    """The encoded put operation of one line, or why the line is refused."""
    try:
        document = _DECODER.decode(text.decode("utf-8"))
    except UnicodeDecodeError as e:
        return f"not valid UTF-8 at column {e.start + 1}"
    except json.JSONDecodeError as e:
        return f"{e.msg} at column {e.colno}"
    except (ValueError, RecursionError) as e:
        return str(e) or "nested too deeply"
    if not isinstance(document, dict):
        return "not a JSON object"
    id = document.get("id")
    if "id" not in document:
        return 'no "id" member'
    if not isinstance(id, str):
        return '"id" is not a string'
    if not id or "\x00" in id:
        return '"id" is not a valid id (empty or holding NUL)'
    first = seen.setdefault(id, number)
    if first != number:
        return f"repeats the id of line {first}"
    try:
        op = encode_json({"document": document, "id": id, "op": "put"}, _OP_DEPTH)
    except InvalidInput as e:
        return str(e)
    # The operation is {"document":<the shiny>,"id":<id>,"op":"put"}.
    if len(op) - len(b'{"document":,"id":,"op":"put"}') - len(encode_json(id)) > document_limit:
        return f"document larger than {document_limit} bytes"
    return op


def put_ops(file: BinaryIO, document_limit: int) -> Iterator[tuple[int, Union[bytes, str]]]:
    """(line number, encoded put operation or the reason the line is
    refused) for each line that is not blank, read as a stream."""
    seen: dict[str, int] = {}
    number = 0
    for line in file:
        number += 1
        text = line[:-1] if line.endswith(b"\n") else line
        if _BLANK.fullmatch(text):
            continue
        yield number, _put_op(text, seen, number, document_limit)


def write_body(ops: list[bytes]) -> bytes:
    """The body of a write request of encoded operations: the same bytes
    as encoding the whole request at once."""
    return WRITE_HEAD + b",".join(ops) + WRITE_TAIL


def export_line(document: dict[str, Any]) -> bytes:
    """The line of a shiny: its id first, then the other members."""
    rest = {name: value for name, value in document.items() if name != "id"}
    line = b'{"id":' + encode_json(document["id"])
    if rest:
        line += b"," + encode_json(rest)[1:-1]
    return line + b"}\n"
