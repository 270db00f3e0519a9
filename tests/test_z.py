"""Quick calls against a real Tcl interpreter: the words sent, the history, errors, lifetimes."""

from __future__ import annotations

import copy
import gc
import importlib
import inspect
import logging
import sys
import tkinter
import weakref

import pytest

import tarvik.tcl
from tarvik.tcl import TclInterpreter
from tarvik.tcl.history import History
from tarvik.tcl.scriptify import scriptify
from tarvik.tcl.z import Z, Z_Code

module = importlib.import_module("tarvik.tcl.z")

PROCS = """
namespace eval ns_a::ns_b { proc procname {args} { return $args } }
namespace eval ns_a { proc fail {what} { error "failed: $what" } }
proc echo {args} { return $args }
"""


@pytest.fixture
def spy(spy_interp):
    spy_interp.tk.eval(PROCS)
    spy_interp.tk.calls.clear()
    return spy_interp


class KeepsWords:
    """A history that keeps what it is given, as the host contract allows."""

    def __init__(self):
        self.items = []

    def append(self, item):
        self.items.append(item)


def test_module_names_in_order():
    assert [name for name in vars(module) if not name.startswith("__")] == \
        ["weakref", "TclError", "scriptify", "Z", "Z_Code"]
    assert (module.TclError, module.scriptify) == (tkinter.TclError, scriptify)


@pytest.mark.parametrize(
    "make_call, words",
    [
        (lambda z: z.set("myVar", "value"), ("set", "myVar", "value")),
        (lambda z: z.ns_a.ns_b.procname("arguments", arg_a="value"),
         ("ns_a::ns_b::procname", "arguments", "-arg_a", "value")),
        (lambda z: z.echo(1, b=1, a=2), ("echo", "1", "-b", "1", "-a", "2")),
        (lambda z: z.llength([1, 2, 3]), ("llength", "1 2 3")),
        (lambda z: z.echo(None, "", x=None), ("echo", "", "", "-x", "")),
        (lambda z: z.echo(True, 1.5, ["a b", {"k": "$v"}], flag=False),
         ("echo", "true", "1.5", "{a b} {k {$v}}", "-flag", "false")),
        (lambda z: z.echo("[exit]", "{", "a\\"), ("echo", "[exit]", "{", "a\\")),
        (lambda z: z.set("x", 1, cast_=False), ("set", "x", "1")),
        (lambda z: z.echo(under_score=1), ("echo", "-under_score", "1")),
        (lambda z: z.echo(-12, 10**30, 0, 2**63, -(2**63), 7.25),
         ("echo", "-12", "1" + "0" * 30, "0", str(2**63), str(-(2**63)), "7.25")),
    ],
)
def test_words_sent(spy, make_call, words):
    spy.history = KeepsWords()
    make_call(spy.z)
    assert spy.tk.sent("call") == [words]
    # The history gets the very list of words (not a copy), before the command runs.
    [item] = spy.history.items
    assert type(item) is list and tuple(item) == words


@pytest.mark.parametrize(
    "command, args, cast, result",
    [
        ("expr", ("1+2",), True, 3),
        ("expr", ("1+2",), False, "3"),
        ("list", ("a", "b c"), True, ("a", "b c")),
        # A list's plain string is Tcl's own text of it, not Python's notation of a tuple.
        ("list", ("a", "b c"), 0, "a {b c}"),
        ("list", ("a", ["b", "c d"], "{"), False, "a {b {c d}} \\{"),
        ("list", (), False, ""),
        ("set", ("x", "a b"), False, "a b"),
    ],
)
def test_results(interp, command, args, cast, result):
    value = getattr(interp.z, command)(*args, cast_=cast)
    assert value == result and type(value) is type(result)
    if command == "list" and not cast:
        assert interp.tk.splitlist(value) == tuple(map(scriptify, args))


def test_calls_are_recorded_in_the_history(host):
    host.tk.eval(PROCS)
    host.history.start_marker("stretch")
    host.z.ns_a.ns_b.procname(1, [2, 3], "a b", flag=True)
    host.history.end_marker("stretch")
    assert [e.api for e in host.history.filter(marker="stretch")] == \
        ["ns_a::ns_b::procname 1 {2 3} {a b} -flag true"]


