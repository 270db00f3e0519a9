"""A tour of tarvik.tcl against a Tcl interpreter in another process: a child tclsh driven
through the agent script that ships in the package.

Run it with `make demo` (after the local tour) or, inside the virtual environment,
`python examples/remote.py`. A tool's own Tcl shell is driven the same way, e.g.
TclProcess(["yosys", "-c", "{agent}"]), and one that reads commands from stdin, here or over ssh,
with link="stdio": TclProcess(["ssh", "lab-host", "tclsh"], link="stdio"). It needs no tkinter.
"""

from __future__ import annotations

import tempfile
from pathlib import Path

from tarvik.tcl import TclError, TclProcess
from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.namespace import TclArrayVariable, TempTclCommand
from tarvik.tcl.scriptify import tclobj


def section(title: str) -> None:
    print(f"\n== {title} ==", flush=True)


def awkward_values(tcl: TclProcess) -> None:
    section("Values that a line protocol would break or run")
    with tempfile.TemporaryDirectory() as directory:
        victim = Path(directory, "x")
        victim.write_text("keep me")
        tcl.tk.call("cd", directory)
        for value in ["[file delete x]", "two\nlines", "nul\0byte", "\U0001f600 é", "{ unbalanced",
                      "back\\slash", "$env(HOME)"]:
            back = tcl.z.set("value", value)
            print(f"{value!r:22} -> {back!r:22} intact: {back == value}")
        print("the file is still there:", victim.exists())
    settings = TclArrayVariable("::settings", tcl=tcl)
    settings.update(gain=3, label="probe A")
    print("a Tcl array as a dict:", dict(sorted(settings.items())))


def callbacks(tcl: TclProcess) -> None:
    section("A Python function called from the remote Tcl")

    def checksum(text: str) -> int:
        return sum(text.encode()) % 256

    with TempTclCommand(checksum, tcl=tcl) as command:
        tcl.tk.eval(f"proc ::report {{text}} {{return \"$text: [{command.cmd_name} $text]\"}}")
        print(tcl.z.report("hello"))
    tcl.tk.eval("rename ::report {}")
    print("the temporary command is gone:", tcl.tk.eval("info commands ::__tarvik__*") == "")


def keyed_lists(tcl: TclProcess) -> None:
    section("A keyed list as a FieldTree (no TclX needed in the remote)")
    tcl.tk.eval("set ::dut {{name {{model X9} {serial 0042}}} {limits {{volt {4.5 5.5}}}}}")
    tree = FieldTree.from_tcl(tcl.tk.getvar("::dut"))
    print("read:", tree.all_items())
    tree["limits.amp"] = "0.1 0.2"
    tcl.tk.call("set", "::dut", tclobj(tree))
    print("written back:", tcl.tk.getvar("::dut"))


def errors_and_history(tcl: TclProcess) -> None:
    section("An error trace from the remote, and the call history")
    tcl.tk.eval("namespace eval lab { proc measure {ch} { error \"channel $ch is not connected\" } }")
    tcl.history.start_marker("run")
    tcl.z.set("gain", 2.5)
    try:
        tcl.z.lab.measure("ch 3")
    except TclError as error:
        print(error)
    tcl.history.end_marker("run")
    for entry in tcl.history.filter(marker="run"):
        print("history:", entry.api)


def output(tcl: TclProcess) -> None:
    section("What the remote prints")
    tcl.tk.eval("puts {printed by the remote tclsh}")
    with tcl.capture() as out:
        tcl.tk.eval("puts {Number of cells: 12}; puts stderr {warning: 1 latch}")
    print("captured:", repr(out.stdout), repr(out.stderr))


def long_commands(tcl: TclProcess) -> None:
    section("A long command among quick ones")
    # timeout=30 keeps a quick query that hangs from hanging the run; a placement or a long
    # measurement gets a deadline of its own (None: none) for its block only.
    tcl.tk.eval("proc ::place_design {} { after 200; return placed }")  # stands in for the tool's
    with tcl.timeout(7200):
        print("a long command:", tcl.z.place_design())
    print("and quick ones keep the host's 30 s:", tcl.z.expr("1 + 1"))
    tcl.tk.eval("rename ::place_design {}")


def over_stdin() -> None:
    section("A tclsh that reads its commands from stdin (as over ssh)")
    with TclProcess(["tclsh"], link="stdio", timeout=30) as piped:
        print("over stdin and stdout:", piped.z.expr("6 * 7"))
        piped.tk.eval("puts {printed on the same stdout as the frames}")


def main() -> None:
    with TclProcess(timeout=30) as tcl:
        print(f"Tcl {tcl.patchlevel} in process {tcl.pid}, TclX loaded: {tcl.tclx}")
        awkward_values(tcl)
        callbacks(tcl)
        keyed_lists(tcl)
        errors_and_history(tcl)
        output(tcl)
        long_commands(tcl)
    over_stdin()


if __name__ == "__main__":
    main()
