"""Coverage-guided fuzzing of the JSON reader (text and trees) with atheris.

Run through fuzz/run.sh with the target `json` (make fuzz / make fuzz-ci); the
oracle is tests/python/hostile_json.check_json. Arguments are passed to libFuzzer.
"""

from __future__ import annotations

import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

with atheris.instrument_imports():
    import hostile_json
    import hostile_schema

REGISTRY = hostile_schema.load_registry()


def test_one_input(data: bytes) -> None:
    hostile_json.check_json(REGISTRY, data)


def main() -> None:
    sys.setrecursionlimit(10_000)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
