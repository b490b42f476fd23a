"""Replays the fuzzer's seed corpus and every input it ever crashed on.

A crash found by `make fuzz` lands in build/fuzz/crashes/; copy it to
fuzz/regressions/ (named after what it broke) and it is checked here for good.
"""

from __future__ import annotations

from pathlib import Path

import hostile_schema
import pytest

import velum

FUZZ = Path(__file__).resolve().parent.parent.parent / "fuzz"
INPUTS = sorted((FUZZ / "regressions").glob("*")) + sorted((FUZZ / "corpus").glob("*"))


@pytest.fixture(scope="module")
def reg() -> velum.Registry:
    return hostile_schema.load_registry()


@pytest.mark.parametrize("path", INPUTS, ids=[f"{p.parent.name}/{p.name[:12]}" for p in INPUTS])
def test_input_round_trips_or_fails_cleanly(reg: velum.Registry, path: Path) -> None:
    hostile_schema.check_input(reg, path.read_bytes())
