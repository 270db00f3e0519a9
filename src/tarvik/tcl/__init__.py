"""Drive a real Tcl interpreter from Python.

:class:`TclInterpreter` owns one Tcl interpreter (the one Python's ``_tkinter`` embeds, with TclX
loaded when it is installed) and offers what the native modules of this package call on it: ``tk``,
the casts ``cast_list``, ``cast_boolean``, ``cast_array`` and ``cast_any``, the call ``history``,
the Tcl variables as ``vars`` and the quick calls ``z``. The package module itself offers the same
names for a default interpreter that is created on first use, so handles made without an
interpreter work on it.

``tarvik.tcl.history`` and ``tarvik.tcl.z`` are the modules of those names; each also forwards
what a host needs to the default interpreter, so the package module serves as a host too:
``tarvik.tcl.history.append(words)`` records in the default interpreter's history and
``tarvik.tcl.z.set('a', 1)`` is a quick call on it. Importing creates no interpreter.

A Python without tkinter imports the package too: :class:`TclProcess` runs Tcl in another process
and needs none in this one, while :class:`TclInterpreter` and the default interpreter raise an
ImportError that says what to install. :class:`TclError` is the error of every Tcl call, on
either host: ``tkinter.TclError`` itself where tkinter exists.
"""

from __future__ import annotations

import inspect
import sys
import types
from contextlib import AbstractContextManager, nullcontext
from typing import Any

from tarvik.tcl._host import cast_any as _cast_any
from tarvik.tcl._host import cast_list as _cast_list
from tarvik.tcl._frames import checked_seconds
from tarvik.tcl._pipeline import LocalPipeline, Pending
from tarvik.tcl._process import Captured, TclProcess, TclProcessError, agent_script, wait_for_serve
from tarvik.tcl._process import RemoteTk as RemoteTk  # what TclProcess's `tk: RemoteTk` names
from tarvik.tcl._tkinter_names import TclError, require_tkinter
from tarvik.tcl.history import History
from tarvik.tcl.namespace import TclNamespace
from tarvik.tcl.z import Z

__all__ = [
    "TclInterpreter",
    "TclProcess",
    "TclProcessError",
    "TclError",
    "Captured",
    "Pending",
    "agent_script",
    "wait_for_serve",
    "default_interpreter",
    "cast_list",
    "cast_boolean",
    "cast_array",
    "cast_any",
    "keyed_list_typename",
    "load_ipython_extension",
]

# Names defined in private modules report this one, where they are documented and imported
# from: tracebacks and reprs read tarvik.tcl.TclProcessError, and pickle finds them here.
for _public in (TclProcess, TclProcessError, Captured, Pending, agent_script, wait_for_serve):
    _public.__module__ = __name__
del _public

# The native casts show the annotations of the casts beside them, which a native function's text
# signature cannot carry.
_cast: Any
for _cast, _returns in ((_cast_list, tuple), (_cast_any, Any)):
    _cast.__signature__ = inspect.Signature(
        [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD),
         inspect.Parameter("result", inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=Any)],
        return_annotation=_returns)
del _cast, _returns

# The Tcl object type name of TclX keyed lists, learnt from the first interpreter that loads TclX.
_keyed_list_typename: str | None = None


