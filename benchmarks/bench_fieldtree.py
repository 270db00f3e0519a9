"""FieldTree.from_tcl of a keyed list of 10,000 leaves three levels deep, and dotted reads."""

import random

import baseline_fieldtree
import tarvik.tcl
from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.scriptify import scriptify

WORDS = ["alpha", "beta", "gamma", "delta", "volt", "amp", "ok", "FAIL", "ch1", "x"]


def leaf(rng: random.Random) -> str:
    """Mostly single words and numbers, some phrases, a few values that need quoting."""
    roll = rng.random()
    if roll < 0.4:
        return rng.choice(WORDS)
    if roll < 0.7:
        return f"{rng.uniform(-100, 100):.4f}"
    if roll < 0.9:
        return " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 5)))
    return rng.choice(["$HOME/log", "a [b] c", 'say "hi"', "x{y}z", "tab\there"])


def keyed_list_text() -> str:
    rng = random.Random(4)
    leaves = {
        f"group{i}.sub{j}.field{k}": leaf(rng)
        for i in range(20)
        for j in range(20)
        for k in range(25)
    }
    return scriptify(FieldTree(leaves))


def run(table) -> None:
    text = keyed_list_text()
    tk = tarvik.tcl.default_interpreter().tk
    splitlist = tk.splitlist

    def split_all_levels(text: str, depth: int = 3) -> None:
        for element in splitlist(text):
            key, value = splitlist(element)
            if depth > 1:
                split_all_levels(value, depth - 1)

    tree = FieldTree.from_tcl(text)
    baseline = baseline_fieldtree.FieldTree.from_tcl(text)
    assert len(tree.all_keys()) == 10_000 and tree == baseline

    group = "fieldtree 10k leaves"
    table.faster(group, "FieldTree.from_tcl", lambda: FieldTree.from_tcl(text),
                 "pure-Python baseline", lambda: baseline_fieldtree.FieldTree.from_tcl(text), 10)
    table.within(group, "FieldTree.from_tcl", lambda: FieldTree.from_tcl(text),
                 "tk.splitlist, all levels", lambda: split_all_levels(text), 3)
    table.within(group, "cast_list(text)", lambda: tarvik.tcl.cast_list(text),
                 "tk.splitlist(text)", lambda: splitlist(text), None)

    # One numeric escape among 100k words: read natively, never a second time by Tcl.
    escaped = " ".join(["w\\x41"] + [f"word{i}" for i in range(100_000)])
    assert tarvik.tcl.cast_list(escaped) == splitlist(escaped)
    table.within("cast_list 100k, one escape", "cast_list(text)",
                 lambda: tarvik.tcl.cast_list(escaped), "tk.splitlist(text)",
                 lambda: splitlist(escaped), 1.0)

    # Nesting depth: each level read once, so five times the depth takes five times the time.
    def chain(depth: int) -> str:
        text = "{leaf v}"
        for _ in range(depth):
            text = f"{{k {{{text}}}}}"
        return text

    shallow, deep = chain(1000), chain(5000)
    table.within("fieldtree nested 5000 deep", "from_tcl, depth 5000",
                 lambda: FieldTree.from_tcl(deep), "5 x from_tcl, depth 1000",
                 lambda: [FieldTree.from_tcl(shallow) for _ in range(5)], 1.5)

    key = "group7.sub3.field11"
    group = "fieldtree dotted read"
    table.faster(group, "tree['a.b.c']", lambda: tree[key],
                 "pure-Python baseline", lambda: baseline[key], 5)
    table.within(group, "'a.b.c' in tree", lambda: key in tree,
                 "pure-Python baseline", lambda: key in baseline, None)
