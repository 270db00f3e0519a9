"""Calls in flight: what a ``with host.pipeline():`` block gives for each call, and the block
itself where its calls run at once (a Tcl in this process).

Inside a block a call gives a :class:`Pending` instead of its result. Calls run in the order they
were made; after the first one that fails, none of the rest of the block runs, and leaving the
block raises that first error. An error that :meth:`Pending.result` raises before another call is
made is the caller's, as for a call made one at a time, and the block goes on.
"""

from __future__ import annotations

from collections.abc import Callable
from tarvik.tcl._tkinter_names import TclError
from typing import Any

from tarvik.tcl._words import _word

_WAITING, _ANSWERED, _FAILED, _NOT_RUN, _LOST = range(5)
_STATES = ("waiting", "answered", "failed", "not run", "lost")
# What a Pending's result() gives for a call whose result is None outside a block (setvar).
VOID = ("void",)


class Pending:
    """The answer to a call made inside a ``pipeline()`` block, which may not have come yet.

    A quick call, ``tk.call``, ``tk.eval``, ``tk.setvar`` and ``tk.unsetvar`` (and so the writes
    of the handles) give one inside a block. :meth:`result` waits for the answer and gives what
    the call would have returned outside the block (a quick call's cast applied), or raises its
    error: a quick call's ``TclError`` with Tcl's trace, as a quick call raises it; a call that
    the block did not run because an earlier one failed raises ``TclError`` saying so; a call
    whose host was closed (timeout, Ctrl-C, the remote's death) raises that fault.
    """

    __slots__ = ("_state", "_value", "_block", "_finish", "_deadline")

    def __init__(self, block: Any, finish: Any = None) -> None:
        self._state = _WAITING
        self._value: Any = None
        self._block = block
        self._finish = finish  # None: the raw answer; VOID: None; (tcl, cast): a quick call's
        self._deadline: float | None = None  # for a call in flight to a remote

    def done(self) -> bool:
        """Whether the answer has come (or never will: the call was not run, or the host closed).
        Reads the answers that have arrived without waiting for more, and sends the calls that
        the block has gathered."""
        if self._state == _WAITING:
            self._block.look_for(self)
        return self._state != _WAITING

    def result(self) -> Any:
        """The call's result, waiting for it; or raises the call's error."""
        if self._state == _WAITING:
            self._block.wait_for(self)
        if self._state == _ANSWERED:
            return self._give(self._value)
        error = self._error()
        if self._state == _FAILED:
            self._block.raised(self)
        raise error from None

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {_STATES[self._state]}>"

    # -- what the package's native modules ask of a result that comes later

    def _tcl_result(self) -> Any:
        return self.result()

    def _quick_call(self, tcl: Any, cast: bool) -> Pending:
        """The Pending a quick call gives: its result cast as the quick call casts it, its error
        raised with Tcl's trace."""
        self._finish = (tcl, cast)
        return self

    # -- the answer

    def _give(self, value: Any) -> Any:
        finish = self._finish
        if finish is None:
            return value
        if finish is VOID:
            return None
        tcl, cast = finish
        if cast:
            return tcl.cast_any(value)
        return value if type(value) is str else _word(value)

    def _error(self) -> BaseException:
        state, value = self._state, self._value
        if state == _FAILED:
            message, info, code = value
            if code == "PYTHON RecursionError":
                return RecursionError(message.removeprefix("RecursionError: "))
            quick = type(self._finish) is tuple
            return TclError(info if quick and info else message)
        if state == _NOT_RUN:
            return TclError(f"not run: an earlier call in the pipeline failed: {value}")
        kind, message = value
        return kind(message)

    def _answered(self, value: Any) -> None:
        self._state, self._value = _ANSWERED, value

    def _failed(self, message: str, info: str, code: str) -> None:
        self._state, self._value = _FAILED, (message, info, code)

    def _not_run(self, failure: Pending) -> None:
        self._state, self._value = _NOT_RUN, failure._value[0]

    def _lost(self, kind: type[BaseException], message: str) -> None:
        self._state, self._value = _LOST, (kind, message)


def answer_of(value: Any) -> Any:
    """A value that may be a Pending, as its answer (waiting for it)."""
    return value.result() if type(value) is Pending else value


