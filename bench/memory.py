"""Memory held per decoded message.

Two views, both reported: tracemalloc sees what goes through Python's allocators
(PyMem/PyObject, and PyMem_Raw, which velum's native storage uses) but not plain malloc,
which is where upb keeps its arenas. The resident-set growth while keeping many decoded
messages alive sees everything, at page granularity and subject to allocator reuse.
"""

from __future__ import annotations

import gc
import os
import tracemalloc
from collections.abc import Callable
from typing import Any

_PAGE = os.sysconf("SC_PAGE_SIZE")


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def held(make: Callable[[], Any], count: int) -> dict[str, float]:
    """Bytes held per object returned by `make`, over `count` live objects."""
    make()
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    keep = [make() for _ in range(count)]
    traced = tracemalloc.get_traced_memory()[0] - base - (8 * count + 56)  # minus the list
    tracemalloc.stop()
    del keep
    gc.collect()
    before = _rss()
    keep = [make() for _ in range(count)]
    rss = _rss() - before - 8 * count
    del keep
    gc.collect()
    return {"tracemalloc": traced / count, "rss": rss / count, "count": count}


def count_for(size: int, budget: int) -> int:
    """How many messages of `size` wire bytes to keep alive: about `budget` wire bytes."""
    return max(4, min(20_000, budget // max(size, 1)))
