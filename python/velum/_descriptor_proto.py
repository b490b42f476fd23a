"""The records of the parts of google/protobuf/descriptor.proto the runtime uses.

A file's descriptor is read by the extension straight into small native records
(`_read_schema_file`): only the fields building descriptors needs, every other field
skipped; a repeated field is a tuple. Attribute names follow the runtime's use
(`fields`, `messages`, ...), not the proto. What that reader leaves (damaged or
unusually encoded input) goes to the native decoder, through message classes built here
by hand from the same schema (nothing can be parsed before they exist), which also split
a FileDescriptorSet into its files.
"""

from __future__ import annotations

import functools
import threading
from typing import Any

from _velum_ext import _read_schema_file, _schema_record_types

from velum._classes import make_message_classes
from velum._descriptors import (
    DescField,
    DescFieldValueList,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescFile,
    DescMessage,
    Presence,
    ScalarType,
)
from velum._naming import json_name
from velum._wire import LEN, WireError, iter_fields

# FieldDescriptorProto.Label
LABEL_OPTIONAL = 1
LABEL_REQUIRED = 2
LABEL_REPEATED = 3

# FieldDescriptorProto.Type values that are not scalars
TYPE_GROUP = 10
TYPE_MESSAGE = 11
TYPE_ENUM = 14

# Edition enum values
EDITION_PROTO2 = 998
EDITION_PROTO3 = 999
EDITION_2023 = 1000
EDITION_2024 = 1001

_STR = ScalarType.STRING
_INT = ScalarType.INT32  # enum fields are read as their numbers
_BOOL = ScalarType.BOOL
_REPEATED = "repeated"

# Per message: (proto name, attribute name, number, scalar type or message name, default).
# A default of None marks a field whose absence matters (it stays None when not on the wire);
# _REPEATED marks a repeated field.
_Spec = tuple[str, str, int, "ScalarType | str", Any]
_SCHEMA: dict[str, list[_Spec]] = {
    # The files are kept serialized: each is decoded on its own, and its bytes are
    # compared when the same file is loaded again.
    "FileDescriptorSet": [("file", "files", 1, ScalarType.BYTES, _REPEATED)],
    "FileDescriptorProto": [
        ("name", "name", 1, _STR, ""),
        ("package", "package", 2, _STR, ""),
        ("dependency", "dependencies", 3, _STR, _REPEATED),
        ("message_type", "messages", 4, "DescriptorProto", _REPEATED),
        ("enum_type", "enums", 5, "EnumDescriptorProto", _REPEATED),
        ("extension", "extensions", 7, "FieldDescriptorProto", _REPEATED),
        ("options", "options", 8, "FileOptions", None),
        ("syntax", "syntax", 12, _STR, ""),
        ("edition", "edition", 14, _INT, 0),
    ],
    "DescriptorProto": [
        ("name", "name", 1, _STR, ""),
        ("field", "fields", 2, "FieldDescriptorProto", _REPEATED),
        ("nested_type", "nested_types", 3, "DescriptorProto", _REPEATED),
        ("enum_type", "enum_types", 4, "EnumDescriptorProto", _REPEATED),
        ("extension", "extensions", 6, "FieldDescriptorProto", _REPEATED),
        ("options", "options", 7, "MessageOptions", None),
        ("oneof_decl", "oneofs", 8, "OneofDescriptorProto", _REPEATED),
    ],
    "FieldDescriptorProto": [
        ("name", "name", 1, _STR, ""),
        ("extendee", "extendee", 2, _STR, ""),
        ("number", "number", 3, _INT, 0),
        ("label", "label", 4, _INT, LABEL_OPTIONAL),
        ("type", "type", 5, _INT, 0),
        ("type_name", "type_name", 6, _STR, ""),
        ("default_value", "default_value", 7, _STR, None),
        ("options", "options", 8, "FieldOptions", None),
        ("oneof_index", "oneof_index", 9, _INT, None),
        ("json_name", "json_name", 10, _STR, None),
        ("proto3_optional", "proto3_optional", 17, _BOOL, False),
    ],
    "OneofDescriptorProto": [
        ("name", "name", 1, _STR, ""),
        ("options", "options", 2, "OneofOptions", None),
    ],
    "EnumDescriptorProto": [
        ("name", "name", 1, _STR, ""),
        ("value", "values", 2, "EnumValueDescriptorProto", _REPEATED),
        ("options", "options", 3, "EnumOptions", None),
    ],
    "EnumValueDescriptorProto": [
        ("name", "name", 1, _STR, ""),
        ("number", "number", 2, _INT, 0),
    ],
    "FileOptions": [("features", "features", 50, "FeatureSet", None)],
    "MessageOptions": [
        ("map_entry", "map_entry", 7, _BOOL, False),
        ("features", "features", 12, "FeatureSet", None),
    ],
    "FieldOptions": [
        ("packed", "packed", 2, _BOOL, None),
        ("features", "features", 21, "FeatureSet", None),
    ],
    "OneofOptions": [("features", "features", 1, "FeatureSet", None)],
    "EnumOptions": [("features", "features", 7, "FeatureSet", None)],
    # The resolvable features; 0 means "not set here".
    "FeatureSet": [
        ("field_presence", "field_presence", 1, _INT, 0),
        ("enum_type", "enum_type", 2, _INT, 0),
        ("repeated_field_encoding", "repeated_field_encoding", 3, _INT, 0),
        ("utf8_validation", "utf8_validation", 4, _INT, 0),
        ("message_encoding", "message_encoding", 5, _INT, 0),
        ("json_format", "json_format", 6, _INT, 0),
    ],
}


