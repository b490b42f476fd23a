"""The velum command, driven through subprocess."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

import velum
import velum.wkt

P3 = "velum.test.proto3."
PROTO_DIR = Path(__file__).resolve().parent.parent / "protos"


@pytest.fixture(scope="module")
def schema(tmp_path_factory, compiler) -> Path:
    path = tmp_path_factory.mktemp("cli") / "set.binpb"
    path.write_bytes(compiler("test_proto3.proto", "test_wkt_use.proto"))
    return path


def velum_cli(*args: str, data: bytes = b"", cwd: Path | None = None):
    return subprocess.run(
        [sys.executable, "-m", "velum", *args], input=data, capture_output=True, cwd=cwd
    )


def assert_error(result, code: int, message: str) -> None:
    stderr = result.stderr.decode()
    assert result.returncode == code, stderr
    assert stderr.startswith("velum: error: ") and message in stderr, stderr
    assert "Traceback" not in stderr and stderr.count("\n") == 1, stderr


def test_console_script_is_installed():
    script = Path(sys.executable).parent / "velum"
    if not script.exists():
        pytest.skip("velum is not installed as a package here")
    result = subprocess.run([str(script), "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "decode" in result.stdout


# raw


def test_raw_dumps_any_message_without_a_schema(tmp_path):
    data = (
        b"\x08\x96\x01"  # 1: varint 150
        b"\x10\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"  # 2: varint -1
        b"\x1a\x03abc"  # 3: string
        b"\x22\x04\x08\x01\x10\x02"  # 4: nested message
        b"\x29\x00\x00\x00\x00\x00\x00\xf8\x3f"  # 5: double 1.5
        b"\x35\x00\x00\xc0\x3f"  # 6: float 1.5
        b"\x3b\x08\x07\x3c"  # 7: group
        b"\x42\x02\xff\x00"  # 8: bytes
        b"\x4a\x02\xc3\xa9"  # 9: non-ASCII text
        b"\x52\x03\x01\x02\x03"  # 10: packed varints
        b"\x5a\x05a\nb\tc"  # 11: text with layout characters
    )
    expected = """\
