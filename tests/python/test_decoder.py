"""Binary decoding: values, shapes, merge rules, errors and input buffers."""

from __future__ import annotations

import array
import contextlib
import math

import pytest
from _velum_ext import NativeMessage
from conftest import compile_protos
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

import velum

FILES = ("test_proto3.proto", "test_proto2.proto", "test_shapes.proto", "test_decoder_hooks.proto")
TEN_BYTE_MINUS_ONE = b"\xff" * 9 + b"\x01"
ONE_DOUBLE = b"\x00" * 6 + b"\xf0\x3f"
DEPTH_TEXT = "exceeded maximum recursion depth 100 while parsing message"


def varint(n: int) -> bytes:
    n &= 2**64 - 1
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def ld(field: int, payload: bytes) -> bytes:
    return varint(field << 3 | 2) + varint(len(payload)) + payload


def truncated(needed: int, remaining: int) -> str:
    return f"unexpected end of buffer: needed {needed} bytes but only {remaining} available"


@contextlib.contextmanager
def raises(exc: type[BaseException], text: str):
    # The message exactly; a note saying where the error happened is not part of it.
    with pytest.raises(exc) as info:
        yield info
    assert str(info.value) == text


def new_registry() -> velum.Registry:
    reg = velum.Registry()
    reg.add_file_set(compile_protos(*FILES))
    return reg


@pytest.fixture(scope="module")
def reg() -> velum.Registry:
    return new_registry()


@pytest.fixture(scope="module")
def cls(reg):
    return lambda name: reg.message_class(f"velum.test.{name}")


@pytest.fixture(scope="module")
def pb():
    """The protobuf package's class for the same schema, as the reference."""
    pool = descriptor_pool.DescriptorPool()
    for file in descriptor_pb2.FileDescriptorSet.FromString(compile_protos(*FILES)).file:
        pool.Add(file)
    return lambda name: message_factory.GetMessageClass(
        pool.FindMessageTypeByName(f"velum.test.{name}")
    )


# fmt: off
SCALARS = [
    ("f_double", 1.5), ("f_double", -0.0), ("f_double", math.inf), ("f_double", 5e-324),
    ("f_double", 1.7976931348623157e308), ("f_float", -1.0), ("f_float", 3.4028234663852886e38),
    ("f_float", 1e-45), ("f_float", 0.1), ("f_int64", -(2**63)), ("f_int64", 2**63 - 1),
    ("f_int64", -1), ("f_uint64", 2**64 - 1), ("f_int32", -(2**31)), ("f_int32", 2**31 - 1),
    ("f_int32", -1), ("f_int32", 127), ("f_int32", 128), ("f_fixed64", 2**64 - 1),
    ("f_fixed32", 2**32 - 1), ("f_bool", True), ("f_string", "é\U0001f642"),
    ("f_string", "x" * 300), ("f_bytes", b"\x00\xff"), ("f_uint32", 2**32 - 1),
    ("f_sfixed32", -(2**31)), ("f_sfixed64", -(2**63)), ("f_sint32", -(2**31)),
    ("f_sint32", 2**31 - 1), ("f_sint64", -(2**63)), ("f_sint64", 2**63 - 1),
]
# fmt: on


