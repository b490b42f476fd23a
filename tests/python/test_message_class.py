"""Generated message classes are made natively; they must behave as type() made them."""

from __future__ import annotations

import copy
import gc
import pickle
import sys
import sysconfig
import weakref
from typing import Any

import pytest
from _velum_ext import NativeMessage, _message_class
from google.protobuf import descriptor_pb2

import velum
from velum._message import Message

F = descriptor_pb2.FieldDescriptorProto


def _node_set() -> bytes:
    """`graph.Node`: a recursive message with a private-looking field and a nested type."""
    file = descriptor_pb2.FileDescriptorProto(name="graph.proto", package="graph", syntax="proto3")
    node = file.message_type.add(name="Node")
    node.field.add(name="name", number=1, type=F.TYPE_STRING, label=F.LABEL_OPTIONAL)
    node.field.add(name="child", number=2, type=F.TYPE_MESSAGE, label=F.LABEL_OPTIONAL,
                   type_name=".graph.Node")
    node.field.add(name="children", number=3, type=F.TYPE_MESSAGE, label=F.LABEL_REPEATED,
                   type_name=".graph.Node")
    node.field.add(name="__x", number=4, type=F.TYPE_INT32, label=F.LABEL_OPTIONAL)
    node.nested_type.add(name="Tag").field.add(
        name="label", number=1, type=F.TYPE_STRING, label=F.LABEL_OPTIONAL
    )
    return descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString()


def _node_class() -> Any:
    registry = velum.Registry()
    registry.add_file_set(_node_set())
    return registry.message_class("graph.Node")


@pytest.fixture(scope="module")
def node() -> Any:
    registry = velum.Registry()
    registry.add_file_set(_node_set())
    velum.register_registry("test_message_class", registry)  # for unpickling
    return registry.message_class("graph.Node")


class Holder:
    """A weakly referenceable value to close a cycle through a field slot."""

    other: Any = None


def test_the_class_looks_as_type_makes_it(node: Any) -> None:
    assert (node.__name__, node.__qualname__, node.__module__) == ("Node", "Node", "graph")
    assert node.__slots__ == ("name", "child", "children", "__x")
    assert node.__match_args__ == ("name", "child", "children", "__x")
    assert node.__mro__[1:] == (NativeMessage, Message, object)
    assert node.__doc__ is None and repr(node) == "<class 'graph.Node'>"
    assert node.Tag.__qualname__ == "Node.Tag" and node.Tag.__module__ == "graph"
    assert type(node.__dict__["name"]).__name__ == "member_descriptor"
    m = node(name="a", __x=3)
    assert m.__x == 3 and getattr(m, "__x") == 3 and isinstance(m, Message)
    assert not hasattr(m, "__dict__")
    with pytest.raises(AttributeError, match="'Node' object has no attribute 'extra'"):
        m.extra = 1
    with pytest.raises(TypeError, match="unhashable type: 'Node'"):
        hash(m)
    assert m == node.from_binary(m.to_binary()) and m != node(name="b")
    assert repr(m) == repr(copy.deepcopy(m))


def test_an_unset_slot_reads_as_a_missing_attribute(node: Any) -> None:
    m = node.__new__(node)
    with pytest.raises(AttributeError, match="object has no attribute 'name'"):
        node.__dict__["name"].__get__(m)


def test_class_attributes_and_special_methods_of_message_apply(node: Any) -> None:
    m = node(children=[node(name="c")])
    assert "Node" in repr(m)
    assert pickle.loads(pickle.dumps(m)) == m
    node.note = "set on the class"  # classes stay mutable (lazy nested enums rely on it)
    assert m.note == "set on the class"
    del node.note


@pytest.mark.parametrize("link", ["child", "children"])
def test_a_cycle_through_a_field_slot_is_collected(node: Any, link: str) -> None:
    m = node()
    holder = Holder()
    setattr(m, link, holder if link == "child" else [holder])
    holder.other = m
    gone = weakref.ref(holder)
    del m, holder
    gc.collect()
    assert gone() is None


