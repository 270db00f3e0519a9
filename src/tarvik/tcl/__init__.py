"""Drive a real Tcl interpreter from Python.

:class:`TclInterpreter` owns one Tcl interpreter (the one Python's ``_tkinter`` embeds, with TclX
loaded when it is installed) and offers what the native modules of this package call on it: ``tk``,
the casts ``cast_list``, ``cast_boolean``, ``cast_array`` and ``cast_any``, the call ``history``,
the Tcl variables as ``vars`` and the quick calls ``z``. The package module itself offers the same
names for a default interpreter that is created on first use, so handles made without an
interpreter work on it.

The names ``history`` and ``z`` of the package are the default interpreter's, not the modules of
the same names: import those with ``from tarvik.tcl.history import History`` and
``from tarvik.tcl.z import Z``.
"""

from __future__ import annotations

import tkinter
from typing import Any

from tarvik.tcl._host import cast_any as _cast_any
from tarvik.tcl._host import splitlist as _splitlist
from tarvik.tcl.history import History
from tarvik.tcl.namespace import TclNamespace
from tarvik.tcl.z import Z

# Importing the two modules above made them attributes `history` and `z` of this package; those
# names belong to the default interpreter (served by __getattr__ below), so drop the modules'.
for _module_name in ("history", "z"):
    globals().pop(_module_name, None)
del _module_name

from tarvik.tcl._process import TclProcess, TclProcessError, agent_script  # noqa: E402

__all__ = [
    "TclInterpreter",
    "TclProcess",
    "TclProcessError",
    "agent_script",
    "default_interpreter",
    "cast_list",
    "cast_boolean",
    "cast_array",
    "cast_any",
    "keyed_list_typename",
]

# The Tcl object type name of TclX keyed lists, learnt from the first interpreter that loads TclX.
_keyed_list_typename: str | None = None


def _load_tclx(tk: Any) -> bool:
    """Load TclX into an interpreter when it is installed; its absence is not an error."""
    global _keyed_list_typename
    try:
        tk.eval("package require Tclx")
    except tkinter.TclError:
        return False
    if _keyed_list_typename is None:
        # TclX names its keyed-list object type itself: ask a keyed list that it made.
        keyed_list = tk.call("apply", "{} {keylset l k v; return $l}")
        _keyed_list_typename = getattr(keyed_list, "typename", None)
    return True


class TclInterpreter:
    """One Tcl interpreter and the casts that turn its results into plain Python values.

    ``tk`` is the interpreter's ``_tkinter`` application object. ``tclx`` tells whether TclX was
    loaded. ``history`` records every quick call, ``vars`` reads Tcl's global variables and ``z``
    calls Tcl commands as attributes (``tcl.z.set('x', 1)``). Instances accept weak references;
    handles, ``vars`` and ``z`` keep nothing stronger, so an interpreter goes as soon as its owner
    drops it.
    """

    def __init__(self) -> None:
        self._root = tkinter.Tcl()
        self.tk = self._root.tk
        self.tclx = _load_tclx(self.tk)
        self.history = History()
        self.vars = TclNamespace("::", self).vars
        self.z = Z(self)

    def cast_list(self, result: Any) -> tuple:
        """The elements of a Tcl list (a str or Tcl object) as a tuple; "" gives ().

        The text is split natively by Tcl's list syntax; the interpreter splits only what the
        native reader leaves to it, so a malformed list raises Tcl's own ``TclError``.
        """
        return _split(result, self)

    def cast_boolean(self, result: Any) -> bool:
        """A Tcl result read as a boolean by Tcl's rules ("yes", "off", 0, 1, ...)."""
        return bool(self.tk.getboolean(result))

    def cast_array(self, result: Any) -> dict:
        """The result of ``array get`` as a dict of element name to value."""
        items = self.cast_list(result)
        return dict(zip(items[::2], items[1::2]))

    # Every quick call ends here, so it is native: str, int, float, bool and bytes stay as they
    # are, a tuple is cast element by element, any other Tcl object becomes its string.
    cast_any = _cast_any


def _split(result: Any, interpreter: TclInterpreter | None) -> tuple:
    """The elements of a Tcl list; `interpreter` (the default one when None, made only then) is
    asked only for what the native reader leaves to Tcl."""
    if isinstance(result, tuple):
        return result
    if isinstance(result, list):
        return tuple(result)
    text = result if isinstance(result, str) else str(result)
    items = _splitlist(text)
    if items is None:
        items = (interpreter or default_interpreter()).tk.splitlist(text)
    return items


_default: TclInterpreter | None = None
_DEFAULT_NAMES = ("tk", "history", "vars", "z")


def default_interpreter() -> TclInterpreter:
    """The package's default interpreter, created on first use."""
    global _default
    if _default is None:
        _default = TclInterpreter()
        # Later reads of these names are plain module attributes, not __getattr__ calls.
        globals().update((name, getattr(_default, name)) for name in _DEFAULT_NAMES)
    return _default


def __getattr__(name: str) -> Any:
    if name in _DEFAULT_NAMES:
        return getattr(default_interpreter(), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def cast_list(result: Any) -> tuple:
    """The elements of a Tcl list; the default interpreter is made only for text that the native
    reader leaves to Tcl (a malformed list, numeric backslash escapes)."""
    return _split(result, None)


def cast_boolean(result: Any) -> bool:
    """A Tcl boolean, read by the default interpreter."""
    return default_interpreter().cast_boolean(result)


def cast_array(result: Any) -> dict:
    """The result of ``array get`` as a dict, split by the default interpreter."""
    return default_interpreter().cast_array(result)


def cast_any(result: Any) -> Any:
    """A Tcl result as a natural Python value."""
    return default_interpreter().cast_any(result)


def keyed_list_typename() -> str | None:
    """The Tcl object type name of TclX keyed lists, or None when TclX is not installed."""
    if _keyed_list_typename is None:
        default_interpreter()
    return _keyed_list_typename
