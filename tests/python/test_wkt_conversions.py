"""The Python conversions of the well-known types, checked against the protobuf
package's own helpers where the two overlap (through the binary form)."""

from __future__ import annotations

import math
from datetime import UTC, datetime, timedelta, timezone
from types import SimpleNamespace
from typing import Any as AnyType

import pytest
from google.protobuf import any_pb2, duration_pb2, field_mask_pb2, struct_pb2, timestamp_pb2
from hypothesis import given, settings
from hypothesis import strategies as st

import velum
from velum.wkt import Any, Duration, FieldMask, ListValue, NullValue, Struct, Timestamp, Value

SETTINGS = settings(max_examples=200, derandomize=True, deadline=None)

# Timestamp

datetimes = st.datetimes(
    min_value=datetime(1, 1, 2), max_value=datetime(9999, 12, 30), timezones=st.just(UTC)
)


@SETTINGS
@given(datetimes)
def test_timestamp_from_datetime_matches_protobuf(dt: datetime) -> None:
    ours = Timestamp.from_datetime(dt)
    theirs = timestamp_pb2.Timestamp()
    theirs.FromDatetime(dt)
    assert (ours.seconds, ours.nanos) == (theirs.seconds, theirs.nanos)
    assert ours.to_datetime() == dt
    assert ours.to_datetime().tzinfo is UTC


@pytest.mark.parametrize(
    ("dt", "seconds", "nanos"),
    [
        (datetime(1970, 1, 1), 0, 0),  # naive is UTC
        (datetime(1969, 12, 31, 23, 59, 59, 500000), -1, 500000000),
        (datetime(1970, 1, 1, 1, tzinfo=timezone(timedelta(hours=1))), 0, 0),
        (datetime(1, 1, 1, tzinfo=UTC), -62135596800, 0),
        (datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), 253402300799, 999999000),
    ],
)
def test_timestamp_from_datetime(dt: datetime, seconds: int, nanos: int) -> None:
    ts = Timestamp.from_datetime(dt)
    assert (ts.seconds, ts.nanos) == (seconds, nanos)


def test_timestamp_to_datetime_truncates_and_converts() -> None:
    ts = Timestamp(seconds=-1, nanos=999999999)
    assert ts.to_datetime() == datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)
    plus2 = timezone(timedelta(hours=2))
    local = Timestamp(seconds=0).to_datetime(plus2)
    assert local.tzinfo is plus2 and local.hour == 2


@pytest.mark.parametrize(
    ("seconds", "nanos", "exc", "message"),
    [
        (-62135596801, 0, ValueError, "timestamp seconds out of range"),
        (253402300800, 0, ValueError, "timestamp seconds out of range"),
        (0, -1, ValueError, "timestamp nanos out of range"),
        (0, 1000000000, ValueError, "timestamp nanos out of range"),
        ("0", 0, TypeError, "expected int for seconds, got str"),
        (0, 1.5, TypeError, "expected int for nanos, got float"),
    ],
)
def test_timestamp_to_datetime_refuses(
    seconds: AnyType, nanos: AnyType, exc: type, message: str
) -> None:
    with pytest.raises(exc, match=f"^{message}$"):
        Timestamp(seconds=seconds, nanos=nanos).to_datetime()


def test_timestamp_from_datetime_refuses_other_types() -> None:
    with pytest.raises(TypeError, match="'date' object is not an instance of 'datetime'"):
        Timestamp.from_datetime(datetime(2000, 1, 1).date())


def test_timestamp_now() -> None:
    before = datetime.now(UTC)
    now = Timestamp.now()
    after = datetime.now(UTC)
    assert type(now) is Timestamp and 0 <= now.nanos <= 999999999
    assert before - timedelta(microseconds=1) <= now.to_datetime() <= after


# Duration

timedeltas = st.timedeltas(min_value=timedelta(days=-3652500), max_value=timedelta(days=3652500))


@SETTINGS
@given(timedeltas)
def test_duration_matches_protobuf(td: timedelta) -> None:
    ours = Duration.from_timedelta(td)
    theirs = duration_pb2.Duration()
    theirs.FromTimedelta(td)
    assert (ours.seconds, ours.nanos) == (theirs.seconds, theirs.nanos)
    assert ours.to_timedelta() == td == theirs.ToTimedelta()


