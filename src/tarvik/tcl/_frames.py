"""The framing layer of a host whose Tcl runs in another process: calls to frames and frames to
answers, over any link (:mod:`tarvik.tcl._link`).

Everything that links share is here, written once: one call at a time (nested calls from
callbacks aside), a deadline for each whole call, the faults of the remote and of the link, the
refusal of a process that forked from the one that made the host, and the remote's output read
while the host waits. Calls in flight (:mod:`tarvik.tcl._flight`) go through the same channel.
"""

from __future__ import annotations

import codecs
import numbers
import os
import re
import select
import threading
import time
import traceback
import weakref
from collections.abc import Callable
from threading import get_ident
from typing import Any, NoReturn

from tarvik.tcl import _link
from tarvik.tcl._host import splitlist as _splitlist
from tarvik.tcl._link import HEADER, MAX_FRAME, READ_SIZE, Link
from tarvik.tcl._pipeline import VOID
from tarvik.tcl._tkinter_names import TclError
from tarvik.tcl._words import _word, _words_text

_LENGTH = HEADER.size
# A big frame read straight into its own place keeps that place for the next one up to this size.
_KEPT_FRAME = 4 << 20
# An answer bigger than this that is not UTF-8 (NUL or characters beyond the BMP as Tcl keeps
# them) is asked for again in UTF-8.
_RESEND_OVER = 65536
# Python frames that the link's own work may take below a call (see _room).
_ROOM = 12
_POLLIN = select.POLLIN | select.POLLHUP | select.POLLERR


class TclProcessError(ConnectionError):
    """The link to a Tcl interpreter in another process is broken or was never made."""



# ---------------------------------------------------------------------------------------------
# Deadlines set for a block of calls


def checked_seconds(seconds: Any) -> float | None:
    """The seconds of a ``timeout()`` block: a positive number, or None for no deadline."""
    if seconds is None:
        return None
    if isinstance(seconds, bool) or not isinstance(seconds, numbers.Real):
        raise TypeError(f"timeout() takes a number of seconds or None, not "
                        f"{type(seconds).__name__}")
    seconds = float(seconds)
    if not seconds > 0:  # NaN too
        raise ValueError(f"timeout() takes a positive number of seconds or None, not {seconds!r}")
    return seconds


class CallTimeout:
    """``with host.timeout(seconds):`` over a channel: the thread that opens the block has its
    calls answered within `seconds`; leaving the block gives back what held before."""

    __slots__ = ("_channel", "_seconds", "_entry")

    def __init__(self, channel: _Channel, seconds: Any) -> None:
        self._channel = channel
        self._seconds = checked_seconds(seconds)
        self._entry: list[float | None] | None = None

    def __enter__(self) -> None:
        if self._entry is not None:
            raise RuntimeError("this timeout() block is already open")
        # A list of its own, so that leaving removes this entry even if blocks end out of order.
        self._entry = [self._seconds]
        self._channel.push_timeout(self._entry)

    def __exit__(self, *exc_info: object) -> None:
        entry, self._entry = self._entry, None
        if entry is not None:
            self._channel.pop_timeout(entry)


# ---------------------------------------------------------------------------------------------
# Text on the link


def _plain(text: str) -> bool:
    """Whether a string is ASCII without NUL: its UTF-8 bytes are then the very bytes Tcl keeps
    it in, and the agent takes them as they are."""
    return text.isascii() and "\0" not in text


def _tcl_bytes(error: UnicodeError) -> tuple[str, int]:
    """Reads what strict UTF-8 refuses in the bytes Tcl keeps a string in, as Tcl reads them:
    C0 80 is NUL, a surrogate in three bytes is itself, and any other byte is the character of
    its value."""
    assert isinstance(error, UnicodeDecodeError)
    data, at = error.object, error.start
    lead = data[at]
    if lead == 0xC0 and data[at + 1 : at + 2] == b"\x80":
        return "\0", at + 2
    if (lead == 0xED and at + 2 < len(data) and 0xA0 <= data[at + 1] <= 0xBF
            and 0x80 <= data[at + 2] <= 0xBF):  # fmt: skip
        return chr(0xD000 | (data[at + 1] & 0x3F) << 6 | (data[at + 2] & 0x3F)), at + 3
    return chr(lead), at + 1


codecs.register_error("tarvik.tcl", _tcl_bytes)
_SURROGATE = re.compile("[\ud800-\udfff]")


