"""A host whose Tcl interpreter runs in another process.

:class:`TclProcess` starts a Tcl program (``tclsh`` by default, or a tool's own Tcl shell) that
sources the agent script shipped in this package (:func:`agent_script`), or attaches with
:meth:`TclProcess.connect` to an interpreter already serving on a loopback port. Its ``tk`` offers
what the modules of this package call on ``_tkinter``'s application object, over a link of
length-prefixed frames; results are the remote's strings.
"""

from __future__ import annotations

import codecs
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import traceback
import weakref
from collections import deque
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from tkinter import TclError
from typing import Any

from tarvik.tcl._host import cast_any as _cast_any
from tarvik.tcl._host import splitlist as _splitlist
from tarvik.tcl.history import History
from tarvik.tcl.namespace import TclNamespace
from tarvik.tcl.scriptify import scriptify as _quote
from tarvik.tcl.z import Z

__all__ = ["TclProcess", "TclProcessError", "agent_script"]

# Frame header: the kind as one byte, the payload length as an unsigned 32-bit big-endian integer.
_HEADER = struct.Struct(">cI")
_LENGTH = struct.Struct(">I")
# The largest payload either side accepts (the agent's ::tarvik::maxframe).
MAX_FRAME = 256 * 1024 * 1024
_PROTOCOL = "2"
# Reads of the link ask for this much; a bigger frame is read straight into its own place.
_READ_SIZE = 65536
_KEPT_FRAME = 4 << 20
_LINK_ENV = "TARVIK_AGENT_LINK"
# How often a wait looks at whether the child is still alive: a child that dies while something it
# started holds the link open gives no end of file.
_POLL_SLICE = 0.2
_STDERR_LINES = 10


def agent_script() -> str:
    """The path of the agent Tcl script that serves a :class:`TclProcess` host."""
    return str(Path(__file__).with_name("agent.tcl"))


class TclProcessError(ConnectionError):
    """The link to a Tcl interpreter in another process is broken or was never made."""


# ---------------------------------------------------------------------------------------------
# Words as _tkinter would hand them to Tcl


def _double(value: float) -> str:
    """A float as Tcl writes a double: the shortest digits that read back, "1e-5", "Inf"."""
    text = repr(value)
    if text[-1] in "fn":  # inf, -inf, nan
        return {"inf": "Inf", "-inf": "-Inf"}.get(text, "NaN")
    if "e" not in text:
        return text
    mantissa, _, exponent = text.partition("e")
    power = int(exponent)
    if power == 16:  # Tcl writes this one in fixed notation, Python does not
        sign = "-" if mantissa.startswith("-") else ""
        digits = mantissa.lstrip("-").replace(".", "")
        return f"{sign}{digits.ljust(17, '0')}.0"
    return f"{mantissa}e{'+' if power > 0 else '-'}{abs(power)}"


def _word(value: Any) -> str:
    """One word as its Tcl string: what _tkinter would make of it."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return int.__repr__(value)
    if isinstance(value, float):
        return _double(value)
    if isinstance(value, bytes):
        return value.decode("latin-1")
    if isinstance(value, (tuple, list)):
        return _words_text(value)
    return str(value)


def _words_text(words: Sequence[Any]) -> str:
    """A canonical Tcl list whose elements are exactly the words."""
    for word in words:
        if type(word) is not str:
            return _quote(tuple(map(_word, words)))
    return _quote(tuple(words))


# Tcl_GetBoolean's words: any unique prefix of these, in any case ("o" alone is ambiguous).
_BOOLEAN_WORDS = {"yes": True, "no": False, "true": True, "false": False, "on": True, "off": False}


def _tcl_boolean(text: str) -> bool:
    """A string read as a boolean by Tcl's rules; TclError as Tcl words it otherwise."""
    if text in ("1", "0"):
        return text == "1"
    if "\0" in text:
        raise ValueError("embedded null character")
    lowered = text.lower()
    found = {v for word, v in _BOOLEAN_WORDS.items() if lowered and word.startswith(lowered)}
    if len(found) == 1 and lowered not in ("o",):
        return found.pop()
    raise TclError(f'expected boolean value but got "{text}"')


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
    if lead == 0xC0 and data[at + 1:at + 2] == b"\x80":
        return "\0", at + 2
    if (lead == 0xED and at + 2 < len(data) and 0xA0 <= data[at + 1] <= 0xBF
            and 0x80 <= data[at + 2] <= 0xBF):
        return chr(0xD000 | (data[at + 1] & 0x3F) << 6 | (data[at + 2] & 0x3F)), at + 3
    return chr(lead), at + 1


