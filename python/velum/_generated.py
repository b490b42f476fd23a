"""Support for the modules that protoc-gen-velum writes.

A generated module embeds its serialized FileDescriptorProto and calls `load_file`,
which adds it to the default registry and gives the classes the module's name, so
that pickle finds them by import.
"""

from __future__ import annotations

import functools
from importlib import resources

from velum._descriptors import DescFile, DescMessage
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
    for number, wire_type, value in iter_fields(serialized):
        if number == 3 and wire_type == LEN and isinstance(value, bytes):
            name = value.decode("utf-8")
            if name in PLUGIN_FILE_NAMES and registry.file(name) is None:
                registry.add_file_set(plugin_file_set())
    file = registry.add_file(serialized)
    pending: list[DescMessage] = list(file.messages)
    enums = list(file.enums)
    while pending:
        desc = pending.pop()
        if desc.type is not None:
            desc.type.__module__ = module_name
        pending.extend(desc.nested_messages)
        enums.extend(desc.nested_enums)
    for enum_desc in enums:
        enum_desc.type.__module__ = module_name
    return file
