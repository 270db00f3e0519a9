"""The host layer: TclInterpreter, the default interpreter, casts, AttrDict, get_time, and the
native function type as Python code sees it."""

from __future__ import annotations

import gc
import inspect
import pickle
import subprocess
import sys
import tkinter
import traceback
import weakref

import pytest

import tarvik.tcl
from tarvik.datastructures import AttrDict
from tarvik.tcl import TclInterpreter
from tarvik.tcl.scriptify import scriptify, tclobj
from tarvik.utils.utils import get_time


@pytest.mark.parametrize(
    "value, expected",
    [
        ("", ()),
        ("a {b c} d", ("a", "b c", "d")),
        (("x", "y"), ("x", "y")),
        (["x"], ("x",)),
        (3, ("3",)),
    ],
)
def test_cast_list(interp, value, expected):
    assert interp.cast_list(value) == expected


def test_cast_list_of_a_tcl_object(interp):
    interp.tk.eval("set ::obj [list a {b c}]; llength $::obj")
    assert interp.cast_list(interp.tk.getvar("::obj")) == ("a", "b c")


@pytest.mark.parametrize(
    "value, expected", [("yes", True), ("off", False), ("1", True), (0, False), ("true", True)]
)
def test_cast_boolean_follows_tcl(interp, value, expected):
    assert interp.cast_boolean(value) is expected


def test_cast_boolean_rejects_non_booleans(interp):
    with pytest.raises(tkinter.TclError):
        interp.cast_boolean("maybe")


def test_cast_array_and_cast_any(interp):
    interp.tk.eval("array set ::arr {k1 v1 {k 2} {v 2}}")
    assert interp.cast_array(interp.tk.call("array", "get", "::arr")) == {"k1": "v1", "k 2": "v 2"}
    assert interp.cast_any(interp.tk.call("expr", "1 + 2")) == 3
    assert interp.cast_any(interp.tk.call("list", "a", "b")) == ("a", "b")
    interp.tk.eval("set ::p ::set; $::p ::x 1")
    assert interp.cast_any(interp.tk.getvar("::p")) == "::set"


def test_interpreter_loads_tclx_when_installed(interp):
    assert interp.tclx == bool(interp.tk.eval("package provide Tclx"))


def test_hosts_accept_weak_references_and_are_not_kept_alive():
    host = TclInterpreter()
    proxy = weakref.proxy(host)
    assert proxy.tk.call("expr", "2 * 3") == 6
    del host
    gc.collect()
    with pytest.raises(ReferenceError):
        proxy.tk


def test_package_module_offers_a_default_interpreter():
    code = (
        "import weakref, tarvik.tcl as t\n"
        "assert t._default is None\n"
        "assert t.cast_list('a {b c}') == ('a', 'b c') and t._default is None\n"
        "p = weakref.proxy(t)\n"
        "assert p.tk.call('expr', '1 + 1') == 2\n"
        "assert t._default is not None and t.tk is t._default.tk\n"
        "assert t.cast_list('a b') == ('a', 'b') and t.cast_boolean('on') is True\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_attrdict():
    d = AttrDict(a=1)
    d.b = 2
    assert d == {"a": 1, "b": 2} and d.a == 1
    del d.a
    assert "a" not in d
    with pytest.raises(AttributeError):
        d.missing
    with pytest.raises(AttributeError):
        del d.missing
    assert getattr(d, "missing", None) is None
    assert type(d.copy()) is AttrDict


def test_get_time_has_microseconds():
    assert len(get_time().strftime("%Y-%m-%dT%H:%M:%S.%f")) == 26


def test_native_functions_pickle_by_reference_and_bind_like_functions():
    assert pickle.loads(pickle.dumps(scriptify)) is scriptify
    assert "scriptify" in repr(scriptify)
    assert scriptify.__get__(None, object) is scriptify
    assert weakref.ref(tclobj)() is tclobj
    scriptify.__name__ = "renamed"
    try:
        assert scriptify.__name__ == "renamed"
    finally:
        scriptify.__name__ = "scriptify"
    with pytest.raises(AttributeError):
        scriptify.__text_signature__ = "(x)"


@pytest.mark.parametrize(
    "code",
    [
        # The submodules are modules, and importing them makes no interpreter.
        "import tarvik.tcl.history as h, tarvik.tcl.z as z\n"
        "assert h.History and z.Z and z.Z_Code and t._default is None\n"
        "from tarvik.tcl.history import Entry\n"
        "assert not hasattr(h, '__path__') and not hasattr(z, '__path__') and t._default is None\n",
        # Python's probes of the quick-call module never become Tcl calls.
        "import copy, inspect, tarvik.tcl.z as z\n"
        "assert inspect.unwrap(z) is z and t._default is None\n"
        "for probe in ('__wrapped__', '__deepcopy__', '__origin__'):\n"
        "    assert not hasattr(z, probe)\n"
        "assert t._default is None\n",
        # History's names act on the default interpreter's history, reading and setting.
        "import tarvik.tcl.history as h\n"
        "t.z.set('x', 1)\n"
        "assert [e.api for e in h.filter(count=1)] == ['set x 1']\n"
        "assert h.__history__ is t.default_interpreter().history.__history__\n"
        "h.enabled = False\n"
        "assert t.default_interpreter().history.enabled is False\n"
        "t.z.set('y', 2)\n"
        "assert [e.api for e in h.filter(count=1)] == ['set x 1']\n"
        "h.marker = 1\n"
        "assert h.marker == 1 and not hasattr(t.default_interpreter().history, 'marker')\n",
    ],
)
def test_submodules_forward_to_the_default_interpreter(code):
    subprocess.run([sys.executable, "-c", "import tarvik.tcl as t\n" + code], check=True)


def test_interpreter_repr_says_what_it_is(interp):
    assert repr(interp) == f"<TclInterpreter: Tcl {interp.tk.call('info', 'patchlevel')}, TclX>" or (
        not interp.tclx and "TclX" not in repr(interp)
    )


@pytest.mark.parametrize("name", [name for name in tarvik.tcl.__all__ if name != "TclError"])
def test_public_names_report_the_public_module(name):
    public = getattr(tarvik.tcl, name)
    assert public.__module__ == "tarvik.tcl"
    assert pickle.loads(pickle.dumps(public)) is public
    if isinstance(public, type):
        assert repr(public) == f"<class 'tarvik.tcl.{name}'>"


def test_a_link_error_reads_and_pickles_under_the_public_module():
    from tarvik.tcl import TclProcessError

    error = TclProcessError("the link is gone")
    assert traceback.format_exception_only(error) == [
        "tarvik.tcl.TclProcessError: the link is gone\n"]
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is TclProcessError and copy.args == error.args


@pytest.mark.parametrize("host_class", ["TclInterpreter", "TclProcess"])
@pytest.mark.parametrize("cast", ["cast_list", "cast_boolean", "cast_array", "cast_any"])
def test_the_casts_are_annotated_alike(host_class, cast):
    signature = inspect.signature(getattr(getattr(tarvik.tcl, host_class), cast))
    assert list(signature.parameters) == ["self", "result"]
    assert signature.parameters["result"].annotation is not inspect.Parameter.empty
    assert signature.return_annotation is not inspect.Signature.empty
