"""Bad input never loses data, and Python code run during a call cannot pull objects
out from under the codec (run these under `make test-asan` to see use-after-free).
"""

from __future__ import annotations

import contextlib
import gc
import sys
from collections.abc import Callable, Iterator
from typing import Any

import hostile_schema
import pytest
from _velum_ext import NativeMessage, generic_setattr
from hostile_schema import same_message

import velum
from velum._wire import split_records


@pytest.fixture
def reg() -> velum.Registry:
    # Tests patch classes: every test gets its own.
    return hostile_schema.load_registry()


def ld(number: int, payload: bytes) -> bytes:
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def varint(value: int) -> bytes:
    out = bytearray()
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def rich(reg: velum.Registry) -> bytes:
    node = reg.message_class(hostile_schema.NODE)
    leaf = reg.message_class("velum.test.hostile2.Leaf")
    msg = node(
        f_int32=5,
        f_string="abc",
        child=node(f_int32=1, r_int32=[2]),
        r_int32=[1, 2],
        r_leaf=[leaf(value=1)],
        m_int_str={1: "a"},
        grp=node.Grp(a=3),
        choice=velum.Oneof("o_int", 9),
        r_closed_packed=[1, 2],
    )
    msg._get_or_init_unknown_fields()[150] = [b"\xb0\x09\x01"]
    return msg.to_binary()


BAD_RECORDS = {
    "field-0": b"\x00",
    "wire-type-7": b"\x0f",
    "varint": b"\x28\xff",
    "length": b"\x4a\x09ab",
    "utf8": b"\x4a\x02\xc3\x28",
    "nested": ld(20, b"\x08\xff"),
    "unterminated-group": b"\xb3\x01\xb8\x01\x01",
    "stray-end-group": b"\x0c",
    "unknown-group": b"\x83\x06\x08\x01",
    "map-entry": ld(40, b"\x08"),
    "list-element": ld(39, b"\x08\xff"),
}


@pytest.mark.parametrize("bad", list(BAD_RECORDS.values()), ids=list(BAD_RECORDS))
def test_failed_merge_keeps_every_record_before_the_failing_one(reg, bad: bytes) -> None:
    node = reg.message_class(hostile_schema.NODE)
    base = node(f_sint32=-1, child=node(f_bool=True), r_int32=[7]).to_binary()
    records = [record for _, record in split_records(rich(reg))]
    for count in range(len(records) + 1):
        before = b"".join(records[:count])
        target = node.from_binary(base)
        with pytest.raises((ValueError, RecursionError)):
            target._merge_from_binary(before + bad, False)
        assert same_message(target, node.from_binary(base + before)), count


def test_failing_nested_record_merges_its_leading_fields_in_place(reg) -> None:
    node = reg.message_class(hostile_schema.NODE)
    target = node(child=node(f_int32=1, r_int32=[1]))
    kept = target.child
    with pytest.raises(ValueError, match="^invalid varint(\n|$)"):
        target._merge_from_binary(ld(20, b"\x18\x02\xf0\x01\x02\x28\xff"), False)
    assert target.child is kept and (kept.f_int32, kept.f_int64, kept.r_int32) == (1, 2, [1, 2])


def test_failed_from_binary_keeps_no_half_built_instance(reg) -> None:
    node = reg.message_class(hostile_schema.NODE)
    made: list[Any] = []

    def new(cls: type) -> Any:
        made.append(NativeMessage.__new__(cls))
        return made[-1]

    node.__new__ = new  # type: ignore[method-assign]
    try:
        node.from_binary(b"\x28\x05" + ld(20, b"\x08\x01") + b"\x28\xff")
    except ValueError as exc:
        assert str(exc) == "invalid varint"
    else:
        raise AssertionError("no error")
    gc.collect()
    # Only the list holds the top instance (the child hangs off it): nothing escaped.
    refs = sys.getrefcount(made[0])  # outside the assert: its rewriting keeps values
    assert len(made) == 2 and refs == 2


