"""The JSON reader's walk: member names, unknown members, extensions, the null,
repeat and merge rules, nesting, and what a failure leaves behind."""

from __future__ import annotations

import json
from typing import Any

import pytest

import velum

P3 = "velum.test.proto3"


@pytest.fixture(scope="module")
def cls(registry: velum.Registry) -> Any:
    return lambda name: registry.message_class(name if "." in name else f"{P3}.{name}")


@pytest.mark.parametrize("method", ["from_json", "from_json_value"])
def test_both_member_names_and_nothing_else(cls: Any, method: str) -> None:
    outer = cls("Outer")
    read = getattr(outer, method)

    def arg(text: str) -> Any:
        return text if method == "from_json" else json.loads(text)

    assert read(arg('{"myFieldName": "a"}')).my_field_name == "a"
    assert read(arg('{"my_field_name": "a"}')).my_field_name == "a"
    assert read(arg('{"renamed": "b"}')).custom_json == "b"
    assert read(arg('{"custom_json": "b"}')).custom_json == "b"
    for other in ("MyFieldName", "myfieldname", "customJson", "my_field_name "):
        with pytest.raises(ValueError) as info:
            read(arg(f'{{"{other}": "a"}}'))
        assert str(info.value) == f"cannot decode {P3}.Outer from JSON: key: '{other}' is unknown"


def test_empty_object_and_non_objects(cls: Any) -> None:
    scalars = cls("Scalars")
    assert scalars.from_json("{}") == scalars()
    for text, shown in (
        ("null", "None"),
        ("[]", "[]"),
        ("1", "1"),
        ('"x"', "x"),
        ("[1,2]", "[1, 2]"),
    ):
        with pytest.raises(TypeError) as info:
            scalars.from_json(text)
        assert str(info.value) == f"cannot decode Scalars from JSON: {shown}"
    with pytest.raises(TypeError, match="^cannot decode Scalars from JSON: None$"):
        scalars.from_json_value(None)


def test_nested_message_of_wrong_kind_names_the_nested_class(cls: Any) -> None:
    with pytest.raises(TypeError, match=r"^cannot decode Outer\.Inner from JSON: 5$"):
        cls("Outer").from_json('{"inner": 5}')


def test_unknown_members_are_skipped_when_asked(cls: Any) -> None:
    text = '{"zzz": {"a": [1, {"b": [null, true, "x\\n"]}], "c": -1.5e3}, "fInt32": 3, "y": null}'
    assert cls("Scalars").from_json(text, ignore_unknown_fields=True).f_int32 == 3
    assert cls("Scalars").from_json_value(json.loads(text), ignore_unknown_fields=True).f_int32 == 3


# Null per shape.


def test_null_resets_singular_fields(cls: Any) -> None:
    optionals = cls("Optionals")
    msg = optionals(
        o_int32=5, o_string="s", o_status=1, o_message=cls("Scalars")(f_int32=1), plain=4
    )
    msg.merge_from_json(
        '{"oInt32": null, "oString": null, "oStatus": null, "oMessage": null, "plain": null}'
    )
    assert (msg.o_int32, msg.o_string, msg.o_status, msg.o_message, msg.plain) == (
        0,
        "",
        0,
        None,
        0,
    )
    for name in ("o_int32", "o_string", "o_status", "o_message", "plain"):
        assert not msg.has_field(name)
    assert msg.to_binary() == b""


def test_null_reset_stores_the_fields_own_default(registry: velum.Registry) -> None:
    defaults = registry.message_class("velum.test.proto2.Defaults")
    msg = defaults.from_json('{"i32": 7, "s": "x", "color": "COLOR_RED", "d": 2.5}')
    assert msg.has_field("i32")
    msg.merge_from_json('{"i32": null, "s": null, "color": null, "d": null}')
    fresh = defaults()
    assert (msg.i32, msg.s, msg.color, msg.d) == (fresh.i32, fresh.s, fresh.color, fresh.d) == (
        -42, 'hello "world"', 3, 1.5)  # fmt: skip
    assert not msg.has_field("i32") and not msg.has_field("color")
    # The instance agrees with its own encoding.
    again = defaults.from_binary(msg.to_binary())
    assert (again.i32, again.s, again.color, again.d) == (msg.i32, msg.s, msg.color, msg.d)


