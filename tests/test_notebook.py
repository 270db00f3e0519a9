"""Tcl in IPython: the magics that ``%load_ext tarvik.tcl`` registers, run through IPython's own
shell (its test helpers, no server), the guide's sessions cell by cell, and the HTML tables that
a notebook shows."""

from __future__ import annotations

import html
import pathlib
import re
from dataclasses import dataclass

import pytest

pytest.importorskip("IPython")

from IPython.core.error import UsageError  # noqa: E402
from IPython.core.formatters import HTMLFormatter  # noqa: E402
from IPython.testing.globalipapp import start_ipython  # noqa: E402

import tarvik.tcl  # noqa: E402
from tarvik.tcl import TclError, TclInterpreter  # noqa: E402
from tarvik.tcl.fieldtree import FieldTree  # noqa: E402
from tarvik.tcl.namespace import TclNamespace  # noqa: E402

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide" / "notebook.rst"


@pytest.fixture(scope="module")
def ip():
    shell = start_ipython()
    shell.run_line_magic("load_ext", "tarvik.tcl")
    return shell


def shown(ip, value) -> str:
    return ip.display_formatter.format(value)[0]["text/plain"]


def as_html(value) -> str:
    """What a notebook's HTML formatter makes of a value (a terminal shell shows only text)."""
    return HTMLFormatter()(value)


# ---------------------------------------------------------------------------------------------
# The guide's sessions


@dataclass
class Cell:
    line: int
    source: str
    output: str | None  # what Out shows, or the exception as "Type: message"
    raises: bool


def guide_cells() -> list[Cell]:
    """The cells of the guide's console sessions: "In [n]:" and "...:" lines, then what the
    session shows ("Out[n]:", or the last lines of a traceback after a rule)."""
    cells: list[Cell] = []
    reading = None  # the source of the last cell, or its traceback
    for number, text in enumerate(GUIDE.read_text(encoding="utf-8").splitlines(), 1):
        text = text.strip()
        if start := re.match(r"In \[\d+\]: ?(.*)$", text):
            cells.append(Cell(number, start.group(1), None, False))
            reading = "source"
        elif reading == "source" and (more := re.match(r"\.\.\.: ?(.*)$", text)):
            cells[-1].source += "\n" + more.group(1)
        elif reading == "source" and (out := re.match(r"Out\[\d+\]: (.*)$", text)):
            cells[-1].output, reading = out.group(1), None
        elif reading == "source" and text.startswith("-----"):
            cells[-1].raises, cells[-1].output, reading = True, "", "traceback"
        elif reading == "traceback" and text:
            cells[-1].output = (cells[-1].output + "\n" + text).lstrip("\n")
        else:
            reading = None
    return cells


def test_the_guides_sessions_run_as_shown(ip):
    cells = guide_cells()
    assert len(cells) > 8
    for cell in cells:
        result = ip.run_cell(cell.source)
        where = f"{GUIDE.name}:{cell.line}"
        if cell.raises:
            error = result.error_in_exec
            assert error is not None, where
            trace = f"{type(error).__name__}: {error}"
            assert [line.strip() for line in trace.splitlines()] == cell.output.splitlines(), where
        else:
            assert result.success, f"{where}: {result.error_in_exec or result.error_before_exec}"
            got = None if result.result is None else shown(ip, result.result)
            assert got == cell.output, where


# ---------------------------------------------------------------------------------------------
# The magics


@pytest.mark.parametrize(
    "script, expected",
    [
        ("set text {$x {x} [list a b]}", "$x {x} [list a b]"),
        ("set text $x", "from Tcl"),
        ("list {a b} c", "{a b} c"),
        ("set empty {}", ""),
    ],
)
def test_a_line_reaches_tcl_as_written(ip, script, expected):
    ip.user_ns["x"] = "from Python"
    tarvik.tcl.default_interpreter().tk.call("set", "x", "from Tcl")
    assert ip.run_line_magic("tcl", script) == expected


def test_a_cell_runs_as_one_script_and_shows_its_result_unquoted(ip):
    result = ip.run_cell_magic("tcl", "", "set lines {}\nlappend lines 'one'\nlappend lines two")
    assert result == "'one' two" and shown(ip, result) == "'one' two"
    assert shown(ip, ip.run_line_magic("tcl", "join {a b} \\n")) == "a\nb"


@pytest.fixture
def hosts(ip, process):
    own = TclInterpreter()
    ip.user_ns.update(own=own, remote=process, not_a_host=42)
    yield own, process
    for name in ("own", "remote", "not_a_host"):
        ip.user_ns.pop(name, None)


@pytest.mark.parametrize("line", ["{name}", "  {name}  ", "--host {name}"])
@pytest.mark.parametrize("name", ["own", "remote"])
def test_a_cell_runs_on_the_host_it_names(ip, hosts, line, name):
    host = hosts[0] if name == "own" else hosts[1]
    assert ip.run_cell_magic("tcl", line.format(name=name), "set where here") == "here"
    assert host.tk.eval("set where") == "here"
    host.tk.eval("unset where")


