"""Calls in flight: ``with host.pipeline():`` on every host and link. Every remote here has a
timeout, so a pipeline that hangs fails its test instead of stopping the run."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import threading
import time
import tracemalloc
from collections.abc import Callable, Iterator

import pytest
from test_jim import HELLO, FakeServer

from tarvik.tcl import Pending, TclError, TclProcess, TclProcessError, agent_script
from tarvik.tcl.namespace import TclArrayVariable, TclVariable

LINKS = ["pipes", "stdio", "tcp", "jim"]


def serving_tclsh(serves: int = 1) -> tuple[subprocess.Popen, list[str]]:
    """A tclsh that runs ``tarvik::serve`` `serves` times, one after the other."""
    tool = subprocess.Popen(["tclsh"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert tool.stdin is not None
    tool.stdin.write(f"source {{{agent_script()}}}; " + "tarvik::serve; " * serves + "\n")
    tool.stdin.close()
    return tool, []


def attach(tool: subprocess.Popen, timeout: float = 30) -> TclProcess:
    assert tool.stdout is not None
    *_, port, token = tool.stdout.readline().split()
    return TclProcess.connect(int(port), token, timeout=timeout)


def open_remote(link: str, timeout: float = 30) -> tuple[TclProcess, subprocess.Popen | None]:
    """A remote reached over `link`, and the serving tool where there is one."""
    if link == "pipes":
        return TclProcess(timeout=timeout), None
    if link == "stdio":
        return TclProcess(["tclsh"], link="stdio", timeout=timeout), None
    if link == "jim":
        if shutil.which("jimsh") is None:
            pytest.skip("jimsh is not installed (scripts/setup.sh installs it)")
        return TclProcess(["jimsh", "{agent}"], timeout=timeout), None
    tool, _ = serving_tclsh()
    return attach(tool, timeout), tool


@pytest.fixture(scope="module")
def remotes() -> Iterator[Callable[[str], TclProcess]]:
    """The remotes of this module, one per link, opened as they are first asked for."""
    opened: dict[str, TclProcess] = {}
    tools: list[subprocess.Popen] = []

    def get(link: str) -> TclProcess:
        if link not in opened:
            host, tool = open_remote(link)
            opened[link] = host
            tools.extend([tool] if tool is not None else [])
        return opened[link]

    yield get
    for host in opened.values():
        host.close()
    for tool in tools:
        tool.kill()
        tool.wait()


@pytest.fixture(params=LINKS)
def remote(request, remotes) -> TclProcess:
    return remotes(request.param)


@pytest.fixture(params=["local", *LINKS])
def any_host(request, interp, remotes) -> TclProcess:
    return interp if request.param == "local" else remotes(request.param)


@pytest.fixture(params=LINKS)
def doomed(request) -> Iterator[tuple[TclProcess, int]]:
    """A remote of its own that the test breaks, and the pid of the process to kill."""
    host, tool = open_remote(request.param, timeout=30)
    try:
        yield host, tool.pid if tool is not None else host.pid
    finally:
        host.close()
        if tool is not None:
            tool.kill()
            tool.wait()


# ---------------------------------------------------------------------------------------------
# What a call gives


CALLS = {
    "quick call": lambda host: host.z.set("p", "a b"),
    "quick call, not cast": lambda host: host.z.set("p", 5, cast_=False),
    "quick call cast": lambda host: host.z.list(1, "a b", [2, 3]),
    "tk.call": lambda host: host.tk.call("::list", "x y", "[z]"),
    "tk.eval": lambda host: host.tk.eval("string repeat ab 3"),
    "tk.setvar": lambda host: host.tk.setvar("p", "value"),
    "tk.unsetvar": lambda host: host.tk.unsetvar("p"),
    "variable set": lambda host: TclVariable("::pv", tcl=host).set("[v]"),
    "array unset": lambda host: TclArrayVariable("::pa", tcl=host).unset("k"),
}  # fmt: skip


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_a_call_gives_a_pending_of_what_it_gives_outside(any_host, call):
    any_host.tk.eval("array set ::pa {k 1}; set ::p 1")
    expected = call(any_host)
    any_host.tk.eval("array set ::pa {k 1}; set ::p 1")
    with any_host.pipeline():
        pending = call(any_host)
        assert type(pending) is Pending
        assert pending.result() == expected and type(pending.result()) is type(expected)
    assert pending.done() and repr(pending) == "<Pending answered>"


def test_pendings_are_done_at_once_in_this_process(interp):
    tk = interp.tk
    with interp.pipeline():
        pending = interp.z.set("p", 1)
        assert pending.done() and tk.getvar("p") in ("1", 1)
    assert interp.tk is tk


def test_reads_wait_for_the_calls_in_flight(any_host):
    array = TclArrayVariable("::pread", tcl=any_host)
    with any_host.pipeline():
        for i in range(200):
            any_host.z.set("count", i)
        any_host.tk.eval("array unset ::pread")
        array.update(a="1", b="[2]")
        any_host.vars["listed"] = "yes"
        flag = any_host.tk.eval("set flag on")
        # Each read needs the answer to go on: it sees every call made before it.
        assert str(any_host.tk.getvar("count")) == "199"
        assert {key: str(value) for key, value in array.items()} == {"a": "1", "b": "[2]"}
        assert "listed" in any_host.vars and any_host.vars["listed"] == "yes"
        assert any_host.cast_boolean(flag) is True
        assert any_host.cast_list(any_host.tk.call("::list", "a b", "c")) == ("a b", "c")
        assert TclVariable("::count", tcl=any_host).get() in ("199", 199)


def test_calls_run_in_the_order_made(any_host):
    any_host.tk.eval("set ::order {}")
    with any_host.pipeline():
        for i in range(3000):
            if i % 3 == 0:
                any_host.z.lappend("::order", i)
            elif i % 3 == 1:
                any_host.tk.call("::lappend", "::order", i)
            else:
                any_host.tk.eval(f"lappend ::order {i}")
    assert [int(i) for i in any_host.cast_list(any_host.tk.getvar("order"))] == list(range(3000))


# ---------------------------------------------------------------------------------------------
# Errors


def test_after_the_first_failure_none_of_the_rest_runs(any_host):
    any_host.tk.eval("set ::ran 0; proc ::traced {what} { error \"failed: $what\" }")
    pendings = []
    with pytest.raises(TclError) as raised:
        with any_host.pipeline():
            pendings.append(any_host.z.incr("::ran"))
            pendings.append(any_host.z.traced("here"))
            pendings += [any_host.z.incr("::ran"), any_host.tk.eval("incr ::ran"),
                         any_host.tk.setvar("::ran", 100)]
    # The block raises the quick call's error as a quick call made alone does: with Tcl's trace.
    trace = any_host.tk.getvar("::errorInfo")
    assert str(raised.value) == trace and str(raised.value).startswith("failed: here\n")
    assert str(pendings[0].result()) == "1" and str(any_host.tk.getvar("ran")) == "1"
    with pytest.raises(TclError, match="^failed: here\n"):
        pendings[1].result()
    for pending in pendings[2:]:
        assert repr(pending) == "<Pending not run>"
        with pytest.raises(TclError, match="^not run: an earlier call in the pipeline failed"):
            pending.result()
    # The next block is a block of its own.
    with any_host.pipeline():
        after = any_host.z.incr("::ran")
    assert str(after.result()) == "2"


def test_an_error_taken_by_result_lets_the_block_go_on(any_host):
    with any_host.pipeline():
        failed = any_host.tk.eval("error first")
        with pytest.raises(TclError, match="^first$"):
            failed.result()
        later = any_host.z.set("p", "went on")
    assert later.result() == "went on"


def test_a_new_client_of_a_serving_tool_starts_afresh():
    tool, _ = serving_tclsh(serves=2)
    try:
        for round_ in range(2):
            with attach(tool) as host:
                with pytest.raises(TclError, match="^stop$"):
                    with host.pipeline():
                        ran = host.z.set("p", round_)
                        host.tk.eval("error stop")
                assert ran.result() == str(round_)
    finally:
        tool.kill()
        tool.wait()


# ---------------------------------------------------------------------------------------------
# History, callbacks, threads


def test_history_records_each_call_as_sent(any_host):
    any_host.history.clear()
    with pytest.raises(TclError):
        with any_host.pipeline():
            any_host.z.set("p", "a b")
            any_host.z.error("stop")
            any_host.z.set("p", 2)
    assert [entry.api for entry in any_host.history.filter(count=3)] == [
        "set p {a b}", "error stop", "set p 2"]  # fmt: skip


def test_callbacks_are_served_while_answers_are_read(remote):
    seen = []

    def record(n):
        seen.append(n)
        # A callback may call the remote again, and read what earlier calls of the block did.
        return remote.tk.eval(f"expr {{{n} * 2}}") + " " + earlier.result()

    remote.tk.createcommand("::record", record)
    with remote.pipeline():
        earlier = remote.z.set("p", "before")
        doubled = [remote.tk.call("::record", n) for n in range(300)]
    assert seen == [str(n) for n in range(300)]
    assert [pending.result() for pending in doubled] == [f"{2 * n} before" for n in range(300)]
    remote.tk.deletecommand("::record")


def test_a_callback_that_waits_for_a_later_call_is_refused_not_hung(remote):
    def wait_for_later():
        try:
            later.result()
        except RuntimeError as error:
            return str(error)
        return "waited"

    remote.tk.createcommand("::waits", wait_for_later)
    with remote.pipeline():
        remote.tk.eval("after 300")  # the callback runs once both calls below were made
        waiting = remote.tk.call("::waits")
        later = remote.z.set("p", 1)
    assert "runs after the callback" in waiting.result() and later.result() == "1"
    remote.tk.deletecommand("::waits")


def test_other_threads_wait_for_the_block(remote):
    results = []
    thread = threading.Thread(target=lambda: results.append(remote.tk.getvar("p")))
    with remote.pipeline():
        remote.z.set("p", "first")
        thread.start()
        time.sleep(0.1)
        remote.z.set("p", "block's last")
    thread.join(10)
    assert results == ["block's last"]


# ---------------------------------------------------------------------------------------------
# Many calls, big answers


def test_a_big_block_neither_blocks_nor_holds_dropped_answers(remote):
    remote.history.disable()
    remote.tk.eval("set ::big [string repeat x 20000]")
    value = "y" * 20000
    tracemalloc.start()
    try:
        with remote.pipeline():
            # Both ways at once: 20 kB sent and 20 kB answered by each call, 600 MB in all, and
            # no Pending kept.
            for _ in range(15000):
                remote.tk.call("::set", "::copy", value)
                remote.tk.eval("set ::big")
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
        remote.history.enable()
    assert peak < 40_000_000  # a fraction of the 300 MB of answers


def test_a_hundred_thousand_calls_keep_their_answers(remote):
    remote.history.disable()
    with remote.pipeline():
        pendings = [remote.z.set("p", i) for i in range(100_000)]
    remote.history.enable()
    assert [pending.result() for pending in pendings[::9973]] == [
        str(i) for i in range(0, 100_000, 9973)]  # fmt: skip


# ---------------------------------------------------------------------------------------------
# Faults: the host closes and every Pending raises


def made_until_broken(host: TclProcess, pendings: list, seconds: float) -> None:
    """Calls made while the remote is busy, until the host finds it broken."""
    started = time.monotonic()
    pendings.append(host.tk.eval("after 3000"))
    while time.monotonic() - started < seconds:
        pendings.append(host.z.set("p", 1))
        time.sleep(0.001)
    pendings[-1].result()


@pytest.mark.parametrize("fault, raised", [
    ("killed", TclProcessError), ("timeout", TimeoutError), ("ctrl-c", KeyboardInterrupt),
])  # fmt: skip
def test_a_fault_inside_a_block_closes_the_host(doomed, fault, raised):
    host, pid = doomed
    host.z.set("p", 0)
    if fault == "timeout":
        host._link.timeout = 0.5
    elif fault == "killed":
        threading.Timer(0.3, os.kill, (pid, signal.SIGKILL)).start()
    else:
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    pendings: list[Pending] = []
    started = time.monotonic()
    with pytest.raises(raised):
        with host.pipeline():
            first = host.z.set("p", "answered")
            first.result()
            made_until_broken(host, pendings, 10)
    assert time.monotonic() - started < 5 and host.closed
    assert first.result() == "answered"
    for pending in pendings:
        with pytest.raises((TclProcessError, TimeoutError)):
            pending.result()
    with pytest.raises(TclProcessError):
        with host.pipeline():
            pass


def test_ctrl_c_between_calls_closes_the_host(doomed):
    host, _ = doomed
    with pytest.raises(KeyboardInterrupt):
        with host.pipeline():
            pending = host.tk.eval("after 200")
            raise KeyboardInterrupt
    assert host.closed
    with pytest.raises(TclProcessError, match="interrupted"):
        pending.result()


# ---------------------------------------------------------------------------------------------
# A Tcl RPC server: no agent there, so each call runs at once


def test_over_a_tcl_rpc_server_each_call_runs_at_once():
    answers = [[b"\x1eo1 1\x1a"], [b"\x1ee4 nope\x1a"], [b"\x1eo4 nope\x1a"], [b"\x1eo1 2\x1a"]]
    server = FakeServer([HELLO, *answers])
    try:
        host = TclProcess.connect_rpc(server.port, timeout=10)
        with pytest.raises(TclError, match="^nope$"):
            with host.pipeline():
                first = host.tk.call("first")
                assert first.done() and len(server.commands) == 2
                failed = host.z.second()
                skipped = host.tk.call("third")
        assert first.result() == "1" and repr(failed) == "<Pending failed>"
        assert repr(skipped) == "<Pending not run>" and not host.closed
        assert host.tk.call("fourth") == "2"
        # The third was never sent; the failed one's trace was read.
        assert [command.split(b" c ")[-1] for command in server.commands[1:]] == [
            b"first", b"second", b"::set ::errorInfo", b"fourth"]  # fmt: skip
        host.close()
    finally:
        server.close()
