"""Binary encoding: exact bytes, cross-checked against the protobuf package."""

from __future__ import annotations

import contextlib
import dataclasses
import math
import re

import pytest
from _velum_ext import NativeMessage, generic_setattr, initialize_message_type
from conftest import compile_protos
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

import velum
from velum._descriptors import DescFieldValueList, ScalarType

ORACLE = ("test_proto3.proto", "test_proto2.proto", "test_shapes.proto", "test_editions2023.proto")
F64_MINUS_ONE = b"\xff" * 9 + b"\x01"


class IntSub(int):
    pass


@pytest.fixture(scope="module")
def cls(registry):
    return lambda name: registry.message_class(f"velum.test.{name}")


@pytest.fixture(scope="module")
def pb():
    """The protobuf package's class for the same schema, as the reference."""
    pool = descriptor_pool.DescriptorPool()
    for file in descriptor_pb2.FileDescriptorSet.FromString(compile_protos(*ORACLE)).file:
        pool.Add(file)
    find = pool.FindMessageTypeByName
    return lambda name: message_factory.GetMessageClass(find(f"velum.test.{name}"))


def check(cls, pb, name: str, **values) -> bytes:
    data = cls(name)(**values).to_binary()
    assert data == pb(name)(**values).SerializeToString()
    return data


@contextlib.contextmanager
def raises(exc: type[BaseException], text: str):
    # The message matches exactly; a note saying where the error happened is not part of it.
    with pytest.raises(exc) as info:
        yield info
    assert re.fullmatch(text, str(info.value)), str(info.value)


# fmt: off
EXTREMES = [
    ("f_double", 1.5), ("f_double", -0.0), ("f_double", math.inf), ("f_double", -math.inf),
    ("f_double", 5e-324), ("f_double", 1.7976931348623157e308), ("f_float", -1.0),
    ("f_float", 3.4028234663852886e38), ("f_float", 1e-45), ("f_float", math.inf),
    ("f_int64", -(2**63)), ("f_int64", 2**63 - 1), ("f_int64", -1), ("f_uint64", 2**64 - 1),
    ("f_int32", -(2**31)), ("f_int32", 2**31 - 1), ("f_int32", -1), ("f_int32", 127),
    ("f_int32", 128), ("f_fixed64", 2**64 - 1), ("f_fixed32", 2**32 - 1), ("f_bool", True),
    ("f_string", "é\U0001f642"), ("f_string", "x" * 300), ("f_bytes", b"\x00\xff"),
    ("f_uint32", 2**32 - 1), ("f_sfixed32", -(2**31)), ("f_sfixed64", -(2**63)),
    ("f_sint32", -(2**31)), ("f_sint32", 2**31 - 1), ("f_sint64", -(2**63)),
    ("f_sint64", 2**63 - 1),
]
# fmt: on


class TestScalars:
    @pytest.mark.parametrize(("field", "value"), EXTREMES)
    @pytest.mark.parametrize("schema", ["proto3.Scalars", "proto2.Scalars"])
    def test_extremes_match_protobuf(self, cls, pb, schema, field, value):
        check(cls, pb, schema, **{field: value})

    def test_all_fields_in_one_message(self, cls, pb):
        values = dict(EXTREMES[::3]) | {"f_status": 2}
        data = check(cls, pb, "proto3.Scalars", **values)
        assert pb("proto3.Scalars").FromString(data) == pb("proto3.Scalars")(**values)

    def test_exact_bytes(self, cls):
        data = cls("proto3.Scalars")(f_int32=-1, f_string="hé", f_double=-0.0).to_binary()
        assert data == b"\x09" + bytes(7) + b"\x80\x28" + F64_MINUS_ONE + b"\x4a\x03h\xc3\xa9"

    @pytest.mark.parametrize(("value", "expected"), [(3, 3.0), (True, 1.0), (IntSub(7), 7.0)])
    def test_double_accepts_what_converts_to_float(self, cls, value, expected):
        scalars = cls("proto2.Scalars")
        assert scalars(f_double=value).to_binary() == scalars(f_double=expected).to_binary()

    def test_int_subclasses_and_enum_members_are_ints(self, cls, registry):
        done = registry.enum_class("velum.test.proto3.Status").STATUS_DONE
        msg = cls("proto3.Scalars")(f_int32=done, f_int64=IntSub(3), f_status=True)
        assert msg.to_binary() == b"\x18\x03\x28\x02\x98\x01\x01"


