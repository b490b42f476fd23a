"""Loading schemas into a Registry and looking types up."""

from __future__ import annotations

import re

import pytest
from google.protobuf import descriptor_pb2

import velum
import velum.wkt
from velum._descriptors import DescFieldValueList, Presence, ScalarType


def _files(data: bytes) -> list[descriptor_pb2.FileDescriptorProto]:
    return list(descriptor_pb2.FileDescriptorSet.FromString(data).file)


def _set(files: list[descriptor_pb2.FileDescriptorProto]) -> bytes:
    return descriptor_pb2.FileDescriptorSet(file=files).SerializeToString()


WKT_MESSAGES = [
    "Any", "Timestamp", "Duration", "FieldMask", "Struct", "Value", "ListValue",
    "DoubleValue", "FloatValue", "Int64Value", "UInt64Value", "Int32Value", "UInt32Value",
    "BoolValue", "StringValue", "BytesValue", "Empty",
]  # fmt: skip


@pytest.mark.parametrize("name", WKT_MESSAGES)
def test_new_registries_share_the_well_known_classes(name):
    cls = getattr(velum.wkt, name)
    assert velum.Registry().message_class(f"google.protobuf.{name}") is cls
    desc = cls._desc
    assert desc.type is cls and desc.type_name == f"google.protobuf.{name}"
    assert desc.file.name.startswith("google/protobuf/")


def test_null_value_is_a_well_known_enum():
    assert velum.Registry().enum_class("google.protobuf.NullValue") is velum.wkt.NullValue
    assert velum.wkt.NullValue.NULL_VALUE == 0


def test_file_sets_with_well_known_files_reuse_the_shipped_classes(compiler):
    registry = velum.Registry()
    files = registry.add_file_set(compiler("test_wkt_use.proto"))
    assert files[-1].name == "test_wkt_use.proto"
    assert registry.file("google/protobuf/timestamp.proto") is velum.wkt.Timestamp._desc.file
    uses = registry.message("velum.test.wkt.UsesWkt")._fields_by_name
    assert uses["when"].value.message.type is velum.wkt.Timestamp
    assert uses["null"].value.enum.type is velum.wkt.NullValue
    assert uses["payloads"].value.element.type is velum.wkt.Any


def test_lookups(registry):
    desc = registry.message("velum.test.proto3.Outer.Inner")
    assert registry.message(".velum.test.proto3.Outer.Inner") is desc
    assert registry.message_class("velum.test.proto3.Outer.Inner") is desc.type
    assert registry.enum("velum.test.proto3.Status").type is registry.enum_class(
        "velum.test.proto3.Status"
    )
    assert registry.message("velum.test.nope") is None
    assert registry.enum("velum.test.nope") is None
    assert registry.extension("velum.test.nope") is None
    # Map entries are an encoding detail, not message types of their own.
    assert registry.message("velum.test.proto3.Maps.Int32StringEntry") is None


@pytest.mark.parametrize("method", ["message_class", "enum_class"])
def test_unknown_classes_raise_key_error(registry, method):
    with pytest.raises(KeyError):
        getattr(registry, method)("velum.test.Missing")


def test_extensions(registry):
    extendable = registry.message("velum.test.proto2.Extendable")
    ext = registry.extension("velum.test.proto2.ext_int")
    assert registry.extension_for(extendable, 100) is ext
    assert registry.extension_for(extendable, 199) is None
    assert (ext.name, ext.type_name, ext.number) == ("velum.test.proto2.ext_int",) * 2 + (100,)
    assert ext.extendee is extendable and ext.type is ext
    assert ext.field.presence == Presence.EXPLICIT and ext.field._requires_presence
    assert ext.value.scalar is ScalarType.INT32
    nested = registry.extension("velum.test.proto2.ExtensionScope.nested_ext")
    assert nested.parent is registry.message("velum.test.proto2.ExtensionScope")
    assert registry.extension_for(extendable, 150) is nested
    color = registry.extension("velum.test.proto2.ext_color")
    assert color.field.default is registry.enum_class("velum.test.proto2.Color").COLOR_GREEN
    strings = registry.extension("velum.test.proto2.ext_strings")
    assert isinstance(strings.value, DescFieldValueList) and strings.field.default == []
    packed = registry.extension("velum.test.proto2.ext.packed_ext")
    assert packed.value.packed and packed.file.name == "test_proto2_ext.proto"


