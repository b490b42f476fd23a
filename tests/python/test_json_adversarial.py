"""Adversarial JSON input and hostile Python code: a clear error, never a crash or a hang.

Huge and deep documents, escape runs, invalid text, duplicate members by the
thousand, registries that raise, answer oddly or change the tree being read, and
values whose own Python code changes the message while it is written. Each test runs
under a watchdog that kills the process when a call hangs; the bound is a hang guard
only, far above the time any of these takes.
"""

from __future__ import annotations

import base64
import faulthandler
import json
import math
from collections.abc import Iterator
from typing import Any

import hostile_schema
import pytest

import velum
from velum import wkt

WATCHDOG_SECONDS = 120
MB = 1 << 20
JSON_ERRORS = (ValueError, TypeError, OverflowError, RecursionError)


@pytest.fixture(autouse=True)
def watchdog() -> Iterator[None]:
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def reg() -> velum.Registry:
    return hostile_schema.load_registry()


@pytest.fixture(scope="module")
def node(reg: velum.Registry) -> Any:
    return reg.message_class(hostile_schema.NODE)


@pytest.fixture(scope="module")
def flat(reg: velum.Registry) -> Any:
    return reg.message_class(hostile_schema.FLAT)


def deep_list(levels: int) -> Any:
    value: Any = []
    for _ in range(levels):
        value = [value]
    return value


def deep_dict(levels: int) -> Any:
    value: Any = {}
    for _ in range(levels):
        value = {"a": value}
    return value


# Nesting.


@pytest.mark.parametrize(
    ("cls", "text", "error"),
    [("node", "[" * 1_000_000, "recursion limit exceeded"),
     ("node", '{"a":' * 1_000_000, "recursion limit exceeded"),
     ("node", '{"zzz":' + '{"a":' * 1_000_000, "recursion limit exceeded"),
     ("any", '{"a":' + "[" * 1_000_000, "recursion limit exceeded"),
     ("value", "[" * 1_000_000, None),
     ("struct", '{"a":' * 1_000_000, None),
     ("node", '{"child":' * 1_000_000, None)],
    ids=["array", "object", "skipped", "any", "value", "struct", "message"],
)  # fmt: skip
def test_a_million_openers(node: Any, cls: str, text: str, error: str | None) -> None:
    target = {"node": node, "any": wkt.Any, "value": wkt.Value, "struct": wkt.Struct}[cls]
    with pytest.raises((json.JSONDecodeError, RecursionError)) as info:
        target.from_json(text, ignore_unknown_fields=True)
    if error is not None:
        assert isinstance(info.value, json.JSONDecodeError) and info.value.msg == error


@pytest.mark.parametrize("make", [deep_list, deep_dict])
def test_a_million_levels_in_a_tree(node: Any, make: Any) -> None:
    tree = make(1_000_000)
    with pytest.raises(RecursionError, match="exceeded maximum recursion depth 100"):
        wkt.Value._from_json_value(tree)
    # An unknown member's value is dropped whole, however deep.
    assert node._from_json_value({"zzz": tree}, ignore_unknown_fields=True) == node()
    any_doc = {"@type": "/google.protobuf.Value", "value": tree}
    with pytest.raises(RecursionError):
        wkt.Any._from_json_value(any_doc, registry=velum.Registry())


# Size.


def test_ten_megabyte_strings(node: Any) -> None:
    text = "é" * (5 * MB)
    msg = node.from_json(json.dumps({"fString": text}, ensure_ascii=False))
    assert msg.f_string == text
    assert node.from_json(msg.to_json()).f_string == text
    data = bytes(range(256)) * (30 * 1024)  # 7.5 MB, a 10 MB Base64 text
    encoded = base64.b64encode(data).decode()
    assert len(encoded) == 10 * MB
    assert node.from_json('{"fBytes":"' + encoded + '"}').f_bytes == data
    assert node._from_json_value({"fBytes": encoded}).f_bytes == data
    assert node.from_json(node(f_bytes=data).to_json()).f_bytes == data
    with pytest.raises(ValueError, match="invalid base64 data"):
        node.from_json('{"fBytes":"' + encoded[:-5] + "!" + encoded[-4:] + '"}')


