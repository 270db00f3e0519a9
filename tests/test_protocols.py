"""Python's own protocols against the package: probes that must never run Tcl, views that keep the
mapping contract, Python errors that reach Tcl with their text, results as Tcl's strings, reprs."""

from __future__ import annotations

import copy
import gc
import inspect
import pydoc
import re
import weakref

import pytest

from tarvik.tcl import TclError, TclProcess
from tarvik.tcl.history import History
from tarvik.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TempTclCommand,
    TempTclNamespace,
)
from tarvik.tcl.z import Z, Z_Code

from test_lifetimes import run_child
from test_namespace import nothing_left_behind  # noqa: F401 (autouse)


@pytest.fixture
def trap(interp):
    """Procs named like Python's probes: a probe that becomes a Tcl call increments ::pwned."""
    tk = interp.tk
    probes = ("__deepcopy__", "__wrapped__", "__origin__", "__name__", "__signature__")
    for probe in probes:
        tk.eval(f"proc ::{probe} args {{incr ::probed}}; proc ::lab::{probe} args {{incr ::probed}}"
                if tk.eval("namespace exists ::lab") == "1" else
                f"proc ::{probe} args {{incr ::probed}}")
    yield interp
    for probe in probes:
        tk.eval(f"rename ::{probe} {{}}")
    tk.eval("unset -nocomplain ::probed")


def probed(interp) -> bool:
    return interp.tk.eval("info exists ::probed") == "1"


# ---------------------------------------------------------------------------------------------
# Quick calls and Python's probes


@pytest.fixture(params=["root", "chain"])
def quick(request, interp):
    return interp.z if request.param == "root" else interp.z.lab.measure


@pytest.mark.parametrize("probe", ["__deepcopy__", "__wrapped__", "__origin__", "__signature__",
                                   "__length_hint__", "__fspath__", "__x__"])  # fmt: skip
def test_dunder_names_are_ordinary_attributes(trap, quick, probe):
    before = len(trap.history.__history__)
    # On the root, "cmd" is itself a command part (a new Z_Code), so only a chain has parts to compare.
    cmd = list(quick.cmd) if isinstance(quick, Z_Code) else None
    with pytest.raises(AttributeError):
        getattr(quick, probe)
    assert not hasattr(quick, probe)
    if cmd is not None:
        assert quick.cmd == cmd, "a probe became a command part"
    assert len(trap.history.__history__) == before and not probed(trap)


@pytest.mark.parametrize("name", ["_x", "__x", "x__", "_", "__"])
def test_other_underscore_names_stay_command_parts(interp, name):
    assert getattr(interp.z, name).cmd == [name]
    assert getattr(interp.z.ns, name).cmd == ["ns", name]


def test_python_protocols_never_run_tcl(trap):
    z = trap.z
    before = len(trap.history.__history__)
    try:
        copy.deepcopy({"z": z})
    except TclError:  # pragma: no cover - the fault itself
        pytest.fail("deepcopy ran Tcl")
    except (TypeError, AttributeError):
        pass  # the interpreter behind the proxy cannot be copied: that is not Tcl's business
    assert inspect.unwrap(z) is z and inspect.unwrap(z.lab) is not None
    text = pydoc.render_doc(z)
    assert "quick" in text.lower() and "::__origin__" not in text
    chain = z.lab.measure
    text = pydoc.render_doc(chain)
    assert "__name__" not in chain.cmd and chain.cmd == ["lab", "measure"]
    assert "::lab::measure::__" not in text
    assert len(trap.history.__history__) == before and not probed(trap)


def test_classes_explain_themselves():
    assert "quick" in Z.__doc__.lower()
    assert Z_Code.__doc__ and "chain" in Z_Code.__doc__.lower()


# ---------------------------------------------------------------------------------------------
# Results as Tcl's strings


BYTES = [(b"\x00\xffA", "\x00\xffA"), (b"", ""), (bytes(range(256)), bytes(range(256)).decode("latin-1"))]


@pytest.mark.parametrize("value, text", BYTES)
def test_byte_results_uncast_are_tcls_string(interp, value, text):
    interp.tk.call("set", "::b", value)
    assert interp.tk.eval("string length $::b") == str(len(value))
    assert interp.z.set("::b", cast_=False) == text
    assert interp.z.string("length", interp.z.set("::b", cast_=False)) == len(value)
    assert interp.z.set("::b") == value
    interp.tk.eval("unset ::b")


