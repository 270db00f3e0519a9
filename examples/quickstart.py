"""A tour of tarvik.tcl against a real Tcl interpreter.

Run it with `make demo` (which sets everything up) or, inside the virtual environment,
`python examples/quickstart.py`.
"""

from tarvik.tcl import TclInterpreter
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


def main() -> None:
    tcl = TclInterpreter()
    print("Tcl", tcl.tk.eval("info patchlevel"), "| TclX loaded:", tcl.tclx)
    formatting(tcl)


if __name__ == "__main__":
    main()