class TestScalars:
    @pytest.mark.parametrize("syntax", ["proto2", "proto3"])
    @pytest.mark.parametrize(("field", "value"), SCALARS)
    def test_value_matches_protobuf(self, cls, pb, syntax, field, value) -> None:
        data = pb(f"{syntax}.Scalars")(**{field: value}).SerializeToString()
        got = getattr(cls(f"{syntax}.Scalars").from_binary(data), field)
        expected = getattr(pb(f"{syntax}.Scalars").FromString(data), field)
        assert type(got) is type(expected)
        assert got == expected
        if isinstance(value, float):
            assert math.copysign(1, got) == math.copysign(1, expected)

    def test_every_field_at_once(self, cls, pb) -> None:
        values = {f: v for f, v in SCALARS}
        data = pb("proto3.Scalars")(**values, f_status=2).SerializeToString()
        m = cls("proto3.Scalars").from_binary(data)
        ref = pb("proto3.Scalars").FromString(data)
        for field in [*values, "f_status"]:
            assert getattr(m, field) == getattr(ref, field), field
        assert m._unknown_fields is None

    def test_nan(self, cls) -> None:
        m = cls("proto3.Scalars").from_binary(b"\x09" + b"\x00" * 6 + b"\xf8\x7f")
        assert math.isnan(m.f_double)

    @pytest.mark.parametrize(
        ("data", "expected"), [(b"\x40\x02", True), (b"\x40" + TEN_BYTE_MINUS_ONE, True),
                               (b"\x40\x80\x00", False)]
    )
    def test_bool_is_any_non_zero(self, cls, data, expected) -> None:
        assert cls("proto3.Scalars").from_binary(data).f_bool is expected

    def test_int32_takes_low_bits(self, cls) -> None:
        data = b"\x28" + varint(2**32 + 5) + b"\x68" + varint(2**33 - 1)
        m = cls("proto3.Scalars").from_binary(data)
        assert (m.f_int32, m.f_uint32) == (5, 2**32 - 1)

    def test_last_occurrence_wins_and_sets_presence(self, cls) -> None:
        m = cls("proto2.Scalars").from_binary(b"\x28\x01\x28\x02\x4a\x01a\x4a\x01b")
        assert (m.f_int32, m.f_string) == (2, "b")
        assert m._present == [5, 9]

    def test_implicit_fields_track_no_presence(self, cls) -> None:
        m = cls("proto3.Optionals").from_binary(b"\x08\x00\x28\x00")
        assert m._present == [1]
        assert (m.o_int32, m.plain) == (0, 0)

    def test_sparse_numbers(self, cls) -> None:
        m = cls("shapes.Sparse").from_binary(b"\xc0\x3e\x07\x10\x02")
        assert (m.thousand, m.two, m._unknown_fields) == (7, 2, None)

    def test_from_binary_skips_init(self, reg) -> None:
        leaf = reg.message_class("velum.test.decoder.Leaf")
        m = leaf.from_binary(b"")
        assert type(m) is leaf and m.value == 7 and m.items == []


class TestLists:
    @pytest.mark.parametrize(
        ("field", "data"),
        [
            ("unpacked_int32", ld(2, b"\x01\x02")),  # packed data, declared unpacked
            ("packed_int32", b"\x08\x01\x08\x02"),  # unpacked data, declared packed
            ("packed_int32", ld(1, b"\x01\x02")),
            ("unpacked_int32", b"\x10\x01\x10\x02"),
        ],
    )
    def test_both_forms_append(self, cls, field, data) -> None:
        m = cls("proto3.Repeated")(**{field: [0]})
        before = getattr(m, field)
        m._merge_from_binary(data, False)
        assert getattr(m, field) is before
        assert before == [0, 1, 2]

    def test_lists_match_protobuf(self, cls, pb) -> None:
        values = dict(
            packed_int32=[-1, 0, 2**31 - 1, *range(-50, 300)], unpacked_int32=[-(2**31), 5],
            packed_double=[1.5, -math.inf],
            statuses=[1, 2, 7], strings=["a", "", "é"], blobs=[b"", b"\x00"],
            unpacked_sint64=[-(2**63), 2**63 - 1],
        )
        ref = pb("proto3.Repeated")(**values, messages=[{"f_int32": 1}, {"f_string": "s"}])
        m = cls("proto3.Repeated").from_binary(ref.SerializeToString())
        for field, expected in values.items():
            assert getattr(m, field) == expected, field
        assert [(x.f_int32, x.f_string) for x in m.messages] == [(1, ""), (0, "s")]

    def test_packed_fixed_width_and_empty_payload(self, cls) -> None:
        m = cls("proto3.Repeated").from_binary(ld(3, ONE_DOUBLE) + ld(3, b""))
        assert m.packed_double == [1.0]

    @pytest.mark.parametrize(
        ("data", "text", "kept"),
        [
            (ld(1, b"\x01\x02\x80"), "invalid varint", [1, 2]),
            (ld(1, b"\x01" + b"\xff" * 10 + b"\x01"), "invalid varint", [1]),
            (ld(3, ONE_DOUBLE + b"\x00" * 3), truncated(8, 3), [1.0]),
            (ld(1, b"\x01" * 6 + b"\x80"), "invalid varint", [1] * 6),
            (ld(1, b"\x01" * 6 + b"\xff" * 10 + b"\x01"), "invalid varint", [1] * 6),
            (ld(3, ONE_DOUBLE * 5 + b"\x00" * 3), truncated(8, 3), [1.0] * 5),
        ],
    )
    def test_packed_failure_keeps_earlier_values(self, cls, data, text, kept) -> None:
        m = cls("proto3.Repeated")()
        with raises(ValueError, text):
            m._merge_from_binary(data, False)
        assert (m.packed_int32 or m.packed_double) == kept

    def test_stored_value_must_be_a_list(self, cls) -> None:
        m = cls("proto3.Repeated")(packed_int32=(1,))
        with raises(TypeError, "'tuple' object is not an instance of 'list'"):
            m._merge_from_binary(b"\x08\x01", False)

    def test_empty_slot(self, cls) -> None:
        m = NativeMessage.__new__(cls("proto3.Repeated"))
        with raises(AttributeError, "uninitialized slot"):
            m._merge_from_binary(b"\x08\x01", False)