def _field(desc: DescMessage, spec: _Spec, descs: dict[str, DescMessage]) -> DescField:
    name, local, number, kind, default = spec
    target = descs[kind] if isinstance(kind, str) else kind
    value: DescFieldValueScalar | DescFieldValueMessage | DescFieldValueList
    presence = Presence.IMPLICIT
    if default is _REPEATED:
        value, default = DescFieldValueList(target), []
    elif isinstance(target, DescMessage):
        value, presence = DescFieldValueMessage(target), Presence.EXPLICIT
    else:
        value = DescFieldValueScalar(target)
    return DescField(
        number=number,
        name=name,
        local_name=local,
        json_name=json_name(name),
        full_name=f"{desc.type_name}.{name}",
        presence=presence,
        _requires_presence=False,
        value=value,
        default=default,
        parent=desc,
    )


_CLASSES_LOCK = threading.Lock()
_CLASSES: dict[str, type] = {}


def _build_classes_once() -> dict[str, type]:
    """The classes, made on first use (importing velum creates none).

    Made once even when threads race for them: records decoded with one set of classes
    are read by slot offsets taken from the same set.
    """
    if not _CLASSES:
        with _CLASSES_LOCK:
            if not _CLASSES:
                _CLASSES.update(_build_classes())
    return _CLASSES


def _build_classes() -> dict[str, type]:
    file = DescFile("velum/descriptor_subset.proto", "google.protobuf", "proto2", EDITION_PROTO2)
    descs = {
        name: DescMessage(f"google.protobuf.{name}", name, file, None) for name in _SCHEMA
    }
    for name, specs in _SCHEMA.items():
        desc = descs[name]
        for spec in specs:
            field = _field(desc, spec, descs)
            desc.fields.append(field)
            desc._fields_by_name[field.local_name] = field
            desc._fields_by_proto_name[field.name] = field
            desc._fields_by_number[field.number] = field
            desc._defaults.append((field.local_name, field.default))
        file.messages.append(desc)
    make_message_classes(list(descs.values()))
    return {name: desc.type for name, desc in descs.items()}


# The decoded types, as the builder sees them.
FileProto = Any
MessageProto = Any
FieldProto = Any
EnumProto = Any
OneofProto = Any
FeatureSetProto = Any


# The slots of a decoded field record that resolving its message reads, in the order
# the native resolver takes them.
FIELD_RECORD_SLOTS = (
    "name",
    "number",
    "label",
    "type",
    "default_value",
    "options",
    "oneof_index",
    "json_name",
    "proto3_optional",
    "type_name",
)


