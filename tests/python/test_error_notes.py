"""Errors say where: a note names the field path of an encode or decode failure,
while the message text stays as specified."""

from __future__ import annotations

import gc

import pytest

P3 = "velum.test.proto3"


def _notes(exc: pytest.ExceptionInfo[BaseException]) -> list[str]:
    return getattr(exc.value, "__notes__", [])


def test_encode_error_in_a_list_element(registry):
    repeated = registry.message_class(f"{P3}.Repeated")
    scalars = registry.message_class(f"{P3}.Scalars")
    msg = repeated(messages=[scalars(), scalars(), scalars(), scalars(f_int32="x")])
    with pytest.raises(TypeError) as exc:
        msg.to_binary()
    assert str(exc.value) == "expected int, got <class 'str'>"
    assert _notes(exc) == [f"while encoding {P3}.Repeated.messages[3].f_int32"]


@pytest.mark.parametrize(
    ("cls", "values", "path"),
    [
        ("Scalars", {"f_uint32": -1}, ".f_uint32"),
        ("Repeated", {"packed_int32": [1, 2**40]}, ".packed_int32[1]"),
        ("Repeated", {"strings": ["a", 5]}, ".strings[1]"),
        ("Optionals", {"o_message": {"f_bool": 3}}, ".o_message.f_bool"),
    ],
)
def test_encode_error_paths(registry, cls, values, path):
    if "o_message" in values:
        values = {"o_message": registry.message_class(f"{P3}.Scalars")(**values["o_message"])}
    with pytest.raises((TypeError, OverflowError)) as exc:
        registry.message_class(f"{P3}.{cls}")(**values).to_binary()
    assert _notes(exc) == [f"while encoding {P3}.{cls}{path}"]


def test_decode_error_inside_a_nested_field(registry):
    optionals = registry.message_class(f"{P3}.Optionals")
    # o_message (4) holding f_string (9) with invalid UTF-8: the note names the
    # message field the failing record sits in.
    data = b"\x22\x03\x4a\x01\xff"
    with pytest.raises(UnicodeDecodeError) as exc:
        optionals.from_binary(data)
    assert _notes(exc) == [f"while decoding {P3}.Optionals.o_message"]
    target = optionals()
    with pytest.raises(UnicodeDecodeError) as exc:
        target.merge_from_binary(data)
    assert _notes(exc) == [f"while decoding {P3}.Optionals.o_message"]


def test_note_survives_garbage_collection_while_it_is_built(registry):
    # Building the note may run a collection; the pending error must not be lost
    # to it (which surfaced as SystemError "error reported without an exception").
    optionals = registry.message_class(f"{P3}.Optionals")
    thresholds = gc.get_threshold()
    gc.set_threshold(1, 1, 1)
    try:
        for _ in range(20):
            with pytest.raises(UnicodeDecodeError) as exc:
                optionals.from_binary(b"\x22\x03\x4a\x01\xff")
            assert _notes(exc) == [f"while decoding {P3}.Optionals.o_message"]
    finally:
        gc.set_threshold(*thresholds)


def test_errors_outside_any_field_get_no_note(registry):
    scalars = registry.message_class(f"{P3}.Scalars")
    with pytest.raises(ValueError, match="invalid field number: 0") as exc:
        scalars.from_binary(b"\x00")
    assert _notes(exc) == []