class Block:
    """What a pipeline block keeps, however its calls travel: the segment of calls that the first
    failure ends, and the last call made. A block opened inside one that is open is that one.
    """

    def __init__(self, depth: int) -> None:
        self.depth = depth  # the callbacks' depth at which calls go into the block
        self.failure: Pending | None = None  # the first failed call, while the block goes on
        self.last: Pending | None = None  # the call made last

    def not_run(self, finish: Any) -> Pending:
        assert self.failure is not None
        pending = Pending(self, finish)
        pending._not_run(self.failure)
        self.last = pending
        return pending

    def raised(self, pending: Pending) -> None:
        """result() raised the error of `pending`. When no call was made after it, the caller has
        the error as one made one at a time would have: the block goes on, as a new segment."""
        if pending is self.failure and pending is self.last:
            self.failure = None
            self.next_segment()

    def next_segment(self) -> None:
        pass

    def first_error(self) -> BaseException | None:
        """The error that leaving the block raises: the first failure that no caller took."""
        return None if self.failure is None else self.failure._error()

    def look_for(self, pending: Pending) -> None:
        pass

    def wait_for(self, pending: Pending) -> None:
        raise AssertionError("a Pending of a block whose calls run at once is always done")


class ImmediateBlock(Block):
    """A block whose calls run at once, each giving a Pending that is done: a Tcl in this
    process, or a remote's calls made from a callback. Calls that run while one of the block's
    calls runs (from a Tcl callback) are calls of their own, not of the block."""

    def __init__(self, error_info: Callable[[], Any], depth: int = 0) -> None:
        super().__init__(depth)
        self.error_info = error_info  # ::errorInfo, read right after a call failed
        self.running = False

    def run(self, call: Callable[..., Any], args: tuple, finish: Any = None) -> Any:
        """A call of the block: a done Pending of what `call(*args)` gives."""
        if self.running:
            return call(*args)
        if self.failure is not None:
            return self.not_run(finish)
        pending = Pending(self, finish)
        self.last = pending
        self.running = True
        try:
            value = call(*args)
        except TclError as error:
            pending._failed(str(error), str(self.error_info()), "")
            self.failure = pending
        else:
            pending._answered(value)
        finally:
            self.running = False
        return pending

    def answer(self, call: Callable[..., Any], args: tuple) -> Any:
        """A call whose answer the caller needs to go on: made at once, its error the caller's;
        not made (TclError) once a call of the block failed."""
        if not self.running:
            if self.failure is not None:
                self.not_run(None).result()
            self.last = None
        return call(*args)


class PipelinedTk:
    """A ``_tkinter`` application object while a pipeline block of its interpreter is open:
    ``call``, ``eval``, ``setvar``, ``unsetvar`` and ``deletecommand`` run at once and give a
    Pending that is done; what needs an answer (``getvar``, ``createcommand``) is not run once a
    call of the block failed; everything else is the application object's own."""

    def __init__(self, tk: Any, block: ImmediateBlock) -> None:
        self._tk = tk
        self._block = block

    def call(self, *args: Any) -> Any:
        return self._block.run(self._tk.call, args)

    def eval(self, script: Any) -> Any:
        return self._block.run(self._tk.eval, (script,))

    def setvar(self, *args: Any) -> Any:
        return self._block.run(self._tk.setvar, args, VOID)

    def unsetvar(self, *args: Any) -> Any:
        return self._block.run(self._tk.unsetvar, args, VOID)

    def deletecommand(self, name: Any) -> Any:
        return self._block.run(self._tk.deletecommand, (name,), VOID)

    def getvar(self, *args: Any) -> Any:
        return self._block.answer(self._tk.getvar, args)

    def createcommand(self, name: Any, func: Any) -> Any:
        return self._block.answer(self._tk.createcommand, (name, func))

    def splitlist(self, value: Any) -> Any:
        return self._tk.splitlist(answer_of(value))

    def getboolean(self, value: Any) -> Any:
        return self._tk.getboolean(answer_of(value))

    def __getattr__(self, name: str) -> Any:
        return getattr(self._tk, name)


class LocalPipeline:
    """``with interpreter.pipeline():`` for a Tcl in this process: its ``tk`` is a
    :class:`PipelinedTk` while the block is open."""

    def __init__(self, host: Any) -> None:
        self._host = host
        self._tk: Any = None  # the application object, while this block is the open one
        self._block: ImmediateBlock | None = None

    def __enter__(self) -> None:
        tk = self._host.tk
        if isinstance(tk, PipelinedTk):
            return None  # inside an open block: this one is that one
        block = ImmediateBlock(lambda: tk.getvar("errorInfo"))
        self._host._use_tk(PipelinedTk(tk, block))
        self._tk, self._block = tk, block
        return None

    def __exit__(self, exc_type: Any, exc: BaseException | None, tb: Any) -> None:
        block = self._block
        if block is None:
            return
        self._host._use_tk(self._tk)
        self._tk = self._block = None
        if exc is None and (error := block.first_error()) is not None:
            raise error
