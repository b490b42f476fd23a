"""msgspec Structs equivalent to the workload schemas: the typed JSON codec peer.

Each message type becomes a Struct whose members carry the JSON names and take the value
kinds of the JSON mapping: 64-bit integers as strings, enums as their names, Timestamp and
Duration as strings, Struct as a dict, bytes as Base64 text (msgspec's own form for
bytes), maps as dicts, oneof members and other fields with presence as optional members.
Members at their default are left out of the output, as the mapping leaves out fields that
are not set. An Any holds one of the message types named up front, as a Struct tagged with
its "@type" URL.
"""

from __future__ import annotations

import enum
from collections.abc import Iterable
from typing import Any

import msgspec

_DOUBLE, _FLOAT, _INT64, _UINT64, _INT32, _FIXED64, _FIXED32, _BOOL, _STRING = range(1, 10)
_MESSAGE, _BYTES, _UINT32, _ENUM, _SFIXED32, _SFIXED64, _SINT32, _SINT64 = range(11, 19)

# (Python type, default when not set)
_SCALARS: dict[int, tuple[Any, Any]] = {
    _DOUBLE: (float, 0.0), _FLOAT: (float, 0.0), _BOOL: (bool, False), _STRING: (str, ""),
    _BYTES: (bytes, b""),
    **{t: (int, 0) for t in (_INT32, _UINT32, _FIXED32, _SFIXED32, _SINT32)},
    **{t: (str, "0") for t in (_INT64, _UINT64, _FIXED64, _SFIXED64, _SINT64)},
}

_STRING_FORMS = frozenset({
    "google.protobuf.Timestamp", "google.protobuf.Duration", "google.protobuf.FieldMask",
})
_WRAPPERS = frozenset({
    "google.protobuf." + n for n in (
        "DoubleValue", "FloatValue", "Int64Value", "UInt64Value", "Int32Value", "UInt32Value",
        "BoolValue", "StringValue", "BytesValue",
    )
})
TYPE_URL_PREFIX = "type.googleapis.com/"


class StructSet:
    """Struct classes made on demand from protobuf message descriptors."""

    def __init__(self, descriptor: Any, any_types: Iterable[str] = ()) -> None:
        self._descriptor = descriptor  # full name -> protobuf message descriptor
        self._any_types = tuple(any_types)
        self._structs: dict[tuple[str, bool], type[msgspec.Struct]] = {}
        self._enums: dict[str, type[enum.Enum]] = {}
        self._making: set[str] = set()

    def struct(self, full_name: str, *, in_any: bool = False) -> type[msgspec.Struct]:
        key = (full_name, in_any)
        made = self._structs.get(key)
        if made is not None:
            return made
        if full_name in self._making:
            raise NotImplementedError(f"recursive message type {full_name}")
        self._making.add(full_name)
        try:
            made = self._make(self._descriptor(full_name), in_any)
        finally:
            self._making.discard(full_name)
        self._structs[key] = made
        return made

    def _make(self, desc: Any, in_any: bool) -> type[msgspec.Struct]:
        members: list[tuple[str, Any, Any]] = []
        rename: dict[str, str] = {}
        for field in desc.fields:
            kind, default = self._member(field)
            members.append((field.name, kind, default))
            rename[field.name] = field.json_name
        tag: dict[str, Any] = {}
        if in_any:
            tag = {"tag_field": "@type", "tag": TYPE_URL_PREFIX + desc.full_name}
        name = desc.full_name.replace(".", "_") + ("_in_any" if in_any else "")
        return msgspec.defstruct(name, members, omit_defaults=True, rename=rename, **tag)

    def _member(self, field: Any) -> tuple[Any, Any]:
        sub = field.message_type
        if sub is not None and sub.GetOptions().map_entry:
            key: Any = self._value_kind(sub.fields_by_name["key"])
            if key not in (str, int):
                raise NotImplementedError(f"map key kind of {field.full_name}")
            value: Any = self._value_kind(sub.fields_by_name["value"])
            return dict[key, value], _dict_default()
        kind: Any = self._value_kind(field)
        if field.is_repeated:
            return list[kind], _list_default()
        if field.has_presence:
            return kind | None, None
        return kind, self._zero(field)

    def _value_kind(self, field: Any) -> Any:
        if field.type == _ENUM:
            return self._enum(field.enum_type)
        if field.type != _MESSAGE:
            return _SCALARS[field.type][0]
        name = field.message_type.full_name
        if name in _STRING_FORMS:
            return str
        if name == "google.protobuf.Struct":
            return dict[str, Any]
        if name == "google.protobuf.ListValue":
            return list[Any]
        if name == "google.protobuf.Value":
            return Any
        if name in _WRAPPERS:
            return _SCALARS[field.message_type.fields_by_name["value"].type][0]
        if name == "google.protobuf.Any":
            if not self._any_types:
                raise NotImplementedError(f"no types named for the Any of {field.full_name}")
            tagged = tuple(self.struct(t, in_any=True) for t in self._any_types)
            return tagged[0] if len(tagged) == 1 else _union(tagged)
        return self.struct(name)

    def _zero(self, field: Any) -> Any:
        if field.type == _ENUM:
            return self._enum(field.enum_type)(field.enum_type.values[0].name)
        return _SCALARS[field.type][1]

    def _enum(self, desc: Any) -> type[enum.Enum]:
        if desc.full_name not in self._enums:
            # Members valued by their names: msgspec writes and reads an Enum by value.
            members = [(v.name, v.name) for v in desc.values]
            made: Any = enum.Enum(desc.full_name.replace(".", "_"), members)  # type: ignore[misc]
            self._enums[desc.full_name] = made
        return self._enums[desc.full_name]


def _union(kinds: tuple[Any, ...]) -> Any:
    out = kinds[0]
    for k in kinds[1:]:
        out = out | k
    return out


def _list_default() -> Any:
    return msgspec.field(default_factory=list)


def _dict_default() -> Any:
    return msgspec.field(default_factory=dict)
