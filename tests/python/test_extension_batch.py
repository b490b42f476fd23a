"""Extensions resolved in one native pass equal those the Python step makes, and a
damaged extension is refused with the Python step's text, leaving the registry as it was."""

from __future__ import annotations

import re
from typing import Any

import pytest
from google.protobuf import descriptor_pb2
from test_field_resolve import _same_field

import velum
from velum import _builder

FDP = descriptor_pb2.FieldDescriptorProto
FP = descriptor_pb2.FeatureSet


def _python_only(monkeypatch: pytest.MonkeyPatch) -> None:
    """Every extension through Batch._resolve_extension, as before the native pass."""
    real = _builder._resolver()

    class Stepwise:
        def __getattr__(self, name: str) -> Any:
            return getattr(real, name)

        def __call__(self, *args: Any) -> Any:
            return real(*args)

        def extensions(self, work: list[Any], types: Any, layout: Any, makers: Any) -> None:
            for item in work:
                makers[1](*item)

    monkeypatch.setattr(_builder, "_resolver", Stepwise)


def _base() -> Any:
    f = descriptor_pb2.FileDescriptorProto(name="base.proto", package="b", syntax="proto2")
    base = f.message_type.add(name="Base")
    base.extension_range.add(start=100, end=1000)
    f.enum_type.add(name="Color").value.add(name="RED", number=0)
    f.enum_type[0].value.add(name="BLUE", number=1)
    return f


def _user(package: str = "u") -> Any:
    """Extensions of every shape: at file level and in messages, of each kind of type,
    with defaults, options and features, naming types with and without leading dots."""
    f = descriptor_pb2.FileDescriptorProto(
        name="user.proto", package=package, dependency=["base.proto"], syntax="proto2"
    )
    holder = f.message_type.add(name="Holder")
    holder.field.add(name="n", number=1, type=FDP.TYPE_INT32, label=FDP.LABEL_OPTIONAL)
    inner = holder.nested_type.add(name="Inner")
    entry = holder.nested_type.add(name="MEntry")
    entry.options.map_entry = True
    entry.field.add(name="key", number=1, type=FDP.TYPE_STRING, label=FDP.LABEL_OPTIONAL)
    entry.field.add(name="value", number=2, type=FDP.TYPE_INT32, label=FDP.LABEL_OPTIONAL)

    here = ".u." if package else "."

    def ext(scope: Any, name: str, number: int, **kw: Any) -> Any:
        kw.setdefault("label", FDP.LABEL_OPTIONAL)
        kw.setdefault("extendee", ".b.Base")
        return scope.extension.add(name=name, number=number, **kw)

    ext(f, "top_int", 100, type=FDP.TYPE_INT32)
    ext(f, "top_text", 101, type=FDP.TYPE_STRING, default_value="hi")
    ext(f, "top_float", 102, type=FDP.TYPE_FLOAT, default_value="1.5")
    ext(f, "top_color", 103, type=FDP.TYPE_ENUM, type_name=".b.Color", default_value="BLUE")
    ext(f, "top_colors", 104, type=FDP.TYPE_ENUM, type_name="b.Color", label=FDP.LABEL_REPEATED)
    ext(f, "top_holder", 105, type=FDP.TYPE_MESSAGE, type_name=here + "Holder")
    ext(f, "top_packed", 106, type=FDP.TYPE_INT32, label=FDP.LABEL_REPEATED).options.packed = True
    ext(f, "top_group", 107, type=FDP.TYPE_GROUP, type_name=".b.Base")
    ext(f, "undotted", 108, type=FDP.TYPE_BYTES, extendee="b.Base", default_value="\\001x")
    ext(holder, "in_holder", 110, type=FDP.TYPE_INT64, default_value="-7")
    ext(holder, "inner_list", 111, type=FDP.TYPE_MESSAGE, type_name=here + "Holder.Inner",
        label=FDP.LABEL_REPEATED)
    ext(inner, "in_inner", 112, type=FDP.TYPE_BOOL, default_value="true")
    ext(entry, "in_entry", 113, type=FDP.TYPE_INT32)  # the Python step's: in a map entry
    ext(holder, "of_holder", 1, type=FDP.TYPE_SINT32, extendee=here[1:] + "Holder")
    holder.extension_range.add(start=1, end=2)
    return f


def _editions_user() -> Any:
    f = descriptor_pb2.FileDescriptorProto(
        name="ed.proto", package="e", dependency=["base.proto"], syntax="editions",
        edition=descriptor_pb2.EDITION_2023,
    )  # fmt: skip
    f.options.features.field_presence = FP.IMPLICIT  # (never for an extension)
    scope = f.message_type.add(name="Scope")
    scope.options.features.repeated_field_encoding = FP.EXPANDED
    scope.extension.add(name="expanded", number=200, type=FDP.TYPE_INT32,
                        label=FDP.LABEL_REPEATED, extendee=".b.Base")
    own = f.extension.add(name="own_features", number=201, type=FDP.TYPE_INT32,
                          label=FDP.LABEL_REPEATED, extendee=".b.Base")
    own.options.features.repeated_field_encoding = FP.EXPANDED  # (the Python step's)
    f.extension.add(name="delimited", number=202, type=FDP.TYPE_MESSAGE, type_name=".e.Scope",
                    label=FDP.LABEL_OPTIONAL, extendee=".b.Base")
    return f


