"""Timing: calibration, warm-up and interleaved repetitions across implementations."""

from __future__ import annotations

import gc
import math
import statistics
from collections.abc import Callable
from dataclasses import dataclass, field

from bench.impls import Runner


@dataclass(frozen=True)
class Config:
    target: float  # seconds one sample should last
    rounds: int  # samples per implementation and cell, budget permitting
    min_rounds: int  # even the slowest implementation gets this many
    budget: float  # seconds one implementation may spend on one cell
    scale: float  # workload size factor
    memory_bytes: int  # wire bytes decoded (and kept alive) per memory measurement


QUICK = Config(target=0.002, rounds=3, min_rounds=1, budget=0.05, scale=0.05,
               memory_bytes=200_000)
FULL = Config(target=0.01, rounds=15, min_rounds=3, budget=1.0, scale=1.0,
              memory_bytes=8_000_000)


@dataclass
class Stat:
    loops: int
    samples: list[float] = field(default_factory=list)  # seconds per call

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    @property
    def low(self) -> float:
        return min(self.samples)

    @property
    def high(self) -> float:
        return max(self.samples)


# A cell's outcome per implementation: timings, or why there are none.
Outcome = Stat | str


def _calibrate(run: Runner, target: float) -> tuple[int, float]:
    """Loops per sample so that one sample lasts about `target`; the runs warm up too."""
    loops = 1
    elapsed = run(loops)
    for _ in range(6):
        if elapsed >= target / 2 or loops >= 10_000_000:
            break
        grow = target / max(elapsed, 1e-9)
        loops = min(loops * 100, max(loops * 2, math.ceil(loops * grow)))
        elapsed = run(loops)
    if loops > 1 or elapsed < target:
        elapsed = run(loops)  # one more warm-up at the final size
    return loops, elapsed


def _failure(exc: BaseException) -> str:
    if isinstance(exc, NotImplementedError):
        return "n/a"
    return f"error: {type(exc).__name__}: {exc}"


def measure(runners: dict[str, Callable[[], Runner | None]], cfg: Config) -> dict[str, Outcome]:
    """Time one cell for every implementation, interleaving their samples round by round."""
    outcomes: dict[str, Outcome] = {}
    ready: dict[str, tuple[Runner, Stat, int]] = {}
    for name, prepare in runners.items():
        try:
            run = prepare()
            if run is None:
                continue
            loops, elapsed = _calibrate(run, cfg.target)
        except Exception as e:
            outcomes[name] = _failure(e)
            continue
        affordable = int(cfg.budget / max(elapsed, 1e-9))
        rounds = max(cfg.min_rounds, min(cfg.rounds, affordable))
        stat = Stat(loops)
        outcomes[name] = stat
        ready[name] = (run, stat, rounds)
    names = list(ready)
    gc.collect()  # once per cell: a full collection costs milliseconds with the schemas loaded
    for r in range(max((n for _, _, n in ready.values()), default=0)):
        # Rotate the order each round so no implementation always runs right after another.
        for name in names[r % len(names):] + names[: r % len(names)]:
            run, stat, rounds = ready[name]
            if r >= rounds or not isinstance(outcomes[name], Stat):
                continue
            try:
                stat.samples.append(run(stat.loops) / stat.loops)
            except Exception as e:
                outcomes[name] = _failure(e)
    return outcomes
