"""What the documentation must hold, shared by its build and the tests.

- ``examples(path)``: the Python examples of a reStructuredText or Markdown file, in order, so
  that the tests run every one of them against a real interpreter (``run_examples``);
- ``pages(index)``: the pages of the site in the order its toctrees give;
- ``public_api()``: every public module, class, function, method and attribute of the native
  modules and of the host layer, which the API reference must list;
- ``read_inventory(path)``: the objects a built site lists (its ``objects.inv``), read without
  Sphinx.
"""

from __future__ import annotations

import doctest
import importlib
import inspect
import pathlib
import re
import traceback
import types
import typing
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

PYTHON_LANGUAGES = {"python", "py", "python3", "pycon"}
PROMPT = ">>>"

NATIVE_MODULES = [f"tarvik.tcl.{name}" for name in
                  ("scriptify", "namespace", "fieldtree", "history", "z", "_host")]  # fmt: skip
HOST_MODULES = ["tarvik.tcl", "tarvik.datastructures", "tarvik.utils.utils"]
# Public names that a module serves from its __getattr__ on first use, so its namespace does
# not hold them yet.
LAZY_NAMES = {"tarvik.utils.utils": ["get_time"]}


@dataclass(frozen=True)
class Example:
    """One example of a page: ``source`` is doctest text when ``doctest`` is true, else code
    that runs as it is. ``line`` is its first line in the page (from 1)."""

    path: pathlib.Path
    line: int
    source: str
    doctest: bool


# ---------------------------------------------------------------------------------------------
# Reading examples


def _indent(line: str) -> int:
    return len(line) - len(line.lstrip())


def _dedented(lines: list[str]) -> str:
    width = min((_indent(line) for line in lines if line.strip()), default=0)
    return "\n".join(line[width:] for line in lines).strip("\n") + "\n"


def _indented_body(lines: list[str], start: int, indent: int) -> int:
    """The end of the block of lines from ``start`` that are blank or indented past ``indent``."""
    end = start
    while end < len(lines) and (not lines[end].strip() or _indent(lines[end]) > indent):
        end += 1
    return end


def _first_text_line(lines: list[str], start: int, end: int) -> int:
    return next((i for i in range(start, end) if lines[i].strip()), start)


def _example(path: pathlib.Path, lines: list[str], start: int, end: int) -> Example | None:
    first = _first_text_line(lines, start, end)
    body = lines[first:end]
    if not any(line.strip() for line in body):
        return None
    source = _dedented(body)
    return Example(path, first + 1, source, source.lstrip().startswith(PROMPT))


_DIRECTIVE = re.compile(r"\.\. (?:code-block|code|sourcecode)::\s*(\S*)\s*$")


def _rst_examples(path: pathlib.Path, lines: list[str]) -> Iterator[Example]:
    """Doctest blocks, Python code blocks, and literal blocks that hold a doctest session."""
    i = 0
    while i < len(lines):
        line, text = lines[i], lines[i].strip()
        directive = _DIRECTIVE.match(text)
        if directive or (text.endswith("::") and not text.startswith("..")):
            indent = _indent(line)
            start = i + 1
            while directive and start < len(lines) and lines[start].strip().startswith(":"):
                start += 1  # the directive's options
            end = _indented_body(lines, start, indent)
            found = _example(path, lines, start, end)
            language = directive.group(1).lower() if directive else ""
            if found and (found.doctest or language in PYTHON_LANGUAGES):
                yield found
            i = end
        elif text.startswith(PROMPT):
            end = i
            while end < len(lines) and lines[end].strip():
                end += 1
            found = _example(path, lines, i, end)
            if found:
                yield found
            i = end
        else:
            i += 1


_FENCE = re.compile(r"(\s*)(```+|~~~+)\s*([\w+-]*)")


def _markdown_examples(path: pathlib.Path, lines: list[str]) -> Iterator[Example]:
    """Fenced code blocks in a Python language, or holding a doctest session."""
    i = 0
    while i < len(lines):
        fence = _FENCE.match(lines[i])
        if not fence:
            i += 1
            continue
        marker, language = fence.group(2), fence.group(3).lower()
        end = i + 1
        while end < len(lines) and not lines[end].strip().startswith(marker):
            end += 1
        found = _example(path, lines, i + 1, end)
        if found and (found.doctest or language in PYTHON_LANGUAGES):
            yield found
        i = end + 1


