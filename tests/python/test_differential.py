"""Differential tests: velum against the protobuf package on random messages.

Both runtimes get their classes from the same descriptor set. Hypothesis draws message
content as plain Python data (field name -> value, nested dicts for messages), each
runtime builds its own message from it, and every encoding must decode in the other
runtime to the same content. Where fields are declared in number order and no map is
involved, the bytes must be identical too.

Runs are derandomized so CI is reproducible; set VELUM_DIFF_RANDOM=1 to explore with fresh
seeds and VELUM_DIFF_SCALE=<factor> to run more examples.
"""

from __future__ import annotations

import functools
import math
import struct
from collections.abc import Callable
from typing import Any

import pytest
from conftest import compile_protos, diff_settings
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
from google.protobuf.descriptor import Descriptor, FieldDescriptor
from google.protobuf.unknown_fields import UnknownFieldSet
from hypothesis import given
from hypothesis import strategies as st

import velum

FILES = ("test_differential.proto", "test_differential_proto2.proto")
P3 = "velum.test.diff"
P2 = "velum.test.diff2"
FD = FieldDescriptor
@functools.cache
def env() -> tuple[velum.Registry, descriptor_pool.DescriptorPool]:
    data = compile_protos(*FILES)
    registry = velum.Registry()
    registry.add_file_set(data)
    pool = descriptor_pool.DescriptorPool()
    for file in descriptor_pb2.FileDescriptorSet.FromString(data).file:
        pool.Add(file)
    return registry, pool


def pb_desc(name: str) -> Descriptor:
    return env()[1].FindMessageTypeByName(name)


def pb_class(desc: Descriptor) -> Any:
    return message_factory.GetMessageClass(desc)


def velum_class(desc: Descriptor) -> Any:
    return env()[0].message_class(desc.full_name)


# Schema helpers over the protobuf descriptors (they drive generation and comparison).


def is_map(field: FieldDescriptor) -> bool:
    return field.message_type is not None and field.message_type.GetOptions().map_entry


def real_oneof(field: FieldDescriptor) -> Any:
    oneof = field.containing_oneof
    if oneof is None or (len(oneof.fields) == 1 and oneof.name == "_" + field.name):
        return None  # proto3 `optional` lives in a synthetic oneof
    return oneof


def is_message(field: FieldDescriptor) -> bool:
    return field.type in (FD.TYPE_MESSAGE, FD.TYPE_GROUP)


# Value strategies: the ordinary range plus the values codecs get wrong.


def f32(x: float) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


def from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


DOUBLE_EDGES = [
    0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324,
    2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308,
    -1.7976931348623157e308, from_bits(0x7FF8_0000_0000_0001), from_bits(0xFFF0_0000_0000_0001),
    1.0, 0.1,
]  # fmt: skip
FLOAT_EDGES = [
    0.0, -0.0, math.nan, math.inf, -math.inf, 1.401298464324817e-45, -1.401298464324817e-45,
    1.1754942106924411e-38, 1.1754943508222875e-38, 3.4028234663852886e38,
    -3.4028234663852886e38, f32(0.1), 16777217.0 - 1, from_bits(0x7FF8_0000_2000_0000),
]  # fmt: skip


def int_range(lo: int, hi: int) -> st.SearchStrategy[int]:
    edges = sorted({lo, hi, 0, 1, -1 if lo < 0 else 2, lo + 1, hi - 1, 127, 128, 16383, 16384})
    small = st.integers(max(lo, -300), min(hi, 300))
    return st.one_of(
        st.sampled_from([e for e in edges if lo <= e <= hi]), small, st.integers(lo, hi)
    )


I32 = (-(2**31), 2**31 - 1)
I64 = (-(2**63), 2**63 - 1)
U32 = (0, 2**32 - 1)
U64 = (0, 2**64 - 1)
INT_RANGES = {
    FD.TYPE_INT32: I32, FD.TYPE_SINT32: I32, FD.TYPE_SFIXED32: I32,
    FD.TYPE_INT64: I64, FD.TYPE_SINT64: I64, FD.TYPE_SFIXED64: I64,
    FD.TYPE_UINT32: U32, FD.TYPE_FIXED32: U32, FD.TYPE_UINT64: U64, FD.TYPE_FIXED64: U64,
}  # fmt: skip

