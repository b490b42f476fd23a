import copy
import gc
import sys
import tracemalloc
import weakref
from typing import Any

import pytest
from _velum_ext import Oneof


class Boom:
    def __eq__(self, other: object) -> bool:
        raise ValueError("boom")

    __hash__ = None  # type: ignore[assignment]


class Falsy:
    def __eq__(self, other: object) -> Any:
        return self

    def __bool__(self) -> bool:
        raise RuntimeError("no truth value")


def test_class_identity() -> None:
    assert Oneof.__module__ == "velum._oneof"
    assert Oneof.__qualname__ == "Oneof"
    assert Oneof.__text_signature__ == "(field, value)"
    assert Oneof.__match_args__ == ("field", "value")
    assert Oneof.__class_getitem__.__text_signature__ == "($cls, key)"


def test_not_subclassable() -> None:
    with pytest.raises(TypeError):
        type("Sub", (Oneof,), {})


@pytest.mark.parametrize(
    ("oneof", "text"),
    [
        (Oneof("a", 1), "Oneof(field='a', value=1)"),
        (Oneof(field="b", value=[1, "x"]), "Oneof(field='b', value=[1, 'x'])"),
        (Oneof(3, None), "Oneof(field=3, value=None)"),
        (
            Oneof("o", Oneof("i", b"\x00")),
            "Oneof(field='o', value=Oneof(field='i', value=b'\\x00'))",
        ),
    ],
)
def test_repr(oneof: Oneof, text: str) -> None:
    assert repr(oneof) == text


def test_members_are_stored_as_given() -> None:
    value: list[int] = []
    oneof = Oneof("a", value)
    assert oneof.field == "a"
    assert oneof.value is value


@pytest.mark.parametrize(
    ("other", "equal"),
    [
        (Oneof("a", 1), True),
        (Oneof("a", 1.0), True),
        (Oneof("a", True), True),
        (Oneof("b", 1), False),
        (Oneof("a", 2), False),
        (("a", 1), False),
        (None, False),
        ("a", False),
    ],
)
def test_equality(other: object, equal: bool) -> None:
    oneof = Oneof("a", 1)
    assert (oneof == other) is equal
    assert (other == oneof) is equal
    assert (oneof != other) is not equal
    assert (other != oneof) is not equal


def test_value_compared_with_python_equality() -> None:
    nan = float("nan")
    assert Oneof("a", nan) != Oneof("a", nan)
    assert Oneof("a", [1, 2]) == Oneof("a", [1.0, 2.0])


@pytest.mark.parametrize(
    ("left", "right", "error"),
    [
        (Oneof(Boom(), 1), Oneof("a", 1), ValueError),
        (Oneof("a", Boom()), Oneof("a", 1), ValueError),
        (Oneof("a", Falsy()), Oneof("a", 1), RuntimeError),
    ],
)
def test_comparison_errors_propagate(left: Oneof, right: Oneof, error: type[Exception]) -> None:
    with pytest.raises(error):
        _ = left == right
    with pytest.raises(error):
        _ = left != right


def test_value_not_compared_when_fields_differ() -> None:
    assert Oneof("a", Boom()) != Oneof("b", Boom())


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_unsupported(op: str) -> None:
    with pytest.raises(TypeError, match="not supported between instances"):
        eval(f"a {op} b", {"a": Oneof("a", 1), "b": Oneof("a", 2)})


def test_unhashable() -> None:
    with pytest.raises(TypeError, match=r"^unhashable type: 'Oneof'$"):
        hash(Oneof("a", 1))
    assert Oneof.__hash__ is None


@pytest.mark.parametrize("name", ["field", "value"])
def test_members_read_only(name: str) -> None:
    oneof = Oneof("a", 1)
    with pytest.raises(AttributeError):
        setattr(oneof, name, 2)
    with pytest.raises(AttributeError):
        delattr(oneof, name)
    with pytest.raises(AttributeError):
        oneof.other = 3  # type: ignore[attr-defined]
    assert (oneof.field, oneof.value) == ("a", 1)


def test_match_statement() -> None:
    match Oneof("name", 42):
        case Oneof("other", _):
            pytest.fail("matched the wrong field")
        case Oneof("name", value):
            assert value == 42
        case _:
            pytest.fail("no match")
    match Oneof("name", 42):
        case Oneof(field=f, value=v):
            assert (f, v) == ("name", 42)


