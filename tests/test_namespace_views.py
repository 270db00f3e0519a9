"""Namespace handles, their mapping views, and temporary commands and namespaces, against real Tcl."""

from __future__ import annotations

import gc
import sys
import weakref
from collections.abc import MutableMapping

import pytest

import tarvik.tcl
from tarvik.tcl import TclError, TclInterpreter
from tarvik.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclCommand,
    TempTclNamespace,
)

from test_namespace import HOSTILE, leftovers, nothing_left_behind  # noqa: F401 (autouse)

VIEWS = [("vars", "VariablesView"), ("objs", "ObjectsView"), ("procs", "ProcsView"),
         ("cmds", "CommandsView")]  # fmt: skip


@pytest.fixture
def ns(interp):
    handle = TclNamespace("::ns1", interp)
    handle.create()
    yield handle
    handle.delete()


@pytest.fixture
def host_ns(host):
    """The namespace ::ns1 on each host in turn."""
    handle = TclNamespace("::ns1", host)
    handle.create()
    yield handle
    handle.delete()


@pytest.fixture
def spy_ns(spy_interp):
    handle = TclNamespace("::ns1", spy_interp)
    handle.create()
    spy_interp.tk.calls.clear()
    return handle


# ---------------------------------------------------------------------------------------------
# Namespace handles


@pytest.mark.parametrize(
    "given, name", [("a::b", "a::b"), (None, ""), (["a", "b c"], "a {b c}"), ("::x", "::x")]
)
def test_construction_sends_nothing(spy_interp, given, name):
    handle = TclNamespace(given, spy_interp)
    assert handle.ns == str(handle) == name
    assert TclNamespace(handle, spy_interp).ns == name
    assert spy_interp.tk.calls == []
    assert list(vars(handle)) == ["ns", "tcl", "vars", "objs", "procs", "cmds"]
    for attribute, view_class in VIEWS:
        view = getattr(handle, attribute)
        assert type(view) is getattr(TclNamespace, view_class) and view.ns is handle
        assert type(view).__qualname__ == f"TclNamespace.{view_class}"


def test_construction_needs_a_weakly_referable_interpreter():
    with pytest.raises(TypeError):
        TclNamespace("::a", 1)
    with pytest.raises(TypeError):
        TclNamespace()


def test_call_and_eval_run_inside_the_namespace(spy_ns):
    sent = spy_ns.tcl.tk
    spy_ns.call("set", "x", 1)
    assert sent.sent()[-1] == (("namespace", "eval", "::ns1", ("set", "x", 1)),)
    assert spy_ns.eval("set", "x", 2) == "2"
    assert sent.sent("eval")[-1] == ("namespace eval ::ns1 {set x 2}",)
    assert spy_ns.vars["x"] == "2"
    bare = TclNamespace(None, spy_ns.tcl)
    assert bare.call(("set", "::g", 1)) == 1
    assert sent.sent()[-1] == (("set", "::g", 1),)
    assert bare.eval("set ::g") == "1"
    sent.eval("unset ::g")


@pytest.mark.parametrize("value", HOSTILE)
def test_scoped_calls_pass_values_intact(host_ns, value):
    host_ns.call("set", "v", value)
    assert host_ns.vars["v"] == value
    host_ns.eval("set", "w", value)
    assert str(host_ns.objs["w"]) == value
    assert host_ns.eval(("set", "w")) == value


def test_eval_of_words_is_never_a_comment(host_ns):
    host_ns.eval("proc", "#p", "", "return ran")
    assert host_ns.eval("#p") == "" and host_ns.eval(("#p",)) == "ran"
    assert TclNamespace("", host_ns.tcl).eval(("::ns1::#p",)) == "ran"


def test_create_exists_delete(spy_interp):
    handle = TclNamespace("::ns2", spy_interp)
    assert handle.exists() is False
    handle.create()
    assert spy_interp.tk.sent("eval") == [("namespace eval ::ns2 {}",)]
    assert handle.exists() is True
    handle.delete()
    assert handle.exists() is False and handle.ns == "::ns2"
    with pytest.raises(TclError):
        handle.delete()


