"""Fields resolved natively equal, field by field, those the Python reference builds."""

from __future__ import annotations

import functools
import gc
import keyword
import math
import subprocess
import sys
import tempfile
import weakref
from pathlib import Path
from typing import Any

import pytest
from conftest import diff_settings
from field_resolve_reference import (
    parse_default_python,
    resolve_message_python,
    scalar_default_python,
)
from google.protobuf import descriptor_pb2
from hypothesis import given
from hypothesis import strategies as st

import velum
from velum import _builder
from velum._descriptors import DescMessage, EnumDefault, ScalarType, peek_default


def _load(data: bytes, *, python: bool, monkeypatch: pytest.MonkeyPatch) -> velum.Registry:
    with monkeypatch.context() as patch:
        if python:
            patch.setattr(_builder, "_resolve_message", resolve_message_python)
            patch.setattr(_builder, "_scalar_default", scalar_default_python)
        registry = velum.Registry()
        registry.add_file_set(data)
        # Resolve while the patch holds: fields are resolved when first read.
        for desc in _messages(registry, data):
            _ = desc.fields
    return registry


def _messages(registry: velum.Registry, data: bytes) -> list[DescMessage]:
    """Every message of the set, map entries included, in declaration order."""
    found: list[DescMessage] = []

    def walk(messages: list[DescMessage]) -> None:
        for desc in messages:
            found.append(desc)
            walk(desc.nested_messages)

    for proto in descriptor_pb2.FileDescriptorSet.FromString(data).file:
        file = registry.file(proto.name)
        assert file is not None
        walk(file.messages)
    return found


def _same_default(a: Any, b: Any) -> None:
    assert type(a) is type(b)
    if type(a) is EnumDefault:
        assert (a.enum.type_name, a.local_name) == (b.enum.type_name, b.local_name)
    elif isinstance(a, float) and a != a:
        assert b != b
    else:
        assert a == b


def _value_shape(value: Any) -> tuple[Any, ...]:
    shape: list[Any] = [type(value).__name__]
    for slot in type(value).__slots__:
        item = getattr(value, slot)
        shape.append(getattr(item, "type_name", None) or getattr(item, "local_name", None) or item)
    return tuple(shape)


def _same_field(a: Any, b: Any) -> None:
    for attr in ("number", "name", "local_name", "json_name", "full_name", "presence"):
        assert getattr(a, attr) == getattr(b, attr), (a.full_name, attr)
        assert type(getattr(a, attr)) is type(getattr(b, attr)), (a.full_name, attr)
    assert a._requires_presence is b._requires_presence, a.full_name
    assert _value_shape(a.value) == _value_shape(b.value), a.full_name
    # Shared value descriptors stay shared.
    assert (a.value is _builder._SCALAR_VALUES.get(getattr(a.value, "scalar", None))) == (
        b.value is _builder._SCALAR_VALUES.get(getattr(b.value, "scalar", None))
    )
    _same_default(peek_default(a), peek_default(b))
    assert getattr(a.parent, "type_name", None) == getattr(b.parent, "type_name", None)
    assert (a.oneof and a.oneof.local_name) == (b.oneof and b.oneof.local_name)
    assert a.oneof is getattr(a.value, "oneof", a.oneof)


def _same_extensions(data: bytes, monkeypatch: pytest.MonkeyPatch) -> None:
    """Extension fields built natively equal those `_make_field` builds."""
    native = velum.Registry()
    native.add_file_set(data)
    real = _builder._resolver()

    class PythonExtensions:
        def __getattr__(self, name: str) -> Any:
            return getattr(real, name)

        def __call__(self, *args: Any) -> Any:
            return real(*args)

        def extension(self, *args: Any) -> None:
            return None

        def extensions(self, work: list[Any], types: Any, layout: Any, makers: Any) -> None:
            for item in work:  # each through the Python step
                makers[1](*item)

    with monkeypatch.context() as patch:
        patch.setattr(_builder, "_resolver", PythonExtensions)
        python = velum.Registry()
        python.add_file_set(data)
    assert list(native._extensions) == list(python._extensions)
    for name, ext in native._extensions.items():
        _same_field(ext.field, python._extensions[name].field)


