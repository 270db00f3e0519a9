"""The documentation cannot drift from the code: every example of every page runs against a real
interpreter, and the built API reference lists every public name."""

from __future__ import annotations

import os
import pathlib
import re
import shutil
import zlib

import pytest

from gates import docs

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
PAGES = docs.pages(DOCS / "index.rst")
INVENTORY = DOCS / "_build" / "html" / "objects.inv"
KNOWN_REQUIREMENTS = {"tclx", "tcllib"}  # what a page may say it needs (".. requires: tclx")
# programs a page may need, skipped where missing
PROGRAMS = {"openocd", "jimsh", "yosys", "magic", "netgen-lvs", "expect"}


def _tclx_loads() -> bool:
    from tarvik.tcl import TclInterpreter

    return TclInterpreter().tclx


def _tcllib_loads() -> bool:
    import subprocess

    if shutil.which("tclsh") is None:
        return False
    script = "puts [catch {package require json}]"
    probe = subprocess.run(["tclsh"], input=script, capture_output=True, text=True, timeout=30)
    return probe.stdout.strip() == "0"


def _page_id(page: pathlib.Path) -> str:
    return page.relative_to(DOCS).with_suffix("").as_posix()


def test_every_page_is_reached_from_the_index():
    on_disk = {p for p in DOCS.rglob("*.rst") if "_build" not in p.parts}
    assert on_disk == set(PAGES)


@pytest.mark.parametrize("page", PAGES, ids=_page_id)
def test_page_examples(page: pathlib.Path):
    """One fresh namespace per page; its examples run in order, as a reader would type them."""
    needs = docs.requirements(page)
    known = KNOWN_REQUIREMENTS | PROGRAMS
    assert needs <= known, f"unknown requirements: {needs - known}"
    missing = sorted(program for program in needs & PROGRAMS if shutil.which(program) is None)
    if missing:
        pytest.skip(f"the page's examples need {', '.join(missing)} (scripts/setup.sh installs it)")
    if "tclx" in needs and not _tclx_loads():
        if os.environ.get("TARVIK_REQUIRE_TCLX") == "1":
            pytest.fail("TclX is required (TARVIK_REQUIRE_TCLX=1) but cannot be loaded")
        pytest.skip("the page's examples need TclX")
    if "tcllib" in needs and not _tcllib_loads():
        pytest.skip("the page's examples need tcllib in tclsh (scripts/setup.sh installs it)")
    found = list(docs.examples(page))
    namespace = {"__name__": f"docs.{_page_id(page)}"}
    failures = docs.run_examples(found, namespace)
    docs.close_namespace(namespace)
    assert not failures, "\n".join(failures)


def test_guide_has_examples():
    guide = [p for p in PAGES if p.parent.name == "guide"]
    assert guide and all(list(docs.examples(p)) for p in guide)


@pytest.mark.parametrize("name", docs.NATIVE_MODULES + docs.HOST_MODULES)
def test_docstring_examples(name: str):
    """The API reference shows the docstrings, with their sessions: those run too, in the
    module's namespace with ``tcl``, an interpreter, as the sessions call it."""
    from tarvik.tcl import TclInterpreter

    module = docs.module(name)
    in_module = [public for public in docs.public_api()
                 if public == name or docs.owning_module(public) == name]  # fmt: skip
    found = [ex for public in in_module
             for ex in docs.docstring_examples(docs.resolve(public), public)]  # fmt: skip
    namespace = {**vars(module), "tcl": TclInterpreter()}
    failures = docs.run_examples(found, namespace)
    docs.close_namespace(namespace)
    assert not failures, "\n".join(failures)


def _documented_in_sources() -> set[str]:
    """The modules and classes the reference pages document with their members (autodoc's
    default here), read from the pages without building them."""
    found: set[str] = set()
    for page in (DOCS / "api").glob("*.rst"):
        for line in page.read_text(encoding="utf-8").splitlines():
            directive = re.match(r"\s*\.\. auto(?:module|class|function)::\s*([\w.]+)", line)
            if directive:
                found.add(directive.group(1))
    return found


