"""Name algebra, variable, array and command handles, and temporary variables, against real Tcl."""

from __future__ import annotations

import gc
import inspect
import logging
import pydoc
import weakref
from collections.abc import MutableMapping

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tarvik.tcl import TclError, TclInterpreter
from tarvik.tcl import namespace as module
from tarvik.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclArrayVariable,
    TempTclCommand,
    TempTclNamespace,
    TempTclVariable,
)
from tarvik.tcl.scriptify import scriptify, tclobj

# Values that Tcl would split, substitute or evaluate if they were quoted wrongly.
HOSTILE = [
    "two words", "{unbalanced", "close}", "{a} {b}", "[set ::pwned 1]", "$pwned", "back\\slash",
    "trailing\\", "new\nline", "", "é中\U0001f600", '"quoted"', "#hash", "semi;colon", "tab\there",
]  # fmt: skip
HOSTILE_NAMES = [v for v in HOSTILE if v and "\\" not in v and "::" not in v]


def leftovers(tk) -> list[str]:
    """Whatever a temporary left behind: variables, commands and namespaces of its name."""
    found = []
    for query in ("info vars", "info commands", "namespace children ::"):
        found += [n for n in tk.splitlist(tk.eval(query)) if "__tarvik__" in str(n)]
    return found


@pytest.fixture(autouse=True)
def nothing_left_behind(request, interp):
    yield
    hosts = [interp]
    if "host" in request.fixturenames:
        hosts.append(request.getfixturevalue("host"))
    for host in hosts:
        assert leftovers(host.tk) == []
        assert host.tk.eval("info exists ::pwned") == "0", "a value was evaluated"


@pytest.fixture
def proc(interp):
    interp.tk.eval("proc ::echo {args} {return $args}")
    yield TclCommand(("::echo",), tcl=interp)
    interp.tk.eval("rename ::echo {}")


# ---------------------------------------------------------------------------------------------
# Name algebra


@pytest.mark.parametrize(
    "function, args, expected",
    [
        ("split", ("::a::b::c",), ["", "a", "b", "c"]),
        ("split", ("a::b::",), ["a", "b"]),
        ("split", ("::",), [""]),
        ("split", ("",), []),
        ("split", ("a::::b",), ["a", "b"]),
        ("normalize", ("::a::::b::",), "::a::b"),
        ("normalize", ("::",), ""),
        ("normalize", ("",), ""),
        ("normalize", ("a",), "a"),
        ("normalize", ("::é::中\U0001f600::",), "::é::中\U0001f600"),
        ("join", ("::a", "b"), "::a::b"),
        ("join", ("a", "::b"), "::b"),
        ("join", ("", "a", "b"), "a::b"),
        ("join", ("a", "", "b"), "a::b"),
        ("join", ("::a::b", "c::d"), "::a::b::c::d"),
        ("join", ("::", "a"), "::a"),
        ("join", ("a", None), "a"),
        ("join", ("::a", "::"), ""),
        ("join", ("::a",), "::a"),
        ("join", ("é", "x", "\U0001f600"), "é::x::\U0001f600"),
        ("join", (["a b"], "c"), "{a b}::c"),
        ("qualifiers", ("::a::b::c",), "::a::b"),
        ("qualifiers", ("a:::b",), "a"),
        ("qualifiers", ("a::",), "a"),
        ("qualifiers", ("::a",), ""),
        ("tail", ("::a::b::c",), "c"),
        ("tail", ("a::",), ""),
        ("tail", ("a:::b",), "b"),
    ],
)
def test_name_algebra(function, args, expected):
    assert getattr(TclNamespace, function)(*args) == expected


@pytest.mark.parametrize(
    "function, args, offending",
    [
        ("split", ("a:::b",), "a:::b"),
        ("split", (":::a",), ":::a"),
        ("normalize", ("a:b",), "a:b"),
        ("normalize", ("a::",) * 1, None),
        ("join", ("a:", "b"), "a:::b"),
        ("join", ("::x", "a:b", "c"), "::x::a:b::c"),
    ],
)
def test_names_with_stray_colons_raise_value_error(function, args, offending):
    if offending is None:  # a trailing separator is fine
        assert getattr(TclNamespace, function)(*args) == "a"
        return
    with pytest.raises(ValueError) as raised:
        getattr(TclNamespace, function)(*args)
    assert str(raised.value) == f"Invalid Tcl namespace '{offending}'"


