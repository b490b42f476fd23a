"""A small reader of the protobuf binary wire format.

The runtime uses it where it needs records rather than a message: to split a descriptor
set into its files (each keeps its exact bytes) and extension values into their records.
It is not meant for hot paths.
"""

from __future__ import annotations

from collections.abc import Iterator

VARINT = 0
I64 = 1
LEN = 2
SGROUP = 3
EGROUP = 4
I32 = 5

_MAX_GROUP_DEPTH = 100


class WireError(ValueError):
    """Malformed wire data."""


def read_varint(data: bytes, pos: int) -> tuple[int, int]:
    """Return the unsigned varint at `pos` and the position after it."""
    result = 0
    shift = 0
    while True:
        if pos >= len(data):
            raise WireError("truncated varint")
        byte = data[pos]
        pos += 1
        result |= (byte & 0x7F) << shift
        if not byte & 0x80:
            return result & 0xFFFFFFFFFFFFFFFF, pos
        shift += 7
        if shift >= 70:
            raise WireError("varint too long")


def to_signed64(value: int) -> int:
    return value - (1 << 64) if value >= 1 << 63 else value


def to_signed32(value: int) -> int:
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value >= 1 << 31 else value


def skip_field(data: bytes, pos: int, tag: int, depth: int = 0) -> int:
    """Return the position after the value of a field whose tag was just read."""
    wire_type = tag & 7
    if wire_type == VARINT:
        return read_varint(data, pos)[1]
    if wire_type == I64:
        end = pos + 8
    elif wire_type == I32:
        end = pos + 4
    elif wire_type == LEN:
        length, pos = read_varint(data, pos)
        end = pos + length
    elif wire_type == SGROUP:
        if depth >= _MAX_GROUP_DEPTH:
            raise WireError("groups nested too deeply")
        while True:
            if pos >= len(data):
                raise WireError("unterminated group")
            inner, pos = read_varint(data, pos)
            if inner & 7 == EGROUP:
                if inner >> 3 != tag >> 3:
                    raise WireError("mismatched group end tag")
                return pos
            pos = skip_field(data, pos, inner, depth + 1)
    else:
        raise WireError(f"invalid wire type {wire_type}")
    if end > len(data):
        raise WireError("truncated field")
    return end


def iter_fields(data: bytes) -> Iterator[tuple[int, int, int | bytes]]:
    """Yield (field number, wire type, value) for every record of a message.

    Varints are yielded as unsigned ints, length-delimited fields as bytes, fixed-width
    fields as unsigned ints; groups are yielded as their raw body bytes.
    """
    pos = 0
    end = len(data)
    while pos < end:
        tag, pos = read_varint(data, pos)
        number, wire_type = tag >> 3, tag & 7
        if number == 0:
            raise WireError("invalid field number 0")
        value: int | bytes
        if wire_type == VARINT:
            value, pos = read_varint(data, pos)
        elif wire_type == LEN:
            length, pos = read_varint(data, pos)
            if pos + length > end:
                raise WireError("truncated field")
            value = data[pos : pos + length]
            pos += length
        elif wire_type in (I32, I64):
            size = 4 if wire_type == I32 else 8
            if pos + size > end:
                raise WireError("truncated field")
            value = int.from_bytes(data[pos : pos + size], "little")
            pos += size
        elif wire_type == SGROUP:
            start = pos
            pos = skip_field(data, pos, tag)
            value = data[start:pos]
        else:
            raise WireError(f"invalid wire type {wire_type}")
        yield number, wire_type, value


def split_records(data: bytes) -> list[tuple[int, bytes]]:
    """Split encoded fields into (field number, complete record bytes) pairs."""
    records = []
    pos = 0
    while pos < len(data):
        start = pos
        tag, pos = read_varint(data, pos)
        pos = skip_field(data, pos, tag)
        records.append((tag >> 3, data[start:pos]))
    return records
