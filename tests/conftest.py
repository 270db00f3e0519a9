"""Shared fixtures: a real Tcl interpreter, the same in a child process, and a recording spy around
a Tk application object."""

from __future__ import annotations

import os
from typing import Any

import pytest
from hypothesis import HealthCheck, settings

from tarvik.tcl import TclInterpreter, TclProcess
from tarvik.tcl import _tkinter_names as tkinter_names

settings.register_profile(
    "default", deadline=None, suppress_health_check=[HealthCheck.too_slow], max_examples=200
)
settings.register_profile("ci", parent=settings.get_profile("default"), max_examples=400)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


class TkSpy:
    """Passes every call on to a real Tk application object and records what was sent.

    ``calls`` holds ``(method, args)`` pairs in order, for the methods that send something to Tcl.
    """

    RECORDED = ("call", "eval", "getvar", "setvar", "unsetvar", "createcommand", "deletecommand")

    def __init__(self, tk: Any) -> None:
        self._tk = tk
        self.calls: list[tuple[str, tuple]] = []

    def __getattr__(self, name: str) -> Any:
        target = getattr(self._tk, name)
        if name not in self.RECORDED:
            return target

        def recorded(*args: Any) -> Any:
            self.calls.append((name, args))
            return target(*args)

        return recorded

    def sent(self, method: str = "call") -> list[tuple]:
        return [args for name, args in self.calls if name == method]


def local_interpreter() -> TclInterpreter:
    """A Tcl in this process; on a Python without tkinter, the test that asks for one skips."""
    if tkinter_names.tkinter is None:
        pytest.skip("this Python has no tkinter")
    return TclInterpreter()


@pytest.fixture(scope="session")
def interp() -> TclInterpreter:
    return local_interpreter()


@pytest.fixture
def tk(interp: TclInterpreter) -> Any:
    return interp.tk


@pytest.fixture
def spy_interp() -> TclInterpreter:
    """A fresh interpreter whose ``tk`` records every call it passes on."""
    interpreter = local_interpreter()
    interpreter.tk = TkSpy(interpreter.tk)
    return interpreter


@pytest.fixture(scope="session")
def process() -> Any:
    """One child tclsh for the whole session, driven through the agent."""
    with TclProcess(timeout=60) as host:
        yield host


@pytest.fixture(scope="session", params=["local", "process"])
def host(request: pytest.FixtureRequest) -> Any:
    """Each host in turn: the Tcl that _tkinter embeds, and a tclsh in a child process."""
    return request.getfixturevalue("interp" if request.param == "local" else "process")