def test_calling_the_root_sends_nothing(spy):
    with pytest.raises(tkinter.TclError, match='^invalid command name ""$') as caught:
        try:
            raise LookupError("being handled")
        except LookupError:
            spy.z("set", "x", 1, key=2)
    assert isinstance(caught.value.__context__, LookupError)
    assert spy.tk.calls == []
    assert spy.history.filter() == []


def test_a_failing_command_raises_tcls_trace(spy):
    with pytest.raises(tkinter.TclError) as caught:
        spy.z.ns_a.fail("badly")
    error = caught.value
    # Read through the host's vars view, as get_str() reads.
    assert spy.tk.sent("getvar") + spy.tk.sent("eval") == [("set ::errorInfo",)]
    trace = spy.tk.getvar("::errorInfo")
    assert error.args == (trace,)
    assert trace.startswith("failed: badly\n") and '(procedure "ns_a::fail" line 1)' in trace
    assert error.__cause__ is None and error.__suppress_context__
    assert [e.api for e in spy.history.filter()] == ["ns_a::fail badly"]


def test_an_unreadable_error_trace_propagates(spy):
    spy.vars = {}
    with pytest.raises(KeyError, match="::errorInfo") as caught:
        spy.z.nosuchcommand()
    assert isinstance(caught.value.__context__, tkinter.TclError)


def test_the_result_goes_through_cast_any(spy):
    seen = []
    spy.cast_any = lambda result: seen.append(result) or "cast"
    assert (spy.z.set("x", "1"), spy.z.set("x", "2", cast_=False), seen) == ("cast", "2", ["1"])

    def refuse(result):
        raise ValueError(result)

    spy.cast_any = refuse
    with pytest.raises(ValueError, match="^done$"):
        spy.z.set("x", "done")
    assert spy.tk.getvar("x") == "done"  # the command ran first


def test_a_word_that_cannot_be_made_stops_the_call(spy):
    looped: list = []
    looped.append(looped)
    with pytest.raises(RecursionError):
        spy.z.set("x", looped)
    assert spy.tk.calls == [] and spy.history.filter() == []


def test_tcl_may_change_the_recorded_words_while_the_command_runs(spy):
    spy.history = KeepsWords()
    spy.tk.createcommand("clobber", lambda *args: spy.history.items[0].clear() or " ".join(args))
    assert spy.z.clobber("a", "b c") == "a b c"
    assert spy.history.items == [[]]


def test_names_and_chains(interp):
    code = interp.z.ns
    assert code.proc is code and code.cmd == ["ns", "proc"]
    assert (interp.z.ns.cmd, interp.z.ns.tcl) == (["ns"], interp.z.tcl)
    assert interp.z.__dunder_._private.cmd == ["__dunder_", "_private"]
    with pytest.raises(AttributeError):
        interp.z.__dunder__
    assert str(interp.z.a.b) == repr(interp.z.a.b) == "<tcl.Z magic, referring Tcl code ::a::b>"


def test_constructors_and_self(interp):
    interp.tk.eval(PROCS)
    code = Z_Code("echo", tcl=interp)
    assert (code.tcl, code.cmd, code(1, 2)) == (interp, ["echo"], ("1", "2"))
    with pytest.raises(TypeError, match="tcl"):
        Z_Code("echo")
    proxy = weakref.proxy(interp)
    assert Z(proxy).tcl is proxy
    with pytest.raises(TypeError, match="multiple values for argument 'self'"):
        code(self=1)
    assert Z_Code.__call__(self=code, x=1) == ("-x", "1")


def test_a_destroyed_host_raises_reference_error():
    host = TclInterpreter()
    z, code = host.z, host.z.set
    alive = weakref.ref(host)
    del host
    gc.collect()
    assert alive() is None  # neither z nor the Z_Code kept it
    for call in (lambda: code("x", 1), lambda: z.set("x", 1), lambda: z.ns.proc()):
        with pytest.raises(ReferenceError):
            call()
    assert str(code) == "<tcl.Z magic, referring Tcl code ::set>"