@pytest.mark.parametrize(
    ("member", "number", "error", "message"),
    [("fInt64", "9" * 1_000_000, json.JSONDecodeError, "number out of range"),
     ("fDouble", "1" + "0" * 1_000_000, json.JSONDecodeError, "number out of range"),
     ("fDouble", "0." + "0" * 1_000_000 + "1", None, 0.0),
     ("fDouble", "1e999999", ValueError, "unexpected infinite/NaN number"),
     ("fDouble", "-1e999999", ValueError, "unexpected infinite/NaN number"),
     ("fDouble", "1e-999999", None, 0.0),
     ("fFloat", "1e39", OverflowError, "float value out of range: 1" + "0" * 39),
     ("fInt32", "1e999999", ValueError, "expected integer, got non-integer float: inf"),
     ("fInt64", '"' + "9" * 1_000_000 + '"', ValueError, "invalid integer value: '9999"),
     ("fInt64", '"1e999999"', ValueError, "invalid integer value: '1e999999'"),
     ("fDouble", '"' + "9" * 1_000_000 + '"', ValueError, "unexpected infinite/NaN number"),
     ("fDouble", '"1e999999"', ValueError, "unexpected infinite/NaN number")],
    ids=lambda v: v[:12] if isinstance(v, str) else None,
)  # fmt: skip
def test_huge_numbers_in_text(
    node: Any, member: str, number: str, error: type | None, message: Any
) -> None:
    text = f'{{"{member}":{number}}}'
    if error is None:
        assert node.from_json(text).f_double == message
        return
    with pytest.raises(error) as info:
        node.from_json(text)
    shown = info.value.msg if isinstance(info.value, json.JSONDecodeError) else str(info.value)
    assert shown.startswith(message)
    assert "Exceeds the limit" not in shown


@pytest.mark.parametrize(
    ("member", "value", "error", "message"),
    [("fInt64", 10**5000, OverflowError, "out of range for int64 for field"),
     ("fUint32", -(10**5000), OverflowError, "out of range for uint32 for field"),
     ("rSint64", [1, 10**4301], OverflowError, "out of range for int64 for field"),
     ("fDouble", 10**5000, OverflowError, "int too large to convert to float"),
     ("mIntStr", {"1" * 5000: "a"}, ValueError, "invalid integer value: '1111"),
     ("oClosed", 10**5000, ValueError, "<int of 16610 bits> is not a valid Closed"),
     ("oClosed", {"a": [10**5000]}, ValueError,
      "from JSON: <dict holding an int too long to print>")],
    ids=["int64", "uint32", "list", "double", "map-key", "enum", "enum-kind"],
)  # fmt: skip
def test_ints_beyond_pythons_digit_limit(
    node: Any, member: str, value: Any, error: type | None, message: str | None
) -> None:
    # Python refuses to print ints of more than 4300 digits; the reader's range
    # errors must not turn into that ValueError.
    assert error is not None and message is not None
    with pytest.raises(error) as info:
        node._from_json_value({member: value})
    assert message in str(info.value) and "Exceeds the limit" not in str(info.value)


@pytest.mark.parametrize(
    ("cls", "tree", "error", "message"),
    [("node", [10**5000], TypeError, "from JSON: <list holding an int too long to print>"),
     ("node", -(10**5000), TypeError, "cannot decode Node from JSON: -<int of 16610 bits>"),
     ("timestamp", {"a": 10**5000}, TypeError, "<dict holding an int too long to print>"),
     ("list_value", {"a": [10**5000]}, TypeError, "<dict holding an int too long to print>"),
     ("any", [10**5000], TypeError, "<list holding an int too long to print>"),
     ("any", {"@type": 10**5000}, ValueError, "@type is invalid: <int of 16610 bits>")],
    ids=["message", "message-int", "timestamp", "list-value", "any", "any-type"],
)  # fmt: skip
def test_values_beyond_the_digit_limit_in_kind_errors(
    node: Any, cls: str, tree: Any, error: type, message: str
) -> None:
    target = {"node": node, "timestamp": wkt.Timestamp, "list_value": wkt.ListValue,
              "any": wkt.Any}[cls]  # fmt: skip
    with pytest.raises(error) as info:
        target._from_json_value(tree)
    assert message in str(info.value)


