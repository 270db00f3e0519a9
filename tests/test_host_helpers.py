"""The native Tcl list reader, judged by Tcl's own list parser, and the host's cast_list on it."""

from __future__ import annotations

import tkinter

import pytest
from hypothesis import assume, example, given
from hypothesis import strategies as st

from tarvik.tcl import cast_list
from tarvik.tcl._host import splitlist
from tarvik.tcl.scriptify import scriptify

BS = "\\"

# Everything that means something to Tcl's list parser, the letters of backslash escapes, and
# characters of every storage width.
LIST_ALPHABET = st.sampled_from(
    list('{}"\\ \t\n\r\x0b\x0cabfnrtvxuU0178') + ["é", "中", "\U0001f600", "\x00"]
)
list_texts = st.text(LIST_ALPHABET, max_size=24)
nested_lists = st.lists(
    st.recursive(
        st.text(LIST_ALPHABET, max_size=6), lambda inner: st.lists(inner, max_size=4), max_leaves=12
    ),
    max_size=5,
)


def tcl_split(tk, text):
    """What Tcl makes of the text: its elements, or the TclError it raises."""
    try:
        return tk.splitlist(text)
    except tkinter.TclError as error:
        return error


def tcl_reads(tk, text):
    if "\x00" not in text:
        return tcl_split(tk, text)
    # splitlist takes no NUL in a str; Tcl's list commands take any value.
    try:
        count = int(tk.call("llength", text))
    except tkinter.TclError as error:
        return error
    return tuple(str(tk.call("lindex", text, i)) for i in range(count))


@given(list_texts)
@example("a" + BS + "\n \t b")
@example("{a" + BS + "\n b}")
@example('"a' + BS + '"b"')
@example(BS)
@example("{}{}")
def test_reads_any_text_as_tcl_does(interp, text):
    # Before Python 3.13, _tkinter hands Tcl a NUL as a raw zero byte, which a backslash does not
    # escape; in Tcl's own encoding of NUL it does, as before any other character.
    assume(BS + "\x00" not in text)
    expected = tcl_reads(interp.tk, text)
    items = splitlist(text)
    if items is None:
        # Left to Tcl: malformed, or an escape whose value Tcl decides.
        assert isinstance(expected, tkinter.TclError) or any(c in text for c in "xuU0178\U0001f600")
    else:
        assert items == tuple(str(item) for item in expected)


@given(nested_lists)
def test_reads_every_list_that_scriptify_writes(interp, value):
    # Quoting never writes an escape left to Tcl, so these lists are all read natively.
    text = scriptify(value)
    assert splitlist(text) == tuple(scriptify(item) for item in value)
    assert splitlist(text) == tuple(str(item) for item in tcl_reads(interp.tk, text))


@pytest.mark.parametrize(
    "text, items",
    [
        ("", ()),
        (" \t\n ", ()),
        ("a {b c} \"d e\"", ("a", "b c", "d e")),
        ("{a" + BS + "}b}", ("a" + BS + "}b",)),
        ("a" + BS + " b", ("a b",)),
        ("{} \"\"", ("", "")),
        ("a" + BS, ("a" + BS,)),
        ("x" + BS + "\n   y", ("x y",)),
        (BS + "t" + BS + "{" + BS + "$", ("\t{$",)),
        ("a\x00b {c\x00}", ("a\x00b", "c\x00")),
        (BS + "\x00", ("\x00",)),
    ],
)
def test_splits(text, items):
    assert splitlist(text) == items


@pytest.mark.parametrize(
    "text",
    ["{a", '"a', "{a}b", '"a"b', "a" + BS + "x41", BS + "u00e9", BS + "101", BS + "\U0001f600"],
)
def test_leaves_to_tcl(text):
    assert splitlist(text) is None


@pytest.mark.parametrize("value", [None, 5, b"a b", ["a"]])
def test_takes_only_str(value):
    with pytest.raises(TypeError, match="must be str"):
        splitlist(value)


class TestCastList:
    def test_escapes_left_to_tcl_come_back_from_tcl(self, interp):
        assert interp.cast_list("a" + BS + "x41 " + BS + "u00e9") == ("aA", "é")

    @pytest.mark.parametrize("text", ["{a", '"a b', "{a}b"])
    def test_malformed_lists_raise_tcls_error(self, interp, text):
        with pytest.raises(tkinter.TclError) as error:
            interp.cast_list(text)
        with pytest.raises(tkinter.TclError) as tcl_error:
            interp.tk.splitlist(text)
        assert str(error.value) == str(tcl_error.value)

    def test_tcl_objects_are_split_by_their_string(self, interp):
        obj = interp.tk.call("list", "a b", "{", "c")
        assert interp.cast_list(obj) == ("a b", "{", "c")
        assert cast_list(interp.tk.call("string", "cat", "x\x00y z")) == ("x\x00y", "z")

    def test_sequences_pass_as_tuples(self, interp):
        items = ("a b", "c")
        assert interp.cast_list(items) is items
        assert interp.cast_list(["a b"]) == ("a b",)
