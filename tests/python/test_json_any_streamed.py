"""Any objects whose first member is "@type" are read from the text as they go; every
other one is taken whole as Python values first. Both must give what reading the object
whole gives: the same message (the same packed bytes) or the same error. The reference
is `_from_json_value` of `json.loads(text)`, which is the whole-object read."""

from __future__ import annotations

import json
from typing import Any

import hostile_schema
import pytest
from conftest import compile_protos

import velum
from velum import wkt

URL = "type.googleapis.com/" + hostile_schema.FLAT


@pytest.fixture(scope="module")
def registry() -> Any:
    return hostile_schema.load_registry()


def outcome(read: Any) -> Any:
    try:
        msg = read()
    except (ValueError, TypeError, OverflowError, RecursionError) as e:
        return type(e), str(e)
    return msg.type_url, msg.value


def flat(members: str) -> str:
    return '{"@type": "' + URL + '"' + (", " + members if members else "") + "}"


def nested(levels: int) -> str:
    return '{"next": ' * levels + '{"i": 1}' + "}" * levels


@pytest.mark.parametrize(
    "text",
    [
        flat(""),
        flat('"i": 1, "s": "x", "d": 1.5, "b": "YQ==", "packed": [1, 2], "m": {"k": "OPEN_ONE"}'),
        flat('"next": {"i": 2, "next": {"s": "deep"}}'),
        # A repeated name keeps its last value in a dict, in the place of its first.
        flat('"i": 1, "i": 2'),
        flat('"i": "bad", "i": 3'),
        flat('"pEnum": "OPEN_ONE", "pBytes": "YQ==", "pEnum": "OPEN_TWO"'),
        flat('"next": {"i": 1, "s": "a", "i": 2}'),
        flat('"packed": [1], "m": {}, "packed": [2, 3]'),
        flat('"m": {"k": "OPEN_ONE", "k": "OPEN_TWO"}'),
        # "@type" again later: the dict holds the later one.
        flat('"i": 1, "@type": "type.googleapis.com/no.Such"'),
        # Numbers a tree holds differently from the literal.
        flat('"d": -0'),
        flat('"d": -0.0'),
        flat('"d": 1e400'),
        flat('"i": 1e400'),
        flat('"opt": 123456789012345678901234567890'),
        flat('"opt": 9223372036854775807, "d": 12345678901234567890123'),
        # Errors of the packed members, in the order a whole read meets them.
        flat('"bogus": 1'),
        flat('"i": "x", "bogus": 1'),
        flat('"i": 1.5'),
        flat('"packed": {}'),
        flat('"next": {"bogus": true}'),
        flat('"e": "NO_SUCH"'),
        flat('"next": ' + nested(40)),
        flat(", ".join(f'"x{n}": {n}' for n in range(40))),
        # The type URL: escaped, unknown, not a string, not first.
        '{"@type": "type.googleapis.com\\/' + hostile_schema.FLAT + '", "i": 1}',
        '{"@type": "type.googleapis.com/no.Such", "i": 1}',
        '{"@type": "", "i": 1}',
        '{"@type": 5, "i": 1}',
        '{"i": 1, "@type": "' + URL + '"}',
        "{}",
        "[]",
        # Packed well-known types: "value" may come anywhere, or be absent.
        '{"@type": "type.googleapis.com/google.protobuf.Duration", "value": "1.5s"}',
        '{"@type": "type.googleapis.com/google.protobuf.Duration", "x": 1, "value": "2s"}',
        '{"@type": "type.googleapis.com/google.protobuf.Struct", "a": [1, {"b": null}]}',
        '{"@type": "type.googleapis.com/google.protobuf.Any", "value": ' + flat('"i": 4') + "}",
    ],
)
@pytest.mark.parametrize("ignore", [False, True])
def test_streamed_reads_as_the_whole_object(registry: Any, text: str, ignore: bool) -> None:
    options = {"registry": registry, "ignore_unknown_fields": ignore}
    want = outcome(lambda: wkt.Any._from_json_value(json.loads(text), **options))
    assert outcome(lambda: wkt.Any.from_json(text, **options)) == want
    assert outcome(lambda: wkt.Any.from_json(text.encode(), **options)) == want
    # Compact text, whose member names are matched in place where expected.
    compact = text.replace('", "', '","').replace(", ", ",").replace('": ', '":')
    assert outcome(lambda: wkt.Any.from_json(compact, **options)) == want


@pytest.mark.parametrize(
    ("text", "message"),
    [
        # A syntax error after a member the packed type refuses is still reported first.
        (flat('"bogus": 1,'), "trailing comma"),
        (flat('"i": "x", "s": tru'), "expected ident"),
        (flat('"i": 1') + " x", "trailing characters"),
        (flat('"next": {"i": 1}'), None),
    ],
)
def test_syntax_errors_come_before_member_errors(
    registry: Any, text: str, message: str | None
) -> None:
    if message is None:
        assert wkt.Any.from_json(text, registry=registry).type_url == URL
        return
    with pytest.raises(json.JSONDecodeError) as raised:
        wkt.Any.from_json(text, registry=registry)
    assert raised.value.msg == message


class Counting:
    """A registry of the caller's own, which must be asked once per Any."""

    def __init__(self, inner: Any) -> None:
        self.inner = inner
        self.asked: list[str] = []

    def message(self, name: str) -> Any:
        self.asked.append(name)
        return self.inner.message(name)


@pytest.mark.parametrize(
    "text",
    [
        flat('"i": 1'),
        '{"@type": "type.googleapis.com/google.protobuf.Duration", "value": "1s"}',
        '{"i": 1, "@type": "' + URL + '"}',
        '{"@type": "type.googleapis.com/no.Such"}',
    ],
)
def test_registry_is_asked_once(registry: Any, text: str) -> None:
    counting = Counting(registry)
    outcome(lambda: wkt.Any.from_json(text, registry=counting))
    assert len(counting.asked) == 1


@pytest.mark.parametrize("field", ["any", "anys", "amap", "oAny"])
@pytest.mark.parametrize(
    "body",
    [
        '{"@type": "/velum.test.wktjson.Leaf", "a": 1,'
        ' "any": {"@type": "/velum.test.wktjson.Leaf", "s": "x"}}',
        '{"@type": "/velum.test.wktjson.Leaf", "a": 1, "a": 2}',
        '{"@type": "/velum.test.wktjson.Leaf", "bogus": 1}',
        '{"@type": "/velum.test.wktjson.Leaf", "a": "x"}',
        '{"@type": "/velum.test.wktjson.Leaf", "child": {"any": {"@type": "/no.Such"}}}',
        '{"@type": "/no.Such"}',
    ],
)
def test_any_fields_read_as_whole_objects(field: str, body: str) -> None:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_wkt_json.proto"))
    holder = reg.message_class("velum.test.wktjson.Holder")
    value = {"anys": f"[{body}, {body}]", "amap": f'{{"k": {body}}}'}.get(field, body)
    text = f'{{"{field}": {value}}}'

    def read(source: Any) -> Any:
        try:
            return source().to_binary()
        except (ValueError, TypeError, OverflowError, RecursionError) as e:
            return type(e), str(e)

    want = read(lambda: holder._from_json_value(json.loads(text), registry=reg))
    assert read(lambda: holder.from_json(text, registry=reg)) == want
