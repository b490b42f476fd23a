"""Coverage-guided fuzzing of the codecs with atheris: one script, one target per run.

    fuzz.py TARGET [libFuzzer args...]

| TARGET | Entry points                          | Oracle                        |
|--------|---------------------------------------|-------------------------------|
| decode | from_binary / _merge_from_binary      | hostile_schema.check_input    |
| json   | from_json / _merge_from_json (text)   | hostile_json.check_json       |
| tree   | _from_json_value on built value trees | hostile_tree.check_tree       |

Run through fuzz/run.sh (make fuzz / make fuzz-ci), which preloads the sanitizer
runtime and passes the corpus and libFuzzer options.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

TARGETS = {
    "decode": ("hostile_schema", "check_input"),
    "json": ("hostile_json", "check_json"),
    "tree": ("hostile_tree", "check_tree"),
}


def main() -> None:
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.exit(f"usage: {sys.argv[0]} {{{','.join(TARGETS)}}} [libFuzzer args...]")
    module_name, function = TARGETS[sys.argv.pop(1)]
    with atheris.instrument_imports():
        import hostile_schema

        module = importlib.import_module(module_name)
    registry = hostile_schema.load_registry()
    check: Callable[..., None] = getattr(module, function)

    def test_one_input(data: bytes) -> None:
        check(registry, data)

    sys.setrecursionlimit(10_000)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
