"""Turns decoded FileDescriptorProtos into resolved descriptor objects.

A batch of files is built in phases so that files may reference each other's types
in any order: declare every message and enum, create the enum classes (message
defaults refer to enum members), resolve fields and extensions, then create and
initialise the message classes.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any

from _velum_ext import (
    _declarer,
    _field_resolver,
    _FieldTable,
    _schema_graph_setup,
    _slot_constructor,
    _slot_setter,
)

from velum import _classes
from velum._descriptor_proto import (
    LABEL_REPEATED,
    LABEL_REQUIRED,
    TYPE_ENUM,
    TYPE_GROUP,
    TYPE_MESSAGE,
    FieldProto,
    FileProto,
    MessageProto,
    declare_record_slots,
    features_of,
    field_record_slots,
    packed_option,
    record_types,
)
from velum._descriptors import (
    _NATIVE_SLOTS,
    _RESOLVE_LOCK,
    NO_LIST,
    DescEnum,
    DescEnumValue,
    DescExtension,
    DescField,
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescFile,
    DescMessage,
    DescOneof,
    EnumDefault,
    FieldValue,
    Presence,
    ScalarType,
    _filler,
    new_enum_desc,
    new_enum_value,
    new_enum_value_desc,
    new_field,
    new_list_value,
    new_message,
    new_message_value,
    new_oneof,
    new_scalar_value,
    peek_default,
    peek_nested_enums,
    peek_nested_messages,
)
from velum._enums import RESERVED_ENUM_NAMES, is_reserved_enum_name
from velum._features import (
    ENUM_TYPE_OPEN,
    FIELD_PRESENCE_IMPLICIT,
    FIELD_PRESENCE_LEGACY_REQUIRED,
    MESSAGE_DELIMITED,
    REPEATED_PACKED,
    Features,
    file_edition,
    file_features,
)
from velum._naming import KEYWORDS, assign_local_names, json_name

_ZERO: dict[ScalarType, Any] = {
    ScalarType.DOUBLE: 0.0,
    ScalarType.FLOAT: 0.0,
    ScalarType.BOOL: False,
    ScalarType.STRING: "",
    ScalarType.BYTES: b"",
}
_UNPACKABLE = frozenset({ScalarType.STRING, ScalarType.BYTES})
_SCALAR_TYPES = {int(t): t for t in ScalarType}
# Value descriptors are never changed once made, so fields of the same shape share one.
_SCALAR_VALUES = {t: DescFieldValueScalar(t) for t in ScalarType}
_SCALAR_LISTS = {
    (t, packed): DescFieldValueList(t, packed) for t in ScalarType for packed in (False, True)
}


_UNRESOLVED: Any = ()


def zero_value(scalar: ScalarType) -> Any:
    return _ZERO.get(scalar, 0)


class Batch:
    """Descriptors of files being added together; nothing is visible before commit."""

    def __init__(
        self,
        find_message: Callable[[str], DescMessage | None],
        find_enum: Callable[[str], DescEnum | None],
        find_file: Callable[[str], DescFile | None],
        *,
        known_messages: dict[str, DescMessage] | None = None,
        known_enums: dict[str, DescEnum] | None = None,
    ) -> None:
        """`known_messages` and `known_enums` hold by full name what `find_message` and
        `find_enum` find (without a leading dot): the names new types may not take."""
        self._find_message = find_message
        self._find_enum = find_enum
        self._find_file = find_file
        self.files: list[DescFile] = []
        self._files_by_name: dict[str, DescFile] = {}
        self.messages: dict[str, DescMessage] = {}
        self.enums: dict[str, DescEnum] = {}
        self.extensions: list[DescExtension] = []
        # Each message's descriptor, record and features, one after the other.
        self._message_work: list[DescMessage | MessageProto | Features] = []
        self._message_protos: dict[DescMessage, MessageProto] = {}  # of the map entries
        self._extension_work: list[tuple[FieldProto, DescFile, DescMessage | None, Features]] = []
        # Map entries and the types inside them, which the registry does not list.
        self.unregistered: list[str] = []
        # What the native declarer reads and fills.
        self._state = (
            self.messages,
            self.enums,
            {} if known_messages is None else known_messages,
            {} if known_enums is None else known_enums,
            self._message_work,
            self._message_protos,
            self._extension_work,
            self.unregistered,
        )

    # Lookup across this batch and what is already known.

    def file(self, name: str) -> DescFile | None:
        return self._files_by_name.get(name) or self._find_file(name)

    def message(self, name: str) -> DescMessage | None:
        return self.messages.get(name) or self._find_message(name)

    def enum(self, name: str) -> DescEnum | None:
        return self.enums.get(name) or self._find_enum(name)

    # Phase 1: declare.

    def new_file(self, proto: FileProto, serialized: bytes) -> tuple[DescFile, str, Features]:
        """A file's descriptor before its types are declared, its name prefix and features."""
        deps = []
        batch_files, find_file = self._files_by_name, self._find_file
        for dep_name in proto.dependencies:
            dep = batch_files.get(dep_name) or find_file(dep_name)
            if dep is None:
                raise ValueError(f"{proto.name}: dependency {dep_name} is not loaded")
            deps.append(dep)
        edition = file_edition(proto)
        features = file_features(proto, edition)
        syntax = proto.syntax
        if syntax != "proto3" and syntax != "editions":
            syntax = "proto2"
        package = proto.package
        desc = _new_file(proto.name, package, syntax, edition, deps, [], [], [], serialized)
        return desc, package + "." if package else "", features

    def declare_file(self, proto: FileProto, serialized: bytes) -> DescFile:
        desc, prefix, features = self.new_file(proto, serialized)
        # Every message and enum of the file, nested ones included, in one native call.
        _declare()(
            self._state,
            proto,
            proto.messages,
            proto.enums,
            prefix,
            desc,
            features,
            desc.messages,
            desc.enums,
        )
        if proto.extensions:
            self._extension_work.extend((ext, desc, None, features) for ext in proto.extensions)
        self.files.append(desc)
        self._files_by_name[desc.name] = desc
        return desc

    def add_file(self, desc: DescFile) -> None:
        """Adds a declared file to the batch."""
        self.files.append(desc)
        self._files_by_name[desc.name] = desc

    # Later phases; the registry runs its own checks between the two.

    def resolve(self) -> None:
        """Check every message and resolve every extension.

        A message's fields are resolved when first read (most loaded types are never
        used), but everything that could fail is checked here, so that a damaged schema
        is refused when it is loaded. Enum classes are made on first use (the declarer
        gave each its hook).
        """
        # What _check_message would find for each message, in one native pass that
        # hands a message back to it only when something needs reporting.
        _resolver().check_batch(
            self._message_work,
            (self.messages, self.enums, self._state[2], self._state[3], self._message_protos),
            _batch_layout(),
            (_resolve_message, _new_map_value, self._check_message),
        )
        if self._extension_work:
            # Every extension in one native pass, which hands _resolve_extension those
            # it cannot settle (to report, or to build in Python), in their turn.
            _resolver().extensions(
                self._extension_work,
                (self.messages, self.enums, self._state[2], self._state[3]),
                _extension_layout(),
                (_new_extension, self._resolve_extension, self.extensions),
            )

    def create_classes(self, *, lazily: bool = False) -> None:
        """Create the message classes now, or (`lazily`) each when it is first needed
        (the declarer gave each message its hook)."""
        if not lazily:
            _classes.make_message_classes(list(self.messages.values()))

    def _check_message(self, desc: DescMessage, proto: MessageProto) -> list[_Target]:
        """Refuse what resolving `desc` would refuse; returns the type of each field."""
        field_protos = proto.fields
        file, type_name = desc.file, desc.type_name
        checked = _resolver().check(field_protos, self.messages, self.enums)
        if checked is None:
            for field_proto in field_protos:
                if not field_proto.name.isidentifier():
                    _check_identifier(field_proto.name, "field", file, type_name)
        if proto.oneofs:
            for index in _real_oneof_indexes(proto):
                _check_identifier(proto.oneofs[index].name, "oneof", file, type_name)
        prefix = type_name + "."
        if checked is not None:
            # What is left names a type of another batch, a map entry or has a default to parse.
            targets: list[_Target] = checked[0]
            for index in checked[1]:
                field_proto = field_protos[index]
                targets[index] = self._check_field(field_proto, prefix + field_proto.name)
            return targets
        targets = []
        for field_proto in field_protos:
            scalar = _SCALAR_TYPES.get(field_proto.type)
            if scalar is not None and (
                not field_proto.default_value or scalar is ScalarType.STRING
            ):
                # The common case: nothing to look up, and no default that could be wrong.
                targets.append(scalar)
            else:
                targets.append(self._check_field(field_proto, prefix + field_proto.name))
        return targets

    def _check_field(self, proto: FieldProto, full_name: str) -> _Target:
        """The field's type (a map's value descriptor for a map), its default checked."""
        scalar = _SCALAR_TYPES.get(proto.type)
        target = scalar if scalar is not None else self._field_type(proto, full_name)
        if proto.label == LABEL_REPEATED:
            if type(target) is DescMessage and target.is_map_entry:
                return self._map_value(target, full_name)
        elif proto.default_value:
            if type(target) is ScalarType:
                _scalar_default(target, proto, full_name)
            elif type(target) is DescEnum:
                _enum_default(target, proto, full_name)
        return target

    def _resolve_extension(
        self, proto: FieldProto, file: DescFile, scope: DescMessage | None, features: Features
    ) -> None:
        prefix = scope.type_name if scope else file.package
        full_name = f"{prefix}.{proto.name}" if prefix else proto.name
        extendee = self.message(proto.extendee.lstrip("."))
        if extendee is None:
            raise ValueError(f"{file.name}: unknown extendee {proto.extendee} of {full_name}")
        target = self._check_field(proto, full_name)
        # Extension values are read through a holder class whose only attribute is "value".
        field = (
            None
            if scope is not None and scope.is_map_entry  # (its encoding is the entry's own)
            else _resolver().extension(
                proto,
                target,
                "value",
                prefix + "." if prefix else "",
                scope,
                (
                    features.field_presence,
                    features.message_encoding,
                    features.repeated_field_encoding,
                ),
            )
        )
        if field is None:
            field = _make_field(
                proto,
                "value",
                full_name,
                scope,
                None,
                features.merge(features_of(proto)),
                target,
                True,
            )
        ext = _new_extension(full_name, full_name, proto.number, extendee, field, file, scope, None)
        (scope.nested_extensions if scope else file.extensions).append(ext)
        self.extensions.append(ext)

    def _field_type(self, proto: FieldProto, full_name: str) -> ScalarType | DescEnum | DescMessage:
        if proto.type in (TYPE_MESSAGE, TYPE_GROUP, TYPE_ENUM) or (
            proto.type == 0 and proto.type_name
        ):
            name = proto.type_name.lstrip(".")
            found: DescMessage | DescEnum | None
            if proto.type == TYPE_ENUM:
                found = self.enum(name)
            elif proto.type == 0:
                found = self.message(name) or self.enum(name)
            else:
                found = self.message(name)
            if found is None:
                raise ValueError(f"field {full_name}: unknown type {proto.type_name}")
            return found
        scalar = _SCALAR_TYPES.get(proto.type)
        if scalar is None:
            raise ValueError(f"field {full_name}: unknown field type {proto.type}")
        return scalar

    def _map_value(self, entry: DescMessage, full_name: str) -> DescFieldValueMap:
        proto = self._message_protos[entry]
        by_number = {f.number: f for f in proto.fields}
        if set(by_number) != {1, 2}:
            raise ValueError(f"field {full_name}: malformed map entry {entry.type_name}")
        key = self._field_type(by_number[1], full_name)
        if not isinstance(key, ScalarType):
            raise ValueError(f"field {full_name}: invalid map key type")
        return DescFieldValueMap(key, self._field_type(by_number[2], full_name))