def _set(*files: Any) -> bytes:
    return descriptor_pb2.FileDescriptorSet(file=files).SerializeToString()


def _shape(registry: velum.Registry) -> list[Any]:
    shape = []
    for name, ext in registry._extensions.items():
        scope = ext.parent
        listed = scope.nested_extensions if scope is not None else ext.file.extensions
        shape.append((
            name, ext.type_name, ext.number, ext.extendee.type_name, ext.file.name,
            getattr(scope, "type_name", None), [x.name for x in listed].index(name),
        ))  # fmt: skip
    return shape


@pytest.mark.parametrize(
    ("files", "first"),
    [
        pytest.param([_base(), _user()], False, id="one set"),
        pytest.param([_base(), _user("")], False, id="no package"),
        pytest.param([_base(), _user()], True, id="extendee loaded before"),
        pytest.param([_base(), _editions_user()], False, id="editions"),
    ],
)
def test_extensions_are_made_as_the_python_step_makes_them(
    files: list[Any], first: bool, monkeypatch: pytest.MonkeyPatch
) -> None:
    def load() -> velum.Registry:
        registry = velum.Registry()
        if first:
            registry.add_file_set(_set(files[0]))
            registry.add_file_set(_set(*files[1:]))
        else:
            registry.add_file_set(_set(*files))
        return registry

    stepped: list[str] = []
    step = _builder.Batch._resolve_extension

    def counted(self: Any, proto: Any, *rest: Any) -> None:
        stepped.append(proto.name)
        step(self, proto, *rest)

    with monkeypatch.context() as patch:
        patch.setattr(_builder.Batch, "_resolve_extension", counted)
        native = load()
    # Only what the native pass leaves: a scope inside a map entry, features of its own.
    assert stepped == [n for n in ("in_entry", "own_features") if n in str(files[1])]
    with monkeypatch.context() as patch:
        _python_only(patch)
        python = load()
    assert _shape(native) == _shape(python)
    declared = sum(len(f.extension) for f in files) + sum(
        len(m.extension) + sum(len(n.extension) for n in m.nested_type)
        for f in files
        for m in f.message_type
    )
    in_map_entries = 1 if files[1].name == "user.proto" else 0  # (made, not registered)
    assert len(native._extensions) == declared - in_map_entries
    for name, ext in native._extensions.items():
        _same_field(ext.field, python._extensions[name].field)
    # The extensions work: a value set and read back through the extendee's bytes.
    base = native.message_class("b.Base")
    for ext in native._extensions.values():
        if ext.extendee.type_name == "b.Base" and ext.name.endswith(("top_int", "in_holder")):
            msg = base()
            msg[ext] = 5
            assert base.from_binary(msg.to_binary())[ext] == 5


def _damage(change: str) -> list[Any]:
    base, user = _base(), _user()
    ext = user.message_type[0].extension[0]  # u.Holder.in_holder
    if change == "extendee":
        ext.extendee = ".b.Nowhere"
    elif change == "type":
        ext.type, ext.type_name = FDP.TYPE_MESSAGE, ".u.Gone"
    elif change == "default":
        ext.default_value = "seven"
    elif change == "enum default":
        ext.type, ext.type_name, ext.default_value = FDP.TYPE_ENUM, ".b.Color", "GREEN"
    elif change == "number in the set":
        ext.number = 100
    return [base, user]


@pytest.mark.parametrize(
    ("change", "text"),
    [
        ("extendee", "user.proto: unknown extendee .b.Nowhere of u.Holder.in_holder"),
        ("type", "field u.Holder.in_holder: unknown type .u.Gone"),
        ("default", "field u.Holder.in_holder: invalid default value 'seven'"),
        ("enum default", "field u.Holder.in_holder: unknown enum default GREEN"),
        ("number in the set", "extension u.top_int: number 100 of b.Base is already in use"),
    ],
)
def test_a_damaged_extension_is_refused_with_the_python_steps_text(
    change: str, text: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    registry = velum.Registry()
    before = (dict(registry._files), dict(registry._messages), dict(registry._extensions))
    for python in (False, True):
        with monkeypatch.context() as patch:
            if python:
                _python_only(patch)
            with pytest.raises(ValueError, match="^" + re.escape(text) + "$"):
                registry.add_file_set(_set(*_damage(change)))
        assert (registry._files, registry._messages, registry._extensions) == before


def test_an_extension_number_loaded_before_is_refused() -> None:
    registry = velum.Registry()
    registry.add_file_set(_set(_base(), _user()))
    other = descriptor_pb2.FileDescriptorProto(
        name="other.proto", package="o", dependency=["base.proto"], syntax="proto2"
    )
    other.extension.add(name="again", number=100, type=FDP.TYPE_INT32,
                        label=FDP.LABEL_OPTIONAL, extendee=".b.Base")  # fmt: skip
    extensions = dict(registry._extensions)
    with pytest.raises(ValueError, match=r"^extension o\.again: number 100 of b\.Base is already"):
        registry.add_file(other.SerializeToString())
    assert registry._extensions == extensions and registry.file("other.proto") is None
