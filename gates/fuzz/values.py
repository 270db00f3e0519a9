"""Arbitrary and hostile Python values for fuzzing.

Beyond ordinary nested data: objects whose conversion hooks, ``__str__``, iteration,
``__getitem__``, ``__len__``, ``__class__`` or attribute lookup raise or return nonsense;
containers that change while they are read; huge and negative integers; strings with lone
surrogates and Tcl's special characters; non-string keys; deep nesting and self-reference.
"""

from __future__ import annotations

import collections
import collections.abc
from typing import Any, Callable, Iterator

from hypothesis import strategies as st


class Boom(Exception):
    """What hostile objects raise; any exception but SystemError is an allowed outcome."""


def boom(*_: Any, **__: Any) -> Any:
    raise Boom("hostile")


class RaisingBool:
    """Truthy test of a hook value fails."""

    def __bool__(self) -> bool:
        raise Boom("bool")

    def __call__(self) -> str:
        return "called"


# What a conversion hook may be: callables returning odd results, a raising callable, something
# that is not callable at all, a value whose truth test raises, or a switched-off hook.
HOOKS: dict[str, Callable[[Any], Any]] = {
    "raises": lambda self: boom,
    "returns str": lambda self: lambda: "a {b",
    "returns int": lambda self: lambda: 7,
    "returns None": lambda self: lambda: None,
    "returns list": lambda self: lambda: [1, "x y", [self.__class__.__name__]],
    "returns bytes": lambda self: lambda: b"\xff{",
    "returns itself": lambda self: lambda: self,
    "not callable": lambda self: 1,
    "raising bool": lambda self: RaisingBool(),
    "switched off": lambda self: None,
}


class Hooked:
    """An object with __scriptify__ and/or __tclobj__ hooks of the given kinds."""

    def __init__(self, scriptify_kind: str | None, tclobj_kind: str | None) -> None:
        if scriptify_kind:
            self.__scriptify__ = HOOKS[scriptify_kind](self)
        if tclobj_kind:
            self.__tclobj__ = HOOKS[tclobj_kind](self)

    def __repr__(self) -> str:
        return f"Hooked({sorted(k for k in vars(self))})"


class BadStr:
    __str__ = boom
    __repr__ = lambda self: "BadStr()"  # noqa: E731


class NonStrStr:
    def __str__(self) -> Any:
        return 5

    __repr__ = lambda self: "NonStrStr()"  # noqa: E731


class BadClass:
    """isinstance() tests read __class__, which raises."""

    @property
    def __class__(self) -> type:  # type: ignore[override]
        raise Boom("__class__")

    __repr__ = lambda self: "BadClass()"  # noqa: E731


class BadGetattr:
    """Every attribute lookup, hooks included, raises something other than AttributeError."""

    def __getattr__(self, name: str) -> Any:
        raise Boom(name)

    __repr__ = lambda self: "BadGetattr()"  # noqa: E731


class EverythingCallable:
    """Every missing attribute, hooks included, is a callable returning this object's name."""

    def __getattr__(self, name: str) -> Any:
        return lambda *a, **k: name

    __repr__ = lambda self: "EverythingCallable()"  # noqa: E731


class BadSequence(collections.abc.Sequence):
    """A sequence whose protocol methods fail in the chosen way."""

    def __init__(self, items: list[Any], failure: str) -> None:
        self.items, self.failure = items, failure

    def __len__(self) -> int:
        if self.failure == "len raises":
            raise Boom("len")
        if self.failure == "len lies":
            return len(self.items) + 1000
        return len(self.items)

    def __getitem__(self, index: Any) -> Any:
        if self.failure == "getitem raises":
            raise Boom("getitem")
        return self.items[index]

    def __iter__(self) -> Iterator[Any]:
        if self.failure == "iter raises":
            raise Boom("iter")
        if self.failure == "iter fails midway":
            yield from self.items[: len(self.items) // 2]
            raise Boom("midway")
        if self.failure == "iter returns non-iterator":
            return 5  # type: ignore[return-value]
        yield from self.items

    def __repr__(self) -> str:
        return f"BadSequence({self.items!r}, {self.failure!r})"


SEQUENCE_FAILURES = ["len raises", "len lies", "getitem raises", "iter raises",
                     "iter fails midway", "iter returns non-iterator", "none"]  # fmt: skip


class BadMapping(collections.abc.Mapping):
    """A mapping whose keys lead to lookups that fail, or that lists keys it does not have."""

    def __init__(self, items: dict[Any, Any], failure: str) -> None:
        self.items, self.failure = items, failure

    def __len__(self) -> int:
        return len(self.items)

    def __iter__(self) -> Iterator[Any]:
        if self.failure == "phantom key":
            yield "not there"
        yield from self.items

    def __getitem__(self, key: Any) -> Any:
        if self.failure == "getitem raises":
            raise Boom("getitem")
        return self.items[key]

    def __repr__(self) -> str:
        return f"BadMapping({self.items!r}, {self.failure!r})"


class Mutator:
    """Changes the container it is in while that container is being converted."""

    def __init__(self, target: Any, change: str) -> None:
        self.target, self.change = target, change

    def _mutate(self) -> str:
        target = self.target
        if isinstance(target, list):
            if self.change == "clear":
                target.clear()
            else:
                target.extend(["grown"] * 3 if len(target) < 50 else [])
        elif isinstance(target, dict):
            if self.change == "clear":
                target.clear()
            else:
                target[f"k{len(target)}"] = "grown"
        return "mutated"

    def __scriptify__(self) -> str:
        return self._mutate()

    def __tclobj__(self) -> str:
        return self._mutate()

    def __str__(self) -> str:
        return self._mutate()

    def __repr__(self) -> str:
        return f"Mutator({self.change})"


class StrSub(str):
    def __str__(self) -> str:
        return "str-sub"


class IntSub(int):
    def __str__(self) -> str:
        return "int-sub"


class ListSub(list):
    pass


class DictSub(dict):
    pass


# Strings: Tcl's special characters, non-ASCII of every width, lone surrogates, NUL.
TCL_CHARS = list('{}[]$;"#\\ \n\t\r\x0b\x0c\x00') + ["é", "中", "\U0001f600", "\ud800", "\udfff"]
strings = st.one_of(
    st.text(st.sampled_from(TCL_CHARS + ["a", "b"]), max_size=16),
    st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=()),
            max_size=16),
    st.sampled_from(["USE_BRACES", "TCL_DONT_USE_BRACES", "BRACES_UNMATCHED", "", "::", "a::b"]),
)

