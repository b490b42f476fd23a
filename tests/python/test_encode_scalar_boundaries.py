"""The encoder's inline paths for exact ints, floats, strs and bytes must write the same
bytes as its general conversions (taken for int subclasses and the like) and as the
protobuf package, at every boundary of the internal integer representation."""

from __future__ import annotations

import functools
from typing import Any

import pytest
from conftest import compile_protos
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

import velum

PKG = "velum.test.diff"


class IntSub(int):
    pass


@functools.cache
def classes() -> tuple[Any, Any]:
    data = compile_protos("test_differential.proto")
    registry = velum.Registry()
    registry.add_file_set(data)
    pool = descriptor_pool.DescriptorPool()
    for file in descriptor_pb2.FileDescriptorSet.FromString(data).file:
        pool.Add(file)
    pb = message_factory.GetMessageClass(pool.FindMessageTypeByName(f"{PKG}.Flat"))
    return registry.message_class(f"{PKG}.Flat"), pb


RANGES = {
    "int64": (-(2**63), 2**63 - 1),
    "sint64": (-(2**63), 2**63 - 1),
    "sfixed64": (-(2**63), 2**63 - 1),
    "uint64": (0, 2**64 - 1),
    "fixed64": (0, 2**64 - 1),
    "int32": (-(2**31), 2**31 - 1),
    "sint32": (-(2**31), 2**31 - 1),
    "sfixed32": (-(2**31), 2**31 - 1),
    "uint32": (0, 2**32 - 1),
    "fixed32": (0, 2**32 - 1),
}
# One, two and three 30-bit digits, and the edges of each kind's range.
EDGES = sorted(
    {s * m for m in (1, 2**30 - 1, 2**30, 2**31, 2**32 - 1, 2**60 - 1, 2**60, 2**63, 2**64 - 1)
     for s in (1, -1)} | {0, 2**63 - 1, 2**31 - 1, -(2**63)}
)


def in_range(kind: str) -> list[int]:
    lo, hi = RANGES[kind]
    return [v for v in EDGES if lo <= v <= hi]


@pytest.mark.parametrize("kind", sorted(RANGES))
@pytest.mark.parametrize("prefix", ["f", "o", "p", "u"])
def test_int_edges_match_general_path_and_protobuf(kind: str, prefix: str) -> None:
    velum_cls, pb_cls = classes()
    name = f"{prefix}_{kind}"
    values = in_range(kind)
    singular = prefix in ("f", "o")
    for value in values if singular else [values]:
        exact = velum_cls(**{name: value}).to_binary()
        sub = [IntSub(v) for v in value] if isinstance(value, list) else IntSub(value)
        assert velum_cls(**{name: sub}).to_binary() == exact, value
        assert exact == pb_cls(**{name: value}).SerializeToString(), value


@pytest.mark.parametrize("kind", ["int64", "uint64", "sint32", "fixed64", "sfixed32", "double"])
@pytest.mark.parametrize("prefix", ["p", "u"])
def test_slow_element_inside_a_long_run(kind: str, prefix: str) -> None:
    # Longer than one reserved chunk, with general-path elements at chunk edges.
    velum_cls, _ = classes()
    base = [float(i) for i in range(3000)] if kind == "double" else list(range(3000))
    mixed: list[Any] = list(base)
    for i in (0, 1023, 1024, 2999):
        mixed[i] = IntSub(int(base[i])) if kind != "double" else IntSub(i)
    name = f"{prefix}_{kind}"
    assert velum_cls(**{name: mixed}).to_binary() == velum_cls(**{name: base}).to_binary()


def test_strings_with_and_without_cached_utf8() -> None:
    velum_cls, pb_cls = classes()
    values = ["", "ascii", "é" * 9, "\U0001f642 ok", "x" * 17, "ü" * 300]
    fresh = ["".join(reversed(s[::-1])) for s in values]  # new objects: no UTF-8 cached yet
    expected = pb_cls(u_string=values, f_string=values[3]).SerializeToString()
    assert velum_cls(u_string=fresh, f_string=fresh[3]).to_binary() == expected
    assert velum_cls(u_string=fresh, f_string=fresh[3]).to_binary() == expected


@pytest.mark.parametrize("value", ["\ud800", ["ok", "\udfff"]])
def test_unencodable_string_still_fails(value: Any) -> None:
    velum_cls, _ = classes()
    name = "u_string" if isinstance(value, list) else "f_string"
    with pytest.raises(UnicodeEncodeError):
        velum_cls(**{name: value}).to_binary()


def test_encoding_size_hint_does_not_leak_between_messages() -> None:
    # A large encoding sizes the next one's buffer; the content must not carry over.
    velum_cls, _ = classes()
    big = velum_cls(p_int64=list(range(100_000))).to_binary()
    small = velum_cls(f_int32=5).to_binary()
    assert small == b"\x28\x05"
    assert velum_cls(p_int64=list(range(100_000))).to_binary() == big
