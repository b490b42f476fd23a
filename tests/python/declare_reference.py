"""Messages and enums declared type by type in Python: the reference the native declarer
is tested against.

The runtime declares a file's types in one native call; this is what that call must give,
built the plain way from the runtime's own helpers.
"""

from __future__ import annotations

from velum import _classes
from velum._builder import _UNRESOLVED, Batch, _check_identifier
from velum._descriptor_proto import EnumProto, FileProto, MessageProto, features_of
from velum._descriptors import (
    DescEnum,
    DescFile,
    DescMessage,
    new_enum_desc,
    new_enum_value,
    new_message,
)
from velum._enums import is_reserved_enum_name
from velum._features import ENUM_TYPE_OPEN, Features
from velum._naming import assign_local_names


def declare_file_python(batch: Batch, proto: FileProto, serialized: bytes) -> DescFile:
    """What `Batch.declare_file` does, type by type in Python."""
    desc, prefix, features = batch.new_file(proto, serialized)
    for message in proto.messages:
        desc.messages.append(_declare_message(batch, message, prefix, desc, None, features, False))
    for enum_proto in proto.enums:
        desc.enums.append(_declare_enum(batch, enum_proto, prefix, desc, None, features, False))
    for ext in proto.extensions:
        batch._extension_work.append((ext, desc, None, features))
    batch.add_file(desc)
    return desc


def _claim(batch: Batch, full_name: str, file: DescFile) -> None:
    if full_name in batch.messages or full_name in batch.enums:
        raise ValueError(f"{file.name}: duplicate symbol {full_name}")
    if batch._find_message(full_name) or batch._find_enum(full_name):
        raise ValueError(f"{file.name}: symbol {full_name} is already defined")


def _declare_message(
    batch: Batch,
    proto: MessageProto,
    prefix: str,
    file: DescFile,
    parent: DescMessage | None,
    parent_features: Features,
    in_entry: bool,
) -> DescMessage:
    _check_identifier(proto.name, "message", file, prefix)
    full_name = prefix + proto.name
    _claim(batch, full_name, file)
    features = parent_features.merge(features_of(proto))
    u = _UNRESOLVED
    options = proto.options
    map_entry = options is not None and options.map_entry
    create = None if map_entry else _classes.create_on_first_use
    desc: DescMessage = new_message(
        full_name, proto.name, file, parent, u, u, [], [], [], map_entry, u, u, u, u, u, u,
        None, create, None,
    )  # fmt: skip
    batch.messages[full_name] = desc
    in_entry = in_entry or map_entry
    if in_entry:
        batch.unregistered.append(full_name)
    batch._message_work.extend((desc, proto, features))
    batch._message_protos[desc] = proto
    for nested in proto.nested_types:
        desc.nested_messages.append(
            _declare_message(batch, nested, full_name + ".", file, desc, features, in_entry)
        )
    for enum_proto in proto.enum_types:
        desc.nested_enums.append(
            _declare_enum(batch, enum_proto, full_name + ".", file, desc, features, in_entry)
        )
    for ext in proto.extensions:
        batch._extension_work.append((ext, file, desc, features))
    return desc


def _declare_enum(
    batch: Batch,
    proto: EnumProto,
    prefix: str,
    file: DescFile,
    parent: DescMessage | None,
    parent_features: Features,
    in_entry: bool,
) -> DescEnum:
    _check_identifier(proto.name, "enum", file, prefix)
    full_name = prefix + proto.name
    _claim(batch, full_name, file)
    if not proto.values:
        raise ValueError(f"{file.name}: enum {full_name} has no values")
    is_open = parent_features.merge(features_of(proto)).enum_type == ENUM_TYPE_OPEN
    names = [v.name for v in proto.values]
    for name in names:
        if not name.isidentifier():
            _check_identifier(name, "enum value", file, full_name)
    values = [
        new_enum_value(value.number, value.name, local, value.name)
        for value, local in zip(
            proto.values, assign_local_names(names, is_reserved_enum_name), strict=True
        )
    ]
    create = _classes.create_enum_on_first_use
    desc: DescEnum = new_enum_desc(
        full_name, proto.name, file, parent, is_open, values, None, create
    )
    batch.enums[full_name] = desc
    if in_entry:
        batch.unregistered.append(full_name)
    return desc