1: varint 150
2: varint 18446744073709551615 (int64 -1)
3: len 3 "abc"
4: len 4 {
  1: varint 1
  2: varint 2
}
5: i64 0x3ff8000000000000 (double 1.5)
6: i32 0x3fc00000 (float 1.5)
7: group {
  1: varint 7
}
8: len 2 b'\\xff\\x00'
9: len 2 "é"
10: len 3 b'\\x01\\x02\\x03'
11: len 5 "a\\nb\\tc"
"""
    (tmp_path / "msg.bin").write_bytes(data)
    from_stdin = velum_cli("raw", data=data)
    from_file = velum_cli("raw", str(tmp_path / "msg.bin"))
    assert from_stdin.returncode == 0, from_stdin.stderr
    assert from_stdin.stdout.decode() == expected
    assert from_file.stdout == from_stdin.stdout


def test_raw_shows_a_real_message_nested(registry):
    cls = registry.message_class(P3 + "Outer")
    msg = cls(inner=registry.message_class(P3 + "Outer.Inner")(mood=1), my_field_name="x")
    result = velum_cli("raw", data=msg.to_binary())
    assert result.stdout.decode().splitlines() == [
        "1: len 2 {",
        "  2: varint 1",
        "}",
        '4: len 1 "x"',
    ]


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b"\x08", "truncated varint"),
        (b"\x0a\x05ab", "truncated field 1"),
        (b"\x0f", "invalid wire type 7"),
        (b"\x00", "invalid field number 0"),
        (b"\x0b\x08\x01", "unterminated group 1"),
        (b"\x0c", "unexpected end of group 1"),
        (b"\x0b" * 200, "nested deeper than 100 levels"),
    ],
)
def test_raw_reports_malformed_data_on_one_line(data, message):
    assert_error(velum_cli("raw", data=data), 1, message)


# types


def test_types_lists_a_descriptor_set(schema):
    result = velum_cli("types", "--descriptor-set", str(schema))
    out = result.stdout.decode()
    assert result.returncode == 0, result.stderr
    assert "google/protobuf" not in out  # the shipped files are not repeated
    assert "file test_proto3.proto\nenum velum.test.proto3.Status\n  STATUS_UNSPECIFIED = 0\n" in (
        out
    )
    for line in [
        "message velum.test.proto3.Optionals",
        "  o_int32 = 1: optional int32",
        "  o_message = 4: velum.test.proto3.Scalars",
        "  number = 2: int32 (oneof kind)",
        "  string_status = 16: map<string, velum.test.proto3.Status>",
        "  messages = 7: repeated velum.test.proto3.Scalars",
        "message velum.test.proto3.Outer.Inner.Deepest",
        "  when = 1: google.protobuf.Timestamp",
    ]:
        assert line + "\n" in out


def test_types_compiles_proto_files_and_shows_one_type():
    name = "velum.test.proto3.Outer.Inner"
    result = velum_cli("types", name, "--proto", "test_proto3.proto", "-I", str(PROTO_DIR))
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == (
        "message velum.test.proto3.Outer.Inner\n"
        "  deepest = 1: velum.test.proto3.Outer.Inner.Deepest\n"
        "  mood = 2: velum.test.proto3.Outer.Inner.Mood\n"
        "enum velum.test.proto3.Outer.Inner.Mood\n"
        "  MOOD_UNSPECIFIED = 0\n"
        "  MOOD_HAPPY = 1\n"
        "message velum.test.proto3.Outer.Inner.Deepest\n"
        "  depth = 1: int32\n"
    )


def test_proto_without_grpc_tools_names_the_package(tmp_path):
    code = (
        "import sys; sys.modules['grpc_tools'] = None\n"
        "from velum._cli import main\n"
        "sys.exit(main(['types', '--proto', 'x.proto']))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True)
    assert_error(result, 2, "pip install grpcio-tools")


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ([], "the following arguments are required: command"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        (["types"], "give the schema with --descriptor-set FILE or --proto FILE"),
        (["types", "--descriptor-set", "{schema}", "--proto", "a.proto"], "give the schema"),
        (["types", "--descriptor-set", "{schema}", "-I", "."], "-I only applies to --proto"),
        (["types", "--descriptor-set", "/nonexistent"], "cannot read descriptor set /nonexistent"),
        (["types", "No.Such", "--descriptor-set", "{schema}"], "unknown type 'No.Such'"),
        (["decode", "No.Such", "--descriptor-set", "{schema}"], "unknown message type 'No.Such'"),
        (["decode", P3 + "Status", "--descriptor-set", "{schema}"], "unknown message type"),
        (["decode", P3 + "Scalars", "/nonexistent", "--descriptor-set", "{schema}"],
         "cannot read input /nonexistent"),
        (["decode", P3 + "Scalars", "--descriptor-set", "{schema}", "--indent", "x"],
         "invalid int value: 'x'"),
    ],
)  # fmt: skip
def test_usage_errors_exit_with_2(schema, args, message):
    args = [arg.replace("{schema}", str(schema)) for arg in args]
    assert_error(velum_cli(*args), 2, message)


def test_a_broken_descriptor_set_is_bad_data(tmp_path):
    bad = tmp_path / "bad.binpb"
    bad.write_bytes(b"\x0a\x05ab")
    assert_error(velum_cli("types", "--descriptor-set", str(bad)), 1, "invalid descriptor set")


def test_a_proto_that_does_not_compile_is_reported(tmp_path):
    (tmp_path / "bad.proto").write_text('syntax = "proto3"; message {')
    result = velum_cli("types", "--proto", "bad.proto", cwd=tmp_path)
    assert result.returncode == 2
    assert b"velum: error: protoc could not compile bad.proto" in result.stderr
    assert b"Traceback" not in result.stderr


# decode and encode


def test_decode_and_encode_round_trip(schema, registry):
    cls = registry.message_class(P3 + "Scalars")
    msg = cls(f_int64=-5, f_string="é", f_bytes=b"\x00", f_status=2)
    schema_args = ("--descriptor-set", str(schema))
    decoded = velum_cli("decode", P3 + "Scalars", *schema_args, data=msg.to_binary())
    assert decoded.returncode == 0, decoded.stderr
    text = decoded.stdout.decode()
    assert text.count("\n") == 1  # compact when not on a terminal
    assert json.loads(text) == json.loads(msg.to_json())
    encoded = velum_cli("encode", P3 + "Scalars", *schema_args, data=decoded.stdout)
    assert encoded.returncode == 0, encoded.stderr
    assert cls.from_binary(encoded.stdout) == msg


def test_decode_indents_on_request_and_resolves_any(schema, registry):
    uses = registry.message_class("velum.test.wkt.UsesWkt")
    inner = registry.message_class(P3 + "Scalars")(f_int32=3)
    any_value = velum.wkt.Any(
        type_url="type.googleapis.com/velum.test.proto3.Scalars", value=inner.to_binary()
    )
    msg = uses(when=velum.wkt.Timestamp(seconds=1), payloads=[any_value])
    result = velum_cli(
        "decode", "velum.test.wkt.UsesWkt", "--indent", "2", "--descriptor-set", str(schema),
        data=msg.to_binary(),
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    text = result.stdout.decode()
    assert text.startswith('{\n  "')
    assert json.loads(text)["payloads"] == [
        {"@type": "type.googleapis.com/velum.test.proto3.Scalars", "fInt32": 3}
    ]


def test_bad_binary_exits_with_1(schema):
    result = velum_cli("decode", P3 + "Scalars", "--descriptor-set", str(schema), data=b"\x08")
    assert_error(result, 1, "invalid binary input")


@pytest.mark.parametrize(
    ("command", "data", "message"),
    [
        ("encode", b"{", "invalid JSON input"),
        ("encode", b'{"fInt32": "x"}', "invalid JSON input"),
        ("encode", b'{"nope": 1}', "invalid JSON input"),
    ],
)
def test_bad_data_exits_with_1(schema, command, data, message):
    result = velum_cli(command, P3 + "Scalars", "--descriptor-set", str(schema), data=data)
    assert_error(result, 1, message)
