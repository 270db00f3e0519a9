"""A straightforward pure-Python implementation of the Tcl name algebra, kept as the baseline that
the native TclNamespace.join is measured against."""

from tarvik.tcl.scriptify import scriptify


def split(string):
    string = scriptify(string)
    absolute = string.startswith("::")
    parts = [part for part in string.split("::") if part]
    for part in parts:
        if ":" in part:
            raise ValueError("Invalid Tcl namespace '%s'" % string)
    if absolute:
        parts.insert(0, "")
    return parts


def normalize(string):
    return "::".join(split(string))


def join(string, *args):
    string = scriptify(string)
    for arg in args:
        arg = scriptify(arg)
        if not string or arg.startswith("::"):
            string = arg
        elif arg:
            string += "::" + arg
    return normalize(string)
