"""A file's descriptor is read natively into records; whatever it is given, the records
(or the error) equal what the native decoder reads through the message classes built from
the same schema, the reference."""

from __future__ import annotations

import gc
import random
from typing import Any

import pytest
from conftest import compile_protos
from google.protobuf import descriptor_pb2

from velum._descriptor_proto import (
    _REPEATED,
    _SCHEMA,
    _build_classes_once,
    parse_file,
    record_types,
    split_file_set,
)


def _decoded(data: bytes) -> Any:
    return _build_classes_once()["FileDescriptorProto"].from_binary(
        data, ignore_unknown_fields=True
    )


def _plain(record: Any, name: str) -> dict[str, Any]:
    """A record as nested dicts, repeated fields as lists, whatever type holds it."""
    out: dict[str, Any] = {}
    for _, local, _, kind, default in _SCHEMA[name]:
        value = getattr(record, local)
        if default is _REPEATED:
            out[local] = [_plain(v, kind) if isinstance(kind, str) else v for v in value]
        elif isinstance(kind, str) and value is not None:
            out[local] = _plain(value, kind)
        else:
            out[local] = (type(value), value)
    return out


def _outcome(read: Any, data: bytes) -> object:
    try:
        return _plain(read(data), "FileDescriptorProto")
    except Exception as e:
        return (type(e), str(e))


def _odd_file() -> bytes:
    """Fields set to what an absent one reads as, and options whose presence matters."""
    f = descriptor_pb2.FileDescriptorProto(name="odd.proto", package="", syntax="proto2")
    m = f.message_type.add(name="M")
    m.oneof_decl.add(name="o")
    m.field.add(name="a", number=-5, label=1, type=5, oneof_index=0, json_name="")
    m.field.add(name="b", number=2, label=3, type=5, default_value="").options.packed = False
    m.options.map_entry = False
    m.options.features.field_presence = 0
    f.enum_type.add(name="E").value.add(name="E0", number=-1)
    f.dependency.extend(["x.proto", "y.proto"])
    return f.SerializeToString()


def _varint(value: int) -> bytes:
    out = bytearray()
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes([*out, value])


def _cases() -> list[bytes]:
    files = split_file_set(compile_protos())
    odd = _odd_file()
    rng = random.Random(11)
    cases = [b"", odd, *files]
    cases += [
        odd + b"\x42\x00\x42\x03\x92\x03\x00",  # options given twice: merged
        odd + b"\x0a\x00",  # a singular text given twice: the last one counts
        odd + b"\x1a\x00" + odd,  # a repeated text between other fields
        b"\x0a\x01a\x10\x01",  # a text field as a varint: skipped as unknown
        b"\x0a\x01a\x63\x08\x01\x64",  # an unknown group
        b"\x0a\x01a\x8a\x06\x03abc",  # an unknown text
        b"\x0a\x01a\x71" + b"\x00" * 8 + b"\x7d" + b"\x00" * 4,  # unknown fixed64 and fixed32
        b"\x0a\x02\xc3\x28",  # invalid UTF-8
        b"\x70" + b"\xff" * 9 + b"\x01",  # an edition of ten bytes
        b"\x70" + b"\xff" * 9 + b"\x02",  # ... with a bit beyond 64
        b"\x70" + b"\xff" * 10 + b"\x01",  # eleven bytes
        b"\x22\x02\x3a\x00" * 2,  # messages with empty options
        b"\x0a\x05ab",  # truncated
        b"\x00\x00",  # field number 0
        b"\x0f",  # wire type 7
        b"\x22" + b"\x80\x01",  # a length beyond the end
    ]
    deep = b""
    for _ in range(120):  # messages nested deeper than the decoder goes
        deep = b"\x1a" + _varint(len(deep)) + deep
    cases.append(b"\x22" + _varint(len(deep)) + deep)
    # A message's fields are checked when it is read but made into records later.
    for field in (
        b"\x0a\x01f\x42\x00\x42\x00",  # options given twice
        b"\x0a\x01f\x52\x02\xc3\x28",  # a JSON name of invalid UTF-8
        b"\x0a\x01f\x3b\x08\x01\x3c",  # a group
        b"\x0a\x01f\x42\x03\xaa\x01\x00",  # options holding empty features
        b"\x0a\x01f\x42\x04\xaa\x01\x01\x0f",  # ... and damaged ones
        b"\x0a\x01f\x18\x80\x80\x80\x80\x10\x20\x03",  # a number beyond int32
    ):
        message = b"\x0a\x01M\x12" + _varint(len(field)) + field
        cases.append(b"\x22" + _varint(len(message)) + message)
    for depth in (98, 99, 100):  # a field at the deepest message the reader takes, and past it
        nested = b"\x12\x03\x0a\x01f"
        for _ in range(depth):
            nested = b"\x1a" + _varint(len(nested)) + nested
        cases.append(b"\x22" + _varint(len(nested)) + nested)
    for _ in range(120):
        source = rng.choice([odd, *files])
        cut = rng.randrange(len(source))
        if rng.random() < 0.5:
            cases.append(source[:cut])
        else:
            cases.append(source[:cut] + bytes([rng.randrange(256)]) + source[cut + 1 :])
    return cases


@pytest.mark.parametrize("data", _cases(), ids=range(len(_cases())))
def test_read_matches_the_decoder(data: bytes) -> None:
    assert _outcome(parse_file, data) == _outcome(_decoded, data)


def test_records_stay_out_of_the_collector_and_cannot_be_changed() -> None:
    file = parse_file(_odd_file())
    message = file.messages[0]
    assert type(message) is record_types()["DescriptorProto"]
    assert file.extensions == () and type(message.fields) is tuple
    assert not any(gc.is_tracked(x) for x in (file, message, message.fields, message.options))
    with pytest.raises(AttributeError):
        message.name = "N"
