"""A loaded message's fields are resolved when first read; loading still refuses every fault."""

from __future__ import annotations

import gc
import re
import weakref
from typing import Any

import pytest
from _velum_ext import _FieldTable
from google.protobuf import descriptor_pb2
from test_threads import run_threads

import velum
from velum._descriptors import DescField

FDP = descriptor_pb2.FieldDescriptorProto
P3 = "velum.test.proto3"


def _file(**field: Any) -> descriptor_pb2.FileDescriptorProto:
    """p.proto with message p.M holding one field built from `field`, an enum E and p.M.FEntry."""
    file = descriptor_pb2.FileDescriptorProto(name="p.proto", package="p", syntax="proto2")
    file.enum_type.add(name="E").value.add(name="E_ZERO", number=0)
    message = file.message_type.add(name="M")
    entry = message.nested_type.add(name="FEntry")
    entry.options.map_entry = True
    entry.field.add(name="key", number=1, type=FDP.TYPE_STRING, label=FDP.LABEL_OPTIONAL)
    entry.field.add(name="value", number=2, type=FDP.TYPE_INT32, label=FDP.LABEL_OPTIONAL)
    message.field.add(name="f", number=1, **{"label": FDP.LABEL_OPTIONAL, **field})
    return file


@pytest.mark.parametrize(
    ("field", "text"),
    [
        ({"type": FDP.TYPE_MESSAGE, "type_name": ".p.Missing"}, "unknown type .p.Missing"),
        ({}, "unknown field type 0"),
        ({"type": FDP.TYPE_INT32, "default_value": "abc"}, "invalid default value 'abc'"),
        ({"type": FDP.TYPE_BOOL, "default_value": "yes"}, "invalid default value 'yes'"),
        ({"type": FDP.TYPE_BYTES, "default_value": "\\"}, "invalid default value '\\\\'"),
        ({"type": FDP.TYPE_ENUM, "type_name": ".p.E", "default_value": "NOPE"},
         "unknown enum default NOPE"),
    ],
)  # fmt: skip
def test_a_fault_in_an_unused_field_is_refused_when_loading(
    field: dict[str, Any], text: str
) -> None:
    registry = velum.Registry()
    with pytest.raises(ValueError, match="^" + re.escape(f"field p.M.f: {text}") + "$"):
        registry.add_file(_file(**field).SerializeToString())
    assert registry.message("p.M") is None and registry.file("p.proto") is None


@pytest.mark.parametrize(
    ("change", "text"),
    [
        ("drop value", "malformed map entry p.M.FEntry"),
        ("message key", "invalid map key type"),
        ("unknown value", "unknown type .p.Nowhere"),
    ],
)
def test_a_damaged_map_entry_is_refused_when_loading(change: str, text: str) -> None:
    file = _file(type=FDP.TYPE_MESSAGE, type_name=".p.M.FEntry", label=FDP.LABEL_REPEATED)
    entry = file.message_type[0].nested_type[0]
    if change == "drop value":
        del entry.field[1]
    elif change == "message key":
        entry.field[0].type, entry.field[0].type_name = FDP.TYPE_MESSAGE, ".p.M"
    else:
        entry.field[1].type, entry.field[1].type_name = FDP.TYPE_MESSAGE, ".p.Nowhere"
    with pytest.raises(ValueError, match="^" + re.escape(f"field p.M.f: {text}") + "$"):
        velum.Registry().add_file(file.SerializeToString())


def test_an_extension_of_unknown_type_is_refused_when_loading() -> None:
    file = _file(type=FDP.TYPE_INT32)
    file.message_type[0].extension_range.add(start=100, end=200)
    file.extension.add(
        name="x", number=100, label=FDP.LABEL_OPTIONAL, type=FDP.TYPE_MESSAGE,
        type_name=".p.Gone", extendee=".p.M",
    )  # fmt: skip
    with pytest.raises(ValueError, match=r"^field p\.x: unknown type \.p\.Gone$"):
        velum.Registry().add_file(file.SerializeToString())