def _text(data: bytes | bytearray | memoryview, resend: bool = False) -> str | None:
    """The text of a payload from the agent: UTF-8, or the bytes Tcl keeps the string in. None
    when `resend` allows it and the payload is big: the agent had better send it again in UTF-8,
    which reads far faster than Tcl's own forms of NUL and of characters beyond the BMP."""
    try:
        return str(data, "utf-8")
    except UnicodeDecodeError:
        if resend and len(data) > _RESEND_OVER:
            return None
    # NUL, as Tcl keeps it, is the commonest reason: two bytes that no UTF-8 text holds.
    data = bytes(data).replace(b"\xc0\x80", b"\0")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        pass
    text = data.decode("utf-8", "tarvik.tcl")
    if _SURROGATE.search(text):
        # Tcl 8 keeps a character beyond the BMP as two surrogates: together they are one.
        text = text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")
    return text


def _room(levels: int = _ROOM) -> None:
    """Raises RecursionError unless the stack has room for the link's own work: a call that
    runs out of it half-way would leave the link in a state nobody knows."""
    if levels:
        _room(levels - 1)


# ---------------------------------------------------------------------------------------------
# Fork


# How many times this process is a fork of the one it started as: a channel made before the last
# fork belongs to another process, whose link it must never touch.
_fork_generation = 0
_channels: weakref.WeakSet[_Channel] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    global _fork_generation, _channels
    _fork_generation += 1
    for channel in list(_channels):
        channel.abandon()
    _channels = weakref.WeakSet()


def forked(channel: _Channel) -> bool:
    """Whether the channel was made in a process this one forked from."""
    return channel.generation != _fork_generation


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


# ---------------------------------------------------------------------------------------------
# The channel


