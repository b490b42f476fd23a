"""The registry: loads schemas, owns their classes and answers type lookups."""

from __future__ import annotations

import functools
from importlib import resources

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

    def __init__(self) -> None:
        self._files: dict[str, DescFile] = {}
        self._messages: dict[str, DescMessage] = {}
        self._enums: dict[str, DescEnum] = {}
        self._extensions: dict[str, DescExtension] = {}
        self._extensions_by_number: dict[tuple[str, int], DescExtension] = {}
        for file in _well_known_files():
            self._register_file(file)

    # Loading

    def add_file_set(self, data: bytes) -> list[DescFile]:
        """Load a serialized FileDescriptorSet; returns its files in the set's order.

        Dependencies must be in the set (protoc's --include_imports) or already loaded.
        Files already loaded with identical content are reused.
        """
        return self._add([(parse_file(raw), raw) for raw in split_file_set(bytes(data))])

    def add_file(self, data: bytes) -> DescFile:
        """Load one serialized FileDescriptorProto whose dependencies are loaded."""
        raw = bytes(data)
        return self._add([(parse_file(raw), raw)])[0]

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
            raise KeyError(full_name)
        cls: type = desc.type
        return cls

    def enum_class(self, full_name: str) -> type:
        desc = self.enum(full_name)
        if desc is None:
            raise KeyError(full_name)
        cls: type = desc.type
        return cls

    # Internals

    def _add(self, protos: list[tuple[FileProto, bytes]]) -> list[DescFile]:
        batch = Batch(self.message, self.enum, self._files.get)
        fresh: dict[str, DescFile] = {}
        for proto, raw in _dependency_order(protos):
            known = self._files.get(proto.name) or fresh.get(proto.name)
            if known is None:
                fresh[proto.name] = batch.declare_file(proto, raw)
            elif raw != known._serialized and proto.name not in WKT_FILE_NAMES:
                raise ValueError(f"file {proto.name} is already loaded with other content")
        batch.resolve()
        self._check_extensions(batch.extensions)
        batch.create_classes()
        for file in batch.files:
            self._register_file(file)
        return [self._files[proto.name] for proto, _ in protos]

    def _check_extensions(self, extensions: list[DescExtension]) -> None:
        seen: set[tuple[str, int]] = set()
        for ext in extensions:
            key = (ext.extendee.type_name, ext.number)
            if key in self._extensions_by_number or key in seen:
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

    def _register_extension(self, ext: DescExtension) -> None:
        self._extensions[ext.name] = ext
        self._extensions_by_number[(ext.extendee.type_name, ext.number)] = ext


def _dependency_order(protos: list[tuple[FileProto, bytes]]) -> list[tuple[FileProto, bytes]]:
    """The files with every file after those of its dependencies that are in the list."""
    by_name = {proto.name: (proto, raw) for proto, raw in protos}
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