def test_re_adding_identical_files_is_harmless(compiler):
    registry = velum.Registry()
    data = compiler("test_proto3.proto")
    first = registry.add_file_set(data)
    cls = registry.message_class("velum.test.proto3.Outer")
    again = registry.add_file_set(data)
    assert again == first and registry.message_class("velum.test.proto3.Outer") is cls


def test_other_content_under_a_loaded_name_is_refused_and_changes_nothing(compiler):
    registry = velum.Registry()
    [file] = _files(compiler("test_proto3.proto"))
    registry.add_file(file.SerializeToString())
    file.message_type[0].name = "Renamed"
    message = "file test_proto3.proto is already loaded with other content"
    with pytest.raises(ValueError, match=re.escape(message)):
        registry.add_file(file.SerializeToString())
    assert registry.message("velum.test.proto3.Renamed") is None


def test_add_file_needs_its_dependencies(compiler):
    base, ext = _files(compiler("test_proto2_ext.proto"))
    registry = velum.Registry()
    with pytest.raises(ValueError, match=re.escape("dependency test_proto2.proto is not loaded")):
        registry.add_file(ext.SerializeToString())
    assert registry.add_file(base.SerializeToString()).name == "test_proto2.proto"
    added = registry.add_file(ext.SerializeToString())
    assert added.extensions[0].extendee is registry.message("velum.test.proto2.Extendable")


def test_file_sets_may_list_dependencies_after_their_users(compiler):
    base, ext = _files(compiler("test_proto2_ext.proto"))
    registry = velum.Registry()
    files = registry.add_file_set(_set([ext, base]))
    assert [f.name for f in files] == ["test_proto2_ext.proto", "test_proto2.proto"]
    assert registry.extension("velum.test.proto2.ext.other_file_ext") is not None


def test_a_failed_set_leaves_the_registry_unchanged(compiler):
    good, bad = _files(compiler("test_proto3.proto"))[0], descriptor_pb2.FileDescriptorProto()
    bad.CopyFrom(good)
    bad.name = "duplicate.proto"
    registry = velum.Registry()
    message = "duplicate.proto: duplicate symbol velum.test.proto3."
    with pytest.raises(ValueError, match=re.escape(message)):
        registry.add_file_set(_set([good, bad]))
    assert registry.file("test_proto3.proto") is None
    assert registry.message("velum.test.proto3.Outer") is None
    registry.add_file_set(_set([good]))
    with pytest.raises(ValueError, match=r"symbol velum\.test\.proto3\.\w+ is already defined"):
        registry.add_file(bad.SerializeToString())


def test_conflicting_extension_numbers_are_refused(compiler):
    base, ext = _files(compiler("test_proto2_ext.proto"))
    clash = descriptor_pb2.FileDescriptorProto()
    clash.CopyFrom(ext)
    clash.name, clash.package = "clash.proto", "velum.test.clash"
    registry = velum.Registry()
    registry.add_file_set(_set([base, ext]))
    with pytest.raises(ValueError, match=re.escape("number 160 of velum.test.proto2.Extendable")):
        registry.add_file(clash.SerializeToString())


def test_unknown_type_references_are_reported(compiler):
    [file] = _files(compiler("test_proto3.proto"))
    file.message_type[0].field[0].type_name = ".velum.test.Nowhere"
    file.message_type[0].field[0].type = descriptor_pb2.FieldDescriptorProto.TYPE_MESSAGE
    with pytest.raises(ValueError, match=re.escape("unknown type .velum.test.Nowhere")):
        velum.Registry().add_file(file.SerializeToString())
