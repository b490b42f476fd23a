"""JSON text and value-tree input: what reaches the reader, and the exact
JSONDecodeError (message, document, byte offset) of malformed text."""

from __future__ import annotations

import contextlib
import json
import sys
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velum

SCALARS = "velum.test.proto3.Scalars"


@pytest.fixture(scope="module")
def scalars(registry: velum.Registry) -> Any:
    return registry.message_class(SCALARS)


@pytest.mark.parametrize("text", ['{"fInt32": 7}', b'{"fInt32": 7}', bytearray(b'{"fInt32": 7}')])
def test_str_bytes_and_bytearray_read_alike(scalars: Any, text: Any) -> None:
    assert scalars.from_json(text).f_int32 == 7
    target = scalars()
    target.merge_from_json(text)
    assert target.f_int32 == 7


@pytest.mark.parametrize("value", [{}, None, 1, ["{}"], memoryview(b"{}")])
def test_other_inputs_are_refused(scalars: Any, value: Any) -> None:
    with pytest.raises(TypeError) as info:
        scalars.from_json(value)
    assert str(info.value) == f"json must be str, bytes, or bytearray, got {type(value)}"


def test_str_holding_lone_surrogates_is_refused(scalars: Any) -> None:
    with pytest.raises(UnicodeEncodeError):
        scalars.from_json('{"fString": "\ud800"}')


def test_bytearray_is_copied_before_reading(scalars: Any) -> None:
    data = bytearray(b'{"fString": "abc"}')
    msg = scalars.from_json(data)
    data[13:16] = b"xyz"
    assert msg.f_string == "abc"


SYNTAX = [
    ("", "EOF while parsing a value", 0),
    ("  \n", "EOF while parsing a value", 3),
    ("{", "EOF while parsing an object", 1),
    ('{"fInt32":1', "EOF while parsing an object", 11),
    ('{"fInt32"', "EOF while parsing an object", 9),
    ('{"fInt32":', "EOF while parsing a value", 10),
    ('{"fString":"ab', "EOF while parsing a string", 14),
    ('{"fInt32" 1}', "expected `:`", 10),
    ('{"fInt32":1 "fBool":true}', "expected `,` or `}`", 12),
    ('{"zzz":[1 2]}', "expected `,` or `]`", 10),
    ('{"zzz":[1,]}', "trailing comma", 10),
    ('{"fInt32":1,}', "trailing comma", 12),
    ('{"fBool":tru}', "expected ident", 12),
    ('{"fBool":nul}', "expected ident", 12),
    ('{"fDouble":NaN}', "expected value", 11),
    ('{"fDouble":Infinity}', "invalid number", 11),
    ('{"fDouble":-Infinity}', "invalid number", 12),
    ('{"fInt32":01}', "invalid number", 11),
    ('{"fInt32":1.}', "invalid number", 12),
    ('{"fInt32":+1}', "expected value", 10),
    ('{"fString":"\\q"}', "invalid escape", 13),
    ('{"fString":"\\u12x4"}', "invalid escape", 16),
    ('{"fString":"\\ud800"}', "unexpected end of hex escape", 18),
    ('{"fString":"\\ud800\\u0041"}', "lone leading surrogate in hex escape", 12),
    ('{"fString":"\\udc00"}', "lone leading surrogate in hex escape", 12),
    ('{"fString":"a\tb"}', "control character (\\u0000-\\u001F) found while parsing a string", 13),
    ("{1:2}", "key must be a string", 1),
    ("{} x", "trailing characters", 3),
    ("{}{}", "trailing characters", 2),
    ("{}\f", "trailing characters", 2),
    ('{"unknown":[[[1}', "expected `,` or `]`", 15),
]


@pytest.mark.parametrize(("text", "message", "offset"), SYNTAX)
def test_syntax_errors(scalars: Any, text: str, message: str, offset: int) -> None:
    with pytest.raises(json.JSONDecodeError) as info:
        scalars.from_json(text, ignore_unknown_fields=True)
    assert (info.value.msg, info.value.pos, info.value.doc) == (message, offset, text)


def test_whitespace_is_the_four_json_bytes(scalars: Any) -> None:
    assert scalars.from_json(' \t\r\n{ "fInt32" :\n1 } \r\n\t').f_int32 == 1
    with pytest.raises(json.JSONDecodeError, match="expected value"):
        scalars.from_json("\v{}")


def test_offsets_count_bytes_not_characters(scalars: Any) -> None:
    text = '{"fString":"ééé", x}'
    with pytest.raises(json.JSONDecodeError) as info:
        scalars.from_json(text)
    assert info.value.pos == len(text.encode()) - 2
    assert info.value.doc == text


@pytest.mark.parametrize(
    ("data", "offset"),
    [(b'{"fString":"\xff"}', 12), (b'{"fString":"a\xc3"}', 13), (b'{"fString":"\xed\xa0\x80"}', 12),
     (b'{"fString":"\xf4\x90\x80\x80"}', 12), (b'{"fString":"\xc0\xaf"}', 12)],
)  # fmt: skip
def test_invalid_utf8_is_refused_with_a_readable_document(
    scalars: Any, data: bytes, offset: int
) -> None:
    with pytest.raises(json.JSONDecodeError) as info:
        scalars.from_json(data)
    assert (info.value.msg, info.value.pos) == ("invalid unicode code point", offset)
    assert info.value.doc == data.decode("utf-8", "replace")


def test_invalid_utf8_in_a_skipped_member_is_refused_too(scalars: Any) -> None:
    with pytest.raises(json.JSONDecodeError, match="invalid unicode code point"):
        scalars.from_json(b'{"zzz":"\xfe"}', ignore_unknown_fields=True)