class TestMessages:
    def test_repeated_occurrence_merges(self, cls) -> None:
        data = ld(2, b"\x0a\x01a" + ld(2, b"")) + ld(2, b"\x0a\x01b" + ld(2, b""))
        forest = cls("shapes.Forest").from_binary(data)
        assert forest.root.label == "b"
        assert len(forest.root.children) == 2

    def test_merge_keeps_the_instance(self, cls) -> None:
        m = cls("proto3.Outer").from_binary(ld(1, ld(1, b"\x08\x03")))
        inner = m.inner
        m._merge_from_binary(ld(1, b"\x10\x01"), False)
        assert m.inner is inner
        assert (inner.deepest.depth, inner.mood) == (3, 1)

    def test_list_elements_are_new_instances(self, cls) -> None:
        m = cls("proto3.Outer").from_binary(ld(2, b"\x10\x01") + ld(2, b""))
        assert [x.mood for x in m.inners] == [1, 0]

    @pytest.mark.parametrize(
        ("value", "target"), [(5, "NativeMessage"), ("deepest", "Inner")]
    )
    def test_merge_target_of_wrong_type(self, cls, value, target) -> None:
        m = cls("proto3.Outer")()
        m.inner = cls("proto3.Outer.Inner.Deepest")() if value == "deepest" else value
        name = type(m.inner).__name__
        with raises(TypeError, f"'{name}' object is not an instance of '{target}'"):
            m._merge_from_binary(ld(1, b"\x10\x01"), False)

    def test_explicit_message_presence(self, cls) -> None:
        m = cls("proto3.Optionals").from_binary(ld(4, b""))
        assert m.o_message is not None

    @pytest.mark.parametrize(("levels", "ok"), [(100, True), (101, False)])
    def test_nesting_limit(self, cls, levels, ok) -> None:
        data = b""
        for _ in range(levels):
            data = ld(1, data)
        if ok:
            m = cls("shapes.SelfRecursive").from_binary(data)
            for _ in range(levels):
                m = m.next
            assert m.next is None
        else:
            with raises(RecursionError, DEPTH_TEXT):
                cls("shapes.SelfRecursive").from_binary(data)


class TestOneofs:
    def test_member_replaces_member(self, cls) -> None:
        m = cls("proto3.WithOneof").from_binary(b"\x10\x05\x1a\x01t")
        assert (m.kind.field, m.kind.value) == ("text", "t")
        assert m._present == []

    def test_message_member_merges_only_into_itself(self, cls) -> None:
        m = cls("proto3.WithOneof").from_binary(ld(5, b"\x28\x01") + ld(5, b"\x4a\x01s"))
        assert (m.kind.field, m.kind.value.f_int32, m.kind.value.f_string) == ("message", 1, "s")
        m._merge_from_binary(b"\x10\x05" + ld(5, b"\x4a\x01z"), False)
        assert (m.kind.value.f_int32, m.kind.value.f_string) == (0, "z")


