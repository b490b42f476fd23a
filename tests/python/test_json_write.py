"""JSON writing: exact texts of to_json, the value tree of _to_json_value, and errors."""

from __future__ import annotations

import enum as std_enum
import functools
import json
import math
import sys
from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace
from typing import Any

import pytest
from _velum_ext import NativeMessage, generic_setattr, initialize_message_type
from conftest import compile_protos

import velum
from velum._descriptors import (
    DescEnum,
    DescEnumValue,
    DescField,
    DescFieldValueEnum,
    DescFieldValueScalar,
    DescFile,
    DescMessage,
    ScalarType,
)

P3 = "velum.test.jsonw"
P2 = "velum.test.jsonw2"


@functools.cache
def registry() -> velum.Registry:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_json_write.proto", "test_json_write_proto2.proto"))
    return reg


def cls(name: str) -> Any:
    return registry().message_class(name)


def Scalars(**kwargs: Any) -> Any:
    return cls(f"{P3}.Scalars")(**kwargs)


def Leaf(**kwargs: Any) -> Any:
    return cls(f"{P3}.Leaf")(**kwargs)


def both(msg: Any, **options: Any) -> tuple[str, Any]:
    text = msg.to_json(**options)
    tree = msg._to_json_value(**options)
    assert json.loads(text) == tree
    return text, tree


class ReprFloat(float):
    def __repr__(self) -> str:
        return "not a number"


class ReprInt(int):
    def __repr__(self) -> str:
        return "not digits"


# Scalars: (field, held value, JSON text of the value, value-tree value).
SCALARS = [
    ("d", 1.5, "1.5", 1.5),
    ("d", 3, "3", 3),
    ("d", 3.0, "3.0", 3.0),
    ("d", 1e16, "1e+16", 1e16),
    ("d", 9999999999999998.0, "9999999999999998.0", 9999999999999998.0),
    ("d", 0.0001, "0.0001", 0.0001),
    ("d", 0.00001, "1e-05", 0.00001),
    ("d", -0.0, "-0.0", -0.0),
    ("d", 5e-324, "5e-324", 5e-324),
    ("d", 2**70, "1180591620717411303424", 2**70),
    ("d", math.nan, '"NaN"', "NaN"),
    ("d", math.inf, '"Infinity"', "Infinity"),
    ("d", -math.inf, '"-Infinity"', "-Infinity"),
    ("f", 3.4028234663852886e38, "3.4028234663852886e+38", 3.4028234663852886e38),
    ("f", 0.1, "0.1", 0.1),  # printed from the held double, not narrowed
    ("f", -3.4028235e38, "-3.4028235e+38", -3.4028235e38),  # above the largest float, rounds to it
    ("i64", 5, '"5"', "5"),
    ("i64", -(2**63), '"-9223372036854775808"', "-9223372036854775808"),
    ("sfx64", -1, '"-1"', "-1"),
    ("si64", 2**63 - 1, '"9223372036854775807"', "9223372036854775807"),
    ("u64", 2**64 - 1, '"18446744073709551615"', "18446744073709551615"),
    ("fx64", 7, '"7"', "7"),
    ("i32", 5, "5", 5),
    ("i32", -(2**31), "-2147483648", -(2**31)),
    ("sfx32", -7, "-7", -7),
    ("si32", 2**31 - 1, "2147483647", 2**31 - 1),
    ("u32", 2**32 - 1, "4294967295", 2**32 - 1),
    ("fx32", 9, "9", 9),
    ("b", True, "true", True),
    ("s", "é/€ \u2028", '"é/€ \u2028"', "é/€ \u2028"),
    ("by", b"\xfb\xff", '"+/8="', "+/8="),
    ("by", bytearray(b"foo"), '"Zm9v"', "Zm9v"),
    ("color", 2, '"COLOR_BLUE"', "COLOR_BLUE"),
    ("color", 99, "99", 99),  # open enum, unknown number
    ("color", 2**40, "1099511627776", 2**40),  # open enum beyond 32 bits
    # Numbers of other types are written through their double (or __index__).
    ("d", Decimal("1.5"), "1.5", 1.5),
    ("d", Fraction(1, 3), "0.3333333333333333", 1 / 3),
    ("d", ReprFloat(2.5), "2.5", 2.5),
    ("d", ReprInt(2**70), "1180591620717411303424", 2**70),
]


