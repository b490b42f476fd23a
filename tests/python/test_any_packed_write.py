"""An Any's payload written as JSON must come out exactly as decoding its bytes and writing
the decoded message would: plain payloads (scalars, enums, lists) are written straight from
the bytes, everything else is decoded first, and the two roads must never differ in text,
value tree or error.

The reference for every case is the payload class's own `from_binary` followed by its
`to_json` / `to_dict`, spliced behind "@type".
"""

from __future__ import annotations

import functools
import json
import struct
from typing import Any

import pytest
from conftest import compile_protos, diff_settings
from google.protobuf import descriptor_pb2, descriptor_pool, json_format, message_factory
from hypothesis import given
from hypothesis import strategies as st

import velum
from velum import wkt

P3 = "velum.test.packedany"
P2 = "velum.test.packedany2"
SETTINGS = diff_settings(150)
OPTIONS = [
    {},
    {"use_proto_field_name": True},
    {"print_enums_as_ints": True},
    {"always_emit_implicit": True},
]


@functools.cache
def data() -> bytes:
    return compile_protos("test_packed_any.proto", "test_packed_any_proto2.proto")


@functools.cache
def registry() -> velum.Registry:
    reg = velum.Registry()
    reg.add_file_set(data())
    return reg


@functools.cache
def pool() -> descriptor_pool.DescriptorPool:
    p = descriptor_pool.DescriptorPool()
    for file in descriptor_pb2.FileDescriptorSet.FromString(data()).file:
        p.Add(file)
    return p


def cls(name: str) -> Any:
    return registry().message_class(name)


# Wire records by hand: what protobuf would never write (repeats, unpacked lists, junk).

def varint(n: int) -> bytes:
    n &= (1 << 64) - 1
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def rec(number: int, wire: int, payload: bytes) -> bytes:
    return varint(number << 3 | wire) + payload


def vrec(number: int, n: int) -> bytes:
    return rec(number, 0, varint(n))


def lrec(number: int, body: bytes) -> bytes:
    return rec(number, 2, varint(len(body)) + body)


def outcome(fn: Any) -> tuple[str, Any]:
    try:
        return "ok", fn()
    except Exception as exc:  # the exact class and text are what is compared
        return type(exc).__name__, str(exc)


def check_any(type_name: str, value: bytes | bytearray, **options: Any) -> None:
    """The Any's text and tree against decode-then-write of the same bytes."""
    url = "type.googleapis.com/" + type_name
    any_msg = wkt.Any(type_url=url, value=value)
    reg = registry()

    def ref_text() -> str:
        inner = cls(type_name).from_binary(bytes(value)).to_json(registry=reg, **options)
        head = '{"@type":' + json.dumps(url)
        return head + ("}" if inner == "{}" else "," + inner[1:])

    def ref_tree() -> list[tuple[str, Any]]:
        inner = cls(type_name).from_binary(bytes(value)).to_dict(registry=reg, **options)
        return [("@type", url), *inner.items()]

    assert outcome(lambda: any_msg.to_json(registry=reg, **options)) == outcome(ref_text)
    got = outcome(lambda: list(any_msg.to_dict(registry=reg, **options).items()))
    assert got == outcome(ref_tree)


# Random plain payloads, through protobuf's encoder.

INT32 = st.integers(-(2**31), 2**31 - 1)
INT64 = st.integers(-(2**63), 2**63 - 1)
UINT32 = st.integers(0, 2**32 - 1)
UINT64 = st.integers(0, 2**64 - 1)
FLOAT32 = st.floats(width=32, allow_nan=True) | st.sampled_from([0.0, -0.0, 0.1, 1.5])
DOUBLE = st.floats(allow_nan=True) | st.sampled_from([0.0, -0.0, 1e-7, 123.25])
TEXT = st.text(max_size=6) | st.sampled_from(["", "é", "日本", "🚀", 'q"\\\n'])
MOOD = st.integers(0, 2) | st.sampled_from([-1, 7, 2**31 - 1])

