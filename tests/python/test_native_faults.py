"""Regression tests of the native operations on real schemas: subclasses kept by
decoding and copying, oneof message merge, closed-enum numbers beyond 32 bits."""

from __future__ import annotations

import copy

import pytest

from velum import Oneof

P2 = "velum.test.proto2"
P3 = "velum.test.proto3"


@pytest.fixture
def subclass(registry):
    base = registry.message_class(f"{P3}.Scalars")
    created = []

    class Sub(base):  # type: ignore[misc, valid-type]
        def __new__(cls, *args, **kwargs):
            created.append(cls)
            return super().__new__(cls, *args, **kwargs)

    return Sub, created


@pytest.mark.parametrize(
    "make",
    [
        lambda sub, data: sub.from_binary(data),
        lambda sub, data: copy.copy(sub.from_binary(data)),
        lambda sub, data: copy.deepcopy(sub.from_binary(data)),
    ],
    ids=["from_binary", "copy", "deepcopy"],
)
def test_subclass_is_kept(subclass, make):
    sub, created = subclass
    data = sub(f_int32=5, f_string="x").to_binary()
    created.clear()
    result = make(sub, data)
    assert type(result) is sub
    assert (result.f_int32, result.f_string) == (5, "x")
    assert created and all(c is sub for c in created)  # Sub.__new__ ran


def test_generated_class_copies_stay_generated(registry):
    cls = registry.message_class(f"{P3}.Scalars")
    msg = cls.from_binary(cls(f_int32=1).to_binary())
    assert type(msg) is cls and type(copy.deepcopy(msg)) is cls


def test_oneof_message_member_merges(registry):
    cls = registry.message_class(f"{P3}.WithOneof")
    scalars = registry.message_class(f"{P3}.Scalars")
    source = cls(kind=Oneof("message", scalars(f_string="s", f_int64=2)))

    def target():
        return cls(kind=Oneof("message", scalars(f_int32=1, f_int64=9)))

    merged = target()
    merged.merge_from(source)
    by_binary = target()
    by_binary.merge_from_binary(source.to_binary())
    assert merged == by_binary
    value = merged.kind.value
    assert (value.f_int32, value.f_string, value.f_int64) == (1, "s", 2)
    assert value is not source.kind.value


@pytest.mark.parametrize(
    ("target_kind", "expected"),
    [(None, "s"), (Oneof("number", 3), "s"), (Oneof("message", None), "s")],
)
def test_other_oneof_merges_replace(registry, target_kind, expected):
    cls = registry.message_class(f"{P3}.WithOneof")
    scalars = registry.message_class(f"{P3}.Scalars")
    source = cls(kind=Oneof("message", scalars(f_string="s")))
    merged = cls(kind=target_kind)
    merged.merge_from(source)
    assert merged.kind.field == "message"
    assert merged.kind.value.f_string == expected
    assert merged.kind.value is not source.kind.value


@pytest.mark.parametrize(
    ("cls", "data"),
    [
        ("Scalars", bytes.fromhex("98018580808010")),  # f_color = 0x100000005
        ("Scalars", bytes.fromhex("9801ffffffff0f")),  # 0xffffffff in five bytes
        ("Repeated", bytes.fromhex("18858080801018ffffffffffffffffff01")),  # colors, unpacked
    ],
)
def test_unknown_closed_enum_number_keeps_its_bytes(registry, cls, data):
    msg = registry.message_class(f"{P2}.{cls}").from_binary(data)
    assert msg.to_binary() == data
