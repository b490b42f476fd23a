"""Struct and ListValue elements: the direct Value path both ways keeps the limits, the
type checks and the collector's view of what was read."""

from __future__ import annotations

import gc
import json
import struct
import sys
import tracemalloc
import weakref
from collections.abc import Callable
from typing import Any

import pytest

from velum import Oneof, wkt


def traced_growth(read: Callable[[int], object], warmup: int, rounds: int) -> int:
    """Bytes still traced after `rounds` reads (each result dropped at once), counted
    only after `warmup` reads have filled the caches with traced objects."""
    tracemalloc.start()
    try:
        for _ in range(warmup):
            read(-1)
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        for round_ in range(rounds):
            read(round_)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return after - before


def nested_lists(levels: int) -> Any:
    doc: Any = "x"
    for _ in range(levels):
        doc = [doc]
    return doc


def test_list_nesting_counts_two_levels_both_ways() -> None:
    # The innermost Value sits at depth 100.
    at_limit = wkt.Value.from_json(json.dumps(nested_lists(50)))
    assert at_limit._to_json_value() == nested_lists(50)
    assert wkt.Value._from_json_value(nested_lists(50)) == at_limit
    with pytest.raises(RecursionError, match="while parsing message$"):
        wkt.Value.from_json(json.dumps(nested_lists(51)))
    # One more level above it, as an element of a ListValue, is one too many.
    with pytest.raises(RecursionError, match="while serializing message$"):
        wkt.ListValue(values=[at_limit]).to_json()
    with pytest.raises(RecursionError, match="while parsing message$"):
        wkt.ListValue.from_json(json.dumps([nested_lists(50)]))


class SubValue(wkt.Value):
    pass


@pytest.mark.parametrize(
    ("container", "expected"),
    [
        (lambda: wkt.Struct(fields={"a": wkt.Struct()}), "got <class 'google.protobuf.Struct'>"),
        (lambda: wkt.ListValue(values=[1]), "got <class 'int'>"),
        (lambda: wkt.Struct(fields={"a": None}), "got <class 'NoneType'>"),
    ],
)
def test_elements_of_another_class_are_refused(container: Any, expected: str) -> None:
    with pytest.raises(TypeError) as raised:
        container().to_json()
    assert str(raised.value) == f"expected 'google.protobuf.Value', {expected}"
    with pytest.raises(TypeError):
        container()._to_json_value()


def test_value_subclass_elements_are_written_as_values() -> None:
    sub = SubValue.from_json('{"k": [true, null]}')
    assert wkt.ListValue(values=[sub]).to_json() == '[{"k":[true,null]}]'
    assert wkt.Struct(fields={"s": sub})._to_json_value() == {"s": {"k": [True, None]}}


def test_read_values_equal_constructed_ones() -> None:
    got = wkt.Struct.from_json('{"n": 1, "s": "x", "b": false, "z": null, "l": [], "o": {}}')
    want = {
        "n": Oneof("number_value", 1.0),
        "s": Oneof("string_value", "x"),
        "b": Oneof("bool_value", False),
        "z": Oneof("null_value", wkt.NullValue.NULL_VALUE),
        "l": Oneof("list_value", wkt.ListValue()),
        "o": Oneof("struct_value", wkt.Struct()),
    }
    assert {k: v.kind for k, v in got.fields.items()} == want
    assert {k: wkt.Value(kind=v) for k, v in want.items()} == got.fields


FLAGS: list[Any] = [True, False, False, True, None, 1.0, True, "x", False]


@pytest.mark.parametrize(
    "make",
    [
        lambda v: wkt.ListValue.from_json(json.dumps(v)),
        lambda v: wkt.ListValue.from_dict(v),
        lambda v: wkt.ListValue.from_binary(wkt.ListValue.from_dict(v).to_binary()),
    ],
    ids=["text", "tree", "binary"],
)
def test_flags_among_other_values_keep_their_own_kind(make: Any) -> None:
    # Oneofs of a bool may be shared between Values: each must still hold
    # its own flag, whatever was made between them, and stay its own.
    for _ in range(3):
        got = make(FLAGS)
        kinds = [v.kind for v in got.values]
        assert [k.field for k in kinds] == [
            "bool_value", "bool_value", "bool_value", "bool_value", "null_value",
            "number_value", "bool_value", "string_value", "bool_value"]
        flags = [k.value for k in kinds if k.field == "bool_value"]
        assert flags == [True, False, False, True, True, False]
        assert got.to_dict() == FLAGS
        got.values[0].kind = Oneof("bool_value", False)
        assert got.values[3].kind == Oneof("bool_value", True)
        del got, kinds


