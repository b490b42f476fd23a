"""The README's examples, run in order in a scratch directory so that they cannot rot.

Blocks preceded by `<!-- readme-test -->` run; `<!-- readme-test: needs_json -->` marks
those that need the JSON codec. A proto block starting with `// NAME.proto` is written
to that file first. Shell lines run with this interpreter as `python` and `velum`.
"""

from __future__ import annotations

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent.parent / "README.md"
BLOCK = re.compile(
    r"(?:<!-- readme-test(?P<json>: needs_json)? -->\n)?```(?P<lang>\w+)\n(?P<code>.*?)```", re.S
)


def _blocks() -> list[tuple[str, str, str | None]]:
    """(language, code, None | "plain" | "json") for every fenced block."""
    found = []
    for match in BLOCK.finditer(README.read_text()):
        marker = match.group(0).startswith("<!--")
        kind = ("json" if match.group("json") else "plain") if marker else None
        found.append((match.group("lang"), match.group("code"), kind))
    return found


def _run_examples(tmp_path: Path, with_json: bool) -> None:
    bin_dir = Path(sys.executable).parent
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"}
    python = shlex.quote(sys.executable)
    for lang, code, _ in _blocks():
        first = code.split("\n", 1)[0]
        if lang == "proto" and first.startswith("// ") and first.endswith(".proto"):
            (tmp_path / first[3:]).write_text(code)
    for lang, code, kind in _blocks():
        if kind is None or (kind == "json" and not with_json):
            continue
        if lang == "python":
            commands = [[sys.executable, "-c", code]]
        else:
            lines = [line for line in code.splitlines() if line.strip()]
            commands = [
                re.sub(r"^python\b", python, re.sub(r"^velum\b", f"{python} -m velum", line))
                for line in lines
            ]
        for command in commands:
            result = subprocess.run(
                command, shell=isinstance(command, str), cwd=tmp_path, env=env,
                capture_output=True, text=True,
            )  # fmt: skip
            assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"


def test_readme_has_examples_to_run():
    kinds = [kind for _, _, kind in _blocks()]
    assert kinds.count("plain") >= 4 and kinds.count("json") >= 2


def test_readme_examples_run(tmp_path):
    _run_examples(tmp_path, with_json=False)
    # The example of generated modules also type-checks against the generated stubs.
    typed = [code for lang, code, kind in _blocks() if kind == "plain" and "_velum" in code]
    (tmp_path / "typed_example.py").write_text(typed[0])
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "typed_example.py"],
        cwd=tmp_path, capture_output=True, text=True, env={**os.environ, "MYPYPATH": str(tmp_path)},
    )  # fmt: skip
    assert result.returncode == 0, result.stdout


@pytest.mark.needs_json
def test_readme_json_examples_run(tmp_path):
    _run_examples(tmp_path, with_json=True)
