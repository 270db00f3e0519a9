"""Deep nesting must end in RecursionError, never in a crash, also where the interpreter's own
recursion count would allow it: a raised recursion limit (Python 3.11 lets that govern C code) or
a thread with a small stack. Each case runs in a child process, so a crash fails the test instead
of ending the run."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

CHILD = """
import sys, threading
from tarvik.tcl.scriptify import scriptify, tclobj, _tcl_UpdateStringOfList

class Seq(list):
    pass

def nest(depth, wrap):
    value = "leaf"
    for _ in range(depth):
        value = wrap(value)
    return value

WRAPS = [lambda v: [v], lambda v: (v,), lambda v: {"k": v}, lambda v: Seq([v])]
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
    "small thread stack": """
# Built and freed by the main thread: Python's own deallocation of deep values needs the stack.
values = [nest(20_000, wrap) for wrap in WRAPS]
threading.stack_size(256 * 1024)
worker = threading.Thread(target=convert_all, args=(values,))
worker.start()
worker.join()
""",
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
