"""Fields resolved field by field in Python: the reference the native resolver is tested against.

The runtime resolves a loaded message's fields in one native call; this is what that call
must give, built the plain way from the runtime's own helpers.
"""

from __future__ import annotations

import math
import struct
from typing import Any

from velum._builder import (
    _SCALAR_VALUES,
    _ZERO,
    _assign_resolved,
    _make_field,
    _presence,
    _real_oneof_indexes,
    _reserved_in,
    _Target,
)
from velum._descriptor_proto import LABEL_OPTIONAL, FieldProto, MessageProto, features_of
from velum._descriptors import (
    DescField,
    DescMessage,
    DescOneof,
    ScalarType,
    new_field,
    new_oneof,
    peek_default,
)
from velum._features import Features
from velum._naming import assign_local_names, json_name


def resolve_message_python(
    proto: MessageProto, features: Features, targets: list[_Target], desc: DescMessage
) -> None:
    """What `_resolve_message` does, field by field in Python; kept as its reference.

    Everything is built aside and then assigned, the lazy members through their setters.
    """
    field_protos = proto.fields
    type_name = desc.type_name
    real_oneofs = _real_oneof_indexes(proto) if proto.oneofs else []
    oneof_protos = [proto.oneofs[i] for i in real_oneofs]
    names = [f.name for f in field_protos]
    names += [o.name for o in oneof_protos]
    local_names = assign_local_names(names, _reserved_in(desc))
    oneofs: dict[int, tuple[DescOneof, Features]] = {}
    oneof_list: list[DescOneof] = []
    oneofs_by_local_name: dict[str, DescOneof] = {}
    oneofs_by_name: dict[str, DescOneof] = {}
    for index, oneof_proto, local in zip(
        real_oneofs, oneof_protos, local_names[len(field_protos) :], strict=True
    ):
        group: DescOneof = new_oneof(oneof_proto.name, local, desc, [])
        oneofs[index] = (group, features.merge(features_of(oneof_proto)))
        oneof_list.append(group)
        oneofs_by_local_name[local] = group
        oneofs_by_name[group.name] = group
    fields: list[DescField] = []
    defaults: list[tuple[str, Any]] = []
    by_name: dict[str, DescField] = {}
    by_proto_name: dict[str, DescField] = {}
    by_number: dict[int, DescField] = {}
    prefix = type_name + "."
    # Most fields are singular scalars outside a oneof, without options or a default other
    # than a string's: they are built here directly, their presence depending only on the
    # message.
    plain = None if desc.is_map_entry else _presence(features.field_presence, True, True)
    optional = _presence(features.field_presence, False, True)  # proto3 `optional`
    for field_proto, local, target in zip(field_protos, local_names, targets, strict=False):
        name = field_proto.name
        if (
            plain is not None
            and type(target) is ScalarType
            and field_proto.label == LABEL_OPTIONAL
            and field_proto.options is None
            and (not field_proto.default_value or target is ScalarType.STRING)
            and (not oneofs or field_proto.oneof_index not in oneofs)
        ):
            presence, requires_presence = optional if field_proto.proto3_optional else plain
            json = field_proto.json_name
            # A string's default is its text as written; any other has none here.
            default = field_proto.default_value or _ZERO.get(target, 0)
            field: DescField = new_field(
                field_proto.number,
                name,
                local,
                json if json is not None else json_name(name),
                prefix + name,
                presence,
                requires_presence,
                _SCALAR_VALUES[target],
                default,
                desc,
                None,
            )
            fields.append(field)
            by_name[local] = field
            by_proto_name[name] = field
            by_number[field.number] = field
            defaults.append((local, default))
            continue
        oneof = None
        field_features = features
        if oneofs and field_proto.oneof_index in oneofs:
            oneof, field_features = oneofs[field_proto.oneof_index]
        options = field_proto.options
        if options is not None:
            field_features = field_features.merge(options.features)
        field = _make_field(field_proto, local, prefix + name, desc, oneof, field_features, target)
        fields.append(field)
        by_name[local] = field
        by_proto_name[name] = field
        by_number[field.number] = field
        if oneof is not None:
            oneof.fields.append(field)
        else:
            defaults.append((local, peek_default(field)))
    defaults.extend((oneof.local_name, None) for oneof in oneof_list)
    _assign_resolved(
        desc,
        (fields, oneof_list, by_name, by_proto_name, by_number, oneofs_by_local_name,
         oneofs_by_name, defaults),
    )  # fmt: skip


def scalar_default_python(scalar: ScalarType, proto: FieldProto, full_name: str) -> Any:
    """What `_builder._scalar_default` gives, parsed in Python."""
    text = proto.default_value
    if not text:
        return _ZERO.get(scalar, 0)
    try:
        return parse_default_python(scalar, text)
    except (ValueError, OverflowError):
        raise ValueError(f"field {full_name}: invalid default value {text!r}") from None


def parse_default_python(scalar: ScalarType, text: str) -> Any:
    if scalar is ScalarType.STRING:
        return text
    if scalar is ScalarType.BYTES:
        return unescape_bytes_python(text)
    if scalar is ScalarType.BOOL:
        if text not in ("true", "false"):
            raise ValueError(text)
        return text == "true"
    if scalar in (ScalarType.DOUBLE, ScalarType.FLOAT):
        number = float(text)
        if scalar is ScalarType.FLOAT and math.isfinite(number):
            number = struct.unpack("<f", struct.pack("<f", number))[0]
        return number
    return int(text, 0)


_SIMPLE_ESCAPES = {
    "n": 10, "r": 13, "t": 9, "a": 7, "b": 8, "f": 12, "v": 11, "\\": 92, "'": 39, '"': 34, "?": 63,
}  # fmt: skip


def unescape_bytes_python(text: str) -> bytes:
    """The C-style escaping protoc uses for bytes defaults, decoded character by character."""
    out = bytearray()
    i = 0
    while i < len(text):
        ch = text[i]
        i += 1
        if ch != "\\":
            out += ch.encode("utf-8")
            continue
        if i >= len(text):
            raise ValueError("trailing backslash")
        ch = text[i]
        i += 1
        if ch in _SIMPLE_ESCAPES:
            out.append(_SIMPLE_ESCAPES[ch])
        elif ch in "01234567":
            end = i
            while end < len(text) and end < i + 2 and text[end] in "01234567":
                end += 1
            out.append(int(text[i - 1 : end], 8) & 0xFF)
            i = end
        elif ch in "xX":
            end = i
            while end < len(text) and end < i + 2 and text[end] in "0123456789abcdefABCDEF":
                end += 1
            if end == i:
                raise ValueError("empty hex escape")
            out.append(int(text[i:end], 16))
            i = end
        else:
            raise ValueError(f"unknown escape \\{ch}")
    return bytes(out)
