"""Shallow copy, deep copy and merge: what is shared, what is copied, and merge rules."""

from __future__ import annotations

import copy
import math
from collections.abc import Callable
from typing import Any

import pytest
from _velum_ext import NativeMessage, Oneof, generic_setattr
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velum


@pytest.fixture(scope="module")
def p3(registry: Any) -> Callable[[str], Any]:
    return lambda name: registry.message_class(f"velum.test.proto3.{name}")


@pytest.fixture(scope="module")
def p2(registry: Any) -> Callable[[str], Any]:
    return lambda name: registry.message_class(f"velum.test.proto2.{name}")


@pytest.fixture(scope="module")
def shapes(registry: Any) -> Callable[[str], Any]:
    return lambda name: registry.message_class(f"velum.test.shapes.{name}")


@pytest.fixture
def own_registry(compiler: Any) -> velum.Registry:
    """A registry of its own, for tests that patch generated classes."""
    reg = velum.Registry()
    reg.add_file_set(compiler())
    return reg


def rich_message(p3: Callable[[str], Any]) -> tuple[Any, Any]:
    """A Repeated / Maps pair holding messages, strings and ints."""
    scalars = p3("Scalars")
    rep = p3("Repeated")(
        strings=["a", "bc"],
        packed_int32=[1, 10**6],
        messages=[scalars(f_int32=1), scalars(f_string="x")],
    )
    maps = p3("Maps")(
        string_string={"k": "v"},
        string_message={"m": scalars(f_int32=2), "n": scalars()},
    )
    return rep, maps


class TestShallowCopy:
    def test_containers_and_sub_messages_are_shared(self, p3: Callable[[str], Any]) -> None:
        rep, maps = rich_message(p3)
        outer = p3("Outer")(inner=p3("Outer").Inner(mood=1), my_field_name="n")
        holder = p3("WithOneof")(kind=Oneof("message", p3("Scalars")(f_int32=3)))
        for msg, names in [
            (rep, ("strings", "messages")),
            (maps, ("string_message",)),
            (outer, ("inner", "my_field_name")),
            (holder, ("kind",)),
        ]:
            dup = copy.copy(msg)
            assert type(dup) is type(msg) and dup is not msg and dup == msg
            for name in names:
                assert getattr(dup, name) is getattr(msg, name), name

    def test_presence_bits_are_copied(self, p3: Callable[[str], Any]) -> None:
        m = p3("Optionals")(o_int32=0, o_status=2)
        assert copy.copy(m)._present == [1, 3]

    def test_instance_without_init_fails_on_its_empty_slot(self, p3: Callable[[str], Any]) -> None:
        cls = p3("Optionals")
        bare = cls.__new__(cls)
        for operation in (copy.copy, copy.deepcopy, lambda m: cls().merge_from(m)):
            with pytest.raises(AttributeError, match="^uninitialized slot$"):
                operation(bare)