def examples(path: str | pathlib.Path) -> Iterator[Example]:
    """The Python examples of a .rst or .md file, in the order they appear."""
    path = pathlib.Path(path)
    lines = path.read_text(encoding="utf-8").splitlines()
    reader = _markdown_examples if path.suffix.lower() in (".md", ".markdown") else _rst_examples
    return reader(path, lines)


_REQUIRES = re.compile(r"^(?:\.\.|<!--)\s*requires:\s*([\w ,.-]+?)\s*(?:-->)?\s*$")


def requirements(path: str | pathlib.Path) -> set[str]:
    """What a page's examples need beyond the package, from its ``.. requires: tclx`` comment
    (``<!-- requires: tclx -->`` in Markdown)."""
    found: set[str] = set()
    for line in pathlib.Path(path).read_text(encoding="utf-8").splitlines():
        match = _REQUIRES.match(line.strip())
        if match:
            found.update(word.strip().lower() for word in match.group(1).split(",") if word)
    return found


# ---------------------------------------------------------------------------------------------
# Running examples

OPTION_FLAGS = doctest.ELLIPSIS


def run_examples(found: list[Example], globs: dict[str, Any]) -> list[str]:
    """Run examples in order in one namespace; the reports of those that failed (doctest's own
    report of expected and actual output, or the traceback of a code block)."""
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=OPTION_FLAGS, verbose=False)
    reports: list[str] = []
    for example in found:
        name = f"{example.path.name}:{example.line}"
        if example.doctest:
            test = parser.get_doctest(example.source, globs, name, str(example.path),
                                      example.line - 1)  # fmt: skip
            test.globs = globs  # DocTest works on a copy; the page shares one namespace
            output: list[str] = []
            result = runner.run(test, out=output.append, clear_globs=False)
            if result.failed:
                reports.append("".join(output))
        else:
            code = compile("\n" * (example.line - 1) + example.source, str(example.path), "exec")
            try:
                exec(code, globs)
            except Exception:
                reports.append(f"code block at {name} raised:\n{traceback.format_exc()}")
    return reports


def close_namespace(globs: dict[str, Any]) -> None:
    """Drop a page's names newest first, as a reader's objects go before the interpreter they
    were made from (a temporary command finalised after its interpreter would complain)."""
    for name in reversed(list(globs)):
        del globs[name]


def docstring_examples(obj: Any, path: str) -> list[Example]:
    """The doctest sessions of an object's docstring, as examples."""
    text = inspect.getdoc(obj) or ""
    if PROMPT not in text:
        return []
    return [Example(pathlib.Path(path), 1, text, True)]


# ---------------------------------------------------------------------------------------------
# The site's pages


_TOCTREE = re.compile(r"\s*\.\. toctree::\s*$")


def _toctree_entries(lines: list[str]) -> Iterator[str]:
    for i, line in enumerate(lines):
        if not _TOCTREE.match(line):
            continue
        end = _indented_body(lines, i + 1, _indent(line))
        for entry in lines[i + 1 : end]:
            entry = entry.strip()
            if entry and not entry.startswith(":"):
                # "Title <page>" names the page in angle brackets
                target = re.search(r"<([^>]+)>$", entry)
                yield target.group(1) if target else entry


def pages(index: str | pathlib.Path) -> list[pathlib.Path]:
    """The index and every page its toctrees reach, depth first, in toctree order."""
    index = pathlib.Path(index)
    root = index.parent
    ordered: list[pathlib.Path] = []

    def visit(page: pathlib.Path) -> None:
        if page in ordered:
            return
        ordered.append(page)
        for entry in _toctree_entries(page.read_text(encoding="utf-8").splitlines()):
            base = root if entry.startswith("/") else page.parent
            name = entry.lstrip("/")
            for suffix in (".rst", ".md"):
                candidate = (base / name).with_suffix(suffix)
                if candidate.exists():
                    visit(candidate)
                    break
            else:
                raise FileNotFoundError(f"{page}: toctree entry {entry!r} names no page")

    visit(index)
    return ordered


# ---------------------------------------------------------------------------------------------
# The public API


def module(name: str) -> types.ModuleType:
    """A module by its full name. ``tarvik.tcl.z`` and ``tarvik.tcl.history`` are attributes of
    the package that belong to the default interpreter, so ``import tarvik.tcl.z as z`` would
    give that interpreter's quick calls: this goes through sys.modules instead."""
    return importlib.import_module(name)


