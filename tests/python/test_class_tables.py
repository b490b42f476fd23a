"""Classes made from a loaded message's field table, before its fields are read: what the
table leaves out (field number objects, the oneof check's name container for a message
without oneofs, the enum name maps until an instance exists, a well-known type's file for
other names) must not change what the classes do."""

from __future__ import annotations

import json
import keyword
from typing import Any

import pytest
from _velum_ext import _FieldTable
from google.protobuf import descriptor_pb2

import velum
from velum._classes import RESERVED_MESSAGE_NAMES

FDP = descriptor_pb2.FieldDescriptorProto
OPTIONAL, REPEATED = FDP.LABEL_OPTIONAL, FDP.LABEL_REPEATED


def _load(file: descriptor_pb2.FileDescriptorProto) -> velum.Registry:
    registry = velum.Registry()
    registry.add_file(file.SerializeToString())
    return registry


def _class_from_table(registry: velum.Registry, name: str) -> Any:
    """The class of `name`, made before anything read its fields."""
    desc = registry.message(name)
    assert desc is not None
    cls = registry.message_class(name)
    assert type(desc._resolve) is _FieldTable
    return cls


def _message(file: descriptor_pb2.FileDescriptorProto, name: str, fields: list[str]) -> Any:
    message = file.message_type.add(name=name)
    for number, field in enumerate(fields, 1):
        message.field.add(name=field, number=number, type=FDP.TYPE_INT32, label=OPTIONAL)
    return message


LONGEST_RESERVED = max(RESERVED_MESSAGE_NAMES | set(keyword.kwlist), key=len)


@pytest.mark.parametrize(
    ("name", "local"),
    [
        (LONGEST_RESERVED, LONGEST_RESERVED + "_"),  # as long as a reserved name may be
        (LONGEST_RESERVED + "x", LONGEST_RESERVED + "x"),
        ("class", "class_"),
        ("to_binary", "to_binary_"),
        ("field_name_is_l" + "o" * 100 + "ng", "field_name_is_l" + "o" * 100 + "ng"),
    ],
)
def test_long_and_reserved_names_get_the_same_local_names_either_way(name: str, local: str) -> None:
    file = descriptor_pb2.FileDescriptorProto(name="n.proto", package="n", syntax="proto3")
    _message(file, "M", [name, "other"])
    cls = _class_from_table(_load(file), "n.M")
    assert cls.__slots__[0] == local
    m = cls(**{local: 7})
    assert getattr(m, local) == 7 and cls.from_binary(m.to_binary()) == m
    resolved = _load(file).message("n.M")  # fields read before any class
    assert resolved is not None and [f.local_name for f in resolved.fields] == [local, "other"]


@pytest.mark.parametrize("number", [1, 255, 256, 300, 19999, 20000 - 1001, 536870911])
def test_field_numbers_of_any_size_encode_as_declared(number: int) -> None:
    file = descriptor_pb2.FileDescriptorProto(name="f.proto", package="f", syntax="proto2")
    message = file.message_type.add(name="M")
    message.field.add(name="x", number=number, type=FDP.TYPE_STRING, label=OPTIONAL,
                      default_value="d")  # fmt: skip
    cls = _class_from_table(_load(file), "f.M")
    data = cls(x="v").to_binary()
    tag = number << 3 | 2
    assert data.startswith(bytes(_varint(tag)))
    assert cls.from_binary(data).x == "v" and cls().x == "d"


def _varint(value: int) -> list[int]:
    out = []
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return [*out, value]


