"""A link to a Tcl RPC server, such as the one OpenOCD serves on its ``tcl_port``.

There is no agent there: the server reads a command up to the byte 0x1a, evaluates it in its
interpreter (Jim Tcl, in OpenOCD) and writes the result followed by 0x1a, between the other work
of its own event loop. Its answers alone cannot tell a result from an error, and a result that
holds 0x1a would end early.

So :class:`RpcLink` defines one small procedure there, in the namespace ``::tarvik``, for as long
as the connection lasts: it runs a call's words inside ``catch`` and answers with the byte 1E,
``o`` (a result) or ``e`` (an error), the length in bytes of the result or the error's message,
a space, and that text. Each frame of the host becomes a call of it (the server's time grows with
the length of a command: the procedure keeps it short), and each answer the agent's frame again,
so the framing layer above treats this link as any other. Words travel as words of a Tcl list;
those that hold NUL (where the server's C string ends) or 0x1a are written with octal escapes.
"""

from __future__ import annotations

import codecs
import os
import re
import secrets
import select
import socket
import time
from typing import NoReturn

from tarvik.tcl._host import splitlist as _splitlist
from tarvik.tcl._link import HEADER, READ_SIZE, SocketLink
from tarvik.tcl.scriptify import scriptify as _quote

END = 0x1A
# The most OpenOCD's Tcl server takes in one command, 0x1a included; a longer one it drops
# without an answer.
MAX_COMMAND = 1 << 20
# What an answer starts with. Anything else that ends in 0x1a is a notification
# (tcl_notifications, tcl_trace: they start with "type "), or a sign that the server is not what
# it was taken for.
_ANSWER = 0x1E
_NOTIFICATION = b"type "
_KINDS = {ord("o"): b"o", ord("e"): b"e"}
# The length before the space, in digits: at most this many.
_DIGITS = 12
# How long closing waits for the server to take its last command (deleting the procedure).
_GOODBYE = 0.5

# The procedure that runs a call: its mode is "c" (answer the result) or "s" (a variable set,
# whose value does not travel back). Its answer is 1E, "o" (a result: a return, break or continue
# is one too) or "e" (an error: code 1, or one of OpenOCD's own negative codes), the length in
# bytes, a space and the result or the message. An error sets ::errorInfo as Tcl would: the
# message and, for an error of Jim's (OpenOCD's leave the last trace as it was) where the server
# has stackdump, Jim's trace.
_PROCEDURE = """proc {name} {{mode args}} {{
    set code [catch {{uplevel #0 $args}} result]
    if {{$code in {{0 2 3 4}}}} {{
        if {{$mode eq "s"}} {{
            return "\\036o0 "
        }}
        return "\\036o[string bytelength $result] $result"
    }}
    set ::errorInfo [string trimright $result]
    if {{$code == 1}} {{
        catch {{
            set ::errorInfo [string trimright "$result\\n[::stackdump [::info stacktrace]]"]
        }}
    }}
    return "\\036e[string bytelength $result] $result"
}}
"""
# Characters that a word written with escapes writes as octal: whatever the parser of a script
# or the server treats specially, and all control characters.
_SPECIAL = re.compile(rb'[\x00-\x20\x7f"$;\[\]{}\\]')


def _word(text: bytes) -> bytes:
    """One word of a command (UTF-8), as the server's parser reads it back exactly."""
    if b"\0" in text or b"\x1a" in text:
        return _SPECIAL.sub(lambda match: b"\\%03o" % match[0][0], text) or b"{}"
    return _quote((text.decode("utf-8"),)).encode("utf-8")


def _byte_chars(error: UnicodeError) -> tuple[str, int]:
    """A byte that is not part of UTF-8 read as the character of its value: Jim keeps a string as
    bytes, and a binary one is not UTF-8."""
    assert isinstance(error, UnicodeDecodeError)
    return error.object[error.start : error.end].decode("latin-1"), error.end


codecs.register_error("tarvik.bytes", _byte_chars)


