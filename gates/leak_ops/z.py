"""Quick calls through a host whose history is kept small, with keywords, casts and Tcl errors,
through a host whose history is disabled, and through a host whose Tcl runs in a child process
(calls, callbacks and errors crossing the link)."""

from __future__ import annotations

from typing import Any, Iterator

from gates.leakcheck import Env, Operation


def operations(module: Any, env: Env) -> Iterator[Operation]:
    from tarvik.tcl import TclInterpreter
    from tarvik.tcl.history import History

    host = env.keep(TclInterpreter())  # handles hold it only through a weak proxy
    host.history = History(max_history=50)
    host.tk.eval("namespace eval ::lab { proc measure {ch args} { return [list $ch {*}$args] } }")
    z = host.z
    nested = [1, ["two words", {"k": "v"}]]

    yield Operation("quick call with keywords", lambda: z.lab.measure("ch 1", samples=8, on=True))
    yield Operation("quick call of a nested value", lambda: z.llength(nested, cast_=False),
                    watch=(nested,))
    yield Operation("attribute chain only", lambda: z.lab.measure)
    yield Operation("quick call raising TclError", lambda: z.error("boom"), raises=Exception)
    yield Operation("calling Z itself", lambda: z(), raises=Exception)
    yield Operation("dunder probe of a chain", lambda: getattr(z.lab, "__wrapped__"),
                    raises=AttributeError)
    host.tk.call("set", "::bytes", b"\x00\xffA")
    yield Operation("uncast byte array", lambda: z.set("::bytes", cast_=False))

    quiet = env.keep(TclInterpreter())  # a disabled history is passed by without a list of words
    quiet.history.disable()
    yield Operation("quick call, history disabled", lambda: quiet.z.list("ch 1", 2, on=True))
    yield Operation("quick call, host's own cast", lambda: quiet.z.set("x", "1"))

    from tarvik.tcl import TclProcess

    remote = env.keep(TclProcess(timeout=60))
    remote.history = History(max_history=50)
    remote.tk.createcommand("::py_echo", lambda text: text)
    yield Operation("quick call over a child tclsh", lambda: remote.z.set("x", "a b"))
    yield Operation("callback over a child tclsh", lambda: remote.tk.eval("::py_echo {a b}"))
    yield Operation("Tcl error over a child tclsh", lambda: remote.z.error("boom"),
                    raises=Exception)
    from tarvik.tcl.namespace import TclCommand

    TclCommand("::py_fail", tcl=remote).createcommand(lambda *args: 1 / 0)
    yield Operation("Python error over a child tclsh",
                    lambda: remote.tk.eval("catch ::py_fail"))