# What a field refers to, found when its message is checked: a scalar type, an enum,
# a message, or for a map field its value descriptor.
_Target = ScalarType | DescEnum | DescMessage | DescFieldValueMap


@functools.cache
def _declare() -> Any:
    """The native declarer of messages and enums, configured with the runtime's classes."""
    message, enum, value, message_options, enum_options = declare_record_slots()
    return _declarer(
        (
            message,
            enum,
            value,
            message_options,
            enum_options,
            (Features, (Features.__dict__["enum_type"],)),
            (new_message, new_enum_desc, new_enum_value),
            (
                _UNRESOLVED,
                ENUM_TYPE_OPEN,
                _classes.create_on_first_use,
                _classes.create_enum_on_first_use,
                NO_LIST,
            ),
            (Features.merge, _check_identifier, assign_local_names, is_reserved_enum_name),
            KEYWORDS,
            RESERVED_ENUM_NAMES,
        )
    )


@functools.cache
def _batch_layout() -> tuple[Any, ...]:
    """What the native batch check reads of message and oneof records (a message's
    fields it reads from their views, still in the file's bytes) and sets on a
    message: its `_resolve`."""
    types = record_types()
    message, oneof = types["DescriptorProto"], types["OneofDescriptorProto"]
    return (
        message,
        message.__dict__["_source"],
        message.__dict__["_field_views"],
        message.__dict__["oneofs"],
        oneof,
        oneof.__dict__["name"],
        DescMessage.__dict__["_resolve"],
    )


