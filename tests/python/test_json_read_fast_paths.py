"""Values at the edges of the reader's native shortcuts: integers in strings
around the 64-bit bounds, Base64 alphabets, and strings that are ASCII only
or not, read from text and from trees alike."""

from __future__ import annotations

import json
from typing import Any

import pytest

import velum
from velum import wkt

P3 = "velum.test.proto3"


@pytest.fixture(scope="module")
def scalars(registry: velum.Registry) -> Any:
    return registry.message_class(f"{P3}.Scalars")


def _both(cls: Any, text: str) -> list[Any]:
    return [cls.from_json(text), cls.from_dict(json.loads(text))]


@pytest.mark.parametrize(
    ("field", "text", "value"),
    [
        ("f_uint64", '"18446744073709551615"', 2**64 - 1),
        ("f_fixed64", '"+18446744073709551615"', 2**64 - 1),
        ("f_int64", '"-9223372036854775808"', -(2**63)),
        ("f_int64", '"9223372036854775807"', 2**63 - 1),
        ("f_sint64", '"-0"', 0),
        ("f_int32", '"+000000000000000000005"', 5),  # beyond twenty digits: the interpreter's route
        ("f_int64", '"1_000"', 1000),
        ("f_uint64", "18446744073709551615", 2**64 - 1),
        ("f_uint64", '"18446744073709551614"', 2**64 - 2),
        ("f_fixed64", '"9223372036854775808"', 2**63),
        ("f_uint64", '"10000000000000000000"', 10**19),
        ("f_fixed64", '"09999999999999999999"', 10**19 - 1),
    ],
)
def test_integer_strings_at_the_bounds(scalars: Any, field: str, text: str, value: int) -> None:
    for msg in _both(scalars, f'{{"{field}": {text}}}'):
        assert getattr(msg, field) == value


@pytest.mark.parametrize(
    ("field", "text", "shown", "kind"),
    [
        ("f_uint64", '"18446744073709551616"', "18446744073709551616", "uint64"),
        ("f_int64", '"9223372036854775808"', "9223372036854775808", "int64"),
        ("f_int64", '"-9223372036854775809"', "-9223372036854775809", "int64"),
        ("f_uint64", '"-1"', "-1", "uint64"),
        ("f_uint64", '"-9223372036854775809"', "-9223372036854775809", "uint64"),
        ("f_fixed64", '"18446744073709551620"', "18446744073709551620", "uint64"),
        ("f_uint64", '"99999999999999999999"', "99999999999999999999", "uint64"),
        ("f_int32", '"10000000000000000000"', "10000000000000000000", "int32"),
        ("f_uint32", '"4294967296"', "4294967296", "uint32"),
    ],
)
def test_integer_strings_out_of_range(
    scalars: Any, field: str, text: str, shown: str, kind: str
) -> None:
    message = f"^value {shown} out of range for {kind} for field"
    for read in (scalars.from_json, lambda t: scalars.from_dict(json.loads(t))):
        with pytest.raises(OverflowError, match=message):
            read(f'{{"{field}": {text}}}')


@pytest.mark.parametrize(
    ("text", "value"),
    [
        ("YWJj", b"abc"),
        ("YWJjZA", b"abcd"),
        ("-_-_", b"\xfb\xff\xbf"),
        ("+/+/", b"\xfb\xff\xbf"),
        ("", b""),
    ],
)
def test_base64_accepted(scalars: Any, text: str, value: bytes) -> None:
    for msg in _both(scalars, f'{{"f_bytes": "{text}"}}'):
        assert msg.f_bytes == value


@pytest.mark.parametrize("text", ["YWJj+_==", "YW Jj", "YWJj\\u00e9A==", "YWJ==", "YWJjZ"])
def test_base64_refused(scalars: Any, text: str) -> None:
    with pytest.raises(ValueError, match="^invalid base64 data for field"):
        scalars.from_json(f'{{"f_bytes": "{text}"}}')