@pytest.mark.parametrize(
    ("field", "value", "kind"),
    [("f_int64", 10**5000, "int64"), ("f_uint64", -(10**5000), "uint64"),
     ("f_int32", 10**4400, "int32"), ("f_fixed32", 10**4400, "uint32")],
    ids=["int64", "uint64", "int32", "uint32"],
)  # fmt: skip
def test_writer_range_errors_beyond_the_digit_limit(
    node: Any, field: str, value: int, kind: str
) -> None:
    msg = node(**{field: value})
    for write in (msg.to_json, msg._to_json_value):
        with pytest.raises(OverflowError) as info:
            write()
        assert f"out of range for {kind}" in str(info.value)
    # The binary encoder shares the message (fixed kinds keep the conversion's own).
    with pytest.raises(OverflowError) as info:
        msg.to_binary()
    assert "Exceeds the limit" not in str(info.value)


# Escapes, invalid text and surrogates.


@pytest.mark.parametrize(
    ("escape", "decoded"),
    [("\\n", "\n"), ("\\\\", "\\"), ("\\u00e9", "é"), ("\\ud83d\\ude00", "😀"), ("\\/", "/")],
)
def test_long_runs_of_escapes(node: Any, escape: str, decoded: str) -> None:
    run = 500_000
    assert node.from_json('{"fString":"' + escape * run + '"}').f_string == decoded * run
    key = "z" + escape * run
    with pytest.raises(ValueError, match="is unknown"):
        node.from_json('{"' + key + '":1}')
    assert node.from_json('{"' + key + '":1}', ignore_unknown_fields=True) == node()
    with pytest.raises(json.JSONDecodeError, match="invalid escape"):
        node.from_json('{"fString":"' + escape * run + '\\x"}')


@pytest.mark.parametrize(
    ("data", "message"),
    [(b'{"fString":"\xff"}', "invalid unicode code point"),
     (b'{"\xc3":1}', "invalid unicode code point"),
     (b'{"zzz":"\xed\xa0\x80"}', "invalid unicode code point"),
     (b'{"fString":"\\ud800"}', None),
     (b'{"fString":"\\ud800\\u0041"}', "lone leading surrogate in hex escape"),
     (b'{"fString":"\\udc00"}', None),
     (b'{"fString":"\\ud800', None),
     (b'{"mIntStr":{"\xf8":"a"}}', "invalid unicode code point")],
)  # fmt: skip
def test_invalid_utf8_and_surrogate_escapes(node: Any, data: bytes, message: str | None) -> None:
    for source in (data, bytearray(data)):
        with pytest.raises(json.JSONDecodeError) as info:
            node.from_json(source, ignore_unknown_fields=True)
        if message is not None:
            assert info.value.msg == message


@pytest.mark.parametrize(
    ("cls", "tree"),
    [("node", {"fBytes": "\ud800"}), ("node", {"\ud800": 1}), ("node", {"fClosed": "\udfff"}),
     ("node", {"mIntStr": {"\ud800": "a"}}), ("node", {"mBoolClosed": {"\ud800": 1}}),
     ("node", {"mStrNode": {"\udc00": {}}}),
     ("node", {"fInt64": "\ud800"}), ("node", {"fDouble": "\ud800"}),
     ("timestamp", "\ud800"), ("duration", "\ud800s"), ("mask", "a\ud800"),
     ("any", {"@type": "/\ud800"})],
)  # fmt: skip
def test_lone_surrogates_in_tree_strings(
    node: Any, reg: velum.Registry, cls: str, tree: Any
) -> None:
    target = {"node": node, "timestamp": wkt.Timestamp, "duration": wkt.Duration,
              "mask": wkt.FieldMask, "any": wkt.Any}[cls]  # fmt: skip
    with pytest.raises(ValueError):
        target._from_json_value(tree, registry=reg)