codecs.register_error("tarvik.tcl", _tcl_bytes)
_SURROGATE = re.compile("[\ud800-\udfff]")


def _text(data: bytes | bytearray | memoryview) -> str:
    """The text of a payload from the agent: UTF-8, or the bytes Tcl keeps the string in."""
    try:
        return str(data, "utf-8")
    except UnicodeDecodeError:
        text = str(data, "utf-8", "tarvik.tcl")
    if _SURROGATE.search(text):
        # Tcl 8 keeps a character beyond the BMP as two surrogates: together they are one.
        text = text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")
    return text


# ---------------------------------------------------------------------------------------------
# The link


class _Output:
    """Forwards what the child writes on one pipe to a Python stream, keeping its last lines."""

    def __init__(self, fd: int, stream_name: str, keep: bool) -> None:
        self.fd = fd
        self.stream_name = stream_name
        self.decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self.tail: deque[str] | None = deque(maxlen=_STDERR_LINES + 1) if keep else None
        self.partial = ""
        os.set_blocking(fd, False)

    def drain(self) -> bool:
        """Forwards what can be read now; False at end of file."""
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return True
            except OSError:
                return False
            if not data:
                self.forward(self.decoder.decode(b"", final=True))
                return False
            self.forward(self.decoder.decode(data))

    def forward(self, text: str) -> None:
        if not text:
            return
        stream = getattr(sys, self.stream_name)
        if stream is not None:
            try:
                stream.write(text)
                stream.flush()
            except (OSError, ValueError):
                pass  # a closed stream: the child's output has nowhere to go
        if self.tail is not None:
            lines = (self.partial + text).split("\n")
            self.partial = lines.pop()
            self.tail.extend(lines)

    def last_lines(self) -> list[str]:
        lines = list(self.tail or ())
        if self.partial:
            lines.append(self.partial)
        return [line for line in lines if line.strip()][-_STDERR_LINES:]


