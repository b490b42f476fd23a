"""Messages and enums declared natively equal those the Python reference declares, and a
damaged set is refused with the same error either way."""

from __future__ import annotations

import gc
from collections.abc import Callable
from typing import Any

import pytest
from declare_reference import declare_file_python
from google.protobuf import descriptor_pb2

import velum
from velum import _builder
from velum._descriptors import DescEnum, DescMessage

FP = descriptor_pb2.FeatureSet
FIELD = descriptor_pb2.FieldDescriptorProto


def _file(name: str, package: str = "t", syntax: str = "proto3", **kw: Any) -> Any:
    proto = descriptor_pb2.FileDescriptorProto(name=name, package=package, syntax=syntax, **kw)
    return proto


def _message(proto: Any, name: str, *fields: tuple[str, int]) -> Any:
    msg = proto.add() if hasattr(proto, "add") else proto.message_type.add()
    msg.name = name
    for field_name, number in fields:
        msg.field.add(name=field_name, number=number, type=FIELD.TYPE_INT32)
    return msg


def _enum(scope: Any, name: str, *values: tuple[str, int]) -> Any:
    enum = scope.add()
    enum.name = name
    for value_name, number in values:
        enum.value.add(name=value_name, number=number)
    return enum


def _set(*files: Any) -> bytes:
    return descriptor_pb2.FileDescriptorSet(file=files).SerializeToString()


def _editions() -> bytes:
    """Features overridden on files, messages and enums, at several depths."""
    f = _file("ed.proto", syntax="editions", edition=descriptor_pb2.EDITION_2023)
    f.options.features.enum_type = FP.CLOSED
    outer = _message(f.message_type, "Outer", ("a", 1))
    outer.options.features.enum_type = FP.OPEN
    outer.options.features.field_presence = FP.IMPLICIT
    _enum(outer.enum_type, "Inside", ("IN_ZERO", 0))
    inner = _message(outer.nested_type, "Inner", ("b", 1))
    inner.options.features.repeated_field_encoding = FP.EXPANDED
    inner.field.add(name="r", number=2, type=FIELD.TYPE_INT32, label=FIELD.LABEL_REPEATED)
    deep = _enum(inner.enum_type, "Deep", ("DEEP_ZERO", 0))
    deep.options.features.enum_type = FP.CLOSED
    _enum(f.enum_type, "Top", ("TOP_ZERO", 0))
    opened = _enum(f.enum_type, "Opened", ("OPENED_ZERO", 0))
    opened.options.features.enum_type = FP.OPEN
    return _set(f)


def _renamed_values() -> bytes:
    """Enum value names that clash with keywords, the enum machinery or each other."""
    f = _file("names.proto")
    _enum(f.enum_type, "Kw", ("None", 0), ("name", 1), ("value", 2), ("from", 3), ("from_", 4))
    _enum(f.enum_type, "Plain", ("A", 0), ("B", 1), ("ALIAS", 1))
    _enum(f.enum_type, "Under", ("_", 0), ("_a", 2), ("a_", 3))
    _enum(f.enum_type, "Twice", ("SAME", 0), ("SAME", 1))
    # Past sixteen values names are compared another way.
    _enum(f.enum_type, "Long", *[(f"L{i}", i) for i in range(20)], ("L3", 20))
    _enum(f.enum_type, "LongKw", *[(f"M{i}", i) for i in range(20)], ("False", 20), ("real", 21))
    msg = _message(f.message_type, "Holder")
    _enum(msg.enum_type, "Kw", ("True_", 0), ("True", 1), ("mro", 2))
    return _set(f)


def _extensions() -> bytes:
    f = _file("ext.proto", syntax="proto2")
    base = _message(f.message_type, "Base")
    base.extension_range.add(start=100, end=200)
    scope = _message(f.message_type, "Scope")
    scope.extension.add(name="in_scope", number=100, type=FIELD.TYPE_INT32, extendee=".t.Base")
    f.extension.add(name="top", number=101, type=FIELD.TYPE_STRING, extendee=".t.Base")
    return _set(f)


def _sets() -> dict[str, Callable[[], bytes]]:
    from conftest import compile_protos
    from test_field_resolve import _bundled_set  # type: ignore[attr-defined]

    return {
        "tests/protos": lambda: compile_protos(),
        "bundled": _bundled_set,
        "editions": _editions,
        "renamed values": _renamed_values,
        "extensions": _extensions,
    }


def _load(data: bytes, *, python: bool, monkeypatch: pytest.MonkeyPatch) -> velum.Registry:
    with monkeypatch.context() as patch:
        if python:
            patch.setattr(_builder.Batch, "declare_file", declare_file_python)
        registry = velum.Registry()
        registry.add_file_set(data)
    return registry


def _enum_shape(desc: DescEnum) -> tuple[Any, ...]:
    parent = desc.parent.type_name if desc.parent else None
    values = [(v.number, v.name, v.local_name, v.json_name) for v in desc.values]
    return (desc.type_name, desc.name, desc.file.name, parent, desc.open, values)


def _message_shape(desc: DescMessage) -> tuple[Any, ...]:
    parent = desc.parent.type_name if desc.parent else None
    fields = [
        (f.name, f.local_name, f.presence, type(f.value).__name__,
         getattr(f.value, "packed", None), getattr(f.value, "delimited_encoding", None))
        for f in desc.fields
    ]  # fmt: skip
    return (
        desc.type_name,
        desc.name,
        desc.file.name,
        parent,
        desc.is_map_entry,
        fields,
        [_message_shape(m) for m in desc.nested_messages],
        [_enum_shape(e) for e in desc.nested_enums],
        [(x.name, x.number, x.extendee.type_name) for x in desc.nested_extensions],
    )


