"""The JSON rows: velum's four JSON operations beside json_format, orjson and msgspec.

Every peer works on the same content. The JSON text is velum's `to_json` output and the
value tree its `to_dict` output; protobuf converts the message built from the same values;
msgspec's Structs are decoded from the same text. Before anything is timed, `check` makes
sure every peer produces (or reads back) the same value, so a ratio never compares
different work; a peer whose result differs is not timed.
"""

from __future__ import annotations

import gc
import importlib
import json
import math
import sys
import tracemalloc
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from bench.impls import ProtobufImpl, Runner, VelumImpl, _loop0, _loop1
from bench.workloads import Workload

JSON_OPERATIONS: tuple[str, ...] = ("to_json", "to_dict", "from_json", "from_dict")

# The message types an Any may hold in the workloads.
ANY_TYPES: tuple[str, ...] = ("bench.Actor",)

# Peer names, in table order; which of them offers which operation is decided in `runners`.
JSON_PEERS: tuple[str, ...] = ("json_format", "orjson", "orjson+from_dict", "msgspec")


def _optional(name: str) -> Any:
    """A peer's module, or None when it is not installed (its columns stay empty)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def optional_peers() -> dict[str, str]:
    """The versions of orjson and msgspec, or that they are missing."""
    return {name: getattr(_optional(name), "__version__", "unavailable")
            for name in ("orjson", "msgspec")}


@dataclass
class JsonCase:
    """One workload's content in every form the peers start from."""

    workload: Workload
    velum_msg: Any
    upb_msg: Any
    text: str  # velum's to_json
    tree: Any  # velum's to_dict
    struct_type: Any = None  # msgspec root Struct, when msgspec is installed
    struct: Any = None
    # Peers whose output differed in the checks: they are not timed.
    mismatched: set[str] = field(default_factory=set)

    @property
    def size(self) -> int:
        return len(self.text.encode())