@functools.cache
def record_types() -> dict[str, type]:
    """The types of the records a file's descriptor is read into, by message name."""
    types: dict[str, type] = _schema_record_types()
    return types


def field_record_slots() -> tuple[type, tuple[Any, ...]]:
    """The type of field records and the member descriptors of its slots."""
    cls = record_types()["FieldDescriptorProto"]
    return cls, tuple(cls.__dict__[name] for name in FIELD_RECORD_SLOTS)


# A record class with the member descriptors of some of its slots.
RecordSlots = tuple[type, tuple[Any, ...]]


def _record_slots(name: str, *slots: str) -> RecordSlots:
    cls = record_types()[name]
    return cls, tuple(cls.__dict__[slot] for slot in slots)


def declare_record_slots() -> tuple[RecordSlots, ...]:
    """What the native declarer reads: the slots of message, enum and enum value records
    and of message and enum options, in its order."""
    return (
        _record_slots(
            "DescriptorProto", "name", "nested_types", "enum_types", "extensions", "options"
        ),
        _record_slots("EnumDescriptorProto", "name", "values", "options"),
        _record_slots("EnumValueDescriptorProto", "name", "number"),
        _record_slots("MessageOptions", "map_entry", "features"),
        _record_slots("EnumOptions", "features"),
    )


def features_of(proto: Any) -> FeatureSetProto | None:
    """The FeatureSet in a descriptor's options, if any."""
    options = proto.options
    return None if options is None else options.features


def packed_option(proto: FieldProto) -> bool | None:
    """The legacy `packed` field option: None when not given."""
    options = proto.options
    return None if options is None else options.packed


def parse_file(data: bytes) -> FileProto:
    record = _read_schema_file(data)
    return _parse_file_decoded(data) if record is None else record


def _parse_file_decoded(data: bytes) -> FileProto:
    """A file the native reader left: the decoder reports what is wrong with it, with its
    usual text; what it reads is written out again in the plain form the reader takes."""
    file_class: Any = _build_classes_once()["FileDescriptorProto"]
    decoded = file_class.from_binary(data, ignore_unknown_fields=True)
    record = _read_schema_file(_plain(decoded, "FileDescriptorProto"))
    if record is None:
        raise ValueError("the descriptor could not be read")  # the reader takes what _plain writes
    return record


def _plain(record: Any, name: str) -> bytes:
    """A decoded record with every field it holds written out (none left out for being
    the default: an absent field and one equal to its default differ in some)."""
    out = bytearray()
    for _, local, number, kind, default in _SCHEMA[name]:
        value = getattr(record, local)
        if value is None:
            continue
        for item in value if default is _REPEATED else (value,):
            if isinstance(kind, str):
                _put_payload(out, number, _plain(item, kind))
            elif kind is _STR:
                _put_payload(out, number, item.encode())
            else:  # int32 and bool: a negative int32 takes ten bytes, as on the wire
                _put_varint(out, number << 3)
                _put_varint(out, int(item) & 0xFFFF_FFFF_FFFF_FFFF)
    return bytes(out)


def _put_payload(out: bytearray, number: int, payload: bytes) -> None:
    _put_varint(out, number << 3 | LEN)
    _put_varint(out, len(payload))
    out += payload


def _put_varint(out: bytearray, value: int) -> None:
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)


def split_file_set(data: bytes) -> list[bytes]:
    """Return the serialized FileDescriptorProtos of a FileDescriptorSet."""
    set_class: Any = _build_classes_once()["FileDescriptorSet"]
    try:
        decoded = set_class.from_binary(data)
    except Exception:
        decoded = None
    if decoded is not None and decoded._unknown_fields is None:
        files: list[bytes] = decoded.files
        return files
    # Anything but a plain set (other fields, field 1 of another wire type, damage)
    # is split by the reader below, which says what is wrong.
    return _split_file_set_python(data)


def _split_file_set_python(data: bytes) -> list[bytes]:
    files = []
    for number, wire_type, value in iter_fields(data):
        if number == 1:
            if wire_type != LEN:
                raise WireError(f"field 1 has wire type {wire_type}")
            assert isinstance(value, bytes)
            files.append(value)
    return files
