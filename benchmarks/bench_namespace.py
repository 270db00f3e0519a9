"""Handles on Tcl variables and commands, and namespace views, against the raw Tk calls they amount
to; the name algebra against a pure-Python implementation."""

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
    views(table, tcl)
    names(table)


# What any exact snapshot of a namespace's variables has to do, written in plain Python: one query
# for the namespace's own variables that have a value, then each read as its Tcl string by one
# evaluation of `set name` (as get_str() reads), so that a value Tcl holds as a number or a list
# keeps its text and its read traces run once, in the interpreter as it is. Against the raw loop
# this is the floor of the dict() row: the query and the string reads are work the raw loop does
# not do.
OWN_VARIABLES = ("{ns} {::lmap name [::namespace eval $ns {::info vars}] {"
                 "if {[::info exists ${ns}::$name]} {set name} else continue}}")


def exact_snapshot(tk, ns: str) -> dict:
    return {name: tk.eval(f"set {ns}::{name}")
            for name in tk.splitlist(tk.call("::apply", OWN_VARIABLES, ns))}


def views(table, tcl) -> None:
    tk = tcl.tk
    ns = TclNamespace("::bench_ns", tcl)
    ns.create()

    def through_view():
        ns.vars["x"] = "value"
        ns.vars["x"]

    def raw():
        tk.setvar("::bench_ns::x", "value")
        tk.eval("set ::bench_ns::x")

    table.within("views", "vars['x'] = v; vars['x']", through_view,
                 "tk.setvar + tk.eval('set ...')", raw, 3)

    # The views make a handle per operation: what making one costs, beside a read it can make.
    table.within("views", "vars.byref('x'): a new TclVariable", lambda: ns.vars.byref("x"),
                 "tk.getvar(name)", lambda: tk.getvar("::bench_ns::x"), None)
    table.within("TclNamespace", "TclNamespace(name, tcl) and its four views",
                 lambda: TclNamespace("::bench_ns", tcl), "tk.getvar(name)",
                 lambda: tk.getvar("::bench_ns::x"), None)

    handle = TclVariable("::bench_ns::x", tcl=tcl)
    assert ns.vars["x"] == handle.get_str()
    table.within("views", "vars['x']", lambda: ns.vars["x"],
                 "TclVariable made once, get_str()", handle.get_str, 1.25)
    assert ns.objs["x"] == handle.get_obj()
    table.within("views", "objs['x']", lambda: ns.objs["x"],
                 "TclVariable made once, get_obj()", handle.get_obj, 1.25)

    snapshot = TclNamespace("::bench_snapshot", tcl)
    snapshot.create()
    names = [f"::bench_snapshot::v{i}" for i in range(10000)]
    for i, name in enumerate(names):
        tk.setvar(name, f"value {i}")
    assert dict(snapshot.vars) == {n.rpartition("::")[2]: tk.getvar(n) for n in names}
    assert dict(snapshot.vars) == exact_snapshot(tk, "::bench_snapshot")
    table.within("views", "dict(vars), 10,000 variables", lambda: dict(snapshot.vars),
                 "{n: tk.getvar(n) for n in names}", lambda: {n: tk.getvar(n) for n in names}, 2)
    table.within("views", "dict(vars), 10,000 variables", lambda: dict(snapshot.vars),
                 "the same work in Python", lambda: exact_snapshot(tk, "::bench_snapshot"), None)

    many = TclNamespace("::bench_many", tcl)
    many.create()
    for i in range(1000):
        tk.setvar(f"::bench_many::v{i}", i)
    # The one plain Tcl query that names exactly the namespace's own variables (none here is only
    # declared); asked inside the namespace, info vars is quicker but adds the visible globals.
    query = ("::info", "vars", "::bench_many::*")
    assert sorted(n.rpartition("::")[2] for n in tk.splitlist(tk.call(query))) == sorted(many.vars)
    table.within("views", "list(vars), 1,000 variables", lambda: list(many.vars),
                 "info vars ::ns::* + tk.splitlist", lambda: tk.splitlist(tk.call(query)), 2)
