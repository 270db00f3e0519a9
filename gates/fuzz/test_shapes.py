"""Shapes of user code that arbitrary arguments alone do not reach, each fuzzed: subclasses of the
native classes that override __iter__, get and __init__; Tcl commands whose Python function
deletes its own command; any attribute set on or deleted from any native function; iterators
stepped from inside their own step. Every outcome but a crash, a hang or a SystemError is
allowed. With $TARVIK_FUZZ_GC_THRESHOLD (see conftest.py) the collector runs every few
allocations, which on Python 3.11 means inside the native code's own allocations."""

from __future__ import annotations

import copy
import gc
import pickle
from typing import Any, Callable

import pytest
from hypothesis import given
from hypothesis import strategies as st

from gates.fuzz.conftest import FuzzEnv
from gates.fuzz.targets import Target, all_targets
from gates.fuzz.test_fuzz import LastCall, call_once, count_example

PACKAGE = "tarvik.tcl"


def _native(module: str, name: str) -> Any:
    return getattr(__import__(f"{PACKAGE}.{module}", fromlist=[name]), name)


# ---------------------------------------------------------------------------------------------
# Subclasses overriding __iter__, get and __init__


def _iter_override(kind: str, values: list[Any], steps: int) -> Callable[..., Any]:
    def __iter__(self: Any) -> Any:
        if kind == "started":
            names = super(type(self), self).__iter__()
            for _ in range(steps):
                next(names, None)
            return names
        if kind == "values":
            return iter(values)
        if kind == "not an iterator":
            return values
        raise RuntimeError("__iter__ refuses")

    return __iter__


def _get_override(kind: str, value: Any) -> Callable[..., Any]:
    def get(self: Any, *args: Any, **kwargs: Any) -> Any:
        if kind == "super":
            return super(type(self), self).get(*args, **kwargs)
        if kind == "value":
            return value
        raise LookupError("get refuses")

    return get


def _init_override(kind: str, value: Any) -> Callable[..., Any]:
    def __init__(self: Any, *args: Any, **kwargs: Any) -> None:
        if kind == "no super":
            return
        if kind == "other arguments":
            super(type(self), self).__init__(value, **kwargs)
            return
        super(type(self), self).__init__(*args, **kwargs)
        if kind == "raise after super":
            raise ValueError("__init__ fails late")

    return __init__


# The native classes, how to make an instance of each (args, kwargs), and what to do with one.
def _classes(tcl: Any) -> dict[str, tuple[Any, Callable[[], tuple[tuple, dict]]]]:
    TclNamespace = _native("namespace", "TclNamespace")
    ns = TclNamespace("::fuzz_shapes", tcl)
    host = {"tcl": tcl}
    return {
        "VariablesView": (TclNamespace.VariablesView, lambda: ((ns,), {})),
        "ObjectsView": (TclNamespace.ObjectsView, lambda: ((ns,), {})),
        "CommandsView": (TclNamespace.CommandsView, lambda: ((ns,), {})),
        "ProcsView": (TclNamespace.ProcsView, lambda: ((ns,), {})),
        "TclArrayVariable": (_native("namespace", "TclArrayVariable"),
                             lambda: (("::fuzz_shapes::arr",), host)),
        "TclVariable": (_native("namespace", "TclVariable"), lambda: (("::fuzz_shapes::v",), host)),
        "TclCommand": (_native("namespace", "TclCommand"), lambda: (("::list",), host)),
        "TclNamespace": (TclNamespace, lambda: (("::fuzz_shapes",), host)),
        "FieldTree": (_native("fieldtree", "FieldTree"), lambda: (({"a.b": "c", "d": "e"},), {})),
        "History": (_native("history", "History"), lambda: ((5,), {})),
    }


USES: list[Callable[[Any, Any], Any]] = [
    lambda obj, value: len(obj),
    lambda obj, value: list(obj),
    lambda obj, value: dict(obj),
    lambda obj, value: sorted(obj.keys()),
    lambda obj, value: value in obj,
    lambda obj, value: obj[value],
    lambda obj, value: obj.get(value),
    lambda obj, value: obj.__setitem__(value, value),
    lambda obj, value: obj.__delitem__(value),
    lambda obj, value: repr(obj),
    lambda obj, value: str(obj),
    lambda obj, value: copy.copy(obj),
    lambda obj, value: obj.items(),
    lambda obj, value: obj.update({value: value}),
    lambda obj, value: obj.append(value),
    lambda obj, value: obj.filter(count=value),
    lambda obj, value: obj.byref(value),
    lambda obj, value: obj(value),
]


