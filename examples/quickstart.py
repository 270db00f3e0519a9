"""A tour of tarvik.tcl against a real Tcl interpreter.

Run it with `make demo` (which sets everything up) or, inside the virtual environment,
`python examples/quickstart.py`.
"""

from tarvik.tcl import TclInterpreter
from tarvik.tcl.namespace import TclArrayVariable, TclCommand
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


def main() -> None:
    tcl = TclInterpreter()
    print("Tcl", tcl.tk.eval("info patchlevel"), "| TclX loaded:", tcl.tclx)
    formatting(tcl)
    arrays(tcl)
    commands(tcl)


if __name__ == "__main__":
    main()
