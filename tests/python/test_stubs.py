"""The generated stubs, checked with mypy --strict and pyright (strict) over code that
uses them."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from generated_modules import ALL_PROTOS, generate, write_acme

import velum._stubs
from velum._registry import _well_known_files

# Lines ending in "# rejected: <codes>" must fail with each of the codes (mypy error codes,
# and pyright rules, which start with "report"); every other line must pass.
USAGE = '''
from typing import assert_type

import velum
import velum.wkt
import acme.shop_v1_velum as shop
import test_proto2_velum as p2
import test_proto3_velum as p3
{all_imports}

order = shop.Order(
    scalars=p3.Scalars(f_int64=1, f_status=p3.Status.STATUS_ACTIVE),
    at=velum.wkt.Timestamp(seconds=5),
    pay=velum.Oneof("card", "visa"),
    lines=[shop.Order.Line(sku="a", qty=1)],
    states={{"x": p3.Status.STATUS_DONE}},
)
assert_type(order.scalars, p3.Scalars | None)
assert_type(order.lines, list[shop.Order.Line])
assert_type(order.states, dict[str, p3.Status])
assert_type(order.int, bytes)
assert_type(order.note, str)
assert_type(shop.None_(Order=order).Order, shop.Order | None)
assert_type(shop.Order(self="me").self, str)
assert_type(shop.Order.from_binary(order.to_binary()), shop.Order)
assert_type(p3.Scalars.from_json("{{}}"), p3.Scalars)
assert_type(p3.Status(2), p3.Status)
assert_type(p2.Scalars().copy(), p2.Scalars)
assert_type(velum.wkt.Struct().fields, dict[str, velum.wkt.Value])
assert_type(velum.default_registry(), velum.Registry)
order.pay = velum.Oneof("voucher", shop.Order.Line())
order.pay = None


def describe(order: shop.Order) -> str:
    pay = order.pay
    if pay is not None and pay.field == "cash":
        assert_type(pay.value, int)
    match order.pay:
        case velum.Oneof(_, value):
            assert_type(value, str | int | shop.Order.Line)
        case None:
            pass
    match order.pay:
        case velum.Oneof("card", str() as card):
            return card.upper()
        case velum.Oneof("cash", int() as cash):
            return str(cash.bit_length())
        case velum.Oneof("voucher", shop.Order.Line(sku, qty)):
            assert_type(qty, int)
            return sku
        case None:
            return "unpaid"
    return ""  # mypy does not see that the cases are exhaustive


def misuse(order: shop.Order) -> None:
    match order.pay:
        case velum.Oneof("cash", int() as cash):
            cash.upper()  # rejected: attr-defined, reportAttributeAccessIssue
        case _:
            pass


order.note = 5  # rejected: assignment, reportAttributeAccessIssue
order.pay = velum.Oneof("cheque", "x")  # rejected: arg-type, reportAttributeAccessIssue
shop.Order(lines=[p3.Scalars()])  # rejected: list-item, reportArgumentType
shop.Order(colour="red")  # rejected: call-arg, reportCallIssue
p3.Scalars(f_status=p2.Color.COLOR_RED)  # rejected: arg-type, reportArgumentType
velum.wkt.Timestamp().seconds.upper()  # rejected: attr-defined, reportAttributeAccessIssue
'''

# Pyright narrows a oneof by the member's name in a class pattern, so `value` takes the
# member's own type; mypy binds the union of the member types there, and is not run on it.
MATCH_USAGE = '''
from typing import assert_type

import velum
import acme.shop_v1_velum as shop


def describe(order: shop.Order) -> str:
    match order.pay:
        case velum.Oneof("card", value):
            assert_type(value, str)
            return value.upper()
        case velum.Oneof("voucher", value):
            assert_type(value, shop.Order.Line)
            return value.sku
        case velum.Oneof("cash", value):
            return value.upper()  # rejected: reportAttributeAccessIssue
        case None:
            return "unpaid"
'''


@pytest.fixture(scope="module")
def generated(tmp_path_factory) -> Path:
    """The stubs of every test schema, with the usage files beside them."""
    root = tmp_path_factory.mktemp("stubs")
    src = root / "src"
    out = root / "out"
    result = generate(out, [*ALL_PROTOS, write_acme(src)], extra_dirs=(src,))
    assert result.returncode == 0, result.stderr
    # Importing every generated module makes the checkers read every stub.
    modules = [name.removesuffix(".proto") + "_velum" for name in ALL_PROTOS]
    imports = "".join(f"import {m}\n" for m in modules) + f"ALL = ({', '.join(modules)},)\n"
    (out / "use.py").write_text(textwrap.dedent(USAGE.format(all_imports=imports)))
    (out / "use_match.py").write_text(textwrap.dedent(MATCH_USAGE))
    return out


def expected_rejections(path: Path, pyright: bool) -> dict[int, set[str]]:
    """Line number -> the codes of one checker that the line's marker names."""
    expected: dict[int, set[str]] = {}
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if match := re.search(r"# rejected: ([\w, -]+)$", line):
            codes = {c for c in match.group(1).split(", ") if c.startswith("report") == pyright}
            if codes:
                expected[number] = codes
    return expected


