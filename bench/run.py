"""Entry point: `python -m bench [--quick] [--only json|binary|loading]` (or bench/run.py)."""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

if __package__ in (None, ""):  # run as a script: make the repository root importable
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import memory
from bench.harness import FULL, QUICK, Config, Outcome, measure
from bench.impls import (
    CLOCKS,
    OPERATIONS,
    Inputs,
    MarshalFloor,
    ProtobufImpl,
    Runner,
    SubprocessImpl,
    VelumImpl,
    use_clock,
)
from bench.json_ops import JSON_OPERATIONS, JsonBench, optional_peers
from bench.json_report import (
    JSON_HEADER,
    JSON_MEMORY_HEADER,
    json_markdown,
    json_memory_rows,
    json_rows,
    json_verdicts,
)
from bench.loading import measure_loading
from bench.report import (
    LOADING_HEADER,
    Cell,
    Results,
    from_json,
    loading_rows,
    markdown,
    text_table,
    to_json,
    verdicts,
)
from bench.schema import file_set, protobuf_versions
from bench.workloads import WORKLOADS, Workload

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent


def _cpu() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _commit() -> str:
    try:
        out = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT,
                             capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return out


def _velum_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("velum")
    except metadata.PackageNotFoundError:
        return "unknown"


def _velum_path() -> str:
    try:
        import velum  # type: ignore[import-untyped]
    except ImportError:
        return "unavailable"
    return str(Path(velum.__file__).parent)


def _check(velum: VelumImpl | None, upb: ProtobufImpl, inputs: Inputs) -> str:
    """velum's encoding must decode (in upb) to the same message, and its decoding equal."""
    if velum is None:
        return "velum unavailable"
    w = inputs.workload
    notes = []
    expected = upb.message_class(w.message).FromString(inputs.data)
    built = w.build(velum.namespace(inputs), inputs.values)
    try:
        encoded = built.to_binary()
        same = upb.message_class(w.message).FromString(encoded) == expected
        notes.append("encode ok" if same else "ENCODE MISMATCH")
    except NotImplementedError:
        notes.append("encode n/a")
    try:
        decoded = velum.message_class(w.message).from_binary(inputs.data)
        notes.append("decode ok" if decoded == built else "DECODE MISMATCH")
    except NotImplementedError:
        notes.append("decode n/a")
    return ", ".join(notes)