class _Link:
    """Frames to and from an agent, over pipes to a child or a TCP socket.

    One call at a time: the lock is held from sending a frame until its answer arrives, and the
    thread that holds it may call again from a callback (nested calls).
    """

    def __init__(self, read_fd: int, write_fd: int, *, timeout: float | None,
                 process: subprocess.Popen | None = None, sock: socket.socket | None = None,
                 outputs: Iterable[_Output] = (), where: str = "") -> None:
        self.read_fd = read_fd
        self.write_fd = write_fd
        self.timeout = timeout
        self.process = process
        self.sock = sock
        self.where = where
        self.outputs = {output.fd: output for output in outputs}
        self.lock = threading.RLock()
        self.buffer = bytearray()
        self.frame = bytearray()  # the place of the last big frame, see receive_big
        self.callbacks: dict[str, Callable[..., Any]] = {}
        self.command_ids: dict[str, str] = {}
        self.next_id = 0
        self.broken: str | None = None  # why the link is unusable, once it is
        self.waiting = False  # a frame was sent and its answer is awaited
        # The first wait for an answer, in milliseconds, before looking at the child and the time.
        self.first_slice = 1000 * (_POLL_SLICE if timeout is None else min(_POLL_SLICE, timeout))
        self.poller = select.poll()
        self.poller.register(read_fd, select.POLLIN)
        for fd in self.outputs:
            self.poller.register(fd, select.POLLIN)

    # -- sending and receiving

    def send(self, kind: bytes, text: str) -> None:
        if _plain(text):
            self.send_bytes(kind.upper(), text.encode("ascii"))
        else:
            self.send_bytes(kind, text.encode("utf-8"))

    def send_bytes(self, kind: bytes, data: bytes, tail: bytes = b"") -> None:
        """Sends one frame whose payload is `data` followed by `tail` (a big part sent as it is,
        never copied into the frame)."""
        if self.broken is not None:
            raise TclProcessError(self.broken)
        size = len(data) + len(tail)
        if size > MAX_FRAME:
            raise ValueError(f"a frame of {size} bytes is more than the link carries "
                             f"({MAX_FRAME})")
        try:
            if size < 65536:
                frame = _HEADER.pack(kind, size) + data
                if tail:
                    frame += tail
                written = os.write(self.write_fd, frame)
                if written != len(frame):
                    self.write_all([memoryview(frame)[written:]])
            else:
                self.write_all([memoryview(_HEADER.pack(kind, size) + data), memoryview(tail)])
        except OSError as error:
            self.fail(self.lost(f"could not write to it ({error})"))

    def write_all(self, views: list[memoryview]) -> None:
        views = [view for view in views if view]
        while views:
            written = os.writev(self.write_fd, views)
            while views and written >= len(views[0]):
                written -= len(views.pop(0))
            if views:
                views[0] = views[0][written:]

    def receive(self) -> tuple[bytes, str]:
        """The next frame as (kind, payload)."""
        buffer = self.buffer
        if not buffer:
            data = self.read_some()
            if len(data) >= 5:
                kind, length = _HEADER.unpack_from(data)
                if len(data) == 5 + length:  # one whole frame, the commonest answer
                    return kind, _text(data[5:])
            buffer += data
        while len(buffer) < 5:
            buffer += self.read_some()
        kind, length = _HEADER.unpack_from(buffer)
        if length > MAX_FRAME:
            self.fail(f"the Tcl agent{self.where} sent a frame of {length} bytes; the link is "
                      "closed")
        end = 5 + length
        if len(buffer) < end:
            if end > _READ_SIZE:
                return kind, self.receive_big(end)
            while len(buffer) < end:
                buffer += self.read_some()
        payload = _text(buffer[5:end])
        del buffer[:end]
        return kind, payload

    def receive_big(self, end: int) -> str:
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
                self.wait()
                try:
                    count = os.readv(self.read_fd, [view[have:end]])
                except OSError as error:
                    self.fail(self.lost(f"could not read from it ({error})"))
                if not count:
                    self.fail(self.lost())
                have += count
            with view[5:end] as payload:
                return _text(payload)

    def read_some(self) -> bytes:
        """What can be read from the link, once there is something."""
        self.wait()
        try:
            data = os.read(self.read_fd, _READ_SIZE)
        except OSError as error:
            self.fail(self.lost(f"could not read from it ({error})"))
        if not data:
            self.fail(self.lost())
        return data

    def wait(self) -> None:
        """Returns when the link can be read, forwarding the child's output meanwhile; raises
        when the child is gone or the timeout passed."""
        timeout = self.timeout
        if timeout is not None:
            deadline = time.monotonic() + timeout
        poll = self.poller.poll
        read_fd = self.read_fd
        ready = poll(self.first_slice)
        if len(ready) == 1 and ready[0][0] == read_fd:
            return  # the commonest case: the answer, and nothing else
        while True:
            if ready:
                link_ready = False
                for fd, _ in ready:
                    if fd == read_fd:
                        link_ready = True
                    elif not self.outputs[fd].drain():
                        self.poller.unregister(fd)  # kept, with its last lines
                if link_ready:
                    return
            elif self.process is not None and self.process.poll() is not None:
                self.fail(self.lost())
            slice_ = _POLL_SLICE
            if timeout is not None:
                left = deadline - time.monotonic()
                if left <= 0 and not ready:
                    self.broken = (f"the Tcl interpreter{self.where} did not answer within "
                                   f"{timeout:g} s; the host was closed")
                    self.close()
                    raise TimeoutError(self.broken)
                slice_ = min(slice_, max(0.0, left))
            ready = poll(slice_ * 1000)

    # -- calls

    def roundtrip(self, kind: bytes, text: str | bytes, tail: bytes = b"") -> str:
        """Sends a call or a script and waits for its answer, running the callbacks it makes.

        `text` is the payload, or its bytes (then followed by `tail`) with `kind` already telling
        whether it is plain ASCII."""
        with self.lock:
            if self.waiting:
                # Code run while this thread waits (a finaliser, a signal handler) would take the
                # answer meant for the call in progress.
                raise RuntimeError("the Tcl link is waiting for the answer to another call")
            try:
                if isinstance(text, str):
                    if text.isascii() and "\0" not in text:  # _plain, inline on the hot path
                        kind, data = kind.upper(), text.encode("ascii")
                    else:
                        data = text.encode("utf-8")
                else:
                    data = text
                self.send_bytes(kind, data, tail)
                self.waiting = True
                kind, payload = self.receive()
                if kind == b"o":
                    return payload
                return self.answer(kind, payload)
            except (TclError, TclProcessError, TimeoutError, ValueError, UnicodeError):
                raise
            except BaseException:
                # Interrupted (Ctrl-C) or stopped mid-call: the link's state is unknown.
                if self.broken is None:
                    self.broken = f"a call to the Tcl interpreter{self.where} was interrupted"
                    self.close()
                raise
            finally:
                self.waiting = False

    def answer(self, kind: bytes, payload: str) -> str:
        """The result of a call whose answer starts with the frame (kind, payload)."""
        while True:
            if kind == b"o":
                return payload
            if kind == b"e":
                items = _splitlist(payload)
                raise TclError(items[0] if items else payload)
            if kind == b"b":
                self.run_callback(payload)
            elif kind == b"d":
                self.drop_callbacks(payload)
            else:
                self.fail(f"the Tcl agent{self.where} sent a frame of unknown kind {kind!r}")
            kind, payload = self.receive()

    def run_callback(self, payload: str) -> None:
        """Runs the function of a callback command; the agent serves nested calls meanwhile."""
        items = _splitlist(payload) or ("",)
        func = self.callbacks.get(items[0])
        self.waiting = False
        try:
            if func is None:
                raise LookupError(f"no Python function for callback {items[0]!r}")
            reply, text = b"r", _word(func(*items[1:]))
        except Exception as error:  # the callback's error goes to Tcl; BaseException stops here
            name = type(error).__name__
            trace = "".join(traceback.format_exception(error)).rstrip("\n")
            reply, text = b"x", _words_text((f"{name}: {error}", trace, ("PYTHON", name)))
        self.send(reply, text)
        self.waiting = True

    def drop_callbacks(self, payload: str) -> None:
        for callback_id in _splitlist(payload) or ():
            self.callbacks.pop(callback_id, None)
        alive = set(self.callbacks)
        for name, callback_id in list(self.command_ids.items()):
            if callback_id not in alive:
                del self.command_ids[name]

    def register(self, name: str, func: Callable[..., Any]) -> None:
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

    # -- faults and the end

    def check(self) -> None:
        if self.broken is not None:
            raise TclProcessError(self.broken)

    def fail(self, reason: str) -> None:
        if self.broken is None:
            self.broken = reason
        self.close()
        raise TclProcessError(self.broken)

    def lost(self, detail: str = "") -> str:
        """Why the link went, with the child's exit status and the last lines of its stderr."""
        if self.process is None:
            return f"the Tcl interpreter{self.where} closed the connection" + (
                f": {detail}" if detail else "")
        try:
            status = self.process.wait(1.0)
        except subprocess.TimeoutExpired:
            status = None
        self.drain_outputs()
        pid = self.process.pid
        if status is None:
            message = f"the Tcl process {pid} closed its link to Python"
        elif status < 0:
            try:
                name = signal.Signals(-status).name
            except ValueError:
                name = f"signal {-status}"
            message = f"the Tcl process {pid} was killed by {name}"
        else:
            message = f"the Tcl process {pid} exited with status {status}"
        if detail:
            message += f" ({detail})"
        lines = [line for output in self.outputs.values() for line in output.last_lines()]
        if lines:
            message += "; the last lines of its stderr:\n" + "\n".join(lines)
        return message

    def drain_outputs(self) -> None:
        for output in self.outputs.values():
            output.drain()

    def close(self) -> None:
        """Ends the link; a child is asked to exit by the end of its link, then killed."""
        if self.broken is None:
            self.broken = f"the host of the Tcl interpreter{self.where} is closed"
        if self.sock is not None:
            try:
                self.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self.sock.close()
            self.sock = None
            return
        for fd in (self.write_fd, self.read_fd):
            try:
                os.close(fd)
            except OSError:
                pass
        self.write_fd = self.read_fd = -1
        if self.process is not None:
            self.stop_child()

    def stop_child(self) -> None:
        process = self.process
        assert process is not None
        try:
            process.wait(0.5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        self.drain_outputs()
        for output in self.outputs.values():
            try:
                os.close(output.fd)
            except OSError:
                pass
        self.outputs.clear()


def _close_link(link: _Link) -> None:
    """The finaliser of a host: stop its child, if any, and quietly."""
    try:
        link.close()
    except Exception:
        pass


# ---------------------------------------------------------------------------------------------
# The application object


class RemoteTk:
    """What the modules call on ``_tkinter``'s application object, carried out by a remote Tcl.

    Results are strings; a Tcl error raises ``TclError`` with Tcl's message, leaving ``::errorInfo``
    and ``::errorCode`` set in the remote.
    """

    def __init__(self, link: _Link) -> None:
        self._link = link

    def call(self, *words: Any) -> str:
        """Runs one command made of ``words`` (or of the one tuple given) without substitution."""
        if len(words) == 1 and isinstance(words[0], tuple):
            words = words[0]
        return self._link.roundtrip(b"c", _words_text(words))

    def eval(self, script: str) -> str:
        """Evaluates a Tcl script in the global namespace."""
        return self._link.roundtrip(b"e", script if type(script) is str else _word(script))

    @staticmethod
    def _name(name: str, index: Any) -> str:
        name = _word(name)
        return name if index is None else f"{name}({_word(index)})"

    def getvar(self, name: str, index: Any = None) -> str:
        """The value of a global variable, or of element ``index`` of a global array."""
        return self.call("::set", self._name(name, index))

    def setvar(self, name: str, *args: Any) -> None:
        """``setvar(name, value)`` or ``setvar(name, index, value)``."""
        if len(args) not in (1, 2):
            raise TypeError(f"setvar expected 2 or 3 arguments, got {len(args) + 1}")
        index = args[0] if len(args) == 2 else None
        # Name and value travel apart, so that a big value is never quoted nor parsed as a list.
        name, value = self._name(name, index), _word(args[-1])
        kind = b"S" if _plain(name) and _plain(value) else b"s"
        name_bytes = name.encode("utf-8")
        self._link.roundtrip(kind, _LENGTH.pack(len(name_bytes)) + name_bytes,
                             value.encode("utf-8"))

    def unsetvar(self, name: str, index: Any = None) -> None:
        """Unsets a global variable or array element; TclError when it does not exist."""
        self.call("::unset", self._name(name, index))

    def createcommand(self, name: str, func: Callable[..., Any]) -> None:
        """Defines the Tcl command ``name``, which runs ``func(*args)`` in this process.

        The function gets the command's arguments as strings; what it returns is the command's
        result. An exception in it is a Tcl error ``"Type: message"`` whose ``errorInfo`` starts
        with the Python traceback and whose ``errorCode`` is ``PYTHON Type``.
        """
        if not callable(func):
            raise TypeError("command not callable")
        self._link.register(_word(name), func)

    def deletecommand(self, name: str) -> None:
        """Deletes a Tcl command (a callback's function is released with it)."""
        self.call("::rename", name, "")

    def splitlist(self, value: Any) -> tuple:
        """The elements of a Tcl list; the remote judges only what the native reader cannot."""
        if isinstance(value, tuple):
            return value
        text = value if isinstance(value, str) else _word(value)
        items = _splitlist(text)
        if items is None:
            # The remote's canonical form of it, or Tcl's own error for a malformed list.
            items = _splitlist(self.call("::lrange", text, "0", "end"))
            if items is None:
                raise TclError(f"cannot split the Tcl list {text!r}")
        return items

    def getboolean(self, value: Any) -> bool:
        """A boolean by Tcl's rules: 0/1 and unique prefixes of yes/no/true/false/on/off."""
        if isinstance(value, (bool, int)):
            return bool(value)
        if not isinstance(value, str):
            raise TypeError(f"getboolean() argument must be str, not {type(value).__name__}")
        return _tcl_boolean(value)


# ---------------------------------------------------------------------------------------------
# The host


class TclProcess:
    """A host whose Tcl interpreter runs in another process.

    ``TclProcess(command=None, *, timeout=None, cwd=None, env=None)`` starts ``command`` (a program
    and its arguments; default: the ``tclsh`` on ``PATH``) with the agent script: an argument
    ``"{agent}"`` is replaced by its path, and without one the path is appended. The agent serves
    this host over two private pipes, so what the remote prints (``puts`` to stdout or stderr)
    reaches this process's ``sys.stdout`` and ``sys.stderr``, in order with the calls.

    It offers what :class:`TclInterpreter` offers: ``tk`` (a
    :class:`~tarvik.tcl._process.RemoteTk`), the casts, ``history``, ``vars``, ``z`` and ``tclx``.
    ``timeout`` bounds every wait for the remote, in seconds: a call that runs past it raises
    ``TimeoutError`` and closes the host. If the remote dies, the call in progress and every later
    one raise :class:`TclProcessError` (a ``ConnectionError``) naming the exit status and the last
    lines of its stderr. Ctrl-C during a call interrupts it and closes the host (the remote may be
    anywhere in its work). Calls from several threads are serialised.

    ``close()``, leaving a ``with`` block, or collecting the host ends the link, and a child
    process with it.

    Attributes:
        pid: The remote interpreter's process id (an ``int``).
        patchlevel: The remote's Tcl version, as ``info patchlevel`` gives it.
        tclx: Whether TclX was loaded into the remote (when it can ``package require Tclx``).
        history: The :class:`~tarvik.tcl.history.History` of the quick calls made through ``z``.
        vars: The remote's global variables, as the ``vars`` view of the global namespace.
        z: The quick calls (a :class:`~tarvik.tcl.z.Z`): ``remote.z.set('x', 1)``.
    """

    tk: RemoteTk
    """What the modules call on ``_tkinter``'s application object, carried out by the remote."""

    def __init__(self, command: Sequence[str] | None = None, *, timeout: float | None = None,
                 cwd: str | os.PathLike[str] | None = None,
                 env: dict[str, str] | None = None) -> None:
        args = _command_line(command)
        to_agent_read, to_agent_write = os.pipe2(os.O_CLOEXEC)
        from_agent_read, from_agent_write = os.pipe2(os.O_CLOEXEC)
        for fd in (to_agent_write, from_agent_write):
            _widen_pipe(fd)
        child_env = dict(os.environ if env is None else env)
        child_env[_LINK_ENV] = f"{to_agent_read} {from_agent_write}"
        try:
            process = subprocess.Popen(
                args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                pass_fds=(to_agent_read, from_agent_write), cwd=cwd, env=child_env,
                process_group=0)
        except BaseException:
            for fd in (to_agent_read, to_agent_write, from_agent_read, from_agent_write):
                os.close(fd)
            raise
        # Only the child holds its ends, so its death is an end of file here at once.
        os.close(to_agent_read)
        os.close(from_agent_write)
        assert process.stdout is not None and process.stderr is not None
        outputs = (_Output(os.dup(process.stdout.fileno()), "stdout", keep=False),
                   _Output(os.dup(process.stderr.fileno()), "stderr", keep=True))
        process.stdout.close()
        process.stderr.close()
        link = _Link(from_agent_read, to_agent_write, timeout=timeout, process=process,
                     outputs=outputs, where=f" in process {process.pid}")
        self._start(link)

    @classmethod
    def connect(cls, port: int, token: str, *, host: str = "127.0.0.1",
                timeout: float | None = None) -> TclProcess:
        """The host of a Tcl interpreter serving at host:port (``tarvik::serve`` in the agent).

        ``token`` is the one that ``serve`` printed; the server drops a connection that does not
        present it. The remote keeps its own stdout and stderr.
        """
        sock = socket.create_connection((host, port), timeout=timeout)
        try:
            sock.settimeout(None)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            fd = sock.fileno()
            link = _Link(fd, fd, timeout=timeout, sock=sock, where=f" at {host}:{port}")
            link.send_bytes(b"t", token.encode("utf-8"))
        except BaseException:
            sock.close()
            raise
        self = cls.__new__(cls)
        try:
            self._start(link)
        except TclProcessError as error:
            raise TclProcessError(f"{error} (is the token right?)") from None
        return self

    def _start(self, link: _Link) -> None:
        self._link = link
        self._finalizer = weakref.finalize(self, _close_link, link)
        try:
            kind, payload = link.receive()
            hello = _splitlist(payload) or ()
            if kind != b"h" or len(hello) < 4 or hello[0] != "tarvik-agent":
                link.fail(f"the program{link.where} did not start the tarvik agent")
            if hello[1] != _PROTOCOL:
                link.fail(f"the tarvik agent{link.where} speaks protocol {hello[1]}, not "
                          f"{_PROTOCOL}")
        except BaseException:
            self.close()
            raise
        self.patchlevel: str = hello[2]
        self.pid: int = int(hello[3])
        self.tk = RemoteTk(link)
        self.tclx = _load_tclx(self.tk)
        self.history = History()
        self.vars = TclNamespace("::", self).vars
        self.z = Z(self)

    # -- the casts

    def cast_list(self, result: Any) -> tuple:
        """The elements of a Tcl list as a tuple; the remote splits only what the native reader
        leaves to Tcl, so a malformed list raises Tcl's own ``TclError``."""
        if isinstance(result, tuple):
            return result
        if isinstance(result, list):
            return tuple(result)
        return self.tk.splitlist(result)

    def cast_boolean(self, result: Any) -> bool:
        """A Tcl result read as a boolean by Tcl's rules."""
        return self.tk.getboolean(result)

    def cast_array(self, result: Any) -> dict:
        """The result of ``array get`` as a dict of element name to value."""
        items = self.cast_list(result)
        return dict(zip(items[::2], items[1::2]))

    cast_any = _cast_any

    # -- life

    @property
    def closed(self) -> bool:
        """Whether the link is gone (closed, timed out, or the remote died)."""
        return self._link.broken is not None

    def close(self) -> None:
        """Ends the link; a child process is asked to exit (end of its link), then killed."""
        with self._link.lock:
            self._finalizer()

    def __enter__(self) -> TclProcess:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"pid {getattr(self, 'pid', '?')}"
        return f"<{type(self).__name__}{self._link.where or ''}, {state}>"


def _command_line(command: Sequence[str] | None) -> list[str]:
    if command is None:
        tclsh = shutil.which("tclsh")
        if tclsh is None:
            raise FileNotFoundError("no tclsh on PATH (Debian: apt-get install tcl8.6)")
        command = [tclsh]
    elif isinstance(command, (str, bytes)):
        raise TypeError("command must be a sequence of program and arguments, not a string")
    agent = agent_script()
    args = [agent if arg == "{agent}" else os.fspath(arg) for arg in command]
    if "{agent}" not in command:
        args.append(agent)
    return args


def _widen_pipe(fd: int) -> None:
    """Lets a pipe hold a megabyte, so that big values cross in few reads (where Linux lets it)."""
    try:
        import fcntl

        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, 1 << 20)
    except (ImportError, AttributeError, OSError):
        pass


def _load_tclx(tk: RemoteTk) -> bool:
    """Loads TclX into the remote when it has it; its absence is not an error."""
    try:
        tk.eval("package require Tclx")
    except TclError:
        return False
    return True
