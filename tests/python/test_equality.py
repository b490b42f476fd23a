"""Message equality: presence-aware, class-strict, blind to unknown fields."""

from __future__ import annotations

import copy
import math
import operator
from collections.abc import Callable
from typing import Any

import pytest
from _velum_ext import Oneof, generic_setattr

import velum


@pytest.fixture(scope="module")
def p3(registry: Any) -> Callable[[str], Any]:
    return lambda name: registry.message_class(f"velum.test.proto3.{name}")


class TestOperators:
    def test_message_against_int(self, p3: Callable[[str], Any]) -> None:
        m = p3("Scalars")()
        assert m.__eq__(5) is NotImplemented
        assert (m == 5) is False and (m != 5) is True
        assert operator.eq(5, m) is False

    @pytest.mark.parametrize(
        ("op", "compare"),
        [("<", operator.lt), ("<=", operator.le), (">", operator.gt), (">=", operator.ge)],
    )
    def test_ordering_is_unsupported(
        self, p3: Callable[[str], Any], op: str, compare: Callable[[Any, Any], Any]
    ) -> None:
        with pytest.raises(
            TypeError,
            match=f"^'{op}' not supported between instances of 'Scalars' and 'Scalars'$",
        ):
            compare(p3("Scalars")(), p3("Scalars")())

    def test_not_equal_is_the_negation(self, p3: Callable[[str], Any]) -> None:
        a, b = p3("Scalars")(f_int32=1), p3("Scalars")(f_int32=1)
        assert (a != b) is False
        b.f_int32 = 2
        assert (a != b) is True and (a == b) is False


class TestClasses:
    def test_identical_values_in_another_generated_class(self, p3: Callable[[str], Any]) -> None:
        empty = p3("Outer").Inner.Deepest()
        assert empty != p3("Outer").Inner() and p3("Outer").Inner() != empty

    def test_same_schema_loaded_twice_gives_unequal_classes(
        self, p3: Callable[[str], Any], file_set: bytes
    ) -> None:
        other = velum.Registry()
        other.add_file_set(file_set)
        twin = other.message_class("velum.test.proto3.Scalars")
        assert twin is not p3("Scalars")
        assert twin(f_int32=1) != p3("Scalars")(f_int32=1)


class TestPresence:
    def test_explicit_default_against_unset(self, p3: Callable[[str], Any]) -> None:
        assert p3("Optionals")(o_int32=0) != p3("Optionals")()

    def test_unset_on_both_sides_ignores_stored_values(self, p3: Callable[[str], Any]) -> None:
        a, b = p3("Optionals")(), p3("Optionals")()
        generic_setattr(a, "o_int32", 7)
        assert a == b

    def test_implicit_fields_compare_by_value(self, p3: Callable[[str], Any]) -> None:
        a, b = p3("Optionals")(), p3("Optionals")()
        generic_setattr(a, "plain", 7)
        assert a != b


class TestValues:
    def test_nan_equals_only_the_same_float_object(self, p3: Callable[[str], Any]) -> None:
        m = p3("Scalars")(f_double=math.nan)
        assert m == copy.copy(m)
        assert m != p3("Scalars")(f_double=float("nan"))

    @pytest.mark.parametrize(
        ("name", "left", "right"),
        [
            ("Repeated", {"strings": ["a"]}, {"strings": ["a", "b"]}),
            ("Maps", {"string_string": {"k": "v"}}, {"string_string": {"k": "w"}}),
            ("WithOneof", {"kind": Oneof("number", 1)}, {"kind": Oneof("text", "1")}),
            ("WithOneof", {"kind": Oneof("number", 1)}, {}),
        ],
    )
    def test_containers_and_oneofs_compare_by_content(
        self, p3: Callable[[str], Any], name: str, left: dict[str, Any], right: dict[str, Any]
    ) -> None:
        cls = p3(name)
        assert cls(**left) == copy.deepcopy(cls(**left))
        assert cls(**left) != cls(**right)

    def test_nested_messages_recurse(self, p3: Callable[[str], Any]) -> None:
        outer = p3("Outer")
        deep = outer.Inner.Deepest
        assert outer(inners=[outer.Inner(deepest=deep(depth=1))]) == outer(
            inners=[outer.Inner(deepest=deep(depth=1))]
        )
        assert outer(inner=outer.Inner(deepest=deep(depth=1))) != outer(
            inner=outer.Inner(deepest=deep(depth=2))
        )

    def test_unknown_fields_do_not_count(self, p3: Callable[[str], Any]) -> None:
        a = p3("Scalars")(f_int32=1)
        a._get_or_init_unknown_fields()[100] = [b"\xa0\x06\x01"]
        assert a == p3("Scalars")(f_int32=1)

    def test_errors_of_value_comparison_propagate(self, p3: Callable[[str], Any]) -> None:
        class Touchy:
            def __eq__(self, other: object) -> bool:
                raise ValueError("no comparing")

            __hash__ = None  # type: ignore[assignment]

        a, b = p3("Scalars")(), p3("Scalars")()
        generic_setattr(a, "f_string", Touchy())
        for operation in (lambda: a == b, lambda: a != b):
            with pytest.raises(ValueError, match="^no comparing$"):
                operation()

    def test_empty_slot_fails(self, p3: Callable[[str], Any]) -> None:
        cls = p3("Scalars")
        with pytest.raises(AttributeError, match="^uninitialized slot$"):
            _ = cls() == cls.__new__(cls)