class JsonBench:
    def __init__(self, velum: VelumImpl, upb: ProtobufImpl) -> None:
        from google.protobuf import json_format

        self.velum = velum
        self.upb = upb
        self.registry = velum.registry
        self.pool = upb.schema.pool
        self._jf = json_format
        self._orjson: Any = _optional("orjson")
        self._msgspec: Any = _optional("msgspec")
        self._structs: Any = None
        if self._msgspec is not None:
            from bench.json_structs import StructSet

            self._structs = StructSet(upb.schema.descriptor, ANY_TYPES)

    # Content ------------------------------------------------------------------------

    def case(self, w: Workload, scale: float) -> JsonCase:
        values = w.values(scale, 0)
        velum_msg = w.build(w.namespace(self.velum.message_class), values)
        upb_msg = w.build(w.namespace(self.upb.message_class), values)
        text = velum_msg.to_json(registry=self.registry)
        case = JsonCase(w, velum_msg, upb_msg, text, velum_msg.to_dict(registry=self.registry))
        if self._msgspec is not None:
            case.struct_type = self._structs.struct(w.message)
            case.struct = self._msgspec.json.decode(text, type=case.struct_type)
        return case

    def _message_to_json(self, msg: Any) -> str:
        # json_format's most compact text: no indentation, non-ASCII kept as velum keeps it
        # (json.dumps still puts a space after "," and ":").
        text: str = self._jf.MessageToJson(msg, indent=None, ensure_ascii=False,
                                           descriptor_pool=self.pool)
        return text

    # Equivalence --------------------------------------------------------------------

    def check(self, case: JsonCase) -> str:
        """Compare every peer's result with velum's; the note says what was compared."""
        velum_cls = type(case.velum_msg)
        upb_cls = type(case.upb_msg)
        reg, pool, jf = self.registry, self.pool, self._jf
        expected = json.loads(case.text)
        # (peer, what, thunk giving the value, the value it must equal)
        comparisons: list[tuple[str, str, Callable[[], Any], Any]] = [
            ("velum", "to_dict = parsed to_json", lambda: case.tree, expected),
            ("velum", "from_json", lambda: velum_cls.from_json(case.text, registry=reg),
             case.velum_msg),
            ("velum", "from_dict", lambda: velum_cls.from_dict(case.tree, registry=reg),
             case.velum_msg),
            ("json_format", "MessageToJson",
             lambda: json.loads(self._message_to_json(case.upb_msg)), expected),
            ("json_format", "MessageToDict",
             lambda: jf.MessageToDict(case.upb_msg, descriptor_pool=pool), expected),
            ("json_format", "Parse",
             lambda: jf.Parse(case.text, upb_cls(), descriptor_pool=pool), case.upb_msg),
            ("json_format", "ParseDict",
             lambda: jf.ParseDict(case.tree, upb_cls(), descriptor_pool=pool), case.upb_msg),
        ]
        orjson = self._orjson
        if orjson is not None:
            comparisons += [
                ("orjson", "dumps", lambda: orjson.loads(orjson.dumps(case.tree)), expected),
                ("orjson", "loads", lambda: orjson.loads(case.text), expected),
                ("orjson+from_dict", "loads + from_dict",
                 lambda: velum_cls.from_dict(orjson.loads(case.text), registry=reg),
                 case.velum_msg),
            ]
        ms = self._msgspec
        if ms is not None:
            comparisons += [
                ("msgspec", "encode", lambda: json.loads(ms.json.encode(case.struct)), expected),
                ("msgspec", "to_builtins", lambda: _to_builtins(ms, case.struct), expected),
                ("msgspec", "convert", lambda: _convert(ms, case.tree, case.struct_type),
                 case.struct),
            ]
        notes = []
        for peer, what, thunk, want in comparisons:
            problem: str | None
            try:
                got = thunk()
            except Exception as e:
                problem = f"{type(e).__name__}: {e}"
            else:
                problem = difference(got, want)
            if problem is not None:
                case.mismatched.add(peer)
                notes.append(f"{peer} {what} MISMATCH ({problem})")
        missing = [n for n, m in (("orjson", orjson), ("msgspec", ms)) if m is None]
        if not notes:
            notes.append("all peers agree")
        if missing:
            notes.append("not installed: " + ", ".join(missing))
        return "; ".join(notes)

    # Timing -------------------------------------------------------------------------

    def runners(self, case: JsonCase, op: str) -> dict[str, Callable[[], Runner | None]]:
        """What each implementation runs for `op`, keyed by the names of the table."""
        velum_cls, upb_cls = type(case.velum_msg), type(case.upb_msg)
        msg, pb, text, tree = case.velum_msg, case.upb_msg, case.text, case.tree
        reg, pool, jf = self.registry, self.pool, self._jf
        orjson, ms = self._orjson, self._msgspec
        out: dict[str, Callable[[], Runner | None]] = {}
        if op == "to_json":
            out["velum"] = lambda: _loop0(lambda: msg.to_json(registry=reg))
            out["json_format"] = lambda: _loop1(self._message_to_json, pb)
            if orjson is not None:
                out["orjson"] = lambda: _loop1(orjson.dumps, tree)
            if ms is not None:
                out["msgspec"] = lambda: _loop1(ms.json.encode, case.struct)
        elif op == "to_dict":
            out["velum"] = lambda: _loop0(lambda: msg.to_dict(registry=reg))
            out["json_format"] = lambda: _loop0(lambda: jf.MessageToDict(pb, descriptor_pool=pool))
            if ms is not None:
                out["msgspec"] = lambda: _loop0(lambda: _to_builtins(ms, case.struct))
        elif op == "from_json":
            out["velum"] = lambda: _loop0(lambda: velum_cls.from_json(text, registry=reg))
            out["json_format"] = lambda: _loop0(
                lambda: jf.Parse(text, upb_cls(), descriptor_pool=pool))
            if orjson is not None:
                loads = orjson.loads
                out["orjson"] = lambda: _loop1(loads, text)
                out["orjson+from_dict"] = lambda: _loop0(
                    lambda: velum_cls.from_dict(loads(text), registry=reg))
            if ms is not None:
                # A reused Decoder: what an application decoding one type repeatedly keeps.
                out["msgspec"] = lambda: _loop1(
                    ms.json.Decoder(case.struct_type).decode, text)
        elif op == "from_dict":
            out["velum"] = lambda: _loop0(lambda: velum_cls.from_dict(tree, registry=reg))
            out["json_format"] = lambda: _loop0(
                lambda: jf.ParseDict(tree, upb_cls(), descriptor_pool=pool))
            if ms is not None:
                out["msgspec"] = lambda: _loop0(lambda: _convert(ms, tree, case.struct_type))
        for peer in case.mismatched & out.keys():
            out[peer] = _refuse(peer)
        return out

    # Memory -------------------------------------------------------------------------

    def memory(self, case: JsonCase, with_json_format: bool) -> dict[str, Any]:
        """Peak traced memory of one `to_json` against the size of the text it returns."""
        out: dict[str, Any] = {"text_bytes": case.size}
        msg, reg = case.velum_msg, self.registry
        peak, result = peak_traced(lambda: msg.to_json(registry=reg))
        out["to_json"] = {"peak": peak, "output": sys.getsizeof(result)}
        peak, result = peak_traced(lambda: msg.to_dict(registry=reg))
        out["to_dict"] = {"peak": peak, "output": _deep_size(result)}
        if with_json_format:
            peak, result = peak_traced(lambda: self._message_to_json(case.upb_msg))
            out["MessageToJson"] = {"peak": peak, "output": sys.getsizeof(result)}
        return out