def test_a_line_runs_on_the_host_it_names(ip, hosts):
    own, remote = hosts
    assert ip.run_line_magic("tcl", "--host remote pid") == str(remote.pid)
    assert ip.run_line_magic("tcl", "--host own set x {a b}") == "a b"
    assert own.vars["x"] == "a b"


@pytest.mark.parametrize(
    "magic, line, cell, message",
    [
        ("tcl", "--host nowhere set x", None, "no Tcl host named 'nowhere'"),
        ("tcl", "--host not_a_host set x", None, "'not_a_host' is not a Tcl host"),
        ("tcl", "--host", None, "needs the name of a host"),
        ("tcl", "nowhere", "set x", "no Tcl host named 'nowhere'"),
        ("tcl", "own remote", "set x", "usage"),
        ("tcl", "--host", "set x", "usage"),
    ],
)
def test_bad_host_names_are_usage_errors(ip, hosts, magic, line, cell, message):
    with pytest.raises(UsageError, match=message):
        if cell is None:
            ip.run_line_magic(magic, line)
        else:
            ip.run_cell_magic(magic, line, cell)


@pytest.mark.parametrize("host_name", [None, "remote"])
def test_an_error_raises_tcls_trace_as_a_quick_call_does(ip, hosts, host_name):
    line = f"--host {host_name} " if host_name else ""
    with pytest.raises(TclError) as raised:
        ip.run_line_magic("tcl", line + "proc fail {} {error {bad value}}; fail")
    assert str(raised.value).startswith("bad value\n    while executing\n\"error {bad value}\"")
    assert "invoked from within\n\"fail\"" in str(raised.value)
    assert raised.value.__suppress_context__


def test_each_script_is_one_call_in_the_history_and_its_journal(ip, hosts):
    own, _ = hosts
    own.history.clear()
    ip.run_cell_magic("tcl", "own", "set a {x y}\nset b 2")
    assert [entry.api for entry in own.history.filter()] == ["set a {x y}\nset b 2"]
    replay = TclInterpreter()
    replay.tk.eval(own.history.script())
    assert (replay.vars["a"], replay.vars["b"]) == ("x y", "2")


# ---------------------------------------------------------------------------------------------
# Tables

MARKUP = "<script>alert('x') & \"y\"</script>"


def cells_of(table: str) -> list[str]:
    """The text of every data cell of a table, nested tables flattened, markup undone."""
    return [html.unescape(cell) for cell in re.findall(r"<td[^>]*>([^<]*)", table)]


def test_a_field_tree_is_a_table_with_its_sub_lists_nested_and_its_text_escaped():
    tree = FieldTree({"name": {"first": MARKUP, "last": "B"}, MARKUP: 1})
    table = as_html(tree)
    assert "<script>" not in table and table.count("<table") == 2
    assert cells_of(table) == ["name", "", "first", MARKUP, "last", "B", MARKUP, "1"]


def test_an_empty_tree_and_a_long_one():
    assert "<i>empty</i>" in FieldTree()._repr_html_()
    long = FieldTree({f"k{n}": n for n in range(501)})._repr_html_()
    assert long.count("<tr>") == 1 + 500 + 1 and "&hellip; and 1 more" in long


def test_a_tree_that_contains_itself_raises_recursion_error():
    tree = FieldTree()
    dict.__setitem__(tree, "self", tree)
    with pytest.raises(RecursionError):
        tree._repr_html_()


@pytest.fixture
def app(interp):
    interp.tk.call("namespace", "eval", "::nb", "variable markup; variable declared")
    interp.tk.call("set", "::nb::markup", MARKUP)
    interp.tk.call("array", "set", "::nb::arr", ("k", MARKUP))
    interp.tk.eval("proc ::nb::run {mode {speed 1} args} {}; interp alias {} ::nb::al {} list")
    yield TclNamespace("::nb", interp)
    interp.tk.eval("namespace delete ::nb")


def test_the_variables_views_show_values_arrays_and_escaped_text(app):
    for view in (app.vars, app.objs):
        table = as_html(view)
        assert "<script>" not in table and repr(view) in html.unescape(table)
        found = cells_of(table)
        assert found[found.index("markup") + 1] == MARKUP
        assert found[found.index("arr") + 1:found.index("arr") + 4] == ["", "k", MARKUP]


def test_the_commands_views_show_kinds_and_the_arguments_of_procs(app):
    table = as_html(app.cmds)
    found = cells_of(table)
    assert found[found.index("run"):found.index("run") + 3] == ["run", "proc", "mode speed args"]
    assert found[found.index("al"):found.index("al") + 3] == ["al", "command", ""]
    assert cells_of(app.procs._repr_html_()) == ["run", "proc", "mode speed args"]