def test_a_handle_without_a_name_asks_for_the_current_namespace(spy_interp):
    handle = TclNamespace("", spy_interp)
    spy_interp.tk.calls.clear()
    with pytest.raises(ValueError, match="^Cannot create current namespace$"):
        handle.create()
    assert spy_interp.tk.calls == []
    assert handle.exists() is True
    assert spy_interp.tk.sent() == [(("namespace", "current"),), (("namespace", "exists", "::"),)]


def test_export_import_forget_origin(interp, spy_ns):
    sent = spy_ns.tcl.tk
    spy_ns.eval("proc p {} {return p}; proc q {} {}")
    assert spy_ns.export() == ()
    assert spy_ns.export(False, "p") is None
    assert sent.sent()[-1] == (("namespace", "eval", "::ns1", ("namespace", "export", "p")),)
    assert spy_ns.export() == ("p",)
    assert spy_ns.export(True) is None
    assert sent.sent()[-1][0][3] == ("namespace", "export", "-clear")
    spy_ns.export(False, "p")
    with TempTclNamespace(tcl=spy_ns.tcl) as target:
        target.import_(False, "::ns1::p")
        assert target.origin("p") == "::ns1::p"
        assert target.call("p") == "p"
        target.import_(True, "::ns1::p")
        assert sent.sent()[-1][0][3] == ("namespace", "import", "-force", "::ns1::p")
        target.forget("::ns1::p")
        assert "p" not in target.cmds


def test_children_which_code(spy_ns):
    sent = spy_ns.tcl.tk
    spy_ns.eval("namespace eval kid {}; variable v 1")
    assert spy_ns.children() == ("::ns1::kid",)
    assert sent.sent()[-1][0][3] == ("namespace", "children")
    assert spy_ns.children("kid") == ()  # the one argument names the namespace to look in
    assert sent.sent()[-1][0][3] == ("namespace", "children", "kid")
    assert spy_ns.which("v", variable=True) == "::ns1::v"
    assert sent.sent()[-1][0][3] == ("namespace", "which", "-variable", "v")
    assert spy_ns.which("set", command=True) == "::set"
    with pytest.raises(TclError):
        spy_ns.which("v", command=True, variable=True)
    assert spy_ns.code("set v") == ("::namespace", "inscope", "::ns1", "set v")


@pytest.mark.parametrize("name", ["::a::b::c", "::a", "::a::b::", "::"])
def test_forced_parent_answers_as_tcl_does(spy_interp, name):
    real = TclNamespace(name, spy_interp)
    if name != "::":
        real.create()
    expected = real.parent()
    spy_interp.tk.calls.clear()
    assert real.parent(force_eval=True) == expected
    assert spy_interp.tk.calls == []
    if name != "::":
        TclNamespace(TclNamespace.split(name)[1], spy_interp).delete()


def test_parent_queries(spy_ns):
    sent = spy_ns.tcl.tk
    assert spy_ns.parent() == "::"
    assert sent.sent()[-1] == (("namespace", "parent", "::ns1"),)
    assert TclNamespace("", spy_ns.tcl).parent(force_eval=True) == ""
    assert sent.sent()[-1] == (("namespace", "parent"),)
    assert TclNamespace("ns1", spy_ns.tcl).parent(force_eval=True) == "::"
    with pytest.raises(TclError):
        TclNamespace("::missing", spy_ns.tcl).parent()
    with pytest.raises(ValueError, match="Invalid Tcl namespace '::a:b'"):
        TclNamespace("::a:b", spy_ns.tcl).parent(force_eval=True)


@pytest.mark.parametrize(
    "name, absolute, relative, full",
    [("", "", "", ""), ("::a", True, False, "::a"), ("a", False, True, "::a"),
     ("a::::b::", False, True, "::a::b")],
)  # fmt: skip
def test_absolute_names(spy_interp, name, absolute, relative, full):
    handle = TclNamespace(name, spy_interp)
    assert handle.is_absolute() == absolute and type(handle.is_absolute()) is type(absolute)
    assert handle.is_relative() == relative
    assert handle.absolute() == full
    assert len(spy_interp.tk.calls) == (0 if absolute else 1)
    handle.make_absolute()
    assert handle.ns == full


def test_namespace_handle_in_the_name_algebra(interp):
    assert TclNamespace.join(TclNamespace("::a", interp), "b") == "::a::b"
    assert TclNamespace("::a", interp).join("x", "y") == "x::y"  # static through an instance


# ---------------------------------------------------------------------------------------------
# Views