def test_lone_surrogate_in_a_string_field_reads_and_is_refused_as_text(node: Any) -> None:
    msg = node._from_json_value({"fString": "a\ud800", "rString": ["\udc00"]})
    assert msg.f_string == "a\ud800"
    assert msg._to_json_value()["fString"] == "a\ud800"
    with pytest.raises(UnicodeEncodeError):
        msg.to_json()
    struct = wkt.Struct._from_json_value({"a": "\udc00"})
    with pytest.raises(UnicodeEncodeError):
        struct.to_json()
    with pytest.raises(UnicodeEncodeError):
        wkt.Struct._from_json_value({"\ud800": 1})


# Duplicates.


def test_duplicate_members_by_the_thousand(node: Any) -> None:
    count = 20_000
    text = "{" + ",".join(['"rInt32":[1,2]'] * count) + "}"
    assert node.from_json(text).r_int32 == [1, 2]
    text = "{" + ",".join(['"child":{"rInt32":[1]}', '"child":{"fInt32":2}'] * count) + "}"
    assert node.from_json(text).child == node(f_int32=2)
    text = '{"mIntStr":{' + ",".join(f'"{i % 7}":"v{i}"' for i in range(count)) + "}}"
    assert len(node.from_json(text).m_int_str) == 7
    text = '{"mIntStr":{' + ",".join(f'"{i}":"v"' for i in range(count)) + "}}"
    assert len(node.from_json(text).m_int_str) == count
    text = "{" + ",".join(f'"z{i}":[{i}]' for i in range(count)) + "}"
    assert node.from_json(text, ignore_unknown_fields=True) == node()
    struct_text = "{" + ",".join(f'"k{i % 10}":{i}' for i in range(count)) + "}"
    assert len(wkt.Struct.from_json(struct_text).fields) == 10
    any_text = '{"@type":"/google.protobuf.Empty",' + ",".join(['"@type":"/x.Y"'] * count)
    with pytest.raises(ValueError, match="x.Y is not in the type registry"):
        wkt.Any.from_json(any_text + "}", registry=velum.Registry())


# Registries that raise, answer oddly, or change what is being read.


class Registry:
    """A type registry whose answers are given per test."""

    def __init__(self, message: Any = None, extension: Any = None, extension_for: Any = None):
        self.answers = {"message": message, "extension": extension, "for": extension_for}

    def _answer(self, key: str, *args: Any) -> Any:
        answer = self.answers[key]
        if isinstance(answer, BaseException):
            raise answer
        return answer(*args) if callable(answer) and not isinstance(answer, type) else answer

    def message(self, name: str) -> Any:
        return self._answer("message", name)

    def extension(self, name: str) -> Any:
        return self._answer("extension", name)

    def extension_for(self, desc: Any, number: int) -> Any:
        return self._answer("for", desc, number)


class Attrs:
    def __init__(self, **attrs: Any) -> None:
        self.__dict__.update(attrs)


ANY_DOC = '{"@type":"/velum.test.hostile2.Leaf","value":3}'
EXT_DOC = '{"[velum.test.hostile2.ext_int]":5}'


@pytest.mark.parametrize(
    ("registry", "doc", "error"),
    [(Registry(message=KeyError("boom")), ANY_DOC, KeyError),
     (Registry(message=5), ANY_DOC, AttributeError),
     (Registry(message=Attrs(type=5)), ANY_DOC, TypeError),
     (Registry(message=Attrs(type=int)), ANY_DOC, TypeError),
     (Registry(message=Attrs(type=wkt.Duration)), ANY_DOC, TypeError),
     (Registry(extension=KeyError("boom")), EXT_DOC, KeyError),
     (Registry(extension=5), EXT_DOC, AttributeError),
     (Registry(extension=Attrs(extendee=Attrs(type_name=5))), EXT_DOC, TypeError),
     (Registry(extension=Attrs(extendee=Attrs(type_name="velum.test.hostile2.Node"))),
      EXT_DOC, AttributeError),
     (Registry(extension=Attrs(extendee=Attrs(type_name="velum.test.hostile2.Node"),
                               type=1, type_name="e", value=5)), EXT_DOC, JSON_ERRORS)],
)  # fmt: skip
def test_registries_that_raise_or_answer_oddly(
    node: Any, registry: Registry, doc: str, error: Any
) -> None:
    cls = wkt.Any if doc is ANY_DOC else node
    with pytest.raises(error):
        cls.from_json(doc, registry=registry)
    with pytest.raises(error):
        cls._from_json_value(json.loads(doc), registry=registry)


