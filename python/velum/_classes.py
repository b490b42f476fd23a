"""Creation of the generated message and enum classes."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any

from _velum_ext import (
    NativeMessage,
    _attribute_names,
    _message_class,
    _referenced_messages,
    _untrack_leaf,
    initialize_message_type,
)

from velum._descriptors import (
    DescEnum,
    DescExtension,
    DescFile,
    DescMessage,
    peek_message_type,
    peek_nested_enums,
    peek_nested_messages,
    peek_oneofs,
    peek_type,
    set_extension_holder_factory,
)
from velum._enums import ClosedEnum, OpenEnum, new_enum_class
from velum._message import Message
from velum._naming import NATIVE_MESSAGE_NAMES

# Serialises creating classes on first use, so that no type ever gets two classes.
_LOCK = threading.RLock()

# Field names that would shadow an attribute of every message class.
RESERVED_MESSAGE_NAMES = frozenset(
    set(dir(Message)) | set(dir(NativeMessage)) | NATIVE_MESSAGE_NAMES
)



def _no_table(_: DescMessage) -> Any:
    return None


# The native table of a loaded message's fields that its class is made from instead of
# its field descriptors, or None (set by velum._builder: see its `field_table`).
field_table: Callable[[DescMessage], Any] = _no_table

# Files whose classes a generated module holds, and that module's name.
GENERATED_MODULES: dict[DescFile, str] = {}


def module_name(file: DescFile) -> str:
    """The `__module__` of a file's classes: the generated module that holds them, else
    its proto package, else its path."""
    generated = GENERATED_MODULES.get(file)
    if generated is not None:
        return generated
    if file.package:
        return file.package
    return file.name.removesuffix(".proto").replace("/", ".")


def _qualname(type_name: str, file: DescFile) -> str:
    return type_name.removeprefix(file.package + ".") if file.package else type_name


def make_enum_class(desc: DescEnum) -> type:
    base = OpenEnum if desc.open else ClosedEnum
    cls: type = new_enum_class(
        base,
        desc.name,
        [(v.local_name, v.number) for v in desc.values],
        module_name(desc.file),
        _qualname(desc.type_name, desc.file),
    )
    cls._desc = desc  # type: ignore[attr-defined]
    return cls


class _NestedEnum(str):
    """A nested enum in its parent's class until first read, which makes the enum's class
    and puts it in its place: most nested enums of a loaded schema are never used.

    It is the enum's name and nothing else, so that it can leave the collector's lists
    (see `_nested_enum_placeholder`); the enum is found through the class that holds it.
    """

    __slots__ = ()

    def __get__(self, instance: object, owner: type | None = None) -> type:
        mro = (owner or type(instance)).__mro__
        holder = next((c for c in mro if c.__dict__.get(self) is self), None)
        if holder is None:
            raise AttributeError(str(self))
        parent: DescMessage = holder.__dict__["_desc"]
        enum_desc = next(e for e in peek_nested_enums(parent) if e.name == self)
        cls: type = enum_desc.type
        if peek_type(parent) is holder:
            setattr(holder, enum_desc.name, cls)
        return cls


def _nested_enum_placeholder(name: str) -> _NestedEnum:
    """The placeholder of the nested enum `name`, out of the collector's lists: it refers
    to nothing but its class, and every young collection would scan it otherwise."""
    placeholder = _NestedEnum(name)
    _untrack_leaf(placeholder)
    return placeholder


_BASES = (NativeMessage, Message)


def _new_class(name: str, namespace: dict[str, object]) -> type:
    """A message class whose slots keep their names as written.

    The extension makes it without type()'s work for arbitrary class bodies (and
    without the mangling of a slot named `__x`); a namespace only type() handles as
    it should goes to type(). Python mangles such a slot to `_Name__x` but not in a
    class whose name is all underscores, which is then renamed after creation.
    """
    cls: type | None = _message_class(_BASES, name, namespace)
    if cls is not None:
        return cls
    slots = namespace["__slots__"]
    assert isinstance(slots, tuple)
    if not [s for s in slots if s[:2] == "__" and not s.endswith("__")]:
        return type(name, _BASES, namespace)
    cls = type("_", _BASES, namespace)
    cls.__name__ = name
    return cls


def _make_class(desc: DescMessage, table: Any, module: str) -> type:
    """The class of `desc`, made from its field `table` (see `field_table`) or, when that is
    None, from its field descriptors; the classes of its nested messages must exist already."""
    # __slots__: the attribute of each field outside a oneof, then of each oneof;
    # __match_args__: attribute names in field order, a oneof's where its first member is.
    if table is None:
        # (`fields` first: it resolves them)
        slots, match_args = _attribute_names(desc.fields, peek_oneofs(desc))
    else:
        slots, match_args = _attribute_names(table, ())
    file = desc.file
    type_name = desc.type_name
    namespace: dict[str, object] = {
        "__slots__": slots,
        "__match_args__": match_args,
        "__module__": module,
        "__qualname__": type_name.removeprefix(file.package + ".") if file.package else type_name,
        "_desc": desc,
    }
    # A nested type never replaces an attribute every message has.
    for child in peek_nested_messages(desc):
        cls = peek_message_type(child)
        if cls is not None and child.name not in RESERVED_MESSAGE_NAMES:
            namespace[child.name] = cls
    for nested_enum in peek_nested_enums(desc):
        name = nested_enum.name
        if name not in RESERVED_MESSAGE_NAMES:
            namespace[name] = peek_type(nested_enum) or _nested_enum_placeholder(name)
    made: type | None = _message_class(_BASES, desc.name, namespace)
    return made if made is not None else _new_class(desc.name, namespace)


def _depth(desc: DescMessage) -> int:
    depth = 0
    parent = desc.parent
    while parent is not None:
        depth += 1
        parent = parent.parent
    return depth


def make_message_classes(
    descs: list[DescMessage], tables: dict[DescMessage, Any] | None = None
) -> None:
    """Create the classes of `descs` (map entries have none), then initialise them.

    All classes exist before the first is initialised, so that recursive and mutually
    referencing types work. Nested messages must be in `descs` with their parents.
    `tables` holds the field tables already asked for (see `field_table`).
    """
    with _LOCK:
        todo = [d for d in descs if not d.is_map_entry and peek_message_type(d) is None]
        if len(todo) > 1:
            # Innermost first: a class holds the classes nested in it as attributes.
            todo.sort(key=_depth, reverse=True)
        modules: dict[DescFile, str] = {}
        try:
            created = []
            for desc in todo:
                file = desc.file
                module = modules.get(file)
                if module is None:
                    module = modules[file] = module_name(file)
                table = tables[desc] if tables is not None and desc in tables else field_table(desc)
                cls = _make_class(desc, table, module)
                desc.type = cls
                created.append(cls)
            for cls in created:
                initialize_message_type(cls)
        except BaseException:
            for desc in todo:
                desc.type = None  # a later use tries again
            raise
        for desc in todo:
            desc._create = None


def create_on_first_use(desc: DescMessage) -> None:
    """The `_create` hook of a loaded message: creates its class and every class it needs.

    Those are the classes of the messages it reaches through fields, and of the messages
    nested in any of them; they are initialised together, as a loaded batch would be.
    """
    with _LOCK:
        if peek_message_type(desc) is not None:
            return  # another thread was first
        # Each needed message with its field table, which its class is then made from.
        needed: dict[DescMessage, Any] = {}
        stack = [desc]
        while stack:
            current = stack.pop()
            if current in needed or peek_message_type(current) is not None or current.is_map_entry:
                continue  # a map entry has no class; its field's value names what it needs
            table = needed[current] = field_table(current)
            stack.extend(peek_nested_messages(current))
            stack.extend(_referenced_messages(current.fields if table is None else table))
        make_message_classes(list(needed), needed)


def create_enum_on_first_use(desc: DescEnum) -> None:
    """The `_create` hook of a loaded enum."""
    with _LOCK:
        if peek_type(desc) is None:
            desc.type = make_enum_class(desc)
        desc._create = None


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
    holder = _new_class(
        "ExtensionHolder",
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
