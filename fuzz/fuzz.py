"""Coverage-guided fuzzing of from_binary / _merge_from_binary with atheris.

Run through fuzz/run.sh (make fuzz / make fuzz-ci); the oracle is
tests/python/hostile_schema.check_input. Arguments are passed to libFuzzer.
"""

from __future__ import annotations

import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

with atheris.instrument_imports():
    import hostile_schema

REGISTRY = hostile_schema.load_registry()


def test_one_input(data: bytes) -> None:
    hostile_schema.check_input(REGISTRY, data)


def main() -> None:
    sys.setrecursionlimit(10_000)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