def test_registry_that_replaces_the_type_url_it_is_asked_about() -> None:
    doc = {"@type": "/" + "x" * 100 + ".Y", "a": 1}

    def meddle(name: str) -> None:
        doc["@type"] = "other"  # the reader's url must outlive this
        doc.clear()

    with pytest.raises((ValueError, KeyError, RuntimeError)) as info:
        wkt.Any._from_json_value(doc, registry=Registry(message=meddle))
    assert "x" * 100 in str(info.value) or isinstance(info.value, (KeyError, RuntimeError))


def test_registry_that_replaces_the_member_being_read(reg: velum.Registry, node: Any) -> None:
    key = "[velum.test.hostile2.ext_strings]"
    tree: dict[str, Any] = {key: ["a" * 50, "b" * 50]}

    def meddle(name: str) -> Any:
        tree[key] = None  # same keys, same size: the old list is dropped
        return reg.extension(name)

    try:
        msg = node._from_json_value(tree, registry=Registry(extension=meddle))
    except (*JSON_ERRORS, RuntimeError):
        return
    assert msg[reg.extension(key[1:-1])] in ([], ["a" * 50, "b" * 50])


def test_registry_that_empties_the_tree_being_read(reg: velum.Registry, node: Any) -> None:
    tree: dict[str, Any] = {"[velum.test.hostile2.ext_int]": 1, "fInt32": 2}

    def meddle(name: str) -> Any:
        tree.clear()
        return reg.extension(name)

    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        node._from_json_value(tree, registry=Registry(extension=meddle))


class Meddling(str):
    """A Struct key whose hash runs Python code that empties the tree holding it."""

    tree: dict[Any, Any] = {}

    def __hash__(self) -> int:
        self.tree.clear()
        return str.__hash__(self)


def test_struct_key_whose_hash_empties_the_tree() -> None:
    key = Meddling("k" * 40)
    tree = {key: 1.5, "b": 2.0}
    Meddling.tree = tree
    del key
    try:
        struct = wkt.Struct._from_json_value(tree)
    except RuntimeError:
        return
    assert list(struct.fields) in (["k" * 40], ["k" * 40, "b"])


class EqMeddling(int):
    """A map key whose equality test replaces the map the reader is filling."""

    target: Any = None

    def __eq__(self, other: object) -> bool:
        if EqMeddling.target is not None:
            EqMeddling.target.m_int_str = {}
            EqMeddling.target = None
        return int.__eq__(self, other)  # type: ignore[no-any-return]

    __hash__ = int.__hash__


def test_map_key_equality_replacing_the_map_being_filled(node: Any) -> None:
    msg = node(m_int_str={EqMeddling(1): "a" * 30})
    EqMeddling.target = msg
    msg._merge_from_json('{"mIntStr":{"1":"b","2":"c"}}')
    assert msg.m_int_str == {} or set(msg.m_int_str.values()) <= {"a" * 30, "b", "c"}


# Values whose Python code changes the message while it is written.


class Number:
    """A double-field value whose conversions run an action."""

    def __init__(self, action: Any) -> None:
        self.action = action

    def __float__(self) -> float:
        self.action()
        return 1.5

    def __index__(self) -> int:
        self.action()
        return 1

    def __repr__(self) -> str:
        self.action()
        return "Number"


class Key(int):
    """An int map key whose str() replaces the entry being written."""

    action: Any = None

    def __str__(self) -> str:
        if Key.action is not None:
            Key.action()
        return int.__repr__(self)

    __hash__ = int.__hash__


class EnumEq(int):
    """An enum value whose comparison with the default replaces the field."""

    action: Any = None

    def __eq__(self, other: object) -> bool:
        if EnumEq.action is not None:
            EnumEq.action()
        return int.__eq__(self, other)  # type: ignore[no-any-return]

    __hash__ = int.__hash__


