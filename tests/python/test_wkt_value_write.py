"""Values holding Structs and ListValues: each level of either counts two depth levels (the
Value and the document), whichever road the writer takes into the nested document."""

from __future__ import annotations

from typing import Any

import pytest

from velum import Oneof, wkt


def wrap(kind: str, inner: Any) -> Any:
    if kind == "struct_value":
        return wkt.Value(kind=Oneof("struct_value", wkt.Struct(fields={"a": inner})))
    return wkt.Value(kind=Oneof("list_value", wkt.ListValue(values=[inner])))


def nested(kinds: list[str]) -> Any:
    value = wkt.Value(kind=Oneof("number_value", 1))
    for kind in kinds:
        value = wrap(kind, value)
    return value


def plain(kinds: list[str]) -> Any:
    doc: Any = 1
    for kind in kinds:
        doc = {"a": doc} if kind == "struct_value" else [doc]
    return doc


SHAPES = {
    "structs": ["struct_value"],
    "lists": ["list_value"],
    "mixed": ["struct_value", "list_value"],
}


@pytest.mark.parametrize("shape", SHAPES)
def test_nested_documents_at_and_beyond_the_limit(shape: str) -> None:
    kinds = (SHAPES[shape] * 51)[:50]  # the innermost Value sits at depth 100
    ok = nested(kinds)
    assert ok._to_json_value() == plain(kinds)
    assert ok.to_json().count("1") == 1
    too_deep = wrap("list_value", ok)
    for write in (too_deep.to_json, too_deep._to_json_value):
        with pytest.raises(
            RecursionError, match="^exceeded maximum recursion depth 100 while serializing message$"
        ):
            write()


def test_nested_document_of_the_wrong_class_is_refused() -> None:
    value = wkt.Value(kind=Oneof("struct_value", wkt.ListValue(values=[])))
    with pytest.raises(TypeError, match="^expected 'google.protobuf.Struct', got "):
        value.to_json()
    value = wkt.Value(kind=Oneof("list_value", wkt.Struct(fields={})))
    with pytest.raises(TypeError, match="^expected 'google.protobuf.ListValue', got "):
        value.to_json()