def _memory(velum: VelumImpl | None, upb: ProtobufImpl, floor: MarshalFloor,
            inputs: Inputs, budget: int) -> dict[str, Any]:
    import marshal

    w = inputs.workload
    count = memory.count_for(len(inputs.data), budget)
    out: dict[str, Any] = {"size": len(inputs.data)}
    parse_upb = upb.message_class(w.message).FromString
    out["upb"] = memory.held(lambda: parse_upb(inputs.data), count)
    blob = floor.blob(inputs)
    out["marshal"] = memory.held(lambda: marshal.loads(blob), count)
    if velum is None:
        out["velum"] = "unavailable"
        return out
    parse_velum = velum.message_class(w.message).from_binary
    try:
        out["velum"] = memory.held(lambda: parse_velum(inputs.data), count)
    except NotImplementedError:
        out["velum"] = "n/a"
    return out


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    ap.add_argument("--quick", action="store_true", help="a few seconds, small workloads")
    ap.add_argument("--workloads", help="comma-separated subset of: "
                    + ",".join(w.name for w in WORKLOADS))
    ap.add_argument("--ops", help="comma-separated subset of: "
                    + ",".join(OPERATIONS + JSON_OPERATIONS))
    ap.add_argument("--only", choices=("binary", "json", "loading"),
                    help="measure only the binary rows (and schema loading), only the JSON "
                    "rows or only the schema-loading rows; the rest is carried over from the "
                    "earlier raw results")
    ap.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                    help="cpu: the thread's CPU time (default, robust on a loaded machine); wall")
    ap.add_argument("--no-pure-python", action="store_true", help="skip the subprocess peer")
    ap.add_argument("--no-loading", action="store_true", help="skip the schema-loading rows")
    ap.add_argument("--json", type=Path, help="raw results (default bench/results/<mode>.json)")
    ap.add_argument("--markdown", type=Path,
                    help="write the report here (full mode default: BENCHMARKS.md)")
    ap.add_argument("--no-markdown", action="store_true")
    ap.add_argument("--velum-build", metavar="TEXT",
                    help="where the velum under test was built from, for the report "
                    "(default: the installed package of this checkout)")
    ap.add_argument("--json-in-process", action="store_true",
                    help="measure every JSON workload in this process, one after another "
                    "(default: each in a fresh process, so that no workload's figures depend "
                    "on what the ones before it left in the allocator)")
    ap.add_argument("--render", type=Path, metavar="JSON",
                    help="measure nothing: rewrite the report from earlier raw results")
    args = ap.parse_args(argv)
    if args.render is not None:
        md = None if args.no_markdown else args.markdown or ROOT / "BENCHMARKS.md"
        return _render(args.render, md)

    cfg: Config = QUICK if args.quick else FULL
    mode = "quick" if args.quick else "full"
    workloads: list[Workload] = [
        w for w in WORKLOADS
        if not args.workloads or w.name in args.workloads.split(",")
    ]
    chosen_ops = args.ops.split(",") if args.ops else None
    ops = [o for o in OPERATIONS if chosen_ops is None or o in chosen_ops]
    json_ops = [o for o in JSON_OPERATIONS if chosen_ops is None or o in chosen_ops]
    do_binary, do_json = args.only in (None, "binary"), args.only in (None, "json")
    do_loading = args.only in (None, "binary", "loading") and not args.no_loading
    started = time.perf_counter()
    use_clock(args.clock)
    load_before = os.getloadavg()[0]

    fs = file_set()
    upb = ProtobufImpl(fs, "upb")
    velum: VelumImpl | None
    try:
        velum = VelumImpl(fs, upb.schema)
    except Exception as e:  # velum not built: the peers still run
        print(f"velum unavailable: {type(e).__name__}: {e}", file=sys.stderr)
        velum = None
    floor = MarshalFloor(upb.schema)
    pure: SubprocessImpl | None = None
    peers: dict[str, Any] = {"upb": protobuf_versions()}
    if do_binary and not args.no_pure_python:
        try:
            pure = SubprocessImpl(fs, args.clock)
            v = pure.versions
            peers["pure-python"] = f"protobuf {v['protobuf']} ({v['backend']} backend, subprocess)"
        except Exception as e:
            print(f"pure-Python peer unavailable: {e}", file=sys.stderr)

    results = Results(meta={
        "mode": mode,
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "commit": _commit(),
        "cpu": _cpu(),
        "cores": os.cpu_count(),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "velum": _velum_version() if velum else "unavailable",
        "velum_path": _velum_path(),
        "velum_build": args.velum_build or "the installed package (make build of this checkout)",
        "peers": peers,
        "config": {"target": cfg.target, "rounds": cfg.rounds, "budget": cfg.budget,
                   "scale": cfg.scale, "clock": args.clock},
    })

    try:
        for w in workloads if do_binary else ():
            if not w.binary:
                continue
            upb_ns = w.namespace(upb.message_class)
            data = w.build(upb_ns, w.values(cfg.scale, 0)).SerializeToString()
            data1 = w.build(upb_ns, w.values(cfg.scale, 1)).SerializeToString()
            inputs = Inputs(w, cfg.scale, data, data1)
            results.checks[w.name] = _check(velum, upb, inputs)
            if pure is not None:
                pure.load(inputs)
            for op in ops:
                print(f"  {w.name:8} {op}", file=sys.stderr, flush=True)
                results.cells.append(Cell(w.name, len(data), op, _measure_cell(
                    velum, upb, pure, floor, inputs, op, cfg)))
            results.memory[w.name] = _memory(velum, upb, floor, inputs, cfg.memory_bytes)
    finally:
        if pure is not None:
            pure.close()
    if do_loading:
        results.loading = measure_loading(cfg, velum is not None)
    results.meta["seconds"] = round(time.perf_counter() - started, 1)
    results.meta["load"] = [round(load_before, 2), round(os.getloadavg()[0], 2)]
    if do_json and (args.json_in_process or velum is None):
        _run_json(results, velum, upb, workloads, json_ops, cfg, mode, args.clock)
    elif do_json:
        _run_json_isolated(results, workloads, json_ops, args)

    _print(results)

    # A subset of the workloads or operations is not a report of record: unless told
    # where, it goes to its own raw file and leaves BENCHMARKS.md alone.
    subset = bool(args.workloads or args.ops)
    out_json = args.json or BENCH_DIR / "results" / f"{mode}{'-subset' if subset else ''}.json"
    if args.only is not None and not subset:
        results = _carry_over(results, out_json, args.only)
    out_json.parent.mkdir(parents=True, exist_ok=True)
    out_json.write_text(json.dumps(to_json(results), indent=1, ensure_ascii=False) + "\n")
    md_path = args.markdown or (None if args.quick or subset else ROOT / "BENCHMARKS.md")
    if md_path is not None and not args.no_markdown:
        _write_markdown(results, md_path)
        print(f"wrote {out_json} and {md_path}")
    else:
        print(f"wrote {out_json}")
    return 0


def _run_json(results: Results, velum: VelumImpl | None, upb: ProtobufImpl,
              workloads: list[Workload], ops: list[str], cfg: Config, mode: str,
              clock_name: str) -> None:
    started = time.perf_counter()
    load_before = os.getloadavg()[0]
    if velum is None:
        results.json_checks["all"] = "velum unavailable: nothing to compare the peers with"
        return
    bench = JsonBench(velum, upb)
    for w in workloads:
        case = bench.case(w, cfg.scale)
        results.json_checks[w.name] = bench.check(case)
        for op in ops:
            print(f"  {w.name:8} {op}", file=sys.stderr, flush=True)
            results.json_cells.append(Cell(w.name, case.size, op,
                                           measure(bench.runners(case, op), cfg)))
        results.json_memory[w.name] = bench.memory(case, with_json_format=True)
    results.json_meta = {
        "mode": mode,
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "commit": _commit(),
        "peers": {"json_format": protobuf_versions()["protobuf"], **optional_peers()},
        "config": {"target": cfg.target, "rounds": cfg.rounds, "budget": cfg.budget,
                   "scale": cfg.scale, "clock": clock_name},
        "seconds": round(time.perf_counter() - started, 1),
        "load": [round(load_before, 2), round(os.getloadavg()[0], 2)],
    }


