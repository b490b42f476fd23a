"""Writes the seed corpora of the fuzz targets (run once, commit).

fuzz/corpus/ (target decode): one selector byte (see hostile_schema.check_input)
followed by the wire bytes of a message that touches a family of decoder paths.
fuzz/corpus_json/ (target json): one selector byte (see hostile_json.check_json)
followed by JSON text, valid documents and the parser's edge cases.
fuzz/corpus_tree/ (target tree): inputs of hostile_tree.check_tree, the choices of
its tree builder; a fixed pseudo-random set that starts every type with an object.
"""

from __future__ import annotations

import hashlib
import random
import sys
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import hostile_json  # noqa: E402
import hostile_schema  # noqa: E402
import hostile_tree  # noqa: E402


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


# Selector nibbles of hostile_json.classes.
NODE, FLAT, STRICT, ANY, TIMESTAMP, DURATION, FIELD_MASK, STRUCT, VALUE, LIST_VALUE = range(10)
DOUBLE_VALUE, FLOAT_VALUE, INT64_VALUE, UINT32_VALUE, BYTES_VALUE, EMPTY = range(10, 16)
TYPE = "type.googleapis.com/"


def json_seeds(registry) -> list[tuple[int, str]]:
    """Valid documents of every form, then the parser's and the converters' edge cases."""
    docs: list[tuple[int, str]] = []
    for selector, data in seeds(registry):
        if selector == 0x00:
            try:
                msg = registry.message_class(hostile_schema.NODE).from_binary(data)
                docs.append((NODE, msg.to_json(registry=registry)))
            except ValueError:
                pass  # the hand-made invalid inputs
    docs.append((NODE, registry.message_class(hostile_schema.NODE)(
        m_str_node={"a": registry.message_class(hostile_schema.NODE)(f_int32=1)}
    ).to_json(registry=registry, always_emit_implicit=True)))
    deep = "{}"
    for _ in range(98):
        deep = '{"child":' + deep + "}"
    struct_deep = "1"
    for i in range(20):
        struct_deep = f'{{"k{i}":[{struct_deep},null]}}'
    any_node = f'{{"@type":"{TYPE}velum.test.hostile2.Node","fInt32":1,"child":{{"fString":"x"}}}}'
    docs += [
        (NODE, deep),
        (NODE, '{"child":' * 101 + "{}" + "}" * 101),
        (NODE, '{"fDouble":"NaN","fFloat":"-Infinity","fInt64":"-9223372036854775808",'
         '"fUint64":"18446744073709551615","fInt32":-2147483648,"fFixed64":"1e3",'
         '"fBool":true,"fString":"\\u00e9\\ud83d\\ude00\\n","fBytes":"AP8=",'
         '"fClosed":"CLOSED_NEG",'
         '"fUint32":4294967295,"fSfixed32":1.0,"fSint64":"-1","fDouble":1e308}'),
        (NODE, '{"f_int32":"5","fFloat":3.4028234e38,"fBytes":"-_8","fClosed":2,'
         '"rDouble":["Infinity",0.5,-0]}'),
        (NODE, '{"fFloat":3.4028235e38}'),
        (NODE, '{"mIntStr":{"1":"a","-2":""},"mBoolClosed":{"true":"CLOSED_ONE","false":0},'
         '"mSintBytes":{"-3":"eg=="},"mFixedDouble":{"9":2.5},'
         '"mOpen":{"18446744073709551615":"OPEN_BIG"},'
         '"mStrNode":{"k":{"mStrNode":{"":{}}}}}'),
        (NODE, '{"grp":{"a":1,"inner":{"fInt32":2},"deeper":{"z":"-9"}},'
         '"items":[{"name":"a","tags":["CLOSED_ONE",2]},{}]}'),
        (NODE, '{"oLeaf":{"value":3,"text":"t"}}'),
        (NODE, '{"oInt":1,"oString":"s"}'),
        (NODE, '{"oInt":null,"oString":"s"}'),
        (NODE, '{"fClosed":"NOPE","unknownField":[1,{"a":null}]}'),
        (NODE | 0x40, '{"fClosed":"NOPE","unknownField":[1,{"a":null}],'
         '"rClosed":[99,"CLOSED_ONE"]}'),
        (NODE, '{"[velum.test.hostile2.ext_int]":5,"[velum.test.hostile2.ext_strings]":["p","q"],'
         '"[velum.test.hostile2.ext_leaf]":{"value":9}}'),
        (NODE, '{"fInt32":1,"fInt32":2,"rInt32":[1],"rInt32":[2],'
         '"child":{"fInt32":1},"child":{"fString":"x"}}'),
        (NODE, '{"fInt32":null,"rInt32":null,"mIntStr":null,"child":null,"rInt32":[null]}'),
        (FLAT, '{"i":-1,"s":"s","b":"Yg==","d":"NaN","e":"OPEN_ONE","opt":0,"es":["OPEN_ZERO",5],'
         '"packed":[1,4294967295],"m":{"a":"OPEN_BIG"},"next":{"i":2},"pEnum":"OPEN_ONE"}'),
        (STRICT, '{"id":1,"node":{"fInt32":1}}'),
        (STRICT, "{}"),
        (ANY, any_node),
        (ANY, f'{{"fInt32":1,"@type":"{TYPE}velum.test.hostile2.Node"}}'),
        (ANY, f'{{"@type":"{TYPE}google.protobuf.Duration","value":"-1.5s"}}'),
        (ANY, f'{{"@type":"{TYPE}google.protobuf.Any","value":{any_node}}}'),
        (ANY, f'{{"@type":"{TYPE}google.protobuf.Struct","value":{{"a":[1,"b",null,true,{{}}]}}}}'),
        (ANY, f'{{"@type":"{TYPE}google.protobuf.Timestamp","value":"1970-01-01T00:00:00Z"}}'),
        (ANY, f'{{"@type":"{TYPE}google.protobuf.FieldMask","value":"a.b,cD"}}'),
        (ANY, f'{{"@type":"{TYPE}google.protobuf.Int64Value","value":"-9223372036854775808"}}'),
        (ANY, f'{{"@type":"{TYPE}no.Such"}}'),
        (ANY, '{"@type":"no-slash"}'),
        (ANY, "{}"),
        (TIMESTAMP, '"1970-01-01T00:00:00Z"'),
        (TIMESTAMP, '"9999-12-31T23:59:59.999999999Z"'),
        (TIMESTAMP, '"0001-01-01T00:00:00+01:00"'),
        (TIMESTAMP, '"2024-02-29T12:34:56.123-08:30"'),
        (DURATION, '"-315576000000.999999999s"'),
        (DURATION, '"315576000000s"'),
        (DURATION, '"-0.5s"'),
        (FIELD_MASK, '"a.b,cD,fooBarBaz"'),
        (FIELD_MASK, '""'),
        (STRUCT, struct_deep),
        (STRUCT, '{"a":{"b":{"c":[1.5,-0,1e-300,"NaN"]}},"n":null}'),
        (VALUE, "null"),
        (VALUE, '[[[[[[[[[[[]]]]]]]]]]]'),
        (VALUE, "1e308"),
        (LIST_VALUE, '[1,"a",true,null,{"x":[]}]'),
        (DOUBLE_VALUE, '"-Infinity"'),
        (DOUBLE_VALUE, "5e-324"),
        (FLOAT_VALUE, "3.4028236e38"),
        (INT64_VALUE, '"9223372036854775807"'),
        (INT64_VALUE, "9223372036854775808"),
        (UINT32_VALUE, "4294967296"),
        (BYTES_VALUE, '"_-8="'),
        (EMPTY, "{}"),
    ]
    edges = [
        "", " ", "{", "}", "{}x", "{}  \n", "[]", "null", '{"fInt32":1', '{"fInt32":1,}',
        '{"fInt32" 1}', '{fInt32:1}', '{"fInt32":01}', '{"fInt32":-}', '{"fInt32":1.5}',
        '{"fInt32":1e2}', '{"fInt32":-0}', '{"fInt32":1e999}', '{"fDouble":NaN}',
        '{"fDouble":Infinity}', '{"fDouble":-Infinity}', '{"fDouble":1e999}',
        '{"fInt64":123456789012345678901234567890}', '{"fString":"\\ud800"}',
        '{"fString":"\\udc00\\ud800x"}', '{"fString":"\\x"}', '{"fString":"\\u12"}',
        '{"fString":"a\tb"}', '{"fString":"' + "\\\\" * 50 + '"}', '{"rInt32":[1,]}',
        '{"rInt32":[1 2]}', '{"rString":"x"}', '{"mIntStr":{"x":"a"}}', '{"fBytes":"@@"}',
        '{"fBool":"true"}', '{"fClosed":true}', '{"child":[]}', "[" * 120 + "]" * 120,
        '{"fString":tru}', '{"fString":nul}', '{1:2}', "\ufeff{}",
    ]
    docs += [(NODE, text) for text in edges]
    docs += [(sel | 0x10, text) for sel, text in docs[:12]]  # as bytes
    docs += [(sel | 0x20, text) for sel, text in docs[12:20]]  # as bytearray
    # A lone surrogate: invalid UTF-8 as bytes, an unencodable str, or replaced.
    docs += [(NODE | flavour, '{"fString":"\udcff"}') for flavour in (0x00, 0x10, 0x80)]
    return docs


