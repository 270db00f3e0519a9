"""Variable traces with tkinter's meaning, on an interpreter in this process and on one in another
(over its pipes and over TCP): what a callback gets, errors, removal, and temporaries."""

from __future__ import annotations

import gc
import subprocess
import weakref

import pytest

from tarvik.tcl import TclError, TclInterpreter, TclProcess, agent_script
from tarvik.tcl.namespace import (TclArrayVariable, TclVariable, TempTclArrayVariable,
                                  TempTclVariable)


def trace_commands(host) -> list[str]:
    return list(host.cast_list(host.tk.call("info", "commands", "::__tarvik__trace_*")))


@pytest.fixture(scope="module")
def tcp_host():
    """A tclsh serving its agent over TCP."""
    child = subprocess.Popen(["tclsh"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    child.stdin.write(f"source {{{agent_script()}}}; tarvik::serve\n")
    child.stdin.close()
    *_, port, token = child.stdout.readline().split()
    with TclProcess.connect(int(port), token, timeout=60) as host:
        yield host
    child.wait(10)


@pytest.fixture(params=["local", "pipes", "tcp"])
def any_host(request):
    name = {"local": "interp", "pipes": "process", "tcp": "tcp_host"}[request.param]
    host = request.getfixturevalue(name)
    commands = trace_commands(host)
    yield host
    host.tk.eval("foreach v {::traced ::arr} {if {[info exists $v]} {unset $v}}")
    gc.collect()
    assert trace_commands(host) == commands, "a trace command was left behind"


class Recorder:
    def __init__(self):
        self.calls: list[tuple] = []

    def __call__(self, *args):
        self.calls.append(args)


@pytest.mark.parametrize(
    "mode, action, expected",
    [
        ("write", "set ::traced 1", [("::traced", "", "write")]),
        ("read", "set ::traced", [("::traced", "", "read")]),
        ("unset", "unset ::traced", [("::traced", "", "unset")]),
        (("read", "write"), "set ::traced [set ::traced]x", [("::traced", "", "read"),
                                                  ("::traced", "", "write")]),  # fmt: skip
        (["write", "unset"], "set ::traced 2; unset ::traced",
         [("::traced", "", "write"), ("::traced", "", "unset")]),  # fmt: skip
    ],
)
def test_a_scalar_trace_calls_back_with_name_index_and_operation(any_host, mode, action, expected):
    any_host.tk.eval("set ::traced 0")
    variable = TclVariable("::traced", tcl=any_host)
    seen = Recorder()
    name = variable.trace_add(mode, seen)
    any_host.tk.eval(action)
    assert seen.calls == expected
    # An unset ends the variable's traces but not their commands: removing the trace still
    # deletes its command (which the fixture checks).
    variable.trace_remove(mode, name)


@pytest.mark.parametrize(
    "handle, mode, action, expected",
    [
        (lambda h: TclArrayVariable("::arr", tcl=h), "write", "set {::arr(k 1)} v",
         [("::arr", "k 1", "write")]),  # fmt: skip
        (lambda h: TclArrayVariable("::arr", tcl=h), "array", "array names ::arr",
         [("::arr", "", "array")]),  # fmt: skip
        (lambda h: TclVariable("::arr", array_index="k", tcl=h), "read", "set ::arr(k)",
         [("::arr", "k", "read")]),  # fmt: skip
    ],
)
def test_array_and_element_traces(any_host, handle, mode, action, expected):
    any_host.tk.eval("array set ::arr {k 0}")
    variable = handle(any_host)
    seen = Recorder()
    name = variable.trace_add(mode, seen)
    any_host.tk.eval(action)
    assert seen.calls == expected
    variable.trace_remove(mode, name)


def test_info_lists_each_trace_and_remove_deletes_its_command(any_host):
    variable = TclVariable("::traced", tcl=any_host)
    first = variable.trace_add("write", Recorder())
    second = variable.trace_add(("read", "unset"), Recorder())
    assert first != second and {first, second} <= set(trace_commands(any_host))
    assert sorted(variable.trace_info()) == sorted([(("write",), first),
                                                    (("read", "unset"), second)])  # fmt: skip
    variable.trace_remove("write", first)
    assert variable.trace_info() == [(("read", "unset"), second)]
    assert first not in trace_commands(any_host)
    variable.trace_remove("write", first)  # already gone: nothing to do
    variable.trace_remove(("read", "unset"), second)
    assert variable.trace_info() == [] and second not in trace_commands(any_host)


def test_a_command_still_used_by_another_trace_stays(any_host):
    variable = TclVariable("::traced", tcl=any_host)
    seen = Recorder()
    name = variable.trace_add("write", seen)
    any_host.tk.call("trace", "add", "variable", "::traced", "read", (name,))
    variable.trace_remove("write", name)
    assert variable.trace_info() == [(("read",), name)] and name in trace_commands(any_host)
    any_host.tk.eval("set ::traced 1; set ::traced")
    assert seen.calls == [("::traced", "", "read")]
    # Modes that match no trace remove nothing: Tcl compares the whole set.
    variable.trace_remove(("read", "write"), name)
    assert name in trace_commands(any_host)
    variable.trace_remove("read", name)
    assert name not in trace_commands(any_host)


def test_removing_a_trace_of_tcls_own_leaves_its_command(any_host):
    any_host.tk.eval("proc ::watcher {args} {}; trace add variable ::traced write ::watcher")
    variable = TclVariable("::traced", tcl=any_host)
    assert variable.trace_info() == [(("write",), "::watcher")]
    variable.trace_remove("write", "::watcher")
    assert variable.trace_info() == []
    assert any_host.cast_list(any_host.tk.call("info", "procs", "::watcher")) == ("::watcher",)
    any_host.tk.eval("rename ::watcher {}")


def test_an_exception_in_the_callback_is_a_tcl_error_of_the_traced_operation(any_host):
    variable = TclVariable("::traced", tcl=any_host)

    def refuse(*args):
        raise ValueError("read only")

    name = variable.trace_add("write", refuse)
    with pytest.raises(TclError, match='can\'t set "::traced": ValueError: read only'):
        variable.set(1)
    trace = any_host.tk.eval("catch {set ::traced 2}; set ::errorInfo")
    assert "Traceback (most recent call last)" in trace and "in refuse" in trace
    variable.trace_remove("write", name)


@pytest.mark.parametrize("mode", ["bogus", ("write", "nothing"), ""])
def test_a_refused_trace_leaves_no_command(any_host, mode):
    with pytest.raises(TclError, match="bad operation"):
        TclVariable("::traced", tcl=any_host).trace_add(mode, Recorder())
    # The fixture checks that no command was left behind.


def test_a_callable_that_is_not_one_is_refused_before_anything_reaches_tcl(any_host):
    with pytest.raises(TypeError):
        TclVariable("::traced", tcl=any_host).trace_add("write", "not callable")


@pytest.mark.parametrize("cls", [TempTclVariable, TempTclArrayVariable])
def test_a_temporarys_traces_go_with_it(any_host, cls):
    seen = Recorder()
    with pytest.raises(KeyError):
        with cls(tcl=any_host) as temporary:
            temporary.trace_add(("write", "unset"), seen)
            temporary.trace_add("read", seen)
            if cls is TempTclVariable:
                temporary.set(1)
            else:
                temporary["k"] = 1
            raise KeyError("the block fails")
    # The variable's unset trace ran as the block ended; then its commands went (which the
    # fixture checks).
    assert [call[2] for call in seen.calls] == ["write", "unset"]


def test_a_temporary_forgets_the_commands_removed_before_its_end(any_host):
    with TempTclVariable(tcl=any_host) as temporary:
        name = temporary.trace_add("write", Recorder())
        temporary.trace_remove("write", name)
        kept = temporary.trace_add("write", Recorder())
    assert name not in trace_commands(any_host) and kept not in trace_commands(any_host)


def test_the_callback_keeps_no_interpreter_alive():
    pytest.importorskip("tkinter")
    host = TclInterpreter()
    TclVariable("::x", tcl=host).trace_add("write", Recorder())
    gone = weakref.ref(host)
    del host
    gc.collect()
    assert gone() is None


def test_names_hold_the_function_name_only_when_tcl_needs_no_quoting(interp):
    variable = TclVariable("::traced", tcl=interp)

    def on_write(*args):
        pass

    odd = Recorder()
    names = [variable.trace_add("write", on_write), variable.trace_add("write", odd),
             variable.trace_add("write", lambda *a: None)]  # fmt: skip
    assert names[0].startswith("::__tarvik__trace_") and names[0].endswith("_on_write")
    assert all(name == interp.tk.splitlist(name)[0] for name in names)
    for name in names:
        variable.trace_remove("write", name)
