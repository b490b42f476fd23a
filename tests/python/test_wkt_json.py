"""The JSON forms of the well-known types, both ways, with their exact texts and errors."""

from __future__ import annotations

import functools
import math
from typing import Any

import pytest
from conftest import compile_protos
from google.protobuf import descriptor_pb2

import velum
from velum import Oneof, wkt

PKG = "velum.test.wktjson"
LEAF_URL = f"type.googleapis.com/{PKG}.Leaf"


@functools.cache
def registry() -> velum.Registry:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_wkt_json.proto"))
    return reg


def holder_cls() -> Any:
    return registry().message_class(f"{PKG}.Holder")


def Leaf(**kwargs: Any) -> Any:
    return registry().message_class(f"{PKG}.Leaf")(**kwargs)


def both(msg: Any, **options: Any) -> tuple[str, Any]:
    return msg.to_json(**options), msg._to_json_value(**options)


def read_both(cls: Any, text: str, **options: Any) -> Any:
    """Reads `text` from JSON text and from the equivalent value tree; both must agree."""
    import json

    from_text = cls.from_json(text, **options)
    assert cls._from_json_value(json.loads(text), **options) == from_text
    return from_text


def refused(cls: Any, text: str, error: type[Exception], message: str, **options: Any) -> None:
    import json

    with pytest.raises(error) as from_text:
        cls.from_json(text, **options)
    assert str(from_text.value) == message
    with pytest.raises(error) as from_tree:
        cls._from_json_value(json.loads(text), **options)
    assert str(from_tree.value) == message


TS_MSG = "cannot decode google.protobuf.Timestamp from JSON: "


@pytest.mark.parametrize(
    ("seconds", "nanos", "text"),
    [
        (0, 0, "1970-01-01T00:00:00Z"),
        (-1, 0, "1969-12-31T23:59:59Z"),
        (0, 5000000, "1970-01-01T00:00:00.005Z"),
        (0, 5000, "1970-01-01T00:00:00.000005Z"),
        (0, 123456789, "1970-01-01T00:00:00.123456789Z"),
        (1709209805, 120000000, "2024-02-29T12:30:05.120Z"),
        (-62135596800, 1, "0001-01-01T00:00:00.000000001Z"),
        (253402300799, 999999999, "9999-12-31T23:59:59.999999999Z"),
        (951782400, 0, "2000-02-29T00:00:00Z"),
    ],
)
def test_timestamp_text_both_ways(seconds: int, nanos: int, text: str) -> None:
    ts = wkt.Timestamp(seconds=seconds, nanos=nanos)
    assert both(ts) == (f'"{text}"', text)
    assert read_both(wkt.Timestamp, f'"{text}"') == ts


@pytest.mark.parametrize(
    ("text", "seconds", "nanos"),
    [
        ("1970-01-01T01:00:00+01:00", 0, 0),
        ("1970-01-01T00:00:00-00:30", 1800, 0),
        ("1970-01-01T00:00:00.5Z", 0, 500000000),
        ("1970-01-01T00:00:00.000000001Z", 0, 1),
        ("1972-02-29T00:00:00Z", 68169600, 0),
    ],
)
def test_timestamp_reads_offsets_and_fractions(text: str, seconds: int, nanos: int) -> None:
    assert read_both(wkt.Timestamp, f'"{text}"') == wkt.Timestamp(seconds=seconds, nanos=nanos)


@pytest.mark.parametrize(
    ("text", "reason"),
    [
        ("1970-01-01t00:00:00Z", "invalid RFC 3339 string"),
        ("1970-01-01T00:00:00z", "invalid RFC 3339 string"),
        ("1970-01-01T23:59:60Z", "invalid RFC 3339 string"),
        ("1970-01-01T00:00:00.1234567891Z", "invalid RFC 3339 string"),
        ("0000-01-01T00:00:00Z", "invalid RFC 3339 string"),
        ("1971-02-29T00:00:00Z", "invalid RFC 3339 string"),
        (" 1970-01-01T00:00:00Z", "invalid RFC 3339 string"),
        (
            "9999-12-31T23:59:59-01:00",
            "must be from 0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z inclusive",
        ),
        (
            "0001-01-01T00:00:00+00:01",
            "must be from 0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z inclusive",
        ),
    ],
)
def test_timestamp_refused_texts(text: str, reason: str) -> None:
    refused(wkt.Timestamp, f'"{text}"', ValueError, TS_MSG + reason)
    # Reached through a field, the message names it.
    refused(
        holder_cls(),
        f'{{"ts": "{text}"}}',
        ValueError,
        f"{TS_MSG}{reason} for field {PKG}.Holder.ts",
    )


