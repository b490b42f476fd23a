"""An Any whose packed type is plain (scalars, enums, lists) is read from JSON straight into
its packed bytes, without an instance of the packed type. Those bytes, and every error,
must be exactly what reading the payload into an instance and encoding it gives.

The reference for every case is the packed class's own `from_json` (or, where the Any is
taken whole, `from_dict` of the members) followed by `to_binary`.
"""

from __future__ import annotations

import functools
import json
from typing import Any

import pytest
from conftest import compile_protos, diff_settings
from hypothesis import given
from hypothesis import strategies as st

import velum
from velum import wkt

P3 = "velum.test.packedany"
P2 = "velum.test.packedany2"
PLAIN = f"{P3}.Plain"
LEGACY = f"{P2}.Legacy"
SETTINGS = diff_settings(300)


@functools.cache
def registry() -> velum.Registry:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_packed_any.proto", "test_packed_any_proto2.proto"))
    return reg


def outcome(fn: Any) -> tuple[str, Any]:
    try:
        return "ok", fn()
    except Exception as exc:  # the exact class and text are what is compared
        return type(exc).__name__, str(exc)


def members_text(members: list[tuple[str, str]]) -> str:
    return "{" + ", ".join(json.dumps(k) + ": " + v for k, v in members) + "}"


def any_text(type_name: str, members: list[tuple[str, str]]) -> str:
    url = json.dumps("type.googleapis.com/" + type_name)
    return members_text([("@type", url), *members])


def check(type_name: str, members: list[tuple[str, str]], whole: bool = False,
          **options: Any) -> None:
    """The Any read from text and from a tree against the packed class's own read.
    `whole`: the text holds what only the whole-object road takes (repeated names,
    numbers a tree holds differently), whose reference is the tree read."""
    reg = registry()
    packed = reg.message_class(type_name)
    url = "type.googleapis.com/" + type_name
    body = members_text(members)

    def read(any_read: Any) -> Any:
        msg = any_read()
        return msg.type_url, msg.value

    def ref_text() -> Any:
        payload = packed.from_json(body, registry=reg, **options)
        return url, payload.to_binary()

    def ref_tree() -> Any:
        payload = packed.from_dict(json.loads(body), registry=reg, **options)
        return url, payload.to_binary()

    text = any_text(type_name, members)
    got = outcome(lambda: read(lambda: wkt.Any.from_json(text, registry=reg, **options)))
    assert got == outcome(ref_tree if whole else ref_text)
    # Later in a call the Any is read without a scan first: the same as with a
    # registry of the caller's own, which always takes the scanned road.
    batch = '{"items": [' + any_text(PLAIN, []) + ", " + text + "]}"
    batch_cls = reg.message_class(f"{P3}.Batch")

    def second(registry: Any) -> Any:
        item = batch_cls.from_json(batch, registry=registry, **options).items[1]
        return item.type_url, item.value

    assert outcome(lambda: second(reg)) == outcome(lambda: second(OwnRegistry(reg)))
    tree = json.loads(text)
    got = outcome(lambda: read(lambda: wkt.Any.from_dict(tree, registry=reg, **options)))
    assert got == outcome(ref_tree)
    assert tree == json.loads(text), "the caller's dict is left as it was"


class OwnRegistry:
    """A registry of the caller's own, asked for every Any."""

    def __init__(self, inner: velum.Registry) -> None:
        self.inner = inner

    def __getattr__(self, name: str) -> Any:
        return getattr(self.inner, name)


# Random members: the right kind of value for the field, or any JSON value at all.

INT64 = st.integers(-(2**63), 2**63 - 1)
JSON_LEAF = (
    st.none() | st.booleans() | INT64 | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=4)
    | st.sampled_from(["NaN", "-Infinity", "12", "1e3", " 7", "0x10", "1.5", "YQ==", "YQ",
                       "MOOD_CALM", "MOOD_NOPE", "TONE_HIGH", "2", "", "é", "日本"])
    | st.sampled_from([2**31, -(2**31) - 1, 2**32, 1.5, 1e39, -1, 3.4028235e38, 0.1])
)
JSON_VALUE = st.recursive(
    JSON_LEAF,
    lambda inner: (
        st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=2), inner, max_size=2)
    ),
    max_leaves=6,
)

