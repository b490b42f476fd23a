"""Pausing the cyclic garbage collector while a schema is loaded or its classes made.

Loading makes tens of thousands of container objects that all survive, so every young
collection on the way scans them for nothing and promotes them, and the older
generations are scanned again and again. Paused, they are looked at once, when the
collector next runs. Nested and concurrent pauses share one: the collector is enabled
again when the last one ends, and only if it was enabled when the first began.
"""

from __future__ import annotations

import gc
import threading
from types import TracebackType


class _Pause:
    __slots__ = ("_depth", "_lock", "_reenable")

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._depth = 0
        self._reenable = False

    def __enter__(self) -> None:
        with self._lock:
            if self._depth == 0:
                self._reenable = gc.isenabled()
                gc.disable()
            self._depth += 1

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        with self._lock:
            self._depth -= 1
            if self._depth == 0 and self._reenable:
                gc.enable()


collection_paused = _Pause()
