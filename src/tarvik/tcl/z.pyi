"""Quick calls: Tcl commands called as attribute chains of the interpreter."""

import weakref as weakref
from typing import Any, NoReturn

from typing_extensions import disjoint_base

from tarvik.tcl._tkinter_names import TclError as TclError
from tarvik.tcl.scriptify import scriptify as scriptify

@disjoint_base
class Z:
    tcl: Any
    def __init__(self, tcl: Any) -> None: ...
    def __getattr__(self, name: str) -> Z_Code: ...
    def __call__(self, *args: Any, **kwargs: Any) -> NoReturn: ...

@disjoint_base
class Z_Code:
    tcl: Any
    cmd: list[str]
    def __init__(self, *cmd: str, tcl: Any) -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __getattr__(self, name: str) -> Z_Code: ...