TEXT = st.one_of(
    st.sampled_from(["", "a", "é", "\U0001f642", "\x00", "\u2028", "x" * 200]),
    st.text(max_size=12),
)
BIG = bytes(range(256)) * 40
BYTES = st.one_of(
    st.sampled_from([b"", b"\x00", b"\xff" * 3]),
    st.binary(max_size=16),
    st.integers(128, len(BIG)).map(lambda n: BIG[:n]),
)


def scalar_strategy(field: FieldDescriptor) -> st.SearchStrategy[Any]:
    kind = field.type
    if kind == FD.TYPE_DOUBLE:
        return st.one_of(st.sampled_from(DOUBLE_EDGES), st.floats())
    if kind == FD.TYPE_FLOAT:
        return st.one_of(st.sampled_from(FLOAT_EDGES), st.floats(width=32))
    if kind == FD.TYPE_BOOL:
        return st.booleans()
    if kind == FD.TYPE_STRING:
        return TEXT
    if kind == FD.TYPE_BYTES:
        return BYTES
    if kind == FD.TYPE_ENUM:
        numbers = [v.number for v in field.enum_type.values]
        if field.enum_type.is_closed:
            return st.sampled_from(numbers)
        # Open enums carry any int32, known or not.
        return st.one_of(st.sampled_from(numbers), int_range(*I32))
    return int_range(*INT_RANGES[kind])


def value_strategy(field: FieldDescriptor, depth: int) -> st.SearchStrategy[Any] | None:
    """One element of the field (None when the recursion budget is spent)."""
    if is_message(field):
        if depth <= 0:
            return None
        return content_strategy(field.message_type, depth - 1)
    return scalar_strategy(field)


def field_strategy(field: FieldDescriptor, depth: int) -> st.SearchStrategy[Any] | None:
    if is_map(field):
        key_field, value_field = field.message_type.fields
        values = value_strategy(value_field, depth)
        if values is None:
            return None
        return st.dictionaries(scalar_strategy(key_field), values, max_size=3)
    element = value_strategy(field, depth)
    if element is None:
        return None
    if field.is_repeated:
        return st.lists(element, max_size=3 if is_message(field) else 4)
    return element


@functools.cache
def content_strategy(desc: Descriptor, depth: int) -> st.SearchStrategy[dict[str, Any]]:
    """Content of one message: each field appears or not, one member per oneof at most."""
    optional: dict[str, st.SearchStrategy[Any]] = {}
    oneofs: dict[str, list[st.SearchStrategy[tuple[str, Any]]]] = {}
    for field in desc.fields:
        strategy = field_strategy(field, depth)
        if strategy is None:
            continue
        oneof = real_oneof(field)
        if oneof is None:
            optional[field.name] = strategy
        else:
            oneofs.setdefault(oneof.name, []).append(st.tuples(st.just(field.name), strategy))
    plain = st.fixed_dictionaries({}, optional=optional)
    if not oneofs:
        return plain
    chosen = st.fixed_dictionaries(
        {}, optional={name: st.one_of(members) for name, members in oneofs.items()}
    )

    def join(parts: tuple[dict[str, Any], dict[str, tuple[str, Any]]]) -> dict[str, Any]:
        fields, picks = parts
        return fields | dict(picks.values())

    return st.tuples(plain, chosen).map(join)


# Building the same content in both runtimes.


def build_velum(desc: Descriptor, content: dict[str, Any]) -> Any:
    kwargs: dict[str, Any] = {}
    for name, value in content.items():
        field = desc.fields_by_name[name]
        converted = velum_value(field, value)
        oneof = real_oneof(field)
        if oneof is None:
            kwargs[name] = converted
        else:
            kwargs[oneof.name] = velum.Oneof(name, converted)
    return velum_class(desc)(**kwargs)


def velum_value(field: FieldDescriptor, value: Any) -> Any:
    if is_map(field):
        value_field = field.message_type.fields_by_name["value"]
        if is_message(value_field):
            return {k: build_velum(value_field.message_type, v) for k, v in value.items()}
        return dict(value)
    if is_message(field):
        if field.is_repeated:
            return [build_velum(field.message_type, v) for v in value]
        return build_velum(field.message_type, value)
    return list(value) if field.is_repeated else value