class TestMaps:
    def test_every_key_type_matches_protobuf(self, cls, pb) -> None:
        values = dict(
            int32_string={-1: "a", 2: ""}, int64_int64={-(2**63): 2**63 - 1},
            uint32_uint32={2**32 - 1: 1}, uint64_uint64={2**64 - 1: 0},
            sint32_sint32={-5: -6}, sint64_sint64={-(2**63): 1}, fixed32_fixed32={1: 2**32 - 1},
            fixed64_fixed64={2**64 - 1: 3}, sfixed32_sfixed32={-1: -2},
            sfixed64_sfixed64={-(2**63): -1}, bool_bool={True: False, False: True},
            string_string={"é": "x"}, string_bytes={"b": b"\xff"}, string_double={"d": -1.5},
            string_float={"f": 0.25}, string_status={"s": 2, "u": 9},
        )
        ref = pb("proto3.Maps")(**values, string_message={"m": {"f_int32": 4}})
        m = cls("proto3.Maps").from_binary(ref.SerializeToString())
        for field, expected in values.items():
            assert getattr(m, field) == expected, field
        assert m.string_message["m"].f_int32 == 4

    @pytest.mark.parametrize(
        ("entry", "field", "expected"),
        [
            (b"\x12\x01x", "int32_string", {0: "x"}),
            (b"\x08\x07", "int32_string", {7: ""}),
            (b"", "string_status", {"": 0}),
            (b"\x08\x01\x08\x02\x12\x01a\x12\x01b\x18\x05", "int32_string", {2: "b"}),
        ],
    )
    def test_missing_and_repeated_parts(self, cls, entry, field, expected) -> None:
        number = {"int32_string": 1, "string_status": 16}[field]
        m = cls("proto3.Maps").from_binary(ld(number, entry))
        assert getattr(m, field) == expected
        assert m._unknown_fields is None

    def test_missing_message_value_calls_the_class(self, reg) -> None:
        m = reg.message_class("velum.test.decoder.ClosedMaps").from_binary(ld(3, b"\x08\x05"))
        assert m.leaves[5].value == 7

    def test_repeated_key_keeps_last(self, cls) -> None:
        data = ld(1, b"\x08\x01\x12\x01a") + ld(1, b"\x08\x01\x12\x01b")
        m = cls("proto3.Maps").from_binary(data)
        assert m.int32_string == {1: "b"}

    @pytest.mark.parametrize(
        "entry",
        [b"\x0a\x01k\x12\x01v", b"\x08\x01\x15\x00\x00\x00\x00", b"\x08\x01\x10\x63"],
        ids=["key-wire-type", "value-wire-type", "closed-enum-value"],
    )
    def test_bad_entry_goes_whole_to_unknown(self, reg, entry) -> None:
        closed = reg.message_class("velum.test.decoder.ClosedMaps")
        padded_length = bytes([len(entry) | 0x80, 0x00])
        m = closed.from_binary(b"\x0a" + padded_length + entry)
        assert m.shades == {}
        assert m._unknown_fields == {1: [b"\x0a" + bytes([len(entry)]) + entry]}
        dropped = closed.from_binary(b"\x0a" + padded_length + entry, ignore_unknown_fields=True)
        assert dropped.shades == {} and dropped._unknown_fields is None

    def test_stored_value_must_be_a_dict(self, cls) -> None:
        m = cls("proto3.Maps")(int32_string=[])
        with raises(TypeError, "'list' object is not an instance of 'dict'"):
            m._merge_from_binary(ld(1, b""), False)


class TestEnums:
    @pytest.mark.parametrize(
        ("data", "field", "record"),
        [
            (b"\x98\x01\x63", "f_color", b"\x98\x01\x63"),
            (b"\x98\x81\x00\x63", "f_color", b"\x98\x01\x63"),  # the tag is re-encoded
            (b"\x98\x01" + TEN_BYTE_MINUS_ONE, "f_color", b"\x98\x01" + TEN_BYTE_MINUS_ONE),
        ],
    )
    def test_closed_unknown_number_singular(self, cls, data, field, record) -> None:
        m = cls("proto2.Scalars").from_binary(b"\x98\x01\x02" + data)
        assert getattr(m, field) == 2
        assert m._unknown_fields == {19: [record]}

    def test_closed_unknown_numbers_in_lists(self, cls) -> None:
        m = cls("proto2.Repeated").from_binary(b"\x18\x01\x18\x63" + ld(4, b"\x02\x63\x03\x58"))
        assert m.colors == [1] and m.packed_colors == [2, 3]
        assert m._unknown_fields == {3: [b"\x18\x63"], 4: [b"\x20\x63", b"\x20\x58"]}
        m = cls("proto2.Repeated").from_binary(ld(3, b"\x01\x63"), ignore_unknown_fields=True)
        assert m.colors == [1] and m._unknown_fields is None

    def test_open_unknown_number_goes_through_the_class(self, cls, reg) -> None:
        status = reg.enum_class("velum.test.proto3.Status")
        m = cls("proto3.Repeated").from_binary(b"\x20\x63" + ld(4, b"\x01\x07"))
        assert m.statuses == [99, 1, 7]
        assert all(type(x) is status for x in m.statuses)
        assert m.statuses[1] is status.STATUS_ACTIVE
        assert cls("proto3.Scalars").from_binary(b"\x98\x01" + TEN_BYTE_MINUS_ONE).f_status == -1