@pytest.mark.parametrize(
    ("seconds", "nanos", "error", "message"),
    [
        (-62135596801, 0, ValueError, "timestamp seconds out of range"),
        (253402300800, 0, ValueError, "timestamp seconds out of range"),
        (0, -1, ValueError, "timestamp nanos out of range"),
        (0, 1000000000, ValueError, "timestamp nanos out of range"),
        ("0", 0, TypeError, "expected int, got <class 'str'>"),
        (2**63, 0, OverflowError, "value 9223372036854775808 out of range for int64"),
        (0, 2**31, OverflowError, "value 2147483648 out of range for int32"),
    ],
)
def test_timestamp_write_errors(
    seconds: Any, nanos: Any, error: type[Exception], message: str
) -> None:
    with pytest.raises(error, match=f"^{message}$"):
        wkt.Timestamp(seconds=seconds, nanos=nanos).to_json()


@pytest.mark.parametrize(
    ("seconds", "nanos", "text"),
    [
        (0, 0, "0s"),
        (1, 500000000, "1.500s"),
        (-1, -500000000, "-1.500s"),
        (0, -1, "-0.000000001s"),
        (0, -1000, "-0.000001s"),
        (3, 1, "3.000000001s"),
        (315576000000, 0, "315576000000s"),
        (-315576000000, 0, "-315576000000s"),
    ],
)
def test_duration_text_both_ways(seconds: int, nanos: int, text: str) -> None:
    duration = wkt.Duration(seconds=seconds, nanos=nanos)
    assert both(duration) == (f'"{text}"', text)
    assert read_both(wkt.Duration, f'"{text}"') == duration


@pytest.mark.parametrize(
    ("text", "seconds", "nanos"),
    [("1.s", 1, 0), ("-0.5s", 0, -500000000), ("00010s", 10, 0), ("1.05s", 1, 50000000)],
)
def test_duration_reads_lenient_forms(text: str, seconds: int, nanos: int) -> None:
    assert read_both(wkt.Duration, f'"{text}"') == wkt.Duration(seconds=seconds, nanos=nanos)


@pytest.mark.parametrize(
    "text", ["+1s", ".5s", "1", "1.0000000001s", "1S", "--1s", "315576000001s", "-s", ""]
)
def test_duration_refused_texts(text: str) -> None:
    refused(
        wkt.Duration,
        f'"{text}"',
        ValueError,
        f"cannot decode google.protobuf.Duration from JSON: {text}",
    )


def _time_variants() -> list[tuple[str, str]]:
    """Timestamp and Duration texts around their common form: every fraction
    length, and one byte changed at each place of the date, time and fraction."""
    stamp = "2023-11-14T22:13:21"
    texts = [("Timestamp", f"{stamp}.{'123456789'[:k]}Z") for k in range(1, 11)]
    texts += [
        ("Duration", f"{s}.{'987654321'[:k]}s") for s in ("7", "-1234567") for k in range(1, 11)
    ]
    base = f"{stamp}.123456789Z"
    for i in range(len(base) - 1):
        texts += [("Timestamp", base[:i] + c + base[i + 1 :]) for c in "0/:-TZ.a"]
    duration = "1234567.123456789s"
    for i in range(len(duration) - 1):
        texts += [("Duration", duration[:i] + c + duration[i + 1 :]) for c in "0/:.a"]
    return sorted(set(texts))


