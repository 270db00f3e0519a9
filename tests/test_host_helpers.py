"""The native helpers of the host layer: the Tcl list reader (judged by Tcl's own list parser)
and the host's cast_list on it, the cast of quick-call results, and the clock."""

from __future__ import annotations

import inspect
import subprocess
import sys
import time
import tkinter
from datetime import datetime, timedelta

import pytest
from hypothesis import assume, example, given
from hypothesis import strategies as st

import tarvik.tcl
from tarvik.tcl import cast_list
from tarvik.tcl._host import cast_any as cast_any_function
from tarvik.tcl._host import local_datetime, splitlist
from tarvik.utils.utils import get_time
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
        # Left to Tcl: malformed, or an escape whose value Tcl's build decides.
        assert isinstance(expected, tkinter.TclError) or any(
            BS + c in text for c in "uU\U0001f600"
        )
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
    ["{a", '"a', "{a}b", '"a"b', BS + "U0001f600", BS + "ud83d", BS + "\U0001f600"],
)
def test_leaves_to_tcl(text):
    assert splitlist(text) is None


# Numeric escapes as Tcl 8.6 reads them, digit limits and all; Tcl judges each.
ESCAPES = [
    *(BS + "x" + d for d in ["", "4", "41", "414", "g", "fF", "1ff"]),
    *(BS + "u" + d for d in ["", "e9", "00e9x", "12345", "FFFF", "fffe1"]),
    *(BS + "U" + d for d in ["", "41", "0000e9", "00000041z", "ffff", "0000FFFF0"]),
    *(BS + d for d in ["0", "7", "8", "08", "12", "101", "1234", "377", "400", "777", "0000"]),
    BS + "\n\t  x",
    BS + "é",
    BS + "中",
]
numeric_escapes = st.sampled_from(["x", "u", "U", "0", "3", "4", "7", "9"]).flatmap(
    lambda letter: st.text(st.sampled_from("0123456789abcdefABCDEFgz"), max_size=9).map(
        lambda digits: BS + letter + digits
    )
)


@pytest.mark.parametrize("escape", ESCAPES)
@pytest.mark.parametrize("form", ["{}", '"{}"', "a{}b"])
def test_reads_escapes_as_tcl_does(interp, escape, form):
    text = form.format(escape)
    assert interp.cast_list(text) == interp.tk.splitlist(text)
    if BS + "U" not in text:
        # Only a \U escape can name a character outside the Basic Multilingual Plane.
        assert splitlist(text) == interp.tk.splitlist(text)


@given(st.lists(st.one_of(numeric_escapes, st.text(LIST_ALPHABET, max_size=4)), max_size=6))
def test_reads_numeric_escapes_as_tcl_does(interp, parts):
    text = "".join(parts)
    assume(BS + "\x00" not in text)
    expected = tcl_reads(interp.tk, text)
    items = splitlist(text)
    if items is not None:
        assert items == tuple(str(item) for item in expected)
    elif not isinstance(expected, tkinter.TclError):
        assert any(BS + c in text for c in "uU\U0001f600")


@pytest.mark.parametrize("value", [None, 5, b"a b", ["a"]])
def test_takes_only_str(value):
    with pytest.raises(TypeError, match="must be str"):
        splitlist(value)