def fill_pb(msg: Any, content: dict[str, Any]) -> Any:
    for name, value in content.items():
        field = msg.DESCRIPTOR.fields_by_name[name]
        target = getattr(msg, name) if field.is_repeated or is_message(field) else None
        if is_map(field):
            if is_message(field.message_type.fields_by_name["value"]):
                for key, item in value.items():
                    fill_pb(target[key], item)
            else:
                target.update(value)
        elif field.is_repeated:
            if is_message(field):
                for item in value:
                    fill_pb(target.add(), item)
            else:
                target.extend(value)
        elif is_message(field):
            target.SetInParent()
            fill_pb(target, value)
        else:
            setattr(msg, name, value)
    return msg


def build_pb(desc: Descriptor, content: dict[str, Any]) -> Any:
    return fill_pb(pb_class(desc)(), content)


# Canonical content: one comparable structure per message, whichever runtime holds it.
# Floats compare by bit pattern (so -0.0 differs from 0.0) except that NaN is NaN.


def canon_scalar(field: FieldDescriptor, value: Any) -> Any:
    kind = field.type
    if kind in (FD.TYPE_DOUBLE, FD.TYPE_FLOAT):
        assert type(value) is float, (field.full_name, value)
        return "nan" if math.isnan(value) else struct.pack("<d", value)
    if kind == FD.TYPE_ENUM:
        assert isinstance(value, int), (field.full_name, value)
        return int(value)
    expected = {FD.TYPE_BOOL: bool, FD.TYPE_STRING: str, FD.TYPE_BYTES: bytes}.get(kind, int)
    assert type(value) is expected, (field.full_name, value)
    return value


def canon_value(field: FieldDescriptor, value: Any, side: Side) -> Any:
    if is_message(field):
        return canon(field.message_type, value, side)
    return canon_scalar(field, value)


class Side:
    """How to read one runtime's messages."""

    def value(self, msg: Any, field: FieldDescriptor) -> Any:
        return getattr(msg, field.name)

    def has(self, msg: Any, field: FieldDescriptor) -> bool:
        raise NotImplementedError

    def oneof(self, msg: Any, oneof: Any) -> tuple[str, Any] | None:
        raise NotImplementedError


class PbSide(Side):
    def has(self, msg: Any, field: FieldDescriptor) -> bool:
        return msg.HasField(field.name)

    def oneof(self, msg: Any, oneof: Any) -> tuple[str, Any] | None:
        name = msg.WhichOneof(oneof.name)
        return None if name is None else (name, getattr(msg, name))


class VelumSide(Side):
    def has(self, msg: Any, field: FieldDescriptor) -> bool:
        if is_message(field):
            return getattr(msg, field.name) is not None
        return msg.has_field(field.name)

    def oneof(self, msg: Any, oneof: Any) -> tuple[str, Any] | None:
        held = getattr(msg, oneof.name)
        if held is None:
            return None
        assert isinstance(held, velum.Oneof)
        return held.field, held.value


PB, VELUM = PbSide(), VelumSide()


def canon(desc: Descriptor, msg: Any, side: Side) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for oneof in {real_oneof(field) for field in desc.fields} - {None}:
        chosen = side.oneof(msg, oneof)
        if chosen is not None:
            member = desc.fields_by_name[chosen[0]]
            out[oneof.name] = (chosen[0], canon_value(member, chosen[1], side))
    for field in desc.fields:
        if real_oneof(field) is not None:
            continue
        if is_map(field):
            value_field = field.message_type.fields_by_name["value"]
            held = side.value(msg, field)
            out[field.name] = {k: canon_value(value_field, v, side) for k, v in held.items()}
        elif field.is_repeated:
            out[field.name] = [canon_value(field, v, side) for v in side.value(msg, field)]
        elif field.has_presence:
            if side.has(msg, field):
                out[field.name] = canon_value(field, side.value(msg, field), side)
            else:
                out[field.name] = None
                if not is_message(field):  # an absent field reads as its default
                    default = canon_scalar(field, side.value(msg, field))
                    assert default == canon_scalar(field, field.default_value), field.full_name
        else:
            out[field.name] = canon_value(field, side.value(msg, field), side)
    return out


def canon_pb(msg: Any) -> dict[str, Any]:
    return canon(msg.DESCRIPTOR, msg, PB)


def canon_velum(desc: Descriptor, msg: Any) -> dict[str, Any]:
    assert type(msg) is velum_class(desc)
    return canon(desc, msg, VELUM)


# The round trips.


