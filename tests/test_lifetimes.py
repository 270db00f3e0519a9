"""Objects that user code or Tcl can free while native code still uses them: a command that deletes
itself, an iterator started elsewhere, a class changed by a finaliser that the collector runs in
the middle of an allocation, attributes of the native functions set to anything. Each case that
used to crash runs in a child process, so a crash fails its test instead of ending the run."""

from __future__ import annotations

import gc
import os
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

from tarvik.tcl import TclInterpreter, fieldtree, history, namespace, scriptify, z
from tarvik.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace

TIMEOUT = 120


def run_child(code: str) -> str:
    """Runs `code` in a fresh interpreter and returns what it printed; fails on any crash. The
    debug allocator overwrites freed memory, so a use after free shows as a crash."""
    child = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                           capture_output=True, text=True, timeout=TIMEOUT,
                           env={**os.environ, "PYTHONMALLOC": "debug"})
    assert child.returncode == 0, child.stderr[-3000:]
    return child.stdout.strip()


@pytest.mark.parametrize("register", ["handle", "view", "temporary"])
def test_a_command_that_deletes_itself_and_raises_is_a_tcl_error(register):
    printed = run_child(f"""
        from tarvik.tcl import TclInterpreter
        from tarvik.tcl.namespace import TclCommand, TclNamespace, TempTclCommand
        tcl = TclInterpreter()
        def suicide(*args):
            tcl.tk.eval("rename ::selfdel {{}}")
            raise ValueError("gone")
        how = {register!r}
        if how == "handle":
            TclCommand("::selfdel", tcl=tcl).createcommand(suicide)
        elif how == "view":
            TclNamespace("::", tcl).cmds["selfdel"] = suicide
        else:
            keep = TempTclCommand(suicide, "::selfdel", tcl=tcl)
        print(tcl.tk.eval("list [catch ::selfdel message] $message $errorCode"))
        print(tcl.tk.eval("info commands ::selfdel") == "")
    """)
    assert printed.splitlines() == ["1 {ValueError: gone} {PYTHON ValueError}", "True"]


VIEW_CHILD = """
from tarvik.tcl import TclInterpreter
from tarvik.tcl.namespace import TclNamespace
tcl = TclInterpreter()
tcl.tk.eval("namespace eval ::n {variable a 1; variable b 2; variable c 3}")

def started(base):
    class Started(base):
        def __iter__(self):
            names = super().__iter__()
            next(names, None)
            return names
    return Started

ns = TclNamespace("::n", tcl)
for view in (started(TclNamespace.VariablesView)(ns), started(TclNamespace.ObjectsView)(ns),
             started(TclNamespace.ProcsView)(ns)):
    print(len(view), len(list(view)))
"""


def test_len_of_a_view_whose_iterator_was_started_counts_what_it_yields():
    assert run_child(VIEW_CHILD).splitlines() == ["2 2", "2 2", "0 0"]


def test_len_follows_an_iterator_that_is_not_the_views_own(interp):
    interp.tk.eval("namespace eval ::lens {variable a 1; variable b 2}")
    try:
        class Fixed(TclNamespace.VariablesView):
            def __iter__(self):
                return iter(["x", "y", "z"])

        view = Fixed(TclNamespace("::lens", interp))
        assert len(view) == 3 and len(TclNamespace("::lens", interp).vars) == 2
    finally:
        interp.tk.eval("namespace delete ::lens")


# On Python 3.11 the collector runs inside allocations. A child's `collect_at_next_allocation`
# leaves one garbage object whose __del__ is the given finaliser and makes the collector run at
# the next allocation: on 3.11 one that the native code makes, between a lookup and its use.
# Newer interpreters collect between bytecodes, where the same code is harmless: the cases run
# everywhere and could crash only where they can.
COLLECTOR = """
import gc

def collect_at_next_allocation(finaliser):
    class Garbage:
        __del__ = finaliser
    gc.collect()
    gc.disable()
    cycle = Garbage()
    cycle.self = cycle
    del cycle
    gc.set_threshold(1)
    gc.enable()
"""