@pytest.mark.parametrize(
    "value",
    [
        "",
        "a",
        "é",
        "plain ascii text longer than a word",
        "tail é",
        "日本語 and ascii",
        '"quoted"\\n',
        "x" * 64 + "🙂",
    ],
)
def test_strings_and_map_keys_read_back(registry: velum.Registry, scalars: Any, value: str) -> None:
    text = json.dumps({"fString": value})
    for msg in _both(scalars, text):
        assert msg.f_string == value
        assert type(msg.f_string) is str
    maps = registry.message_class(f"{P3}.Maps")
    key_field = next(f for f in maps._desc.fields if f.name == "string_string")
    doc = json.dumps({key_field.json_name: {value: value, value + "k": "v"}})
    for msg in _both(maps, doc):
        assert msg.string_string == {value: value, value + "k": "v"}
    # List elements and Struct values, whose plain strings are made inline.
    listed = registry.message_class(f"{P3}.Repeated")
    items = [value, "x", value]
    for msg in _both(listed, json.dumps({"strings": items})):
        assert list(msg.strings) == items
    tree = {"v": value, "l": items}
    assert wkt.Struct.from_json(json.dumps(tree))._to_json_value() == tree


def _variants(size: int) -> list[str]:
    """Texts of one length differing in a single byte, at every position."""
    base = "".join(chr(ord("a") + i % 26) for i in range(size))
    return [base] + [base[:i] + "Z" + base[i + 1:] for i in range(size)]


# Short plain values are shared between reads: equal texts must give equal strs and
# texts differing anywhere different ones, whatever was read before them.
@pytest.mark.parametrize("size", range(1, 19))
def test_short_strings_of_every_length_and_position(registry: velum.Registry, size: int) -> None:
    listed = registry.message_class(f"{P3}.Repeated")
    texts = _variants(size) + _variants(size - 1) + _variants(size + 1)
    items = texts + texts[::-1] + [t.upper() for t in texts]
    for _ in range(2):
        assert list(listed.from_json(json.dumps({"strings": items})).strings) == items
        doc = {t: t for t in texts}
        assert wkt.Struct.from_json(json.dumps(doc))._to_json_value() == doc
        read = listed.from_json(json.dumps({"strings": texts})).strings
        assert [type(t) for t in read] == [str] * len(texts)


def test_many_short_strings_in_one_read(registry: velum.Registry) -> None:
    # More distinct texts than the shared table holds, each several times over.
    listed = registry.message_class(f"{P3}.Repeated")
    items = [f"k{i:05d}" for i in range(3000)] * 3
    assert list(listed.from_json(json.dumps({"strings": items})).strings) == items


@pytest.mark.parametrize("container", ['{"strings":[', '{"fString":', '{"l":['])
@pytest.mark.parametrize("cut", ['"abc', '"', '"abcdefghijklmnop', '"abc\\', '"ab\\u00'])
def test_strings_cut_short_are_refused_alike(registry: velum.Registry, container: str,
                                             cut: str) -> None:
    # The inline read of plain strings gives up at the end of the text and
    # leaves it to the general read, which reports where the text ended.
    cls = {"s": registry.message_class(f"{P3}.Repeated"),
           "f": registry.message_class(f"{P3}.Scalars"), "l": wkt.Struct}[container[2]]
    text = container + cut
    with pytest.raises(json.JSONDecodeError) as got:
        cls.from_json(text)
    assert (got.value.msg, got.value.pos) == ("EOF while parsing a string", len(text))


def test_strings_of_every_width_mix(scalars: Any) -> None:
    pieces = ["a", "plain ascii", "é", "Ā", "日", "🙂", "12345678", "\x7f", "ÿ"]
    for mask in range(1, 1 << len(pieces)):
        value = "".join(p for i, p in enumerate(pieces) if mask >> i & 1)
        text = json.dumps({"fString": value}, ensure_ascii=False)
        assert scalars.from_json(text).f_string == value
        assert scalars.from_json(text.encode()).f_string == value


