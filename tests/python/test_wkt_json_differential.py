"""Differential tests of the well-known types' JSON forms against protobuf's json_format.

Random Holder messages put every well-known type in every position (singular, repeated,
map value, oneof member, Any payloads of user and well-known types). Each message goes
both ways: protobuf's JSON read by velum, and velum's JSON read by protobuf. The value
trees of both writers are compared as well. Messages are compared through json_format's
MessageToDict, which unpacks Any payloads, so that the order of map entries inside a
packed payload's bytes does not count.

VELUM_DIFF_RANDOM and VELUM_DIFF_SCALE work as in test_differential.py.

Differences normalised here, each deliberate:
- FloatValue: json_format prints the shortest text that survives float32 rounding,
  velum prints the double it holds (0.1 in a float field is 0.10000000149011612); both
  are compared after rounding to float32.
- Repeated NullValue fields are left out: json_format writes them as [null] but refuses
  to read that back (velum reads it).
- Any type URLs: velum's reader stores "type.googleapis.com/" and the packed type's full
  name whatever prefix "@type" had, where json_format keeps the URL as written; the
  messages generated here use that prefix, so both agree.
- Value.number_value and DoubleValue holding a whole number: json_format may give an int
  where velum gives the float; Python equality already treats 1 and 1.0 alike.
"""

from __future__ import annotations

import functools
import json
import math
import struct
from typing import Any

from conftest import compile_protos, diff_settings
from google.protobuf import descriptor_pb2, descriptor_pool, json_format, message_factory
from hypothesis import given
from hypothesis import strategies as st

import velum

PKG = "velum.test.wktjson"
SETTINGS = diff_settings(120)


@functools.cache
def env() -> tuple[velum.Registry, descriptor_pool.DescriptorPool]:
    data = compile_protos("test_wkt_json.proto")
    registry = velum.Registry()
    registry.add_file_set(data)
    pool = descriptor_pool.DescriptorPool()
    for file in descriptor_pb2.FileDescriptorSet.FromString(data).file:
        pool.Add(file)
    return registry, pool


def pb(name: str) -> Any:
    return message_factory.GetMessageClass(env()[1].FindMessageTypeByName(name))


def to_dict(msg: Any) -> Any:
    return json_format.MessageToDict(msg, descriptor_pool=env()[1])


# Content strategies.

TIMESTAMP = st.tuples(
    st.integers(-62135596800, 253402300799),
    st.sampled_from([0, 1, 5000, 5000000, 120000000, 999999999]) | st.integers(0, 999999999),
)


@st.composite
def durations(draw: st.DrawFn) -> tuple[int, int]:
    seconds = draw(st.integers(-315576000000, 315576000000))
    nanos = draw(st.integers(0, 999999999))
    if seconds < 0 or (seconds == 0 and draw(st.booleans())):
        nanos = -nanos
    return seconds, nanos


SEGMENT = st.from_regex(r"[a-z][a-z0-9]{0,4}(_[a-z][a-z0-9]{0,3}){0,2}", fullmatch=True)
PATHS = st.lists(st.lists(SEGMENT, min_size=1, max_size=2).map(".".join), max_size=3)
JSON_VALUES = st.recursive(
    st.none()
    | st.booleans()
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=5),
    lambda inner: (
        st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3)
    ),
    max_leaves=8,
)
WRAPPERS: dict[str, tuple[str, st.SearchStrategy[Any]]] = {
    "d": ("DoubleValue", st.floats(allow_infinity=False)),
    # Up to the largest float32, which json_format writes as 3.4028235e+38: a double
    # just above it that still rounds to it.
    "f": ("FloatValue", st.floats(width=32, allow_nan=False, allow_infinity=False)),
    "i64": ("Int64Value", st.integers(-(2**63), 2**63 - 1)),
    "u64": ("UInt64Value", st.integers(0, 2**64 - 1)),
    "i32": ("Int32Value", st.integers(-(2**31), 2**31 - 1)),
    "u32": ("UInt32Value", st.integers(0, 2**32 - 1)),
    "b": ("BoolValue", st.booleans()),
    "s": ("StringValue", st.text(max_size=5)),
    "by": ("BytesValue", st.binary(max_size=5)),
}


def fill_wkt(draw: st.DrawFn, msg: Any, depth: int = 0) -> None:
    """Random content for a well-known message `msg` (a protobuf instance)."""
    name = msg.DESCRIPTOR.full_name.removeprefix("google.protobuf.")
    if name == "Timestamp":
        msg.seconds, msg.nanos = draw(TIMESTAMP)
    elif name == "Duration":
        msg.seconds, msg.nanos = draw(durations())
    elif name == "FieldMask":
        msg.paths.extend(draw(PATHS))
    elif name == "Struct":
        json_format.ParseDict(
            draw(st.dictionaries(st.text(max_size=4), JSON_VALUES, max_size=3)), msg
        )
    elif name == "ListValue":
        json_format.ParseDict(draw(st.lists(JSON_VALUES, max_size=3)), msg)
    elif name == "Value":
        json_format.ParseDict(draw(JSON_VALUES), msg)
    elif name == "Any":
        fill_any(draw, msg, depth)
    elif name == "Empty":
        pass
    else:
        msg.value = draw(
            next(strategy for type_name, strategy in WRAPPERS.values() if type_name == name)
        )