integers = st.one_of(
    st.integers(),
    st.integers(min_value=0, max_value=4096).map(lambda bits: 2**bits),
    st.integers(min_value=0, max_value=4096).map(lambda bits: -(2**bits) - 1),
    st.sampled_from([2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64, -1, 0]),
)

scalars = st.one_of(
    st.none(), st.booleans(), integers, st.floats(), strings, st.binary(max_size=8),
    st.builds(bytearray, st.binary(max_size=8)), st.complex_numbers(),
    strings.map(StrSub), st.integers().map(IntSub),
    st.sampled_from([list, dict, int, collections.abc.Mapping, Ellipsis, NotImplemented]),
)  # fmt: skip

hostile_leaves = st.one_of(
    st.builds(Hooked, st.sampled_from([None, *HOOKS]), st.sampled_from([None, *HOOKS])),
    st.builds(BadStr), st.builds(NonStrStr), st.builds(BadClass), st.builds(BadGetattr),
    st.builds(EverythingCallable),
)  # fmt: skip

keys = st.one_of(strings, integers, st.none(), st.booleans(), st.floats(allow_nan=False),
                 st.tuples(strings, integers), st.frozensets(strings, max_size=3))  # fmt: skip


def _containers(inner: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    return st.one_of(
        st.lists(inner, max_size=5),
        st.lists(inner, max_size=5).map(tuple),
        st.lists(inner, max_size=5).map(ListSub),
        st.dictionaries(keys, inner, max_size=4),
        st.dictionaries(keys, inner, max_size=4).map(DictSub),
        st.dictionaries(strings, inner, max_size=4).map(collections.OrderedDict),
        st.frozensets(keys, max_size=4),
        st.sets(keys, max_size=4),
        st.builds(BadSequence, st.lists(inner, max_size=4), st.sampled_from(SEQUENCE_FAILURES)),
        st.builds(BadMapping, st.dictionaries(strings, inner, max_size=3),
                  st.sampled_from(["getitem raises", "phantom key", "none"])),
        st.lists(inner, max_size=4).map(iter),
    )


@st.composite
def deep(draw: st.DrawFn) -> Any:
    """Nesting far past any recursion limit, or just below it, in one kind of container."""
    depth = draw(st.sampled_from([10, 500, 999, 1500, 5000, 12_000, 30_000]))
    wrap = draw(st.sampled_from([lambda v: [v], lambda v: (v,), lambda v: {"k": v},
                                 lambda v: ListSub([v]), lambda v: BadSequence([v], "none")]))
    value: Any = draw(st.sampled_from(["leaf", None, 1]))
    for _ in range(depth):
        value = wrap(value)
    return value


@st.composite
def self_referencing(draw: st.DrawFn, inner: st.SearchStrategy[Any]) -> Any:
    """A list or dict that contains itself, directly or one level down."""
    items = draw(st.lists(inner, max_size=3))
    if draw(st.booleans()):
        container: Any = list(items)
        holder = [container] if draw(st.booleans()) else container
        container.append(holder)
    else:
        container = {i: item for i, item in enumerate(items)}
        container["self"] = container if draw(st.booleans()) else [container]
    return container


@st.composite
def mutating(draw: st.DrawFn, inner: st.SearchStrategy[Any]) -> Any:
    """A list or dict holding objects that change it while it is converted."""
    items = draw(st.lists(inner, max_size=3))
    change = draw(st.sampled_from(["clear", "grow"]))
    if draw(st.booleans()):
        target: Any = list(items)
        target.insert(draw(st.integers(0, len(target))), Mutator(target, change))
        target.append(Mutator(target, change))
    else:
        target = {f"i{i}": item for i, item in enumerate(items)}
        target["m"] = Mutator(target, change)
    return target


values: st.SearchStrategy[Any] = st.recursive(
    st.one_of(scalars, hostile_leaves), _containers, max_leaves=20
)
values = st.one_of(
    values, values, values, deep(), self_referencing(values), mutating(values)
)
