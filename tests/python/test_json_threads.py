"""Concurrency of the JSON path: threads writing and reading JSON of shared classes.

Each test uses a fresh registry, so the first JSON use of its classes (marshalers,
message handles, extension lookups) happens on several threads at once; the
well-known types are shared by every registry of a process, so their first use runs
in a fresh interpreter. Threads are joined with a timeout (test_threads.run_threads).
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import hostile_schema
from conftest import compile_protos
from test_threads import THREADS, fast_switching, run_threads, sample  # noqa: F401

import velum

ROUNDS = 20
WKT_PROTO = "test_wkt_json.proto"
PKG = "velum.test.wktjson"


def expected_json() -> tuple[str, Any]:
    reg = hostile_schema.load_registry()
    msg = sample(reg)
    msg[reg.extension("velum.test.hostile2.ext_strings")] = ["e1", "e2"]
    return msg.to_json(registry=reg), msg._to_json_value(registry=reg)


TEXT, TREE = expected_json()


def json_round(reg: velum.Registry, rounds: int) -> tuple[str, Any]:
    node = reg.message_class(hostile_schema.NODE)
    text, tree = "", None
    for _ in range(rounds):
        from_text = node.from_json(TEXT, registry=reg)
        from_tree = node._from_json_value(TREE, registry=reg)
        assert from_text == from_tree
        merged = node()
        merged._merge_from_json(TEXT, registry=reg)
        assert merged == from_text
        text = from_text.to_json(registry=reg)
        tree = from_tree._to_json_value(registry=reg)
        assert text == TEXT and tree == TREE
    return text, tree


def test_first_json_use_of_a_fresh_registry_on_many_threads() -> None:
    reg = hostile_schema.load_registry()

    def work(index: int) -> tuple[str, Any]:
        return json_round(reg, ROUNDS)

    assert run_threads(work) == [(TEXT, TREE)] * THREADS


def test_fresh_registries_per_thread() -> None:
    def work(index: int) -> tuple[str, Any]:
        return json_round(hostile_schema.load_registry(), ROUNDS // 2)

    assert run_threads(work) == [(TEXT, TREE)] * THREADS


def test_shared_instance_written_while_others_read_into_it() -> None:
    reg = hostile_schema.load_registry()
    node = reg.message_class(hostile_schema.NODE)
    shared = node.from_json(TEXT, registry=reg)
    target = node()

    def work(index: int) -> str:
        for _ in range(ROUNDS):
            assert shared.to_json(registry=reg) == TEXT
            if index % 2:
                target._merge_from_json('{"rInt32":[1],"fInt32":7}')
        return shared.to_json(registry=reg)

    assert run_threads(work) == [TEXT] * THREADS
    assert len(target.r_int32) == ROUNDS * (THREADS // 2) and target.f_int32 == 7


def wkt_holder_registry() -> velum.Registry:
    reg = velum.Registry()
    reg.add_file_set(compile_protos(WKT_PROTO))
    return reg


WKT_DOC = {
    "ts": "2024-02-29T12:30:05.120Z",
    "dur": "-1.500s",
    "mask": "fooBar,a.bC",
    "st": {"a": [1.0, None, "x", {"b": True}]},
    "any": {"@type": f"type.googleapis.com/{PKG}.Leaf", "a": 1, "s": "é"},
    "anys": [{"@type": "type.googleapis.com/google.protobuf.Duration", "value": "1s"}, {}],
    "i64": "-9",
    "vmap": {"k": [1.5]},
}


def test_well_known_forms_of_a_fresh_registry_on_many_threads() -> None:
    import json

    reg = wkt_holder_registry()
    holder = reg.message_class(f"{PKG}.Holder")
    text = json.dumps(WKT_DOC)

    def work(index: int) -> Any:
        out = None
        for _ in range(ROUNDS):
            msg = holder.from_json(text, registry=reg) if index % 2 else None
            msg = msg or holder._from_json_value(WKT_DOC, registry=reg)
            out = msg._to_json_value(registry=reg)
            assert json.loads(msg.to_json(registry=reg)) == out
        return out

    results = run_threads(work)
    assert all(r == results[0] for r in results)
    assert results[0]["dur"] == "-1.500s" and results[0]["any"]["s"] == "é"


FRESH_INTERPRETER = textwrap.dedent(
    """
    import json, sys, threading
    sys.path.insert(0, {tests!r})
    sys.setswitchinterval(1e-6)
    doc = json.loads({doc!r})
    barrier = threading.Barrier({threads})
    out, errors = [], []

    def work(index):
        try:
            barrier.wait(30)
            # Every thread imports and first uses the well-known types at once.
            import velum
            from velum import wkt
            reg = velum.Registry()
            reg.add_file_set(bytes.fromhex({protos!r}))
            holder = reg.message_class({holder!r})
            if index % 2:
                msg = holder.from_json(json.dumps(doc), registry=reg)
            else:
                msg = holder._from_json_value(doc, registry=reg)
            out.append(msg.to_json(registry=reg))
            wkt.Value._from_json_value([1.0, {{"a": None}}]).to_json()
        except BaseException as exc:
            errors.append(repr(exc))

    threads = [threading.Thread(target=work, args=(i,), daemon=True) for i in range({threads})]
    for t in threads: t.start()
    for t in threads: t.join(60)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert not errors, errors
    assert len(set(out)) == 1 and len(out) == {threads}, out
    print(out[0])
    """
)


def test_first_use_of_well_known_types_in_a_fresh_interpreter() -> None:
    import json

    script = FRESH_INTERPRETER.format(
        tests=str(Path(__file__).parent),
        threads=THREADS,
        doc=json.dumps(WKT_DOC),
        protos=compile_protos(WKT_PROTO).hex(),
        holder=f"{PKG}.Holder",
    )
    reg = wkt_holder_registry()
    expected = reg.message_class(f"{PKG}.Holder")._from_json_value(WKT_DOC, registry=reg)
    for _ in range(2):
        done = subprocess.run(
            [sys.executable, "-c", script],
            capture_output=True,
            text=True,
            timeout=180,
            env=dict(os.environ),
        )
        assert done.returncode == 0, done.stderr[-4000:]
        assert done.stdout.strip() == expected.to_json(registry=reg)