def main() -> None:
    registry = hostile_schema.load_registry()
    binary = (bytes([selector]) + data for selector, data in seeds(registry))
    write_seeds("corpus", binary, lambda unit: hostile_schema.check_input(registry, unit))
    text = (
        bytes([selector]) + text.encode("utf-8", "surrogatepass")
        for selector, text in json_seeds(registry)
    )
    write_seeds("corpus_json", text, lambda unit: hostile_json.check_json(registry, unit))
    write_seeds("corpus_tree", tree_units(), lambda unit: hostile_tree.check_tree(registry, unit))


def tree_units() -> Iterator[bytes]:
    chooser = random.Random(16)
    for index in range(96):
        # Selector, then an object (kind 0) of five members; the rest is random.
        body = bytes(chooser.randrange(256) for _ in range(chooser.randrange(8, 200)))
        yield bytes([index % 256, 0, 5]) + body


def write_seeds(name: str, units: Iterable[bytes], check: Callable[[bytes], None]) -> None:
    """Each unit is checked by its target's oracle, then stored under its hash."""
    corpus = HERE / name
    corpus.mkdir(exist_ok=True)
    for unit in units:
        check(unit)
        (corpus / hashlib.sha1(unit).hexdigest()).write_bytes(unit)
    print(f"{len(list(corpus.iterdir()))} seeds in {corpus}")


if __name__ == "__main__":
    main()
