"""How Any values find their packed types: velum's own Registry is read without calling
`message()`, any other registry (a subclass, a replaced method, a stand-in) is called once
per Any, and both give the same results and errors."""

from __future__ import annotations

import json
from typing import Any

import pytest
from conftest import compile_protos

import velum
from velum import wkt

PKG = "velum.test.wktjson"


def new_registry() -> velum.Registry:
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_wkt_json.proto"))
    return reg


class Forwarding:
    """A registry of the caller's own that answers as `inner` does and counts its calls."""

    def __init__(self, inner: velum.Registry) -> None:
        self.inner = inner
        self.asked: list[str] = []

    def message(self, name: str) -> Any:
        self.asked.append(name)
        return self.inner.message(name)


class Counting(velum.Registry):
    asked: list[str]

    def message(self, full_name: str) -> Any:
        self.asked.append(full_name)
        return super().message(full_name)


def mixed_holder(reg: velum.Registry) -> Any:
    """Any values of more distinct types than one call keeps, some repeated, one nested."""
    leaf = reg.message_class(f"{PKG}.Leaf")
    inner = wkt.Any.pack(leaf(a=7))
    payloads = [
        leaf(a=1, s="x"),
        wkt.Duration(seconds=1, nanos=500_000_000),
        wkt.Timestamp(seconds=5),
        wkt.Struct.from_python({"k": 2.0, "l": [None, True, "x"]}),
        wkt.Int32Value(value=3),
        wkt.StringValue(value="s"),
        leaf(a=2, any=inner),
        wkt.Duration(seconds=2),
        leaf(a=3),
    ]
    anys = [wkt.Any.pack(p) for p in payloads]
    # A leading "." in the type name is dropped by the registry's lookup.
    anys.append(wkt.Any(type_url=f"example.test/.{PKG}.Leaf", value=leaf(a=4).to_binary()))
    return reg.message_class(f"{PKG}.Holder")(anys=anys, amap={"a": anys[0], "b": anys[1]})


def test_own_registry_and_a_forwarding_one_agree() -> None:
    reg = new_registry()
    msg = mixed_holder(reg)
    stand_in = Forwarding(reg)
    text = msg.to_json(registry=reg)
    assert text == msg.to_json(registry=stand_in)
    assert msg._to_json_value(registry=reg) == msg._to_json_value(registry=stand_in)
    cls = type(msg)
    read = cls.from_json(text, registry=reg)
    assert read == cls.from_json(text, registry=stand_in)
    assert read == cls._from_json_value(json.loads(text), registry=reg)
    assert read.to_json(registry=reg) == read.to_json(registry=stand_in)
    # The stand-in was asked once per Any and per direction, nested ones included.
    per_pass = len(msg.anys) + len(msg.amap) + 1
    assert len(stand_in.asked) == 4 * per_pass
    assert stand_in.asked.count(f".{PKG}.Leaf") == 3  # not once read back: default prefix


def test_subclass_and_replaced_methods_are_called_for_every_any() -> None:
    msg = mixed_holder(new_registry())
    text = msg.to_json(registry=new_registry())
    sub = Counting()
    sub.asked = []
    sub.add_file_set(compile_protos("test_wkt_json.proto"))
    sub.asked.clear()  # loading asks too
    assert msg.to_json(registry=sub) == text
    assert len(sub.asked) == len(msg.anys) + len(msg.amap) + 1

    reg = new_registry()
    calls: list[str] = []
    original = reg.message

    def spy(name: str) -> Any:
        calls.append(name)
        return original(name)

    reg.message = spy  # type: ignore[method-assign]
    want = type(msg).from_json(text, registry=new_registry())
    assert type(msg).from_json(text, registry=reg) == want
    assert len(calls) == len(msg.anys) + len(msg.amap) + 1


def test_method_replaced_on_the_class_is_called(monkeypatch: pytest.MonkeyPatch) -> None:
    reg = new_registry()
    any_leaf = wkt.Any.pack(reg.message_class(f"{PKG}.Leaf")(a=1))
    monkeypatch.setattr(velum.Registry, "message", lambda self, name: None)
    with pytest.raises(ValueError, match="is not in the type registry"):
        any_leaf.to_json(registry=reg)
    with pytest.raises(ValueError, match="is not in the type registry"):
        wkt.Any.from_json(f'{{"@type": "/{PKG}.Leaf"}}', registry=reg)


