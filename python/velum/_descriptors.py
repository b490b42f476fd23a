"""Descriptor objects of the runtime.

They describe files, messages, fields, enums and extensions after their features
have been resolved, in the shape the native extension reads (attribute names are
part of that contract).  The registry creates them; user code only reads them.
"""

from __future__ import annotations

import builtins
import dataclasses
import enum
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from _velum_ext import _slot_constructor, _slot_traverse


class ScalarType(enum.IntEnum):
    """Scalar field types, numbered as in FieldDescriptorProto.Type."""

    DOUBLE = 1
    FLOAT = 2
    INT64 = 3
    UINT64 = 4
    INT32 = 5
    FIXED64 = 6
    FIXED32 = 7
    BOOL = 8
    STRING = 9
    BYTES = 12
    UINT32 = 13
    SFIXED32 = 15
    SFIXED64 = 16
    SINT32 = 17
    SINT64 = 18


class Presence(enum.IntEnum):
    """How a field's presence is tracked, numbered as the field_presence feature."""

    EXPLICIT = 1
    IMPLICIT = 2
    LEGACY_REQUIRED = 3


class _Named:
    """Short reprs: descriptors form cyclic graphs, so never show their contents."""

    __slots__ = ()

    def __repr__(self) -> str:
        label = getattr(self, "type_name", None) or getattr(self, "name", "?")
        return f"<{type(self).__name__} {label}>"


@dataclass(slots=True, eq=False, repr=False)
class DescFile(_Named):
    name: str
    package: str
    syntax: str  # "proto2", "proto3" or "editions"
    edition: int
    dependencies: list[DescFile] = field(default_factory=list)
    messages: list[DescMessage] = field(default_factory=list)
    enums: list[DescEnum] = field(default_factory=list)
    extensions: list[DescExtension] = field(default_factory=list)
    _serialized: bytes = b""


@dataclass(slots=True, eq=False, repr=False)
class DescEnumValue(_Named):
    number: int
    name: str
    local_name: str
    json_name: str


@dataclass(slots=True, eq=False, repr=False)
class DescEnum(_Named):
    type_name: str
    name: str
    file: DescFile
    parent: DescMessage | None
    open: bool
    values: list[DescEnumValue] = field(default_factory=list)
    type: Any = None  # the generated enum class (created on first use, see _lazy)
    _create: Any = None  # makes `type` when it is first read
    # The native extension's table of this enum. It is kept here rather than on the
    # class because it exists first: the class is made when a member is first needed.
    _ext_table: Any = field(default=None, init=False)

    def value(self, number: int) -> DescEnumValue | None:
        """The first value with this number (later ones are aliases)."""
        return next((v for v in self.values if v.number == number), None)


@dataclass(slots=True, eq=False, repr=False)
class DescOneof(_Named):
    name: str
    local_name: str
    parent: DescMessage
    fields: list[DescField] = field(default_factory=list)


@dataclass(slots=True, eq=False, repr=False)
class DescFieldValueScalar:
    scalar: ScalarType
    oneof: DescOneof | None = None


@dataclass(slots=True, eq=False, repr=False)
class DescFieldValueEnum:
    enum: DescEnum
    oneof: DescOneof | None = None


@dataclass(slots=True, eq=False, repr=False)
class DescFieldValueMessage:
    message: DescMessage
    delimited_encoding: bool = False
    oneof: DescOneof | None = None


@dataclass(slots=True, eq=False, repr=False)
class DescFieldValueList:
    element: ScalarType | DescEnum | DescMessage
    packed: bool = False
    delimited_encoding: bool = False


@dataclass(slots=True, eq=False, repr=False)
class DescFieldValueMap:
    key: ScalarType
    value: ScalarType | DescEnum | DescMessage


FieldValue = (
    DescFieldValueScalar
    | DescFieldValueEnum
    | DescFieldValueMessage
    | DescFieldValueList
    | DescFieldValueMap
)


@dataclass(slots=True, eq=False, repr=False)
class DescField(_Named):
    number: int
    name: str  # as written in the .proto file
    local_name: str  # the Python attribute name
    json_name: str
    full_name: str
    presence: Presence
    # True when the field's presence lives in the instance's presence bits.
    _requires_presence: bool
    value: FieldValue
    # Zero value, custom default, enum member, None, [] or {} (see DescMessage._defaults).
    # An enum member is held as an EnumDefault until its class exists.
    default: Any
    parent: DescMessage | None  # None for file-level extensions
    oneof: DescOneof | None = None


