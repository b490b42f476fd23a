"""Differential: JSON written by the protobuf package's json_format, read by velum,
gives the content the package's own parser gives (compared through the binary form)."""

from __future__ import annotations

from typing import Any

import pytest
from google.protobuf import json_format
from hypothesis import given
from hypothesis import strategies as st
from test_differential import (
    P2,
    P3,
    build_pb,
    canon_pb,
    content_strategy,
    diff_settings,
    env,
    extension_strategy,
    pb_class,
    pb_desc,
    set_pb_extension,
    velum_class,
)


def check(
    name: str, content: dict[str, Any], proto_names: bool, with_registry: bool = False
) -> None:
    desc = pb_desc(name)
    theirs = build_pb(desc, content)
    check_message(name, theirs, proto_names, with_registry)


def check_message(name: str, theirs: Any, proto_names: bool, with_registry: bool) -> None:
    desc = pb_desc(name)
    text = json_format.MessageToJson(theirs, preserving_proto_field_name=proto_names)
    options = {"registry": env()[0]} if with_registry else {}
    exact = True
    try:
        expected = json_format.Parse(text, pb_class(desc)())
    except json_format.ParseError as e:
        if "Float value too" not in str(e):
            with pytest.raises((ValueError, OverflowError)):
                velum_class(desc).from_json(text, **options)
            return
        # The package cannot read all it writes: a float32 maximum printed with
        # float32 digits reads back just above that maximum, and the package
        # refuses it. It still rounds to the float written, which velum reads
        # (compared by content: a NaN read from text has none of the payload
        # the original may carry).
        expected = theirs
        exact = False
    for ours in (
        velum_class(desc).from_json(text, **options),
        velum_class(desc).from_json(text.encode(), **options),
        velum_class(desc).from_json_value(
            json_format.MessageToDict(theirs, preserving_proto_field_name=proto_names), **options
        ),
    ):
        back = pb_class(desc).FromString(ours.to_binary())
        assert canon_pb(back) == canon_pb(expected)
        assert not exact or back.SerializeToString(
            deterministic=True
        ) == expected.SerializeToString(deterministic=True)


@diff_settings(200)
@given(content_strategy(pb_desc(f"{P3}.Flat"), 1), st.booleans())
def test_flat(content: dict[str, Any], proto_names: bool) -> None:
    check(f"{P3}.Flat", content, proto_names)


@diff_settings(100)
@given(content_strategy(pb_desc(f"{P3}.Node"), 3), st.booleans())
def test_recursive(content: dict[str, Any], proto_names: bool) -> None:
    check(f"{P3}.Node", content, proto_names)


@diff_settings(200)
@given(content_strategy(pb_desc(f"{P3}.Maps"), 1), st.booleans())
def test_maps(content: dict[str, Any], proto_names: bool) -> None:
    check(f"{P3}.Maps", content, proto_names)


@diff_settings(200)
@given(content_strategy(pb_desc(f"{P2}.Legacy"), 2), st.booleans())
def test_proto2(content: dict[str, Any], proto_names: bool) -> None:
    check(f"{P2}.Legacy", content, proto_names)


@diff_settings(150)
@given(content_strategy(pb_desc(f"{P2}.Legacy"), 0), extension_strategy(), st.booleans())
def test_extensions(base: dict[str, Any], values: dict[str, Any], proto_names: bool) -> None:
    desc = pb_desc(f"{P2}.Legacy")
    theirs = build_pb(desc, base)
    pool = env()[1]
    for name, value in values.items():
        set_pb_extension(theirs, pool.FindExtensionByName(name), value)
    check_message(f"{P2}.Legacy", theirs, proto_names, with_registry=True)
