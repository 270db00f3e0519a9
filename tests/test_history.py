"""The call history: what it keeps, what it drops, markers, filtering and its debug log."""

from __future__ import annotations

import copy
import importlib
import inspect
import logging
import pickle
import re
from collections import deque
from datetime import datetime, timedelta
from unittest import mock

import pytest

from tarvik.tcl.history import Entry, History

module = importlib.import_module("tarvik.tcl.history")
log = logging.getLogger("tarvik.tcl")
START = datetime(2024, 1, 2, 3, 4, 5, 6)


@pytest.fixture(autouse=True)
def clock(monkeypatch):
    """A clock that ticks one second per reading, through the module's own `get_time`."""
    ticks = iter(range(10**6))
    monkeypatch.setattr(module, "get_time", lambda: START + timedelta(seconds=next(ticks)))


def texts(entries):
    return [entry.api for entry in entries]


def filled(count: int, **kwargs) -> History:
    history = History(**kwargs)
    for n in range(count):
        history.append(["set", f"v{n}", str(n)] if n % 3 else ["puts", str(n)])
    return history


def test_module_and_a_new_history(caplog):
    assert [n for n in vars(module) if not n.startswith("__")] == \
        ["re", "logging", "deque", "get_time", "log", "Entry", "History"]
    caplog.set_level(logging.DEBUG, logger="tarvik.tcl")
    history = History()
    assert History.__MAX_HISTORY__ == 9999 and history.__history__ == deque(maxlen=9999)
    assert (history.__markers__, history.__activeMarkers__, history.enabled) == ({}, [], True)
    assert caplog.messages == ["TclHistory is enabled."]


@pytest.mark.parametrize(
    "item, text",
    [
        (["puts", "hello world"], "puts {hello world}"),
        ("set a 1", "set a 1"),
        (("set", "a b"), "set {a b}"),
        ((word for word in ["x", "y z"]), "x {y z}"),
        ([], ""),
        (["a", "", "b"], "a  b"),
        # Only a space asks for braces, and nothing is escaped: the text is for reading.
        (["a\tb", "{x}", "$y", "[z]", "c\nd"], "a\tb {x} $y [z] c\nd"),
        (["é", "中 文", "\U0001f600 x", "a"], "é {中 文} {\U0001f600 x} a"),
        (["ascii", "\xff"], "ascii \xff"),
    ],
)
def test_entry_text(item, text):
    entry = Entry(item)
    assert entry.api == text and type(entry.api) is str
    assert str(entry) == f"2024-01-02T03:04:05.000006: {text}"
    assert repr(entry) == f"<Entry '{entry}' at {hex(id(entry))}>"


@pytest.mark.parametrize("item", [["set", 1], [b"set"], [["nested"]], 5, None, (), ("a", "b")])
@pytest.mark.parametrize("debug", [True, False])
def test_bad_items_fail_and_record_nothing(caplog, item, debug):
    caplog.set_level(logging.DEBUG if debug else logging.WARNING, logger="tarvik.tcl")
    history = History()
    with pytest.raises(TypeError):
        history.append(item)
    assert len(history.__history__) == 0


@pytest.mark.parametrize(
    "item, message, text",
    [
        (["puts", "hello world"], "% ['puts', 'hello world']", "puts {hello world}"),
        ("set a 1", "% set a 1", "set a 1"),
        (("only",), "% only", "only"),
    ],
)
def test_each_append_logs_one_debug_line(caplog, item, message, text):
    caplog.set_level(logging.DEBUG, logger="tarvik.tcl")
    history = History()
    caplog.clear()
    history.append(item)
    assert caplog.messages == [message] and caplog.records[0].levelno == logging.DEBUG
    assert texts(history.filter()) == [text]


class CountingWords(list):
    """Words that count how often their string form is asked for."""

    formatted = 0

    def __repr__(self) -> str:
        CountingWords.formatted += 1
        return super().__repr__()


@pytest.mark.parametrize(
    "configure, formats",
    [
        (lambda: None, 1),
        (lambda: log.setLevel(logging.INFO), 0),
        (lambda: setattr(log, "disabled", True), 0),
        (lambda: logging.disable(logging.DEBUG), 0),
    ],
)
def test_the_debug_line_is_formatted_only_when_it_is_logged(monkeypatch, configure, formats):
    monkeypatch.setattr(log, "disabled", False)
    history = History()
    try:
        log.setLevel(logging.DEBUG)
        configure()
        CountingWords.formatted = 0
        # The first append asks the logger, the second may find its answer cached.
        for _ in range(2):
            history.append(CountingWords(["set", "a"]))
    finally:
        logging.disable(logging.NOTSET)
        log.setLevel(logging.NOTSET)
    assert CountingWords.formatted == 2 * formats
    assert texts(history.filter()) == ["set a", "set a"]


def test_records_go_to_the_logger_the_module_holds_at_the_time(monkeypatch):
    stand_in = mock.Mock(spec=logging.Logger)
    stand_in.isEnabledFor.return_value = True
    history = History()
    monkeypatch.setattr(module, "log", stand_in)
    history.append(["set", "a"])
    history.disable()
    History().append("b")
    sent = [call.args for call in stand_in.debug.call_args_list]
    assert sent == [("% ['set', 'a']",), ("TclHistory is disabled.",),
                    ("TclHistory is enabled.",), ("% b",)]
    # A real logger in its place is asked too, and its own level decides.
    quiet = logging.getLogger("tarvik.tcl.a quiet stand-in")
    quiet.setLevel(logging.INFO)
    monkeypatch.setattr(module, "log", quiet)
    CountingWords.formatted = 0
    for _ in range(2):
        history.append(CountingWords(["c"]))
    assert CountingWords.formatted == 0
    quiet.setLevel(logging.DEBUG)
    history.append(CountingWords(["d"]))
    assert CountingWords.formatted == 1


