"""scriptify and tclobj of 10,000 short mixed strings, about a third of which need quoting, and
scriptify of lists nested around an escaped brace, against the text Tcl's own list writes."""

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


def nested_escapes(depth: int) -> list:
    """An escaped brace inside ``depth`` lists that each also hold a quoted word."""
    value: list = ["p\\{q", "a b"]
    for _ in range(depth):
        value = [value, "a b"]
    return value


def as_tuples(value):
    return tuple(as_tuples(x) for x in value) if isinstance(value, list) else value


def run_nested(table) -> None:
    tk = tkinter.Tcl().tk
    group = "scriptify nested escaped braces"
    for depth in (10, 18, 40):
        value = nested_escapes(depth)
        tuples = as_tuples(value)
        ours, theirs = scriptify(value), tk.call("format", "%s", tuples)
        # The text itself must stay as short as Tcl's, or the time says nothing.
        assert len(ours) <= 1.2 * len(theirs) + 2 * depth, (depth, len(ours), len(theirs))
        assert baseline_scriptify.scriptify(value) == ours
        table.within(group, f"depth {depth}: {len(ours)} chars", lambda: scriptify(value),
                     f"Tcl list: {len(theirs)} chars", lambda: tk.call("format", "%s", tuples), 1)


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
    run_nested(table)
