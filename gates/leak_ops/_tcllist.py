"""The native Tcl list splitter."""

from __future__ import annotations

from typing import Any, Iterator

from gates.leakcheck import Env, Operation


def operations(module: Any, env: Env) -> Iterator[Operation]:
    text = "a {b c} {d {e f}} \\{ \"g h\" é 中 \U0001f600"
    yield Operation("splitlist", lambda: module.splitlist(text))
    yield Operation("splitlist of an unbalanced list", lambda: module.splitlist("{a"))