def check_both_ways(name: str, content: dict[str, Any], *, same_bytes: bool) -> None:
    desc = pb_desc(name)
    ours = build_velum(desc, content)
    theirs = build_pb(desc, content)
    expected = canon_pb(theirs)
    assert canon_velum(desc, ours) == expected

    # velum encodes, protobuf decodes.
    data = ours.to_binary()
    if same_bytes:
        assert data == theirs.SerializeToString()
    parsed = pb_class(desc).FromString(data)
    assert canon_pb(parsed) == expected
    assert len(UnknownFieldSet(parsed)) == 0

    # protobuf encodes, velum decodes (and encodes again).
    reference = theirs.SerializeToString(deterministic=True)
    decoded = velum_class(desc).from_binary(reference)
    assert canon_velum(desc, decoded) == expected
    assert decoded._unknown_fields in (None, {})
    again = decoded.to_binary()
    if same_bytes:
        assert again == reference
    else:
        assert pb_class(desc).FromString(again).SerializeToString(deterministic=True) == reference


@diff_settings(300)
@given(content_strategy(pb_desc(f"{P3}.Flat"), 1))
def test_flat_scalars_in_every_shape(content: dict[str, Any]) -> None:
    check_both_ways(f"{P3}.Flat", content, same_bytes=True)


@diff_settings(120)
@given(content_strategy(pb_desc(f"{P3}.Node"), 3))
def test_recursive_messages(content: dict[str, Any]) -> None:
    check_both_ways(f"{P3}.Node", content, same_bytes=True)


@diff_settings(300)
@given(content_strategy(pb_desc(f"{P3}.Maps"), 1))
def test_maps_of_every_key_type(content: dict[str, Any]) -> None:
    check_both_ways(f"{P3}.Maps", content, same_bytes=False)


@diff_settings(400)
@given(content_strategy(pb_desc(f"{P2}.Legacy"), 2))
def test_proto2_groups_closed_enums_and_defaults(content: dict[str, Any]) -> None:
    check_both_ways(f"{P2}.Legacy", content, same_bytes=True)


# Unknown fields: what a reduced schema does not know passes through byte for byte.


def unknown_numbers(msg: Any) -> set[int]:
    return {field.field_number for field in UnknownFieldSet(msg)}


REDUCED_CASES = [
    (f"{P3}.Flat", f"{P3}.FlatReduced", 1),
    (f"{P3}.Node", f"{P3}.NodeReduced", 2),
    (f"{P2}.Legacy", f"{P2}.LegacyReduced", 2),
]


@diff_settings(400)
@given(
    st.sampled_from(REDUCED_CASES).flatmap(
        lambda case: st.tuples(st.just(case), content_strategy(pb_desc(case[0]), case[2]))
    )
)
def test_unknown_fields_survive_a_reduced_schema(
    case: tuple[tuple[str, str, int], dict[str, Any]],
) -> None:
    (full_name, reduced_name, _), content = case
    full, reduced = pb_desc(full_name), pb_desc(reduced_name)
    data = build_pb(full, content).SerializeToString()
    theirs = pb_class(reduced).FromString(data)
    ours = velum_class(reduced).from_binary(data)
    assert canon_velum(reduced, ours) == canon_pb(theirs)
    assert set(ours._unknown_fields or {}) == unknown_numbers(theirs)

    # Known fields first, then the unknown records in arrival order, in both runtimes.
    again = ours.to_binary()
    assert again == theirs.SerializeToString()
    assert canon_pb(pb_class(full).FromString(again)) == canon_pb(build_pb(full, content))

    dropped = velum_class(reduced)()
    dropped.merge_from_binary(data, ignore_unknown_fields=True)
    assert dropped._unknown_fields in (None, {})
    theirs.DiscardUnknownFields()
    assert dropped.to_binary() == theirs.SerializeToString()
    if full_name.endswith("Flat"):  # no nested messages hold unknown records
        assert ours.to_binary(write_unknown_fields=False) == theirs.SerializeToString()


# Closed enums: numbers outside the enum go to the unknown records, in every shape.

CLOSED_NUMBERS = st.one_of(st.sampled_from([0, 1, 2, 5, 7, 9, -2, -3, 99]), int_range(*I32))


