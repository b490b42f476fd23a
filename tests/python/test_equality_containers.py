"""Equality's native paths for lists, maps and nested messages agree with Python's ==."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import pytest
from _velum_ext import generic_setattr


@pytest.fixture(scope="module")
def p3(registry: Any) -> Callable[[str], Any]:
    return lambda name: registry.message_class(f"velum.test.proto3.{name}")


@pytest.fixture(scope="module")
def shapes(registry: Any) -> Callable[[str], Any]:
    return lambda name: registry.message_class(f"velum.test.shapes.{name}")


class EqualToAll(int):
    def __eq__(self, other: object) -> bool:
        return True

    __hash__ = int.__hash__


class TextEqualToAll(str):
    def __eq__(self, other: object) -> bool:
        return True

    __hash__ = str.__hash__


def fresh(value: Any) -> Any:
    """An equal object that is not the same one (ints and strings are rebuilt)."""
    if type(value) is int:
        return int(str(value))
    if type(value) is str:
        return "".join(list(value))
    if type(value) is bytes:
        return bytes(bytearray(value))
    return value


NAN = math.nan

LISTS = [
    ("packed_double", [NAN], [float("nan")]),
    ("packed_double", [0.0, 1.5], [-0.0, 1.5]),
    ("packed_double", [1.0, 2.0], [1, 2]),
    ("packed_double", [1.0], [1.0000000000000002]),
    ("packed_int32", [True, 0], [1, False]),
    ("packed_int32", [2**30, -(2**30), 2**40], [2**30, -(2**30), 2**40]),
    ("packed_int32", [2**40], [2**40 + 1]),
    ("packed_int32", [2**40], [-(2**40)]),
    ("packed_int32", [2**70, 2**31], [2**70, 2**31]),
    ("packed_int32", [2**70], [2**40]),
    ("packed_int32", [0, 5], [0, EqualToAll(7)]),
    ("packed_int32", [1, 2], [1, 2, 3]),
    ("strings", ["é", "a" * 40, "日本"], ["é", "a" * 40, "日本"]),
    ("strings", ["é"], ["e\u0301"]),
    ("strings", ["a"], ["\u0101"]),
    ("strings", ["x"], [TextEqualToAll("y")]),
    ("blobs", [b"ab", b""], [b"ab", b""]),
    ("blobs", [b"ab"], [b"ac"]),
]


@pytest.mark.parametrize(("field", "left", "right"), LISTS)
def test_lists_compare_as_python_lists(
    p3: Callable[[str], Any], field: str, left: list[Any], right: list[Any]
) -> None:
    cls = p3("Repeated")
    a, b = cls(), cls()
    generic_setattr(a, field, left)
    generic_setattr(b, field, [fresh(v) for v in right])
    expected = left == [fresh(v) for v in right]
    assert (a == b) is expected and (b == a) is expected


def test_same_nan_object_is_equal_in_a_list(p3: Callable[[str], Any]) -> None:
    cls = p3("Repeated")
    assert cls(packed_double=[NAN]) == cls(packed_double=[NAN])


def test_element_comparison_that_empties_the_lists(p3: Callable[[str], Any]) -> None:
    cls = p3("Repeated")
    a, b = cls(), cls()

    class Clearing(int):
        def __eq__(self, other: object) -> bool:
            a.packed_int32.clear()
            b.packed_int32.clear()
            return True

        __hash__ = int.__hash__

    a.packed_int32.extend([Clearing(1), 2, 3])
    b.packed_int32.extend([1, 2, 4])
    assert a == b  # the lists end up equal (both empty), as list == list reports


MAPS = [
    ("string_string", {"a": "x", "b": "y"}, {"b": "y", "a": "x"}),
    ("string_string", {"a": "x", "b": "y"}, {"a": "x", "c": "y"}),
    ("string_string", {"a": "x"}, {"a": "z"}),
    ("string_double", {"n": NAN}, {"n": float("nan")}),
    ("string_double", {"n": 1.0}, {"n": 1}),
    ("int64_int64", {1: 2, 2**40: 3}, {1: 2, 2**40: 3}),
    ("int64_int64", {1: 2}, {True: 2}),
    ("int64_int64", {2**40: 1}, {2**40 + 1: 1}),
    ("int64_int64", {1: 1, 2: 2}, {1: 1}),
]


@pytest.mark.parametrize(("field", "left", "right"), MAPS)
def test_maps_compare_as_python_dicts(
    p3: Callable[[str], Any], field: str, left: dict[Any, Any], right: dict[Any, Any]
) -> None:
    cls = p3("Maps")
    a, b = cls(), cls()
    generic_setattr(a, field, left)
    generic_setattr(b, field, {fresh(k): fresh(v) for k, v in right.items()})
    expected = left == {fresh(k): fresh(v) for k, v in right.items()}
    assert (a == b) is expected and (b == a) is expected


def test_map_message_values_recurse(p3: Callable[[str], Any]) -> None:
    cls, scalars = p3("Maps"), p3("Scalars")
    assert cls(string_message={"m": scalars(f_int32=1)}) == cls(
        string_message={"m": scalars(f_int32=1)}
    )
    assert cls(string_message={"m": scalars(f_int32=1)}) != cls(
        string_message={"m": scalars(f_int32=2)}
    )


def test_message_subclass_with_own_eq_is_asked(p3: Callable[[str], Any]) -> None:
    scalars = p3("Scalars")

    class Lenient(scalars):  # type: ignore[misc, valid-type]
        __slots__ = ()

        def __eq__(self, other: object) -> bool:
            return True

        __hash__ = None  # type: ignore[assignment]

    cls = p3("Repeated")
    a, b = cls(messages=[scalars(f_int32=1)]), cls(messages=[scalars(f_int32=2)])
    assert a != b
    generic_setattr(b, "messages", [Lenient(f_int32=2)])
    assert a == b


def test_self_containing_messages_hit_the_recursion_limit(
    shapes: Callable[[str], Any],
) -> None:
    cls = shapes("SelfRecursive")
    a, b = cls(), cls()
    a.next, b.next = a, b
    with pytest.raises(RecursionError, match="in comparison"):
        _ = a == b


@pytest.mark.parametrize(("depth", "raises"), [(50, False), (99, False), (150, True), (5000, True)])
def test_deep_chains_compare_or_stop_cleanly(
    shapes: Callable[[str], Any], depth: int, raises: bool
) -> None:
    # Distinct chains, so identity never short-cuts the walk.
    cls = shapes("SelfRecursive")

    def chain() -> Any:
        head = cls()
        for _ in range(depth):
            head = cls(next=head)
        return head

    a, b = chain(), chain()
    if raises:
        with pytest.raises(RecursionError, match="in comparison"):
            _ = a == b
    else:
        assert a == b