@pytest.mark.parametrize("value", [b"a\xff {b c}", b"", b"x\x80 y"])
def test_a_byte_array_splits_as_its_tcl_string(interp, value):
    interp.tk.call("set", "::b", value)
    try:
        assert interp.cast_list(interp.tk.call("set", "::b")) == interp.tk.splitlist(
            interp.tk.eval("set ::b"))
    finally:
        interp.tk.eval("unset ::b")


@pytest.mark.parametrize(
    "script",
    [
        "binary format H* 00ff41",
        "list [binary format H* 00ff] {a b} {}",
        "list 1 [list 2 [list 3 {x y}]] 4.5",
        "expr {1e16}",
        "expr {0.1 + 0.2}",
        "expr {2**70}",
        "expr {-1.5e-7}",
        "string is true yes",
    ],
)  # fmt: skip
def test_uncast_results_are_the_string_tcl_shows(interp, script):
    interp.tk.eval(f"set ::v [{script}]")
    try:
        assert interp.z.set("::v", cast_=False) == interp.tk.eval("set ::v")
    finally:
        interp.tk.eval("unset ::v")


# ---------------------------------------------------------------------------------------------
# Namespace views keep the mapping contract


@pytest.fixture
def app(interp):
    tk = interp.tk
    tk.eval(
        "namespace eval ::app {\n"
        "  variable version 2.1; variable declared; array set settings {gain 3 {a b} {c d}}\n"
        "  proc start {mode} {return started-$mode}\n"
        "}"
    )
    yield TclNamespace("::app", interp)
    tk.eval("namespace delete ::app")


def test_views_list_only_their_own_namespace(app):
    assert sorted(app.vars) == ["settings", "version"]
    assert sorted(app.objs) == ["settings", "version"]
    assert list(app.procs) == ["start"] and list(app.cmds) == ["start"]
    assert len(app.vars) == 2 and len(app.cmds) == len(app.procs) == 1


def test_every_listed_name_is_readable(app):
    for view in (app.vars, app.objs, app.cmds, app.procs):
        for name in view:
            assert name in view
            view[name]
    assert dict(app.vars) == {"version": "2.1", "settings": {"gain": "3", "a b": "c d"}}
    snapshot = dict(app.objs)
    assert snapshot["settings"] == {"gain": 3, "a b": "c d"} or snapshot["settings"]["a b"] == "c d"
    assert app.cmds["start"]("cold") == "started-cold"


def test_array_items_are_dicts_and_named_methods_keep_their_ways(app):
    assert app.vars["settings"] == {"gain": "3", "a b": "c d"}
    with pytest.raises(TclError):
        app.vars.get("settings")
    assert app.vars.array_get("settings") == {"gain": "3", "a b": "c d"}
    assert dict(app.objs)["version"] in (2.1, "2.1")


def test_a_new_interpreter_snapshots_its_globals(interp):
    snapshot = dict(interp.vars)
    assert isinstance(snapshot["env"], dict) and snapshot["env"]
    assert snapshot["tcl_platform"]["platform"] == interp.tk.eval("set tcl_platform(platform)")
    assert snapshot["tcl_version"] == interp.tk.eval("info tclversion")


@pytest.mark.parametrize("view", ["vars", "objs", "cmds", "procs"])
def test_listing_a_missing_namespace_creates_nothing(interp, view):
    handle = TclNamespace("::nowhere::deeper", interp)
    assert list(getattr(handle, view)) == [] and len(getattr(handle, view)) == 0
    assert interp.tk.eval("namespace exists ::nowhere") == "0"


def test_the_empty_name_keeps_the_current_namespace(interp):
    bare = TclNamespace(None, interp)
    assert "tcl_version" in list(bare.vars) and "set" in list(bare.cmds)


@pytest.mark.parametrize("name", ["a[1]", "b*", "c?", "d\\e", "[x]"])
def test_command_membership_is_exact(interp, app, name):
    app.cmds[name] = lambda *args: "called"
    try:
        assert name in app.cmds and name in list(app.cmds)
        assert app.cmds[name]() == "called"
        assert "a1" not in app.cmds and "bb" not in app.cmds and "cc" not in app.cmds
        assert name not in app.procs
        interp.tk.eval(f"proc {{::app::{name}}} {{}} {{}}")
        assert name in app.procs and "*" not in app.procs
    finally:
        del app.cmds[name]
    assert name not in app.cmds


def test_handles_keep_their_pattern_tests(interp, app):
    assert TclCommand(("::app::st*",), tcl=interp).exists()
    assert TclCommand(("::app::st*",), tcl=interp).is_proc()
    assert "st*" not in app.cmds and "st*" not in app.procs


