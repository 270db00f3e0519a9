"""How autodoc reads the native modules.

Their functions are of the package's own native function type, which autodoc does not know: as
a descriptor that is neither a Python function nor a builtin it would be shown as an attribute,
without its signature. Here it counts as a routine, like a builtin method.

Their docstrings are plain text, as ``help()`` shows them, not reStructuredText: ``*args`` is
not emphasis, ``cast_`` is not a link, and an indented block after a colon is code. They are
read so before autodoc renders them. Doctest sessions and napoleon's sections ("Args:",
"Notes:") keep their meaning; the docstrings of the Python host layer are reStructuredText
already and are left alone.
"""

from __future__ import annotations

import re
from typing import Any

from gates.docs import NATIVE_MODULES

NATIVE_FUNCTION_TYPE = "native_function"

# Inline markup characters of reStructuredText, and a trailing underscore (a link) or a
# double one (an anonymous link) after a word.
_MARKUP = re.compile(r"([*`|\\])|(?<=\w)(_)(?![\w])")
_FIELD = re.compile(r"^(\s*:[^:]+:)(.*)$")


def _escape(text: str) -> str:
    return _MARKUP.sub(lambda m: "\\" + (m.group(1) or m.group(2)), text)


def _escape_line(line: str) -> str:
    field = _FIELD.match(line)  # napoleon's ":param name:" fields: only their text
    if field:
        return field.group(1) + _escape(field.group(2))
    return _escape(line)


def _indent(line: str) -> int:
    return len(line) - len(line.lstrip())


def plain_to_rst(lines: list[str]) -> list[str]:
    """Plain-text docstring lines as reStructuredText that renders them as written."""
    out: list[str] = []
    i = 0
    while i < len(lines):
        line = lines[i]
        text = line.strip()
        if text.startswith(">>>"):  # a doctest session runs to the next blank line
            while i < len(lines) and lines[i].strip():
                out.append(lines[i])
                i += 1
            continue
        following = next((j for j in range(i + 1, len(lines)) if lines[j].strip()), None)
        code_follows = (
            text.endswith(":")
            and not text.startswith((":", ".."))
            and following is not None
            and _indent(lines[following]) > _indent(line)
            and not lines[following].strip().startswith(">>>")
        )
        if not code_follows:
            out.append(_escape_line(line))
            i += 1
            continue
        # "text:" and an indented block: the block is code, shown as written.
        out.extend([_escape_line(line) + (":" if not text.endswith("::") else ""), ""])
        end = following
        while end < len(lines) and (not lines[end].strip() or _indent(lines[end]) > _indent(line)):
            end += 1
        out.extend(lines[following:end])
        i = end
    return out


def _is_native(name: str, obj: Any) -> bool:
    owner = getattr(obj, "__module__", None) or ""
    return owner in NATIVE_MODULES or any(name.startswith(m + ".") for m in NATIVE_MODULES)


def _process(app: Any, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    if _is_native(name, obj):
        lines[:] = plain_to_rst(lines)


def _signature(app: Any, what: str, name: str, obj: Any, options: Any, signature: Any,
               return_annotation: Any) -> tuple[Any, Any] | None:
    # A default that the function works out itself is "..." in its text signature, which
    # inspect renders as Ellipsis.
    if signature and _is_native(name, obj):
        return signature.replace("=Ellipsis", "=..."), return_annotation
    return None


def _routine_aware(isattributedescriptor: Any) -> Any:
    def check(obj: Any) -> bool:
        if type(obj).__name__ == NATIVE_FUNCTION_TYPE:
            return False
        return bool(isattributedescriptor(obj))

    return check


def setup(app: Any) -> dict[str, Any]:
    # Imported here so that the docstring reader above serves the tests without Sphinx.
    from sphinx.util import inspect as sphinx_inspect

    sphinx_inspect.isattributedescriptor = _routine_aware(sphinx_inspect.isattributedescriptor)
    # After napoleon (priority 500) has turned its sections into fields.
    app.connect("autodoc-process-docstring", _process, priority=600)
    app.connect("autodoc-process-signature", _signature)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
