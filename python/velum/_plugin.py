"""protoc-gen-velum: the protoc plugin that writes a module and a stub per .proto file.

protoc sends a CodeGeneratorRequest on standard input and reads a
CodeGeneratorResponse from standard output. The request is read with velum itself,
through the descriptors of plugin.proto shipped in the package. Bad input is
reported in the response's error field, which protoc prints; the exit code stays 0.
"""

from __future__ import annotations

import functools
import sys
from typing import Any

from velum._codegen import module_source
from velum._generated import module_name_for, plugin_file_set
from velum._registry import Registry
from velum._stubs import module_stub

# CodeGeneratorResponse.Feature and the Edition enum of descriptor.proto
FEATURE_PROTO3_OPTIONAL = 1
FEATURE_SUPPORTS_EDITIONS = 2
EDITION_PROTO2 = 998
EDITION_2024 = 1001


@functools.cache
def _plugin_registry() -> Registry:
    registry = Registry()
    registry.add_file_set(plugin_file_set())
    return registry


def _message_class(name: str) -> Any:
    return _plugin_registry().message_class(name)


def generate(request_data: bytes) -> bytes:
    """The serialized response to a serialized CodeGeneratorRequest."""
    response_class = _message_class("google.protobuf.compiler.CodeGeneratorResponse")
    response = response_class(
        supported_features=FEATURE_PROTO3_OPTIONAL | FEATURE_SUPPORTS_EDITIONS,
        minimum_edition=EDITION_PROTO2,
        maximum_edition=EDITION_2024,
    )
    try:
        request = _message_class("google.protobuf.compiler.CodeGeneratorRequest").from_binary(
            request_data
        )
        response.file = [
            response_class.File(name=name, content=content) for name, content in _outputs(request)
        ]
    except Exception as exc:  # every failure goes back to protoc, which reports it
        response.error = f"protoc-gen-velum: {exc}"
    data: bytes = response.to_binary()
    return data


def _outputs(request: Any) -> list[tuple[str, str]]:
    if request.parameter:
        raise ValueError(f"unknown parameter {request.parameter!r} (the plugin takes none)")
    registry = Registry()
    for proto in request.proto_file:
        registry.add_file(proto.to_binary())
    outputs = []
    for name in request.file_to_generate:
        file = registry.file(name)
        if file is None:
            raise ValueError(f"{name} is to be generated but the request does not describe it")
        path = module_name_for(name).replace(".", "/")
        outputs.append((path + ".py", module_source(file)))
        outputs.append((path + ".pyi", module_stub(file)))
    return outputs


def main() -> int:
    sys.stdout.buffer.write(generate(sys.stdin.buffer.read()))
    sys.stdout.buffer.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
