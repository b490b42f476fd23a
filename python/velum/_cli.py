"""The `velum` command: decode, encode, raw and types.

Errors are one line on stderr and exit code 1 for bad data, 2 for bad usage.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from pathlib import Path
from typing import Any, BinaryIO, NoReturn

from velum._descriptors import DescEnum, DescField, DescFile, DescMessage, Presence, ScalarType
from velum._descriptors import DescFieldValueEnum as _Enum
from velum._descriptors import DescFieldValueList as _List
from velum._descriptors import DescFieldValueMap as _Map
from velum._descriptors import DescFieldValueMessage as _Msg
from velum._descriptors import DescFieldValueScalar as _Scalar
from velum._rawdump import dump
from velum._registry import WKT_FILE_NAMES, Registry
from velum._wire import WireError

BAD_DATA = 1
BAD_USAGE = 2


class CliError(Exception):
    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse prints the usage first; a one-line error is what the tool promises.
        raise CliError(message, BAD_USAGE)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="velum", description="Protocol Buffers messages on the command line.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    def schema_options(sub: argparse.ArgumentParser) -> None:
        group = sub.add_argument_group("schema (one of)")
        group.add_argument("--descriptor-set", metavar="FILE", action="append", default=[],
                           help="a serialized FileDescriptorSet (protoc --include_imports)")
        group.add_argument("--proto", metavar="FILE", action="append", default=[],
                           help="a .proto file, compiled with grpcio-tools' protoc")
        group.add_argument("-I", "--proto-path", metavar="DIR", action="append", default=[],
                           help="import directory for --proto (default: the current one)")

    decode = commands.add_parser("decode", help="binary message -> JSON")
    decode.add_argument("type", help="full name of the message type, e.g. shop.Order")
    decode.add_argument("input", nargs="?", help="input file (default: standard input)")
    decode.add_argument("--indent", type=int, default=None,
                        help="indent JSON by N spaces (default: 2 on a terminal, else compact)")
    schema_options(decode)
    encode = commands.add_parser("encode", help="JSON -> binary message")
    encode.add_argument("type", help="full name of the message type")
    encode.add_argument("input", nargs="?", help="input file (default: standard input)")
    schema_options(encode)
    raw = commands.add_parser("raw", help="dump any binary message without a schema")
    raw.add_argument("input", nargs="?", help="input file (default: standard input)")
    types = commands.add_parser("types", help="list the messages, enums and fields of a schema")
    types.add_argument("type", nargs="?", help="show only this message or enum")
    schema_options(types)
    return parser


def main(argv: list[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
        return _run(args)
    except CliError as exc:
        print(f"velum: error: {exc}", file=sys.stderr)
        return exc.code
    except KeyboardInterrupt:
        return 130
    except NotImplementedError as exc:
        print(f"velum: error: not available in this build: {exc}", file=sys.stderr)
        return BAD_DATA
    except BrokenPipeError:
        # The reader went away (`velum ... | head`); nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


def _run(args: argparse.Namespace) -> int:
    if args.command == "raw":
        try:
            _write_text(dump(_read_input(args.input)))
        except WireError as exc:
            raise CliError(f"malformed binary message: {exc}", BAD_DATA) from None
        return 0
    registry, files = _load_schema(args)
    if args.command == "types":
        _write_text(_describe(registry, files, args.type))
        return 0
    cls = _message_class(registry, args.type)
    data = _read_input(args.input)
    if args.command == "decode":
        message = _convert(lambda: cls.from_binary(data), "binary")
        text = _convert(lambda: message.to_json(registry=registry), "binary")
        indent = args.indent if args.indent is not None else (2 if sys.stdout.isatty() else None)
        if indent:
            text = json.dumps(json.loads(text), indent=indent, ensure_ascii=False)
        _write_text(text + "\n")
    else:
        message = _convert(lambda: cls.from_json(data, registry=registry), "JSON")
        encoded = _convert(lambda: message.to_binary(), "JSON")
        sys.stdout.buffer.write(encoded)
        sys.stdout.buffer.flush()
    return 0


def _convert(step: Any, what: str) -> Any:
    """Run a codec step; its failures are bad data."""
    try:
        return step()
    except (ValueError, TypeError, OverflowError, RecursionError) as exc:
        raise CliError(f"invalid {what} input: {exc}", BAD_DATA) from None


# Input and output


def _read_input(path: str | None) -> bytes:
    if path is None or path == "-":
        return sys.stdin.buffer.read()
    return _read_file(path, "input")


def _read_file(path: str, what: str) -> bytes:
    try:
        return Path(path).read_bytes()
    except OSError as exc:
        raise CliError(f"cannot read {what} {path}: {exc.strerror}", BAD_USAGE) from None


def _write_text(text: str) -> None:
    out: BinaryIO = sys.stdout.buffer
    out.write(text.encode("utf-8"))
    out.flush()


# Schemas


def _load_schema(args: argparse.Namespace) -> tuple[Registry, list[DescFile]]:
    if bool(args.descriptor_set) == bool(args.proto):
        raise CliError("give the schema with --descriptor-set FILE or --proto FILE", BAD_USAGE)
    if args.proto_path and not args.proto:
        raise CliError("-I only applies to --proto", BAD_USAGE)
    sets = [_read_file(path, "descriptor set") for path in args.descriptor_set]
    if args.proto:
        sets = [_compile(args.proto, args.proto_path or ["."])]
    registry = Registry()
    files: list[DescFile] = []
    for data in sets:
        try:
            files += registry.add_file_set(data)
        except (ValueError, KeyError) as exc:
            raise CliError(f"invalid descriptor set: {exc}", BAD_DATA) from None
    return registry, files


def _compile(protos: list[str], include: list[str]) -> bytes:
    try:
        import grpc_tools  # type: ignore[import-untyped]
        from grpc_tools import protoc
    except ImportError:
        raise CliError(
            "--proto needs protoc from the grpcio-tools package (pip install grpcio-tools); "
            "or pass a descriptor set with --descriptor-set",
            BAD_USAGE,
        ) from None
    bundled = Path(grpc_tools.__file__).parent / "_proto"
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp, "set.binpb")
        args = ["protoc", *(f"-I{d}" for d in include), f"-I{bundled}", "--include_imports"]
        # protoc prints its own one-line diagnostics on stderr.
        if protoc.main([*args, f"--descriptor_set_out={out}", *protos]) != 0:
            raise CliError("protoc could not compile " + ", ".join(protos), BAD_USAGE)
        return out.read_bytes()


def _message_class(registry: Registry, name: str) -> Any:
    desc = registry.message(name)
    if desc is None:
        raise CliError(f"unknown message type {name!r} (see `velum types`)", BAD_USAGE)
    return desc.type


# `velum types`


def _describe(registry: Registry, files: list[DescFile], only: str | None) -> str:
    if only is not None:
        found = registry.message(only) or registry.enum(only)
        if found is None:
            raise CliError(f"unknown type {only!r}", BAD_USAGE)
        return "\n".join(_describe_type(found)) + "\n"
    lines: list[str] = []
    for file in files:
        if file.name in WKT_FILE_NAMES:
            continue
        lines.append(f"file {file.name}")
        for enum_desc in file.enums:
            lines += _describe_type(enum_desc)
        for desc in file.messages:
            lines += _describe_type(desc)
        for ext in file.extensions:
            lines.append(f"extension {ext.name} = {ext.number} of {ext.extendee.type_name}")
    return "\n".join(lines) + ("\n" if lines else "")


def _describe_type(desc: DescMessage | DescEnum) -> list[str]:
    if isinstance(desc, DescEnum):
        kind = "enum" if desc.open else "enum (closed)"
        return [f"{kind} {desc.type_name}", *(f"  {v.name} = {v.number}" for v in desc.values)]
    lines = [f"message {desc.type_name}"]
    for field in desc.fields:
        label = _LABELS.get(field.presence, "") if field._requires_presence else ""
        oneof = f" (oneof {field.oneof.name})" if field.oneof else ""
        lines.append(f"  {field.name} = {field.number}: {label}{_field_type(field)}{oneof}")
    for nested_enum in desc.nested_enums:
        lines += _describe_type(nested_enum)
    for nested in desc.nested_messages:
        if not nested.is_map_entry:
            lines += _describe_type(nested)
    return lines


_LABELS = {Presence.EXPLICIT: "optional ", Presence.LEGACY_REQUIRED: "required "}


def _field_type(field: DescField) -> str:
    value = field.value
    if isinstance(value, _List):
        return f"repeated {_type_name(value.element)}"
    if isinstance(value, _Map):
        return f"map<{_type_name(value.key)}, {_type_name(value.value)}>"
    if isinstance(value, _Msg):
        return value.message.type_name
    if isinstance(value, _Enum):
        return value.enum.type_name
    assert isinstance(value, _Scalar)
    return _type_name(value.scalar)


def _type_name(target: ScalarType | DescEnum | DescMessage) -> str:
    if isinstance(target, ScalarType):
        return target.name.lower()
    return target.type_name
