"""Mistakes a new user makes while loading schemas, and the messages that explain them."""

from __future__ import annotations

from typing import Any

import pytest
from conftest import PROTO_DIR
from google.protobuf import descriptor_pb2

import velum


@pytest.mark.parametrize(
    "asked,meant",
    [
        ("velum.test.proto3.scalars", "velum.test.proto3.Scalars"),  # wrong case
        ("Scalars", "velum.test.proto3.Scalars"),  # package left out
        ("velum.test.proto3.Scalar", "velum.test.proto3.Scalars"),  # typo
        (".velum.test.proto3.Outer.inner", "velum.test.proto3.Outer.Inner"),
    ],
)
def test_unknown_message_names_suggest_close_ones(registry: Any, asked: str, meant: str) -> None:
    with pytest.raises(KeyError) as info:
        registry.message_class(asked)
    text = info.value.args[0]
    assert text.startswith(f"unknown message type {asked!r}; did you mean ")
    assert repr(meant) in text


def test_the_exact_name_in_another_case_is_suggested_first(registry: Any) -> None:
    with pytest.raises(KeyError) as info:
        registry.message_class("velum.test.proto3.scalars")
    assert info.value.args[0].split("did you mean ")[1].startswith("'velum.test.proto3.Scalars'")


def test_asking_for_the_wrong_kind_names_the_right_method(registry: Any) -> None:
    with pytest.raises(KeyError, match=r"it is an enum, use enum_class\(\)"):
        registry.message_class("velum.test.proto3.Status")
    with pytest.raises(KeyError, match=r"it is a message, use message_class\(\)"):
        registry.enum_class("velum.test.proto3.Scalars")


def test_a_registry_without_the_schema_says_to_load_it() -> None:
    with pytest.raises(KeyError, match=r"unknown message type 'shop.Item'; load its schema"):
        velum.Registry().message_class("shop.Item")


@pytest.mark.parametrize(
    "data,detail",
    [
        ((PROTO_DIR / "test_proto3.proto").read_bytes(), "it looks like .proto source text"),
        (b"\xff\xff\xff", "truncated varint"),
        (b"\x0a\x03abc", "("),  # a record that is no FileDescriptorProto
        (descriptor_pb2.FileDescriptorProto(name="x.proto").SerializeToString(), "("),
    ],
)
def test_bytes_that_are_no_file_set_are_refused_with_a_hint(data: bytes, detail: str) -> None:
    registry = velum.Registry()
    with pytest.raises(ValueError) as info:
        registry.add_file_set(data)
    text = str(info.value)
    assert text.startswith("the data is not a serialized FileDescriptorSet")
    assert detail in text and "--descriptor_set_out=" in text
    with pytest.raises(ValueError, match="not a serialized FileDescriptorProto"):
        registry.add_file(b"\xff")


def test_str_is_refused_with_a_hint() -> None:
    with pytest.raises(TypeError, match=r"not str; read the file in binary mode"):
        velum.Registry().add_file_set('syntax = "proto3";')  # type: ignore[arg-type]


@pytest.mark.parametrize("data", [5, [10, 0], None], ids=["int", "list", "none"])
def test_non_bytes_are_refused_by_type(data: object) -> None:
    for method in (velum.Registry().add_file_set, velum.Registry().add_file):
        expected = rf"bytes of a compiled schema .*not {type(data).__name__}"
        with pytest.raises(TypeError, match=expected):
            method(data)  # type: ignore[arg-type]


def test_bytes_like_objects_load_alike() -> None:
    data = descriptor_pb2.FileDescriptorSet(
        file=[descriptor_pb2.FileDescriptorProto(name="x.proto", package="x")]
    ).SerializeToString()
    for form in (data, bytearray(data), memoryview(data)):
        assert velum.Registry().add_file_set(form)[0].name == "x.proto"


@pytest.mark.parametrize(
    "wrap", [bytearray, lambda b: memoryview(bytearray(b))], ids=["bytearray", "view"]
)
@pytest.mark.parametrize("as_set", [True, False], ids=["set", "file"])
def test_writable_input_changed_after_loading_is_not_read(wrap: Any, as_set: bool) -> None:
    # Fields are read from the file's bytes when first used, after add_file_set has
    # returned: a buffer the caller may still write must have been copied.
    file = descriptor_pb2.FileDescriptorProto(name="w.proto", package="w", syntax="proto3")
    msg = file.message_type.add(name="Msg")
    msg.field.add(name="alpha", number=1, type=descriptor_pb2.FieldDescriptorProto.TYPE_STRING)
    data = (descriptor_pb2.FileDescriptorSet(file=[file]) if as_set else file).SerializeToString()
    buffer = wrap(data)
    registry = velum.Registry()
    (registry.add_file_set if as_set else registry.add_file)(buffer)
    buffer[:] = bytes(len(data))  # the caller reuses its buffer
    cls = registry.message_class("w.Msg")
    desc = registry.message("w.Msg")
    assert desc is not None and [f.name for f in desc.fields] == ["alpha"]
    assert cls.from_binary(cls(alpha="x").to_binary()).alpha == "x"


def _damaged(where: str, name: str) -> descriptor_pb2.FileDescriptorProto:
    file = descriptor_pb2.FileDescriptorProto(name="damaged.proto", package="dmg", syntax="proto3")
    msg = file.message_type.add(name="Msg")
    msg.field.add(name="ok", number=1, type=descriptor_pb2.FieldDescriptorProto.TYPE_INT32)
    msg.oneof_decl.add(name="choice")
    msg.field.add(name="pick", number=2, oneof_index=0, type=msg.field[0].type)
    enum = file.enum_type.add(name="Color")
    enum.value.add(name="RED", number=0)
    target = {
        "message": msg,
        "field": msg.field[0],
        "oneof": msg.oneof_decl[0],
        "enum": enum,
        "enum value": enum.value[0],
    }[where]
    target.name = name
    return file


@pytest.mark.parametrize("where", ["message", "field", "oneof", "enum", "enum value"])
@pytest.mark.parametrize("name", ["bad name", "1st", "", "a.b", "x-y"])
def test_names_that_are_no_identifiers_are_refused(where: str, name: str) -> None:
    registry = velum.Registry()
    data = _damaged(where, name).SerializeToString()
    with pytest.raises(ValueError) as info:
        registry.add_file(data)
    text = str(info.value)
    assert text.startswith(f"damaged.proto: {where} name {name!r}")
    assert "is not a valid identifier" in text
    assert registry.file("damaged.proto") is None
