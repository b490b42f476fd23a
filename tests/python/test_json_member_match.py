"""Member names read where the reader expects them: a name written exactly as the next
field's JSON name is taken in place, anything else (other spacing, escapes, a longer or
shorter name, a name cut off) is read as any member name is, with the same results and
the same errors."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import velum

# Names of every length the in-place comparison treats differently (1-3, 4-7, 8-16,
# longer), in field order, so that each is the expected one in turn.
NAMES = ["a", "abc", "abcd", "abcdefg", "abcdefgh", "abcdefghijklmno", "abcdefghijklmnop",
         "abcdefghijklmnopq", "abcdefghijklmnopqrst"]
PROTO = "syntax = \"proto3\";\npackage velum.test.match;\nmessage Match {\n" + "".join(
    f"  int32 {name} = {i + 1};\n" for i, name in enumerate(NAMES)
) + "  string s = 20;\n  Match child = 21;\n}\n"


@pytest.fixture(scope="module")
def match(tmp_path_factory: pytest.TempPathFactory) -> Any:
    tmp = tmp_path_factory.mktemp("match")
    (tmp / "match.proto").write_text(PROTO)
    out = Path(tmp) / "match.binpb"
    subprocess.run(
        [sys.executable, "-m", "grpc_tools.protoc", f"-I{tmp}", f"--descriptor_set_out={out}",
         "match.proto"],
        check=True,
        capture_output=True,
    )
    registry = velum.Registry()
    registry.add_file_set(out.read_bytes())
    return registry.message_class("velum.test.match.Match")


def _values(msg: Any) -> dict[str, int]:
    return {name: getattr(msg, name) for name in NAMES}


def test_every_name_in_order_and_reversed(match: Any) -> None:
    want = {name: i + 1 for i, name in enumerate(NAMES)}
    for names in (NAMES, NAMES[::-1]):
        for sep in (":", " : ", "\n:\t"):
            text = "{" + ",".join(f'"{n}"{sep}{want[n]}' for n in names) + "}"
            assert _values(match.from_json(text)) == want, text


@pytest.mark.parametrize(
    ("text", "want"),
    [
        ('{"\\u0061":1,"abc":2}', {"a": 1, "abc": 2}),  # escaped where a plain name is expected
        ('{"a":1,"ab\\u0063":2}', {"a": 1, "abc": 2}),
        ('{"abcdefghijklmno":1,"abcdefghijklmnop":2}',
         {"abcdefghijklmno": 1, "abcdefghijklmnop": 2}),
        ('{"a":1,"a":2}', {"a": 2}),
        ('{"abc":3,"a":1}', {"a": 1, "abc": 3}),
    ],
)
def test_names_that_are_not_taken_in_place(match: Any, text: str, want: dict[str, int]) -> None:
    got = {k: v for k, v in _values(match.from_json(text)).items() if v}
    assert got == want


@pytest.mark.parametrize(
    ("text", "error", "message"),
    [
        ('{"ab":1}', ValueError, "key: 'ab' is unknown"),  # the expected name's prefix
        ('{"a":1,"abcx":1}', ValueError, "key: 'abcx' is unknown"),
        ('{"a":1,"ab\\"c":1}', ValueError, "key: 'ab\"c' is unknown"),
        ('{"abcdefghijklmnopqrs":1}', ValueError, "key: 'abcdefghijklmnopqrs' is unknown"),
    ],
)
def test_unknown_names_near_the_expected_one(
    match: Any, text: str, error: type[Exception], message: str
) -> None:
    with pytest.raises(error, match=re.escape(message)):
        match.from_json(text)
    with pytest.raises(error):
        match.from_dict(json.loads(text))


@pytest.mark.parametrize(
    ("text", "message", "offset"),
    [
        ('{"a"', "EOF while parsing an object", 4),
        ('{"a" ', "EOF while parsing an object", 5),
        ('{"a" 1}', "expected `:`", 5),
        ('{"a":', "EOF while parsing a value", 5),
        ('{"a":1,"abc"', "EOF while parsing an object", 12),
        ('{"a":1,"abc\x01":2}',
         "control character (\\u0000-\\u001F) found while parsing a string", 11),
        ('{"abc', "EOF while parsing a string", 5),
    ],
)
def test_syntax_errors_in_names_keep_their_text_and_offset(
    match: Any, text: str, message: str, offset: int
) -> None:
    with pytest.raises(json.JSONDecodeError) as raised:
        match.from_json(text)
    assert raised.value.msg == message
    assert raised.value.pos == offset


def test_nested_and_merged_members(match: Any) -> None:
    text = '{"a":1,"s":"x","child":{"a":2,"child":{"abc":3}},"child":{"abcd":4}}'
    msg = match.from_json(text)
    assert (msg.a, msg.s, msg.child.abcd, msg.child.a) == (1, "x", 4, 0)
    into = match.from_json('{"child":{"a":5,"abc":6}}')
    into._merge_from_json('{"child":{"abc":7}}')
    assert (into.child.a, into.child.abc) == (5, 7)