def test_extension_fields_are_built_as_the_reference_does(
    file_set: bytes, monkeypatch: pytest.MonkeyPatch
) -> None:
    _same_extensions(file_set, monkeypatch)
    _same_extensions(_bundled_set(), monkeypatch)


def _same_message(a: DescMessage, b: DescMessage) -> None:
    assert len(a.fields) == len(b.fields), a.type_name
    for fa, fb in zip(a.fields, b.fields, strict=True):
        _same_field(fa, fb)
    assert [(o.name, o.local_name, [f.name for f in o.fields]) for o in a.oneofs] == [
        (o.name, o.local_name, [f.name for f in o.fields]) for o in b.oneofs
    ]
    # Equal when no name was changed, but never one dict: each is the message's own.
    assert a._fields_by_proto_name is not a._fields_by_name
    for lookup in ("_fields_by_name", "_fields_by_proto_name", "_fields_by_number"):
        mine, theirs = getattr(a, lookup), getattr(b, lookup)
        assert list(mine) == list(theirs), (a.type_name, lookup)
        assert all(mine[k] in a.fields for k in mine)
        assert [mine[k].full_name for k in mine] == [theirs[k].full_name for k in theirs]
    for lookup in ("_oneofs_by_local_name", "_oneofs_by_name"):
        mine, theirs = getattr(a, lookup), getattr(b, lookup)
        assert list(mine) == list(theirs)
        assert all(mine[k] in a.oneofs for k in mine)
    assert [k for k, _ in a._defaults] == [k for k, _ in b._defaults]
    for (_, da), (_, db) in zip(a._defaults, b._defaults, strict=True):
        # Enum members belong to each registry's own class.
        assert type(da).__qualname__ == type(db).__qualname__
        assert da == db or da != da


def _check_same(data: bytes, monkeypatch: pytest.MonkeyPatch) -> None:
    errors = []
    for python in (False, True):
        try:
            _load(data, python=python, monkeypatch=monkeypatch)
        except ValueError as error:
            errors.append(str(error))
    # A bad default is refused with the same text either way.
    assert len(errors) in (0, 2) and len(set(errors)) <= 1, errors
    if errors:
        return
    native = _load(data, python=False, monkeypatch=monkeypatch)
    python = _load(data, python=True, monkeypatch=monkeypatch)
    for a, b in zip(_messages(native, data), _messages(python, data), strict=True):
        _same_message(a, b)


@functools.cache
def _bundled_set() -> bytes:
    import grpc_tools  # type: ignore[import-untyped]

    include = Path(grpc_tools.__file__).parent / "_proto"
    files = sorted(str(p.relative_to(include)) for p in include.rglob("*.proto"))
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "set.binpb"
        subprocess.run(
            [sys.executable, "-m", "grpc_tools.protoc", f"-I{include}", "--include_imports",
             f"--descriptor_set_out={out}", *files],
            check=True, cwd=include,
        )
        return out.read_bytes()


def test_test_schemas_resolve_as_the_reference_does(
    file_set: bytes, monkeypatch: pytest.MonkeyPatch
) -> None:
    _check_same(file_set, monkeypatch)


def test_bundled_schemas_resolve_as_the_reference_does(monkeypatch: pytest.MonkeyPatch) -> None:
    _check_same(_bundled_set(), monkeypatch)


# Random schemas: names that clash with keywords, reserved attributes, nested types and
# each other; every label and type; oneofs, proto3 `optional`, defaults, json names.
_NAMES = st.sampled_from(
    ["a", "b", "from", "from_", "to_binary", "_desc", "Inner", "Kind", "x_y", "snake_case_name",
     "_lead", "trail_", "double__under", "a_1_b", "None", "é_x"]
)
_SCALARS = [t for t in range(1, 19) if t not in (10, 11, 14)]


