"""Instances: construction, attribute setting, storage slots and presence bits."""

from __future__ import annotations

import pytest
from _velum_ext import NativeMessage, Oneof, generic_setattr


@pytest.fixture(scope="module")
def shapes(registry):
    return lambda name: registry.message_class(f"velum.test.shapes.{name}")


@pytest.fixture(scope="module")
def p3(registry):
    return lambda name: registry.message_class(f"velum.test.proto3.{name}")


class TestPresenceForms:
    def test_fixed_form_lists_ascending_and_ignores_large_numbers(self, shapes) -> None:
        m = shapes("Number319")()
        for n in (5, 1, 3):
            m._set_field_number_present(n)
        assert m._present == [1, 3, 5]
        assert m._get_field_number_present(1000) is False
        m._clear_field_number_present(3)
        assert m._present == [1, 5]

    def test_fixed_form_rejects_numbers_it_cannot_hold(self, shapes) -> None:
        m = shapes("Number319")()
        m._set_field_number_present(319)
        with pytest.raises(ValueError):
            m._set_field_number_present(320)
        assert m._present == [319]

    def test_set_form_holds_any_number(self, shapes) -> None:
        m = shapes("Number320")()
        m._set_field_number_present(320)
        m._set_field_number_present(4_000_000_000)
        assert sorted(m._present) == [320, 4_000_000_000]
        assert m._get_field_number_present(320) is True

    @pytest.mark.parametrize(
        ("value", "error"), [(-1, OverflowError), (2**32, OverflowError), ("1", TypeError)]
    )
    def test_field_number_conversion(self, shapes, value: object, error: type[Exception]) -> None:
        with pytest.raises(error) as info:
            shapes("Number319")()._get_field_number_present(value)
        assert "while processing 'field_number'" in info.value.__notes__

    def test_explicit_field_set_to_default_is_present(self, p3) -> None:
        m = p3("Optionals")()
        assert m._present == []
        m.o_int32 = 0
        assert m._present == [1]
        m.o_string = None  # any value counts, None included
        assert m._present == [1, 2]


class TestConstruction:
    def test_none_keyword_keeps_default_and_presence_clear(self, p3) -> None:
        m = p3("Optionals")(o_int32=None)
        assert m.o_int32 == 0 and m._present == []

    def test_list_keyword_is_stored_as_given(self, p3) -> None:
        values = [1, 2]
        m = p3("Repeated")(packed_int32=values)
        assert m.packed_int32 is values
        m.packed_int32.append(3)
        assert values == [1, 2, 3]

    def test_unknown_keyword_keeps_earlier_ones(self, p3) -> None:
        m = p3("Optionals")()
        with pytest.raises(TypeError) as info:
            m.__init__(o_int32=5, nope=1)
        assert str(info.value) == "Optionals.__init__() got an unexpected keyword argument 'nope'"
        assert m.o_int32 == 5 and m._present == [1]

    def test_positional_arguments_are_rejected(self, p3) -> None:
        with pytest.raises(
            TypeError, match=r"__init__\(\) takes 0 positional arguments but 1 was given"
        ):
            p3("Optionals")(1)

    def test_oneof_is_set_through_its_own_name(self, p3) -> None:
        m = p3("WithOneof")()
        assert m.kind is None
        name = next(iter(type(m)._desc._oneofs_by_local_name["kind"].fields)).local_name
        m2 = p3("WithOneof")(kind=Oneof(name, 1))
        assert m2.kind == Oneof(name, 1)
        assert m2._present == []

    def test_new_without_init_leaves_slots_empty(self, p3) -> None:
        cls = p3("Optionals")
        bare = cls.__new__(cls)
        with pytest.raises(AttributeError, match="^uninitialized slot$"):
            _ = bare == cls()


class TestSetattr:
    def test_delete_is_refused(self, p3) -> None:
        m = p3("Optionals")()
        for name in ("o_int32", "not_a_field"):
            with pytest.raises(AttributeError, match="^can't delete attribute$"):
                delattr(m, name)

    def test_non_field_attribute_behaves_as_plain_python(self, p3) -> None:
        m = p3("Optionals")()
        with pytest.raises(AttributeError):
            m.not_a_field = 1  # slotted class: no such attribute, as for any object

    def test_non_str_name(self, p3) -> None:
        m = p3("Optionals")()
        with pytest.raises(TypeError):
            NativeMessage.__setattr__(m, 5, 1)

    def test_generic_setattr_bypasses_presence(self, p3) -> None:
        m = p3("Optionals")()
        generic_setattr(m, "o_int32", 9)
        assert m.o_int32 == 9 and m._present == []
        with pytest.raises(TypeError):
            generic_setattr(m, 3, 9)


def test_instance_without_marshaler_uses_the_set_form() -> None:
    class Loose(NativeMessage):
        pass

    m = Loose.__new__(Loose)
    m._set_field_number_present(100_000)
    assert m._present == [100_000]
    assert m._unknown_fields is None
    store = m._get_or_init_unknown_fields()
    assert store == {} and m._get_or_init_unknown_fields() is store and m._unknown_fields is store


def test_class_method_on_uninitialised_class() -> None:
    class Loose(NativeMessage):
        pass

    with pytest.raises(AttributeError):
        Loose.from_binary(b"")


def test_new_returning_a_foreign_object_is_refused(compiler) -> None:
    import copy

    import velum

    registry = velum.Registry()
    registry.add_file_set(compiler("test_proto3.proto"))
    cls = registry.message_class("velum.test.proto3.Optionals")
    m = cls(o_int32=1)
    cls.__new__ = staticmethod(lambda *_args: object())  # type: ignore[method-assign]
    with pytest.raises(TypeError, match="is not an instance of"):
        copy.copy(m)
    with pytest.raises(TypeError, match="is not an instance of"):
        cls.from_binary(b"")
