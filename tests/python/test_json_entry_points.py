"""The public value-tree methods (to_dict, to_json_value, from_dict, from_json_value) as
native entry points: their keywords and binding errors, how a class method finds its
type's tables after the class changes, and the ints a tree shares with the message."""

from __future__ import annotations

import enum
import gc
import inspect
import json
import re
import weakref
from typing import Any

import pytest

import velum
from velum import Oneof

P3 = "velum.test.proto3"


@pytest.fixture(scope="module")
def scalars(registry: velum.Registry) -> Any:
    return registry.message_class(f"{P3}.Scalars")


def raises_exactly(error: type[Exception], text: str) -> Any:
    return pytest.raises(error, match=f"^{re.escape(text)}$")


@pytest.mark.parametrize(
    ("method", "args", "kwargs", "text"),
    [
        (
            "to_dict",
            (None,),
            {},
            "NativeMessage.to_dict() takes 0 positional arguments but 1 was given",
        ),
        (
            "to_dict",
            (),
            {"indent": 2},
            "NativeMessage.to_dict() got an unexpected keyword argument 'indent'",
        ),
        (
            "to_json_value",
            (1, 2),
            {},
            "NativeMessage.to_json_value() takes 0 positional arguments but 2 were given",
        ),
        (
            "from_dict",
            (),
            {},
            "NativeMessage.from_dict() missing 1 required positional argument: 'data'",
        ),
        (
            "from_dict",
            ({},),
            {"data": {}},
            "NativeMessage.from_dict() got multiple values for argument 'data'",
        ),
        (
            "from_dict",
            ({}, False),
            {},
            "NativeMessage.from_dict() takes 1 positional arguments but 2 were given",
        ),
        (
            "from_json_value",
            (),
            {"data": {}},
            "NativeMessage.from_json_value() got an unexpected keyword argument 'data'",
        ),
    ],
)
def test_binding_errors(
    scalars: Any, method: str, args: tuple[Any, ...], kwargs: dict[str, Any], text: str
) -> None:
    target = scalars if method.startswith("from") else scalars()
    with raises_exactly(TypeError, text):
        getattr(target, method)(*args, **kwargs)


@pytest.mark.parametrize("method", ["to_dict", "to_json_value", "to_json"])
def test_write_options_keep_their_checks(scalars: Any, method: str) -> None:
    msg = scalars(f_status=1, f_int32=0)
    bound = getattr(msg, method)

    def write(**options: Any) -> Any:
        out = bound(**options)
        return json.loads(out) if method == "to_json" else out

    # A call given nothing takes every default, as one spelling them out.
    defaults = {"registry": None, "always_emit_implicit": False,
                "print_enums_as_ints": False, "use_proto_field_name": False}
    assert bound(**defaults) == bound() == bound(registry=None)
    assert write() == {"fStatus": "STATUS_ACTIVE"}
    assert write(print_enums_as_ints=True, use_proto_field_name=True) == {"f_status": 1}
    with pytest.raises(TypeError) as caught:
        write(always_emit_implicit=1)
    assert caught.value.__notes__ == ["while processing 'always_emit_implicit'"]


@pytest.mark.parametrize(
    ("method", "keyword"), [("from_dict", "data"), ("from_json_value", "value")]
)
def test_read_keywords(scalars: Any, method: str, keyword: str) -> None:
    read = getattr(scalars, method)
    msg = read(**{keyword: {"fInt32": 7, "other": 1}}, ignore_unknown_fields=True, registry=None)
    assert type(msg) is scalars and msg.f_int32 == 7
    assert list(inspect.signature(read).parameters) == [
        keyword,
        "ignore_unknown_fields",
        "registry",
    ]
    with pytest.raises(ValueError):
        read({"other": 1})


def test_a_subclass_reads_as_itself(scalars: Any) -> None:
    class Sub(scalars):  # type: ignore[misc, valid-type]
        __slots__ = ()

    for msg in (Sub.from_dict({"fInt32": 3}), Sub.from_json('{"fInt32": 3}')):
        assert type(msg) is Sub and msg.f_int32 == 3
    # The parent's answer, remembered first, is not handed to the subclass.
    assert type(scalars.from_dict({})) is scalars


