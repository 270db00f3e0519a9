"""Reference and memory leak check of every registered operation of every native module.

    python -m gates.leakcheck [-v] [--iterations N] [name-filter ...]

Each operation runs many times after a warm-up. After every round of N iterations the check
samples what a leak makes grow: memory traced by tracemalloc, memory blocks allocated by Python,
objects tracked by the garbage collector, bytes in use by C malloc (glibc), and the reference
counts of the operation's inputs (release builds have no sys.gettotalrefcount). Caches and
freelists settle during the warm-up or grow once; a leak grows in every round, in proportion to
the iterations. So an operation leaks when one measure grows by more than its noise allowance
per iteration in every round.

Operations are registered per module in gates/leak_ops/<module>.py (see scriptify.py there): a
function ``operations(module, env)`` yields ``Operation`` entries. Exit status: 0 when nothing
leaks, 1 when something leaks, 2 when the check could not run (an operation failed, or a
required module or its operations are missing).
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import gc
import importlib
import sys
import tracemalloc
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator

from gates import modules


@dataclass
class Operation:
    """One public operation, run as ``run()``. ``raises`` is the exception that the operation is
    expected to raise every time (an error path is checked like any other); ``watch`` holds
    objects whose reference counts must not grow. ``scale`` shrinks the number of calls for an
    operation that is slow by nature (such as unwinding from deep recursion)."""

    name: str
    run: Callable[[], Any]
    raises: type[BaseException] | tuple[type[BaseException], ...] = ()
    watch: tuple[Any, ...] = ()
    scale: float = 1.0
    module: str = ""

    def once(self) -> None:
        if not self.raises:
            self.run()
            return
        try:
            self.run()
        except self.raises:
            return
        raise AssertionError(f"{self.name}: expected {self.raises} to be raised")


class Env:
    """What operations may share: a real Tcl interpreter, made on first use."""

    def __init__(self) -> None:
        self._interp: Any = None
        self._kept: list[Any] = []

    def keep(self, obj: Any) -> Any:
        """Keeps ``obj`` alive for the whole check (handles hold their host only weakly)."""
        self._kept.append(obj)
        return obj

    @property
    def interp(self) -> Any:
        if self._interp is None:
            from tarvik.tcl import TclInterpreter

            self._interp = TclInterpreter()
        return self._interp


# ---------------------------------------------------------------------------------------------
# Measures


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]  # fmt: skip


def _malloc_in_use() -> Callable[[], int] | None:
    """Bytes in use by C malloc, where glibc tells (mallinfo2); under a sanitizer it does not."""
    libc_name = ctypes.util.find_library("c")
    if not libc_name:
        return None
    mallinfo2 = getattr(ctypes.CDLL(libc_name), "mallinfo2", None)
    if mallinfo2 is None:
        return None
    mallinfo2.restype = _MallInfo2

    def in_use() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use if in_use() > 0 else None


@dataclass(frozen=True)
class Measure:
    name: str
    read: Callable[[Operation], int]
    allowance: float  # growth per call that still counts as noise
    floor: int  # growth per round that still counts as noise (the check's own allocations)
    unit: str

    def leaks(self, growth: float, calls: int) -> bool:
        return growth > max(self.allowance * calls, self.floor)


def _measures() -> list[Measure]:
    found = [
        Measure("traced memory", lambda op: tracemalloc.get_traced_memory()[0], 4.0, 2048,
                "bytes"),
        Measure("gc objects", lambda op: len(gc.get_objects()), 0.25, 16, "objects"),
        Measure("input references", lambda op: sum(map(sys.getrefcount, op.watch)), 0.25, 4,
                "refs"),
    ]
    if sys.getallocatedblocks():  # 0 where Python's own allocator is off (PYTHONMALLOC=malloc)
        found.append(Measure("allocated blocks", lambda op: sys.getallocatedblocks(), 0.25, 16,
                             "blocks"))
    in_use = _malloc_in_use()
    if in_use is not None:
        found.append(Measure("malloc in use", lambda op: in_use(), 8.0, 16384, "bytes"))
    return found


def _sample(measures: list[Measure], op: Operation) -> list[int]:
    gc.collect()
    gc.collect()
    return [measure.read(op) for measure in measures]


@dataclass
class Result:
    op: Operation
    growth: dict[str, list[float]] = field(default_factory=dict)  # per iteration, per round
    leaks: list[str] = field(default_factory=list)


def check(op: Operation, measures: list[Measure], iterations: int, rounds: int = 3) -> Result:
    """Runs ``op`` through a warm-up and ``rounds`` rounds of ``iterations``; a measure that grows
    by more than its allowance in every round is a leak."""
    iterations = max(20, int(iterations * op.scale))
    for _ in range(max(10, iterations // 4)):
        op.once()
    samples = [_sample(measures, op)]
    for _ in range(rounds):
        for _ in range(iterations):
            op.once()
        samples.append(_sample(measures, op))
    result = Result(op)
    for i, measure in enumerate(measures):
        growth = [after[i] - before[i] for before, after in zip(samples, samples[1:])]
        result.growth[measure.name] = [g / iterations for g in growth]
        if all(measure.leaks(g, iterations) for g in growth):
            per_call = min(growth) / iterations
            result.leaks.append(f"{measure.name} +{per_call:.2f} {measure.unit}/call")
    return result


# ---------------------------------------------------------------------------------------------
# Registry


def _operations_of(module: modules.NativeModule, env: Env) -> Iterator[Operation]:
    native = modules.load(module)
    if native is None:
        print(f"skip  {module.name}: not built yet", file=sys.stderr)
        return
    try:
        ops = importlib.import_module(f"gates.leak_ops.{module.name}")
    except ModuleNotFoundError as error:
        if error.name != f"gates.leak_ops.{module.name}":
            raise
        if module.required:
            raise modules.MissingModule(f"no leak operations registered for {module.qualified}")
        print(f"skip  {module.name}: no leak operations registered yet", file=sys.stderr)
        return
    for op in ops.operations(native, env):
        op.module = module.name
        yield op


def registered(env: Env, filters: Iterable[str] = ()) -> list[Operation]:
    filters = list(filters)
    found = []
    for module in modules.all_native_modules():
        for op in _operations_of(module, env):
            label = f"{op.module}: {op.name}"
            if not filters or any(f in label for f in filters):
                found.append(op)
    return found


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("filters", nargs="*", help="only operations whose name contains one")
    parser.add_argument("--iterations", type=int, default=2000, help="calls per round")
    parser.add_argument("-v", "--verbose", action="store_true", help="print every growth")
    args = parser.parse_args(argv)

    env = Env()
    try:
        ops = registered(env, args.filters)
    except modules.MissingModule as error:
        print(f"ERROR {error}", file=sys.stderr)
        return 2
    if not ops:
        print("ERROR no operation to check", file=sys.stderr)
        return 2
    print(f"leak check of {modules.PACKAGE} from {sys.modules[modules.PACKAGE].__file__}")
    tracemalloc.start()
    measures = _measures()
    leaking, failed = [], []
    for op in ops:
        label = f"{op.module}: {op.name}"
        try:
            result = check(op, measures, args.iterations)
        except Exception as error:  # an operation that stops working is a failed check
            failed.append(label)
            print(f"ERROR {label}: {type(error).__name__}: {error}")
            continue
        if result.leaks:
            leaking.append(label)
            print(f"LEAK  {label}: {'; '.join(result.leaks)}")
        else:
            print(f"ok    {label}")
        if args.verbose:
            for name, growth in result.growth.items():
                print(f"        {name}: " + ", ".join(f"{g:+.3f}" for g in growth))
    tracemalloc.stop()
    names = sorted({op.module for op in ops})
    print(f"{len(ops)} operations leak-checked in {len(names)} modules ({', '.join(names)}), "
          f"{args.iterations} calls per round; measures: {', '.join(m.name for m in measures)}")
    print(f"{len(leaking)} leaking, {len(failed)} failed")
    if failed:
        return 2
    return 1 if leaking else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
