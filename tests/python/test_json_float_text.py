"""The float text of to_json equals Python's repr() for every finite double."""

from __future__ import annotations

import functools
import math
import struct
from typing import Any

from conftest import compile_protos
from hypothesis import example, given, settings
from hypothesis import strategies as st

import velum


@functools.cache
def flat() -> Any:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_differential.proto"))
    return reg.message_class("velum.test.diff.Flat")


def from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def near(x: float) -> list[float]:
    return [math.nextafter(x, -math.inf), x, math.nextafter(x, math.inf)]


POWERS = [y for k in range(-323, 309) for y in near(float(f"1e{k}"))]
BOUNDARIES = [y for x in (1e-4, 1e16, 1e-5, 1e15, 5e-324, 2.2250738585072014e-308) for y in near(x)]
FINITE = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.integers(0, 2**64 - 1).map(from_bits).filter(math.isfinite),
    st.sampled_from(POWERS + BOUNDARIES),
    st.integers(1, 2**53).map(float),
    st.integers(1, 2**52 - 1).map(lambda m: from_bits(m)),  # subnormals
)


@settings(max_examples=3000, deadline=None, derandomize=True)
@given(st.lists(FINITE.flatmap(lambda x: st.sampled_from([x, -x])), min_size=1, max_size=8))
@example([0.0, -0.0, 1e16, 9999999999999998.0, 0.0001, 0.00001, 5e-324, 1.5e300])
def test_float_text_is_repr(values: list[float]) -> None:
    msg = flat()(p_double=values)
    assert msg.to_json() == '{"pDouble":[' + ",".join(map(repr, values)) + "]}"


def test_every_power_of_ten_and_its_neighbours() -> None:
    values = POWERS + BOUNDARIES
    assert flat()(u_double=values).to_json() == '{"uDouble":[' + ",".join(map(repr, values)) + "]}"


DIGITS = st.text("0123456789", min_size=1, max_size=24)
LITERALS = st.one_of(
    FINITE.map(abs).map(repr),
    FINITE.map(lambda x: f"{abs(x):.16e}"),  # all 17 significant digits
    st.tuples(DIGITS, DIGITS, st.integers(-330, 330)).map(
        lambda t: f"{t[0].lstrip('0') or '0'}.{t[1]}e{t[2]}"
    ),
    st.tuples(st.integers(0, 2**64 - 1), st.integers(-30, 30)).map(
        lambda t: f"0.{t[0]:019d}e{t[1]}"
    ),
).filter(lambda t: math.isfinite(float(t)))


@settings(max_examples=3000, deadline=None, derandomize=True)
@given(st.lists(LITERALS.flatmap(lambda t: st.sampled_from([t, "-" + t])), min_size=1, max_size=8))
@example(["9007199254740993", "2.2250738585072011e-308", "1.7976931348623157e308", "4.9e-324",
          "0.000123456789012345678", "1e23", "8.98846567431158e307", "100.00000000000001"])
def test_literals_read_as_python_reads_them(texts: list[str]) -> None:
    expected = [float(t) for t in texts]
    got = flat().from_json('{"pDouble":[' + ",".join(texts) + "]}").p_double
    assert [struct.pack("<d", x) for x in got] == [struct.pack("<d", x) for x in expected]