@functools.cache
def _extension_layout() -> tuple[Any, ...]:
    """What the native extension pass reads of files, messages, field records and
    features (see Batch.resolve)."""
    record = record_types()["FieldDescriptorProto"]
    return (
        DescFile,
        DescFile.__dict__["package"],
        DescFile.__dict__["extensions"],
        DescMessage.__dict__["type_name"],
        _NATIVE_SLOTS["DescMessage.nested_extensions"],
        record.__dict__["extendee"],
        Features,
        *(
            Features.__dict__[name]
            for name in ("field_presence", "message_encoding", "repeated_field_encoding")
        ),
    )


@functools.cache
def _resolver() -> Any:
    """The native field resolver, configured with the runtime's classes and shared values."""
    record_class, record_slots = field_record_slots()
    by_number = range(max(ScalarType) + 1)
    scalars = {int(t): t for t in ScalarType}
    options_class = record_types()["FieldOptions"]
    message_record = record_types()["DescriptorProto"]
    config = (
        record_class,
        record_slots,
        (options_class, options_class.__dict__["packed"], options_class.__dict__["features"]),
        (
            DescEnum.__dict__["values"],
            DescEnumValue.__dict__["local_name"],
            DescEnumValue.__dict__["name"],
            DescMessage.__dict__["is_map_entry"],
        ),
        (
            new_field,
            new_oneof,
            new_scalar_value,
            new_enum_value_desc,
            new_message_value,
            new_list_value,
            _new_enum_default,
        ),
        tuple(scalars.get(n) for n in by_number),
        tuple(_SCALAR_VALUES.get(scalars[n]) if n in scalars else None for n in by_number),
        tuple(
            _SCALAR_LISTS[scalars[n], packed] if n in scalars else None
            for n in by_number
            for packed in (False, True)
        ),
        tuple(_ZERO.get(scalars[n], 0) if n in scalars else None for n in by_number),
        (Presence.EXPLICIT, Presence.IMPLICIT, Presence.LEGACY_REQUIRED),
        (DescEnum, DescMessage, DescFieldValueMap, DescEnumValue),
        KEYWORDS,
        _classes.RESERVED_MESSAGE_NAMES,
        json_name,
        (
            message_record,
            message_record.__dict__["_source"],
            message_record.__dict__["_field_views"],
            message_record.__dict__["fields"],
        ),
    )
    return _field_resolver(config)