PLAIN_FIELDS: dict[str, Any] = {
    "i32": INT32, "i64": INT64, "u32": UINT32, "u64": UINT64, "s32": INT32, "s64": INT64,
    "f32": UINT32, "f64": UINT64, "sf32": INT32, "sf64": INT64, "fl": FLOAT32, "db": DOUBLE,
    "flag": st.booleans(), "text": TEXT, "blob": st.binary(max_size=5), "mood": MOOD,
    "maybe": INT32, "maybe_text": TEXT,
}
PLAIN_LISTS: dict[str, Any] = {
    "ids": INT64, "values": DOUBLE, "names": TEXT, "blobs": st.binary(max_size=3),
    "moods": MOOD, "flags": st.booleans(), "deltas": INT32,
}


@st.composite
def plain_bytes(draw: st.DrawFn) -> bytes:
    msg = message_factory.GetMessageClass(pool().FindMessageTypeByName(f"{P3}.Plain"))()
    for name in draw(st.lists(st.sampled_from(sorted(PLAIN_FIELDS)), unique=True)):
        setattr(msg, name, draw(PLAIN_FIELDS[name]))
    for name in draw(st.lists(st.sampled_from(sorted(PLAIN_LISTS)), unique=True, max_size=4)):
        getattr(msg, name).extend(draw(st.lists(PLAIN_LISTS[name], max_size=3)))
    body: bytes = msg.SerializeToString()
    # Records protobuf does not write: a repeated singular (the last one wins), a list
    # element unpacked after packed ones, a zero explicitly on the wire.
    extra = draw(st.lists(st.sampled_from([
        vrec(1, 5), vrec(1, 0), vrec(16, 2), vrec(19, 3), lrec(14, b"late"), vrec(17, 0),
        lrec(19, varint(9) + varint(2**63)), vrec(23, 1), rec(12, 1, struct.pack("<d", -0.0)),
    ]), max_size=3))
    return body + b"".join(extra)


@SETTINGS
@given(plain_bytes(), st.sampled_from(OPTIONS))
def test_plain_payloads_match_decode_then_write(value: bytes, options: dict[str, Any]) -> None:
    check_any(f"{P3}.Plain", value, **options)


@SETTINGS
@given(plain_bytes())
def test_plain_payloads_agree_with_json_format(value: bytes) -> None:
    """Where json_format and velum agree on the payload alone, they agree on the Any."""
    type_name = f"{P3}.Plain"
    payload = message_factory.GetMessageClass(pool().FindMessageTypeByName(type_name))()
    payload.ParseFromString(value)
    expected = json_format.MessageToDict(payload, descriptor_pool=pool())
    got_payload = cls(type_name).from_binary(value).to_dict(registry=registry())
    if json.dumps(got_payload, sort_keys=True) != json.dumps(expected, sort_keys=True):
        return  # a documented difference of the payload itself (float32 text)
    any_msg = wkt.Any(type_url="type.googleapis.com/" + type_name, value=value)
    got = any_msg.to_dict(registry=registry())
    assert got.pop("@type") == "type.googleapis.com/" + type_name
    assert json.dumps(got, sort_keys=True) == json.dumps(expected, sort_keys=True)


# Bytes the short road must hand over to the decoder, and payloads it does not take.

LEGACY = f"{P2}.Legacy"
CASES: list[tuple[str, str, bytes | bytearray]] = [
    ("empty", f"{P3}.Plain", b""),
    ("unknown field", f"{P3}.Plain", vrec(1, 3) + vrec(99, 1)),
    ("misplaced wire type", f"{P3}.Plain", rec(1, 5, b"\0\0\0\0")),
    ("field number zero", f"{P3}.Plain", vrec(0, 1)),
    ("truncated varint", f"{P3}.Plain", b"\x08\x80"),
    ("truncated string", f"{P3}.Plain", b"\x72\x05ab"),
    ("invalid utf-8", f"{P3}.Plain", lrec(14, b"\xff\xfe")),
    ("invalid utf-8 in a list", f"{P3}.Plain", lrec(21, b"ok") + lrec(21, b"\xed\xa0\x80")),
    ("group record", f"{P3}.Plain", rec(1, 3, b"") + rec(1, 4, b"")),
    ("bytearray", f"{P3}.Plain", bytearray(vrec(1, 3) + lrec(14, b"x"))),
    ("message field", f"{P3}.WithChild", vrec(1, 1) + lrec(2, vrec(1, 2))),
    ("proto2 defaults unset", LEGACY, b""),
    ("proto2 defaults set", LEGACY, vrec(1, 7) + lrec(2, b"none") + vrec(6, 1)),
    ("closed enum known", LEGACY, vrec(3, 5) + vrec(4, 1) + lrec(4, varint(5))),
    ("closed enum unknown", LEGACY, vrec(3, 2) + vrec(1, 1)),
    ("closed enum unknown in a list", LEGACY, lrec(4, varint(1) + varint(3))),
    ("packed list unpacked", LEGACY, vrec(5, 1) + lrec(5, varint(2)) + vrec(5, 3)),
    ("extension", LEGACY, vrec(100, 4)),
    ("required missing", f"{P2}.Needs", vrec(2, 1)),
    ("required set", f"{P2}.Needs", vrec(1, 1)),
]


