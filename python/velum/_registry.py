"""The registry: loads schemas, owns their classes and answers type lookups."""

from __future__ import annotations

import difflib
import functools
from collections.abc import Buffer, Collection
from importlib import resources
from typing import NamedTuple, cast

from _velum_ext import _release_token, _SchemaGraph

from velum._builder import Batch
from velum._descriptor_proto import FileProto, parse_file, split_file_set
from velum._descriptors import DescEnum, DescExtension, DescFile, DescMessage
from velum._wkt_methods import attach as _attach_wkt_methods

WKT_FILE_NAMES = (
    "google/protobuf/any.proto",
    "google/protobuf/timestamp.proto",
    "google/protobuf/duration.proto",
    "google/protobuf/field_mask.proto",
    "google/protobuf/struct.proto",
    "google/protobuf/wrappers.proto",
    "google/protobuf/empty.proto",
)
_WKT_RESOURCE = "wkt_descriptors.binpb"


class Registry:
    """Loaded schemas with their generated classes; also the type registry of the codecs.

    A new registry already knows the well-known types. Their classes are shared by all
    registries, so `velum.wkt.Timestamp` is the class every registry returns.
    """

    # The tables are slots so that they are let go before the instance dict, which holds
    # `_schema`: the loaded descriptors refer to their files and parents, so they sit in
    # cycles, and `_schema` frees them, as the collector would, when it is let go and
    # nothing else (a class, a descriptor kept) refers to them.
    __slots__ = (
        "__dict__",
        "__weakref__",
        "_enums",
        "_extensions",
        "_extensions_by_number",
        "_files",
        "_messages",
    )

    def __init__(self) -> None:
        # The well-known types' tables, registered once and copied.
        known = _well_known_registry()
        self._files: dict[str, DescFile] = dict(known._files)
        self._messages: dict[str, DescMessage] = dict(known._messages)
        self._enums: dict[str, DescEnum] = dict(known._enums)
        self._extensions: dict[str, DescExtension] = dict(known._extensions)
        self._extensions_by_number: dict[tuple[str, int], DescExtension] = dict(
            known._extensions_by_number
        )
        self._schema = _SchemaGraph()
        # A schema with classes is left to the collector by `_schema`: letting the registry
        # go then schedules a young collection that frees it while it is still warm (see
        # _release_token).
        self._release = _release_token()

    # Loading

    def add_file_set(self, data: bytes) -> list[DescFile]:
        """Load a serialized FileDescriptorSet; returns its files in the set's order.

        Dependencies must be in the set (protoc's --include_imports) or already loaded.
        Files already loaded with identical content are reused.
        """
        raw = _as_bytes(data, "add_file_set")
        try:
            protos = [
                (self._loaded_as(file) or _parse_named(file), file) for file in split_file_set(raw)
            ]
        except ValueError as e:
            raise ValueError(_not_descriptors("FileDescriptorSet", raw, e)) from e
        return self._add(protos)

    def add_file(self, data: bytes) -> DescFile:
        """Load one serialized FileDescriptorProto whose dependencies are loaded."""
        raw = _as_bytes(data, "add_file")
        try:
            proto = _parse_named(raw)
        except ValueError as e:
            raise ValueError(_not_descriptors("FileDescriptorProto", raw, e)) from e
        return self._add([(proto, raw)])[0]

    # Lookups

    def file(self, name: str) -> DescFile | None:
        return self._files.get(name)

    def message(self, full_name: str) -> DescMessage | None:
        return self._messages.get(full_name.removeprefix("."))

    def enum(self, full_name: str) -> DescEnum | None:
        return self._enums.get(full_name.removeprefix("."))

    def extension(self, full_name: str) -> DescExtension | None:
        return self._extensions.get(full_name.removeprefix("."))

    def extension_for(self, desc: DescMessage, number: int) -> DescExtension | None:
        """The extension of message `desc` with field number `number`, if loaded."""
        return self._extensions_by_number.get((desc.type_name, number))

    def message_class(self, full_name: str) -> type:
        desc = self.message(full_name)
        if desc is None:
            raise self._unknown("message type", full_name, self._messages, self._enums, "enum")
        cls: type = desc.type
        return cls

    def enum_class(self, full_name: str) -> type:
        desc = self.enum(full_name)
        if desc is None:
            raise self._unknown("enum", full_name, self._enums, self._messages, "message")
        cls: type = desc.type
        return cls

    # Internals

    @staticmethod
    def _unknown(
        kind: str, name: str, known: Collection[str], other: Collection[str], other_kind: str
    ) -> KeyError:
        """The KeyError for a class lookup that failed, with what may have been meant."""
        text = f"unknown {kind} {name!r}"
        if name.removeprefix(".") in other:
            article = "an" if other_kind[0] in "aeiou" else "a"
            return KeyError(f"{text}: it is {article} {other_kind}, use {other_kind}_class()")
        close = close_names(name.removeprefix("."), known)
        if close:
            text += "; did you mean " + " or ".join(repr(c) for c in close) + "?"
        elif not known or all(n.startswith("google.protobuf.") for n in known):
            text += "; load its schema first with add_file_set()"
        return KeyError(text)

    def _loaded_as(self, serialized: bytes) -> _LoadedFile | None:
        """A file loaded already with these very bytes (a set often carries the well-known
        types), named as its record would be, so that it need not be read again."""
        length = serialized[1] if serialized[:1] == b"\n" and len(serialized) > 1 else 0x80
        if length >= 0x80:
            return None  # no name first, or one too long to find this way
        try:
            name = serialized[2 : 2 + length].decode()
        except UnicodeDecodeError:
            return None
        known = self._files.get(name)
        if known is None or known._serialized != serialized:
            return None
        return _LoadedFile(name, [dep.name for dep in known.dependencies])

    def _add(self, protos: list[tuple[FileProto, bytes]]) -> list[DescFile]:
        batch = Batch(
            self.message,
            self.enum,
            self._files.get,
            known_messages=self._messages,
            known_enums=self._enums,
        )
        fresh: dict[str, DescFile] = {}
        for proto, raw in _dependency_order(protos):
            known = self._files.get(proto.name) or fresh.get(proto.name)
            if known is None:
                fresh[proto.name] = batch.declare_file(proto, raw)
            elif raw != known._serialized and proto.name not in WKT_FILE_NAMES:
                raise ValueError(f"file {proto.name} is already loaded with other content")
        batch.resolve()
        self._check_extensions(batch.extensions)
        batch.create_classes(lazily=True)
        self._register_batch(batch)
        self._schema.add(batch.files)
        return [self._files[proto.name] for proto, _ in protos]

    def _check_extensions(self, extensions: list[DescExtension]) -> None:
        seen: set[tuple[str, int]] = set()
        taken = self._extensions_by_number
        for ext in extensions:
            key = (ext.extendee.type_name, ext.number)
            if key in taken or key in seen:
                raise ValueError(
                    f"extension {ext.name}: number {ext.number} of {key[0]} is already in use"
                )
            seen.add(key)

    def _register_file(self, file: DescFile) -> None:
        self._files[file.name] = file
        pending = list(file.messages)
        for ext in file.extensions:
            self._register_extension(ext)
        for enum_desc in file.enums:
            self._enums[enum_desc.type_name] = enum_desc
        while pending:
            desc = pending.pop()
            if desc.is_map_entry:
                continue
            self._messages[desc.type_name] = desc
            pending.extend(desc.nested_messages)
            for enum_desc in desc.nested_enums:
                self._enums[enum_desc.type_name] = enum_desc
            for ext in desc.nested_extensions:
                self._register_extension(ext)

    def _register_batch(self, batch: Batch) -> None:
        """What _register_file does for each file of `batch`, from the batch's own tables."""
        for file in batch.files:
            self._files[file.name] = file
        self._messages.update(batch.messages)
        self._enums.update(batch.enums)
        # (a name of the batch is new to both tables, and in one of them)
        messages, enums = self._messages, self._enums
        for name in batch.unregistered:
            if messages.pop(name, None) is None:
                enums.pop(name, None)
        for ext in batch.extensions:
            if _registered(ext.parent):
                self._register_extension(ext)

    def _register_extension(self, ext: DescExtension) -> None:
        self._extensions[ext.name] = ext
        self._extensions_by_number[(ext.extendee.type_name, ext.number)] = ext


