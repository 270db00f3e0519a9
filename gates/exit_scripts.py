"""Programs that end with native objects still alive, each run in a child process.

At interpreter exit the garbage collector tears down modules, classes and instances in an order
of its own: a class may be cleared or freed before the last of its instances, and a module's
state before the objects that point into it. Each program leaves instances of one native class
(or a handle built on them) alive at exit, alone, in a reference cycle, or after many quick calls
have come and gone, and must end with status 0 and nothing on stderr.

``python -m gates.exit_scripts [python options...]`` runs every program once with the options
given (default ``-X dev``) and the environment as it is, and fails if any exit is unclean.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from collections.abc import Sequence

PRELUDE = """\
from tarvik.tcl import TclInterpreter
tcl = TclInterpreter()
tcl.tk.eval("namespace eval lab {proc echo {args} {return $args}}; array set ::arr {a 1 b 2}")
"""

# Each builds `obj` from `tcl`.
OBJECTS = {
    "Z": "obj = tcl.z",
    "Z_Code": "obj = tcl.z.lab",
    "Z_Code made by its class": "from tarvik.tcl.z import Z_Code\nobj = Z_Code('lab', 'echo', tcl=tcl)",
    "Z_Code subclass": (
        "from tarvik.tcl.z import Z_Code\n"
        "class Sub(Z_Code):\n    pass\n"
        "obj = Sub('lab', tcl=tcl)"
    ),
    "Z_Code called": "obj = tcl.z.lab\nobj.echo(1, key=2)",
    "History": "from tarvik.tcl.history import History\nobj = History(5)\nobj.append(['set', 'x'])",
    "Entry": "tcl.z.set('x', 1)\nobj = tcl.history.filter()",
    "native function": "from tarvik.tcl.scriptify import scriptify\nobj = [scriptify, scriptify.__get__(1)]",
    "TclVariable": "from tarvik.tcl.namespace import TclVariable\nobj = TclVariable('::x', tcl=tcl)",
    "TclArrayVariable iterator": (
        "from tarvik.tcl.namespace import TclArrayVariable\n"
        "obj = [iter(TclArrayVariable('::arr', tcl=tcl)), iter(TclArrayVariable('::arr', tcl=tcl))]\n"
        "next(obj[1])"
    ),
    "TclNamespace views": (
        "from tarvik.tcl.namespace import TclNamespace\n"
        "ns = TclNamespace('::lab', tcl)\n"
        "obj = [ns, ns.vars, ns.objs, ns.cmds, ns.procs, iter(ns.procs)]"
    ),
    "TclCommand": "from tarvik.tcl.namespace import TclCommand\nobj = TclCommand('::lab::echo', tcl=tcl)",
    "TempTclCommand": (
        "from tarvik.tcl.namespace import TempTclCommand\n"
        "def checksum(text):\n    return str(len(text))\n"
        "obj = TempTclCommand(checksum, tcl=tcl)"
    ),
    "TempTclCommand after its block": (
        "from tarvik.tcl.namespace import TempTclCommand\n"
        "def checksum(text):\n    return str(len(text))\n"
        "with TempTclCommand(checksum, tcl=tcl) as obj:\n    tcl.tk.call(obj.cmd_name, 'text')"
    ),
    "TempTclCommand of the default interpreter": (
        "from tarvik.tcl.namespace import TempTclCommand\n"
        "obj = [TempTclCommand(print)]\n"
        "with TempTclCommand(len) as command:\n    obj.append(command)"
    ),
    "temporaries": (
        "from tarvik.tcl.namespace import TempTclArrayVariable, TempTclNamespace, TempTclVariable\n"
        "obj = [TempTclVariable(tcl=tcl), TempTclArrayVariable(tcl=tcl), TempTclNamespace(tcl=tcl)]"
    ),
    "FieldTree": "from tarvik.tcl.fieldtree import FieldTree\nobj = FieldTree.from_tcl('{a {{b c}}} {d e}')",
}

# Where `obj` is when the program ends.
PLACEMENTS = {
    "alone": "",
    "in a cycle": "d = {'x': obj, 'tcl': tcl}\nd['self'] = d\ndel obj, tcl",
    "after quick calls": "for i in range(20):\n    tcl.z.set('v', i)\nd = [obj]\nd.append(d)\ndel obj",
}

SCRIPTS = {
    f"{name} {placement}": PRELUDE + body + "\n" + PLACEMENTS[placement] + "\n"
    for name, body in OBJECTS.items()
    for placement in PLACEMENTS
}


def run(script: str, options: Sequence[str] = ("-X", "dev"), env: dict[str, str] | None = None):
    """Run `script` in a child Python with `options`; return the finished process."""
    return subprocess.run(
        [sys.executable, *options, "-c", script],
        env=os.environ.copy() if env is None else env,
        capture_output=True,
        text=True,
        timeout=120,
    )


def main(argv: Sequence[str]) -> int:
    """Run every script once; report and count the unclean exits."""
    options = list(argv) or ["-X", "dev"]
    failures = 0
    for name, script in SCRIPTS.items():
        done = run(script, options)
        if done.returncode != 0 or done.stderr:
            failures += 1
            print(f"[exit] {name}: status {done.returncode}", file=sys.stderr)
            print(textwrap.indent(done.stderr.rstrip(), "    "), file=sys.stderr)
    print(f"[exit] {len(SCRIPTS)} exit programs, {failures} unclean", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
