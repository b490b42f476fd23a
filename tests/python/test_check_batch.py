"""Loading checks every message in one native pass; what it finds (each field's type, a
map's value descriptor) and what it refuses equal what the runtime's own per-message check
(`Batch._check_message`, kept as the reference) finds and refuses."""

from __future__ import annotations

import functools
import gc
from collections.abc import Callable
from typing import Any

import pytest
from google.protobuf import descriptor_pb2
from test_declare import _file, _message, _set, _sets

import velum
from velum import _builder
from velum._descriptors import DescFieldValueMap, DescMessage

FIELD = descriptor_pb2.FieldDescriptorProto


def _resolve_python(batch: _builder.Batch) -> None:
    """Batch.resolve as it was before the native pass: one Python check per message."""
    for enum_desc in batch.enums.values():
        enum_desc._create = _builder._classes.create_enum_on_first_use
    work = batch._message_work
    for desc, proto, features in zip(work[::3], work[1::3], work[2::3], strict=True):
        targets = batch._check_message(desc, proto)
        desc._resolve = functools.partial(_builder._resolve_message, proto, features, targets)
    for ext_proto, file, scope, features in batch._extension_work:
        batch._resolve_extension(ext_proto, file, scope, features)


def _load(data: bytes, *, python: bool, monkeypatch: pytest.MonkeyPatch) -> velum.Registry:
    with monkeypatch.context() as patch:
        if python:
            patch.setattr(_builder.Batch, "resolve", _resolve_python)
        registry = velum.Registry()
        registry.add_file_set(data)
    return registry


def _target(target: Any) -> Any:
    if type(target) is DescFieldValueMap:
        return ("map", _target(target.key), _target(target.value))
    return getattr(target, "type_name", target)


def _targets(registry: velum.Registry) -> dict[str, list[Any]]:
    return {
        name: [_target(t) for t in desc._resolve.args[2]]
        for name, desc in registry._messages.items()
        if desc._resolve is not None
    }


def _maps() -> bytes:
    """Map fields of every value kind, next to fields the native pass hands back."""
    f = _file("maps.proto", syntax="proto2")
    f.enum_type.add(name="Color").value.add(name="RED", number=0)
    holder = _message(f.message_type, "Holder", ("n", 1))
    for number, (name, value_type, value_name) in enumerate(
        [
            ("by_int", FIELD.TYPE_INT32, ""),
            ("by_msg", FIELD.TYPE_MESSAGE, ".t.Holder"),
            ("by_enum", FIELD.TYPE_ENUM, ".t.Color"),
            ("by_group", FIELD.TYPE_GROUP, ".t.Holder"),
        ],
        start=2,
    ):
        entry = holder.nested_type.add(name=f"{name.title().replace('_', '')}Entry")
        entry.options.map_entry = True
        entry.field.add(name="key", number=1, type=FIELD.TYPE_STRING)
        entry.field.add(name="value", number=2, type=value_type, type_name=value_name)
        holder.field.add(
            name=name, number=number, type=FIELD.TYPE_MESSAGE, label=FIELD.LABEL_REPEATED,
            type_name=f".t.Holder.{entry.name}",
        )  # fmt: skip
    holder.field.add(name="d", number=9, type=FIELD.TYPE_INT32, default_value="7")
    holder.field.add(name="c", number=10, type=FIELD.TYPE_ENUM, type_name=".t.Color",
                     default_value="RED")  # fmt: skip
    outside = _message(f.message_type, "Outside")
    outside.field.add(name="wkt", number=1, type=FIELD.TYPE_MESSAGE,
                      type_name=".google.protobuf.Timestamp")  # fmt: skip
    f.dependency.append("google/protobuf/timestamp.proto")
    oneof_holder = _message(f.message_type, "WithOneof")
    oneof_holder.oneof_decl.add(name="choice")
    oneof_holder.field.add(name="x", number=1, type=FIELD.TYPE_INT32, oneof_index=0)
    return _set(f)


def _with_maps() -> dict[str, Callable[[], bytes]]:
    return {**_sets(), "maps": _maps}


@pytest.mark.parametrize("name", list(_with_maps()))
def test_targets_match_the_reference(name: str, monkeypatch: pytest.MonkeyPatch) -> None:
    data = _with_maps()[name]()
    native = _targets(_load(data, python=False, monkeypatch=monkeypatch))
    python = _targets(_load(data, python=True, monkeypatch=monkeypatch))
    assert native == python
    assert native


def test_only_what_needs_the_runtime_is_handed_back(monkeypatch: pytest.MonkeyPatch) -> None:
    handed_back: list[str] = []
    check = _builder.Batch._check_message

    def counting(batch: _builder.Batch, desc: Any, proto: Any) -> Any:
        handed_back.append(desc.type_name)
        return check(batch, desc, proto)

    monkeypatch.setattr(_builder.Batch, "_check_message", counting)
    velum.Registry().add_file_set(_maps())
    # Maps, defaults, oneofs and types of earlier batches are all settled natively.
    assert handed_back == []
    with pytest.raises(ValueError):
        velum.Registry().add_file_set(_DAMAGED["oneof name"])
    assert handed_back == ["t.M"]


