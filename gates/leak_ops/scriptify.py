"""scriptify and tclobj of nested values, their hooks and error paths, and the quoting helpers."""

from __future__ import annotations

import collections
from typing import Any, Iterator

from gates.leakcheck import Env, Operation


class Boom(Exception):
    pass


def _boom(*_: Any) -> Any:
    raise Boom()


class Scriptified:
    def __scriptify__(self) -> str:
        return "p q"


class TclObjed:
    def __tclobj__(self) -> Any:
        return ("a b", [1, 2])


class NotAString:
    """A hook whose result is not a string is converted once more."""

    def __scriptify__(self) -> Any:
        return [1, "x y"]


class BadStr:
    __str__ = _boom


class Words(collections.abc.Sequence):
    """A sequence that is no built-in type, read through the iteration protocol."""

    def __init__(self, *items: Any) -> None:
        self._items = items

    def __len__(self) -> int:
        return len(self._items)

    def __getitem__(self, index: Any) -> Any:
        return self._items[index]


class Table(collections.abc.Mapping):
    """A mapping that is no dict, read through iteration and __getitem__."""

    def __init__(self, **items: Any) -> None:
        self._items = items

    def __len__(self) -> int:
        return len(self._items)

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __getitem__(self, key: str) -> Any:
        return self._items[key]


class BadIter(collections.abc.Sequence):
    __len__ = lambda self: 1  # noqa: E731
    __getitem__ = _boom
    __iter__ = _boom


def _nested() -> list[Any]:
    return [
        1, "two words", -5, 2.5, True, None, 2**70, b"by tes",
        ["$x", "[cmd]", ("a b", "{", "}", "\\"), {"k": ("v w", None)}],
        {"é": "中 文", "x": frozenset({"f g"}), 3: [set(), {}]},
        "\U0001f600 {", Scriptified(), TclObjed(), Words("a", ["b c"]), Table(k="v w"),
        range(3), collections.OrderedDict(o=[1, 2]),
    ]  # fmt: skip


def _self_referencing() -> list[Any]:
    loop: list[Any] = ["a"]
    loop.append(loop)
    return loop


def _deep(depth: int = 20_000) -> list[Any]:
    deep: list[Any] = []
    for _ in range(depth):
        deep = [deep]
    return deep


def operations(module: Any, env: Env) -> Iterator[Operation]:
    scriptify, tclobj = module.scriptify, module.tclobj
    nested = _nested()
    words = tuple(f"w{i}" if i % 3 else f"w {i}" for i in range(50))
    widening = ["ascii", "é", "中", "\U0001f600", "a b"]
    mapping = {f"key {i}": [i, f"value {i}"] for i in range(20)}
    env.interp.tk.eval("set ::leak_obj ::set; $::leak_obj ::x 1")
    tcl_obj = env.interp.tk.getvar("::leak_obj")  # a command-name object: a Tcl_Obj

    for name, fn in (("scriptify", scriptify), ("tclobj", tclobj)):
        yield Operation(f"{name} of nested values", lambda f=fn: f(nested), watch=(nested,))
        yield Operation(f"{name} of a dict", lambda f=fn: f(mapping), watch=(mapping,))
        yield Operation(f"{name} by keyword", lambda f=fn: f(obj=nested))
        yield Operation(f"{name} of a Tcl object", lambda f=fn: f([tcl_obj, "a"]), watch=(tcl_obj,))
        yield Operation(f"{name} of a hook that raises", lambda f=fn: f([1, BadIter()]), raises=Boom)
        yield Operation(f"{name} of a bad __str__", lambda f=fn: f([1, {"k": BadStr()}]),
                        raises=Boom)
        loop, deep = _self_referencing(), _deep()
        yield Operation(f"{name} of a self-referencing list", lambda f=fn, v=loop: f(v),
                        raises=RecursionError, watch=(loop,), scale=0.02)
        yield Operation(f"{name} of deep nesting", lambda f=fn, v=deep: f(v),
                        raises=RecursionError, scale=0.02)
        yield Operation(f"{name} with a wrong argument", lambda f=fn: f(1, 2), raises=TypeError)
        yield Operation(f"{name} with an unknown keyword", lambda f=fn: f(x=1), raises=TypeError)

    yield Operation("scriptify of a flat tuple of words", lambda: scriptify(words), watch=words)
    yield Operation("scriptify of widening strings", lambda: scriptify(widening))
    yield Operation("scriptify of a hook returning a list", lambda: scriptify([NotAString()]))
    yield Operation("tclobj of a tuple passed through", lambda: tclobj(words), watch=(words,))
    yield Operation("tclobj of a list of plain values", lambda: tclobj(list(words)))
    yield Operation("tclobj of out-of-range ints", lambda: tclobj([2**64, -(2**64)]))

    yield Operation("_Tcl_ScanElement", lambda: module._Tcl_ScanElement("{a \\} b"))
    yield Operation("_Tcl_ConvertElement with a set",
                    lambda: module._Tcl_ConvertElement("{a b", {"TCL_DONT_USE_BRACES"}))
    yield Operation("_Tcl_ConvertElement with bad flags",
                    lambda: module._Tcl_ConvertElement("{a", frozenset()), raises=AttributeError)
    yield Operation("_tcl_UpdateStringOfList", lambda: module._tcl_UpdateStringOfList(nested))
    yield Operation("_scriptify_from_mapping", lambda: module._scriptify_from_mapping(mapping))
    yield Operation("_tclobj_from_sequence", lambda: module._tclobj_from_sequence(nested))
    yield Operation("_tclobj_from_mapping", lambda: module._tclobj_from_mapping(mapping))

    class Holder(list):
        method = tclobj

    holder = Holder(words)
    yield Operation("tclobj bound as a method", lambda: holder.method(), watch=(holder,))