@pytest.fixture(scope="module")
def checked(generated) -> tuple[Path, subprocess.CompletedProcess[str]]:
    env = {**os.environ, "MYPYPATH": str(generated)}
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use.py"],
        cwd=generated,
        capture_output=True,
        text=True,
        env=env,
    )
    return generated, checked


def test_mypy_strict_accepts_the_usage_and_rejects_only_the_marked_lines(checked):
    out, result = checked
    expected = {
        (number, code)
        for number, codes in expected_rejections(out / "use.py", pyright=False).items()
        for code in codes
    }
    found = set()
    for line in result.stdout.splitlines():
        match = re.match(r"(\S+?):(\d+): error: .*\[([\w-]+)\]$", line)
        if match:
            assert match.group(1) == "use.py", line  # no error inside a stub
            found.add((int(match.group(2)), match.group(3)))
        else:
            assert line.startswith("Found ") or ": note:" in line, line
    assert found == expected, result.stdout


def test_pyright_strict_accepts_the_usage_and_rejects_only_the_marked_lines(generated):
    pytest.importorskip("basedpyright", reason="pyright is checked with basedpyright from PyPI")
    (generated / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    stubs = sorted(str(p.relative_to(generated)) for p in generated.rglob("*.pyi"))
    result = subprocess.run(
        [sys.executable, "-m", "basedpyright", "--outputjson", "--pythonpath", sys.executable,
         "use.py", "use_match.py", *stubs],
        cwd=generated, capture_output=True, text=True,
    )  # fmt: skip
    report = json.loads(result.stdout)
    found: dict[tuple[str, int], set[str]] = {}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] == "information":
            continue
        where = (Path(diagnostic["file"]).name, diagnostic["range"]["start"]["line"] + 1)
        found.setdefault(where, set()).add(diagnostic.get("rule", diagnostic["message"]))
    expected = {
        (name, number): codes
        for name in ("use.py", "use_match.py")
        for number, codes in expected_rejections(generated / name, pyright=True).items()
    }
    # A rejected line may draw follow-on reports (an unknown type), but the marked rule
    # must be among them; no other line, and no stub, may have any.
    assert found.keys() == expected.keys(), result.stdout
    for where, codes in expected.items():
        assert codes <= found[where], (where, found[where])


def test_stubs_of_every_test_schema_exist(generated):
    out = generated
    stub = (out / "acme" / "shop_v1_velum.pyi").read_text()
    assert "class None_(_velum.Message):" in stub
    assert "    int: _builtins.bytes" in stub  # a field named like a builtin
    assert 'def pay(self) -> _velum.Oneof[_typing.Literal["card"], _builtins.str]' in stub
    assert "label: _velum.DescExtension" in stub
    assert "    Order: _T_Order | None" in stub


def test_shipped_well_known_stub_is_current():
    shipped = Path(velum._stubs.__file__).with_name("wkt.pyi").read_text()
    assert shipped == velum._stubs.wkt_stub(_well_known_files())


def test_the_package_itself_is_mypy_strict_clean(tmp_path):
    # pyproject.toml names the files and the strict settings.
    root = Path(__file__).resolve().parents[2]
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path)],
        cwd=root, capture_output=True, text=True,
    )  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
