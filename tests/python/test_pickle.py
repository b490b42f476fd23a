"""Pickling messages and matching them with class patterns."""

from __future__ import annotations

import pickle
import subprocess
import sys
import textwrap

import pytest

import velum
import velum.wkt

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
P2 = "velum.test.proto2."
P3 = "velum.test.proto3."


@pytest.fixture(scope="module")
def named(registry):
    velum.register_registry("pickle-tests", registry)
    return registry


def _rich(registry):
    cls = registry.message_class
    scalars = cls(P3 + "Scalars")(f_int64=-5, f_string="é", f_bytes=b"\0\xff", f_double=1.5)
    return [
        cls(P3 + "Repeated")(packed_int32=[1, -2, 3], strings=["a", ""], messages=[scalars]),
        cls(P3 + "Maps")(string_message={"k": scalars}, int64_int64={-1: 2}),
        cls(P3 + "WithOneof")(before="b", kind=velum.Oneof("message", scalars), after=3),
        cls(P3 + "Optionals")(o_int32=0, o_string=""),  # present though default
        cls(P3 + "Outer")(inner=cls(P3 + "Outer.Inner")(mood=1)),
    ]


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_round_trip_with_every_protocol(named, protocol):
    for message in _rich(named):
        again = pickle.loads(pickle.dumps(message, protocol))
        assert type(again) is type(message)
        assert again == message
        assert again.to_binary() == message.to_binary()


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_unknown_fields_and_extensions_are_kept_byte_for_byte(named, protocol):
    ext_msg = named.extension(P2 + "ext_message")
    msg = named.message_class(P2 + "Extendable")(base=7)
    msg[named.extension(P2 + "ext_strings")] = ["x", "y"]
    msg[ext_msg] = named.message_class(P2 + "Scalars")(f_int32=-1)
    unknown = b"\xf8\x3e\x96\x01" + b"\x83\x3f\x08\x01\x84\x3f"  # field 999 varint, group 1008
    msg.merge_from_binary(unknown)
    again = pickle.loads(pickle.dumps(msg, protocol))
    assert again._unknown_fields == msg._unknown_fields
    assert again[ext_msg] == msg[ext_msg]
    assert again.to_binary() == msg.to_binary()


def test_well_known_types_pickle_through_the_default_registry(named):
    # Every registry shares them, so they never depend on a registry's name.
    cls = velum.wkt.Timestamp
    data = pickle.dumps(cls(seconds=3, nanos=4))
    assert pickle.loads(data) == cls(seconds=3, nanos=4)
    assert b"pickle-tests" not in data and b"google.protobuf.Timestamp" in data


def test_runtime_classes_pickle_by_full_name_and_registry_name(named):
    data = pickle.dumps(named.message_class(P3 + "Scalars")(f_int32=1))
    assert b"velum.test.proto3.Scalars" in data and b"pickle-tests" in data


def test_default_registry_finds_types_in_another_process(compiler, tmp_path):
    schema = tmp_path / "set.binpb"
    schema.write_bytes(compiler("test_proto3.proto"))
    registry = velum.Registry()
    registry.add_file_set(schema.read_bytes())
    msg = registry.message_class(P3 + "Scalars")(f_string="over there")
    payload = tmp_path / "msg.pickle"
    payload.write_bytes(pickle.dumps(msg))
    script = textwrap.dedent(f"""
        import pickle, sys, velum
        if sys.argv[1] == "load":
            velum.default_registry().add_file_set(open({str(schema)!r}, "rb").read())
        try:
            print(pickle.loads(open({str(payload)!r}, "rb").read()))
        except pickle.UnpicklingError as exc:
            print("error:", exc)
    """)
    run = lambda mode: subprocess.run(  # noqa: E731
        [sys.executable, "-c", script, mode], capture_output=True, text=True, check=True
    ).stdout.strip()
    assert run("load") == "velum.test.proto3.Scalars(f_string='over there')"
    assert run("none") == (
        "error: cannot unpickle velum.test.proto3.Scalars: "
        "the type is not loaded in velum.default_registry()"
    )


def test_unknown_registry_name_is_a_clear_error(named):
    data = pickle.dumps(named.message_class(P3 + "Scalars")())
    data = data.replace(b"pickle-tests", b"pickle-gone!")
    with pytest.raises(pickle.UnpicklingError, match="no registry is registered as 'pickle-gone!'"):
        pickle.loads(data)


def test_register_registry_rejects_clashes_and_non_registries(named):
    velum.register_registry("pickle-tests", named)  # the same one again is fine
    with pytest.raises(ValueError, match="already registered"):
        velum.register_registry("pickle-tests", velum.Registry())
    with pytest.raises(TypeError, match="expected a velum.Registry"):
        velum.register_registry("x", object())  # type: ignore[arg-type]


def test_default_registry_is_one_per_process():
    assert velum.default_registry() is velum.default_registry()
    assert velum.default_registry().message_class("google.protobuf.Any") is velum.wkt.Any


# Pattern matching


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        (P3 + "Scalars", ("f_double", "f_float", "f_int64", "f_uint64", "f_int32")),
        (P3 + "WithOneof", ("before", "kind", "other", "after")),
        (P3 + "Outer", ("inner", "inners", "deepest", "my_field_name", "custom_json")),
        (P3 + "Outer.Inner.Deepest", ("depth",)),
    ],
)
def test_match_args_follow_field_order(registry, name, expected):
    match_args = registry.message_class(name).__match_args__
    assert match_args[: len(expected)] == expected


def test_class_patterns_bind_fields_positionally(registry):
    cls = registry.message_class(P3 + "WithOneof")
    match cls(before="b", kind=velum.Oneof("text", "hi"), after=2):
        case cls(before, velum.Oneof("text", text), None, after):
            assert (before, text, after) == ("b", "hi", 2)
        case _:
            pytest.fail("no match")


def test_a_field_named_match_args_is_renamed():
    from google.protobuf import descriptor_pb2

    file = descriptor_pb2.FileDescriptorProto(name="m.proto", package="m", syntax="proto3")
    message = file.message_type.add(name="M")
    message.field.add(name="__match_args__", number=1, type=5, label=1)
    registry = velum.Registry()
    registry.add_file(file.SerializeToString())
    cls = registry.message_class("m.M")
    assert cls.__match_args__ == ("__match_args___",)
    assert cls.from_binary(b"\x08\x05").__match_args___ == 5
