"""The JSON table, its targets and the to_json memory rows."""

# The tables are read by people: typographic signs for ratios and ranges.
# ruff: noqa: RUF001

from __future__ import annotations

from typing import Any

from bench.json_ops import JSON_PEERS
from bench.report import (
    Results,
    _ratio_text,
    _timing,
    fmt_size,
    markdown_table,
    ratio,
    verdicts,
)

JSON_HEADER = ("workload (JSON text)", "operation", "velum median (min–max)",
               "json_format", "jf/velum", "orjson", "orjson/velum",
               "orjson.loads + from_dict", "÷velum", "msgspec", "msgspec/velum")

# What each peer column runs, per operation (for the notes under the table).
PEER_CALLS: dict[str, dict[str, str]] = {
    "to_json": {"json_format": "MessageToJson(indent=None)", "orjson": "orjson.dumps(to_dict())",
                "msgspec": "msgspec.json.encode"},
    "to_dict": {"json_format": "MessageToDict", "msgspec": "msgspec.to_builtins"},
    "from_json": {"json_format": "Parse", "orjson": "orjson.loads",
                  "orjson+from_dict": "from_dict(orjson.loads(text))",
                  "msgspec": "msgspec.json.Decoder(type).decode"},
    "from_dict": {"json_format": "ParseDict", "msgspec": "msgspec.convert(tree, type)"},
}

# (label, operation, peer, kind, threshold): peer/velum must reach the threshold.
JSON_TARGETS: tuple[tuple[str, str, str, str, float], ...] = (
    ("to_json ≥ 30× faster than json_format", "to_json", "json_format", "peer", 30.0),
    ("from_json ≥ 30× faster than json_format", "from_json", "json_format", "peer", 30.0),
    ("to_dict ≥ 20× faster than MessageToDict", "to_dict", "json_format", "peer", 20.0),
    ("from_dict ≥ 20× faster than ParseDict", "from_dict", "json_format", "peer", 20.0),
    ("to_json no slower than orjson.dumps of the tree (≥ 1.0×)", "to_json", "orjson", "peer",
     1.0),
    ("to_json within 1.5× of msgspec encode (≥ 0.67×)", "to_json", "msgspec", "peer", 1 / 1.5),
    ("from_json faster than orjson.loads + from_dict (≥ 1.0×)", "from_json",
     "orjson+from_dict", "peer", 1.0),
    ("from_json within 1.5× of msgspec decode (≥ 0.67×)", "from_json", "msgspec", "peer",
     1 / 1.5),
)

MEMORY_WORKLOAD = "wide"
MEMORY_LIMIT = 2.0
# "About" twice: the text buffer and the str made from it are each the output's size,
# and tracemalloc also counts a few small objects beside them.
MEMORY_SLACK = 1.02


def json_rows(results: Results) -> list[tuple[str, ...]]:
    out: list[tuple[str, ...]] = []
    for c in results.json_cells:
        o = c.outcomes
        row = [f"{c.workload} ({fmt_size(c.size)})", c.op, _timing(o.get("velum"), True)]
        for peer in JSON_PEERS:
            row += [_timing(o.get(peer), False), _ratio_text(ratio(o.get(peer), o.get("velum")))]
        out.append(tuple(row))
    return out


def json_verdicts(results: Results) -> list[tuple[str, str]]:
    out = verdicts(results, results.json_cells, JSON_TARGETS)
    m = results.json_memory.get(MEMORY_WORKLOAD, {}).get("to_json")
    label = f"to_json peak memory ≤ ~{MEMORY_LIMIT:g}× its output ({MEMORY_WORKLOAD})"
    if m is None:
        out.append((label, "not measured"))
    else:
        r = m["peak"] / m["output"]
        holds = r <= MEMORY_LIMIT * MEMORY_SLACK
        out.append((label, f"holds ({r:.2f}×)" if holds else f"misses: {r:.2f}×"))
    return out


JSON_MEMORY_HEADER = ("workload (JSON text)", "to_json peak", "str returned", "peak/str",
                      "to_dict peak", "tree returned", "MessageToJson peak/str")