@dataclass(slots=True, eq=False, repr=False)
class DescMessage(_Named):
    type_name: str
    name: str
    file: DescFile
    parent: DescMessage | None
    fields: list[DescField] = field(default_factory=list)
    oneofs: list[DescOneof] = field(default_factory=list)
    nested_messages: list[DescMessage] = field(default_factory=list)
    nested_enums: list[DescEnum] = field(default_factory=list)
    nested_extensions: list[DescExtension] = field(default_factory=list)
    is_map_entry: bool = False
    _fields_by_name: dict[str, DescField] = field(default_factory=dict)  # by local_name
    _fields_by_proto_name: dict[str, DescField] = field(default_factory=dict)
    _fields_by_number: dict[int, DescField] = field(default_factory=dict)
    _oneofs_by_local_name: dict[str, DescOneof] = field(default_factory=dict)
    _oneofs_by_name: dict[str, DescOneof] = field(default_factory=dict)
    # One (attribute name, default) pair per storage attribute of an instance.
    _defaults: list[tuple[str, Any]] = field(default_factory=list)
    type: Any = None  # the generated class; None for map entries (created on first use)
    _create: Any = None  # makes `type` (and the classes it needs) when it is first read
    # Fills the members from `fields` to `_defaults` when one of them is first read: the
    # pending resolution, or the native field table the class was made from (which runs it).
    _resolve: Any = None


@dataclass(slots=True, eq=False, repr=False)
class DescExtension(_Named):
    name: str  # full name
    type_name: str  # full name
    number: int
    extendee: DescMessage
    field: DescField
    file: DescFile
    parent: DescMessage | None  # the message the extension is declared in, if any
    _holder: builtins.type[Any] | None = None

    @property
    def type(self) -> DescExtension:
        """The key that reads the extension from a message: `msg[ext.type]`."""
        return self

    @property
    def value(self) -> FieldValue:
        return self.field.value

    # `type` in this class body is the property above, hence builtins.type.
    def holder_class(self) -> builtins.type[Any]:
        """A message class with just this extension's field, for encoding its value.

        Extension values live as wire records in the extendee's unknown fields; the
        holder turns them into a Python value and back.
        """
        if self._holder is None:
            if _holder_factory is None:
                raise RuntimeError("message classes are not available yet")
            self._holder = _holder_factory(self)
        return self._holder


class EnumDefault:
    """An enum field's default while its enum class does not exist yet."""

    __slots__ = ("enum", "local_name")

    def __init__(self, enum: DescEnum, local_name: str) -> None:
        self.enum = enum
        self.local_name = local_name

    def member(self) -> Any:
        return getattr(self.enum.type, self.local_name)


# The slots of each class that the collector need not visit: the runtime fills them
# only with text, numbers, bools and members of this module's enums, which refer to
# nothing. A schema holds thousands of these objects, and a visit to each name and
# number is a cache miss at every collection that scans its holder.
for _cls, _atomic in (
    (DescFile, ("name", "package", "syntax", "edition", "_serialized")),
    (DescEnumValue, ("number", "name", "local_name", "json_name")),
    (DescEnum, ("type_name", "name", "open")),
    (DescOneof, ("name", "local_name")),
    (DescFieldValueScalar, ("scalar",)),
    (DescFieldValueMessage, ("delimited_encoding",)),
    (DescFieldValueList, ("packed", "delimited_encoding")),
    (DescFieldValueMap, ("key",)),
    (DescField, ("number", "name", "local_name", "json_name", "full_name", "presence",
                 "_requires_presence")),
    (DescMessage, ("type_name", "name", "is_map_entry")),
    (DescExtension, ("name", "type_name", "number")),
    (EnumDefault, ("local_name",)),
):
    _slot_traverse(_cls, _atomic)


def _filler(cls: type) -> Callable[..., Any]:
    """A constructor of `cls` taking every field positionally that fills the slots natively.

    Loading a schema makes thousands of descriptors; the dataclass __init__ costs several
    times more than the object itself. Taken before any slot becomes a lazy property.
    """
    members = tuple(cls.__dict__[f.name] for f in dataclasses.fields(cls) if f.init)
    made: Callable[..., Any] = _slot_constructor(cls, members)
    return made


# Every field positionally, in declaration order (defaults included).
new_field = _filler(DescField)
new_message = _filler(DescMessage)
new_oneof = _filler(DescOneof)
new_enum_value = _filler(DescEnumValue)
new_enum_desc = _filler(DescEnum)
new_scalar_value = _filler(DescFieldValueScalar)
new_enum_value_desc = _filler(DescFieldValueEnum)
new_message_value = _filler(DescFieldValueMessage)
new_list_value = _filler(DescFieldValueList)


def peek_type(desc: DescMessage | DescEnum) -> Any:
    """The class of `desc` if it exists, without creating it."""
    return _TYPE_SLOTS[type(desc)].__get__(desc)