def _to_builtins(ms: Any, struct: Any) -> Any:
    # Integer map keys become strings, as JSON objects have them.
    return ms.to_builtins(struct, str_keys=True)


def _convert(ms: Any, tree: Any, struct_type: Any) -> Any:
    # Lax mode reads integer map keys from their JSON strings, as decoding JSON text does.
    return ms.convert(tree, struct_type, strict=False)


def _refuse(peer: str) -> Callable[[], Runner | None]:
    def prepare() -> Runner | None:
        raise RuntimeError(f"{peer}'s result differs from velum's; not timed")

    return prepare


def peak_traced(make: Callable[[], Any]) -> tuple[int, Any]:
    """Peak tracemalloc bytes above the starting level while `make` runs, and its result."""
    make()
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        result = make()
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    return peak, result


def _deep_size(tree: Any) -> int:
    """Bytes of a value tree: its containers and every object in them."""
    seen: set[int] = set()
    total = 0
    stack = [tree]
    while stack:
        x = stack.pop()
        if id(x) in seen:
            continue
        seen.add(id(x))
        total += sys.getsizeof(x)
        if isinstance(x, dict):
            stack.extend(x.keys())
            stack.extend(x.values())
        elif isinstance(x, list):
            stack.extend(x)
    return total


def difference(got: Any, want: Any, path: str = "$") -> str | None:
    """Where two values differ (None if they are equal), compared as JSON values are.

    Python's == already treats 3 and 3.0 alike, as JSON does; only NaN needs care.
    """
    if isinstance(want, dict) and isinstance(got, dict):
        for k in want.keys() | got.keys():
            if k not in got or k not in want:
                return f"{path}.{k}: only in {'expected' if k in want else 'result'}"
            d = difference(got[k], want[k], f"{path}.{k}")
            if d is not None:
                return d
        return None
    if isinstance(want, list) and isinstance(got, list):
        if len(got) != len(want):
            return f"{path}: {len(got)} items, expected {len(want)}"
        for i, (g, w) in enumerate(zip(got, want, strict=True)):
            d = difference(g, w, f"{path}[{i}]")
            if d is not None:
                return d
        return None
    if isinstance(got, float) and isinstance(want, float) and math.isnan(got) and math.isnan(want):
        return None
    if got == want and isinstance(got, bool) == isinstance(want, bool):
        return None
    return f"{path}: {_short(got)} != {_short(want)}"


def _short(x: Any) -> str:
    text = repr(x)
    return text if len(text) <= 60 else text[:57] + "..."