# Default texts: every form int() and float() read (bases, signs, underscores, spaces,
# infinities, NaN), C escapes, and texts that are wrong for the type.
_INT_TEXTS = st.one_of(
    st.integers(-(2**70), 2**70).flatmap(
        lambda n: st.sampled_from([str(n), hex(n), oct(n), bin(n), f" {n} ", f"{n:_}",
                                   hex(n).upper().replace("X", "x")])
    ),
    st.sampled_from(["0", "00", "-0", "+7", "07", "0x", "1_", "_1", "1__0", "1e3", "٣", "0b102",
                     "9" * 30, "", " ", "true"]),
)  # fmt: skip
_FLOAT_TEXTS = st.one_of(
    st.floats(allow_nan=True).map(repr),
    st.floats(width=32).map(str),
    st.sampled_from(["inf", "-inf", "Infinity", "nan", "-nan", "NaN", "1e39", "-3.5e38", "1e-50",
                     "3.4028235e38", "3.4028236e38", "1_000.5", " 2.5 ", "0x10", "1.5f", "", "e"]),
)  # fmt: skip
_BYTES_TEXTS = st.lists(
    st.sampled_from(["a", "\\n", "\\0", "\\12", "\\377", "\\777", "\\x4", "\\x41", "\\X4g", "\\'",
                     "\\?", "é", "\\", "\\x", "\\q", "\\8", "7", "x"]),
    max_size=6,
).map("".join)  # fmt: skip


def _default_texts(scalar: int) -> st.SearchStrategy[str]:
    if scalar == ScalarType.BOOL:
        return st.sampled_from(["true", "false", "True", "1", " true"])
    if scalar == ScalarType.STRING:
        return st.text(max_size=5)
    if scalar == ScalarType.BYTES:
        return _BYTES_TEXTS
    if scalar in (ScalarType.DOUBLE, ScalarType.FLOAT):
        return _FLOAT_TEXTS
    return _INT_TEXTS


@st.composite
def _field_specs(draw: st.DrawFn, proto3: bool) -> list[dict[str, Any]]:
    fields = []
    for number in range(1, draw(st.integers(0, 10)) + 1):
        kind = draw(st.sampled_from(["scalar", "enum", "message", "group", "map"]))
        if proto3 and kind == "group":
            kind = "message"
        label = draw(st.sampled_from([1, 3] if proto3 else [1, 2, 3]))
        field: dict[str, Any] = {"name": draw(_NAMES), "number": number, "label": label}
        if kind == "scalar":
            field["type"] = draw(st.sampled_from(_SCALARS))
            if not proto3 and draw(st.booleans()):
                field["default_value"] = draw(_default_texts(field["type"]))
        elif kind == "enum":
            field["type"], field["type_name"] = 14, ".gen.Kind"
            if not proto3 and draw(st.booleans()):
                field["default_value"] = draw(st.sampled_from(["K1", "K0", "K2", "S0"]))
        elif kind in ("message", "group"):
            field["type"] = 11 if kind == "message" else 10
            field["type_name"] = ".gen.M.Inner" if kind == "message" else ".gen.M.Grp"
        else:
            field.update(type=11, type_name=".gen.M.EntryEntry", label=3)
        if draw(st.booleans()):
            field["json_name"] = draw(st.sampled_from(["custom", "x_y", "Q"]))
        if label == 1 and kind in ("scalar", "enum", "message") and draw(st.booleans()):
            field["oneof"] = draw(st.sampled_from(["choice", "other", "class"]))
        elif proto3 and label == 1 and kind == "scalar" and draw(st.booleans()):
            field["proto3_optional"] = True
        if draw(st.booleans()):
            # Also where protoc would refuse it: the runtime ignores what does not apply.
            field["packed"] = draw(st.sampled_from([True, False, None]))
        if draw(st.integers(0, 7)) == 0:
            field["features"] = draw(st.sampled_from([1, 2]))  # repeated_field_encoding
        fields.append(field)
    return fields


def _schema(fields: list[dict[str, Any]], proto3: bool) -> bytes:
    file = descriptor_pb2.FileDescriptorProto(name="gen.proto", package="gen")
    file.syntax = "proto3" if proto3 else "proto2"
    kind = file.enum_type.add(name="Kind")
    kind.value.add(name="K0", number=0)
    kind.value.add(name="K1", number=1)
    message = file.message_type.add(name="M")
    message.nested_type.add(name="Inner").field.add(name="n", number=1, type=5, label=1)
    entry = message.nested_type.add(name="EntryEntry")
    entry.options.map_entry = True
    entry.field.add(name="key", number=1, type=9, label=1)
    entry.field.add(name="value", number=2, type=11, type_name=".gen.M.Inner", label=1)
    if not proto3:
        message.nested_type.add(name="Grp")
    message.enum_type.add(name="Shade").value.add(name="S0", number=0)
    oneofs: dict[str, int] = {}
    for spec in fields:
        spec = dict(spec)
        oneof, packed = spec.pop("oneof", None), spec.pop("packed", ())
        encoding = spec.pop("features", None)
        proto = message.field.add(**spec)
        if packed is None:
            proto.options.deprecated = True  # options the runtime skips
        elif packed != ():
            proto.options.packed = packed
        if encoding is not None:
            proto.options.features.repeated_field_encoding = encoding
        if oneof is not None:
            proto.oneof_index = oneofs.setdefault(oneof, len(oneofs))
    for name in oneofs:
        message.oneof_decl.add(name=name)
    for spec, proto in zip(fields, message.field, strict=True):
        if spec.get("proto3_optional"):
            proto.oneof_index = len(message.oneof_decl)
            message.oneof_decl.add(name="_" + proto.name)
    return descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString()