ZEROS = {"f_double": 0.0, "f_float": 0.0, "f_int64": 0, "f_bool": False, "f_string": ""}
# fmt: off
EXPLICIT = [
    ("proto2.Scalars", {"f_int32": 0, "f_string": ""}, b"\x28\x00\x4a\x00"),
    ("proto3.Optionals", {"o_int32": 0, "o_status": 0, "plain": 0}, b"\x08\x00\x18\x00"),
    ("proto3.Optionals", {"o_message": None}, b""),
    ("editions2023.Features", {"explicit_int": 0, "required_int": 0, "implicit_int": 0},
     b"\x08\x00\x18\x00"),
]
REQUIRED = [
    ("proto2.Required", {}, "sub"),  # fields are visited last to first
    ("proto2.Required", {"id": 1}, "sub"),
    ("proto2.Required", {"sub": "proto2.Scalars"}, "id"),
    ("editions2023.Features", {}, "required_int"),
]
# fmt: on


class TestPresence:
    @pytest.mark.parametrize("values", [{}, ZEROS | {"f_bytes": b"", "f_sint64": 0, "f_status": 0}])
    def test_implicit_defaults_are_skipped(self, cls, values):
        assert cls("proto3.Scalars")(**values).to_binary() == b""

    @pytest.mark.parametrize(
        ("values", "expected"),
        [
            ({"f_double": -0.0}, b"\x09" + bytes(7) + b"\x80"),
            ({"f_float": -0.0}, b"\x15" + bytes(3) + b"\x80"),
            ({"f_double": math.nan}, b"\x09" + bytes(6) + b"\xf8\x7f"),
        ],
    )
    def test_negative_zero_and_nan_are_not_defaults(self, cls, values, expected):
        assert cls("proto3.Scalars")(**values).to_binary() == expected

    @pytest.mark.parametrize(("name", "values", "expected"), EXPLICIT)
    def test_explicit_fields_follow_presence(self, cls, name, values, expected):
        assert cls(name)(**values).to_binary() == expected

    def test_value_without_presence_bit_is_not_written(self, cls):
        msg = cls("proto2.Scalars")()
        generic_setattr(msg, "f_int32", 5)
        assert msg.to_binary() == b""
        msg._set_field_number_present(5)
        assert msg.to_binary() == b"\x28\x05"

    @pytest.mark.parametrize(("name", "values", "field"), REQUIRED)
    def test_required_field_not_set(self, cls, name, values, field):
        values = {k: cls(v)() if k == "sub" else v for k, v in values.items()}
        with raises(ValueError, f"cannot encode {field} to binary: required field not set"):
            cls(name)(**values).to_binary()

    def test_required_fields_set(self, cls):
        msg = cls("proto2.Required")(id=0, sub=cls("proto2.Scalars")())
        assert msg.to_binary() == b"\x08\x00\x12\x00"


# fmt: off
LISTS = [
    ("proto3.Repeated", {"packed_int32": [0, 300, -5], "unpacked_int32": [1, -2],
                         "packed_double": [-0.0, 2.5], "statuses": [2, 0, 9], "strings": ["", "b"],
                         "blobs": [b"x"], "unpacked_sint64": [-1, 2**62]}),
    ("proto2.Repeated", {"unpacked": [1, 2], "packed": [3, -4], "colors": [1, 3],
                         "packed_colors": [2, 2]}),
    ("editions2023.Features", {"required_int": 1, "packed_ints": [1, 2], "expanded_ints": [3, 4]}),
]
MAP_ENTRIES = [
    ("int64_int64", (-1, 2**63 - 1)), ("uint64_uint64", (2**64 - 1, 0)),
    ("sint32_sint32", (-1, -2)), ("sint64_sint64", (-(2**63), 1)),
    ("fixed32_fixed32", (2**32 - 1, 1)),
    ("fixed64_fixed64", (1, 2**64 - 1)), ("sfixed32_sfixed32", (-1, -(2**31))),
    ("sfixed64_sfixed64", (-1, 5)), ("bool_bool", (True, False)), ("string_bytes", ("é", b"\x00")),
    ("string_double", ("d", -0.0)), ("string_float", ("f", 0.5)), ("string_status", ("s", 7)),
    ("uint32_uint32", (2**32 - 1, 0)),
]
# fmt: on