def test_null_leaves_lists_and_maps(cls: Any) -> None:
    msg = cls("Repeated")(packed_int32=[1])
    msg.merge_from_json('{"packedInt32": null}')
    assert msg.packed_int32 == [1]
    maps = cls("Maps")(string_string={"a": "b"})
    maps.merge_from_json('{"stringString": null}')
    assert maps.string_string == {"a": "b"}


@pytest.mark.parametrize(
    ("text", "message"),
    [('{"packedInt32": [1, null]}', "packed_int32"),
     ('{"statuses": [null]}', "statuses"),
     ('{"messages": [{}, null]}', "messages")],
)  # fmt: skip
def test_null_elements_are_refused(cls: Any, text: str, message: str) -> None:
    with pytest.raises(ValueError) as info:
        cls("Repeated").from_json(text)
    expected = f"unexpected null value for list item for field {P3}.Repeated.{message}"
    assert str(info.value) == expected


def test_null_map_values_are_refused(cls: Any) -> None:
    with pytest.raises(ValueError) as info:
        cls("Maps").from_json('{"stringMessage": {"k": null}}')
    assert (
        str(info.value) == f"unexpected null value for map value for field {P3}.Maps.string_message"
    )


def test_wrong_container_kinds(cls: Any) -> None:
    with pytest.raises(TypeError) as info:
        cls("Repeated").from_json('{"strings": "abc"}')
    assert str(info.value) == f"expected list got <class 'str'> for field {P3}.Repeated.strings"
    with pytest.raises(TypeError) as info:
        cls("Maps").from_json('{"stringString": [1]}')
    assert str(info.value) == f"expected dict got <class 'list'> for field {P3}.Maps.string_string"


# Oneofs.


@pytest.mark.parametrize(
    ("text", "expected"),
    [('{"number": 1, "text": "b"}', ("text", "b")),
     ('{"number": 1, "number": null}', ("number", 1)),
     ('{"text": "t", "number": null}', ("text", "t")),
     ('{"message": {}, "message": null}', None),
     ('{"text": "t", "message": null}', ("text", "t")),
     ('{"status": "STATUS_DONE", "status": null}', None),
     ('{"number": null}', None)],
)  # fmt: skip
def test_oneof_rules(cls: Any, text: str, expected: Any) -> None:
    msg = cls("WithOneof").from_json(text)
    held = None if msg.kind is None else (msg.kind.field, msg.kind.value)
    assert held == expected


def test_oneof_scalar_null_keeps_the_member_in_a_merge(cls: Any) -> None:
    msg = cls("WithOneof")(kind=velum.Oneof("number", 5))
    msg.merge_from_json('{"number": null, "flag": null}')
    assert (msg.kind.field, msg.kind.value, msg.other) == ("number", 5, None)


def test_oneof_message_member_merges_into_the_held_value(cls: Any) -> None:
    scalars = cls("Scalars")
    msg = cls("WithOneof")(kind=velum.Oneof("message", scalars(f_int32=1, f_string="s")))
    msg.merge_from_json('{"message": {"fInt32": 2}}')
    assert msg.kind.value == scalars(f_int32=2, f_string="s")
    msg.merge_from_json('{"text": "x"}')
    msg.merge_from_json('{"message": {"fBool": true}}')
    assert msg.kind.value == scalars(f_bool=True)


# Repeats and merges.


def test_repeated_member_names_last_wins(cls: Any) -> None:
    rep = cls("Repeated")
    assert rep.from_json('{"packedInt32": [1], "packed_int32": [2]}').packed_int32 == [2]
    assert rep.from_json('{"packedInt32": [1], "packedInt32": [2, 3]}').packed_int32 == [2, 3]
    assert rep.from_json('{"packedInt32": [1], "packedInt32": null}').packed_int32 == []
    maps = cls("Maps").from_json('{"stringString": {"a": "1"}, "string_string": {"b": "2"}}')
    assert maps.string_string == {"b": "2"}
    scalars = cls("Scalars").from_json(
        '{"fInt32": 1, "f_int32": 2, "fString": "a", "fString": "b"}'
    )
    assert (scalars.f_int32, scalars.f_string) == (2, "b")
    outer = cls("Outer").from_json('{"inner": {"mood": 1}, "inner": {"deepest": {}}}')
    assert outer.inner.mood == 0 and outer.inner.deepest is not None