@diff_settings(150)
@given(st.booleans().flatmap(lambda p3: st.tuples(st.just(p3), _field_specs(p3))))
def test_random_schemas_resolve_as_the_reference_does(
    case: tuple[bool, list[dict[str, Any]]],
) -> None:
    proto3, fields = case
    data = _schema(fields, proto3)
    with pytest.MonkeyPatch.context() as monkeypatch:
        _check_same(data, monkeypatch)


@pytest.mark.parametrize(
    "fields",
    [
        # Long ASCII names, a default text shared by neighbours, a JSON name equal to
        # the name and an empty default: all read from the fields' bytes.
        [
            {"name": "a_rather_long_field_name_1", "type": 9, "default_value": "shared text"},
            {"name": "a_rather_long_field_name_2", "type": 9, "default_value": "shared text"},
            {"name": "x", "type": 9, "default_value": "", "json_name": "x"},
            {"name": "é_name", "type": 9, "default_value": "ünïcode", "json_name": "éName"},
            {"name": "n", "type": 5, "default_value": "-7", "oneof": "choice"},
        ],
        # One field with options: the message's fields are then read from records.
        [
            {"name": "plain", "type": 9, "default_value": "d"},
            {"name": "packed_ints", "type": 5, "label": 3, "packed": False},
        ],
    ],
)
def test_fields_read_from_their_bytes_resolve_as_the_reference_does(
    fields: list[dict[str, Any]], monkeypatch: pytest.MonkeyPatch
) -> None:
    specs = [{"number": i, "label": 1, **spec} for i, spec in enumerate(fields, 1)]
    _check_same(_schema(specs, proto3=False), monkeypatch)


@pytest.mark.parametrize("options", [False, True], ids=["from-bytes", "from-records"])
def test_a_registry_resolved_from_its_bytes_is_collected_when_dropped(options: bool) -> None:
    specs: list[dict[str, Any]] = [
        {"name": "text", "number": 1, "label": 1, "type": 9, "default_value": "d"},
        {"name": "kind", "number": 2, "label": 1, "type": 14, "type_name": ".gen.Kind"},
        {"name": "inner", "number": 3, "label": 1, "type": 11, "type_name": ".gen.M.Inner"},
    ]
    if options:
        specs.append({"name": "ints", "number": 4, "label": 3, "type": 5, "packed": False})
    data = _schema(specs, proto3=False)

    def load() -> weakref.ref[type]:
        registry = velum.Registry()
        registry.add_file_set(data)
        cls: Any = registry.message_class("gen.M")
        assert [f.name for f in cls._desc.fields] == [s["name"] for s in specs]
        assert cls(text="x").to_binary() == b"\x0a\x01x"
        return weakref.ref(cls)

    gone = load()
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize(
    ("names", "reserved", "expected"),
    [
        (["a", "b"], set(), ["a", "b"]),
        (["from", "from_"], set(), ["from__", "from_"]),
        (["x", "x", "x_"], set(), ["x", "x__", "x_"]),
        (["to_binary", "Inner"], {"Inner"}, ["to_binary_", "Inner_"]),
        (["class", "class_", "class__"], set(), ["class___", "class_", "class__"]),
    ],
)
def test_local_names_are_mangled_as_the_runtime_does(
    names: list[str], reserved: set[str], expected: list[str]
) -> None:
    from velum._classes import RESERVED_MESSAGE_NAMES
    from velum._naming import assign_local_names

    def clashes(name: str) -> bool:
        return name in RESERVED_MESSAGE_NAMES or name in reserved

    assert assign_local_names(names, clashes) == expected
    fields = [{"name": n, "number": i + 1, "label": 1, "type": 5} for i, n in enumerate(names)]
    file = descriptor_pb2.FileDescriptorProto(name="n.proto", package="n")
    message = file.message_type.add(name="M")
    for spec in fields:
        message.field.add(**spec)
    for name in reserved:
        message.nested_type.add(name=name)
    registry = velum.Registry()
    registry.add_file_set(descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString())
    desc = registry.message("n.M")
    assert desc is not None
    assert [f.local_name for f in desc.fields] == expected
    assert all(not keyword.iskeyword(f.local_name) for f in desc.fields)