NAMES = st.lists(st.sampled_from(["a", "é", "中", ":", "::", " "]), max_size=10).map("".join)


@given(NAMES)
def test_qualifiers_and_tail_agree_with_tcl(host, name):
    tk = host.tk
    assert TclNamespace.qualifiers(name) == tk.call("namespace", "qualifiers", name)
    assert TclNamespace.tail(name) == tk.call("namespace", "tail", name)


@given(st.lists(st.text(st.sampled_from("ab:é"), max_size=6), min_size=1, max_size=4))
def test_join_is_normal_and_idempotent(parts):
    try:
        joined = TclNamespace.join(*parts)
    except ValueError:
        return
    assert TclNamespace.normalize(joined) == joined
    assert "::::" not in joined and not joined.endswith("::")
    assert TclNamespace.join(joined) == joined


def test_name_algebra_is_static():
    for name in ("qualifiers", "tail", "join", "split", "normalize"):
        assert isinstance(inspect.getattr_static(TclNamespace, name), staticmethod)
    assert str(inspect.signature(TclNamespace.join)) == "(string, *args)"
    with pytest.raises(TypeError):
        TclNamespace.tail()
    with pytest.raises(TypeError, match="__scriptify__ returned|must be a string"):
        TclNamespace.join(type("Odd", (), {"__scriptify__": lambda self: 5})())


# ---------------------------------------------------------------------------------------------
# Variables


@pytest.mark.parametrize("value", HOSTILE)
def test_values_reach_tcl_intact(host, value):
    variable = TclVariable("::t_v", tcl=host)
    variable.set(value)
    assert host.tk.getvar("::t_v") == value
    assert variable.get_str() == value
    assert str(variable.get_obj()) == value
    element = TclVariable("::t_velem", tcl=host)
    element.set(value, array_index=value)
    assert element.get_str(array_index=value) == value
    element.unset()
    array = TclArrayVariable("::t_arr", tcl=host)
    array[value] = value
    assert array.array_get_str() == array.array_get_obj() == {value: value}
    assert list(array) == [value]
    array.clear()
    variable.unset()


@pytest.mark.parametrize("name", HOSTILE_NAMES)
def test_names_reach_tcl_intact(host, name):
    variable = TclVariable(name, tcl=host)
    variable.set("x")
    assert host.tk.getvar(name) == "x"
    assert variable.exists() is True and variable.get_str() == "x"
    variable.unset()
    assert variable.exists() is False


def test_element_handle_addresses_the_element(host):
    element = TclVariable("::t_arr", array_index="a b", tcl=host)
    assert element.var_name == "::t_arr(a b)"
    element.set(1)
    assert element.get_str() == "1" and element.exists()
    assert TclVariable("::t_arr", tcl=host).exists(array_index="a b")
    assert TclArrayVariable("::t_arr", tcl=host).array_names() == ("a b",)
    host.tk.eval("unset ::t_arr")


def test_handles_follow_changes_of_their_attributes_and_host(spy_interp):
    class Renamed(TclVariable):
        pass

    variable = Renamed("::t_one", tcl=spy_interp)
    variable.set("1")
    assert variable.get_obj() == "1"
    variable.var_name = "::t_two"
    variable.cast = int
    variable.set("2")
    assert variable.get_obj() == 2
    Renamed.var_name = property(lambda self: "::t_three")
    variable.set("3")
    spy_interp.tk.calls.clear()
    real_tk = spy_interp.tk
    spy_interp.tk = real_tk._tk  # the real tk behind the spy: calls no longer recorded
    assert variable.get_obj() == 3 and real_tk.calls == []
    spy_interp.tk = real_tk
    assert variable.get_obj() == 3 and real_tk.sent("getvar") == [("::t_three",)]
    assert [spy_interp.tk.getvar(f"::t_{n}") for n in ("one", "two", "three")] == ["1", "2", "3"]
    spy_interp.tk.eval("unset ::t_one ::t_two ::t_three")