@pytest.mark.parametrize("max_history, kept", [(2, ["1", "2"]), (0, []), (None, ["0", "1", "2"])])
def test_records_keep_the_newest_up_to_their_capacity(max_history, kept):
    with pytest.raises(ValueError):
        History(max_history=-1)
    history = History(max_history=max_history)
    history.start_marker("m")
    for n in range(3):
        history.append(str(n))
    assert texts(history.__history__) == texts(history.__markers__["m"]) == kept
    assert history.__markers__["m"].maxlen == max_history


def test_disabled_history_logs_but_records_nothing(caplog):
    caplog.set_level(logging.DEBUG, logger="tarvik.tcl")
    history = History()
    history.start_marker("m")
    history.disable()
    history.append("x")
    assert caplog.messages[-2:] == ["TclHistory is disabled.", "% x"]
    assert history.filter() == history.filter(marker="m") == []
    history.enable()
    history.append("y")
    assert texts(history.filter()) == texts(history.filter(marker="m")) == ["y"]


def test_markers_share_entries_nest_and_restart():
    history = History()
    history.append("before")
    history.start_marker("outer")
    history.start_marker("m")
    history.start_marker("m")
    history.append("twice")
    history.end_marker("m")
    history.append("once")
    history.end_marker("m")
    history.append("not in m")
    history.start_marker("m")
    history.append("restarted")
    assert texts(history.filter(marker="m")) == ["twice", "twice", "once", "restarted"]
    assert texts(history.filter(marker="outer")) == texts(history.filter())[1:]
    assert history.filter(marker="m")[0] is history.filter()[1]
    assert history.__activeMarkers__ == ["outer", "m"]


@pytest.mark.parametrize("marker", ["zz", ("a", "b"), ("one",), 7])
def test_unknown_markers(marker):
    history = History()
    with pytest.raises(Exception) as caught:
        history.filter(marker=marker)
    assert type(caught.value) is Exception
    assert caught.value.args == (f"No such marker: {marker}",)
    assert isinstance(caught.value.__context__, KeyError)
    with pytest.raises(KeyError):
        history.clear(marker=marker)
    with pytest.raises(ValueError):
        history.end_marker(marker)


def test_filter_takes_the_last_count_entries_then_matches():
    history = filled(30)
    everything = texts(history.__history__)
    assert texts(history.filter()) == everything[-20:]
    assert texts(history.filter(count=5)) == everything[-5:]
    assert texts(history.filter(count=0)) == everything
    assert texts(history.filter(count=-28)) == everything[28:]
    assert texts(history.filter(count=5, regex="^set")) == \
        [text for text in everything[-5:] if text.startswith("set")]
    assert texts(history.filter(count=5, regex=re.compile("^puts"))) == ["puts 27"]
    assert texts(history.filter(marker=None, count=5, regex="")) == everything[-5:]
    history.filter().clear()
    assert len(history.filter(count=0)) == 30
    for count, regex, error in ((None, None, TypeError), (5, "(", re.error)):
        with pytest.raises(error):
            history.filter(count=count, regex=regex)


def test_clear():
    history = History(max_history=5)
    for marker in ("a", "b"):
        history.start_marker(marker)
    history.append("x")
    history.clear(marker="a")
    assert [len(history.filter(marker=m)) for m in (None, "a", "b")] == [1, 0, 1]
    history.clear()
    assert [len(history.filter(marker=m)) for m in (None, "a", "b")] == [0, 0, 1]
    history.clear(marker="zz", clear_all=True)
    assert [len(history.filter(marker=m)) for m in (None, "a", "b")] == [0, 0, 0]
    history.append("y")
    assert [len(history.filter(marker=m)) for m in (None, "a", "b")] == [1, 1, 1]
    assert (str(history), repr(history)) == (str(history.__history__), repr(history.__history__))


def test_entries_copy_pickle_and_subclass_as_python_objects():
    entry = Entry(["puts", "a b"])
    entry.note = "kept"
    for twin in (pickle.loads(pickle.dumps(entry)), copy.copy(entry)):
        assert (twin.timestamp, twin.api, twin.note) == (entry.timestamp, entry.api, "kept")

    class Tagged(Entry):
        def __str__(self):
            return "tagged"

    assert repr(Tagged("x")).startswith("<Entry 'tagged' at 0x")
    assert str(inspect.signature(Entry)) == "(api)"
    del entry.api
    with pytest.raises(AttributeError):
        str(entry)


def test_a_copied_history_shares_its_records():
    history = filled(3)
    history.start_marker("m")
    twin = copy.copy(history)
    twin.append("shared")
    assert twin.__history__ is history.__history__ and texts(history.filter())[-1] == "shared"
    assert (twin.__activeMarkers__, twin.enabled) == (["m"], True)


@pytest.mark.parametrize(
    "method, args",
    [(History.append, ("x",)), (History.filter, ()), (Entry.__str__, ()), (Entry.__init__, ("x",))],
)
def test_methods_refuse_other_objects(method, args):
    with pytest.raises(TypeError):
        method(object(), *args)
