"""Marshaler construction from hand-built descriptors: classification and its failures."""

from __future__ import annotations

from typing import Any

import pytest
from _velum_ext import NativeMessage, initialize_message_type

import velum
from velum._descriptors import (
    DescEnum,
    DescEnumValue,
    DescField,
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescFile,
    DescMessage,
    Presence,
    ScalarType,
)

FILE = DescFile(name="hand/built.proto", package="hand", syntax="proto3", edition=0)


def field(
    number: int, name: str, value: Any, presence: int = 2, requires: bool = False
) -> DescField:
    return DescField(
        number=number,
        name=name,
        local_name=name,
        json_name=name,
        full_name=f"hand.M.{name}",
        presence=presence,  # type: ignore[arg-type]
        _requires_presence=requires,
        value=value,
        default=None,
        parent=None,
    )


def message(
    name: str,
    fields: list[DescField],
    defaults: list[tuple[str, Any]] | None = None,
    slots: tuple[str, ...] | None = None,
) -> DescMessage:
    desc = DescMessage(type_name=f"hand.{name}", name=name, file=FILE, parent=None)
    desc.fields = fields
    desc._fields_by_name = {f.local_name: f for f in fields}
    desc._defaults = defaults if defaults is not None else [(f.local_name, 0) for f in fields]
    if slots is None:
        slots = tuple(f.local_name for f in fields)
    cls = type(name, (NativeMessage, velum.Message), {"__slots__": slots, "_desc": desc})
    desc.type = cls
    return desc


def enum(name: str, values: list[tuple[str, int]]) -> DescEnum:
    import enum as std_enum

    desc = DescEnum(type_name=f"hand.{name}", name=name, file=FILE, parent=None, open=True)
    desc.values = [DescEnumValue(number=n, name=v, local_name=v, json_name=v) for v, n in values]
    desc.type = std_enum.IntEnum(name, values) if values else type(name, (), {})
    return desc


def scalar(code: int) -> DescFieldValueScalar:
    return DescFieldValueScalar(scalar=code)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("value", "error", "text"),
    [
        (scalar(11), ValueError, "invalid scalar type: 11"),
        (scalar(14), ValueError, "invalid scalar type: 14"),
        (scalar(0), ValueError, "invalid scalar type: 0"),
        (object(), ValueError, "invalid field value type"),
        (DescFieldValueList(element="nope"), ValueError, "invalid list element type"),  # type: ignore[arg-type]
        (DescFieldValueMap(key=ScalarType.STRING, value=3.5), ValueError, "invalid map value type"),  # type: ignore[arg-type]
        (scalar(-1), OverflowError, None),
        (scalar("x"), TypeError, None),  # type: ignore[arg-type]
    ],
)
def test_classification_failures(value: Any, error: type[Exception], text: str | None) -> None:
    desc = message("Bad", [field(1, "a", value)])
    with pytest.raises(error) as info:
        initialize_message_type(desc.type)
    if text is not None:
        assert str(info.value) == text
    # Nothing was stored: the class stays uninitialised.
    assert "_ext_marshaler" not in vars(desc.type)


@pytest.mark.parametrize("presence", [0, 4])
def test_invalid_presence(presence: int) -> None:
    desc = message("BadPresence", [field(1, "a", scalar(5), presence=presence)])
    with pytest.raises(ValueError, match=f"^invalid presence: {presence}$"):
        initialize_message_type(desc.type)


def test_field_item_must_be_a_field_descriptor() -> None:
    desc = message("NotAField", [])
    desc.fields = [object()]  # type: ignore[list-item]
    with pytest.raises(ValueError, match="^invalid field descriptor$"):
        initialize_message_type(desc.type)


def test_unknown_default_is_key_error_and_retry_succeeds() -> None:
    desc = message("BadDefault", [field(1, "a", scalar(5))], defaults=[("a", 0), ("zz", 1)])
    with pytest.raises(KeyError) as info:
        initialize_message_type(desc.type)
    assert info.value.args == ("default value specified for unknown field zz",)
    desc._defaults = [("a", 0)]
    initialize_message_type(desc.type)
    assert desc.type(a=3).a == 3