def _lazy_type(cls: Any) -> Any:
    """Replace the slot `type` of `cls` by a property that makes the class on first read.

    Classes are made when first needed rather than when a schema is loaded; the
    dataclass constructor and plain assignment keep writing the slot. The property is
    read for every field that refers to the type, so it is a single plain function.
    """
    slot = cls.__dict__["type"]

    def read(self: Any) -> Any:
        if self._create is not None:
            # Not made yet, or still being made: a batch publishes its classes before it
            # initialises them, so another thread waits in the hook until it is done.
            self._create(self)
        return slot.__get__(self)

    cls.type = property(read, slot.__set__)
    return slot


def _lazy_default() -> Any:
    """Replace the slot `default` of DescField by a property that turns an EnumDefault
    into the enum member (making the enum class) on first read, and a list field's
    NO_LIST into its empty list (one list, whichever thread reads first)."""
    slot = DescField.__dict__["default"]

    def read(self: DescField) -> Any:
        value = slot.__get__(self)
        if type(value) is EnumDefault:
            value = value.member()
            slot.__set__(self, value)
        elif value is NO_LIST:
            value = _list_made_once(slot, self)
        return value

    cls: Any = DescField  # the slot's name is taken over by the property
    cls.default = property(read, slot.__set__)
    return slot


def _resolve_defaults(_: DescMessage, pairs: list[tuple[str, Any]]) -> list[tuple[str, Any]]:
    for _key, value in pairs:
        if type(value) is EnumDefault or value is NO_LIST:
            pairs[:] = [(key, _held_default(value)) for key, value in pairs]
            break
    return pairs


def _held_default(value: Any) -> Any:
    """A default as read: an EnumDefault's member, a list for NO_LIST."""
    if type(value) is EnumDefault:
        return value.member()
    return [] if value is NO_LIST else value


_TYPE_SLOTS = {DescMessage: _lazy_type(DescMessage), DescEnum: _lazy_type(DescEnum)}

# peek_type of a DescMessage, without the lookup by class (making classes asks often).
peek_message_type: Callable[[DescMessage], Any] = _TYPE_SLOTS[DescMessage].__get__
_DEFAULT_SLOT = _lazy_default()


def peek_default(field: DescField) -> Any:
    """The default of `field` as held, an EnumDefault included (so no enum class is made)."""
    return _DEFAULT_SLOT.__get__(field)


# Serialises resolving a loaded message's fields, so that no message gets two sets.
_RESOLVE_LOCK = threading.Lock()
# Serialises making the members built on first read (never taken under the other), so
# that every reader gets the same object.
_FIRST_READ_LOCK = threading.Lock()


def _made_once(slot: Any, obj: Any, make: Callable[[], Any]) -> Any:
    """The value of `slot` on `obj`, made by `make` and stored if it still holds None."""
    with _FIRST_READ_LOCK:
        value = slot.__get__(obj)
        if value is None:
            value = make()
            slot.__set__(obj, value)
    return value


def _lazy_full_name() -> None:
    """Replace the slot `full_name` of DescField by a property that makes it from the
    parent's name when the slot holds None (as the resolver leaves a message's fields:
    the runtime never reads it, and on long names it is a large part of a field)."""
    slot = DescField.__dict__["full_name"]

    def read(self: DescField) -> str:
        value: str | None = slot.__get__(self)
        if value is None:
            parent = self.parent
            assert parent is not None  # (an extension's field gets its full name when made)
            value = _made_once(slot, self, lambda: f"{parent.type_name}.{self.name}")
        return value

    cls: Any = DescField  # the slot's name is taken over by the property
    cls.full_name = property(read, slot.__set__)


_lazy_full_name()


def _resolve_fields(desc: DescMessage) -> None:
    # The resolver assigns every member before `_resolve` is cleared, so a reader that
    # sees it cleared (without taking the lock) sees them all.
    with _RESOLVE_LOCK:
        resolve = desc._resolve
        if resolve is not None:
            resolve(desc)
            desc._resolve = None


def _lazy_fields(name: str, then: Callable[[Any, Any], Any] | None = None) -> Any:
    """Make the slot `name` of DescMessage resolve the message's fields before it is read.

    Loading a schema only checks each message; the field descriptors, which are most of
    the objects a schema makes, are built when something first looks at them.
    """
    slot = DescMessage.__dict__[name]

    def read(self: DescMessage) -> Any:
        if self._resolve is not None:
            _resolve_fields(self)
        value = slot.__get__(self)
        return value if then is None else then(self, value)

    setattr(DescMessage, name, property(read, slot.__set__))
    return slot