def _map_holder(build_entry: Callable[[Any], None], *, oneof: str = "") -> bytes:
    f = _file("bad.proto")
    holder = _message(f.message_type, "M")
    entry = holder.nested_type.add(name="XEntry")
    entry.options.map_entry = True
    build_entry(entry)
    holder.field.add(name="x", number=1, type=FIELD.TYPE_MESSAGE, label=FIELD.LABEL_REPEATED,
                     type_name=".t.M.XEntry")  # fmt: skip
    if oneof:
        holder.oneof_decl.add(name=oneof)
        holder.field.add(name="y", number=2, type=FIELD.TYPE_INT32, oneof_index=0)
    return _set(f)


def _entry(*fields: tuple[int, int, str]) -> Callable[[Any], None]:
    def build(entry: Any) -> None:
        for number, field_type, type_name in fields:
            entry.field.add(name=f"f{number}", number=number, type=field_type, type_name=type_name)

    return build


_GOOD_KEY = (1, FIELD.TYPE_STRING, "")
_DAMAGED = {
    "map entry with one field": _map_holder(_entry(_GOOD_KEY)),
    "map entry with three fields": _map_holder(
        _entry(_GOOD_KEY, (2, FIELD.TYPE_INT32, ""), (3, FIELD.TYPE_INT32, ""))
    ),
    "map entry numbered 1 and 3": _map_holder(_entry(_GOOD_KEY, (3, FIELD.TYPE_INT32, ""))),
    "message map key": _map_holder(
        _entry((1, FIELD.TYPE_MESSAGE, ".t.M"), (2, FIELD.TYPE_INT32, ""))
    ),
    "unknown map value": _map_holder(_entry(_GOOD_KEY, (2, FIELD.TYPE_MESSAGE, ".t.Nowhere"))),
    "unknown map key": _map_holder(
        _entry((1, FIELD.TYPE_ENUM, ".t.Nowhere"), (2, FIELD.TYPE_INT32, ""))
    ),
    "oneof name": _map_holder(_entry(_GOOD_KEY, (2, FIELD.TYPE_INT32, "")), oneof="a b"),
}


@pytest.mark.parametrize("name", list(_DAMAGED))
def test_damaged_maps_and_oneofs_fail_as_the_reference(
    name: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    errors = []
    for python in (False, True):
        with pytest.raises(ValueError) as info:
            _load(_DAMAGED[name], python=python, monkeypatch=monkeypatch)
        errors.append(str(info.value))
    assert errors[0] == errors[1]


def test_an_entry_of_two_fields_with_one_number_is_refused() -> None:
    data = _map_holder(_entry(_GOOD_KEY, (1, FIELD.TYPE_INT32, "")))
    with pytest.raises(ValueError, match="malformed map entry t.M.XEntry"):
        velum.Registry().add_file_set(data)


@pytest.mark.parametrize(
    ("name", "valid"),
    [("x_1", True), ("_", True), ("café", True), ("é1", True), ("Ω_ω", True),
     ("1a", False), ("a-b", False), ("a b", False), ("a·", True), ("·a", False), ("é-", False)],
)  # fmt: skip
def test_field_names_are_checked_as_the_reference(
    name: str, valid: bool, monkeypatch: pytest.MonkeyPatch
) -> None:
    # The native pass reads a name from the file's bytes; the reference, as a str.
    f = _file("names.proto")
    _message(f.message_type, "M", ("ok", 1), (name, 2))
    outcomes = []
    for python in (False, True):
        try:
            registry = _load(_set(f), python=python, monkeypatch=monkeypatch)
        except ValueError as e:
            outcomes.append(str(e))
        else:
            desc = registry.message("t.M")
            assert desc is not None
            outcomes.append(str([field.name for field in desc.fields]))
    assert outcomes[0] == outcomes[1]
    assert (outcomes[0] == str(["ok", name])) is valid


def test_pending_messages_of_scalars_stay_out_of_the_collector() -> None:
    registry = velum.Registry()
    registry.add_file_set(_maps())
    holder, outside = registry.message("t.Holder"), registry.message("t.Outside")
    assert holder is not None and outside is not None
    by_int = registry._messages.get("t.Holder.ByIntEntry") or holder.nested_messages[0]
    # A message of scalar fields can be in no cycle through its pending fields.
    assert not gc.is_tracked(by_int._resolve) and gc.is_tracked(outside._resolve)
    del registry, holder, outside, by_int
    gc.collect()
    # Nothing of the schema is left: no pending call kept a message alive.
    assert not [o for o in gc.get_objects() if type(o) is DescMessage and o.type_name == "t.Holder"]
