"""Type stubs of velum.wkt, written by velum._stubs.wkt_stub; do not edit."""

import builtins as _builtins
import typing as _typing

import velum as _velum

class Any(_velum.Message):
    __match_args__ = ("type_url", "value")
    type_url: _builtins.str
    value: _builtins.bytes
    def __init__(
        self,
        /,
        *,
        type_url: _builtins.str | None = ...,
        value: _builtins.bytes | None = ...,
    ) -> None: ...

class Duration(_velum.Message):
    __match_args__ = ("seconds", "nanos")
    seconds: _builtins.int
    nanos: _builtins.int
    def __init__(
        self,
        /,
        *,
        seconds: _builtins.int | None = ...,
        nanos: _builtins.int | None = ...,
    ) -> None: ...

class Empty(_velum.Message):
    __match_args__ = ()
    def __init__(self) -> None: ...

class FieldMask(_velum.Message):
    __match_args__ = ("paths",)
    paths: _builtins.list[_builtins.str]
    def __init__(
        self,
        /,
        *,
        paths: _builtins.list[_builtins.str] | None = ...,
    ) -> None: ...

class NullValue(_velum.OpenEnum):
    NULL_VALUE = 0

class Struct(_velum.Message):
    __match_args__ = ("fields",)
    fields: _builtins.dict[_builtins.str, Value]
    def __init__(
        self,
        /,
        *,
        fields: _builtins.dict[_builtins.str, Value] | None = ...,
    ) -> None: ...

class Value(_velum.Message):
    __match_args__ = ("kind",)
    @_builtins.property
    def kind(self) -> _velum.Oneof[_typing.Literal["null_value"], NullValue] | _velum.Oneof[_typing.Literal["number_value"], _builtins.float] | _velum.Oneof[_typing.Literal["string_value"], _builtins.str] | _velum.Oneof[_typing.Literal["bool_value"], _builtins.bool] | _velum.Oneof[_typing.Literal["struct_value"], Struct] | _velum.Oneof[_typing.Literal["list_value"], ListValue] | None: ...
    @kind.setter
    def kind(self, value: _velum.Oneof[_typing.Literal["null_value", "number_value", "string_value", "bool_value", "struct_value", "list_value"], NullValue | _builtins.float | _builtins.str | _builtins.bool | Struct | ListValue] | None) -> None: ...
    def __init__(
        self,
        /,
        *,
        kind: _velum.Oneof[_typing.Literal["null_value", "number_value", "string_value", "bool_value", "struct_value", "list_value"], NullValue | _builtins.float | _builtins.str | _builtins.bool | Struct | ListValue] | None = ...,
    ) -> None: ...

class ListValue(_velum.Message):
    __match_args__ = ("values",)
    values: _builtins.list[Value]
    def __init__(
        self,
        /,
        *,
        values: _builtins.list[Value] | None = ...,
    ) -> None: ...

class Timestamp(_velum.Message):
    __match_args__ = ("seconds", "nanos")
    seconds: _builtins.int
    nanos: _builtins.int
    def __init__(
        self,
        /,
        *,
        seconds: _builtins.int | None = ...,
        nanos: _builtins.int | None = ...,
    ) -> None: ...

class DoubleValue(_velum.Message):
    __match_args__ = ("value",)
    value: _builtins.float
    def __init__(
        self,
        /,
        *,
        value: _builtins.float | None = ...,
    ) -> None: ...

class FloatValue(_velum.Message):
    __match_args__ = ("value",)
    value: _builtins.float
    def __init__(
        self,
        /,
        *,
        value: _builtins.float | None = ...,
    ) -> None: ...

class Int64Value(_velum.Message):
    __match_args__ = ("value",)
    value: _builtins.int
    def __init__(
        self,
        /,
        *,
        value: _builtins.int | None = ...,
    ) -> None: ...

class UInt64Value(_velum.Message):
    __match_args__ = ("value",)
    value: _builtins.int
    def __init__(
        self,
        /,
        *,
        value: _builtins.int | None = ...,
    ) -> None: ...

class Int32Value(_velum.Message):
    __match_args__ = ("value",)
    value: _builtins.int
    def __init__(
        self,
        /,
        *,
        value: _builtins.int | None = ...,
    ) -> None: ...

class UInt32Value(_velum.Message):
    __match_args__ = ("value",)
    value: _builtins.int
    def __init__(
        self,
        /,
        *,
        value: _builtins.int | None = ...,
    ) -> None: ...

class BoolValue(_velum.Message):
    __match_args__ = ("value",)
    value: _builtins.bool
    def __init__(
        self,
        /,
        *,
        value: _builtins.bool | None = ...,
    ) -> None: ...

class StringValue(_velum.Message):
    __match_args__ = ("value",)
    value: _builtins.str
    def __init__(
        self,
        /,
        *,
        value: _builtins.str | None = ...,
    ) -> None: ...

class BytesValue(_velum.Message):
    __match_args__ = ("value",)
    value: _builtins.bytes
    def __init__(
        self,
        /,
        *,
        value: _builtins.bytes | None = ...,
    ) -> None: ...