def test_merge_into_a_filled_instance(cls: Any) -> None:
    rep = cls("Repeated")(packed_int32=[1, 2])
    rep.merge_from_json('{"packedInt32": [3]}')
    assert rep.packed_int32 == [1, 2, 3]
    maps = cls("Maps")(string_string={"a": "1", "b": "2"})
    maps.merge_from_json('{"stringString": {"b": "x", "c": "3", "c": "4"}}')
    assert maps.string_string == {"a": "1", "b": "x", "c": "4"}
    outer = cls("Outer")(inner=cls(f"{P3}.Outer.Inner")(mood=1))
    kept = outer.inner
    outer.merge_from_json('{"inner": {"deepest": {"depth": 2}}, "myFieldName": "n"}')
    assert outer.inner is kept
    assert (outer.inner.mood, outer.inner.deepest.depth, outer.my_field_name) == (1, 2, "n")


def test_list_elements_never_merge(cls: Any) -> None:
    outer = cls("Outer").from_json('{"inners": [{"mood": 1}, {"deepest": {}}]}')
    assert [i.mood for i in outer.inners] == [1, 0]


def test_unknown_enum_elements_are_not_stored(cls: Any) -> None:
    rep = cls("Repeated").from_json(
        '{"statuses": ["STATUS_DONE", "NOPE", 1]}', ignore_unknown_fields=True
    )
    assert rep.statuses == [2, 1]
    maps = cls("Maps").from_json(
        '{"stringStatus": {"a": "NOPE", "b": 2}}', ignore_unknown_fields=True
    )
    assert maps.string_status == {"b": 2}


def test_from_json_keeps_a_subclass(cls: Any) -> None:
    scalars = cls("Scalars")

    class Mine(scalars):  # type: ignore[misc, valid-type]
        __slots__ = ()

    assert type(Mine.from_json('{"fInt32": 1}')) is Mine
    assert type(Mine.from_json_value({"fInt32": 1})) is Mine


# Failures keep what was stored before them.


def test_failed_merge_keeps_earlier_members(cls: Any) -> None:
    msg = cls("Repeated")(packed_int32=[1])
    with pytest.raises(ValueError):
        msg.merge_from_json('{"strings": ["a"], "packedInt32": [2, "x"], "blobs": ["YQ=="]}')
    assert (msg.strings, msg.packed_int32, msg.blobs) == (["a"], [1, 2], [])


def test_failed_from_json_returns_nothing(cls: Any) -> None:
    with pytest.raises(json.JSONDecodeError):
        cls("Scalars").from_json('{"fInt32": 1, "fString": "a')


# Nesting.


def nested(levels: int) -> str:
    return '{"next": ' * levels + '{"value": 1}' + "}" * levels


def test_depth_limit(registry: velum.Registry) -> None:
    rec = registry.message_class("velum.test.shapes.SelfRecursive")
    msg = rec.from_json(nested(100))
    for _ in range(100):
        msg = msg.next
    assert msg.value == 1
    for read in (rec.from_json, lambda t: rec.from_json_value(json.loads(t))):
        with pytest.raises(RecursionError) as info:
            read(nested(101))
        assert str(info.value) == "exceeded maximum recursion depth 100 while parsing message"


def test_errors_name_the_innermost_field_only(registry: velum.Registry) -> None:
    forest = registry.message_class("velum.test.shapes.Forest")
    with pytest.raises(TypeError) as info:
        forest.from_json('{"subforests": {"a": {"trees": [{"children": [{"label": 5}]}]}}}')
    assert (
        str(info.value)
        == "expected string got: <class 'int'> for field velum.test.shapes.TreeNode.label"
    )


