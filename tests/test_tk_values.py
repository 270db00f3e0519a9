"""Values that _tkinter cannot convert inside a Tcl list (it would end the process) raise the
error a flat word raises instead; values it converts through str() still arrive unchanged."""

from __future__ import annotations

import pytest

from tarvik.tcl.namespace import TclCommand, TclNamespace, TclVariable


class Boom(Exception):
    pass


class BadStr:
    def __str__(self):
        raise Boom()


class SurrogateStr:
    def __str__(self):
        return "a\udfff"


class Words:
    def __str__(self):
        return "x y"


class Hook:
    """Its __tclobj__ result reaches _tkinter as it is."""

    def __init__(self, value):
        self.value = value

    def __tclobj__(self):
        return self.value


def self_referencing():
    loop: list = ["a"]
    loop.append(loop)
    return loop


BAD_VALUES = [
    (["ok", "\udfff"], UnicodeEncodeError),
    ([["deeper", ("\ud800x",)]], UnicodeEncodeError),
    ([Hook(("a", BadStr()))], Boom),
    ([Hook(("a", SurrogateStr()))], UnicodeEncodeError),
    ([Hook(self_referencing())], RecursionError),
]


@pytest.fixture
def send(interp):
    """Every way a handle hands a nested value to _tkinter."""
    interp.tk.eval("namespace eval ::tkv {}")
    return {
        "set": lambda value: TclVariable("::tkv::x", tcl=interp).set(value),
        "set element": lambda value: TclVariable("::tkv::a", tcl=interp).set(value, "i"),
        "command call": lambda value: TclCommand("::list", tcl=interp)(value),
        "namespace call": lambda value: TclNamespace("::tkv", tcl=interp).call("::list", value),
    }


@pytest.mark.parametrize("value, error", BAD_VALUES)
@pytest.mark.parametrize("way", ["set", "set element", "command call", "namespace call"])
def test_unconvertible_nested_values_raise(send, way, value, error):
    with pytest.raises(error):
        send[way](value)


@pytest.mark.parametrize("way", ["set", "command call", "namespace call"])
def test_nested_values_converted_through_str_arrive_unchanged(send, interp, way):
    def sent(inner):
        result = send[way]([Hook((inner, 1, b"b", 2.5, ("é", "\U0001f600")))])
        return interp.tk.getvar("::tkv::x") if way == "set" else result

    assert sent(Words()) == sent("x y")