@pytest.mark.parametrize(("type_name", "text"), _time_variants())
def test_time_texts_read_as_json_format_reads_them(type_name: str, text: str) -> None:
    from google.protobuf import duration_pb2, json_format, timestamp_pb2

    peer = (timestamp_pb2.Timestamp if type_name == "Timestamp" else duration_pb2.Duration)()
    try:
        json_format.Parse(f'"{text}"', peer)
    except json_format.ParseError:
        with pytest.raises(ValueError):
            getattr(wkt, type_name).from_json(f'"{text}"')
        return
    got = getattr(wkt, type_name).from_json(f'"{text}"')
    assert (got.seconds, got.nanos) == (peer.seconds, peer.nanos)


@pytest.mark.parametrize(
    ("seconds", "nanos", "message"),
    [
        (315576000001, 0, "duration seconds out of range"),
        (0, 1000000000, "duration nanos out of range"),
        (1, -1, "duration seconds and nanos have different signs"),
        (-1, 1, "duration seconds and nanos have different signs"),
    ],
)
def test_duration_write_errors(seconds: int, nanos: int, message: str) -> None:
    with pytest.raises(ValueError, match=f"^{message}$"):
        wkt.Duration(seconds=seconds, nanos=nanos).to_json()


@pytest.mark.parametrize("type_name", ["Timestamp", "Duration", "FieldMask"])
@pytest.mark.parametrize(
    ("text", "shown"), [("1", "1"), ("null", "None"), ("[1]", "[1]"), ("{}", "{}")]
)
def test_string_forms_refuse_other_json(type_name: str, text: str, shown: str) -> None:
    cls = getattr(wkt, type_name)
    refused(cls, text, TypeError, f"cannot decode google.protobuf.{type_name} from JSON: {shown}")


@pytest.mark.parametrize(
    ("paths", "text"),
    [
        (["foo_bar", "a.b_c"], "fooBar,a.bC"),
        (["*"], "*"),
        (["_foo"], "Foo"),
        ([], ""),
        (["a1_b2"], "a1B2"),
    ],
)
def test_field_mask_writes(paths: list[str], text: str) -> None:
    assert both(wkt.FieldMask(paths=paths)) == (f'"{text}"', text)


@pytest.mark.parametrize("path", ["foo__bar", "foo_1", "Foo", "a..b", "", "foo_", "é"])
def test_field_mask_irreversible_paths(path: str) -> None:
    with pytest.raises(
        ValueError, match=f"^invalid FieldMask path: lowerCamelCase of {path} is irreversible$"
    ):
        wkt.FieldMask(paths=["ok", path]).to_json()


@pytest.mark.parametrize(
    ("text", "paths"),
    [
        ("fooBar,aBC", ["foo_bar", "a_b_c"]),
        ("a,,b", ["a", "", "b"]),
        ("", []),
        ("x.yZ", ["x.y_z"]),
        ("ÉtéÀ", ["_été_à"]),
    ],
)
def test_field_mask_reads_and_appends(text: str, paths: list[str]) -> None:
    mask = wkt.FieldMask(paths=["kept"])
    mask._merge_from_json(f'"{text}"')
    assert mask.paths == ["kept", *paths]


def test_field_mask_refuses_snake_case() -> None:
    message = "cannot decode google.protobuf.FieldMask from JSON: path names must be lowerCamelCase"
    refused(wkt.FieldMask, '"fooBar,foo_bar"', ValueError, message)
    refused(
        holder_cls(), '{"mmap": {"k": "a_b"}}', ValueError, f"{message} for field {PKG}.Holder.mmap"
    )


NULL = wkt.NullValue.NULL_VALUE


def value(field: str, held: Any) -> Any:
    return wkt.Value(kind=Oneof(field, held))


@pytest.mark.parametrize(
    ("msg", "text", "tree"),
    [
        (value("null_value", NULL), "null", None),
        (value("number_value", 1), "1", 1),
        (value("number_value", 1.0), "1.0", 1.0),
        (value("number_value", 1e16), "1e+16", 1e16),
        (value("string_value", "x"), '"x"', "x"),
        (value("bool_value", False), "false", False),
        (
            value("struct_value", wkt.Struct(fields={"a": value("null_value", NULL)})),
            '{"a":null}',
            {"a": None},
        ),
        (value("list_value", wkt.ListValue(values=[value("number_value", 2.5)])), "[2.5]", [2.5]),
        (wkt.Struct(), "{}", {}),
        (wkt.ListValue(), "[]", []),
    ],
)
def test_value_writes(msg: Any, text: str, tree: Any) -> None:
    assert both(msg) == (text, tree)


