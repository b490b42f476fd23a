"""JSON text of strings of every width, against the standard library.

The text `to_json` returns is built at the width of its widest character (one, two or
four bytes a character), widening what was written before when a wider string arrives;
`from_json` makes each `str` at its final width. Both are checked against `json.dumps`
(compact, non-ASCII kept) and `json.loads` over documents mixing ASCII, Latin-1, BMP and
astral text, escapes and control characters, in every order. A `str` compares equal only
to one of the same width, so equality also checks the width chosen.
"""

from __future__ import annotations

import json
import sys
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st
from test_differential import diff_settings

from velum import wkt

ALPHABETS = {
    "ascii": st.characters(max_codepoint=0x7F),
    "latin1": st.characters(min_codepoint=0x80, max_codepoint=0xFF),
    "bmp": st.characters(min_codepoint=0x100, max_codepoint=0xFFFF, exclude_categories=("Cs",)),
    "astral": st.characters(min_codepoint=0x10000),
    "escapes": st.sampled_from('"\\/\b\f\n\r\t\x00\x01\x1f\x7f'),
}
ANY_CHAR = st.one_of(*ALPHABETS.values())
TEXT = st.one_of(
    *(st.text(alphabet, max_size=40) for alphabet in ALPHABETS.values()),
    st.text(ANY_CHAR, max_size=80),
)
DOCUMENT = st.dictionaries(TEXT, st.one_of(TEXT, st.lists(TEXT, max_size=6)), max_size=8)


def compact(tree: Any) -> str:
    return json.dumps(tree, ensure_ascii=False, separators=(",", ":"))


@diff_settings(300)
@given(DOCUMENT)
def test_struct_text_matches_the_standard_library(tree: dict[str, Any]) -> None:
    msg = wkt.Struct._from_json_value(tree)
    text = msg.to_json()
    assert text == compact(tree)
    assert json.loads(text) == tree
    back = wkt.Struct.from_json(text)
    assert back == msg
    assert back._to_json_value() == tree
    # Read from bytes too: the same strings, made from the same UTF-8.
    assert wkt.Struct.from_json(text.encode())._to_json_value() == tree


@diff_settings(200)
@given(st.lists(TEXT, max_size=12))
def test_strings_read_at_their_own_width(texts: list[str]) -> None:
    read = wkt.ListValue.from_json(compact(texts))._to_json_value()
    assert read == texts
    for got, want in zip(read, texts, strict=True):
        assert max(map(ord, got), default=0) == max(map(ord, want), default=0)


# Widening happens once per width, wherever the wider text first appears: at the
# start, after a long narrow prefix, inside a member name, after an escape.
NARROW = ["plain", "caf\xe9", "\n\t\"", "x" * 300]
WIDE = ["\u20ac", "\U0001f642", "\u0416\u0436", "a\U0010ffffb", "\uffff", "\ud7ff\ue000"]


@pytest.mark.parametrize("wide", WIDE)
@pytest.mark.parametrize("at", [0, 1, 3])
def test_wider_text_after_narrow_text(wide: str, at: int) -> None:
    values = [*NARROW[:at], wide, *NARROW[at:]]
    tree = {"k" + str(i): v for i, v in enumerate(values)}
    tree[wide + "\x01"] = [wide, "\xff"]
    text = wkt.Struct._from_json_value(tree).to_json()
    assert text == compact(tree)
    assert wkt.Struct.from_json(text)._to_json_value() == tree


def test_long_documents_of_each_width() -> None:
    for char in ["a", "\xe9", "\u20ac", "\U0001f642"]:
        tree = {f"{char}{i}": char * i + "\\" + char for i in range(0, 2000, 97)}
        text = wkt.Struct._from_json_value(tree).to_json()
        assert text == compact(tree)
        assert wkt.Struct.from_json(text)._to_json_value() == tree


@pytest.mark.parametrize("surrogate", ["\ud800", "\udbff", "\udc00", "\udfff"])
@pytest.mark.parametrize("where", ["value", "key", "late"])
def test_surrogates_fail_as_the_utf8_encoder_fails(surrogate: str, where: str) -> None:
    prefix = {"value": "a\U0001f642", "key": "\u20ac", "late": "x" * 40}[where]
    text = prefix + surrogate
    tree = {text: 1} if where == "key" else {"k": ["\xe9", text]}
    with pytest.raises(UnicodeEncodeError) as caught:
        wkt.Struct._from_json_value(tree).to_json()
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode()
    assert str(caught.value) == str(expected.value)