def test_subscripting() -> None:
    alias = Oneof[int]
    assert alias.__origin__ is Oneof
    assert alias.__args__ == (int,)
    assert Oneof.__class_getitem__(key=str).__args__ == (str,)


def test_new_via_dunder_new() -> None:
    assert Oneof.__new__(Oneof, "a", value=1) == Oneof("a", 1)
    with pytest.raises(TypeError, match="not safe"):
        object.__new__(Oneof)


def test_copy() -> None:
    inner = [1]
    oneof = Oneof("a", inner)
    assert copy.copy(oneof).value is inner
    deep = copy.deepcopy(oneof)
    assert deep == oneof
    assert deep.value is not inner


def test_refcounts() -> None:
    field = "refcount_probe_field_" + str(id(object()))
    value = object()
    before = sys.getrefcount(field), sys.getrefcount(value)
    oneofs = [Oneof(field, value) for _ in range(10)]
    assert (sys.getrefcount(field), sys.getrefcount(value)) == (before[0] + 10, before[1] + 10)
    oneofs[0].field  # noqa: B018
    repr(oneofs[0])
    _ = oneofs[0] == oneofs[1]
    del oneofs
    assert (sys.getrefcount(field), sys.getrefcount(value)) == before


def test_failed_construction_keeps_refcounts() -> None:
    value = object()
    before = sys.getrefcount(value)
    for _ in range(10):
        with pytest.raises(TypeError):
            Oneof(value, field=value)
    assert sys.getrefcount(value) == before


def test_cycle_collected() -> None:
    class Holder:
        pass

    holder = Holder()
    holder.oneof = Oneof("a", holder)  # type: ignore[attr-defined]
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is None


def test_deep_chain_dealloc() -> None:
    chain: object = None
    for _ in range(200_000):
        chain = Oneof("a", chain)
    del chain


def test_reused_objects_keep_counts_memory_and_tracking() -> None:
    # Freed objects are recycled: a batch larger than any cache, made and
    # dropped repeatedly, must neither leak memory nor references of the class.
    class_refs = sys.getrefcount(Oneof)
    tracemalloc.start()
    try:
        # The cache fills with traced objects first; only growth after that counts.
        for _ in range(10):
            batch = [Oneof("a", i) for i in range(5000)]
            del batch
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        for round_ in range(10):
            batch = [Oneof("a", round_ * 10_000 + i) for i in range(5000)]
            assert [o.value for o in batch[:2]] == [round_ * 10_000, round_ * 10_000 + 1]
            del batch
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < 20_000
    assert sys.getrefcount(Oneof) == class_refs
    # A recycled object is tracked exactly when what it holds can form a cycle.
    assert not gc.is_tracked(Oneof("a", 1))
    assert gc.is_tracked(Oneof("a", []))
    test_cycle_collected()


class TrackedStr(str):
    pass  # instances have a __dict__, so the collector sees them


class TrackedFloat(float):
    pass


@pytest.mark.parametrize(
    ("field", "value", "tracked"),
    [
        ("a", "text", False),
        ("a", 1.5, False),
        ("a", 7, False),
        ("a", True, False),
        ("a", None, False),
        ("a", [], True),
        ("a", TrackedFloat(1.5), True),
        (TrackedStr("a"), "text", True),
        (TrackedStr("a"), 1.5, True),
    ],
)
def test_freed_and_reused_with_the_collector_consistent(
    field: Any, value: Any, tracked: bool
) -> None:
    # Freeing a Oneof of leaves skips untracking it, which holds only if it
    # was never tracked; any other must leave the collector's list. Objects
    # freed wrongly would be met again by the collections below.
    for _ in range(3):
        batch = [Oneof(field, value) for _ in range(3000)]
        assert gc.is_tracked(batch[0]) is tracked
        tracked_ids = {id(o) for o in gc.get_objects() if type(o) is Oneof}
        assert all((id(o) in tracked_ids) is tracked for o in batch)
        freed = {id(o) for o in batch}
        del batch
        gc.collect()
        assert not any(type(o) is Oneof and id(o) in freed for o in gc.get_objects())
