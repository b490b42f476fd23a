"""A dropped registry's classes are freed by the young collection its release schedules.

A schema with classes sits in reference cycles, so only the collector can free it; letting
its registry go schedules one young collection, run at the next point where the interpreter
runs pending calls, instead of leaving the schema to whichever collection comes next.
"""

from __future__ import annotations

import contextlib
import gc
import weakref
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from conftest import load_user_schema

import velum

P3 = "velum.test.proto3"


@contextlib.contextmanager
def _no_automatic_collections() -> Iterator[None]:
    """No collection of the collector's own while loading, so what a test loads is young."""
    threshold = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1_000_000, *threshold[1:])
    try:
        yield
    finally:
        gc.set_threshold(*threshold)


@contextlib.contextmanager
def _collector(enabled: bool) -> Iterator[None]:
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        yield
    finally:
        (gc.enable if was else gc.disable)()


def _run_pending_calls() -> None:
    # A loop's backward jump is where the interpreter runs pending calls.
    for _ in range(3):
        pass


def _load(compiler: Any, proto: str, make_classes: bool = True) -> tuple[velum.Registry, list[str]]:
    registry, names = load_user_schema(proto)
    if make_classes:
        for name in names:
            registry.message_class(name)
    return registry, names


def _young_collections() -> tuple[list[int], Callable[[str, dict[str, int]], None]]:
    seen: list[int] = []

    def record(phase: str, info: dict[str, int]) -> None:
        if phase == "start" and info["generation"] == 0:
            seen.append(1)

    return seen, record


@pytest.mark.parametrize("enabled", [True, False], ids=["collector on", "collector off"])
@pytest.mark.parametrize("proto", ["test_proto3.proto", "test_shapes.proto", "test_proto2.proto"])
def test_a_dropped_registry_frees_its_classes_without_a_full_collection(
    compiler: Any, proto: str, enabled: bool
) -> None:
    with _no_automatic_collections(), _collector(enabled):
        registry, names = _load(compiler, proto)
        refs = [weakref.ref(registry.message_class(n)) for n in names] + [weakref.ref(registry)]
        del registry
        _run_pending_calls()
        alive = [r for r in refs if r() is not None]
        # Disabled, the collector is left alone: the schema waits for an explicit collection.
        assert (alive == []) if enabled else (len(alive) == len(names))
    gc.collect()
    assert [r for r in refs if r() is not None] == []


def test_a_class_held_from_outside_outlives_its_registry(compiler: Any) -> None:
    with _no_automatic_collections():
        registry, _ = _load(compiler, "test_proto3.proto")
        cls = registry.message_class(f"{P3}.Scalars")
        other = weakref.ref(registry.message_class(f"{P3}.Outer"))
        del registry
        _run_pending_calls()
        message = cls(f_int64=7, f_double=0.5)
        assert cls.from_binary(message.to_binary()) == message
        assert cls.from_json(message.to_json()) == message
        # What the held class reaches stays; Outer is reached from it only through the schema.
        ref = weakref.ref(cls)
        del cls, message
    gc.collect()
    assert ref() is None and other() is None


@pytest.mark.parametrize(
    ("count", "make_classes", "expected"),
    [(1, True, 1), (4, True, 1), (3, False, 0)],
    ids=["one registry", "released together", "no classes made"],
)
def test_releases_schedule_one_young_collection_only_after_classes(
    compiler: Any, count: int, make_classes: bool, expected: int
) -> None:
    seen, record = _young_collections()
    with _no_automatic_collections(), _collector(True):
        registries = [_load(compiler, "test_proto3.proto", make_classes)[0] for _ in range(count)]
        _run_pending_calls()
        gc.callbacks.append(record)
        try:
            del registries
            _run_pending_calls()
        finally:
            gc.callbacks.remove(record)
    assert len(seen) == expected