class TestShapes:
    def test_packed_minus_one(self, cls):
        msg = cls("proto3.Repeated")(packed_int32=[1, -1])
        assert msg.to_binary() == b"\x0a\x0b\x01" + F64_MINUS_ONE

    @pytest.mark.parametrize(("name", "values"), LISTS)
    def test_lists_match_protobuf(self, cls, pb, name, values):
        check(cls, pb, name, **values)

    def test_none_list_element_is_empty_message(self, cls):
        msg = cls("proto3.Repeated")(messages=[None, cls("proto3.Scalars")(f_int32=1)])
        assert msg.to_binary() == b"\x3a\x00\x3a\x02\x28\x01"

    def test_map_entries_in_reverse_dict_order_with_defaults(self, cls):
        data = cls("proto3.Maps")(int32_string={1: "a", 0: ""}).to_binary()
        assert data == b"\x0a\x04\x08\x00\x12\x00" + b"\x0a\x05\x08\x01\x12\x01a"

    @pytest.mark.parametrize(("field", "entry"), MAP_ENTRIES)
    def test_map_kinds_read_back_by_protobuf(self, cls, pb, field, entry):
        data = cls("proto3.Maps")(**{field: dict([entry])}).to_binary()
        assert dict(getattr(pb("proto3.Maps").FromString(data), field)) == dict([entry])

    def test_map_message_value_none_is_empty_message(self, cls):
        data = cls("proto3.Maps")(string_message={"k": None}).to_binary()
        assert data == b"\x8a\x01\x05\x0a\x01k\x12\x00"

    def test_descriptor_order_not_number_order(self, cls):
        data = cls("shapes.OutOfOrder")(five="5", one="1", three="3").to_binary()
        assert data == b"\x2a\x015\x0a\x011\x1a\x013"

    def test_groups(self, cls, pb):
        group = cls("proto2.WithGroup")
        msg = group(data=group.Data(a=1), item=[group.Item(name="x"), None])
        msg.plain = cls("proto2.Scalars")()
        assert msg.to_binary() == b"\x0b\x10\x01\x0c" + b"\x1b\x22\x01x\x1c" + b"\x1b\x1c\x2a\x00"
        assert group(data=None).to_binary() == b""
        assert pb("proto2.WithGroup").FromString(msg.to_binary()).item[0].name == "x"

    def test_delimited_editions_messages(self, cls, pb):
        child = cls("editions2023.Child")
        msg = cls("editions2023.Features")(required_int=1, delimited=child(value=2))
        msg.delimited_list = [child()]
        assert msg.to_binary() == b"\x18\x01\x53\x08\x02\x54\x5b\x5c"
        parsed = pb("editions2023.Features").FromString(msg.to_binary())
        assert (parsed.delimited.value, len(parsed.delimited_list)) == (2, 1)

    def test_non_packable_elements_keep_their_tags_even_when_flagged_packed(self, cls):
        # A hand-made descriptor may flag a string list as packed; a packed run of
        # strings could not be read back, so each element keeps its own tag.
        desc = cls("proto3.Repeated")._desc
        value = DescFieldValueList(ScalarType.STRING, packed=True)
        field = dataclasses.replace(desc._fields_by_name["strings"], value=value)
        handmade = dataclasses.replace(
            desc, fields=[field], _fields_by_name={"strings": field}, _oneofs_by_local_name={},
            _defaults=[("strings", [])], type=None,
        )  # fmt: skip
        namespace = {"__slots__": ("strings",), "_desc": handmade}
        klass = handmade.type = type("Handmade", (NativeMessage, velum.Message), namespace)
        initialize_message_type(klass)
        assert klass(strings=["a", "bc"]).to_binary() == b"\x2a\x01a\x2a\x02bc"


