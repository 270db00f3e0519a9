"""A tour of tarvik.tcl against a real Tcl interpreter.

Run it with `make demo` (which sets everything up) or, inside the virtual environment,
`python examples/quickstart.py`.
"""

import tkinter

from tarvik.tcl import TclInterpreter
from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TempTclCommand,
    TempTclNamespace,
)
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


def arrays(tcl: TclInterpreter) -> None:
    section("A Tcl array used as a dict")
    settings = TclArrayVariable("::settings", tcl=tcl)
    settings.update({"gain": 3, "label": "probe A"}, mode="fast")
    settings["path"] = "C:\\data\\{run 1}"
    print("Tcl sees:", tcl.tk.eval("array get ::settings"))
    print("as a dict:", dict(sorted(settings.items())))
    print("'gain' in settings:", "gain" in settings, "| len:", len(settings))
    del settings["mode"]
    print("after del:", sorted(settings))
    settings.clear()


def commands(tcl: TclInterpreter) -> None:
    section("A proc inspected and called with preset options")
    tcl.tk.eval(
        "proc ::measure {channel args} {"
        "  array set opt {-samples 1 -unit V}; array set opt $args;"
        "  return \"$channel: $opt(-samples) samples in $opt(-unit)\"}"
    )
    tcl.tk.eval("proc ::scale {value {factor 2}} {expr {$value * $factor}}")
    measure = TclCommand("::measure", keywords={"samples": 16, "unit": "mV"}, tcl=tcl)
    scale = TclCommand("::scale", tcl=tcl, cast=float)
    print("is a proc:", measure.is_proc(), "| arguments:", scale.proc_args())
    print("default of factor:", scale.proc_arg_default("factor"))
    print("body:", scale.proc_body())
    print(repr(measure))
    print(measure("ch 1"))
    print(measure("ch 2", unit="A"), "(an option of the call replaces the preset)")
    print("scale(21):", scale(21))

    section("A Tcl command bound as a method of a Python class")

    class Channel:
        describe = TclCommand(("::measure",), keywords={"samples": 4}, tcl=tcl)

        def __init__(self, number: int) -> None:
            self.number = number

        def __tclobj__(self) -> str:
            return f"channel {self.number}"

    print(Channel(3).describe(unit="uA"))


def namespaces(tcl: TclInterpreter) -> None:
    section("Browsing a namespace's variables, commands and procs")
    app = TclNamespace("::app", tcl)
    app.eval("variable version 2.1; variable owner {lab 3}; proc start {{mode warm}} {return $mode}")
    app.vars["channels"] = [1, 2, 4]
    # Inside a namespace, Tcl's `info vars` also lists the globals visible there; membership keeps
    # the namespace's own.
    print("variables:", sorted(name for name in app.vars if name in app.vars))
    print("version (string):", repr(app.vars["version"]), "| channels (object):",
          app.objs["channels"])
    print("procs:", list(app.procs), "| 'start' in procs:", "start" in app.procs)
    print("start's default mode:", app.cmds.proc_arg_default("start", "mode"))
    print("start():", app.procs["start"](), "| start(cold):", app.cmds["start"]("cold"))
    print("global variables seen by the host:", len(tcl.vars), "| tcl_version:",
          tcl.vars["tcl_version"])
    app.delete()

    section("A Python function exposed to Tcl for a with block")

    def checksum(text: str) -> int:
        """Sum of the character codes, computed in Python."""
        return sum(map(ord, text))

    with TempTclCommand(checksum, tcl=tcl) as command:
        tcl.tk.eval(f"proc ::report {{text}} {{return \"$text -> [{command.cmd_name} $text]\"}}")
        print(f"{command.__name__}: {command.__doc__}")
        print("called from a Tcl proc:", tcl.tk.call("::report", "{odd} [text]"))
    print("after the block the command exists:", command.exists())
    tcl.tk.eval("rename ::report {}")

    section("A scratch namespace")
    with TempTclNamespace(tcl=tcl) as scratch:
        scratch.vars["partial"] = 42
        scratch.eval("proc twice {x} {expr {2 * $x}}")
        print("inside:", scratch.exists(), "| twice(partial):",
              scratch.call("twice", scratch.vars["partial"]))
    print("after the block it exists:", scratch.exists())


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
    arrays(tcl)
    commands(tcl)
    namespaces(tcl)
    quick_calls(tcl)
    call_history(tcl)
    keyed_lists(tcl)


if __name__ == "__main__":
    main()