@pytest.mark.parametrize(
    ("td", "seconds", "nanos"),
    [
        (timedelta(seconds=-1.5), -1, -500000000),
        (timedelta(microseconds=-1), 0, -1000),
        (timedelta(days=1, microseconds=1), 86400, 1000),
        (timedelta(0), 0, 0),
    ],
)
def test_duration_signs_agree(td: timedelta, seconds: int, nanos: int) -> None:
    d = Duration.from_timedelta(td)
    assert (d.seconds, d.nanos) == (seconds, nanos)


@pytest.mark.parametrize(
    ("seconds", "nanos", "expected"),
    [
        (0, -1999, timedelta(microseconds=-1)),  # toward zero, like protobuf
        (0, 1999, timedelta(microseconds=1)),
        (-315576000000, -999999999, timedelta(seconds=-315576000000, microseconds=-999999)),
    ],
)
def test_duration_to_timedelta_truncates_toward_zero(
    seconds: int, nanos: int, expected: timedelta
) -> None:
    assert Duration(seconds=seconds, nanos=nanos).to_timedelta() == expected
    theirs = duration_pb2.Duration(seconds=seconds, nanos=nanos)
    assert theirs.ToTimedelta() == expected


@pytest.mark.parametrize(
    ("seconds", "nanos", "message"),
    [
        (315576000001, 0, "duration seconds out of range"),
        (0, -1000000000, "duration nanos out of range"),
        (1, -1, "duration seconds and nanos have different signs"),
        (-1, 1, "duration seconds and nanos have different signs"),
    ],
)
def test_duration_to_timedelta_refuses(seconds: int, nanos: int, message: str) -> None:
    with pytest.raises(ValueError, match=f"^{message}$"):
        Duration(seconds=seconds, nanos=nanos).to_timedelta()


# Struct, Value, ListValue

json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.floats(allow_nan=False)
    | st.integers(min_value=-(2**53), max_value=2**53)
    | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
    max_leaves=20,
)


def _plain(obj: AnyType) -> AnyType:
    """What a Value gives back: numbers as float, tuples as lists."""
    if isinstance(obj, bool) or obj is None or isinstance(obj, str):
        return obj
    if isinstance(obj, int | float):
        return float(obj)
    if isinstance(obj, dict):
        return {k: _plain(v) for k, v in obj.items()}
    return [_plain(v) for v in obj]


@SETTINGS
@given(st.dictionaries(st.text(), json_values, max_size=5))
def test_struct_matches_protobuf(data: dict[str, AnyType]) -> None:
    ours = Struct.from_python(data)
    theirs = struct_pb2.Struct()
    theirs.update(data)
    assert struct_pb2.Struct.FromString(ours.to_binary()) == theirs
    assert Struct.from_binary(theirs.SerializeToString()).to_python() == _plain(data)
    assert ours.to_python() == _plain(data)


@SETTINGS
@given(st.lists(json_values, max_size=5))
def test_list_value_matches_protobuf(data: list[AnyType]) -> None:
    ours = ListValue.from_python(data)
    theirs = struct_pb2.ListValue()
    theirs.extend(data)
    assert struct_pb2.ListValue.FromString(ours.to_binary()) == theirs
    assert ours.to_python() == _plain(data)


@pytest.mark.parametrize(
    ("obj", "field", "held"),
    [
        (None, "null_value", NullValue.NULL_VALUE),  # type: ignore[attr-defined]
        (True, "bool_value", True),
        (1, "number_value", 1.0),
        (2.5, "number_value", 2.5),
        ("x", "string_value", "x"),
    ],
)
def test_value_scalar_kinds(obj: AnyType, field: str, held: AnyType) -> None:
    value = Value.from_python(obj)
    assert value.kind.field == field
    assert value.kind.value == held and type(value.kind.value) is type(held)
    assert Value.from_python(obj).to_python() == _plain(obj)