PLAIN_NAMES = [
    "i32", "i64", "u32", "u64", "s32", "s64", "f32", "f64", "sf32", "sf64", "fl", "db", "flag",
    "text", "blob", "mood", "maybe", "maybe_text", "maybeText", "ids", "values", "names",
    "blobs", "moods", "flags", "deltas", "bogus", "[velum.test.packedany.nope]",
]
LEGACY_NAMES = ["count", "label", "tone", "tones", "nums", "on", "other",
                f"[{P2}.x_count]"]


@st.composite
def members(draw: st.DrawFn, names: list[str]) -> list[tuple[str, str]]:
    chosen = draw(st.lists(st.sampled_from(names), unique=True, max_size=6))
    out = []
    for name in chosen:
        value = draw(JSON_VALUE | st.lists(JSON_LEAF, max_size=3))
        out.append((name, json.dumps(value, ensure_ascii=draw(st.booleans()))))
    return out


@SETTINGS
@given(members(PLAIN_NAMES), st.booleans())
def test_plain_members_match_the_instance_road(ms: list[tuple[str, str]], ignore: bool) -> None:
    check(PLAIN, ms, ignore_unknown_fields=ignore)


@SETTINGS
@given(members(LEGACY_NAMES), st.booleans())
def test_proto2_members_match_the_instance_road(ms: list[tuple[str, str]], ignore: bool) -> None:
    check(LEGACY, ms, ignore_unknown_fields=ignore)


# Edge payloads, written by hand.

@pytest.mark.parametrize(
    ("type_name", "members", "whole"),
    [
        (PLAIN, [], False),
        (PLAIN, [("i32", "0"), ("text", '""'), ("db", "0.0"), ("mood", '"MOOD_UNSET"')], False),
        (PLAIN, [("db", "-0.0"), ("fl", "-0.0"), ("maybe", "0"), ("maybeText", '""')], False),
        # The members in reverse field order: the bytes still follow the fields.
        (PLAIN, [("names", '["b", "a"]'), ("flag", "true"), ("i64", '"-5"'), ("i32", "1")], False),
        # One field by both of its names: the last mention wins, a list starts over.
        (PLAIN, [("maybe_text", '"a"'), ("maybeText", '"b"')], False),
        (PLAIN, [("maybeText", '"a"'), ("maybe_text", "null")], False),
        # A null resets a field; in a list it is refused.
        (PLAIN, [("i32", "null"), ("maybe", "null"), ("mood", "null"), ("ids", "null")], False),
        (PLAIN, [("ids", "[1, null]")], False),
        (PLAIN, [("moods", '["MOOD_CALM", null]')], False),
        # Wrong kinds and out-of-range numbers.
        (PLAIN, [("i32", "2147483648")], False),
        (PLAIN, [("u32", "-1")], False),
        (PLAIN, [("u64", "18446744073709551615"), ("i64", '"9223372036854775807"')], False),
        # The 64-bit types at their bounds, zero (left out) and refused, in and out of quotes.
        (PLAIN, [("i64", '"0"'), ("u64", "0"), ("f64", '"0"'), ("sf64", "-0")], False),
        (PLAIN, [("i64", '"-9223372036854775808"'), ("u64", '"18446744073709551615"'),
                 ("f64", '"18446744073709551615"'), ("sf64", '"-1"')], False),
        (PLAIN, [("sf64", "-9223372036854775807"), ("f64", "123"), ("i64", "-12")], False),
        (PLAIN, [("f64", '"-1"')], False),
        (PLAIN, [("i64", '"9223372036854775808"')], False),
        (PLAIN, [("sf64", '"18446744073709551616"')], False),
        (PLAIN, [("fl", "3.5e38")], False),
        (PLAIN, [("fl", '"Infinity"'), ("db", '"NaN"')], False),
        (PLAIN, [("i32", "1.5")], False),
        (PLAIN, [("i32", "1e2"), ("s64", '"1e2"')], False),
        (PLAIN, [("text", "5")], False),
        (PLAIN, [("blob", '"not base64!"')], False),
        (PLAIN, [("flag", '"true"')], False),
        (PLAIN, [("ids", '{"a": 1}')], False),
        (PLAIN, [("ids", '"1"')], False),
        (PLAIN, [("mood", '"MOOD_NOPE"'), ("moods", '["MOOD_NOPE", "MOOD_LOUD", 7]')], False),
        (PLAIN, [("mood", "7"), ("mood_", "1")], False),
        (PLAIN, [("mood", "1.0")], False),
        # The first error met is the one raised.
        (PLAIN, [("i32", '"x"'), ("bogus", "1")], False),
        (PLAIN, [("bogus", "1"), ("i32", '"x"')], False),
        # Extension names: one of the type is read, others refused or skipped.
        (LEGACY, [("count", "3"), (f"[{P2}.x_count]", "4"), ("on", "false")], False),
        (LEGACY, [(f"[{P2}.x_count]", '"bad"')], False),
        (LEGACY, [("[no.such.ext]", "1")], False),
        (PLAIN, [("[velum.test.packedany.Plain]", "1")], False),
        # proto2: defaults, closed enums.
        (LEGACY, [("count", "7"), ("label", '"none"'), ("on", "true")], False),
        (LEGACY, [("count", "null"), ("label", "null"), ("tone", "null")], False),
        (LEGACY, [("tone", "2")], False),
        (LEGACY, [("tones", '["TONE_LOW", 3, "TONE_HIGH"]')], False),
        (LEGACY, [("nums", "[1, 2, 3]"), ("tone", '"TONE_HIGH"')], False),
        # Repeated names and numbers a tree holds differently: the object is taken whole.
        (PLAIN, [("i32", "1"), ("i32", "2")], True),
        (PLAIN, [("i32", '"bad"'), ("i32", "3")], True),
        (PLAIN, [("db", "-0")], True),
        (PLAIN, [("db", "1e400")], True),
        (PLAIN, [("u64", "123456789012345678901234567890")], True),
    ],
)
@pytest.mark.parametrize("ignore", [False, True])
def test_edge_payloads(type_name: str, members: list[tuple[str, str]], whole: bool,
                       ignore: bool) -> None:
    check(type_name, members, whole, ignore_unknown_fields=ignore)


