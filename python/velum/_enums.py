"""Base classes of generated enums."""

from __future__ import annotations

import enum
import keyword
from typing import Any


class _ProtoEnum(enum.IntEnum):
    """Reprs in the form `Outer.Color.RED`, the way the name is written in Python."""

    def __repr__(self) -> str:
        if self._name_ is None:
            return f"{type(self).__qualname__}({int(self)})"
        return f"{type(self).__qualname__}.{self._name_}"


class OpenEnum(_ProtoEnum):
    """An enum that also holds numbers it does not name, as proto3 enums do."""

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


class ClosedEnum(_ProtoEnum):
    """An enum that accepts only its named numbers."""


RESERVED_ENUM_NAMES = frozenset(
    set(dir(OpenEnum)) | set(dir(ClosedEnum)) | {"name", "value"} | set(keyword.kwlist)
)


def is_reserved_enum_name(name: str) -> bool:
    # The enum machinery keeps _sunder_ and __dunder__ names for itself.
    return name in RESERVED_ENUM_NAMES or (len(name) > 1 and name[0] == name[-1] == "_")