def test_value_containers_and_messages() -> None:
    nested = Value.from_python({"a": (1, [None, {"b": "c"}])})
    assert nested.kind.field == "struct_value"
    assert nested.to_python() == {"a": [1.0, [None, {"b": "c"}]]}
    # Messages of the dynamic types are copied, never shared.
    inner = Struct.from_python({"k": True})
    copied = Value.from_python(inner)
    assert copied.kind.value == inner and copied.kind.value is not inner
    assert Value.from_python(ListValue.from_python([1])).to_python() == [1.0]
    assert Value.from_python(Value.from_python("s")).to_python() == "s"
    assert Struct.from_python(inner) == inner
    # A number stored as int by hand comes back as it is.
    assert Value(kind=velum.Oneof("number_value", 7)).to_python() == 7


def test_value_nan_is_kept_in_binary() -> None:
    value = Value.from_binary(Value.from_python(math.nan).to_binary())
    assert math.isnan(value.to_python())


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (
            lambda: Value.from_python(b"x"),
            TypeError,
            "'bytes' object cannot be held by google.protobuf.Value",
        ),
        (lambda: Value.from_python({1: 2}), TypeError, "'int' object is not an instance of 'str'"),
        (
            lambda: Value.from_python({"a": {1}}),
            TypeError,
            "'set' object cannot be held by google.protobuf.Value",
        ),
        (
            lambda: Struct.from_python([1]),
            TypeError,
            "'list' object is not an instance of 'Mapping'",
        ),
        (
            lambda: ListValue.from_python("ab"),
            TypeError,
            "'str' object is not an instance of 'list'",
        ),
        (lambda: Value().to_python(), ValueError, "value must have exactly one field set"),
        (lambda: Value.from_python(Value()), ValueError, "value must have exactly one field set"),
        (
            lambda: Value(kind=velum.Oneof("bogus", 1)).to_python(),
            ValueError,
            "value must have exactly one field set",
        ),
        (lambda: Value.from_python(10**400), OverflowError, "int too large to convert to float"),
    ],
)
def test_value_refuses(call: AnyType, exc: type, message: str) -> None:
    with pytest.raises(exc, match=f"^{message}$"):
        call()


def test_value_recursive_input_fails_cleanly() -> None:
    loop: list[AnyType] = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        Value.from_python(loop)


# Any


class _Registry:
    def __init__(self, answer: AnyType) -> None:
        self.answer = answer

    def message(self, type_name: str) -> AnyType:
        return self.answer


def test_any_pack_matches_protobuf() -> None:
    ts = Timestamp(seconds=1709209805, nanos=120000000)
    theirs = any_pb2.Any()
    theirs.Pack(timestamp_pb2.Timestamp(seconds=1709209805, nanos=120000000))
    ours = Any.pack(ts)
    assert any_pb2.Any.FromString(ours.to_binary()) == theirs
    assert ours.type_url == "type.googleapis.com/google.protobuf.Timestamp"
    assert ours.type_name == "google.protobuf.Timestamp"
    back = Any.from_binary(theirs.SerializeToString())
    assert back.unpack(Timestamp) == ts and back.unpack(velum.Registry()) == ts


@pytest.mark.parametrize(
    ("prefix", "url"),
    [
        ("example.com/types", "example.com/types/google.protobuf.Duration"),
        ("example.com/types/", "example.com/types/google.protobuf.Duration"),
        ("", "/google.protobuf.Duration"),
    ],
)
def test_any_pack_prefix(prefix: str, url: str) -> None:
    packed = Any.pack(Duration(seconds=1), type_url_prefix=prefix)
    assert packed.type_url == url
    theirs = any_pb2.Any()
    theirs.Pack(duration_pb2.Duration(seconds=1), type_url_prefix=prefix)
    assert theirs.type_url == url


def test_any_pack_on_an_instance_fills_it() -> None:
    target = Any()
    assert target.pack(FieldMask(paths=["a"])) is target
    assert target.is_(FieldMask) and not target.is_(Duration)
    assert target.unpack(FieldMask).paths == ["a"]


def test_any_pack_failure_leaves_the_any_unchanged() -> None:
    target = Any.pack(Duration(seconds=1))
    before = target.to_binary()
    with pytest.raises(TypeError):
        target.pack(Timestamp(seconds="x"))
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'Message'$"):
        target.pack(5)
    assert target.to_binary() == before