def test_dropping_an_instance_releases_every_slot(node: Any) -> None:
    values = [Holder() for _ in range(3)]
    refs = [weakref.ref(v) for v in values]
    m = node(name=values[0], child=values[1], children=values[2])
    del values, m
    assert [r() for r in refs] == [None, None, None]


def test_a_long_chain_is_freed_without_deep_recursion(node: Any) -> None:
    head = node()
    for _ in range(200_000):
        head = node(child=head)
    del head  # would overflow the C stack without the interpreter's trashcan


def _same_size_classes() -> tuple[Any, Any]:
    """Two unrelated types of four fields each, so of one instance size."""
    file = descriptor_pb2.FileDescriptorProto(name="pair.proto", package="pair", syntax="proto3")
    for name in ("A", "B"):
        message = file.message_type.add(name=name)
        for number, field in enumerate(("w", "x", "y", "z"), 1):
            message.field.add(name=field, number=number, type=F.TYPE_STRING,
                              label=F.LABEL_OPTIONAL)
    registry = velum.Registry()
    registry.add_file_set(descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString())
    return registry.message_class("pair.A"), registry.message_class("pair.B")


@pytest.mark.parametrize("by_keywords", [False, True])
def test_freed_memory_serves_another_class_without_leftovers(by_keywords: bool) -> None:
    a, b = _same_size_classes()
    full = b"\x0a\x01w\x12\x01x\x1a\x01y\x22\x01z\xf8\x06\x01"  # and an unknown field

    def make(data: bytes) -> Any:
        if not by_keywords:
            return b.from_binary(data)
        return b(x=data[2:].decode()) if data else b()

    for _ in range(3):
        olds = [a.from_binary(full) for _ in range(300)]
        del olds
        news = [make(b"\x12\x01q") for _ in range(300)]
        assert all(n.to_binary() == b"\x12\x01q" and (n.w, n.x) == ("", "q") for n in news)
        assert all(type(n) is b and gc.is_tracked(n) and n._unknown_fields is None for n in news)
        del news
    # A finaliser given to the class later runs for every instance made after it.
    finalised: list[int] = []
    b.__del__ = lambda self: finalised.append(1)
    news = [make(b"") for _ in range(5)]
    del news
    assert len(finalised) == 5


def test_freed_instances_keep_no_class_alive() -> None:
    a, b = _same_size_classes()
    made = [a.from_binary(b"\x0a\x01w") for _ in range(50)] + [b() for _ in range(50)]
    gone = [weakref.ref(a), weakref.ref(b)]
    del a, b, made
    gc.collect()
    assert [r() for r in gone] == [None, None]


def _linked_set() -> bytes:
    """Types whose marshalers reach other types' classes, an enum with a proto2
    default, and a map of enum values: every kind of reference a marshaler holds."""
    file = descriptor_pb2.FileDescriptorProto(name="linked.proto", package="linked",
                                              syntax="proto2")
    file.enum_type.add(name="Mood").value.add(name="CALM", number=0)
    file.enum_type[0].value.add(name="GLAD", number=1)
    outer = file.message_type.add(name="Outer")
    outer.field.add(name="mood", number=1, type=F.TYPE_ENUM, label=F.LABEL_OPTIONAL,
                    type_name=".linked.Mood", default_value="GLAD")
    outer.field.add(name="inner", number=2, type=F.TYPE_MESSAGE, label=F.LABEL_OPTIONAL,
                    type_name=".linked.Inner")
    outer.field.add(name="moods", number=3, type=F.TYPE_MESSAGE, label=F.LABEL_REPEATED,
                    type_name=".linked.Outer.MoodsEntry")
    entry = outer.nested_type.add(name="MoodsEntry")
    entry.options.map_entry = True
    entry.field.add(name="key", number=1, type=F.TYPE_STRING, label=F.LABEL_OPTIONAL)
    entry.field.add(name="value", number=2, type=F.TYPE_ENUM, label=F.LABEL_OPTIONAL,
                    type_name=".linked.Mood")
    inner = file.message_type.add(name="Inner")
    inner.field.add(name="outer", number=1, type=F.TYPE_MESSAGE, label=F.LABEL_OPTIONAL,
                    type_name=".linked.Outer")
    return descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString()


