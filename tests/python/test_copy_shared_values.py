"""Deep copy and merge of lists mixing shared values with messages and other objects."""

from __future__ import annotations

import copy
from collections.abc import Callable
from typing import Any

import pytest
from _velum_ext import generic_setattr


@pytest.fixture(scope="module")
def p3(registry: Any) -> Callable[[str], Any]:
    return lambda name: registry.message_class(f"velum.test.proto3.{name}")


class Number(int):
    pass


class Items(list):  # type: ignore[type-arg]
    pass


def mixed(scalars: Any, layout: str) -> list[Any]:
    """'s' a shared value, 'm' a message, 'o' another object."""
    make = {"s": lambda i: 2**40 + i, "m": lambda i: scalars(f_int32=i), "o": Number}
    return [make[c](i) for i, c in enumerate(layout)]


LAYOUTS = ["", "sss", "msss", "ssms", "sssm", "soso", "smom"]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_deep_copy_copies_only_the_messages(p3: Callable[[str], Any], layout: str) -> None:
    msg = p3("Repeated")()
    items = mixed(p3("Scalars"), layout)
    generic_setattr(msg, "messages", items)
    copied = copy.deepcopy(msg).messages
    assert copied is not items and type(copied) is list and copied == items
    for i, (before, after) in enumerate(zip(items, copied, strict=True)):
        assert (after is before) is (layout[i] != "m")


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("container", [list, Items])
def test_merge_appends_copies_of_the_messages_only(
    p3: Callable[[str], Any], layout: str, container: type
) -> None:
    scalars = p3("Scalars")
    source, target = p3("Repeated")(), p3("Repeated")()
    items = container(mixed(scalars, layout))
    generic_setattr(source, "messages", items)
    head = scalars(f_string="head")
    target.messages.append(head)
    target.merge_from(source)
    assert target.messages[0] is head and target.messages[1:] == list(items)
    for i, (before, after) in enumerate(zip(items, target.messages[1:], strict=True)):
        assert (after is before) is (layout[i] != "m")
    assert source.messages is items and len(items) == len(layout)


def test_merge_of_scalars_into_itself_doubles(p3: Callable[[str], Any]) -> None:
    msg = p3("Repeated")(packed_double=[1.5, 2.5], strings=["a"])
    msg.merge_from(msg)
    assert msg.packed_double == [1.5, 2.5, 1.5, 2.5] and msg.strings == ["a", "a"]
