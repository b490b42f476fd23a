"""Descriptors read from compiled schemas, checked against the protobuf package."""

from __future__ import annotations

import math

import pytest
from google.protobuf import descriptor_pb2, descriptor_pool
from google.protobuf.descriptor import FieldDescriptor as OracleField

import velum
from velum._builder import unescape_bytes
from velum._descriptors import (
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescMessage,
    Presence,
    ScalarType,
)
from velum._naming import json_name
from velum._wire import WireError, iter_fields


@pytest.fixture(scope="module")
def oracle(file_set: bytes) -> descriptor_pool.DescriptorPool:
    pool = descriptor_pool.DescriptorPool()
    for file in descriptor_pb2.FileDescriptorSet.FromString(file_set).file:
        pool.Add(file)
    return pool


def _all_messages(registry: velum.Registry, file_set: bytes) -> list[DescMessage]:
    names = [f.name for f in descriptor_pb2.FileDescriptorSet.FromString(file_set).file]
    pending = [m for name in names for m in registry.file(name).messages]
    result = []
    while pending:
        desc = pending.pop()
        result.append(desc)
        pending.extend(desc.nested_messages)
    return result


def _synthetic_oneofs(oracle_message) -> set[str]:
    proto = descriptor_pb2.DescriptorProto()
    oracle_message.CopyToProto(proto)
    return {proto.oneof_decl[f.oneof_index].name for f in proto.field if f.proto3_optional}


def test_every_field_matches_the_protobuf_descriptor_pool(registry, file_set, oracle):
    checked = 0
    for desc in _all_messages(registry, file_set):
        expected = oracle.FindMessageTypeByName(desc.type_name)
        synthetic = _synthetic_oneofs(expected)
        assert [f.number for f in desc.fields] == [f.number for f in expected.fields]
        for field, want in zip(desc.fields, expected.fields, strict=True):
            where = field.full_name
            assert (field.name, field.json_name) == (want.name, want.json_name), where
            if want.is_required:
                presence = Presence.LEGACY_REQUIRED
            elif want.is_repeated or not want.has_presence:
                presence = Presence.IMPLICIT
            else:
                presence = Presence.EXPLICIT
            assert field.presence == presence, where
            real_oneof = want.containing_oneof and want.containing_oneof.name not in synthetic
            assert (field.oneof.name if field.oneof else None) == (
                want.containing_oneof.name if real_oneof else None
            ), where
            is_message = want.type in (OracleField.TYPE_MESSAGE, OracleField.TYPE_GROUP)
            assert field._requires_presence == (
                want.has_presence and not want.is_repeated and not is_message and not real_oneof
            ), where
            is_map = is_message and want.message_type.GetOptions().map_entry
            value = field.value
            if is_map:
                assert isinstance(value, DescFieldValueMap), where
                key = want.message_type.fields_by_name["key"]
                assert value.key == key.type, where
            elif want.is_repeated:
                assert isinstance(value, DescFieldValueList), where
                assert value.packed == want.is_packed, where
                assert value.delimited_encoding == (want.type == OracleField.TYPE_GROUP), where
            elif is_message:
                assert isinstance(value, DescFieldValueMessage), where
                assert value.message.type_name == want.message_type.full_name, where
                assert value.delimited_encoding == (want.type == OracleField.TYPE_GROUP), where
            elif want.type == OracleField.TYPE_ENUM:
                assert isinstance(value, DescFieldValueEnum), where
                assert value.enum.open == (not want.enum_type.is_closed), where
                assert int(field.default) == want.default_value, where
            else:
                assert isinstance(value, DescFieldValueScalar), where
                assert value.scalar == want.type, where
                default = want.default_value
                if isinstance(default, float) and math.isnan(default):
                    assert math.isnan(field.default), where
                else:
                    assert field.default == default and type(field.default) is type(default), where
            checked += 1
    assert checked > 150