@pytest.mark.parametrize(
    ("tree", "error", "text"),
    [
        ({"\ud800": 1}, UnicodeEncodeError, "surrogates not allowed"),
        ({"ok": 1, "x\udc00": 2}, UnicodeEncodeError, "surrogates not allowed"),
        ({"o": {"ok": {"\udc00": None}}}, UnicodeEncodeError, "surrogates not allowed"),
        ({"ok": 1, 2: 3}, TypeError, "JSON object keys must be strings"),
    ],
)
def test_struct_keys_of_a_tree_are_checked(tree: Any, error: type[Exception], text: str) -> None:
    with pytest.raises(error, match=text):
        wkt.Struct.from_dict(tree)


class Marker:
    pass


def test_cycles_through_read_containers_are_collected() -> None:
    outer = wkt.Value.from_json('{"inner": {"n": 1}}')
    inner = outer.kind.value
    marker = Marker()
    alive = weakref.ref(marker)
    # Value -> Oneof -> Struct -> dict -> Value -> Oneof -> Struct -> dict -> marker
    inner.fields["inner"].kind.value.fields["back"] = outer
    inner.fields["inner"].kind.value.fields["marker"] = marker
    del outer, inner, marker
    gc.collect()
    assert alive() is None


def test_scalar_oneofs_are_left_out_of_the_collector() -> None:
    got = wkt.Struct._from_json_value({"n": 1.5, "s": "x", "b": True, "z": None, "l": [1]})
    kinds = {k: v.kind for k, v in got.fields.items()}
    assert {k for k, kind in kinds.items() if gc.is_tracked(kind)} == {"z", "l"}


def test_freed_values_structs_and_lists_are_reused_without_leaks_or_leftovers() -> None:
    # Freed Values, Structs and ListValues are recycled. One freed with an
    # unknown field is the next one taken: nothing of it may show.
    stale = wkt.Value.from_binary(b"\x11" + struct.pack("<d", 2.5) + b"\xf8\x06\x01")
    assert stale.to_binary().endswith(b"\xf8\x06\x01")
    del stale
    fresh = wkt.Value.from_dict("x")
    assert fresh.to_binary() == wkt.Value(kind=Oneof("string_value", "x")).to_binary()
    assert gc.is_tracked(fresh)
    del fresh
    # Batches larger than any cache, read and dropped repeatedly, must leak
    # neither memory nor references of the classes.
    tree = {f"k{i}": [i, {"s": str(i)}, None] for i in range(1500)}
    wkt.Struct.from_dict(tree)
    classes = (wkt.Value, wkt.Struct, wkt.ListValue)
    refs = [sys.getrefcount(c) for c in classes]

    def read(round_: int) -> None:
        got = wkt.Struct.from_dict({"r": round_, **tree})
        assert got.fields["r"] == wkt.Value(kind=Oneof("number_value", round_))

    assert traced_growth(read, warmup=3, rounds=5) < 20_000
    assert [sys.getrefcount(c) for c in classes] == refs
    got = wkt.Struct.from_dict(tree)
    assert got.to_dict() == tree
    assert all(gc.is_tracked(v) for v in got.fields.values())


@pytest.mark.parametrize(
    ("cls", "stale", "fresh"),
    [
        (wkt.Timestamp, b"\x08\x07\x10\x05", b"\x08\x01"),
        (wkt.Duration, b"\x08\x07\x10\x05", b"\x10\x02"),
        (wkt.Any, b"\x0a\x01u\x12\x01v", b"\x12\x01w"),
    ],
)
def test_freed_time_values_and_anys_are_reused_without_leftovers(
    cls: Any, stale: bytes, fresh: bytes
) -> None:
    # Freed ones are recycled: one freed holding values and an unknown field
    # is the next one taken, and nothing of it may show.
    for _ in range(3):
        old = cls.from_binary(stale + b"\xf8\x06\x01")
        assert old.to_binary().endswith(b"\xf8\x06\x01")
        old._set_field_number_present(3)
        del old
        got = cls.from_binary(fresh)
        assert got.to_binary() == fresh and got._present == []
        assert got == cls.from_binary(fresh) and gc.is_tracked(got)
        del got
        # The constructor takes the freed ones too.
        old = cls.from_binary(stale + b"\xf8\x06\x01")
        del old
        made = cls()
        assert made.to_binary() == b"" and made._unknown_fields is None and gc.is_tracked(made)
        del made
    refs = sys.getrefcount(cls)
    for _ in range(3):
        batch = [cls.from_binary(stale) for _ in range(2000)]  # more than are kept
        del batch
    assert sys.getrefcount(cls) == refs


