"""The JSON value-tree fuzz oracle: trees of Python values built from the fuzz bytes.

`check_tree(registry, data)`: the first byte selects the message type (as in
hostile_json) and `ignore_unknown_fields`; the rest drives a small tree builder that
makes dicts keyed by the schema's member names (and stray keys), lists, strings
(names, numbers in text, lone surrogates), ints up to far beyond Python's digit
limit, floats including inf and NaN, bools, None, subclasses and wrong kinds
(bytes, tuples, objects). Every tree either reads with `_from_json_value` or fails
with one of the reader's exceptions and its own message; what reads writes back and
reads again to an equal message; a tree that is plain JSON reads like its text.
Regression inputs replay through the same function.
"""

from __future__ import annotations

import functools
import json
import math
import struct
from typing import Any

import hostile_json
import hostile_schema

import velum

MAX_DEPTH = 40
# Python's own int/str conversion limit must never leak out of the reader.
DIGIT_LIMIT_TEXT = "Exceeds the limit"


class _Str(str):
    __slots__ = ()


class _Int(int):
    __slots__ = ()


class _Float(float):
    __slots__ = ()


class _Dict(dict):  # type: ignore[type-arg]
    pass


class _List(list):  # type: ignore[type-arg]
    pass


class _Opaque:
    """A value of no JSON kind."""


STRINGS = (
    "", "NaN", "Infinity", "-Infinity", "inf", "1e3", "-0", "2.0", "1.5", " 1", "1_0",
    "9" * 30, "-9223372036854775809", "18446744073709551616", "1e400", "0x10",
    "AAEC", "AA==", "-_-_", "+/+/", "A", "====", "true", "null",
    "1970-01-01T00:00:00Z", "9999-12-31T23:59:59-01:00", "2024-02-29T12:30:05.120+05:30",
    "0000-01-01T00:00:00Z", "1.5s", "-0.5s", "315576000001s", "1.s", "fooBar,aBC", "a,,b",
    "foo_bar", "type.googleapis.com/google.protobuf.Duration", "/velum.test.hostile2.Leaf",
    "x/", "\ud800", "a\udfffb", "\x00\x1f\"\\", "é€😀",
)  # fmt: skip

INTS = (
    0, 1, -1, 2**31 - 1, 2**31, -(2**31) - 1, 2**32, 2**53 + 1, 2**63 - 1, 2**63,
    -(2**63) - 1, 2**64 - 1, 2**64, 10**40, -(10**300), 10**4299, 10**4300, -(10**5000),
    315576000000, 253402300800, 999999999, 10**9,
)  # fmt: skip

FLOATS = (
    0.0, -0.0, 1.5, -1.0, 3.0, 1e16, 2.0**63, 2.0**64, 3.4028234663852886e38, 3.5e38, 1e308,
    5e-324, math.inf, -math.inf, math.nan, 2.0**53 + 2,
)  # fmt: skip

WRONG = (b"YQ==", bytearray(b"x"), (1, 2), frozenset(), 1j, _Opaque(), velum.Oneof("a", 1))


@functools.cache
def names(registry: velum.Registry) -> tuple[str, ...]:
    """Member names worth guessing: every field's proto and JSON name, extensions, enums."""
    found: list[str] = ["@type", "value", "[nope]", "zzz"]
    pending = [cls._desc for cls in hostile_json.classes(registry)]
    pending.append(registry.message_class("velum.test.hostile2.Leaf")._desc)
    seen: set[str] = set()
    while pending:
        desc = pending.pop()
        if desc.type_name in seen:
            continue
        seen.add(desc.type_name)
        for f in desc.fields:
            found += [f.name, f.json_name]
            kind = f.value
            for attr in ("message", "element", "value", "enum"):
                sub = getattr(kind, attr, None)
                if hasattr(sub, "fields"):
                    pending.append(sub)
                elif hasattr(sub, "values"):
                    found += [v.name for v in sub.values]
        pending.extend(desc.nested_messages)
    for name in ("ext_int", "ext_strings", "ext_leaf", "ExtGroup", "extgroup"):
        found.append(f"[velum.test.hostile2.{name}]")
    return tuple(dict.fromkeys(found))


