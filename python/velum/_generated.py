"""Support for the modules that protoc-gen-velum writes.

A generated module embeds its serialized FileDescriptorProto and calls `load_file`,
which adds it to the default registry and gives the classes the module's name, so
that pickle finds them by import. Its classes, enums and extensions are looked up
when first read from the module (`module_getattr`), so importing a module of hundreds
of types makes none of them.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from importlib import resources
from typing import Any

from velum._classes import GENERATED_MODULES
from velum._descriptors import DescEnum, DescFile, DescMessage, peek_type
from velum._registries import default_registry
from velum._registry import WKT_FILE_NAMES
from velum._wire import LEN, iter_fields

# Files whose descriptors ship with the package, so generated modules need no module
# of their own to import them.
PLUGIN_FILE_NAMES = (
    "google/protobuf/descriptor.proto",
    "google/protobuf/compiler/plugin.proto",
)
SHIPPED_FILE_NAMES = frozenset(WKT_FILE_NAMES + PLUGIN_FILE_NAMES)
_PLUGIN_FILE_NAMES_UTF8 = tuple(name.encode() for name in PLUGIN_FILE_NAMES)
_PLUGIN_RESOURCE = "plugin_descriptors.binpb"


@functools.cache
def plugin_file_set() -> bytes:
    """The serialized FileDescriptorSet of descriptor.proto and compiler/plugin.proto."""
    return resources.files("velum").joinpath(_PLUGIN_RESOURCE).read_bytes()


def module_name_for(proto_name: str) -> str:
    """The Python module generated for a .proto path: `a/b-c.proto` -> `a.b_c_velum`."""
    return proto_name.removesuffix(".proto").replace("-", "_").replace("/", ".") + "_velum"


def load_file(module_name: str, serialized: bytes) -> DescFile:
    """Add a generated module's file to the default registry; returns its descriptor.

    The modules of its dependencies are imported before this runs; shipped files are
    loaded here when first needed.
    """
    registry = default_registry()
    # Only a file that mentions one of them can depend on one: the byte search spares
    # walking every record of a large file in Python.
    if any(name in serialized for name in _PLUGIN_FILE_NAMES_UTF8):
        for number, wire_type, value in iter_fields(serialized):
            if number == 3 and wire_type == LEN and isinstance(value, bytes):
                name = value.decode("utf-8")
                if name in PLUGIN_FILE_NAMES and registry.file(name) is None:
                    registry.add_file_set(plugin_file_set())
    file = registry.add_file(serialized)
    GENERATED_MODULES[file] = module_name
    # Classes made before the module was imported (say, from the same file loaded
    # through a descriptor set) take its name now; the rest are made with it.
    pending: list[DescMessage | DescEnum] = [*file.messages, *file.enums]
    while pending:
        desc = pending.pop()
        cls = peek_type(desc)
        if cls is not None and cls.__module__ != module_name:
            cls.__module__ = module_name
        if isinstance(desc, DescMessage):
            pending += desc.nested_messages
            pending += desc.nested_enums
    return file


def module_getattr(
    namespace: dict[str, Any],
    messages: dict[str, str],
    enums: dict[str, str],
    extensions: dict[str, str],
) -> tuple[Callable[[str], Any], Callable[[], list[str]]]:
    """The `__getattr__` and `__dir__` of a generated module whose globals are `namespace`.

    The dicts map each module-level name to the full name of a message, enum or
    extension. A name is looked up in the default registry when first read, which
    makes its class then, and is bound in the module so that later reads are plain.
    """
    registry = default_registry()
    lookups: dict[str, tuple[Callable[[str], Any], str]] = {}
    for kinds, lookup in (
        (messages, registry.message_class),
        (enums, registry.enum_class),
        (extensions, registry.extension),
    ):
        lookups.update((name, (lookup, full_name)) for name, full_name in kinds.items())
    module = namespace["__name__"]

    def __getattr__(name: str) -> Any:
        found = lookups.get(name)
        if found is None:
            raise AttributeError(f"module {module!r} has no attribute {name!r}")
        lookup, full_name = found
        value = lookup(full_name)
        namespace[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(namespace.keys() | lookups.keys())

    return __getattr__, __dir__