def test_a_finaliser_given_to_value_later_runs_for_every_instance() -> None:
    wkt.Struct.from_dict({"warm": [1, 2, 3]})
    finalised: list[int] = []
    wkt.Value.__del__ = lambda self: finalised.append(1)  # type: ignore[attr-defined]
    try:
        for _ in range(3):
            got = wkt.Struct.from_dict({"a": 1, "b": [2, {"c": None}]})
            del got
    finally:
        del wkt.Value.__del__  # type: ignore[attr-defined]
    assert len(finalised) == 3 * 5


def test_many_repeated_and_colliding_keys_read_back_exactly() -> None:
    keys = [f"k{i}" for i in range(700)] + ["", "é", "ключ", "x" * 48, "y" * 49, "a\\u0000b"]
    docs = [{k: i for i, k in enumerate(keys[j::3])} for j in range(3)] * 2
    text = json.dumps({"docs": docs, "again": {k: k for k in reversed(keys)}})
    got = wkt.Struct.from_json(text)
    assert got._to_json_value() == json.loads(text)
    assert wkt.Struct._from_json_value(json.loads(text)) == got


def _orders(doc: Any) -> Any:
    """Every object's keys in their order, nested alike."""
    if isinstance(doc, dict):
        return [(k, _orders(v)) for k, v in doc.items()]
    if isinstance(doc, list):
        return [_orders(v) for v in doc]
    return doc


@pytest.mark.parametrize(
    "records",
    [
        # The same keys in one order, then in others, and a key left out.
        [{"a": 1, "b": 2, "c": 3}, {"a": 4, "b": 5, "c": 6}, {"c": 7, "a": 8, "b": 9},
         {"a": 1, "c": 2}],
        # A key's objects hold different first keys at different depths.
        [{"client": {"ip": "x", "geo": {"city": "y"}}, "geo": {"lat": 1}}] * 3
        + [{"geo": {"city": "z"}, "client": {"geo": {"lat": 2}, "ip": "w"}}],
        # Spellings that name the same key: escapes, and a key read after one
        # matched in place.
        [{"ab": 1, "cd": 2}, {"ab": 3, "cd": 4}],
        # Long, non-ASCII and empty keys between ones that repeat.
        [{"k": 1, "é": 2, "q" * 20: 3, "": 4, "m": 5}] * 3,
        # Lists of objects under one key.
        [{"items": [{"id": 1, "n": "a"}, {"n": "b", "id": 2}, {"id": 3}]}] * 2,
        # Repeated keys that must be escaped, and long ones that differ only at
        # their end or in length.
        [{'a"b': 1, "c\\d": 2, "e\nf": 3, "t" * 30: 4, "t" * 29 + "u": 5, "t" * 31: 6}] * 3,
    ],
)
def test_struct_keys_in_changing_orders_read_back(records: list[Any]) -> None:
    compact = json.dumps({"r": records}, separators=(",", ":"), ensure_ascii=False)
    spaced = json.dumps({"r": records}, indent=1)
    escaped = compact.replace('"ab"', '"\\u0061b"').replace('"cd":', '"cd" :')
    for text in (compact, spaced, escaped):
        got = wkt.Struct.from_json(text)
        tree = got._to_json_value()
        assert tree == json.loads(text)
        assert _orders(tree) == _orders(json.loads(text))


@pytest.mark.parametrize("key", ['a"b', "a\\x", "a\nb"])
def test_a_repeated_key_is_never_matched_unescaped(key: str) -> None:
    # After the escaped spelling was read twice, the same characters written raw
    # are malformed text, refused as the first mention would be.
    escaped = json.dumps(key)
    raw = '"' + key + '"'
    text = f'{{"r":[{{{escaped}:1}},{{{escaped}:2}},{{{raw}:3}}]}}'
    with pytest.raises(json.JSONDecodeError):
        wkt.Struct.from_json(text)


@pytest.mark.parametrize(
    "literal",
    ["0", "-0.0", "7", "-42", "0.1", "1.5e3", "1e22", "1e23", "9007199254740993",
     "123456789012345678901234", "5e-324", "1e-400", "1e400", "-1e400", "1.7976931348623157e308"],
)
def test_value_numbers_from_text_as_from_a_tree(literal: str) -> None:
    # Common literals are valued in place; the rest, and the refusals, take the
    # general read: both must give what the tree gives.
    text = f'{{"n":{literal},"l":[{literal}]}}'
    try:
        want: Any = wkt.Struct._from_json_value(json.loads(text))._to_json_value()
    except ValueError as e:
        with pytest.raises(ValueError, match=str(e)):
            wkt.Struct.from_json(text)
        return
    got = wkt.Struct.from_json(text)._to_json_value()
    assert repr(got) == repr(want)


