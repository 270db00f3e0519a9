"""Tcl value formatting: quoting judged by Tcl itself, conversion rules, hooks and bad input."""

from __future__ import annotations

import collections
import inspect
import itertools
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tarvik.tcl import _tkinter_names
from tarvik.tcl import scriptify as module
from tarvik.tcl.scriptify import (
    _Tcl_ConvertElement,
    _Tcl_ScanElement,
    _tcl_UpdateStringOfList,
    scriptify,
    tclobj,
)

BS = "\\"
DONT = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}

# Characters that matter to Tcl's parser, plus some that must pass through untouched.
TCL_ALPHABET = st.sampled_from(list('{}[]$;"#\\ \n\t\r\x0b\x0cab') + ["é", "中", "\U0001f600"])
tcl_strings = st.text(TCL_ALPHABET, max_size=12)
# Backslash runs next to braces, where an escape decides how the braces pair up.
ESCAPE_PIECES = st.sampled_from(
    ["\\", "{", "}", "\\{", "\\}", "\\\\", " ", "\n", "a", "$", "]", "中", "\U0001f600"]
)
escape_strings = st.lists(ESCAPE_PIECES, max_size=10).map("".join)
quoting_strings = tcl_strings | escape_strings


def tcl_list_text(tk, *items):
    """The text that Tcl's own ``list`` command writes for ``items`` (nested tuples stay lists)."""
    return tk.call("format", "%s", tk.call("list", *items))


@pytest.mark.parametrize(
    "items, expected",
    [
        ([], ""),
        ([""], "{}"),
        (["a", "b"], "a b"),
        (["a b"], "{a b}"),
        (["x;y"], "{x;y}"),
        (["a$b"], "{a$b}"),
        (["a\nb"], "{a\nb}"),
        (['"x'], '{"x}'),
        (['x"'], 'x\\"'),
        (["a]"], "a\\]"),
        (["{}"], "{{}}"),
        (["a{b}c"], "a{b}c"),
        (["a}b"], "a\\}b"),
        (["{a"], "\\{a"),
        (["a" + BS], "a" + BS * 2),
        (["a" + BS + "\nb"], "a" + BS * 2 + BS + "nb"),
        (["a" + BS + "tb"], "{a" + BS + "tb}"),
        (["a" + BS + "{b"], "{a" + BS + "{b}"),
        (["} x"], "\\}\\ x"),
        (["a" + BS + "\n b"], "a" + BS * 2 + BS + "n" + BS + " b"),
        (["#a", "b#"], "#a b#"),
        ([1, 2, [3, 4]], "1 2 {3 4}"),
        ([None, True], "{} true"),
    ],
)
def test_list_quoting(items, expected):
    assert _tcl_UpdateStringOfList(items) == expected


@pytest.mark.parametrize(
    "element, expected",
    [
        # An escaped brace does not count for Tcl's brace matching: where the others do not pair
        # up, braces would not read back.
        ("{" + BS + "}", "\\{" + BS * 2 + "\\}"),
        (BS + "{}", BS * 2 + "\\{\\}"),
        # Where they do, braces hold the element as they are.
        (BS + "}", "{" + BS + "}}"),
        ("{" + BS + "}}", "{{" + BS + "}}}"),
        ("a" + BS + "{b", "{a" + BS + "{b}"),
        ("{" + BS + "{}", "{{" + BS + "{}}"),
        # An escaped backslash does not escape the brace after it.
        ("{" + BS * 2 + "}", "{{" + BS * 2 + "}}"),
        (BS * 2 + "{", BS * 4 + "\\{"),
        (BS * 3 + "{", "{" + BS * 3 + "{}"),
        (BS * 3 + "{}", BS * 6 + "\\{\\}"),
        # Nor the closing brace, nor a newline after it.
        ("a" + BS * 2, "{a" + BS * 2 + "}"),
        ("{" + BS * 2 + "}" + BS * 2, "{{" + BS * 2 + "}" + BS * 2 + "}"),
        ("a" + BS * 2 + "\nb", "{a" + BS * 2 + "\nb}"),
        ("a" + BS * 3, "a" + BS * 6),
        ("a" + BS * 3 + "\nb", "a" + BS * 6 + "\\nb"),
        ("{" + BS + "}" + BS, "\\{" + BS * 2 + "\\}" + BS * 2),
    ],
)
def test_escaped_braces_and_backslashes_read_back_as_tcl_writes_them(element, expected, tk):
    text = scriptify([element])
    assert text == expected
    assert tk.splitlist(text) == (element,)
    assert text == tcl_list_text(tk, element)