def _shape(registry: velum.Registry, data: bytes) -> list[Any]:
    shape: list[Any] = [list(registry._messages), list(registry._enums)]
    for proto in descriptor_pb2.FileDescriptorSet.FromString(data).file:
        file = registry.file(proto.name)
        assert file is not None
        shape.append([_message_shape(m) for m in file.messages])
        shape.append([_enum_shape(e) for e in file.enums])
        shape.append([(x.name, x.number, x.extendee.type_name) for x in file.extensions])
    return shape


@pytest.mark.parametrize("name", list(_sets()))
def test_declared_types_match_the_reference(name: str, monkeypatch: pytest.MonkeyPatch) -> None:
    data = _sets()[name]()
    native = _load(data, python=False, monkeypatch=monkeypatch)
    python = _load(data, python=True, monkeypatch=monkeypatch)
    assert _shape(native, data) == _shape(python, data)


def test_renamed_values_keep_their_names() -> None:
    registry = velum.Registry()
    registry.add_file_set(_renamed_values())
    kw = registry.enum("t.Kw")
    assert kw is not None
    assert [v.local_name for v in kw.values] == ["None_", "name_", "value_", "from__", "from_"]
    assert registry.enum_class("t.Kw").from_ == 4


def _damaged() -> dict[str, bytes]:
    def one(build: Callable[[Any], None]) -> bytes:
        f = _file("bad.proto")
        build(f)
        return _set(f)

    def dup_across_files() -> bytes:
        a, b = _file("a.proto"), _file("b.proto")
        _message(a.message_type, "Same")
        _enum(b.enum_type, "Same", ("S0", 0))
        return _set(a, b)

    return {
        "message name": one(lambda f: _message(f.message_type, "1x")),
        "nested message name": one(
            lambda f: _message(_message(f.message_type, "Ok").nested_type, "not ok")
        ),
        "enum name": one(lambda f: _enum(f.enum_type, "e-num", ("A", 0))),
        "enum value name": one(lambda f: _enum(f.enum_type, "E", ("A", 0), ("B C", 1))),
        "no values": one(lambda f: _enum(_message(f.message_type, "M").enum_type, "Empty")),
        "duplicate message": one(
            lambda f: (_message(f.message_type, "M"), _message(f.message_type, "M"))
        ),
        "message and enum": one(
            lambda f: (_message(f.message_type, "M"), _enum(f.enum_type, "M", ("A", 0)))
        ),
        "duplicate across files": dup_across_files(),
        "well-known name": _set(_with_message(_file("wk.proto", "google.protobuf"), "Timestamp")),
        "name with a dot": one(lambda f: _message(f.message_type, ".x")),
    }


def _with_message(proto: Any, name: str) -> Any:
    _message(proto.message_type, name)
    return proto


@pytest.mark.parametrize("name", list(_damaged()))
def test_damaged_sets_fail_as_the_reference(name: str, monkeypatch: pytest.MonkeyPatch) -> None:
    data = _damaged()[name]
    errors = []
    for python in (False, True):
        with pytest.raises(ValueError) as info:
            _load(data, python=python, monkeypatch=monkeypatch)
        errors.append(str(info.value))
    assert errors[0] == errors[1]


def test_loaded_records_leave_the_collector() -> None:
    """Decoded records form no cycle; loading takes them out of the collector's reach,
    while the descriptors, which point back up to their parents and files, stay in it."""
    registry = velum.Registry()
    registry.add_file_set(_editions())
    desc = registry.message("t.Outer")
    assert desc is not None
    record = desc._resolve.args[0]
    nested = record.nested_types[0]
    records = [record, record.fields, record.fields[0], nested, nested.fields[1]]
    records += [record.enum_types[0].values[0], nested.enum_types[0]]
    assert not any(gc.is_tracked(r) for r in records)
    assert gc.is_tracked(desc)
    gc.collect()
    assert [f.name for f in desc.fields] == ["a"]


def test_map_entries_and_the_types_inside_them_are_not_listed() -> None:
    f = _file("entries.proto")
    holder = _message(f.message_type, "Holder")
    entry = _message(holder.nested_type, "ValuesEntry", ("key", 1), ("value", 2))
    entry.options.map_entry = True
    _message(entry.nested_type, "Inside")
    _enum(entry.enum_type, "InsideKind", ("INSIDE_ZERO", 0))
    _enum(holder.enum_type, "Kind", ("KIND_ZERO", 0))
    holder.field.add(name="values", number=1, type=FIELD.TYPE_MESSAGE,
                     label=FIELD.LABEL_REPEATED, type_name=".t.Holder.ValuesEntry")  # fmt: skip
    registry = velum.Registry()
    registry.add_file_set(_set(f))
    assert registry.message("t.Holder") is not None
    assert registry.enum("t.Holder.Kind") is not None
    assert registry.message("t.Holder.ValuesEntry") is None
    assert registry.message("t.Holder.ValuesEntry.Inside") is None
    assert registry.enum("t.Holder.ValuesEntry.InsideKind") is None
    assert registry.message_class("t.Holder")(values={1: 2}).values == {1: 2}


def test_empty_nested_lists_are_lists_of_their_own() -> None:
    registry = velum.Registry()
    registry.add_file_set(_extensions())
    base, scope = registry.message("t.Base"), registry.message("t.Scope")
    assert base is not None and scope is not None
    for name in ("nested_messages", "nested_enums", "nested_extensions"):
        assert getattr(base, name) == [] and type(getattr(base, name)) is list
    base.nested_messages.append(scope)  # (made once, then kept)
    assert base.nested_messages == [scope] and scope.nested_messages == []
    assert [x.name for x in scope.nested_extensions] == ["t.Scope.in_scope"]
