"""A pytest plugin that makes this Python one built without tkinter, as on a server or in a slim
container image: importing ``_tkinter`` or ``tkinter`` (or a module inside it) fails as it does
there. Loaded before any test module or conftest imports the package::

    python -m pytest -p tests._without_tkinter tests/test_process.py

Tests that need the Tcl of this process (the ``interp`` fixture) skip themselves.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence
from importlib.abc import MetaPathFinder
from importlib.machinery import ModuleSpec
from types import ModuleType

BLOCKED = ("_tkinter", "tkinter")


def blocked(name: str) -> bool:
    return name.partition(".")[0] in BLOCKED


class NoTkinter(MetaPathFinder):
    """Finds no tkinter, before any other finder can."""

    def find_spec(self, fullname: str, path: Sequence[str] | None = None,
                  target: ModuleType | None = None) -> ModuleSpec | None:
        if blocked(fullname):
            raise ModuleNotFoundError(f"No module named {fullname!r}", name=fullname)
        return None


if any(blocked(name) for name in sys.modules):
    raise RuntimeError("tkinter was imported before it could be blocked")
sys.meta_path.insert(0, NoTkinter())
