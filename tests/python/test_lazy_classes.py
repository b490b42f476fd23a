"""Classes of a loaded schema are made when first needed, together with what they need."""

from __future__ import annotations

import json
from typing import Any

import pytest
from google.protobuf import descriptor_pb2
from test_threads import run_threads

import velum
from velum._descriptors import peek_type

P2 = "velum.test.proto2"


@pytest.fixture
def fresh(compiler: Any) -> velum.Registry:
    registry = velum.Registry()
    registry.add_file_set(compiler("test_proto2.proto", "test_proto3.proto"))
    return registry


def test_loading_makes_no_class_and_the_first_use_makes_only_what_it_needs(fresh: Any) -> None:
    scalars, extendable = fresh.message(f"{P2}.Scalars"), fresh.message(f"{P2}.Extendable")
    color = fresh.enum(f"{P2}.Color")
    assert peek_type(scalars) is None and peek_type(color) is None
    cls = fresh.message_class(f"{P2}.Scalars")
    # A field's enum class waits for the first instance, which needs its members.
    assert peek_type(scalars) is cls and peek_type(color) is None
    assert peek_type(extendable) is None  # not reached from Scalars
    cls()
    assert peek_type(color) is not None
    assert fresh.message_class(f"{P2}.Scalars") is cls is scalars.type
    assert cls.from_binary(cls(f_color=color.type.COLOR_BLUE).to_binary()).f_color is (
        color.type.COLOR_BLUE
    )


def test_enum_defaults_resolve_to_members(fresh: Any) -> None:
    desc = fresh.message(f"{P2}.Defaults")
    field = desc._fields_by_name["color"]
    color = fresh.enum_class(f"{P2}.Color")
    assert field.default is color.COLOR_BLUE
    assert dict(desc._defaults)["color"] is color.COLOR_BLUE
    assert fresh.message_class(f"{P2}.Defaults")().color is color.COLOR_BLUE


def test_nested_and_referenced_classes_come_with_their_user(fresh: Any) -> None:
    outer = fresh.message_class("velum.test.proto3.Outer")
    inner = fresh.message("velum.test.proto3.Outer.Inner")
    assert outer.Inner is peek_type(inner)
    assert outer.from_binary(outer().to_binary()) == outer()


def test_extension_of_a_class_not_made_yet(fresh: Any) -> None:
    ext = fresh.extension(f"{P2}.ext_message")
    msg = fresh.message_class(f"{P2}.Extendable")()
    scalars = fresh.message(f"{P2}.Scalars")
    assert peek_type(scalars) is None
    msg[ext] = fresh.message_class(f"{P2}.Scalars")(f_int32=5)
    assert msg[ext].f_int32 == 5
    absent = fresh.message_class(f"{P2}.Extendable")()[fresh.extension(f"{P2}.ext_color")]
    assert absent is fresh.enum_class(f"{P2}.Color").COLOR_GREEN


def test_threads_racing_for_a_class_get_the_same_one(compiler: Any) -> None:
    registry = velum.Registry()
    registry.add_file_set(compiler("test_proto3.proto"))
    names = [n for n in registry._messages if n.startswith("velum.test.proto3.")]
    seen = run_threads(lambda _: {name: registry.message_class(name) for name in names}, 6)
    assert all(found == seen[0] for found in seen)


def test_a_long_chain_of_references_needs_no_deep_recursion() -> None:
    file = descriptor_pb2.FileDescriptorProto(name="chain.proto", package="chain", syntax="proto3")
    for i in range(3000):
        msg = file.message_type.add(name=f"M{i}")
        if i:
            msg.field.add(
                name="prev", number=1, type_name=f".chain.M{i - 1}",
                type=descriptor_pb2.FieldDescriptorProto.TYPE_MESSAGE,
            )  # fmt: skip
    registry = velum.Registry()
    registry.add_file(file.SerializeToString())
    last = registry.message_class("chain.M2999")
    first = registry.message_class("chain.M0")
    value = last(prev=registry.message_class("chain.M2998")())
    assert last.from_binary(value.to_binary()) == value
    assert peek_type(registry.message("chain.M0")) is first


F = descriptor_pb2.FieldDescriptorProto


