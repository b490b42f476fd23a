"""The process-wide registries: the default one and those the user names.

Generated modules load their files into the default registry. Naming a registry lets
pickled messages of its run-time classes find their class again by full name.
"""

from __future__ import annotations

import functools

from velum._registry import Registry

_named: dict[str, Registry] = {}


@functools.cache
def default_registry() -> Registry:
    """The registry that generated modules register their files in."""
    return Registry()


def register_registry(name: str, registry: Registry) -> None:
    """Make `registry` known under `name`, for unpickling messages of its classes.

    Messages of its classes pickle with that name; the unpickling process must have
    registered a registry under the same name that knows their types.
    """
    if not isinstance(registry, Registry):
        raise TypeError(f"expected a velum.Registry, got {type(registry).__name__}")
    known = _named.get(name)
    if known is not None and known is not registry:
        raise ValueError(f"a registry named {name!r} is already registered")
    _named[name] = registry


def named_registry(name: str) -> Registry | None:
    return _named.get(name)


def registry_name_of(cls: type) -> str | None:
    """The name of a registered registry that knows `cls`, else None.

    None also when the default registry knows it (classes of the well-known types
    are shared by all registries).
    """
    desc = cls._desc  # type: ignore[attr-defined]
    if default_registry().message(desc.type_name) is desc:
        return None
    for name, registry in _named.items():
        if registry.message(desc.type_name) is desc:
            return name
    return None
