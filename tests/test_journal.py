"""The history as a journal: a Tcl script that runs the recorded calls again, judged by replaying
it in a fresh interpreter and comparing every variable."""

from __future__ import annotations

import copy
import importlib
import os
import pickle
import sys
from datetime import datetime, timedelta

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarvik.tcl import TclInterpreter, TclProcess
from tarvik.tcl.history import Entry, History

module = importlib.import_module("tarvik.tcl.history")

AWKWARD = [
    "", " ", "two words", "{", "}", "{a} {b", "a}b", "[exit 3]", "$env(HOME)", "back\\", "\\n",
    "a\\\nb", "line\nbreak", "cr\rlf\r\n", "tab\there", "nul\0nul", "ctrl-z\x1a", "é中", "\U0001f600",
    "#comment", '"quoted"', "a;b", "{*}x", "\x7f", "\u2028",
]  # fmt: skip
# Before 3.13, _tkinter hands Tcl a NUL as a zero byte, which Tcl's C strings cut short: the
# interpreter that made the calls then holds a string that no Tcl script makes. A tool that
# sources the journal (over the link, below) gets every NUL.
NUL_INTACT = sys.version_info >= (3, 13)
LOCAL_AWKWARD = [value for value in AWKWARD if NUL_INTACT or "\0" not in value]


# Read inside Tcl: a name that went through Python and back could name another variable, where
# Tcl 8.6 and _tkinter keep a character beyond the BMP in different bytes.
READ_GLOBALS = """::apply {{} {
    set found {}
    foreach name [::info globals] {
        if {[::array exists ::$name]} {
            ::lappend found $name [::list array [::array get ::$name]]
        } else {
            ::lappend found $name [::list scalar [::set ::$name]]
        }
    }
    return $found
}}"""


def variables(tcl) -> dict[str, object]:
    """Every global variable: a scalar's value, or an array's elements."""
    items = tcl.cast_list(tcl.tk.eval(READ_GLOBALS))
    found: dict[str, object] = {}
    for name, (kind, value) in zip(items[::2], map(tcl.cast_list, items[1::2])):
        found[name] = tcl.cast_array(value) if kind == "array" else value
    return found


def replayed(journal: str) -> dict[str, object]:
    fresh = TclInterpreter()
    before = set(variables(fresh))
    fresh.tk.eval(journal)
    return {name: value for name, value in variables(fresh).items() if name not in before}


def made_by_calls(tcl) -> dict[str, object]:
    untouched = TclInterpreter()
    return {name: value for name, value in variables(tcl).items()
            if name not in variables(untouched)}  # fmt: skip


@pytest.mark.parametrize("value", LOCAL_AWKWARD, ids=range(len(LOCAL_AWKWARD)))
def test_each_awkward_value_replays_exactly(value):
    tcl = TclInterpreter()
    tcl.z.set("scalar", value)
    tcl.z.set(value or "empty", "named by the value")
    tcl.z.array("set", "array", {value: value, "other": [value, value]})
    tcl.z.lappend("list", value, [value])
    journal = tcl.history.script()
    assert journal.isascii()
    assert replayed(journal) == made_by_calls(tcl)


characters = st.characters(exclude_categories=["Cs"],
                           exclude_characters="" if NUL_INTACT else "\0")  # fmt: skip
names = st.text(characters.filter(lambda c: c not in "():"), min_size=1, max_size=8)
values = st.recursive(st.text(characters), lambda inner: st.lists(inner, max_size=3),
                      max_leaves=6)  # fmt: skip


@settings(max_examples=60)
@given(st.lists(st.tuples(st.sampled_from(["set", "lappend", "array"]), names, values),
                min_size=1, max_size=6))  # fmt: skip
def test_any_sequence_of_calls_replays_exactly(calls):
    tcl = TclInterpreter()
    for command, name, value in calls:
        # Each variable is used as one kind only, so that no call fails.
        if command == "array":
            tcl.z.array("set", "a:" + name, {name: value})
        else:
            getattr(tcl.z, command)("v:" + name, value)
    assert replayed(tcl.history.script()) == made_by_calls(tcl)


def test_a_saved_journal_replays_in_a_tool_whose_system_encoding_is_not_utf8(tmp_path):
    # A C locale makes Tcl read files as ISO 8859-1; the journal's escapes do not care, and a
    # Ctrl-Z, which would end a sourced file, is an escape too.
    tcl = TclInterpreter()
    for n, value in enumerate(AWKWARD):
        tcl.z.set(f"v{n}", value)
    path = tmp_path / "journal.tcl"
    tcl.history.save(path)
    env = {**os.environ, "LC_ALL": "C", "LANG": "C"}
    with TclProcess(timeout=30, env=env) as tool:
        assert tool.tk.eval("encoding system") == "iso8859-1"
        tool.tk.call("source", str(path))
        assert [tool.tk.call("set", f"v{n}") for n in range(len(AWKWARD))] == AWKWARD