class TestDeepCopy:
    def test_lists_are_new_and_only_messages_copied(self, p3: Callable[[str], Any]) -> None:
        rep, _ = rich_message(p3)
        dup = copy.deepcopy(rep)
        assert dup == rep
        assert dup.strings is not rep.strings and dup.messages is not rep.messages
        assert all(a is b for a, b in zip(dup.strings, rep.strings, strict=True))
        assert all(a is b for a, b in zip(dup.packed_int32, rep.packed_int32, strict=True))
        assert all(a is not b and a == b for a, b in zip(dup.messages, rep.messages, strict=True))

    def test_dicts_are_new_keys_shared_order_kept(self, p3: Callable[[str], Any]) -> None:
        _, maps = rich_message(p3)
        dup = copy.deepcopy(maps)
        assert dup == maps and dup.string_message is not maps.string_message
        assert list(dup.string_message) == ["m", "n"]
        for (k1, v1), (k2, v2) in zip(
            dup.string_message.items(), maps.string_message.items(), strict=True
        ):
            assert k1 is k2 and v1 is not v2 and v1 == v2
        assert dup.string_string["k"] is maps.string_string["k"]

    def test_sub_message_tree_is_copied(self, p3: Callable[[str], Any]) -> None:
        outer_cls = p3("Outer")
        outer = outer_cls(inner=outer_cls.Inner(deepest=outer_cls.Inner.Deepest(depth=4)))
        dup = copy.deepcopy(outer)
        assert dup == outer
        assert dup.inner is not outer.inner and dup.inner.deepest is not outer.inner.deepest
        dup.inner.deepest.depth = 5
        assert outer.inner.deepest.depth == 4

    def test_oneof_holding_message_is_rebuilt(self, p3: Callable[[str], Any]) -> None:
        holder = p3("WithOneof")(kind=Oneof("message", p3("Scalars")(f_int32=3)))
        dup = copy.deepcopy(holder)
        assert isinstance(dup.kind, Oneof) and dup.kind is not holder.kind
        assert dup.kind.field is holder.kind.field
        assert dup.kind.value is not holder.kind.value and dup.kind.value == holder.kind.value

    @pytest.mark.parametrize("kind", [Oneof("number", 7), Oneof("text", "t")])
    def test_oneof_holding_scalar_is_shared(self, p3: Callable[[str], Any], kind: Oneof) -> None:
        holder = p3("WithOneof")(kind=kind)
        assert copy.deepcopy(holder).kind is kind

    def test_memo_is_accepted_and_ignored(self, p3: Callable[[str], Any]) -> None:
        m = p3("Scalars")(f_int32=1)
        assert m.__deepcopy__(None) == m
        with pytest.raises(TypeError):
            m.__deepcopy__()


class TestUnknownFieldsOnCopy:
    @pytest.mark.parametrize("operation", [copy.copy, copy.deepcopy])
    def test_copy_gets_own_lists_with_shared_records(
        self, p3: Callable[[str], Any], operation: Callable[[Any], Any]
    ) -> None:
        m = p3("Scalars")()
        records = [b"\xa8\x06\x01", b"\xa8\x06\x02"]
        m._get_or_init_unknown_fields().update({101: records, 3: [b"\x18\x05"]})
        dup = operation(m)
        store = dup._unknown_fields
        assert store == {101: records, 3: [b"\x18\x05"]} and list(store) == [101, 3]
        assert store[101] is not records
        assert all(a is b for a, b in zip(store[101], records, strict=True))
        store[101].append(b"\xa8\x06\x03")
        assert len(records) == 2

    def test_no_store_stays_no_store(self, p3: Callable[[str], Any]) -> None:
        assert copy.deepcopy(p3("Scalars")())._unknown_fields is None

    def test_non_list_value_is_rejected(self, p3: Callable[[str], Any]) -> None:
        m = p3("Scalars")()
        m._get_or_init_unknown_fields()[5] = (b"\x28\x01",)
        with pytest.raises(TypeError, match="^'tuple' object is not an instance of 'list'$"):
            copy.copy(m)


class TestMergeScalarsAndPresence:
    def test_presence_bits_are_ored(self, p3: Callable[[str], Any]) -> None:
        target = p3("Optionals")(o_int32=4)
        target.merge_from(p3("Optionals")(o_string="s"))
        assert target._present == [1, 2]
        assert (target.o_int32, target.o_string) == (4, "s")

    def test_explicit_field_with_clear_bit_is_not_merged(self, p3: Callable[[str], Any]) -> None:
        source = p3("Optionals")()
        generic_setattr(source, "o_int32", 9)  # stored, but not present
        target = p3("Optionals")(o_int32=4)
        target.merge_from(source)
        assert target.o_int32 == 4

    def test_explicit_field_set_to_default_overwrites(self, p3: Callable[[str], Any]) -> None:
        target = p3("Optionals")(o_int32=4, o_string="s")
        target.merge_from(p3("Optionals")(o_int32=0, o_string=""))
        assert (target.o_int32, target.o_string) == (0, "")

    def test_set_scalar_is_stored_as_the_same_object(self, p3: Callable[[str], Any]) -> None:
        text = "".join(["abc", "def"])
        target = p3("Scalars")(f_string="old")
        target.merge_from(p3("Scalars")(f_string=text))
        assert target.f_string is text

    def test_merge_from_runtime_wrapper_and_native_agree(self, p3: Callable[[str], Any]) -> None:
        a, b = p3("Scalars")(f_int32=1), p3("Scalars")(f_int32=1)
        source = p3("Scalars")(f_string="s")
        a.merge_from(source)
        b._merge_from(source, False)
        assert a == b


