"""Fuzz session set-up: the hypothesis profile, a Tcl interpreter that cannot be made to exit, and
the count of examples run (printed at the end and written to $TARVIK_FUZZ_REPORT)."""

from __future__ import annotations

import os
import pathlib
from typing import Any

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from gates.fuzz.values import values

settings.register_profile(
    "fuzz",
    max_examples=int(os.environ.get("TARVIK_FUZZ_EXAMPLES", "300")),
    deadline=None,
    suppress_health_check=list(HealthCheck),
    print_blob=True,
)
settings.load_profile("fuzz")


class Counter:
    examples = 0


class FuzzEnv:
    """A real interpreter for targets that talk to Tcl, and the values strategy with some of its
    Tcl objects mixed in. Tcl's `exit` is removed so that no fuzzed call can end the process."""

    def __init__(self) -> None:
        from tarvik.tcl import TclInterpreter

        self.interp = TclInterpreter()
        tk = self.interp.tk
        tk.eval("catch {rename ::exit {}}")  # tkinter removes it already; stay sure
        tk.eval("set ::fuzz_cmd ::set; $::fuzz_cmd ::fuzz_x 1")
        tcl_objects = [tk.getvar("::fuzz_cmd"), tk.call("dict", "create", "a", "b c")]
        self.values: st.SearchStrategy[Any] = st.one_of(values, st.sampled_from(tcl_objects))


@pytest.fixture(scope="session")
def env() -> FuzzEnv:
    return FuzzEnv()


@pytest.fixture
def counter() -> type[Counter]:
    return Counter


def pytest_terminal_summary(terminalreporter: Any) -> None:
    terminalreporter.write_line(f"fuzz: {Counter.examples} examples run")


def pytest_sessionfinish(session: Any) -> None:
    report = os.environ.get("TARVIK_FUZZ_REPORT")
    if report:
        pathlib.Path(report).write_text(f"{Counter.examples}\n")