# Python code that runs in the middle of a decode and mutates what it works on.


def hook_new(cls: type, action: Callable[[], object]) -> None:
    def new(klass: type) -> Any:
        action()
        return NativeMessage.__new__(klass)

    cls.__new__ = new  # type: ignore[method-assign]


def resize(data: bytearray) -> Callable[[], None]:
    def run() -> None:
        for change in (data.clear, lambda: data.extend(bytes(4096))):
            with contextlib.suppress(BufferError):
                change()

    return run


@pytest.mark.parametrize("wrap", [bytearray, lambda d: memoryview(bytearray(d))])
@pytest.mark.parametrize("where", ["map-value-default", "group", "list-element", "oneof"])
def test_input_resized_by_a_callback(reg, wrap, where: str) -> None:
    node = reg.message_class(hostile_schema.NODE)
    payload = {
        "map-value-default": ld(41, b"\x0a\x01k") + b"\x28\x07",
        "group": b"\xb3\x01\xc2\x01\x02\x28\x01\xb4\x01\x28\x07",
        "list-element": ld(21, b"\x28\x01") + ld(21, b"") + b"\x28\x07",
        "oneof": ld(52, b"\x08\x01") + b"\x28\x07",
    }[where]
    data = wrap(payload)
    target = data.obj if isinstance(data, memoryview) else data
    if where == "map-value-default":
        original = node.__init__

        def init(self: Any, **kw: Any) -> None:
            resize(target)()
            original(self, **kw)

        node.__init__ = init  # type: ignore[method-assign]
    elif where == "oneof":
        hook_new(reg.message_class("velum.test.hostile2.Leaf"), resize(target))
    elif where == "group":
        hook_new(node.Grp, resize(target))
    else:
        hook_new(node, resize(target))
    result = node.from_binary(data)
    assert bytes(target) == payload  # every resize was refused while the input was held
    assert same_message(result, node.from_binary(payload))


def test_list_replaced_while_an_element_is_decoded(reg) -> None:
    node = reg.message_class(hostile_schema.NODE)
    leaf = reg.message_class("velum.test.hostile2.Leaf")
    target = node()
    hook_new(leaf, lambda: generic_setattr(target, "r_leaf", []))
    target._merge_from_binary(ld(39, b"\x08\x01") + ld(39, b"\x08\x02"), False)
    gc.collect()
    assert isinstance(target.r_leaf, list) and len(target.r_leaf) <= 2


def test_dict_replaced_while_a_map_value_is_decoded(reg) -> None:
    node = reg.message_class(hostile_schema.NODE)
    target = node()
    hook_new(node, lambda: generic_setattr(target, "m_str_node", {}))
    target._merge_from_binary(ld(41, b"\x0a\x01a" + ld(2, b"")) * 3, False)
    gc.collect()
    assert set(target.m_str_node) <= {"a"}


def test_child_replaced_while_it_is_merged_into(reg) -> None:
    node = reg.message_class(hostile_schema.NODE)
    target = node(child=node(f_int32=1))
    hook_new(node.Grp, lambda: generic_setattr(target, "child", None))
    # child <- { grp { } }: decoding the group creates a Grp while the child is the target.
    target._merge_from_binary(ld(20, b"\xb3\x01\xb4\x01\x28\x05"), False)
    gc.collect()
    assert target.child is None or target.child.f_int32 in (1, 5)


def test_unknown_store_replaced_during_decode(reg) -> None:
    open_ = reg.enum_class("velum.test.hostile3.Open")
    flat = reg.message_class(hostile_schema.FLAT)
    target = flat()
    store = target._get_or_init_unknown_fields()
    original = open_._missing_.__func__

    def missing(cls: type, value: object) -> Any:
        store.clear()
        store[99] = "not a list"
        return original(cls, value)

    open_._missing_ = classmethod(missing)  # type: ignore[method-assign]
    with pytest.raises(TypeError, match="^'str' object is not an instance of 'list'$"):
        target._merge_from_binary(b"\x98\x06\x01\x28\x07\x98\x06\x02", False)
    assert target.e == 7 and store == {99: "not a list"}


