"""Every public function and method of every native module, called with arbitrary and hostile
values, by position and by keyword, with wrong argument counts too. The only outcomes allowed
are a return value or an ordinary exception: never a crash, a hang or a SystemError (which is how
Python reports a native function that broke its own error protocol)."""

from __future__ import annotations

import faulthandler
import gc
import inspect
import os
import reprlib
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from gates.fuzz.targets import ConstructionFailed, Target, all_targets, instance_strategy

HANG_SECONDS = 60  # one call; the process is ended with every thread's traceback past this
TARGETS = all_targets()


@st.composite
def call_arguments(draw: st.DrawFn, target: Target, env: Any) -> tuple[list[Any], dict[str, Any]]:
    """Arguments for ``target``, each passed by position or keyword as its kind allows, and now
    and then a call that the signature rejects (a missing, extra or repeated argument)."""
    args: list[Any] = []
    kwargs: dict[str, Any] = {}
    positional_open = True
    for p in target.parameters:
        value = lambda: draw(target.argument_strategy(p.name, env))  # noqa: E731
        if p.kind is p.VAR_POSITIONAL:
            if positional_open:
                args.extend(value() for _ in range(draw(st.integers(0, 3))))
            continue
        if p.kind is p.VAR_KEYWORD:
            for i in range(draw(st.integers(0, 2))):
                kwargs[f"extra_{i}"] = value()
            continue
        if p.default is not p.empty and draw(st.booleans()):
            positional_open = False  # skipped: later ones can only go by keyword
            continue
        by_keyword = p.kind is p.KEYWORD_ONLY or p.kind is not p.POSITIONAL_ONLY and (
            not positional_open or draw(st.booleans())
        )
        if by_keyword:
            kwargs[p.name] = value()
            positional_open = False
        else:
            args.append(value())
    mistake = draw(st.sampled_from(["none"] * 6 + ["drop", "extra", "unknown", "repeat"]))
    if mistake == "drop" and (args or kwargs):
        args.pop() if args else kwargs.popitem()
    elif mistake == "extra":
        args.append(draw(env.values))
    elif mistake == "unknown":
        kwargs["no_such_parameter"] = draw(env.values)
    elif mistake == "repeat" and target.parameters:
        kwargs[target.parameters[0].name] = draw(env.values)
        args.insert(0, draw(env.values))
    return args, kwargs


class SafeRepr(reprlib.Repr):
    """reprlib's short repr, with Tcl objects shown by their string. Tcl drops the type of an
    object that it reads as a variable name, and _tkinter's own repr of such an object crashes:
    the values shared between examples include Tcl objects that any call may pass to Tcl so."""

    def repr_Tcl_Obj(self, obj: Any, level: int) -> str:
        return f"<Tcl_Obj {self.repr1(str(obj), level - 1)}>"


def touch(result: Any) -> None:
    """Reads every character of a returned string and the repr of anything else, so a broken
    result shows here (and under the sanitizers) rather than later."""
    if isinstance(result, str):
        result.encode("utf-8", "surrogatepass")
    try:
        TOUCH.repr(result)
    except Exception:
        pass


TOUCH = SafeRepr()  # set one by one: Python 3.11's Repr takes no arguments
TOUCH.maxlevel, TOUCH.maxstring, TOUCH.maxother, TOUCH.maxlist = 50, 10**6, 10**6, 10**6
TOUCH.maxtuple, TOUCH.maxdict, TOUCH.maxset, TOUCH.maxfrozenset = 10**6, 10**6, 10**6, 10**6


class LastCall:
    """Keeps the call being made in $TARVIK_FUZZ_LAST_CALL, so that the runner can name it when
    the process dies in it."""

    path = os.environ.get("TARVIK_FUZZ_LAST_CALL")
    short = SafeRepr()  # set one by one: Python 3.11's Repr takes no arguments
    short.maxlevel, short.maxstring, short.maxother = 3, 60, 60

    @classmethod
    def record(cls, key: str, args: list[Any], kwargs: dict[str, Any]) -> None:
        if not cls.path:
            return
        try:
            text = f"{key}(*{cls.short.repr(args)}, **{cls.short.repr(kwargs)})"
        except Exception as error:  # a hostile repr
            text = f"{key}(<arguments whose repr raised {type(error).__name__}>)"
        with open(cls.path, "w", encoding="utf-8", errors="backslashreplace") as file:
            file.write(text)


def call_once(function: Any, args: list[Any], kwargs: dict[str, Any]) -> None:
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        result = function(*args, **kwargs)
    except SystemError as error:
        raise AssertionError(f"SystemError: {error}") from error
    except Exception:
        return
    finally:
        faulthandler.cancel_dump_traceback_later()
    touch(result)


def count_example(counter: Any) -> None:
    counter.examples += 1
    if counter.examples % 64 == 0:
        gc.collect()  # runs the native types' traverse and clear on whatever the calls made


@pytest.mark.skipif(not TARGETS, reason="no native module imports")
@pytest.mark.parametrize("target", TARGETS, ids=[t.key for t in TARGETS])
@given(data=st.data())
def test_any_arguments(target: Target, data: st.DataObject, env: Any, counter: Any) -> None:
    count_example(counter)
    args, kwargs = data.draw(call_arguments(target, env), label="arguments")
    if target.owner is not None:
        instance = data.draw(instance_strategy(target, env), label="instance")
        if isinstance(instance, ConstructionFailed):
            return
        args.insert(0, instance)
    LastCall.record(target.key, args, kwargs)
    call_once(target.function, args, kwargs)


CLASSES: dict[type, list[Target]] = {}
for _target in TARGETS:
    if _target.owner is not None:
        CLASSES.setdefault(_target.owner, []).append(_target)


@pytest.mark.skipif(not CLASSES, reason="no native class")
@pytest.mark.parametrize("methods", CLASSES.values(), ids=[c.__qualname__ for c in CLASSES])
@given(data=st.data())
def test_method_sequences(methods: list[Target], data: st.DataObject, env: Any,
                          counter: Any) -> None:
    """One instance through several methods and attribute changes in a row, so that state one
    call leaves behind meets the next."""
    count_example(counter)
    instance = data.draw(instance_strategy(methods[0], env), label="instance")
    if isinstance(instance, ConstructionFailed):
        return
    for _ in range(data.draw(st.integers(1, 6), label="steps")):
        target = data.draw(st.sampled_from(methods), label="method")
        args, kwargs = data.draw(call_arguments(target, env), label=target.key)
        LastCall.record(target.key, [instance, *args], kwargs)
        call_once(target.function, [instance, *args], kwargs)


def test_every_target_has_a_signature() -> None:
    for target in TARGETS:
        assert isinstance(inspect.signature(target.function), inspect.Signature), target.key