@pytest.mark.parametrize(
    ("url", "message"),
    [
        ("/no.Such", 'any: "/no.Such" is not in the type registry'),
        ("no.Such", 'any: "no.Such" is not in the type registry'),
        ("a/b/", "invalid type url: a/b/"),
        # Only one "." is dropped, as Registry.message drops it.
        (f"/..{PKG}.Leaf", f'any: "/..{PKG}.Leaf" is not in the type registry'),
    ],
)
def test_unknown_types_of_own_registry(url: str, message: str) -> None:
    with pytest.raises(ValueError) as raised:
        wkt.Any(type_url=url).to_json(registry=new_registry())
    assert str(raised.value) == message


def test_type_unknown_until_loaded_mid_session() -> None:
    reg = velum.Registry()
    text = f'{{"@type": "/{PKG}.Leaf", "a": 1}}'
    with pytest.raises(ValueError, match="is not in the type registry"):
        wkt.Any.from_json(text, registry=reg)
    reg.add_file_set(compile_protos("test_wkt_json.proto"))
    # The packed class is created on first use, through the lookup itself.
    got = wkt.Any.from_json(text, registry=reg)
    assert got.type_url == f"type.googleapis.com/{PKG}.Leaf"
    assert got.to_json(registry=reg) == f'{{"@type":"type.googleapis.com/{PKG}.Leaf","a":1}}'


def test_lookup_map_that_is_not_a_plain_dict_goes_through_the_method() -> None:
    reg = new_registry()
    asked: list[object] = []

    class Watched(dict[str, Any]):
        def get(self, key: str, default: Any = None) -> Any:
            asked.append(key)
            return super().get(key, default)

    any_leaf = wkt.Any.pack(reg.message_class(f"{PKG}.Leaf")(a=1))
    reg._messages = Watched(reg._messages)
    assert any_leaf.to_json(registry=reg).endswith('"a":1}')
    assert asked == [f"{PKG}.Leaf"]


def test_anys_sharing_one_url_str_read_the_registry_every_call() -> None:
    """Anys holding the very same URL str, between Anys of other types, write as the
    registry answers at each call: a type dropped from it between calls is missed."""
    reg = new_registry()
    leaf = reg.message_class(f"{PKG}.Leaf")
    url = f"type.googleapis.com/{PKG}.Leaf"
    other = wkt.Any.pack(wkt.Duration(seconds=3))
    anys = []
    for i in range(4):
        anys.append(wkt.Any(type_url=url, value=leaf(a=i, s="x" * i).to_binary()))
        if i % 2:
            anys.append(other)
    msg = reg.message_class(f"{PKG}.Holder")(anys=anys)
    assert sum(a.type_url is url for a in msg.anys) == 4
    text = msg.to_json(registry=reg)
    assert text == msg.to_json(registry=Forwarding(reg))
    assert json.loads(text)["anys"][1] == {"@type": url, "a": 1, "s": "x"}
    del reg._messages[f"{PKG}.Leaf"]
    with pytest.raises(ValueError) as raised:
        msg.to_json(registry=reg)
    assert str(raised.value) == f'any: "{url}" is not in the type registry'


@pytest.mark.parametrize(
    "prefixes",
    [
        # One URL again and again, then under other prefixes naming the same type.
        ["type.googleapis.com/"] * 3 + ["example.test/", "example.test/.", "type.googleapis.com/"],
        # The same URL again after more other types than one call keeps.
        ["type.googleapis.com/", "*", "example.test/", "*", "type.googleapis.com/"],
    ],
)
def test_repeated_type_urls_read_as_each_names(prefixes: list[str]) -> None:
    """Anys read from text whose type URLs repeat, change prefix, or come back after
    other types: each reads as the registry answers for it, as a stand-in's reading does."""
    reg = new_registry()
    leaf = reg.message_class(f"{PKG}.Leaf")
    others = [wkt.Duration(seconds=1), wkt.Timestamp(seconds=2), wkt.Int32Value(value=3),
              wkt.StringValue(value="s"), wkt.BoolValue(value=True), wkt.UInt64Value(value=4)]
    anys: list[Any] = []
    for i, prefix in enumerate(prefixes):
        if prefix == "*":
            anys.extend(wkt.Any.pack(o) for o in others)
        else:
            payload = leaf(a=i, r=[i]).to_binary()
            anys.append(wkt.Any(type_url=prefix + f"{PKG}.Leaf", value=payload))
    msg = reg.message_class(f"{PKG}.Holder")(anys=anys)
    text = msg.to_json(registry=reg)
    cls = type(msg)
    read = cls.from_json(text, registry=reg)
    assert read == cls.from_json(text, registry=Forwarding(reg))
    assert [leaf.from_binary(a.value) for a in read.anys if a.type_url.endswith("Leaf")] == [
        leaf.from_binary(a.value) for a in msg.anys if a.type_url.endswith("Leaf")]
