"""Calling a generated class: the direct keyword path must behave as the ordinary type
call does, and give way to it whenever Python code takes part in construction."""

from __future__ import annotations

import re
from typing import Any

import pytest
from conftest import compile_protos

import velum

NAME = "velum.test.proto3.Scalars"


@pytest.fixture
def cls(registry: Any) -> Any:
    return registry.message_class(NAME)


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1,), {}, "takes 0 positional arguments but 1 was given"),
        ((1, 2), {"f_int32": 1}, "takes 0 positional arguments but 2 were given"),
        ((), {"f_int32": 1, "nope": 2}, "got an unexpected keyword argument 'nope'"),
    ],
)
def test_call_errors(cls: Any, args: tuple[Any, ...], kwargs: dict[str, Any], message: str) -> None:
    with pytest.raises(TypeError, match=f"^{re.escape('Scalars.__init__() ' + message)}$"):
        cls(*args, **kwargs)


@pytest.mark.parametrize("spread", [False, True])
def test_keywords_store_and_none_keeps_default(cls: Any, spread: bool) -> None:
    values = {"f_int32": 7, "f_string": "é", "f_double": None}
    msg = cls(**values) if spread else cls(f_int32=7, f_string="é", f_double=None)
    assert (msg.f_int32, msg.f_string, msg.f_double) == (7, "é", 0.0)
    assert msg == cls(f_int32=7, f_string="é")


def test_subclass_init_runs(cls: Any) -> None:
    seen: list[dict[str, Any]] = []

    class Sub(cls):  # type: ignore[misc, valid-type]
        __slots__ = ()

        def __init__(self, **kwargs: Any) -> None:
            seen.append(kwargs)
            super().__init__(**kwargs)

    msg = Sub(f_int32=3)
    assert type(msg) is Sub and msg.f_int32 == 3 and seen == [{"f_int32": 3}]


@pytest.mark.parametrize("slot", ["__init__", "__new__"])
def test_hooks_assigned_to_the_class_later_take_part(slot: str) -> None:
    # A class of its own: patching a shared fixture class would leak into other tests.
    reg = velum.Registry()
    reg.add_file_set(compile_protos("test_proto3.proto"))
    own = reg.message_class(NAME)
    calls: list[str] = []
    original = getattr(own, slot)

    if slot == "__init__":
        def hook(self: Any, **kwargs: Any) -> None:
            calls.append("init")
            original(self, **kwargs)
    else:
        def hook(klass: Any, *args: Any, **kwargs: Any) -> Any:  # type: ignore[misc]
            calls.append("new")
            return original(klass)

        hook = staticmethod(hook)  # type: ignore[assignment]
    setattr(own, slot, hook)
    assert own(f_int32=4).f_int32 == 4
    assert calls == [slot.strip("_")]