def test_views_are_mutable_mappings():
    for _, name in VIEWS:
        assert issubclass(getattr(TclNamespace, name), MutableMapping)
    assert TclNamespace.ObjectsView.__mro__[1] is TclNamespace.VariablesView
    assert TclNamespace.ProcsView.__mro__[1] is TclNamespace.CommandsView
    if sys.flags.optimize == 0:
        with pytest.raises(AssertionError):
            TclNamespace.VariablesView("::not a handle")


@pytest.mark.parametrize(
    "ns_name, args, kwargs, var_name, var_type",
    [
        ("::ns1", ("x",), {}, "::ns1::x", TclVariable),
        ("::ns1", ("::g",), {}, "::g", TclVariable),
        ("", ("x",), {}, "x", TclVariable),
        ("::ns1", ("a", "k"), {}, "::ns1::a(k)", TclVariable),
        ("::ns1", ("a",), {"var_type": TclArrayVariable, "cast": int}, "::ns1::a",
         TclArrayVariable),
    ],
)  # fmt: skip
def test_variable_byref(interp, ns_name, args, kwargs, var_name, var_type):
    handle = TclNamespace(ns_name, interp)
    variable = handle.vars.byref(*args, **kwargs)
    assert type(variable) is var_type and variable.var_name == var_name
    assert variable.tcl is handle.tcl and variable.cast is kwargs.get("cast")
    assert type(handle.vars.array_byref("a")) is TclArrayVariable


def test_byref_rejects_a_second_interpreter(interp, ns):
    with pytest.raises(TypeError):
        ns.vars.byref("x", tcl=interp)
    with pytest.raises(TypeError):
        ns.vars.array_byref("x", var_type=TclVariable)
    with pytest.raises(TypeError):
        ns.cmds.byref("p", tcl=interp)


def test_command_byref(ns):
    command = ns.cmds.byref("p q", keywords={"k": 1})
    assert (command.cmd_name, command.args, command.keywords) == ("::ns1::p q", (), {"k": 1})
    assert command.tcl is ns.tcl and type(ns.cmds["anything"]) is TclCommand


def test_variables_as_strings_and_objects(ns):
    ns.vars["x"] = [1, "a b"]
    assert ns.vars["x"] == ns.vars.get("x") == "1 {a b}"
    assert ns.objs["x"] == ns.objs.get("x") == (1, "a b")
    ns.vars.set("arr", "v", array_index="k k")
    assert ns.objs.get("arr", "k k") == "v" and ns.vars.exists("arr", array_index="k k")
    ns.vars.array_set("arr", {"n": 5})
    assert ns.vars.array_get("arr") == {"k k": "v", "n": "5"}
    assert ns.objs.array_get("arr", pattern="n") == {"n": "5"}
    assert sorted(ns.vars.array_names("arr")) == ["k k", "n"]
    assert ns.vars.is_array("arr") and not ns.vars.is_array("x")
    ns.vars.array_unset("arr", pattern="n")
    assert ns.vars.array_names("arr") == ("k k",)
    ns.vars.unset("arr", array_index="k k")
    del ns.vars["x"]
    assert "x" not in ns.vars and ns.vars.unset("x", nocomplain=True) is None


@pytest.mark.parametrize("value", [v for v in HOSTILE if "::" not in v])
def test_views_pass_values_intact(host_ns, value):
    host_ns.vars[value] = value
    assert host_ns.vars[value] == host_ns.objs[value] == value
    assert value in host_ns.vars
    host_ns.vars.array_set("arr", {value: value})
    assert host_ns.vars.array_get("arr") == host_ns.objs.array_get("arr") == {value: value}
    del host_ns.vars[value]
    host_ns.vars.unset("arr")


@pytest.mark.parametrize(
    "operation, error",
    [
        (lambda v: v["missing"], TclError),
        (lambda v: v["a:b"], ValueError),
        (lambda v: v.__delitem__("missing"), TclError),
    ],
)
def test_item_methods_raise_key_error_with_the_cause(host_ns, operation, error):
    with pytest.raises(KeyError) as raised:
        operation(host_ns.vars)
    assert type(raised.value.args[0]) is error and raised.value.__cause__ is raised.value.args[0]


