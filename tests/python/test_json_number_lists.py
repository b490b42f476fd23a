"""Lists of numbers and numeric map values read from JSON text in place: each element
must read exactly as the interpreter reads its text (float(), int()), and anything
outside the common forms must be read, or refused, exactly as a lone value is."""

from __future__ import annotations

import json
import math
import struct
from typing import Any

import pytest
from conftest import diff_settings
from hypothesis import given
from hypothesis import strategies as st

import velum

P3 = "velum.test.proto3"
DecodeError = json.JSONDecodeError


@pytest.fixture(scope="module")
def repeated(registry: velum.Registry) -> Any:
    return registry.message_class(f"{P3}.Repeated")


@pytest.fixture(scope="module")
def maps(registry: velum.Registry) -> Any:
    return registry.message_class(f"{P3}.Maps")


def _bits(x: float) -> bytes:
    return struct.pack("<d", x)


EDGE_DOUBLES = [
    "0", "-0", "-0.0", "0.0", "0e400", "5e-324", "4.9e-324", "2.2250738585072011e-308",
    "2.2250738585072014e-308", "1.7976931348623157e308", "9007199254740993", "9007199254740992",
    "9007199254740991", "1e22", "1e23", "0.1", "99.58797417271366", "1E+2", "1e-0",
    "123456789012345678901234567890", "0.000000000000000000000000000001", "1e-400", "-1e-400",
    "8.98846567431158e307", "17976931348623157e292", "0.30000000000000004",
]


@pytest.mark.parametrize("text", EDGE_DOUBLES)
def test_double_elements_at_the_edges(repeated: Any, text: str) -> None:
    msg = repeated.from_json(f'{{"packedDouble": [1.5, {text}, {text}]}}')
    assert [_bits(x) for x in msg.packed_double] == [_bits(1.5)] + [_bits(float(text))] * 2


double_text = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.floats(allow_nan=False, allow_infinity=False).map(lambda x: f"{x:.17e}"),
    st.integers(-(10**25), 10**25).map(str),
    st.tuples(st.integers(0, 10**20), st.integers(-340, 340)).map(lambda t: f"{t[0]}e{t[1]}"),
    st.tuples(st.integers(0, 30), st.integers(1, 10**19)).map(
        lambda t: "0." + "0" * t[0] + str(t[1])
    ),
)


@diff_settings(300)
@given(st.lists(double_text, max_size=8), st.sampled_from([",", ", ", " ,\n"]))
def test_double_lists_read_as_float_does(repeated: Any, texts: list[str], sep: str) -> None:
    text = '{"packedDouble": [' + sep.join(texts) + "]}"
    want = [float(t) for t in texts]
    if not all(math.isfinite(x) for x in want):
        with pytest.raises(ValueError, match="unexpected infinite/NaN number"):
            repeated.from_json(text)
        return
    assert [_bits(x) for x in repeated.from_json(text).packed_double] == [_bits(x) for x in want]


int_text = st.one_of(
    st.integers(-(2**31), 2**31 - 1).map(str),
    st.integers(-(2**63), 2**63 - 1).map(lambda n: f'"{n}"'),
    st.integers(0, 300).map(str),
)


@diff_settings(200)
@given(st.lists(int_text, max_size=8))
def test_integer_lists_read_as_int_does(repeated: Any, texts: list[str]) -> None:
    body = ",".join(texts)
    small = [t for t in texts if -(2**31) <= int(t.strip('"')) < 2**31]
    assert list(repeated.from_json(f'{{"packedInt32": [{",".join(small)}]}}').packed_int32) == [
        int(t.strip('"')) for t in small
    ]
    assert list(repeated.from_json(f'{{"unpackedSint64": [{body}]}}').unpacked_sint64) == [
        int(t.strip('"')) for t in texts
    ]


# Elements outside the common forms take the general read: values it accepts...
@pytest.mark.parametrize(
    ("field", "text", "value"),
    [
        ("packedInt32", '"+5"', 5),
        ("packedInt32", '"007"', 7),
        ("packedInt32", "1e2", 100),
        ("packedInt32", "-0", 0),
        ("packedInt32", '"\\u0031"', 1),
        ("packedInt32", '"1_000"', 1000),
        ("unpackedSint64", '"-9223372036854775808"', -(2**63)),
        ("unpackedSint64", "-9223372036854775808", -(2**63)),
        ("packedDouble", '"NaN"', math.nan),
        ("packedDouble", '"-Infinity"', -math.inf),
        ("packedDouble", '"1.5"', 1.5),
    ],
)
def test_other_forms_read_as_a_lone_value_reads(
    repeated: Any, field: str, text: str, value: Any
) -> None:
    got = getattr(repeated.from_json(f'{{"{field}": [1, {text}, 2]}}'), _snake(field))
    assert got[0] == 1 and got[2] == 2
    assert got[1] == value or (math.isnan(value) and math.isnan(got[1]))


