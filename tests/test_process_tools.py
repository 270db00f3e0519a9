"""The host of a Tcl in another process as the tools people drive need it: nothing loaded into
the remote unless asked. Tests that need a program skip, saying why, where it is missing."""

from __future__ import annotations

import shutil
import subprocess

import pytest
from tkinter import TclError

from tarvik.tcl import TclProcess
from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.scriptify import tclobj


def needs(program: str) -> None:
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed (scripts/setup.sh installs it)")


def globals_of(tk) -> dict[str, list[str]]:
    """What a script sees of an interpreter's global state."""
    return {what: sorted(tk.eval(script).split()) for what, script in [
        ("commands", "info commands ::*"), ("variables", "info vars ::*"),
        ("namespaces", "namespace children ::"), ("packages", "package names")]}


# ---------------------------------------------------------------------------------------------
# Nothing loaded into the remote unless asked


def test_the_remote_keeps_its_own_state_but_for_the_agents_namespace(interp, tmp_path):
    script = tmp_path / "state.tcl"
    script.write_text("puts [list [info commands ::*] [info vars ::*] [namespace children ::] "
                      "[package names]]\n")
    plain = subprocess.run(["tclsh", str(script)], capture_output=True, text=True, check=True)
    expected = [sorted(part.split()) for part in interp.tk.splitlist(plain.stdout.strip())]
    with TclProcess(timeout=30) as remote:
        assert remote.tclx is False
        found = globals_of(remote.tk)
    # Tcl's own error variables appear with the first caught error; argv names the agent.
    ignored = {"::errorInfo", "::errorCode"}
    assert found["commands"] == expected[0]
    assert sorted(set(found["variables"]) - ignored) == sorted(set(expected[1]) - ignored)
    assert found["namespaces"] == sorted([*expected[2], "::tarvik"])
    assert found["packages"] == expected[3]


def test_tclx_asked_of_a_remote_that_lacks_it_fails_clearly(tmp_path):
    wrapper = tmp_path / "no_packages.tcl"
    wrapper.write_text("set ::auto_path {}\nsource [lindex $argv 0]\n")
    with pytest.raises(TclError, match="TclX cannot be loaded") as raised:
        TclProcess(["tclsh", str(wrapper)], tclx=True, timeout=30)
    del raised


def test_keyed_lists_need_no_tclx_in_the_remote(process):
    assert not process.tclx and process.tk.eval("info commands ::keylset") == ""
    process.tk.eval("set ::dut {{name {{model X9} {serial 0042}}} {limits {{volt {4.5 5.5}}}}}")
    tree = FieldTree.from_tcl(process.vars["::dut"])
    tree["limits.amp"] = "0.1 0.2"
    process.tk.call("::set", "::dut", tclobj(tree))
    assert FieldTree.from_tcl(process.vars["::dut"]).all_items() == [
        ("name.model", "X9"), ("name.serial", "0042"), ("limits.volt", "4.5 5.5"),
        ("limits.amp", "0.1 0.2")]


def test_a_task_with_tcllib(process):
    try:
        process.tk.eval("package require json")
    except TclError:
        pytest.skip("tcllib is not installed (scripts/setup.sh installs it)")
    text = '{"bench": "rack 3", "probes": [{"id": 1, "gain": 2.5}, {"id": 2, "gain": 3}]}'
    probes = process.tk.eval(f"dict get [json::json2dict {{{text}}}] probes")
    assert [process.cast_array(probe) for probe in process.cast_list(probes)] == [
        {"id": "1", "gain": "2.5"}, {"id": "2", "gain": "3"}]


def test_tools_keep_their_own_commands(tmp_path):
    # TclX's global select, log and others would take the place of the tools' own.
    needs("yosys")
    with TclProcess(["yosys", "-q", "-c", "{agent}"], timeout=60, cwd=tmp_path) as yosys:
        assert yosys.tk.eval("info commands ::select; yosys select -count *") == ""
        assert yosys.tk.eval("info commands ::keylset") == ""