@pytest.mark.parametrize(
    "element, size, flags",
    [
        ("", 2, {"USE_BRACES"}),
        ("abc", 8, set()),
        ("a b", 8, {"USE_BRACES"}),
        ("} x", 8, DONT),
        ("a" + BS + "\n b", 12, DONT | {"USE_BRACES"}),
        ("{" + BS + "}", 8, DONT),
        (BS + "{}", 8, DONT),
        ("{" + BS + "}}", 10, {"USE_BRACES"}),
        ("a" + BS + "{b", 10, {"USE_BRACES"}),
        ("a" + BS * 2, 8, {"USE_BRACES"}),
        ("a" + BS * 2 + "\n", 10, {"USE_BRACES"}),
        ("a" + BS * 3, 10, DONT),
        (BS + "\n" + BS + "{", 10, DONT | {"USE_BRACES"}),
        (BS * 2 + "{", 8, DONT),
    ],
)
def test_scan_element(element, size, flags):
    assert _Tcl_ScanElement(element) == (size, flags)


def test_convert_element_follows_the_flags_it_is_given():
    assert _Tcl_ConvertElement("{a b}", {"USE_BRACES"}) == "{{a b}}"
    flags = {"USE_BRACES", "TCL_DONT_USE_BRACES"}
    assert _Tcl_ConvertElement("{a b}", flags) == "\\{a\\ b\\}"
    assert "BRACES_UNMATCHED" in flags
    assert _Tcl_ConvertElement("", set()) == "{}"
    with pytest.raises(AttributeError):
        _Tcl_ConvertElement("{a", frozenset())


@given(st.lists(quoting_strings, max_size=8))
def test_tcl_reads_back_every_list(interp, items):
    text = scriptify(items)
    assert interp.tk.splitlist(text) == tuple(items)
    for item in items:
        size, flags = _Tcl_ScanElement(item)
        assert _Tcl_ConvertElement(item, flags) == _tcl_UpdateStringOfList([item])


@given(st.lists(quoting_strings, min_size=1, max_size=6))
def test_evaluated_lists_substitute_nothing(interp, items):
    tk = interp.tk
    tk.eval("set ::trap 0; proc ::unknown args {incr ::trap; return {}}")
    try:
        result = tk.eval("list " + scriptify(items))
        assert tk.splitlist(result) == tuple(items)
        assert tk.getvar("::trap") in (0, "0")
    finally:
        tk.eval("rename ::unknown {}")


nested = st.recursive(
    quoting_strings,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(quoting_strings, inner, max_size=3),
    max_leaves=12,
)


def read_back(tk, value, text):
    """Assert that Tcl reads ``text`` as the nested structure ``value``."""
    if isinstance(value, str):
        assert text == value
        return
    items = [x for pair in value.items() for x in pair] if isinstance(value, dict) else value
    parts = tk.splitlist(text)
    assert len(parts) == len(items)
    for item, part in zip(items, parts):
        read_back(tk, item, scriptify(item) if isinstance(item, str) else part)
        if isinstance(item, str):
            assert part == item


@given(st.lists(nested, max_size=4))
def test_nested_lists_and_mappings_read_back(interp, value):
    read_back(interp.tk, value, scriptify(value))
    assert interp.tk.call("llength", tclobj(value)) == len(value)