def _load_tclx(tk: Any) -> bool:
    """Load TclX into an interpreter when it is installed; its absence is not an error."""
    global _keyed_list_typename
    try:
        tk.eval("package require Tclx")
    except TclError:
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
    drops it. It needs Python's tkinter: without it, making one raises ImportError
    (:class:`TclProcess` works without it).
    """

    def __init__(self) -> None:
        self._root = require_tkinter().Tcl()
        self.tk = self._root.tk
        self.tclx = _load_tclx(self.tk)
        self.history = History()
        self.vars = TclNamespace("::", self).vars
        self.z = Z(self)

    # Every handle and view operation ends here, so it is native: a str (or the string of a
    # Tcl object) is split by Tcl's list syntax, the interpreter reading only what the native
    # reader leaves to it, so a malformed list raises Tcl's own TclError; a tuple, as _tkinter
    # gives a Tcl list object, has each item made the string Tcl lists.
    cast_list = _cast_list

    def __repr__(self) -> str:
        extension = ", TclX" if self.tclx else ""
        return f"<{type(self).__name__}: Tcl {self._root.tk.call('info', 'patchlevel')}{extension}>"

    def pipeline(self) -> AbstractContextManager[None]:
        """``with interpreter.pipeline():`` runs the same code as a
        :meth:`TclProcess.pipeline <tarvik.tcl.TclProcess.pipeline>` block does.

        Each call runs at once: quick calls and ``tk.call``, ``tk.eval``, ``tk.setvar``,
        ``tk.unsetvar`` and ``tk.deletecommand`` (and so the handles' writes) give a
        :class:`Pending` that is done. After the first call that fails, none of the rest of the
        block runs, and leaving the block raises that first error; an error that ``result()``
        raises before another call is made is the caller's, and the block goes on. While the
        block is open, ``tk`` is a wrapper of the application object. A block opened inside an
        open one is part of it.
        """
        return LocalPipeline(self)

    def timeout(self, seconds: float | None) -> AbstractContextManager[None]:
        """``with interpreter.timeout(seconds):`` accepts the block that
        :meth:`TclProcess.timeout <tarvik.tcl.TclProcess.timeout>` gives a deadline, so the same
        code runs on both hosts; here it sets none, and the calls run to their end.

        A Tcl in this process cannot be stopped in the middle of a command soundly: Tcl allows
        no time limit on its own interpreter, and cancelling it from another thread could stop a
        later command instead or leave it half-way. ``seconds`` is checked as there (a positive
        number or None), and blocks nest.
        """
        checked_seconds(seconds)
        return nullcontext()

    def _use_tk(self, tk: Any) -> None:
        """Puts `tk` in place of the application object (a pipeline block's wrapper, or the
        object itself again), for the package module too when this is the default interpreter."""
        self.tk = tk
        if self is _default:
            globals()["tk"] = tk

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


_default: TclInterpreter | None = None
_DEFAULT_NAMES = ("tk", "vars")


def default_interpreter() -> TclInterpreter:
    """The package's default interpreter, created on first use (ImportError on a Python without
    tkinter, as for any :class:`TclInterpreter`)."""
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
    reader leaves to Tcl (a malformed list, a few backslash sequences that Tcl's build decides)."""
    return _cast_list(None, result)


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


def load_ipython_extension(ipython: Any) -> None:
    """Register the ``%tcl`` and ``%%tcl`` magics: what ``%load_ext tarvik.tcl`` runs.

    ``%tcl SCRIPT`` runs a line of Tcl and ``%%tcl`` a cell, on the default interpreter or on a
    host that a variable of the notebook holds (``%%tcl remote``, ``%tcl --host remote SCRIPT``).
    Needs IPython (the ``notebook`` extra).
    """
    from tarvik.tcl._notebook import TclMagics

    ipython.register_magics(TclMagics)


def _history_forwards(name: str) -> bool:
    """Whether a name the history module lacks is one of a History's methods or attributes.

    Asked of the class, so that probes such as ``__path__`` fail without making an interpreter.
    """
    return hasattr(History, name)


class _HistoryModule(types.ModuleType):
    """The history module, forwarding History's names to the default interpreter's history."""

    def __getattr__(self, name: str) -> Any:
        if _history_forwards(name):
            return getattr(default_interpreter().history, name)
        raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}")

    def __setattr__(self, name: str, value: Any) -> None:
        if name not in self.__dict__ and _history_forwards(name):
            setattr(default_interpreter().history, name, value)
        else:
            super().__setattr__(name, value)


class _QuickCallModule(types.ModuleType):
    """The quick-call module, where any other name is a quick call on the default interpreter."""

    def __getattr__(self, name: str) -> Any:
        # Python's own probes (__path__, __wrapped__, ...) must never reach Tcl.
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}")
        return getattr(default_interpreter().z, name)


sys.modules[f"{__name__}.history"].__class__ = _HistoryModule
sys.modules[f"{__name__}.z"].__class__ = _QuickCallModule
