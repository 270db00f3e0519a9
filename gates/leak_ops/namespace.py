"""Every handle and view of the namespace module: variables, arrays, commands, namespaces, their
views, and temporaries entered and left. Each operation leaves Tcl as it found it."""

from __future__ import annotations

from typing import Any, Iterator

from gates.leakcheck import Env, Operation


def _python_command(*args: Any) -> str:
    return "ok"


def _failing_command(*args: Any) -> str:
    raise ValueError(f"bad {args!r}")


def operations(module: Any, env: Env) -> Iterator[Operation]:
    from tarvik.tcl import TclInterpreter

    host = env.keep(TclInterpreter())  # handles hold it only through a weak proxy
    host.tk.eval("namespace eval ::leak { variable x 1; proc p {a {b 2}} { return $a } }")
    host.tk.eval("array set ::leak::arr {a 1 b 2}")
    M = module
    var = M.TclVariable("::leak::x", tcl=host)
    arr = M.TclArrayVariable("::leak::arr", tcl=host)
    proc = M.TclCommand("::leak::p", tcl=host)
    command = M.TclCommand("::list", args=("lead",), keywords={"unit": "mV"}, tcl=host)
    ns = M.TclNamespace("::leak", tcl=host)
    nested = [1, ["two words", {"k": "v"}]]

    def variable_cycle() -> None:
        v = M.TclVariable("::leak::y", tcl=host)
        v.set(nested)
        v.get(), v.get_obj(), v.get_str(), v.exists(), v.is_array()
        v.unset()

    def array_cycle() -> None:
        arr["c"] = nested
        arr["c"], len(arr), list(arr), "c" in arr
        arr.array_get(), arr.array_get_obj("?"), arr.array_get_str(), arr.array_names("*")
        arr.array_size(), arr.array_item_byref("a").get()
        del arr["c"]

    def array_update() -> None:
        arr.update(c=1, d=2)
        arr.array_unset("[cd]")

    def command_queries() -> None:
        proc.exists(), proc.is_command(), proc.is_proc(), proc.origin()
        proc.proc_body(), proc.proc_args(), proc.proc_arg_default("b"), proc.absolute()

    def rename_cycle() -> None:
        c = M.TclCommand("::leak::p", tcl=host)
        c.rename("::leak::q")
        M.TclCommand("::leak::q", tcl=host).rename("::leak::p")

    def namespace_queries() -> None:
        ns.children(), ns.current(), ns.exists(), ns.parent(), ns.which("p", command=True)
        ns.which("x", variable=True), ns.code("set x"), ns.is_absolute(), ns.absolute()

    def name_algebra() -> None:
        N = M.TclNamespace
        N.join("::app", "drivers", "scope"), N.split("::a::b::c"), N.normalize("a::::b::")
        N.qualifiers("::a::b::c"), N.tail("::a::b::c")

    def variable_views() -> None:
        ns.vars["z"] = nested
        ns.vars["z"], ns.objs["z"], "z" in ns.vars, len(ns.vars), list(ns.vars)
        ns.vars.exists("z"), ns.vars.is_array("arr"), ns.vars.array_get("arr")
        ns.vars.array_names("arr"), ns.vars.byref("x").get(), ns.vars.array_byref("arr")["a"]
        del ns.vars["z"]

    def view_snapshots() -> None:
        ns.vars["arr"], ns.objs["arr"], dict(ns.vars), dict(ns.objs), len(ns.objs)
        "a[1]" in ns.cmds, "p*" in ns.procs, repr(ns), repr(ns.vars)
        list(ns.vars.keys()), ns.cmds.keys() & {"p"}, len(ns.procs.keys())

    def view_missing_item() -> None:
        try:
            ns.vars["none"]
        except KeyError:
            pass

    def command_views() -> None:
        ns.cmds["p"]("1"), "p" in ns.cmds, list(ns.cmds), list(ns.procs), len(ns.procs)
        ns.cmds.exists("p"), ns.procs.exists("p"), ns.cmds.proc_args("p"), ns.cmds.origin("p")
        ns.cmds.byref("p").proc_body()

    def create_and_delete_command() -> None:
        ns.cmds.createcommand("py", _python_command)
        ns.cmds["py"]("x")
        ns.cmds.delete("py")

    # Over a child tclsh: _tkinter itself keeps every exception a callback raises (it holds the
    # last one for a mainloop and drops the one before without releasing it), which would hide
    # what this package does with the error.
    from tarvik.tcl import TclProcess

    remote = env.keep(TclProcess(timeout=60))
    failing = M.TclCommand("::failing", tcl=remote)
    failing.createcommand(_failing_command)

    def python_error_caught_by_tcl() -> None:
        remote.tk.eval("catch {::failing a {b c}} m opts")

    def traced_writes() -> None:
        name = var.trace_add(("write", "unset"), _python_command)
        var.set(2)
        var.trace_info()
        var.trace_remove(("write", "unset"), name)

    def refused_trace() -> None:
        var.trace_add("bogus", _python_command)

    remote_var = M.TclVariable("::traced", tcl=remote)

    def failing_trace() -> None:
        name = remote_var.trace_add("write", _failing_command)
        try:
            remote_var.set(1)
        except Exception:
            pass
        remote_var.trace_remove("write", name)

    def temporary_traced() -> None:
        with M.TempTclVariable(tcl=host) as t:
            t.trace_add("write", _python_command)
            t.set(1)

    def temporary_variable() -> None:
        with M.TempTclVariable(tcl=host) as t:
            t.set(nested)
            t.get()

    def temporary_array() -> None:
        with M.TempTclArrayVariable(tcl=host) as t:
            t["a"] = 1
            dict(t)

    def temporary_command() -> None:
        with M.TempTclCommand(_python_command, tcl=host) as t:
            t("a", flag=True)

    def temporary_namespace() -> None:
        with M.TempTclNamespace(tcl=host) as t:
            t.vars["v"] = nested
            t.eval("set v")

    yield Operation("variable set, get and unset", variable_cycle, watch=(nested,))
    yield Operation("variable missing", lambda: M.TclVariable("::leak::none", tcl=host).get(),
                    raises=Exception)
    yield Operation("variable tclobj and absolute", lambda: (var.__tclobj__(), var.absolute()))
    yield Operation("array item and query methods", array_cycle)
    yield Operation("array update and array_unset", array_update)
    yield Operation("command call with keywords", lambda: command("x y", samples=16, on=True))
    yield Operation("command build_tclcmd and eval",
                    lambda: (command.build_tclcmd(1, k=2), command.eval("z")))
    yield Operation("command queries", command_queries)
    yield Operation("command rename", rename_cycle)
    yield Operation("command raising TclError",
                    lambda: M.TclCommand("::error", tcl=host)("boom"), raises=Exception)
    yield Operation("namespace queries", namespace_queries)
    yield Operation("namespace eval and call", lambda: (ns.eval("set x"), ns.call("set", "x")))
    yield Operation("name algebra", name_algebra)
    yield Operation("variable views", variable_views, watch=(nested,))
    yield Operation("view arrays, snapshots, exact membership, reprs", view_snapshots)
    yield Operation("view item missing", view_missing_item)
    yield Operation("views shown as HTML",
                    lambda: (ns.vars._repr_html_(), ns.objs._repr_html_(), ns.cmds._repr_html_(),
                             ns.procs._repr_html_()))  # fmt: skip
    yield Operation("command and proc views", command_views)
    yield Operation("Python function as a command", create_and_delete_command)
    yield Operation("Python error caught by Tcl", python_error_caught_by_tcl)
    yield Operation("Python error through a call", lambda: failing("x"), raises=Exception)
    yield Operation("trace added, run and removed", traced_writes)
    yield Operation("trace refused", refused_trace, raises=Exception)
    yield Operation("trace raising over a link", failing_trace)
    yield Operation("temporary variable with a trace", temporary_traced)
    yield Operation("temporary variable entered and left", temporary_variable)
    yield Operation("temporary array entered and left", temporary_array)
    yield Operation("temporary command entered and left", temporary_command)
    yield Operation("temporary namespace entered and left", temporary_namespace)