@pytest.mark.parametrize(("field", "value", "text", "tree"), SCALARS)
def test_scalar_forms(field: str, value: Any, text: str, tree: Any) -> None:
    msg = Scalars(**{field: value})
    name = next(f.json_name for f in msg._desc.fields if f.local_name == field)
    out_text, out_tree = both(msg)
    assert out_text == f'{{"{name}":{text}}}'
    assert out_tree == {name: tree}
    assert isinstance(out_tree[name], type(tree))
    if isinstance(tree, float) and math.isnan(tree):
        assert math.isnan(out_tree[name])


def test_int64_text_and_tree_types() -> None:
    assert both(Scalars(i64=5, i32=5)) == ('{"i64":"5","i32":5}', {"i64": "5", "i32": 5})


def test_defaults_are_skipped_and_always_emit_writes_them() -> None:
    assert both(Scalars()) == ("{}", {})
    text, _ = both(Scalars(), always_emit_implicit=True)
    assert text == (
        '{"d":0.0,"f":0.0,"i64":"0","u64":"0","i32":0,"fx64":"0","fx32":0,"b":false,"s":"",'
        '"by":"","u32":0,"sfx32":0,"sfx64":"0","si32":0,"si64":"0","color":"COLOR_UNSET",'
        '"fooBar":"","renamed":"","null":null,"ints":[],"leaves":[],"colors":[],"byInt":{},'
        '"byBool":{},"byName":{},"byU64":{}}'
    )


def test_zero_values_and_presence() -> None:
    assert both(Scalars(d=-0.0))[0] == '{"d":-0.0}'
    assert both(Scalars(d=0.0))[0] == "{}"
    assert both(Scalars(opt_i32=0))[0] == '{"optI32":0}'
    assert both(Scalars(), always_emit_implicit=True)[1].get("optI32", "absent") == "absent"
    # A oneof member is written whatever it holds.
    assert both(Scalars(pick=velum.Oneof("pick_int", 0)))[0] == '{"pickInt":0}'
    assert both(Scalars(pick=velum.Oneof("pick_leaf", Leaf())))[0] == '{"pickLeaf":{}}'


def test_member_order_and_no_whitespace() -> None:
    msg = Scalars(
        leaves=[Leaf(id=1), Leaf()],
        s="x",
        d=2.0,
        ints=[1, -2],
        colors=[1, 0],
        leaf=Leaf(id=3),
        pick=velum.Oneof("pick_text", "t"),
    )
    assert both(msg)[0] == (
        '{"d":2.0,"s":"x","leaf":{"id":3},"ints":[1,-2],"leaves":[{"id":1},{}],'
        '"colors":["COLOR_RED","COLOR_UNSET"],"pickText":"t"}'
    )


ESCAPES = [
    ('"', r"\""),
    ("\\", r"\\"),
    ("\b\f\n\r\t", r"\b\f\n\r\t"),
    ("\x00\x01\x1f", r"\u0000\u0001\u001f"),
    ("/\x7f", "/\x7f"),
    ("é€\U0001f642", "é€\U0001f642"),
    ("long run " * 5 + "\x02", "long run " * 5 + r"\u0002"),
]


@pytest.mark.parametrize(("raw", "escaped"), ESCAPES)
def test_escaping_of_values_and_member_names(raw: str, escaped: str) -> None:
    assert Scalars(s=raw).to_json() == f'{{"s":"{escaped}"}}'
    assert Scalars(by_name={raw: Leaf()}).to_json() == f'{{"byName":{{"{escaped}":{{}}}}}}'


def test_lone_surrogate_fails_in_text_only() -> None:
    msg = Scalars(s="\ud800")
    with pytest.raises(UnicodeEncodeError):
        msg.to_json()
    assert msg._to_json_value() == {"s": "\ud800"}


def test_map_key_texts() -> None:
    msg = Scalars(by_int={1: "a", -2: "b"}, by_bool={True: 1, False: 2}, by_u64={2**64 - 1: 1})
    assert both(msg)[0] == (
        '{"byInt":{"1":"a","-2":"b"},"byBool":{"true":1,"false":2},'
        '"byU64":{"18446744073709551615":"COLOR_RED"}}'
    )
    # Keys of integer maps are written with str() and not checked.
    assert Scalars(by_int={"k": "v"}).to_json() == '{"byInt":{"k":"v"}}'


