"""Words as ``_tkinter`` would hand them to Tcl, for a Tcl in another process: the strings that
Python values become, and the canonical Tcl list of a command's words."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from tarvik.tcl._host import words_text as _str_words_text
from tarvik.tcl._tkinter_names import TclError
from tarvik.tcl.scriptify import scriptify as _quote


def _double(value: float) -> str:
    """A float as Tcl writes a double: the shortest digits that read back, "1e-5", "Inf"."""
    text = repr(value)
    if text[-1] in "fn":  # inf, -inf, nan
        return {"inf": "Inf", "-inf": "-Inf"}.get(text, "NaN")
    if "e" not in text:
        return text
    mantissa, _, exponent = text.partition("e")
    power = int(exponent)
    if power == 16:  # Tcl writes this one in fixed notation, Python does not
        sign = "-" if mantissa.startswith("-") else ""
        digits = mantissa.lstrip("-").replace(".", "")
        return f"{sign}{digits.ljust(17, '0')}.0"
    return f"{mantissa}e{'+' if power > 0 else '-'}{abs(power)}"


def _atom(value: Any) -> str:
    """A word that is not a list, as its Tcl string."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return int.__repr__(value)
    if isinstance(value, float):
        return _double(value)
    if isinstance(value, bytes):
        return value.decode("latin-1")
    return str(value)


def _word(value: Any) -> str:
    """One word as its Tcl string: what _tkinter would make of it."""
    if isinstance(value, (tuple, list)):
        return _list_text(value)
    return _atom(value)


def _list_text(items: Sequence[Any]) -> str:
    """A tuple or list, nested to any depth, as a Tcl list: innermost first, with a stack of our
    own rather than Python's, so that depth is bounded by memory alone. A list that holds itself
    raises RecursionError."""
    stack: list[tuple[Any, list[str]]] = [(iter(items), [])]
    open_ids = {id(items)}
    containers = [items]
    while True:
        iterator, done = stack[-1]
        for item in iterator:
            if isinstance(item, (tuple, list)):
                if id(item) in open_ids:
                    raise RecursionError("a list that contains itself cannot be a Tcl word")
                open_ids.add(id(item))
                containers.append(item)
                stack.append((iter(item), []))
                break
            done.append(_atom(item))
        else:
            text = _quote(tuple(done))
            stack.pop()
            open_ids.discard(id(containers.pop()))
            if not stack:
                return text
            stack[-1][1].append(text)


def _words_text(words: Sequence[Any]) -> str:
    """A canonical Tcl list whose elements are exactly the words."""
    text = _str_words_text(words)
    if text is None:
        return _quote(tuple(map(_word, words)))
    return text


# Tcl_GetBoolean's words: any unique prefix of these, in any case ("o" alone is ambiguous).
_BOOLEAN_WORDS = {"yes": True, "no": False, "true": True, "false": False, "on": True, "off": False}


def _tcl_boolean(text: str) -> bool:
    """A string read as a boolean by Tcl's rules; TclError as Tcl words it otherwise."""
    if text in ("1", "0"):
        return text == "1"
    if "\0" in text:
        raise ValueError("embedded null character")
    lowered = text.lower()
    found = {v for word, v in _BOOLEAN_WORDS.items() if lowered and word.startswith(lowered)}
    if len(found) == 1 and lowered not in ("o",):
        return found.pop()
    raise TclError(f'expected boolean value but got "{text}"')
