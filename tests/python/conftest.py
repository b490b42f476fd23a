"""Shared test helpers: compiled test schemas and a registry loaded with them.

    compile_protos("test_proto3.proto")  -> bytes of a FileDescriptorSet (imports included)
    compile_protos()                     -> every tests/protos/*.proto in one set
    load_user_schema("test_proto3.proto") -> a fresh registry with it, and its message names

Fixtures:
    file_set   the serialized FileDescriptorSet of every test proto
    registry   a velum.Registry with all test protos loaded (session-wide: do not add
               files to it; make your own Registry for that)
"""

from __future__ import annotations

import functools
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

PROTO_DIR = Path(__file__).resolve().parent.parent / "protos"


@functools.cache
def _out_dir() -> Path:
    return Path(tempfile.mkdtemp(prefix="velum-protos-"))


@functools.cache
def compile_protos(*names: str) -> bytes:
    """Compile .proto files of tests/protos with protoc into a FileDescriptorSet.

    Names are paths relative to tests/protos; without names every file is compiled.
    Results are cached for the session.
    """
    files = sorted(names) if names else sorted(p.name for p in PROTO_DIR.glob("*.proto"))
    out = _out_dir() / f"set{len(list(_out_dir().iterdir()))}.binpb"
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


@pytest.fixture(scope="session")
def file_set() -> bytes:
    return compile_protos()


@pytest.fixture(scope="session")
def registry(file_set: bytes):  # -> velum.Registry
    import velum

    reg = velum.Registry()
    reg.add_file_set(file_set)
    return reg


@pytest.fixture(scope="session")
def compiler():
    """The `compile_protos` function, for tests that want their own file sets."""
    return compile_protos


def load_user_schema(proto: str):  # -> tuple[velum.Registry, list[str]]
    """A fresh registry with `proto` (of tests/protos) loaded, and the full names of its
    message types that are neither map entries nor well-known types."""
    import velum

    registry = velum.Registry()
    registry.add_file_set(compile_protos(proto))
    names = [
        n for n, d in registry._messages.items()
        if not d.is_map_entry and not n.startswith("google.protobuf.")
    ]  # fmt: skip
    return registry, names


def diff_settings(examples: int) -> settings:
    """Hypothesis settings of the differential tests: derandomized so CI is reproducible;
    VELUM_DIFF_RANDOM=1 explores fresh seeds, VELUM_DIFF_SCALE=<factor> runs more examples."""
    return settings(
        max_examples=max(1, int(examples * float(os.environ.get("VELUM_DIFF_SCALE", "1")))),
        deadline=None,
        derandomize=not os.environ.get("VELUM_DIFF_RANDOM"),
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )
