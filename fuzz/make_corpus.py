"""Writes the seed corpus of fuzz/fuzz_decode.py into fuzz/corpus/ (run once, commit).

Each seed is one selector byte (see hostile_schema.check_input) followed by the
wire bytes of a message that touches a family of decoder paths.
"""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import hostile_schema  # noqa: E402


def seeds(registry) -> list[tuple[int, bytes]]:
    node = registry.message_class(hostile_schema.NODE)
    flat = registry.message_class(hostile_schema.FLAT)
    strict = registry.message_class(hostile_schema.STRICT)
    closed = registry.enum_class("velum.test.hostile2.Closed")
    open_ = registry.enum_class("velum.test.hostile3.Open")
    grp = node.Grp
    items = node.Items
    leaf = registry.message_class("velum.test.hostile2.Leaf")
    scalars = node(
        f_double=-0.0,
        f_float=1.5,
        f_int64=-(2**63),
        f_uint64=2**64 - 1,
        f_int32=-1,
        f_fixed64=2**64 - 1,
        f_fixed32=7,
        f_bool=True,
        f_string="h\u00e9llo",
        f_bytes=b"\x00\xff",
        f_uint32=2**32 - 1,
        f_sfixed32=-5,
        f_sfixed64=-6,
        f_sint32=-(2**31),
        f_sint64=2**63 - 1,
        f_closed=closed.CLOSED_NEG,
    )
    lists = node(
        r_int32=[1, -1, 300],
        r_sint64=[-1, 0, 1],
        r_double=[0.5, float("inf")],
        r_fixed32=[1, 2],
        r_bool=[True, False],
        r_closed=[closed.CLOSED_ONE],
        r_closed_packed=[closed.CLOSED_TWO, closed.CLOSED_ZERO],
        r_string=["", "x"],
        r_bytes=[b"", b"y"],
        r_leaf=[leaf(value=1), leaf(text="t")],
    )
    maps = node(
        m_int_str={1: "a", -2: ""},
        m_str_node={"k": node(f_int32=3)},
        m_bool_closed={True: closed.CLOSED_ONE},
        m_sint_bytes={-3: b"z"},
        m_fixed_double={9: 2.5},
        m_open={5: open_.OPEN_BIG},
    )
    groups = node(
        grp=grp(a=1, inner=node(f_int32=2), deeper=grp.Deeper(z=-9)),
        items=[items(name="a", tags=[closed.CLOSED_ONE]), items()],
    )
    chain = node()
    for depth in range(30):
        chain = node(child=chain, children=[node(f_sint32=depth)])
    oneofs = [
        node(choice=velum_oneof("o_int", 7)),
        node(choice=velum_oneof("o_string", "s")),
        node(choice=velum_oneof("o_leaf", leaf(value=3))),
        node(choice=velum_oneof("o_closed", closed.CLOSED_TWO)),
        node(choice=velum_oneof("ogroup", node.OGroup(g=4))),
    ]
    flat_msg = flat(
        i=-1,
        s="s",
        b=b"b",
        d=float("nan"),
        e=open_.OPEN_ONE,
        opt=0,
        es=[open_.OPEN_ZERO, 5],
        packed=[1, 2**32 - 1],
        m={"a": open_.OPEN_BIG},
        next=flat(i=2),
        pick=velum_oneof("p_enum", open_.OPEN_ONE),
    )
    ext = node(f_int32=1)
    ext[registry.extension("velum.test.hostile2.ext_int")] = 5
    ext[registry.extension("velum.test.hostile2.ext_strings")] = ["p", "q"]
    ext[registry.extension("velum.test.hostile2.ext_leaf")] = leaf(value=9)
    out: list[tuple[int, bytes]] = []
    for msg in (scalars, lists, maps, groups, chain, ext, *oneofs):
        data = msg.to_binary()
        out += [(0x00, data), (0x80, data), (0x10 | 0x20, data)]
    out += [(0x03, flat_msg.to_binary()), (0x04, strict(id=1, node=groups).to_binary())]
    handmade = [
        b"\x08\x96\x01",  # unknown field 1 on Flat
        b"\xb3\x01\x08\x01\xb4\x01",  # group 22 with an extra field
        b"\x83\x06\x08\x01\x84\x06",  # unknown group 96
        b"\x80\x01\x63",  # closed enum value 99 in f_closed
        b"\x92\x02\x03\x63\x01\x02",  # packed closed enum list with 99 inside
        b"\xd2\x02\x04\x08\x01\x10\x63",  # map bool->closed with unknown value
        b"\xa2\x01" * 5 + b"",  # truncated nested children
        b"\x0c",  # stray end group
        b"\x4a\x02\xc3\x28",  # invalid UTF-8
        b"\x18" + b"\xff" * 9 + b"\x01",  # int64 with bit 63
        bytes.fromhex("8883 8080 00 01"),  # padded tag
    ]
    out += [(0x00, data) for data in handmade] + [(0x80, data) for data in handmade]
    return out


def velum_oneof(field: str, value: object) -> object:
    import velum

    return velum.Oneof(field, value)


def main() -> None:
    corpus = HERE / "corpus"
    corpus.mkdir(exist_ok=True)
    registry = hostile_schema.load_registry()
    for selector, data in seeds(registry):
        unit = bytes([selector]) + data
        hostile_schema.check_input(registry, unit)
        (corpus / hashlib.sha1(unit).hexdigest()).write_bytes(unit)
    print(f"{len(list(corpus.iterdir()))} seeds in {corpus}")


if __name__ == "__main__":
    main()
