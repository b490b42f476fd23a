"""Conveniences of the well-known types: conversions to and from their Python
counterparts (datetime, timedelta, plain JSON-like values, messages, path lists).

`attach` puts them on the shared well-known classes as soon as those are created, so
every registry's `google.protobuf.Timestamp` has them.
"""

from __future__ import annotations

import time
from collections.abc import Iterable, Mapping, Sequence
from datetime import UTC, datetime, timedelta, tzinfo
from typing import TYPE_CHECKING, Any, Protocol

from _velum_ext import Oneof

if TYPE_CHECKING:
    from velum._descriptors import DescFile

# Ranges of the JSON forms; a value outside them cannot be written as JSON either.
_FIRST_TIMESTAMP_SECOND = -62135596800  # 0001-01-01T00:00:00Z
_LAST_TIMESTAMP_SECOND = 253402300799  # 9999-12-31T23:59:59Z
_DURATION_SECOND_BOUND = 315576000000
_NANOS_PER_SECOND = 1_000_000_000
_NANOS_BOUND = _NANOS_PER_SECOND - 1
_EPOCH = datetime(1970, 1, 1, tzinfo=UTC)
_NAIVE_EPOCH = datetime(1970, 1, 1)

DEFAULT_TYPE_URL_PREFIX = "type.googleapis.com/"


class _TypeRegistry(Protocol):
    def message(self, type_name: str) -> Any: ...


def _type_name(obj: object) -> str:
    return type(obj).__name__


def _require_int(value: object, what: str) -> int:
    # bool is an int subclass, but True seconds is surely a mistake.
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"expected int for {what}, got {_type_name(value)}")
    return value


# Timestamp


def _checked_timestamp(ts: Any) -> tuple[int, int]:
    seconds = _require_int(ts.seconds, "seconds")
    nanos = _require_int(ts.nanos, "nanos")
    if not _FIRST_TIMESTAMP_SECOND <= seconds <= _LAST_TIMESTAMP_SECOND:
        raise ValueError("timestamp seconds out of range")
    if not 0 <= nanos <= _NANOS_BOUND:
        raise ValueError("timestamp nanos out of range")
    return seconds, nanos


def timestamp_from_datetime(cls: type, dt: datetime) -> Any:
    """A Timestamp of the instant `dt`; a naive datetime is taken as UTC."""
    if not isinstance(dt, datetime):
        raise TypeError(f"'{_type_name(dt)}' object is not an instance of 'datetime'")
    delta = dt - (_NAIVE_EPOCH if dt.utcoffset() is None else _EPOCH)
    seconds = delta.days * 86400 + delta.seconds
    return cls(seconds=seconds, nanos=delta.microseconds * 1000)