class TestUnknownFields:
    def test_written_after_known_fields_in_store_order(self, cls):
        msg = cls("proto3.Scalars")(f_int32=1)
        store = msg._get_or_init_unknown_fields()
        store[30] = [b"\xf0\x01\x02"]
        store[3] = [b"\x18\x07", b"\x88\x80\x00\x01"]
        assert msg.to_binary() == b"\x28\x01" + b"\xf0\x01\x02" + b"\x18\x07" + b"\x88\x80\x00\x01"
        assert msg.to_binary(write_unknown_fields=False) == b"\x28\x01"
        assert list(store) == [30, 3]

    def test_nested_records_follow_the_flag(self, cls):
        inner = cls("proto3.Scalars")()
        inner._get_or_init_unknown_fields()[50] = [b"\x90\x03\x01"]
        msg = cls("proto3.Optionals")(o_message=inner)
        assert msg.to_binary() == b"\x22\x03\x90\x03\x01"
        assert msg.to_binary(write_unknown_fields=False) == b"\x22\x00"

    @pytest.mark.parametrize(
        ("stored", "kind", "target"),
        [(b"\x08\x01", "bytes", "list"), ([b"\x08\x01", "x"], "str", "bytes")],
    )
    def test_store_values_are_type_checked(self, cls, stored, kind, target):
        msg = cls("proto3.Scalars")()
        msg._get_or_init_unknown_fields()[1] = stored
        with raises(TypeError, f"'{kind}' object is not an instance of '{target}'"):
            msg.to_binary()


