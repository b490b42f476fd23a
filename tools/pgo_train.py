"""The training run of the profile-guided build: every common operation on a general schema.

The build runs this against an instrumented extension and compiles the real one with the
counts it leaves, so what runs here is what the compiler lays out as hot. It mixes field
kinds, sizes and operations the way applications do and is not shaped after any benchmark.
It needs nothing beyond the velum sources and the extension: the schema is written here
with velum's own descriptor classes, not compiled by protoc.
"""

from __future__ import annotations

import copy
import random
import sys
from pathlib import Path
from typing import Any

import velum
import velum.wkt as wkt

T = {"double": 1, "float": 2, "int64": 3, "uint64": 4, "int32": 5, "fixed64": 6,
     "fixed32": 7, "bool": 8, "string": 9, "message": 11, "bytes": 12, "uint32": 13,
     "enum": 14, "sfixed32": 15, "sfixed64": 16, "sint32": 17, "sint64": 18}
OPTIONAL, REPEATED = 1, 3
SCALARS = ("double", "float", "int64", "uint64", "int32", "fixed64", "fixed32", "bool",
           "string", "bytes", "uint32", "sfixed32", "sfixed64", "sint32", "sint64")
WKT = {"stamp": "Timestamp", "span": "Duration", "extra": "Struct", "value": "Value",
       "any": "Any", "mask": "FieldMask", "count": "Int64Value", "label": "StringValue"}


def schema(d: Any) -> bytes:
    """A proto3 file: every scalar singly and repeated, nesting, maps, a oneof, an enum, WKTs."""
    fd, md = d.FieldDescriptorProto, d.DescriptorProto

    def field(name: str, number: int, kind: str, label: int = OPTIONAL,
              type_name: str = "", **kw: Any) -> Any:
        return fd(name=name, number=number, type=T[kind], label=label,
                  type_name=type_name, json_name=_camel(name), **kw)

    def entry(name: str, key: str, value: str, type_name: str = "") -> Any:
        return md(name=name, options=d.MessageOptions(map_entry=True), field=[
            field("key", 1, key), field("value", 2, value, type_name=type_name)])

    leaf = md(name="Leaf", field=[field("name", 1, "string"), field("amount", 2, "int64"),
                                  field("ratio", 3, "double"), field("on", 4, "bool")])
    fields = [field(f"f_{k}", i + 1, k) for i, k in enumerate(SCALARS)]
    fields += [field(f"r_{k}", i + 20, k, REPEATED) for i, k in enumerate(SCALARS)]
    fields += [
        field("leaf", 40, "message", type_name=".train.Leaf"),
        field("leaves", 41, "message", REPEATED, type_name=".train.Leaf"),
        field("child", 42, "message", type_name=".train.Sample"),
        field("state", 43, "enum", type_name=".train.State"),
        field("states", 44, "enum", REPEATED, type_name=".train.State"),
        field("by_name", 45, "message", REPEATED, type_name=".train.Sample.ByNameEntry"),
        field("leaf_map", 46, "message", REPEATED, type_name=".train.Sample.LeafMapEntry"),
        field("labels", 47, "message", REPEATED, type_name=".train.Sample.LabelsEntry"),
        field("text", 48, "string", oneof_index=0),
        field("number", 49, "int64", oneof_index=0),
        field("note", 50, "string", oneof_index=1, proto3_optional=True),
    ]
    fields += [field(n, 60 + i, "message", type_name=f".google.protobuf.{t}")
               for i, (n, t) in enumerate(WKT.items())]
    sample = md(name="Sample", field=fields, oneof_decl=[
        d.OneofDescriptorProto(name="choice"), d.OneofDescriptorProto(name="_note")],
        nested_type=[entry("ByNameEntry", "string", "int64"),
                     entry("LeafMapEntry", "string", "message", ".train.Leaf"),
                     entry("LabelsEntry", "int32", "string")])
    state = d.EnumDescriptorProto(name="State", value=[
        d.EnumValueDescriptorProto(name=n, number=i)
        for i, n in enumerate(("STATE_UNSPECIFIED", "STATE_OPEN", "STATE_DONE"))])
    deps = ["any", "duration", "field_mask", "struct", "timestamp", "wrappers"]
    file = d.FileDescriptorProto(
        name="train.proto", package="train", syntax="proto3", message_type=[leaf, sample],
        enum_type=[state], dependency=[f"google/protobuf/{n}.proto" for n in deps])
    return bytes(d.FileDescriptorSet(file=[file]).to_binary())


def _camel(name: str) -> str:
    head, *rest = name.split("_")
    return head + "".join(p.title() for p in rest)


def value(rng: random.Random, kind: str) -> Any:
    words = ("alpha", "delivery", "Zürich", "東京", "naïve", "🙂", "order", "")
    if kind in ("double", "float"):
        return rng.choice([0.0, 0.5, round(rng.uniform(-1e6, 1e6), rng.randrange(6)),
                           rng.uniform(0, 1), 1e-7 * rng.random(), 1e22])
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "string":
        return " ".join(rng.choice(words) for _ in range(rng.randrange(4)))
    if kind == "bytes":
        return rng.randbytes(rng.randrange(12))
    bits = 64 if "64" in kind else 32
    signed = kind.startswith(("int", "sint", "sfixed"))
    top = rng.choice([7, 14, 28, bits - 1 if signed else bits])
    n = rng.randrange(1 << top)
    return -n if signed and rng.random() < 0.3 else n