def _is_public(name: str) -> bool:
    return not name.startswith("_")


def _documentable(attr: Any) -> bool:
    return inspect.isroutine(attr) or isinstance(
        attr, (property, staticmethod, classmethod, type, types.MemberDescriptorType,
               types.GetSetDescriptorType))  # fmt: skip


def _class_names(cls: type, prefix: str) -> Iterator[str]:
    for name, attr in vars(cls).items():
        if not _is_public(name) or not _documentable(attr):
            continue
        yield f"{prefix}.{name}"
        if isinstance(attr, type) and attr.__qualname__ == f"{cls.__qualname__}.{name}":
            yield from _class_names(attr, f"{prefix}.{name}")
    # An attribute declared only by its annotation (``tk: RemoteTk``) is set on each instance.
    for name in inspect.get_annotations(cls):
        if _is_public(name) and name not in vars(cls):
            yield f"{prefix}.{name}"


def _module_names(mod: types.ModuleType, classes: dict[type, str]) -> Iterator[str]:
    """The module's public names; its public classes go into ``classes`` with their names."""
    names = getattr(mod, "__all__", None)
    if names is None:
        names = [n for n, attr in vars(mod).items()
                 if _is_public(n) and getattr(attr, "__module__", None) == mod.__name__]  # fmt: skip
    for name in [*names, *LAZY_NAMES.get(mod.__name__, [])]:
        attr = getattr(mod, name)
        yield f"{mod.__name__}.{name}"
        if isinstance(attr, type):
            classes.setdefault(attr, f"{mod.__name__}.{name}")
            yield from _class_names(attr, f"{mod.__name__}.{name}")


def _held_classes(cls: type) -> Iterator[type]:
    """The package's classes that the public annotated attributes of a class hold."""
    try:
        hints = typing.get_type_hints(cls)
    except (NameError, TypeError):  # an annotation that does not resolve names nothing
        return
    for name, hint in hints.items():
        if _is_public(name) and isinstance(hint, type) and hint.__module__.startswith("tarvik."):
            yield hint


def public_api() -> list[str]:
    """The full names of every public module, class, function, method and attribute.

    A class that no module exports but that users reach as an annotated attribute of a public
    class (the ``tk`` of a host) is public too, under the name of the module that defines it."""
    found: list[str] = []
    classes: dict[type, str] = {}
    for name in [*NATIVE_MODULES, *HOST_MODULES]:
        found.append(name)
        found.extend(_module_names(module(name), classes))
    for cls in list(classes):
        for held in _held_classes(cls):
            if held not in classes:
                classes[held] = f"{held.__module__}.{held.__qualname__}"
                found.append(classes[held])
                found.extend(_class_names(held, classes[held]))
    return found


def owning_module(full_name: str) -> str:
    """The documented module that a name that ``public_api`` gives belongs to."""
    for name in sorted(NATIVE_MODULES + HOST_MODULES, key=len, reverse=True):
        if full_name == name or full_name.startswith(name + "."):
            return name
    raise LookupError(f"{full_name} is in none of the documented modules")


def resolve(full_name: str) -> Any:
    """The object of a name that ``public_api`` gives; for an attribute that only instances
    hold, the type its class declares for it."""
    name = owning_module(full_name)
    obj: Any = module(name)
    for part in full_name[len(name) + 1 :].split(".") if full_name != name else []:
        if isinstance(obj, type) and not hasattr(obj, part) and part in inspect.get_annotations(obj):
            obj = typing.get_type_hints(obj)[part]
        else:
            obj = getattr(obj, part)
    return obj


def read_inventory(path: str | pathlib.Path) -> dict[str, str]:
    """The objects listed in a Sphinx ``objects.inv`` (version 2): full name to role."""
    data = pathlib.Path(path).read_bytes()
    header_end = 0
    for _ in range(4):  # four header lines, then the zlib-compressed entries
        header_end = data.index(b"\n", header_end) + 1
    if not data.startswith(b"# Sphinx inventory version 2"):
        raise ValueError(f"{path}: not a version 2 Sphinx inventory")
    objects: dict[str, str] = {}
    for line in zlib.decompress(data[header_end:]).decode("utf-8").splitlines():
        match = re.match(r"(.+?)\s+(\S+:\S+)\s+(-?\d+)\s+(\S*)\s+(.*)", line)
        if match:
            objects.setdefault(match.group(1), match.group(2))
    return objects
