"""Fields whose names Python treats specially inside a class body (`__x`, keywords).

Python mangles `__x` in `__slots__`; the generated classes must still expose every
field under its own name, to construction, both codecs, copy, merge, equality and repr.
"""

from __future__ import annotations

import copy
from typing import Any

import pytest

import velum

PRIVATE_SCALARS = {"__field_name13": 13, "_field_name3": 3, "field_name5__": 5, "__text": "t"}


@pytest.fixture(scope="module")
def names(registry: Any) -> type:
    return registry.message_class("velum.test.names.Names")


def _full(names: type) -> Any:
    return names(
        **PRIVATE_SCALARS,
        __values=[1, 2],
        __child=names(__field_name13=7),
        __maybe=0,
        __counts={"a": 1},
        __choice=velum.Oneof("__nested", names(__text="in")),
        class_=4,
    )


def test_attribute_syntax_and_getattr_use_the_written_name(names: type) -> None:
    msg = names()
    assert msg.__field_name13 == 0 and msg.__child is None and msg.__choice is None
    msg.__field_name13 = 9
    assert getattr(msg, "__field_name13") == 9
    setattr(msg, "__maybe", 0)
    assert msg.has_field("__maybe")
    assert "__field_name13" in names.__slots__
    assert not any(name.startswith("_Names") for name in dir(names))


@pytest.mark.parametrize("name,value", PRIVATE_SCALARS.items())
def test_scalar_round_trips(names: type, name: str, value: Any) -> None:
    msg = names(**{name: value})
    again = names.from_binary(msg.to_binary())
    assert getattr(again, name) == value
    assert again == msg
    assert f"{name}={value!r}" in repr(again)


def test_every_kind_round_trips_and_agrees_with_protobuf(names: type, file_set: bytes) -> None:
    from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

    pool = descriptor_pool.DescriptorPool()
    for proto in descriptor_pb2.FileDescriptorSet.FromString(file_set).file:
        pool.Add(proto)
    peer_cls = message_factory.GetMessageClass(
        pool.FindMessageTypeByName("velum.test.names.Names")
    )
    msg = _full(names)
    data = msg.to_binary()
    peer = peer_cls.FromString(data)
    assert getattr(peer, "__field_name13") == 13
    assert getattr(peer, "__nested").__text == "in"
    assert list(getattr(peer, "__values")) == [1, 2]
    assert names.from_binary(peer.SerializeToString()) == msg


def test_copy_merge_and_equality(names: type) -> None:
    msg = _full(names)
    for twin in (copy.copy(msg), copy.deepcopy(msg), msg.copy()):
        assert twin == msg
    assert copy.deepcopy(msg).__child is not msg.__child
    merged = names(__field_name13=1, __values=[0])
    merged.merge_from(msg)
    assert merged.__field_name13 == 13 and merged.__values == [0, 1, 2]
    other = _full(names)
    other.__field_name13 = 14
    assert other != msg


def test_oneof_member_and_message_name_with_underscores(registry: Any) -> None:
    names = registry.message_class("velum.test.names.Names")
    msg = names(__choice=velum.Oneof("__word", "w"))
    assert msg.which_oneof("__choice") == "__word"
    assert names.from_binary(msg.to_binary()).__choice == velum.Oneof("__word", "w")
    hidden = registry.message_class("velum.test.names.__Hidden")
    assert hidden.__name__ == "__Hidden"
    assert hidden.from_binary(hidden(__x=3).to_binary()).__x == 3


@pytest.mark.parametrize(
    "value_names,attributes",
    [
        (["_X_"], ["_X__"]),
        (["_X_", "_X__"], ["_X___", "_X__"]),
        (["__init__"], ["__init___"]),
        (["_missing_", "name"], ["_missing__", "name_"]),
        (["__", "___", "_Y__", "_"], ["__", "___", "_Y__", "_"]),
    ],
)
def test_enum_values_named_like_the_enum_machinery(
    value_names: list[str], attributes: list[str]
) -> None:
    # Loading such a schema used to loop for ever renaming `_X_` to `_X__`, `_X___`...
    from google.protobuf import descriptor_pb2

    fs = descriptor_pb2.FileDescriptorSet()
    f = fs.file.add(name="enum_names.proto", package="en", syntax="proto3")
    e = f.enum_type.add(name="E")
    for number, name in enumerate(["ZERO", *value_names]):
        e.value.add(name=name, number=number)
    m = f.message_type.add(name="M")
    m.field.add(name="e", number=1, type=descriptor_pb2.FieldDescriptorProto.TYPE_ENUM,
                type_name=".en.E", label=descriptor_pb2.FieldDescriptorProto.LABEL_OPTIONAL)
    reg = velum.Registry()
    reg.add_file_set(fs.SerializeToString())
    enum, cls = reg.enum_class("en.E"), reg.message_class("en.M")
    assert [member.name for member in enum][1:] == attributes
    for number, (name, attribute) in enumerate(zip(value_names, attributes, strict=True), start=1):
        assert int(getattr(enum, attribute)) == number
        msg = cls.from_json(f'{{"e": "{name}"}}')
        assert msg.e == number and msg.to_json() == f'{{"e":"{name}"}}'