@given(quoting_strings)
def test_flags_describe_the_form_written(item):
    size, flags = _Tcl_ScanElement(item)
    text = _Tcl_ConvertElement(item, set(flags))
    assert ("TCL_DONT_USE_BRACES" in flags) == ("BRACES_UNMATCHED" in flags)
    if "USE_BRACES" in flags and "TCL_DONT_USE_BRACES" not in flags:
        assert text == "{" + item + "}"
    elif item:
        assert unbackslash(text) == item
    assert len(text) <= size


def unbackslash(text):
    """Undo backslash mode: each backslash stands before the character it protects."""
    letters = {"f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v"}
    out, chars = [], iter(text)
    for c in chars:
        if c == BS:
            c = next(chars)
            c = letters.get(c, c)
        out.append(c)
    return "".join(out)


def backslash_free_quoting(item):
    """The scan flags and written form for an element without backslashes, as they always were."""
    flags = {"USE_BRACES"} if item[:1] in ("", "{", '"') else set()
    level = 0
    for c in item:
        level += (c == "{") - (c == "}")
        if level < 0:
            flags |= DONT
        if c in "[$; \f\n\r\t\v":
            flags.add("USE_BRACES")
    if level:
        flags = set(DONT)
    if not item:
        return flags, "{}"
    if "USE_BRACES" in flags and "TCL_DONT_USE_BRACES" not in flags:
        return flags, "{" + item + "}"
    all_braces = "BRACES_UNMATCHED" in flags or item[0] == "{"
    letters = {"\f": "f", "\n": "n", "\r": "r", "\t": "t", "\v": "v"}
    out = []
    for c in item:
        if c in letters:
            out.append(BS + letters[c])
        elif c in '][$; "' or (all_braces and c in "{}"):
            out.append(BS + c)
        else:
            out.append(c)
    return flags, "".join(out)


@given(st.lists(st.text(st.sampled_from(list('{}[]$;"# \n\t\r\x0b\x0cab') + ["é", "中"]), max_size=12)))
def test_elements_without_backslashes_keep_their_form(items):
    expected = [backslash_free_quoting(item) for item in items]
    assert scriptify(items) == " ".join(text for _, text in expected)
    for item, (flags, _) in zip(items, expected):
        assert _Tcl_ScanElement(item)[1] == flags


def as_tuples(value):
    """``value`` with its lists as tuples, which ``_tkinter`` hands to Tcl as list objects."""
    return tuple(as_tuples(x) for x in value) if isinstance(value, list) else value


def depth(value):
    return 1 + max(map(depth, value), default=0) if isinstance(value, list) else 0


nested_lists = st.recursive(quoting_strings, lambda inner: st.lists(inner, max_size=3), max_leaves=10)


@given(st.lists(nested_lists, max_size=3))
def test_nested_lists_stay_as_short_as_tcl_writes_them(interp, value):
    text = scriptify(value)
    assert len(text) <= 1.2 * len(tcl_list_text(interp.tk, *as_tuples(value))) + 2 * depth(value)


@pytest.mark.parametrize("length", range(6))
def test_every_short_string_of_escapes_and_braces_reads_back_nested(tk, length):
    for chars in itertools.product(BS + "{} \na", repeat=length):
        item = "".join(chars)
        text = scriptify([[item, "q r"], "z"])
        inner, last = tk.splitlist(text)
        assert (tk.splitlist(inner), last) == ((item, "q r"), "z")
        assert len(text) <= len(scriptify([item, "q r"])) + 4


@pytest.mark.parametrize("levels", [10, 18, 40, 300])
@pytest.mark.parametrize("leaf", ["{x", "p" + BS + "{q", "a" + BS, BS + "}", "a" + BS + "\nb", "}{", BS * 3 + "{"])
def test_deeply_nested_escapes_grow_by_two_characters_a_level(tk, leaf, levels):
    value = [leaf, "a b"]
    for _ in range(levels):
        value = [value, "a b"]
    text = scriptify(value)
    assert len(text) <= len(tcl_list_text(tk, *as_tuples(value))) + 2 * levels
    assert len(text) <= len(scriptify([leaf, "a b"])) + 8 * levels
    for _ in range(levels):
        text, last = tk.splitlist(text)
        assert last == "a b"
    assert tk.splitlist(text) == (leaf, "a b")