@pytest.mark.parametrize(
    ("url", "name"),
    [("", ""), ("a/b/c.D", "c.D"), ("c.D", "c.D"), ("x/", ""), ("/", "")],
)
def test_any_type_name(url: str, name: str) -> None:
    assert Any(type_url=url).type_name == name


def test_any_unpack_with_user_types(registry: velum.Registry) -> None:
    cls = registry.message_class("velum.test.proto3.Scalars")
    msg = cls(f_int32=-5, f_string="x")
    packed = Any.pack(msg)
    assert packed.type_name == "velum.test.proto3.Scalars"
    assert packed.unpack(registry) == msg
    assert packed.unpack(cls) == msg
    assert packed.is_(cls) and not packed.is_(Timestamp)
    with pytest.raises(ValueError, match=r"is not in the type registry$"):
        packed.unpack(velum.Registry())


@pytest.mark.parametrize(
    ("any_msg", "target", "exc", "message"),
    [
        (Any(), velum.Registry(), ValueError, 'any: "" is not in the type registry'),
        (Any(type_url="x/"), velum.Registry(), ValueError, 'any: "x/" is not in the type registry'),
        (
            Any(type_url="x/no.Such"),
            velum.Registry(),
            ValueError,
            'any: "x/no.Such" is not in the type registry',
        ),
        (
            Any.pack(Duration()),
            Timestamp,
            ValueError,
            'any "type.googleapis.com/google.protobuf.Duration" does not hold a '
            "google.protobuf.Timestamp",
        ),
        (
            Any(type_url="x/a.B"),
            _Registry(object()),
            TypeError,
            "'NoneType' object is not an instance of 'type'",
        ),
        (
            Any(type_url="x/a.B"),
            _Registry(SimpleNamespace(type=3)),
            TypeError,
            "'int' object is not an instance of 'type'",
        ),
        (
            Any(type_url="x/a.B"),
            _Registry(SimpleNamespace(type=int)),
            TypeError,
            "'type' object is not an instance of 'type'",
        ),
        (Any(type_url=5), Timestamp, TypeError, "'int' object is not an instance of 'str'"),
        (Any(type_url="x/a.B"), int, TypeError, "'type' object is not a message class"),
    ],
)
def test_any_unpack_refuses(any_msg: AnyType, target: AnyType, exc: type, message: str) -> None:
    with pytest.raises(exc, match=f"^{message}$"):
        any_msg.unpack(target)


def test_any_unpack_propagates_registry_errors() -> None:
    class Broken:
        def message(self, type_name: str) -> AnyType:
            raise LookupError(type_name)

    with pytest.raises(LookupError, match="^a.B$"):
        Any(type_url="x/a.B").unpack(Broken())


def test_any_unpack_of_bad_bytes_raises() -> None:
    with pytest.raises(ValueError):
        Any(type_url="x/google.protobuf.Timestamp", value=b"\xff").unpack(Timestamp)


# FieldMask


def test_field_mask_paths_match_protobuf() -> None:
    paths = ["a", "b_c.d", "*"]
    ours = FieldMask.from_paths(iter(paths))
    assert ours.to_paths() == paths and ours.to_paths() is not ours.paths
    theirs = field_mask_pb2.FieldMask(paths=paths)
    assert field_mask_pb2.FieldMask.FromString(ours.to_binary()) == theirs


@pytest.mark.parametrize(
    ("paths", "message"),
    [
        ("a_b", "paths must be an iterable of str, not a str"),
        (["a", 1], "'int' object is not an instance of 'str'"),
        (5, "'int' object is not iterable"),
    ],
)
def test_field_mask_from_paths_refuses(paths: AnyType, message: str) -> None:
    with pytest.raises(TypeError, match=f"^{message}$"):
        FieldMask.from_paths(paths)


def test_conversions_on_every_registry() -> None:
    cls = velum.Registry().message_class("google.protobuf.Timestamp")
    assert cls.from_datetime(datetime(1970, 1, 2)).seconds == 86400
