"""The JSON benchmark's own correctness: its peers must do the same work before it times them."""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("orjson")
msgspec = pytest.importorskip("msgspec")

ROOT = Path(__file__).resolve().parents[2]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from bench.harness import QUICK, measure  # noqa: E402
from bench.impls import ProtobufImpl, VelumImpl  # noqa: E402
from bench.json_ops import JSON_OPERATIONS, JsonBench, JsonCase, difference  # noqa: E402
from bench.schema import file_set  # noqa: E402
from bench.workloads import WORKLOADS, by_name  # noqa: E402

TINY = 0.01


@pytest.fixture(scope="module")
def bench() -> JsonBench:
    fs = file_set()
    upb = ProtobufImpl(fs, "upb")
    return JsonBench(VelumImpl(fs, upb.schema), upb)


@pytest.fixture(scope="module")
def cases(bench: JsonBench) -> dict[str, JsonCase]:
    return {w.name: bench.case(w, TINY) for w in WORKLOADS}


@pytest.mark.parametrize("workload", [w.name for w in WORKLOADS])
def test_every_peer_agrees_with_velum(bench: JsonBench, cases: dict[str, JsonCase],
                                      workload: str) -> None:
    case = cases[workload]
    assert bench.check(case) == "all peers agree"
    assert not case.mismatched


def test_struct_members_take_the_json_forms(bench: JsonBench, cases: dict[str, JsonCase]) -> None:
    event = cases["events"].struct.events[0]
    # JSON member names, int64 and well-known types as strings, enum by name, Any tagged.
    encoded = msgspec.json.decode(msgspec.json.encode(event))
    assert {"id", "occurredAt", "latency", "severity", "eventType", "metadata",
            "detail"} <= encoded.keys()
    assert isinstance(encoded["id"], str)
    assert encoded["severity"].startswith("SEVERITY_")
    assert encoded["detail"]["@type"] == "type.googleapis.com/bench.Actor"
    assert isinstance(encoded["detail"]["accountId"], str)
    # Members at their defaults are left out, as unset fields are.
    small = cases["small"].struct_type
    assert msgspec.json.encode(small()) == b"{}"


def test_a_peer_with_a_different_result_is_reported_and_not_timed(
        bench: JsonBench) -> None:
    w = by_name("nested")
    case = bench.case(w, TINY)
    # msgspec now holds other content: its encode no longer matches velum's text.
    case.struct = msgspec.json.decode(case.text.replace('"ORD-', '"XRD-'), type=case.struct_type)
    note = bench.check(case)
    assert "msgspec encode MISMATCH" in note and "$.orderId" in note
    assert case.mismatched == {"msgspec"}
    outcomes = measure(bench.runners(case, "to_json"), QUICK)
    assert isinstance(outcomes["msgspec"], str) and "not timed" in outcomes["msgspec"]
    assert not isinstance(outcomes["velum"], str)


@pytest.mark.parametrize("op", JSON_OPERATIONS)
def test_every_operation_runs_for_every_peer(bench: JsonBench, cases: dict[str, JsonCase],
                                             op: str) -> None:
    for name, prepare in bench.runners(cases["events"], op).items():
        run = prepare()
        assert run is not None and run(2) >= 0, name


@pytest.mark.parametrize(("got", "want", "where"), [
    ({"a": [1, {"b": 2}]}, {"a": [1, {"b": 3}]}, "$.a[1].b"),
    ({"a": 1}, {"a": 1, "b": 2}, "$.b: only in expected"),
    ([1, 2], [1, 2, 3], "$: 2 items"),
    ({"x": True}, {"x": 1}, "$.x"),  # JSON tells true from 1
    ({"x": "1"}, {"x": 1}, "$.x"),
])
def test_difference_points_at_the_first_change(got: Any, want: Any, where: str) -> None:
    found = difference(got, want)
    assert found is not None and where in found


@pytest.mark.parametrize(("got", "want"), [
    ({"n": 3}, {"n": 3.0}),  # one JSON number
    ([float("nan")], [float("nan")]),
    ({"a": [], "b": {}}, {"b": {}, "a": []}),  # member order does not matter
])
def test_difference_accepts_equal_json_values(got: Any, want: Any) -> None:
    assert difference(got, want) is None