@diff_settings(500)
@given(
    st.fixed_dictionaries(
        {},
        optional={
            "c": CLOSED_NUMBERS,
            "rc": st.lists(CLOSED_NUMBERS, max_size=5),
            "pc": st.lists(CLOSED_NUMBERS, max_size=5),
            "mc": st.dictionaries(int_range(*I32), CLOSED_NUMBERS, max_size=4),
        },
    )
)
def test_closed_enum_numbers_outside_the_enum(content: dict[str, Any]) -> None:
    twin, holder = pb_desc(f"{P2}.OpenTwin"), pb_desc(f"{P2}.ClosedHolder")
    data = build_pb(twin, content).SerializeToString()
    theirs = pb_class(holder).FromString(data)
    ours = velum_class(holder).from_binary(data)
    assert canon_velum(holder, ours) == canon_pb(theirs)
    assert set(ours._unknown_fields or {}) == unknown_numbers(theirs)
    # Read back through the twin, the rejected numbers follow the accepted ones alike.
    back = pb_class(twin).FromString
    assert canon_pb(back(ours.to_binary())) == canon_pb(back(theirs.SerializeToString()))


# Extensions: stored as records by velum, as fields by protobuf.


@functools.cache
def extensions() -> tuple[FieldDescriptor, ...]:
    file = env()[1].FindFileByName("test_differential_proto2.proto")
    return tuple(sorted(file.extensions_by_name.values(), key=lambda ext: ext.number))


def set_pb_extension(msg: Any, ext: FieldDescriptor, value: Any) -> None:
    if ext.is_repeated:
        held = msg.Extensions[ext]
        if is_message(ext):
            for item in value:
                fill_pb(held.add(), item)
        else:
            held.extend(value)
    elif is_message(ext):
        msg.Extensions[ext].SetInParent()
        fill_pb(msg.Extensions[ext], value)
    else:
        msg.Extensions[ext] = value


def canon_extensions(read: Callable[[FieldDescriptor], Any], side: Side) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for ext in extensions():
        value = read(ext)
        if ext.is_repeated:
            out[ext.name] = [canon_value(ext, v, side) for v in value]
        else:
            out[ext.name] = None if value is None else canon_value(ext, value, side)
    return out


def pb_extensions(msg: Any) -> dict[str, Any]:
    def read(ext: FieldDescriptor) -> Any:
        if ext.is_repeated:
            return msg.Extensions[ext]
        return msg.Extensions[ext] if msg.HasExtension(ext) else None

    return canon_extensions(read, PB)


def velum_extensions(msg: Any) -> dict[str, Any]:
    registry = env()[0]

    def read(ext: FieldDescriptor) -> Any:
        key = registry.extension(ext.full_name)
        if ext.is_repeated:
            return msg[key]
        if key not in msg:
            return None
        return msg[key]

    return canon_extensions(read, VELUM)


@functools.cache
def extension_strategy() -> st.SearchStrategy[dict[str, Any]]:
    optional = {ext.full_name: field_strategy(ext, 1) for ext in extensions()}
    return st.fixed_dictionaries({}, optional=optional)  # type: ignore[arg-type]


@diff_settings(400)
@given(content_strategy(pb_desc(f"{P2}.Legacy"), 0), extension_strategy())
def test_extensions(base: dict[str, Any], values: dict[str, Any]) -> None:
    desc = pb_desc(f"{P2}.Legacy")
    registry, pool = env()
    ours, theirs = build_velum(desc, base), build_pb(desc, base)
    for name, value in values.items():
        ext = pool.FindExtensionByName(name)
        ours[registry.extension(name)] = velum_value(ext, value)
        set_pb_extension(theirs, ext, value)
    expected = pb_extensions(theirs)
    assert velum_extensions(ours) == expected

    data = ours.to_binary()
    assert data == theirs.SerializeToString()
    parsed = pb_class(desc).FromString(data)
    assert (canon_pb(parsed), pb_extensions(parsed)) == (canon_pb(theirs), expected)

    decoded = velum_class(desc).from_binary(theirs.SerializeToString())
    assert (canon_velum(desc, decoded), velum_extensions(decoded)) == (canon_pb(theirs), expected)
    assert decoded.to_binary() == data


# Decoding beyond one canonical encoding: swapped packing, repeated records, merging.


@diff_settings(250)
@given(content_strategy(pb_desc(f"{P3}.FlatSwapped"), 0))
def test_lists_decode_packed_and_unpacked_alike(content: dict[str, Any]) -> None:
    swapped, flat = pb_desc(f"{P3}.FlatSwapped"), pb_desc(f"{P3}.Flat")
    data = build_pb(swapped, content).SerializeToString()
    theirs = pb_class(flat).FromString(data)
    ours = velum_class(flat).from_binary(data)
    assert canon_velum(flat, ours) == canon_pb(theirs)
    assert ours.to_binary() == theirs.SerializeToString()


