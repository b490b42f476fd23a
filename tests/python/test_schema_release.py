"""A dropped registry frees its loaded schema at once, without the cyclic collector,
and whatever part of it something still holds keeps working.

Descriptors refer to their files and parents, so a schema is a web of cycles; the
registry's `_SchemaGraph` frees what nothing else refers to when the registry goes.
"""

from __future__ import annotations

import gc
import tracemalloc
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import pytest

import velum
from velum._descriptor_proto import split_file_set
from velum._descriptors import DescEnum, DescExtension, DescField, DescFile, DescMessage

P2 = "velum.test.proto2"
P3 = "velum.test.proto3"
_KINDS = (DescMessage, DescEnum, DescFile, DescExtension, DescField)


@contextmanager
def _no_collector() -> Iterator[None]:
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _descriptors() -> int:
    """How many descriptor objects the collector's lists hold."""
    return sum(1 for o in gc.get_objects() if type(o) in _KINDS)


def _load(data: bytes, resolved: bool = False) -> velum.Registry:
    registry = velum.Registry()
    registry.add_file_set(data)
    if resolved:  # (the field descriptors made too)
        for desc in list(registry._messages.values()):
            assert desc.fields is not None
    return registry


@pytest.mark.parametrize("resolved", [False, True], ids=["loaded", "fields read"])
@pytest.mark.parametrize(
    "protos",
    [("test_proto3.proto",), ("test_proto2_ext.proto",), ("test_editions2023.proto",), ()],
    ids=["proto3", "extensions", "editions", "every test proto"],
)
def test_a_dropped_registry_frees_its_schema_without_the_collector(
    compiler: Any, protos: tuple[str, ...], resolved: bool
) -> None:
    data = compiler(*protos)
    _load(data, resolved)  # (the well-known types and the runtime's caches made first)
    with _no_collector():
        before = _descriptors()
        registry = _load(data, resolved)
        assert _descriptors() > before
        del registry
        assert _descriptors() == before


def test_loading_again_and_again_holds_no_more_memory(compiler: Any) -> None:
    data = compiler()
    _load(data)
    with _no_collector():
        tracemalloc.start()
        try:
            _load(data)
            first = tracemalloc.get_traced_memory()[0]
            for _ in range(20):
                _load(data)
            # Twenty schemas kept until a collection would hold about 5 MiB.
            assert tracemalloc.get_traced_memory()[0] - first < 64 * 1024
        finally:
            tracemalloc.stop()


def _held(registry: Any, what: str) -> Any:
    table: dict[str, Callable[[], Any]] = {
        "nested message": lambda: registry.message(f"{P3}.Outer.Inner"),
        "enum": lambda: registry.enum(f"{P3}.Outer.Inner.Mood"),
        "file": lambda: registry.file("test_proto3.proto"),
        "field": lambda: registry.message(f"{P3}.Outer").fields[0],
        "fields list": lambda: registry.message(f"{P3}.Scalars").fields,
        "extension": lambda: registry.extension(f"{P2}.ExtensionScope.nested_ext"),
    }
    return table[what]()


def _check_held(held: Any, what: str) -> None:
    if what == "nested message":
        # Its fields were never read: they are resolved now, from the kept records.
        assert held.parent.type_name == f"{P3}.Outer" and held.file.name == "test_proto3.proto"
        assert [f.name for f in held.fields] and held.parent.file is held.file
        cls = held.type  # classes can still be made from it
        assert cls.from_binary(cls().to_binary()) == cls()
    elif what == "enum":
        assert [v.name for v in held.values][:1] == ["MOOD_UNSPECIFIED"]
        assert held.type.MOOD_HAPPY == 1 and held.parent.parent.name == "Outer"
    elif what == "file":
        messages = {m.name: m for m in held.messages}
        assert "Scalars" in messages and messages["Scalars"].file is held
        assert [f.name for f in messages["Scalars"].fields]
    elif what == "field":
        assert held.parent.name == "Outer" and held.full_name.startswith(f"{P3}.Outer.")
    elif what == "fields list":
        assert all(f.parent.name == "Scalars" for f in held) and held[0].parent.type is not None
    else:
        assert held.extendee.type_name == f"{P2}.Extendable" and held.file.name.endswith(".proto")
        assert held.holder_class()().to_binary() == b""


@pytest.mark.parametrize(
    "what", ["nested message", "enum", "file", "field", "fields list", "extension"]
)
def test_a_held_part_of_a_dropped_schema_keeps_working(compiler: Any, what: str) -> None:
    registry = _load(compiler("test_proto3.proto", "test_proto2_ext.proto"))
    held = _held(registry, what)
    with _no_collector():
        del registry
        _check_held(held, what)


@pytest.mark.parametrize("what", ["message class", "enum class", "instance"])
def test_a_class_of_a_dropped_registry_keeps_its_schema(compiler: Any, what: str) -> None:
    registry = _load(compiler("test_proto3.proto"))
    outer: Any = registry.message_class(f"{P3}.Outer")
    held: Any = {
        "message class": outer,
        "enum class": registry.enum_class(f"{P3}.Outer.Inner.Mood"),
        "instance": outer(inner=outer.Inner()),
    }[what]
    del outer
    with _no_collector():
        del registry
        if what == "enum class":
            assert held.MOOD_HAPPY == 1 and held._desc.file.name == "test_proto3.proto"
        else:
            cls = held if what == "message class" else type(held)
            made = cls.from_binary(cls(inner=cls.Inner()).to_binary())
            assert made.inner == cls.Inner() and cls._desc.file.messages
    del held
    gc.collect()


def _in_a_cycle(data: bytes) -> None:
    registry: Any = _load(data)
    registry.me = registry  # (a subclass or user attribute may do this)


def _subclassed(data: bytes) -> None:
    class Mine(velum.Registry):
        pass

    registry: Any = Mine()
    registry.add_file_set(data)
    registry.note = registry.message(f"{P3}.Scalars")


def _twice(data: bytes, extra: bytes) -> None:
    registry = _load(data)
    registry.add_file_set(extra)


def _file_by_file(data: bytes) -> None:
    registry = velum.Registry()
    for raw in split_file_set(data):
        registry.add_file(raw)


def _failed(data: bytes) -> None:
    registry = velum.Registry()
    registry.add_file_set(data)
    with pytest.raises(ValueError, match="already loaded with other content"):
        # (the same name with other bytes: the batch is refused after it was read)
        registry.add_file_set(data.replace(b"Scalars", b"Scalarz"))


def _while_raising(data: bytes) -> None:
    def load_then_fail() -> None:
        registry: Any = _load(data)
        raise KeyError(registry.message(f"{P3}.Outer").name)

    with pytest.raises(KeyError, match="Outer"):
        load_then_fail()


@pytest.mark.parametrize(
    ("case", "at_once"),
    [
        (_in_a_cycle, False),  # (the collector frees the registry, which then frees its schema)
        (_subclassed, False),  # (a descriptor in the instance dict: left to the collector)
        (_twice, True),
        (_file_by_file, True),
        (_failed, True),
        (_while_raising, False),  # (the traceback holds the frame until it is collected)
    ],
    ids=["in a cycle", "subclass", "two sets", "file by file", "failed load", "while raising"],
)
def test_registries_dropped_every_way_are_freed(
    compiler: Any, case: Callable[..., None], at_once: bool
) -> None:
    data = compiler("test_proto3.proto")
    args = (data, compiler("test_proto2.proto")) if case is _twice else (data,)
    case(*args)
    with _no_collector():
        before = _descriptors()
        case(*args)
        if not at_once:
            gc.collect()
        assert _descriptors() == before