@pytest.fixture(scope="module")
def tcl() -> Any:
    """The interpreter of these tests, apart from the one the calls of test_fuzz.py disturb."""
    interp = FuzzEnv.fresh_interpreter()
    interp.tk.eval("namespace eval ::fuzz_shapes {variable a 1; variable b {x y}; proc p {} {}}")
    interp.tk.eval("array set ::fuzz_shapes::arr {k1 1 k2 2 k3 3}")
    return interp


@pytest.fixture(scope="module")
def classes(tcl: Any) -> dict[str, tuple[Any, Callable[[], tuple[tuple, dict]]]]:
    return _classes(tcl)


CLASS_NAMES = ["VariablesView", "ObjectsView", "CommandsView", "ProcsView", "TclArrayVariable",
               "TclVariable", "TclCommand", "TclNamespace", "FieldTree", "History"]  # fmt: skip


@pytest.mark.parametrize("name", CLASS_NAMES)
@given(data=st.data())
def test_subclasses_overriding_iter_get_and_init(name: str, classes: Any, data: st.DataObject,
                                                 env: Any, counter: Any) -> None:
    count_example(counter)
    base, arguments = classes[name]
    namespace: dict[str, Any] = {}
    if data.draw(st.booleans(), label="override __iter__"):
        kind = data.draw(st.sampled_from(["started", "values", "not an iterator", "raises"]))
        values = data.draw(st.lists(env.values, max_size=3))
        namespace["__iter__"] = _iter_override(kind, values, data.draw(st.integers(0, 4)))
    if data.draw(st.booleans(), label="override get"):
        kind = data.draw(st.sampled_from(["super", "value", "raises"]))
        namespace["get"] = _get_override(kind, data.draw(env.values))
    if data.draw(st.booleans(), label="override __init__"):
        kind = data.draw(st.sampled_from(["super", "no super", "other arguments",
                                          "raise after super"]))  # fmt: skip
        namespace["__init__"] = _init_override(kind, data.draw(env.values))
    subclass = type(base)(f"Fuzzed{name}", (base,), namespace)
    args, kwargs = arguments()
    LastCall.record(f"shapes.{name}()", list(args), kwargs)
    try:
        instance = subclass(*args, **kwargs)
    except SystemError:
        raise
    except Exception:
        return
    for _ in range(data.draw(st.integers(1, 5), label="uses")):
        use = data.draw(st.sampled_from(USES))
        value = data.draw(st.one_of(st.sampled_from(["a", "b", "k1", "a.b", "p"]), env.values))
        LastCall.record(f"shapes.{name} use", [value], {})
        call_once(use, [instance, value], {})


# ---------------------------------------------------------------------------------------------
# Commands whose function deletes its own command


@given(data=st.data())
def test_callbacks_that_delete_their_own_command(data: st.DataObject, env: Any, tcl: Any,
                                                  counter: Any) -> None:
    count_example(counter)
    TclCommand, TclNamespace, TempTclCommand = (
        _native("namespace", name) for name in ("TclCommand", "TclNamespace", "TempTclCommand"))
    name = "::fuzz_self_deleting"
    ending = data.draw(st.sampled_from(["returns", "raises", "raises an odd error", "deletes twice"]))
    result = data.draw(env.values)

    def function(*args: Any) -> Any:
        tcl.tk.eval(f"catch {{rename {name} {{}}}}")
        if ending == "deletes twice":
            tcl.tk.eval(f"rename {name} {{}}")  # a TclError inside the callback
        if ending == "raises":
            raise ValueError("after deleting itself")
        if ending == "raises an odd error":
            raise type("Odd", (Exception,), {"__str__": lambda self: 1 / 0})()
        return result

    way = data.draw(st.sampled_from(["handle", "view", "temporary"]))
    keep = None
    if way == "handle":
        TclCommand(name, tcl=tcl).createcommand(function)
    elif way == "view":
        TclNamespace("::", tcl).cmds[name.lstrip(":")] = function
    else:
        keep = TempTclCommand(function, name, tcl=tcl)
    invoke = data.draw(st.sampled_from([
        lambda: tcl.tk.call(name, "x"),
        lambda: tcl.tk.eval(f"catch {{{name} x}} message; set message"),
        lambda: TclCommand(name, tcl=tcl)("y"),
        lambda: tcl.z.fuzz_self_deleting(),
    ]))  # fmt: skip
    LastCall.record(f"shapes.self-deleting via {way} ({ending})", [], {})
    call_once(invoke, [], {})
    call_once(invoke, [], {})  # the command is gone now
    del keep
    gc.collect()


