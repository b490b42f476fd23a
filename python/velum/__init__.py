"""velum: Protocol Buffers messages for Python, with a native core.

Load schemas into a `Registry` and use the classes it generates::

    registry = velum.Registry()
    registry.add_file_set(open("schema.binpb", "rb").read())
    Person = registry.message_class("example.Person")
    data = Person(name="Ada").to_binary()
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from velum._oneof import Oneof
else:
    from _velum_ext import Oneof

from velum._descriptors import (
    DescEnum,
    DescEnumValue,
    DescExtension,
    DescField,
    DescFile,
    DescMessage,
    DescOneof,
    ScalarType,
)
from velum._enums import ClosedEnum, OpenEnum
from velum._message import Message
from velum._registries import default_registry, register_registry
from velum._registry import Registry

__all__ = [
    "ClosedEnum",
    "DescEnum",
    "DescEnumValue",
    "DescExtension",
    "DescField",
    "DescFile",
    "DescMessage",
    "DescOneof",
    "Message",
    "Oneof",
    "OpenEnum",
    "Registry",
    "ScalarType",
    "default_registry",
    "register_registry",
]
