"""Classes of the well-known types in google/protobuf/*.proto shipped with velum.

Every registry shares these classes, which carry conversions to and from their Python
counterparts: `Timestamp.from_datetime`, `Duration.to_timedelta`, `Value.from_python`,
`Any.pack`, `FieldMask.from_paths` and so on (see velum._wkt_methods).
"""

from __future__ import annotations

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