# Python code that runs in the middle of an encode.


class Mutating(float):
    """A float field value whose conversion runs `action` first."""

    action: Callable[[], object]

    def __new__(cls, action: Callable[[], object]) -> Mutating:
        self = super().__new__(cls, 0.5)
        self.action = action
        return self

    def __float__(self) -> float:
        self.action()
        return 0.5


class NotFloat:
    def __init__(self, action: Callable[[], object]) -> None:
        self.action = action

    def __float__(self) -> float:
        self.action()
        return 0.5


@pytest.fixture
def node(reg) -> Any:
    return reg.message_class(hostile_schema.NODE)


def encodes_like(msg: Any, expected: bytes) -> None:
    assert msg.to_binary() == expected


def test_unknown_store_cleared_during_encode(node) -> None:
    msg = node(f_string="s")
    store = msg._get_or_init_unknown_fields()
    store[150] = [b"\xb0\x09\x01", b"\xb0\x09\x02"]
    store[151] = [b"\xb8\x09\x03"]
    plain = node(f_string="s", f_double=0.5).to_binary()

    def wipe() -> None:
        store[150].clear()
        store.clear()
        store[7] = "junk"

    msg.f_double = NotFloat(wipe)
    # The records were collected before any field was written.
    assert msg.to_binary() == plain + b"\xb0\x09\x01\xb0\x09\x02\xb8\x09\x03"
    with pytest.raises(TypeError):
        msg.to_binary()


def test_map_value_replaced_by_its_own_conversion(node) -> None:
    values: dict[int, Any] = {}
    values[9] = NotFloat(lambda: values.__setitem__(9, 2.0))
    msg = node(m_fixed_double=values)
    data = msg.to_binary()
    assert node.from_binary(data).m_fixed_double == {9: 0.5}
    assert values == {9: 2.0}


def test_map_message_value_dropped_while_encoded(node) -> None:
    values: dict[str, Any] = {}
    values["k"] = node(f_double=NotFloat(lambda: values.__setitem__("k", None)), f_int32=3)
    msg = node(m_str_node=values)
    gc.collect()
    decoded = node.from_binary(msg.to_binary())
    assert decoded.m_str_node["k"].f_int32 == 3


def test_list_message_element_dropped_while_encoded(node) -> None:
    items: list[Any] = []
    items.append(node(f_double=NotFloat(items.clear), f_int32=4))
    items.append(node(f_int32=5))
    msg = node(children=items)
    data = msg.to_binary()
    assert [c.f_int32 for c in node.from_binary(data).children][-1:] in ([4], [5])


def test_child_dropped_while_encoded(node) -> None:
    msg = node()
    msg.child = node(f_double=NotFloat(lambda: generic_setattr(msg, "child", None)), f_int32=6)
    assert node.from_binary(msg.to_binary()).child.f_int32 == 6


def test_oneof_value_dropped_while_encoded(node) -> None:
    msg = node()
    inner = node.OGroup(g=1)
    msg.choice = velum.Oneof("ogroup", inner)
    leaf_value = node(f_double=NotFloat(lambda: generic_setattr(msg, "choice", None)))
    msg.child = leaf_value
    del inner, leaf_value
    data = msg.to_binary()
    assert node.from_binary(data).child is not None


def test_repeated_value_list_replaced_while_packed(node) -> None:
    msg = node()
    values: list[Any] = [1.0, NotFloat(lambda: generic_setattr(msg, "r_double", [])), 2.0]
    msg.r_double = values
    del values
    decoded = node.from_binary(msg.to_binary())
    assert decoded.r_double in ([1.0, 0.5, 2.0], [1.0, 0.5], [0.5, 2.0], [2.0], [1.0])


@pytest.fixture(autouse=True)
def _collect() -> Iterator[None]:
    yield
    gc.collect()