def test_required_fields_take_the_instance_road() -> None:
    """A type with a required field is not plain: the bytes come from its instance."""
    check(f"{P2}.Needs", [("other", "1")])
    check(f"{P2}.Needs", [("need", "2"), ("other", "1")])


def test_depth_limit_holds_for_plain_payloads() -> None:
    reg = registry()
    inner = any_text(PLAIN, [("i32", "1")])
    text = inner
    for _ in range(120):
        text = '{"@type": "type.googleapis.com/google.protobuf.Any", "value": ' + text + "}"
    with pytest.raises(RecursionError, match="exceeded maximum recursion depth"):
        wkt.Any.from_json(text, registry=reg)
    with pytest.raises(RecursionError, match="exceeded maximum recursion depth"):
        wkt.Any.from_dict(json.loads(text), registry=reg)


def test_payload_in_a_field_keeps_the_any_unchanged_on_error() -> None:
    """A failure inside the payload leaves a merged-into Any as it was."""
    reg = registry()
    target = wkt.Any(type_url="kept", value=b"\x08\x01")
    with pytest.raises(ValueError):
        target.merge_from_json(any_text(PLAIN, [("i32", "1"), ("bogus", "2")]), registry=reg)
    assert (target.type_url, target.value) == ("kept", b"\x08\x01")


@pytest.mark.parametrize(
    "second_url",
    [
        f"type.googleapis.com/{PLAIN}",  # the URL of the Any before, met again
        f"type.googleapis.com\\/{PLAIN}",  # the same URL, escaped
        f"type.googleapis.com/{PLAIN[:-1]}\\u006e",
        f"type.googleapis.com/{PLAIN}x",  # one byte longer, or shorter
        f"type.googleapis.com/{PLAIN[:-1]}",
        f"type.googleapis.com/{LEGACY}",  # another type
    ],
)
@pytest.mark.parametrize("space", ["", " "])
def test_type_urls_met_again_read_as_a_tree(second_url: str, space: str) -> None:
    """In a batch the type URL of the Any before is recognised again: it must read
    exactly as the tree road reads the same items (escapes, near misses, errors)."""
    reg = registry()
    first = any_text(PLAIN, [("i64", '"7"')])
    second = '{"@type":' + space + '"' + second_url + '", "i64": "8"}'
    batch = '{"items": [' + first + ", " + second + ", " + first + "]}"
    batch_cls = reg.message_class(f"{P3}.Batch")

    def read(fn: Any) -> Any:
        return [(item.type_url, item.value) for item in fn().items]

    assert outcome(lambda: read(lambda: batch_cls.from_json(batch, registry=reg))) == outcome(
        lambda: read(lambda: batch_cls.from_dict(json.loads(batch), registry=reg))
    )
