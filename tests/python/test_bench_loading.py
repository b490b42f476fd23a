"""`python -m bench --only loading` replaces the loading rows and keeps the rest of a run."""

from __future__ import annotations

import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from bench.harness import Stat  # noqa: E402
from bench.report import Cell, Results, to_json  # noqa: E402
from bench.run import _carry_over  # noqa: E402


def _row(label: str, seconds: float) -> dict[str, object]:
    outcomes = {"velum": Stat(1, [seconds]), "upb": Stat(1, [seconds / 2])}
    return {"schema": label, "size": 10, "messages": 1, "op": "load", "outcomes": outcomes}


def test_only_loading_keeps_the_earlier_rows_and_records_its_own_run(tmp_path: Path) -> None:
    earlier = Results(
        meta={"mode": "full", "date": "then", "commit": "aaa"},
        cells=[Cell("small", 10, "parse", {"velum": Stat(1, [1e-6])})],
        loading=[_row("old set", 0.5)],
        json_meta={"mode": "full"},
    )
    path = tmp_path / "full.json"
    path.write_text(json.dumps(to_json(earlier)))
    fresh = Results(meta={"mode": "full", "date": "now", "commit": "bbb"},
                    loading=[_row("new set", 0.1)])  # fmt: skip
    joined = _carry_over(fresh, path, "loading")
    assert [c.workload for c in joined.cells] == ["small"] and joined.json_meta == {"mode": "full"}
    assert [r["schema"] for r in joined.loading] == ["new set"]
    assert joined.meta["commit"] == "aaa"  # the header still describes the earlier run
    assert joined.meta["loading_measured"] == {"date": "now", "commit": "bbb"}