def test_enum_without_values() -> None:
    e = enum("NoValues", [])
    desc = message("UsesEmptyEnum", [field(1, "e", DescFieldValueEnum(enum=e))])
    with pytest.raises(ValueError, match="^enum must have at least one value$"):
        initialize_message_type(desc.type)


@pytest.mark.parametrize(
    ("attribute", "value"),
    [("fields", ()), ("_oneofs_by_local_name", []), ("_defaults", ())],
)
def test_container_types_are_checked(attribute: str, value: Any) -> None:
    desc = message("WrongContainer", [field(1, "a", scalar(5))])
    setattr(desc, attribute, value)
    with pytest.raises(TypeError):
        initialize_message_type(desc.type)


def test_oneof_local_name_must_be_str() -> None:
    class FakeOneof:
        local_name = 7

    desc = message(
        "BadOneof",
        [field(1, "a", DescFieldValueScalar(scalar=ScalarType.INT32, oneof=FakeOneof()))],
    )  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        initialize_message_type(desc.type)


def test_initialise_twice_and_inherited_marshaler() -> None:
    desc = message("Twice", [field(1, "a", scalar(5))])
    initialize_message_type(desc.type)
    marshaler = desc.type._ext_marshaler
    initialize_message_type(desc.type)
    assert desc.type._ext_marshaler is marshaler
    sub = type("TwiceSub", (desc.type,), {"__slots__": ()})
    initialize_message_type(sub)
    assert "_ext_marshaler" not in vars(sub)
    assert type(marshaler).__name__ == "MessageMarshaler"


def test_initialize_requires_a_type() -> None:
    with pytest.raises(TypeError) as info:
        initialize_message_type(42)
    assert "while processing 'message_type'" in info.value.__notes__


@pytest.mark.parametrize("first", ["a", "b"])
def test_recursive_pair_in_any_order(first: str) -> None:
    a = message("PairA" + first, [], slots=("other",))
    b = message("PairB" + first, [], slots=("other", "items"))
    a.fields = [field(1, "other", DescFieldValueMessage(message=b))]
    b.fields = [
        field(1, "other", DescFieldValueMessage(message=a)),
        field(2, "items", DescFieldValueList(element=a)),
    ]
    for d in (a, b):
        d._fields_by_name = {f.local_name: f for f in d.fields}
    a._defaults = [("other", None)]
    b._defaults = [("other", None), ("items", [])]
    order = [a, b] if first == "a" else [b, a]
    for d in order:
        initialize_message_type(d.type)
    # Handles are shared per referenced class and cached on it.
    assert type(a.type._ext_value_type).__name__ == "DescMessage"
    inner = a.type()
    outer = b.type(other=inner)
    assert outer.other is inner and outer.items == []


def test_enum_table_is_cached_on_the_enum_class() -> None:
    e = enum("Cached", [("ZERO", 0), ("ONE", 1)])
    d1 = message("UsesEnum1", [field(1, "e", DescFieldValueEnum(enum=e))])
    d2 = message("UsesEnum2", [field(1, "e", DescFieldValueEnum(enum=e))])
    initialize_message_type(d1.type)
    table = e.type._ext_value_type
    initialize_message_type(d2.type)
    assert e.type._ext_value_type is table
    assert type(table).__name__ == "DescEnum"


@pytest.mark.parametrize("subclassed", [False, True])
def test_message_handle_is_found_as_the_attribute_would_be(subclassed: bool) -> None:
    suffix = "Sub" if subclassed else ""
    target = message("HandleTarget" + suffix, [])
    base = target.type
    # A look-up that missed first: storing the handle must not leave it hidden.
    assert not hasattr(base, "_ext_value_type")
    user = message(
        "HandleUser" + suffix, [field(1, "t", DescFieldValueMessage(message=target))], [("t", None)]
    )
    initialize_message_type(user.type)
    handle = base.__dict__["_ext_value_type"]
    assert base._ext_value_type is handle
    if subclassed:
        # A class below one that holds a handle shares it, as its attribute would.
        target.type = type("HandleTargetChild", (base,), {"__slots__": ()})
        other = message(
            "HandleOther", [field(1, "t", DescFieldValueMessage(message=target))], [("t", None)]
        )
        initialize_message_type(other.type)
        assert "_ext_value_type" not in target.type.__dict__
        assert target.type._ext_value_type is handle


