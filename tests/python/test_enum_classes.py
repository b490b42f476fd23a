"""Enum classes made by the loader behave exactly as the enum module's own would."""

from __future__ import annotations

import copy
import enum
import pickle
from typing import Any

import pytest

from velum import ClosedEnum, OpenEnum
from velum._enums import new_enum_class

MEMBERS = [("ZERO", 0), ("ONE", 1), ("NEG", -3), ("ALIAS", 1), ("BIG", 2**31 - 1)]


def _both(base: Any, members: list[tuple[str, int]]) -> tuple[Any, Any]:
    made = new_enum_class(base, "Color", members, __name__, "Outer.Color")
    ordinary = base("Color", members, module=__name__, qualname="Outer.Color")
    return made, ordinary


def _shape(cls: Any) -> tuple[object, ...]:
    return (
        [(m.name, m.value, repr(m), str(m), int(m)) for m in cls],
        {name: m.name for name, m in cls.__members__.items()},
        len(cls),
        cls.ALIAS is cls.ONE,
        cls(1) is cls.ONE,
        cls["NEG"] is cls.NEG,
        -3 in cls,
        7 in cls,
        cls.ZERO < cls.ONE,
        f"{cls.BIG:x}",
        sorted(cls.__dict__),
    )


@pytest.mark.parametrize("base", [OpenEnum, ClosedEnum])
def test_a_made_class_has_the_shape_of_an_ordinary_one(base: Any) -> None:
    made, ordinary = _both(base, MEMBERS)
    assert isinstance(made, enum.EnumType) and issubclass(made, enum.IntEnum)
    assert issubclass(made, base) and made.__qualname__ == "Outer.Color"
    assert _shape(made) == _shape(ordinary)
    with pytest.raises(AttributeError, match="cannot reassign member 'ONE'"):
        made.ONE = 5
    assert copy.deepcopy(made.NEG) is made.NEG


def test_unknown_numbers_follow_the_base() -> None:
    opened, _ = _both(OpenEnum, MEMBERS)
    assert repr(opened(99)) == "Outer.Color(99)" and opened(99) == 99
    closed, ordinary = _both(ClosedEnum, MEMBERS)
    for cls in (closed, ordinary):
        with pytest.raises(ValueError, match="99 is not a valid Outer.Color"):
            cls(99)


def test_made_classes_share_no_member_tables() -> None:
    first = new_enum_class(OpenEnum, "A", [("X", 1)], __name__, "A")
    second = new_enum_class(OpenEnum, "B", [("Y", 1)], __name__, "B")
    assert list(first) == [first.X] and list(second) == [second.Y]
    assert first(1) is first.X and second(1) is second.Y


Picklable = new_enum_class(ClosedEnum, "Picklable", [("P", 4)], __name__, "Picklable")


def test_members_pickle_by_name_of_their_class() -> None:
    assert pickle.loads(pickle.dumps(Picklable.P)) is Picklable.P


def test_a_name_that_shadows_an_inherited_attribute_takes_the_ordinary_path() -> None:
    # "real" is an attribute of int; the enum metaclass gives such members a redirect.
    made, ordinary = _both(OpenEnum, [("real", 1), ("OTHER", 2)])
    assert made["real"].value == 1 and made(1).name == "real"
    assert [m.name for m in made] == [m.name for m in ordinary]


@pytest.mark.parametrize("base", [OpenEnum, ClosedEnum])
def test_members_stand_in_for_their_numbers(base: Any) -> None:
    made, _ = _both(base, MEMBERS)
    assert {1: "one"}[made.ONE] == "one" and {made.NEG: "neg"}[-3] == "neg"
    assert isinstance(made.ONE, base) and not isinstance(made.ONE, bool)
    assert sorted([made.BIG, made.NEG, made.ZERO]) == [-3, 0, 2**31 - 1]


OpenPicklable = new_enum_class(OpenEnum, "OpenPicklable", [("Q", 1)], __name__, "OpenPicklable")


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_unnamed_numbers_of_open_enums_pickle(protocol: int) -> None:
    again = pickle.loads(pickle.dumps(OpenPicklable(42), protocol))
    assert type(again) is OpenPicklable and again == 42 and repr(again) == "OpenPicklable(42)"
