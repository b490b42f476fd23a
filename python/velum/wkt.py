"""Classes of the well-known types in google/protobuf/*.proto shipped with velum."""

from __future__ import annotations

from velum import _wkt_methods as _m
from velum._registry import Registry

_registry = Registry()


def _message(name: str) -> type:
    return _registry.message_class("google.protobuf." + name)


Any = _message("Any")
Timestamp = _message("Timestamp")
Duration = _message("Duration")
FieldMask = _message("FieldMask")
Struct = _message("Struct")
Value = _message("Value")
ListValue = _message("ListValue")
NullValue = _registry.enum_class("google.protobuf.NullValue")
DoubleValue = _message("DoubleValue")
FloatValue = _message("FloatValue")
Int64Value = _message("Int64Value")
UInt64Value = _message("UInt64Value")
Int32Value = _message("Int32Value")
UInt32Value = _message("UInt32Value")
BoolValue = _message("BoolValue")
StringValue = _message("StringValue")
BytesValue = _message("BytesValue")
Empty = _message("Empty")

# Conversions to and from the Python counterparts; the classes are shared by all
# registries, so attaching here equips every registry's well-known types.
Timestamp.from_datetime = classmethod(_m.timestamp_from_datetime)  # type: ignore[attr-defined]
Timestamp.to_datetime = _m.timestamp_to_datetime  # type: ignore[attr-defined]
Timestamp.now = classmethod(_m.timestamp_now)  # type: ignore[attr-defined]
Duration.from_timedelta = classmethod(_m.duration_from_timedelta)  # type: ignore[attr-defined]
Duration.to_timedelta = _m.duration_to_timedelta  # type: ignore[attr-defined]
for _cls, _from, _to in (
    (Value, _m.value_from_python, _m.value_to_python),
    (Struct, _m.struct_from_python, _m.struct_to_python),
    (ListValue, _m.list_value_from_python, _m.list_value_to_python),
):
    _cls.from_python = classmethod(_from)  # type: ignore[attr-defined]
    _cls.to_python = _to  # type: ignore[attr-defined]
_m.DYNAMIC.value, _m.DYNAMIC.struct, _m.DYNAMIC.list_value = Value, Struct, ListValue
_m.DYNAMIC.null = NullValue.NULL_VALUE  # type: ignore[attr-defined]
Any.pack = _m.PackMethod()  # type: ignore[attr-defined]
Any.unpack = _m.any_unpack  # type: ignore[attr-defined]
Any.is_ = _m.any_is  # type: ignore[attr-defined]
Any.type_name = property(_m.any_type_name)  # type: ignore[attr-defined]
FieldMask.from_paths = classmethod(_m.field_mask_from_paths)  # type: ignore[attr-defined]
FieldMask.to_paths = _m.field_mask_to_paths  # type: ignore[attr-defined]

__all__ = [
    "Any",
    "BoolValue",
    "BytesValue",
    "DoubleValue",
    "Duration",
    "Empty",
    "FieldMask",
    "FloatValue",
    "Int32Value",
    "Int64Value",
    "ListValue",
    "NullValue",
    "StringValue",
    "Struct",
    "Timestamp",
    "UInt32Value",
    "UInt64Value",
    "Value",
]
