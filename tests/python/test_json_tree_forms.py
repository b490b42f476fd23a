"""Struct, ListValue and Value read from and written to value trees: what the tree's own
objects become, the keys a tree may hold, and lists changed while they are written."""

from __future__ import annotations

import math
from typing import Any

import pytest

from velum import Oneof, wkt


class Key(str):
    pass


def test_struct_entries_keep_the_trees_key_objects() -> None:
    key = Key("k")
    plain = "".join(["pl", "ain"])  # not interned
    got = wkt.Struct._from_json_value({key: 1, plain: "x", "é": True})
    stored = list(got.fields)
    assert stored == ["k", "plain", "é"]
    assert type(stored[0]) is Key
    assert stored[1] is plain


@pytest.mark.parametrize("cls", [wkt.Struct, wkt.Value])
def test_struct_key_without_utf8_form_fails_as_text_would(cls: Any) -> None:
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        cls._from_json_value({"ok": 1, "\ud800": 2})


@pytest.mark.parametrize(
    ("item", "member", "value"),
    [
        (2.5, "number_value", 2.5),
        (-0.0, "number_value", -0.0),
        (7, "number_value", 7.0),
        (10**30, "number_value", 1e30),
        ("s", "string_value", "s"),
        (Key("sub"), "string_value", "sub"),
        (True, "bool_value", True),
        (None, "null_value", wkt.NullValue.NULL_VALUE),
    ],
)
def test_scalar_values_read_from_trees(item: Any, member: str, value: Any) -> None:
    got = wkt.Struct._from_json_value({"v": item}).fields["v"].kind
    assert got == Oneof(member, value)
    # Numbers become floats; a str is held as the tree gives it, subclasses included.
    assert type(got.value) is (type(item) if isinstance(item, str) else type(value))
    if isinstance(value, float):
        assert math.copysign(1.0, got.value) == math.copysign(1.0, value)
    listed = wkt.ListValue._from_json_value([item]).values[0].kind
    assert listed == got


@pytest.mark.parametrize("item", [math.inf, -math.inf, math.nan, 10**400])
def test_numbers_a_value_cannot_hold_are_refused(item: Any) -> None:
    with pytest.raises((ValueError, OverflowError)):
        wkt.Struct._from_json_value({"v": item})
    with pytest.raises((ValueError, OverflowError)):
        wkt.ListValue._from_json_value([item])


def test_float_subclass_in_a_tree_is_read_as_a_float() -> None:
    class Real(float):
        pass

    got = wkt.Value._from_json_value(Real(1.5)).kind
    assert got == Oneof("number_value", 1.5)
    assert type(got.value) is float


class Shrinking:
    """A number that empties the list holding it when converted."""

    def __init__(self, values: list[Any]) -> None:
        self.values = values

    def __float__(self) -> float:
        self.values.clear()
        return 2.0


def test_list_value_emptied_while_written_ends_its_array() -> None:
    shrinking = Shrinking([])
    held = wkt.ListValue(values=[
        wkt.Value(kind=Oneof("string_value", "a")),
        wkt.Value(kind=Oneof("number_value", shrinking)),
        wkt.Value(kind=Oneof("string_value", "c")),
    ])
    shrinking.values = held.values
    assert held._to_json_value() == ["a", 2.0]
    assert held.values == []


def test_struct_and_list_trees_round_trip_in_order() -> None:
    doc = {"z": [1.5, "x", None, {"k": [True, []]}], "a": {}, "m": [[], {}, [{}]]}
    got = wkt.Struct._from_json_value(doc)
    assert got._to_json_value() == doc
    assert list(got._to_json_value()) == ["z", "a", "m"]