MERGE_CASES = [(f"{P3}.Flat", 1), (f"{P3}.Node", 2), (f"{P3}.Maps", 1), (f"{P2}.Legacy", 1)]


def contents_of_one_type(count: int) -> st.SearchStrategy[tuple[str, list[dict[str, Any]]]]:
    return st.sampled_from(MERGE_CASES).flatmap(
        lambda case: st.tuples(
            st.just(case[0]),
            st.lists(content_strategy(pb_desc(case[0]), case[1]), min_size=2, max_size=count),
        )
    )


@diff_settings(220)
@given(contents_of_one_type(3))
def test_concatenated_encodings_merge_alike(case: tuple[str, list[dict[str, Any]]]) -> None:
    name, contents = case
    desc = pb_desc(name)
    pieces = [build_pb(desc, content).SerializeToString() for content in contents]
    theirs = pb_class(desc).FromString(b"".join(pieces))
    expected = canon_pb(theirs)
    assert canon_velum(desc, velum_class(desc).from_binary(b"".join(pieces))) == expected

    stepwise = velum_class(desc)()
    for piece in pieces:
        stepwise.merge_from_binary(piece)
    assert canon_velum(desc, stepwise) == expected

    merged = build_velum(desc, contents[0])
    for content in contents[1:]:
        merged.merge_from(build_velum(desc, content))
    pairs = [(a, b) for i, a in enumerate(contents) for b in contents[i + 1 :]]
    if not any(oneof_messages_meet(desc, a, b) for a, b in pairs):
        assert canon_velum(desc, merged) == expected


def oneof_messages_meet(desc: Descriptor, a: dict[str, Any], b: dict[str, Any]) -> bool:
    """Whether merging b into a meets the same oneof message member on both sides."""
    for name in a.keys() & b.keys():
        field = desc.fields_by_name[name]
        if not is_message(field) or field.is_repeated:
            continue
        if real_oneof(field) is not None:
            return True
        if oneof_messages_meet(field.message_type, a[name], b[name]):
            return True
    return False


def test_merge_from_merges_a_oneof_message_member() -> None:
    # merge_from merges a oneof's message member into the one already held, as
    # protobuf's MergeFrom and both runtimes' decoding of concatenated encodings do.
    desc = pb_desc(f"{P3}.Node")
    first, second = {"pick_node": {"value": 3}}, {"pick_node": {"left": {}}}
    ours = build_velum(desc, first)
    ours.merge_from(build_velum(desc, second))
    theirs = build_pb(desc, first)
    theirs.MergeFrom(build_pb(desc, second))
    assert (ours.pick.value.value, theirs.pick_node.value) == (3, 3)
    assert canon_velum(desc, ours) == canon_pb(theirs)
    data = build_pb(desc, first).SerializeToString() + build_pb(desc, second).SerializeToString()
    assert canon_velum(desc, velum_class(desc).from_binary(data)) == canon_pb(theirs)


# Float fields hold doubles; the encoder narrows them as protobuf does on assignment.

FLOAT32_OVERFLOW = 3.4028235677973366e38  # the first magnitude that rounds to infinity


@diff_settings(300)
@given(st.one_of(st.sampled_from([FLOAT32_OVERFLOW, 3.4028235677973362e38, 1e-46]), st.floats()))
def test_doubles_in_float_fields_are_narrowed(value: float) -> None:
    desc = pb_desc(f"{P3}.Flat")
    fields = {"f_float": value, "o_float": value, "p_float": [value, value], "u_float": [value]}
    ours = build_velum(desc, fields)
    if math.isfinite(value) and abs(value) >= FLOAT32_OVERFLOW:
        with pytest.raises(OverflowError, match="out of range for float32"):
            ours.to_binary()
        return
    theirs = build_pb(desc, fields)
    data = ours.to_binary()
    if value != 0 and struct.pack("<f", value) == bytes(4):
        # An implicit float is skipped when the double is zero, before narrowing, so a
        # tiny positive value is written as 0.0 where protobuf writes nothing.
        assert data == b"\x15" + bytes(4) + theirs.SerializeToString()
    else:
        assert data == theirs.SerializeToString()
    assert canon_pb(pb_class(desc).FromString(data)) == canon_pb(theirs)