def test_instances_without_their_attributes(interp):
    for cls in (Z, Z_Code):
        with pytest.raises(AttributeError):
            cls.__new__(cls).anything
    duplicate = copy.copy(interp.z.a.b)
    assert (type(duplicate), duplicate.cmd, duplicate.tcl) == (Z_Code, ["a", "b"], interp.z.tcl)
    assert type(copy.copy(interp.z)) is Z and copy.copy(interp.z).tcl is interp.z.tcl


@pytest.mark.parametrize(
    "function, signature",
    [
        (Z_Code.__init__, "(self, *cmd, tcl)"),
        (Z_Code.__call__, "(self, *args, **kwargs)"),
        (History.__init__, "(self, max_history=9999)"),
        (History.filter, "(self, marker=None, count=20, regex=None)"),
    ],
)
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature and function.__doc__


def test_the_package_module_is_a_host_through_its_submodules():
    default = tarvik.tcl.default_interpreter()
    assert tarvik.tcl.z is module and tarvik.tcl.history is sys.modules["tarvik.tcl.history"]
    assert tarvik.tcl.vars is default.vars
    tarvik.tcl.z.set("fromPackage", "yes")
    assert tarvik.tcl.vars["fromPackage"] == "yes"
    assert tarvik.tcl.history.filter(count=1)[0].api == "set fromPackage yes"
    assert default.history.filter(count=1)[0].api == "set fromPackage yes"


def test_variables_mapping(host):
    host.tk.eval("set ::plain {a b}; array set ::arr {k v}")
    assert host.vars["plain"] == host.vars["::plain"] == "a b"
    assert {"plain", "arr"} <= set(host.vars) and len(host.vars) == len(list(host.vars))
    assert host.vars["arr"]["k"] == "v" and host.vars["arr"] == host.vars.array_get("arr")
    with pytest.raises(KeyError) as caught:
        host.vars["::missing"]
    assert isinstance(caught.value.args[0], tkinter.TclError)


def test_native_classes_behave_as_python_classes(interp):
    code = interp.z.a
    code.note = "kept"
    assert vars(code) == {"note": "kept"} and weakref.ref(code)() is code
    assert code.cmd is code.cmd and code.b is code and code.cmd == ["a", "b"]
    code.cmd = ("x", "y")
    assert str(code) == "<tcl.Z magic, referring Tcl code ::x::y>"
    del code.cmd
    with pytest.raises(AttributeError):
        code.cmd
    assert type(Z.__getattr__(interp.z, "llength")) is Z_Code
    assert Z.__getattribute__ is Z_Code.__getattribute__ is object.__getattribute__
    assert (str(inspect.signature(Z)), str(inspect.signature(Z_Code))) == ("(tcl)", "(*cmd, tcl)")
    for method, args in ((Z.__getattr__, ("x",)), (Z_Code.__call__, ()), (Z_Code.__str__, ())):
        with pytest.raises(TypeError):
            method(object(), *args)


def test_subclasses_obey_their_own_methods(interp):
    class Plain(Z_Code):
        pass

    class Traced(Z_Code):
        def __call__(self, *args, **kwargs):
            return ("traced", super().__call__(*args, **kwargs))

        def __getattr__(self, name):
            return "special" if name == "special" else super().__getattr__(name)

    class Root(Z):
        def __getattr__(self, name):
            return Traced(name, tcl=self.tcl)

    assert Plain("set", tcl=interp)("x", 5) == "5"
    root = Root(interp)
    traced = root.llength
    assert (traced.special, traced([1, 2, 3])) == ("special", ("traced", 3))
    assert root.string.toupper.cmd == ["string", "toupper"]
    Plain.__call__ = lambda self, *args: "replaced"
    assert Plain("set", tcl=interp)("x", 6) == "replaced"


def test_freed_quick_calls_leave_nothing_behind(interp):
    codes = [getattr(interp.z, f"n{i}") for i in range(20)]
    codes[0].note = 1
    alive = [weakref.ref(code) for code in codes]
    del codes
    gc.collect()
    assert all(ref() is None for ref in alive)
    fresh = [getattr(interp.z, f"m{i}") for i in range(20)]
    assert [code.cmd for code in fresh] == [[f"m{i}"] for i in range(20)]
    assert all(vars(code) == {} and code.tcl == interp.z.tcl for code in fresh)


