"""Quick calls through a host whose history is kept small, with keywords, casts and Tcl errors,
and through a host whose history is disabled."""

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

    quiet = env.keep(TclInterpreter())  # a disabled history is passed by without a list of words
    quiet.history.disable()
    yield Operation("quick call, history disabled", lambda: quiet.z.list("ch 1", 2, on=True))
    yield Operation("quick call, host's own cast", lambda: quiet.z.set("x", "1"))
