"""Schema loading: a descriptor set into a fresh registry (velum) or pool (upb), side by side.

Two operations per schema set: `load` reads the set and makes its types findable
(`Registry().add_file_set` / `FileDescriptorSet.FromString` + `DescriptorPool.Add`);
`load + classes` also gets the class of every message type (`message_class` /
`GetMessageClass`). velum makes classes on first use, so the difference between the two
rows is what its class creation costs.
"""

from __future__ import annotations

import functools
import gc
import subprocess
import sys
import tempfile
from collections.abc import Callable
from itertools import repeat
from pathlib import Path
from typing import Any

from bench import impls
from bench.harness import Config, Outcome, measure

ROOT = Path(__file__).resolve().parent.parent
LOAD_OPERATIONS = ("load", "load + classes")


def _protoc(include: Path, files: list[str]) -> bytes:
    with tempfile.TemporaryDirectory(prefix="velum-bench-load-") as tmp:
        out = Path(tmp) / "set.binpb"
        subprocess.run(
            [sys.executable, "-m", "grpc_tools.protoc", f"-I{include}", "--include_imports",
             f"--descriptor_set_out={out}", *files],
            check=True, cwd=include,
        )
        return out.read_bytes()


def _bundled() -> Path:
    import grpc_tools  # type: ignore[import-untyped]

    return Path(grpc_tools.__file__).parent / "_proto"


def _generated(name: str, text: str) -> bytes:
    with tempfile.TemporaryDirectory(prefix="velum-bench-gen-") as tmp:
        (Path(tmp) / name).write_text(text)
        return _protoc(Path(tmp), [name])


def _enormous() -> str:
    """One proto2 message of 1000 long-named string fields with long defaults."""
    long = "o" * 100
    lines = ['syntax = "proto2";', "package gen.enormous;", "message Enormous {"]
    lines += [f'  optional string field_name_is_l{long}ng_{i} = {i} [default = "l{long}ng"];'
              for i in range(1, 1001)]
    return "\n".join([*lines, "}"])


def _many() -> str:
    """300 proto3 messages (a map, a oneof, a nested type each) and 60 enums."""
    lines = ['syntax = "proto3";', "package gen.many;"]
    for e in range(60):
        lines += [f"enum Kind{e} {{", *[f"  K{e}_V{v} = {v};" for v in range(12)], "}"]
    for m in range(300):
        refs = f"Msg{m - 1} prev = 8; repeated Msg{m - 1} children = 9;" if m else ""
        lines.append(
            f"message Msg{m} {{ string name = 1; int64 id = 2; repeated int32 values = 3; "
            f"Kind{m % 60} kind = 4; map<string, int64> attrs = 5; optional double score = 6; "
            f"bytes blob = 7; {refs} oneof choice {{ string text = 10; int32 count = 11; }} "
            "message Inner { bool flag = 1; uint32 n = 2; } Inner inner = 12; }"
        )
    return "\n".join(lines)


@functools.cache
def schema_sets() -> list[tuple[str, bytes]]:
    """The descriptor sets loaded, by label."""
    bundled = _bundled()
    every_bundled = sorted(str(p.relative_to(bundled)) for p in bundled.rglob("*.proto"))
    tests = ROOT / "tests" / "protos"
    return [
        ("descriptor.proto", _protoc(bundled, ["google/protobuf/descriptor.proto"])),
        ("protoc's bundled .proto files", _protoc(bundled, every_bundled)),
        ("tests/protos", _protoc(tests, sorted(p.name for p in tests.glob("*.proto")))),
        ("1000 fields with defaults", _generated("enormous.proto", _enormous())),
        ("300 messages, 60 enums", _generated("many.proto", _many())),
    ]


def _message_names(data: bytes) -> list[str]:
    from google.protobuf import descriptor_pb2  # type: ignore[import-untyped]

    names: list[str] = []

    def walk(prefix: str, messages: Any) -> None:
        for m in messages:
            if not m.options.map_entry:
                names.append(prefix + m.name)
                walk(f"{prefix}{m.name}.", m.nested_type)

    for f in descriptor_pb2.FileDescriptorSet.FromString(data).file:
        walk(f"{f.package}." if f.package else "", f.message_type)
    return names


def _velum(data: bytes, names: list[str]) -> Callable[[], object]:
    import velum  # type: ignore[import-untyped]

    velum.Registry()  # the well-known types are loaded once per process, not per registry

    def load() -> object:
        registry = velum.Registry()
        registry.add_file_set(data)
        for name in names:
            registry.message_class(name)
        return registry

    return load


def _upb(data: bytes, names: list[str]) -> Callable[[], object]:
    from google.protobuf import (  # type: ignore[import-untyped]
        descriptor_pb2,
        descriptor_pool,
        message_factory,
    )

    def load() -> object:
        pool = descriptor_pool.DescriptorPool()
        for proto in descriptor_pb2.FileDescriptorSet.FromString(data).file:
            pool.Add(proto)
        for name in names:
            message_factory.GetMessageClass(pool.FindMessageTypeByName(name))
        return pool

    return load


def _own_garbage_loop(f: Callable[[], object]) -> impls.Runner:
    """Samples of `f` that each free what they made, and only that.

    Both implementations run in one process, and a dropped schema (classes, descriptors and
    pools in reference cycles) may be freed only by the collector: left alone, one sample's
    schemas would be freed by whichever collection comes next, often in the other
    implementation's sample. So each sample starts with the collector run and everything
    still alive frozen, both untimed, and ends with a full collection, timed: it frees
    whatever the sample left in cycles, and, with the older objects frozen, scans no more
    than what the sample made.
    """

    def run(loops: int) -> float:
        gc.collect()
        gc.freeze()
        try:
            it = repeat(None, loops)
            t0 = impls.clock()
            for _ in it:
                f()
            gc.collect()
            return impls.clock() - t0
        finally:
            gc.unfreeze()

    return run


def _runner(make: Callable[[bytes, list[str]], Callable[[], object]],
            data: bytes, names: list[str]) -> Callable[[], impls.Runner]:
    def prepare() -> impls.Runner:
        return _own_garbage_loop(make(data, names))

    return prepare


def measure_loading(cfg: Config, with_velum: bool) -> list[dict[str, Any]]:
    """One row per (schema set, operation) with the velum and upb outcomes."""
    out = []
    for label, data in schema_sets():
        every = _message_names(data)
        for op in LOAD_OPERATIONS:
            names = every if op == "load + classes" else []
            print(f"  schema   {label}: {op}", file=sys.stderr, flush=True)
            runners = {"upb": _runner(_upb, data, names)}
            if with_velum:
                runners = {"velum": _runner(_velum, data, names), **runners}
            outcomes: dict[str, Outcome] = measure(runners, cfg)
            out.append({"schema": label, "size": len(data), "messages": len(every), "op": op,
                        "outcomes": outcomes})
    return out