def test_options() -> None:
    msg = Scalars(foo_bar="x", custom="y", color=1, colors=[2])
    assert (
        both(msg)[0] == '{"color":"COLOR_RED","fooBar":"x","renamed":"y","colors":["COLOR_BLUE"]}'
    )
    assert both(msg, use_proto_field_name=True)[0] == (
        '{"color":"COLOR_RED","foo_bar":"x","custom":"y","colors":["COLOR_BLUE"]}'
    )
    assert (
        both(msg, print_enums_as_ints=True)[0]
        == '{"color":1,"fooBar":"x","renamed":"y","colors":[2]}'
    )
    assert msg.to_json(registry=None) == msg.to_json()


def test_null_value_is_null_whatever_the_number() -> None:
    assert both(Scalars(null=0), always_emit_implicit=True)[1]["null"] is None
    assert both(Scalars(null=3))[0] == '{"null":null}'
    assert both(Scalars(null=3), print_enums_as_ints=True)[0] == '{"null":null}'


def test_closed_enum() -> None:
    closed = cls(f"{P2}.Closed")
    assert (
        both(closed(level=5, levels=[1, 5]))[0]
        == '{"level":"LEVEL_HIGH","levels":["LEVEL_LOW","LEVEL_HIGH"]}'
    )
    for bad in (99, 2**40):
        with pytest.raises(ValueError, match=rf"^invalid enum value {bad} for enum {P2}.Level$"):
            closed(level=bad).to_json()


def chain(levels: int) -> Any:
    link = cls(f"{P3}.Chain")
    msg = link(level=levels)
    for level in range(levels - 1, -1, -1):
        msg = link(next=msg, level=level)
    return msg


def test_depth_limit() -> None:
    assert chain(100).to_json().count("{") == 101
    for write in ("to_json", "_to_json_value"):
        with pytest.raises(
            RecursionError, match="^exceeded maximum recursion depth 100 while serializing message$"
        ):
            getattr(chain(101), write)()


def err_type(value: Any) -> str:
    return str(type(value))


# (constructor arguments, exception, message); written with always_emit_implicit so
# that the default test of implicit fields does not decide first.
ERRORS = [
    ({"d": "x"}, TypeError, "expected float, got <class 'str'>"),
    ({"d": True}, TypeError, "expected float, got <class 'bool'>"),
    ({"f": 1e39}, OverflowError, "value 1e+39 out of range for float"),
    ({"f": -1e39}, OverflowError, "value -1e+39 out of range for float"),
    # The first magnitude whose nearest float is infinite (as the binary encoder).
    (
        {"f": 3.4028235677973366e38},
        OverflowError,
        "value 3.4028235677973366e+38 out of range for float",
    ),
    ({"i64": 2**63}, OverflowError, "value 9223372036854775808 out of range for int64"),
    ({"i64": 1.0}, TypeError, "expected int, got <class 'float'>"),
    ({"si64": True}, TypeError, "expected int, got <class 'bool'>"),
    ({"u64": -1}, OverflowError, "value -1 out of range for uint64"),
    ({"fx64": 2**64}, OverflowError, "value 18446744073709551616 out of range for uint64"),
    ({"i32": 2**31}, OverflowError, "value 2147483648 out of range for int32"),
    ({"u32": -1}, OverflowError, "value -1 out of range for uint32"),
    ({"b": 1}, TypeError, "expected bool, got <class 'int'>"),
    ({"s": b"x"}, TypeError, "expected str, got <class 'bytes'>"),
    ({"by": "x"}, TypeError, "expected bytes, got <class 'str'>"),
    ({"color": "RED"}, TypeError, f"expected int for enum {P3}.Color, got <class 'str'>"),
    ({"color": False}, TypeError, f"expected int for enum {P3}.Color, got <class 'bool'>"),
    ({"ints": (1,)}, TypeError, "'tuple' object is not an instance of 'list'"),
    ({"ints": [1, "2"]}, TypeError, "expected int, got <class 'str'>"),
    ({"by_int": [(1, "a")]}, TypeError, "'list' object is not an instance of 'dict'"),
    ({"by_name": {1: None}}, TypeError, "'int' object is not an instance of 'str'"),
    ({"by_bool": {1: 1}}, TypeError, "'int' object is not an instance of 'bool'"),
    ({"leaves": [None]}, TypeError, f"expected '{P3}.Leaf', got <class 'NoneType'>"),
    ({"by_name": {"a": 5}}, TypeError, f"expected '{P3}.Leaf', got <class 'int'>"),
    ({"pick": velum.Oneof("nope", 1)}, ValueError, "unknown oneof field 'nope'"),
    ({"pick": velum.Oneof("pick_leaf", 1)}, TypeError, f"expected '{P3}.Leaf', got <class 'int'>"),
]


@pytest.mark.parametrize(("kwargs", "error", "message"), ERRORS)
def test_errors(kwargs: dict[str, Any], error: type[Exception], message: str) -> None:
    msg = Scalars(**kwargs)
    for write in (msg.to_json, msg._to_json_value):
        with pytest.raises(error) as info:
            write(always_emit_implicit=True)
        assert str(info.value) == message


def test_message_of_another_type() -> None:
    chained = cls(f"{P3}.Chain")()
    with pytest.raises(TypeError) as info:
        Scalars(leaf=chained).to_json()
    assert str(info.value) == f"expected '{P3}.Leaf', got {err_type(chained)}"


def test_oneof_attribute_of_wrong_type() -> None:
    msg = Scalars()
    generic_setattr(msg, "pick", 5)
    with pytest.raises(TypeError, match=r"^expected Oneof, got '<class 'int'>'$"):
        msg.to_json()


def test_required_field() -> None:
    strict = cls(f"{P2}.Strict")
    with pytest.raises(ValueError, match="^cannot encode need to binary: required field not set$"):
        strict(also="x").to_json()
    assert both(strict(need=0))[0] == '{"need":0}'


def test_uninitialized_slot() -> None:
    msg = Scalars()
    delattr_slot = type(msg).__dict__["s"].__delete__
    delattr_slot(msg)
    with pytest.raises(AttributeError, match="^uninitialized slot$"):
        msg.to_json()


# Extensions come after every regular member, through the registry.


def closed_with_extensions() -> Any:
    msg = cls(f"{P2}.Closed")(plain=1)
    reg = registry()
    msg[reg.extension(f"{P2}.x_level")] = 5
    msg[reg.extension(f"{P2}.x_int")] = 7
    msg[reg.extension(f"{P2}.x_parts")] = [cls(f"{P2}.Part")(id=1), cls(f"{P2}.Part")()]
    return msg


def test_extensions_follow_regular_members() -> None:
    msg = closed_with_extensions()
    assert both(msg)[0] == '{"plain":1}'
    assert both(msg, registry=registry())[0] == (
        '{"plain":1,"[velum.test.jsonw2.x_level]":"LEVEL_HIGH","[velum.test.jsonw2.x_int]":7,'
        '"[velum.test.jsonw2.x_parts]":[{"id":1},{}]}'
    )


def test_message_extension_records_that_do_not_decode_are_not_written() -> None:
    # Field 104 (a Part extension) as a varint: kept as an unknown record, read as None.
    closed = cls(f"{P2}.Closed")
    msg = closed.from_binary(closed(plain=1).to_binary() + b"\xc0\x06\x01")
    assert both(msg, registry=registry())[0] == '{"plain":1}'
    assert msg.to_binary().endswith(b"\xc0\x06\x01")


class FakeRegistry:
    def __init__(self, answer: Any) -> None:
        self.answer = answer
        self.calls: list[tuple[Any, Any]] = []

    def extension_for(self, desc: Any, number: int) -> Any:
        self.calls.append((desc, number))
        return self.answer(desc, number) if callable(self.answer) else self.answer


def test_registry_that_knows_nothing() -> None:
    msg = closed_with_extensions()
    fake = FakeRegistry(None)
    assert msg.to_json(registry=fake) == '{"plain":1}'
    assert [number for _, number in fake.calls] == [101, 100, 102]
    assert all(desc is msg._desc for desc, _ in fake.calls)
    # Without stored records the registry is not asked.
    fake.calls.clear()
    cls(f"{P2}.Closed")(plain=1).to_json(registry=fake)
    assert fake.calls == []


def test_registry_that_raises_or_answers_oddly() -> None:
    msg = closed_with_extensions()

    def boom(desc: Any, number: int) -> Any:
        raise KeyError("registry failure")

    with pytest.raises(KeyError, match="registry failure"):
        msg.to_json(registry=FakeRegistry(boom))
    with pytest.raises(AttributeError):
        msg.to_json(registry=FakeRegistry(object()))
    with pytest.raises(AttributeError):  # a registry without extension_for
        msg.to_json(registry=object())
    real = registry().extension(f"{P2}.x_int")
    odd_name = SimpleNamespace(type=real, value=real.value, type_name=5)
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'str'$"):
        msg.to_json(registry=FakeRegistry(odd_name))
    map_field = next(f for f in Scalars()._desc.fields if f.local_name == "by_int")
    as_map = SimpleNamespace(type=real, value=map_field.value, type_name="m")
    with pytest.raises(ValueError, match="^map extensions are not supported$"):
        msg._to_json_value(registry=FakeRegistry(as_map))