@pytest.mark.parametrize(
    "index, sent", [(1, "1"), ((1, 2), "1 2"), (None, None), (True, "true"), (1.5, "1.5")]
)
def test_any_written_index_reads_back(spy_interp, index, sent):
    array = TclArrayVariable("::t_arr", tcl=spy_interp)
    array.set("v", array_index=index)
    assert array.get_obj(array_index=index) == "v"
    assert spy_interp.tk.sent("getvar")[-1] == (("::t_arr",) if sent is None else ("::t_arr", sent))


def test_string_index_is_sent_as_it_is(spy_interp):
    class Key(str):
        pass

    key = Key("k")
    TclVariable("::t_arr", tcl=spy_interp).set(1, array_index="k")
    TclVariable("::t_arr", tcl=spy_interp).get_obj(array_index=key)
    assert spy_interp.tk.sent("getvar")[-1][1] is key


@pytest.mark.parametrize(
    "handle_cast, read_cast, expected",
    [(None, ..., "7"), (int, ..., 7), (int, None, "7"), (None, float, 7.0), (int, float, 7.0)],
)
def test_get_obj_cast(host, handle_cast, read_cast, expected):
    variable = TclVariable("::t_v", tcl=host, cast=handle_cast)
    variable.set("7")
    value = variable.get_obj() if read_cast is ... else variable.get_obj(cast=read_cast)
    assert value == expected and type(value) is type(expected)
    assert variable.get() == variable.get_obj()
    variable.unset()


def test_unset(host):
    variable = TclVariable("::missing", tcl=host)
    assert variable.unset(nocomplain=True) is None
    with pytest.raises(TclError):
        variable.unset()
    with pytest.raises(TclError):
        variable.get_obj()
    with pytest.raises(TclError):
        variable.get_str()


def test_array_operations_send_their_words(spy_interp):
    array = TclVariable("::t_a", tcl=spy_interp)
    array.array_set({"k": [1, 2], "x y": "z"})
    assert array.is_array() is True and array.array_size() == 2
    assert array.array_get_obj(pattern="") == {}
    assert spy_interp.tk.sent()[-1] == (("::array", "get", "::t_a", ""),)
    assert sorted(array.array_names()) == ["k", "x y"]
    assert array.array_names(pattern="k*") == ("k",)
    array.array_unset(pattern="k")
    assert array.array_get_str() == {"x y": "z"}
    array.array_unset()
    assert array.is_array() is False and array.array_size() == 0


def test_array_item_byref_is_a_plain_element_handle(interp):
    array = TclArrayVariable("::t_a", tcl=interp, cast=int)
    element = array.array_item_byref("k", cast=str)
    assert type(element) is TclVariable and element.var_name == "::t_a(k)"
    assert element.tcl is array.tcl and element.cast is str
    element.set(3)
    assert array["k"] == 3
    array.clear()


def test_absolute_names(spy_interp):
    assert TclVariable("::x", tcl=spy_interp).absolute() == "::x"
    assert spy_interp.tk.sent() == []
    variable = TclVariable("x", tcl=spy_interp)
    assert variable.absolute() == "::x"
    assert spy_interp.tk.sent() == [("namespace", "current")]
    variable.make_absolute()
    assert variable.var_name == "::x"
    with pytest.raises(ValueError, match="Invalid Tcl namespace"):
        TclVariable("a", array_index="b:c", tcl=spy_interp).absolute()


def test_variable_protocols(interp, proc):
    variable = TclVariable(TclVariable("::t_v", tcl=interp), tcl=interp)
    assert variable.var_name == "::t_v" and str(variable) == "::t_v"
    assert repr(variable) == "TclVariable('::t_v')"
    assert repr(type("Mine", (TclVariable,), {})("x", tcl=interp)) == "Mine('x')"
    assert tclobj(variable) == scriptify(variable) == "::t_v"
    assert proc(variable) == ("::t_v",)  # a handle passed to a command stands for its name
    assert TclVariable.get is TclVariable.get_obj
    assert TclVariable.array_get is TclVariable.array_get_obj
    assert type(TclVariable._TclVariable__marker) is object
    variable.note = 1
    assert weakref.ref(variable)() is variable and vars(variable)["note"] == 1


# ---------------------------------------------------------------------------------------------
# Arrays as mappings


