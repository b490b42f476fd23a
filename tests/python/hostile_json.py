"""The JSON fuzz oracle over the hostile schema and the well-known types.

`check_json(registry, data)`: the first byte selects the message type, the input
flavour and the options, the rest is JSON text. Every input either reads or fails
with one of the JSON reader's exceptions; what reads writes back and reads again to
an equal message; `_merge_from_json` into a new message agrees with `from_json`; and
the tree of the same document (as `json.loads` gives it) reads to an equal message or
fails with the same error.
Regression inputs replay through the same function.
"""

from __future__ import annotations

import contextlib
import json
from typing import Any

import hostile_schema
from hostile_schema import same_message

import velum
from velum import wkt

# json.JSONDecodeError and UnicodeError are ValueErrors.
JSON_ERRORS = (ValueError, TypeError, OverflowError, RecursionError)

WKT_CLASSES: tuple[type, ...] = (
    wkt.Any,
    wkt.Timestamp,
    wkt.Duration,
    wkt.FieldMask,
    wkt.Struct,
    wkt.Value,
    wkt.ListValue,
    wkt.DoubleValue,
    wkt.FloatValue,
    wkt.Int64Value,
    wkt.UInt32Value,
    wkt.BytesValue,
    wkt.Empty,
)


# Scalars, a child, lists, maps, a oneof, a group and an extension.
MERGE_BASE = (
    '{"fInt32":5,"fString":"abc","child":{"fInt32":7},"children":[{}],"rInt32":[1,2],'
    '"rLeaf":[{"value":1}],"mIntStr":{"1":"a"},"mStrNode":{"k":{"fBool":true}},'
    '"oLeaf":{"text":"t"},"grp":{"a":1},"items":[{"name":"n"}],'
    '"[velum.test.hostile2.ext_strings]":["p"]}'
)


def classes(registry: velum.Registry) -> tuple[type, ...]:
    """The 16 types the low nibble of the selector byte picks from."""
    names = (hostile_schema.NODE, hostile_schema.FLAT, hostile_schema.STRICT)
    return tuple(registry.message_class(n) for n in names) + WKT_CLASSES


class _NotPlain(Exception):
    """The document is one json.loads reads differently from the reader (see _tree)."""


def _pairs(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # The text reader delivers every occurrence of a repeated name, json.loads keeps
    # the last one only: such documents have no tree twin.
    out = dict(pairs)
    if len(out) != len(pairs):
        raise _NotPlain
    return out


def _constant(name: str) -> Any:
    raise _NotPlain  # NaN and Infinity are not JSON


def _float(text: str) -> float:
    value = float(text)
    if value in (float("inf"), float("-inf")):
        raise _NotPlain  # out of range in text, a finite-looking inf in a tree
    return value


def _tree(text: str) -> Any:
    """The document as Python values, or _NotPlain when there is no faithful twin."""
    try:
        tree = json.loads(
            text, object_pairs_hook=_pairs, parse_constant=_constant, parse_float=_float
        )
        # json.loads lets a lone surrogate escape through, the text reader refuses it.
        json.dumps(tree, ensure_ascii=False).encode()
    except (ValueError, RecursionError) as exc:
        raise _NotPlain from exc
    return tree


def _read(
    cls: type, source: Any, ignore: bool, registry: velum.Registry, tree: bool = False
) -> Any:
    """The message read, or the exception the reader raised (any other escapes)."""
    try:
        if tree:
            return cls._from_json_value(source, ignore_unknown_fields=ignore, registry=registry)
        return cls.from_json(source, ignore_unknown_fields=ignore, registry=registry)
    except JSON_ERRORS as exc:
        return exc


def check_unwritable(exc: ValueError) -> None:
    """What reads but cannot be written back: required fields are checked by the
    writers only, and the FieldMask reader takes pieces (empty, upper-case first, ...)
    the writer cannot write."""
    message = str(exc)
    assert "required field not set" in message or "invalid FieldMask path" in message, exc


def _write_back(cls: type, msg: velum.Message, registry: velum.Registry) -> None:
    """What reads writes as JSON (text and tree alike) that reads to an equal message."""
    try:
        text = msg.to_json(registry=registry)
    except ValueError as exc:
        check_unwritable(exc)
        return
    again = cls.from_json(text, registry=registry)
    assert same_message(again, msg), (text, msg, again)
    assert again.to_json(registry=registry) == text, text
    value = msg._to_json_value(registry=registry)
    assert json.loads(text) == value or text != text, (text, value)
    from_tree = cls._from_json_value(value, registry=registry)
    assert same_message(from_tree, msg), (value, msg, from_tree)


def check_json(registry: velum.Registry, data: bytes) -> None:
    """The fuzz oracle; raises AssertionError or an unexpected exception on a fault."""
    if not data:
        data = b"\x00"
    selector, body = data[0], data[1:]
    all_classes = classes(registry)
    cls = all_classes[selector & 0x0F]
    ignore = bool(selector & 0x40)
    text = body.decode("utf-8", "surrogateescape")
    source: Any = (text, bytes(body), bytearray(body))[((selector >> 4) & 3) % 3]
    if selector & 0x80 and (selector >> 4) & 3 == 0:
        source = body.decode("utf-8", "replace")  # str input that always encodes
        text = source
    read = _read(cls, source, ignore, registry)

    # Merging into a new message is reading.
    merged = cls()
    try:
        merged._merge_from_json(source, ignore_unknown_fields=ignore, registry=registry)
    except JSON_ERRORS as exc:
        assert isinstance(read, BaseException), (exc, read)
        assert type(exc) is type(read) and str(exc) == str(read), (exc, read)
    else:
        assert not isinstance(read, BaseException), read
        assert same_message(merged, read), (merged, read)

    if not isinstance(read, BaseException):
        _write_back(cls, read, registry)

    # Merging into a message that already holds fields of every kind keeps a
    # message that writes back, whether the merge reads or fails part-way.
    if selector & 0x80 and (selector >> 4) & 3 and cls.__name__ == "Node":
        target = cls.from_json(MERGE_BASE, registry=registry)
        with contextlib.suppress(JSON_ERRORS):
            target._merge_from_json(source, ignore_unknown_fields=ignore, registry=registry)
        _write_back(cls, target, registry)

    # The same document as a tree of Python values reads alike.
    if isinstance(source, str) or body.isascii() or _is_utf8(body):
        try:
            tree = _tree(text)
        except _NotPlain:
            return
        from_tree = _read(cls, tree, ignore, registry, tree=True)
        if isinstance(read, BaseException) or isinstance(from_tree, BaseException):
            assert type(read) is type(from_tree), (tree, read, from_tree)
            assert str(read) == str(from_tree), (tree, read, from_tree)
            return
        assert same_message(from_tree, read), (tree, read, from_tree)


def _is_utf8(body: bytes) -> bool:
    try:
        body.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True
