"""Every accepted and refused JSON form of scalars, enums and map keys, read from
text and from value trees alike."""

from __future__ import annotations

import json
import math
import struct
from typing import Any

import pytest

import velum

FIELD = " for field velum.test.proto3.Scalars."


@pytest.fixture(scope="module")
def scalars(registry: velum.Registry) -> Any:
    return registry.message_class("velum.test.proto3.Scalars")


def read(cls: Any, member: str, value_text: str) -> Any:
    """Reads one member from text and from the equivalent tree; both must agree."""
    from_text = cls.from_json(f'{{"{member}": {value_text}}}')
    from_tree = cls.from_json_value({member: json.loads(value_text)})
    assert from_text.to_binary() == from_tree.to_binary()  # NaN != NaN
    return from_text


def refused(cls: Any, member: str, value_text: str) -> tuple[type, str]:
    """The exception type and message, which text and tree must agree on."""
    outcomes = []
    for call in (
        lambda: cls.from_json(f'{{"{member}": {value_text}}}'),
        lambda: cls.from_json_value({member: json.loads(value_text)}),
    ):
        with pytest.raises(Exception) as info:
            call()
        outcomes.append((type(info.value), str(info.value)))
    assert outcomes[0] == outcomes[1]
    return outcomes[0]


INT_FORMS = ["5", "5.0", "5e0", '"5"', '"5.0"', '"5e0"', '"+5"', '"0005"', '"5_0"', "0.5e1"]


@pytest.mark.parametrize("text", INT_FORMS)
@pytest.mark.parametrize("member", ["fInt32", "fInt64", "fUint32", "fUint64", "fSint32", "fSint64",
                                    "fFixed32", "fFixed64", "fSfixed32", "fSfixed64"])  # fmt: skip
def test_integer_forms(scalars: Any, member: str, text: str) -> None:
    value = getattr(read(scalars, member, text), "f_" + member[1:].lower())
    assert value == (50 if text == '"5_0"' else 5)
    assert type(value) is int


@pytest.mark.parametrize(
    ("text", "exc", "message"),
    [("5.5", ValueError, "expected integer, got non-integer float: 5.5"),
     ('"5.5"', ValueError, "invalid integer value: '5.5'"),
     ('" 5"', ValueError, "invalid integer value:  5"),
     ('"5 "', ValueError, "invalid integer value: 5 "),
     ('"\\u00a05"', ValueError, "invalid integer value: \xa05"),
     ('""', ValueError, "invalid integer value: "),
     ('"abc"', ValueError, "invalid integer value: 'abc'"),
     ('"inf"', ValueError, "invalid integer value: 'inf'"),
     ('"1e400"', ValueError, "invalid integer value: '1e400'"),
     ('"0x10"', ValueError, "invalid integer value: '0x10'"),
     ("true", TypeError, "unexpected json type: <class 'bool'>"),
     ("[1]", TypeError, "unexpected json type: <class 'list'>"),
     ('{"a": 1}', TypeError, "unexpected json type: <class 'dict'>"),
     ("2147483648", OverflowError, "value 2147483648 out of range for int32"),
     ('"-2147483649"', OverflowError, "value -2147483649 out of range for int32"),
     ("1e10", OverflowError, "value 10000000000 out of range for int32")],
)  # fmt: skip
def test_integer_refusals(scalars: Any, text: str, exc: type, message: str) -> None:
    assert refused(scalars, "fInt32", text) == (exc, message + FIELD + "f_int32")


