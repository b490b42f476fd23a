"""Reference and memory hygiene of the well-known types' JSON forms, success and failure."""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from typing import Any

import pytest
from test_hygiene import check_no_growth
from test_wkt_json import LEAF_URL, Leaf, holder_cls, registry

from velum import Oneof, wkt


class Raising:
    def message(self, name: str) -> Any:
        raise KeyError(name)


def fails(error: type[Exception], call: Callable[[], object]) -> Callable[[], None]:
    def run() -> None:
        try:
            call()
        except error:
            return
        raise AssertionError("the call did not fail")

    return run


def deep_any(levels: int) -> Any:
    doc: Any = {"@type": "/google.protobuf.Duration", "value": "1s"}
    for _ in range(levels):
        doc = {"@type": "/google.protobuf.Any", "value": doc}
    return doc


def cases() -> dict[str, Callable[[], None]]:
    reg = registry()
    holder = holder_cls()(
        ts=wkt.Timestamp(seconds=5, nanos=7000),
        dur=wkt.Duration(seconds=-3),
        mask=wkt.FieldMask(paths=["a_b", "c"]),
        st=wkt.Struct.from_python({"a": [1, None, "x", {"b": True}]}),
        any=wkt.Any(type_url=LEAF_URL, value=Leaf(a=1, s="é", r=[2**40]).to_binary()),
        anys=[wkt.Any.pack(wkt.Duration(seconds=1)), wkt.Any()],
        i64=wkt.Int64Value(value=-9),
        vmap={"k": wkt.Value.from_python([1.5])},
    )
    text = holder.to_json(registry=reg)
    tree = json.loads(text)
    cls = holder_cls()
    bad_any = wkt.Any(type_url=LEAF_URL, value=b"\xff")
    return {
        "write-text": lambda: holder.to_json(registry=reg),
        "write-tree": lambda: holder._to_json_value(registry=reg),
        "read-text": lambda: cls.from_json(text, registry=reg),
        "read-tree": lambda: cls._from_json_value(tree, registry=reg),
        "timestamp-refused": fails(
            ValueError, lambda: cls.from_json('{"ts": "1970-01-01T00:00:60Z"}')
        ),
        "duration-refused": fails(
            ValueError, lambda: cls._from_json_value({"dur": "1.0000000001s"})
        ),
        "mask-refused": fails(ValueError, lambda: wkt.FieldMask(paths=["a__b"]).to_json()),
        "value-nan": fails(
            ValueError, lambda: wkt.Value(kind=Oneof("number_value", math.nan)).to_json()
        ),
        "any-unknown": fails(
            ValueError, lambda: cls.from_json('{"any": {"@type": "/x.Y", "a": 1}}', registry=reg)
        ),
        "any-payload-error": fails(
            ValueError,
            lambda: cls.from_json(f'{{"any": {{"@type": "{LEAF_URL}", "a": "x"}}}}', registry=reg),
        ),
        "any-registry-raises": fails(KeyError, lambda: holder.to_json(registry=Raising())),
        "any-bad-bytes": fails(ValueError, lambda: bad_any.to_json(registry=reg)),
        "any-too-deep": fails(
            RecursionError, lambda: wkt.Any._from_json_value(deep_any(101), registry=reg)
        ),
    }


@pytest.mark.parametrize("name", list(cases()))
def test_well_known_forms_do_not_leak(name: str) -> None:
    shared = [registry(), holder_cls(), wkt.NullValue.NULL_VALUE, wkt.Value, wkt.Any]
    check_no_growth(cases()[name], shared)