def _list_once(desc: DescMessage, value: Any) -> Any:
    """`oneofs` as read: the resolver leaves NO_LIST for none (most messages), made
    into one empty list whichever thread reads first."""
    return _list_made_once(_FIELD_SLOTS["oneofs"], desc) if value is NO_LIST else value


def _list_made_once(slot: Any, owner: Any) -> Any:
    """The empty list put in place of NO_LIST in `owner`'s `slot`: one list,
    whichever thread reads first."""
    with _FIRST_READ_LOCK:
        value = slot.__get__(owner)
        if value is NO_LIST:
            value = []
            slot.__set__(owner, value)
    return value


_FIELD_SLOTS = {
    name: _lazy_fields(name)
    for name in (
        "fields",
        "_fields_by_name",
        "_oneofs_by_local_name",
        "_oneofs_by_name",
    )
}
_FIELD_SLOTS["_defaults"] = _lazy_fields("_defaults", _resolve_defaults)
_FIELD_SLOTS["oneofs"] = _lazy_fields("oneofs", _list_once)
# A message's oneofs as held once its fields are resolved, NO_LIST included: what making
# its class reads, so that no empty list is made for each message that has none.
peek_oneofs: Callable[[DescMessage], list[DescOneof]] = _FIELD_SLOTS["oneofs"].__get__


def _lazy_lookup(name: str, key: Callable[[DescField], Any]) -> Any:
    """Make the slot `name` of DescMessage, a lookup of the fields by `key` that resolving
    leaves None, a dict made on first read: the runtime itself never reads it."""
    slot = DescMessage.__dict__[name]
    fields_slot = _FIELD_SLOTS["fields"]

    def made(desc: DescMessage, value: Any) -> Any:
        if value is None:
            value = _made_once(slot, desc, lambda: {key(f): f for f in fields_slot.__get__(desc)})
        return value

    return _lazy_fields(name, made)


_FIELD_SLOTS["_fields_by_proto_name"] = _lazy_lookup("_fields_by_proto_name", lambda f: f.name)
_FIELD_SLOTS["_fields_by_number"] = _lazy_lookup("_fields_by_number", lambda f: f.number)

# What a DescMessage's list of nested messages, enums or extensions holds while nothing
# was declared into it (most messages): the list is made when the member is first read.
NO_LIST: Any = ()


def _lazy_list(name: str) -> Any:
    slot = DescMessage.__dict__[name]

    def read(self: DescMessage) -> Any:
        value = slot.__get__(self)
        if value is NO_LIST:
            value = []
            slot.__set__(self, value)
        return value

    setattr(DescMessage, name, property(read, slot.__set__))
    return slot


_NESTED_SLOTS = {
    name: _lazy_list(name) for name in ("nested_messages", "nested_enums", "nested_extensions")
}

# A message's nested messages or enums as held, NO_LIST included: what the runtime reads
# to make classes, so that no empty list is made for each message that has none.
peek_nested_messages: Callable[[DescMessage], list[DescMessage]] = _NESTED_SLOTS[
    "nested_messages"
].__get__
peek_nested_enums: Callable[[DescMessage], list[DescEnum]] = _NESTED_SLOTS["nested_enums"].__get__

# The plain slots behind the lazy properties, by "Class.member". The native extension
# reads them directly once a message is resolved (or a class exists), so that making
# classes runs no Python per referenced type; it falls back to the property otherwise.
_NATIVE_SLOTS = {
    "DescMessage.type": _TYPE_SLOTS[DescMessage],
    "DescMessage._resolve": DescMessage.__dict__["_resolve"],
    "DescMessage.nested_extensions": _NESTED_SLOTS["nested_extensions"],
    **{f"DescMessage.{name}": slot for name, slot in _FIELD_SLOTS.items()},
    "DescEnum.type": _TYPE_SLOTS[DescEnum],
    "DescEnum._ext_table": DescEnum.__dict__["_ext_table"],
}


# Set by velum._classes, which builds message classes: the descriptors stay
# below the classes made from them, with no import back up.
_holder_factory: Callable[[DescExtension], type] | None = None


def set_extension_holder_factory(factory: Callable[[DescExtension], type]) -> None:
    global _holder_factory
    _holder_factory = factory


__all__ = [
    "DescEnum",
    "DescEnumValue",
    "DescExtension",
    "DescField",
    "DescFieldValueEnum",
    "DescFieldValueList",
    "DescFieldValueMap",
    "DescFieldValueMessage",
    "DescFieldValueScalar",
    "DescFile",
    "DescMessage",
    "DescOneof",
    "FieldValue",
    "Presence",
    "ScalarType",
]
