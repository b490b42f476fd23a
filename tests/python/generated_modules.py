"""Runs protoc-gen-velum through grpc_tools.protoc, as a user would.

    generate(out_dir, ["test_proto3.proto"], extra_dirs=[...])  -> the protoc result

Also writes ACME_PROTO, a schema with awkward names and imports, into a directory.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

PROTO_DIR = Path(__file__).resolve().parent.parent / "protos"
ALL_PROTOS = sorted(p.name for p in PROTO_DIR.glob("*.proto"))

# A path with a directory and a hyphen, a keyword as a message name, a custom option
# (so descriptor.proto is a dependency), types of another file and a well-known type.
ACME_PROTO = """
syntax = "proto3";
package acme.shop;

import "google/protobuf/descriptor.proto";
import "google/protobuf/timestamp.proto";
import "test_proto3.proto";

extend google.protobuf.MessageOptions { string label = 50001; }

message None { int32 x = 1; Order Order = 2; }  // a field hiding a type's name

message Order {
  option (label) = "orders";
  message Line { string sku = 1; int32 qty = 2; }
  velum.test.proto3.Scalars scalars = 1;
  google.protobuf.Timestamp at = 2;
  oneof pay { string card = 3; int64 cash = 4; Line voucher = 9; }
  bytes int = 5;
  repeated Line lines = 6;
  map<string, velum.test.proto3.Status> states = 7;
  optional string note = 8;
  string self = 10;
}
"""


def write_acme(src: Path) -> str:
    path = src / "acme" / "shop-v1.proto"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(ACME_PROTO)
    return "acme/shop-v1.proto"


def plugin_command(tmp: Path) -> str:
    """The installed console script, else a wrapper running the module."""
    script = Path(sys.executable).parent / "protoc-gen-velum"
    if script.exists():
        return str(script)
    wrapper = tmp / "protoc-gen-velum"
    wrapper.write_text(f"#!/bin/sh\nexec {sys.executable} -m velum._plugin\n")
    wrapper.chmod(0o755)
    return str(wrapper)


def generate(
    out: Path, files: list[str], extra_dirs: tuple[Path, ...] = (), parameter: str = ""
) -> subprocess.CompletedProcess[str]:
    out.mkdir(parents=True, exist_ok=True)
    includes = [f"-I{d}" for d in (*extra_dirs, PROTO_DIR)]
    target = f"{parameter}:{out}" if parameter else str(out)
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "grpc_tools.protoc",
            *includes,
            f"--velum_out={target}",
            f"--plugin=protoc-gen-velum={plugin_command(out.parent)}",
            *files,
        ],
        capture_output=True,
        text=True,
        env=os.environ.copy(),
    )
