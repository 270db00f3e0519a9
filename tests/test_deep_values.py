"""Deep nesting must end in RecursionError, never in a crash, also where the interpreter's own
recursion count would allow it: a raised recursion limit (Python 3.11 lets that govern C code) or
a thread with a small stack. Each case runs in a child process, so a crash fails the test instead
of ending the run."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading

import pytest

CHILD = """
import sys, threading
from tarvik.tcl.scriptify import scriptify, tclobj, _tcl_UpdateStringOfList

class Seq(list):
    pass

class Hooked:
    # Converts through a Python hook that converts again: a Python call on every level.
    def __init__(self, inner):
        self.inner = inner
    def __scriptify__(self):
        return scriptify([self.inner, repr(1.5e300)])

def nest(depth, wrap):
    value = "leaf"
    for _ in range(depth):
        value = wrap(value)
    return value

WRAPS = [lambda v: [v], lambda v: (v,), lambda v: {"k": v}, lambda v: Seq([v]), Hooked]
CONVERSIONS = [scriptify, tclobj, lambda v: _tcl_UpdateStringOfList([v])]
outcomes = []

def convert_all(values):
    for value in values:
        for convert in CONVERSIONS:
            try:
                convert(value)
                outcomes.append("returned")
            except RecursionError:
                outcomes.append("RecursionError")

{scenario}
print(sorted(set(outcomes)))
"""

SCENARIOS = {
    "raised recursion limit": """
sys.setrecursionlimit(10**6)
convert_all([nest(300_000, wrap) for wrap in WRAPS])
""",
    **{
        f"thread stack of {size // 1024} KiB": f"""
# Built and freed by the main thread: Python's own deallocation of deep values needs the stack.
values = [nest(20_000, wrap) for wrap in WRAPS]
threading.stack_size({size})
worker = threading.Thread(target=convert_all, args=(values,))
worker.start()
worker.join()
"""
        for size in (32 * 1024, 64 * 1024, 256 * 1024)
    },
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_deep_nesting_raises_recursion_error_instead_of_crashing(scenario):
    code = CHILD.replace("{scenario}", textwrap.dedent(SCENARIOS[scenario]))
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() == "['RecursionError']"


def test_moderate_nesting_still_converts(tk):
    from tarvik.tcl.scriptify import scriptify

    value = "leaf"
    for _ in range(200):
        value = [value, "a b"]
    text = scriptify(value)
    for _ in range(200):
        text, last = tk.splitlist(text)
        assert last == "a b"
    assert text == "leaf"


def _convert_shallow_values(results: list) -> None:
    from tarvik.tcl.fieldtree import FieldTree
    from tarvik.tcl.scriptify import _tcl_UpdateStringOfList, scriptify, tclobj

    # A few levels: sanitizer builds, whose frames are several times larger, run this too.
    nested = "a b"
    for _ in range(4):
        nested = [nested, {"k": (1, 2.5)}]
    results.append(scriptify([1]))
    results.append(tclobj([1, [2]]))
    results.append(_tcl_UpdateStringOfList(["a b", ["c"]]))
    results.append(scriptify(FieldTree({"k": {"x": "y"}})))
    results.append(len(scriptify(nested)))


@pytest.mark.parametrize("stack_size", [32 * 1024, 64 * 1024, 256 * 1024, 8 << 20],
                         ids=lambda size: f"{size // 1024} KiB")
def test_conversions_work_on_small_thread_stacks(stack_size):
    results: list = []
    errors: list = []

    def target() -> None:
        try:
            _convert_shallow_values(results)
        except BaseException as error:  # reported by the test, not lost in the thread
            errors.append(error)

    previous = threading.stack_size(stack_size)
    try:
        worker = threading.Thread(target=target)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    assert errors == []
    expected: list = []
    _convert_shallow_values(expected)
    assert results == expected
    assert expected[:3] == ["1", (1, (2,)), "{a b} c"]