class TestEnums:
    def test_closed_enum_rejects_unknown_numbers_open_accepts(self, cls):
        assert cls("proto3.Scalars")(f_status=7).to_binary() == b"\x98\x01\x07"
        assert cls("proto3.Scalars")(f_status=-1).to_binary() == b"\x98\x01" + F64_MINUS_ONE
        closed = [cls("proto2.Scalars")(f_color=7), cls("proto2.Repeated")(packed_colors=[1, 7])]
        for msg in closed:
            with raises(ValueError, "invalid enum value 7 for enum 'velum.test.proto2.Color'"):
                msg.to_binary()

    @pytest.mark.parametrize(
        ("value", "exc", "text"),
        [
            (2**31, OverflowError, "out of range integral type conversion attempted"),
            (2**70, OverflowError, "Python int too large to convert to C long"),
            ("x", TypeError, "'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_conversion_errors(self, cls, value, exc, text):
        with raises(exc, text):
            cls("proto3.Scalars")(f_status=value).to_binary()


def nested(klass, levels: int):
    msg = klass(value=1)
    for _ in range(levels):
        msg = klass(next=msg)
    return msg


class TestStructureErrors:
    def test_hundred_levels_encode_and_one_more_fails(self, cls):
        data = nested(cls("shapes.SelfRecursive"), 100).to_binary()
        assert len(data) == 2 + sum(2 if n < 128 else 3 for n in range(2, 202, 2))
        text = "exceeded maximum recursion depth 100 while serializing message"
        with raises(RecursionError, text):
            nested(cls("shapes.SelfRecursive"), 101).to_binary()

    def test_oneof_member_is_written_unconditionally(self, cls):
        with_oneof = cls("proto3.WithOneof")
        assert with_oneof(kind=velum.Oneof("number", 0)).to_binary() == b"\x10\x00"
        assert with_oneof(kind=velum.Oneof("message", None)).to_binary() == b"\x2a\x00"
        # A field of the type outside this oneof passes the check but selects nothing.
        assert with_oneof(kind=velum.Oneof("before", 1)).to_binary() == b""

    @pytest.mark.parametrize(
        ("value", "exc", "text"),
        [
            (5, TypeError, "expected Oneof, got '<class 'int'>'"),
            (velum.Oneof("nope", 1), ValueError, "unknown oneof field 'nope'"),
        ],
    )
    def test_oneof_checks(self, cls, value, exc, text):
        with pytest.raises(exc) as info:
            cls("proto3.WithOneof")(kind=value).to_binary()
        assert str(info.value) == text

    def test_nested_message_of_another_class(self, cls):
        with pytest.raises(TypeError) as info:
            cls("proto3.Optionals")(o_message=cls("proto3.Optionals")()).to_binary()
        scalars, optionals = "velum.test.proto3.Scalars", "velum.test.proto3.Optionals"
        assert str(info.value) == f"expected <class '{scalars}'>, got '<class '{optionals}'>'"


# fmt: off
SCALAR_ERRORS = [
    ("f_double", "x", TypeError, "expected float, got <class 'str'>"),
    ("f_double", 10**400, TypeError, "expected float, got <class 'int'>"),
    ("f_float", 1e39, OverflowError, "value 1e+39 out of range for float32"),
    ("f_int64", 2**63, OverflowError, "value 9223372036854775808 out of range for int64"),
    ("f_int64", True, TypeError, "expected int, got <class 'bool'>"),
    ("f_int64", 1.0, TypeError, "expected int, got <class 'float'>"),
    ("f_uint64", -1, OverflowError, "value -1 out of range for uint64"),
    ("f_uint64", 2**64, OverflowError, "value 18446744073709551616 out of range for uint64"),
    ("f_int32", -(2**31) - 1, OverflowError, "value -2147483649 out of range for int32"),
    ("f_uint32", 2**32, OverflowError, "value 4294967296 out of range for uint32"),
    ("f_uint32", -1, OverflowError, "value -1 out of range for uint32"),
    ("f_fixed64", -1, OverflowError, "can't convert negative int to unsigned"),
    ("f_fixed64", 2**64, OverflowError, "int too big to convert"),
    ("f_fixed32", -1, OverflowError, "out of range integral type conversion attempted"),
    ("f_fixed32", 2**64, OverflowError, "Python int too large to convert to C long"),
    ("f_sfixed32", 2**31, OverflowError, "out of range integral type conversion attempted"),
    ("f_sint32", "1", TypeError, "expected int, got <class 'str'>"),
    ("f_sint64", 2**63, OverflowError, "Python int too large to convert to C long"),
    ("f_sfixed64", -(2**63) - 1, OverflowError, "Python int too large to convert to C long"),
    ("f_bool", 1, TypeError, "expected bool, got <class 'int'>"),
    ("f_string", b"x", TypeError, "expected string, got <class 'bytes'>"),
    ("f_bytes", bytearray(b"x"), TypeError, "expected bytes, got <class 'bytearray'>"),
]
CONTAINER_ERRORS = [
    ("proto3.Repeated", {"packed_int32": (1,)}, "'tuple' object is not an instance of 'list'"),
    ("proto3.Maps", {"int32_string": [(1, "a")]}, "'list' object is not an instance of 'dict'"),
    ("proto3.Optionals", {"o_message": 5}, "'int' object is not an instance of 'NativeMessage'"),
    ("proto3.Repeated", {"messages": ["x"]}, "'str' object is not an instance of 'NativeMessage'"),
]
# fmt: on


class TestValueErrors:
    @pytest.mark.parametrize(("field", "value", "exc", "text"), SCALAR_ERRORS)
    def test_scalar_errors(self, cls, field, value, exc, text):
        with pytest.raises(exc) as info:
            cls("proto2.Scalars")(**{field: value}).to_binary()
        assert type(info.value) is exc and str(info.value) == text

    def test_unencodable_string_raises_the_interpreters_error(self, cls):
        with pytest.raises(UnicodeEncodeError):
            cls("proto2.Scalars")(f_string="\ud800").to_binary()

    def test_implicit_default_test_errors_propagate(self, cls):
        with raises(TypeError, "must be real number, not str"):
            cls("proto3.Scalars")(f_double="x").to_binary()

    @pytest.mark.parametrize(("name", "values", "text"), CONTAINER_ERRORS)
    def test_container_and_message_type_checks(self, cls, name, values, text):
        with raises(TypeError, text):
            cls(name)(**values).to_binary()


class Mutating:
    """A float whose conversion runs Python code against the container being encoded."""

    def __init__(self, action):
        self.action = action

    def __float__(self) -> float:
        self.action()
        return 1.0


class TestMutationDuringWalk:
    def test_map_changing_size(self, cls):
        values: dict[str, object] = {}
        values["a"] = Mutating(lambda: values.update(b=2.0))
        with raises(RuntimeError, "dictionary changed size during iteration"):
            cls("proto3.Maps")(string_double=values).to_binary()

    def test_map_keys_replaced(self, cls):
        values: dict[str, object] = {}
        values["a"] = Mutating(lambda: (values.pop("a"), values.update(c=3.0)))
        values["b"] = 2.0
        with raises(RuntimeError, "dictionary keys changed during iteration"):
            cls("proto3.Maps")(string_double=values).to_binary()

    def test_list_shrinking_is_safe(self, cls):
        values: list[object] = [2.0]
        values.append(Mutating(values.clear))
        data = cls("proto3.Repeated")(packed_double=values).to_binary()
        assert data == b"\x1a\x08" + bytes(6) + b"\xf0\x3f"
