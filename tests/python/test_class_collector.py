"""What a loaded class leaves in the collector's lists, and that a dropped schema is still freed.

A class's slot-members holder is reported by its marshaler, the bases' weak references to it
and its nested enums' placeholders are out of the collector: each must still let a dropped
registry go, and keep a class alive while something outside holds a part of it.
"""

from __future__ import annotations

import contextlib
import gc
import weakref
from typing import Any

import pytest
from _velum_ext import NativeMessage, _untrack_leaf
from conftest import load_user_schema

import velum
from velum._message import Message

P3 = "velum.test.proto3"


def _loaded(compiler: Any, proto: str = "test_proto3.proto") -> tuple[velum.Registry, list[str]]:
    registry, names = load_user_schema(proto)
    return registry, names


@pytest.mark.parametrize("use", ["classes", "instances", "nested enum read", "enum placeholder"])
@pytest.mark.parametrize("proto", ["test_proto3.proto", "test_proto2.proto", "test_shapes.proto"])
def test_a_dropped_registry_and_its_classes_are_freed(compiler: Any, proto: str, use: str) -> None:
    registry, names = _loaded(compiler, proto)
    classes = [registry.message_class(n) for n in names]
    if use == "instances":
        for made in classes:
            instance = made()
            with contextlib.suppress(ValueError):  # (a required field)
                made.from_binary(instance.to_binary())
                made.from_json(instance.to_json())
        del made, instance
    elif use == "nested enum read" and proto == "test_proto3.proto":
        assert registry.message_class(f"{P3}.Outer.Inner").Mood.MOOD_HAPPY == 1
    elif use == "enum placeholder":
        # A placeholder held from outside keeps nothing alive: it holds only a name.
        held = [v for c in classes for v in vars(c).values() if type(v).__name__ == "_NestedEnum"]
        assert held or proto != "test_proto3.proto"
    refs = [weakref.ref(c) for c in classes] + [weakref.ref(registry)]
    del registry, classes
    gc.collect()
    assert [r for r in refs if r() is not None] == []


def test_a_slot_member_held_from_outside_keeps_its_class_until_let_go(compiler: Any) -> None:
    registry, _ = _loaded(compiler)
    cls = registry.message_class(f"{P3}.Scalars")
    assert cls().to_binary() == b""  # initialised: its marshaler reports the slot members
    member = vars(cls)[cls.__slots__[0]]
    ref = weakref.ref(cls)
    del registry, cls
    gc.collect()
    assert ref() is not None and member.__objclass__ is ref()
    del member
    gc.collect()
    assert ref() is None


def test_a_class_whose_marshaler_is_let_go_is_still_collected(compiler: Any) -> None:
    registry, _ = _loaded(compiler)
    cls = registry.message_class(f"{P3}.Scalars")
    holder = vars(cls)["__slot_members__"]
    assert cls().to_binary() == b"" and not gc.is_tracked(holder)
    del cls._ext_marshaler  # the holder of its slot members is reported by nothing else
    assert gc.is_tracked(holder)
    del holder
    ref = weakref.ref(cls)
    del registry, cls
    gc.collect()
    assert ref() is None


def test_a_class_is_still_a_subclass_its_bases_know_and_update(compiler: Any) -> None:
    registry, names = _loaded(compiler)
    classes = [registry.message_class(n) for n in names]
    for base in (NativeMessage, Message):
        known = set(base.__subclasses__())
        assert all(c in known for c in classes)
    # A change to a base reaches every class's attribute cache.
    Message._collector_probe = 1  # type: ignore[attr-defined]
    try:
        assert all(c._collector_probe == 1 for c in classes)
        Message._collector_probe = 2  # type: ignore[attr-defined]
        assert all(c._collector_probe == 2 for c in classes)
    finally:
        del Message._collector_probe  # type: ignore[attr-defined]
    assert not any(hasattr(c, "_collector_probe") for c in classes)


@pytest.mark.parametrize("through", ["class", "instance", "subclass", "subclass instance"])
def test_a_nested_enum_placeholder_gives_the_enum_class(compiler: Any, through: str) -> None:
    registry, _ = _loaded(compiler)
    inner = registry.message_class(f"{P3}.Outer.Inner")
    assert type(vars(inner)["Mood"]).__name__ == "_NestedEnum"
    assert not gc.is_tracked(vars(inner)["Mood"])

    class Sub(inner):  # type: ignore[misc, valid-type]
        __slots__ = ()

    owner = {"class": inner, "instance": inner(), "subclass": Sub, "subclass instance": Sub()}
    mood = owner[through].Mood
    assert mood is registry.enum_class(f"{P3}.Outer.Inner.Mood")
    assert vars(inner)["Mood"] is mood and Sub.Mood is mood  # put in its place once read


@pytest.mark.parametrize(
    ("obj", "untracked"),
    [
        ("leaf", True),
        ("holds a list", False),
        ("list", False),
        ("untracked already", False),
    ],
)
def test_untrack_leaf_leaves_only_objects_that_refer_to_nothing(obj: str, untracked: bool) -> None:
    class Leaf:
        __slots__ = ("value",)

    value: Any = Leaf()
    if obj == "leaf":
        value.value = "text"
    elif obj == "holds a list":
        value.value = []
    elif obj == "list":
        value = [1, []]
    else:
        value.value = 1
        _untrack_leaf(value)
    assert _untrack_leaf(value) is untracked
    assert gc.is_tracked(value) is (obj != "leaf" and obj != "untracked already")
