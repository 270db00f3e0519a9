"""A tour of tarvik.tcl against a real Tcl interpreter.

Run it with `make demo` (which sets everything up) or, inside the virtual environment,
`python examples/quickstart.py`.
"""

import tkinter

from tarvik.tcl import TclInterpreter
from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.scriptify import scriptify, tclobj


def section(title: str) -> None:
    print(f"\n== {title} ==")


def formatting(tcl: TclInterpreter) -> None:
    section("Python values as Tcl")
    values = [1, "two words", ["nested", ["list", "$var"]], {"key": "[cmd]"}, None, True, "a\\"]
    text = scriptify(values)
    print("scriptify:", text)
    # Tcl's own parser is the judge: it splits the text back into exactly what went in.
    print("Tcl reads back:", tcl.tk.splitlist(text))
    print("tclobj:", tclobj(values))
    # Evaluating the quoted words substitutes nothing: no command runs, no variable is read.
    print("list as a script:", tcl.tk.eval("list " + scriptify(["[exit]", "$nope", "{"])))
    print("llength of a tclobj:", tcl.tk.call("llength", tclobj(values)))


def quick_calls(tcl: TclInterpreter) -> None:
    section("Quick calls")
    tcl.tk.eval(
        """
        namespace eval lab {
            proc measure {channel args} {
                array set opts {-samples 1 -unit V}
                array set opts $args
                return [list $channel $opts(-samples) $opts(-unit)]
            }
            proc fail {why} { error "instrument refused: $why" }
        }
        """
    )
    # Every attribute is a part of the command name; keywords become -options after the
    # positional words, and every value becomes one Tcl word.
    print("lab::measure:", tcl.z.lab.measure("ch 1", samples=8, unit="mV"))
    print("as Tcl text:", tcl.z.lab.measure(["ch", 2], cast_=False))
    print("llength of one list word:", tcl.z.llength([1, [2, 3], "a b"]))
    tcl.z.set("greeting", "hello world")
    print("set and read back:", tcl.vars["greeting"])
    try:
        tcl.z.lab.fail("no probe")
    except tkinter.TclError as error:
        # The error carries Tcl's own trace (::errorInfo), not only the short message.
        print("Tcl error trace:\n    " + str(error).replace("\n", "\n    "))


def call_history(tcl: TclInterpreter) -> None:
    section("Call history")
    history = tcl.history
    history.start_marker("calibration")
    for channel in range(3):
        tcl.z.lab.measure(channel, samples=100)
    tcl.z.set("calibrated", True)
    history.end_marker("calibration")
    tcl.z.set("after", "not in the marker")
    print("the marked stretch:")
    for entry in history.filter(marker="calibration"):
        print("   ", entry)
    print("its measure calls, of the last 2:",
          [entry.api for entry in history.filter(marker="calibration", count=2, regex="measure")])
    print("the last call of all:", history.filter(count=1)[0].api)


def keyed_lists(tcl: TclInterpreter) -> None:
    section("TclX keyed lists as nested mappings")
    if not tcl.tclx:
        print("TclX is not installed: skipped")
        return
    tk = tcl.tk
    tk.eval(
        "set ::dut {}; keylset ::dut name.model X9 name.serial 0042"
        " limits.volt.min 4.5 limits.volt.max 5.5 note {say \"hi\"!}"
    )
    # From the keyed-list object itself, or from its text: FieldTree.from_tcl(tk.eval("set ::dut")).
    tree = FieldTree.from_tcl(tk.getvar("::dut"))
    print("read:", tree.all_items())
    print("dotted read:", tree["limits.volt.max"], "| attribute read:", tree.name.model)
    tree["limits.volt.max"] = "5.25"
    tree["limits.amp.max"] = "0.1"  # missing levels are created
    del tree["name.serial"]
    tree.update(name=FieldTree(owner="lab 3"))  # merges into the existing sub-list
    tk.call("set", "::dut", tclobj(tree))
    print("sent back:", scriptify(tree))
    for key in ("limits.volt.max", "limits.amp.max", "name.owner", "note"):
        print(f"  keylget ::dut {key} ->", tk.call("keylget", "::dut", key))
    print("  keylkeys ::dut name ->", tk.call("keylkeys", "::dut", "name"))


def main() -> None:
    tcl = TclInterpreter()
    print("Tcl", tcl.tk.eval("info patchlevel"), "| TclX loaded:", tcl.tclx)
    formatting(tcl)
    quick_calls(tcl)
    call_history(tcl)
    keyed_lists(tcl)


if __name__ == "__main__":
    main()