@pytest.mark.parametrize(
    ("kind", "error", "message"),
    [
        (None, ValueError, "value must have exactly one field set"),
        (Oneof("nope", 1), ValueError, "value must have exactly one field set"),
        (Oneof("number_value", math.nan), ValueError, "value cannot be NaN or Infinity"),
        (Oneof("number_value", -math.inf), ValueError, "value cannot be NaN or Infinity"),
        (Oneof("string_value", 3), TypeError, "'int' object is not an instance of 'str'"),
        (
            Oneof("struct_value", wkt.ListValue()),
            TypeError,
            "expected 'google.protobuf.Struct', got <class 'google.protobuf.ListValue'>",
        ),
        (Oneof("bool_value", 1), TypeError, "'int' object is not an instance of 'bool'"),
    ],
)
def test_value_write_errors(kind: Any, error: type[Exception], message: str) -> None:
    with pytest.raises(error) as raised:
        wkt.Value(kind=kind).to_json()
    assert str(raised.value) == message


def test_value_reads_every_json_kind() -> None:
    got = read_both(wkt.ListValue, '[1, "x", true, null, [], {}]')
    assert [v.kind for v in got.values] == [
        Oneof("number_value", 1.0),
        Oneof("string_value", "x"),
        Oneof("bool_value", True),
        Oneof("null_value", NULL),
        Oneof("list_value", wkt.ListValue()),
        Oneof("struct_value", wkt.Struct()),
    ]
    assert type(got.values[0].kind.value) is float
    assert read_both(wkt.Struct, '{"a": null}').fields["a"].kind == Oneof("null_value", NULL)


def test_value_refuses_numbers_no_writer_could_write() -> None:
    # A literal beyond the double range would become an infinite number_value,
    # which to_json refuses: the reader refuses it as double fields do.
    message = "unexpected infinite/NaN number"
    for text in ("2e308", "-1e999"):
        with pytest.raises(ValueError) as raised:
            wkt.Value.from_json(text)
        assert str(raised.value) == message
    for cls, text in ((wkt.ListValue, "[1, 1e400]"), (wkt.Struct, '{"a": {"b": -1e400}}')):
        with pytest.raises(ValueError) as raised:
            cls.from_json(text)
        assert str(raised.value) == message
    for number in (math.inf, -math.inf, math.nan):
        with pytest.raises(ValueError) as raised:
            wkt.Value._from_json_value(number)
        assert str(raised.value) == message
        with pytest.raises(ValueError):
            wkt.Struct._from_json_value({"a": [number]})
    assert wkt.Value.from_json("1.7976931348623157e308").to_json() == "1.7976931348623157e+308"


def test_struct_and_list_merge_rules() -> None:
    st = wkt.Struct(fields={"keep": value("bool_value", True), "a": value("number_value", 1.0)})
    st._merge_from_json('{"a": "new"}')
    assert st.fields == {"keep": value("bool_value", True), "a": value("string_value", "new")}
    lv = wkt.ListValue(values=[value("number_value", 1.0)])
    lv._merge_from_json("[2]")
    assert lv.values == [value("number_value", 1.0), value("number_value", 2.0)]
    refused(wkt.Struct, "[1]", TypeError, "cannot decode google.protobuf.Struct from JSON: [1]")
    refused(
        wkt.ListValue,
        '{"a": 1}',
        TypeError,
        "cannot decode google.protobuf.ListValue from JSON: {'a': 1}",
    )


def test_value_fields_keep_null() -> None:
    """A null for a Value field stores a Value holding null, unlike any other message field."""
    got = read_both(
        holder_cls(), '{"val": null, "vals": [null], "vmap": {"k": null}, "o_val": null}'
    )
    null = value("null_value", NULL)
    assert (got.val, got.vals, got.vmap, got.choice) == (
        null,
        [null],
        {"k": null},
        Oneof("o_val", null),
    )