@pytest.mark.parametrize(
    "value, expected",
    [
        ("a b", "a b"),
        (["a b"], "{a b}"),
        (None, ""),
        ([None], "{}"),
        (True, "true"),
        (False, "false"),
        (0, "0"),
        (1.5, "1.5"),
        ([True, 0], "true 0"),
        ([], ""),
        ((), ""),
        ({}, ""),
        (set(), ""),
        ([[]], "{}"),
        ([1, [2, [3, 4]]], "1 {2 {3 4}}"),
        ({"my key": "my value", "a": "b"}, "{my key} {my value} a b"),
        (b"hi", "104 105"),
        (range(3), "0 1 2"),
        ({"a": 1}.keys(), "a"),
        (frozenset(["x"]), "x"),
        (collections.OrderedDict(a=[1, 2]), "a {1 2}"),
        (2**70, str(2**70)),
    ],
)
def test_scriptify_values(value, expected):
    assert scriptify(value) == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, ""),
        ([], ()),
        ({}, ()),
        ([1, [2, "a b"]], (1, (2, "a b"))),
        ({"k": [1, 2]}, ("k", (1, 2))),
        (2**63, str(2**63)),
        (-(2**63) - 1, str(-(2**63) - 1)),
        ({1, 2} & {2}, (2,)),
    ],
)
def test_tclobj_values(value, expected):
    assert tclobj(value) == expected


@pytest.mark.parametrize("value", [b"x", 1.5, True, "s", sys.maxsize, -sys.maxsize - 1])
def test_tclobj_passes_values_through(value):
    assert tclobj(value) is value


class Hooked:
    def __init__(self, scriptified=None, tclobjed=None):
        if scriptified is not None:
            self.__scriptify__ = lambda: scriptified
        if tclobjed is not None:
            self.__tclobj__ = lambda: tclobjed


class ScriptifiedList(list):
    def __scriptify__(self):
        return "x y"


class SwitchedOff(list):
    __scriptify__ = None


class LoudStr(str):
    def __str__(self):
        return "loud"


class IntSub(int):
    pass


def test_hooks_come_first_and_can_be_switched_off(tk):
    obj = Hooked(tclobjed=[1, "a b"])
    assert scriptify(obj) == "1 {a b}"
    assert tclobj(obj) is obj.__tclobj__()
    only = Hooked(scriptified="x y")
    assert scriptify(only) == tclobj(only) == "x y"
    assert scriptify(ScriptifiedList([1])) == "x y"
    assert tclobj(ScriptifiedList([1, 2])) == (1, 2)
    assert scriptify(SwitchedOff([1, "a b"])) == "1 {a b}"
    assert scriptify([Hooked(scriptified="p q")]) == "{p q}"
    assert scriptify(LoudStr("quiet")) == "loud"
    assert tclobj(LoudStr("quiet")) == "quiet"
    assert tclobj(IntSub(5)) == "5"
    tk.eval("set ::p ::set; $::p ::x 1")
    tcl_obj = tk.getvar("::p")  # a command-name object, which _tkinter leaves as a Tcl_Obj
    assert scriptify(tcl_obj) == "::set"
    assert tclobj(tcl_obj) is tcl_obj
    assert scriptify([tcl_obj, "a b"]) == "::set {a b}"


class Boom(Exception):
    pass


def raise_boom(*_):
    raise Boom()


class BadStr:
    __str__ = raise_boom


class BadIter(collections.abc.Sequence):
    __len__ = lambda self: 1  # noqa: E731
    __getitem__ = raise_boom
    __iter__ = raise_boom


class BadMapping(collections.abc.Mapping):
    __len__ = lambda self: 1  # noqa: E731
    __iter__ = lambda self: iter(["k"])  # noqa: E731
    __getitem__ = raise_boom


