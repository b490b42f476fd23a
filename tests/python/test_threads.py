"""Concurrency: fresh classes, first handle resolution and codecs on many threads.

Every test is bounded: threads are joined with a timeout (a deadlock fails the test
instead of hanging it) and the fresh-interpreter test runs in a subprocess.
"""

from __future__ import annotations

import copy
import subprocess
import sys
import textwrap
import threading
from collections.abc import Callable, Iterator
from pathlib import Path

import hostile_schema
import pytest

import velum

THREADS = 6
JOIN_SECONDS = 60


@pytest.fixture(autouse=True)
def fast_switching() -> Iterator[None]:
    # Switch threads as often as possible so that first uses really interleave.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(work: Callable[[int], object], count: int = THREADS) -> list[object]:
    barrier = threading.Barrier(count)
    results: list[object] = [None] * count
    errors: list[BaseException] = []

    def body(index: int) -> None:
        try:
            barrier.wait(timeout=JOIN_SECONDS)
            results[index] = work(index)
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_SECONDS)
    assert not any(t.is_alive() for t in threads), "threads deadlocked"
    if errors:
        raise errors[0]
    return results


def sample(reg: velum.Registry) -> velum.Message:
    node = reg.message_class(hostile_schema.NODE)
    leaf = reg.message_class("velum.test.hostile2.Leaf")
    flat = reg.message_class(hostile_schema.FLAT)
    chain = node(f_int32=0)
    for depth in range(1, 20):
        chain = node(f_int32=depth, child=chain, r_leaf=[leaf(value=depth)])
    return node(
        f_string="root",
        child=chain,
        grp=node.Grp(a=1, inner=node(f_sint64=-5)),
        items=[node.Items(name="i")],
        m_str_node={"k": node(f_bool=True)},
        flat=flat(s="x", next=flat(i=3), m={"a": 1}),
        choice=velum.Oneof("o_leaf", leaf(text="t")),
    )


EXPECTED = sample(hostile_schema.load_registry()).to_binary()


def codec_round(reg: velum.Registry, rounds: int) -> bytes:
    node = reg.message_class(hostile_schema.NODE)
    out = b""
    for _ in range(rounds):
        msg = node.from_binary(EXPECTED)
        out = msg.to_binary()
        assert out == EXPECTED
        assert copy.deepcopy(msg) == msg
        assert copy.copy(msg).to_binary() == EXPECTED
        merged = node()
        merged._merge_from(msg, False)
        merged._merge_from_binary(EXPECTED, False)
        assert len(merged.child.r_leaf) == 2 and merged.f_string == "root"
    return out


def test_fresh_registries_per_thread() -> None:
    def work(_: int) -> bytes:
        reg = hostile_schema.load_registry()  # new classes, new marshalers and handles
        assert sample(reg).to_binary() == EXPECTED
        return codec_round(reg, 30)

    assert run_threads(work) == [EXPECTED] * THREADS


@pytest.mark.parametrize("first", ["from_binary", "to_binary", "merge", "deepcopy"])
def test_first_handle_resolution_races(first: str) -> None:
    # Nothing of this registry has been used: every thread's first call resolves the
    # nested types' handles at the same moment.
    reg = hostile_schema.load_registry()
    node = reg.message_class(hostile_schema.NODE)
    prebuilt = [sample(reg) for _ in range(THREADS)] if first != "from_binary" else []

    def work(index: int) -> bytes:
        if first == "from_binary":
            return node.from_binary(EXPECTED).to_binary()
        msg = prebuilt[index]
        if first == "merge":
            target = node()
            target._merge_from(msg, False)
            msg = target
        elif first == "deepcopy":
            msg = copy.deepcopy(msg)
        return msg.to_binary()

    assert run_threads(work) == [EXPECTED] * THREADS


def test_shared_instance_and_first_unknown_store() -> None:
    reg = hostile_schema.load_registry()
    node = reg.message_class(hostile_schema.NODE)
    shared = node.from_binary(EXPECTED)
    fresh = node()

    def work(_: int) -> tuple[int, bytes]:
        store = fresh._get_or_init_unknown_fields()
        for _ in range(50):
            assert shared.to_binary() == EXPECTED
            assert node.from_binary(EXPECTED) == shared
        return id(store), shared.to_binary()

    results = run_threads(work)
    assert {r[0] for r in results} == {id(fresh._get_or_init_unknown_fields())}  # type: ignore[index]


def test_concurrent_merges_into_one_target() -> None:
    reg = hostile_schema.load_registry()
    node = reg.message_class(hostile_schema.NODE)
    target = node()
    record = b"\xf0\x01\x07"  # r_int32 = 7

    def work(_: int) -> None:
        for _ in range(200):
            target._merge_from_binary(record, False)
            target._merge_from(node(r_int32=[1]), False)

    run_threads(work)
    assert sorted(set(target.r_int32)) == [1, 7] and len(target.r_int32) == THREADS * 400


FRESH_INTERPRETER = textwrap.dedent(
    """
    import sys, threading
    sys.path.insert(0, {tests!r})
    sys.setswitchinterval(1e-6)
    import _velum_ext  # the runtime names are not built yet: no class exists
    barrier = threading.Barrier({threads})
    out, errors = [], []

    def work():
        try:
            barrier.wait(30)
            import hostile_schema, velum
            reg = hostile_schema.load_registry()
            node = reg.message_class(hostile_schema.NODE)
            msg = node.from_binary(bytes.fromhex({data!r}))
            out.append(msg.to_binary())
        except BaseException as exc:
            errors.append(repr(exc))

    threads = [threading.Thread(target=work, daemon=True) for _ in range({threads})]
    for t in threads: t.start()
    for t in threads: t.join(60)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert not errors, errors
    assert out == [bytes.fromhex({data!r})] * {threads}, out
    print("ok")
    """
)


def test_first_use_of_runtime_names_in_fresh_interpreter(tmp_path: Path) -> None:
    from conftest import compile_protos

    descriptor_set = tmp_path / "hostile.binpb"
    descriptor_set.write_bytes(compile_protos(*hostile_schema.PROTOS))
    script = FRESH_INTERPRETER.format(
        tests=str(Path(__file__).parent), threads=THREADS, data=EXPECTED.hex()
    )
    env = {**__import__("os").environ, "VELUM_HOSTILE_SET": str(descriptor_set)}
    for _ in range(3):
        done = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=180, env=env
        )
        assert done.returncode == 0, done.stderr[-4000:]
        assert done.stdout.strip() == "ok"