class RunsCode:
    """A number whose conversion runs an action first."""

    def __init__(self, action: Any) -> None:
        self.action = action

    def __float__(self) -> float:
        self.action()
        return 1.0


def value(kind: str, v: Any) -> wkt.Value:
    return wkt.Value(kind=Oneof(kind, v))


@pytest.mark.parametrize("write", ["to_json", "_to_json_value"])
def test_containers_changed_by_an_element_beside_plain_ones(write: str) -> None:
    """Plain Values are written borrowed; one that runs code is held, and the change it makes
    to its container is still caught (a dict) or followed (a list)."""
    fields: dict[str, Any] = {}
    fields.update(
        a=value("string_value", "x"),
        b=value("number_value", RunsCode(lambda: fields.update(z=value("null_value", 0)))),
        c=value("bool_value", True),
    )
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        getattr(wkt.Struct(fields=fields), write)()
    items: list[Any] = []
    items.extend([value("number_value", 2.5), value("number_value", RunsCode(items.clear)),
                  value("string_value", "q")])
    out = getattr(wkt.ListValue(values=items), write)()
    assert out == ("[2.5,1.0]" if write == "to_json" else [2.5, 1.0])


def test_containers_of_records_in_one_read_share_their_element_types(compiler: Any) -> None:
    # What a read learns of a Struct's and a ListValue's elements is kept for the whole
    # call: it meets them in turn, record after record, each packed in an Any and read
    # by a reader of its own, with the records' classes from the message's registry or
    # another one. Every element must come out as the Value it was in the document.
    import velum

    package = "velum.test.wktjson"
    registries = []
    for _ in range(2):
        reg = velum.Registry()
        reg.add_file_set(compiler("test_wkt_json.proto"))
        registries.append(reg)

    def record(i: int) -> dict[str, Any]:
        return {
            "@type": f"type.googleapis.com/{package}.Holder",
            "st": {"n": i, "l": [i, {"s": str(i)}, [True, None]], "t": "x" * i},
            "lv": [{"a": [i]}, "y", [], {}],
            "vmap": {"k": {"z": [i, "w"]}},
        }

    doc = {
        "anys": [record(i) for i in range(6)],
        "st": {"top": [1.5, {"q": []}]},
        "lv": [{"e": "f"}],
    }
    text = json.dumps(doc)
    for own, packed in [(0, 0), (0, 1), (1, 0)]:
        cls = registries[own].message_class(f"{package}.Holder")
        reg = registries[packed]
        from_text = cls.from_json(text, registry=reg)
        assert from_text.to_dict(registry=reg) == doc
        assert cls.from_dict(doc, registry=reg) == from_text


# Documents whose members change kind between reads: a Value freed holding one
# kind is the next one read into, holding another.
_KIND_ROUNDS = [
    {"s": "text", "n": 2.5, "b": True, "z": None, "o": {"x": "y"}, "l": [1, "two", False]},
    {"s": 7.0, "n": "now text", "b": {"deep": [None]}, "z": False, "o": "flat", "l": None},
    {"s": [{"a": [[]]}], "n": None, "b": "b", "z": {"k": 1.25}, "o": True, "l": [[2.5]]},
]


def _member(x: Any) -> str:
    if x is None:
        return "null_value"
    if isinstance(x, bool):
        return "bool_value"
    return {str: "string_value", float: "number_value", int: "number_value", dict: "struct_value",
            list: "list_value"}[type(x)]


def _expected_view(doc: dict[str, Any]) -> Any:
    # Oneofs of containers and of null are tracked by the collector, others not.
    return {k: (_member(x), x is None or isinstance(x, dict | list),
                _expected_view(x) if isinstance(x, dict) else None) for k, x in doc.items()}


def _view(got: Any) -> Any:
    return {k: (v.kind.field, gc.is_tracked(v.kind),
                _view(v.kind.value) if v.kind.field == "struct_value" else None)
            for k, v in got.fields.items()}


@pytest.mark.parametrize("read", ["from_json", "from_dict"])
def test_values_read_over_freed_ones_hold_only_what_was_read(read: str) -> None:
    # Each read over the Values the previous one freed (kept with their
    # Oneofs) must give what the document holds, member names and the
    # collector's view included.
    for start in range(3):
        for doc in _KIND_ROUNDS[start:] + _KIND_ROUNDS[:start]:
            got = (wkt.Struct.from_json(json.dumps(doc)) if read == "from_json"
                   else wkt.Struct.from_dict(doc))
            assert got.to_dict() == doc
            assert _view(got) == _expected_view(doc)
            del got