class TestMergeMessagesAndContainers:
    def test_sub_message_is_merged_in_place(self, p3: Callable[[str], Any]) -> None:
        outer_cls = p3("Outer")
        inner = outer_cls.Inner(mood=1)
        target = outer_cls(inner=inner)
        target.merge_from(
            outer_cls(inner=outer_cls.Inner(deepest=outer_cls.Inner.Deepest(depth=2)))
        )
        assert target.inner is inner
        assert (inner.mood, inner.deepest.depth) == (1, 2)

    def test_missing_sub_message_is_created_not_shared(self, p3: Callable[[str], Any]) -> None:
        outer_cls = p3("Outer")
        source = outer_cls(inner=outer_cls.Inner(mood=1))
        target = outer_cls()
        target.merge_from(source)
        assert target.inner == source.inner and target.inner is not source.inner
        assert type(target.inner) is outer_cls.Inner

    def test_repeated_fields_append(self, p3: Callable[[str], Any]) -> None:
        rep, _ = rich_message(p3)
        target = p3("Repeated")(strings=["z"], messages=[p3("Scalars")(f_int32=9)])
        before = target.messages
        target.merge_from(rep)
        assert target.messages is before
        assert target.strings == ["z", "a", "bc"] and target.strings[1] is rep.strings[0]
        assert target.messages[1:] == rep.messages
        assert all(a is not b for a, b in zip(target.messages[1:], rep.messages, strict=True))

    def test_map_entries_overwrite_and_message_values_are_replaced(
        self, p3: Callable[[str], Any]
    ) -> None:
        scalars = p3("Scalars")
        kept = scalars(f_int32=7, f_string="kept")
        target = p3("Maps")(string_string={"k": "old", "j": "x"}, string_message={"m": kept})
        _, source = rich_message(p3)
        target.merge_from(source)
        assert target.string_string == {"k": "v", "j": "x"}
        assert list(target.string_message) == ["m", "n"]
        assert target.string_message["m"] == scalars(f_int32=2)  # replaced, not merged
        assert target.string_message["m"] is not source.string_message["m"]
        assert kept.f_string == "kept"

    def test_merging_into_itself_doubles_lists_and_records(self, p3: Callable[[str], Any]) -> None:
        m = p3("Repeated")(strings=["a"], messages=[p3("Scalars")(f_int32=1)])
        m._get_or_init_unknown_fields()[99] = [b"\x98\x06\x01"]
        m.merge_from(m)
        assert m.strings == ["a", "a"] and len(m.messages) == 2
        assert m.messages[0] is not m.messages[1]
        assert m._unknown_fields == {99: [b"\x98\x06\x01"] * 2}

    @pytest.mark.parametrize(
        ("field", "stored", "target"),
        [("strings", ("a",), "list"), ("string_string", [("k", "v")], "dict")],
    )
    def test_target_container_of_wrong_type(
        self, p3: Callable[[str], Any], field: str, stored: object, target: str
    ) -> None:
        cls = p3("Repeated") if target == "list" else p3("Maps")
        source = cls(**{field: ["x"] if target == "list" else {"x": "y"}})
        dest = cls()
        generic_setattr(dest, field, stored)
        expected = f"^'{type(stored).__name__}' object is not an instance of '{target}'$"
        with pytest.raises(TypeError, match=expected):
            dest.merge_from(source)

    def test_target_sub_message_of_wrong_type(self, p3: Callable[[str], Any]) -> None:
        outer_cls = p3("Outer")
        dest = outer_cls()
        generic_setattr(dest, "inner", 5)
        with pytest.raises(TypeError, match="^'int' object is not an instance of 'NativeMessage'$"):
            dest.merge_from(outer_cls(inner=outer_cls.Inner()))

    def test_source_of_another_class(self, p3: Callable[[str], Any], shapes: Any) -> None:
        with pytest.raises(
            TypeError, match="^invalid source message type, expected Outer.Inner, got Empty$"
        ):
            p3("Outer").Inner().merge_from(shapes("Empty")())

    def test_nested_source_of_another_class(self, p3: Callable[[str], Any]) -> None:
        outer_cls = p3("Outer")
        dest = outer_cls()
        generic_setattr(dest, "inner", outer_cls.Inner.Deepest())
        with pytest.raises(
            TypeError,
            match="^invalid source message type, expected Outer.Inner.Deepest, got Outer.Inner$",
        ):
            dest.merge_from(outer_cls(inner=outer_cls.Inner()))

    def test_source_that_is_no_message(self, p3: Callable[[str], Any]) -> None:
        with pytest.raises(TypeError, match="'int' object is not an instance of 'NativeMessage'"):
            p3("Scalars")()._merge_from(5, False)

    def test_map_mutated_while_merging(self, own_registry: velum.Registry) -> None:
        forest = own_registry.message_class("velum.test.shapes.Forest")
        source = forest(subforests={"a": forest(), "b": forest()})
        target = forest()

        def intruding_new(cls: type) -> Any:
            source.subforests[f"new{len(source.subforests)}"] = None
            return NativeMessage.__new__(cls)

        forest.__new__ = staticmethod(intruding_new)
        try:
            with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
                target.merge_from(source)
        finally:
            del forest.__new__


