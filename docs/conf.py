"""Sphinx configuration: a guide whose examples the test suite runs, and an API reference
generated from the modules' own docstrings and text signatures."""

from __future__ import annotations

import importlib.metadata
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))  # for gates.docs, the list of names the reference must hold

project = "tarvik.tcl"
author = "tarvik developers"
copyright = "tarvik developers"
# The version shown on the site is the one of the package installed, as pip reports it.
release = importlib.metadata.version("tarvik-tcl")
version = release

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "_ext"))
extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "native", "apicheck"]

# autodoc reads a native module's .pyi stub in its place when the module is not imported yet:
# import the built modules first, so the reference shows their own docstrings and signatures.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"
from gates.docs import HOST_MODULES, NATIVE_MODULES, module  # noqa: E402

for _name in NATIVE_MODULES + HOST_MODULES:
    module(_name)

exclude_patterns = ["_build"]
html_theme = "furo"
html_title = f"tarvik.tcl {release}"
html_static_path = ["_static"]
# Doctest output (a traceback's last line, a long message) wraps instead of hiding behind a
# scroll bar.
html_css_files = ["wrap.css"]
templates_path: list[str] = []

# Names in single backquotes are Python objects; a reference that does not resolve is a
# warning, so an error of the build. The standard library's classes are named, not linked.
default_role = "py:obj"
nitpicky = True
nitpick_ignore = [
    ("py:class", name)
    for name in ("collections.abc.MutableMapping", "collections.abc.KeysView",
                 "collections.abc.Sequence", "collections.abc.Callable", "os.PathLike",
                 "contextlib.AbstractContextManager")
]

autodoc_default_options = {
    "members": True,
    "undoc-members": True,
    "show-inheritance": True,
    "member-order": "bysource",
    # The protocol methods that tell how a class behaves (mapping, call, context, conversion).
    "special-members": ", ".join(
        f"__{name}__"
        for name in (
            "call", "getattr", "get", "getitem", "setitem", "delitem", "contains", "len",
            "iter", "enter", "exit", "del", "tclobj", "scriptify",
        )
    ),
}
autodoc_class_signature = "mixed"
# Signatures come from __text_signature__ and inspect; a docstring's first line such as
# "D.get(k[,d]) -> D[k] if k in D, else d." (the mapping methods' own) is text, not a signature.
autodoc_docstring_signature = False
autoclass_content = "class"
napoleon_google_docstring = True
napoleon_numpy_docstring = False
# Lets napoleon escape a parameter's trailing underscore (cast_), which would otherwise be read
# as a link and dropped.
strip_signature_backslash = True