def test_defaults_fill_every_instance() -> None:
    desc = message(
        "Defaults",
        [
            field(1, "n", scalar(5)),
            field(2, "items", DescFieldValueList(element=ScalarType.INT32)),
            field(3, "table", DescFieldValueMap(key=ScalarType.STRING, value=ScalarType.INT32)),
        ],
        defaults=[("n", 7), ("items", []), ("table", {})],
    )
    initialize_message_type(desc.type)
    a, b = desc.type(), desc.type()
    assert (a.n, a.items, a.table) == (7, [], {})
    # Scalars share the default object; containers are new per instance.
    assert a.items is not b.items and a.table is not b.table


def test_attribute_access_without_slots() -> None:
    desc = message("NoSlots", [field(1, "a", scalar(5), presence=Presence.EXPLICIT, requires=True)])
    cls = type("NoSlots", (NativeMessage, velum.Message), {"_desc": desc})
    desc.type = cls
    initialize_message_type(cls)
    m = cls(a=4)
    assert m.a == 4 and vars(m) == {"a": 4}
    assert m._present == [1]


@pytest.mark.parametrize("numbers", [(1, 1), (1, 2, 1)])
def test_later_field_of_a_shared_number_is_decoded(numbers: tuple[int, ...]) -> None:
    names = [f"f{i}" for i in range(len(numbers))]
    fields = [field(n, name, scalar(5)) for n, name in zip(numbers, names, strict=True)]
    desc = message(f"Dup{len(numbers)}", fields)
    initialize_message_type(desc.type)
    msg = desc.type.from_binary(b"\x08\x07")  # field 1 = 7, in table order
    assert getattr(msg, names[-1]) == 7
    assert getattr(msg, names[0]) == 0


@pytest.mark.parametrize("order", [("a", "b", "c"), ("c", "a", "b")])
def test_defaults_in_any_order_find_their_fields(order: tuple[str, ...]) -> None:
    fields = [
        field(1, "a", scalar(5)),
        field(2, "b", scalar(9)),
        field(3, "c", scalar(5), presence=Presence.EXPLICIT, requires=True),
    ]
    values = {"a": 1, "b": "x", "c": 3}
    desc = message("Order" + "".join(order), fields, defaults=[(n, values[n]) for n in order])
    initialize_message_type(desc.type)
    m = desc.type()
    assert (m.a, m.b, m.c) == (1, "x", 3) and m._present == []
    m.c = 4
    assert m._present == [3]


def test_a_name_two_fields_share_stores_as_the_later_field() -> None:
    # The keyword table keeps the later field's entry; the attribute is the same slot.
    fields = [field(1, "a", scalar(5)), field(2, "a", scalar(5), Presence.EXPLICIT, True)]
    desc = message("SharedName", fields, defaults=[("a", 0)], slots=("a",))
    initialize_message_type(desc.type)
    m = desc.type(a=5)
    assert m.a == 5 and m._present == [2]
    m.a = 0
    assert m._present == [2] and desc.type()._present == []


@pytest.mark.parametrize(
    ("attribute", "value", "error", "text"),
    [
        ("name", 5, TypeError, "descriptor name attribute cannot be converted to str"),
        ("local_name", None, TypeError, "descriptor name attribute cannot be converted to str"),
        ("json_name", b"A", TypeError, "descriptor name attribute cannot be converted to str"),
        ("number", 2**31, OverflowError, "enum value number out of range for int32"),
    ],
)
def test_enum_value_members_are_checked(
    attribute: str, value: Any, error: type[Exception], text: str
) -> None:
    e = enum(f"BadValue_{attribute}", [("A", 0)])
    setattr(e.values[0], attribute, value)
    desc = message(f"UsesBadValue_{attribute}", [field(1, "e", DescFieldValueEnum(enum=e))])
    with pytest.raises(error, match=f"^{text}$"):
        initialize_message_type(desc.type)
