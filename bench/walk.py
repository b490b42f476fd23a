"""Reading every field of a decoded message, the same way for every implementation.

A plan per message type fetches all fields with one `operator.attrgetter` (C-level, so
the walk adds little of its own), then descends into messages, lists and maps. Repeated
scalars and scalar maps are read with `tuple(...)`, which touches every element.
"""

from __future__ import annotations

import operator
from collections.abc import Callable
from typing import Any

_MSG, _REP_MSG, _MAP_MSG, _REP, _MAP = range(5)


class Plan:
    __slots__ = ("get", "special")

    def __init__(self) -> None:
        self.get: Callable[[Any], tuple[Any, ...]] = tuple
        self.special: list[tuple[int, int, Plan | None]] = []


def make_plan(descriptor: Any, cache: dict[str, Plan] | None = None) -> Plan:
    """Build the walk plan from a protobuf message descriptor (the schema is shared)."""
    cache = {} if cache is None else cache
    plan = cache.get(descriptor.full_name)
    if plan is not None:
        return plan
    plan = Plan()
    cache[descriptor.full_name] = plan
    names = [f.name for f in descriptor.fields]
    if len(names) == 1:
        one = operator.attrgetter(names[0])
        plan.get = lambda m: (one(m),)
    else:
        plan.get = operator.attrgetter(*names)
    for i, field in enumerate(descriptor.fields):
        sub = field.message_type
        repeated = field.is_repeated
        if sub is not None and sub.GetOptions().map_entry:
            vsub = sub.fields_by_name["value"].message_type
            if vsub is not None:
                plan.special.append((i, _MAP_MSG, make_plan(vsub, cache)))
            else:
                plan.special.append((i, _MAP, None))
        elif sub is not None:
            plan.special.append((i, _REP_MSG if repeated else _MSG, make_plan(sub, cache)))
        elif repeated:
            plan.special.append((i, _REP, None))
    return plan


def walk(plan: Plan, message: Any) -> None:
    values = plan.get(message)
    for i, kind, sub in plan.special:
        v = values[i]
        if kind == _MSG:
            if v is not None:
                walk(sub, v)  # type: ignore[arg-type]
        elif kind == _REP_MSG:
            for x in v:
                walk(sub, x)  # type: ignore[arg-type]
        elif kind == _MAP_MSG:
            for _key, x in v.items():
                walk(sub, x)  # type: ignore[arg-type]
        elif kind == _REP:
            tuple(v)
        else:
            tuple(v.items())