def nested_value(levels: int) -> Any:
    doc: Any = 1
    for _ in range(levels):
        doc = {"a": doc}
    return doc


def test_struct_nesting_counts_two_levels() -> None:
    deepest = wkt.Value._from_json_value(nested_value(50))  # the innermost Value sits at depth 100
    assert deepest._to_json_value() == nested_value(50)
    with pytest.raises(
        RecursionError, match="^exceeded maximum recursion depth 100 while parsing message$"
    ):
        wkt.Value._from_json_value(nested_value(51))
    too_deep = value("number_value", 1.0)
    for _ in range(51):
        too_deep = value("struct_value", wkt.Struct(fields={"a": too_deep}))
    with pytest.raises(
        RecursionError, match="^exceeded maximum recursion depth 100 while serializing message$"
    ):
        too_deep.to_json()


WRAPPERS = [
    ("DoubleValue", 1.5, "1.5", 0.0),
    ("DoubleValue", math.nan, '"NaN"', 0.0),
    ("FloatValue", 0.25, "0.25", 0.0),
    ("Int64Value", 7, '"7"', 0),
    ("UInt64Value", 2**64 - 1, '"18446744073709551615"', 0),
    ("Int32Value", -3, "-3", 0),
    ("UInt32Value", 3, "3", 0),
    ("BoolValue", False, "false", False),
    ("StringValue", "é", '"é"', ""),
    ("BytesValue", b"\xff\x00", '"/wA="', b""),
]


@pytest.mark.parametrize(("type_name", "held", "text", "zero"), WRAPPERS)
def test_wrappers_are_bare_scalars(type_name: str, held: Any, text: str, zero: Any) -> None:
    cls = getattr(wkt, type_name)
    assert cls(value=held).to_json() == text
    back = cls.from_json(text).value
    assert back == held or (isinstance(held, float) and math.isnan(held) and math.isnan(back))
    stored = cls.from_json("null").value
    assert (stored, type(stored)) == (zero, type(zero))


def test_wrapper_errors_name_the_field() -> None:
    refused(
        holder_cls(),
        '{"i32s": [1, "x"]}',
        ValueError,
        f"invalid integer value: 'x' for field {PKG}.Holder.i32s",
    )
    refused(
        holder_cls(),
        '{"u32": -1}',
        OverflowError,
        f"value -1 out of range for uint32 for field {PKG}.Holder.u32",
    )
    with pytest.raises(OverflowError, match="^value 4294967296 out of range for uint32$"):
        wkt.UInt32Value(value=2**32).to_json()


def leaf_any(**fields: Any) -> Any:
    return wkt.Any(type_url=LEAF_URL, value=Leaf(**fields).to_binary())


def test_any_of_user_and_well_known_types() -> None:
    reg = registry()
    packed = wkt.Any(type_url="x.test/a/" + f"{PKG}.Leaf", value=Leaf(a=1, s="q").to_binary())
    assert packed.to_json(registry=reg) == f'{{"@type":"x.test/a/{PKG}.Leaf","a":1,"s":"q"}}'
    duration = wkt.Any(
        type_url="type.googleapis.com/google.protobuf.Duration",
        value=wkt.Duration(seconds=1, nanos=500000000).to_binary(),
    )
    tree = {"@type": "type.googleapis.com/google.protobuf.Duration", "value": "1.500s"}
    assert duration._to_json_value(registry=reg) == tree
    assert wkt.Any._from_json_value(tree, registry=reg) == duration
    # "@type" may come last, and any prefix reads back as the default one.
    got = read_both(
        wkt.Any, f'{{"s": "q", "a": 1, "@type": "other.host/{PKG}.Leaf"}}', registry=reg
    )
    assert got == leaf_any(a=1, s="q")
    # A packed Struct without "value" takes the other members as its entries.
    st = read_both(wkt.Any, '{"@type": "/google.protobuf.Struct", "x": 1}', registry=reg)
    assert wkt.Struct.from_binary(st.value) == wkt.Struct(fields={"x": value("number_value", 1.0)})
    # With "value", the other members of a well-known payload are ignored.
    ts = read_both(
        wkt.Any,
        '{"@type": "/google.protobuf.Timestamp", "value": "1970-01-01T00:00:01Z", "z": 1}',
        registry=reg,
    )
    assert wkt.Timestamp.from_binary(ts.value) == wkt.Timestamp(seconds=1)