def test_fields_are_resolved_on_first_read_and_only_for_that_message(compiler: Any) -> None:
    registry = velum.Registry()
    registry.add_file_set(compiler("test_proto3.proto"))
    outer, inner = registry.message(f"{P3}.Outer"), registry.message(f"{P3}.Outer.Inner")
    assert outer._resolve is not None and inner._resolve is not None
    by_number = outer._fields_by_number  # any resolved member resolves them all
    assert outer._resolve is None and inner._resolve is not None
    assert sorted(by_number) == sorted(f.number for f in outer.fields)
    assert all(outer._fields_by_name[f.local_name] is f for f in outer.fields)
    assert all(f.parent is outer for f in outer.fields)
    cls = registry.message_class(f"{P3}.Outer")
    assert cls.from_binary(cls().to_binary()) == cls()


@pytest.mark.parametrize("classes_first", [False, True], ids=["loaded", "classes-made"])
def test_threads_racing_for_fields_see_one_complete_set(compiler: Any, classes_first: bool) -> None:
    registry = velum.Registry()
    registry.add_file_set(compiler("test_proto3.proto"))
    descs = [d for n, d in registry._messages.items() if n.startswith(f"{P3}.")]
    if classes_first:  # then the fields are made from the pending resolution the table holds
        for desc in descs:
            if not desc.is_map_entry:
                registry.message_class(desc.type_name)
        assert all(type(d._resolve) is _FieldTable for d in descs if not d.is_map_entry)

    def work(_: int) -> list[tuple[int, int, int]]:
        # The last member assigned is read first: a reader must never see a partial set.
        return [
            (id(d._defaults), id(d.fields), len(d._fields_by_name) + len(d._oneofs_by_name))
            for d in descs
        ]

    seen = run_threads(work, 6)
    assert all(found == seen[0] for found in seen)
    counts = [n for _, _, n in seen[0]]
    assert counts == [len(d.fields) + len(d.oneofs) for d in descs]


def test_members_made_on_first_read_are_one_object_for_every_thread(compiler: Any) -> None:
    # The lookups by proto name and by number, and a field's full name, are made when
    # first read, not when the message is resolved.
    registry = velum.Registry()
    registry.add_file_set(compiler("test_proto3.proto"))
    descs = [d for n, d in registry._messages.items() if n.startswith(f"{P3}.")]

    def work(_: int) -> list[tuple[int, ...]]:
        return [
            (id(d._fields_by_number), id(d._fields_by_proto_name), *map(id, full_names(d)))
            for d in descs
        ]

    def full_names(desc: Any) -> list[str]:
        return [f.full_name for f in desc.fields]

    seen = run_threads(work, 6)
    assert all(found == seen[0] for found in seen)
    for desc in descs:
        assert desc._fields_by_number == {f.number: f for f in desc.fields}
        assert desc._fields_by_proto_name == {f.name: f for f in desc.fields}
        names = [f"{desc.type_name}.{f.name}" for f in desc.fields]
        assert [f.full_name for f in desc.fields] == names


def _field_shape(field: Any) -> tuple[Any, ...]:
    value = field.value
    return (
        field.number, field.name, field.local_name, field.json_name, field.full_name,
        field.presence, field._requires_presence, type(value).__name__,
        getattr(value, "packed", None), getattr(value, "delimited_encoding", None),
        None if field.oneof is None else field.oneof.local_name, repr(field.default),
    )  # fmt: skip


def _outcome(call: Any) -> object:
    try:
        return call()
    except ValueError as exc:  # a required field, say
        return str(exc)


