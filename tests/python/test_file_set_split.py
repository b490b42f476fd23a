"""A descriptor set is split into its files by the native decoder; whatever it is given,
the result (or the error) equals that of the Python reader kept as the reference."""

from __future__ import annotations

import random

import pytest
from conftest import compile_protos

from velum._descriptor_proto import _split_file_set_python, split_file_set


def _outcome(split: object, data: bytes) -> object:
    try:
        return split(data)  # type: ignore[operator]
    except Exception as e:
        return (type(e), str(e))


def _cases() -> list[bytes]:
    real = compile_protos()
    rng = random.Random(7)
    cases = [
        b"",
        real,
        real + b"\x10\x01",  # another field after the files
        b"\x12\x00" + real,  # another field before them
        b"\x08\x01",  # field 1 as a varint
        b"\x0d\x00\x00\x00\x00",  # field 1 as fixed32
        b"\x0b\x0c",  # field 1 as an (empty) group
        b"\x0a\x05ab",  # truncated
        b"\x00\x00",  # field number 0
        b"\x0f",  # wire type 7
        b"syntax = \"proto3\";",
        real[: len(real) // 2],
    ]
    cases += [bytes(rng.randrange(256) for _ in range(rng.randrange(1, 24))) for _ in range(200)]
    cases += [real[: rng.randrange(len(real))] for _ in range(20)]
    return cases


@pytest.mark.parametrize("data", _cases(), ids=range(len(_cases())))
def test_split_matches_the_reference(data: bytes) -> None:
    assert _outcome(split_file_set, data) == _outcome(_split_file_set_python, data)
