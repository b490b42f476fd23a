"""Regenerate the descriptor sets shipped inside the package.

python/velum/wkt_descriptors.binpb     the well-known types
python/velum/plugin_descriptors.binpb  descriptor.proto and compiler/plugin.proto, which
                                       protoc-gen-velum reads its requests with

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
PLUGIN_FILES = ("google/protobuf/compiler/plugin.proto",)
PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "python" / "velum"
OUT = PACKAGE / "wkt_descriptors.binpb"
PLUGIN_OUT = PACKAGE / "plugin_descriptors.binpb"


def main() -> int:
    include = pathlib.Path(grpc_tools.__file__).parent / "_proto"
    for out, files, extra in ((OUT, FILES, []), (PLUGIN_OUT, PLUGIN_FILES, ["--include_imports"])):
        status = protoc.main(["protoc", f"-I{include}", f"--descriptor_set_out={out}", *extra, *files])
        if status != 0:
            return status
        print(f"wrote {out} ({out.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
