"""JSON writing of singular fields by their per-type steps: optional scalars and enums.

Each singular field in a slot is written by a step chosen for its type and presence; the
member must come out as the general selection writes it, whatever class the value has.
"""

from __future__ import annotations

import enum
import json
from typing import Any

import pytest
from test_json_write_loops import D, Flat, MyFloat, MyInt, registry


class Shade(enum.IntEnum):
    ONE = 1


def written(msg: Any, **options: Any) -> tuple[Any, Any]:
    return json.loads(msg.to_json(**options)), msg.to_dict(**options)


@pytest.mark.parametrize(
    ("field", "value", "member", "expected"),
    [
        ("o_int32", 0, "oInt32", 0),
        ("o_int32", MyInt(0), "oInt32", 0),
        ("o_int64", MyInt(-3), "oInt64", "-3"),
        ("o_uint64", 0, "oUint64", "0"),
        ("o_double", 0.0, "oDouble", 0.0),
        ("o_double", MyFloat(1.5), "oDouble", 1.5),
        ("o_bool", False, "oBool", False),
        ("o_string", "", "oString", ""),
        ("o_bytes", b"", "oBytes", ""),
    ],
)
def test_optional_scalars_are_written_by_presence_whatever_their_class(
        field: str, value: Any, member: str, expected: Any) -> None:
    text, tree = written(Flat(**{field: value}))
    assert text == {member: expected}
    assert tree == {member: expected}
    assert written(Flat()) == ({}, {})


@pytest.mark.parametrize(
    ("value", "options", "expected"),
    [
        (0, {}, None),
        ("HUE_ZERO", {}, None),
        (MyInt(0), {}, None),
        (0, {"always_emit_implicit": True}, "HUE_ZERO"),
        ("HUE_ONE", {}, "HUE_ONE"),
        (MyInt(2), {}, "HUE_TWO"),
        (Shade.ONE, {}, "HUE_ONE"),
        (-1, {}, "HUE_NEG"),
        ("HUE_TWO", {"print_enums_as_ints": True}, 2),
        (77, {}, 77),  # open enum: an unknown number is written as a number
    ],
)
def test_implicit_enum_fields(value: Any, options: dict[str, bool], expected: Any) -> None:
    if isinstance(value, str):
        # The enum's own member, as reading gives it.
        msg = registry().message_class(f"{D}.Flat").from_json(json.dumps({"fHue": value}))
    else:
        msg = Flat(f_hue=value)
    text, tree = written(msg, **options)
    if expected is None:
        assert "fHue" not in text and "fHue" not in tree
        return
    assert text["fHue"] == expected
    assert tree["fHue"] == expected


def test_optional_enum_is_written_at_its_default_once_set() -> None:
    msg = registry().message_class(f"{D}.Flat").from_json('{"oHue": "HUE_ZERO"}')
    assert written(msg) == ({"oHue": "HUE_ZERO"}, {"oHue": "HUE_ZERO"})
    assert written(msg, print_enums_as_ints=True) == ({"oHue": 0}, {"oHue": 0})


@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        (True, TypeError, "expected int for enum velum.test.diff.Hue, got <class 'bool'>"),
        ("x", TypeError, "expected int for enum velum.test.diff.Hue, got <class 'str'>"),
        (1.0, TypeError, "expected int for enum velum.test.diff.Hue, got <class 'float'>"),
    ],
)
@pytest.mark.parametrize("field", ["f_hue", "o_hue"])
def test_enum_fields_refuse_what_is_not_an_int(field: str, value: Any, error: type[Exception],
                                               message: str) -> None:
    # Values are checked when written, not when assigned.
    msg = Flat(**{field: value})
    for write in (msg.to_json, msg.to_dict):
        with pytest.raises(error) as info:
            write(always_emit_implicit=True)
        assert str(info.value) == message