@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: ",".join(o) or "plain")
@pytest.mark.parametrize(("type_name", "value"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_edge_payloads_match_decode_then_write(type_name: str, value: bytes, options: Any) -> None:
    check_any(type_name, value, **options)


def test_registry_extension_of_payload_is_written() -> None:
    """An extension record in the payload is left to the decoder, whose walk names it."""
    any_msg = wkt.Any(type_url=f"type.googleapis.com/{LEGACY}", value=vrec(100, 4))
    assert f'"[{P2}.x_count]":4' in any_msg.to_json(registry=registry())


def test_payload_strings_are_not_shared_between_calls() -> None:
    """Nothing read from the bytes outlives a call: a changed value is read afresh."""
    reg = registry()
    any_msg = wkt.Any(type_url=f"type.googleapis.com/{P3}.Plain", value=lrec(14, "é".encode()))
    assert any_msg.to_dict(registry=reg)["text"] == "é"
    any_msg.value = lrec(14, b"z")
    url = f"type.googleapis.com/{P3}.Plain"
    assert any_msg.to_json(registry=reg) == f'{{"@type":"{url}","text":"z"}}'


# A plain payload's strings are copied into the text as UTF-8, while a decoded payload's
# strs are kept as they are: one text mixes both, at every width and around every length
# the result is filled in blocks of.

WIDTH_CHARS = ["a", "\xe9", "\u20ac", "\U0001f642", '"']


@pytest.mark.parametrize("inner", WIDTH_CHARS)
@pytest.mark.parametrize("outer", WIDTH_CHARS)
def test_payload_text_beside_kept_strings(inner: str, outer: str) -> None:
    plain, child = cls(f"{P3}.Plain"), cls(f"{P3}.WithChild")
    items: list[tuple[str, bytes]] = []
    for n in [0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33]:
        payload = plain(text=inner * n + "x", names=[outer * n, "ascii" * n])
        items.append((f"{P3}.Plain", payload.to_binary()))
        kept = plain(text=outer * n, names=[inner * n + "\\", "y" * n])
        items.append((f"{P3}.WithChild", child(a=n, child=kept).to_binary()))
    urls = ["type.googleapis.com/" + name for name, _ in items]
    batch = cls(f"{P3}.Batch")(
        items=[wkt.Any(type_url=url, value=v) for url, (_, v) in zip(urls, items, strict=True)])
    parts = []
    for url, (name, v) in zip(urls, items, strict=True):
        inner_text = cls(name).from_binary(v).to_json(registry=registry())
        parts.append('{"@type":' + json.dumps(url) + "," + inner_text[1:])
    assert batch.to_json(registry=registry()) == '{"items":[' + ",".join(parts) + "]}"


def test_type_urls_of_every_spelling_in_one_batch() -> None:
    """The "@type" member kept for the last URL is used only for that very str: URLs that
    need escapes or hold non-ASCII, and equal texts in other strs, come out as written."""
    plain = cls(f"{P3}.Plain")
    name = f"{P3}.Plain"
    shared = "type.googleapis.com/" + name
    urls = [shared, shared, 'a"b\\c/' + name, shared, "é.example/" + name,
            "".join(["type.googleapis.com/", name]), "x\u2028/" + name, shared]
    batch = cls(f"{P3}.Batch")(items=[
        wkt.Any(type_url=url, value=plain(i32=n, text="t").to_binary())
        for n, url in enumerate(urls)])
    inner = [plain(i32=n, text="t").to_json() for n in range(len(urls))]
    parts = ['{"@type":' + json.dumps(url, ensure_ascii=False) + "," + text[1:]
             for url, text in zip(urls, inner, strict=True)]
    assert batch.to_json(registry=registry()) == '{"items":[' + ",".join(parts) + "]}"
