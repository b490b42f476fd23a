"""Base classes of generated enums."""

from __future__ import annotations

import enum
import keyword
from collections.abc import Callable
from typing import Any


def _repr(self: enum.IntEnum) -> str:
    """`Outer.Color.RED`, the way the name is written in Python."""
    if self._name_ is None:
        return f"{type(self).__qualname__}({int(self)})"
    return f"{type(self).__qualname__}.{self._name_}"


# Both bases derive from IntEnum directly, with no shared base of their own: every class
# between a made enum class and `object` costs a dictionary probe for each special method
# that creating the class looks up along its MRO.


class OpenEnum(enum.IntEnum):
    """An enum that also holds numbers it does not name, as proto3 enums do."""

    __repr__ = _repr

    @classmethod
    def _missing_(cls, value: object) -> Any:
        if not isinstance(value, int) or isinstance(value, bool):
            return None
        # A pseudo-member for the unnamed number. It is not cached: numbers come from
        # untrusted input, and caching them would grow the class without bound.
        member = int.__new__(cls, value)
        member._name_ = None  # type: ignore[assignment]
        member._value_ = value
        return member


class ClosedEnum(enum.IntEnum):
    """An enum that accepts only its named numbers."""

    __repr__ = _repr


RESERVED_ENUM_NAMES = frozenset(
    set(dir(OpenEnum)) | set(dir(ClosedEnum)) | {"name", "value"} | set(keyword.kwlist)
)


def is_reserved_enum_name(name: str) -> bool:
    # The enum machinery keeps _sunder_ and __dunder__ names for itself, by exactly these
    # shapes: a trailing underscore always frees such a name (`_X_` becomes `_X__`).
    n = len(name)
    sunder = n > 2 and name[0] == name[-1] == "_" and name[1] != "_" and name[-2] != "_"
    dunder = n > 4 and name[:2] == name[-2:] == "__" and name[2] != "_" and name[-3] != "_"
    return sunder or dunder or name in RESERVED_ENUM_NAMES


def new_enum_class(
    base: type[OpenEnum] | type[ClosedEnum],
    name: str,
    members: list[tuple[str, int]],
    module: str,
    qualname: str,
) -> type:
    """An enum class like `base(name, members, ...)`, made without the metaclass' per-member work.

    The functional API runs several Python calls and a class mutation for each member, which
    made enum classes the bulk of loading a schema. Here the class comes from a namespace
    copied from a one-member sample made the ordinary way (so it carries whatever the running
    interpreter's `enum` puts there), and its members are filled in directly. The result is a
    real IntEnum subclass. Names the metaclass would handle specially (ones that shadow an
    inherited attribute) take the ordinary path.
    """
    names = [local for local, _ in members]
    if not _inherited_names(base).isdisjoint(names):
        # The functional API, which checkers do not model with module= and qualname=.
        functional: Callable[..., Any] = base
        made: type = functional(name, members, module=module, qualname=qualname)
        return made
    namespace, containers = _sample_namespace(base)
    namespace = namespace.copy()
    for key, container in containers:
        namespace[key] = container()
    namespace["__module__"] = module
    namespace["__qualname__"] = qualname
    cls: Any = type.__new__(type(base), name, (base,), namespace)
    order: list[str] = cls._member_names_
    by_name: dict[str, Any] = cls._member_map_
    by_value: dict[int, Any] = cls._value2member_map_
    new_member = int.__new__
    set_attribute = type.__setattr__
    for local, number in members:
        member = by_value.get(number)
        if member is None:  # a later name with a known number is an alias
            member = new_member(cls, number)
            # A new member's __dict__ is empty: replacing it is cheaper than updating it.
            member.__dict__ = {
                "_value_": number,
                "_name_": local,
                "__objclass__": cls,
                "_sort_order_": len(order),
            }
            order.append(local)
            by_value[number] = member
        by_name[local] = member
        set_attribute(cls, local, member)
    return cls  # type: ignore[no-any-return]


# Per base: the namespace of a sample class, and the (key, type) of the containers in it
# that each class needs a fresh one of.
_SAMPLES: dict[type, tuple[dict[str, Any], list[tuple[str, type]]]] = {}
_INHERITED: dict[type, frozenset[str]] = {}
_SAMPLE_MEMBER = "SAMPLE"


def _sample_namespace(base: type) -> tuple[dict[str, Any], list[tuple[str, type]]]:
    sample = _SAMPLES.get(base)
    if sample is None:
        functional: Callable[..., Any] = base
        made = functional("Sample", [(_SAMPLE_MEMBER, 0)], module=__name__)
        skip = {_SAMPLE_MEMBER, "__module__", "__qualname__", "__dict__", "__weakref__"}
        namespace = {k: v for k, v in made.__dict__.items() if k not in skip}
        containers = [(k, type(v)) for k, v in namespace.items() if type(v) in (list, dict)]
        sample = _SAMPLES[base] = (namespace, containers)
    return sample


def _inherited_names(base: type) -> frozenset[str]:
    names = _INHERITED.get(base)
    if names is None:
        names = _INHERITED[base] = frozenset(n for k in base.__mro__ for n in vars(k))
    return names