class TestCastList:
    @pytest.mark.parametrize(
        "text",
        [
            "a" + BS + "x41 " + BS + "u00e9",
            "a" + BS + "x41 b\x00c",
            BS + "U0001f600 " + BS + "ud83d" + BS + "ude00 x\x00",
            '"' + BS + "ud800\x00" + '"',
            BS + "\U0001f600\x00",
        ],
    )
    def test_any_text_reads_as_tcl_reads_it(self, interp, text):
        expected = tuple(str(item) for item in tcl_reads(interp.tk, text))
        assert interp.cast_list(text) == expected
        assert cast_list(text) == expected

    @pytest.mark.parametrize("text", ["{a}\x00", '"a\x00', "{a\x00 " + BS + "U0001f600"])
    def test_malformed_text_with_nul_raises_tcls_error(self, interp, text):
        expected = tcl_reads(interp.tk, text)
        assert isinstance(expected, tkinter.TclError)
        for cast in (interp.cast_list, cast_list):
            with pytest.raises(tkinter.TclError) as error:
                cast(text)
            assert str(error.value) == str(expected)

    @pytest.mark.parametrize("text", ["{a", '"a b', "{a}b"])
    def test_malformed_lists_raise_tcls_error(self, interp, text):
        with pytest.raises(tkinter.TclError) as error:
            interp.cast_list(text)
        with pytest.raises(tkinter.TclError) as tcl_error:
            interp.tk.splitlist(text)
        assert str(error.value) == str(tcl_error.value)

    # Values that Tcl holds as list objects with typed elements; Tcl's own lindex says what each
    # element's string is.
    @pytest.mark.parametrize(
        "script",
        [
            "set ::lv [list [list a b] {c d} [expr {1+1}] [expr {2**70}] [expr {-7}]]",
            "set ::lv [list [expr {1.0/3}] [expr {1e308*10}] [expr {-1e308*10}] [expr {1e16}]]",
            "set ::lv [list [expr {1e17}] [expr {1e-5}] [expr {-0.0}] [expr {100.0}] [expr {5e-324}]]",
            "set ::lv [list [expr {0.0001}] [expr {1.5e300}] [expr {2.0**60}] [expr {1e15+0.5}]]",
            "set ::lv [list [expr {true}] [expr {false}] [binary format H* ff00e9] [dict create a b]]",
            "set ::lv [list [list [list x {y z}] {}] [list [list {a b}]] [list {} {}] {}]",
            "set k name; set ::lv [list [list $k v] [list n [expr {1+1}]]]; lindex $k 0 0",
            r"set ::lv [list [list \{ \\ {$x} {a;b} [expr {1.5}]] a\x00b]",
        ],
    )
    def test_list_objects_give_the_strings_tcl_lists(self, interp, script):
        tk = interp.tk
        tk.eval(script)
        count = int(tk.eval("llength $::lv"))
        expected = tuple(tk.eval(f"lindex $::lv {i}") for i in range(count))
        value = tk.getvar("::lv")
        tk.eval("unset ::lv; unset -nocomplain ::k")
        assert isinstance(value, tuple)
        assert interp.cast_list(value) == expected
        assert cast_list(value) == expected
        assert all(type(item) is str for item in cast_list(value))

    @given(st.floats())
    def test_floats_give_tcls_text(self, interp, number):
        expected = interp.tk.call("string", "range", number, 0, "end")
        assert cast_list((number,)) == (expected,)

    def test_tcl_objects_are_split_by_their_string(self, interp):
        obj = interp.tk.call("list", "a b", "{", "c")
        assert interp.cast_list(obj) == ("a b", "{", "c")
        assert cast_list(interp.tk.call("string", "cat", "x\x00y z")) == ("x\x00y", "z")

    def test_sequences_pass_as_tuples(self, interp):
        items = ("a b", "c")
        assert interp.cast_list(items) is items
        assert interp.cast_list(["a b"]) == ("a b",)