def test_registry_that_empties_the_store() -> None:
    msg = closed_with_extensions()
    real = registry()

    def clearing(desc: Any, number: int) -> Any:
        msg._unknown_fields.clear()
        return real.extension_for(desc, number)

    # The value read after the store was emptied is the extension's default.
    assert json.loads(msg.to_json(registry=FakeRegistry(clearing))) == {
        "plain": 1,
        "[velum.test.jsonw2.x_level]": "LEVEL_LOW",
        "[velum.test.jsonw2.x_int]": 0,
        "[velum.test.jsonw2.x_parts]": [],
    }


# Python code run during the walk may change the containers being walked.


class Mutating:
    """A number whose conversion runs an action first."""

    def __init__(self, action: Any) -> None:
        self.action = action

    def __float__(self) -> float:
        self.action()
        return 1.0


@functools.cache
def diff_registry() -> velum.Registry:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_differential.proto"))
    return reg


def test_dict_changed_during_its_walk() -> None:
    values = {"a": Mutating(lambda: values.update(b=1.0))}
    doubles = diff_registry().message_class("velum.test.diff.Maps")(v_double=values)
    for write in (doubles.to_json, doubles._to_json_value):
        values.pop("b", None)
        with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
            write()


# Plain entries around the one that runs code are written unheld: the change
# is still found, wherever the mutating entry sits.
@pytest.mark.parametrize("at", [0, 1, 2])
@pytest.mark.parametrize("change", ["grow", "shrink"])
def test_dict_changed_beside_plain_entries(at: int, change: str) -> None:
    values: dict[str, Any] = {"p0": 1.5, "p1": 2.5}

    def mutate() -> None:
        if change == "grow":
            values["new"] = 3.0
        else:
            values.pop("p1" if at == 0 else "p0", None)

    items = list(values.items())
    items.insert(at, ("m", Mutating(mutate)))
    values.clear()
    values.update(items)
    doubles = diff_registry().message_class("velum.test.diff.Maps")(v_double=values)
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        doubles.to_json()


def test_list_shrunk_during_its_walk() -> None:
    items: list[Any] = []
    items.extend([2.0, Mutating(lambda: items.clear()), 3.0])
    flat = diff_registry().message_class("velum.test.diff.Flat")(p_double=items)
    assert flat.to_json() == '{"pDouble":[2.0,1.0]}'


def test_writing_does_not_change_the_message() -> None:
    msg = Scalars(d=1.0, by_name={"a": Leaf(id=1)}, ints=[1], pick=velum.Oneof("pick_int", 0))
    before = msg.to_binary()
    both(msg, always_emit_implicit=True)
    assert msg.to_binary() == before
    assert msg._present == Scalars(d=1.0)._present


def test_value_tree_shares_names_and_held_objects() -> None:
    text = "shared text"
    number = 2.5
    msg = Scalars(s=text, d=number, colors=[1])
    tree = msg._to_json_value()
    fields = {f.local_name: f for f in msg._desc.fields}
    keys = {key: key for key in tree}
    assert keys["s"] is fields["s"].json_name
    assert tree["s"] is text
    assert tree["d"] is number
    proto = msg._to_json_value(use_proto_field_name=True)
    assert next(iter(proto)) is fields["d"].name


def test_refcounts_are_balanced() -> None:
    msg = Scalars(s="x" * 10, d=1.5, leaves=[Leaf(id=1)], by_name={"k": Leaf()})
    text, number = msg.s, msg.d
    before = (sys.getrefcount(text), sys.getrefcount(number))
    for _ in range(50):
        msg.to_json()
        msg._to_json_value()
    assert (sys.getrefcount(text), sys.getrefcount(number)) == before


def test_to_dict_and_pretty_json() -> None:
    msg = Scalars(i64=5, s="é", leaf=Leaf(id=1))
    assert msg.to_dict() == {"i64": "5", "s": "é", "leaf": {"id": 1}}
    assert msg.to_dict(use_proto_field_name=True, always_emit_implicit=True)["foo_bar"] == ""
    assert msg.to_json_pretty() == '{\n  "i64": "5",\n  "s": "é",\n  "leaf": {\n    "id": 1\n  }\n}'
    assert msg.to_json_pretty(indent=None) == json.dumps(
        json.loads(msg.to_json()), ensure_ascii=False
    )
    assert json.loads(Scalars(d=math.nan).to_json_pretty()) == {"d": "NaN"}