class TestMergeOneofs:
    def test_member_is_switched(self, p3: Callable[[str], Any]) -> None:
        target = p3("WithOneof")(kind=Oneof("number", 1), other=Oneof("flag", True))
        target.merge_from(p3("WithOneof")(kind=Oneof("text", "t")))
        assert target.kind == Oneof("text", "t")
        assert target.other == Oneof("flag", True)  # None in the source leaves it

    def test_same_message_member_is_merged_into(self, p3: Callable[[str], Any]) -> None:
        # As binary merge does: the target's sub-message keeps what the source lacks.
        scalars = p3("Scalars")
        target = p3("WithOneof")(kind=Oneof("message", scalars(f_int32=1, f_string="keep")))
        source = p3("WithOneof")(kind=Oneof("message", scalars(f_int32=2)))
        target.merge_from(source)
        assert target.kind.value is not source.kind.value
        assert (target.kind.value.f_int32, target.kind.value.f_string) == (2, "keep")

    def test_scalar_member_shares_the_oneof(self, p3: Callable[[str], Any]) -> None:
        source = p3("WithOneof")(kind=Oneof("number", 0))  # a oneof member is never a default
        target = p3("WithOneof")(kind=Oneof("number", 5))
        target.merge_from(source)
        assert target.kind is source.kind