def test_escapes_and_surrogate_pairs(scalars: Any) -> None:
    text = r'{"fString":"\"\\\/\b\f\n\r\t\u0000\u00e9\ud83d\ude00"}'
    assert scalars.from_json(text).f_string == '"\\/\b\f\n\r\t\x00é\U0001f600'


def test_escaped_member_names_match_fields(scalars: Any) -> None:
    assert scalars.from_json('{"f\\u0049nt32": 3}').f_int32 == 3


@pytest.mark.parametrize("opener", ["[", '{"a":'])
def test_a_million_openers_fail_cleanly(scalars: Any, opener: str) -> None:
    text = '{"zzz":' + opener * 1_000_000
    with pytest.raises(json.JSONDecodeError) as info:
        scalars.from_json(text, ignore_unknown_fields=True)
    assert info.value.msg == "recursion limit exceeded"
    with pytest.raises(json.JSONDecodeError, match="recursion limit exceeded"):
        scalars.from_json("[" * 1_000_000)


def test_deep_but_bounded_arrays_are_skipped(scalars: Any) -> None:
    text = '{"zzz":' + "[" * 900 + "]" * 900 + ', "fInt32": 1}'
    assert scalars.from_json(text, ignore_unknown_fields=True).f_int32 == 1


def test_huge_numbers(scalars: Any) -> None:
    digits = "9" * 5000
    with pytest.raises(json.JSONDecodeError, match="number out of range"):
        scalars.from_json(f'{{"fInt64": {digits}}}')
    with pytest.raises(OverflowError, match="out of range for int64"):
        scalars.from_json(f'{{"fInt64": {digits[:4000]}}}')
    with pytest.raises(ValueError, match="unexpected infinite/NaN number"):
        scalars.from_json(f'{{"fDouble": {digits}.5}}')
    assert scalars.from_json('{"fDouble": 1e-400}').f_double == 0.0


def test_value_in_error_is_materialised_from_text(scalars: Any) -> None:
    with pytest.raises(TypeError) as info:
        scalars.from_json('[1, "a", {"b": null}, 2.5, true]')
    assert str(info.value) == "cannot decode Scalars from JSON: [1, 'a', {'b': None}, 2.5, True]"


# The value tree.


@pytest.mark.parametrize(
    ("tree", "message"),
    [({"fInt32": (1, 2)}, "unexpected type in JSON tree: <class 'tuple'>"),
     ({"fBytes": b"YQ=="}, "unexpected type in JSON tree: <class 'bytes'>"),
     ({1: 2}, "JSON object keys must be strings"),
     ({"fInt32": object()}, "unexpected type in JSON tree: <class 'object'>")],
)  # fmt: skip
def test_tree_type_errors(scalars: Any, tree: Any, message: str) -> None:
    with pytest.raises(TypeError) as info:
        scalars._from_json_value(tree)
    assert str(info.value) == message


def test_tree_strings_are_shared_not_copied(scalars: Any) -> None:
    text = "".join(["shared ", "string"])
    msg = scalars.from_json_value({"fString": text})
    assert msg.f_string is text

    class Text(str):
        pass

    sub = Text("sub")
    assert scalars.from_json_value({"fString": sub}).f_string is sub


def test_tree_subclasses_of_containers_and_numbers(registry: velum.Registry, scalars: Any) -> None:
    class D(dict):  # type: ignore[type-arg]
        pass

    class L(list):  # type: ignore[type-arg]
        pass

    class I(int):  # noqa: E742
        pass

    msg = scalars.from_json_value(D(fInt32=I(4), fDouble=3))
    assert (msg.f_int32, msg.f_double) == (4, 3.0)
    assert type(msg.f_double) is float
    assert type(msg.f_int32) is I  # an int in range is kept as given
    repeated = registry.message_class("velum.test.proto3.Repeated")
    assert repeated.from_json_value(D(packedInt32=L([1, 2.0]))).packed_int32 == [1, 2]


def test_tree_dict_changed_by_python_code_fails(scalars: Any) -> None:
    tree: dict[str, Any] = {"[pkg.ext]": 1, "fInt32": 2}

    class Meddler:
        def extension(self, name: str) -> None:
            tree[name + "!"] = 0

    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        scalars.from_json_value(tree, registry=Meddler(), ignore_unknown_fields=True)


def test_big_int_tree_value_for_double_propagates_overflow(scalars: Any) -> None:
    with pytest.raises(OverflowError):
        scalars.from_json_value({"fDouble": 10**400})


def test_depth_of_the_parser_is_independent_of_the_interpreter(scalars: Any) -> None:
    limit = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(60)
        assert scalars.from_json(
            '{"zzz":' + "[" * 500 + "]" * 500 + "}", ignore_unknown_fields=True
        )
    finally:
        sys.setrecursionlimit(limit)


# Arbitrary input: a clear exception or a message, never anything else.

FAILURES = (json.JSONDecodeError, ValueError, TypeError, OverflowError, RecursionError)
JSON_ATOMS = st.sampled_from(
    ['{', '}', '[', ']', ',', ':', '"', '\\', 'null', 'true', '-', '0', '1e9', '.5', ' ',
     '"fInt32"', '"fString"', '"fBytes"', '"fStatus"', '"zzz"', '\\u', 'd83d', '\xff', '\x00']
)  # fmt: skip


@settings(max_examples=300, deadline=None, derandomize=True)
@given(st.one_of(st.binary(max_size=60), st.lists(JSON_ATOMS, max_size=30).map("".join)))
def test_arbitrary_input_fails_cleanly(scalars: Any, data: bytes | str) -> None:
    for ignore in (False, True):
        with contextlib.suppress(FAILURES):
            scalars.from_json(data, ignore_unknown_fields=ignore)
