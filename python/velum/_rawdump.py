"""A schema-less dump of binary messages, for `velum raw`.

Every record shows its field number, wire type and value; a length-delimited value
is shown as a nested message when it parses as one and does not read as text, else
as a string or as bytes.
"""

from __future__ import annotations

import json
import struct

from velum._wire import EGROUP, I32, I64, LEN, SGROUP, VARINT, WireError, read_varint

_MAX_DEPTH = 100
# Line breaks and tabs still make text; other control characters make bytes.
_LAYOUT = str.maketrans("\n\r\t", "   ")


def dump(data: bytes) -> str:
    """The dump of `data` as lines of text; WireError when it is not a message."""
    lines: list[str] = []
    _message(data, 0, len(data), 0, None, lines)
    return "\n".join(lines) + ("\n" if lines else "")


def _message(
    data: bytes, pos: int, end: int, depth: int, group: int | None, out: list[str]
) -> int:
    """Dump the records in data[pos:end] (up to the end tag of `group`); returns the end."""
    if depth > _MAX_DEPTH:
        raise WireError(f"nested deeper than {_MAX_DEPTH} levels")
    indent = "  " * depth
    while pos < end:
        start = pos
        tag, pos = read_varint(data, pos)
        number, wire_type = tag >> 3, tag & 7
        if number == 0:
            raise WireError(f"invalid field number 0 at offset {start}")
        if wire_type == VARINT:
            value, pos = read_varint(data, pos)
            signed = value - (1 << 64) if value >= 1 << 63 else value
            extra = f" (int64 {signed})" if signed < 0 else ""
            out.append(f"{indent}{number}: varint {value}{extra}")
        elif wire_type in (I32, I64):
            size = 4 if wire_type == I32 else 8
            if pos + size > end:
                raise WireError(f"truncated field {number} at offset {start}")
            raw = data[pos : pos + size]
            pos += size
            unsigned = int.from_bytes(raw, "little")
            real = struct.unpack("<f" if size == 4 else "<d", raw)[0]
            name = "i32" if size == 4 else "i64"
            kind = "float" if size == 4 else "double"
            out.append(f"{indent}{number}: {name} 0x{unsigned:0{size * 2}x} ({kind} {real!r})")
        elif wire_type == LEN:
            length, pos = read_varint(data, pos)
            if pos + length > end:
                raise WireError(f"truncated field {number} at offset {start}")
            _length_delimited(data, pos, pos + length, number, depth, out)
            pos += length
        elif wire_type == SGROUP:
            out.append(f"{indent}{number}: group {{")
            pos = _message(data, pos, end, depth + 1, number, out)
            out.append(f"{indent}}}")
        elif wire_type == EGROUP:
            if group != number:
                raise WireError(f"unexpected end of group {number} at offset {start}")
            return pos
        else:
            raise WireError(f"invalid wire type {wire_type} at offset {start}")
    if group is not None:
        raise WireError(f"unterminated group {group}")
    return pos


def _length_delimited(
    data: bytes, pos: int, end: int, number: int, depth: int, out: list[str]
) -> None:
    indent = "  " * depth
    value = data[pos:end]
    text = _text(value)
    head = f"{indent}{number}: len {len(value)}"
    if text is not None and text.isprintable():
        out.append(f"{head} {_quote(text)}")
        return
    if value and depth < _MAX_DEPTH:
        nested: list[str] = []
        try:
            _message(data, pos, end, depth + 1, None, nested)
        except WireError:
            pass
        else:
            out += [f"{head} {{", *nested, f"{indent}}}"]
            return
    if text is not None and text.translate(_LAYOUT).isprintable():
        out.append(f"{head} {_quote(text)}")
    else:
        out.append(f"{head} {value!r}")  # packed numbers, say


def _text(value: bytes) -> str | None:
    try:
        return value.decode("utf-8")
    except UnicodeDecodeError:
        return None


def _quote(text: str) -> str:
    return json.dumps(text, ensure_ascii=False)