class TestMergeUnknownFields:
    def test_records_are_appended_per_number(self, p3: Callable[[str], Any]) -> None:
        source, target = p3("Scalars")(), p3("Scalars")()
        source._get_or_init_unknown_fields().update({100: [b"\xa0\x06\x02"], 3: [b"\x18\x01"]})
        target._get_or_init_unknown_fields()[100] = [b"\xa0\x06\x01"]
        target.merge_from(source)
        target.merge_from(source)
        assert target._unknown_fields == {
            100: [b"\xa0\x06\x01", b"\xa0\x06\x02", b"\xa0\x06\x02"],
            3: [b"\x18\x01", b"\x18\x01"],
        }
        assert list(target._unknown_fields) == [100, 3]
        assert source._unknown_fields == {100: [b"\xa0\x06\x02"], 3: [b"\x18\x01"]}

    def test_ignored_unknown_fields_leave_target_alone(self, p3: Callable[[str], Any]) -> None:
        source = p3("Outer")(inner=p3("Outer").Inner())
        source._get_or_init_unknown_fields()[100] = [b"\xa0\x06\x02"]
        source.inner._get_or_init_unknown_fields()[100] = [b"\xa0\x06\x02"]
        target = p3("Outer")(inner=p3("Outer").Inner())
        target._merge_from(source, True)
        assert target._unknown_fields is None and target.inner._unknown_fields is None

    @pytest.mark.parametrize("side", ["source", "target"])
    def test_non_list_value_is_rejected(self, p3: Callable[[str], Any], side: str) -> None:
        source, target = p3("Scalars")(), p3("Scalars")()
        source._get_or_init_unknown_fields()[100] = [b"\xa0\x06\x02"]
        {"source": source, "target": target}[side]._get_or_init_unknown_fields()[100] = b"x"
        with pytest.raises(TypeError, match="^'bytes' object is not an instance of 'list'$"):
            target.merge_from(source)


class TestImplicitDefaultsAreNotMerged:
    @pytest.mark.parametrize(
        ("field", "value", "default"),
        [
            ("f_int32", 5, 0),
            ("f_uint64", 2**64 - 1, 0),
            ("f_bool", True, False),
            ("f_string", "x", ""),
            ("f_bytes", b"x", b""),
            ("f_double", 1.5, 0.0),
            ("f_float", 1.5, 0.0),
            ("f_status", 2, 0),
        ],
    )
    def test_default_source_value_keeps_target(
        self, p3: Callable[[str], Any], field: str, value: object, default: object
    ) -> None:
        target = p3("Scalars")(**{field: value})
        source = p3("Scalars")(**{field: default})
        target.merge_from(source)
        assert getattr(target, field) == value

    @pytest.mark.parametrize("value", [-0.0, math.nan])
    def test_negative_zero_and_nan_are_merged(self, p3: Callable[[str], Any], value: float) -> None:
        target = p3("Scalars")(f_double=1.5)
        target.merge_from(p3("Scalars")(f_double=value))
        assert target.f_double is value

    def test_enum_default_member_is_skipped(self, p3: Callable[[str], Any]) -> None:
        status = p3("Scalars")._desc.fields[-1].value.enum.type
        target = p3("Scalars")(f_status=status(2))
        target.merge_from(p3("Scalars")(f_status=status(0)))
        assert target.f_status == 2

    def test_non_numeric_value_in_double_field_is_carried_over(
        self, p3: Callable[[str], Any]
    ) -> None:
        source = p3("Scalars")()
        generic_setattr(source, "f_double", "not a number")
        target = p3("Scalars")(f_double=1.5)
        target.merge_from(source)
        assert target.f_double == "not a number"

    def test_merge_agrees_with_the_encoding(self, p3: Callable[[str], Any]) -> None:
        target = p3("Scalars")(f_int32=5, f_string="keep")
        target.merge_from(p3("Scalars")(f_double=2.0))
        assert (
            target.to_binary()
            == p3("Scalars")(f_int32=5, f_string="keep", f_double=2.0).to_binary()
        )


def chain(cls: Any, length: int) -> Any:
    """`length` messages, each the `next` of the one before."""
    head = cls(value=0)
    for value in range(1, length):
        head = cls(next=head, value=value)
    return head


