"""64-bit integers as JSON strings: written as str() writes them, read back as int() reads them."""

from __future__ import annotations

import functools
import json
from typing import Any

import pytest
from conftest import compile_protos
from hypothesis import example, given, settings
from hypothesis import strategies as st

import velum


@functools.cache
def flat() -> Any:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_differential.proto"))
    return reg.message_class("velum.test.diff.Flat")


def edges(bits: int, signed: bool) -> list[int]:
    """Every power of ten and of two in range, and their neighbours."""
    low, high = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if signed else (0, 2**bits - 1)
    around = {10**k for k in range(21)} | {2**k for k in range(bits + 1)}
    values = {v + d for v in around for d in (-1, 0, 1)} | {low, high}
    if signed:
        values |= {-v for v in values}
    return sorted(v for v in values if low <= v <= high)


INT64 = st.one_of(st.integers(-(2**63), 2**63 - 1), st.sampled_from(edges(64, True)))
UINT64 = st.one_of(st.integers(0, 2**64 - 1), st.sampled_from(edges(64, False)))


@settings(max_examples=400, deadline=None, derandomize=True)
@given(st.lists(INT64, min_size=1, max_size=8), st.lists(UINT64, min_size=1, max_size=8))
@example(edges(64, True), edges(64, False))
def test_written_as_str_writes_them(signed: list[int], unsigned: list[int]) -> None:
    msg = flat()(p_int64=signed, p_uint64=unsigned, p_sint64=signed, p_fixed64=unsigned)
    tree = msg.to_dict()
    assert tree["pInt64"] == tree["pSint64"] == [str(v) for v in signed]
    assert tree["pUint64"] == tree["pFixed64"] == [str(v) for v in unsigned]
    assert json.loads(msg.to_json()) == tree


# Digits of every length up to 21 (past the 64-bit range), with runs of zeros and nines
# where words meet, and an optional sign.
DIGIT_TEXT = st.tuples(
    st.sampled_from(["", "-", "+"]),
    st.text(st.sampled_from("0123456789" + "0" * 5 + "9" * 5), min_size=1, max_size=21),
).map("".join)
# Characters that make both int() and float() refuse the text wherever they stand.
NOT_NUMERIC = "/:;<=>?@gGkKzZ\x7f"


def python_reading(text: str, bits: int, signed: bool) -> int | None:
    """What the field holds after reading `text`, or None when it is refused."""
    try:
        value = int(text)
    except ValueError:
        return None
    low, high = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if signed else (0, 2**bits - 1)
    return value if low <= value <= high else None


@pytest.mark.parametrize(("member", "signed"), [("fInt64", True), ("fUint64", False)])
@settings(max_examples=600, deadline=None, derandomize=True)
@given(text=DIGIT_TEXT,
       spoil=st.none() | st.tuples(st.integers(0, 25), st.sampled_from(NOT_NUMERIC)))
@example(text="9223372036854775807", spoil=None)
@example(text="-9223372036854775808", spoil=None)
@example(text="18446744073709551615", spoil=None)
@example(text="18446744073709551616", spoil=None)
@example(text="99999999999999999999", spoil=None)
@example(text="1234567890123456", spoil=(15, ":"))
@example(text="1234567890123456", spoil=(8, "/"))
def test_strings_read_as_int_reads_them(
    member: str, signed: bool, text: str, spoil: tuple[int, str] | None
) -> None:
    if spoil is not None:
        at = spoil[0] % len(text)
        text = text[:at] + spoil[1] + text[at + 1 :]
    cls = flat()
    expected = python_reading(text, 64, signed)
    document = json.dumps({member: text})
    if expected is None:
        with pytest.raises((ValueError, OverflowError)):
            cls.from_json(document)
        with pytest.raises((ValueError, OverflowError)):
            cls.from_dict({member: text})
    else:
        attr = "f_" + member[1:].lower()
        assert getattr(cls.from_json(document), attr) == expected
        assert getattr(cls.from_dict({member: text}), attr) == expected