@pytest.mark.parametrize(
    ("member", "low", "high", "kind"),
    [("fInt64", -(2**63), 2**63 - 1, "int64"), ("fSfixed64", -(2**63), 2**63 - 1, "int64"),
     ("fUint64", 0, 2**64 - 1, "uint64"), ("fFixed64", 0, 2**64 - 1, "uint64"),
     ("fInt32", -(2**31), 2**31 - 1, "int32"), ("fSint32", -(2**31), 2**31 - 1, "int32"),
     ("fUint32", 0, 2**32 - 1, "uint32"), ("fFixed32", 0, 2**32 - 1, "uint32")],
)  # fmt: skip
def test_integer_ranges(scalars: Any, member: str, low: int, high: int, kind: str) -> None:
    attr = "f_" + member[1:].lower()
    for edge in (low, high):
        assert getattr(read(scalars, member, str(edge)), attr) == edge
        assert getattr(read(scalars, member, f'"{edge}"'), attr) == edge
    for outside in (low - 1, high + 1):
        for text in (str(outside), f'"{outside}"'):
            expected = (OverflowError, f"value {outside} out of range for {kind}{FIELD}{attr}")
            assert refused(scalars, member, text) == expected


def test_large_integral_float_strings_lose_precision_like_doubles(scalars: Any) -> None:
    assert read(scalars, "fInt64", '"9007199254740993.0"').f_int64 == 9007199254740992
    assert read(scalars, "fInt64", '"9007199254740993"').f_int64 == 9007199254740993


F32_MAX = 3.4028234663852886e38


@pytest.mark.parametrize("member", ["fDouble", "fFloat"])
@pytest.mark.parametrize(
    ("text", "expected"),
    [("1", 1.0), ("1.5", 1.5), ("-0.0", -0.0), ('"1.5"', 1.5), ('"1e10"', 1e10), ('"-2"', -2.0),
     ('"+2.5"', 2.5), ('".5"', 0.5), ('"NaN"', math.nan), ('"Infinity"', math.inf),
     ('"-Infinity"', -math.inf), ("0.1", 0.1), ("1e-400", 0.0), ('"1e-400"', 0.0)],
)  # fmt: skip
def test_float_forms(scalars: Any, member: str, text: str, expected: float) -> None:
    value = getattr(read(scalars, member, text), "f_" + member[1:].lower())
    assert type(value) is float
    if math.isnan(expected):
        assert math.isnan(value)
    else:
        assert struct.pack("<d", value) == struct.pack("<d", expected)


@pytest.mark.parametrize("member", ["fDouble", "fFloat"])
@pytest.mark.parametrize(
    ("text", "exc", "message"),
    [('"nan"', ValueError, "unexpected infinite/NaN number"),
     ('"inf"', ValueError, "unexpected infinite/NaN number"),
     ('"infinity"', ValueError, "unexpected infinite/NaN number"),
     ('"-INF"', ValueError, "unexpected infinite/NaN number"),
     ('"1e400"', ValueError, "unexpected infinite/NaN number"),
     ("1e400", ValueError, "unexpected infinite/NaN number"),
     ('" 1.5"', ValueError, "invalid float/double value:  1.5"),
     ('"1.5\\n"', ValueError, "invalid float/double value: 1.5\n"),
     ('""', ValueError, "invalid float/double value: "),
     ('"abc"', ValueError, "invalid float/double value: abc"),
     ('"1,5"', ValueError, "invalid float/double value: 1,5"),
     ('"0x1p3"', ValueError, "invalid float/double value: 0x1p3"),
     ("true", TypeError, "unexpected json type: <class 'bool'>"),
     ("[]", TypeError, "unexpected json type: <class 'list'>")],
)  # fmt: skip
def test_float_refusals(scalars: Any, member: str, text: str, exc: type, message: str) -> None:
    attr = "f_" + member[1:].lower()
    assert refused(scalars, member, text) == (exc, message + FIELD + attr)


def test_tree_only_float_refusals(scalars: Any) -> None:
    for value in (math.nan, math.inf):
        with pytest.raises(ValueError, match="^unexpected infinite/NaN number for field"):
            scalars.from_json_value({"fDouble": value})


def test_float32_range_keeps_all_64_bits(scalars: Any) -> None:
    assert read(scalars, "fFloat", repr(F32_MAX)).f_float == F32_MAX
    assert read(scalars, "fFloat", "0.1").f_float == 0.1  # not narrowed to 32 bits
    assert read(scalars, "fDouble", "3.5e38").f_double == 3.5e38
    for text in ("3.5e38", '"-3.5e38"', "1e39"):
        exc, message = refused(scalars, "fFloat", text)
        assert exc is OverflowError
        digits = "35" + "0" * 37 if "3.5" in text else "1" + "0" * 39
        sign = "-" if "-" in text else ""
        assert message == f"float value out of range: {sign}{digits}{FIELD}f_float"