class _Channel:
    """Frames to and from an agent, over a link.

    One call at a time: the lock is held from sending a frame until its answer arrives, and the
    thread that holds it may call again from a callback (nested calls). ``timeout`` is read at the
    start of each call: the call must be answered within it, time spent in Python callbacks
    aside; a thread inside a ``timeout()`` block uses the block's instead (``call_timeout``).
    While a pipeline block is open (``block``), its thread holds the lock, and the calls it makes
    at the block's depth go into the block.
    """

    def __init__(self, link: Link, timeout: float | None) -> None:
        self.link = link
        self.where = link.where
        # The open timeout() blocks of each thread, innermost last: one thread's block never
        # changes the deadline of another's calls.
        self.thread_timeouts: dict[int, list[list[float | None]]] = {}
        self.timeout = timeout  # sets first_wait too
        self.lock = threading.RLock()
        self.buffer = bytearray()
        self.frame = bytearray()  # the place of the last big frame, see receive_big
        self.callbacks: dict[str, Callable[..., Any]] = {}
        self.command_ids: dict[str, str] = {}
        self.next_id = 0
        self.broken: str | None = None  # why the link is unusable, once it is
        self.broken_by: type[Exception] = TclProcessError  # what calls waiting then raise
        self.block: Any = None  # the open pipeline block (tarvik.tcl._flight), if any
        self.segments = 0  # segments of calls in flight numbered so far (see _flight)
        self.paused = 0.0  # seconds spent in callbacks, which no deadline counts
        self.waiting = False  # a frame was sent and its answer is awaited
        self.depth = 0  # callbacks running on the thread that holds the lock
        self.answered: BaseException | None = None  # an error that is a whole, sound answer
        self.greeted = False  # the agent said hello: it understands a goodbye
        self.generation = _fork_generation
        self.pid = os.getpid()
        # The link's descriptors, read on every call (a link keeps their numbers until it closes,
        # and a closed link is never read or written again).
        self.read_fd, self.write_fd = link.read_fd, link.write_fd
        self.plain = not (link.marked or link.translates)  # frames alone on read_fd, as they come
        self.translates = link.translates
        self.escapes = link.escapes
        self.poller = select.poll()
        self.poller.register(link.read_fd, select.POLLIN)
        for fd in link.drains:
            self.poller.register(fd, select.POLLIN)
        _channels.add(self)

    @property
    def timeout(self) -> float | None:
        """How long a call may take, in seconds (None: no limit)."""
        return self._timeout

    @timeout.setter
    def timeout(self, timeout: float | None) -> None:
        self._timeout = timeout
        self.set_first_wait()

    def set_first_wait(self) -> None:
        # The first poll of a wait, in milliseconds: no longer than a slice or any timeout in
        # force (a shorter first poll for another thread's calls only costs one more poll).
        limits = [_link.POLL_SLICE]
        if self._timeout is not None:
            limits.append(self._timeout)
        for entries in list(self.thread_timeouts.values()):  # other threads change it meanwhile
            limits.extend(seconds for [seconds] in tuple(entries) if seconds is not None)
        self.first_wait = 1000 * max(0.0, min(limits))

    def call_timeout(self) -> float | None:
        """The timeout of a call made now by this thread: its innermost ``timeout()`` block's, or
        the host's own."""
        if self.thread_timeouts:
            entries = self.thread_timeouts.get(get_ident())
            if entries:
                return entries[-1][0]
        return self._timeout

    def push_timeout(self, entry: list[float | None]) -> None:
        self.thread_timeouts.setdefault(get_ident(), []).append(entry)
        self.set_first_wait()

    def pop_timeout(self, entry: list[float | None]) -> None:
        thread = get_ident()
        entries = self.thread_timeouts.get(thread, [])
        for at in range(len(entries) - 1, -1, -1):
            if entries[at] is entry:
                del entries[at]
                break
        if not entries:
            self.thread_timeouts.pop(thread, None)
        self.set_first_wait()

    # -- calls

    def block_here(self) -> Any:
        """The open pipeline block that takes this thread's calls now, if any."""
        block = self.block
        if block is not None and block.depth == self.depth and block.owner == get_ident():
            return block
        return None

    def request(self, kind: str, text: str, finish: Any = None) -> Any:
        """A call ("c": the text of a word list) or a script ("e"): its answer, or inside a
        pipeline block a Pending of it. `finish` VOID: the answer is None."""
        block = self.block
        if block is not None and block.depth == self.depth and block.owner == get_ident():
            return block.submit(kind, text, finish)
        answer = self.exchange(kind.encode("ascii"), text)
        return None if finish is VOID else answer

    def roundtrip(self, kind: bytes, text: str) -> str:
        """A call or a script whose answer the caller needs to go on (inside a pipeline block, it
        waits for every call in flight)."""
        block = self.block
        if block is not None and block.depth == self.depth and block.owner == get_ident():
            return block.roundtrip(kind, text)
        return self.exchange(kind, text)

    def exchange(self, kind: bytes, text: str | bytes, tail: bytes = b"") -> str:
        """Sends a call or a script and waits for its answer, running the callbacks it makes.

        `text` is the payload, or its bytes (then followed by `tail`) with `kind` already telling
        whether it is plain ASCII."""
        if self.generation != _fork_generation:
            raise TclProcessError(self.forked())
        with self.lock:
            if self.waiting:
                # Code run while this thread waits (a finaliser, a signal handler) would take the
                # answer meant for the call in progress.
                raise RuntimeError("the Tcl link is waiting for the answer to another call")
            if self.depth:
                _room()
            timeout = self.call_timeout()
            deadline = None if timeout is None else time.monotonic() + timeout
            try:
                if isinstance(text, str):
                    if text.isascii() and "\0" not in text:  # _plain, inline on the hot path
                        kind, data = kind.upper(), text.encode("ascii")
                    else:
                        data = text.encode("utf-8")
                else:
                    data = text
                self.send(kind, data, tail, deadline)
                self.waiting = True
                kind, payload = self.receive(deadline)
                if kind == b"o" and payload is not None:
                    return payload
                # Frames before the answer (callbacks, deleted callbacks) are handled here, not
                # in a function of their own: each level of callbacks nested both ways costs
                # Python frames, and the fewer the deeper the nesting that works.
                resend = True
                while True:
                    if kind == b"b":
                        started = time.monotonic()
                        self.run_callback(payload or "", deadline)
                        if deadline is not None:
                            deadline += time.monotonic() - started
                    elif kind == b"o":
                        if payload is not None:
                            return payload
                        # Characters beyond the BMP as Tcl 8 keeps them: the answer in UTF-8.
                        self.send(b"U", b"", b"", deadline)
                        resend = False
                    elif kind == b"e":
                        raise self.error(payload or "")
                    elif kind == b"d":
                        self.drop_callbacks(payload or "")
                    else:
                        self.fail(f"the Tcl agent{self.where} sent a frame of unknown kind "
                                  f"{kind!r}")
                    self.check_deadline(deadline)
                    kind, payload = self.receive(deadline, resend)
            except _CLEAN:
                raise
            except BaseException as error:
                if error is self.answered:
                    self.answered = None
                elif self.broken is None:
                    # Interrupted (Ctrl-C) or stopped mid-call: the link's state is unknown.
                    self.broken = f"a call to the Tcl interpreter{self.where} was interrupted"
                    self.close()
                raise
            finally:
                self.waiting = False

    def error(self, payload: str) -> BaseException:
        """The exception of an error answer {message errorInfo errorCode}."""
        items = _splitlist(payload)
        message = items[0] if items else payload
        if items and len(items) == 3 and items[2] == "PYTHON RecursionError":
            # A callback ran out of stack: its caller's caller is as deep, and gets the same
            # error (the link is sound: the answer came).
            self.answered = RecursionError(message.removeprefix("RecursionError: "))
            return self.answered
        return TclError(message)

    def run_callback(self, payload: str, deadline: float | None) -> None:
        """Runs the function of a callback command; the agent serves nested calls meanwhile."""
        items = _splitlist(payload) or ("",)
        func = self.callbacks.get(items[0])
        self.waiting = False
        self.depth += 1
        try:
            if func is None:
                raise LookupError(f"no Python function for callback {items[0]!r}")
            reply, text = b"r", _word(func(*items[1:]))
            data = text.encode("utf-8")
        except Exception as error:  # the callback's error goes to Tcl; BaseException stops here
            reply, data = b"x", _python_error(error)
        finally:
            self.depth -= 1
        if data.isascii() and b"\0" not in data:
            reply = reply.upper()
        self.send(reply, data, b"", deadline)
        self.waiting = True

    def drop_callbacks(self, payload: str) -> None:
        for callback_id in _splitlist(payload) or ():
            self.callbacks.pop(callback_id, None)
        alive = set(self.callbacks)
        for name, callback_id in list(self.command_ids.items()):
            if callback_id not in alive:
                del self.command_ids[name]

    def register(self, name: str, func: Callable[..., Any]) -> None:
        if self.generation != _fork_generation:
            raise TclProcessError(self.forked())
        if not self.link.callbacks:
            raise NotImplementedError(f"the Tcl interpreter{self.where} cannot call Python back: "
                                      "a command that runs a Python function needs the tarvik "
                                      "agent there")
        with self.lock:
            self.next_id += 1
            callback_id = str(self.next_id)
            self.callbacks[callback_id] = func
            try:
                self.roundtrip(b"c", _words_text(("::tarvik::Register", name, callback_id)))
            except BaseException:
                self.callbacks.pop(callback_id, None)
                raise
            self.command_ids[name] = callback_id

    # -- sending

    def send(self, kind: bytes, data: bytes, tail: bytes, deadline: float | None) -> None:
        """Sends one frame whose payload is `data` followed by `tail` (a big part sent as it is,
        never copied into the frame)."""
        if self.broken is not None:
            raise TclProcessError(self.broken)
        size = len(data) + len(tail)
        if size > MAX_FRAME:
            raise ValueError(f"a frame of {size} bytes is more than the link carries "
                             f"({MAX_FRAME})")
        if size < 65536 or self.translates:
            # The commonest frame: one write takes it whole.
            if self.translates:
                frame = self.link.encode(kind, data + tail)
            else:
                frame = HEADER.pack(kind, size) + data + tail
            if not (self.escapes and b"~" in frame):
                try:
                    written = os.write(self.write_fd, frame)
                except BlockingIOError:
                    written = 0
                except OSError as error:
                    self.fail(self.link.lost(f"could not write to it ({error})"))
                if written < len(frame):
                    self.write_rest([memoryview(frame)[written:]], deadline)
                return
            views = [memoryview(frame)]
        else:
            views = [memoryview(HEADER.pack(kind, size) + data), memoryview(tail)]
        self.write_rest(_escaped(views) if self.escapes else views, deadline)

    def write_rest(self, views: list[memoryview], deadline: float | None) -> None:
        """Writes what is left of a frame as the link takes it, reading what the agent sends
        meanwhile, so that neither side waits for the other with a full pipe."""
        link = self.link
        write_fd = self.write_fd
        shared = write_fd == self.read_fd
        views = [view for view in views if view]
        watching = False
        try:
            while views:
                try:
                    written = os.writev(write_fd, views)
                except BlockingIOError:
                    written = 0
                except OSError as error:
                    self.fail(link.lost(f"could not write to it ({error})"))
                while views and written >= len(views[0]):
                    written -= len(views.pop(0))
                if not views:
                    break
                views[0] = views[0][written:]
                if not watching:
                    events = select.POLLOUT | (select.POLLIN if shared else 0)
                    self.poller.register(write_fd, events)
                    watching = True
                self.wait(deadline, writing=True)
        finally:
            if watching and self.broken is None:
                if shared:
                    self.poller.register(write_fd, select.POLLIN)
                else:
                    self.poller.unregister(write_fd)

    # -- receiving

    def receive(self, deadline: float | None, resend: bool = True) -> tuple[bytes, str | None]:
        """The next frame as (kind, payload); with `resend`, the payload of an answer is None
        when it had better be asked for again (see _text)."""
        buffer = self.buffer
        if not buffer:
            data = self.read_some(deadline)
            if len(data) >= 5:
                kind, length = HEADER.unpack_from(data)
                if len(data) == 5 + length:  # one whole frame, the commonest answer
                    try:
                        return kind, str(data[5:], "utf-8")
                    except UnicodeDecodeError:
                        return kind, _text(data[5:], resend and kind == b"o")
            buffer += data
        while len(buffer) < 5:
            self.check_deadline(deadline)
            buffer += self.read_some(deadline)
        kind, length = HEADER.unpack_from(buffer)
        if length > MAX_FRAME:
            self.fail(f"the Tcl agent{self.where} sent a frame of {length} bytes; the link is "
                      "closed")
        end = 5 + length
        if len(buffer) < end:
            if end > READ_SIZE and self.plain:
                return kind, self.receive_big(end, deadline, resend and kind == b"o")
            while len(buffer) < end:
                self.check_deadline(deadline)
                buffer += self.read_some(deadline)
        if end < READ_SIZE:
            payload = _text(buffer[5:end], resend and kind == b"o")
        else:
            with memoryview(buffer) as view, view[5:end] as part:
                payload = _text(part, resend and kind == b"o")
        del buffer[:end]
        return kind, payload

    def receive_big(self, end: int, deadline: float | None, resend: bool) -> str | None:
        """The payload of a big frame whose start is in the buffer: read straight into its place,
        not through the buffer. The place is kept for the next big frame (up to a size), since a
        fresh one costs the system's work of mapping its memory every time."""
        frame = self.frame
        if len(frame) < end:
            frame = bytearray(end)
            if end <= _KEPT_FRAME:
                self.frame = frame
        have = len(self.buffer)
        frame[:have] = self.buffer
        self.buffer.clear()
        with memoryview(frame) as view:
            while have < end:
                self.check_deadline(deadline)
                self.wait(deadline)
                try:
                    have += self.link.readinto(view[have:end])
                except EOFError:
                    self.fail(self.link.lost())
                except OSError as error:
                    self.fail(self.link.lost(f"could not read from it ({error})"))
            with view[5:end] as payload:
                return _text(payload, resend)

    def read_some(self, deadline: float | None) -> bytes:
        """What the agent sent, once there is some; output meanwhile is forwarded."""
        while True:
            self.wait(deadline)
            try:
                if self.plain:
                    data = os.read(self.read_fd, READ_SIZE)
                    if data:
                        return data
                    raise EOFError
                data = self.link.read()
            except EOFError:
                self.fail(self.link.lost())
            except BlockingIOError:
                continue
            except OSError as error:
                self.fail(self.link.lost(f"could not read from it ({error})"))
            if data:
                return data

    def wait(self, deadline: float | None, writing: bool = False) -> None:
        """Returns when the link can be read (or, `writing`, written), forwarding the remote's
        output meanwhile; raises when the remote is gone or the deadline passed. While writing,
        what the agent sends is read into the buffer."""
        poll = self.poller.poll
        # The first wait may pass the deadline by up to a slice; the later ones stop at it.
        ready = poll(self.first_wait)
        if not writing and len(ready) == 1 and ready[0][0] == self.read_fd:
            return  # the commonest case: the answer, and nothing else
        link = self.link
        read_fd = self.read_fd
        while True:
            done = False
            # Output first: what the remote printed before its answer is shown before it.
            for fd, events in ready:
                if fd in link.drains and not link.drains[fd].drain():
                    del link.drains[fd]
                    self.poller.unregister(fd)
            for fd, events in ready:
                if fd == read_fd and events & _POLLIN:
                    if not writing:
                        return
                    self.read_while_writing()
                if writing and fd == self.write_fd and events & (select.POLLOUT | select.POLLERR):
                    done = True
            if done:
                return
            if not ready and not link.alive():
                self.fail(link.lost())
            slice_ = _link.POLL_SLICE
            if deadline is not None:
                slice_ = min(slice_, self.check_deadline(deadline))
            ready = poll(slice_ * 1000)

    def read_while_writing(self) -> None:
        try:
            self.buffer += self.link.read()
        except EOFError:
            self.fail(self.link.lost())
        except OSError as error:
            self.fail(self.link.lost(f"could not read from it ({error})"))
        if self.block is not None and self.block.depth == self.depth:
            # Answers of calls in flight, let go as they come, so that a remote that answers
            # much while the host writes never makes it hold more than a frame.
            self.block.settle_buffered(callbacks=False)

    # -- faults and the end

    def check_deadline(self, deadline: float | None) -> float:
        """The seconds left before the deadline; TimeoutError, closing the link, once none are.
        """
        if deadline is None:
            return _link.POLL_SLICE
        left = deadline - time.monotonic()
        if left <= 0:
            self.time_out()
        return left

    def time_out(self) -> NoReturn:
        timeout = self.call_timeout()
        limit = "in time" if timeout is None else f"within {timeout:g} s"
        self.broken = f"the Tcl interpreter{self.where} did not answer {limit}; the host was closed"
        self.broken_by = TimeoutError
        self.close()
        raise TimeoutError(self.broken)

    def fail(self, reason: str) -> NoReturn:
        if self.broken is None:
            self.broken = reason
        self.close()
        raise TclProcessError(self.broken)

    def forked(self) -> str:
        return (f"this host of the Tcl interpreter{self.where} was made in process {self.pid}, "
                f"not in this one ({os.getpid()}): a forked process must make its own")

    def close(self) -> None:
        """Ends the link (a child is asked to exit by the end of its link, then killed)."""
        if self.generation != _fork_generation:
            self.abandon()
            return
        if self.broken is None:
            self.broken = f"the host of the Tcl interpreter{self.where} is closed"
            if self.greeted and not self.waiting and not self.link.closed:
                self.say_goodbye()
        if self.block is not None:
            self.block.lost(self.broken_by, self.broken)
        self.link.close()

    def say_goodbye(self) -> None:
        """Tells the agent that the host leaves, between two calls: a terminal in the way does
        not pass the end of its input on."""
        try:
            os.write(self.write_fd, HEADER.pack(b"Z", 0))
        except OSError:
            pass

    def abandon(self) -> None:
        """In a forked process: the link is the other process's; only this copy goes."""
        self.generation = -1
        self.broken = self.forked()
        self.link.abandon()