class TestGroups:
    def test_groups_match_protobuf(self, cls, pb) -> None:
        ref = pb("proto2.WithGroup")(data={"a": 3}, item=[{"name": "x"}, {}], plain={"f_int32": 1})
        m = cls("proto2.WithGroup").from_binary(ref.SerializeToString())
        assert (m.data.a, [i.name for i in m.item], m.plain.f_int32) == (3, ["x", ""], 1)

    def test_padded_end_tag(self, cls) -> None:
        m = cls("proto2.WithGroup").from_binary(b"\x0b\x10\x05\x8c\x00\x1b\x22\x01n\x9c\x80\x00")
        assert m.data.a == 5 and [i.name for i in m.item] == ["n"]
        assert m._unknown_fields is None and m.data._unknown_fields is None

    def test_group_body_keeps_nested_unknown_groups(self, cls) -> None:
        m = cls("proto2.WithGroup").from_binary(b"\x0b\x2b\x08\x01\x2c\x10\x05\x0c")
        assert m.data.a == 5
        assert m.data._unknown_fields == {5: [b"\x2b\x08\x01\x2c"]}

    def test_repeated_group_merges(self, cls) -> None:
        m = cls("proto2.WithGroup").from_binary(b"\x0b\x10\x05\x0c\x0b\x0c")
        assert m.data.a == 5


ERRORS = [
    (b"\x08" + b"\xff" * 9 + b"\x02", ValueError, "invalid varint"),
    (b"\x08\x80", ValueError, "invalid varint"),
    (b"\x80", ValueError, "invalid varint"),
    (b"\x00", ValueError, "invalid field number: 0"),
    (b"\x07", ValueError, "invalid field number: 0"),
    (b"\x0e", ValueError, "invalid wire type: 6"),
    (b"\xff\x01", ValueError, "invalid wire type: 7"),
    (b"\x09\x01\x02\x03", ValueError, truncated(8, 3)),
    (b"\x15\x01", ValueError, truncated(4, 1)),
    (b"\x4a\x05ab", ValueError, truncated(5, 2)),
    (b"\x0c", ValueError, "Unexpected end group tag for field 1"),
    (b"\xab\x02\x08\x01", ValueError, "Unterminated group in unknown field"),
    (b"\xab\x02\xb4\x02", ValueError, "mismatched group end tag: expected 37, got 38"),
]


class TestErrors:
    @pytest.mark.parametrize(("data", "exc", "text"), ERRORS)
    def test_message(self, cls, data, exc, text) -> None:
        with raises(exc, text):
            cls("proto3.Scalars").from_binary(data)

    @pytest.mark.parametrize(
        ("data", "text"),
        [
            (b"\x0b\x10\x01", "unterminated group"),
            (b"\x0b\x24", "mismatched group end tag: expected 1, got 4"),
            (b"\x0b\x1b\x0c", "mismatched group end tag: expected 3, got 1"),
            (b"\x0b\x16", "invalid wire type: 6"),
        ],
    )
    def test_group_scan(self, cls, data, text) -> None:
        with raises(ValueError, text):
            cls("proto2.WithGroup").from_binary(data)

    def test_map_entry_wire_type(self, cls) -> None:
        with raises(ValueError, "invalid wire type: 7"):
            cls("proto3.Maps").from_binary(ld(1, b"\x0f"))

    def test_invalid_utf8(self, cls) -> None:
        with pytest.raises(UnicodeDecodeError):
            cls("proto3.Scalars").from_binary(b"\x4a\x01\xff")

    def test_failure_keeps_earlier_fields(self, cls) -> None:
        m = cls("proto3.Scalars")()
        with raises(ValueError, "invalid varint"):
            m._merge_from_binary(b"\x28\x05\x4a\x03abc\x08\xff", False)
        assert (m.f_int32, m.f_string) == (5, "abc")