def test_history_methods_changed_on_the_class_or_the_instance_are_obeyed():
    host = TclInterpreter()

    class Recording(History):
        pass

    host.history = Recording()
    host.z.set("x", 1)
    seen = []
    Recording.append = lambda self, item: seen.append(("class", item[-1]))
    host.z.set("x", 2)
    host.history.append = lambda item: seen.append(("instance", item[-1]))
    host.z.set("x", 3)
    del Recording.append, host.history.append
    host.z.set("x", 4)
    assert seen == [("class", "2"), ("instance", "3")]
    assert [entry.api for entry in host.history.filter()] == ["set x 1", "set x 4"]


LOG = logging.getLogger("tarvik.tcl")


@pytest.mark.parametrize(
    "quiet, loud",
    [
        (lambda: LOG.setLevel(logging.INFO), lambda: LOG.setLevel(logging.DEBUG)),
        (lambda: setattr(LOG, "disabled", True), lambda: setattr(LOG, "disabled", False)),
        (lambda: logging.disable(logging.DEBUG), lambda: logging.disable(logging.NOTSET)),
        (lambda: setattr(LOG, "_cache", {10: False}), lambda: setattr(LOG, "_cache", {})),
    ],
)
def test_a_disabled_history_logs_each_call_the_logger_lets_through(caplog, monkeypatch, quiet, loud):
    # A disabled history is passed by while the logger is quiet; the logger's answer may be
    # remembered between calls, so each change of it must be seen by the very next call.
    monkeypatch.setattr(LOG, "disabled", False)
    monkeypatch.setattr(LOG, "_cache", {})
    caplog.set_level(logging.DEBUG, logger="tarvik.tcl")
    interp = TclInterpreter()
    interp.history.disable()
    caplog.clear()
    try:
        for n, configure in enumerate([quiet, quiet, loud, loud, quiet, loud]):
            configure()
            interp.z.set("x", n)
    finally:
        logging.disable(logging.NOTSET)
    assert caplog.messages == [f"% ['set', 'x', '{n}']" for n in (2, 3, 5)]
    assert interp.history.filter() == [] and interp.tk.getvar("x") == "5"


def test_host_attributes_changed_on_the_class_or_the_instance_are_obeyed():
    class Host(TclInterpreter):
        pass

    host = Host()
    real_tk, sent = host.tk, []

    class Recording:
        def call(self, *words):
            sent.append(words)
            return real_tk.call(*words)

    assert host.z.set("x", 1) == "1"
    Host.cast_any = lambda self, result: ("class", result)
    assert host.z.set("x", 2) == ("class", "2")
    host.cast_any = lambda result: ("instance", result)
    assert host.z.set("x", 3) == ("instance", "3")
    del host.cast_any, Host.cast_any
    Host.tk = property(lambda self: Recording())
    assert host.z.set("x", 4) == "4" and sent == [("set", "x", "4")]
    del Host.tk
    assert host.z.set("x", 5) == "5" and len(sent) == 1
    host.tk = Recording()
    assert host.z.set("x", 6) == "6" and len(sent) == 2


class BorrowsAppend:
    """Not a History, though History's own append is its method."""

    append = History.append


@pytest.mark.parametrize("words", [["a b", "{", "", "x"], ["}{", "\\", "two  spaces"], []])
def test_a_quick_call_leaves_the_record_that_append_of_its_word_list_leaves(spy, words):
    spy.z.echo(*words)
    direct = History()
    direct.append(["echo", *words])
    assert [e.api for e in spy.history.filter(count=1)] == [direct.filter(count=1)[0].api]


def test_a_stand_in_borrowing_the_native_append_is_refused_as_append_refuses_it(spy):
    with pytest.raises(TypeError) as expected:
        History.append(BorrowsAppend(), ["set", "x", "1"])
    spy.history = BorrowsAppend()
    with pytest.raises(TypeError) as raised:
        spy.z.set("x", 1)
    assert str(raised.value) == str(expected.value)
    assert spy.tk.calls == []