_IDENTIFIERS = st.one_of(
    st.from_regex(r"[A-Za-z_][A-Za-z0-9_]{0,10}", fullmatch=True),
    st.sampled_from([*sorted(keyword.kwlist), "to_json", "_desc", "Nested", "ü_x", "ǅ_a"]),
)


@diff_settings(100)
@given(st.lists(_IDENTIFIERS, min_size=1, max_size=8))
def test_local_and_json_names_match_the_runtime_rules(names: list[str]) -> None:
    from velum._classes import RESERVED_MESSAGE_NAMES
    from velum._naming import assign_local_names, json_name

    file = descriptor_pb2.FileDescriptorProto(name="n.proto", package="n")
    message = file.message_type.add(name="M")
    message.nested_type.add(name="Nested")
    for number, name in enumerate(names, 1):
        message.field.add(name=name, number=number, label=1, type=9)
    registry = velum.Registry()
    registry.add_file_set(descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString())
    desc = registry.message("n.M")
    assert desc is not None
    reserved = RESERVED_MESSAGE_NAMES | {"Nested"}
    assert [f.local_name for f in desc.fields] == assign_local_names(names, reserved.__contains__)
    assert [f.json_name for f in desc.fields] == [json_name(n) for n in names]


@pytest.mark.parametrize(
    ("args", "error"),
    [
        ((), "takes 9 positional arguments"),
        ((None, None, [], "p.", None, None, None, None, None), "cannot be converted to list"),
        ((None, [object()], [None], "p.", None, None, None, None, None), "invalid field"),
        ((None, [], [], b"p.", None, None, None, None, None), "not an instance of 'str'"),
        ((None, [], [], "p.", (1, 2), None, None, None, None), "not an instance of 'tuple'"),
        ((None, [], [], "p.", None, None, "x", None, None), "not an instance of 'list'"),
    ],
)
def test_the_resolver_refuses_bad_arguments(args: tuple[Any, ...], error: str) -> None:
    with pytest.raises((TypeError, ValueError), match=error):
        _builder._resolver()(*args)


@pytest.mark.parametrize(
    ("args", "error"),
    [
        ((None, {}, {}), "not an instance of 'list'"),
        (([1], {}, {}), "invalid field descriptor"),
        (([], None, {}), "cannot be converted to dict"),
        (([],), "takes 3 positional arguments"),
    ],
)
def test_the_checker_refuses_bad_arguments(args: tuple[Any, ...], error: str) -> None:
    with pytest.raises((TypeError, ValueError), match=error):
        _builder._resolver().check(*args)


@pytest.mark.parametrize(
    "config",
    [None, (), tuple(range(13)), (int,) * 13],
)
def test_a_resolver_needs_the_runtime_configuration(config: Any) -> None:
    from _velum_ext import _field_resolver

    with pytest.raises(TypeError):
        _field_resolver(config)


def _same_parsed(native: Any, python: Any) -> None:
    assert type(native) is type(python)
    assert native == python or (native != native and python != python)


_TYPED_TEXTS = st.sampled_from(list(ScalarType)).flatmap(
    lambda t: st.tuples(st.just(t), st.one_of(_default_texts(t), _INT_TEXTS, _FLOAT_TEXTS))
)


@diff_settings(600)
@given(_TYPED_TEXTS)
def test_defaults_parse_as_the_reference_does(case: tuple[ScalarType, str]) -> None:
    scalar, text = case
    try:
        expected = parse_default_python(scalar, text)
    except (ValueError, OverflowError):
        expected = None
    _same_parsed(_builder._resolver().parse_default(scalar, text), expected)