def test_a_oneof_held_elsewhere_outlives_its_value() -> None:
    # A Value's Oneof that code still holds is not taken back with the Value.
    got = wkt.Struct.from_json('{"s": "kept", "n": 1.5, "b": true, "o": {"x": 1}}')
    held = {k: v.kind for k, v in got.fields.items()}
    del got
    for doc in _KIND_ROUNDS * 2:
        wkt.Struct.from_json(json.dumps(doc))
    assert {k: (kind.field, kind.value) for k, kind in held.items()} == {
        "s": ("string_value", "kept"),
        "n": ("number_value", 1.5),
        "b": ("bool_value", True),
        "o": ("struct_value", wkt.Struct.from_dict({"x": 1})),
    }


def test_cycles_through_containers_read_into_freed_values_are_collected() -> None:
    # Containers read into Values whose Oneofs were kept stripped: the filled
    # Oneof must be seen by the collector again.
    for _ in range(2):
        wkt.Value.from_json('{"a": "x", "b": {"c": 1}, "d": [2]}')
    outer = wkt.Value.from_json('{"inner": {"n": 1}, "list": [{"m": 2}]}')
    inner = outer.kind.value
    assert gc.is_tracked(inner.fields["inner"].kind) and gc.is_tracked(inner.fields["list"].kind)
    marker = Marker()
    alive = weakref.ref(marker)
    inner.fields["list"].kind.value.values[0].kind.value.fields["back"] = outer
    inner.fields["list"].kind.value.values[0].kind.value.fields["marker"] = marker
    del outer, inner, marker
    gc.collect()
    assert alive() is None


def test_freeing_more_values_than_are_kept_leaks_no_oneof() -> None:
    # A Value holding a Struct of more Values than are kept: freeing that
    # Struct fills the kept list before the outer Value itself is kept.
    doc = {"outer": {f"k{i}": {"v": f"s{i}", "n": i} for i in range(3000)}, "last": "x"}
    text = json.dumps(doc)
    wkt.Struct.from_json(text)
    refs = sys.getrefcount(Oneof)

    def read(_: int) -> None:
        got = wkt.Struct.from_json(text)
        assert got.fields["last"].kind == Oneof("string_value", "x")

    assert traced_growth(read, warmup=2, rounds=4) < 20_000
    assert sys.getrefcount(Oneof) == refs
    assert wkt.Struct.from_json(text).to_dict() == doc


def _numbers(seed: int) -> Any:
    # Short decimals, long ones and exponents: each reaches its own float-making road.
    return {"a": seed + 0.5, "b": [seed * 3.25, seed + 1e-7, -seed * 1e300],
            "c": {"d": seed + 0.125, "e": [[seed + 2.75]]}}


def _floats_of(value: Any) -> list[float]:
    if isinstance(value, wkt.Struct):
        return [f for v in value.fields.values() for f in _floats_of(v)]
    if isinstance(value, wkt.ListValue):
        return [f for v in value.values for f in _floats_of(v)]
    kind = value.kind
    return [kind.value] if kind.field == "number_value" else _floats_of(kind.value)


@pytest.mark.parametrize(
    "read", [wkt.Struct.from_json, lambda text: wkt.Struct.from_dict(json.loads(text))])
def test_numbers_held_after_their_values_are_freed_keep_their_values(read: Any) -> None:
    # Floats freed with their Values are kept and made anew with another
    # value: one that code still holds must never be among them.
    got = read(json.dumps(_numbers(1)))
    held = _floats_of(got)
    assert held == [1.5, 3.25, 1.0000001, -1e300, 1.125, 3.75]
    del got
    for seed in range(2, 6):
        again = wkt.Struct.from_json(json.dumps(_numbers(seed)))
        assert again.to_dict() == _numbers(seed)
        del again
    assert held == [1.5, 3.25, 1.0000001, -1e300, 1.125, 3.75]


def test_freed_numbers_are_reused_without_leaks() -> None:
    text = json.dumps({"n": [i + 0.5 for i in range(3000)],
                       "m": {f"k{i}": i / 8 for i in range(100)}})

    def read(_: int) -> None:
        assert wkt.Struct.from_json(text).fields["m"].kind.value.fields["k9"].kind.value == 1.125

    assert traced_growth(read, warmup=2, rounds=4) < 20_000