def _snake(name: str) -> str:
    return "".join("_" + c.lower() if c.isupper() else c for c in name)


# ... and refusals with the same exception and text as before.
@pytest.mark.parametrize(
    ("field", "text", "error", "message"),
    [
        ("packedInt32", "2147483648", OverflowError, "value 2147483648 out of range for int32"),
        ("packedInt32", '"-2147483649"', OverflowError, "value -2147483649 out of range"),
        ("packedInt32", "1.5", ValueError, "expected integer, got non-integer float: 1.5"),
        ("packedInt32", "null", ValueError, "unexpected null value for list item"),
        ("packedInt32", '" 1"', ValueError, "invalid integer value:  1 for field"),
        ("packedDouble", "1e400", ValueError, "unexpected infinite/NaN number"),
        ("packedDouble", "true", TypeError, "unexpected json type: <class 'bool'>"),
        ("packedDouble", "01", DecodeError, r"^invalid number: line 1 column 23 \(char 22\)$"),
        ("packedDouble", "1.", DecodeError, r"^invalid number: line 1 column 24 \(char 23\)$"),
        ("packedDouble", "-", DecodeError, r"^invalid number: line 1 column 23 \(char 22\)$"),
        ("packedDouble", "2 3", DecodeError,
         r"^expected `,` or `]`: line 1 column 24 \(char 23\)$"),
        ("packedDouble", "2,", DecodeError, r"^trailing comma: line 1 column 24 \(char 23\)$"),
        ("unpackedSint64", '"9223372036854775808"', OverflowError, "out of range for int64"),
    ],
)
def test_refusals_inside_lists(
    repeated: Any, field: str, text: str, error: type, message: str
) -> None:
    with pytest.raises(error, match=message):
        repeated.from_json(f'{{"{field}": [1, {text}]}}')


def test_lists_and_maps_agree_with_the_tree_reader(repeated: Any, maps: Any) -> None:
    text = (
        '{"packedInt32": [0, -1, 2147483647, "-2147483648", 7],'
        ' "packedDouble": [-0.0, 1e-7, 2.5e10, 99.58797417271366, 5e-324, 1e308],'
        ' "unpackedSint64": ["9223372036854775807", -3, "0"]}'
    )
    assert repeated.from_json(text) == repeated.from_dict(json.loads(text))
    text = (
        '{"int64Int64": {"1": "-9223372036854775808", "2": 5},'
        ' "uint64Uint64": {"3": "18446744073709551615", "4": "9223372036854775807"},'
        ' "stringDouble": {"a": 0.1, "b": "1.5", "c": -0}, "stringFloat": {"x": 3.4028235e38},'
        ' "fixed32Fixed32": {"5": 4294967295}}'
    )
    assert maps.from_json(text) == maps.from_dict(json.loads(text))


@pytest.mark.parametrize(
    ("field", "text", "error", "message"),
    [
        ("stringFloat", "3.4028236e38", OverflowError, "float value out of range"),
        ("uint32Uint32", "-1", OverflowError, "value -1 out of range for uint32"),
        ("int64Int64", "1.5", ValueError, "non-integer float: 1.5"),
        ("stringDouble", "01", json.JSONDecodeError, "^invalid number: "),
    ],
)
def test_refusals_in_map_values(
    maps: Any, field: str, text: str, error: type, message: str
) -> None:
    key = '"k"' if field.startswith("string") else '"1"'
    with pytest.raises(error, match=message):
        maps.from_json(f'{{"{field}": {{{key}: {text}}}}}')


def test_lists_merge_and_repeat_as_before(repeated: Any) -> None:
    msg = repeated.from_json('{"packedInt32": [1, 2]}')
    msg._merge_from_json('{"packedInt32": [3, "4"]}')
    assert list(msg.packed_int32) == [1, 2, 3, 4]
    again = repeated.from_json('{"packedInt32": [1, 2], "packedInt32": [5, 6]}')
    assert list(again.packed_int32) == [5, 6]