@pytest.mark.parametrize("function", [scriptify, tclobj])
@pytest.mark.parametrize(
    "value",
    [
        Hooked(scriptified=None, tclobjed=None),
        [BadStr()],
        BadIter(),
        BadMapping(),
        {"k": BadStr()},
    ],
    ids=["hook", "str", "iter", "getitem", "mapping-value"],
)
def test_errors_pass_through_unchanged(function, value):
    if isinstance(value, Hooked):
        value.__tclobj__ = raise_boom
        value.__scriptify__ = raise_boom
    with pytest.raises(Boom):
        function(value)


@pytest.mark.parametrize("function", [scriptify, tclobj, _tcl_UpdateStringOfList])
def test_self_reference_and_deep_nesting_raise_recursion_error(function):
    loop: list = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        function(loop)
    deep: list = []
    for _ in range(200_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        function(deep)
    mapping: dict = {}
    mapping["self"] = mapping
    with pytest.raises(RecursionError):
        function([mapping])


def test_hook_returning_itself_raises_recursion_error():
    class Loop:
        def __tclobj__(self):
            return self

    with pytest.raises(RecursionError):
        scriptify(Loop())


@pytest.mark.parametrize(
    "function, args",
    [
        (scriptify, ()),
        (scriptify, (1, 2)),
        (tclobj, ()),
        (_Tcl_ScanElement, ("a", "b")),
        (_Tcl_ConvertElement, ("a",)),
        (_tcl_UpdateStringOfList, ()),
    ],
)
def test_wrong_argument_counts_raise_type_error(function, args):
    with pytest.raises(TypeError, match="positional argument"):
        function(*args)


def test_keyword_arguments_and_their_errors():
    assert scriptify(obj=[1, "a b"]) == "1 {a b}"
    assert _tcl_UpdateStringOfList(listObj=["a b"]) == "{a b}"
    assert _Tcl_ConvertElement(src="a b", flags={"USE_BRACES"}) == "{a b}"
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        scriptify(x=1)
    with pytest.raises(TypeError, match="multiple values for argument 'obj'"):
        scriptify(1, obj=1)


def test_module_layout():
    names = [n for n in vars(module) if not n.startswith("__")]
    expected = [
        "Mapping", "Sequence", "Set", "_tkTcl_Obj", "sys", "unicode", "_Tcl_ScanElement",
        "_Tcl_ConvertElement", "_tcl_UpdateStringOfList", "_scriptify_from_sequence",
        "_scriptify_from_mapping", "scriptify", "_sysmaxsize", "_long_type",
        "_tclobj_from_sequence", "_tclobj_from_mapping", "tclobj",
    ]  # fmt: skip
    if _tkinter_names.Tcl_Obj is None:  # a Python without tkinter has no Tcl objects
        expected.remove("_tkTcl_Obj")
    assert names == expected
    assert module._scriptify_from_sequence is _tcl_UpdateStringOfList
    assert scriptify.from_sequence is _tcl_UpdateStringOfList
    assert scriptify.from_mapping is module._scriptify_from_mapping
    assert tclobj.from_sequence is module._tclobj_from_sequence
    assert tclobj.from_mapping is module._tclobj_from_mapping
    assert module._long_type is int and module.unicode is str
    assert "scriptify() and tclobj()" in module.__doc__


def test_functions_behave_like_python_functions():
    assert str(inspect.signature(scriptify)) == "(obj)"
    assert str(inspect.signature(_Tcl_ConvertElement)) == "(src, flags)"
    assert scriptify.__name__ == scriptify.__qualname__ == "scriptify"
    assert scriptify.__module__ == "tarvik.tcl.scriptify"
    assert "appropriate for use in Tcl" in scriptify.__doc__
    scriptify.note = 1
    assert scriptify.__dict__["note"] == 1
    del scriptify.note

    class Holder(list):
        method = tclobj

    assert Holder([1, 2]).method() == (1, 2)  # bound like a Python function