_NUMBER_FIELDS = ["f_int32", "f_uint32", "f_int64", "f_uint64", "f_sint32", "f_fixed32",
                  "f_sfixed64", "f_double", "f_float"]
_NUMBER_TEXTS = [
    "0", "-0", "7", "-42", "2147483647", "2147483648", "-2147483649", "4294967296",
    "999999999999999999", "9223372036854775807", "-9223372036854775808", "18446744073709551615",
    "1e2", "1.5", "-1.0", "1e400", "3.4028235e38", "3.5e38", "0.1",
    '"0"', '"-0"', '"007"', '"-42"', '"+5"', '"9223372036854775807"', '"9223372036854775808"',
    '"-9223372036854775809"', '" 5"', '"5 "', '""', '"-"', '"1e2"', '"1.5"', '"NaN"', '"-Infinity"',
    '"\\u0035"', "null", "true", '{"a": 1}', "[1]",
    '"18446744073709551615"', '"18446744073709551616"', '"99999999999999999999"',
    '"-18446744073709551615"', '"018446744073709551615"', '"-00000000000000000001"',
    '"00000000000000000042"',
]


def _outcome(read: Any) -> Any:
    try:
        value = read()
        return ("value", type(value), repr(value))
    except Exception as e:  # the outcome compared is the exception itself
        return (type(e), str(e))


@pytest.mark.parametrize("field", _NUMBER_FIELDS)
def test_number_fields_read_from_text_as_from_a_tree(scalars: Any, field: str) -> None:
    # A singular number in its common form is read in place; every text must
    # still give what the tree reader (which has no such shortcut) gives.
    for value in _NUMBER_TEXTS:
        if value == "-0" and field in ("f_double", "f_float"):
            continue  # a tree holds the int 0: the text's -0.0 is not in it
        for text in (f'{{"{field}":{value}}}', f'{{"{field}" : {value} }}'):
            tree = json.loads(text)
            got = _outcome(lambda text=text: getattr(scalars.from_json(text), field))
            want = _outcome(lambda tree=tree: getattr(scalars.from_dict(tree), field))
            assert got == want, text


@pytest.mark.parametrize(
    "value",
    [
        '"STATUS_ACTIVE"', '"STATUS_DONE"', '"STATUS_UNSPECIFIED"', '"STATUS_ACTIV"',
        '"STATUS_ACTIVEX"', '"STATUS_\\u0041CTIVE"', '"status_active"', '""', '"STATUS_DONE',
        "1", "null",
    ],
)
@pytest.mark.parametrize("ignore", [False, True])
def test_enum_names_read_from_text_as_from_a_tree(scalars: Any, value: str, ignore: bool) -> None:
    # Names of a short enum are compared in place in the text; near misses,
    # escapes and unknown names take the general read.
    for text in (f'{{"f_status":{value}}}', f'{{"f_status" : {value} }}'):
        got = _outcome(
            lambda text=text: scalars.from_json(text, ignore_unknown_fields=ignore).f_status
        )
        try:
            tree = json.loads(text)
        except ValueError:
            assert got[0] is json.JSONDecodeError, text
            continue
        want = _outcome(
            lambda tree=tree: scalars.from_dict(tree, ignore_unknown_fields=ignore).f_status
        )
        assert got == want, text


_SEQUENCES_VALID = [
    b"\xc2\x80", b"\xdf\xbf", b"\xe0\xa0\x80", b"\xed\x9f\xbf", b"\xee\x80\x80", b"\xef\xbf\xbf",
    b"\xf0\x90\x80\x80", b"\xf4\x8f\xbf\xbf",
]
_SEQUENCES_INVALID = [
    b"\xc0\x80", b"\xc1\xbf", b"\xe0\x9f\xbf", b"\xed\xa0\x80", b"\xed\xbf\xbf",
    b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xf8\x88\x80\x80",
    b"\xc3a", b"\xe4\xb8a", b"\xf0\x9f\x99a", b"\x80", b"\xc3",
]


