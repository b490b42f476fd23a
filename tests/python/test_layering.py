"""The two dependency orders the project keeps: native units include only
their own layer and those below it, and the runtime's modules import one
another without a circle."""

from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CHECK = ROOT / "tools" / "check_layers.py"


def _check(src: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(CHECK), str(src)], capture_output=True, text=True, check=False
    )


def test_sources_include_downward_only():
    result = _check(ROOT / "src")
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    ("unit", "include", "accepted"),
    [
        ("common/a.h", "parser/wire_reader.h", False),
        ("descriptor/a.cpp", "field_ops/field_store.h", False),
        ("parser/a.cpp", "reverse_buffer/encoder.h", False),
        ("json_sink/a.cpp", "json_parse/reader.h", False),
        ("nativemessage/a.cpp", "module/x.h", False),
        ("elsewhere/a.cpp", "common/ref.h", False),
        ("json_sink/a.cpp", "wkt_registry/forms.h", True),
        ("wkt_registry/a.cpp", "json_parse/source.h", True),
        ("json_parse/a.cpp", "field_ops/field_store.h", True),
        ("field_ops/a.cpp", "oneof/oneof.h", True),
    ],
)
def test_check_rejects_upward_includes(tmp_path, unit, include, accepted):
    path = tmp_path / unit
    path.parent.mkdir(parents=True)
    path.write_text(f'#include <vector>\n#include "{include}"\n')
    assert (_check(tmp_path).returncode == 0) is accepted


def _imports(path: Path) -> set[str]:
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("velum"):
            if node.module == "velum":
                found |= {f"velum.{alias.name}" for alias in node.names}
            else:
                found.add(node.module)
        elif isinstance(node, ast.Import):
            found |= {a.name for a in node.names if a.name.startswith("velum")}
    return found


def test_runtime_modules_import_without_a_circle():
    package = ROOT / "python" / "velum"
    graph = {f"velum.{p.stem}": _imports(p) for p in package.glob("*.py") if p.stem != "__init__"}
    done: set[str] = set()

    def visit(module: str, path: list[str]) -> None:
        assert module not in path, " -> ".join([*path, module])
        if module in done:
            return
        for dep in graph.get(module, ()):
            visit(dep, [*path, module])
        done.add(module)

    for module in graph:
        visit(module, [])