# Every field positionally, defaults included (see _descriptors._filler).
_new_file = _filler(DescFile)
_new_extension = _filler(DescExtension)
_new_map_value = _slot_constructor(
    DescFieldValueMap, (DescFieldValueMap.__dict__["key"], DescFieldValueMap.__dict__["value"])
)
_new_enum_default = _slot_constructor(
    EnumDefault, (EnumDefault.__dict__["enum"], EnumDefault.__dict__["local_name"])
)


class _Fallback:
    """Builds in Python a field the native resolver hands back (see _resolve_message).

    One object a message, made before the resolver runs: a closure would make a cell
    for each of these at every call, though few messages have a field that needs it.
    """

    __slots__ = ("custom", "desc", "features", "proto", "targets")

    def __init__(
        self,
        proto: MessageProto,
        features: Features,
        targets: list[_Target],
        desc: DescMessage,
        custom: set[int] | None,
    ) -> None:
        self.proto, self.features, self.targets, self.desc, self.custom = (
            proto, features, targets, desc, custom
        )

    def __call__(self, index: int, local: str, oneof: DescOneof | None) -> tuple[DescField, Any]:
        proto, desc, custom = self.proto, self.desc, self.custom
        field_proto = proto.fields[index]
        field_features = self.features
        oneof_index = field_proto.oneof_index
        if oneof is not None and custom and oneof_index in custom:
            field_features = field_features.merge(features_of(proto.oneofs[oneof_index]))
        options = field_proto.options
        if options is not None:
            field_features = field_features.merge(options.features)
        field = _make_field(
            field_proto,
            local,
            f"{desc.type_name}.{field_proto.name}",
            desc,
            oneof,
            field_features,
            self.targets[index],
        )
        return field, None if oneof is not None else peek_default(field)