def test_api_reference_lists_every_public_name():
    # A site built earlier is checked name by name against the code as it is now (the build
    # itself fails on a missing name); without one, every public name must fall under a page's
    # automodule or autoclass, whose members autodoc lists.
    if INVENTORY.exists():
        listed = docs.read_inventory(INVENTORY)
        missing = [name for name in docs.public_api() if name not in listed]
        assert not missing, f"not in the API reference (rebuild with make docs?): {missing}"
        return
    documented = _documented_in_sources()

    def covered(name: str) -> bool:
        return any(name == d or name.startswith(d + ".") for d in documented)

    missing = [name for name in docs.public_api() if not covered(name)]
    assert not missing, f"under no automodule or autoclass of docs/api: {missing}"


# The harness itself: a reader that silently found nothing would pass every page.

RST = """\
Title
=====

>>> x = 1
>>> x + 1
2

.. code-block:: python
   :caption: a block

   y = x * 10

.. code-block:: sh

   make test

Shown as written::

    >>> y
    10

Plain text::

    not python

.. note::

   >>> [x,
   ...  y]
   [1, 10]
"""

MARKDOWN = """\
# Title

```python
z = 3
```

```sh
make demo
```

~~~pycon
>>> z
3
~~~
"""


@pytest.mark.parametrize(
    ("suffix", "text", "expected"),
    [
        (".rst", RST, [(4, True, ">>> x = 1\n>>> x + 1\n2\n"), (11, False, "y = x * 10\n"),
                       (19, True, ">>> y\n10\n"), (28, True, ">>> [x,\n...  y]\n[1, 10]\n")]),
        (".md", MARKDOWN, [(4, False, "z = 3\n"), (12, True, ">>> z\n3\n")]),
        (".rst", "Nothing to run::\n\n    make docs\n", []),
    ],
    ids=["rst", "markdown", "no-examples"],
)  # fmt: skip
def test_examples_are_found_in_order_with_their_lines(tmp_path, suffix, text, expected):
    page = tmp_path / f"page{suffix}"
    page.write_text(text)
    found = [(ex.line, ex.doctest, ex.source) for ex in docs.examples(page)]
    assert found == expected
    assert all(page.read_text().splitlines()[line - 1].strip() for line, _, _ in found)


@pytest.mark.parametrize("suffix", [".rst", ".md"])
def test_examples_share_one_namespace_in_order(tmp_path, suffix):
    page = tmp_path / f"page{suffix}"
    page.write_text(RST if suffix == ".rst" else MARKDOWN)
    assert docs.run_examples(list(docs.examples(page)), {}) == []


@pytest.mark.parametrize(
    ("text", "wanted"),
    [
        (">>> 1 + 1\n3\n", ["page.rst\", line 1", "Expected:\n    3\nGot:\n    2"]),
        (">>> value = 1\n\n.. code-block:: python\n\n   del value\n\n>>> value\n1\n",
         ["page.rst\", line 7", "NameError"]),
        (".. code-block:: python\n\n   ok = 1\n   1 / 0\n",
         ["code block at page.rst:3", "page.rst\", line 4", "ZeroDivisionError"]),
    ],
    ids=["wrong-output", "deleted-name", "raising-code"],
)  # fmt: skip
def test_failures_are_reported_where_they_happen(tmp_path, text, wanted):
    page = tmp_path / "page.rst"
    page.write_text(text)
    (report,) = docs.run_examples(list(docs.examples(page)), {})
    for part in wanted:
        assert part in report


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("Title\n=====\n\n.. requires: tclx\n", {"tclx"}),
        ("<!-- requires: tclx, network -->\n", {"tclx", "network"}),
        (".. note:: requires: nothing\n", set()),
    ],
)
def test_requirements(tmp_path, text, expected):
    page = tmp_path / "page.rst"
    page.write_text(text)
    assert docs.requirements(page) == expected


def test_pages_follow_the_toctrees_depth_first(tmp_path):
    (tmp_path / "guide").mkdir()
    (tmp_path / "index.rst").write_text(
        ".. toctree::\n   :maxdepth: 2\n\n   guide/index\n   The end <last>\n")
    (tmp_path / "guide" / "index.rst").write_text(".. toctree::\n\n   second\n   /first\n")
    for name in ("guide/second.rst", "first.rst", "last.md"):
        (tmp_path / name).write_text("Page\n====\n")
    ordered = [p.relative_to(tmp_path).as_posix() for p in docs.pages(tmp_path / "index.rst")]
    assert ordered == ["index.rst", "guide/index.rst", "guide/second.rst", "first.rst", "last.md"]
    (tmp_path / "first.rst").unlink()
    with pytest.raises(FileNotFoundError, match="'/first'"):
        docs.pages(tmp_path / "index.rst")


