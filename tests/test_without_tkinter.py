"""The package on a Python without tkinter, as servers and slim container images have it: it
imports, everything over a TclProcess works, TclError is one class of the package's own, and the
in-process host says what it needs.

The first test runs a child Python in which ``_tkinter`` and ``tkinter`` cannot be imported (the
plugin tests/_without_tkinter.py blocks them) on this module and on the TclProcess tests of the
other modules; the tests marked ``without_tkinter`` run only there.
"""

from __future__ import annotations

import importlib
import os
import re
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import tarvik.tcl
from tarvik.tcl import TclError, TclProcess, _tkinter_names
from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.namespace import TclArrayVariable, TclNamespace, TclVariable, TempTclVariable
from tarvik.tcl.scriptify import scriptify, tclobj

ROOT = Path(__file__).resolve().parent.parent
HAS_TKINTER = _tkinter_names.tkinter is not None

# Every module of the package, and the tests that use a TclProcess for every one of them (the
# tests that need the Tcl of this process skip themselves there).
MODULES = ["tarvik.tcl", "tarvik.tcl.scriptify", "tarvik.tcl.namespace", "tarvik.tcl.fieldtree",
           "tarvik.tcl.history", "tarvik.tcl.z", "tarvik.tcl._host", "tarvik.tcl._process",
           "tarvik.tcl._frames", "tarvik.tcl._link", "tarvik.tcl._words"]  # fmt: skip
CHILD_TESTS = ["test_without_tkinter.py", "test_process.py", "test_traces.py", "test_namespace.py",
               "test_namespace_views.py", "test_protocols.py", "test_scriptify.py",
               "test_history.py"]  # fmt: skip

without_tkinter = pytest.mark.skipif(HAS_TKINTER, reason="runs in the child without tkinter")


@pytest.mark.skipif(not HAS_TKINTER, reason="this is the child without tkinter")
def test_the_process_tests_pass_on_a_python_without_tkinter():
    command = [sys.executable, "-m", "pytest", "-p", "tests._without_tkinter", "-p",
               "no:cacheprovider", *(f"tests/{name}" for name in CHILD_TESTS)]  # fmt: skip
    env = {**os.environ, "HYPOTHESIS_PROFILE": "default"}
    child = subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    report = child.stdout[-6000:] + child.stderr[-2000:]
    assert child.returncode == 0, report
    passed = re.search(r"(\d+) passed", child.stdout)
    assert passed and int(passed.group(1)) > 150, report


@without_tkinter
def test_every_module_imports_and_tkinter_stays_out():
    for name in MODULES:
        importlib.import_module(name)
    assert "tkinter" not in sys.modules and "_tkinter" not in sys.modules
    assert tarvik.tcl._default is None  # importing made no interpreter


@without_tkinter
def test_tcl_error_is_one_class_of_the_package():
    from tarvik.tcl import fieldtree, namespace, z

    assert TclError.__module__ == "tarvik.tcl" and issubclass(TclError, Exception)
    assert z.TclError is namespace.TclError is TclError
    # No stand-in for what this Python lacks: no name could match a user's object.
    assert not hasattr(fieldtree, "Tcl_Obj") and not hasattr(namespace, "Tk")
    assert not any(name.startswith("_tk") for name in vars(importlib.import_module(
        "tarvik.tcl.scriptify")))  # fmt: skip


@without_tkinter
@pytest.mark.parametrize(
    "make",
    [tarvik.tcl.TclInterpreter, tarvik.tcl.default_interpreter, lambda: tarvik.tcl.tk,
     lambda: TclVariable("::x").get()],
    ids=["TclInterpreter", "default_interpreter", "module tk", "handle without a host"],
)  # fmt: skip
def test_the_in_process_host_says_what_it_needs(make):
    with pytest.raises(ImportError) as raised:
        make()
    message = str(raised.value)
    assert "Python's tkinter" in message and "TclProcess" in message
    assert "python3-tk;" in message and "python3-tkinter" in message
    assert raised.value.name == "tkinter"


