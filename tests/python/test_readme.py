"""The README's examples run as written, so they cannot rot.

Every ```proto block whose first line is a comment naming a file (`// shop.proto`) is
written to a temporary directory and compiled there into `<name>.binpb`, as the README
tells its reader to. Then every ```python block runs, in order, in one namespace, with
that directory as the working directory. A block right after the line
`<!-- readme: not run -->` is left out (for code that needs a network, say).
"""

from __future__ import annotations

import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
NOT_RUN = "<!-- readme: not run -->"
_FENCE = re.compile(r"^```(\w*)\s*$")
_FILE_COMMENT = re.compile(r"^//\s*(\S+\.proto)\s*$")


@dataclass
class Block:
    language: str
    line: int  # of the block's first code line, counted from 1
    code: str
    run: bool


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
        run = not (i > 0 and lines[i - 1].strip() == NOT_RUN)
        found.append(Block(opening.group(1), start + 1, "\n".join(lines[start:end]), run))
        i = end + 1
    return found


def test_the_block_reader_keeps_order_lines_and_markers() -> None:
    text = "intro\n```python\na = 1\n```\n" + NOT_RUN + "\n```python\nb\n```\n```sh\nls\n```\n"
    assert blocks(text) == [
        Block("python", 3, "a = 1", True),
        Block("python", 7, "b", False),
        Block("sh", 10, "ls", True),
    ]


def _compile_schemas(found: list[Block], directory: Path) -> None:
    names = []
    for block in found:
        first = block.code.splitlines()[0] if block.code else ""
        named = _FILE_COMMENT.match(first)
        if block.language == "proto" and named:
            (directory / named.group(1)).write_text(block.code + "\n")
            names.append(named.group(1))
    for name in names:
        subprocess.run(
            [sys.executable, "-m", "grpc_tools.protoc", "-I.", "--include_imports",
             f"--descriptor_set_out={Path(name).stem}.binpb", name],
            check=True, cwd=directory,
        )  # fmt: skip


def test_readme_python_blocks_run(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    found = blocks(README.read_text())
    python = [b for b in found if b.language == "python" and b.run]
    assert python, "the README has no Python example"
    _compile_schemas(found, tmp_path)
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {"__name__": "__readme__"}
    for block in python:
        # Padded so that tracebacks give the README's own line numbers.
        source = "\n" * (block.line - 1) + block.code
        exec(compile(source, str(README), "exec"), namespace)