@pytest.mark.parametrize("with_oneof", [False, True], ids=["no-oneof", "oneof"])
def test_a_stored_oneof_is_checked_against_the_fields(with_oneof: bool) -> None:
    file = descriptor_pb2.FileDescriptorProto(name="o.proto", package="o", syntax="proto3")
    message = _message(file, "M", ["a", "b"])
    if with_oneof:
        message.oneof_decl.add(name="pick")
        message.field[0].oneof_index = 0
    cls = _class_from_table(_load(file), "o.M")
    if not with_oneof:
        assert cls(a=1, b=2).to_json_value() == {"a": 1, "b": 2}
        return
    assert cls.from_binary(cls(pick=velum.Oneof("a", 3)).to_binary()).pick == velum.Oneof("a", 3)
    for bad in ("nope", "pick"):
        with pytest.raises(ValueError, match=f"^unknown oneof field '{bad}'$"):
            cls(pick=velum.Oneof(bad, 1)).to_binary()


def _enum_file() -> descriptor_pb2.FileDescriptorProto:
    """e.Outer holds e.Inner, whose fields are an enum, a list of it and a map to it."""
    file = descriptor_pb2.FileDescriptorProto(name="e.proto", package="e", syntax="proto3")
    enum = file.enum_type.add(name="Color")
    for number, value in enumerate(["RED", "GREEN", "BLUE"]):
        enum.value.add(name=value, number=number)
    inner = file.message_type.add(name="Inner")
    entry = inner.nested_type.add(name="ByKeyEntry")
    entry.options.map_entry = True
    entry.field.add(name="key", number=1, type=FDP.TYPE_STRING, label=OPTIONAL)
    entry.field.add(name="value", number=2, type=FDP.TYPE_ENUM, type_name=".e.Color",
                    label=OPTIONAL)  # fmt: skip
    inner.field.add(name="one", number=1, type=FDP.TYPE_ENUM, type_name=".e.Color", label=OPTIONAL)
    inner.field.add(name="many", number=2, type=FDP.TYPE_ENUM, type_name=".e.Color",
                    label=REPEATED)  # fmt: skip
    inner.field.add(name="by_key", number=3, type=FDP.TYPE_MESSAGE,
                    type_name=".e.Inner.ByKeyEntry", label=REPEATED)  # fmt: skip
    outer = file.message_type.add(name="Outer")
    outer.field.add(name="inner", number=1, type=FDP.TYPE_MESSAGE, type_name=".e.Inner",
                    label=OPTIONAL)  # fmt: skip
    return file


@pytest.mark.parametrize("text", [True, False], ids=["text", "value-tree"])
def test_enum_names_are_read_in_a_message_no_instance_was_made_of(text: bool) -> None:
    registry = _load(_enum_file())
    outer = _class_from_table(registry, "e.Outer")
    doc = {"inner": {"one": "BLUE", "many": ["GREEN", "RED", 2], "byKey": {"k": "GREEN"}}}
    m = outer.from_json(json.dumps(doc)) if text else outer.from_json_value(doc)
    color = registry.enum_class("e.Color")
    assert (m.inner.one, m.inner.many, m.inner.by_key) == (
        color.BLUE, [color.GREEN, color.RED, color.BLUE], {"k": color.GREEN}
    )
    with pytest.raises(ValueError, match="PURPLE"):
        outer.from_json_value({"inner": {"one": "PURPLE"}})


@pytest.mark.parametrize(
    ("file_name", "well_known"),
    [("google/protobuf/more_wrappers.proto", True), ("mine/wrappers.proto", False)],
)
def test_a_wrapper_shape_is_well_known_only_in_a_well_known_file(
    file_name: str, well_known: bool
) -> None:
    file = descriptor_pb2.FileDescriptorProto(name=file_name, package="google.protobuf",
                                              syntax="proto3")  # fmt: skip
    _message(file, "MyInt32Value", ["value"])
    _message(file, "MyPair", ["value", "other"])
    registry = _load(file)
    wrapper = _class_from_table(registry, "google.protobuf.MyInt32Value")
    pair = _class_from_table(registry, "google.protobuf.MyPair")
    assert wrapper(value=5).to_json_value() == (5 if well_known else {"value": 5})
    assert wrapper.from_json("5" if well_known else '{"value": 5}') == wrapper(value=5)
    assert pair(value=1, other=2).to_json_value() == {"value": 1, "other": 2}