def test_bool_options_are_strict() -> None:
    with pytest.raises(TypeError):
        Scalars().to_json(always_emit_implicit=1)
    with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given"):
        Scalars().to_json(None)


def test_enum_names_from_json_name_or_name() -> None:
    file = DescFile(name="hand/json.proto", package="hand", syntax="proto3", edition=0)
    shade = DescEnum(type_name="hand.Shade", name="Shade", file=file, parent=None, open=True)
    shade.values = [
        DescEnumValue(number=0, name="SHADE_NONE", local_name="SHADE_NONE", json_name=None),  # type: ignore[arg-type]
        DescEnumValue(number=1, name="SHADE_DARK", local_name="SHADE_DARK", json_name="dark"),
    ]
    shade.type = std_enum.IntEnum("Shade", [("SHADE_NONE", 0), ("SHADE_DARK", 1)])
    field = DescField(
        number=1,
        name="shade",
        local_name="shade",
        json_name="shade",
        full_name="hand.Holder.shade",
        presence=2,  # type: ignore[arg-type]
        _requires_presence=False,
        value=DescFieldValueEnum(enum=shade),
        default=None,
        parent=None,
    )
    desc = DescMessage(type_name="hand.Holder", name="Holder", file=file, parent=None)
    desc.fields = [field]
    desc._fields_by_name = {"shade": field}
    desc._defaults = [("shade", shade.type.SHADE_NONE)]
    holder = type(
        "Holder", (NativeMessage, velum.Message), {"__slots__": ("shade",), "_desc": desc}
    )
    desc.type = holder
    initialize_message_type(holder)
    assert holder(shade=1).to_json() == '{"shade":"dark"}'
    assert holder().to_json(always_emit_implicit=True) == '{"shade":"SHADE_NONE"}'


TEXTS = [
    "",
    "plain ascii that runs past one word",
    "é",
    "naïve café, Straße",
    "€ and 日本語",
    "🙂 rocket 🚀",
    'a"b\\c\n\x01\x1f/\x7f',
    "é\n",
    "x" * 3000 + "é",
    "\u00ff" * 9 + "\U0001f600",
]


@pytest.mark.parametrize("text", TEXTS)
def test_string_values_at_every_width(text: str) -> None:
    compact = (",", ":")
    msg = Scalars(s=text, i64=7)
    out = msg.to_json(always_emit_implicit=True)
    assert json.loads(out)["s"] == text
    out = msg.to_json()
    written = {"i64": "7", "s": text} if text else {"i64": "7"}
    assert out == json.dumps(written, ensure_ascii=False, separators=compact)
    assert out.isascii() == text.isascii()
    # A str subclass goes through its UTF-8 rather than its data.
    sub = Scalars(s=type("Text", (str,), {})(text), i64=7).to_json()
    assert sub == out


def _holder_with_names(name: str, json_name: str) -> Any:
    file = DescFile(name="hand/names.proto", package="hand", syntax="proto3", edition=0)
    field = DescField(
        number=1,
        name=name,
        local_name="value",
        json_name=json_name,
        full_name="hand.Named.value",
        presence=2,  # type: ignore[arg-type]
        _requires_presence=False,
        value=DescFieldValueScalar(scalar=ScalarType.INT32),
        default=None,
        parent=None,
    )
    desc = DescMessage(type_name="hand.Named", name="Named", file=file, parent=None)
    desc.fields = [field]
    desc._fields_by_name = {"value": field}
    desc._defaults = [("value", 0)]
    named = type("Named", (NativeMessage, velum.Message), {"__slots__": ("value",), "_desc": desc})
    desc.type = named
    initialize_message_type(named)
    return named


@pytest.mark.parametrize(
    ("name", "json_name"),
    [
        ("plain", "plainName"),
        ('q"uote', "back\\slash"),
        ("tab\tname", "ctl\x01"),
        ("caf\u00e9", "日本"),
    ],
)
def test_member_names_are_escaped_as_strings_are(name: str, json_name: str) -> None:
    named = _holder_with_names(name, json_name)
    for proto, key in ((False, json_name), (True, name)):
        text = named(value=3).to_json(use_proto_field_name=proto)
        assert text == json.dumps({key: 3}, ensure_ascii=False, separators=(",", ":"))
        assert named(value=3)._to_json_value(use_proto_field_name=proto) == {key: 3}
