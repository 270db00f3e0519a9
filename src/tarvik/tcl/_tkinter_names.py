"""What the package takes from Python's tkinter, where this Python has it.

Server and container Pythons often come without tkinter (Debian's ``python3`` without
``python3-tk``, Red Hat's without ``python3-tkinter``, slim container images), and that is where
people drive remote tool shells: :class:`~tarvik.tcl.TclProcess` needs no Tcl in this process.
So every module of the package takes these names from here, and imports on such a Python too:

- ``TclError``: ``_tkinter.TclError`` itself where it exists (``except tkinter.TclError`` catches
  what the package raises), else a class of the package's own; the one error class the package
  raises and catches for Tcl errors.
- ``Tcl_Obj`` and ``Tk``: ``_tkinter.Tcl_Obj`` and ``tkinter.Tk``, or None without tkinter, so
  that nothing is ever taken for a Tcl object there.
"""

from __future__ import annotations

from types import ModuleType
from typing import TYPE_CHECKING

_missing = ""  # why tkinter did not import, where it did not

if TYPE_CHECKING:
    import tkinter
    from _tkinter import Tcl_Obj, TclError
    from tkinter import Tk
else:
    try:
        import tkinter
        from _tkinter import Tcl_Obj, TclError
        from tkinter import Tk
    except ImportError as error:
        _missing = str(error)
        tkinter = Tcl_Obj = Tk = None

        class TclError(Exception):
            """An error reported by Tcl (``_tkinter.TclError`` on a Python that has tkinter)."""

        TclError.__module__ = "tarvik.tcl"

__all__ = ["TclError", "Tcl_Obj", "Tk", "require_tkinter"]


def require_tkinter() -> ModuleType:
    """``tkinter``, which the host running Tcl in this process needs; without it, an ImportError
    that says what to install and that :class:`~tarvik.tcl.TclProcess` works without it."""
    if tkinter is None:
        raise ImportError(
            f"TclInterpreter runs Tcl inside this process through Python's tkinter, which this "
            f"Python lacks ({_missing}): install it (Debian, Ubuntu: python3-tk; Red Hat, Fedora: "
            f"python3-tkinter; a Python built from source needs Tk's headers, such as tk-dev, "
            f"when it is built), or use TclProcess, which runs Tcl in another process and works "
            f"without tkinter",
            name="tkinter",
        )
    return tkinter
