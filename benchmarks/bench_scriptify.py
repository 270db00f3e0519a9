"""scriptify and tclobj of 10,000 short mixed strings, about a third of which need quoting."""

import random
import tkinter

import baseline_scriptify
from tarvik.tcl.scriptify import scriptify, tclobj


def mixed_strings(count: int = 10_000) -> list[str]:
    rng = random.Random(7)
    letters = "abcdefghijklmnopqrstuvwxyz0123456789_."
    quoted = [" ", "$", "[", ";", "{", "\\", "\t", "}", '"']
    items = []
    for i in range(count):
        word = "".join(rng.choice(letters) for _ in range(rng.randint(3, 10)))
        if i % 3 == 0:
            at = rng.randint(0, len(word))
            word = word[:at] + rng.choice(quoted) + word[at:]
        items.append(word)
    return items


def run(table) -> None:
    items = mixed_strings()
    tk = tkinter.Tcl().tk
    assert tk.splitlist(scriptify(items)) == tuple(items)
    assert baseline_scriptify.scriptify(items) == scriptify(items)
    group = "scriptify 10k mixed"
    table.within(group, "scriptify(list)", lambda: scriptify(items), "' '.join(list)",
                 lambda: " ".join(items), 3)
    table.faster(group, "scriptify(list)", lambda: scriptify(items), "pure-Python baseline",
                 lambda: baseline_scriptify.scriptify(items), 40)
    table.within(group, "scriptify(list)", lambda: scriptify(items), "tkinter._stringify",
                 lambda: tkinter._stringify(items), None)
    table.within(group, "scriptify(list)", lambda: scriptify(items), "tk.call('list', *items)",
                 lambda: tk.call("list", *items), None)
    table.within(group, "tclobj(list)", lambda: tclobj(items), "tuple(list)",
                 lambda: tuple(items), 3)