def sample(rng: random.Random, ns: Any, depth: int = 0) -> Any:
    def leaf() -> Any:
        return ns.Leaf(name=value(rng, "string"), amount=value(rng, "int64"),
                       ratio=value(rng, "double"), on=value(rng, "bool"))

    kw: dict[str, Any] = {f"f_{k}": value(rng, k) for k in SCALARS if rng.random() < 0.8}
    for k in SCALARS:
        if rng.random() < 0.5:
            kw[f"r_{k}"] = [value(rng, k) for _ in range(rng.randrange(1, 12))]
    kw["leaves"] = [leaf() for _ in range(rng.randrange(5))]
    kw["by_name"] = {f"k{i}": value(rng, "int64") for i in range(rng.randrange(6))}
    kw["leaf_map"] = {f"m{i}": leaf() for i in range(rng.randrange(3))}
    kw["labels"] = {value(rng, "int32"): value(rng, "string") for _ in range(rng.randrange(4))}
    kw["states"] = [rng.randrange(3) for _ in range(rng.randrange(3))]
    kw["choice"] = (velum.Oneof("text", value(rng, "string")) if rng.random() < 0.5
                    else velum.Oneof("number", value(rng, "int64")))
    kw["stamp"] = wkt.Timestamp(seconds=1_700_000_000 + rng.randrange(10**6),
                                nanos=rng.choice([0, 5 * 10**8, rng.randrange(10**9)]))
    kw["span"] = wkt.Duration(seconds=rng.randrange(100), nanos=rng.randrange(10**6) * 1000)
    kw["extra"] = wkt.Struct.from_dict({
        "path": "/v1/items", "code": rng.randrange(600), "ok": True, "none": None,
        "tags": ["a", value(rng, "string")], "geo": {"lat": 47.37, "lon": 8.54}})
    kw["value"] = wkt.Value.from_dict([1, "two", {"three": 3.5}])
    kw["any"] = wkt.Any(type_url="type.googleapis.com/train.Leaf", value=leaf().to_binary())
    kw["mask"] = wkt.FieldMask(paths=["leaf.name", "by_name"])
    kw["count"] = wkt.Int64Value(value=value(rng, "int64"))
    kw["label"] = wkt.StringValue(value=value(rng, "string"))
    if rng.random() < 0.5:
        kw["note"] = value(rng, "string")
    kw["leaf"], kw["state"] = leaf(), rng.randrange(3)
    if depth < 2 and rng.random() < 0.6:
        kw["child"] = sample(rng, ns, depth + 1)
    return ns.Sample(**kw)


def bulk(rng: random.Random, ns: Any) -> Any:
    """A large message: long packed arrays, long lists and big maps, whose loops the many
    short ones above would otherwise teach the compiler to expect short."""
    m = sample(rng, ns)
    for k in ("int64", "double", "int32", "uint64", "float", "sint32"):
        setattr(m, f"r_{k}", [value(rng, k) for _ in range(3000)])
    m.r_string = [value(rng, "string") for _ in range(600)]
    m.leaves = [ns.Leaf(name=value(rng, "string"), amount=i) for i in range(200)]
    m.by_name = {f"key{i}": value(rng, "int64") for i in range(400)}
    m.leaf_map = {f"leaf{i}": ns.Leaf(amount=i, ratio=0.25) for i in range(150)}
    m.labels = {i: value(rng, "string") for i in range(300)}
    return m


def main() -> None:
    here = Path(velum.__file__).parent
    meta = velum.Registry()
    meta.add_file_set((here / "plugin_descriptors.binpb").read_bytes())
    names = ("FileDescriptorSet", "FileDescriptorProto", "DescriptorProto",
             "FieldDescriptorProto", "OneofDescriptorProto", "EnumDescriptorProto",
             "EnumValueDescriptorProto", "MessageOptions")
    d = type("D", (), {n: meta.message_class(f"google.protobuf.{n}") for n in names})
    data = schema(d)
    wkt_set = (here / "wkt_descriptors.binpb").read_bytes()
    plugin_set = (here / "plugin_descriptors.binpb").read_bytes()
    for _ in range(20):  # loading schemas (proto3 and proto2) and building their classes
        registry = velum.Registry()
        files = registry.add_file_set(wkt_set) + registry.add_file_set(data)
        files += registry.add_file_set(plugin_set)
        for f in files:
            for message in f.messages:
                registry.message_class(message.type_name)
    ns = type("NS", (), {n: registry.message_class(f"train.{n}") for n in ("Leaf", "Sample")})
    rng = random.Random(20240611)
    msgs = [sample(rng, ns) for _ in range(40)] + [bulk(rng, ns) for _ in range(3)]
    for _ in range(30):
        for m in msgs:
            cls = type(m)
            b = m.to_binary()
            back = cls.from_binary(b)
            _ = back == m  # float fields round to single precision: not always equal
            text = m.to_json(registry=registry)
            cls.from_json(text, registry=registry)
            tree = m.to_dict(registry=registry)
            cls.from_dict(tree, registry=registry)
            copy.deepcopy(m)
            merged = cls()
            merged.merge_from(m)
    print(f"trained on {len(msgs)} messages, {sum(len(m.to_binary()) for m in msgs)} bytes",
          file=sys.stderr)


if __name__ == "__main__":
    main()
