"""Replays the JSON fuzzer's seed corpus and every input it ever failed on.

A failure found by `FUZZ_TARGET=json fuzz/run.sh` lands in build/fuzz/crashes/json-*;
copy it to fuzz/regressions_json/ (named after what it broke) and it is checked here.
"""

from __future__ import annotations

from pathlib import Path

import hostile_json
import hostile_schema
import pytest

import velum

FUZZ = Path(__file__).resolve().parent.parent.parent / "fuzz"
INPUTS = sorted((FUZZ / "regressions_json").glob("*")) + sorted((FUZZ / "corpus_json").glob("*"))


@pytest.fixture(scope="module")
def reg() -> velum.Registry:
    return hostile_schema.load_registry()


@pytest.mark.parametrize("path", INPUTS, ids=[f"{p.parent.name}/{p.name[:12]}" for p in INPUTS])
def test_json_input_reads_alike_or_fails_cleanly(reg: velum.Registry, path: Path) -> None:
    hostile_json.check_json(reg, path.read_bytes())
