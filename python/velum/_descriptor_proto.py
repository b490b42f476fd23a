"""Decoded form of the parts of google/protobuf/descriptor.proto the runtime uses.

Only what building descriptors needs is kept; every other field is skipped.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from velum._wire import LEN, VARINT, iter_fields, to_signed32

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


@dataclass(slots=True)
class FeatureSetProto:
    """The resolvable features; 0 means "not set here"."""

    field_presence: int = 0
    enum_type: int = 0
    repeated_field_encoding: int = 0
    utf8_validation: int = 0
    message_encoding: int = 0
    json_format: int = 0


@dataclass(slots=True)
class FieldProto:
    name: str = ""
    number: int = 0
    label: int = LABEL_OPTIONAL
    type: int = 0
    type_name: str = ""
    extendee: str = ""
    default_value: str | None = None
    oneof_index: int | None = None
    json_name: str | None = None
    proto3_optional: bool = False
    packed: bool | None = None
    features: FeatureSetProto | None = None


@dataclass(slots=True)
class OneofProto:
    name: str = ""
    features: FeatureSetProto | None = None


@dataclass(slots=True)
class EnumValueProto:
    name: str = ""
    number: int = 0


@dataclass(slots=True)
class EnumProto:
    name: str = ""
    values: list[EnumValueProto] = field(default_factory=list)
    features: FeatureSetProto | None = None


@dataclass(slots=True)
class MessageProto:
    name: str = ""
    fields: list[FieldProto] = field(default_factory=list)
    nested_types: list[MessageProto] = field(default_factory=list)
    enum_types: list[EnumProto] = field(default_factory=list)
    extensions: list[FieldProto] = field(default_factory=list)
    oneofs: list[OneofProto] = field(default_factory=list)
    map_entry: bool = False
    features: FeatureSetProto | None = None


@dataclass(slots=True)
class FileProto:
    name: str = ""
    package: str = ""
    dependencies: list[str] = field(default_factory=list)
    messages: list[MessageProto] = field(default_factory=list)
    enums: list[EnumProto] = field(default_factory=list)
    extensions: list[FieldProto] = field(default_factory=list)
    syntax: str = ""
    edition: int = 0
    features: FeatureSetProto | None = None


def _text(value: int | bytes) -> str:
    assert isinstance(value, bytes)
    return value.decode("utf-8")


def _message_bytes(value: int | bytes) -> bytes:
    assert isinstance(value, bytes)
    return value


def parse_features(data: bytes) -> FeatureSetProto:
    features = FeatureSetProto()
    names = {
        1: "field_presence",
        2: "enum_type",
        3: "repeated_field_encoding",
        4: "utf8_validation",
        5: "message_encoding",
        6: "json_format",
    }
    for number, wire_type, value in iter_fields(data):
        if wire_type == VARINT and number in names:
            setattr(features, names[number], value)
    return features


def _options(data: bytes, features_number: int) -> tuple[FeatureSetProto | None, dict[int, int]]:
    """Read the features and the varint options of an *Options message."""
    features = None
    varints: dict[int, int] = {}
    for number, wire_type, value in iter_fields(data):
        if number == features_number and wire_type == LEN:
            features = parse_features(_message_bytes(value))
        elif wire_type == VARINT:
            assert isinstance(value, int)
            varints[number] = value
    return features, varints


def parse_field(data: bytes) -> FieldProto:
    proto = FieldProto()
    for number, wire_type, value in iter_fields(data):
        if wire_type == LEN:
            if number == 1:
                proto.name = _text(value)
            elif number == 2:
                proto.extendee = _text(value)
            elif number == 6:
                proto.type_name = _text(value)
            elif number == 7:
                proto.default_value = _text(value)
            elif number == 8:
                # FieldOptions: packed = 2, features = 21
                proto.features, varints = _options(_message_bytes(value), 21)
                if 2 in varints:
                    proto.packed = bool(varints[2])
            elif number == 10:
                proto.json_name = _text(value)
        elif wire_type == VARINT:
            assert isinstance(value, int)
            if number == 3:
                proto.number = to_signed32(value)
            elif number == 4:
                proto.label = value
            elif number == 5:
                proto.type = value
            elif number == 9:
                proto.oneof_index = to_signed32(value)
            elif number == 17:
                proto.proto3_optional = bool(value)
    return proto


def parse_enum(data: bytes) -> EnumProto:
    proto = EnumProto()
    for number, wire_type, value in iter_fields(data):
        if wire_type != LEN:
            continue
        if number == 1:
            proto.name = _text(value)
        elif number == 2:
            enum_value = EnumValueProto()
            for vnumber, vwire, vvalue in iter_fields(_message_bytes(value)):
                if vnumber == 1 and vwire == LEN:
                    enum_value.name = _text(vvalue)
                elif vnumber == 2 and vwire == VARINT:
                    assert isinstance(vvalue, int)
                    enum_value.number = to_signed32(vvalue)
            proto.values.append(enum_value)
        elif number == 3:
            proto.features = _options(_message_bytes(value), 7)[0]
    return proto


def parse_message(data: bytes) -> MessageProto:
    proto = MessageProto()
    for number, wire_type, value in iter_fields(data):
        if wire_type != LEN:
            continue
        if number == 1:
            proto.name = _text(value)
        elif number == 2:
            proto.fields.append(parse_field(_message_bytes(value)))
        elif number == 3:
            proto.nested_types.append(parse_message(_message_bytes(value)))
        elif number == 4:
            proto.enum_types.append(parse_enum(_message_bytes(value)))
        elif number == 6:
            proto.extensions.append(parse_field(_message_bytes(value)))
        elif number == 7:
            # MessageOptions: map_entry = 7, features = 12
            proto.features, varints = _options(_message_bytes(value), 12)
            proto.map_entry = bool(varints.get(7, 0))
        elif number == 8:
            oneof = OneofProto()
            for onumber, owire, ovalue in iter_fields(_message_bytes(value)):
                if onumber == 1 and owire == LEN:
                    oneof.name = _text(ovalue)
                elif onumber == 2 and owire == LEN:
                    oneof.features = _options(_message_bytes(ovalue), 1)[0]
            proto.oneofs.append(oneof)
    return proto


def parse_file(data: bytes) -> FileProto:
    proto = FileProto()
    for number, wire_type, value in iter_fields(data):
        if wire_type == LEN:
            if number == 1:
                proto.name = _text(value)
            elif number == 2:
                proto.package = _text(value)
            elif number == 3:
                proto.dependencies.append(_text(value))
            elif number == 4:
                proto.messages.append(parse_message(_message_bytes(value)))
            elif number == 5:
                proto.enums.append(parse_enum(_message_bytes(value)))
            elif number == 7:
                proto.extensions.append(parse_field(_message_bytes(value)))
            elif number == 8:
                proto.features = _options(_message_bytes(value), 50)[0]
            elif number == 12:
                proto.syntax = _text(value)
        elif wire_type == VARINT and number == 14:
            assert isinstance(value, int)
            proto.edition = value
    return proto


def split_file_set(data: bytes) -> list[bytes]:
    """Return the serialized FileDescriptorProtos of a FileDescriptorSet."""
    return [_message_bytes(v) for n, w, v in iter_fields(data) if n == 1 and w == LEN]