def test_named_methods_let_errors_through(interp, ns):
    with pytest.raises(TclError):
        ns.vars.get("missing")
    with pytest.raises(ValueError):
        ns.vars.get("a:b")
    with pytest.raises(TypeError):
        ns.vars.get("missing", "default")
    with pytest.raises(TclError):
        TclNamespace("::not_there", interp).vars["x"] = 1


def test_commands(ns):
    ns.cmds["twice"] = lambda x: int(x) * 2
    assert ns.cmds["twice"](4) == 8 and "twice" in ns.cmds and "twice" not in ns.procs
    ns.eval("proc p {a {b 2}} {return $a$b}")
    assert "p" in ns.procs and ns.procs.exists("p") and ns.cmds.exists("p")
    assert ns.cmds.proc_args("p") == ("a", "b") and ns.cmds.proc_body("p") == "return $a$b"
    assert ns.cmds.proc_arg_default("p", "b") == "2" and ns.cmds.proc_arg_default("p", "a") is None
    assert ns.cmds.origin("p") == "::ns1::p"
    ns.cmds.rename("p", "p2")
    assert ns.procs["p2"](1) == "12" and "p" not in ns.procs
    ns.cmds.rename("p2", "::p3")
    assert TclCommand(("::p3",), tcl=ns.tcl).is_proc()
    ns.cmds.delete("::p3")
    del ns.cmds["twice"]
    with pytest.raises(KeyError) as raised:
        del ns.cmds["twice"]
    assert isinstance(raised.value.__cause__, TclError)


def test_membership_uses_the_qualified_name(interp, ns):
    assert "set" in TclNamespace("", interp).cmds
    assert "set" not in ns.cmds


def test_iteration_asks_tcl_each_time(spy_ns):
    sent = spy_ns.tcl.tk
    names = iter(spy_ns.vars)
    assert sent.calls == []
    spy_ns.vars["fresh"] = 1
    assert "fresh" in list(names)
    (words,) = sent.sent()[-1]
    assert words[0] == "::apply" and words[2:] == ("vars", "::ns1", "::ns1::*", 0)
    assert all(type(name) is str for name in spy_ns.vars)
    spy_ns.eval("proc a {} {}; proc b {} {}")
    assert sorted(spy_ns.procs) == ["a", "b"] and len(spy_ns.procs) == 2
    assert len(spy_ns.vars) == len(list(iter(spy_ns.vars)))
    assert len(spy_ns.cmds) == len(list(iter(spy_ns.cmds))) == 2  # its own commands only
    assert "set" in TclNamespace("", spy_ns.tcl).cmds.keys()


def test_length_follows_an_overridden_iteration(ns):
    class Two(TclNamespace.CommandsView):
        def __iter__(self):
            yield from ("a", "b")

    assert len(Two(ns)) == 2


def test_handle_and_views_are_collected_and_keep_no_interpreter():
    host = TclInterpreter()
    alive = weakref.ref(host)
    handle = TclNamespace("::gone", host)
    views = [handle.vars, handle.cmds]
    collected = weakref.ref(handle)
    del handle
    gc.collect()
    assert collected() is not None  # the views still hold it
    del views
    gc.collect()
    assert collected() is None
    handle = TclNamespace("::gone", host)
    view = handle.vars
    del host
    gc.collect()
    assert alive() is None
    for operation in (lambda: view["x"], lambda: list(view), lambda: len(view),
                      lambda: handle.exists(), lambda: handle.cmds.byref("p"),
                      lambda: handle.current(), lambda: TempTclNamespace(tcl=handle.tcl)):
        with pytest.raises(ReferenceError):
            operation()  # fmt: skip


def test_host_vars_is_the_global_namespace(interp):
    assert type(interp.vars) is TclNamespace.VariablesView
    assert interp.vars.ns.ns == "::" and interp.vars.ns.tcl == interp
    interp.tk.eval("set ::hosted {a b}")
    assert interp.vars["hosted"] == interp.vars["::hosted"] == "a b"
    assert "hosted" in interp.vars
    del interp.vars["hosted"]
    assert tarvik.tcl.vars["::tcl_version"] == tarvik.tcl.tk.eval("info tclversion")


# ---------------------------------------------------------------------------------------------
# Temporary commands and namespaces


def shout(text):
    """Return the text in capitals."""
    return text.upper()


