"""Memory held per decoded message.

tracemalloc sees every allocation made through Python's allocators: Python objects, and
PyMem_Raw, which velum's native storage uses, so for velum (and the marshal tree) it is the
whole story. upb allocates its arenas with plain malloc, invisible to tracemalloc; for it
the growth of glibc's in-use malloc bytes (mallinfo2) while the messages stay alive is
added. Both are measured in separate passes, so neither pass's bookkeeping distorts the
other.
"""

from __future__ import annotations

import ctypes
import gc
import tracemalloc
from collections.abc import Callable
from typing import Any


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost",
    )]


def _mallinfo() -> Callable[[], int] | None:
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2

    def in_use() -> int:
        info = fn()
        return int(info.uordblks + info.hblkhd)

    return in_use


_malloc_in_use = _mallinfo()


def held(make: Callable[[], Any], count: int) -> dict[str, float | None]:
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
    malloc: float | None = None
    if _malloc_in_use is not None:
        before = _malloc_in_use()
        keep = [make() for _ in range(count)]
        malloc = (_malloc_in_use() - before) / count
        del keep
        gc.collect()
    return {"tracemalloc": traced / count, "malloc": malloc, "count": count}


def count_for(size: int, budget: int) -> int:
    """How many messages of `size` wire bytes to keep alive: about `budget` wire bytes."""
    return max(4, min(20_000, budget // max(size, 1)))
