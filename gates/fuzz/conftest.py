"""Fuzz session set-up: the hypothesis profile, a Tcl interpreter that cannot be made to exit, and
the count of examples run (printed at the end and written to $TARVIK_FUZZ_REPORT).

The number of examples per target is $TARVIK_FUZZ_EXAMPLES, or else $TARVIK_FUZZ_TOTAL (default
3000) shared out among the targets, at least 20 each, so the run time stays about the same as
modules and methods are added."""

from __future__ import annotations

import gc
import os
import pathlib
import tkinter
from typing import Any

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from gates.fuzz.targets import all_targets
from gates.fuzz.values import values

TARGET_COUNT = len(all_targets())


def examples_per_target() -> int:
    if os.environ.get("TARVIK_FUZZ_EXAMPLES"):
        return int(os.environ["TARVIK_FUZZ_EXAMPLES"])
    total = int(os.environ.get("TARVIK_FUZZ_TOTAL", "3000"))
    return max(20, total // max(1, TARGET_COUNT))


settings.register_profile(
    "fuzz",
    max_examples=examples_per_target(),
    deadline=None,
    suppress_health_check=list(HealthCheck),
    print_blob=True,
)
settings.load_profile("fuzz")


class Counter:
    examples = 0


# Tcl commands that a fuzzed call must not reach: they end or block the process, wait for events
# that never come, or touch files, processes and the network (the last group is TclX's).
FORBIDDEN_COMMANDS = [
    "exit", "vwait", "update", "after", "gets", "read", "open", "close", "socket", "exec",
    "cd", "file", "glob", "source", "load", "fconfigure", "chan",
    "sleep", "system", "fork", "kill", "chdir", "execl", "wait", "signal", "chroot", "nice",
]  # fmt: skip


class FuzzEnv:
    """The package's default interpreter (so handles made without one use it too), with the
    forbidden commands removed, and the values strategy with some of its Tcl objects mixed in."""

    def __init__(self) -> None:
        import tarvik.tcl

        self.interp = self.disarmed(tarvik.tcl.default_interpreter())

        # A new Tcl object for every draw: Tcl drops the type of an object that it reads as a
        # variable name, and _tkinter's repr() of such an object crashes, so one shared between
        # examples would end the run wherever it is shown after any call has done that.
        # They are made in an interpreter of their own, which the fuzzed calls cannot reach:
        # those rename and delete commands (string, dict) in the default one.
        maker = tkinter.Tcl().tk

        def command_object() -> Any:
            maker.eval("set ::fuzz_cmd [string cat :: set]; $::fuzz_cmd ::fuzz_x 1")
            return maker.getvar("::fuzz_cmd")

        tcl_objects = st.one_of(st.builds(command_object),
                                st.builds(lambda: maker.call("dict", "create", "a", "b c")))
        self.values: st.SearchStrategy[Any] = st.one_of(values, tcl_objects)

    @staticmethod
    def disarmed(interp: Any) -> Any:
        """`interp` with the forbidden commands removed."""
        for command in FORBIDDEN_COMMANDS:
            interp.tk.eval(f"catch {{rename ::{command} {{}}}}")
        return interp

    @classmethod
    def fresh_interpreter(cls) -> Any:
        """An interpreter of its own, for fuzz tests that the calls on the shared one (which
        rename and delete any command) must not disturb."""
        from tarvik.tcl import TclInterpreter

        return cls.disarmed(TclInterpreter())


@pytest.fixture(scope="session")
def env() -> FuzzEnv:
    return FuzzEnv()


@pytest.fixture(scope="session", autouse=True)
def collector_threshold() -> Any:
    """$TARVIK_FUZZ_GC_THRESHOLD, when set, is the collector's first threshold for the run: at 1
    it collects every other allocation, which on Python 3.11 happens inside the allocations the
    native code makes, between a lookup and its use."""
    threshold = os.environ.get("TARVIK_FUZZ_GC_THRESHOLD")
    previous = gc.get_threshold()
    if threshold:
        gc.set_threshold(int(threshold), *previous[1:])
    yield
    gc.set_threshold(*previous)


@pytest.fixture
def counter() -> type[Counter]:
    return Counter


def summary() -> str:
    return (f"{Counter.examples} examples run over {TARGET_COUNT} targets, "
            f"up to {settings().max_examples} each")


def pytest_terminal_summary(terminalreporter: Any) -> None:
    terminalreporter.write_line(f"fuzz: {summary()}")


def pytest_sessionfinish(session: Any) -> None:
    report = os.environ.get("TARVIK_FUZZ_REPORT")
    if report:
        pathlib.Path(report).write_text(summary())