def test_enums_match_the_protobuf_descriptor_pool(registry, oracle):
    for name in (
        "velum.test.proto2.Color",
        "velum.test.proto3.Status",
        "velum.test.editions2023.OpenKind",
        "velum.test.editions2023.ClosedKind",
        "velum.test.editions2024.Level",
        "velum.test.editions2024.OpenLevel",
        "velum.test.proto3.Outer.Inner.Mood",
        "google.protobuf.NullValue",
    ):
        desc = registry.enum(name)
        want = oracle.FindEnumTypeByName(name) if not name.startswith("google") else None
        if want is not None:
            assert desc.open == (not want.is_closed), name
            assert [(v.name, v.number) for v in desc.values] == [
                (v.name, v.number) for v in want.values
            ]
        assert all(v.json_name == v.name for v in desc.values)


@pytest.mark.parametrize(
    ("message", "field", "presence", "requires_presence"),
    [
        ("proto2.Scalars", "f_int32", Presence.EXPLICIT, True),
        ("proto2.Required", "id", Presence.LEGACY_REQUIRED, True),
        ("proto2.Required", "sub", Presence.LEGACY_REQUIRED, False),
        ("proto2.OneofProto2", "number", Presence.EXPLICIT, False),
        ("proto3.Scalars", "f_int32", Presence.IMPLICIT, False),
        ("proto3.Scalars", "f_status", Presence.IMPLICIT, False),
        ("proto3.Optionals", "o_int32", Presence.EXPLICIT, True),
        ("proto3.Optionals", "o_status", Presence.EXPLICIT, True),
        ("proto3.Optionals", "o_message", Presence.EXPLICIT, False),
        ("proto3.Outer", "inner", Presence.EXPLICIT, False),
        ("proto3.Repeated", "packed_int32", Presence.IMPLICIT, False),
        ("editions2023.Features", "explicit_int", Presence.EXPLICIT, True),
        ("editions2023.Features", "implicit_int", Presence.IMPLICIT, False),
        ("editions2023.Features", "required_int", Presence.LEGACY_REQUIRED, True),
        ("editions2023.implicit.Inherited", "inherited", Presence.IMPLICIT, False),
        ("editions2023.implicit.Inherited", "overridden", Presence.EXPLICIT, True),
        ("editions2023.implicit.Inherited", "message", Presence.EXPLICIT, False),
        ("editions2023.implicit.Inherited", "a", Presence.EXPLICIT, False),
    ],
)
def test_presence(registry, message, field, presence, requires_presence):
    desc = registry.message(f"velum.test.{message}")._fields_by_name[field]
    assert (desc.presence, desc._requires_presence) == (presence, requires_presence)


def test_proto3_optional_is_a_field_of_its_own_not_a_oneof(registry):
    desc = registry.message("velum.test.proto3.Optionals")
    assert desc.oneofs == [] and desc._oneofs_by_local_name == {}
    assert all(f.oneof is None for f in desc.fields)
    assert [name for name, _ in desc._defaults] == [f.local_name for f in desc.fields]


@pytest.mark.parametrize(
    ("message", "field", "packed", "delimited"),
    [
        ("proto2.Repeated", "unpacked", False, False),
        ("proto2.Repeated", "packed", True, False),
        ("proto2.Repeated", "packed_colors", True, False),
        ("proto2.WithGroup", "item", False, True),
        ("proto3.Repeated", "packed_int32", True, False),
        ("proto3.Repeated", "unpacked_int32", False, False),
        ("proto3.Repeated", "statuses", True, False),
        ("proto3.Repeated", "strings", False, False),
        ("editions2023.Features", "expanded_ints", False, False),
        ("editions2023.Features", "delimited_list", False, True),
        ("editions2023.implicit.Inherited", "children", False, True),
        ("editions2024.Features", "expanded", False, False),
        ("editions2024.Features", "packed", True, False),
        ("editions2024.Features", "levels", False, False),
    ],
)
def test_list_encoding(registry, message, field, packed, delimited):
    value = registry.message(f"velum.test.{message}")._fields_by_name[field].value
    assert isinstance(value, DescFieldValueList)
    assert (value.packed, value.delimited_encoding) == (packed, delimited)


