"""Differential tests of JSON writing: velum against protobuf's json_format.

The same random content is built in both runtimes (see test_differential) and both
write JSON with corresponding options. After json.loads the documents must be equal,
except for these documented differences, which `normalise` removes:

- float fields: protobuf prints the shortest text of the 32-bit value (0.1); velum
  prints the double it holds (0.10000000149011612). Both are compared as 32-bit values.
- a repeated extension assigned an empty list: protobuf counts it as present and
  writes []; velum keeps no record for it, so it has nothing to write. Such members
  are dropped from protobuf's document.

Member order is not compared (protobuf writes extensions among the fields by number,
velum after all regular members). Every text must also load to exactly the value tree.
"""

from __future__ import annotations

import json
import math
from typing import Any

from google.protobuf import json_format
from google.protobuf.descriptor import Descriptor, FieldDescriptor
from hypothesis import given
from hypothesis import strategies as st
from test_differential import (
    P2,
    P3,
    build_pb,
    build_velum,
    content_strategy,
    diff_settings,
    env,
    extension_strategy,
    f32,
    is_map,
    pb_desc,
    set_pb_extension,
    velum_value,
)

FD = FieldDescriptor

OPTIONS = st.fixed_dictionaries(
    {
        "always_emit_implicit": st.booleans(),
        "print_enums_as_ints": st.booleans(),
        "use_proto_field_name": st.booleans(),
    }
)


def pb_options(options: dict[str, bool]) -> dict[str, bool]:
    return {
        "always_print_fields_with_no_presence": options["always_emit_implicit"],
        "use_integers_for_enums": options["print_enums_as_ints"],
        "preserving_proto_field_name": options["use_proto_field_name"],
    }


def normalise_float(value: Any) -> Any:
    if isinstance(value, float) and math.isfinite(value):
        return f32(value)
    return value  # "NaN", "Infinity", "-Infinity"


def normalise_value(field: FieldDescriptor, value: Any, proto_names: bool) -> Any:
    if field.message_type is not None:
        return normalise(field.message_type, value, proto_names)
    if field.type == FD.TYPE_FLOAT:
        return normalise_float(value)
    return value


def normalise(desc: Descriptor, tree: Any, proto_names: bool) -> Any:
    if not isinstance(tree, dict):
        return tree
    by_name = {(f.name if proto_names else f.json_name): f for f in desc.fields}
    out: dict[str, Any] = {}
    for key, value in tree.items():
        field = by_name.get(key)
        if field is None:  # an extension: "[full.name]"
            field = env()[1].FindExtensionByName(key[1:-1])
        if is_map(field):
            value_field = field.message_type.fields_by_name["value"]
            out[key] = {k: normalise_value(value_field, v, proto_names) for k, v in value.items()}
        elif field.is_repeated:
            out[key] = [normalise_value(field, v, proto_names) for v in value]
        else:
            out[key] = normalise_value(field, value, proto_names)
    return out


def compare(desc: Descriptor, ours: Any, theirs: Any, options: dict[str, bool]) -> None:
    registry = env()[0]
    text = ours.to_json(registry=registry, **options)
    tree = ours._to_json_value(registry=registry, **options)
    assert json.loads(text) == tree
    assert ours.to_dict(registry=registry, **options) == tree
    expected = json_format.MessageToDict(theirs, **pb_options(options))
    assert json.loads(json_format.MessageToJson(theirs, **pb_options(options))) == expected
    expected = {k: v for k, v in expected.items() if not (k.startswith("[") and v == [])}
    proto_names = options["use_proto_field_name"]
    assert normalise(desc, tree, proto_names) == normalise(desc, expected, proto_names)


def check(name: str, content: dict[str, Any], options: dict[str, bool]) -> None:
    desc = pb_desc(name)
    compare(desc, build_velum(desc, content), build_pb(desc, content), options)


@diff_settings(300)
@given(content_strategy(pb_desc(f"{P3}.Flat"), 1), OPTIONS)
def test_flat_scalars_in_every_shape(content: dict[str, Any], options: dict[str, bool]) -> None:
    check(f"{P3}.Flat", content, options)


@diff_settings(100)
@given(content_strategy(pb_desc(f"{P3}.Node"), 3), OPTIONS)
def test_recursive_messages(content: dict[str, Any], options: dict[str, bool]) -> None:
    check(f"{P3}.Node", content, options)


@diff_settings(200)
@given(content_strategy(pb_desc(f"{P3}.Maps"), 1), OPTIONS)
def test_maps_of_every_key_type(content: dict[str, Any], options: dict[str, bool]) -> None:
    check(f"{P3}.Maps", content, options)


@diff_settings(200)
@given(content_strategy(pb_desc(f"{P2}.Legacy"), 2), OPTIONS)
def test_proto2_groups_closed_enums_and_defaults(
    content: dict[str, Any], options: dict[str, bool]
) -> None:
    check(f"{P2}.Legacy", content, options)


@diff_settings(200)
@given(content_strategy(pb_desc(f"{P2}.Legacy"), 0), extension_strategy(), OPTIONS)
def test_extensions(base: dict[str, Any], values: dict[str, Any], options: dict[str, bool]) -> None:
    desc = pb_desc(f"{P2}.Legacy")
    registry, pool = env()
    ours, theirs = build_velum(desc, base), build_pb(desc, base)
    for name, value in values.items():
        ext = pool.FindExtensionByName(name)
        ours[registry.extension(name)] = velum_value(ext, value)
        set_pb_extension(theirs, ext, value)
    compare(desc, ours, theirs, options)