class TestNestingLimit:
    def test_self_containing_message(self, shapes: Callable[[str], Any]) -> None:
        cls = shapes("SelfRecursive")
        m = cls()
        m.next = m
        with pytest.raises(
            RecursionError, match="^exceeded maximum recursion depth 100 while copying message$"
        ):
            copy.deepcopy(m)
        with pytest.raises(
            RecursionError, match="^exceeded maximum recursion depth 100 while merging message$"
        ):
            cls().merge_from(m)
        with pytest.raises(RecursionError, match="while merging message$"):
            m.merge_from(m)
        assert copy.copy(m).next is m

    def test_message_in_its_own_list(self, shapes: Callable[[str], Any]) -> None:
        node = shapes("TreeNode")()
        node.children.append(node)
        for operation in (copy.deepcopy, lambda m: shapes("TreeNode")().merge_from(m)):
            with pytest.raises(
                RecursionError, match="^exceeded maximum recursion depth 100 while copying message$"
            ):
                operation(node)

    def test_limit_is_the_codecs_one(self, shapes: Callable[[str], Any]) -> None:
        cls = shapes("SelfRecursive")
        deepest_allowed = chain(cls, 101)  # depths 0 to 100
        assert copy.deepcopy(deepest_allowed) == deepest_allowed
        target = cls()
        target.merge_from(deepest_allowed)
        assert target == deepest_allowed
        too_deep = chain(cls, 102)
        with pytest.raises(RecursionError, match="copying"):
            copy.deepcopy(too_deep)
        with pytest.raises(RecursionError, match="merging"):
            cls().merge_from(too_deep)


# ---- cross-check against the protobuf package --------------------------------

I32 = st.integers(-(2**31), 2**31 - 1)
I64 = st.integers(-(2**63), 2**63 - 1)
U32 = st.integers(0, 2**32 - 1)
U64 = st.integers(0, 2**64 - 1)
KIND = st.integers(0, 2)
TEXT = st.text(max_size=4)
DOUBLE = st.floats(allow_nan=False)

LEAF = st.fixed_dictionaries(
    {},
    optional={
        "a": st.one_of(st.sampled_from([0, 1]), I32),
        "s": st.one_of(st.sampled_from(["", "x"]), TEXT),
        "o": I64,
        "r": st.lists(I32, max_size=3),
    },
)

SCALARS: dict[str, st.SearchStrategy[Any]] = {
    "f_double": DOUBLE,
    "f_float": st.floats(allow_nan=False, width=32),
    "f_int64": I64,
    "f_uint64": U64,
    "f_int32": I32,
    "f_fixed64": U64,
    "f_fixed32": U32,
    "f_bool": st.booleans(),
    "f_string": TEXT,
    "f_bytes": st.binary(max_size=4),
    "f_uint32": U32,
    "f_sfixed32": I32,
    "f_sfixed64": I64,
    "f_sint32": I32,
    "f_sint64": I64,
    "f_kind": KIND,
    "o_int32": I32,
    "o_string": TEXT,
    "o_kind": KIND,
    "o_double": DOUBLE,
    "r_int32": st.lists(I32, max_size=3),
    "r_string": st.lists(TEXT, max_size=3),
    "r_kind": st.lists(KIND, max_size=3),
    "r_double": st.lists(DOUBLE, max_size=3),
    "m_string": st.dictionaries(I32, TEXT, max_size=3),
    "m_kind": st.dictionaries(TEXT, KIND, max_size=3),
}
# Small value pools make equal values (and so defaults and shared map keys) likely.
SMALL: dict[str, st.SearchStrategy[Any]] = {
    "f_int32": st.sampled_from([0, 1]),
    "f_string": st.sampled_from(["", "x"]),
    "f_double": st.sampled_from([0.0, -0.0, 1.0]),
    "m_string": st.dictionaries(st.sampled_from([0, 1]), st.sampled_from(["", "y"]), max_size=2),
}


def rich_values(depth: int) -> st.SearchStrategy[dict[str, Any]]:
    fields = {
        **{name: st.one_of(SMALL[name], s) if name in SMALL else s for name, s in SCALARS.items()},
        "leaf": LEAF,
        "r_leaf": st.lists(LEAF, max_size=2),
        "m_leaf": st.dictionaries(st.sampled_from(["a", "b"]), LEAF, max_size=2),
        "choice": st.one_of(
            st.tuples(st.just("c_int32"), I32),
            st.tuples(st.just("c_string"), TEXT),
            st.tuples(st.just("c_leaf"), LEAF),
            st.tuples(st.just("c_kind"), KIND),
        ),
    }
    if depth > 0:
        fields["child"] = rich_values(depth - 1)
    return st.fixed_dictionaries({}, optional=fields)


