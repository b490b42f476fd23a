"""How loading makes its descriptor objects: the native slot filler."""

from __future__ import annotations

import contextlib
import gc
import sys
from dataclasses import dataclass

import pytest
from _velum_ext import _slot_constructor, _slot_setter, _slot_traverse

import velum
from velum import _descriptors
from velum._descriptors import DescField, ScalarType, new_field, new_scalar_value


@dataclass(slots=True)
class Pair:
    left: object
    right: object


class NoSlots:
    pass


def test_fills_slots_in_the_given_order_without_init() -> None:
    make = _slot_constructor(Pair, (Pair.__dict__["right"], Pair.__dict__["left"]))
    value = object()
    before = sys.getrefcount(value)
    pair = make(1, value)
    assert (pair.left, pair.right) == (value, 1)
    assert sys.getrefcount(value) == before + 1
    del pair
    assert sys.getrefcount(value) == before


def test_a_constructor_keeps_no_reference_once_gone() -> None:
    members = (Pair.__dict__["left"], Pair.__dict__["right"])
    kind = type(_slot_constructor(Pair, members))
    before = (sys.getrefcount(kind), sys.getrefcount(Pair))
    make = _slot_constructor(Pair, members)
    del make
    assert (sys.getrefcount(kind), sys.getrefcount(Pair)) == before


def test_made_descriptors_read_like_constructed_ones() -> None:
    value = new_scalar_value(ScalarType.INT32, None)
    args = (3, "a_b", "a_b", "aB", "pkg.M.a_b", 1, True, value, 0, None, None)
    made, built = new_field(*args), DescField(*args)
    for name in DescField.__dataclass_fields__:
        assert getattr(made, name) == getattr(built, name), name
    assert type(made) is DescField and gc.is_tracked(made)


@pytest.mark.parametrize(
    ("args", "error"),
    [
        ((Pair, [Pair.__dict__["left"]]), "must be a tuple"),
        ((Pair(1, 2), ()), "takes a class"),
        ((Pair, (DescField.__dict__["number"],)), "writable object slots"),
        ((Pair, ("left",)), "member descriptors"),
        ((NoSlots, (Pair.__dict__["left"],)), "writable object slots"),
        ((int, ()), "fixed-size class"),
    ],
)
def test_rejects_what_it_cannot_fill(args: tuple[object, object], error: str) -> None:
    with pytest.raises(TypeError, match=error):
        _slot_constructor(*args)


@pytest.mark.parametrize("call", [lambda m: m(1), lambda m: m(1, 2, 3), lambda m: m(1, right=2)])
def test_takes_exactly_one_positional_argument_per_slot(call: object) -> None:
    make = _slot_constructor(Pair, (Pair.__dict__["left"], Pair.__dict__["right"]))
    with pytest.raises(TypeError, match="takes 2 positional arguments"):
        call(make)  # type: ignore[operator]


SCHEMA = b'\n\x19\n\x07x.proto"\x0e\n\x01M\x12\t\n\x01a\x18\x01 \x01(\x05'


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("data", [SCHEMA, b"\x0a\x03bad"])
def test_loading_leaves_the_collector_as_it_found_it(enabled: bool, data: bytes) -> None:
    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        with contextlib.suppress(ValueError):
            velum.Registry().add_file_set(data)
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


def _descriptor_count() -> int:
    gc.collect()
    return sum(type(o).__module__ == _descriptors.__name__ for o in gc.get_objects())


def test_a_dropped_registry_leaves_no_descriptor_behind(file_set: bytes) -> None:
    # The descriptor classes' traversal skips their name and number slots; a slot
    # that can close a cycle (parent, value, oneof, default...) skipped by mistake
    # would keep every registry alive.
    def use() -> None:
        registry = velum.Registry()
        for file in registry.add_file_set(file_set):
            for desc in file.messages:
                registry.message_class(desc.type_name)
                for field in desc.fields:
                    field.default  # noqa: B018  (makes enum classes, reads values)
        for ext in registry._extensions.values():
            ext.holder_class()

    use()
    before = _descriptor_count()
    use()
    assert _descriptor_count() == before


@pytest.mark.parametrize(
    ("args", "error", "kind"),
    [
        ((Pair, ["left"]), "must be a tuple", TypeError),
        ((Pair, (1,)), "must be str", TypeError),
        ((Pair(1, 2), ()), "takes a class", TypeError),
        ((NoSlots, ()), "takes a slotted class", TypeError),
        ((int, ()), "takes a slotted class", TypeError),
        ((Pair, ("middle",)), "has no slot 'middle'", ValueError),
        ((DescField, ("name",)), "has its traversal already", ValueError),
    ],
)
def test_slot_traverse_refuses_what_it_cannot_take(
    args: tuple[object, object], error: str, kind: type[Exception]
) -> None:
    with pytest.raises(kind, match=error):
        _slot_traverse(*args)


def test_slot_setter_replaces_the_slots_and_releases_the_old_values() -> None:
    setter = _slot_setter(Pair, (Pair.__dict__["right"], Pair.__dict__["left"]))
    old, new = object(), object()
    pair = Pair(old, old)
    before = (sys.getrefcount(old), sys.getrefcount(new))
    assert setter(pair, (new, 2)) is None
    assert (pair.left, pair.right) == (2, new)
    assert (sys.getrefcount(old), sys.getrefcount(new)) == (before[0] - 2, before[1] + 1)


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda s: s(Pair(1, 2), (1,)), "takes a tuple of 2 values"),
        (lambda s: s(Pair(1, 2), [1, 2]), "takes a tuple of 2 values"),
        (lambda s: s(NoSlots(), (1, 2)), "takes a Pair, not NoSlots"),
        (lambda s: s(Pair(1, 2)), "takes 2 positional arguments"),
    ],
)
def test_slot_setter_refuses_what_it_cannot_set(call: object, error: str) -> None:
    setter = _slot_setter(Pair, (Pair.__dict__["left"], Pair.__dict__["right"]))
    with pytest.raises(TypeError, match=error):
        call(setter)  # type: ignore[operator]
