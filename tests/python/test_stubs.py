"""The generated stubs, checked with mypy --strict over code that uses them."""

from __future__ import annotations

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

# Lines ending in "# rejected: <code>" must fail with that mypy error code; every other
# line must pass.
USAGE = '''
from typing import assert_type

import velum
import velum.wkt
import acme.shop_v1_velum as shop
import test_proto2_velum as p2
import test_proto3_velum as p3
import test_wkt_use_velum  # noqa: F401
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
        case velum.Oneof("card", str() as card):
            return card
        case velum.Oneof("voucher", shop.Order.Line(sku, qty)):
            assert_type(qty, int)
            return sku
        case velum.Oneof(_, value):
            assert_type(value, str | int | shop.Order.Line)
            return ""
        case None:
            return "unpaid"


order.note = 5  # rejected: assignment
order.pay = velum.Oneof("cheque", "x")  # rejected: arg-type
shop.Order(lines=[p3.Scalars()])  # rejected: list-item
shop.Order(colour="red")  # rejected: call-arg
p3.Scalars(f_status=p2.Color.COLOR_RED)  # rejected: arg-type
velum.wkt.Timestamp().seconds.upper()  # rejected: attr-defined
'''


@pytest.fixture(scope="module")
def checked(tmp_path_factory) -> tuple[Path, subprocess.CompletedProcess[str]]:
    root = tmp_path_factory.mktemp("stubs")
    src = root / "src"
    result = generate(root / "out", [*ALL_PROTOS, write_acme(src)], extra_dirs=(src,))
    assert result.returncode == 0, result.stderr
    modules = [name.removesuffix(".proto") + "_velum" for name in ALL_PROTOS]
    usage = USAGE.format(all_imports="".join(f"import {m}  # noqa: F401\n" for m in modules))
    (root / "out" / "use.py").write_text(textwrap.dedent(usage))
    env = {**os.environ, "MYPYPATH": str(root / "out")}
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use.py"],
        cwd=root / "out",
        capture_output=True,
        text=True,
        env=env,
    )
    return root / "out", checked


def test_mypy_strict_accepts_the_usage_and_rejects_only_the_marked_lines(checked):
    out, result = checked
    lines = (out / "use.py").read_text().splitlines()
    expected = {
        (number, match.group(1))
        for number, line in enumerate(lines, 1)
        if (match := re.search(r"# rejected: ([\w-]+)$", line))
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


def test_stubs_of_every_test_schema_exist(checked):
    out, _ = checked
    stub = (out / "acme" / "shop_v1_velum.pyi").read_text()
    assert "class None_(_velum.Message):" in stub
    assert "    int: _builtins.bytes" in stub  # a field named like a builtin
    assert 'def pay(self) -> _velum.Oneof[_typing.Literal["card"], _builtins.str]' in stub
    assert "label: _velum.DescExtension" in stub
    assert "    Order: _T_Order | None" in stub


def test_shipped_well_known_stub_is_current():
    shipped = Path(velum._stubs.__file__).with_name("wkt.pyi").read_text()
    assert shipped == velum._stubs.wkt_stub(_well_known_files())
