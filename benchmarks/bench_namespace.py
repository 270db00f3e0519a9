"""Handles on Tcl variables and commands against the raw Tk calls they amount to, and the name
algebra against a pure-Python implementation."""

import baseline_namespace
from tarvik.tcl import TclInterpreter
from tarvik.tcl.namespace import TclCommand, TclNamespace, TclVariable


def variables(table, tcl) -> None:
    tk = tcl.tk
    variable = TclVariable("::bench_x", tcl=tcl)

    def handle():
        variable.set("value")
        variable.get_obj()

    def raw():
        tk.setvar("::bench_x", "value")
        tk.getvar("::bench_x")

    table.within("TclVariable", "set + get_obj", handle, "tk.setvar + tk.getvar", raw, 1.5)


def commands(table, tcl) -> None:
    tk = tcl.tk
    tk.eval("proc ::bench_p {args} {}")
    command = TclCommand(("::bench_p",), tcl=tcl, keywords={"mode": "fast", "count": 3})
    words = ("::bench_p", 1, "two", "-mode", "fast", "-count", 3)
    assert command.build_tclcmd(1, "two") == words
    table.within("TclCommand", "call(1, 'two'), 2 presets", lambda: command.call(1, "two"),
                 "tk.call(words)", lambda: tk.call(words), 2)


def names(table) -> None:
    parts = ("::bench", "ns", "variable")
    assert TclNamespace.join(*parts) == baseline_namespace.join(*parts) == "::bench::ns::variable"
    table.faster("TclNamespace", "join of 3 parts", lambda: TclNamespace.join(*parts),
                 "pure-Python join", lambda: baseline_namespace.join(*parts), 5)


def run(table) -> None:
    tcl = TclInterpreter()
    variables(table, tcl)
    commands(table, tcl)
    names(table)