def _run_json_isolated(results: Results, workloads: list[Workload], ops: list[str],
                       args: argparse.Namespace) -> None:
    """The JSON rows, each workload measured by a fresh `python -m bench` of its own.

    Run one after another in one process, a workload's figures depended on the workloads
    before it: what their large trees left in the allocator changed how many pages a call
    faults in (wide's `to_dict`: about 265 a call alone, 517 after the others), for velum and
    the peers alike. A fresh process per workload gives every workload the same start.
    """
    started = time.perf_counter()
    load_before = os.getloadavg()[0]
    meta: dict[str, Any] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for w in workloads:
            out = Path(tmp) / f"{w.name}.json"
            cmd = [sys.executable, "-m", "bench", "--only", "json", "--json-in-process",
                   "--workloads", w.name, "--ops", ",".join(ops), "--clock", args.clock,
                   "--no-markdown", "--json", str(out)] + (["--quick"] if args.quick else [])
            done = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.DEVNULL, check=False)
            if done.returncode != 0 or not out.exists():
                results.json_checks[w.name] = f"worker failed (exit status {done.returncode})"
                continue
            part = from_json(json.loads(out.read_text()))
            results.json_cells.extend(part.json_cells)
            results.json_checks.update(part.json_checks)
            results.json_memory.update(part.json_memory)
            meta = meta or part.json_meta
    results.json_meta = {
        **meta,
        "isolated": True,
        "seconds": round(time.perf_counter() - started, 1),
        "load": [round(load_before, 2), round(os.getloadavg()[0], 2)],
    }


def _carry_over(fresh: Results, path: Path, only: str) -> Results:
    """The fresh part of a partial run joined with the other part of the earlier results."""
    if not path.exists():
        return fresh
    earlier = from_json(json.loads(path.read_text()))
    if only == "loading":
        earlier.loading = fresh.loading
        earlier.meta["loading_measured"] = {k: fresh.meta[k] for k in ("date", "commit")}
        return earlier
    if only == "binary":
        fresh.json_meta, fresh.json_cells = earlier.json_meta, earlier.json_cells
        fresh.json_memory, fresh.json_checks = earlier.json_memory, earlier.json_checks
        return fresh
    earlier.json_meta, earlier.json_cells = fresh.json_meta, fresh.json_cells
    earlier.json_memory, earlier.json_checks = fresh.json_memory, fresh.json_checks
    return earlier


def _print(results: Results) -> None:
    if results.cells:
        print(text_table(results))
        print()
    if results.loading:
        print(text_table(results, LOADING_HEADER, loading_rows(results)))
        print()
    if results.cells:
        for label, verdict in verdicts(results):
            print(f"{label}: {verdict}")
        print(f"\n({results.meta['mode']} mode, {results.meta.get('seconds', '?')} s)\n")
    if results.json_cells:
        print(text_table(results, JSON_HEADER, json_rows(results)))
        print()
        print(text_table(results, JSON_MEMORY_HEADER, json_memory_rows(results)))
        print()
        for label, verdict in json_verdicts(results):
            print(f"{label}: {verdict}")
        for workload, note in results.json_checks.items():
            print(f"checks {workload}: {note}")
        m = results.json_meta
        print(f"\n(JSON rows: {m.get('mode', '?')} mode, {m.get('seconds', '?')} s)")


def _write_markdown(results: Results, path: Path) -> None:
    def read(name: str) -> str | None:
        p = BENCH_DIR / name
        return p.read_text() if p.exists() else None

    json_part = json_markdown(results, read("json_analysis.md"))
    path.write_text(markdown(results, read("analysis.md"), json_part))


def _render(source: Path, md_path: Path | None) -> int:
    results = from_json(json.loads(source.read_text()))
    _print(results)
    if md_path is not None:
        _write_markdown(results, md_path)
        print(f"wrote {md_path}")
    return 0


def _measure_cell(velum: VelumImpl | None, upb: ProtobufImpl, pure: SubprocessImpl | None,
                  floor: MarshalFloor, inputs: Inputs, op: str,
                  cfg: Config) -> dict[str, Outcome]:
    def bind(impl: Any) -> Any:
        def prepare() -> Runner | None:
            runner: Runner | None = impl.prepare(inputs, op)
            return runner

        return prepare

    runners = {"velum": bind(velum)} if velum is not None else {}
    runners["upb"] = bind(upb)
    if pure is not None:
        runners["pure-python"] = bind(pure)
    runners["marshal"] = bind(floor)
    outcomes = measure(runners, cfg)
    if velum is None:
        outcomes["velum"] = "unavailable"
    return outcomes


if __name__ == "__main__":
    raise SystemExit(main())
