"""Deadlines for a block of calls: ``with host.timeout(seconds):`` on every link and in process."""

from __future__ import annotations

import contextlib
import subprocess
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from tarvik.tcl import TclError, TclProcess, TclProcessError, agent_script, wait_for_serve

SHORT = 0.3


@contextlib.contextmanager
def pipes(timeout: float) -> Iterator[TclProcess]:
    with TclProcess(timeout=timeout) as host:
        yield host


@contextlib.contextmanager
def stdio(timeout: float) -> Iterator[TclProcess]:
    with TclProcess(["tclsh"], link="stdio", timeout=timeout) as host:
        yield host


@contextlib.contextmanager
def serve(timeout: float) -> Iterator[TclProcess]:
    tool = subprocess.Popen(["tclsh"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert tool.stdin is not None and tool.stdout is not None
        print(f"source {{{agent_script()}}}; tarvik::serve", file=tool.stdin, flush=True)
        address, port, token = wait_for_serve(tool.stdout, timeout=30)
        with TclProcess.connect(port, token, host=address, timeout=timeout) as host:
            yield host
    finally:
        tool.kill()
        tool.wait()


# What the other links carry is the same framing; OpenOCD's server (connect_rpc) is driven in
# the Jim tests, where its fixture lives.
LINKS = {"pipes": pipes, "stdio": stdio, "serve": serve}


@pytest.fixture(params=list(LINKS))
def make(request: pytest.FixtureRequest) -> Callable[[float], Any]:
    return LINKS[request.param]


def slow(host: TclProcess, ms: int) -> None:
    host.tk.eval(f"after {ms}")


def times_out(host: TclProcess, limit: float) -> None:
    """A long command inside the block fires the block's deadline and closes the host."""
    start = time.monotonic()
    with pytest.raises(TimeoutError, match=f"within {limit:g} s; the host was closed"):
        slow(host, 5000)
    assert time.monotonic() - start < limit + 1.5
    assert host.closed
    with pytest.raises(TclProcessError):
        host.tk.eval("set x 1")


def test_a_block_fires_inside_it_and_not_after_it(make):
    with make(30) as host:
        with host.timeout(SHORT):
            assert host.tk.eval("set x 1") == "1"
        slow(host, 700)  # past the block's deadline: the host's own holds again
        with host.timeout(SHORT):
            times_out(host, SHORT)


def test_a_block_lengthens_a_short_host_timeout(make):
    with make(SHORT) as host:
        with host.timeout(None):
            slow(host, 700)
        with host.timeout(5):
            slow(host, 700)
        times_out(host, SHORT)


def test_blocks_nest_and_the_inner_one_wins():
    with pipes(SHORT) as host:
        with host.timeout(None):
            with host.timeout(5):
                slow(host, 700)
            slow(host, 700)  # the outer block again, not the host's own
            with host.timeout(SHORT):
                times_out(host, SHORT)


@pytest.mark.parametrize("error", [KeyError("x"), TclError("boom"), KeyboardInterrupt()],
                         ids=["python", "tcl", "interrupt"])
def test_leaving_by_an_exception_restores_the_host_timeout(error):
    with pipes(SHORT) as host:
        with pytest.raises(type(error)):
            with host.timeout(None):
                raise error
        times_out(host, SHORT)


def test_a_tcl_error_inside_the_block_keeps_the_host():
    with pipes(30) as host:
        with host.timeout(SHORT):
            with pytest.raises(TclError, match="invalid command name"):
                host.tk.eval("no such command")
            assert host.z.set("y", 2) == "2"
        assert not host.closed


def test_a_block_applies_to_its_own_thread_only():
    with pipes(30) as host:
        opened, done = threading.Event(), threading.Event()
        outcome: list[BaseException | None] = []

        def other() -> None:
            with host.timeout(SHORT):
                opened.set()
                done.wait(10)
                try:
                    slow(host, 3000)
                    outcome.append(None)
                except BaseException as error:
                    outcome.append(error)

        thread = threading.Thread(target=other)
        thread.start()
        try:
            assert opened.wait(10)
            slow(host, 700)  # the other thread's short block is not this one's
        finally:
            done.set()
            thread.join(10)
        assert isinstance(outcome[0], TimeoutError)


def test_a_pipeline_call_gets_the_deadline_in_force_when_made():
    with pipes(SHORT) as host:
        with host.timeout(None), host.pipeline():
            long = host.tk.eval("after 700; set a 1")
        assert long.result() == "1"
        with host.pipeline():
            with host.timeout(5):
                long = host.tk.eval("after 700; set a 2")
            # Made with the host's short timeout, but queued behind the long call: its time is
            # not up when its turn comes.
            quick = host.tk.eval("after 200; set b 3")
            assert quick.result() == "3" and long.result() == "2"
        with pytest.raises(TimeoutError), host.pipeline():
            host.tk.eval("after 5000")
        assert host.closed


@pytest.mark.parametrize(
    "seconds, error",
    [(0, ValueError), (-1, ValueError), (float("nan"), ValueError), (True, TypeError),
     ("5", TypeError)],
)
def test_seconds_are_checked_on_both_hosts(host, seconds, error):
    with pytest.raises(error):
        host.timeout(seconds)


def test_in_process_calls_run_to_their_end_and_the_interpreter_stays_usable(interp):
    with interp.timeout(0.05):
        with interp.timeout(None):
            assert interp.tk.eval("after 200; set t 1") == "1"
        assert interp.z.set("t", 2) == "2"
    assert interp.tk.eval("set t") == "2"
