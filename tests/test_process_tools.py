"""The host of a Tcl in another process as the tools people drive need it: nothing loaded into
the remote unless asked, a link over the child's own stdin and stdout (ssh, with and without a
terminal, and shells that only read stdin), what a call prints, starting a tool, and a tool that
stays live while Python drives it. Tests that need a program skip, saying why, where it is
missing."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import threading
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

from tarvik.tcl import TclError, TclProcess, TclProcessError, agent_script, wait_for_serve
from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.namespace import TclArrayVariable, TempTclCommand
from tarvik.tcl.scriptify import tclobj
from tests import services


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


@pytest.mark.parametrize("tool, command, link", [
    (["magic", "-dnull", "-noconsole"], "box 0 0 10 10; select area", "stdio"),
    (["netgen-lvs", "-noconsole"], "log file {log}; log start; log end", "stdio"),
    (["yosys", "-q", "-c", "{agent}"], "info commands ::select; yosys select -count *", "pipes"),
], ids=["magic", "netgen", "yosys"])  # fmt: skip
def test_tools_keep_their_own_commands(tmp_path, tool, command, link):
    # TclX's global select, log and others would take the place of the tools' own.
    needs(tool[0])
    with TclProcess(tool, link=link, timeout=60, cwd=tmp_path) as remote:
        remote.tk.eval(command.format(log=tmp_path / "netgen.log"))
        assert remote.tk.eval("info commands ::keylset") == ""


# ---------------------------------------------------------------------------------------------
# The link over the child's stdin and stdout


@pytest.fixture(scope="module")
def sshd(tmp_path_factory) -> Iterator[list[str]]:
    """An sshd on a free loopback port with keys made for this run: the ssh command to reach
    it (this user, on 127.0.0.1; the remote command goes after)."""
    try:
        with services.sshd(tmp_path_factory.mktemp("sshd")) as ssh:
            yield ssh
    except RuntimeError as error:
        pytest.skip(str(error))


AWKWARD = ["", "a\0b", "two\nlines\r\n", "\U0001f600 and é中", "[file delete victim]", "{a} {b",
           "back\\slash\\", "line\n~.", "\r~?\n~~", "\x03\x04\x11\x13\x1a\x7f~\x7f\x01",
           "x" * 70000]


def drive(remote: TclProcess, capfd) -> None:
    """Every module's way of using a host, over `remote`."""
    for value in AWKWARD:
        assert remote.z.set("v", value) == value
        remote.tk.setvar("w", value)
        assert remote.tk.getvar("w") == value
    assert remote.cast_list(remote.tk.call("::list", "a b", "~.", "c\n~.")) == ("a b", "~.",
                                                                                  "c\n~.")
    settings = TclArrayVariable("::settings", tcl=remote)
    settings.update(gain="3", label="probe A")
    assert dict(settings) == {"gain": "3", "label": "probe A"}

    def down(n):
        return "bottom" if n == "0" else remote.tk.eval(f"::down {int(n) - 1}") + n

    with TempTclCommand(down, tcl=remote) as command:
        remote.tk.eval(f"interp alias {{}} ::down {{}} {command.cmd_name}")
        assert remote.tk.eval("::down 5") == "bottom12345"
        remote.tk.eval("rename ::down {}")
    with pytest.raises(TclError, match="^nope\n"):
        remote.z.error("nope")
    capfd.readouterr()
    remote.tk.eval("puts {printed\n~.}; puts stderr {to stderr}")
    out, err = capfd.readouterr()
    assert out.startswith("printed\n~.\n")
    # ssh carries stderr on a channel of its own, which may come after the answer.
    for _ in range(50):
        if "to stderr\n" in out + err:
            break
        time.sleep(0.02)
        remote.tk.eval("info patchlevel")
        more = capfd.readouterr()
        out, err = out + more.out, err + more.err
    assert "to stderr\n" in out + err


@pytest.mark.parametrize("pty", [False, True], ids=["pipes", "terminal"])
def test_a_tclsh_reading_stdin_serves_over_it(capfd, pty):
    with TclProcess(["tclsh"], link="stdio", pty=pty, timeout=30) as remote:
        drive(remote, capfd)
        # Nothing of the bootstrap shows, echoed or not.
        assert "tarvik" not in capfd.readouterr().out


@pytest.mark.parametrize("terminal", [[], ["-tt"]], ids=["ssh", "ssh -tt"])
def test_a_tclsh_over_ssh(sshd, capfd, terminal):
    with TclProcess([*sshd, *terminal, "127.0.0.1", "tclsh"], link="stdio", timeout=30) as remote:
        assert remote.pid != os.getpid()
        drive(remote, capfd)
        with remote.capture() as out:
            remote.tk.eval("puts report")
        assert out.stdout == "report\n"
    assert "tarvik" not in capfd.readouterr().out


@pytest.mark.parametrize("shell", [["magic", "-dnull", "-noconsole"], ["netgen-lvs", "-noconsole"]],
                         ids=["magic", "netgen"])
@pytest.mark.parametrize("pty", [False, True], ids=["pipes", "terminal"])
def test_shells_that_read_only_stdin(capfd, shell, pty):
    needs(shell[0])
    with TclProcess(shell, link="stdio", pty=pty, timeout=60) as remote:
        drive(remote, capfd)