@pytest.mark.parametrize("sequence", _SEQUENCES_VALID + _SEQUENCES_INVALID)
@pytest.mark.parametrize(
    ("before", "after"),
    # Inside runs of multi-byte text (decoded several at a time), and as the
    # text's last bytes, where fewer than four are left.
    [("ж" * 3, "日本🙂" * 2), ("🙂" * 70, "é" * 70), ("日", ""), ("", "")],
)
def test_multibyte_sequences_in_runs(
    scalars: Any, sequence: bytes, before: str, after: str
) -> None:
    head = b'{"f_string":"' + before.encode()
    data = head + sequence + after.encode() + b'"}'
    body = before.encode() + sequence + after.encode()
    try:
        want = body.decode()
    except UnicodeDecodeError:
        with pytest.raises(json.JSONDecodeError) as info:
            scalars.from_json(data)
        assert (info.value.msg, info.value.pos) == ("invalid unicode code point", len(head))
    else:
        assert scalars.from_json(data).f_string == want


@pytest.mark.parametrize(
    ("rest", "outcome"),
    [
        ('"a" :"b","c"\t:"d"}}', {"a": "b", "c": "d"}),
        ('"a"', ("EOF while parsing an object", 0)),
        ('"a" ', ("EOF while parsing an object", 0)),
        ('"a"x', ("expected `:`", -1)),
        ('"a', ("EOF while parsing a string", 0)),
    ],
)
def test_map_keys_and_their_colons(registry: velum.Registry, rest: str, outcome: Any) -> None:
    # Plain keys are taken inline only with their colon; anything else is left
    # to the general read and its errors.
    maps = registry.message_class(f"{P3}.Maps")
    text = '{"stringString":{' + rest
    if isinstance(outcome, dict):
        assert maps.from_json(text).string_string == outcome
        return
    with pytest.raises(json.JSONDecodeError) as got:
        maps.from_json(text)
    assert (got.value.msg, got.value.pos) == (outcome[0], len(text) + outcome[1])


_DECIMALS_VALID = [
    "0.0", "-0.0", "0.5", "-0.05", "1.5", "404.0", "9744234.0", "1234567.1234567", "-76.17123",
    "0.0000001", "12345678.5", "1.12345678", "1234567.12345678", "1.5e3", "1.5E-3", "-2.0e+2",
    "3.4028235", "0.30000000000000004",
]
_DECIMALS_INVALID = ["01.5", "-01.5", "1.", "1.e5", ".5", "-.5", "+1.5", "1.5.3", "-", "1.5e"]


@pytest.mark.parametrize("literal", _DECIMALS_VALID)
@pytest.mark.parametrize("padded", [False, True])
def test_decimal_literals_as_values_and_double_fields(
    scalars: Any, literal: str, padded: bool
) -> None:
    # Short decimals are valued from one word per digit run when the text
    # goes on for a while after them, and by the full scan near its end.
    tail = ',"fString":"' + "x" * 20 + '"' if padded else ""
    struct = wkt.Struct.from_json(f'{{"a":{literal}{tail}}}')
    assert repr(struct.to_dict()["a"]) == repr(float(literal))
    for field in ("f_double", "f_float"):
        msg = scalars.from_json(f'{{"{field}":{literal}{tail}}}')
        assert repr(getattr(msg, field)) == repr(float(literal))


@pytest.mark.parametrize("literal", _DECIMALS_INVALID)
def test_malformed_decimal_literals_refused(scalars: Any, literal: str) -> None:
    tail = ',"fString":"' + "x" * 20 + '"'
    with pytest.raises(ValueError):
        wkt.Struct.from_json(f'{{"a":{literal}{tail}}}')
    with pytest.raises(ValueError):
        scalars.from_json(f'{{"f_double":{literal}{tail}}}')
