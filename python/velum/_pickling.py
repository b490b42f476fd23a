"""Pickling of messages: a class reference or full type name, plus the binary form.

The binary form keeps unknown fields and extensions byte for byte. A class that can
be imported (one from a generated module) is pickled by reference; a class built by a
registry at run time is pickled by its full name and found again in the default
registry, or in the registry registered under the name it was pickled with.
"""

from __future__ import annotations

import pickle
import sys
from typing import Any

from velum._registries import default_registry, named_registry, registry_name_of


def reduce_message(message: Any) -> tuple[Any, ...]:
    cls = type(message)
    data = message.to_binary()
    if _importable(cls):
        return (restore, (cls, data))
    return (restore_by_name, (registry_name_of(cls), cls._desc.type_name, data))


def restore(cls: Any, data: bytes) -> Any:
    return cls.from_binary(data)


def restore_by_name(registry_name: str | None, type_name: str, data: bytes) -> Any:
    if registry_name is None:
        registry = default_registry()
        where = "velum.default_registry()"
    else:
        found = named_registry(registry_name)
        if found is None:
            raise pickle.UnpicklingError(
                f"cannot unpickle {type_name}: no registry is registered as {registry_name!r} "
                "(see velum.register_registry)"
            )
        registry = found
        where = f"the registry {registry_name!r}"
    desc = registry.message(type_name)
    if desc is None:
        raise pickle.UnpicklingError(
            f"cannot unpickle {type_name}: the type is not loaded in {where}"
        )
    return desc.type.from_binary(data)


def _importable(cls: type) -> bool:
    """Whether pickle's lookup of `cls` by module and qualified name finds `cls`."""
    found: object = sys.modules.get(cls.__module__)
    for part in cls.__qualname__.split("."):
        found = getattr(found, part, None)
    return found is cls
