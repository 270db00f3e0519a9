"""Results that Tcl holds as list objects reach Python as nested tuples of typed items; every
handle, view and reader gives the strings Tcl lists, whatever form Tcl holds."""

from __future__ import annotations

import pytest

from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace

# Scripts that leave Tcl holding words as list objects (`lindex $x 0 0` makes x one) or numbers.
SHIMMERED_ARRAY = (
    "proc mk {} {upvar #0 ::arr2 st; set st(n) 1; set x n; lindex $x 0 0;"
    " set y [expr {1+1}]; set st($y) 2; set z {a b}; lindex $z 0 0; set st($z) 3}; mk"
)


def tcl_list(tk, script):
    """The elements of the list a script returns, as Tcl's own lindex gives their strings."""
    tk.eval(f"set ::__l [{script}]")
    count = int(tk.eval("llength $::__l"))
    items = [tk.eval(f"lindex $::__l {i}") for i in range(count)]
    tk.eval("unset ::__l")
    return items


@pytest.fixture
def shimmered(interp):
    interp.tk.eval(SHIMMERED_ARRAY)
    yield interp
    interp.tk.eval("unset -nocomplain ::arr2; rename mk {}")


def test_array_handles_give_the_names_tcl_lists(shimmered):
    array = TclArrayVariable("::arr2", tcl=shimmered)
    names = tcl_list(shimmered.tk, "array names ::arr2")
    assert sorted(array) == sorted(names) == ["2", "a b", "n"]
    assert sorted(array.array_names()) == sorted(names)
    assert all(type(name) is str for name in array)
    assert array.array_get_obj() == {"n": "1", "2": "2", "a b": "3"}


def test_views_and_namespace_queries_give_strings(interp):
    tk = interp.tk
    tk.eval(
        "namespace eval ::lr {namespace eval c1 {}; namespace export e*;"
        " proc p {a {b 1}} {}; variable v 1}"
    )
    try:
        # Shimmer the words Tcl keeps for names into list objects.
        tk.eval("foreach w [list {*}[info args ::lr::p] ::lr::c1 e* ::lr::v] {lindex $w 0 0}")
        tk.eval("unset w")
        ns = TclNamespace("::lr", interp)
        assert ns.children() == tuple(tcl_list(tk, "namespace children ::lr"))
        assert ns.export() == tuple(tcl_list(tk, "namespace eval ::lr {namespace export}"))
        assert TclCommand(("::lr::p",), tcl=interp).proc_args() == ("a", "b")
        assert list(ns.vars) == [n.rpartition("::")[2] for n in tcl_list(tk, "info vars ::lr::*")]
        for names in (ns.children(), ns.export(), list(ns.vars)):
            assert all(type(name) is str for name in names)
    finally:
        tk.eval("namespace delete ::lr")


def test_commands_built_from_list_objects_have_string_words(interp):
    tk = interp.tk
    tk.eval("set ::cw [list puts [list a {b c}] [expr {1+2}] [expr {0.5}]]; llength $::cw")
    # A word tuple of the caller's own is taken as it is; leading arguments are a Tcl list.
    command = TclCommand("::puts", args=tk.getvar("::cw"), tcl=interp)
    assert command.build_tclcmd() == ("::puts", *tcl_list(tk, "set ::cw"))
    tk.eval("unset ::cw")


# The same keyed list held as text, as a list object with typed elements, or (with TclX) as a
# keyed-list object.
KEYED_FORMS = [
    "set ::dut {{name v} {n 2} {sub {{a {x y}} {b 1.5}}}}",
    "set k name; set ::dut [list [list $k v] [list n [expr {1+1}]]"
    " [list sub [list [list a {x y}] [list b [expr {1.5}]]]]]; lindex $k 0 0",
    "set ::dut {{name v} {n 2} {sub {{a {x y}} {b 1.5}}}}; llength $::dut;"
    " foreach e $::dut {llength $e; lindex $e 1 0}",
]


@pytest.mark.parametrize("script", KEYED_FORMS)
def test_keyed_lists_read_the_same_whatever_form_tcl_holds(interp, script):
    interp.tk.eval(script)
    tree = FieldTree.from_tcl(interp.tk.getvar("::dut"))
    interp.tk.eval("unset ::dut; unset -nocomplain ::k")
    assert tree.all_items() == [("name", "v"), ("n", "2"), ("sub.a", "x y"), ("sub.b", "1.5")]
    assert all(type(key) is str for key in tree.all_keys())


def test_keyed_list_objects_read_as_their_text(interp):
    if not interp.tclx:
        pytest.skip("TclX is not installed")
    tk = interp.tk
    tk.eval("set ::kl {}; keylset ::kl name v n [expr {1+1}] sub.a {x y}; keylkeys ::kl")
    tree = FieldTree.from_tcl(tk.getvar("::kl"))
    assert tree.all_items() == FieldTree.from_tcl(tk.eval("set ::kl")).all_items()
    assert tree.all_items() == [("name", "v"), ("n", "2"), ("sub.a", "x y")]
    tk.eval("unset ::kl")
