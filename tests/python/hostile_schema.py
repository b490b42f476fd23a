"""The hostile-input schema and the round-trip check shared by the fuzzer and tests.

`check_input(registry, data)` is the fuzzer's oracle: every input either decodes or
fails with a decoder error, and what decodes re-encodes to bytes that decode to an
equal message. Regression inputs replay through the same function.
"""

from __future__ import annotations

import json
import math
import os
from pathlib import Path
from typing import Any

import velum

NODE = "velum.test.hostile2.Node"
STRICT = "velum.test.hostile2.Strict"
FLAT = "velum.test.hostile3.Flat"
PROTOS = ("test_hostile_proto2.proto",)

# What the binary decoder may raise for bad bytes (UnicodeDecodeError is a ValueError).
DECODE_ERRORS = (ValueError, RecursionError)


def load_registry() -> velum.Registry:
    """A fresh registry with the hostile schema; VELUM_HOSTILE_SET names a compiled set."""
    path = os.environ.get("VELUM_HOSTILE_SET")
    if path:
        data = Path(path).read_bytes()
    else:
        from conftest import compile_protos

        data = compile_protos(*PROTOS)
    registry = velum.Registry()
    registry.add_file_set(data)
    return registry


def _same_value(a: Any, b: Any) -> bool:
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, velum.Message) and isinstance(b, velum.Message):
        return same_message(a, b)
    if isinstance(a, velum.Oneof) and isinstance(b, velum.Oneof):
        return a.field == b.field and _same_value(a.value, b.value)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(map(_same_value, a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(_same_value(v, b[k]) for k, v in a.items())
    return type(a) is type(b) and bool(a == b)


def same_message(a: velum.Message, b: velum.Message) -> bool:
    """Equality that also holds for NaN values and compares unknown records."""
    if type(a) is not type(b) or a._present != b._present:
        return False
    if (a._unknown_fields or {}) != (b._unknown_fields or {}):
        return False
    names = {f.oneof.local_name if f.oneof else f.local_name for f in a._desc.fields}
    return all(_same_value(getattr(a, n), getattr(b, n)) for n in sorted(names))


def _round_trip(cls: type, msg: velum.Message, ignore: bool) -> None:
    try:
        data = msg.to_binary()
    except ValueError as exc:
        # Required fields are not checked by the decoder, only by the encoder.
        assert "required field not set" in str(exc), exc
        return
    # Whatever decodes and encodes is also written as JSON, the same in both forms.
    for emit in (False, True):
        text = msg.to_json(always_emit_implicit=emit)
        assert json.loads(text) == msg._to_json_value(always_emit_implicit=emit), text
    again = cls.from_binary(data, ignore_unknown_fields=ignore)
    assert same_message(again, msg), (msg, again)
    if not any(isinstance(v, float) and math.isnan(v) for v in _floats(msg)):
        assert again == msg
    # Map entries come out in reverse dict order, so two more trips restore the bytes.
    third = cls.from_binary(again.to_binary()).to_binary()
    assert third == data, (data, third)


def _floats(msg: Any) -> Any:
    if isinstance(msg, velum.Message):
        for f in msg._desc.fields:
            yield from _floats(getattr(msg, f.oneof.local_name if f.oneof else f.local_name))
    elif isinstance(msg, velum.Oneof):
        yield from _floats(msg.value)
    elif isinstance(msg, list):
        for v in msg:
            yield from _floats(v)
    elif isinstance(msg, dict):
        for v in msg.values():
            yield from _floats(v)
    elif isinstance(msg, float):
        yield msg


# Scalars, a child, a packed list, a map entry and an unknown record (field 49).
MERGE_BASE = bytes.fromhex(
    "28 05 4a 03 61 62 63 a2 01 02 08 07 f2 01 02 08 01c2 02 05 08 01 12 01 61 8a 03 04 70 01 70 02"
)


def check_input(registry: velum.Registry, data: bytes) -> None:
    """The fuzz oracle; raises AssertionError or an unexpected exception on a fault."""
    if not data:
        data = b"\x00"
    selector, body = data[0], data[1:]
    name = (NODE, NODE, NODE, FLAT, STRICT)[selector % 5]
    ignore = bool(selector & 0x10)
    cls = registry.message_class(name)
    wrap = (bytes, bytearray, memoryview)[(selector >> 5) % 3]
    if selector & 0x80 and name == NODE:
        _check_merge(cls, body, ignore)
        return
    try:
        msg = cls.from_binary(wrap(body), ignore_unknown_fields=ignore)
    except DECODE_ERRORS:
        return
    _round_trip(cls, msg, ignore)
    try:
        # Extensions are decoded from their stored records, which may not decode.
        text = msg.to_json(registry=registry)
    except DECODE_ERRORS:
        return
    assert json.loads(text) == msg._to_json_value(registry=registry), text


def _check_merge(cls: type, body: bytes, ignore: bool) -> None:
    """Merging bytes into a message is decoding the concatenation."""
    target = cls.from_binary(MERGE_BASE, ignore_unknown_fields=ignore)
    try:
        expected = cls.from_binary(MERGE_BASE + body, ignore_unknown_fields=ignore)
    except DECODE_ERRORS as exc:
        failure: BaseException | None = exc
    else:
        failure = None
    try:
        target._merge_from_binary(body, ignore)
    except DECODE_ERRORS as exc:
        assert failure is not None and type(exc) is type(failure), (exc, failure)
        assert str(exc) == str(failure), (exc, failure)
        return
    assert failure is None, failure
    assert same_message(target, expected), (target, expected)
    _round_trip(cls, target, ignore)