def test_a_stdio_remote_that_dies_is_reported():
    remote = TclProcess(["tclsh"], link="stdio", timeout=30)
    threading.Timer(0.3, os.kill, (remote.pid, signal.SIGKILL)).start()
    with pytest.raises(TclProcessError, match="killed by SIGKILL"):
        remote.tk.eval("after 10000")
    remote = TclProcess(["tclsh"], link="stdio", timeout=0.5)
    with pytest.raises(TimeoutError):
        remote.tk.eval("after 5000")


def test_the_stdio_link_takes_no_agent_argument():
    with pytest.raises(ValueError, match="agent"):
        TclProcess(["tclsh", "{agent}"], link="stdio")


# ---------------------------------------------------------------------------------------------
# What a call prints


def test_a_capture_holds_what_the_block_printed(process, capfd):
    process.tk.eval("puts before")
    with process.capture() as out:
        process.tk.eval("puts one; puts stderr two; puts -nonewline three")
        process.tk.eval("exec echo four >@ stdout")
        with process.capture() as inner:
            process.tk.eval("puts inner")
        process.tk.eval("puts five")
    process.tk.eval("puts after")
    assert (out.stdout, out.stderr, inner.stdout) == ("one\nthreefour\nfive\n", "two\n",
                                                      "inner\n")
    assert capfd.readouterr().out == "before\nafter\n"


def test_a_terminal_lets_a_tool_print_each_call_at_once(tmp_path):
    needs("yosys")
    (tmp_path / "counter.v").write_text(
        "module counter(input clk, output reg [3:0] q); always @(posedge clk) q <= q + 1; "
        "endmodule\n")
    with TclProcess(["yosys", "-c", "{agent}"], pty=True, cwd=tmp_path, timeout=60) as yosys:
        with yosys.capture():
            yosys.tk.eval("yosys read_verilog counter.v; yosys synth -top counter")
        with yosys.capture() as stat:
            yosys.tk.eval("yosys stat")
        with yosys.capture() as logged:
            yosys.tk.eval("yosys log hello-from-yosys; puts hello-from-tcl")
    assert "Number of cells" in stat.stdout
    assert logged.stdout == "hello-from-yosys\nhello-from-tcl\n"


# ---------------------------------------------------------------------------------------------
# Starting a tool


def test_a_start_that_never_answers_times_out_and_stops_the_program():
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="did not start the tarvik agent within 0.5 s"):
        TclProcess(["tail", "-f"], start_timeout=0.5)
    assert time.monotonic() - start < 3


@pytest.mark.parametrize("link", ["pipes", "stdio"])
def test_a_failed_start_shows_what_the_program_printed(link):
    script = "echo before; echo why on stdout; echo why on stderr >&2; exit 2"
    with pytest.raises(TclProcessError) as raised:
        TclProcess(["sh", "-c", script, *(["{agent}"] if link == "pipes" else [])], link=link)
    message = str(raised.value)
    assert "exited with status 2" in message
    assert "stdout:\nbefore\nwhy on stdout" in message and "stderr:\nwhy on stderr" in message


def test_the_agent_path_is_replaced_inside_an_argument():
    with TclProcess(["sh", "-c", "exec tclsh '{agent}'"], timeout=30) as remote:
        assert remote.z.set("x", "1") == "1"
    needs("expect")
    with TclProcess(["expect", "-c", "source {agent}"], timeout=30) as remote:
        assert remote.tk.eval("info commands ::exp_version") == "::exp_version"


SERVING_TOOL = """
puts "a banner line"
source {agent}
proc ::chatty {{}} {{
    for {{set i 0}} {{$i < 10000}} {{incr i}} {{ puts "line $i of a long report" }}
    return done
}}
set ::ticks 0
proc ::tick {{}} {{ incr ::ticks; after 10 ::tick }}
::tick
tarvik::serve {mode}
puts "serve returned"
{after}
"""


@pytest.mark.parametrize("mode", ["", "-background"])
def test_a_serving_tool_is_read_as_it_prints(tmp_path, mode):
    script = tmp_path / "tool.tcl"
    script.write_text(SERVING_TOOL.format(agent=agent_script(), mode=mode,
                                          after="vwait forever" if mode else ""))
    tool = subprocess.Popen(["tclsh", str(script)], stdout=subprocess.PIPE, text=True)
    try:
        forwarded = _Lines()
        host, port, token = wait_for_serve(tool.stdout, timeout=10, forward=forwarded)
        with TclProcess.connect(port, token, host=host, timeout=10) as remote:
            assert remote.z.chatty() == "done"
            first = int(remote.vars["::ticks"])
            time.sleep(0.3)
            # In the background the tool's own event loop runs between calls.
            assert (int(remote.vars["::ticks"]) > first + 5) == bool(mode)
            remote.tk.createcommand("::py", str.upper)
            assert remote.tk.eval("::py abc") == "ABC"
        forwarded.wait_for("line 9999 of a long report")
        forwarded.wait_for("serve returned")
        assert forwarded.text.startswith("a banner line\n")
    finally:
        tool.kill()
        tool.wait()


class _Lines:
    """A text stream that keeps what it is given."""

    def __init__(self) -> None:
        self.text = ""

    def write(self, text: str) -> None:
        self.text += text

    def flush(self) -> None:
        pass

    def wait_for(self, text: str) -> None:
        deadline = time.monotonic() + 10
        while text not in self.text and time.monotonic() < deadline:
            time.sleep(0.01)
        assert text in self.text