@pytest.mark.parametrize("used", [False, True], ids=["instance-after-drop", "instance-before"])
def test_a_dropped_registry_is_collected_and_its_live_class_keeps_working(used: bool) -> None:
    def load() -> tuple[Any, Any]:
        registry = velum.Registry()
        registry.add_file_set(_linked_set())
        return registry.message_class("linked.Outer"), registry.message_class("linked.Inner")

    outer, inner = load()
    if used:  # the first instance fills the enum default and the lazy tables
        data = outer(inner=inner(outer=outer()), moods={"a": 1}).to_binary()
        assert outer.from_binary(data).mood == 1
    gone = [weakref.ref(outer), weakref.ref(inner)]
    del inner
    gc.collect()  # the registry is gone; what the class reaches must stay
    decoded = outer.from_binary(b"\x12\x02\x0a\x00\x1a\x05\x0a\x01b\x10\x01")
    assert decoded.inner.outer.mood == 1 and decoded.moods == {"b": 1}
    del outer, decoded
    gc.collect()
    assert [r() for r in gone] == [None, None]


def test_a_member_descriptor_outliving_its_class_stays_usable() -> None:
    member = _node_class().__dict__["__x"]
    gc.collect()
    cls = member.__objclass__  # the descriptor keeps its class, and so the slot names
    assert member.__name__ == "__x" and "__x" in repr(member)
    m = cls(__x=5)
    assert member.__get__(m) == 5
    member.__set__(m, 6)
    assert m.__x == 6
    del cls, m
    gc.collect()
    assert member.__name__ == "__x"


@pytest.mark.parametrize("change", ["none", "deleted", "replaced", "instance"])
def test_slot_descriptors_leave_a_dropped_class_collectable(change: str) -> None:
    """The slots' descriptors stay out of the collector's lists; a descriptor held
    keeps its class, and the class goes with its registry however its dict changed."""
    cls = _same_size_classes()[0]
    held = cls.__dict__["x"]
    if change == "deleted":
        del cls.x
    elif change == "replaced":
        cls.x = "a class attribute"
    elif change == "instance":
        m = cls(w="a", x="b")
        assert (m.w, m.x) == ("a", "b")
        held.__set__(m, "c")
        assert m.x == "c" and cls.from_binary(m.to_binary()).x == "c"
        del m
    gone = weakref.ref(cls)
    del cls
    gc.collect()
    assert gone() is held.__objclass__
    assert type(held).__name__ == "member_descriptor"
    assert repr(held) == "<member 'x' of 'A' objects>"
    del held
    gc.collect()
    assert gone() is None


# Kept off the collector's lists only where its list layout is known.
_PARKS_SLOTS = sys.version_info[:2] in ((3, 12), (3, 13)) and not sysconfig.get_config_var(
    "Py_GIL_DISABLED"
)


@pytest.mark.skipif(not _PARKS_SLOTS, reason="slot descriptors are tracked as usual here")
def test_a_class_adds_no_tracked_object_per_slot() -> None:
    file = descriptor_pb2.FileDescriptorProto(name="wide.proto", package="wide", syntax="proto3")
    wide = file.message_type.add(name="Wide")
    for number in range(1, 301):
        wide.field.add(name=f"f{number}", number=number, type=F.TYPE_INT32, label=F.LABEL_OPTIONAL)
    registry = velum.Registry()
    registry.add_file_set(descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString())
    desc = registry.message("wide.Wide")
    assert desc is not None and len(desc.fields) == 300  # the field descriptors first
    gc.collect()
    tracked = len(gc.get_objects())
    cls = registry.message_class("wide.Wide")
    assert gc.get_count()[0] < 50  # nor brings the next young collection nearer by a slot
    gc.collect()
    assert len(gc.get_objects()) - tracked < 50
    assert cls(f7=7).f7 == 7