def test_inventory_is_read_without_sphinx(tmp_path):
    entries = ("tarvik.tcl.z py:module 0 api/z.html#module-$ -\n"
               "tarvik.tcl.z.Z.tcl py:attribute 1 api/z.html#$ -\n"
               "Two words std:label -1 a.html#x Two words\n")  # fmt: skip
    header = b"# Sphinx inventory version 2\n# Project: p\n# Version: 1\n# zlib\n"
    (tmp_path / "objects.inv").write_bytes(header + zlib.compress(entries.encode()))
    assert docs.read_inventory(tmp_path / "objects.inv") == {
        "tarvik.tcl.z": "py:module", "tarvik.tcl.z.Z.tcl": "py:attribute",
        "Two words": "std:label"}  # fmt: skip


@pytest.mark.parametrize(
    ("name", "listed"),
    [
        ("tarvik.tcl.z", True),  # the module, though the package's attribute is not it
        ("tarvik.tcl.z.Z_Code.cmd", True),
        ("tarvik.tcl.namespace.TclNamespace.VariablesView.byref", True),
        ("tarvik.tcl.fieldtree.FieldTree.from_tcl", True),
        ("tarvik.tcl.TclInterpreter.cast_any", True),
        ("tarvik.utils.utils.get_time", True),  # served on first use
        ("tarvik.tcl.namespace.scriptify", False),  # imported, documented where it is made
        ("tarvik.tcl.history.get_time", False),
        ("tarvik.tcl.scriptify._Tcl_ScanElement", False),
        ("tarvik.tcl.history.History.__MAX_HISTORY__", False),
        ("tarvik.tcl.TclProcess.connect", True),
        ("tarvik.tcl.TclProcess.tk", True),  # declared by its annotation, set per instance
        ("tarvik.tcl._process.RemoteTk.createcommand", True),  # reached as TclProcess.tk
        ("tarvik.tcl._process.TclProcess", False),  # listed once, where the package exports it
        ("tarvik.tcl._process._Link", False),
    ],
)
def test_public_api(name, listed):
    api = docs.public_api()
    assert (name in api) == listed
    if listed:
        assert docs.resolve(name) is not None


def test_public_api_lists_each_name_once():
    api = docs.public_api()
    assert sorted(name for name in set(api) if api.count(name) > 1) == []


def test_an_instance_attribute_resolves_to_its_declared_type():
    from tarvik.tcl._process import RemoteTk

    assert docs.resolve("tarvik.tcl.TclProcess.tk") is RemoteTk


def test_modules_are_the_modules_not_the_default_interpreters_attributes():
    import sys
    import types

    for name in docs.NATIVE_MODULES + docs.HOST_MODULES:
        assert isinstance(docs.module(name), types.ModuleType)
        assert docs.module(name) is sys.modules[name]


def _native_reader():
    import importlib.util

    spec = importlib.util.spec_from_file_location("native", DOCS / "_ext" / "native.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    ("plain", "rst"),
    [
        ("Run tclcmd, *args and **kwargs.", r"Run tclcmd, \*args and \*\*kwargs."),
        ("With cast_=False, or [A-Za-z0-9_] names.", r"With cast\_=False, or [A-Za-z0-9\_] names."),
        ("'::__tarvik__{cls}_{id}_tmp' and a|b `x`",
         r"'::__tarvik_\_{cls}_{id}_tmp' and a\|b \`x\`"),
        ("Calls it:\n\n    tcl.z.set('x', 1)     # *set* x 1\n  more\n\nAfter.",
         "Calls it::\n\n    tcl.z.set('x', 1)     # *set* x 1\n  more\n\nAfter."),
        ("Like this:\n    >>> f(*a)\n    1", "Like this:\n    >>> f(*a)\n    1"),
        (":param cast_: off gives *str*", r":param cast_: off gives \*str\*"),
        (".. rubric:: Notes", ".. rubric:: Notes"),
    ],
    ids=["stars", "underscores", "template", "code-after-colon", "doctest", "field", "directive"],
)  # fmt: skip
def test_plain_docstrings_read_as_written(plain, rst):
    assert "\n".join(_native_reader().plain_to_rst(plain.split("\n"))) == rst
