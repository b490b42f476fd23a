"""has_field and repr make the encoders' decision: a field counts as set exactly
when to_binary writes it, for every field kind and presence discipline."""

from __future__ import annotations

import json
import math

import pytest

from velum import Oneof

P3 = "velum.test.proto3"
P2 = "velum.test.proto2"

# A zero, a non-zero and the awkward values of each scalar kind.
SCALAR_VALUES = {
    "f_double": [0.0, -0.0, math.nan, math.inf, 1.5, 0],
    "f_float": [0.0, -0.0, math.nan, 2.0],
    "f_int64": [0, 1, -(2**63)],
    "f_uint64": [0, 2**64 - 1],
    "f_int32": [0, -1],
    "f_fixed64": [0, 5],
    "f_fixed32": [0, 5],
    "f_bool": [False, True],
    "f_string": ["", "x"],
    "f_bytes": [b"", b"\x00"],
    "f_uint32": [0, 7],
    "f_sfixed32": [0, -3],
    "f_sfixed64": [0, -3],
    "f_sint32": [0, -3],
    "f_sint64": [0, -3],
}


def _written(msg) -> bool:
    return msg.to_binary() != b""


@pytest.mark.parametrize(
    ("name", "value"), [(name, v) for name, values in SCALAR_VALUES.items() for v in values]
)
@pytest.mark.parametrize("package", [P3, P2])
def test_scalar_set_exactly_when_written(registry, package, name, value):
    msg = registry.message_class(f"{package}.Scalars")(**{name: value})
    assert msg.has_field(name) is _written(msg)
    assert (f"{name}=" in repr(msg)) is _written(msg)


def test_negative_zero_double_is_set_and_shown(registry):
    msg = registry.message_class(f"{P3}.Scalars")(f_double=-0.0)
    assert msg.to_binary() == b"\x09" + b"\x00" * 7 + b"\x80"
    assert msg.has_field("f_double")
    assert "f_double=-0.0" in repr(msg)
    assert not registry.message_class(f"{P3}.Scalars")(f_double=0.0).has_field("f_double")


@pytest.mark.parametrize(
    ("cls", "name", "values"),
    [
        ("Scalars", "f_status", [0, 1]),
        ("Optionals", "o_int32", [None, 0, 3]),
        ("Optionals", "o_string", [None, ""]),
        ("Optionals", "o_status", [None, 0]),
        ("Optionals", "o_message", [None, "empty"]),
        ("Repeated", "packed_int32", [[], [0]]),
        ("Repeated", "messages", [[], ["empty"]]),
        ("Maps", "int32_string", [{}, {0: ""}]),
        ("WithOneof", "number", [None, 0]),
        ("WithOneof", "message", [None, "empty"]),
    ],
)
def test_other_kinds_set_exactly_when_written(registry, cls, name, values):
    klass = registry.message_class(f"{P3}.{cls}")
    nested = registry.message_class(f"{P3}.Scalars")

    def real(v):
        if v == "empty":
            return nested()
        if isinstance(v, list):
            return [real(x) for x in v]
        return v

    for value in values:
        if value is None:
            msg = klass()
        elif cls == "WithOneof":
            msg = klass(kind=Oneof(name, real(value)))
        else:
            msg = klass(**{name: real(value)})
        assert msg.has_field(name) is _written(msg), value


def test_required_field_unset_is_not_set_and_not_an_error(registry):
    msg = registry.message_class("velum.test.hostile2.Strict")()
    assert not msg.has_field("id")
    with pytest.raises(ValueError, match="required field not set"):
        msg.to_binary()


class _ListSub(list):  # type: ignore[type-arg]
    pass


class _DictSub(dict):  # type: ignore[type-arg]
    pass


@pytest.mark.parametrize(
    ("cls", "name", "member", "items", "container"),
    [
        (kind, name, member, items, container)
        for kind, name, member, items, containers in [
            ("Repeated", "packed_int32", "packedInt32", [0, 7], (list, _ListSub)),
            ("Repeated", "strings", "strings", ["", "x"], (list, _ListSub)),
            ("Maps", "int32_string", "int32String", {0: "", 1: "y"}, (dict, _DictSub)),
        ]
        for container in containers
    ],
)
def test_containers_are_written_exactly_when_they_hold_items(
    registry, cls, name, member, items, container
):
    klass = registry.message_class(f"{P3}.{cls}")
    for held in (container(), container(items)):
        msg = klass()
        setattr(msg, name, held)
        if isinstance(items, dict):
            json_items: object = {str(k): v for k, v in items.items()}
        else:
            json_items = list(items)
        if len(held):
            assert msg.to_dict() == {member: json_items}
            assert json.loads(msg.to_json()) == {member: json_items}
            assert msg.has_field(name) and _written(msg)
        else:
            assert msg.to_dict() == {} and msg.to_json() == "{}"
            assert not msg.has_field(name) and not _written(msg)
        empty = {} if isinstance(items, dict) else []
        shown = json_items if len(held) else empty
        assert json.loads(msg.to_json(always_emit_implicit=True))[member] == shown
