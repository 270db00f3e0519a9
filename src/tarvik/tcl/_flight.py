"""Calls in flight to a Tcl in another process: a pipeline block over a channel of the framing
layer (:mod:`tarvik.tcl._frames`), on any link.

The block sends calls without waiting for their answers. A call goes out at once when nothing is
in flight; while earlier calls run, calls are gathered for up to a millisecond or 64 KiB and go
out together, as one frame of kind p that the agent runs in one loop. The host reads answers
whenever it writes (so neither side ever waits on a full pipe) and settles each Pending as its
answer arrives, so an answer nobody holds a Pending for is let go at once; callbacks that the
calls make are run as they come. At most ``MAX_IN_FLIGHT`` calls wait for their answers: beyond,
the host reads answers before it sends more.
"""

from __future__ import annotations

import threading
import time
from collections import deque
from typing import Any

from tarvik.tcl._frames import _CLEAN, TclProcessError, _Channel, _plain, _text, forked
from tarvik.tcl._host import splitlist as _splitlist
from tarvik.tcl._link import HEADER, MAX_FRAME, READ_SIZE
from tarvik.tcl._pipeline import _ANSWERED, _WAITING, Block, ImmediateBlock, Pending
from tarvik.tcl.scriptify import scriptify as _quote

# Calls are gathered while earlier ones run for at most this long, and this many characters.
GATHER_FOR = 0.001
BATCH = 65536
# How many calls may wait for their answers before the host reads answers rather than send.
MAX_IN_FLIGHT = 65536