# Makes a _Fallback without running its __init__ (one a resolved message).
_new_fallback = _slot_constructor(
    _Fallback,
    tuple(_Fallback.__dict__[name] for name in ("proto", "features", "targets", "desc", "custom")),
)


def _resolve_message(
    proto: MessageProto, features: Features, targets: list[_Target], desc: DescMessage
) -> None:
    """Build the field and oneof descriptors of a checked message (see Batch.resolve).

    The usual fields are built natively in one call; those whose options or oneof set
    features of their own, or whose message is a map entry, come back to `_make_field`.
    """
    oneof_protos = proto.oneofs
    oneof_names: list[str | None] | None = None
    custom: set[int] | None = None
    if oneof_protos:
        real = _real_oneof_indexes(proto)
        oneof_names = [None] * len(oneof_protos)
        for index in real:
            oneof_proto = oneof_protos[index]
            oneof_names[index] = oneof_proto.name
            if features_of(oneof_proto) is not None:
                custom = custom or set()
                custom.add(index)
    _assign_resolved(
        desc,
        _resolver()(
            desc,
            proto,  # its fields are read from their views when none has options
            targets,
            "",  # (the prefix of an extension's full name: a field makes its own when read)
            None
            if desc.is_map_entry
            else (
                features.field_presence,
                features.message_encoding,
                features.repeated_field_encoding,
            ),
            _class_attributes(desc),
            oneof_names,
            custom,
            _new_fallback(proto, features, targets, desc, custom),
        ),
    )


def field_table(desc: DescMessage) -> Any:
    """The native table of a loaded message's fields that its class is made from, or None
    when the class must be made from the field descriptors (resolved already, a map entry,
    a field or oneof with features of its own).

    The table takes the place of the message's pending resolution in `_resolve` and makes
    its call when the fields are first read: a class needs names, numbers, kinds and defaults,
    and the field descriptors are objects the collector would scan until the schema is
    dropped, whether or not anything ever reads them.
    """
    with _RESOLVE_LOCK:
        pending = desc._resolve
        if pending is None or type(pending) is _FieldTable:
            return pending
        # (A partial's func and args, as a test may set, read as the pending resolution's.)
        resolve, args = getattr(pending, "func", None), getattr(pending, "args", None)
        if desc.is_map_entry or resolve is None or args is None:
            return None
        proto, features, targets = args
        oneof_protos = proto.oneofs
        oneof_names: list[str | None] | None = None
        if oneof_protos:
            # Every oneof's name: the table leaves out the synthetic ones (of proto3
            # `optional` fields), which it finds without making the field records.
            oneof_names = []
            for oneof_proto in oneof_protos:
                if features_of(oneof_proto) is not None:
                    return None
                oneof_names.append(oneof_proto.name)
        table = _resolver().table(
            desc,
            proto,
            targets,
            (features.field_presence, features.message_encoding, features.repeated_field_encoding),
            _class_attributes(desc),
            oneof_names,
            resolve,
            features,
        )
        if table is not None:
            desc._resolve = table
        return table


