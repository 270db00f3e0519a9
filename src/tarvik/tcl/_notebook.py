"""Tcl in IPython and Jupyter: the ``%tcl`` and ``%%tcl`` magics that ``%load_ext tarvik.tcl``
registers.

``%tcl SCRIPT`` runs one line of Tcl, ``%%tcl`` the rest of its cell. They run on the package's
default interpreter, or on a host (a :class:`~tarvik.tcl.TclInterpreter` or a
:class:`~tarvik.tcl.TclProcess`) that a variable of the notebook holds: ``%%tcl remote`` or
``%tcl --host remote SCRIPT``. The script reaches Tcl as written (IPython expands no ``$name`` or
``{name}`` in it), is recorded in the host's history as one call, and its result is shown as Tcl
prints it; a Tcl error raises ``TclError`` with Tcl's error trace, as a quick call does.
"""

from __future__ import annotations

from typing import Any

from IPython.core.error import UsageError
from IPython.core.magic import Magics, line_cell_magic, magics_class, no_var_expand

from tarvik.tcl._tkinter_names import TclError

HOST_OPTION = "--host"


class TclResult(str):
    """The result of a Tcl script: a ``str`` that IPython shows as Tcl prints it, unquoted."""

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(str(self))


def run_script(host: Any, script: str) -> TclResult:
    """Runs ``script`` on ``host`` as one recorded call; a Tcl error raises Tcl's error trace."""
    host.history.append(script)
    try:
        result = host.tk.eval(script)
    except TclError:
        raise TclError(host.vars["::errorInfo"]) from None
    return TclResult(result)


def split_host(line: str) -> tuple[str | None, str]:
    """``--host NAME SCRIPT`` as (NAME, SCRIPT); a line without the option as (None, line)."""
    words = line.lstrip().split(maxsplit=2)
    if not words or words[0] != HOST_OPTION:
        return None, line
    if len(words) < 2:
        raise UsageError(f"%tcl {HOST_OPTION} needs the name of a host")
    return words[1], words[2] if len(words) > 2 else ""


def cell_host(line: str) -> str | None:
    """The host that the line of ``%%tcl [NAME]`` or ``%%tcl --host NAME`` names, if any."""
    words = line.split()
    if words[:1] == [HOST_OPTION]:
        words = words[1:] or [""]
    if len(words) > 1 or words == [""]:
        raise UsageError(f"usage: %%tcl [NAME] or %%tcl {HOST_OPTION} NAME")
    return words[0] if words else None


@magics_class
class TclMagics(Magics):
    """``%tcl`` and ``%%tcl``: Tcl run on the default interpreter or on a host of the notebook."""

    @no_var_expand
    @line_cell_magic
    def tcl(self, line: str, cell: str | None = None) -> TclResult:
        """Run Tcl: ``%tcl [--host NAME] SCRIPT`` runs a line, ``%%tcl [NAME]`` its cell.

        NAME is a variable of the notebook that holds a TclInterpreter or a TclProcess; without
        it the package's default interpreter runs the script. The result is shown as Tcl prints
        it; a Tcl error raises TclError with Tcl's error trace.
        """
        if cell is None:
            name, script = split_host(line)
        else:
            name, script = cell_host(line), cell
        return run_script(self.host(name), script)

    def host(self, name: str | None) -> Any:
        """The host a magic names, or the default interpreter."""
        if name is None:
            from tarvik.tcl import default_interpreter

            return default_interpreter()
        namespace = self.shell.user_ns if self.shell is not None else {}
        try:
            host = namespace[name]
        except KeyError:
            raise UsageError(f"no Tcl host named {name!r} in the notebook") from None
        if not all(hasattr(host, attribute) for attribute in ("tk", "vars", "history")):
            raise UsageError(f"{name!r} is not a Tcl host (a TclInterpreter or a TclProcess), "
                             f"but {type(host).__name__}")  # fmt: skip
        return host