def test_temporary_command_with_a_function(host):
    with TempTclCommand(shout, tcl=host) as command:
        assert command.cmd_name == f"::__tarvik__TempTclCommand_{id(command)}_tmp"
        assert command.__name__ == "shout" and command.__wrapped__ is shout
        assert command.__doc__ == shout.__doc__
        host.tk.call("proc", "::uses", "x", f"return [{command.cmd_name} $x]")
        assert host.tk.call("::uses", "from tcl") == "FROM TCL"
        assert command("a b") == "A B"
        command.note = "anything"
    assert not command.exists()
    host.tk.eval("rename ::uses {}")


@pytest.mark.parametrize("attribute", ["tcl", "cmd_name", "args", "keywords", "cast", "logger"])
def test_a_functions_attributes_never_replace_the_handles_own(host, attribute):
    def echo(*words):
        """Return the words."""
        return " ".join(words)

    setattr(echo, attribute, "the function's")
    echo.note = "copied"
    with TempTclCommand(echo, tcl=host) as command:
        assert getattr(command, attribute) != "the function's"
        assert command("a", "b") == "a b" and host.tk.call(command.cmd_name, "c") == "c"
        assert command.__wrapped__ is echo and command.__name__ == "echo"
        assert command.__doc__ == "Return the words." and command.note == "copied"
        name = command.cmd_name
    assert not TclCommand((name,), tcl=host).exists()


def test_a_callable_object_with_handle_attributes_is_called_as_it_is(interp):
    class Counter:
        args = ("class attribute",)

        def __init__(self):
            self.args, self.keywords, self.calls = ("instance",), {"k": 1}, 0

        def __call__(self):
            self.calls += 1
            return self.calls

    counter = Counter()
    with TempTclCommand(counter, tcl=interp) as command:
        assert command() == 1 and interp.tk.call(command.cmd_name) == 2
        assert command.args == () and command.keywords == {} and command.calls == 0
    assert counter.calls == 2


def test_temporary_command_without_a_function_registers_nothing(spy_interp):
    with TempTclCommand(tcl=spy_interp, args="x", keywords={"k": 1}) as command:
        assert command.build_tclcmd()[1:] == ("x", "-k", 1)
        assert not command.exists()
    assert spy_interp.tk.sent("createcommand") == []
    assert command.__exit__(None, None, None) is False


def test_temporary_command_is_deleted_when_its_block_fails(host):
    with pytest.raises(RuntimeError, match="inside"):
        with TempTclCommand(shout, tcl=host) as command:
            raise RuntimeError("inside")
    assert not command.exists()


def test_finalising_a_temporary_command_deletes_it(host):
    command = TempTclCommand(shout, "::final_{id}", tcl=host)
    name = command.cmd_name
    assert TclCommand((name,), tcl=host).exists()
    del command
    gc.collect()
    assert not TclCommand((name,), tcl=host).exists()


class Raising:
    """A callable whose attribute `name` raises `error` when read."""

    def __init__(self, name: str, error: BaseException) -> None:
        self._failing = name, error

    def __getattribute__(self, name: str):
        failing, error = object.__getattribute__(self, "_failing")
        if name == failing:
            raise error
        return object.__getattribute__(self, name)

    def __call__(self, *args):
        return "called"


@pytest.mark.parametrize(
    "func, error",
    [
        (Raising("__name__", RuntimeError("no name")), RuntimeError),
        (Raising("__doc__", KeyboardInterrupt()), KeyboardInterrupt),
        (Raising("__dict__", ValueError("no dict")), ValueError),
    ],
    ids=["__name__", "__doc__ interrupted", "__dict__"],
)
def test_a_failing_temporary_command_constructor_leaves_nothing_in_tcl(interp, func, error):
    with pytest.raises(error):
        TempTclCommand(func, "::__tarvik__failed_{id}", tcl=interp)
    assert interp.tk.eval("info commands ::__tarvik__*") == ""


@pytest.mark.parametrize("in_block", [True, False], ids=["after its block", "never entered"])
def test_finalising_a_temporary_command_after_its_interpreter_is_silent(in_block):
    host = TclInterpreter()
    command = TempTclCommand(shout, tcl=host)
    if in_block:
        with command:
            pass
    del host
    gc.collect()
    reported = []
    previous, sys.unraisablehook = sys.unraisablehook, reported.append
    try:
        del command
        gc.collect()
    finally:
        sys.unraisablehook = previous
    assert reported == []