# ---------------------------------------------------------------------------------------------
# Attributes set on native functions

FUNCTIONS = [target for target in all_targets() if not target.attribute]
ATTRIBUTES = ["__name__", "__qualname__", "__module__", "__doc__", "__dict__",
              "__text_signature__", "__wrapped__", "anything"]  # fmt: skip


def _function_of(target: Target) -> Any:
    return getattr(target.function, "__func__", target.function)


@pytest.mark.skipif(not FUNCTIONS, reason="no native module imports")
@given(data=st.data())
def test_attribute_assignment_on_every_native_function(data: st.DataObject, env: Any,
                                                       counter: Any) -> None:
    count_example(counter)
    target = data.draw(st.sampled_from(FUNCTIONS), label="function")
    function = _function_of(target)
    saved = {name: getattr(function, name, None) for name in ATTRIBUTES}
    saved_dict = dict(function.__dict__)
    try:
        for _ in range(data.draw(st.integers(1, 3), label="changes")):
            attribute = data.draw(st.sampled_from(ATTRIBUTES), label="attribute")
            value = data.draw(st.one_of(env.values, st.just(function)), label="value")
            change = data.draw(st.sampled_from(["set", "delete"]), label="change")
            LastCall.record(f"{target.key}.{attribute} {change}", [value], {})
            if change == "set":
                call_once(setattr, [function, attribute, value], {})
            else:
                call_once(delattr, [function, attribute], {})
        for use in (repr, lambda f: pickle.dumps(f), gc.get_referents, lambda f: f.__reduce__(),
                    lambda f: f(), lambda f: f(data.draw(env.values)),
                    lambda f: f(nonexistent_keyword=1)):  # fmt: skip
            LastCall.record(f"{target.key} used after changes", [], {})
            call_once(use, [function], {})
        gc.collect()
    finally:
        function.__dict__.clear()
        function.__dict__.update(saved_dict)
        for name in ("__name__", "__qualname__", "__module__", "__doc__"):
            setattr(function, name, saved[name])


# ---------------------------------------------------------------------------------------------
# Iterators stepped from inside their own step


@given(data=st.data())
def test_reentrant_iteration(data: st.DataObject, tcl: Any, counter: Any) -> None:
    count_example(counter)
    tcl.tk.eval("array set ::fuzz_reentrant {a 1 b 2 c 3}")
    TclArrayVariable, TclNamespace = (_native("namespace", n)
                                      for n in ("TclArrayVariable", "TclNamespace"))
    running: list[Any] = []
    depth = data.draw(st.integers(0, 3), label="inner steps")
    inner_use = data.draw(st.sampled_from([next, list, len, lambda it: it.__next__()]))

    def step_inside() -> None:
        for names in list(running):
            for _ in range(depth):
                try:
                    inner_use(names)
                except (StopIteration, ValueError, TypeError, RecursionError):
                    pass

    class Array(TclArrayVariable):
        def array_names(self, pattern: Any = None) -> Any:
            step_inside()
            return super().array_names(pattern)

    class Variables(TclNamespace.VariablesView):
        @property
        def ns(self) -> Any:
            step_inside()
            return self.__dict__["ns"]

        @ns.setter
        def ns(self, value: Any) -> None:
            self.__dict__["ns"] = value

    kind = data.draw(st.sampled_from(["array", "view"]))
    owner = (Array("::fuzz_reentrant", tcl=tcl) if kind == "array"
             else Variables(TclNamespace("::fuzz_shapes", tcl)))  # fmt: skip
    iterator = iter(owner)
    if data.draw(st.booleans(), label="drop the owner"):
        del owner
    running.append(iterator)
    outer = data.draw(st.sampled_from([list, next, len, sorted]))
    LastCall.record(f"shapes.reentrant {kind}", [depth], {})
    call_once(outer, [iterator], {})
    running.clear()