# ---------------------------------------------------------------------------------------------
# Python errors reach Tcl with their text


class ProbeError(ValueError):
    pass


def failing(*args):
    raise ProbeError(f"bad probe {args!r}")


def registrations(interp, ns):
    """Every way the package registers a Python callable as a Tcl command, as (name, cleanup)."""

    def temporary():
        command = TempTclCommand(failing, tcl=interp)
        return command.cmd_name, command.delete

    def view():
        ns.cmds["failing"] = failing
        return "::app::failing", lambda: ns.cmds.delete("failing")

    def handle():
        command = TclCommand(("::app::handled",), tcl=interp)
        command.createcommand(failing)
        return "::app::handled", command.delete

    def view_method():
        ns.cmds.createcommand("viewed", failing)
        return "::app::viewed", lambda: ns.cmds.delete("viewed")

    return {"temporary": temporary, "view": view, "handle": handle, "view_method": view_method}


@pytest.mark.parametrize("way", ["temporary", "view", "handle", "view_method"])
def test_a_python_error_reaches_tcl_with_its_text(interp, app, way):
    name, cleanup = registrations(interp, app)[way]()
    tk = interp.tk
    try:
        script = f"list [catch {{{{{name}}} x {{y z}}}} m opts] $m [dict get $opts -errorcode] $::errorInfo"
        code, message, error_code, info = tk.splitlist(tk.eval(script))
        assert code == "1"
        assert message == "ProbeError: bad probe ('x', 'y z')"
        assert tk.splitlist(error_code) == ("PYTHON", "ProbeError")
        assert info.startswith("Traceback (most recent call last):") and "ProbeError" in info
        assert "in failing" in info
        handled = tk.eval(f"try {{{{{name}}}}} trap {{PYTHON ProbeError}} {{m}} {{set m}}")
        assert handled == "ProbeError: bad probe ()"
    finally:
        cleanup()


def test_a_quick_call_shows_the_python_traceback_inside_tcls_trace(interp, app):
    app.cmds["failing"] = failing
    interp.tk.eval("proc ::app::outer {} {::app::failing 1}")
    try:
        with pytest.raises(TclError) as caught:
            interp.z.app.outer()
        trace = str(caught.value)
        assert trace.startswith("Traceback (most recent call last):")
        assert "ProbeError: bad probe ('1',)" in trace and '"::app::failing 1"' in trace
        assert '(procedure "app::outer" line 1)' in trace  # the quick call names it relative
    finally:
        del app.cmds["failing"]
        interp.tk.eval("rename ::app::outer {}")


def test_callback_arguments_and_results_are_unchanged(interp, app):
    seen = []

    def echo(*args):
        seen.append(args)
        return ("a b", 2)

    app.cmds["echo"] = echo
    try:
        assert interp.tk.eval("::app::echo {x y} 3") in ("{a b} 2", "('a b', 2)")
        assert seen == [("x y", "3")]
        assert interp.tk.eval("::app::echo") == interp.tk.eval("::app::echo")
    finally:
        del app.cmds["echo"]


@pytest.mark.parametrize(
    "result, error",
    [
        ("[1]; value.append(value)", "RecursionError"),
        ("('a', '\\ud800')", "UnicodeEncodeError"),
        ("(Unprintable(),)", "ValueError: no str"),
    ],
    ids=["a list holding itself", "a lone surrogate", "an element whose str() fails"],
)
def test_a_result_tcl_cannot_take_is_a_tcl_error(result, error):
    printed = run_child(f"""
        from tarvik.tcl import TclInterpreter
        from tarvik.tcl.namespace import TclCommand
        class Unprintable:
            def __str__(self):
                raise ValueError("no str")
        tcl = TclInterpreter()
        value = {result}
        TclCommand("::gives", tcl=tcl).createcommand(lambda: value)
        print(tcl.tk.eval("list [catch ::gives message] $message"))
    """)
    assert printed.startswith("1 {" + error)


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
def test_interrupts_are_not_turned_into_tcl_errors(interp, app, exception):
    def stop(*args):
        raise exception()

    app.cmds["stop"] = stop
    try:
        with pytest.raises((exception, TclError)) as caught:
            interp.tk.eval("::app::stop")
        if caught.type is TclError:
            assert "PYTHON" not in interp.tk.eval("set ::errorCode")
    finally:
        del app.cmds["stop"]