# 3.4028235e38 is how the largest float is written by its shortest float
# digits; as a double it lies just above that float but still rounds to it.
@pytest.mark.parametrize(
    "text",
    ["3.4028235e+38", '"3.4028235e+38"', "-3.4028235e38", "3.4028235677973362e38",
     '"-3.4028235677973362e38"'],
)  # fmt: skip
def test_float32_bound_accepts_what_rounds_to_a_finite_float(scalars: Any, text: str) -> None:
    value = read(scalars, "fFloat", text).f_float
    assert value == float(text.strip('"'))  # kept as read, not narrowed
    assert struct.unpack("<f", struct.pack("<f", value))[0] == math.copysign(F32_MAX, value)


@pytest.mark.parametrize("text", ["3.4028235677973366e38", '"-3.4028235677973366e38"', "3.5e38"])
def test_float32_bound_refuses_what_rounds_to_infinity(scalars: Any, text: str) -> None:
    exc, message = refused(scalars, "fFloat", text)
    assert exc is OverflowError
    assert message.startswith("float value out of range: ")


def test_float32_text_of_the_protobuf_package_reads_back(scalars: Any) -> None:
    from google.protobuf import json_format, wrappers_pb2

    text = json_format.MessageToJson(wrappers_pb2.FloatValue(value=F32_MAX), indent=None)
    assert text == "3.4028235e+38"
    msg = read(scalars, "fFloat", text)
    assert msg.to_json() == '{"fFloat":3.4028235e+38}'  # written back as held
    assert scalars.from_binary(msg.to_binary()).f_float == F32_MAX


def test_bool_forms(scalars: Any) -> None:
    assert read(scalars, "fBool", "true").f_bool is True
    assert read(scalars, "fBool", "false").f_bool is False
    for text, type_name in (
        ("0", "int"),
        ("1", "int"),
        ('"true"', "str"),
        ("1.0", "float"),
        ("{}", "dict"),
    ):
        expected = (TypeError, f"unexpected json type: <class '{type_name}'>{FIELD}f_bool")
        assert refused(scalars, "fBool", text) == expected


def test_string_forms(scalars: Any) -> None:
    assert read(scalars, "fString", '"h\\u00e9llo"').f_string == "héllo"
    for text, type_name in (("1", "int"), ("null", None), ("true", "bool"), ("[]", "list")):
        if type_name is None:
            continue
        expected = (TypeError, f"expected string got: <class '{type_name}'>{FIELD}f_string")
        assert refused(scalars, "fString", text) == expected


@pytest.mark.parametrize(
    ("text", "expected"),
    [('"YQ"', b"a"), ('"YQ=="', b"a"), ('"YWI="', b"ab"), ('"YWI"', b"ab"), ('""', b""),
     ('"-_8"', b"\xfb\xff"), ('"+/8="', b"\xfb\xff"), ('"YR=="', b"a")],
)  # fmt: skip
def test_bytes_forms(scalars: Any, text: str, expected: bytes) -> None:
    value = read(scalars, "fBytes", text).f_bytes
    assert (type(value), value) == (bytes, expected)


@pytest.mark.parametrize(
    "text", ['"Y Q=="', '"+-AA"', '"Y"', '"YQ="', '"YQ==="', '"YQ==\\n"', '"Y.Q="']
)
def test_bytes_refusals(scalars: Any, text: str) -> None:
    assert refused(scalars, "fBytes", text) == (
        ValueError,
        "invalid base64 data" + FIELD + "f_bytes",
    )
    assert refused(scalars, "fBytes", "1") == (
        TypeError,
        "expected base64-encoded string got: <class 'int'>" + FIELD + "f_bytes",
    )