class RpcLink(SocketLink):
    """A connection to a Tcl RPC server: the host's frames become calls of a procedure of its own
    there, and the server's answers the agent's frames."""

    translates = True
    callbacks = False

    def __init__(self, host: str, port: int, timeout: float | None) -> None:
        super().__init__(host, port, timeout)
        self.name = f"::tarvik::rpc{secrets.token_hex(4)}"
        # The procedure is defined by the first command, ahead of what it carries.
        self.define = _PROCEDURE.format(name=self.name).encode("ascii")
        self.call = f"{self.name} c ".encode("ascii")
        self.pending = bytearray()  # what came of answers not yet whole
        self.ended = True  # whether the 0x1a after the last answer came

    # -- to the server

    def encode(self, kind: bytes, payload: bytes) -> bytes:
        """The command that carries out a frame of the host: a call (a word list), a script, or a
        variable set (the name's length as 4 bytes, the name, the value)."""
        if kind in b"Cc":
            if b"\0" in payload or b"\x1a" in payload:
                payload = self.escaped(payload)
            command = self.call + payload
        elif kind in b"Ee":
            command = self.call + b"::eval " + _word(payload)
        elif kind in b"Ss":
            size = int.from_bytes(payload[:4], "big")
            command = (self.name.encode("ascii") + b" s ::set " + _word(payload[4 : 4 + size])
                       + b" " + _word(payload[4 + size :]))
        else:
            raise ValueError(f"a Tcl RPC server cannot take a frame of kind {kind!r}")
        if self.define:
            command = self.define + command
        if len(command) >= MAX_COMMAND:
            raise ValueError(f"a command of {len(command) + 1} bytes is more than the Tcl server"
                             f"{self.where} takes ({MAX_COMMAND})")
        self.define = b""
        return command + b"\x1a"

    @staticmethod
    def escaped(words: bytes) -> bytes:
        """A canonical word list (UTF-8) whose words hold NUL or 0x1a, as words of a command."""
        items = _splitlist(words.decode("utf-8"))
        if items is None:
            raise ValueError("a malformed word list")
        return b" ".join(_word(item.encode("utf-8")) for item in items)

    # -- from the server

    def read(self) -> bytes:
        """The frames of the answers that are whole once what can be read now is read."""
        try:
            data = os.read(self.read_fd, READ_SIZE)
        except BlockingIOError:
            return b""
        if not data:
            raise EOFError
        pending = self.pending
        pending += data
        frames = b""
        while pending:
            if not self.ended:
                # The 0x1a after an answer, which the server writes apart: the answer was whole
                # without it, and did not wait for it.
                if pending[0] != END:
                    self.malformed()
                del pending[:1]
                self.ended = True
            elif pending[0] != _ANSWER:
                if not self.skip_notification():
                    break
            else:
                space = pending.find(b" ", 2, _DIGITS + 3)
                if space < 0:
                    if len(pending) > _DIGITS + 2:
                        self.malformed()
                    break
                kind = _KINDS.get(pending[1])
                if kind is None or not pending[2:space].isdigit():
                    self.malformed()
                end = space + 1 + int(pending[2:space])
                if len(pending) < end:
                    break
                frames += self.frame(kind, pending[space + 1 : end])
                del pending[:end]
                self.ended = False
        return frames

    def skip_notification(self) -> bool:
        """Lets a whole notification go; False while it is not whole."""
        end = self.pending.find(END)
        if end < 0:
            return False
        if not self.pending.startswith(_NOTIFICATION):
            self.malformed()
        del self.pending[: end + 1]
        return True

    def malformed(self) -> NoReturn:
        raise OSError("it answered what no call of this host asked for: "
                      f"{bytes(self.pending[:200])!r}")

    @staticmethod
    def frame(kind: bytes, payload: bytes | bytearray) -> bytes:
        """An answer as the frame the agent would have sent: ``o`` and the result, or ``e`` and
        {message errorInfo errorCode} (the errorInfo is the server's ::errorInfo), in UTF-8."""
        if not payload.isascii():
            try:
                payload.decode("utf-8")
            except UnicodeDecodeError:
                payload = payload.decode("utf-8", "tarvik.bytes").encode("utf-8")
        if kind == b"e":
            payload = _quote((payload.decode("utf-8"), "", "")).encode("utf-8")
        return HEADER.pack(kind, len(payload)) + payload

    # -- the end

    def release(self) -> None:
        """Deletes the procedure, then closes the connection: the server reads the command and
        the end of the connection, and answers, before this end goes (closing it with an answer
        unread would reset the connection, and the server could lose the command)."""
        if not self.define:
            try:
                os.write(self.write_fd, b"::rename " + self.name.encode("ascii") + b" {}\x1a")
                self.sock.shutdown(socket.SHUT_WR)
                poller = select.poll()
                poller.register(self.read_fd, select.POLLIN)
                deadline = time.monotonic() + _GOODBYE
                while poller.poll(max(0.0, deadline - time.monotonic()) * 1000):
                    if not os.read(self.read_fd, READ_SIZE):
                        break
            except OSError:
                pass
        super().release()