@pytest.fixture
def clock(monkeypatch):
    """A clock that ticks one second per reading, through the module's own `get_time`."""
    start = datetime(2024, 1, 2, 3, 4, 5, 6)
    ticks = iter(range(10**6))
    monkeypatch.setattr(module, "get_time", lambda: start + timedelta(seconds=next(ticks)))


def test_the_script_of_a_record_and_of_a_marker(clock):
    history = History()
    history.append(["set", "greeting", "hello world"])
    history.start_marker("m")
    history.append(["puts", "é"])
    history.end_marker("m")
    history.append("set a [expr {1 + 2}]")  # a text is run as it was written, through eval
    assert history.script() == (
        "# 2024-01-02T03:04:05.000006\n"
        "set greeting {hello world}\n"
        "# 2024-01-02T03:04:06.000006\n"
        "puts \\u00E9\n"
        "# 2024-01-02T03:04:07.000006\n"
        "::eval {set a [expr {1 + 2}]}\n"
    )
    assert history.script("m") == "# 2024-01-02T03:04:06.000006\nputs \\u00E9\n"
    assert History().script() == ""
    with pytest.raises(Exception, match="No such marker: never"):
        history.script(marker="never")


@pytest.mark.parametrize("name", ["#cmd", "#é", "#{"])
def test_a_command_named_like_a_comment_runs(name):
    history = History()
    history.append([name, "arg"])
    fresh = TclInterpreter()
    fresh.tk.call("proc", name, "a", "set ::got $a")
    fresh.tk.eval(history.script())
    assert fresh.tk.call("set", "::got") == "arg"


def test_a_text_that_is_no_complete_command_stays_in_its_line():
    history = History()
    history.append("set a {")
    history.append(["set", "b", "1"])
    fresh = TclInterpreter()
    for line in history.script().splitlines():
        assert fresh.tk.call("info", "complete", line)
    with pytest.raises(Exception, match="missing close-brace"):
        fresh.tk.eval(history.script())


class Clock:
    def __init__(self, text):
        self.text = text

    def strftime(self, _format):
        return self.text


@pytest.mark.parametrize(
    "text, comment",
    [("12:00", "# 12:00"), ("a\nset x 1", "# a?set x 1"), ("ends\\", "# ends?"), ("{é}", "# ???")],
)
def test_a_time_that_could_end_or_extend_its_comment_is_made_harmless(text, comment):
    history = History()
    history.append(["set", "x", "1"])
    history.filter()[0].timestamp = Clock(text)
    assert history.script().splitlines() == [comment, "set x 1"]


@pytest.mark.parametrize(
    "change, error",
    [
        (lambda e: setattr(e, "timestamp", Clock(5)), TypeError),
        (lambda e: setattr(e, "api", b"set x 1"), TypeError),
        (lambda e: setattr(e, "timestamp", None), AttributeError),
    ],
)
def test_entries_that_cannot_be_written_fail_and_leave_the_file(tmp_path, change, error):
    history = History()
    history.append("set x 1")
    path = tmp_path / "journal.tcl"
    path.write_text("kept")
    change(history.filter()[0])
    with pytest.raises(error):
        history.save(path)
    assert path.read_text() == "kept"


def test_entries_appended_to_the_record_by_hand_are_written_from_what_they_hold():
    history = History()
    history.__history__.append(Entry(["set", "x", "a b"]))
    bare = Entry("ignored")
    bare.words = ["set", "y", "$z"]
    history.__history__.append(bare)
    assert history.script().splitlines()[1::2] == ["set x {a b}", "set y {$z}"]


@pytest.mark.parametrize(
    "api, words",
    [
        (["set", "a b"], ("set", "a b")),
        (("set",), ("set",)),
        ((w for w in ["x", "y"]), ("x", "y")),
        ([], ()),
        ("set a 1", None),
    ],
)
def test_entries_keep_the_words_they_were_given(api, words):
    entry = Entry(api)
    assert entry.words == words
    assert copy.copy(entry).words == words == pickle.loads(pickle.dumps(entry)).words


def test_the_words_are_a_copy_of_their_own():
    words = ["set", "x", "1"]
    history = History()
    history.append(words)
    words[2] = "2"
    assert history.filter()[0].words == ("set", "x", "1")
    assert "set x 1" in history.script()


def test_words_can_be_replaced_only_by_strings():
    entry = Entry(["a"])
    entry.words = ("b", "c")
    assert entry.words == ("b", "c")
    with pytest.raises(TypeError):
        entry.words = ["b", 1]
    with pytest.raises(TypeError):
        entry.words = 5
    assert entry.words == ("b", "c")
    del entry.words
    assert entry.words is None


def test_a_clock_that_changes_the_words_changes_nothing_recorded(monkeypatch):
    words = ["set", "x", "1"]

    def meddling_clock():
        words[:] = ["other"] * 1000  # moves the list's items elsewhere in memory
        return datetime(2024, 1, 1)

    monkeypatch.setattr(module, "get_time", meddling_clock)
    history = History()
    history.append(words)
    assert history.filter()[0].words == ("set", "x", "1")
    assert history.filter()[0].api == "set x 1"