def test_array_is_a_mutable_mapping(interp):
    array = TclArrayVariable("::t_m", tcl=interp)
    assert isinstance(array, MutableMapping)
    assert TclArrayVariable.__mro__[1] is MutableMapping
    assert TclArrayVariable.get is TclVariable.get
    assert len(array) == 0 and list(array) == []
    array["a"] = 1
    array[2] = "two"
    assert len(array) == 2 and "a" in array and 2 in array and "b" not in array
    assert array == {"a": 1, "2": "two"} and sorted(array.items()) == [("2", "two"), ("a", 1)]
    del array["a"]
    with pytest.raises(TclError):
        del array["a"]
    with pytest.raises(TclError):
        array["a"]
    assert array.setdefault("2") == "two"
    array.clear()
    assert array.is_array() is False
    with pytest.raises(KeyError):
        array.popitem()


def test_array_iteration_asks_tcl_when_it_starts(spy_interp):
    array = TclArrayVariable("::t_m", tcl=spy_interp)
    array.update(a=1)
    names = iter(array)
    sent = len(spy_interp.tk.calls)
    array["b"] = 2
    assert len(spy_interp.tk.calls) == sent + 1  # only the setvar
    assert sorted(names) == ["a", "b"]
    array.clear()


def test_update_sends_one_array_set(spy_interp):
    array = TclArrayVariable("::t_m", tcl=spy_interp, cast=int)
    array.update({"a": 1, "b": 2}, b=3, c=4)
    assert spy_interp.tk.sent() == [(("::array", "set", "::t_m", ("a", 1, "b", 3, "c", 4)),)]
    assert array["b"] == 3 and array.get("c", str) == "4"
    with pytest.raises(TypeError):
        array.update({}, {})


# ---------------------------------------------------------------------------------------------
# Temporary variables


def test_temporary_names(interp):
    first, second = TempTclVariable(tcl=interp), TempTclVariable(tcl=interp)
    assert first.var_name != second.var_name
    assert first.var_name == f"::__tarvik__TempTclVariable_{id(first)}_tmp"
    array = TempTclArrayVariable(tcl=interp)
    assert array.var_name == f"::__tarvik__TempTclArrayVariable_{id(array)}_tmp"
    assert TempTclVariable("plain", tcl=interp).var_name == "plain"
    assert TempTclVariable("{cls}", array_index="k", tcl=interp).var_name == "TempTclVariable(k)"


@pytest.mark.parametrize("make, attribute", [
    (lambda tcl: TempTclVariable(None, tcl=tcl), "var_name"),
    (lambda tcl: TempTclArrayVariable(None, tcl=tcl), "var_name"),
    (lambda tcl: TempTclCommand(None, None, tcl=tcl), "cmd_name"),
    (lambda tcl: TempTclNamespace(None, tcl=tcl), "ns"),
], ids=["variable", "array", "command", "namespace"])
def test_a_temporary_named_none_gets_the_default_name(interp, make, attribute):
    handle = make(interp)
    assert getattr(handle, attribute) == f"::__tarvik__{type(handle).__name__}_{id(handle)}_tmp"


@pytest.mark.parametrize("name", ["{", "{nope}", "{0}"])
def test_unformattable_temporary_name_fails_before_tcl(spy_interp, name):
    with pytest.raises((ValueError, KeyError, IndexError)):
        TempTclVariable(name, tcl=spy_interp)
    assert spy_interp.tk.calls == []


def test_temporary_variable_is_removed_on_every_exit(host):
    with TempTclVariable(tcl=host) as variable:
        assert not variable.exists()
    with TempTclVariable(tcl=host) as variable:
        variable.set("x")
        assert variable.exists()
    assert not variable.exists()
    with pytest.raises(ZeroDivisionError):
        with TempTclArrayVariable(tcl=host, cast=int) as array:
            array.update(a=1)
            assert array["a"] == 1
            1 / 0
    assert not array.exists()
    assert TempTclVariable(tcl=host).__exit__(None, None, None) is False


def test_temporary_array_reaches_the_array_initialiser(interp):
    assert TempTclArrayVariable.__mro__[1:3] == (TempTclVariable, TclArrayVariable)
    with pytest.raises(TypeError, match="array_index"):
        TempTclArrayVariable(tcl=interp, array_index="k")