_classes.field_table = field_table


# Sets what resolving a message built (fields, oneofs, their lookups, defaults) in the
# slots behind the lazy properties, in one native call: `_assign_resolved(desc, resolved)`.
_assign_resolved: Callable[[DescMessage, tuple[Any, ...]], None] = _slot_setter(
    DescMessage,
    tuple(
        _NATIVE_SLOTS["DescMessage." + name]
        for name in (
            "fields",
            "oneofs",
            "_fields_by_name",
            "_fields_by_proto_name",
            "_fields_by_number",
            "_oneofs_by_local_name",
            "_oneofs_by_name",
            "_defaults",
        )
    ),
)


def _make_field(
    proto: FieldProto,
    local_name: str,
    full_name: str,
    parent: DescMessage | None,
    oneof: DescOneof | None,
    features: Features,
    target: _Target,
    is_extension: bool = False,
) -> DescField:
    label = proto.label
    if label == LABEL_REQUIRED:
        features = features.with_presence(FIELD_PRESENCE_LEGACY_REQUIRED)
    if proto.options is not None:
        packed = packed_option(proto)
        if packed is not None:
            features = features.with_packed(packed)
    if parent is not None and parent.is_map_entry:
        # Map entries keep their own encoding whatever the file's features say.
        features = features.length_prefixed()
    value: FieldValue
    if label == LABEL_REPEATED:
        value, default = _repeated_value(target, proto, features)
        presence, requires_presence = Presence.IMPLICIT, False
    else:
        if type(target) is ScalarType:
            # Fields outside a oneof share one value descriptor per scalar type.
            value = _SCALAR_VALUES[target] if oneof is None else new_scalar_value(target, oneof)
            default = (
                _scalar_default(target, proto, full_name)
                if proto.default_value
                else _ZERO.get(target, 0)
            )
        elif type(target) is DescEnum:
            value = new_enum_value_desc(target, oneof)
            default = _enum_default(target, proto, full_name)
        else:
            assert isinstance(target, DescMessage)
            delimited = proto.type == TYPE_GROUP or (
                features.message_encoding == MESSAGE_DELIMITED and not target.is_map_entry
            )
            value, default = new_message_value(target, delimited, oneof), None
        presence, requires_presence = _presence(
            features.field_presence,
            oneof is None
            and not proto.proto3_optional
            and not is_extension
            and not isinstance(value, DescFieldValueMessage),
            not isinstance(value, DescFieldValueMessage) and oneof is None,
        )
    json = proto.json_name
    made: DescField = new_field(
        proto.number,
        proto.name,
        local_name,
        json if json is not None else json_name(proto.name),
        full_name,
        presence,
        requires_presence,
        value,
        default,
        parent,
        oneof,
    )
    return made


def _repeated_value(
    target: _Target, proto: FieldProto, features: Features
) -> tuple[FieldValue, Any]:
    # A list field's default is made when first read (see DescField.default).
    if type(target) is DescFieldValueMap:
        return target, {}
    if type(target) is DescMessage:
        delimited = proto.type == TYPE_GROUP or features.message_encoding == MESSAGE_DELIMITED
        return new_list_value(target, False, delimited), NO_LIST
    packable = not (type(target) is ScalarType and target in _UNPACKABLE)
    packed = packable and features.repeated_field_encoding == REPEATED_PACKED
    if type(target) is ScalarType:
        return _SCALAR_LISTS[target, packed], NO_LIST
    assert type(target) is DescEnum
    return new_list_value(target, packed, False), NO_LIST


