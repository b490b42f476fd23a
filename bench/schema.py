"""Compiling the workload schemas and building message classes from them."""

from __future__ import annotations

import functools
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

PROTO_DIR = Path(__file__).resolve().parent / "protos"


@functools.cache
def file_set() -> bytes:
    """The FileDescriptorSet of every bench/protos/*.proto, compiled with grpc_tools' protoc."""
    files = sorted(p.name for p in PROTO_DIR.glob("*.proto"))
    with tempfile.TemporaryDirectory(prefix="velum-bench-") as tmp:
        out = Path(tmp) / "bench.binpb"
        subprocess.run(
            [
                sys.executable,
                "-m",
                "grpc_tools.protoc",
                f"-I{PROTO_DIR}",
                "--include_imports",
                f"--descriptor_set_out={out}",
                *files,
            ],
            check=True,
            cwd=PROTO_DIR,
        )
        return out.read_bytes()


class ProtobufSchema:
    """protobuf classes built from the descriptor set (whichever backend is loaded)."""

    def __init__(self, data: bytes) -> None:
        from google.protobuf import (  # type: ignore[import-untyped]
            descriptor_pb2,
            descriptor_pool,
            message_factory,
        )

        fds = descriptor_pb2.FileDescriptorSet.FromString(data)
        self.pool = descriptor_pool.DescriptorPool()
        for proto in fds.file:
            self.pool.Add(proto)
        self._factory = message_factory
        self._classes: dict[str, Any] = {}

    def descriptor(self, full_name: str) -> Any:
        return self.pool.FindMessageTypeByName(full_name)

    def message_class(self, full_name: str) -> Any:
        cls = self._classes.get(full_name)
        if cls is None:
            cls = self._factory.GetMessageClass(self.descriptor(full_name))
            self._classes[full_name] = cls
        return cls


class VelumSchema:
    def __init__(self, data: bytes) -> None:
        import velum  # type: ignore[import-untyped]

        self.registry = velum.Registry()
        self.registry.add_file_set(data)

    def message_class(self, full_name: str) -> Any:
        return self.registry.message_class(full_name)


def protobuf_versions() -> dict[str, str]:
    from google.protobuf import __version__  # type: ignore[import-untyped]
    from google.protobuf.internal import api_implementation  # type: ignore[import-untyped]

    return {"protobuf": __version__, "backend": api_implementation.Type()}