PAYLOADS = [
    "Leaf",
    "Timestamp",
    "Duration",
    "FieldMask",
    "Struct",
    "Value",
    "ListValue",
    "Any",
    "Empty",
]
PAYLOADS += [type_name for type_name, _ in WRAPPERS.values()]


def fill_any(draw: st.DrawFn, msg: Any, depth: int) -> None:
    if draw(st.integers(0, 9)) == 0:
        return  # an empty Any
    choice = draw(st.sampled_from(PAYLOADS if depth < 2 else PAYLOADS[:-1]))
    if choice == "Leaf":
        payload = pb(f"{PKG}.Leaf")()
        payload.a = draw(st.integers(-5, 5))
        payload.s = draw(st.text(max_size=3))
        payload.r.extend(draw(st.lists(st.integers(-(2**63), 2**63 - 1), max_size=2)))
        if depth < 2 and draw(st.booleans()):
            fill_any(draw, payload.any, depth + 1)
    else:
        payload = pb(f"google.protobuf.{choice}")()
        fill_wkt(draw, payload, depth + 1)
    msg.type_url = "type.googleapis.com/" + payload.DESCRIPTOR.full_name
    msg.value = payload.SerializeToString(deterministic=True)


SINGULAR = ["ts", "dur", "mask", "st", "val", "lv", "any", "empty", *WRAPPERS]
ONEOF = ["o_ts", "o_val", "o_any", "o_i64", "o_st", "o_null"]


@st.composite
def holders(draw: st.DrawFn) -> Any:
    msg = pb(f"{PKG}.Holder")()
    for name in draw(st.lists(st.sampled_from(SINGULAR), max_size=5, unique=True)):
        fill_wkt(draw, getattr(msg, name))
    for name in ("tss", "anys", "vals", "i32s", "durs"):
        for _ in range(draw(st.integers(0, 2))):
            fill_wkt(draw, getattr(msg, name).add())
    for key in draw(st.lists(st.text(max_size=3), max_size=2)):
        fill_wkt(draw, msg.vmap[key])
        fill_wkt(draw, msg.amap[key])
        fill_wkt(draw, msg.smap[key])
        fill_wkt(draw, msg.mmap[key])
    for key in draw(st.lists(st.integers(-(2**31), 2**31 - 1), max_size=2)):
        fill_wkt(draw, msg.tmap[key])
    member = draw(st.sampled_from([None, *ONEOF]))
    if member == "o_null":
        msg.o_null = 0
    elif member is not None:
        fill_wkt(draw, getattr(msg, member))
    return msg


# Normalisation of the documented differences.


def float32(x: Any) -> Any:
    return (
        struct.unpack("<f", struct.pack("<f", x))[0]
        if isinstance(x, float) and math.isfinite(x)
        else x
    )


def normalised(tree: Any, float_field: bool = False) -> Any:
    """The tree with every FloatValue (the field f, Any payloads) rounded to float32."""
    if isinstance(tree, list):
        return [normalised(item) for item in tree]
    if not isinstance(tree, dict):
        return float32(tree) if float_field else tree
    packs_float = str(tree.get("@type", "")).endswith("/google.protobuf.FloatValue")
    return {
        key: normalised(item, (key == "f" and not float_field) or (packs_float and key == "value"))
        for key, item in tree.items()
    }


@SETTINGS
@given(holders())
def test_protobuf_json_read_by_velum(msg: Any) -> None:
    registry, pool = env()
    text = json_format.MessageToJson(msg, descriptor_pool=pool)
    ours = registry.message_class(f"{PKG}.Holder").from_json(text, registry=registry)
    assert to_dict(type(msg).FromString(ours.to_binary())) == to_dict(msg)
    tree = registry.message_class(f"{PKG}.Holder")._from_json_value(
        json.loads(text), registry=registry
    )
    assert tree.to_binary() == ours.to_binary()  # NaN never equals itself


@SETTINGS
@given(holders())
def test_velum_json_read_by_protobuf(msg: Any) -> None:
    registry, pool = env()
    ours = registry.message_class(f"{PKG}.Holder").from_binary(msg.SerializeToString())
    back = json_format.Parse(ours.to_json(registry=registry), type(msg)(), descriptor_pool=pool)
    assert normalised(to_dict(back)) == normalised(to_dict(msg))
    assert normalised(ours._to_json_value(registry=registry)) == normalised(to_dict(msg))