def test_leaving_a_block_after_its_interpreter_still_raises():
    host = TclInterpreter()
    command = TempTclCommand(shout, tcl=host)
    del host
    gc.collect()
    with pytest.raises(ReferenceError):
        command.__exit__(None, None, None)


def test_temporary_namespace(spy_interp):
    scratch = TempTclNamespace(tcl=spy_interp)
    assert scratch.ns == f"::__tarvik__TempTclNamespace_{id(scratch)}_tmp"
    assert not scratch.exists()
    with scratch as entered:
        assert entered is scratch and scratch.exists()
        scratch.vars["x"] = 1
    assert not scratch.exists()
    with pytest.raises(ZeroDivisionError):
        with TempTclNamespace("::scratch", tcl=spy_interp) as other:
            assert other.ns == "::scratch" and other.exists()
            1 / 0
    assert not other.exists()
    assert leftovers(spy_interp.tk) == []


# ---------------------------------------------------------------------------------------------
# Reads, listings and membership that agree with Tcl on every host


@pytest.mark.parametrize(
    "script",
    [
        "set v 0x10; incr v 0; set v 0x10; expr {$v + 1}",  # hex text holding an int
        "set v 2.10; expr {$v * 1}",  # a double whose text is not Python's
        "set v [binary format H* 00ff41]",  # a byte array
        "set v a\\u0000b",  # NUL inside
        "set v [list a {b c} \\{]",  # a list
        "set v \\U1F600x",  # beyond the BMP
        "set v {}",
        "set v 1; lappend v 2",  # a list built from an int
    ],
)  # fmt: skip
def test_item_reads_give_tcls_own_string(host_ns, script):
    host_ns.eval(script)
    expected = host_ns.tcl.tk.eval("set ::ns1::v")
    assert host_ns.vars["v"] == host_ns.vars.get("v") == expected
    assert host_ns.vars.byref("v").get_str() == expected
    assert dict(host_ns.vars)["v"] == expected
    assert str(host_ns.objs["v"]) == str(host_ns.objs.get("v")) or isinstance(
        host_ns.objs["v"], bytes
    )
    # One read per item: a variable's read traces run once, whatever Tcl holds the value as.
    host_ns.eval("set ::reads 0; trace add variable v read {apply {args {incr ::reads}}}")
    host_ns.vars["v"]
    host_ns.objs["v"]
    assert host_ns.tcl.tk.eval("set ::reads") == "2"
    host_ns.tcl.tk.eval("unset ::reads")


@pytest.mark.parametrize("name", ["::we*ird", "::sp ace", "::br{ace", "::a[1]", "::q?"])
def test_odd_namespace_names_list_their_own_names_only(host, name):
    tk = host.tk
    twin = name.replace("*", "x").replace("?", "x").replace("[1]", "1")
    for each in {name, twin}:
        tk.call("namespace", "eval", each, "variable v 1; variable declared; proc p {} {}")
    try:
        handle = TclNamespace(name, host)
        assert list(handle.vars) == ["v"] and list(handle.procs) == ["p"]
        assert list(handle.cmds) == ["p"] and len(handle.vars) == 1
        assert dict(handle.vars) == {"v": "1"} and "p" in handle.cmds and "declared" not in handle.vars
        missing = TclNamespace(name + "::missing", host)
        assert list(missing.vars) == list(missing.cmds) == [] and len(missing.procs) == 0
        assert tk.call("namespace", "exists", name + "::missing") in ("0", 0)
    finally:
        for each in {name, twin}:
            tk.call("namespace", "delete", each)


def test_the_global_namespace_lists_every_global_readably(host):
    handle = TclNamespace("::", host)
    names = list(handle.vars)
    assert "tcl_platform" in names and all("::" not in n for n in names)
    snapshot = dict(handle.vars)
    assert set(snapshot) == set(names) and isinstance(snapshot["tcl_platform"], dict)
    assert "set" in list(handle.cmds) and "set" in handle.cmds