FINALISER_CHILD = COLLECTOR + """
from tarvik.tcl import TclInterpreter
from tarvik.tcl.namespace import TclNamespace, TclVariable

tcl = TclInterpreter()
ns = TclNamespace("::g", tcl)

def init(self, var_name, array_index=None, tcl=None, cast=None):
    self.var_name, self.tcl, self.cast = var_name, tcl, cast

def replace_initialiser(garbage):
    TclVariable.__init__ = init  # frees the initialiser that only the class held

collect_at_next_allocation(replace_initialiser)
handle = ns.vars.byref("x")  # the constructor allocates after it has found the initialiser
gc.set_threshold(700)
print(type(handle).__name__, handle.var_name, TclVariable.__init__ is init)
"""


def test_a_finaliser_replacing_an_initialiser_during_construction():
    assert run_child(FINALISER_CHILD) == "TclVariable ::g::x True"


FUNCTIONS = [scriptify.scriptify, scriptify.tclobj, namespace.TclNamespace.join,
             namespace.TclVariable.get_obj, history.History.append, fieldtree.FieldTree.from_tcl,
             z.Z_Code.__call__]


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
@pytest.mark.parametrize("value", [12345, None, b"bytes"], ids=["int", "None", "bytes"])
def test_names_of_native_functions_must_be_strings(attribute, value):
    function = scriptify.scriptify
    with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
        setattr(function, attribute, value)
    with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
        delattr(function, attribute)
    assert getattr(function, attribute) == "scriptify"


def test_native_function_attributes_behave_as_a_python_functions():
    printed = run_child("""
        import pickle
        from tarvik.tcl.scriptify import scriptify, tclobj
        for name, value in (("__name__", 12345), ("__qualname__", 12345)):
            try:
                setattr(scriptify, name, value)
            except TypeError as error:
                print(error)
        try:
            scriptify()
        except TypeError as error:
            print(error)
        for name in ("__qualname__", "__module__", "__doc__"):
            try:
                delattr(tclobj, name)
            except TypeError as error:
                print(error)
        print(tclobj.__module__, tclobj.__doc__, pickle.loads(pickle.dumps(tclobj)) is tclobj)
        scriptify.__qualname__ = "renamed"
        try:
            scriptify()
        except TypeError as error:
            print(error)
    """)
    assert printed.splitlines() == [
        "__name__ must be set to a string object",
        "__qualname__ must be set to a string object",
        "scriptify() missing 1 required positional argument: 'obj'",
        "__qualname__ must be set to a string object",
        "None None True",
        "renamed() missing 1 required positional argument: 'obj'",
    ]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__qualname__)
def test_native_functions_take_any_value_where_python_functions_do(function):
    saved = {name: getattr(function, name) for name in ("__module__", "__doc__", "__qualname__")}
    try:
        for value in (None, 12345, ["a", "list"], function):
            function.__module__ = value
            function.__doc__ = value
            repr(function)
            assert function.__module__ is value and function.__doc__ is value
        function.__qualname__ = "another.name"
        assert repr(function).startswith("<function another.name at ")
    finally:
        for name, value in saved.items():
            setattr(function, name, value)
    assert pickle.loads(pickle.dumps(function)) is function


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__", "__module__", "__doc__"])
def test_a_native_function_shows_the_collector_every_object_it_holds(attribute):
    function = scriptify.tclobj
    saved = getattr(function, attribute)
    value = "a name" if attribute in ("__name__", "__qualname__") else ["an object"]
    try:
        setattr(function, attribute, value)
        assert any(referent is value for referent in gc.get_referents(function))
    finally:
        setattr(function, attribute, saved)


def test_a_native_function_in_a_garbage_cycle_is_collected():
    printed = run_child("""
        import gc, weakref
        from tarvik.tcl import namespace
        # A fresh module instance whose functions are garbage once the module is.
        import importlib.util, sys
        spec = importlib.util.find_spec("tarvik.tcl.namespace")
        fresh = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(fresh)
        join = fresh.TclNamespace.join
        probe = weakref.ref(fresh)
        for value in (join, fresh, [join]):
            join.__module__ = value
            join.__doc__ = value
            join.anything = value
        del fresh, join, value
        gc.collect()
        print(probe() is None)
    """)
    assert printed == "True"