@pytest.mark.parametrize(
    ("message", "field", "delimited"),
    [
        ("proto2.WithGroup", "data", True),
        ("proto2.WithGroup", "plain", False),
        ("editions2023.Features", "delimited", True),
        ("editions2023.Features", "length_prefixed", False),
        ("editions2023.implicit.Inherited", "message", True),
        ("editions2023.implicit.Inherited", "prefixed", False),
        ("editions2024.Features", "delimited", True),
    ],
)
def test_message_encoding(registry, message, field, delimited):
    value = registry.message(f"velum.test.{message}")._fields_by_name[field].value
    assert isinstance(value, DescFieldValueMessage)
    assert value.delimited_encoding == delimited


def test_maps_are_never_delimited_even_when_the_file_says_so(registry):
    desc = registry.message("velum.test.editions2023.implicit.Inherited")
    value = desc._fields_by_name["by_id"].value
    assert isinstance(value, DescFieldValueMap)
    assert value.key is ScalarType.INT32
    assert value.value is registry.message("velum.test.editions2023.implicit.Child")


def test_map_key_and_value_kinds(registry):
    fields = registry.message("velum.test.proto3.Maps")._fields_by_name
    assert fields["string_status"].value.value is registry.enum("velum.test.proto3.Status")
    assert fields["string_message"].value.value is registry.message("velum.test.proto3.Scalars")
    assert fields["bool_bool"].value.key is ScalarType.BOOL
    assert fields["sfixed64_sfixed64"].value.value is ScalarType.SFIXED64


def test_defaults_list_one_entry_per_storage_attribute(registry):
    desc = registry.message("velum.test.proto3.WithOneof")
    assert desc._defaults == [("before", ""), ("after", 0), ("kind", None), ("other", None)]
    maps = registry.message("velum.test.proto3.Maps")._defaults
    assert all(value == {} and type(value) is dict for _, value in maps)
    outer = dict(registry.message("velum.test.proto3.Outer")._defaults)
    assert outer == {
        "inner": None,
        "inners": [],
        "deepest": None,
        "my_field_name": "",
        "custom_json": "",
    }


def test_custom_defaults(registry):
    defaults = dict(registry.message("velum.test.proto2.Defaults")._defaults)
    color = registry.enum_class("velum.test.proto2.Color")
    assert defaults["i32"] == -42
    assert defaults["u64"] == 2**64 - 1
    assert defaults["f"] == pytest.approx(0.1) and defaults["f"] != 0.1  # float32 rounding
    assert (defaults["d_inf"], defaults["d_ninf"]) == (math.inf, -math.inf)
    assert math.isnan(defaults["d_nan"])
    assert defaults["s"] == 'hello "world"'
    assert defaults["by"] == b"a\x00b\xff\n"
    assert defaults["color"] is color.COLOR_BLUE
    assert defaults["color_plain"] is color.COLOR_RED  # first value of a closed enum
    assert defaults["hex"] == 127


def test_names_that_clash_get_a_trailing_underscore(registry):
    desc = registry.message("velum.test.shapes.Keywords")
    names = {f.name: f.local_name for f in desc.fields}
    assert names == {
        "from": "from_",
        "class": "class_",
        "if": "if_",
        "to_binary": "to_binary_",
        "copy": "copy_",
        "has_field": "has_field_",
        "_desc": "_desc_",
        "kind": "kind",
        "lambda": "lambda_",
        "pass": "pass_",
        "regular": "regular",
    }
    assert [o.local_name for o in desc.oneofs] == ["import_"]
    assert desc._fields_by_name["from_"].name == "from"
    enum_desc = registry.enum("velum.test.shapes.KeywordEnum")
    assert [v.local_name for v in enum_desc.values] == [
        "None_",
        "True_",
        "name_",
        "value_",
        "PLAIN",
    ]
    assert [v.name for v in enum_desc.values] == ["None", "True", "name", "value", "PLAIN"]