def timestamp_to_datetime(self: Any, tz: tzinfo = UTC) -> datetime:
    """The instant as an aware datetime in `tz`; nanoseconds are truncated to
    microseconds. Fails with ValueError outside 0001-01-01 … 9999-12-31 (UTC)."""
    seconds, nanos = _checked_timestamp(self)
    return (_EPOCH + timedelta(seconds=seconds, microseconds=nanos // 1000)).astimezone(tz)


def timestamp_now(cls: type) -> Any:
    """A Timestamp of the current time, to the nanosecond the clock gives."""
    seconds, nanos = divmod(time.time_ns(), _NANOS_PER_SECOND)
    return cls(seconds=seconds, nanos=nanos)


# Duration


def duration_from_timedelta(cls: type, td: timedelta) -> Any:
    """A Duration of `td`; seconds and nanos get the sign of `td`."""
    if not isinstance(td, timedelta):
        raise TypeError(f"'{_type_name(td)}' object is not an instance of 'timedelta'")
    micros = (td.days * 86400 + td.seconds) * 1_000_000 + td.microseconds
    seconds, rest = divmod(abs(micros), 1_000_000)
    sign = -1 if micros < 0 else 1
    return cls(seconds=sign * seconds, nanos=sign * rest * 1000)


def duration_to_timedelta(self: Any) -> timedelta:
    """The duration as a timedelta; nanoseconds are truncated toward zero to
    microseconds. Fails with ValueError for a Duration the JSON form refuses."""
    seconds = _require_int(self.seconds, "seconds")
    nanos = _require_int(self.nanos, "nanos")
    if not -_DURATION_SECOND_BOUND <= seconds <= _DURATION_SECOND_BOUND:
        raise ValueError("duration seconds out of range")
    if not -_NANOS_BOUND <= nanos <= _NANOS_BOUND:
        raise ValueError("duration nanos out of range")
    if (seconds > 0 and nanos < 0) or (seconds < 0 and nanos > 0):
        raise ValueError("duration seconds and nanos have different signs")
    micros = abs(nanos) // 1000
    return timedelta(seconds=seconds, microseconds=-micros if nanos < 0 else micros)


# Struct, Value, ListValue


class _Dynamic:
    """The classes of the dynamic-JSON types, filled in by `attach`."""

    value: Any
    struct: Any
    list_value: Any
    null: Any


DYNAMIC = _Dynamic()


def value_from_python(cls: type, obj: object) -> Any:
    """A Value holding `obj`: None, bool, int or float (stored as float), str,
    a mapping with str keys, a list or tuple, or a Value, Struct or ListValue
    (copied). Anything else is TypeError."""
    return cls(kind=_kind_of(obj))


def _kind_of(obj: object) -> Oneof:
    if obj is None:
        return Oneof("null_value", DYNAMIC.null)
    if isinstance(obj, bool):
        return Oneof("bool_value", obj)
    if isinstance(obj, int | float):
        return Oneof("number_value", float(obj))
    if isinstance(obj, str):
        return Oneof("string_value", obj)
    if isinstance(obj, DYNAMIC.value):
        if obj.kind is None:
            raise ValueError("value must have exactly one field set")
        return _kind_of(value_to_python(obj))
    if isinstance(obj, (DYNAMIC.struct, Mapping)):
        return Oneof("struct_value", struct_from_python(DYNAMIC.struct, obj))
    if isinstance(obj, (DYNAMIC.list_value, list, tuple)):
        return Oneof("list_value", list_value_from_python(DYNAMIC.list_value, obj))
    raise TypeError(f"'{_type_name(obj)}' object cannot be held by google.protobuf.Value")


def value_to_python(self: Any) -> Any:
    """The held value as None, bool, float, str, dict or list, recursively."""
    kind = self.kind
    field = kind.field if isinstance(kind, Oneof) else None
    if field == "null_value":
        return None
    if field in ("number_value", "string_value", "bool_value"):
        return kind.value
    if field == "struct_value":
        return struct_to_python(kind.value)
    if field == "list_value":
        return list_value_to_python(kind.value)
    raise ValueError("value must have exactly one field set")


def struct_from_python(cls: type, obj: Mapping[str, Any] | Any) -> Any:
    """A Struct of a mapping with str keys (or a copy of a Struct)."""
    if isinstance(obj, DYNAMIC.struct):
        obj = struct_to_python(obj)
    if not isinstance(obj, Mapping):
        raise TypeError(f"'{_type_name(obj)}' object is not an instance of 'Mapping'")
    fields = {}
    for key, item in obj.items():
        if not isinstance(key, str):
            raise TypeError(f"'{_type_name(key)}' object is not an instance of 'str'")
        fields[key] = value_from_python(DYNAMIC.value, item)
    return cls(fields=fields)


def struct_to_python(self: Any) -> dict[str, Any]:
    """The entries as a dict of plain values, recursively."""
    return {key: value_to_python(item) for key, item in self.fields.items()}


def list_value_from_python(cls: type, obj: Sequence[Any] | Any) -> Any:
    """A ListValue of a list or tuple (or a copy of a ListValue)."""
    if isinstance(obj, DYNAMIC.list_value):
        obj = list_value_to_python(obj)
    if not isinstance(obj, list | tuple):
        raise TypeError(f"'{_type_name(obj)}' object is not an instance of 'list'")
    return cls(values=[value_from_python(DYNAMIC.value, item) for item in obj])


def list_value_to_python(self: Any) -> list[Any]:
    """The elements as a list of plain values, recursively."""
    return [value_to_python(item) for item in self.values]


# Any


def type_name_of_url(url: str) -> str:
    """The full type name in a type URL: the text after its last "/"."""
    return url.rpartition("/")[2]


def _message_type_name(msg: object) -> str:
    desc = getattr(type(msg), "_desc", None)
    to_binary = getattr(msg, "to_binary", None)
    if desc is None or to_binary is None:
        raise TypeError(f"'{_type_name(msg)}' object is not an instance of 'Message'")
    name: str = desc.type_name
    return name


def any_pack_into(self: Any, msg: Any, type_url_prefix: str = DEFAULT_TYPE_URL_PREFIX) -> None:
    name = _message_type_name(msg)
    # The value is encoded first so that a failure leaves the Any unchanged.
    value = msg.to_binary()
    separator = "" if type_url_prefix.endswith("/") else "/"
    self.type_url = f"{type_url_prefix}{separator}{name}"
    self.value = value


class PackMethod:
    """`Any.pack(msg)` makes a new Any; `some_any.pack(msg)` fills that one in
    place and returns it, so neither spelling is silently a no-op."""

    def __get__(self, instance: Any, owner: type) -> Any:
        def pack(msg: Any, type_url_prefix: str = DEFAULT_TYPE_URL_PREFIX) -> Any:
            target = owner() if instance is None else instance
            any_pack_into(target, msg, type_url_prefix)
            return target

        pack.__doc__ = (
            "Pack `msg` with the type URL `type_url_prefix` + its full name. On the class "
            "it returns a new Any; on an instance it fills that Any and returns it."
        )
        return pack


def any_type_name(self: Any) -> str:
    """The full name of the packed type ("" for an empty Any)."""
    url = self.type_url
    if not isinstance(url, str):
        raise TypeError(f"'{_type_name(url)}' object is not an instance of 'str'")
    return type_name_of_url(url)


def any_is(self: Any, cls: type) -> bool:
    """Whether the Any holds a message of class `cls` (by full name)."""
    desc = getattr(cls, "_desc", None)
    if desc is None:
        raise TypeError(f"'{_type_name(cls)}' object is not a message class")
    return bool(any_type_name(self) == desc.type_name)


def any_unpack(self: Any, registry_or_class: type | _TypeRegistry) -> Any:
    """The packed message, decoded. Given a message class, the Any must hold that
    type (else ValueError); given a registry, the class is looked up through its
    `message(type_name)`, whose result's `type` is the class."""
    name = any_type_name(self)
    cls: Any  # a message class, checked below
    if isinstance(registry_or_class, type):
        cls = registry_or_class
        if not any_is(self, cls):
            raise ValueError(f'any "{self.type_url}" does not hold a {cls._desc.type_name}')
    else:
        found = registry_or_class.message(name) if name else None
        if found is None:
            raise ValueError(f'any: "{self.type_url}" is not in the type registry')
        cls = getattr(found, "type", None)
        if not isinstance(cls, type) or getattr(cls, "_desc", None) is None:
            raise TypeError(f"'{_type_name(cls)}' object is not an instance of 'type'")
    return cls.from_binary(self.value)


# FieldMask


def field_mask_from_paths(cls: type, paths: Iterable[str]) -> Any:
    """A FieldMask of the given snake_case paths, in order."""
    if isinstance(paths, str):
        raise TypeError("paths must be an iterable of str, not a str")
    collected = list(paths)
    for path in collected:
        if not isinstance(path, str):
            raise TypeError(f"'{_type_name(path)}' object is not an instance of 'str'")
    return cls(paths=collected)


def field_mask_to_paths(self: Any) -> list[str]:
    """A new list of the paths."""
    return list(self.paths)


def attach(files: Iterable[DescFile]) -> None:
    """Equip the classes of the well-known files with the conversions above."""
    classes = {m.type_name: m.type for f in files for m in f.messages}
    nulls = [e.type for f in files for e in f.enums if e.type_name == "google.protobuf.NullValue"]

    def cls(name: str) -> Any:
        return classes["google.protobuf." + name]

    ts, dur, value, struct, lst = (
        cls(n) for n in ("Timestamp", "Duration", "Value", "Struct", "ListValue")
    )
    ts.from_datetime = classmethod(timestamp_from_datetime)
    ts.to_datetime = timestamp_to_datetime
    ts.now = classmethod(timestamp_now)
    dur.from_timedelta = classmethod(duration_from_timedelta)
    dur.to_timedelta = duration_to_timedelta
    for target, from_python, to_python in (
        (value, value_from_python, value_to_python),
        (struct, struct_from_python, struct_to_python),
        (lst, list_value_from_python, list_value_to_python),
    ):
        target.from_python = classmethod(from_python)
        target.to_python = to_python
    DYNAMIC.value, DYNAMIC.struct, DYNAMIC.list_value = value, struct, lst
    DYNAMIC.null = nulls[0].NULL_VALUE
    any_cls = cls("Any")
    any_cls.pack = PackMethod()
    any_cls.unpack = any_unpack
    any_cls.is_ = any_is
    any_cls.type_name = property(any_type_name)
    mask = cls("FieldMask")
    mask.from_paths = classmethod(field_mask_from_paths)
    mask.to_paths = field_mask_to_paths
