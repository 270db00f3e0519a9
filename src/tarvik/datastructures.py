"""Mappings used across tarvik."""

from __future__ import annotations

from typing import Any


class AttrDict(dict):
    """A dict whose entries can also be read, written and deleted as attributes.

    ``d.name`` is ``d['name']``; a missing entry raises ``AttributeError`` so that ``getattr``
    with a default and ``hasattr`` behave as for any object.
    """

    __slots__ = ()

    def __getattr__(self, name: str) -> Any:
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name: str, value: Any) -> None:
        self[name] = value

    def __delattr__(self, name: str) -> None:
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None

    def copy(self) -> AttrDict:
        """A shallow copy of the same class."""
        return type(self)(self)
