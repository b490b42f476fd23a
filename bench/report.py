"""The results table (terminal and Markdown), the target verdicts, and the JSON record."""

# The tables are read by people: typographic signs for ratios and ranges.
# ruff: noqa: RUF001

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from bench.harness import Outcome, Stat

PEERS = ("upb", "pure-python")


@dataclass
class Cell:
    workload: str
    size: int
    op: str
    outcomes: dict[str, Outcome]


@dataclass
class Results:
    meta: dict[str, Any]
    cells: list[Cell] = field(default_factory=list)
    memory: dict[str, dict[str, Any]] = field(default_factory=dict)
    checks: dict[str, str] = field(default_factory=dict)
    # Schema loading (bench/loading.py): schema, size, messages, op, outcomes per implementation.
    loading: list[dict[str, Any]] = field(default_factory=list)
    # The JSON rows (bench/json_ops.py), measured and recorded apart from the binary ones.
    json_meta: dict[str, Any] = field(default_factory=dict)
    json_cells: list[Cell] = field(default_factory=list)
    json_memory: dict[str, dict[str, Any]] = field(default_factory=dict)
    json_checks: dict[str, str] = field(default_factory=dict)


def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_size(n: float) -> str:
    if n >= 1 << 20:
        return f"{n / (1 << 20):.2f} MiB"
    if n >= 1 << 10:
        return f"{n / (1 << 10):.1f} KiB"
    return f"{n:.0f} B"


def _median(o: Outcome | None) -> float | None:
    return o.median if isinstance(o, Stat) and o.samples else None


def _timing(o: Outcome | None, spread: bool) -> str:
    if o is None:
        return "—"
    if isinstance(o, str):
        return o if o in ("n/a", "unavailable") else "error"
    if not o.samples:
        return "error"
    text = fmt_time(o.median)
    if spread:
        text += f" ({fmt_time(o.low)}–{fmt_time(o.high)})"
    return text


def ratio(num: Outcome | None, den: Outcome | None) -> float | None:
    a, b = _median(num), _median(den)
    return a / b if a is not None and b else None


def _ratio_text(r: float | None) -> str:
    return "—" if r is None else f"{r:.2f}×"


HEADER = ("workload", "operation", "velum median (min–max)", "upb", "upb/velum",
          "pure-python", "py/velum", "marshal floor", "velum/floor")


def rows(results: Results) -> list[tuple[str, ...]]:
    out: list[tuple[str, ...]] = []
    for c in results.cells:
        o = c.outcomes
        out.append((
            f"{c.workload} ({fmt_size(c.size)})", c.op, _timing(o.get("velum"), True),
            _timing(o.get("upb"), False), _ratio_text(ratio(o.get("upb"), o.get("velum"))),
            _timing(o.get("pure-python"), False),
            _ratio_text(ratio(o.get("pure-python"), o.get("velum"))),
            _timing(o.get("marshal"), False),
            _ratio_text(ratio(o.get("velum"), o.get("marshal"))),
        ))
    return out


LOADING_HEADER = ("schema set (descriptor bytes, messages)", "operation",
                  "velum median (min–max)", "upb", "upb/velum")


def _loading_run(meta: dict[str, Any]) -> list[str]:
    """A note on the loading rows when they come from a later `--only loading` run."""
    run = meta.get("loading_measured")
    if not run:
        return []
    return ["", f"These rows were measured on their own ({run['date']}, commit {run['commit']})."]


def loading_rows(results: Results) -> list[tuple[str, ...]]:
    return [
        (f"{r['schema']} ({fmt_size(r['size'])}, {r['messages']})", r["op"],
         _timing(r["outcomes"].get("velum"), True), _timing(r["outcomes"].get("upb"), False),
         _ratio_text(ratio(r["outcomes"].get("upb"), r["outcomes"].get("velum"))))
        for r in results.loading
    ]