# ---------------------------------------------------------------------------------------------
# Small things a user meets


def test_reprs_say_what_they_are(interp, app):
    assert repr(app) == "TclNamespace('::app')"
    assert repr(TclNamespace(None, interp)) == "TclNamespace('')"
    assert repr(app.vars) == "TclNamespace('::app').vars"
    assert repr(app.procs) == "TclNamespace('::app').procs"
    with TempTclNamespace(tcl=interp) as scratch:
        assert re.fullmatch(r"TempTclNamespace\('::__tarvik__\w+_tmp'\)", repr(scratch))
    assert repr(interp).startswith("<TclInterpreter: Tcl 8.")


@pytest.mark.parametrize("count", [20, 1, 9999, 10**6, 0, -1, -9998, True])
def test_filter_reads_the_end_of_the_record(count):
    history = History()
    for i in range(12000):
        history.append(["set", "x", str(i)])
    everything = list(history.__history__)
    assert history.filter(count=count) == everything[-count:]
    assert history.filter(count=count, regex="9$") == [
        e for e in everything[-count:] if e.api.endswith("9")
    ]
    with pytest.raises(TypeError):
        history.filter(count=None)


# ---------------------------------------------------------------------------------------------
# Python errors over either host


def error_report(tk, script: str) -> tuple[str, str, tuple, str]:
    code, message, options = tk.splitlist(tk.eval(f"list [catch {{{script}}} m opts] $m $opts"))
    options = dict(zip(*[iter(tk.splitlist(options))] * 2))
    return code, message, tuple(tk.splitlist(options["-errorcode"])), options["-errorinfo"]


def test_each_host_reports_a_python_error_once(host):
    command = TempTclCommand(failing, tcl=host)
    try:
        assert command.__wrapped__ is failing
        code, message, error_code, info = error_report(host.tk, f"{command.cmd_name} a")
        assert (code, message, error_code) == ("1", "ProbeError: bad probe ('a',)", ("PYTHON", "ProbeError"))
        assert info.startswith("Traceback (most recent call last):")
        assert info.count("Traceback") == 1 and info.count("ProbeError: bad probe") == 1
        with pytest.raises(TclError, match=r"ProbeError: bad probe \('b',\)"):
            command("b")
    finally:
        command.delete()
    assert host.tk.eval(f"info commands {command.cmd_name}") == ""


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def raise_unprintable(*args):
    raise Unprintable()


@pytest.mark.parametrize(
    "func, message, error_code",
    [
        (lambda *a: 1 / 0, "ZeroDivisionError: division by zero", ("PYTHON", "ZeroDivisionError")),
        (lambda *a: {}["k"], "KeyError: 'k'", ("PYTHON", "KeyError")),
        (raise_unprintable, None, None),  # no text to give: still an error, and nothing worse
    ],
    ids=["zero", "key", "unprintable"],
)  # fmt: skip
def test_errors_of_every_kind_are_tcl_errors(interp, app, func, message, error_code):
    app.cmds["bad"] = func
    # A namespace's own `error` command must not catch the report meant for Tcl's.
    interp.tk.eval("proc ::app::error args {return hijacked}")
    try:
        code, got, got_code, _ = error_report(interp.tk, "namespace eval ::app bad")
        assert code == "1"
        if message is not None:
            assert (got, got_code) == (message, error_code)
    finally:
        interp.tk.eval("rename ::app::error {}")
        del app.cmds["bad"]


def test_registered_callbacks_keep_their_function_and_go_with_their_command(interp, app):
    def func(*args):
        return "-".join(args)

    ref = weakref.ref(func)
    handle = TclCommand(("::app::joined",), tcl=interp)
    handle.createcommand(func)
    assert interp.tk.eval("::app::joined a b") == "a-b"
    handle.delete()
    del func
    gc.collect()
    assert ref() is None, "the deleted command still holds the function"
    with pytest.raises(TypeError):
        handle.createcommand("not callable")


def test_a_temporary_outliving_its_closed_process_is_finalised_silently(monkeypatch):
    unraised = []
    monkeypatch.setattr("sys.unraisablehook", unraised.append)
    with TclProcess(timeout=60) as fresh:
        finalised = TempTclCommand(failing, tcl=fresh)
        exited = TempTclCommand(failing, tcl=fresh)
    del finalised
    gc.collect()
    assert unraised == []
    with pytest.raises(ConnectionError):
        exited.__exit__(None, None, None)
    exited.__dict__.pop("__wrapped__")  # nothing to finalise after the explicit exit
