"""The call history: what it keeps, what it drops, markers, filtering and its debug log."""

from __future__ import annotations

import importlib
import inspect
import logging
import re
from collections import deque
from datetime import datetime, timedelta

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


@pytest.fixture
def debug_log(caplog):
    caplog.set_level(logging.DEBUG, logger="tarvik.tcl")
    return caplog


def texts(entries):
    return [entry.api for entry in entries]


def filled(count: int, **kwargs) -> History:
    history = History(**kwargs)
    for n in range(count):
        history.append(["set", f"v{n}", str(n)] if n % 3 else ["puts", str(n)])
    return history


def test_module_names_in_order():
    names = [name for name in vars(module) if not name.startswith("__")]
    assert names == ["re", "logging", "deque", "get_time", "log", "Entry", "History"]
    assert module.log is log


def test_a_new_history(debug_log):
    history = History()
    assert History.__MAX_HISTORY__ == 9999
    assert history.__history__ == deque(maxlen=9999)
    assert (history.__markers__, history.__activeMarkers__, history.enabled) == ({}, [], True)
    assert debug_log.messages == ["TclHistory is enabled."]


@pytest.mark.parametrize(
    "item, text",
    [
        (["puts", "hello world"], "puts {hello world}"),
        ("set a 1", "set a 1"),
        ("two  spaces", "two  spaces"),
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
    assert entry.api == text
    assert type(entry.api) is str
    assert entry.timestamp == START


def test_entry_keeps_a_string_as_given():
    class Text(str):
        pass

    text = Text("set a 1")
    assert Entry(text).api is text


@pytest.mark.parametrize("item", [["set", 1], [b"set"], [["nested"]], 5, None])
def test_words_that_are_not_strings_record_nothing(item):
    history = History()
    with pytest.raises(TypeError):
        Entry(item)
    with pytest.raises(TypeError):
        history.append(item)
    assert list(history.__history__) == []


def test_entry_str_and_repr():
    entry = Entry(["set", "a b"])
    assert str(entry) == "2024-01-02T03:04:05.000006: set {a b}"
    assert repr(entry) == f"<Entry '{entry}' at {hex(id(entry))}>"


@pytest.mark.parametrize("max_history, kept", [(2, ["set v1 1", "set v2 2"]), (0, [])])
def test_a_bounded_record_keeps_the_newest(max_history, kept):
    history = filled(3, max_history=max_history)
    assert texts(history.__history__) == kept


def test_an_unbounded_history_keeps_everything():
    history = History(max_history=None)
    history.start_marker("m")
    for n in range(12_000):
        history.append(str(n))
    assert len(history.filter(count=0)) == len(history.filter(marker="m", count=0)) == 12_000
    assert history.__markers__["m"].maxlen is None


def test_a_marker_takes_the_capacity_of_the_general_record():
    history = History(max_history=3)
    history.start_marker("m")
    for n in range(5):
        history.append(str(n))
    assert texts(history.filter(marker="m")) == ["2", "3", "4"]


@pytest.mark.parametrize("capacity, error", [(-1, ValueError), ("many", TypeError)])
def test_invalid_capacity(capacity, error):
    with pytest.raises(error):
        History(max_history=capacity)


@pytest.mark.parametrize(
    "item, message",
    [
        (["puts", "hello world"], "% ['puts', 'hello world']"),
        ("set a 1", "% set a 1"),
        (("only",), "% only"),
    ],
)
def test_each_append_logs_one_debug_line(debug_log, item, message):
    history = History(max_history=None)
    debug_log.clear()
    history.append(item)
    assert debug_log.messages == [message]
    assert all(record.levelno == logging.DEBUG for record in debug_log.records)


@pytest.mark.parametrize("debug", [True, False])
@pytest.mark.parametrize("item", [(), ("set", "a")])
def test_a_tuple_of_other_than_one_word_fails_and_records_nothing(caplog, debug, item):
    caplog.set_level(logging.DEBUG if debug else logging.WARNING, logger="tarvik.tcl")
    history = History()
    with pytest.raises(TypeError):
        history.append(item)
    assert len(history.__history__) == 0


def test_a_one_word_tuple_is_recorded():
    history = History()
    history.append(("puts",))
    assert texts(history.filter()) == ["puts"]


class CountingWords(list):
    """Words that count how often their string form is asked for."""

    formatted = 0

    def __repr__(self) -> str:
        CountingWords.formatted += 1
        return super().__repr__()


@pytest.mark.parametrize(
    "configure, formats",
    [
        (lambda: log.setLevel(logging.DEBUG), 1),
        (lambda: log.setLevel(logging.INFO), 0),
        (lambda: setattr(log, "disabled", True), 0),
        (lambda: logging.disable(logging.DEBUG), 0),
    ],
)
def test_the_debug_line_is_formatted_only_when_it_is_logged(monkeypatch, configure, formats):
    monkeypatch.setattr(log, "level", log.level)
    monkeypatch.setattr(log, "disabled", False)
    history = History()
    try:
        log.setLevel(logging.DEBUG)
        configure()
        CountingWords.formatted = 0
        # The first append asks the logger, the second may find the answer cached.
        for _ in range(2):
            history.append(CountingWords(["set", "a"]))
    finally:
        logging.disable(logging.NOTSET)
        log.setLevel(logging.NOTSET)
    assert CountingWords.formatted == 2 * formats
    assert texts(history.filter()) == ["set a", "set a"]


def test_disabled_history_logs_but_records_nothing(debug_log):
    history = History()
    history.start_marker("m")
    history.disable()
    history.append("x")
    assert debug_log.messages[-2:] == ["TclHistory is disabled.", "% x"]
    assert history.filter() == history.filter(marker="m") == []
    assert history.__activeMarkers__ == ["m"]
    history.enable()
    history.append("y")
    assert texts(history.filter()) == texts(history.filter(marker="m")) == ["y"]


def test_a_marker_records_while_it_is_active():
    history = History()
    history.append("before")
    history.start_marker("m")
    history.append("inside")
    history.end_marker("m")
    history.append("after")
    assert texts(history.filter()) == ["before", "inside", "after"]
    assert texts(history.filter(marker="m")) == ["inside"]
    # The marker's entry is the very object of the general record.
    assert history.filter(marker="m")[0] is history.filter()[1]


def test_markers_nest_and_restart():
    history = History()
    history.start_marker("outer")
    history.start_marker("m")
    history.start_marker("m")
    history.append("twice in m")
    history.end_marker("m")
    history.append("once in m")
    history.end_marker("m")
    history.append("not in m")
    history.start_marker("m")
    history.append("restarted")
    assert texts(history.filter(marker="m")) == ["twice in m", "twice in m", "once in m",
                                                  "restarted"]
    assert texts(history.filter(marker="outer")) == texts(history.filter())
    assert history.__activeMarkers__ == ["outer", "m"]


@pytest.mark.parametrize("marker", ["zz", ("a", "b"), ("one",), 7])
def test_unknown_markers(marker):
    history = History()
    with pytest.raises(Exception, match=r"^No such marker: ") as caught:
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
    assert texts(history.filter()) == texts(history.__history__)[-20:]
    assert texts(history.filter(count=5)) == texts(history.__history__)[-5:]
    assert len(history.filter(count=0)) == 30
    assert texts(history.filter(count=-28)) == texts(history.__history__)[28:]
    last_five = texts(history.__history__)[-5:]
    assert texts(history.filter(count=5, regex="^set")) == [t for t in last_five
                                                             if t.startswith("set")]
    assert texts(history.filter(count=5, regex=re.compile(r"^puts"))) == ["puts 27"]
    assert history.filter(count=5, regex="") == history.filter(count=5)


def test_filter_returns_a_new_list():
    history = filled(3)
    result = history.filter()
    result.clear()
    assert len(history.filter()) == 3


@pytest.mark.parametrize("count, regex, error", [(None, None, TypeError), (5, "(", re.error)])
def test_filter_failures(count, regex, error):
    with pytest.raises(error):
        filled(3).filter(count=count, regex=regex)


def test_clear():
    history = History()
    for marker in ("a", "b"):
        history.start_marker(marker)
    history.append("x")
    history.clear(marker="a")
    assert (len(history.filter()), history.filter(marker="a"), len(history.filter(marker="b"))) \
        == (1, [], 1)
    history.clear()
    assert (history.filter(), len(history.filter(marker="b"))) == ([], 1)
    history.append("y")
    history.clear(marker="zz", clear_all=True)
    assert history.filter() == history.filter(marker="a") == history.filter(marker="b") == []
    history.append("z")
    assert texts(history.filter(marker="a")) == texts(history.filter(marker="b")) == ["z"]


def test_str_and_repr_are_the_general_records():
    history = filled(2, max_history=5)
    assert str(history) == str(history.__history__)
    assert repr(history) == repr(history.__history__)
    assert repr(history).endswith(", maxlen=5)")


def test_a_subclass_keeps_the_protocol():
    class Quiet(History):
        enabled_calls = 0

        def enable(self):
            Quiet.enabled_calls += 1
            super().enable()

    history = Quiet(max_history=1)
    history.append("a")
    history.append("b")
    assert Quiet.enabled_calls == 1
    assert texts(history.filter()) == ["b"]


@pytest.mark.parametrize(
    "function, signature",
    [
        (Entry.__init__, "(self, api)"),
        (History.__init__, "(self, max_history=9999)"),
        (History.append, "(self, item)"),
        (History.clear, "(self, marker=None, clear_all=False)"),
        (History.filter, "(self, marker=None, count=20, regex=None)"),
    ],
)
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature
    assert function.__doc__
    assert function.__qualname__.split(".")[0] in ("Entry", "History")


def test_arguments_by_keyword():
    history = History(max_history=4)
    history.append(item="x")
    history.start_marker(marker="m")
    history.append(item="y")
    assert texts(history.filter(marker="m", count=1, regex="y")) == ["y"]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'item'"):
        history.append()