# Non-canonical encodings: the records with padded varints (tags, lengths, values,
# end-group tags), shuffled, some dropped and some repeated, at every nesting level
# (map entries included). Whatever that does to the content, both runtimes must read it
# alike.

Record = tuple[int, int, Any]  # field number, wire type, value (int, bytes or records)
VARINT_TYPES = {
    FD.TYPE_INT32, FD.TYPE_INT64, FD.TYPE_UINT32, FD.TYPE_UINT64, FD.TYPE_SINT32,
    FD.TYPE_SINT64, FD.TYPE_BOOL, FD.TYPE_ENUM,
}  # fmt: skip


def read_varint(data: bytes, pos: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def varint(value: int, extra: int = 0) -> bytes:
    """A varint in `extra` more bytes than it needs (continuation bits over zero groups)."""
    out = bytearray()
    while True:
        out.append(value & 0x7F)
        value >>= 7
        if not value:
            break
        out[-1] |= 0x80
    if extra > 0:
        out[-1] |= 0x80
        out += b"\x80" * (extra - 1) + b"\x00"
    return bytes(out)


def padded_varint(value: int, rng: Any, limit: int) -> bytes:
    """Sometimes padded, never longer than `limit` bytes."""
    room = limit - len(varint(value))
    return varint(value, min(rng.choice([0, 0, 1, 2, 5]), room))


def split_records(data: bytes, pos: int = 0, group: int | None = None) -> tuple[list[Record], int]:
    records: list[Record] = []
    while pos < len(data):
        tag, pos = read_varint(data, pos)
        number, wire = tag >> 3, tag & 7
        if wire == 0:
            value, pos = read_varint(data, pos)
        elif wire in (1, 5):
            size = 8 if wire == 1 else 4
            value, pos = data[pos : pos + size], pos + size
        elif wire == 2:
            size, pos = read_varint(data, pos)
            value, pos = data[pos : pos + size], pos + size
        elif wire == 3:
            value, pos = split_records(data, pos, number)
        else:
            assert number == group
            return records, pos
        records.append((number, wire, value))
    assert group is None
    return records, pos


def copies(desc: Descriptor | None, number: int) -> list[int]:
    """How often a record may appear in the rewritten form (0 drops it)."""
    entry = desc is not None and desc.GetOptions().map_entry
    if entry and number == 2 and is_message(desc.fields_by_number[2]):
        return [1, 1, 1, 0]  # a repeated message value: see the test below
    return [1, 1, 1, 1, 1, 1, 1, 0, 2]


def rewrite(desc: Descriptor | None, records: list[Record], rng: Any) -> bytes:
    records = [r for r in records for _ in range(rng.choice(copies(desc, r[0])))]
    rng.shuffle(records)
    out = bytearray()
    for number, wire, value in records:
        field = desc.fields_by_number.get(number) if desc is not None else None
        out += padded_varint(number << 3 | wire, rng, 5)
        if wire == 0:
            out += padded_varint(value, rng, 10)
        elif wire in (1, 5):
            out += value
        elif wire == 2:
            if field is not None and field.type == FD.TYPE_MESSAGE:
                value = rewrite(field.message_type, split_records(value)[0], rng)
            elif field is not None and field.type in VARINT_TYPES:  # packed
                items, pos = [], 0
                while pos < len(value):
                    item, pos = read_varint(value, pos)
                    items.append(padded_varint(item, rng, 10))
                value = b"".join(items)
            out += padded_varint(len(value), rng, 5) + value
        else:
            inner = field.message_type if field is not None else None
            out += rewrite(inner, value, rng) + padded_varint(number << 3 | 4, rng, 5)
    return bytes(out)


@diff_settings(250)
@given(
    st.sampled_from(MERGE_CASES).flatmap(
        lambda case: st.tuples(st.just(case[0]), content_strategy(pb_desc(case[0]), case[1]))
    ),
    st.randoms(use_true_random=False),
    st.sampled_from([bytes, bytearray, memoryview]),
)
def test_non_canonical_encodings_decode_alike(
    case: tuple[str, dict[str, Any]], rng: Any, kind: Callable[[bytes], Any]
) -> None:
    name, content = case
    desc = pb_desc(name)
    data = rewrite(desc, split_records(build_pb(desc, content).SerializeToString())[0], rng)
    theirs = pb_class(desc).FromString(data)
    ours = velum_class(desc).from_binary(kind(data))
    assert canon_velum(desc, ours) == canon_pb(theirs)
    assert ours._unknown_fields in (None, {})
    again = pb_class(desc).FromString(ours.to_binary())
    assert again.SerializeToString(deterministic=True) == theirs.SerializeToString(
        deterministic=True
    )


def test_repeated_message_value_in_a_map_entry_replaces_rather_than_merges() -> None:
    # A known divergence: velum decodes each occurrence of a map entry's message value
    # into a new instance, so the last one wins; protobuf merges them as it merges any
    # repeated occurrence of a singular message field.
    desc = pb_desc(f"{P3}.Maps")
    entry = b"\x0d" + bytes(4) + b"\x12\x02\x08\x05" + b"\x12\x03\x12\x01x"  # key 0, twice
    data = b"\xaa\x01" + bytes([len(entry)]) + entry  # k_fixed32_m
    ours = velum_class(desc).from_binary(data)
    theirs = pb_class(desc).FromString(data)
    assert canon_velum(desc, ours)["k_fixed32_m"] == {0: {"id": 0, "tag": "x"}}
    assert canon_pb(theirs)["k_fixed32_m"] == {0: {"id": 5, "tag": "x"}}


def test_closed_enum_extension_with_an_unknown_number_is_absent() -> None:
    registry, pool = env()
    data = b"\xd0\x06\x63"  # x_tone = 99, outside Tone
    ours = velum_class(pb_desc(f"{P2}.Legacy")).from_binary(data)
    theirs = pb_class(pb_desc(f"{P2}.Legacy")).FromString(data)
    assert not theirs.HasExtension(pool.FindExtensionByName(f"{P2}.x_tone"))
    assert ours.to_binary() == data == theirs.SerializeToString()
    key = registry.extension(f"{P2}.x_tone")
    assert ours[key] == 1  # the default, as protobuf reads it
    assert key not in ours


@pytest.mark.parametrize("tag", [b"\x12", b"\x1a", b"\x22"], ids=["left", "kids", "pick_node"])
@pytest.mark.parametrize("depth", [100, 101])
def test_both_runtimes_stop_nesting_at_the_same_depth(tag: bytes, depth: int) -> None:
    desc = pb_desc(f"{P3}.Node")
    data = b"\x08\x02"
    for _ in range(depth):
        data = tag + varint(len(data)) + data
    if depth <= 100:
        ours = velum_class(desc).from_binary(data)
        assert canon_velum(desc, ours) == canon_pb(pb_class(desc).FromString(data))
        assert ours.to_binary() == data
        return
    with pytest.raises(Exception, match="MaxDepth"):
        pb_class(desc).FromString(data)
    with pytest.raises(
        RecursionError, match="^exceeded maximum recursion depth 100 while parsing message$"
    ):
        velum_class(desc).from_binary(data)


def length_delimited(number: int, payload: bytes) -> bytes:
    return varint(number << 3 | 2) + varint(len(payload)) + payload


BAD_UTF8 = [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xe2\x82", b"ok\xf4\x90\x80\x80"]
STRING_PLACES = {
    "singular": (f"{P3}.Flat", lambda s: length_delimited(9, s)),
    "list": (f"{P3}.Flat", lambda s: length_delimited(69, b"") + length_delimited(69, s)),
    "oneof": (f"{P3}.Flat", lambda s: length_delimited(92, s)),
    "nested": (f"{P3}.Flat", lambda s: length_delimited(17, length_delimited(2, s))),
    "map key": (f"{P3}.Maps", lambda s: length_delimited(34, length_delimited(1, s))),
    "map value": (f"{P3}.Maps", lambda s: length_delimited(34, length_delimited(2, s))),
}


@pytest.mark.parametrize("bad", BAD_UTF8)
@pytest.mark.parametrize("place", STRING_PLACES)
def test_invalid_utf8_in_proto3_strings_is_refused_by_both(place: str, bad: bytes) -> None:
    name, encode = STRING_PLACES[place]
    data = encode(bad)
    with pytest.raises(Exception, match="bad UTF-8"):
        pb_class(pb_desc(name)).FromString(data)
    with pytest.raises(UnicodeDecodeError):
        velum_class(pb_desc(name)).from_binary(data)