# ---------------------------------------------------------------------------------------------
# Commands


@pytest.mark.parametrize(
    "cmd, args, name, leading",
    [
        ("puts -nonewline", None, "puts", ("-nonewline",)),
        (("p", "a b"), None, "p", ("a b",)),
        ("p", "x y", "p", ("x", "y")),
        (["p", "a b"], None, "p", ("a b",)),
        ("p {a b} c", None, "p", ("a b", "c")),
        (("p", None, 1, [2, 3]), None, "p", ("", 1, (2, 3))),
    ],
)
def test_command_construction(interp, cmd, args, name, leading):
    command = TclCommand(cmd, args=args, tcl=interp)
    assert command.cmd_name == name and command.args == leading and command.keywords == {}


def test_command_from_another_handle(interp):
    base = TclCommand(("p", "a"), keywords={"k": None}, tcl=interp)
    copy = TclCommand(base, keywords={"z": [1]}, tcl=interp)
    assert (copy.cmd_name, copy.args, copy.keywords) == ("p", ("a", "-k", ""), {"z": (1,)})
    more = TclCommand(base, args="b c", tcl=interp)
    assert more.args == ("a", "b", "c", "-k", "")
    with pytest.raises(IndexError):
        TclCommand("", tcl=interp)


def test_word_tuple_and_options(interp):
    command = TclCommand(("p",), keywords={"x": 1, "o": None}, tcl=interp)
    assert command.build_tclcmd(None, [1, "a b"], x=2, y=3) == (
        "p", "", (1, "a b"), "-x", 2, "-o", "", "-y", 3,
    )  # fmt: skip
    assert command.keywords == {"x": 1, "o": ""}
    assert TclCommand.kwargs_to_dashed_args(a=1, b_c="x") == ("-a", 1, "-b_c", "x")
    with pytest.raises(TypeError):
        TclCommand(("p",), keywords={1: 2}, tcl=interp).build_tclcmd()


def test_dashed_args_are_looked_up_through_the_instance(interp):
    class Underscored(TclCommand):
        @staticmethod
        def kwargs_to_dashed_args(**kwargs):
            return tuple(w for k, v in kwargs.items() for w in ("-" + k.replace("_", "-"), v))

    assert Underscored(("p",), tcl=interp).build_tclcmd(max_depth=1) == ("p", "-max-depth", 1)


@pytest.mark.parametrize("value", HOSTILE)
def test_call_and_eval_pass_values_intact(interp, proc, value):
    assert proc(value, key=value) == (value, "-key", value)
    assert interp.tk.splitlist(proc.eval(value, key=value)) == (value, "-key", value)


def test_eval_of_a_command_named_like_a_comment(interp):
    interp.tk.call("proc", "#hash", "args", "return ran")
    assert TclCommand(("#hash",), tcl=interp).eval() == "ran"
    interp.tk.call("rename", "#hash", "")


@pytest.mark.parametrize("cast, expected", [(None, "1 2"), (0, "1 2"), ("", "1 2"), (len, 3)])
def test_cast_applies_only_when_true(proc, cast, expected):
    proc.cast = cast
    assert proc.eval(1, 2) == expected


def test_logger_gets_one_line_per_call(proc, caplog):
    proc.logger = logging.getLogger("test.namespace")
    with caplog.at_level(logging.INFO, logger="test.namespace"):
        proc.call("a b", flag=True)
        proc.eval(1)
    assert [r.getMessage() for r in caplog.records] == ["Calling: ::echo {a b} -flag true"]


@pytest.mark.parametrize(
    "name, exists, is_proc, is_command",
    [("::echo", True, True, False), ("set", True, False, True), ("::nope", False, False, False)],
)
def test_command_tests_return_booleans(interp, proc, name, exists, is_proc, is_command):
    command = TclCommand((name,), tcl=interp)
    assert (command.exists(), command.is_proc(), command.is_command()) == (
        exists, is_proc, is_command,
    )  # fmt: skip


