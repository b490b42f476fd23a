"""Creation of the generated message and enum classes."""

from __future__ import annotations

from _velum_ext import NativeMessage, initialize_message_type

from velum._descriptors import (
    DescEnum,
    DescExtension,
    DescFile,
    DescMessage,
    set_extension_holder_factory,
)
from velum._enums import ClosedEnum, OpenEnum
from velum._message import Message
from velum._naming import NATIVE_MESSAGE_NAMES

# Field names that would shadow an attribute of every message class.
RESERVED_MESSAGE_NAMES = frozenset(
    set(dir(Message)) | set(dir(NativeMessage)) | NATIVE_MESSAGE_NAMES
)


def module_name(file: DescFile) -> str:
    """The `__module__` of a file's classes: its proto package, else its path."""
    if file.package:
        return file.package
    return file.name.removesuffix(".proto").replace("/", ".")


def _qualname(type_name: str, file: DescFile) -> str:
    return type_name.removeprefix(file.package + ".") if file.package else type_name


def make_enum_class(desc: DescEnum) -> type:
    base = OpenEnum if desc.open else ClosedEnum
    cls: type = base(  # type: ignore[call-overload]
        desc.name,
        [(v.local_name, v.number) for v in desc.values],
        module=module_name(desc.file),
        qualname=_qualname(desc.type_name, desc.file),
    )
    cls._desc = desc  # type: ignore[attr-defined]
    return cls


def _slots(desc: DescMessage) -> tuple[str, ...]:
    return tuple(f.local_name for f in desc.fields if f.oneof is None) + tuple(
        o.local_name for o in desc.oneofs
    )


def _match_args(desc: DescMessage) -> tuple[str, ...]:
    """Attribute names in field order; a oneof stands where its first member is."""
    names = (f.local_name if f.oneof is None else f.oneof.local_name for f in desc.fields)
    return tuple(dict.fromkeys(names))


def _make_class(desc: DescMessage, created: list[type]) -> type | None:
    if desc.is_map_entry:
        return None
    namespace: dict[str, object] = {
        "__slots__": _slots(desc),
        "__match_args__": _match_args(desc),
        "__module__": module_name(desc.file),
        "__qualname__": _qualname(desc.type_name, desc.file),
        "_desc": desc,
    }
    nested: list[tuple[str, type | None]] = [
        (child.name, _make_class(child, created)) for child in desc.nested_messages
    ]
    nested += [(e.name, e.type) for e in desc.nested_enums]
    for name, cls in nested:
        # A nested type never replaces an attribute every message has.
        if cls is not None and name not in RESERVED_MESSAGE_NAMES:
            namespace[name] = cls
    message_class = type(desc.name, (NativeMessage, Message), namespace)
    desc.type = message_class
    created.append(message_class)
    return message_class


def make_message_classes(descs: list[DescMessage]) -> None:
    """Create the classes of `descs` (top-level and nested), then initialise them.

    All classes exist before the first is initialised, so that recursive and mutually
    referencing types work.
    """
    created: list[type] = []
    for desc in descs:
        if desc.parent is None:
            _make_class(desc, created)
    for cls in created:
        initialize_message_type(cls)


def build_extension_holder(extension: DescExtension) -> type:
    """A one-field message class that encodes and decodes an extension's value."""
    field = extension.field
    desc = DescMessage(
        # Named after the extendee so that codec errors read as for its own fields.
        extension.extendee.type_name,
        extension.extendee.name,
        extension.file,
        None,
        fields=[field],
        _fields_by_name={field.local_name: field},
        _fields_by_proto_name={field.name: field},
        _fields_by_number={field.number: field},
        _defaults=[(field.local_name, field.default)],
    )
    holder = type(
        "ExtensionHolder",
        (NativeMessage, Message),
        {
            "__slots__": (field.local_name,),
            "__module__": "velum",
            "__qualname__": f"ExtensionHolder[{extension.name}]",
            "_desc": desc,
        },
    )
    desc.type = holder
    initialize_message_type(holder)
    return holder


set_extension_holder_factory(build_extension_holder)
