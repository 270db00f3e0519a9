"""FieldTree reads, writes, merges and conversions to and from Tcl."""

from __future__ import annotations

from typing import Any, Iterator

from gates.leakcheck import Env, Operation


def operations(module: Any, env: Env) -> Iterator[Operation]:
    FieldTree = module.FieldTree
    tree = FieldTree({"name": {"model": "X9", "serial": "0042"}, "limits": {"volt": "4.5 5.5"}})
    text = "{name {{model X9} {serial 0042}}} {limits {{volt {4.5 5.5}}}}"
    merge = {"limits": {"amp": "0.1"}, "extra": 1}

    def write() -> None:
        tree["limits.amp"] = "0.1 0.2"
        tree["new.deep.key"] = [1, 2]
        del tree["new"]

    yield Operation("dotted read", lambda: tree["name.model"], watch=(tree,))
    yield Operation("attribute read", lambda: tree.limits.volt)
    yield Operation("dotted write and delete", write)
    yield Operation("membership", lambda: ("name.serial" in tree, "no.such" in tree))
    yield Operation("missing key", lambda: tree["name.none"], raises=KeyError)
    yield Operation("get, pop default, setdefault",
                    lambda: (tree.get("x.y"), tree.pop("x.y", None), tree.setdefault("name.model")))
    yield Operation("merge by update", lambda: FieldTree(tree).update(merge))
    yield Operation("all_keys and all_items", lambda: (tree.all_keys(), tree.all_items()))
    yield Operation("from_tcl of text", lambda: FieldTree.from_tcl(text))
    yield Operation("from_tcl of bad text", lambda: FieldTree.from_tcl("{a"), raises=Exception)
    deep = "{leaf v}"
    for _ in range(60):
        deep = f"{{k {{{deep} {{pad {'p' * 64}}}}}}}"
    yield Operation("from_tcl of deep text", lambda: FieldTree.from_tcl(deep))
    yield Operation("from_tcl of a deep bad text", lambda: FieldTree.from_tcl(deep + "}"),
                    raises=Exception)
    yield Operation("tclobj", lambda: tree.__tclobj__())
    markup = FieldTree({"<b>": {"a & b": "'quoted'"}, "many": dict.fromkeys(map(str, range(600)))})
    yield Operation("shown as HTML", lambda: (tree._repr_html_(), markup._repr_html_()))
    looped = FieldTree()
    dict.__setitem__(looped, "self", looped)
    yield Operation("shown as HTML, containing itself", looped._repr_html_, raises=RecursionError,
                    scale=0.05)