def _subclasses(node: Any) -> list[type]:
    class Plain(node):
        pass

    class Slotted(node):
        __slots__ = ("extra",)

    class Constructed(node):
        made: list[str] = []

        def __new__(cls, *args: Any, **kwargs: Any) -> Any:
            cls.made.append("new")
            return super().__new__(cls)

        def __init__(self, **fields: Any) -> None:
            super().__init__(**fields)
            self.made.append("init")

    return [Plain, Slotted, Constructed]


@pytest.mark.parametrize("index", [0, 1, 2])
def test_user_subclasses_work(node: Any, index: int) -> None:
    sub = _subclasses(node)[index]
    m = sub(name="n", child=node(name="c"))
    assert m.name == "n" and m.child.name == "c"
    if sub.__name__ != "Constructed":
        m.extra = Holder()
        m.extra.other = m  # a cycle through the subclass's own slot or dict
        gone = weakref.ref(m.extra)
    decoded = sub.from_binary(m.to_binary())
    assert type(decoded) is sub and decoded == m
    assert type(copy.copy(m)) is sub and type(copy.deepcopy(m)) is sub
    if sub.__name__ != "Constructed":
        del m
        gc.collect()
        assert gone() is None


@pytest.mark.parametrize("read", [
    lambda cls: cls.from_json('{"__x": 3}'),
    lambda cls: cls.from_dict({"__x": 3}),
    lambda cls: cls.from_binary(b"\x20\x03"),
], ids=["from_json", "from_dict", "from_binary"])
def test_defaults_replace_what_an_own_new_stored_without_leaking_it(node: Any, read: Any) -> None:
    held = "".join(["held", "-", "name"])  # not interned: its count is its own
    children: list[Any] = []

    class Presetting(node):  # type: ignore[misc]
        def __new__(cls, *args: Any, **kwargs: Any) -> Any:
            made = super().__new__(cls)
            made.name = held
            made.children = children
            return made

    before = sys.getrefcount(held), sys.getrefcount(children)
    for _ in range(3):
        m = read(Presetting)
        assert type(m) is Presetting and m.name == "" and m.children == [] and m.__x == 3
        assert m.children is not children
        del m
    assert (sys.getrefcount(held), sys.getrefcount(children)) == before


def test_a_cycle_through_a_subclass_and_a_field_is_collected(node: Any) -> None:
    plain = _subclasses(node)[0]
    m = plain()
    holder = Holder()
    m.child = holder
    holder.other = m
    gone = weakref.ref(holder)
    del m, holder
    gc.collect()
    assert gone() is None


BASES = (NativeMessage, Message)


@pytest.mark.parametrize(
    "namespace",
    [
        {"__slots__": ("a",), "__len__": lambda self: 1},  # a special method type() must wire
        {"__slots__": ("a",), "a": 1},  # type() refuses a slot shadowed by a class attribute
        # ... wherever the attribute comes among many (the first few are checked apart)
        {"__slots__": ("x", "k11"), **{f"k{i}": i for i in range(12)}},
        {"__slots__": ("x", "k3"), **{f"k{i}": i for i in range(12)}},
        {"__slots__": ("x", 3), **{f"k{i}": i for i in range(12)}},
        {"__slots__": ("not an identifier",)},
        {"__slots__": ["a"]},
        {"__slots__": ("__dict__",)},
    ],
)
def test_what_only_type_handles_is_left_to_it(namespace: dict[str, Any]) -> None:
    namespace = {"__module__": "m", "__qualname__": "Q", **namespace}
    assert _message_class(BASES, "Q", namespace) is None


def test_many_class_attributes_beside_the_slots_are_kept() -> None:
    namespace = {"__module__": "m", "__qualname__": "Q", "__slots__": ("x", "k"),
                 **{f"k{i}": i for i in range(12)}}  # fmt: skip
    cls = _message_class(BASES, "Q", namespace)
    assert cls is not None and [getattr(cls, f"k{i}") for i in range(12)] == list(range(12))


def test_a_native_class_takes_its_names_as_given() -> None:
    cls = _message_class(BASES, "Q", {"__slots__": ("__a", "b"), "__module__": "m.n",
                                      "__qualname__": "Outer.Q", "extra": 7})
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.extra) == ("Q", "Outer.Q", "m.n", 7)
    assert set(cls.__dict__) >= {"__a", "b", "__slots__"} and "__qualname__" not in cls.__dict__


