"""The pure-Python base of generated message classes.

Generated classes derive from the native `NativeMessage` first and from `Message`
second, so everything here is what the native base leaves to Python: repr,
presence helpers by name, convenience wrappers and extension access.
"""

from __future__ import annotations

import json
import reprlib
from typing import TYPE_CHECKING, Any, ClassVar, Self

from velum._descriptors import (
    DescExtension,
    DescField,
    DescFieldValueList,
    DescFieldValueMap,
    DescMessage,
    DescOneof,
)
from velum._wire import split_records

if TYPE_CHECKING:
    from collections.abc import Callable


def _reduce_unset(message: Message) -> tuple[Any, ...]:
    raise TypeError(f"cannot pickle {type(message).__name__}: velum._pickling is not loaded")


# Set by velum._pickling, which sits above the registries: the message base stays
# below them, with no import back up.
_reduce_message: Callable[[Message], tuple[Any, ...]] = _reduce_unset


def set_message_reducer(reducer: Callable[[Message], tuple[Any, ...]]) -> None:
    global _reduce_message
    _reduce_message = reducer


class Message:
    """Base class of every generated message class."""

    __slots__ = ()
    __hash__ = None  # type: ignore[assignment]  # messages are mutable

    _desc: ClassVar[DescMessage]
    # Every generated class sets its own, in field order; declared here so that no
    # field can take the name.
    __match_args__: ClassVar[tuple[str, ...]] = ()

    if TYPE_CHECKING:  # implemented by NativeMessage
        _unknown_fields: dict[int, list[bytes]] | None
        _get_field_number_present: Callable[[int], bool]
        _is_field_number_set: Callable[[int], bool]
        _clear_field_number_present: Callable[[int], None]
        _get_or_init_unknown_fields: Callable[[], dict[int, list[bytes]]]
        _merge_from: Callable[[Message, bool], None]
        _merge_from_binary: Callable[[bytes, bool], None]
        _merge_from_json: Callable[..., None]
        _to_json_value: Callable[..., Any]
        _from_json_value: Callable[..., Any]

        def __init__(self, **fields: Any) -> None: ...
        @classmethod
        def from_binary(
            cls, data: bytes | bytearray | memoryview, *, ignore_unknown_fields: bool = False
        ) -> Self: ...
        def to_binary(self, *, write_unknown_fields: bool = True) -> bytes: ...
        @classmethod
        def from_json(
            cls, json: str | bytes | bytearray, *, ignore_unknown_fields: bool = False,
            registry: Any = None,
        ) -> Self: ...
        def to_json(
            self, *, registry: Any = None, always_emit_implicit: bool = False,
            print_enums_as_ints: bool = False, use_proto_field_name: bool = False,
        ) -> str: ...
        def to_dict(
            self, *, registry: Any = None, always_emit_implicit: bool = False,
            print_enums_as_ints: bool = False, use_proto_field_name: bool = False,
        ) -> Any: ...
        def to_json_value(
            self, *, registry: Any = None, always_emit_implicit: bool = False,
            print_enums_as_ints: bool = False, use_proto_field_name: bool = False,
        ) -> Any: ...
        @classmethod
        def from_dict(
            cls, data: Any, *, ignore_unknown_fields: bool = False, registry: Any = None
        ) -> Self: ...
        @classmethod
        def from_json_value(
            cls, value: Any, *, ignore_unknown_fields: bool = False, registry: Any = None
        ) -> Self: ...
        def __copy__(self) -> Self: ...
        def __deepcopy__(self, memo: Any) -> Self: ...

    # Representation

    @reprlib.recursive_repr()
    def __repr__(self) -> str:
        parts = []
        for field in self._desc.fields:
            if field.oneof is not None:
                chosen = getattr(self, field.oneof.local_name, None)
                if chosen is not None and getattr(chosen, "field", None) == field.local_name:
                    parts.append(f"{field.local_name}={chosen.value!r}")
            elif self._is_set(field):
                parts.append(f"{field.local_name}={getattr(self, field.local_name)!r}")
        return f"{self._desc.type_name}({', '.join(parts)})"

    # Presence by name

    def has_field(self, name: str) -> bool:
        """Whether a field or oneof is set.

        `name` is a field's Python name or proto name, or a oneof's. Fields without
        explicit presence count as set when they differ from their default (or are
        non-empty), which is exactly when they are serialized.
        """
        found = _lookup(self._desc, name)
        if isinstance(found, DescOneof):
            return getattr(self, found.local_name) is not None
        if found.oneof is not None:
            return self.which_oneof(found.oneof.local_name) == found.local_name
        return self._is_set(found)

    def clear_field(self, name: str) -> None:
        """Reset a field (or a whole oneof) to its default and clear its presence."""
        found = _lookup(self._desc, name)
        if isinstance(found, DescOneof):
            _store(self, found.local_name, None)
        elif found.oneof is not None:
            if self.which_oneof(found.oneof.local_name) == found.local_name:
                _store(self, found.oneof.local_name, None)
        else:
            _store(self, found.local_name, _fresh_default(found))
            if found._requires_presence:
                self._clear_field_number_present(found.number)

    def which_oneof(self, oneof_name: str) -> str | None:
        """The Python name of the member set in a oneof, or None."""
        oneof = self._desc._oneofs_by_local_name.get(oneof_name) or self._desc._oneofs_by_name.get(
            oneof_name
        )
        if oneof is None:
            raise ValueError(f"{self._desc.type_name} has no oneof {oneof_name!r}")
        chosen = getattr(self, oneof.local_name)
        return None if chosen is None else chosen.field

    def _is_set(self, field: DescField) -> bool:
        # The encoders' own decision, so that -0.0 and NaN count as set.
        try:
            return self._is_field_number_set(field.number)
        except AttributeError:  # a slot never filled
            return False

    # Convenience wrappers over the native methods

    def merge_from(self, other: Self) -> None:
        """Merge `other` into this message: set fields overwrite, lists append."""
        self._merge_from(other, False)

    def merge_from_binary(self, data: bytes, *, ignore_unknown_fields: bool = False) -> None:
        self._merge_from_binary(data, ignore_unknown_fields)

    def merge_from_json(
        self, json: str | bytes, *, ignore_unknown_fields: bool = False, registry: Any = None
    ) -> None:
        """Read JSON text (str, bytes or bytearray) into this message.

        Named fields are replaced, lists appended to, maps updated and sub-messages
        merged; a failure leaves what was read before it.
        """
        self._merge_from_json(json, ignore_unknown_fields=ignore_unknown_fields, registry=registry)

    # to_dict, to_json_value, from_dict and from_json_value are NativeMessage's own.

    def to_json_pretty(self, indent: int | str | None = 2, **options: Any) -> str:
        """The JSON text indented for people (members in field order, non-ASCII kept).

        Takes the options of `to_json`; `to_json` itself writes the compact form.
        """
        return json.dumps(
            self.to_dict(**options), indent=indent, ensure_ascii=False, allow_nan=False
        )

    def copy(self) -> Self:
        """A deep copy."""
        return self.__deepcopy__(None)

    def __reduce__(self) -> tuple[Any, ...]:
        return _reduce_message(self)

    # Extensions. Their values are kept as wire records among the unknown fields, so
    # reading returns a decoded copy: assign the value back to change it.

    def __getitem__(self, extension: DescExtension) -> Any:
        self._check_extension(extension)
        store = self._unknown_fields
        records = store.get(extension.number) if store else None
        if not records:
            return _fresh_default(extension.field)
        holder = extension.holder_class().from_binary(b"".join(records))
        return holder.value

    def __setitem__(self, extension: DescExtension, value: Any) -> None:
        self._check_extension(extension)
        if value is None:
            del self[extension]
            return
        data = extension.holder_class()(value=value).to_binary()
        records = [record for _, record in split_records(data)]
        store = self._get_or_init_unknown_fields()
        if records:
            store[extension.number] = records
        else:
            store.pop(extension.number, None)

    def __delitem__(self, extension: DescExtension) -> None:
        # Deleting an absent extension is not an error, so JSON null can clear it.
        self._check_extension(extension)
        store = self._unknown_fields
        if store:
            store.pop(extension.number, None)

    def __contains__(self, extension: DescExtension) -> bool:
        self._check_extension(extension)
        store = self._unknown_fields
        records = store.get(extension.number) if store else None
        if not records:
            return False
        # Records alone do not make a value: a closed enum's unknown number, say,
        # decodes to nothing.
        holder = extension.holder_class().from_binary(b"".join(records))
        present: bool = holder.has_field("value")
        return present

    def _check_extension(self, extension: object) -> None:
        if not isinstance(extension, DescExtension):
            raise TypeError(
                f"extension key must be a DescExtension, not {type(extension).__name__}"
            )
        if extension.extendee.type_name != self._desc.type_name:
            raise KeyError(
                f"extension {extension.name} extends {extension.extendee.type_name}, "
                f"not {self._desc.type_name}"
            )


def _lookup(desc: DescMessage, name: str) -> DescField | DescOneof:
    found = (
        desc._fields_by_name.get(name)
        or desc._oneofs_by_local_name.get(name)
        or desc._fields_by_proto_name.get(name)
        or desc._oneofs_by_name.get(name)
    )
    if found is None:
        raise ValueError(f"{desc.type_name} has no field {name!r}")
    return found


def _fresh_default(field: DescField) -> Any:
    if isinstance(field.value, DescFieldValueList):
        return []
    if isinstance(field.value, DescFieldValueMap):
        return {}
    return field.default


def _store(message: Message, name: str, value: Any) -> None:
    # NativeMessage.__setattr__ would mark the field present; store without it.
    from _velum_ext import generic_setattr

    generic_setattr(message, name, value)
