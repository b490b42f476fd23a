"""Decoder fast paths: new instances filled after the records, expected-field dispatch, runs."""

from __future__ import annotations

import gc
import random
import re
from collections.abc import Callable
from typing import Any

import pytest
from _velum_ext import NativeMessage
from conftest import compile_protos
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

import velum

FILES = ("test_decode_dispatch.proto", "test_decode_dispatch_proto2.proto")
RECORD_FIELDS = (
    "id", "name", "score", "retries", "colour", "inner", "tags", "children", "counters",
    "packed", "choice", "flag", "by_id",
)


def new_registry() -> velum.Registry:
    reg = velum.Registry()
    reg.add_file_set(compile_protos(*FILES))
    return reg


@pytest.fixture(scope="module")
def reg() -> velum.Registry:
    return new_registry()


@pytest.fixture(scope="module")
def pb() -> Callable[[str], Any]:
    pool = descriptor_pool.DescriptorPool()
    for file in descriptor_pb2.FileDescriptorSet.FromString(compile_protos(*FILES)).file:
        pool.Add(file)
    return lambda name: message_factory.GetMessageClass(pool.FindMessageTypeByName(name))


def records(pb: Callable[[str], Any]) -> list[bytes]:
    """One record per chunk, covering every shape, in field order."""
    record, inner = pb("velum.test.fast.Record"), pb("velum.test.fast.Inner")

    def one(**kwargs: Any) -> bytes:
        return record(**kwargs).SerializeToString()  # type: ignore[no-any-return]

    return [
        one(id=1 << 40), one(name="nâme"), one(score=2.5), one(retries=0), one(colour=2),
        one(inner=inner(a=1, c=[1, 2])), one(tags=["x"]), one(tags=["y"]),
        one(children=[inner(a=5)]), one(children=[inner(b="k")]),
        one(counters={"a": 1}), one(counters={"b": -2}), one(packed=[1, 300]),
        one(picked=inner(b="p")), one(flag=True), one(by_id={7: inner(a=7)}),
        one(inner=inner(b="merged")), one(id=-3),
    ]


def as_protobuf(pb: Callable[[str], Any], msg: Any) -> Any:
    return pb("velum.test.fast.Record").FromString(msg.to_binary())


ORDERS = {
    "forward": lambda n: list(range(n)),
    "reverse": lambda n: list(range(n))[::-1],
    "odd_then_even": lambda n: list(range(1, n, 2)) + list(range(0, n, 2)),
    "rotated": lambda n: list(range(7, n)) + list(range(7)),
}


@pytest.mark.parametrize("order", ORDERS)
def test_record_order_gives_the_protobuf_result(reg, pb, order) -> None:
    chunks = records(pb)
    data = b"".join(chunks[i] for i in ORDERS[order](len(chunks)))
    msg = reg.message_class("velum.test.fast.Record").from_binary(data)
    assert as_protobuf(pb, msg) == pb("velum.test.fast.Record").FromString(data)


@pytest.mark.parametrize(
    "picks",
    [
        ("picked_a", "label", "picked_b"),  # a member in between starts over
        ("picked_a", "picked_b"),  # the same member merges
        ("label", "picked_b", "label"),
    ],
)
def test_oneof_records_replace_or_merge(reg, pb, picks) -> None:
    record, inner = pb("velum.test.fast.Record"), pb("velum.test.fast.Inner")
    parts = {
        "picked_a": record(picked=inner(a=1, c=[4])),
        "picked_b": record(picked=inner(b="q", c=[5])),
        "label": record(label="z"),
    }
    data = b"".join(parts[p].SerializeToString() for p in picks)
    msg = reg.message_class("velum.test.fast.Record").from_binary(data)
    assert as_protobuf(pb, msg) == record.FromString(data)


def test_runs_of_one_field_end_at_another_field(reg) -> None:
    # tags, tags, name, tags; counters, counters, id, counters
    data = (
        b"\x3a\x01a\x3a\x01b\x12\x01n\x3a\x01c"
        b"\x4a\x05\x0a\x01k\x10\x01\x4a\x05\x0a\x01k\x10\x02\x08\x05\x4a\x05\x0a\x01j\x10\x03"
    )
    msg = reg.message_class("velum.test.fast.Record").from_binary(data)
    assert (msg.tags, msg.name, msg.counters, msg.id) == (["a", "b", "c"], "n", {"k": 2, "j": 3}, 5)


