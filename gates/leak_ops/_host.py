"""The host layer's native helpers: the list splitter, the cast of results and the clock."""

from __future__ import annotations

from typing import Any, Iterator

from gates.leakcheck import Env, Operation


def operations(module: Any, env: Env) -> Iterator[Operation]:
    text = "a {b c} {d {e f}} \\{ \"g h\" é 中 \U0001f600"
    tcl_obj = env.interp.tk.call("dict", "create", "a", "b c")  # stays a Tcl object
    result = (1, "two", (2.5, tcl_obj, b"x"))
    yield Operation("splitlist", lambda: module.splitlist(text))
    yield Operation("splitlist of an unbalanced list", lambda: module.splitlist("{a"))
    list_object = env.interp.tk.call("list", ("a", ("b c", 2)), 1.5, True, b"\xe9", tcl_obj)
    left_to_tcl = "a\\x41 \\U0001f600 b\x00c"
    yield Operation("cast_list of text", lambda: module.cast_list(env.interp, text))
    yield Operation("cast_list of text read by Tcl",
                    lambda: module.cast_list(env.interp, left_to_tcl))
    yield Operation("cast_list of a malformed text", lambda: module.cast_list(None, "{a}\x00"),
                    raises=Exception)
    yield Operation("cast_list of a list object", lambda: module.cast_list(None, list_object),
                    watch=(tcl_obj,))
    yield Operation("cast_any of nested results", lambda: module.cast_any(env.interp, result),
                    watch=(tcl_obj,))
    yield Operation("now", module.now)
    yield Operation("local_datetime", lambda: module.local_datetime(1_700_000_000, 5))