# Extensions.


def test_extensions_through_the_registry(registry: velum.Registry) -> None:
    ext_cls = registry.message_class("velum.test.proto2.Extendable")
    text = json.dumps({
        "base": 1,
        "[velum.test.proto2.ext_int]": "12",
        "[velum.test.proto2.ext_strings]": ["a", "b"],
        "[velum.test.proto2.ext_message]": {"fInt32": 3},
        "[velum.test.proto2.ext_color]": "COLOR_BLUE",
        "[velum.test.proto2.ExtensionScope.nested_ext]": "n",
        "[velum.test.proto2.ext.other_file_ext]": 7,
    })  # fmt: skip
    msg = ext_cls.from_json(text, registry=registry)
    ext = registry.extension
    assert msg.base == 1
    assert msg[ext("velum.test.proto2.ext_int")] == 12
    assert msg[ext("velum.test.proto2.ext_strings")] == ["a", "b"]
    assert msg[ext("velum.test.proto2.ext_message")].f_int32 == 3
    assert msg[ext("velum.test.proto2.ext_color")] == 3
    assert msg[ext("velum.test.proto2.ExtensionScope.nested_ext")] == "n"
    assert msg[ext("velum.test.proto2.ext.other_file_ext")] == 7
    assert ext_cls.from_json_value(json.loads(text), registry=registry) == msg

    nulls = '{"[velum.test.proto2.ext_int]": null, "[velum.test.proto2.ext_strings]": null}'
    msg.merge_from_json(nulls, registry=registry)
    assert ext("velum.test.proto2.ext_int") not in msg
    assert msg[ext("velum.test.proto2.ext_strings")] == ["a", "b"]


def test_extension_errors_name_the_extension(registry: velum.Registry) -> None:
    ext_cls = registry.message_class("velum.test.proto2.Extendable")
    with pytest.raises(ValueError) as info:
        ext_cls.from_json('{"[velum.test.proto2.ext_int]": "x"}', registry=registry)
    assert str(info.value) == "invalid integer value: 'x' for extension velum.test.proto2.ext_int"
    with pytest.raises(TypeError) as info:
        ext_cls.from_json('{"[velum.test.proto2.ext_strings]": "x"}', registry=registry)
    assert (
        str(info.value)
        == "expected list got <class 'str'> for extension velum.test.proto2.ext_strings"
    )


def test_bracketed_names_without_a_match(registry: velum.Registry, cls: Any) -> None:
    ext_cls = registry.message_class("velum.test.proto2.Extendable")
    # An extension of another message is skipped, whatever the options say.
    other = cls("Scalars").from_json(
        '{"[velum.test.proto2.ext_int]": {"deep": [1]}}', registry=registry
    )
    assert other == cls("Scalars")()
    for kwargs in ({"registry": registry}, {}):
        with pytest.raises(ValueError, match=r"key: '\[velum.test.proto2.nope\]' is unknown"):
            ext_cls.from_json('{"[velum.test.proto2.nope]": 1}', **kwargs)
    with pytest.raises(ValueError, match="is unknown"):
        ext_cls.from_json('{"[velum.test.proto2.ext_int]": 1}')
    with pytest.raises(ValueError, match="is unknown"):
        ext_cls.from_json('{"[]": 1}', registry=registry)


def test_registry_errors_propagate(cls: Any) -> None:
    class Broken:
        def extension(self, name: str) -> None:
            raise LookupError(name)

    with pytest.raises(LookupError, match="^a.b$"):
        cls("Scalars").from_json('{"[a.b]": 1}', registry=Broken())


def test_runtime_wrappers(cls: Any) -> None:
    scalars = cls("Scalars")
    data = {"fInt32": 1, "zzz": 2}
    assert scalars.from_dict(data, ignore_unknown_fields=True) == scalars(f_int32=1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'strict'"):
        scalars.from_dict(data, strict=True)
    msg = scalars(f_string="s")
    msg.merge_from_json(b'{"fInt32": 2}')
    assert msg == scalars(f_int32=2, f_string="s")