def test_padded_tags_take_the_general_path(reg) -> None:
    # name's tag 0x12 and tags' tag 0x3a in two bytes each
    data = b"\x92\x00\x01n\x3a\x01a\xba\x00\x01b"
    msg = reg.message_class("velum.test.fast.Record").from_binary(data)
    assert (msg.name, msg.tags) == ("n", ["a", "b"])


@pytest.mark.parametrize(
    ("data", "given"),
    [
        (b"", {}),
        (b"\x08\x05", {"id": 5}),
        (b"\x3a\x01a", {"tags": ["a"]}),
        (b"\x62\x01z", {"choice": ("label", "z")}),
        (b"\x32\x02\x08\x01", {"inner": (1, "", [])}),
        (b"\x72\x04\x08\x01\x12\x00", {"by_id": {1: (0, "", [])}}),
    ],
    ids=["empty", "id", "tags", "label", "inner", "by_id"],
)
def test_fields_left_out_hold_their_defaults(reg, data, given) -> None:
    cls = reg.message_class("velum.test.fast.Record")
    msg, fresh = cls.from_binary(data), cls()

    def plain(value: Any) -> Any:
        if isinstance(value, NativeMessage):
            return (value.a, value.b, value.c)
        if isinstance(value, dict):
            return {k: plain(v) for k, v in value.items()}
        if type(value).__name__ == "Oneof":
            return (value.field, value.value)
        return value

    for name in RECORD_FIELDS:
        assert plain(getattr(msg, name)) == given.get(name, getattr(fresh, name)), name
    assert msg._present == []


def test_declared_defaults(reg) -> None:
    cls = reg.message_class("velum.test.fast2.WithDefaults")
    msg = cls.from_binary(b"\x1a\x02\x08\x01\x20\x03")  # child{count: 1}, items [3]
    assert (msg.count, msg.name, msg.ratio, msg.items, msg._present) == (42, "anon", 0.5, [3], [])
    child = msg.child
    assert (child.count, child.name, child.child, child._present) == (1, "anon", None, [1])


def live(cls: type) -> int:
    gc.collect()
    return sum(1 for obj in gc.get_objects() if type(obj) is cls)


BAD = [
    (b"\x08\x01\x12\x05ab", "unexpected end of buffer: needed 5 bytes but only 2 available"),
    (b"\x32\x04\x08\x01\x12\x09", "unexpected end of buffer: needed 9 bytes but only 0 available"),
    (b"\x42\x02\x08\x01\x42\x03\x1a\x01\xff", "invalid varint"),
    (b"\x72\x06\x08\x01\x12\x02\x08\xff", "invalid varint"),
    (b"\x5a\x02\x08\x01\x5a\x01\x0f", "invalid wire type: 7"),
]


@pytest.mark.parametrize(("data", "text"), BAD)
def test_failed_decode_leaves_no_instance_behind(reg, data, text) -> None:
    record = reg.message_class("velum.test.fast.Record")
    inner = reg.message_class("velum.test.fast.Inner")
    before = (live(record), live(inner))
    with pytest.raises(ValueError, match=f"^{re.escape(text)}$"):
        record.from_binary(data)
    assert (live(record), live(inner)) == before


@pytest.mark.parametrize(("data", "text"), BAD)
def test_failed_merge_leaves_a_readable_message(reg, data, text) -> None:
    msg = reg.message_class("velum.test.fast.Record")(name="kept")
    with pytest.raises(ValueError, match=f"^{re.escape(text)}$"):
        msg.merge_from_binary(data)
    for name in RECORD_FIELDS:
        getattr(msg, name)
    assert msg.name in ("kept", "")  # replaced only by a complete record
    msg.to_binary()


