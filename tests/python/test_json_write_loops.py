"""JSON writing of list elements, map entries and common fields by their per-kind loops.

Lists, maps and singular scalars are written by loops specialised per value kind, with a
quick path for values of a type's exact class: every other value (subclasses, foreign
numbers, code that changes the container) must come out exactly as the general path writes it.
"""

from __future__ import annotations

import enum
import functools
import json
import re
from typing import Any

import pytest
from conftest import compile_protos

import velum

D = "velum.test.diff"


@functools.cache
def registry() -> velum.Registry:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_differential.proto"))
    return reg


def Flat(**kwargs: Any) -> Any:
    return registry().message_class(f"{D}.Flat")(**kwargs)


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyBytes(bytes):
    pass


class Level(enum.IntEnum):
    LOW = 3


class Index:
    """A foreign number with __index__ only."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class Action:
    """A foreign float whose conversion runs an action first."""

    def __init__(self, action: Any, value: float = 1.0) -> None:
        self.action, self.value = action, value

    def __float__(self) -> float:
        self.action()
        return self.value


# Per type: values of the exact class and of others, each valid for the type.
VALUES: list[tuple[str, list[Any]]] = [
    ("double", [1.5, -0.0, MyFloat(2.25), 7, float("nan"), float("-inf")]),
    ("float", [0.5, MyFloat(-1.0), 3]),
    ("int64", [0, -(2**63), MyInt(2**62), Level.LOW, 2**63 - 1]),
    ("sint64", [-5, MyInt(-6)]),
    ("sfixed64", [-7, Level.LOW]),
    ("uint64", [0, 2**64 - 1, MyInt(9)]),
    ("fixed64", [2**40, MyInt(1)]),
    ("int32", [-(2**31), 2**31 - 1, MyInt(-4), Level.LOW]),
    ("sint32", [-1, MyInt(1)]),
    ("sfixed32", [-2, MyInt(2)]),
    ("uint32", [0, 2**32 - 1, MyInt(5)]),
    ("fixed32", [6, Level.LOW]),
    ("bool", [True, False]),
    ("string", ["", "a\"b\\", "é€🙂", MyStr("sub"), MyStr("ü\n")]),
    ("bytes", [b"", b"\x00\xff", MyBytes(b"xyz"), bytearray(b"ab")]),
]


def json_of(msg: Any) -> tuple[Any, Any]:
    text = msg.to_json()
    tree = msg.to_dict()
    return json.loads(text), tree


@pytest.mark.parametrize(("kind", "values"), VALUES)
def test_list_elements_are_written_as_singular_values(kind: str, values: list[Any]) -> None:
    member = "u" + kind.title().replace("_", "")
    singles = []
    for value in values:
        # The singular field skips its default; written with always_emit it is the element form.
        msg = Flat(**{f"f_{kind}": value})
        text = json.loads(msg.to_json(always_emit_implicit=True))["f" + kind.title()]
        tree = msg.to_dict(always_emit_implicit=True)["f" + kind.title()]
        singles.append((text, tree))
    text_list, tree_list = json_of(Flat(**{f"u_{kind}": list(values)}))
    assert [repr(x) for x in text_list[member]] == [repr(t) for t, _ in singles]
    assert [repr(x) for x in tree_list[member]] == [repr(t) for _, t in singles]


def _element_text(kind: str, value: Any) -> str:
    """The text of one value as the singular field writes it."""
    text: str = Flat(**{f"f_{kind}": value}).to_json(always_emit_implicit=True)
    head = f'"f{kind.title()}":'
    start = text.index(head) + len(head)
    return text[start:text.index(",", start) if "," in text[start:] else len(text) - 1]


@pytest.mark.parametrize("kind", ["double", "int64", "uint64", "int32", "uint32", "sfixed64",
                                  "fixed32"])
def test_long_number_lists_write_every_element_as_the_field_does(kind: str) -> None:
    # Thousands of elements grow the text many times over; values of the exact class
    # alternate with others (subclasses, enum members, NaN), so the quick runs stop and
    # resume all along, at the list's start and end too.
    values = dict(VALUES)[kind]
    extra = [2.5e-300, 1e16, 123456.789, 2.0**-1074] if kind == "double" else [1, 2**31 - 1]
    items = [([*values, *extra])[(i * 7) % (len(values) + len(extra))] for i in range(4000)]
    items = [MyInt(1) if kind != "double" else MyFloat(1.0), *items, values[-1]]
    text = Flat(**{f"u_{kind}": items}).to_json()
    member = "u" + kind.title()
    expected = "[" + ",".join(_element_text(kind, v) for v in items) + "]"
    assert text == "{" + f'"{member}":' + expected + "}"


@functools.cache
def record_class() -> Any:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_decode_dispatch.proto"))
    return reg.message_class("velum.test.fast.Record")


@pytest.mark.parametrize(("kind", "make"), [
    ("double", lambda m: registry().message_class(f"{D}.Maps")(v_double=m)),
    ("int64", lambda m: record_class()(counters=m)),
])
def test_long_number_maps_write_every_entry_as_the_general_road(kind: str, make: Any) -> None:
    # Keys the quick loop takes (plain ASCII) and others (escapes, non-ASCII, a str
    # subclass), values of the exact class and others, over a text grown many times.
    values = dict(VALUES)[kind]
    keys = ["plain", 'q"uote', "back\\", "tab\t", "é", "🙂", MyStr("sub"), "k" * 40, "é\n"]
    entries = {}
    for i in range(3000):
        key = keys[i % len(keys)]
        entries[type(key)(f"{key}{i}")] = values[(i * 3) % len(values)]
    msg = make(entries)
    text = msg.to_json()
    member = next(iter(json.loads(text)))
    expected = ",".join(json.dumps(str(k), ensure_ascii=False) + ":" + _element_text(kind, v)
                        for k, v in entries.items())
    assert text == "{" + json.dumps(member) + ":{" + expected + "}}"


@functools.cache
def closed_maps_class() -> Any:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_decoder_hooks.proto"))
    return reg.message_class("velum.test.decoder.ClosedMaps")


@pytest.mark.parametrize(("kind", "make"), [
    ("int64", lambda m: record_class()(counters=m)),
    ("string", lambda m: registry().message_class(f"{D}.Maps")(k_string_v=m)),
    ("double", lambda m: registry().message_class(f"{D}.Maps")(v_double=m)),
    ("float", lambda m: registry().message_class(f"{D}.Maps")(v_float=m)),
    ("int32", lambda m: closed_maps_class()(counts=m)),
])
def test_value_tree_maps_place_every_entry_as_the_text_reads(kind: str, make: Any) -> None:
    # Entries the tree's quick loop sets straight into the dict (exact str keys and
    # values) alternate with others it hands back to the general road (str subclass keys,
    # subclass and foreign values, ints beyond 2**60, NaN), at the start and end too.
    values = dict(VALUES)[kind] + ([2**61, -(2**62) - 3, 10**18] if kind == "int64" else [])
    keys = ["plain", "é", MyStr("sub"), "k" * 40]
    entries = {}
    for i in range(600):
        key = keys[i % len(keys)]
        entries[type(key)(f"{key}{i}")] = values[(i * 5) % len(values)]
    msg = make(entries)
    text, tree = json_of(msg)
    assert tree == text
    member = next(iter(tree))
    assert list(tree[member]) == [str(k) for k in entries]
    # The result is the caller's own: a second call shares none of its containers.
    again = msg.to_dict()
    assert again == tree and again[member] is not tree[member]


@pytest.mark.parametrize("first", [True, False])
def test_value_tree_map_refuses_a_bad_entry_after_quick_ones(first: bool) -> None:
    maps = registry().message_class(f"{D}.Maps")
    entries: dict[Any, Any] = {f"k{i}": f"v{i}" for i in range(5)}
    entries = {1: "bad", **entries} if first else {**entries, 1: "bad"}
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'str'$"):
        maps(k_string_v=entries).to_dict()
    bad_value = maps(k_string_v={"a": "x", "b": 5, "c": "z"})
    with pytest.raises(TypeError) as by_text:
        bad_value.to_json()
    with pytest.raises(TypeError, match=f"^{re.escape(str(by_text.value))}$"):
        bad_value.to_dict()


@pytest.mark.parametrize(("kind", "values"), VALUES)
def test_implicit_fields_skip_defaults_of_any_class(kind: str, values: list[Any]) -> None:
    zero = {"string": "", "bytes": b"", "bool": False}.get(kind, 0)
    other = {"string": MyStr(), "bytes": MyBytes(), "bool": False, "double": MyFloat(),
             "float": MyFloat()}.get(kind, MyInt())
    for default in (zero, other):
        msg = Flat(**{f"f_{kind}": default})
        assert msg.to_json() == "{}"
        assert msg.to_dict() == {}
    for value in values:
        msg = Flat(**{f"f_{kind}": value})
        written = value != zero or (isinstance(value, float) and str(value) == "-0.0")
        assert (msg.to_json() != "{}") == written, value


@pytest.mark.parametrize(
    ("kind", "bad", "error", "message"),
    [
        ("int64", "1", TypeError, "expected int, got <class 'str'>"),
        ("int64", 2**63, OverflowError, f"value {2**63} out of range for int64"),
        ("int32", True, TypeError, "expected int, got <class 'bool'>"),
        ("uint32", -1, OverflowError, "value -1 out of range for uint32"),
        ("double", "x", TypeError, "expected float, got <class 'str'>"),
        ("float", 1e39, OverflowError, "value 1e+39 out of range for float"),
        ("bool", 1, TypeError, "expected bool, got <class 'int'>"),
        ("string", b"x", TypeError, "expected str, got <class 'bytes'>"),
        ("bytes", "x", TypeError, "expected bytes, got <class 'str'>"),
    ],
)
def test_bad_values_fail_alike_in_lists_and_fields(kind: str, bad: Any, error: type[Exception],
                                                   message: str) -> None:
    good = VALUES[[k for k, _ in VALUES].index(kind)][1][0]
    for msg in (Flat(**{f"u_{kind}": [good, bad]}), Flat(**{f"f_{kind}": bad})):
        for write in (msg.to_json, msg.to_dict):
            # always_emit: the default test of the singular field does not decide first.
            with pytest.raises(error) as info:
                write(always_emit_implicit=True)
            assert str(info.value) == message


@pytest.mark.parametrize("change", ["clear", "pop", "append", "extend"])
def test_value_tree_list_changed_during_its_walk(change: str) -> None:
    def written(write: str) -> Any:
        items: list[Any] = []
        actions = {
            "clear": items.clear,
            "pop": items.pop,
            "append": lambda: items.append(4.0),
            "extend": lambda: items.extend([5.0, 6.0]),
        }
        items.extend([2.0, Action(actions[change]), 3.0])
        return getattr(Flat(u_double=items), write)()

    tree = written("to_dict")
    # The tree, made at the list's first length, holds what the text holds: no more, no less.
    assert tree == json.loads(written("to_json"))
    assert tree["uDouble"][:2] == [2.0, 1.0]
    assert None not in tree["uDouble"]


@pytest.mark.parametrize("change", ["none", "swap_later", "swap_written", "grow", "subclass_key"])
@pytest.mark.parametrize("at", [0, 5, 19])
def test_value_tree_map_changed_during_its_walk(change: str, at: int) -> None:
    # Code run for an entry (a foreign number's conversion) may change the map under
    # the walk: the tree must then hold exactly the entries written, as the text does,
    # never a key the walk did not reach nor a source value left unconverted.
    maps = registry().message_class(f"{D}.Maps")

    def written(write: str) -> Any:
        msg = maps(v_double={f"k{i}": float(i) for i in range(20)})
        source = msg.v_double

        def act() -> None:
            if "new" in source:  # a conversion may be asked more than once
                return
            if change == "swap_later":
                del source["k18"]
                source["new"] = 7.0
            elif change == "swap_written":
                del source["k0"]
                source["new"] = 7.0
            elif change == "grow":
                source["new"] = 7.0

        source[f"k{at}"] = Action(act, 0.25)
        if change == "subclass_key":
            source[MyStr("sub")] = Index(3)
        try:
            return getattr(msg, write)()
        except RuntimeError as e:
            return str(e)

    text, tree = written("to_json"), written("to_dict")
    if isinstance(text, str) and text.startswith("{"):
        text = json.loads(text)
    assert tree == text
    if isinstance(tree, dict):
        assert all(type(v) in (float, int) for v in tree["vDouble"].values())
        assert [str(k) for k in tree["vDouble"]][:at] == [f"k{i}" for i in range(at)]


def test_lists_of_every_kind_in_the_value_tree_hold_no_placeholders() -> None:
    leaf = registry().message_class(f"{D}.Leaf")
    msg = Flat(u_int32=[1, 2, 3], u_string=["a", "b"], u_leaf=[leaf(), leaf()], u_hue=[0, 1, 1],
               u_bytes=[b"a"], p_double=[0.5] * 40)
    text, tree = json_of(msg)
    assert text == tree
    assert None not in [x for v in tree.values() for x in v]


def test_foreign_numbers_in_lists() -> None:
    msg = Flat(u_int64=[Index(5)], u_double=[Index(2), Action(lambda: None, 2.5)])
    with pytest.raises(TypeError, match="^expected int, got <class"):
        msg.to_json()
    msg.u_int64 = []
    assert json.loads(msg.to_json()) == {"uDouble": [2, 2.5]}
    assert msg.to_dict() == {"uDouble": [2, 2.5]}


MAP_CASES: list[tuple[str, dict[Any, Any], dict[str, Any]]] = [
    ("k_string_v", {"a": "x", MyStr("b"): MyStr("y"), "é": ""}, {"a": "x", "b": "y", "é": ""}),
    ("k_int32_v", {1: 2, MyInt(-3): MyInt(4), Level.LOW: 0}, {"1": 2, "-3": 4, "3": 0}),
    ("k_int64_v", {2**40: 2**40}, {str(2**40): str(2**40)}),
    ("k_int64_v", {-5: 1, 10**12 + 3: 2, -(10**15) - 7: 3, -(2**63): 4, 99999999: 5},
     {"-5": "1", str(10**12 + 3): "2", str(-(10**15) - 7): "3", str(-(2**63)): "4",
      "99999999": "5"}),
    ("k_bool_v", {True: True, False: False}, {"true": True, "false": False}),
]


@pytest.mark.parametrize(("field", "value", "expected"), MAP_CASES)
def test_map_entries(field: str, value: dict[Any, Any], expected: dict[str, Any]) -> None:
    maps = registry().message_class(f"{D}.Maps")
    member = field.split("_")[0] + "".join(p.title() for p in field.split("_")[1:])
    text, tree = json_of(maps(**{field: value}))
    assert text == tree == {member: expected}


def test_non_str_key_of_a_string_map() -> None:
    maps = registry().message_class(f"{D}.Maps")
    msg = maps(k_string_v={"a": "x", 1: "y"})
    for write in (msg.to_json, msg.to_dict):
        with pytest.raises(TypeError, match="^'int' object is not an instance of 'str'$"):
            write()


@pytest.mark.parametrize("field", ["f_int32", "o_int32", "o_string", "f_leaf", "u_double", "f_hue",
                                   "u_int32", "u_leaf", "f_string", "f_int64", "f_bool"])
def test_empty_slot_fails_whether_or_not_the_field_is_set(field: str) -> None:
    msg = Flat()
    type(msg).__dict__[field].__delete__(msg)
    for write in (msg.to_json, msg.to_dict):
        with pytest.raises(AttributeError, match="^uninitialized slot$"):
            write()


# ASCII texts of every length a short text is copied at (by bytes, by two half words,
# by two words, by vectors and a last overlapping one) with one byte to escape at each
# position in turn: the quick copy must notice it wherever it lies, and write the plain
# ones whole, as a field, a list element, a map key and a map value.
_PLAIN_TEXTS = ["abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNO"[:n] for n in range(0, 52)]
_ESCAPED_TEXTS = [t[:i] + c + t[i + 1:] for t in _PLAIN_TEXTS for i in range(len(t))
                  for c in ('"', "\\", "\n", "\x01")][::3]


@pytest.mark.parametrize("texts", [_PLAIN_TEXTS, _ESCAPED_TEXTS], ids=["plain", "escaped"])
def test_ascii_texts_of_every_length_are_written_whole_and_escaped(texts: list[str]) -> None:
    maps = registry().message_class(f"{D}.Maps")
    for text in texts:
        quoted = json.dumps(text)
        assert Flat(f_string=text).to_json() == (f'{{"fString":{quoted}}}' if text else "{}")
        assert Flat(u_string=[text, text]).to_json() == f'{{"uString":[{quoted},{quoted}]}}'
        assert maps(k_string_v={text: text, "k": "v"}).to_json() == \
            f'{{"kStringV":{{{quoted}:{quoted},"k":"v"}}}}'
        assert maps(v_double={text: 1.5}).to_json() == f'{{"vDouble":{{{quoted}:1.5}}}}'


@functools.cache
def by_int_class() -> Any:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_json_write.proto"))
    return reg.message_class("velum.test.jsonw.Scalars")


@pytest.mark.parametrize(("kind", "make"), [
    ("int32", lambda m: registry().message_class(f"{D}.Maps")(k_int32_v=m)),
    ("int64", lambda m: registry().message_class(f"{D}.Maps")(k_int64_v=m)),
    ("uint64", lambda m: registry().message_class(f"{D}.Maps")(k_uint64_v=m)),
    ("string", lambda m: by_int_class()(by_int=m)),
])
def test_value_tree_int_key_maps_place_every_entry_as_the_text_reads(kind: str, make: Any) -> None:
    # Integer keys the tree's quick loop turns into digits (exact ints, negative, zero)
    # alternate with others it hands back to the general road (an int subclass, ints
    # beyond 2**60 where the key type holds them) and with values it leaves.
    wide = kind in ("int64", "uint64")
    keys: list[Any] = [0, 7, 123456789, MyInt(42)]
    if kind == "uint64":
        keys += [2**61 + 5, 2**63 + 11]
    if kind != "uint64":
        keys += [-1, -(2**31)] + ([-(2**62) - 3] if wide else [])
    values = dict(VALUES)[kind]
    entries = {}
    for i in range(400):
        key = keys[i % len(keys)]
        step = i * (len(keys) + 1) * (1 if key >= 0 else -1)
        entries[type(key)(key + step)] = values[(i * 5) % len(values)]
    msg = make(entries)
    text, tree = json_of(msg)
    assert tree == text
    member = next(iter(tree))
    assert list(tree[member]) == [str(int(k)) for k in entries]
    again = msg.to_dict()
    assert again == tree and again[member] is not tree[member]


@pytest.mark.parametrize("first", ["quick", "left"])
@pytest.mark.parametrize(("kind", "field"), [
    ("int32", "k_int32_v"), ("int64", "k_int64_v"), ("uint64", "k_uint64_v"),
    ("sint64", "k_sint64_v"), ("fixed32", "k_fixed32_v"), ("string", "by_int"),
])
def test_int_key_maps_write_every_entry_as_the_general_road(kind: str, field: str,
                                                            first: str) -> None:
    # The text's quick loop for integer keys takes exact ints with values of the exact
    # class (strs needing no escape); the entries it leaves (an int subclass key, a key
    # beyond 64 signed bits, subclass values, strs to escape) go by the general road,
    # over a text grown many times, with either kind of entry first.
    more = ["plain", "k" * 40, "é\t", "Ωmega"] if kind == "string" else []
    values = [*dict(VALUES)[kind], *more]
    keys: list[Any] = [0, 7, 123456789, MyInt(42), -1]
    if kind in ("uint64", "fixed32"):
        keys = [k for k in keys if k >= 0] + ([2**63 + 11] if kind == "uint64" else [])
    entries: dict[Any, Any] = {MyInt(5) if first == "left" else 5: values[0]}
    for i in range(3000):
        key = keys[i % len(keys)]
        step = (i + 1) * 100 * (1 if key >= 0 else -1)
        entries[type(key)(key + step)] = values[(i * 3) % len(values)]
    cls = by_int_class() if field == "by_int" else registry().message_class(f"{D}.Maps")
    msg = cls(**{field: entries})
    text = msg.to_json()
    member = next(iter(json.loads(text)))
    expected = ",".join(f'"{int(k)}":' + _element_text(kind, v) for k, v in entries.items())
    assert text == "{" + json.dumps(member) + ":{" + expected + "}}"


@pytest.mark.parametrize("before", ["x" * 3000, "é" * 3000, "🙂" * 3000])
def test_failure_after_the_text_outgrew_its_first_block(before: str) -> None:
    # The text then lives in the str it would become: a failure drops it whole, and the
    # next call writes afresh.
    msg = Flat(u_string=[before, before])
    msg.u_string.append(5)
    with pytest.raises(TypeError, match="^expected str, got <class 'int'>$"):
        msg.to_json()
    msg.u_string.pop()
    assert msg.to_json() == json.dumps({"uString": [before, before]}, ensure_ascii=False,
                                       separators=(",", ":"))


class TruthList(list[Any]):
    """A list whose truth is not its size."""

    def __bool__(self) -> bool:
        return len(self) == 0


class TruthDict(dict[Any, Any]):
    """A dict whose truth is not its size."""

    def __bool__(self) -> bool:
        return len(self) == 0


def _leaf() -> Any:
    return registry().message_class(f"{D}.Leaf")(id=1)


@pytest.mark.parametrize("emit", [False, True], ids=["skip-default", "always-emit"])
@pytest.mark.parametrize(("field", "make", "written"), [
    ("u_int32", list, None), ("u_int32", lambda: [1, 2], "[1,2]"),
    ("u_leaf", list, None), ("u_leaf", lambda: [_leaf()], '[{"id":1}]'),
    ("u_string", lambda: ["a", "é"], '["a","é"]'),
    ("k_string_v", dict, None), ("k_string_v", lambda: {"a": "b"}, '{"a":"b"}'),
    ("k_int32_m", lambda: {1: _leaf()}, '{"1":{"id":1}}'),
    # A subclass keeps its own truth test: written when true though empty, skipped
    # when false though not.
    ("u_int32", TruthList, "[]"), ("u_int32", lambda: TruthList([3]), None),
    ("k_string_v", TruthDict, "{}"), ("k_string_v", lambda: TruthDict({"a": "b"}), None),
])
def test_list_and_map_fields_are_selected_by_the_general_rule(field: str, make: Any,
                                                              written: str | None,
                                                              emit: bool) -> None:
    # Lists and maps in slots are selected inline when the slot holds the exact container:
    # skipped when empty unless every implicit field is emitted. Anything else goes through
    # the general selection, whose truth test a subclass may answer otherwise.
    cls = Flat if field.startswith("u_") else registry().message_class(f"{D}.Maps")
    msg = cls()
    value = make()
    setattr(msg, field, value)
    member = re.sub(r"_(\w)", lambda m: m.group(1).upper(), field)
    if not emit:
        expected = "{}" if written is None else f'{{"{member}":{written}}}'
        assert msg.to_json() == expected
        assert msg.to_dict() == json.loads(expected)
        return
    # Every field is written then, with the container's own content.
    text = json.loads(msg.to_json(always_emit_implicit=True))[member]
    tree = msg.to_dict(always_emit_implicit=True)[member]
    assert text == tree
    assert len(text) == len(value)


@pytest.mark.parametrize(("field", "value", "error"), [
    ("u_int32", (1, 2), "^'tuple' object is not an instance of 'list'$"),
    ("k_string_v", [("a", "b")], "^'list' object is not an instance of 'dict'$"),
])
def test_list_and_map_fields_of_another_class_fail_as_before(field: str, value: Any,
                                                            error: str) -> None:
    cls = Flat if field.startswith("u_") else registry().message_class(f"{D}.Maps")
    msg = cls()
    try:
        setattr(msg, field, value)
    except TypeError:
        pytest.skip("the setter refuses it")
    for write in (msg.to_json, msg.to_dict):
        with pytest.raises(TypeError, match=error):
            write()