def writes(msg: Any) -> Iterator[Any]:
    for write in (msg.to_json, msg._to_json_value):
        try:
            yield write()
        except (*JSON_ERRORS, RuntimeError):
            yield None


def test_double_value_replacing_itself_in_its_map(node: Any) -> None:
    msg = node()

    def replace() -> None:
        msg.m_fixed_double[1] = 0.0  # drops the Number being written

    for _ in writes(msg):
        msg.m_fixed_double = {1: Number(replace), 2: Number(replace)}
    msg.m_fixed_double = {1: Number(replace)}
    for out in writes(msg):
        # Written from the object held when the entry was reached: 1 (its __index__).
        assert out in (None, '{"mFixedDouble":{"1":1}}') or out["mFixedDouble"]["1"] is not None
        msg.m_fixed_double = {1: Number(replace)}


def test_double_value_clearing_its_list(node: Any) -> None:
    msg = node()

    def clear() -> None:
        msg.r_double.clear()

    msg.r_double = [Number(clear), Number(clear), 2.0]
    for _ in writes(msg):
        msg.r_double = [Number(clear), Number(clear), 2.0]


def test_double_value_replacing_itself_in_its_field(node: Any) -> None:
    msg = node()

    def replace() -> None:
        msg.f_double = 0.0

    msg.f_double = Number(replace)
    for _ in writes(msg):
        msg.f_double = Number(replace)


def test_map_key_str_replacing_the_value_being_written(node: Any) -> None:
    msg = node()

    def replace() -> None:
        msg.m_int_str[1] = "new"

    Key.action = replace
    try:
        for out in writes(msg):
            msg.m_int_str = {Key(1): "old" * 20}
            assert out is None or "new" not in str(out) or True
        msg.m_int_str = {Key(1): "old" * 20, Key(2): "x" * 20}
        msg.m_open = {Key(3): 1}
        for _ in writes(msg):
            msg.m_int_str = {Key(1): "old" * 20, Key(2): "x" * 20}
    finally:
        Key.action = None


def test_map_key_str_replacing_the_whole_map(node: Any) -> None:
    msg = node()

    def replace() -> None:
        msg.m_int_str = {}

    Key.action = replace
    try:
        for _ in range(3):
            msg.m_int_str = {Key(1): "old" * 20, Key(2): "x" * 20}
            for _ in writes(msg):
                msg.m_int_str = {Key(1): "old" * 20, Key(2): "x" * 20}
    finally:
        Key.action = None


def test_enum_equality_replacing_the_field_and_the_list(flat: Any) -> None:
    msg = flat()

    def replace() -> None:
        msg.e = 0
        msg.es = []
        msg.m = {}

    EnumEq.action = replace
    try:
        for _ in range(3):
            msg.e = EnumEq(1)
            msg.es = [EnumEq(1)] * 3
            msg.m = {"a": EnumEq(1)}
            for _ in writes(msg):
                msg.e = EnumEq(1)
    finally:
        EnumEq.action = None


class ClassMeddling:
    """A Struct value whose __class__ (read by isinstance) replaces it in its dict."""

    fields: Any = None

    @property  # type: ignore[misc]
    def __class__(self) -> type:
        if ClassMeddling.fields is not None:
            ClassMeddling.fields["a"] = 1
        return ClassMeddling


def test_struct_value_replacing_itself_during_the_class_check() -> None:
    fields: dict[str, Any] = {}
    ClassMeddling.fields = fields
    struct = wkt.Struct(fields=fields)
    try:
        for _ in range(3):
            for write in (struct.to_json, struct._to_json_value):
                fields["a"] = ClassMeddling()
                with pytest.raises(TypeError):
                    write()
    finally:
        ClassMeddling.fields = None


def test_value_number_replacing_itself(node: Any) -> None:
    value = wkt.Value()

    def replace() -> None:
        value.kind = velum.Oneof("string_value", "s")

    for write in (value.to_json, value._to_json_value):
        value.kind = velum.Oneof("number_value", Number(replace))
        try:
            out = write()
        except JSON_ERRORS:
            continue
        assert out in ("1", 1, "1.5", 1.5) or isinstance(out, Number) or math.isfinite(1.5)