class _LoadedFile(NamedTuple):
    """What loading reads of the record of a file that is loaded already."""

    name: str
    dependencies: list[str]


def _registered(scope: DescMessage | None) -> bool:
    """Whether a type declared in `scope` is registered: not inside a map entry."""
    while scope is not None:
        if scope.is_map_entry:
            return False
        scope = scope.parent
    return True


def close_names(name: str, known: Collection[str], limit: int = 3) -> list[str]:
    """Known names a mistyped `name` may have meant (same last part, or similar), likest first."""
    lowered = name.lower()
    tail = lowered.rpartition(".")[2]
    same_tail = [k for k in known if k.rpartition(".")[2].lower() == tail]
    by_lower = {k.lower(): k for k in known}
    similar = difflib.get_close_matches(lowered, list(by_lower), n=limit, cutoff=0.6)
    found = set(same_tail) | {by_lower[s] for s in similar}

    def likeness(candidate: str) -> float:
        return difflib.SequenceMatcher(None, lowered, candidate.lower()).ratio()

    return sorted(found, key=lambda k: (-likeness(k), k))[:limit]


def _as_bytes(data: object, method: str) -> bytes:
    if type(data) is bytes:
        return data  # immutable already: a copy would only touch the whole set again
    if isinstance(data, str):
        raise TypeError(
            f"{method}() takes the bytes of a compiled schema, not str; "
            "read the file in binary mode: open(path, 'rb').read()"
        )
    # Only bytes-like objects: bytes() would also take an int (that many zero bytes)
    # or an iterable of ints, and the failure would surface as a parse error.
    try:
        view = memoryview(cast(Buffer, data))
    except TypeError:
        raise TypeError(
            f"{method}() takes the bytes of a compiled schema (bytes, bytearray or "
            f"memoryview), not {type(data).__name__}"
        ) from None
    return view.tobytes()


