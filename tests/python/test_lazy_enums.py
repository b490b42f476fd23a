"""Enum classes are made when first needed: by the first instance of a message type with a
field of the enum, or by reading the class; every path hands out the class's own members."""

from __future__ import annotations

import copy
import json
import pickle
from collections.abc import Callable
from typing import Any

import pytest
from test_threads import run_threads

import velum
from velum import wkt
from velum._descriptors import peek_type

P = "velum.test.lazyenum"
# shade=PALE, shades=[DARK, LIGHT], by_name={"a": PALE, "b": <no value>}
HOLDER_DATA = bytes.fromhex("0802" "1000" "1001" "1a050a01611002" "1a030a0162")

FIRST_INSTANCE: dict[str, Callable[[Any], object]] = {
    "construct": lambda cls: cls(),
    "from_binary": lambda cls: cls.from_binary(b""),
    "from_json": lambda cls: cls.from_json("{}"),
    "subclass": lambda cls: type("Sub", (cls,), {"__slots__": ()})(),
}


@pytest.fixture
def fresh(compiler: Any) -> velum.Registry:
    registry = velum.Registry()
    registry.add_file_set(compiler("test_lazy_enums.proto"))
    return registry


@pytest.mark.parametrize("make", FIRST_INSTANCE.values(), ids=list(FIRST_INSTANCE))
@pytest.mark.parametrize("holder", ["Holder", "OnlyList", "OnlyMap"])
def test_the_first_instance_makes_the_enum_class(fresh: Any, holder: str, make: Any) -> None:
    shade = fresh.enum(f"{P}.Shade")
    cls = fresh.message_class(f"{P}.{holder}")
    assert peek_type(shade) is None  # making the message class does not need it
    make(cls)
    assert peek_type(shade) is not None
    assert peek_type(shade) is fresh.enum_class(f"{P}.Shade")


def test_decoded_members_are_the_class_members(fresh: Any) -> None:
    holder = fresh.message_class(f"{P}.Holder")
    msg = holder.from_binary(HOLDER_DATA)  # the first instance of the type
    shade = fresh.enum_class(f"{P}.Shade")
    assert msg.shade is shade.SHADE_PALE
    assert [type(s) for s in msg.shades] == [shade, shade]
    assert msg.shades[0] is shade.SHADE_DARK and msg.shades[1] is shade.SHADE_LIGHT
    assert msg.by_name["a"] is shade.SHADE_PALE
    assert msg.by_name["b"] is shade.SHADE_DARK  # a map entry without value: the first member
    assert holder().shade is shade.SHADE_LIGHT  # the custom default
    assert holder.from_json('{"shade": "SHADE_PALE"}').shade is shade.SHADE_PALE
    assert copy.deepcopy(msg).shade is shade.SHADE_PALE
    assert holder.from_binary(msg.to_binary()) == msg


def test_pickled_messages_come_back_with_the_same_members(fresh: Any) -> None:
    velum.register_registry("lazy-enum-tests", fresh)
    msg = fresh.message_class(f"{P}.Holder").from_binary(HOLDER_DATA)
    shade = fresh.enum_class(f"{P}.Shade")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(msg, protocol))
        assert back == msg
        assert back.shade is shade.SHADE_PALE and back.shades[1] is shade.SHADE_LIGHT


def test_unknown_numbers_of_a_closed_enum_stay_unknown(fresh: Any) -> None:
    msg = fresh.message_class(f"{P}.Holder").from_binary(bytes.fromhex("0807"))
    assert msg.shade is fresh.enum_class(f"{P}.Shade").SHADE_LIGHT
    assert msg.to_binary() == bytes.fromhex("0807")


def test_unknown_numbers_of_an_open_enum_come_from_its_class(compiler: Any) -> None:
    registry = velum.Registry()
    registry.add_file_set(compiler("test_proto3.proto"))
    msg = registry.message_class("velum.test.proto3.Scalars").from_binary(bytes.fromhex("980109"))
    status = registry.enum_class("velum.test.proto3.Status")
    assert type(msg.f_status) is status and msg.f_status == 9
    assert registry.message_class("velum.test.proto3.Scalars")().f_status is status(0)


@pytest.mark.parametrize("through_subclass", [False, True])
def test_a_nested_enum_class_is_made_when_first_read(fresh: Any, through_subclass: bool) -> None:
    level = fresh.enum(f"{P}.Unused.Level")
    outer = fresh.message_class(f"{P}.Unused")
    assert peek_type(level) is None
    reader = type("Sub", (outer,), {"__slots__": ()}) if through_subclass else outer
    cls = reader.Level
    assert cls is peek_type(level) is fresh.enum_class(f"{P}.Unused.Level")
    assert vars(outer)["Level"] is cls and outer.Level is cls and outer().Level is cls
    assert cls.LEVEL_HIGH == 1 and cls(1) is cls.LEVEL_HIGH


def test_threads_making_first_instances_share_one_enum_class(compiler: Any) -> None:
    registry = velum.Registry()
    registry.add_file_set(compiler("test_lazy_enums.proto"))
    cases = [
        (registry.message_class(f"{P}.Holder"), bytes.fromhex("0802"), "shade"),
        (registry.message_class(f"{P}.OnlyList"), bytes.fromhex("0802"), "shades"),
        (registry.message_class(f"{P}.OnlyMap"), bytes.fromhex("0a0408011002"), "by_number"),
    ]

    def work(index: int) -> tuple[object, object]:
        cls, data, name = cases[index % len(cases)]
        value = getattr(cls.from_binary(data), name)
        member = value if name == "shade" else value[0] if name == "shades" else value[1]
        return registry.enum_class(f"{P}.Shade"), member

    seen = run_threads(work, 6)
    shade = seen[0][0]  # type: ignore[index]
    assert all(cls is shade and member is shade.SHADE_PALE for cls, member in seen)  # type: ignore[attr-defined,misc]


PACKED = "type.googleapis.com/velum.test.packedany.Plain"
MOODS = {"@type": PACKED, "mood": "MOOD_LOUD", "moods": ["MOOD_CALM", 2]}
MOODS_BINARY = bytes.fromhex("800102" "ba01020102")  # mood=LOUD, moods=[CALM, LOUD]


@pytest.mark.parametrize(
    ("road", "expected"),
    [
        (lambda a, reg: a.from_json(json.dumps(MOODS), registry=reg).value, MOODS_BINARY),
        (lambda a, reg: a.from_dict(MOODS, registry=reg).value, MOODS_BINARY),
        (
            lambda a, reg: a(type_url=PACKED, value=MOODS_BINARY).to_json(registry=reg),
            f'{{"@type":"{PACKED}","mood":"MOOD_LOUD","moods":["MOOD_CALM","MOOD_LOUD"]}}',
        ),
    ],
    ids=["from_json", "from_dict", "to_json"],
)
def test_a_packed_any_before_any_instance_of_its_type(
    compiler: Any, road: Any, expected: object
) -> None:
    # The Any roads that skip making the payload's instance must not meet an enum
    # whose members are not there yet.
    registry = velum.Registry()
    registry.add_file_set(compiler("test_packed_any.proto"))
    registry.message_class("velum.test.packedany.Plain")
    assert road(wkt.Any, registry) == expected
    assert road(wkt.Any, registry) == expected  # later payloads take the short road