def test_class_attribute_changes_are_seen(scalars: Any) -> None:
    class Sub(scalars):  # type: ignore[misc, valid-type]
        __slots__ = ()

    assert Sub.from_dict({"fInt32": 1}).f_int32 == 1  # remembered now
    Sub._ext_marshaler = 5
    text = "_ext_marshaler cannot be converted to MessageMarshaler"
    with raises_exactly(TypeError, text):
        Sub.from_dict({})
    with raises_exactly(TypeError, text):
        Sub.from_json("{}")
    del Sub._ext_marshaler
    assert Sub.from_dict({"fInt32": 2}).f_int32 == 2
    # A change to a base reaches the subclass too.
    saved = scalars._ext_marshaler
    try:
        scalars._ext_marshaler = None
        with raises_exactly(TypeError, text):
            Sub.from_binary(b"")
    finally:
        scalars._ext_marshaler = saved
    assert Sub.from_binary(b"\x28\x04").f_int32 == 4


class Level(enum.IntEnum):
    HIGH = 3


@pytest.mark.parametrize(
    ("field", "value", "member"),
    [
        ("f_int32", 2**31 - 1, "fInt32"),
        ("f_int32", -(2**31), "fInt32"),
        ("f_uint32", 2**32 - 1, "fUint32"),
        ("f_sint32", 1000, "fSint32"),
        ("f_int32", Level.HIGH, "fInt32"),
        ("f_status", 77, "fStatus"),  # an open enum's unknown number
        ("f_status", Level.HIGH, "fStatus"),
    ],
)
def test_tree_ints_are_plain(scalars: Any, field: str, value: int, member: str) -> None:
    tree = scalars(**{field: value}).to_dict()
    assert tree == {member: int(value)}
    assert type(tree[member]) is int
    assert scalars.from_dict(tree) == scalars(**{field: value})


@pytest.mark.parametrize("levels", [1, 15, 16, 17, 40, 100])
def test_deep_trees_round_trip(registry: velum.Registry, levels: int) -> None:
    cls = registry.message_class("velum.test.shapes.SelfRecursive")
    msg = cls()
    for _ in range(levels):
        msg = cls(next=msg)
    tree = msg.to_dict()
    assert tree == json.loads(msg.to_json())
    assert cls.from_dict(tree) == msg


def test_map_keys_written_as_text(registry: velum.Registry) -> None:
    cls = registry.message_class(f"{P3}.Maps")
    msg = cls(int32_string={-7: "a", 0: "b", 2**31 - 1: "c"}, bool_bool={True: False, False: True})
    tree = msg.to_dict()
    assert tree == json.loads(msg.to_json())
    keys = [*tree["int32String"], *tree["boolBool"]]
    assert keys == ["-7", "0", "2147483647", "true", "false"]
    assert all(type(key) is str and key.isascii() for key in keys)
    assert cls.from_dict(tree) == msg


@pytest.mark.parametrize(
    ("value", "tracked"),
    [
        ("text", False),
        (3, False),
        (2.5, False),
        (None, False),
        (b"x", False),
        ([1], True),
        ({}, True),
    ],
)
def test_oneof_of_plain_values_is_not_tracked(value: object, tracked: bool) -> None:
    assert gc.is_tracked(Oneof("number", value)) is tracked


class Sentinel:
    pass


def test_a_cycle_through_a_oneof_is_collected(registry: velum.Registry) -> None:
    cls = registry.message_class(f"{P3}.WithOneof")
    inner = registry.message_class(f"{P3}.Scalars")()
    msg = cls(kind=Oneof("message", inner))
    assert gc.is_tracked(msg.kind)
    # A cycle through a Oneof's value: the message refers to itself.
    sentinel = Sentinel()
    box: list[object] = [msg, sentinel]
    msg.kind = Oneof("message", box)
    gone = weakref.ref(sentinel)
    del msg, box, sentinel
    gc.collect()
    assert gone() is None
    # Read from JSON: a plain member leaves the Oneof untracked, a message one not.
    assert not gc.is_tracked(cls.from_dict({"text": "a"}).kind)
    assert gc.is_tracked(cls.from_dict({"message": {}}).kind)