def build_velum(cls: Any, values: dict[str, Any]) -> Any:
    kwargs: dict[str, Any] = {}
    for name, value in values.items():
        if name == "choice":
            member, inner = value
            kwargs[name] = Oneof(
                member, build_velum(cls.Leaf, inner) if member == "c_leaf" else inner
            )
        elif name in ("leaf", "child"):
            kwargs[name] = build_velum(cls.Leaf if name == "leaf" else cls, value)
        elif name == "r_leaf":
            kwargs[name] = [build_velum(cls.Leaf, v) for v in value]
        elif name == "m_leaf":
            kwargs[name] = {k: build_velum(cls.Leaf, v) for k, v in value.items()}
        else:
            kwargs[name] = value
    return cls(**kwargs)


def build_reference(msg: Any, values: dict[str, Any]) -> Any:
    for name, value in values.items():
        if name == "choice":
            member, inner = value
            if member == "c_leaf":
                build_reference(msg.c_leaf, inner).SetInParent()
            else:
                setattr(msg, member, inner)
        elif name in ("leaf", "child"):
            build_reference(getattr(msg, name), value).SetInParent()
        elif name == "r_leaf":
            for v in value:
                build_reference(msg.r_leaf.add(), v)
        elif name == "m_leaf":
            for k, v in value.items():
                build_reference(msg.m_leaf[k], v)
        elif isinstance(value, list):
            getattr(msg, name).extend(value)
        elif isinstance(value, dict):
            getattr(msg, name).update(value)
        else:
            setattr(msg, name, value)
    return msg


@pytest.fixture(scope="module")
def cross_classes(compiler: Any) -> tuple[Any, Any]:
    from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

    data = compiler("test_merge_cross.proto")
    reg = velum.Registry()
    reg.add_file_set(data)
    pool = descriptor_pool.DescriptorPool()
    for file in descriptor_pb2.FileDescriptorSet.FromString(data).file:
        pool.Add(file)
    reference = message_factory.GetMessageClass(
        pool.FindMessageTypeByName("velum.test.mergecross.Rich")
    )
    rich = reg.message_class("velum.test.mergecross.Rich")
    rich.Leaf = reg.message_class("velum.test.mergecross.Leaf")
    return rich, reference


@pytest.fixture(scope="module")
def reduced_class(compiler: Any) -> Any:
    reg = velum.Registry()
    reg.add_file_set(compiler("test_merge_cross_reduced.proto"))
    return reg.message_class("velum.test.mergecross.reduced.Rich")


class TestMergeAgreesWithReference:
    @settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(target=rich_values(2), source=rich_values(2))
    def test_merge_from(
        self, cross_classes: tuple[Any, Any], target: dict[str, Any], source: dict[str, Any]
    ) -> None:
        rich, reference = cross_classes
        # First: the velum messages take over the generated lists and dicts.
        expected = build_reference(reference(), target)
        expected.MergeFrom(build_reference(reference(), source))
        ours = build_velum(rich, target)
        ours.merge_from(build_velum(rich, source))
        assert reference.FromString(ours.to_binary()) == expected

    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(target=rich_values(2), source=rich_values(2))
    def test_merge_of_decoded_messages_with_unknown_fields(
        self,
        cross_classes: tuple[Any, Any],
        reduced_class: Any,
        target: dict[str, Any],
        source: dict[str, Any],
    ) -> None:
        _, reference = cross_classes
        theirs = build_reference(reference(), target)
        addition = build_reference(reference(), source)
        ours = reduced_class.from_binary(theirs.SerializeToString())
        ours.merge_from(reduced_class.from_binary(addition.SerializeToString()))
        theirs.MergeFrom(addition)
        assert reference.FromString(ours.to_binary()) == theirs