class TestInput:
    DATA = b"\x28\x05\x4a\x02hi"

    @pytest.mark.parametrize(
        "make",
        [
            bytes, bytearray, memoryview, lambda d: array.array("B", d),
            lambda d: memoryview(d).cast("c"), lambda d: memoryview(bytearray(d)),
            lambda d: memoryview(b"xx" + d)[2:],
        ],
        ids=["bytes", "bytearray", "memoryview", "array-B", "cast-c", "mv-bytearray", "slice"],
    )
    def test_byte_buffers(self, cls, make) -> None:
        m = cls("proto3.Scalars").from_binary(make(self.DATA))
        assert (m.f_int32, m.f_string) == (5, "hi")
        n = cls("proto3.Scalars")()
        n._merge_from_binary(make(self.DATA), False)
        assert n == m

    @pytest.mark.parametrize(
        ("data", "text"),
        [
            (array.array("i", [1]), "buffer contents are not compatible with u8"),
            (memoryview(b"ab").cast("b"), "buffer contents are not compatible with u8"),
            (memoryview(DATA + b"\x00")[::2], "buffer is not contiguous"),
        ],
    )
    def test_rejected_buffers(self, cls, data, text) -> None:
        with raises(BufferError, text):
            cls("proto3.Scalars").from_binary(data)

    @pytest.mark.parametrize("data", ["text", None, 5])
    def test_no_buffer_protocol(self, cls, data) -> None:
        with pytest.raises(TypeError, match="bytes-like object"):
            cls("proto3.Scalars").from_binary(data)


class TestPythonCodeDuringDecode:
    """Enum classes and __new__ run Python code; it must not pull the input away."""

    @pytest.fixture
    def hooked(self):
        return new_registry()  # its classes are patched below

    def payload(self) -> bytearray:
        return bytearray(b"\x08\x05" + ld(2, b"\x08\x01") + b"\x18\x09" + b"\x22\x04" + b"tail")

    @staticmethod
    def resize(data: bytearray, seen: list[str]) -> None:
        for grow in (lambda: data.clear(), lambda: data.extend(b"\x00" * 4096)):
            try:
                grow()
            except BufferError as exc:
                seen.append(str(exc))

    def check(self, msg) -> None:
        assert (msg.level, msg.leaf.value, msg.levels, msg.tail) == (5, 1, [9], "tail")

    def test_open_enum_hook(self, hooked) -> None:
        level = hooked.enum_class("velum.test.decoder.open.Level")
        data = self.payload()
        seen: list[str] = []
        original = level._missing_.__func__

        def missing(klass, value):
            TestPythonCodeDuringDecode.resize(data, seen)
            return original(klass, value)

        level._missing_ = classmethod(missing)
        self.check(hooked.message_class("velum.test.decoder.Hooked").from_binary(data))
        assert len(seen) == 4 and len(data) == 14

    def test_new_hook(self, hooked) -> None:
        leaf = hooked.message_class("velum.test.decoder.Leaf")
        data = self.payload()
        seen: list[str] = []

        def new(klass):
            TestPythonCodeDuringDecode.resize(data, seen)
            return NativeMessage.__new__(klass)

        leaf.__new__ = new
        target = hooked.message_class("velum.test.decoder.Hooked")()
        target._merge_from_binary(data, False)
        self.check(target)
        assert len(seen) == 2

    def test_new_returning_a_foreign_object(self, hooked) -> None:
        leaf = hooked.message_class("velum.test.decoder.Leaf")
        leaf.__new__ = lambda klass: object()
        with raises(TypeError, "'object' object is not an instance of 'NativeMessage'"):
            hooked.message_class("velum.test.decoder.Hooked").from_binary(ld(2, b""))