def test_local_names_stay_unique():
    from velum._naming import assign_local_names

    reserved = {"copy"}.__contains__
    assert assign_local_names(["copy", "copy_", "from"], reserved) == ["copy__", "copy_", "from_"]


@pytest.mark.parametrize(
    ("name", "expected"),
    [("foo_bar", "fooBar"), ("foo__bar", "fooBar"), ("_foo", "Foo"), ("foo_1", "foo1"), ("x", "x")],
)
def test_json_name_fallback(name, expected):
    assert json_name(name) == expected


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        (r"a\000b", b"a\x00b"),
        (r"\377\n\t\\", b"\xff\n\t\\"),
        (r"\x41\x4", b"A\x04"),
        (r"\"\'", b"\"'"),
        (r"\1234", b"S4"),
    ],
)
def test_unescape_bytes(text, expected):
    assert unescape_bytes(text) == expected


@pytest.mark.parametrize("data", [b"\x08", b"\x0a\x05abc", b"\x0d\x01\x02", b"\x00\x01", b"\x0f"])
def test_wire_reader_rejects_malformed_data(data):
    with pytest.raises(WireError):
        list(iter_fields(data))


def test_wire_reader_keeps_groups_whole():
    # field 1 varint 5, group 2 holding field 3 = 7, field 4 fixed32
    data = b"\x08\x05\x13\x18\x07\x14\x25\x01\x00\x00\x00"
    assert list(iter_fields(data)) == [(1, 0, 5), (2, 3, b"\x18\x07\x14"), (4, 5, 1)]


def test_file_descriptors(registry):
    proto2 = registry.file("test_proto2.proto")
    assert (proto2.syntax, proto2.package) == ("proto2", "velum.test.proto2")
    ed = registry.file("test_editions2024.proto")
    assert (ed.syntax, ed.edition) == ("editions", 1001)
    uses = registry.file("test_wkt_use.proto")
    assert uses.dependencies[0].name == "google/protobuf/any.proto"
    message = registry.message("velum.test.proto3.Outer.Inner")
    assert message.file is registry.file("test_proto3.proto")
    assert message.parent is registry.message("velum.test.proto3.Outer")


@pytest.mark.parametrize("what", ["default", "oneofs"])
@pytest.mark.parametrize("first", ["class", "read", "defaults", "threads"])
def test_an_empty_list_is_one_list_made_when_read(file_set: bytes, first: str, what: str):
    """A list field's default and a message's list of no oneofs are made on first read
    (most never are): the same list on every read, whichever thread is first, and never
    shared with an instance."""
    import threading

    fresh = velum.Registry()
    fresh.add_file_set(file_set)
    desc = fresh.message("velum.test.proto3.Outer")
    field = next(f for f in desc.fields if f.local_name == "inners")

    def read() -> object:
        return field.default if what == "default" else desc.oneofs

    if first == "class":
        cls = fresh.message_class("velum.test.proto3.Outer")
        a, b = cls(), cls()
        a.inners.append(cls.Inner())
        assert b.inners == [] and a.inners is not b.inners and cls().inners == []
        assert cls.__slots__ == tuple(f.local_name for f in desc.fields)
    elif first == "defaults":
        assert dict(desc._defaults)["inners"] == []
    seen: list[object] = []
    if first == "threads":
        barrier = threading.Barrier(4)

        def race() -> None:
            barrier.wait()
            seen.append(read())

        threads = [threading.Thread(target=race) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    seen.append(read())
    assert type(seen[0]) is list and seen[0] == [] and all(s is seen[0] for s in seen)
    assert read() is seen[0]
    if first != "class":
        instance = fresh.message_class("velum.test.proto3.Outer")()
        assert instance.inners == [] and instance.inners is not field.default
