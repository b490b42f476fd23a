"""Regenerate python/velum/wkt_descriptors.binpb, the shipped well-known types.

Run with the project's interpreter (it needs grpcio-tools):
    .venv/bin/python tools/gen_wkt_descriptors.py
"""

from __future__ import annotations

import pathlib
import sys

import grpc_tools
from grpc_tools import protoc

FILES = (
    "google/protobuf/any.proto",
    "google/protobuf/timestamp.proto",
    "google/protobuf/duration.proto",
    "google/protobuf/field_mask.proto",
    "google/protobuf/struct.proto",
    "google/protobuf/wrappers.proto",
    "google/protobuf/empty.proto",
)
OUT = pathlib.Path(__file__).resolve().parent.parent / "python" / "velum" / "wkt_descriptors.binpb"


def main() -> int:
    include = pathlib.Path(grpc_tools.__file__).parent / "_proto"
    args = ["protoc", f"-I{include}", f"--descriptor_set_out={OUT}", *FILES]
    status = protoc.main(args)
    if status == 0:
        print(f"wrote {OUT} ({OUT.stat().st_size} bytes)")
    return status


if __name__ == "__main__":
    sys.exit(main())