def test_enum_forms(scalars: Any) -> None:
    assert read(scalars, "fStatus", '"STATUS_DONE"').f_status == 2
    assert read(scalars, "fStatus", "1").f_status == 1
    unknown = read(scalars, "fStatus", "77").f_status
    assert unknown == 77  # an open enum keeps numbers it does not name
    for text, shown in (('"status_done"', "status_done"), ('"NOPE"', "NOPE"), ("1.0", "1.0"),
                        ("true", "True"), ("[1]", "[1]")):  # fmt: skip
        # No field context: the message names the enum.
        assert refused(scalars, "fStatus", text) == (
            ValueError,
            f"cannot decode velum.test.proto3.Status from JSON: {shown}",
        )


def test_unknown_enum_values_are_skipped_when_asked(scalars: Any) -> None:
    base = scalars(f_status=1)
    for text in ('{"fStatus": "NOPE"}', '{"fStatus": 77}', '{"fStatus": 99999999999}'):
        msg = base.copy()
        msg.merge_from_json(text, ignore_unknown_fields=True)
        assert msg.f_status == 1


def test_enum_number_beyond_32_bits_goes_to_the_enum_class(
    registry: velum.Registry, scalars: Any
) -> None:
    status = registry.enum_class("velum.test.proto3.Status")
    assert scalars.from_json('{"fStatus": 99999999999}').f_status == status(99999999999)


def test_closed_enum_unknown_number_goes_to_the_enum_class(registry: velum.Registry) -> None:
    cls = registry.message_class("velum.test.proto2.Scalars")
    enum_member = next(
        f for f in cls._desc.fields if f.value.__class__.__name__ == "DescFieldValueEnum"
    )
    name = enum_member.json_name
    with pytest.raises(ValueError):
        cls.from_json(f'{{"{name}": 12345}}')


@pytest.mark.parametrize(
    ("member", "keys", "expected"),
    [("int32String", ["1", "-2", "1e2", "+3", "0"], [1, -2, 100, 3, 0]),
     ("int64Int64", ["9223372036854775807", "-9223372036854775808"], [2**63 - 1, -(2**63)]),
     ("boolBool", ["true", "false"], [True, False]),
     ("stringString", ["", "é", "1"], ["", "é", "1"])],
)  # fmt: skip
def test_map_keys(
    registry: velum.Registry, member: str, keys: list[str], expected: list[Any]
) -> None:
    cls = registry.message_class("velum.test.proto3.Maps")
    value = "true" if member == "boolBool" else "1" if "Int64" in member else '"v"'
    text = "{" + ", ".join(f'"{k}": {value}' for k in keys) + "}"
    msg = read(cls, member, text)
    attr = {"int32String": "int32_string", "int64Int64": "int64_int64", "boolBool": "bool_bool",
            "stringString": "string_string"}[member]  # fmt: skip
    assert list(getattr(msg, attr)) == expected
    assert all(type(k) is type(e) for k, e in zip(getattr(msg, attr), expected, strict=True))


@pytest.mark.parametrize(
    ("member", "key", "message"),
    [("boolBool", "True", "unexpected bool map key value True"),
     ("boolBool", "1", "unexpected bool map key value 1"),
     ("int32String", "x", "invalid integer value: 'x'"),
     ("int32String", " 1", "invalid integer value:  1"),
     ("int32String", "1.5", "invalid integer value: '1.5'")],
)  # fmt: skip
def test_map_key_refusals(registry: velum.Registry, member: str, key: str, message: str) -> None:
    cls = registry.message_class("velum.test.proto3.Maps")
    attr = {"boolBool": "bool_bool", "int32String": "int32_string"}[member]
    value = "true" if member == "boolBool" else '"v"'
    expected = (ValueError, f"{message} for field velum.test.proto3.Maps.{attr}")
    assert refused(cls, member, f'{{"{key}": {value}}}') == expected


def test_integer_map_keys_are_not_range_checked(registry: velum.Registry) -> None:
    cls = registry.message_class("velum.test.proto3.Maps")
    assert list(cls.from_json('{"int32String": {"4294967296": "x"}}').int32_string) == [2**32]
