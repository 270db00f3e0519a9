"""The documentation cannot drift from the code: every example of every page runs against a real
interpreter, and the built API reference lists every public name."""

from __future__ import annotations

import os
import pathlib

import pytest

from gates import docs

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
PAGES = docs.pages(DOCS / "index.rst")
INVENTORY = DOCS / "_build" / "html" / "objects.inv"


def _tclx_loads() -> bool:
    from tarvik.tcl import TclInterpreter

    return TclInterpreter().tclx


def _page_id(page: pathlib.Path) -> str:
    return page.relative_to(DOCS).with_suffix("").as_posix()


def test_every_page_is_reached_from_the_index():
    on_disk = {p for p in DOCS.rglob("*.rst") if "_build" not in p.parts}
    assert on_disk == set(PAGES)


@pytest.mark.parametrize("page", PAGES, ids=_page_id)
def test_page_examples(page: pathlib.Path):
    """One fresh namespace per page; its examples run in order, as a reader would type them."""
    if "tclx" in docs.requirements(page) and not _tclx_loads():
        if os.environ.get("TARVIK_REQUIRE_TCLX") == "1":
            pytest.fail("TclX is required (TARVIK_REQUIRE_TCLX=1) but cannot be loaded")
        pytest.skip("the page's examples need TclX")
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
    """The API reference shows the docstrings, with their sessions: those run too."""
    module = docs.module(name)
    in_module = [public for public in docs.public_api()
                 if public == name or docs.owning_module(public) == name]  # fmt: skip
    found = [ex for public in in_module
             for ex in docs.docstring_examples(docs.resolve(public), public)]  # fmt: skip
    failures = docs.run_examples(found, dict(vars(module)))
    assert not failures, "\n".join(failures)


def test_api_reference_lists_every_public_name():
    if not INVENTORY.exists():
        if os.environ.get("TARVIK_REQUIRE_DOCS") == "1":
            pytest.fail("the documentation is required (TARVIK_REQUIRE_DOCS=1) but not built")
        pytest.skip("the documentation is not built (make docs)")
    listed = docs.read_inventory(INVENTORY)
    missing = [name for name in docs.public_api() if name not in listed]
    assert not missing, f"not in the API reference (rebuild with make docs?): {missing}"
