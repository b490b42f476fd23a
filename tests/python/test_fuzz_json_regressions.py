"""Replays the JSON fuzzers' seed corpora and every input they ever failed on.

A failure found by `FUZZ_TARGET=json fuzz/run.sh` lands in build/fuzz/crashes/json-*,
one of `FUZZ_TARGET=tree` in build/fuzz/crashes/tree-*; copy it to
fuzz/regressions_json/ or fuzz/regressions_tree/ (named after what it broke) and it
is checked here.
"""

from __future__ import annotations

from pathlib import Path

import hostile_json
import hostile_schema
import hostile_tree
import pytest

import velum

FUZZ = Path(__file__).resolve().parent.parent.parent / "fuzz"
INPUTS = sorted((FUZZ / "regressions_json").glob("*")) + sorted((FUZZ / "corpus_json").glob("*"))
TREES = sorted((FUZZ / "regressions_tree").glob("*")) + sorted((FUZZ / "corpus_tree").glob("*"))


@pytest.fixture(scope="module")
def reg() -> velum.Registry:
    return hostile_schema.load_registry()


@pytest.mark.parametrize("path", INPUTS, ids=[f"{p.parent.name}/{p.name[:12]}" for p in INPUTS])
def test_json_input_reads_alike_or_fails_cleanly(reg: velum.Registry, path: Path) -> None:
    hostile_json.check_json(reg, path.read_bytes())


@pytest.mark.parametrize("path", TREES, ids=[f"{p.parent.name}/{p.name[:12]}" for p in TREES])
def test_tree_input_reads_or_fails_cleanly(reg: velum.Registry, path: Path) -> None:
    hostile_tree.check_tree(reg, path.read_bytes())
