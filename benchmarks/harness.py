"""Side-by-side timing: every comparison is measured in the same run, on the same data, and
reported as a ratio, so the numbers hold on any machine. No timing is ever asserted in tests."""

from __future__ import annotations

import gc
import time
from dataclasses import dataclass
from typing import Callable


def per_call(fn: Callable[[], object], *, repeat: int = 7, budget: float = 0.05) -> float:
    """Best time of one call of ``fn`` in seconds, over ``repeat`` rounds of about ``budget``."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= budget / 5 or number >= 1 << 20:
            break
        number *= 4
    number = max(1, int(number * budget / max(elapsed, 1e-9) / 5) or 1)
    best = float("inf")
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            start = time.perf_counter()
            for _ in range(number):
                fn()
            best = min(best, (time.perf_counter() - start) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


@dataclass
class Row:
    group: str
    measured: str
    against: str
    ratio: float  # time of `measured` / time of `against`
    goal: str
    met: bool | None
    seconds: tuple[float, float] = (0.0, 0.0)  # per call, measured and against


class Table:
    """Collects ratio rows from every benchmark module and prints them as one table."""

    def __init__(self) -> None:
        self.rows: list[Row] = []

    def within(self, group: str, measured: str, fn, against: str, baseline, limit: float | None):
        """``fn`` should take at most ``limit`` times the time of ``baseline``."""
        times = self._time(fn, baseline)
        ratio = times[0] / times[1]
        goal = f"<= {limit:g}x" if limit else ""
        met = None if not limit else ratio <= limit
        self.rows.append(Row(group, measured, against, ratio, goal, met, times))

    def faster(self, group: str, measured: str, fn, against: str, baseline, at_least: float):
        """``fn`` should be at least ``at_least`` times faster than ``baseline``."""
        times = self._time(fn, baseline)
        ratio = times[0] / times[1]
        self.rows.append(Row(group, measured, against, ratio, f">= {at_least:g}x faster",
                             1 / ratio >= at_least, times))

    @staticmethod
    def _time(fn, baseline) -> tuple[float, float]:
        """Both timed twice, alternating, so that drift in the machine's speed hits both."""
        first = (per_call(fn), per_call(baseline))
        second = (per_call(fn), per_call(baseline))
        return min(first[0], second[0]), min(first[1], second[1])

    def render(self, verbose: bool = False) -> str:
        header = ("group", "measured", "against", "time ratio", "speed-up", "goal", "")
        lines = [header]
        for r in self.rows:
            mark = "" if r.met is None else ("ok" if r.met else "MISSED")
            if verbose:
                mark += f"  ({r.seconds[0] * 1e6:.2f} us vs {r.seconds[1] * 1e6:.2f} us)"
            lines.append((r.group, r.measured, r.against, f"{r.ratio:.3f}", f"{1 / r.ratio:.1f}x",
                          r.goal, mark))
        widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
        out = []
        for n, line in enumerate(lines):
            out.append("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip())
            if n == 0:
                out.append("  ".join("-" * w for w in widths))
        return "\n".join(out)