def test_proc_introspection(host):
    host.tk.eval("proc ::p {a {b 2} {c {x {y}}} {d {}}} {return $a}")
    command = TclCommand("::p", tcl=host)
    assert command.proc_args() == ("a", "b", "c", "d")
    assert command.proc_body() == "return $a"
    assert [command.proc_arg_default(n) for n in "abcd"] == [None, "2", "x {y}", ""]
    with pytest.raises(TclError):
        command.proc_arg_default("missing")
    assert command.origin() == "::p"
    host.tk.eval("rename ::p {}")


def test_rename_and_delete(interp, proc):
    interp.tk.eval("proc ::other {} {}")
    with pytest.raises(TclError):
        proc.rename("::other")
    assert proc.cmd_name == "::echo"
    proc.rename("::echo2")
    assert proc.cmd_name == "::echo2" and proc("x") == ("x",)
    proc.delete()
    assert proc.cmd_name == "::echo2" and not proc.exists()
    interp.tk.eval("proc ::echo {} {}; rename ::other {}")


def test_createcommand_and_absolute(spy_interp):
    command = TclCommand("py_double", tcl=spy_interp)
    command.createcommand(lambda x: int(x) * 2)
    assert command(21) == 42
    assert command.absolute() == "::py_double"
    assert spy_interp.tk.sent()[-1] == ("namespace", "current")
    command.make_absolute()
    assert command.cmd_name == "::py_double"
    command.delete()


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({}, "TclCommand('puts')"),
        ({"args": "-nonewline"}, "TclCommand('puts', args=('-nonewline',))"),
        ({"keywords": {"a": 1}, "cast": int},
         "TclCommand('puts', keywords={'a': 1}, cast=<class 'int'>)"),
    ],
)  # fmt: skip
def test_command_repr(interp, kwargs, text):
    assert repr(TclCommand("puts", tcl=interp, logger=logging.getLogger(), **kwargs)) == text


def test_command_as_a_word_and_as_a_method(interp, proc):
    inner = TclCommand(("list", "a b"), keywords={"k": 1}, tcl=interp)
    assert str(inner) == "list {a b} -k 1"
    assert proc(inner) == (("list", "a b", "-k", 1),)

    class Instrument:
        echo = proc

        def __tclobj__(self):
            return "dev 1"

    assert Instrument().echo("x") == ("dev 1", "x")
    assert Instrument.echo is proc  # read through the class: the handle itself
    assert "Instrument" in pydoc.render_doc(Instrument)
    assert proc.__get__(None, Instrument) is proc


# ---------------------------------------------------------------------------------------------
# Ownership


def test_handles_never_keep_the_interpreter_alive():
    host = TclInterpreter()
    alive = weakref.ref(host)
    handles = [
        TclVariable("x", tcl=host), TclArrayVariable("a", tcl=host), TclCommand(("set",), tcl=host)
    ]  # fmt: skip
    del host
    gc.collect()
    assert alive() is None
    operations = [
        lambda: handles[0].get_obj(), lambda: handles[0].set(1), lambda: handles[0].exists(),
        lambda: handles[0].unset(nocomplain=True), lambda: len(handles[1]),
        lambda: list(handles[1]), lambda: handles[1]["k"], lambda: handles[2](),
        lambda: handles[2].eval(), lambda: handles[2].proc_arg_default("x"),
        lambda: handles[0].absolute(),
    ]  # fmt: skip
    for operation in operations:
        with pytest.raises(ReferenceError):
            operation()


def test_default_interpreter_is_the_package(interp):
    import tarvik.tcl

    variable = TclVariable("::default_x")
    assert isinstance(variable.tcl, weakref.ProxyType)
    variable.set(5)
    assert tarvik.tcl.tk.getvar("::default_x") == 5
    variable.unset()
    proxy = weakref.proxy(interp)
    assert TclVariable("x", tcl=proxy).tcl is proxy


def test_module_layout():
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names[:9] == [
        "MutableMapping", "scriptify", "tclobj", "TclError", "Tk", "MethodType", "weakref", "sys",
        "functools",
    ]  # fmt: skip
    assert module.scriptify is scriptify and module.tclobj is tclobj
    assert all(hasattr(module, name) for name in module.__all__)
    assert str(inspect.signature(TclVariable.get_obj)) == "(self, array_index=None, cast=Ellipsis)"
    assert str(inspect.signature(TempTclVariable)) == (
        "(var_name=None, **kwargs)"
    )
