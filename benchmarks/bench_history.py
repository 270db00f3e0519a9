"""The cost of recording calls: History.append against a pure-Python history, and a quick call
tcl.z.set('x', 1) against the raw tk.call('set', 'x', 1) it makes (and against a pure-Python quick
call), with the history recording and with it disabled."""

import itertools

import baseline_history
import baseline_z
from tarvik.tcl import TclInterpreter
from tarvik.tcl.history import History


def run(table) -> None:
    words = ["set", "x", "1"]
    native, baseline = History(), baseline_history.History()
    native.append(words)
    baseline.append(words)
    assert native.filter()[0].api == baseline.__history__[0].api == "set x 1"
    table.faster("history", "History.append(3 words)", lambda: native.append(words),
                 "pure-Python baseline", lambda: baseline.append(words), 3)

    full = History()
    for i in range(full.__history__.maxlen):
        full.append(["set", "x", str(i)])
    record = full.__history__

    def read_the_end():
        return list(itertools.islice(reversed(record), 20))[::-1]

    assert full.filter(count=20) == read_the_end() and len(record) == record.maxlen
    table.within("history", f"filter(count=20) of {len(record):,} entries", lambda: full.filter(count=20),
                 "the last 20 read from the end", read_the_end, 2)

    tcl = TclInterpreter()
    tk, z = tcl.tk, tcl.z
    assert z.set("x", 1) == "1" and tk.call("set", "x", 1) == 1
    table.within("quick call", "z.set('x', 1), history on", lambda: z.set("x", 1),
                 "tk.call('set', 'x', 1)", lambda: tk.call("set", "x", 1), 2.5)
    python_z = baseline_z.Z(tcl)
    table.within("quick call", "z.set('x', 1), history on", lambda: z.set("x", 1),
                 "pure-Python Z", lambda: python_z.set("x", 1), None)
    tcl.history.disable()
    table.within("quick call", "z.set('x', 1), history off", lambda: z.set("x", 1),
                 "tk.call('set', 'x', 1)", lambda: tk.call("set", "x", 1), 1.6)
    table.within("quick call", "z.set('x', 1), history off", lambda: z.set("x", 1),
                 "pure-Python Z", lambda: python_z.set("x", 1), None)