def test_any_empty_type_url() -> None:
    assert both(wkt.Any(value=b"\x08\x01")) == ("{}", {})
    kept = leaf_any(a=5)
    kept._merge_from_json("{}")
    assert kept == leaf_any(a=5)


def test_any_nested_at_the_depth_limit() -> None:
    reg = registry()
    doc: Any = {"@type": "/google.protobuf.Duration", "value": "1s"}
    for _ in range(99):
        doc = {"@type": "/google.protobuf.Any", "value": doc}
    deepest = wkt.Any._from_json_value(doc, registry=reg)
    assert deepest.to_json(registry=reg).count("@type") == 100
    with pytest.raises(RecursionError, match="while parsing message$"):
        wkt.Any._from_json_value({"@type": "/google.protobuf.Any", "value": doc}, registry=reg)


ANY_MSG = "cannot decode google.protobuf.Any from JSON: "


@pytest.mark.parametrize(
    ("text", "error", "message", "with_registry"),
    [
        ("[]", TypeError, ANY_MSG + "[]", True),
        ('{"a": 1}', ValueError, ANY_MSG + "{'a': 1}, @type is invalid: None", True),
        ('{"@type": 5}', ValueError, ANY_MSG + "{'@type': 5}, @type is invalid: 5", True),
        (
            '{"@type": "/no.Such"}',
            ValueError,
            ANY_MSG + "/no.Such is not in the type registry",
            True,
        ),
        ('{"@type": "a/"}', ValueError, ANY_MSG + "a/ is not in the type registry", True),
        (
            f'{{"@type": "/{PKG}.Leaf"}}',
            ValueError,
            ANY_MSG + f"/{PKG}.Leaf is not in the type registry",
            False,
        ),
        (
            f'{{"@type": "/{PKG}.Leaf", "zz": 1}}',
            ValueError,
            f"cannot decode {PKG}.Leaf from JSON: key: 'zz' is unknown",
            True,
        ),
        (
            f'{{"@type": "/{PKG}.Leaf", "a": "x"}}',
            ValueError,
            f"invalid integer value: 'x' for field {PKG}.Leaf.a",
            True,
        ),
    ],
)
def test_any_read_failures_leave_it_unchanged(
    text: str, error: type[Exception], message: str, with_registry: bool
) -> None:
    options = {"registry": registry()} if with_registry else {}
    target = leaf_any(a=9)
    with pytest.raises(error) as raised:
        target._merge_from_json(text, **options)
    assert str(raised.value) == message
    assert target == leaf_any(a=9)


def test_any_write_failures() -> None:
    reg = registry()
    with pytest.raises(ValueError, match=f'^any "{LEAF_URL}" is not in the type registry$'):
        leaf_any(a=1).to_json()
    with pytest.raises(ValueError, match='^any: "/no.Such" is not in the type registry$'):
        wkt.Any(type_url="/no.Such").to_json(registry=reg)
    with pytest.raises(ValueError, match="^invalid type url: a/b/$"):
        wkt.Any(type_url="a/b/").to_json(registry=reg)
    with pytest.raises(TypeError, match="^'str' object is not an instance of 'bytes'$"):
        wkt.Any(type_url=LEAF_URL, value="x").to_json(registry=reg)
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'str'$"):
        wkt.Any(type_url=1).to_json(registry=reg)


class Answer:
    def __init__(self, result: Any) -> None:
        self.result = result

    def message(self, name: str) -> Any:
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class Desc:
    def __init__(self, type_: Any) -> None:
        self.type = type_