def _user_of(shape: str) -> bytes:
    """`refs.User` with one field of `shape` that names `refs.Target` where it can."""
    file = descriptor_pb2.FileDescriptorProto(name="refs.proto", package="refs", syntax="proto3")
    file.message_type.add(name="Target").field.add(
        name="n", number=1, type=F.TYPE_INT32, label=F.LABEL_OPTIONAL
    )
    file.enum_type.add(name="Kind").value.add(name="KIND_ZERO", number=0)
    user = file.message_type.add(name="User")
    label = F.LABEL_REPEATED if shape != "message" else F.LABEL_OPTIONAL
    if shape.startswith("map"):
        entry = user.nested_type.add(name="FEntry")
        entry.options.map_entry = True
        entry.field.add(name="key", number=1, type=F.TYPE_STRING, label=F.LABEL_OPTIONAL)
        value = entry.field.add(name="value", number=2, label=F.LABEL_OPTIONAL)
        if shape == "map of messages":
            value.type, value.type_name = F.TYPE_MESSAGE, ".refs.Target"
        else:
            value.type = F.TYPE_INT32
        user.field.add(name="f", number=1, type=F.TYPE_MESSAGE, label=label,
                       type_name=".refs.User.FEntry")
    elif shape == "list of enums":
        user.field.add(name="f", number=1, type=F.TYPE_ENUM, label=label, type_name=".refs.Kind")
    else:
        user.field.add(name="f", number=1, type=F.TYPE_MESSAGE, label=label,
                       type_name=".refs.Target")
    return descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString()


@pytest.mark.parametrize(
    ("shape", "reached"),
    [("message", True), ("list of messages", True), ("map of messages", True),
     ("map of scalars", False), ("list of enums", False)],
)
def test_a_class_comes_with_the_classes_its_fields_name(shape: str, reached: bool) -> None:
    registry = velum.Registry()
    registry.add_file_set(_user_of(shape))
    registry.message_class("refs.User")
    assert (peek_type(registry.message("refs.Target")) is not None) is reached


@pytest.mark.parametrize(
    ("name", "text", "written"),
    [
        ("velum.test.proto3.Outer", '{"inner": {"deepest": {"depth": 3}, "mood": "MOOD_HAPPY"}}',
         {"inner": {"deepest": {"depth": 3}, "mood": "MOOD_HAPPY"}}),
        ("velum.test.proto3.Maps",
         '{"string_message": {"k": {"f_int32": 4}}, "int32String": {"1": "a"}}',
         {"int32String": {"1": "a"}, "stringMessage": {"k": {"fInt32": 4}}}),
        ("velum.test.proto3.WithOneof", '{"message": {"fString": "x"}, "after": 2}',
         {"message": {"fString": "x"}, "after": 2}),
    ],
)
@pytest.mark.parametrize("tree", [False, True])
def test_json_is_read_into_types_that_have_no_instance_yet(
    compiler: Any, name: str, text: str, written: dict[str, Any], tree: bool
) -> None:
    # A type's JSON member tables are made with its first instance; reading makes
    # that instance before it looks a member up, at every level.
    registry = velum.Registry()
    registry.add_file_set(compiler("test_proto3.proto"))
    cls = registry.message_class(name)
    msg = cls._from_json_value(json.loads(text)) if tree else cls.from_json(text)
    assert json.loads(msg.to_json()) == written


def _first_instance(cls: Any, way: str) -> Any:
    if way == "__new__":
        return cls.__new__(cls)
    return getattr(cls, way)({"from_binary": b"", "from_json": "{}", "_from_json_value": {}}[way])


@pytest.mark.parametrize("first", ["from_binary", "from_json", "_from_json_value", "__new__"])
def test_keywords_work_whatever_made_the_first_instance(fresh: Any, first: str) -> None:
    # The table that __init__ and __setattr__ find attributes in is made with a type's
    # first instance, whichever way that instance is made.
    optionals = fresh.message_class("velum.test.proto3.Optionals")
    with_oneof = fresh.message_class("velum.test.proto3.WithOneof")
    for cls in (optionals, with_oneof):
        made = _first_instance(cls, first)
        if cls is optionals:
            made.o_string = ""  # presence is tracked through the table's entry
            assert made._present == [2]
    m = optionals(o_int32=0)
    assert m._present == [1] and m.to_binary() == b"\x08\x00"
    w = with_oneof(kind=velum.Oneof("number", 3), after=2)
    assert with_oneof.from_binary(w.to_binary()) == w and w.kind == velum.Oneof("number", 3)
    with pytest.raises(TypeError, match=r"__init__\(\) got an unexpected keyword argument 'nope'"):
        optionals(nope=1)