def escape_some(text: str, escape: list[bool]) -> str:
    """A JSON string literal of `text` with the characters chosen by `escape` (cycled)
    written as \\u escapes, surrogate pairs for astral ones, and the rest raw."""
    out = ['"']
    for i, ch in enumerate(text):
        if ch in '"\\' or ord(ch) < 0x20 or (escape and escape[i % len(escape)]):
            if ord(ch) > 0xFFFF:
                high, low = divmod(ord(ch) - 0x10000, 0x400)
                out.append(f"\\u{0xD800 + high:04x}\\u{0xDC00 + low:04X}")
            else:
                out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


@diff_settings(200)
@given(st.lists(st.tuples(TEXT, st.lists(st.booleans(), max_size=5)), max_size=10))
def test_escaped_and_raw_text_read_at_their_own_width(
    items: list[tuple[str, list[bool]]],
) -> None:
    # Escapes anywhere (first, after wide text, only escapes) decide the width as
    # raw characters do; `==` on str also compares the width.
    texts = [text for text, _ in items]
    literal = "[" + ",".join(escape_some(text, escape) for text, escape in items) + "]"
    assert json.loads(literal) == texts
    assert wkt.ListValue.from_json(literal)._to_json_value() == texts
    assert wkt.ListValue.from_json(literal.encode())._to_json_value() == texts
    keys = "{" + ",".join(f"{escape_some(t, e)}:{i}" for i, (t, e) in enumerate(items)) + "}"
    assert wkt.Struct.from_json(keys)._to_json_value() == json.loads(keys)


# Objects of one document mostly share their keys, whose text the writer keeps by the
# key's identity within a call: keys that repeat as the same object, as equal but
# distinct objects, with escapes, too long to keep, wide, and more of them than are kept.
KEY_KINDS = {
    "short": ["id", "a", "name", "x" * 24],
    "long": ["k" * 25, "long_key_" * 6],
    "escaped": ['q"', "back\\slash", "tab\t", "\x00"],
    "wide": ["caf\xe9", "\u20ac", "\U0001f642key"],
    "many": [f"key{i}" for i in range(200)],
}


@pytest.mark.parametrize("kind", sorted(KEY_KINDS))
@pytest.mark.parametrize("fresh", [False, True])
def test_keys_repeated_across_objects(kind: str, fresh: bool) -> None:
    keys = KEY_KINDS[kind]
    rows = []
    for row in range(30):
        order = keys[row % len(keys):] + keys[: row % len(keys)]
        # Fresh keys: equal text, a new object each time.
        rows.append({("".join(list(k)) if fresh else k): row + 0.5 for k in order})
    text = wkt.ListValue._from_json_value(rows).to_json()
    assert text == compact(rows)
    refs = [sys.getrefcount(k) for k in keys]
    assert wkt.ListValue._from_json_value(rows).to_json() == text
    assert [sys.getrefcount(k) for k in keys] == refs


# Text beyond the writer's first block is written into the str it becomes and returned
# without a copy when plain ASCII; any other text is assembled from it into a new str.
@pytest.mark.parametrize("tail", ["", "\xe9", "\U0001f642", "\n"])
@pytest.mark.parametrize("size", [*range(1015, 1035), 4095, 4096, 4097, 1 << 20])
def test_text_outgrowing_the_first_block_is_a_whole_str(size: int, tail: str) -> None:
    # {"a":"<filler>"} is 8 bytes around the filler
    tree = {"a": "x" * (size - 8) + tail}
    msg = wkt.Struct._from_json_value(tree)
    text = msg.to_json()
    expected = compact(tree)
    assert text == expected
    assert len(text) == len(expected)
    assert text.isascii() == expected.isascii()
    assert sys.getsizeof(text) == sys.getsizeof(expected)
    assert hash(text) == hash(expected)
    again = msg.to_json()
    assert again == text and again is not text