@pytest.mark.parametrize(
    "proto",
    [
        "test_proto3.proto", "test_proto2.proto", "test_editions2023.proto", "test_shapes.proto",
        "test_differential.proto",
    ],
)
def test_a_class_made_before_its_fields_are_read_is_the_class_made_after(
    compiler: Any, proto: str
) -> None:
    # A class is made from its message's field table until user code reads the fields;
    # whichever comes first, the class and the field descriptors are the same.
    data = compiler(proto)
    early, late = velum.Registry(), velum.Registry()
    early.add_file_set(data)
    late.add_file_set(data)
    names = [
        n for n, d in late._messages.items()
        if not d.is_map_entry and not n.startswith("google.protobuf.")
    ]  # fmt: skip
    for name in names:
        assert late.message(name).fields is not None  # resolved first: the class reads them
    for name in names:
        made, read = early.message_class(name), late.message_class(name)
        assert (made.__slots__, made.__match_args__) == (read.__slots__, read.__match_args__)
        fresh, other = made(), read()
        held = [repr(getattr(fresh, s)) for s in made.__slots__]  # (repr: nan defaults)
        assert held == [repr(getattr(other, s)) for s in read.__slots__]
        assert _outcome(fresh.to_binary) == _outcome(other.to_binary)
        assert _outcome(fresh.to_json) == _outcome(other.to_json)
    assert any(type(early.message(n)._resolve) is _FieldTable for n in names)
    for name in names:
        desc = early.message(name)
        fields = desc.fields
        assert desc.fields is fields and desc._resolve is None
        expected = [_field_shape(f) for f in late.message(name).fields]
        assert [_field_shape(f) for f in fields] == expected
        assert all(f.parent is desc and desc._fields_by_name[f.local_name] is f for f in fields)


@pytest.mark.parametrize("hold_table", [False, True])
def test_using_a_class_makes_no_field_descriptor_and_its_registry_is_collected(
    compiler: Any, hold_table: bool
) -> None:
    # The table is out of the collector, its message visiting its references: held
    # elsewhere too, it keeps the schema alive until let go, and is collected after.
    data = compiler("test_proto3.proto")

    def load() -> tuple[weakref.ref[type], Any]:
        registry = velum.Registry()
        registry.add_file_set(data)
        cls: Any = registry.message_class(f"{P3}.Outer")
        desc = cls._desc
        again = cls.from_binary(cls().to_binary())
        assert again == cls.from_json(cls().to_json())
        assert type(desc._resolve) is _FieldTable and not gc.is_tracked(desc._resolve)
        assert not [o for o in gc.get_objects() if type(o) is DescField and o.parent is desc]
        return weakref.ref(cls), desc._resolve if hold_table else None

    gone, table = load()
    gc.collect()
    assert (gone() is not None) == hold_table
    del table
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("first", ["class", "fields"], ids=["class-first", "fields-first"])
def test_json_names_of_a_class_made_before_its_fields_are_read(first: str) -> None:
    # A JSON name equal to the one derived from the field's name is not kept when the
    # class is made from its field table: it is made again with the class's JSON tables.
    file = descriptor_pb2.FileDescriptorProto(name="j.proto", package="j", syntax="proto3")
    message = file.message_type.add(name="M")
    names = {
        "plain": "plain", "two_words": "twoWords", "x__y_": "xY", "_lead": "Lead",
        "digit_1x": "digit1x", "custom": "somethingElse", "almost_same": "almostsame",
        "up_Case": "upCase",
    }  # fmt: skip
    for number, (name, json) in enumerate(names.items(), start=1):
        message.field.add(
            name=name, json_name=json, number=number, type=FDP.TYPE_INT32,
            label=FDP.LABEL_OPTIONAL,
        )  # fmt: skip
    registry = velum.Registry()
    registry.add_file(file.SerializeToString())
    if first == "fields":
        assert registry.message("j.M").fields
    cls = registry.message_class("j.M")
    msg = cls(**{name: number for number, name in enumerate(names, start=1)})
    expected = {json: number for number, json in enumerate(names.values(), start=1)}
    assert msg.to_dict() == expected
    assert cls.from_json(msg.to_json()) == msg
    assert cls.from_dict({name: n for n, name in enumerate(names, start=1)}) == msg
    assert [f.json_name for f in registry.message("j.M").fields] == list(names.values())