def test_item_reads_follow_replaced_methods(interp, ns):
    ns.vars["x"] = "real"

    class Shouting(TclNamespace.VariablesView):
        def get(self, var_name):
            return super().get(var_name).upper()

    class Doubled(TclNamespace.ObjectsView):
        def byref(self, var_name, *args, **kwargs):
            return super().byref("x" if var_name == "alias" else var_name, *args, **kwargs)

    assert Shouting(ns)["x"] == "REAL" and Doubled(ns)["alias"] == "real"
    view = TclNamespace.VariablesView(ns)
    view.get = lambda var_name: "from the instance"
    assert view["x"] == "from the instance"
    view.byref = lambda var_name: TclVariable("::ns1::x", tcl=interp)
    del view.get
    assert view["anything"] == "real"
    original = TclVariable.get_str
    TclVariable.get_str = lambda self, array_index=None: "patched"
    try:
        assert ns.vars["x"] == "patched"
    finally:
        TclVariable.get_str = original
    assert ns.vars["x"] == "real"


def test_views_follow_the_variable_class_as_it_is_now(interp, ns, monkeypatch):
    ns.vars["x"], ns.vars["y"] = "at x", "at y"
    monkeypatch.setattr(TclVariable, "get_obj", lambda self, array_index=None, cast=None: "got")
    assert ns.objs["x"] == "got" and ns.vars["x"] == "at x"
    monkeypatch.undo()
    initialiser = TclVariable.__init__

    def redirected(self, var_name, tcl=None):
        initialiser(self, "::ns1::y", tcl=tcl)

    monkeypatch.setattr(TclVariable, "__init__", redirected)
    # Every handle a view makes is built by the class's initialiser as it is now.
    assert ns.objs["x"] == ns.vars["x"] == "at y"
    assert ns.vars.byref("x").var_name == "::ns1::y"
    monkeypatch.undo()
    assert ns.objs["x"] == "at x" and ns.vars.byref("x").var_name == "::ns1::x"


def test_handles_made_by_views_reach_every_initialiser_in_their_class_order(interp, ns):
    calls = []

    class Recorded:
        def __init__(self, *args, **kwargs):
            calls.append(type(self).__name__)
            super().__init__(*args, **kwargs)

    class Namespace(TclNamespace, Recorded):
        pass

    class Variables(TclNamespace.VariablesView, Recorded):
        pass

    Namespace("::ns1", interp)
    Variables(ns)
    assert calls == ["Namespace", "Variables"]
    # A base that gains an initialiser later is reached from then on.
    class Later:
        pass

    class Command(TclCommand, Later):
        pass

    Command("::set", tcl=interp)
    Later.__init__ = lambda self: calls.append("Later")
    Command("::set", tcl=interp)
    assert calls == ["Namespace", "Variables", "Later"]


def test_names_follow_how_a_namespace_handle_converts(interp, ns):
    assert TclNamespace.join(ns, "x") == "::ns1::x"
    renamed = TclNamespace("::ns1", interp)
    renamed.__scriptify__ = lambda: "::elsewhere"
    assert TclNamespace.join(renamed, "x") == "::elsewhere::x"

    class Spoken(TclNamespace):
        def __str__(self):
            return "::spoken"

    assert TclNamespace.join(Spoken("::ns1", interp), "x") == "::spoken::x"
    original = TclNamespace.__str__
    TclNamespace.__str__ = lambda self: "::patched"
    try:
        assert TclNamespace.join(ns, "x") == "::patched::x"
        assert ns.vars.byref("x").var_name == "::patched::x"
    finally:
        TclNamespace.__str__ = original
    assert TclNamespace.join(ns, "x") == "::ns1::x"


@pytest.mark.parametrize("setting", [True, False, 2])
def test_reading_restores_the_objects_setting(interp, ns, setting):
    tk = interp.tk
    tk.setvar("::ns1::x", 5)
    tk.eval("set ::ns1::hex 0x10; expr {$::ns1::hex + 0}")
    tk.wantobjects(setting)
    try:
        expected = tk.wantobjects()
        assert ns.vars["x"] == "5" and ns.vars["hex"] == "0x10"
        with pytest.raises(KeyError):
            ns.vars["missing"]
        assert tk.wantobjects() == expected
    finally:
        tk.wantobjects(True)