class _Cursor:
    """The fuzz bytes as a stream of choices; zeros once exhausted."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, count: int) -> bytes:
        chunk = self.data[self.pos : self.pos + count]
        self.pos += len(chunk)
        return chunk.ljust(count, b"\0")

    def pick(self, options: tuple[Any, ...]) -> Any:
        return options[self.byte() % len(options)]


def _text(cur: _Cursor) -> str:
    raw = cur.take(cur.byte() % 12)
    return raw.decode("utf-16-le", "surrogatepass") if len(raw) % 2 == 0 else raw.decode("latin-1")


def _key(cur: _Cursor, known: tuple[str, ...]) -> Any:
    choice = cur.byte()
    if choice < 200:
        return known[cur.byte() % len(known)]
    if choice < 240:
        return _text(cur)
    return cur.pick((1, None, b"k", _Str("fInt32"), 1.5))


def build(cur: _Cursor, known: tuple[str, ...], depth: int = 0) -> Any:
    kind = cur.byte() % 16 if depth < MAX_DEPTH else 2 + cur.byte() % 5
    if kind in (0, 1):
        container: Any = _Dict() if kind == 1 and cur.byte() & 1 else {}
        for _ in range(cur.byte() % 6):
            container[_key(cur, known)] = build(cur, known, depth + 1)
        return container
    if kind in (2, 3):
        items = [build(cur, known, depth + 1) for _ in range(cur.byte() % 6)]
        return _List(items) if kind == 3 and cur.byte() & 1 else items
    if kind == 4:
        return cur.pick(STRINGS)
    if kind == 5:
        return known[cur.byte() % len(known)]
    if kind == 6:
        return struct.unpack("<b", cur.take(1))[0]
    if kind == 7:
        value = cur.pick(INTS)
        return -value if cur.byte() & 1 else value
    if kind == 8:
        return cur.pick(FLOATS)
    if kind == 9:
        return struct.unpack("<d", cur.take(8))[0]
    if kind == 10:
        return bool(cur.byte() & 1)
    if kind == 11:
        return None
    if kind == 12:
        return _text(cur)
    if kind == 13:
        return cur.pick((_Str(cur.pick(STRINGS)), _Int(cur.pick(INTS)), _Float(cur.pick(FLOATS))))
    if kind == 14:
        return cur.pick(WRONG)
    # An Any-shaped object: "@type" first, then members.
    doc: dict[Any, Any] = {"@type": cur.pick(STRINGS[-12:-4] + known[:4])}
    for _ in range(cur.byte() % 4):
        doc[_key(cur, known)] = build(cur, known, depth + 1)
    return doc


def _shown(value: Any) -> Any:
    """The tree with ints too long to print replaced, for assertion messages."""
    if isinstance(value, dict):
        return {_shown(k): _shown(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_shown(v) for v in value]
    if isinstance(value, int) and abs(value) >= 10**4000:
        return f"<int of {value.bit_length()} bits>"
    return value


def _plain(value: Any) -> bool:
    """Only the exact JSON kinds, finite floats and strings that encode: text has a twin."""
    kind = type(value)
    if kind is dict:
        return all(type(k) is str and _plain(k) and _plain(v) for k, v in value.items())
    if kind is list:
        return all(map(_plain, value))
    if kind is str:
        try:
            value.encode()
        except UnicodeEncodeError:
            return False
        return True
    if kind is float:
        return math.isfinite(value)
    if kind is int:
        return abs(value) < 10**4000  # within the text parser's number length
    return value is None or kind is bool


def _write_back(cls: type, msg: velum.Message, registry: velum.Registry) -> None:
    """What reads writes back as a tree and as text that read to the same message.

    A tree may hand the reader subclasses of str, int and float, which the message
    keeps; messages are therefore compared by what they write."""
    try:
        value = msg._to_json_value(registry=registry)
    except ValueError as exc:
        hostile_json.check_unwritable(exc)
        return
    again = cls._from_json_value(value, registry=registry)
    assert again._to_json_value(registry=registry) == value, (value, msg, again)
    try:
        text = msg.to_json(registry=registry)
    except UnicodeEncodeError:
        return  # a lone surrogate read from a tree is written in trees only
    from_text = cls.from_json(text, registry=registry)
    assert from_text.to_json(registry=registry) == text, (text, msg, from_text)
    assert json.loads(text) == value, (text, value)


def check_tree(registry: velum.Registry, data: bytes) -> None:
    """The fuzz oracle; raises AssertionError or an unexpected exception on a fault."""
    if not data:
        data = b"\x00"
    cur = _Cursor(data)
    selector = cur.byte()
    cls = hostile_json.classes(registry)[selector & 0x0F]
    ignore = bool(selector & 0x40)
    tree = build(cur, names(registry))
    read = hostile_json._read(cls, tree, ignore, registry, tree=True)
    if isinstance(read, BaseException):
        assert DIGIT_LIMIT_TEXT not in str(read), (type(read), _shown(tree))
        assert str(read), repr(read)
    else:
        _write_back(cls, read, registry)
    if not _plain(tree):
        return
    # The same document as text reads alike (or fails with the same error).
    text = json.dumps(tree, ensure_ascii=bool(selector & 0x20), allow_nan=False)
    from_text = hostile_json._read(cls, text, ignore, registry)
    if isinstance(read, BaseException) or isinstance(from_text, BaseException):
        assert type(read) is type(from_text), (tree, read, from_text)
        assert str(read) == str(from_text), (tree, read, from_text)
        return
    assert hostile_schema.same_message(read, from_text), (tree, read, from_text)
