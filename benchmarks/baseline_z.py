"""A straightforward pure-Python quick call: the steps of Z and Z_Code written as plain Python,
for comparison with the native module."""

import weakref
from tkinter import TclError

from tarvik.tcl.scriptify import scriptify


class Z:
    def __init__(self, tcl):
        self.tcl = weakref.proxy(tcl)

    def __getattr__(self, name):
        return Z_Code(name, tcl=self.tcl)


class Z_Code:
    def __init__(self, *cmd, tcl):
        self.tcl = tcl
        self.cmd = list(cmd)

    def __getattr__(self, name):
        self.cmd.append(name)
        return self

    def __call__(self, *args, **kwargs):
        cast = kwargs.pop("cast_", True)
        cmd = ["::".join(self.cmd)]
        for arg in args:
            cmd.append(scriptify(arg))
        for key, value in kwargs.items():
            cmd.append("-" + key)
            cmd.append(scriptify(value))
        self.tcl.history.append(cmd)
        try:
            result = self.tcl.tk.call(*cmd)
        except TclError:
            raise TclError(self.tcl.vars["::errorInfo"]) from None
        return self.tcl.cast_any(result) if cast else str(result)
