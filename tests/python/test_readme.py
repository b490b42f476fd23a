"""The README's examples run as written, so they cannot rot.

Every ```proto block whose first line names a file (`// shop.proto`) is written to a
scratch directory and compiled there into `<name>.binpb`. Then, in README order and in
one fresh interpreter, every ```python block runs in one shared namespace, and every
```sh block marked `<!-- readme-test -->` runs line by line with this interpreter as
`python` and `velum`. `<!-- readme: not run -->` leaves a block out.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
NOT_RUN = "<!-- readme: not run -->"
SHELL = "<!-- readme-test -->"
_SANITIZER_ENV = frozenset({"LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
_FENCE = re.compile(r"^```(\w*)\s*$")
_FILE_COMMENT = re.compile(r"^//\s*(\S+\.proto)\s*$")


@dataclass
class Block:
    language: str
    line: int  # of the block's first code line, counted from 1
    code: str
    marker: str  # the marker line right above the block, or ""


def blocks(text: str) -> list[Block]:
    found: list[Block] = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        opening = _FENCE.match(lines[i])
        if opening is None or not opening.group(1):
            i += 1
            continue
        start = i + 1
        end = start
        while end < len(lines) and lines[end].strip() != "```":
            end += 1
        above = lines[i - 1].strip() if i > 0 else ""
        marker = above if above.startswith("<!--") else ""
        found.append(Block(opening.group(1), start + 1, "\n".join(lines[start:end]), marker))
        i = end + 1
    return found


def runnable(block: Block) -> bool:
    if block.marker == NOT_RUN:
        return False
    return block.language == "python" or (block.language == "sh" and block.marker == SHELL)


# Runs in a fresh interpreter: python blocks share one namespace, sh lines run with the
# interpreter's own bin directory first on PATH.
_DRIVER = r"""
import json, os, re, shlex, subprocess, sys
readme, steps = sys.argv[1], json.load(open(sys.argv[2]))
sys.path.insert(0, os.getcwd())
python = shlex.quote(sys.executable)
namespace = {"__name__": "__readme__"}
for language, line, code in steps:
    if language == "python":
        exec(compile("\n" * (line - 1) + code, readme, "exec"), namespace)
        continue
    for command in filter(str.strip, code.splitlines()):
        command = re.sub(r"^velum\b", python + " -m velum", command)
        command = re.sub(r"^python\b", python, command)
        result = subprocess.run(command, shell=True, capture_output=True, text=True)
        if result.returncode:
            sys.exit(f"README line {line}: {command}\n{result.stdout}\n{result.stderr}")
"""


def _compile_schemas(found: list[Block], directory: Path) -> None:
    for block in found:
        first = block.code.splitlines()[0] if block.code else ""
        named = _FILE_COMMENT.match(first)
        if block.language == "proto" and named:
            (directory / named.group(1)).write_text(block.code + "\n")
            subprocess.run(
                [sys.executable, "-m", "grpc_tools.protoc", "-I.", "--include_imports",
                 f"--descriptor_set_out={Path(named.group(1)).stem}.binpb", named.group(1)],
                check=True, cwd=directory,
            )  # fmt: skip


def test_the_block_reader_keeps_order_lines_and_markers() -> None:
    text = (
        "intro\n```python\na = 1\n```\n" + NOT_RUN + "\n```python\nb\n```\n"
        "```sh\nls\n```\n" + SHELL + "\n```sh\npwd\n```\n"
    )
    found = blocks(text)
    assert found == [
        Block("python", 3, "a = 1", ""),
        Block("python", 7, "b", NOT_RUN),
        Block("sh", 10, "ls", ""),
        Block("sh", 14, "pwd", SHELL),
    ]
    assert [runnable(b) for b in found] == [True, False, False, True]


def test_readme_examples_run(tmp_path: Path) -> None:
    found = blocks(README.read_text())
    steps = [(b.language, b.line, b.code) for b in found if runnable(b)]
    assert sum(language == "python" for language, _, _ in steps) >= 4
    _compile_schemas(found, tmp_path)
    (tmp_path / "steps.json").write_text(json.dumps(steps))
    bin_dir = Path(sys.executable).parent
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"}
    result = subprocess.run(
        [sys.executable, "-c", _DRIVER, str(README), "steps.json"],
        cwd=tmp_path, env=env, capture_output=True, text=True,
    )  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
    # The example of generated modules also type-checks against the generated stubs.
    typed = next(b.code for b in found if b.language == "python" and "_velum" in b.code)
    (tmp_path / "typed_example.py").write_text(typed)
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "typed_example.py"],
        cwd=tmp_path, capture_output=True, text=True, env={**env, "MYPYPATH": str(tmp_path)},
    )  # fmt: skip
    assert checked.returncode == 0, checked.stdout
    pytest.importorskip("basedpyright", reason="pyright is checked with basedpyright from PyPI")
    (tmp_path / "pyrightconfig.json").write_text('{"typeCheckingMode": "strict"}')
    # The checker never loads the extension, so it runs without a preloaded sanitizer
    # runtime, whose exit-time leak report would otherwise decide its exit code.
    plain = {k: v for k, v in os.environ.items() if k not in _SANITIZER_ENV}
    checked = subprocess.run(
        [sys.executable, "-m", "basedpyright", "--pythonpath", sys.executable,
         "typed_example.py"],
        cwd=tmp_path, capture_output=True, text=True, env=plain,
    )  # fmt: skip
    assert checked.returncode == 0, checked.stdout