_CLEAN = (TclError, TclProcessError, TimeoutError, ValueError, UnicodeError)


def _python_error(error: Exception) -> bytes:
    """The payload that makes a callback's exception a Tcl error: {"Type: message" errorInfo
    errorCode}, errorInfo starting with the Python traceback."""
    name = type(error).__name__
    try:
        trace = "".join(traceback.format_exception(error)).rstrip("\n")
    except RecursionError:
        trace = f"{name}: {error}"
    text = _words_text((f"{name}: {error}", trace, ("PYTHON", name)))
    return text.encode("utf-8", "backslashreplace")


def _escaped(views: list[memoryview]) -> list[memoryview]:
    """A frame that an ssh client would take for an escape (a "~" after a line end) wrapped in
    one that holds no "~" at all: kind "q", the frame with "~" written as 7F 01 and 7F as 7F 02,
    and padding that keeps the wrapping header itself free of it."""
    frame = b"".join(views)
    if b"~" not in frame or (b"\n~" not in frame and b"\r~" not in frame):
        return views
    inner = frame.replace(b"\x7f", b"\x7f\x02").replace(b"~", b"\x7f\x01")
    header = HEADER.pack(b"q", len(inner))
    while b"\n~" in header or b"\r~" in header:
        inner += b"\0"
        header = HEADER.pack(b"q", len(inner))
    return [memoryview(header + inner)]