def json_memory_rows(results: Results) -> list[tuple[str, ...]]:
    out: list[tuple[str, ...]] = []
    for workload, m in results.json_memory.items():
        tj, td, jf = m["to_json"], m["to_dict"], m.get("MessageToJson")
        out.append((
            f"{workload} ({fmt_size(m['text_bytes'])})", fmt_size(tj["peak"]),
            fmt_size(tj["output"]), f"{tj['peak'] / tj['output']:.2f}×", fmt_size(td["peak"]),
            fmt_size(td["output"]),
            "—" if jf is None else f"{jf['peak'] / jf['output']:.1f}×",
        ))
    return out


def json_markdown(results: Results, analysis: str | None) -> list[str]:
    m: dict[str, Any] = results.json_meta
    if not results.json_cells:
        return []
    peers = m.get("peers", {})
    calls = "; ".join(
        f"`{op}`: " + ", ".join(f"{peer} = `{call}`" for peer, call in by_peer.items())
        for op, by_peer in PEER_CALLS.items()
    )
    parts = [
        "## JSON",
        "",
        f"Measured ({m.get('mode', '?')} mode) on {m.get('date', '?')}, benchmark suite at "
        f"commit `{m.get('commit', '?')}`, in {m.get('seconds', '?')} s; "
        f"load average {m.get('load', ['?', '?'])[0]} at the start, "
        f"{m.get('load', ['?', '?'])[1]} at the end. "
        + ("Each workload is measured in a fresh process of its own, so that none depends on "
           "what the workloads before it left in the allocator. " if m.get("isolated") else "")
        + "Peers in the same process, samples "
        f"interleaved as above: protobuf {peers.get('json_format', '?')} `json_format` (upb), "
        f"orjson {peers.get('orjson', '?')}, msgspec {peers.get('msgspec', '?')}.",
        "",
        "Every peer works on the same content: the text is velum's `to_json` output, the "
        "tree its `to_dict` output, protobuf converts the message built from the same values, "
        "and msgspec uses Structs the bench generates from the descriptors "
        "(`bench/json_structs.py`: JSON member names, 64-bit integers, enums, Timestamp and "
        "Duration as strings, Struct as a dict, bytes as Base64, defaults omitted, an Any "
        "as a Struct tagged by `@type`). Before timing, each peer's result is compared with "
        "velum's (see the checks below); a peer that differs is not timed. "
        "`python -m bench --only json` (`make bench-json`) measures these rows alone and "
        "keeps the rest of this file. "
        "Ratios are peer/velum: above 1 means velum is faster. The columns run: " + calls + ".",
        "",
        markdown_table(JSON_HEADER, json_rows(results)),
        "",
        "### JSON targets",
        "",
        markdown_table(("target", "verdict"), json_verdicts(results)),
        "",
        "### Memory of one to_json",
        "",
        "Peak tracemalloc bytes above the starting level during one call, against the size "
        "of the object returned (`sys.getsizeof` of the str; for `to_dict` the tree with "
        "every object in it). velum's native buffers come from `PyMem_Raw*`, which "
        "tracemalloc sees.",
        "",
        markdown_table(JSON_MEMORY_HEADER, json_memory_rows(results)),
        "",
        "### JSON consistency checks",
        "",
        "Results are compared as JSON values, so what differs only in spelling passes: "
        "member order (protobuf writes Struct and map entries in its own order), `3` beside "
        "`3.0`, and json_format's layout (`json.dumps` still puts a space after `,` and `:` "
        "without indentation; `ensure_ascii=False` is passed, as velum writes non-ASCII "
        "text as it is). `true` and `1` differ. msgspec's integer map keys are written as "
        "strings (`to_builtins(str_keys=True)`) and read from strings "
        "(`convert(strict=False)`), as in JSON text. Messages read back are compared with "
        "`==` against the message built from the same values.",
        "",
        *[f"- {k}: {v}" for k, v in results.json_checks.items()],
        "",
    ]
    if analysis:
        parts += [analysis.strip(), ""]
    return parts
