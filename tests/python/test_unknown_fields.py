"""Unknown fields: capture by the decoder, the store, and byte-for-byte round trips."""

from __future__ import annotations

import re

import pytest
from conftest import compile_protos

import velum


def raises(exc: type[BaseException], text: str):
    return pytest.raises(exc, match=f"^{re.escape(text)}$")


@pytest.fixture(scope="module")
def cls():
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_proto3.proto", "test_shapes.proto", "test_proto2.proto"))
    return lambda name: reg.message_class(f"velum.test.{name}")


# One record of every wire type, as received (padding and all).
RECORDS = [
    pytest.param(b"\x28\x05", id="varint"),
    pytest.param(b"\x88\x80\x00\x01", id="padded-tag"),
    pytest.param(b"\x28\x80\x80\x00", id="padded-varint"),
    pytest.param(b"\x29" + bytes(range(8)), id="fixed64"),
    pytest.param(b"\x2d\x01\x02\x03\x04", id="fixed32"),
    pytest.param(b"\x2a\x83\x00abc", id="padded-length"),
    pytest.param(b"\x2b\x08\x01\x33\x38\x00\x34\x2c", id="nested-groups"),
    pytest.param(b"\xf8\xff\xff\xff\x0f\x01", id="largest-number"),
]


def number_of(record: bytes) -> int:
    tag, shift = 0, 0
    for byte in record:
        tag |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return tag >> 3
    raise AssertionError("no tag")


class TestCapture:
    @pytest.mark.parametrize("record", RECORDS)
    def test_record_kept_as_received(self, cls, record) -> None:
        m = cls("shapes.Empty").from_binary(record)
        assert m._unknown_fields == {number_of(record): [record]}

    @pytest.mark.parametrize("record", RECORDS)
    def test_ignored_records_create_no_store(self, cls, record) -> None:
        m = cls("shapes.Empty").from_binary(record, ignore_unknown_fields=True)
        assert m._unknown_fields is None

    def test_wrong_wire_type_of_a_known_field(self, cls) -> None:
        m = cls("proto3.Scalars")(f_string="old")
        m._merge_from_binary(b"\x48\x05", False)
        assert m.f_string == "old"
        assert m._unknown_fields == {9: [b"\x48\x05"]}
        m._merge_from_binary(b"\x48\x06", True)
        assert m._unknown_fields == {9: [b"\x48\x05"]}

    def test_order_of_numbers_and_records(self, cls) -> None:
        m = cls("proto3.Scalars").from_binary(b"\xc8\x01\x01\x28\x07\xc8\x01\x02")
        assert m.f_int32 == 7
        assert list(m._unknown_fields.items()) == [(25, [b"\xc8\x01\x01", b"\xc8\x01\x02"])]
        m = cls("shapes.Empty").from_binary(b"\x48\x01\x18\x02\x48\x03")
        nine, three = [b"\x48\x01", b"\x48\x03"], [b"\x18\x02"]
        assert list(m._unknown_fields.items()) == [(9, nine), (3, three)]
        assert m.to_binary() == b"\x48\x01\x48\x03\x18\x02"

    def test_nested_message_keeps_its_own(self, cls) -> None:
        m = cls("proto3.Outer").from_binary(b"\x0a\x02\x78\x01")
        assert m._unknown_fields is None
        assert m.inner._unknown_fields == {15: [b"\x78\x01"]}

    @pytest.mark.parametrize(("levels", "ok"), [(100, True), (101, False)])
    def test_skip_depth_of_unknown_groups(self, cls, levels, ok) -> None:
        data = b"\x2b" * levels + b"\x2c" * levels
        if ok:
            assert cls("shapes.Empty").from_binary(data)._unknown_fields == {5: [data]}
        else:
            text = "exceeded maximum recursion depth 100 while skipping field 5"
            with raises(RecursionError, text):
                cls("shapes.Empty").from_binary(data)


class TestStore:
    def test_fresh_instance(self, cls) -> None:
        m = cls("shapes.Empty")()
        assert m._unknown_fields is None
        store = m._get_or_init_unknown_fields()
        assert store == {}
        assert m._get_or_init_unknown_fields() is store
        assert m._unknown_fields is store

    def test_decoder_appends_to_the_existing_store(self, cls) -> None:
        m = cls("shapes.Empty")()
        store = m._get_or_init_unknown_fields()
        store[5] = [b"\x28\x01"]
        m._merge_from_binary(b"\x28\x02\x30\x03", False)
        assert m._unknown_fields is store
        assert store == {5: [b"\x28\x01", b"\x28\x02"], 6: [b"\x30\x03"]}

    def test_non_list_value(self, cls) -> None:
        m = cls("shapes.Empty")()
        m._get_or_init_unknown_fields()[5] = "oops"
        with raises(TypeError, "'str' object is not an instance of 'list'"):
            m._merge_from_binary(b"\x28\x02", False)
        m._merge_from_binary(b"\x28\x02", True)  # nothing captured, nothing checked

    def test_ignoring_leaves_an_existing_store_alone(self, cls) -> None:
        m = cls("shapes.Empty").from_binary(b"\x28\x01")
        m._merge_from_binary(b"\x28\x02", True)
        assert m._unknown_fields == {5: [b"\x28\x01"]}


class TestRoundTrip:
    @pytest.mark.parametrize("record", RECORDS)
    def test_byte_for_byte(self, cls, record) -> None:
        assert cls("shapes.Empty").from_binary(record).to_binary() == record

    def test_unknown_records_follow_known_fields(self, cls) -> None:
        m = cls("proto3.Scalars").from_binary(b"\x48\x01\xc8\x01\x09\x70\x03\x28\x05")
        assert m.to_binary() == b"\x28\x05\x48\x01\xc8\x01\x09\x70\x03"
        assert m.to_binary(write_unknown_fields=False) == b"\x28\x05"
        assert m._unknown_fields == {9: [b"\x48\x01"], 25: [b"\xc8\x01\x09"], 14: [b"\x70\x03"]}

    def test_closed_enum_records(self, cls) -> None:
        data = b"\x98\x01\x63" + b"\x22\x02\x63\x01"
        m = cls("proto2.Repeated").from_binary(data[3:])
        assert m.to_binary() == b"\x22\x01\x01\x20\x63"
        assert cls("proto2.Scalars").from_binary(data[:3]).to_binary() == data[:3]