class FlightBlock(Block):
    """A pipeline block whose calls fly to a remote and are answered later."""

    def __init__(self, channel: _Channel) -> None:
        super().__init__(channel.depth)
        self.channel = channel
        self.owner = threading.get_ident()
        self.flight: deque[Pending] = deque()  # sent or gathered, not answered yet, in order
        self.parts: list[str] = []  # the gathered calls: kind, text, kind, text, ...
        self.size = 0
        self.gathered_at = 0.0
        self.written_at = -GATHER_FOR
        self.segment = ""
        self.next_segment()

    def next_segment(self) -> None:
        # Numbered across the channel's blocks: the agent remembers the segment that failed.
        self.channel.segments += 1
        self.segment = str(self.channel.segments)

    # -- calls

    def submit(self, kind: str, text: str, finish: Any = None) -> Pending:
        """A call in flight: kind "c" (the text of a word list), "e" (a script) or "s" (the text
        of the list {name value} of a variable set)."""
        channel = self.channel
        if channel.waiting or channel.broken is not None or self.failure is not None:
            return self.refuse(finish)
        if not text.isascii():
            text.encode("utf-8")  # what Tcl cannot hold is refused before anything is sent
        size = len(text)
        if size > BATCH:
            return self.submit_alone(kind, text, finish)
        pending = Pending(self, finish)
        now = time.monotonic()
        self.set_deadline(pending, now)
        flight = self.flight
        flight.append(pending)
        self.last = pending
        parts = self.parts
        parts.append(kind)
        parts.append(text)
        self.size += size
        if len(parts) == 2:
            self.gathered_at = now
            if now - self.written_at >= GATHER_FOR:
                self.guarded(self.flush)
        elif self.size >= BATCH or now - self.gathered_at >= GATHER_FOR:
            self.guarded(self.flush)
        if len(flight) > MAX_IN_FLIGHT:
            self.guarded(self.catch_up)
        return pending

    def set_deadline(self, pending: Pending, now: float) -> None:
        """The call must be answered within the timeout in force when it is made (time in
        callbacks aside), and never before the call ahead of it: the remote runs them in order,
        so a quick call must not run out of time while a long one made in a timeout() block
        runs."""
        channel = self.channel
        timeout = channel.call_timeout()
        deadline = None if timeout is None else now + timeout - channel.paused
        if deadline is not None and self.flight:
            ahead = self.flight[-1]._deadline
            deadline = None if ahead is None else max(deadline, ahead)
        pending._deadline = deadline

    def refuse(self, finish: Any) -> Pending:
        """A call that cannot go: after a failure, not run; otherwise an error."""
        channel = self.channel
        if channel.waiting:
            # Code run while this thread waits (a finaliser, a signal handler) would take the
            # place of the calls being answered.
            raise RuntimeError("the Tcl link is waiting for the answer to another call")
        if self.failure is not None:
            return self.not_run(finish)
        raise TclProcessError(channel.broken)

    def submit_alone(self, kind: str, text: str, finish: Any) -> Pending:
        """A big call goes alone, after the calls gathered before it, once it is known to fit."""
        self.guarded(self.flush)
        frame_kind, data = self.payload([kind, text])
        pending = Pending(self, finish)
        self.set_deadline(pending, time.monotonic())
        self.flight.append(pending)
        self.last = pending
        self.guarded(self.write, frame_kind, data)
        return pending

    def roundtrip(self, kind: bytes, text: str) -> str:
        """A call whose answer the caller needs to go on: in flight after the others, waited for.
        """
        return self.submit(kind.decode("ascii").lower(), text).result()

    def payload(self, parts: list[str]) -> tuple[bytes, bytes]:
        """The frame of calls in flight: {segment kind text ...}, as (kind, bytes)."""
        text = _quote((self.segment, *parts))
        if _plain(text):
            kind, data = b"P", text.encode("ascii")
        else:
            kind, data = b"p", text.encode("utf-8")
        if len(data) > MAX_FRAME:
            raise ValueError(f"a frame of {len(data)} bytes is more than the link carries "
                             f"({MAX_FRAME})")
        return kind, data

    def flush(self) -> None:
        """Sends the calls gathered."""
        if self.parts:
            kind, data = self.payload(self.parts)
            self.parts.clear()
            self.size = 0
            self.write(kind, data)

    def write(self, kind: bytes, data: bytes) -> None:
        channel = self.channel
        self.written_at = time.monotonic()
        channel.waiting = True
        try:
            channel.send(kind, data, b"", self.deadline())
        finally:
            channel.waiting = False
        self.look()

    # -- answers

    def deadline(self) -> float | None:
        """When the oldest call waiting for its answer runs out of time (time in callbacks aside)."""
        if not self.flight:
            return None
        deadline = self.flight[0]._deadline
        return None if deadline is None else deadline + self.channel.paused

    def look(self) -> None:
        """Settles the answers that have come, without waiting (running the callbacks they ask
        for)."""
        channel = self.channel
        link = channel.link
        channel.waiting = True
        try:
            try:
                data = link.read()
            except EOFError:
                channel.fail(link.lost())
            except OSError as error:
                channel.fail(link.lost(f"could not read from it ({error})"))
            if data:
                channel.buffer += data
                # What the calls printed reached its pipe before their answers: out it goes first.
                link.drain()
            if channel.buffer:
                self.settle_buffered(callbacks=True)
        finally:
            channel.waiting = False
        # A block that only sends never waits: the oldest call past its time is noticed here,
        # as a call made alone would be.
        deadline = self.deadline()
        if deadline is not None and time.monotonic() > deadline:
            channel.time_out()

    def settle_buffered(self, callbacks: bool) -> None:
        """Settles the whole frames in the channel's buffer; stops at a callback unless
        `callbacks` (one cannot be answered in the middle of writing a frame)."""
        buffer = self.channel.buffer
        while len(buffer) >= 5:
            kind, length = HEADER.unpack_from(buffer)
            if length > MAX_FRAME:
                self.channel.fail(f"the Tcl agent{self.channel.where} sent a frame of {length} "
                                  "bytes; the link is closed")
            end = 5 + length
            if len(buffer) < end or (kind == b"b" and not callbacks):
                return
            if end < READ_SIZE:
                payload = _text(buffer[5:end])
            else:
                with memoryview(buffer) as view, view[5:end] as data:
                    payload = _text(data)
            del buffer[:end]
            self.settle(kind, payload or "")

    def settle(self, kind: bytes, payload: str) -> None:
        channel = self.channel
        flight = self.flight
        try:
            if kind == b"a":
                results = _splitlist(payload)
                if results is None:
                    channel.fail(f"the Tcl agent{channel.where} sent results that are no list")
                take = flight.popleft
                for result in results:
                    pending = take()
                    pending._state = _ANSWERED
                    pending._value = result
            elif kind == b"e":
                pending = flight.popleft()
                items = _splitlist(payload)
                if items is None or len(items) != 3:
                    items = (payload, "", "")
                pending._failed(*items)
                if self.failure is None:
                    self.failure = pending
            elif kind == b"n":
                assert self.failure is not None
                for _ in range(int(payload)):
                    flight.popleft()._not_run(self.failure)
            elif kind == b"b":
                started = time.monotonic()
                channel.run_callback(payload, self.deadline())
                channel.paused += time.monotonic() - started
            elif kind == b"d":
                channel.drop_callbacks(payload)
            else:
                channel.fail(f"the Tcl agent{channel.where} sent a frame of unexpected kind "
                             f"{kind!r} among the answers of calls in flight")
        except (IndexError, ValueError, AssertionError):
            channel.fail(f"the Tcl agent{channel.where} answered calls that were not in flight")

    def receive(self) -> None:
        """Waits for the next frame, and settles it."""
        channel = self.channel
        channel.waiting = True
        try:
            kind, payload = channel.receive(self.deadline(), resend=False)
            self.settle(kind, payload or "")
        finally:
            channel.waiting = False

    def wait_for(self, pending: Pending) -> None:
        """Waits until `pending` is answered, sending the calls gathered first."""
        channel = self.channel
        if forked(channel):
            raise TclProcessError(channel.forked())
        with channel.lock:
            if pending._state != _WAITING:
                return
            if channel.waiting:
                raise RuntimeError("the Tcl link is waiting for the answer to another call")
            if channel.depth != self.depth:
                # The remote answers the calls before the one that called back first: a call
                # still waiting runs after the callback, which would wait for it for ever.
                raise RuntimeError("a call in flight cannot be waited for in a callback that an "
                                   "earlier call of its block made: it runs after the callback")
            self.guarded(self.flush)
            while pending._state == _WAITING:
                self.guarded(self.receive)

    def look_for(self, pending: Pending) -> None:
        """For done(): sends what is gathered and settles what has come, without waiting (and
        without waiting for another thread's block)."""
        channel = self.channel
        if forked(channel) or not channel.lock.acquire(blocking=False):
            return
        try:
            if pending._state == _WAITING and not channel.waiting:
                self.guarded(self.flush)
                self.guarded(self.look)
        finally:
            channel.lock.release()

    def catch_up(self) -> None:
        """Too many calls wait for their answers: reads answers until half as many do."""
        self.flush()
        while len(self.flight) > MAX_IN_FLIGHT // 2:
            self.receive()

    # -- the end

    def finish(self, exc: BaseException | None) -> None:
        """The end of the block: waits for every answer; after Ctrl-C (or anything else that is
        no Exception) closes the host instead, since the remote's state is unknown."""
        channel = self.channel
        if exc is not None and not isinstance(exc, Exception):
            if channel.broken is None:
                channel.broken = (f"a pipeline of calls to the Tcl interpreter{channel.where} was "
                                  "interrupted")
                channel.close()
            return
        if channel.broken is not None:
            return
        self.guarded(self.flush)
        while self.flight:
            self.guarded(self.receive)
        channel.link.drain()  # what the last calls printed, for a capture around the block

    def lost(self, kind: type[BaseException], message: str) -> None:
        """The host closed: every call still waiting raises `kind(message)`."""
        for pending in self.flight:
            pending._lost(kind, message)
        self.flight.clear()
        self.parts.clear()
        self.size = 0

    def guarded(self, step: Any, *args: Any) -> Any:
        """A step of the link's work: interrupted (Ctrl-C) or stopped half-way, it leaves the
        link in a state nobody knows, so the host closes."""
        try:
            return step(*args)
        except _CLEAN:
            raise
        except BaseException:
            channel = self.channel
            if channel.broken is None:
                channel.broken = (f"a call to the Tcl interpreter{channel.where} was "
                                  "interrupted")
                channel.close()
            raise


