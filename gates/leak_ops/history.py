"""History: appends with and without markers, filters, clearing. A small capacity keeps the
record itself from growing past the warm-up."""

from __future__ import annotations

import re
import tempfile
from pathlib import Path
from typing import Any, Iterator

from gates.leakcheck import Env, Operation


def operations(module: Any, env: Env) -> Iterator[Operation]:
    history = module.History(max_history=50)
    words = ["::lab::measure", "ch 1", "-samples", "16"]  # a list: a tuple is formatted as arguments
    pattern = re.compile("measure")

    def marked() -> None:
        history.start_marker("run")
        history.append(words)
        history.append("set x 1")
        history.end_marker("run")

    def cleared() -> None:
        history.append(words)
        history.clear(marker="run")
        history.clear(clear_all=True)

    yield Operation("append a word list", lambda: history.append(words), watch=(words,))
    yield Operation("append inside a marker", marked)
    yield Operation("filter by regex", lambda: history.filter(count=5, regex=pattern))
    yield Operation("filter by marker", lambda: history.filter(marker="run", count=5))
    full = module.History(max_history=50)
    for i in range(50):
        full.append(["set", "x", str(i)])
    yield Operation("filter read from the end", lambda: (full.filter(count=3), full.filter(count=-3)))
    yield Operation("filter by a count that is no number", lambda: full.filter(count=None),
                    raises=TypeError)
    yield Operation("clear", cleared)
    yield Operation("end an unknown marker", lambda: history.end_marker("none"), raises=Exception)
    yield Operation("Entry of a word list", lambda: module.Entry(words), watch=(words,))

    journal = Path(env.keep(tempfile.TemporaryDirectory()).name) / "journal.tcl"
    awkward = ["set", "v", "{a} [b] $c \\ é\0\U0001f600"]
    full.append(awkward)
    full.start_marker("journal")
    full.append("set y 2")
    full.end_marker("journal")

    def words_replaced() -> None:
        entry = module.Entry("set x 1")
        entry.words = awkward
        entry.words, entry.__getstate__()

    yield Operation("script of a record", lambda: full.script(), watch=(awkward,))
    yield Operation("script of a marker", lambda: full.script(marker="journal"))
    yield Operation("script of an unknown marker", lambda: full.script(marker="none"),
                    raises=Exception)
    yield Operation("save a journal", lambda: full.save(journal))
    yield Operation("save to a file descriptor", lambda: full.save(1), raises=TypeError)
    yield Operation("words read and replaced", words_replaced, watch=(awkward,))