def test_a_lone_surrogate_is_no_bytes_default() -> None:
    assert _builder._resolver().parse_default(ScalarType.BYTES, "a\ud800") is None


@pytest.mark.parametrize(
    ("scalar", "text"),
    [
        (ScalarType.FLOAT, "3.4028236e38"),  # rounds beyond a float's range
        (ScalarType.FLOAT, "-1e39"),
        (ScalarType.INT32, "0x"),
        (ScalarType.INT64, "1" * 5000),  # beyond int()'s digit limit
        (ScalarType.BOOL, "TRUE"),
        (ScalarType.BYTES, "\\x"),
    ],
)
def test_invalid_defaults_are_refused_with_their_field(scalar: ScalarType, text: str) -> None:
    file = descriptor_pb2.FileDescriptorProto(name="d.proto", package="d")
    file.message_type.add(name="M").field.add(name="f", number=1, label=1, type=scalar,
                                              default_value=text)  # fmt: skip
    data = descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString()
    with pytest.raises(ValueError) as refused:
        velum.Registry().add_file_set(data)
    assert str(refused.value) == f"field d.M.f: invalid default value {text!r}"


@pytest.mark.parametrize(
    ("scalar", "text", "expected"),
    [
        (ScalarType.INT64, "0x7fffffffffffffff", 2**63 - 1),
        (ScalarType.SINT32, "-0o17", -15),
        (ScalarType.UINT64, " 1_000 ", 1000),
        (ScalarType.FLOAT, "0.1", 0.10000000149011612),
        (ScalarType.FLOAT, "-inf", -math.inf),
        (ScalarType.DOUBLE, "1e400", math.inf),
        (ScalarType.BOOL, "false", False),
        (ScalarType.BYTES, "\\101\\x42\\n\\1234é", b"AB\nS4\xc3\xa9"),
    ],
)
def test_defaults_reach_the_class(scalar: ScalarType, text: str, expected: Any) -> None:
    file = descriptor_pb2.FileDescriptorProto(name="d.proto", package="d")
    field = file.message_type.add(name="M").field.add(name="f", number=1, label=1, type=scalar,
                                                      default_value=text)  # fmt: skip
    field.options.deprecated = True
    registry = velum.Registry()
    registry.add_file_set(descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString())
    value = registry.message_class("d.M")().f
    assert type(value) is type(expected) and value == expected


@pytest.mark.parametrize(
    "name",
    ["_", "_9", "Z", "a@", "a[", "a`", "a{", "a\x7f", "a/", "a:", "é", "a·", "9a", "a\u200b",
     # long names are checked sixteen and eight bytes at a step
     "long_name_" * 3 + "é", "long_name_" * 2 + "ü_x", "a" * 17 + "@", "a" * 17 + "é",
     "a" * 25 + "`", "a" * 25 + "\u200b", "Ab_09" * 5],
)
def test_field_names_are_identifiers_as_python_says(name: str) -> None:
    file = descriptor_pb2.FileDescriptorProto(name="n.proto", package="n")
    file.message_type.add(name="M").field.add(name=name, number=1, label=1, type=5)
    data = descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString()
    registry = velum.Registry()
    if name.isidentifier():
        registry.add_file_set(data)
    else:
        with pytest.raises(ValueError, match="is not a valid identifier"):
            registry.add_file_set(data)


@pytest.mark.parametrize(
    "json",
    ["plainLongName", 'quote"in\\side_long', "tab\there_long", "naïve_long_name", "del\x7fname_x"],
)
def test_json_names_are_written_and_read_whatever_they_hold(json: str) -> None:
    import json as json_module

    file = descriptor_pb2.FileDescriptorProto(name="j.proto", package="j", syntax="proto3")
    message = file.message_type.add(name="M")
    message.field.add(name="value_field", number=1, label=1, type=5, json_name=json)
    message.field.add(name="other_field", number=2, label=1, type=5)
    registry = velum.Registry()
    registry.add_file_set(descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString())
    cls = registry.message_class("j.M")
    text = cls(value_field=7, other_field=8).to_json()
    assert json_module.loads(text) == {json: 7, "otherField": 8}
    read = cls.from_json(text)
    assert (read.value_field, read.other_field) == (7, 8)
