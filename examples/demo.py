"""Load a schema at run time, build its classes, construct messages and show them.

Run with `make run`. The schema is compiled with the protoc bundled in grpcio-tools;
velum itself needs no protoc.
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
from pathlib import Path

import velum
import velum.wkt

SCHEMA = """
syntax = "proto3";
package shop;

import "google/protobuf/any.proto";
import "google/protobuf/struct.proto";
import "google/protobuf/timestamp.proto";

enum Status {
  STATUS_UNSPECIFIED = 0;
  STATUS_OPEN = 1;
  STATUS_SHIPPED = 2;
}

message Item {
  string name = 1;
  int64 cents = 2;
}

message Order {
  repeated Item items = 1;
  map<string, string> notes = 2;
  optional string coupon = 3;
  Status status = 4;
  google.protobuf.Timestamp placed = 5;
  oneof delivery {
    string address = 6;
    string pickup_store = 7;
  }
  google.protobuf.Struct extras = 8;
  google.protobuf.Any gift = 9;
}
"""


def compile_schema() -> bytes:
    with tempfile.TemporaryDirectory() as tmp:
        proto = Path(tmp, "shop.proto")
        proto.write_text(SCHEMA)
        out = Path(tmp, "shop.binpb")
        subprocess.run(
            [sys.executable, "-m", "grpc_tools.protoc", f"-I{tmp}", "--include_imports",
             f"--descriptor_set_out={out}", str(proto)],
            check=True,
        )  # fmt: skip
        return out.read_bytes()


def main() -> None:
    registry = velum.Registry()
    for file in registry.add_file_set(compile_schema()):
        print(f"loaded {file.name}: {[m.type_name for m in file.messages]}")

    Order = registry.message_class("shop.Order")
    Item = registry.message_class("shop.Item")
    Status = registry.enum_class("shop.Status")
    print("classes:", Order, Item, Status, "slots of Order:", Order.__slots__)

    order = Order(
        items=[Item(name="tea", cents=350), Item(name="cake", cents=420)],
        notes={"gift": "yes"},
        status=Status.STATUS_OPEN,
        placed=velum.wkt.Timestamp(seconds=1_700_000_000),
        delivery=velum.Oneof("address", "1 Main St"),
    )
    order.coupon = ""  # explicit presence: set although empty
    print(order)
    print("has coupon:", order.has_field("coupon"), "| delivery:", order.which_oneof("delivery"))
    order.clear_field("coupon")
    print("after clear_field('coupon'):", order.has_field("coupon"))
    print("open enum keeps unknown numbers:", repr(Status(7)))

    try:
        data = order.to_binary()
    except NotImplementedError as exc:
        print("binary encoding:", exc)
    else:
        print(f"binary: {len(data)} bytes: {data.hex()}")

    print("JSON:", order.to_json())
    print("JSON with proto names and enum numbers:",
          order.to_json(use_proto_field_name=True, print_enums_as_ints=True))  # fmt: skip
    print("as Python values:", order.to_dict())
    print("indented:")
    print(order.to_json_pretty(indent=2))

    # Well-known types have JSON forms of their own; an Any needs the registry.
    order.extras = velum.wkt.Struct.from_python({"rush": True, "floor": 3, "tags": ["fragile"]})
    order.gift = velum.wkt.Any.pack(Item(name="card", cents=0))
    text = order.to_json(registry=registry)
    print("JSON with a Timestamp, a Struct and an Any:", text)
    back = Order.from_json(text, registry=registry)
    print("read back:", back)
    print("read back equals the original:", back == order)


if __name__ == "__main__":
    main()
