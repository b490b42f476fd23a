"""Type stubs (.pyi) for generated modules, for mypy, pyright and editors.

Imports are aliased with a leading underscore and every builtin is written through
`_builtins`, so that a field called `int` or `typing` cannot shadow a name a stub
needs. A reference to a top-level type that a field of the class body hides goes
through a module-level alias instead.
"""

from __future__ import annotations

import keyword
from collections.abc import Iterable

from velum._classes import RESERVED_MESSAGE_NAMES
from velum._codegen import dependency_alias, python_name
from velum._descriptors import (
    DescEnum,
    DescField,
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescFile,
    DescMessage,
    ScalarType,
)
from velum._generated import PLUGIN_FILE_NAMES, module_name_for
from velum._registry import WKT_FILE_NAMES

_SCALAR_TYPES = {
    ScalarType.DOUBLE: "_builtins.float",
    ScalarType.FLOAT: "_builtins.float",
    ScalarType.BOOL: "_builtins.bool",
    ScalarType.STRING: "_builtins.str",
    ScalarType.BYTES: "_builtins.bytes",
}


_WKT_MODULE = "velum.wkt"


def _scalar(scalar: ScalarType) -> str:
    return _SCALAR_TYPES.get(scalar, "_builtins.int")


class StubWriter:
    """Writes the stub of the module that holds the types of `files`."""

    def __init__(self, files: Iterable[DescFile]) -> None:
        self._files = set(files)
        self._lines: list[str] = []
        self._aliases: dict[str, str] = {}  # alias -> top-level name
        self._imports: set[str] = set()

    def write(self, header: str, extra: Iterable[str] = ()) -> str:
        body = self._lines
        for file in sorted(self._files, key=lambda f: f.name):
            for enum_desc in file.enums:
                self._enum(enum_desc, "")
                body.append("")
            for desc in file.messages:
                self._message(desc, "")
                body.append("")
        body.extend(extra)
        for alias, name in sorted(self._aliases.items()):
            body.append(f"{alias}: _typing.TypeAlias = {name}")
        # Only the imports the body uses: strict checkers flag an unused one even in a stub.
        text = "\n".join(body)
        head = [f'"""{header}"""', ""]
        head += [f"import {m} as _{m}" for m in ("builtins", "typing") if f"_{m}." in text]
        head += ["", "import velum as _velum"]
        head += [f"import {module} as {_import_alias(module)}" for module in sorted(self._imports)]
        return "\n".join([*head, "", *body, ""])

    # Declarations

    def _enum(self, desc: DescEnum, indent: str) -> None:
        base = "_velum.OpenEnum" if desc.open else "_velum.ClosedEnum"
        self._lines.append(f"{indent}class {python_name(desc.name)}({base}):")
        for value in desc.values:
            self._lines.append(f"{indent}    {value.local_name} = {value.number}")

    def _message(self, desc: DescMessage, indent: str) -> None:
        inner = indent + "    "
        self._lines.append(f"{indent}class {python_name(desc.name)}(_velum.Message):")
        for nested in desc.nested_enums:
            if _reachable(nested.name):
                self._enum(nested, inner)
        for child in desc.nested_messages:
            if not child.is_map_entry and _reachable(child.name):
                self._message(child, inner)
        shadowed = {f.local_name for f in desc.fields} | {o.local_name for o in desc.oneofs}
        shadowed |= {m.name for m in desc.nested_messages} | {e.name for e in desc.nested_enums}
        attributes = self._attributes(desc, shadowed)
        names = [f'"{name}"' for name, _, _ in attributes]
        self._lines.append(f"{inner}__match_args__ = {_tuple(names)}")
        for name, annotation, accepted in attributes:
            if annotation == accepted:
                self._lines.append(f"{inner}{name}: {annotation}")
                continue
            # A oneof reads as a union of members, so that testing `.field` narrows
            # `.value`, and accepts any member, so that `Oneof("name", v)` type-checks.
            self._lines.append(f"{inner}@_builtins.property")
            self._lines.append(f"{inner}def {name}(self) -> {annotation}: ...")
            self._lines.append(f"{inner}@{name}.setter")
            self._lines.append(f"{inner}def {name}(self, value: {accepted}) -> None: ...")
        params = [f"{name}: {_optional(accepted)} = ..." for name, _, accepted in attributes]
        if not params:
            self._lines.append(f"{inner}def __init__(self) -> None: ...")
            return
        # The instance is positional-only, under another name if a field is called self;
        # checkers accept a leading underscore there in place of "self".
        instance = "self"
        taken = {name for name, _, _ in attributes}
        if instance in taken:
            instance = "_self"
            while instance in taken:
                instance += "_"
        self._lines.append(f"{inner}def __init__(")
        self._lines.append(f"{inner}    {instance},")
        self._lines.append(f"{inner}    /,")
        self._lines.append(f"{inner}    *,")
        self._lines += [f"{inner}    {param}," for param in params]
        self._lines.append(f"{inner}) -> None: ...")

    def _attributes(self, desc: DescMessage, shadowed: set[str]) -> list[tuple[str, str, str]]:
        """(attribute, type read, type accepted) in field order; a oneof stands where its
        first member is."""
        result: list[tuple[str, str, str]] = []
        done: set[str] = set()
        for field in desc.fields:
            oneof = field.oneof
            if oneof is None:
                annotation = self._field_type(field, shadowed)
                result.append((field.local_name, annotation, annotation))
                continue
            if oneof.local_name in done:
                continue
            done.add(oneof.local_name)
            members = [(m.local_name, self._value_type(m, shadowed)) for m in oneof.fields]
            read = " | ".join(
                [*(f'_velum.Oneof[_typing.Literal["{n}"], {t}]' for n, t in members), "None"]
            )
            names = ", ".join(f'"{n}"' for n, _ in members)
            values = " | ".join(dict.fromkeys(t for _, t in members))
            accepted = f"_velum.Oneof[_typing.Literal[{names}], {values}] | None"
            result.append((oneof.local_name, read, accepted))
        return result

    # Types

    def _field_type(self, field: DescField, shadowed: set[str]) -> str:
        value = field.value
        if isinstance(value, DescFieldValueList):
            return f"_builtins.list[{self._element(value.element, shadowed)}]"
        if isinstance(value, DescFieldValueMap):
            key = _scalar(value.key)
            return f"_builtins.dict[{key}, {self._element(value.value, shadowed)}]"
        if isinstance(value, DescFieldValueMessage):
            return f"{self._ref(value.message, shadowed)} | None"
        return self._value_type(field, shadowed)

    def _value_type(self, field: DescField, shadowed: set[str]) -> str:
        """The type of a singular value, as a oneof member holds it."""
        value = field.value
        if isinstance(value, DescFieldValueScalar):
            return _scalar(value.scalar)
        if isinstance(value, DescFieldValueEnum):
            return self._ref(value.enum, shadowed)
        if isinstance(value, DescFieldValueMessage):
            return self._ref(value.message, shadowed)
        return self._field_type(field, shadowed)

    def _element(self, element: ScalarType | DescEnum | DescMessage, shadowed: set[str]) -> str:
        if isinstance(element, ScalarType):
            return _scalar(element)
        return self._ref(element, shadowed)

    def _ref(self, target: DescMessage | DescEnum, shadowed: set[str]) -> str:
        """How a class body hiding the names `shadowed` spells the class of `target`."""
        file = target.file
        package = file.package + "." if file.package else ""
        parts = target.type_name.removeprefix(package).split(".")
        loose = "_velum.Message" if isinstance(target, DescMessage) else "_builtins.int"
        if not all(_reachable(part) for part in parts[1:]):
            return loose
        parts[0] = python_name(parts[0])
        path = ".".join(parts)
        if file in self._files:
            if parts[0] not in shadowed:
                return path
            alias = f"_T_{parts[0]}"
            self._aliases[alias] = parts[0]
            return ".".join([alias, *parts[1:]])
        if file.name in WKT_FILE_NAMES:
            self._imports.add(_WKT_MODULE)
            return f"{_import_alias(_WKT_MODULE)}.{path}"
        if file.name in PLUGIN_FILE_NAMES:
            return loose
        module = module_name_for(file.name)
        self._imports.add(module)
        return f"{dependency_alias(module)}.{path}"


def _import_alias(module: str) -> str:
    return "_velum_wkt" if module == _WKT_MODULE else dependency_alias(module)


def _reachable(nested_name: str) -> bool:
    """Whether a nested class is an attribute of its parent class under its own name."""
    return nested_name not in RESERVED_MESSAGE_NAMES and not keyword.iskeyword(nested_name)


def _tuple(items: list[str]) -> str:
    return f"({items[0]},)" if len(items) == 1 else f"({', '.join(items)})"


def _optional(annotation: str) -> str:
    return annotation if annotation.endswith("| None") else f"{annotation} | None"


def module_stub(file: DescFile) -> str:
    extras = ["DESCRIPTOR: _velum.DescFile"]
    for ext in file.extensions:
        extras.append(f"{python_name(ext.name.rpartition('.')[2])}: _velum.DescExtension")
    writer = StubWriter([file])
    return writer.write(f"Type stubs generated by protoc-gen-velum from {file.name}.", extras)


def wkt_stub(files: Iterable[DescFile]) -> str:
    """The stub of velum.wkt, which holds the classes of all the well-known types."""
    writer = StubWriter(files)
    return writer.write("Type stubs of velum.wkt, written by velum._stubs.wkt_stub; do not edit.")