@pytest.mark.parametrize(
    ("reg", "error", "message"),
    [
        (Answer(Desc(5)), TypeError, "'int' object is not an instance of 'type'"),
        (
            Answer(Desc(int)),
            TypeError,
            "'NoneType' object is not an instance of 'MessageMarshaler'",
        ),
        (Answer(KeyError("boom")), KeyError, "'boom'"),
        (Answer(object()), AttributeError, "'object' object has no attribute 'type'"),
        (object(), AttributeError, "'object' object has no attribute 'message'"),
    ],
)
def test_misbehaving_registries(reg: Any, error: type[Exception], message: str) -> None:
    with pytest.raises(error) as raised:
        leaf_any(a=1).to_json(registry=reg)
    assert str(raised.value) == message
    target = leaf_any(a=2)
    with pytest.raises(error) as raised:
        target._merge_from_json(f'{{"@type": "{LEAF_URL}"}}', registry=reg)
    assert str(raised.value) == message
    assert target == leaf_any(a=2)


def test_registry_answering_none_and_another_type() -> None:
    with pytest.raises(ValueError, match="is not in the type registry"):
        leaf_any().to_json(registry=Answer(None))
    # A registry may map a name to any class: the payload is read as that class.
    as_duration = Answer(Desc(wkt.Duration))
    got = wkt.Any.from_json(f'{{"@type": "/{PKG}.Leaf", "value": "2s"}}', registry=as_duration)
    assert got == wkt.Any(
        type_url="type.googleapis.com/google.protobuf.Duration",
        value=wkt.Duration(seconds=2).to_binary(),
    )


def hand_made_file(message: descriptor_pb2.DescriptorProto) -> velum.Registry:
    file = descriptor_pb2.FileDescriptorProto(
        name="google/protobuf/velum_lookalike.proto", package="google.protobuf", syntax="proto3"
    )
    file.message_type.add().CopyFrom(message)
    reg = velum.Registry()
    reg.add_file(file.SerializeToString())
    return reg


def test_lookalikes_failing_the_field_checks_are_ordinary_messages() -> None:
    F = descriptor_pb2.FieldDescriptorProto
    wrapper = descriptor_pb2.DescriptorProto(name="LookalikeValue")
    wrapper.field.add(name="value", number=1, type=F.TYPE_INT32, label=F.LABEL_REPEATED)
    cls = hand_made_file(wrapper).message_class("google.protobuf.LookalikeValue")
    assert cls(value=[1]).to_json() == '{"value":[1]}'
    assert cls.from_json('{"value":[2]}').value == [2]
    real = descriptor_pb2.DescriptorProto(name="RealValue")
    real.field.add(name="value", number=1, type=F.TYPE_SINT32, label=F.LABEL_OPTIONAL)
    real_cls = hand_made_file(real).message_class("google.protobuf.RealValue")
    assert real_cls(value=-4).to_json() == "-4"


class FloatSub(float):
    def __repr__(self) -> str:
        return "not a number"


# A Value's common members are written straight from its Oneof, the rest after the
# general checks: both roads give the same text and the same errors.
@pytest.mark.parametrize(
    ("kind", "text"),
    [
        (Oneof("number_value", FloatSub(2.5)), "2.5"),
        (Oneof("number_value", 3), "3"),
        (Oneof("number_value", -0.0), "-0.0"),
        (Oneof("bool_value", True), "true"),
        (Oneof("string_value", "\U0001f642\u20ac\xe9"), '"\U0001f642\u20ac\xe9"'),
        (Oneof("string_value", 'a"\U0001f642'), '"a\\"\U0001f642"'),
        (Oneof("null_value", 0), "null"),
    ],
)
def test_value_members_by_either_road(kind: Any, text: str) -> None:
    assert wkt.Value(kind=kind).to_json() == text
    assert wkt.ListValue(values=[wkt.Value(kind=kind)] * 2).to_json() == f"[{text},{text}]"


@pytest.mark.parametrize("surrogate", ["\ud800", "a\U0001f642\udfff"])
def test_value_string_with_a_surrogate_fails_as_encoding_it(surrogate: str) -> None:
    with pytest.raises(UnicodeEncodeError) as raised:
        wkt.Value(kind=Oneof("string_value", surrogate)).to_json()
    with pytest.raises(UnicodeEncodeError) as expected:
        surrogate.encode()
    assert str(raised.value) == str(expected.value)