@without_tkinter
def test_values_convert_without_tcl_objects():
    class Text:
        def __str__(self):
            return "text"

    assert tclobj([Text(), 2**70, None, b"x", 1.5]) == ("text", str(2**70), "", b"x", 1.5)
    assert scriptify({"a b": [Text()]}) == "{a b} text"


@without_tkinter
@pytest.mark.parametrize(
    "text, message",
    [("a {b", "malformed Tcl list 'a {b'"), ("\"a\"b c", "malformed Tcl list"),
     ("x \\U0001F600", "only a Tcl interpreter reads")],
)  # fmt: skip
def test_what_only_tcl_could_read_is_a_tcl_error(text, message):
    assert tarvik.tcl.cast_list("a {b c} \\x41") == ("a", "b c", "A")
    with pytest.raises(TclError, match=re.escape(message)):
        tarvik.tcl.cast_list(text)
    with pytest.raises(TclError):
        FieldTree.from_tcl(f"{{k v}} {{{text}}}")


@without_tkinter
def test_a_nested_value_only_tcl_could_read_stays_a_leaf():
    assert FieldTree.from_tcl("{k {v \\U0001F600}} {a {{b c}}}") == {
        "k": "v \\U0001F600", "a": {"b": "c"}}  # fmt: skip


@pytest.fixture(scope="module")
def remote():
    with TclProcess(timeout=60, tclx=True) as host:
        yield host


@without_tkinter
def test_tcl_errors_are_raised_and_caught_as_the_packages_class(remote):
    with pytest.raises(TclError, match='^invalid command name "nowhere"'):
        remote.z.nowhere()
    with pytest.raises(TclError):
        TclVariable("::missing", tcl=remote).get()
    TclVariable("::missing", tcl=remote).unset(nocomplain=True)
    with pytest.raises(KeyError) as raised:
        TclNamespace("::", remote).vars["missing"]
    assert isinstance(raised.value.__cause__, TclError)
    with TempTclVariable(tcl=remote) as temporary:
        temporary.set(1)
        remote.tk.unsetvar(temporary.var_name)  # gone before the block ends: nothing to complain of
    array = TclArrayVariable("::arr", tcl=remote)
    array.update(a=1, b="x y")
    assert dict(array) == {"a": "1", "b": "x y"}


@without_tkinter
def test_keyed_lists_cross_both_ways(remote):
    remote.tk.eval("keylset ::dut name.model X9 limits.volt {4.5 5.5}")
    tree = FieldTree.from_tcl(remote.tk.getvar("::dut"))
    assert tree.all_items() == [("name.model", "X9"), ("limits.volt", "4.5 5.5")]
    tree["limits.amp"] = "[0.1]"
    remote.tk.call("set", "::dut", tclobj(tree))
    assert remote.tk.call("keylget", "::dut", "limits.amp") == "[0.1]"


@without_tkinter
def test_the_journal_of_a_remote_replays_in_another(remote):
    remote.history.clear()
    values = ["two words", "{", "[exit 3]", "$env(HOME)", "nul\0nul", "\U0001f600", "a;b"]
    for n, value in enumerate(values):
        remote.z.set(f"::journal{n}", value)
    with TclProcess(timeout=60) as replay:
        replay.tk.eval(remote.history.script())
        assert [replay.vars[f"journal{n}"] for n in range(len(values))] == values


@without_tkinter
def test_the_magics_run_on_a_named_remote(remote):
    pytest.importorskip("IPython")
    from IPython.testing.globalipapp import start_ipython

    ip = start_ipython()
    ip.run_line_magic("load_ext", "tarvik.tcl")
    ip.user_ns["remote"] = remote
    assert ip.run_cell_magic("tcl", "remote", "set where {over there}") == "over there"
    assert ip.run_line_magic("tcl", "--host remote set where") == "over there"
    with pytest.raises(TclError, match="^bad\n    while executing"):
        ip.run_line_magic("tcl", "--host remote error bad")
    with pytest.raises(ImportError, match="python3-tk"):
        ip.run_line_magic("tcl", "set where")  # the default interpreter


@without_tkinter
def test_the_remote_demo_runs(capsys):
    runpy.run_path(str(ROOT / "examples" / "remote.py"), run_name="__main__")
    assert "over stdin and stdout: 42" in capsys.readouterr().out