def test_a_read_trace_sees_the_interpreter_as_it_is(interp, ns):
    tk = interp.tk
    seen = []
    tk.createcommand("::traced_read", lambda *args: seen.append(tk.call("expr", "1+1")))
    tk.eval("set ::ns1::x 5; trace add variable ::ns1::x read ::traced_read")
    try:
        reads = [ns.vars.get("x"), ns.vars["x"], ns.objs.get("x"), ns.objs["x"]]
    finally:
        tk.eval("trace remove variable ::ns1::x read ::traced_read")
        tk.deletecommand("::traced_read")
    assert reads == ["5", "5", "5", "5"]
    assert seen == [2, 2, 2, 2]


def test_item_reads_follow_the_namespace_they_name(interp):
    tk = interp.tk
    tk.eval("namespace eval ::ns1 {variable x one}; namespace eval ::ns2 {variable x two}")
    try:
        first, second = TclNamespace("::ns1", interp), TclNamespace("::ns2", interp)
        key = "x"
        assert [first.objs[key], second.objs[key], first.vars[key]] == ["one", "two", "one"]
        first.ns = "::ns2"
        assert first.vars[key] == "two"
        view = TclNamespace.VariablesView(second)
        view.ns = TclNamespace("::ns1::", interp)
        assert view[key] == "one"
    finally:
        tk.eval("namespace delete ::ns1 ::ns2")


def test_a_tk_borrowing_tkinters_methods_is_refused_not_trusted(interp, ns):
    tkapp = type(interp.tk)

    class Borrowing:
        getvar, setvar, wantobjects = tkapp.getvar, tkapp.setvar, tkapp.wantobjects
        call, eval = tkapp.call, tkapp.eval

    class Host:
        tk = Borrowing()

    host = Host()
    handle = TclNamespace("::ns1", host)
    for read in (lambda: handle.vars["x"], lambda: handle.objs["x"],
                 lambda: TclVariable("::ns1::x", tcl=host).get_obj()):  # fmt: skip
        with pytest.raises(TypeError, match="doesn't apply"):
            read()


def test_keys_are_a_set_like_view_of_the_names(host_ns):
    host_ns.vars["a"] = 1
    host_ns.vars["b"] = 2
    keys = host_ns.vars.keys()
    assert isinstance(keys, TclNamespace.KeysView) and sorted(keys) == ["a", "b"]
    assert len(keys) == 2 and "a" in keys and "c" not in keys
    assert keys & {"a", "c"} == {"a"} and keys == {"a", "b"}
    host_ns.vars["c"] = 3
    assert sorted(keys) == ["a", "b", "c"]  # asked again on each iteration
    assert dict(host_ns.vars) == {"a": "1", "b": "2", "c": "3"}
    assert repr(keys) == f"KeysView({host_ns.vars!r})"
    assert list(host_ns.cmds.keys()) == list(host_ns.cmds) and host_ns.procs.keys() == set()


def test_own_variables_named_like_globals_count_only_when_set(host):
    tk = host.tk
    tk.eval("namespace eval ::shadow {variable tcl_version mine; variable tcl_platform}")
    try:
        handle = TclNamespace("::shadow", host)
        assert list(handle.vars) == ["tcl_version"] and len(handle.vars) == 1
        assert dict(handle.vars) == {"tcl_version": "mine"} and "tcl_platform" not in handle.vars
    finally:
        tk.eval("namespace delete ::shadow")


@pytest.mark.parametrize(
    "ns_name", ["::ns1", "ns1", "::ns1::", ":::ns1", "::", "", "::ns1::ünï", "::ns1::\U0001f600"]
)
@pytest.mark.parametrize("key", ["v", "::ns1::v", "ünï::v", "\U0001f600", "a:b", "", "w"])
def test_item_reads_address_the_joined_name(interp, ns_name, key):
    tk = interp.tk
    tk.eval("namespace eval ::ns1::ünï {}; namespace eval ::ns1::\U0001f600 {}")
    for name in ("::v", "::w", "::ns1::v", "::ns1::ünï::v", "::ns1::\U0001f600",
                 "::ns1::ünï::\U0001f600"):  # fmt: skip
        tk.setvar(name, f"at {name}")
    handle = TclNamespace(ns_name, interp)
    try:
        expected = tk.getvar(TclNamespace.join(ns_name, key))
    except (TclError, ValueError):
        for view in (handle.vars, handle.objs):
            with pytest.raises(KeyError):
                view[key]
    else:
        assert handle.vars[key] == str(handle.objs[key]) == expected
    finally:
        tk.eval("namespace delete ::ns1; unset -nocomplain ::v ::w")