def test_a_name_iterator_refuses_to_run_inside_itself(interp):
    interp.tk.eval("array set ::reentered {a 1 b 2 c 3}")
    running: list = []
    inner: list = []

    class Reentrant(TclArrayVariable):
        def array_names(self, pattern=None):
            for names in running:
                try:
                    inner.append(next(names))
                except ValueError as error:
                    inner.append(str(error))
            return super().array_names(pattern)

    try:
        names = iter(Reentrant("::reentered", tcl=interp))  # the only reference to its array
        running.append(names)
        assert sorted(names) == ["a", "b", "c"]
        assert inner == ["name iterator already executing"]
    finally:
        interp.tk.eval("unset ::reentered")


# Another finaliser run inside an allocation: it renames the function whose arguments are being
# parsed, and the parse then reports an argument error.
RENAMING_CHILD = COLLECTOR + """
from tarvik.tcl import TclInterpreter
from tarvik.tcl.namespace import TclNamespace

tcl = TclInterpreter()
view = TclNamespace("::g", tcl).vars
function = TclNamespace.VariablesView.byref

def rename(garbage):
    function.__qualname__ = "".join(["renamed.", "byref"])  # frees the name it had

collect_at_next_allocation(rename)
try:
    view.byref("x", extra=1, var_name="y")  # the parse makes a dict for extra, then fails
except TypeError as error:
    gc.set_threshold(700)
    print(error)
"""


def test_a_finaliser_renaming_a_function_while_its_arguments_are_parsed():
    assert run_child(RENAMING_CHILD) in (
        "TclNamespace.VariablesView.byref() got multiple values for argument 'var_name'",
        "renamed.byref() got multiple values for argument 'var_name'",
    )


def test_a_record_dropped_while_the_history_clears_it():
    # deque.clear() goes on using the deque after it has dropped the items.
    printed = run_child("""
        from collections import deque
        from tarvik.tcl.history import History

        shared = []

        class Records(dict):
            def values(self):
                return shared  # the very list it keeps

        class Dropper:
            def __del__(self):
                shared.clear()  # drops the record that is being cleared

        history = History()
        shared.append(deque([Dropper()]))
        history.__markers__ = Records()
        history.clear(clear_all=True)
        print(shared, list(history.__history__))
    """)
    assert printed == "[] []"


@pytest.mark.parametrize("store", ["tree['k'] = obj", "tree.update(k=obj)", "tree.update({'k': obj})",
                                   "tree = FieldTree(k=obj)"])  # fmt: skip
def test_a_tcl_object_that_tcl_left_without_a_type_is_stored_as_it_is(store):
    # Tcl drops the type of an object that it reads as a variable name; _tkinter's typename of
    # such an object then reads through a null type and crashes the process.
    printed = run_child(f"""
        from tarvik.tcl import TclInterpreter, TclError, keyed_list_typename
        from tarvik.tcl.fieldtree import FieldTree
        tk = TclInterpreter().tk
        tk.eval("set ::c [string cat :: set]; $::c ::x 1")
        obj = tk.getvar("::c")
        assert obj.typename == "cmdName"
        try:
            tk.call("set", obj)
        except TclError:
            pass
        keyed_list_typename()
        tree = FieldTree()
        {store}
        print(tree["k"] is obj, str(tree["k"]))
    """)
    assert printed == "True ::set"


class _FailingStr:
    def __str__(self) -> str:
        raise ValueError("no text")


@pytest.mark.parametrize("value, error", [
    ("\ud800", "UnicodeEncodeError"), ("a\0\ud83d\ude00", "UnicodeEncodeError"),
    ("_FailingStr()", "ValueError"), (("x", "\ud800"), "UnicodeEncodeError"),
])  # fmt: skip
def test_an_array_element_set_to_a_value_tk_cannot_convert_raises(value, error):
    # _tkinter's setvar with an index does not check that the value converted: Tcl was handed a
    # null value and the process ended.
    value_code = value if value == "_FailingStr()" else repr(value)
    printed = run_child(f"""
        from tarvik.tcl import TclInterpreter
        from tarvik.tcl.namespace import TclArrayVariable
        class _FailingStr:
            def __str__(self):
                raise ValueError("no text")
        tcl = TclInterpreter()
        array = TclArrayVariable("::a", tcl=tcl)
        for _ in range(2):
            try:
                array["k"] = {value_code}
            except Exception as error:
                print(type(error).__name__)
        array["k"] = "a\\udc80"  # a surrogate _tkinter takes (surrogateescape)
        print(tcl.tk.eval("array names ::a"))
    """)
    assert printed.splitlines() == [error, error, "k"]