class TestCastAny:
    @pytest.mark.parametrize("value", ["", "a b", 0, -5, 2**80, 1.5, True, b"\x00x"])
    def test_plain_results_are_returned_themselves(self, interp, value):
        assert interp.cast_any(value) is value

    def test_tcl_objects_become_their_strings_at_any_depth(self, interp):
        # Running a command through a variable leaves its value a Tcl object of command type.
        interp.tk.eval("set ::cmd ::set; $::cmd ::x 1")
        obj = interp.tk.getvar("::cmd")
        assert type(obj).__name__ == "Tcl_Obj"
        nested = ("x", (obj, 2, (obj,)), ())
        assert interp.cast_any(obj) == "::set"
        assert interp.cast_any(nested) == ("x", ("::set", 2, ("::set",)), ())

    def test_tuples(self, interp):
        plain = ("a", 1, ("b", 2.0))
        assert interp.cast_any(plain) is plain  # nothing to change, nothing copied

        class Words(tuple):
            pass

        cast = interp.cast_any(Words(("a", "b")))
        assert type(cast) is tuple and cast == ("a", "b")

    def test_subclasses_of_plain_types_stay_and_other_objects_become_str(self, interp):
        class Text(str):
            pass

        text = Text("t")
        assert interp.cast_any(text) is text
        assert interp.cast_any(None) == "None" and interp.cast_any([1]) == "[1]"

    def test_deep_nesting_raises_recursion_error(self, interp):
        deep: tuple = ()
        for _ in range(100_000):
            deep = (deep,)
        with pytest.raises(RecursionError):
            interp.cast_any(deep)

    def test_is_the_hosts_method(self, interp):
        assert tarvik.tcl.TclInterpreter.cast_any is cast_any_function
        assert list(inspect.signature(cast_any_function).parameters) == ["self", "result"]
        assert tarvik.tcl.cast_any(("1", 2)) == ("1", 2)


# POSIX rules, so no time-zone database is needed: central Europe and the US east coast.
ZONES = ["CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0", "UTC0"]


@pytest.fixture(params=ZONES)
def zone(request, monkeypatch):
    monkeypatch.setenv("TZ", request.param)
    time.tzset()
    yield request.param
    monkeypatch.undo()
    time.tzset()


class TestClock:
    def test_now_is_the_local_time_of_the_moment(self):
        for _ in range(3):
            before = datetime.now()
            now = get_time()
            after = datetime.now()
            assert type(now) is datetime and now.tzinfo is None
            assert before <= now <= after

    def test_now_goes_on_across_seconds(self):
        readings = [get_time()]
        deadline = readings[0] + timedelta(seconds=1.2)
        while readings[-1] < deadline:
            readings.append(get_time())
        assert readings == sorted(readings)
        assert readings[-1].replace(microsecond=0) > readings[0].replace(microsecond=0)

    def test_local_datetime_matches_fromtimestamp_around_the_clock_changes(self, zone):
        # The 2024 changes in both zones, and a quiet day; every ten minutes over six hours.
        starts = [1711846800, 1729994400, 1710054000, 1730613600, 1718000000]
        for start in starts:
            for seconds in range(start - 3 * 3600, start + 3 * 3600, 600):
                expected = datetime.fromtimestamp(seconds)
                got = local_datetime(seconds, 123456)
                assert got == expected.replace(microsecond=123456)
                assert got.fold == expected.fold, (zone, seconds)

    def test_the_second_reading_of_a_repeated_hour_has_fold_one(self, zone):
        if zone.startswith("UTC"):
            pytest.skip("no clock change")
        ends = {"CET": 1729990800, "EST": 1730613600}[zone[:3]]  # summer time ends
        assert (local_datetime(ends - 1800).fold, local_datetime(ends + 1800).fold) == (0, 1)
        assert local_datetime(ends - 1800).replace(fold=0) == local_datetime(
            ends + 1800
        ).replace(fold=0)

    @pytest.mark.parametrize("microsecond", [-1, 10**6])
    def test_local_datetime_rejects_bad_microseconds(self, microsecond):
        with pytest.raises(ValueError):
            local_datetime(0, microsecond)


@pytest.mark.parametrize(
    "code",
    [
        "from tarvik.utils.utils import get_time; import tarvik.tcl.history as h",
        "import tarvik.utils.utils as u; u.get_time; import tarvik.tcl",
        "import tarvik.tcl.history; from tarvik.utils.utils import get_time",
        "import tarvik.tcl.z; import tarvik.utils.utils as u; assert u.get_time is u.get_time",
    ],
)
def test_the_clock_and_the_package_import_in_any_order(code):
    check = (
        f"{code}\nimport sys\nfrom tarvik.tcl._host import now\n"
        "assert sys.modules['tarvik.tcl.history'].get_time is now\n"
        "assert sys.modules['tarvik.utils.utils'].get_time is now\n"
    )
    subprocess.run([sys.executable, "-c", check], check=True)