def text_table(results: Results, header: Sequence[str] = HEADER,
               body: Sequence[Sequence[str]] | None = None) -> str:
    body = rows(results) if body is None else body
    widths = [max(len(r[i]) for r in [header, *body]) for i in range(len(header))]
    lines = []
    for n, r in enumerate([header, *body]):
        lines.append("  ".join(v.ljust(w) for v, w in zip(r, widths, strict=True)).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def markdown_table(header: Sequence[str], body: Sequence[Sequence[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(r) + " |" for r in body]
    return "\n".join(lines)


def memory_rows(results: Results) -> list[tuple[str, ...]]:
    out: list[tuple[str, ...]] = []
    for workload, m in results.memory.items():
        def traced(impl: str, m: dict[str, Any] = m) -> float | None:
            v = m.get(impl)
            return float(v["tracemalloc"]) if isinstance(v, dict) else None

        upb = m.get("upb")
        upb_malloc = upb.get("malloc") if isinstance(upb, dict) else None
        velum, upb_traced, floor = traced("velum"), traced("upb"), traced("marshal")
        upb_total = None if upb_traced is None or upb_malloc is None else upb_traced + upb_malloc

        def show(v: float | None) -> str:
            return "n/a" if v is None else fmt_size(max(v, 0))

        out.append((
            f"{workload} ({fmt_size(m['size'])})", show(velum),
            f"{show(upb_total)} ({show(upb_traced)} + {show(upb_malloc)})",
            show(floor),
            "—" if velum is None or not upb_total else f"{velum / upb_total:.1f}×",
        ))
    return out


MEMORY_HEADER = ("workload (wire size)", "velum", "upb (Python objects + malloc)",
                 "marshal tree", "velum/upb")

# (operation, peer, kind, threshold): kind "peer" is peer/velum >= threshold,
# "floor" is velum/marshal <= threshold.
TARGETS: tuple[tuple[str, str, str, str, float], ...] = (
    ("parse+read ≥ 2× faster than upb", "parse+read", "upb", "peer", 2.0),
    ("build+serialize ≥ 2× faster than upb", "build+serialize", "upb", "peer", 2.0),
    ("serialize no slower than upb", "serialize", "upb", "peer", 1.0),
    ("parse within 1.5× of the marshal floor", "parse", "marshal", "floor", 1.5),
    ("deepcopy faster than upb CopyFrom", "deepcopy", "upb", "peer", 1.0),
    ("native deep copy faster than upb CopyFrom", "copy (native)", "upb", "peer", 1.0),
    ("merge faster than upb MergeFrom", "merge", "upb", "peer", 1.0),
    ("== faster than upb", "==", "upb", "peer", 1.0),
    ("every operation ≥ 20× faster than pure-Python", "*", "pure-python", "peer", 20.0),
)


def verdicts(results: Results, cells: Sequence[Cell] | None = None,
             targets: Sequence[tuple[str, str, str, str, float]] = TARGETS,
             ) -> list[tuple[str, str]]:
    out = []
    for label, op, peer, kind, threshold in targets:
        missed, held, unmeasured = [], 0, []
        for c in results.cells if cells is None else cells:
            if op not in ("*", c.op):
                continue
            if kind == "peer":
                r = ratio(c.outcomes.get(peer), c.outcomes.get("velum"))
                ok = r is not None and r >= threshold
            else:
                r = ratio(c.outcomes.get("velum"), c.outcomes.get(peer))
                ok = r is not None and r <= threshold
            where = c.workload if op != "*" else f"{c.workload}/{c.op}"
            if r is None:
                unmeasured.append(where)
            elif ok:
                held += 1
            else:
                missed.append(f"{where} {r:.2f}×")
        if missed:
            verdict = "misses: " + ", ".join(missed)
        elif held:
            verdict = "holds"
        else:
            verdict = "not measured"
        if unmeasured and held + len(missed):
            verdict += " (not measured: " + ", ".join(unmeasured) + ")"
        out.append((label, verdict))
    return out


def eager_bound_rows(results: Results) -> list[tuple[str, ...]]:
    """How far ahead of upb's parse+read an eager decoder can get at best.

    An eager decoder creates every object during the parse, so its parse+read costs at least
    the marshal floor plus the reading itself (velum's parse+read minus its parse: the walk
    over objects that already exist). upb's parse+read divided by that sum is the best
    ratio any eager decoder could show.
    """
    by_key = {(c.workload, c.op): c.outcomes for c in results.cells}
    out: list[tuple[str, ...]] = []
    for c in results.cells:
        if c.op != "parse+read":
            continue
        parse = by_key.get((c.workload, "parse"), {})
        walk_v, parse_v = _median(c.outcomes.get("velum")), _median(parse.get("velum"))
        floor, upb = _median(parse.get("marshal")), _median(c.outcomes.get("upb"))
        if None in (walk_v, parse_v, floor, upb):
            continue
        assert walk_v is not None and parse_v is not None and floor is not None
        assert upb is not None
        reading = max(walk_v - parse_v, 0.0)
        out.append((c.workload, fmt_time(floor), fmt_time(reading), fmt_time(floor + reading),
                    fmt_time(upb), f"{upb / (floor + reading):.2f}×", f"{upb / walk_v:.2f}×"))
    return out


EAGER_HEADER = ("workload", "marshal floor", "reading the fields", "floor + reading",
                "upb parse+read", "best eager ratio", "velum ratio")


def to_json(results: Results) -> dict[str, Any]:
    def outcome(o: Outcome) -> Any:
        if isinstance(o, Stat):
            return {"median": o.median if o.samples else None,
                    "min": o.low if o.samples else None, "max": o.high if o.samples else None,
                    "loops": o.loops, "samples": o.samples}
        return o

    def cells(cs: list[Cell]) -> list[dict[str, Any]]:
        return [{"workload": c.workload, "size": c.size, "op": c.op,
                 "results": {k: outcome(v) for k, v in c.outcomes.items()}} for c in cs]

    return {
        "meta": results.meta,
        "checks": results.checks,
        "cells": cells(results.cells),
        "memory": results.memory,
        "loading": [{**r, "outcomes": {k: outcome(v) for k, v in r["outcomes"].items()}}
                    for r in results.loading],
        "json": {"meta": results.json_meta, "checks": results.json_checks,
                 "cells": cells(results.json_cells), "memory": results.json_memory},
    }


def from_json(data: dict[str, Any]) -> Results:
    def outcome(o: Any) -> Outcome:
        if isinstance(o, dict):
            return Stat(o["loops"], list(o["samples"]))
        return str(o)

    def cells(cs: list[dict[str, Any]]) -> list[Cell]:
        return [Cell(c["workload"], c["size"], c["op"],
                     {k: outcome(v) for k, v in c["results"].items()}) for c in cs]

    js = data.get("json", {})
    return Results(
        meta=data["meta"],
        cells=cells(data["cells"]),
        memory=data["memory"],
        checks=data["checks"],
        loading=[{**r, "outcomes": {k: outcome(v) for k, v in r["outcomes"].items()}}
                 for r in data.get("loading", [])],
        json_meta=js.get("meta", {}),
        json_cells=cells(js.get("cells", [])),
        json_memory=js.get("memory", {}),
        json_checks=js.get("checks", {}),
    )


def markdown(results: Results, analysis: str | None, json_part: Sequence[str] = ()) -> str:
    m = results.meta
    peers = m["peers"]
    parts = [
        "# Benchmarks",
        "",
        f"Generated by `make bench` ({m['mode']} mode) on {m['date']}, benchmark suite at commit "
        f"`{m['commit']}`.",
        "",
        f"- CPU: {m['cpu']} ({m['cores']} logical cores)",
        f"- Python: {m['python']}",
        f"- velum: {m['velum']}, built from {m.get('velum_build', 'this checkout')}",
        f"- upb peer: protobuf {peers['upb']['protobuf']} ({peers['upb']['backend']} backend,"
        " same process)",
        f"- pure-Python peer: {peers.get('pure-python', 'unavailable')}",
        "",
        "Times are per call: the median over interleaved samples, with the min–max spread "
        "for velum; ratios divide medians (above 1 means velum is faster, except velum/floor, "
        "where below 1.5 meets the target). `n/a` marks an operation velum does not "
        "implement yet; `—` one the implementation does not offer. "
        "How it is measured: see the end of this file.",
        "",
        markdown_table(HEADER, rows(results)),
        "",
        "## Targets",
        "",
        markdown_table(("target", "verdict"), verdicts(results)),
        "",
        "### What an eager decoder can reach on parse+read",
        "",
        "An eager decoder creates every object while parsing, so its parse+read costs at least "
        "the marshal floor plus reading the fields (velum's parse+read minus its parse). "
        "upb's parse+read over that sum is the best ratio any eager decoder could show:",
        "",
        markdown_table(EAGER_HEADER, eager_bound_rows(results)),
        "",
        "## Memory held per decoded message",
        "",
        "Bytes per message while many decoded messages are kept alive. velum and the marshal "
        "tree: tracemalloc, which sees all their allocations (Python objects, and PyMem_Raw, "
        "where velum keeps its native storage). upb keeps its arenas in plain malloc, which "
        "tracemalloc does not see: its figure is tracemalloc (the Python wrapper) plus the "
        "growth of glibc's in-use malloc bytes (mallinfo2), measured in a separate pass. upb "
        "holds the decoded data in its arena and creates Python objects only when fields are "
        "read, so these are the costs of a message at rest.",
        "",
        markdown_table(MEMORY_HEADER, memory_rows(results)),
        "",
        "## Schema loading",
        "",
        "A serialized FileDescriptorSet loaded into a fresh `velum.Registry` "
        "(`add_file_set`) or a fresh upb `DescriptorPool` (`FileDescriptorSet.FromString` "
        "and `Add` per file); `load + classes` also gets the class of every message type "
        "(`message_class` / `message_factory.GetMessageClass`). velum makes a class, with "
        "the classes it reaches and the enum classes of its fields, when it is first "
        "needed. upb's classes expose enum fields as plain ints and make no enum classes. "
        "Sets: `google/protobuf/descriptor.proto` and all of protoc's bundled `.proto` "
        "files (from grpcio-tools), the test schemas, and two generated ones "
        "(`bench/loading.py`).",
        *_loading_run(results.meta),
        "",
        markdown_table(LOADING_HEADER, loading_rows(results)) if results.loading
        else "(not measured in this run)",
        "",
        "## Consistency checks",
        "",
        *[f"- {k}: {v}" for k, v in results.checks.items()],
        "",
        *json_part,
        "## Method",
        "",
        "- Workloads: `bench/protos/*.proto`, content from the seeded generators in "
        "`bench/workloads.py`. Every implementation parses the same bytes (upb's encoding of "
        "the generated content) and builds messages with the same keyword-constructor code.",
        "- Operations: `parse` is `from_binary` / `FromString`; `parse+read` also reads every "
        "field recursively (one `operator.attrgetter` per type, `tuple()` over repeated "
        "fields and map items); `serialize` encodes an existing message; `build+serialize` "
        "constructs from Python values and encodes; `deepcopy` is `copy.deepcopy` for velum "
        "and `CopyFrom` into a new message for protobuf; `copy (native)` calls velum's "
        "`__deepcopy__` directly, without the `copy` module's own per-call work around it "
        "(protobuf: `CopyFrom` again); `merge` merges a message into a "
        "freshly parsed, different one (`merge_from` / `MergeFrom`, target made outside the "
        "clock); `==` compares two independent decodes of the same bytes. The floor is "
        "`marshal.loads` of the equivalent plain tuple/list/dict tree.",
        "- Each sample runs the operation in a loop sized to last about "
        f"{m['config']['target'] * 1e3:g} ms, after calibration and warm-up; samples of all "
        "implementations alternate round by round (order rotated), up to "
        f"{m['config']['rounds']} per implementation; the cyclic GC stays enabled (it is "
        "part of what object-creating decoders cost), with a full collection before each "
        "cell. The clock is "
        + ("the thread's CPU time (`time.thread_time`), so time spent preempted on a loaded "
           "machine is left out" if m["config"].get("clock") == "cpu" else "wall time")
        + f"; the load average was {m.get('load', ['?', '?'])[0]} at the start and "
        f"{m.get('load', ['?', '?'])[1]} at the end of the run. The pure-Python backend runs "
        "in a subprocess over a pipe with the same code, with fewer rounds where a call is "
        "slow.",
        "",
    ]
    if analysis:
        parts += [analysis.strip(), ""]
    return "\n".join(parts)
