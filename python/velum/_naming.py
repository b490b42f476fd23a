"""Python names for schema elements."""

from __future__ import annotations

import keyword
from collections.abc import Callable

# Methods and attributes of NativeMessage, listed so that naming does not depend on
# which version of the extension happens to be installed.
NATIVE_MESSAGE_NAMES = frozenset(
    {
        "from_binary",
        "to_binary",
        "to_json",
        "from_json",
        "_merge_from_json",
        "_to_json_value",
        "_from_json_value",
        "to_dict",
        "to_json_value",
        "from_dict",
        "from_json_value",
        "_merge_from_binary",
        "_merge_from",
        "_get_field_number_present",
        "_is_field_number_set",
        "_set_field_number_present",
        "_clear_field_number_present",
        "_get_or_init_unknown_fields",
        "_present",
        "_unknown_fields",
        "_desc",
        "_ext_marshaler",
        "_ext_value_type",
    }
)


KEYWORDS = frozenset(keyword.kwlist)


def json_name(name: str) -> str:
    """The JSON name protoc derives from a field name: lowerCamelCase at underscores."""
    out = []
    upper_next = False
    for ch in name:
        if ch == "_":
            upper_next = True
        elif upper_next:
            out.append(ch.upper())
            upper_next = False
        else:
            out.append(ch)
    return "".join(out)


def assign_local_names(names: list[str], reserved: Callable[[str], bool]) -> list[str]:
    """Python attribute names for `names`, unique within the list.

    A keyword or a name for which `reserved` is true gets a trailing underscore (more
    than one when that is taken too). Names that need no change keep it, whatever
    their order, so renaming `from` never displaces a field really called `from_`.
    """

    def clashes(name: str) -> bool:
        return keyword.iskeyword(name) or reserved(name)

    if (
        len(set(names)) == len(names)
        and KEYWORDS.isdisjoint(names)
        and not any(map(reserved, names))
    ):
        return list(names)  # the usual case: nothing to rename
    taken = {n for n in names if not clashes(n)}
    result = []
    seen: set[str] = set()
    for name in names:
        local = name
        if clashes(name) or name in seen:
            local = name + "_"
            while local in taken or local in seen or clashes(local):
                local += "_"
        seen.add(local)
        result.append(local)
    return result