class AtOnceBlock(ImmediateBlock):
    """A pipeline block whose calls run at once, as a Tcl in this process runs them: one opened
    in a callback (its calls are nested in the remote's), or one over a link to a server without
    the agent, which cannot take calls in flight."""

    def __init__(self, channel: _Channel) -> None:
        super().__init__(lambda: channel.exchange(b"c", "::set ::errorInfo"), channel.depth)
        self.channel = channel
        self.owner = threading.get_ident()

    def submit(self, kind: str, text: str, finish: Any = None) -> Any:
        if kind == "s":
            kind, text = "c", "::set " + text
        return self.run(self.channel.exchange, (kind.encode("ascii"), text), finish)

    def roundtrip(self, kind: bytes, text: str) -> str:
        return self.answer(self.channel.exchange, (kind, text))

    def finish(self, exc: BaseException | None) -> None:
        pass

    def lost(self, kind: type[BaseException], message: str) -> None:
        pass


class Pipeline:
    """``with remote.pipeline():``: the block holds the host for its thread until it ends (calls
    from other threads wait), and a block opened inside it is the same block."""

    def __init__(self, channel: _Channel) -> None:
        self._channel = channel
        self._block: FlightBlock | AtOnceBlock | None = None

    def __enter__(self) -> None:
        channel = self._channel
        if forked(channel):
            raise TclProcessError(channel.forked())
        channel.lock.acquire()
        try:
            if channel.block is not None:
                return None  # inside an open block of this thread: this one is that one
            if channel.broken is not None:
                raise TclProcessError(channel.broken)
            if channel.waiting:
                raise RuntimeError("the Tcl link is waiting for the answer to another call")
            if channel.depth == 0 and not channel.translates:
                block: FlightBlock | AtOnceBlock = FlightBlock(channel)
            else:
                block = AtOnceBlock(channel)
            self._block = channel.block = block
        except BaseException:
            channel.lock.release()
            raise
        return None

    def __exit__(self, exc_type: Any, exc: BaseException | None, tb: Any) -> None:
        channel = self._channel
        block = self._block
        error = None
        try:
            if block is not None:
                self._block = None
                try:
                    block.finish(exc)
                finally:
                    channel.block = None
                if exc is None:
                    error = block.first_error()
        finally:
            channel.lock.release()
        if error is not None:
            raise error
