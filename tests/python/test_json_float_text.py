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