@pytest.mark.parametrize("prefix", ["", "a", "abcdefg", "abcdefgh", "a" * 16, "a" * 24, "a" * 40])
def test_slot_names_type_would_refuse_are_told_at_every_position(prefix: str) -> None:
    for code in range(128):
        name = prefix + chr(code) + "tail_of_9"
        namespace = {"__module__": "m", "__qualname__": "Q", "__slots__": (name,)}
        made = _message_class(BASES, "Q", namespace)
        assert (made is None) == (not name.isidentifier()), repr(name)


def test_a_finalizer_assigned_to_a_class_later_runs() -> None:
    cls = _node_class()
    seen: list[str] = []
    cls.__del__ = lambda self: seen.append(self.name)
    m = cls(name="x")
    del m
    assert seen == ["x"]
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(cls())  # as with type(): the slots declare no __weakref__


def _oneof_set() -> bytes:
    """`shapes.Mixed`: fields around two oneofs, one of them declared out of field order,
    and a proto3 optional field (whose synthetic oneof is no attribute)."""
    file = descriptor_pb2.FileDescriptorProto(name="shapes.proto", package="shapes",
                                              syntax="proto3")
    mixed = file.message_type.add(name="Mixed")
    mixed.oneof_decl.add(name="late")
    mixed.oneof_decl.add(name="early")
    mixed.oneof_decl.add(name="_maybe")
    plain = {"type": F.TYPE_INT32, "label": F.LABEL_OPTIONAL}
    mixed.field.add(name="a", number=1, **plain)
    mixed.field.add(name="b", number=2, oneof_index=1, **plain)
    mixed.field.add(name="c", number=3, oneof_index=0, **plain)
    mixed.field.add(name="d", number=4, **plain)
    mixed.field.add(name="e", number=5, oneof_index=1, **plain)
    mixed.field.add(name="maybe", number=6, oneof_index=2, proto3_optional=True, **plain)
    file.message_type.add(name="Empty")
    return descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString()


@pytest.mark.parametrize("name", ["shapes.Mixed", "shapes.Empty"])
def test_slots_and_match_args_follow_the_fields_and_oneofs(name: str) -> None:
    registry = velum.Registry()
    registry.add_file_set(_oneof_set())
    cls = registry.message_class(name)
    desc = cls._desc
    slots = [f.local_name for f in desc.fields if f.oneof is None]
    slots += [o.local_name for o in desc.oneofs]
    attributes = [f.local_name if f.oneof is None else f.oneof.local_name for f in desc.fields]
    assert cls.__slots__ == tuple(slots)
    assert cls.__match_args__ == tuple(dict.fromkeys(attributes))
    if name == "shapes.Mixed":
        assert cls.__slots__ == ("a", "d", "maybe", "late", "early")
        assert cls.__match_args__ == ("a", "early", "late", "d", "maybe")


def test_attribute_names_wants_lists() -> None:
    from _velum_ext import _attribute_names

    with pytest.raises(TypeError, match="takes two lists"):
        _attribute_names((), [])


def test_a_field_named_like_the_slot_holder_keeps_its_attribute() -> None:
    file = descriptor_pb2.FileDescriptorProto(
        name="holder.proto", package="holder", syntax="proto3"
    )
    msg = file.message_type.add(name="M")
    for number, name in enumerate(["a", "__slot_members__", "b"], start=1):
        msg.field.add(name=name, number=number, type=F.TYPE_INT32, label=F.LABEL_OPTIONAL)
    registry = velum.Registry()
    registry.add_file_set(descriptor_pb2.FileDescriptorSet(file=[file]).SerializeToString())
    cls = registry.message_class("holder.M")
    m = cls(a=1, __slot_members__=2, b=3)
    assert (m.a, m.__slot_members__, m.b) == (1, 2, 3)
    assert cls.from_binary(m.to_binary()) == m
    gone = weakref.ref(cls)
    del cls, m, registry
    gc.collect()
    assert gone() is None