def _check_identifier(name: str, kind: str, file: DescFile, scope: str) -> None:
    # Names become class and attribute names; a damaged descriptor must not reach type().
    if not name.isidentifier():
        where = f" in {scope.removesuffix('.')}" if scope else ""
        raise ValueError(f"{file.name}: {kind} name {name!r}{where} is not a valid identifier")


def _class_attributes(desc: DescMessage) -> set[str] | None:
    """The names of the nested types of `desc`, which its class holds as attributes."""
    messages, enums = peek_nested_messages(desc), peek_nested_enums(desc)
    if not messages and not enums:
        return None
    class_attrs = {m.name for m in messages if not m.is_map_entry}
    class_attrs.update(e.name for e in enums)
    return class_attrs


def _reserved_in(desc: DescMessage) -> Callable[[str], bool]:
    """Names a field of `desc` cannot take: every message's attributes and its nested types."""
    reserved = _classes.RESERVED_MESSAGE_NAMES
    class_attrs = _class_attributes(desc)
    if not class_attrs:
        return reserved.__contains__

    def is_reserved(name: str) -> bool:
        return name in reserved or name in class_attrs

    return is_reserved


def _presence(field_presence: int, may_be_implicit: bool, tracked: bool) -> tuple[Presence, bool]:
    """A singular field's presence, and whether its presence bit is kept."""
    if field_presence == FIELD_PRESENCE_LEGACY_REQUIRED:
        presence = Presence.LEGACY_REQUIRED
    elif field_presence == FIELD_PRESENCE_IMPLICIT and may_be_implicit:
        presence = Presence.IMPLICIT
    else:
        presence = Presence.EXPLICIT
    return presence, tracked and presence is not Presence.IMPLICIT


def _real_oneof_indexes(proto: MessageProto) -> list[int]:
    """Indexes of the oneofs that are not synthetic (proto3 `optional`)."""
    synthetic = {f.oneof_index for f in proto.fields if f.proto3_optional}
    return [i for i in range(len(proto.oneofs)) if i not in synthetic]


def _enum_default(desc: DescEnum, proto: FieldProto, full_name: str) -> Any:
    if proto.default_value:
        value = next((v for v in desc.values if v.name == proto.default_value), None)
        if value is None:
            raise ValueError(f"field {full_name}: unknown enum default {proto.default_value}")
    else:
        value = desc.values[0]
    # The member, once the enum's class is made (see DescField.default).
    return EnumDefault(desc, value.local_name)


def _scalar_default(scalar: ScalarType, proto: FieldProto, full_name: str) -> Any:
    text = proto.default_value
    if not text:
        # An explicitly empty default is only meaningful for strings and bytes,
        # whose zero value it equals.
        return zero_value(scalar)
    value = _resolver().parse_default(scalar, text)
    if value is None:
        raise ValueError(f"field {full_name}: invalid default value {text!r}")
    return value


def unescape_bytes(text: str) -> bytes:
    """Decode the C-style escaping protoc uses for bytes defaults."""
    value: bytes | None = _resolver().parse_default(ScalarType.BYTES, text)
    if value is None:
        raise ValueError(f"invalid escape in {text!r}")
    return value


# What a registry's `_SchemaGraph` frees with it (see Registry): every descriptor a load
# makes, those naming a file only when it is one the registry loaded (the well-known
# types are shared), and nothing of a schema a class was made from (the collector frees
# classes, and a class keeps its schema alive).
_schema_graph_setup(
    DescFile,
    (
        (DescMessage, DescMessage.__dict__["file"], _NATIVE_SLOTS["DescMessage.type"]),
        (DescEnum, DescEnum.__dict__["file"], _NATIVE_SLOTS["DescEnum.type"]),
        (DescExtension, DescExtension.__dict__["file"], None),
        *(
            (cls, None, None)
            for cls in (
                DescField,
                DescOneof,
                DescEnumValue,
                DescFieldValueScalar,
                DescFieldValueEnum,
                DescFieldValueMessage,
                DescFieldValueList,
                DescFieldValueMap,
                EnumDefault,
                _Fallback,
            )
        ),
    ),
)