def _parse_named(raw: bytes) -> FileProto:
    proto = parse_file(raw)
    if not proto.name:
        raise ValueError("a file without a name")
    return proto


def _not_descriptors(kind: str, data: bytes, error: ValueError) -> str:
    head = data[:200].lstrip()
    looks_like_source = head[:2] in (b"//", b"/*") or head.startswith(
        (b"syntax", b"edition", b"package", b"message", b"import", b"enum", b"option")
    )
    what = " (it looks like .proto source text)" if looks_like_source else f" ({error})"
    return (
        f"the data is not a serialized {kind}{what}; compile the .proto files into one "
        "with protoc, e.g. python -m grpc_tools.protoc -I. --include_imports "
        "--descriptor_set_out=schema.binpb schema.proto, and pass the bytes of schema.binpb"
    )


def _dependency_order(protos: list[tuple[FileProto, bytes]]) -> list[tuple[FileProto, bytes]]:
    """The files with every file after those of its dependencies that are in the list."""
    by_name = {proto.name: (proto, raw) for proto, raw in protos}
    if len(by_name) == len(protos) and _in_order(protos, by_name):
        return protos  # as protoc writes a set
    ordered: list[tuple[FileProto, bytes]] = []
    state: dict[str, bool] = {}  # False while visiting, True when done

    def visit(name: str) -> None:
        if state.get(name):
            return
        if name in state:
            raise ValueError(f"circular import involving {name}")
        state[name] = False
        proto, raw = by_name[name]
        for dep in proto.dependencies:
            if dep in by_name:
                visit(dep)
        state[name] = True
        ordered.append((proto, raw))

    for proto, _ in protos:
        visit(proto.name)
    return ordered


def _in_order(protos: list[tuple[FileProto, bytes]], names: Collection[str]) -> bool:
    """Whether every file of `protos` comes after those of its dependencies in `names`."""
    seen: set[str] = set()
    for proto, _ in protos:
        for dep in proto.dependencies:
            if dep not in seen and dep in names:
                return False
        seen.add(proto.name)
    return True


@functools.cache
def _well_known_registry() -> Registry:
    """A registry of the well-known types alone, whose tables new registries copy."""
    known = Registry.__new__(Registry)
    known._files, known._messages, known._enums = {}, {}, {}
    known._extensions, known._extensions_by_number = {}, {}
    for file in _well_known_files():
        known._register_file(file)
    return known


@functools.cache
def _well_known_files() -> tuple[DescFile, ...]:
    data = resources.files("velum").joinpath(_WKT_RESOURCE).read_bytes()
    batch = Batch(lambda _: None, lambda _: None, lambda _: None)
    for raw in split_file_set(data):
        batch.declare_file(parse_file(raw), raw)
    batch.resolve()
    batch.create_classes()
    _attach_wkt_methods(batch.files)
    return tuple(batch.files)