def test_instances_seen_during_decode_never_crash(reg) -> None:
    """Python code that runs mid-decode may find the instance in the making."""
    hooked = new_registry()
    record = hooked.message_class("velum.test.fast.Record")
    colour = hooked.enum_class("velum.test.fast.Colour")
    seen: list[str] = []
    original = colour._missing_.__func__

    def missing(klass, value):
        for obj in gc.get_objects():
            if type(obj) is record:
                for name in RECORD_FIELDS:
                    try:
                        getattr(obj, name)
                    except AttributeError as exc:
                        seen.append(str(exc))
        return original(klass, value)

    colour._missing_ = classmethod(missing)
    msg = record.from_binary(b"\x08\x01\x28\x09\x12\x01n")  # colour 9 is not a member
    assert (msg.id, msg.colour, msg.name, msg.tags) == (1, 9, "n", [])


@pytest.mark.parametrize("hook", ["subclass", "new"])
def test_instances_from_python_new_get_every_default(hook) -> None:
    hooked = new_registry()
    inner = hooked.message_class("velum.test.fast.Inner")
    if hook == "new":
        inner.__new__ = lambda klass: NativeMessage.__new__(klass)
    record = hooked.message_class("velum.test.fast.Record")
    if hook == "subclass":
        record = type("Sub", (record,), {"__slots__": ()})
    msg = record.from_binary(b"\x32\x02\x08\x01\x42\x02\x10\x00\x42\x00")
    assert [(i.a, i.b, i.c) for i in (msg.inner, *msg.children)] == [
        (1, "", []), (0, "", []), (0, "", []),
    ]
    assert (msg.name, msg.tags, msg.counters, msg.choice) == ("", [], {}, None)


def utf8_samples() -> list[bytes]:
    rng = random.Random(7)
    valid = [b"a", b"\xc3\xa9", b"\xce\xb1", b"\xe6\x97\xa5", b"\xf0\x9f\x99\x82"]
    invalid = [b"\xff", b"\x80", b"\xed\xa0\x80", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xf4\x90\x80\x80"]
    pieces = [*valid, *valid, *invalid, b"\xf0\x9f"]
    samples = [b"", b"x", b"\xc3\xa9", b"abcdefgh" * 3]
    for _ in range(400):
        samples.append(b"".join(rng.choice(pieces) for _ in range(rng.randrange(1, 12))))
    return samples


def test_strings_decode_as_python_does(reg) -> None:
    cls = reg.message_class("velum.test.fast.Record")
    for raw in utf8_samples():
        data = b"\x12" + bytes([len(raw)]) + raw
        try:
            expected = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            with pytest.raises(UnicodeDecodeError) as info:
                cls.from_binary(data)
            assert str(info.value) == str(exc)
        else:
            assert cls.from_binary(data).name == expected


PACKED = bytes([0x52, 12]) + bytes(range(1, 11)) + b"\xac\x02"  # packed: 1..10, 300


@pytest.mark.parametrize("held", [False, True])
@pytest.mark.parametrize(
    ("data", "values"),
    [
        (PACKED, [*range(1, 11), 300]),
        (PACKED + PACKED, [*range(1, 11), 300] * 2),  # a run: the second record appends
        (PACKED + b"\x50\x07" + PACKED, [*range(1, 11), 300, 7, *range(1, 11), 300]),
    ],
    ids=["one", "two", "mixed"],
)
def test_packed_values_land_in_the_field_list(reg, held, data, values) -> None:
    msg = reg.message_class("velum.test.fast.Record")()
    before = msg.packed if held else None
    msg.merge_from_binary(data)
    assert msg.packed == values
    if held:
        assert msg.packed is before


@pytest.mark.parametrize("held", [False, True])
def test_packed_failure_keeps_earlier_values(reg, held) -> None:
    msg = reg.message_class("velum.test.fast.Record")()
    before = msg.packed if held else None
    with pytest.raises(ValueError, match="^invalid varint$"):
        msg.merge_from_binary(bytes([0x52, 17]) + bytes(range(1, 7)) + b"\xff" * 11)
    assert msg.packed == [1, 2, 3, 4, 5, 6]
    assert (msg.packed is before) == held
    assert gc.is_tracked(msg.packed)
