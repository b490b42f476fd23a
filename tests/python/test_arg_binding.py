"""Argument binding shared by the native methods, exercised through their callers."""

import re
from collections.abc import Callable
from typing import Any

import _velum_ext
import pytest
from _velum_ext import Oneof

NativeMessage: Any = getattr(_velum_ext, "NativeMessage", None)


def raises_exactly(error: type[Exception], text: str) -> Any:
    return pytest.raises(error, match=f"^{re.escape(text)}$")


@pytest.mark.parametrize(
    ("args", "kwargs", "text"),
    [
        ((), {}, "Oneof() missing 2 required positional arguments: 'field' and 'value'"),
        (("a",), {}, "Oneof() missing 1 required positional argument: 'value'"),
        ((), {"value": 1}, "Oneof() missing 1 required positional argument: 'field'"),
        (("a", 1, 2), {}, "Oneof() takes 2 positional arguments but 3 were given"),
        (("a", 1, 2, 3), {"x": 1}, "Oneof() takes 2 positional arguments but 4 were given"),
        (("a",), {"field": "b"}, "Oneof() got multiple values for argument 'field'"),
        (("a", 1), {"value": 1}, "Oneof() got multiple values for argument 'value'"),
        (("a", 1), {"other": 1}, "Oneof() got an unexpected keyword argument 'other'"),
        ((), {"field": "a", "valu": 1}, "Oneof() got an unexpected keyword argument 'valu'"),
    ],
)
def test_oneof_binding_errors(args: tuple[Any, ...], kwargs: dict[str, Any], text: str) -> None:
    with raises_exactly(TypeError, text):
        Oneof(*args, **kwargs)
    # The tuple/dict calling convention reaches the same binder.
    with raises_exactly(TypeError, text):
        Oneof.__new__(Oneof, *args, **kwargs)


@pytest.mark.parametrize(
    "call",
    [
        lambda: Oneof("a", 1),
        lambda: Oneof("a", value=1),
        lambda: Oneof(field="a", value=1),
        lambda: Oneof(value=1, field="a"),
        # Keyword names built at run time are not interned: matched by value.
        lambda: Oneof(**{"".join(["fi", "eld"]): "a", "".join(["val", "ue"]): 1}),
    ],
)
def test_oneof_binding_forms(call: Callable[[], Oneof]) -> None:
    oneof = call()
    assert (oneof.field, oneof.value) == ("a", 1)


def test_single_positional_uses_was() -> None:
    with raises_exactly(
        TypeError, "Oneof.__class_getitem__() takes 1 positional arguments but 2 were given"
    ):
        Oneof.__class_getitem__(int, str)
    with raises_exactly(
        TypeError, "Oneof.__class_getitem__() missing 1 required positional argument: 'key'"
    ):
        Oneof.__class_getitem__()
    assert Oneof.__class_getitem__(key=int) == Oneof[int]


# NativeMessage methods bind and convert their arguments before looking up the
# marshaler, so a bare instance of the base class is enough to see the errors.
@pytest.fixture
def bare() -> Any:
    if NativeMessage is None:
        pytest.skip("NativeMessage not built yet")
    try:
        return NativeMessage.__new__(NativeMessage)
    except Exception as exc:
        pytest.skip(f"bare NativeMessage unavailable: {exc}")


def method(bare: Any, name: str) -> Any:
    if not hasattr(NativeMessage, name):
        pytest.skip(f"NativeMessage.{name} not built yet")
    return getattr(bare, name)


@pytest.mark.parametrize(
    ("name", "args", "kwargs", "tail"),
    [
        ("to_json", (1,), {}, "takes 0 positional arguments but 1 was given"),
        ("to_json", (), {"indent": 2}, "got an unexpected keyword argument 'indent'"),
        ("to_json_value", (), {"registry": None, "sort_keys": True},
         "got an unexpected keyword argument 'sort_keys'"),
        ("to_binary", (1, 2), {}, "takes 0 positional arguments but 2 were given"),
        ("to_binary", (), {"unknown": True}, "got an unexpected keyword argument 'unknown'"),
        ("from_binary", (), {}, "missing 1 required positional argument: 'data'"),
        ("from_binary", (b"", True), {}, "takes 1 positional arguments but 2 were given"),
        (
            "_merge_from_binary",
            (b"",),
            {},
            "missing 1 required positional argument: 'ignore_unknown_fields'",
        ),
        (
            "_merge_from_binary",
            (),
            {},
            "missing 2 required positional arguments: 'data' and 'ignore_unknown_fields'",
        ),
        (
            "_merge_from_binary",
            (b"", False),
            {"data": b""},
            "got multiple values for argument 'data'",
        ),
    ],
)
def test_native_message_binding_errors(
    bare: Any, name: str, args: tuple[Any, ...], kwargs: dict[str, Any], tail: str
) -> None:
    with raises_exactly(TypeError, f"NativeMessage.{name}() {tail}"):
        method(bare, name)(*args, **kwargs)


class FakeNumpyBool:
    """Looks like NumPy's bool scalar type to the binder."""

    def __init__(self, value: bool) -> None:
        self.truth = value

    def __bool__(self) -> bool:
        return self.truth


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = "bool_"


@pytest.mark.parametrize("value", [1, 0, None, "true", 1.0])
def test_bool_option_rejects_non_bool(bare: Any, value: object) -> None:
    with pytest.raises(TypeError) as info:
        method(bare, "to_binary")(write_unknown_fields=value)
    assert info.value.__notes__ == ["while processing 'write_unknown_fields'"]


def test_bool_option_accepts_numpy_bool(bare: Any) -> None:
    # Conversion succeeds; whatever fails afterwards is not about the argument.
    try:
        method(bare, "to_binary")(write_unknown_fields=FakeNumpyBool(False))
    except Exception as exc:
        assert "while processing 'write_unknown_fields'" not in getattr(exc, "__notes__", [])


@pytest.mark.parametrize(
    ("value", "error"),
    [(-1, OverflowError), (2**32, OverflowError), ("1", TypeError), (1.0, TypeError)],
)
def test_field_number_conversion(bare: Any, value: object, error: type[Exception]) -> None:
    with pytest.raises(error) as info:
        method(bare, "_get_field_number_present")(value)
    assert info.value.__notes__ == ["while processing 'field_number'"]
