"""Links to a Tcl interpreter in another process.

A link moves bytes between the host and the agent, and nothing else: the framing layer
(:mod:`tarvik.tcl._frames`) makes frames of calls and calls of frames, with the deadlines,
faults and threads that every link shares. A link owns its descriptors and closes each of them
exactly once.

- :class:`PipesLink`: a child whose agent opens two named pipes in a private directory. The
  agent's own descriptors are close-on-exec, so no program that the remote runs inherits the link,
  and the child's stdout and stderr are left to the tool's output.
- :class:`StdioLink`: a child's own stdin and stdout, for tools that read commands from stdin and
  for whatever carries only those (ssh, a farm's interactive job, a container). The host writes a
  bootstrap and the agent's text to stdin; frames from the agent carry a marker that tells them
  from the tool's output on the same stream.
- :class:`SocketLink`: a TCP connection to ``tarvik::serve`` in a running tool.
"""

from __future__ import annotations

import codecs
import os
import secrets
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from collections import deque
from collections.abc import Sequence
from pathlib import Path

from tarvik.tcl.scriptify import scriptify as _quote

# Frame header: the kind as one byte, the payload length as an unsigned 32-bit big-endian integer.
HEADER = struct.Struct(">cI")
# The largest payload either side accepts (the agent's ::tarvik::maxframe).
MAX_FRAME = 256 * 1024 * 1024
# Reads of a link ask for this much; a bigger frame is read straight into its own place.
READ_SIZE = 65536
# How often a wait looks at whether the child is still alive: a child that dies while something it
# started holds the link open gives no end of file.
POLL_SLICE = 0.2
LINK_ENV = "TARVIK_AGENT_LINK"
# What error messages show of the remote's output: its last lines, each cut to a length.
TAIL_LINES = 10
TAIL_CHARS = 2000


def agent_script() -> str:
    """The path of the agent Tcl script that serves a :class:`~tarvik.tcl.TclProcess` host."""
    return str(Path(__file__).with_name("agent.tcl"))


# ---------------------------------------------------------------------------------------------
# The remote's output


class Output:
    """One of the remote's output streams (``stdout`` or ``stderr``): decoded as UTF-8 and
    forwarded to Python's stream of that name, or collected while a capture runs. Its last lines
    are kept, bounded, for error messages."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self.capture: list[str] | None = None
        self.lines: deque[str] = deque(maxlen=TAIL_LINES)
        self.partial = ""

    def write(self, data: bytes, final: bool = False) -> None:
        text = self.decoder.decode(data, final)
        if not text:
            return
        self.remember(text)
        if self.capture is not None:
            self.capture.append(text)
            return
        stream = getattr(sys, self.name)
        if stream is None:
            return
        try:
            stream.write(text)
            stream.flush()
        except Exception:
            pass  # a closed or failing stream: the remote's output has nowhere to go

    def remember(self, text: str) -> None:
        """Keeps the last lines; what a long line holds beyond its last characters is let go."""
        if "\n" not in text:
            self.partial = (self.partial + text)[-TAIL_CHARS:]
            return
        lines = text.split("\n")
        lines[0] = self.partial + lines[0]
        self.partial = lines.pop()[-TAIL_CHARS:]
        self.lines.extend(line[-TAIL_CHARS:] for line in lines[-TAIL_LINES:] if line.strip())

    def last_lines(self) -> list[str]:
        lines = list(self.lines)
        if self.partial.strip():
            lines.append(self.partial)
        return lines[-TAIL_LINES:]

    def forget(self) -> None:
        self.lines.clear()
        self.partial = ""


class Drain:
    """A descriptor that carries output only: read as it comes, never left to fill up."""

    def __init__(self, fd: int, output: Output) -> None:
        self.fd = fd
        self.output = output
        os.set_blocking(fd, False)

    def drain(self) -> bool:
        """Forwards what can be read now (a bounded amount, so that a flood does not hold the
        host); False at the end of the stream."""
        for _ in range(16):
            try:
                data = os.read(self.fd, READ_SIZE)
            except BlockingIOError:
                return True
            except OSError:  # EIO: a terminal whose other side is closed
                data = b""
            if not data:
                self.output.write(b"", final=True)
                return False
            self.output.write(data)
        return True


class Demux:
    """Frames and output on one stream: each frame the agent sends starts with a marker that the
    tool's output cannot forge (random for each session), so the bytes between frames are output.
    """

    def __init__(self, marker: bytes, output: Output) -> None:
        self.marker = marker
        self.output = output
        self.pending = b""  # bytes not yet told apart: a marker or a header may go on
        self.left = 0  # bytes of the current frame still to come

    def feed(self, data: bytes) -> bytes:
        """The frames' bytes among `data`, the output passed on."""
        marker = self.marker
        if not self.pending and not self.left and data.startswith(marker):
            start = len(marker)
            if len(data) >= start + 5:
                length = HEADER.unpack_from(data, start)[1]
                if len(data) == start + 5 + length:  # one whole frame: the commonest read
                    return data[start:]
        if self.pending:
            data = self.pending + data
            self.pending = b""
        found: list[bytes] = []
        while data:
            if self.left:
                part = data[: self.left]
                found.append(part)
                self.left -= len(part)
                data = data[len(part) :]
                continue
            at = data.find(marker)
            if at < 0:
                keep = self.marker_start(data)
                self.output.write(data[: len(data) - keep])
                self.pending = data[len(data) - keep :]
                break
            if at:
                self.output.write(data[:at])
            start = at + len(marker)
            if len(data) < start + 5:
                self.pending = data[at:]
                break
            length = HEADER.unpack_from(data, start)[1]
            if length > MAX_FRAME:
                raise OSError(f"a frame of {length} bytes")
            self.left = 5 + length
            data = data[start:]
        return b"".join(found)

    def marker_start(self, data: bytes) -> int:
        """How many bytes at the end of `data` could begin a marker."""
        first = self.marker[:1]
        at = data.rfind(first, max(0, len(data) - len(self.marker) + 1))
        while at >= 0:
            if self.marker.startswith(data[at:]):
                return len(data) - at
            at = data.rfind(first, at + 1)
        return 0

    def finish(self) -> None:
        """At the end of the stream, what was held back was output."""
        if self.pending and not self.left:
            self.output.write(self.pending)
        self.pending = b""
        self.output.write(b"", final=True)


# ---------------------------------------------------------------------------------------------
# Links


class Link:
    """Moves bytes to and from an agent. ``read_fd`` is watched for what the agent sends,
    ``write_fd`` takes what the host sends (both non-blocking); ``drains`` are descriptors of
    output only, to be read as they come."""

    where = ""
    read_fd = -1
    write_fd = -1
    # Whether the agent's frames share their stream with output, and carry a marker.
    marked = False
    # Whether a frame to the agent must not hold "~" after a line end (an ssh client in the way
    # would take it for an escape).
    escapes = False
    # Whether the other end speaks no frames, so that the link translates them (see encode and
    # read): a Tcl RPC server without the agent.
    translates = False
    # Whether the remote can call Python back (createcommand).
    callbacks = True

    def __init__(self) -> None:
        self.outputs: dict[str, Output] = {}
        self.drains: dict[int, Drain] = {}
        self.demux: Demux | None = None
        self.closed = False

    def read(self) -> bytes:
        """What the agent sent that can be read now (b"" when nothing, or only output, came);
        EOFError at the end of the link."""
        try:
            data = os.read(self.read_fd, READ_SIZE)
        except BlockingIOError:
            return b""
        if not data:
            if self.demux is not None:
                self.demux.finish()
            raise EOFError
        if self.demux is not None:
            return self.demux.feed(data)
        return data

    def readinto(self, view: memoryview) -> int:
        """Reads straight into `view` (a link without a marker only); EOFError at the end."""
        try:
            count = os.readv(self.read_fd, [view])
        except BlockingIOError:
            return 0
        if not count:
            raise EOFError
        return count

    def encode(self, kind: bytes, payload: bytes) -> bytes:
        """What carries a frame to a link that translates frames."""
        raise NotImplementedError

    def alive(self) -> bool:
        return True

    def started(self) -> None:
        """The agent answered: what was only needed to start can go."""

    def lost(self, detail: str = "") -> str:
        """Why the link went."""
        return f"the Tcl interpreter{self.where} closed the connection" + (
            f": {detail}" if detail else "")

    def drain(self) -> None:
        for fd, drain in list(self.drains.items()):
            if not drain.drain():
                del self.drains[fd]

    def close(self) -> None:
        """Ends the link (once): the remote sees the end of its input."""
        if not self.closed:
            self.closed = True
            self.release()

    def abandon(self) -> None:
        """In a forked process: lets go of this process's copies of the descriptors, and touches
        nothing that the process that made the link still uses."""
        if not self.closed:
            self.closed = True
            for fd in {self.read_fd, self.write_fd, *self.drains}:
                _close_fd(fd)
            self.read_fd = self.write_fd = -1
            self.drains.clear()

    def release(self) -> None:
        raise NotImplementedError


class SocketLink(Link):
    """A TCP connection to ``tarvik::serve``; the remote keeps its own output."""

    def __init__(self, host: str, port: int, timeout: float | None) -> None:
        super().__init__()
        self.where = f" at {host}:{port}"
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setblocking(False)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.read_fd = self.write_fd = self.sock.fileno()

    def release(self) -> None:
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.read_fd = self.write_fd = -1

    def abandon(self) -> None:
        # Closing this process's descriptor leaves the connection to the other process; a
        # shutdown would end it for both.
        if not self.closed:
            self.closed = True
            self.sock.detach()
            _close_fd(self.read_fd)
            self.read_fd = self.write_fd = -1


class ChildLink(Link):
    """A link to a child process: its exit ends the link, its stderr (and what of its stdout the
    link does not carry) is output, and closing the link stops it."""

    process: subprocess.Popen

    def __init__(self) -> None:
        super().__init__()
        self.outputs = {"stdout": Output("stdout"), "stderr": Output("stderr")}
        self.starting = True
        self.owned: list[int] = []  # descriptors to close with the link, besides the drains

    def spawn(self, args: list[str], *, stdin: int, stdout: int, cwd: str | os.PathLike[str] | None,
              env: dict[str, str] | None) -> None:
        self.process = subprocess.Popen(args, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                                        cwd=cwd, env=env, process_group=0)
        self.where = f" in process {self.process.pid}"
        assert self.process.stderr is not None
        self.add_drain(self.process.stderr, "stderr")

    def add_drain(self, stream: object, name: str) -> None:
        fd = os.dup(stream.fileno())  # type: ignore[attr-defined]
        stream.close()  # type: ignore[attr-defined]
        os.set_inheritable(fd, False)
        self.drains[fd] = Drain(fd, self.outputs[name])

    def alive(self) -> bool:
        return self.process.poll() is None

    def started(self) -> None:
        self.starting = False

    def lost(self, detail: str = "") -> str:
        """Why the link went, with the child's exit status and the last lines of its stderr
        (and of its stdout, while it starts)."""
        try:
            status = self.process.wait(1.0)
        except subprocess.TimeoutExpired:
            status = None
        self.drain()
        if self.marked:
            self.read_rest()
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
        return message + self.last_output()

    def last_output(self) -> str:
        text = ""
        names = ("stdout", "stderr") if self.starting else ("stderr",)
        for name in names:
            lines = self.outputs[name].last_lines()
            if lines:
                text += f"; the last lines of its {name}:\n" + "\n".join(lines)
        return text

    def release(self) -> None:
        """Ends the link; the child is asked to exit by the end of its input, then killed. What
        it printed meanwhile is forwarded."""
        if self.read_fd == self.write_fd:
            self.read_fd = -1  # a terminal: closing it is the child's hangup
        _close_fd(self.write_fd)
        self.write_fd = -1
        try:
            self.process.wait(0.5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.drain()
        if self.marked:
            self.read_rest()
        if self.demux is not None:
            self.demux.finish()
        for fd in {self.read_fd, *self.owned, *self.drains}:
            _close_fd(fd)
        self.read_fd = -1
        self.owned.clear()
        self.drains.clear()

    def read_rest(self) -> None:
        """Passes on the output left on a stream that also carries frames (all of it output
        before the agent runs)."""
        for _ in range(64):
            try:
                data = os.read(self.read_fd, READ_SIZE)
            except OSError:
                return
            if not data:
                return
            if self.demux is None:
                self.outputs["stdout"].write(data)
                continue
            try:
                self.demux.feed(data)
            except OSError:
                return

    def abandon(self) -> None:
        if not self.closed:
            super().abandon()
            for fd in self.owned:
                _close_fd(fd)
            self.owned.clear()

    def terminal(self, raw: bool) -> int:
        """A pseudo-terminal for the child (its end is returned); the host reads the other."""
        master, slave = os.openpty()
        if raw:
            import tty

            tty.setraw(slave)  # the agent's frames cross it as they are: no echo, no "\r\n"
        os.set_blocking(master, False)
        self.owned.append(slave)
        return master


class PipesLink(ChildLink):
    """A child that serves over two named pipes: the agent opens them by their paths (from the
    environment), so that its descriptors are close-on-exec and no original stays open. With
    ``pty``, the child's stdout is a terminal that also carries the agent's frames (marked), so
    output and answers arrive in the order the remote wrote them."""

    def __init__(self, args: list[str], *, pty: bool, cwd: str | os.PathLike[str] | None,
                 env: dict[str, str] | None) -> None:
        super().__init__()
        self.directory = tempfile.mkdtemp(prefix="tarvik-")
        try:
            self.open_pipes(args, pty, cwd, env)
        except BaseException:
            self.closed = True
            for fd in {self.read_fd, self.write_fd, *self.owned}:
                _close_fd(fd)
            self.remove_pipes()
            raise

    def open_pipes(self, args: list[str], pty: bool, cwd: str | os.PathLike[str] | None,
                   env: dict[str, str] | None) -> None:
        to_agent = os.path.join(self.directory, "in")
        os.mkfifo(to_agent, 0o600)
        # Open for reading too, so that the agent's open does not wait and its reads see no end
        # before the host has its own end for writing (see started).
        self.write_fd = os.open(to_agent, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC)
        link = ["in", to_agent]
        if pty:
            self.read_fd = self.terminal(raw=True)
            self.marked = True
            marker = _marker()
            self.demux = Demux(marker, self.outputs["stdout"])
            link += ["out", "stdout", "marker", marker.decode("ascii")]
            stdout = self.owned[-1]
        else:
            from_agent = os.path.join(self.directory, "out")
            os.mkfifo(from_agent, 0o600)
            self.read_fd = os.open(from_agent, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
            link += ["out", from_agent]
            stdout = subprocess.PIPE
        _widen_pipe(self.write_fd)
        child_env = dict(os.environ if env is None else env)
        child_env[LINK_ENV] = _quote(tuple(link))
        self.spawn(args, stdin=subprocess.DEVNULL, stdout=stdout, cwd=cwd, env=child_env)
        if pty:
            _close_fd(self.owned.pop())  # the child's end of the terminal: only the child's now
        else:
            self.add_drain(self.process.stdout, "stdout")

    def started(self) -> None:
        super().started()
        # The agent has its end: from now on the host's end only writes, so the remote's death
        # is a broken pipe here, and the names go.
        writer = os.open(os.path.join(self.directory, "in"),
                         os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        os.dup2(writer, self.write_fd, inheritable=False)
        os.close(writer)
        self.remove_pipes()

    def remove_pipes(self) -> None:
        shutil.rmtree(self.directory, ignore_errors=True)

    def release(self) -> None:
        super().release()
        self.remove_pipes()

    def abandon(self) -> None:
        super().abandon()  # the directory is the other process's to remove


class StdioLink(ChildLink):
    """A child that reads commands from stdin: the host writes a one-line bootstrap that turns a
    terminal's echo and line editing off and reads the agent's text, and frames then travel over
    the child's stdin and stdout. With ``pty``, both are a terminal, as ``ssh -tt`` would give."""

    marked = True
    escapes = True

    def __init__(self, args: list[str], *, pty: bool, cwd: str | os.PathLike[str] | None,
                 env: dict[str, str] | None) -> None:
        super().__init__()
        try:
            if pty:
                self.read_fd = self.write_fd = self.terminal(raw=False)
                slave = self.owned[-1]
                self.spawn(args, stdin=slave, stdout=slave, cwd=cwd, env=env)
                _close_fd(self.owned.pop())
            else:
                self.spawn(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=cwd, env=env)
                self.write_fd = _take_fd(self.process.stdin)
                self.read_fd = _take_fd(self.process.stdout)
                _widen_pipe(self.write_fd)
        except BaseException:
            self.closed = True
            for fd in {self.read_fd, self.write_fd, *self.owned}:
                _close_fd(fd)
            raise
        self.marker = _marker()

    def boot(self, deadline: float) -> None:
        """Has the child read the agent from its stdin.

        A bootstrap line comes first: it turns a terminal's echo and line editing off, prints a
        ready signal and reads lines up to a go line, then the agent's text. A tool that sets
        up its terminal after it starts may throw away what came before, so the line is sent
        again until the signal comes; the copies that were read after all are skipped as lines
        before the go line."""
        nonce = secrets.token_hex(8)
        agent = (f"namespace eval ::tarvik {{variable link {{in stdin out stdout marker "
                 f"{self.marker.decode('ascii')}}}}}\n").encode("ascii")
        agent += Path(agent_script()).read_bytes()
        # The line reads through a channel of its own where it can (a tool may have no "stdin"
        # channel), and makes the ready signal, so that a terminal's echo of it is no signal. Tcl
        # tells a terminal by its -mode option, Jim Tcl by isatty.
        line = (f"namespace eval ::tarvik {{variable boot stdin; catch {{set boot [open /dev/fd/0 "
                f"RDONLY]}}; catch {{if {{![catch {{fconfigure $boot -mode}}] || [$boot isatty]}} "
                f"{{exec stty raw -echo <@$boot}}}}; "
                f"fconfigure $boot -translation binary; puts [string toupper tarvik-ready-{nonce}]"
                f"; flush stdout; while {{[gets $boot line] >= 0 && $line ne {{go {nonce}}}}} {{}}"
                f"}}; eval [read $::tarvik::boot {len(agent)}]\n").encode("ascii")
        ready = f"TARVIK-READY-{nonce.upper()}".encode("ascii")
        seen = bytearray()
        patience = 0.5
        while True:
            self.write_all(line, deadline)
            try:
                at = self.read_until(seen, ready, min(deadline, time.monotonic() + patience))
                break
            except TimeoutError:
                if time.monotonic() >= deadline:
                    self.outputs["stdout"].write(bytes(seen))  # why it did not start, often
                    raise
                patience *= 2
            except EOFError:
                self.outputs["stdout"].write(bytes(seen))
                raise
        before = bytes(seen[:at])
        for echo in (line.replace(b"\n", b"\r\n"), line, line.rstrip(b"\n")):
            before = before.replace(echo, b"")
        self.outputs["stdout"].write(before)
        self.demux = Demux(self.marker, self.outputs["stdout"])
        self.demux.pending = bytes(seen[seen.index(b"\n", at) + 1 :])
        self.write_all(f"go {nonce}\n".encode("ascii") + agent, deadline)

    def write_all(self, data: bytes, deadline: float) -> None:
        """Writes to the child's stdin; EOFError when it is gone."""
        view = memoryview(data)
        while view:
            self.wait_for(self.write_fd, select.POLLOUT, deadline)
            try:
                view = view[os.write(self.write_fd, view) :]
            except BlockingIOError:
                pass
            except OSError as error:  # the child exited before it read it all
                raise EOFError from error

    def read_until(self, seen: bytearray, signal_: bytes, deadline: float) -> int:
        """Reads stdout into `seen` until it holds the line of `signal_`; where it starts."""
        while True:
            at = seen.find(signal_)
            if at >= 0 and seen.find(b"\n", at) >= 0:
                return at
            self.wait_for(self.read_fd, select.POLLIN, deadline)
            try:
                data = os.read(self.read_fd, READ_SIZE)
            except BlockingIOError:
                continue
            except OSError:  # EIO: a terminal whose other side is closed
                data = b""
            if not data:
                raise EOFError
            seen += data

    def wait_for(self, fd: int, event: int, deadline: float) -> None:
        """Waits until `fd` is ready, reading stderr meanwhile; TimeoutError at the deadline,
        EOFError when the child is gone."""
        poller = select.poll()
        poller.register(fd, event)
        for drain in self.drains:
            poller.register(drain, select.POLLIN)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError
            ready = poller.poll(min(left, POLL_SLICE) * 1000)
            if any(ready_fd == fd for ready_fd, _ in ready):
                return
            self.drain()
            if not ready and not self.alive():
                raise EOFError


def _marker() -> bytes:
    """A marker for one session's frames: a separator byte that text seldom holds, and 64
    random bits."""
    return b"\x1d" + secrets.token_hex(8).encode("ascii") + b":"


def _take_fd(stream: object) -> int:
    fd = os.dup(stream.fileno())  # type: ignore[attr-defined]
    stream.close()  # type: ignore[attr-defined]
    os.set_inheritable(fd, False)
    os.set_blocking(fd, False)
    return fd


def _close_fd(fd: int) -> None:
    if fd >= 0:
        try:
            os.close(fd)
        except OSError:
            pass


def _widen_pipe(fd: int) -> None:
    """Lets a pipe hold a megabyte, so that big values cross in few reads (where Linux lets it)."""
    try:
        import fcntl

        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, 1 << 20)
    except (ImportError, AttributeError, OSError):
        pass


def command_line(command: Sequence[str] | None, *, agent: bool) -> list[str]:
    """The program and arguments to start; with `agent`, ``"{agent}"`` in any argument is
    replaced by the agent's path, which is appended when no argument names it."""
    if command is None:
        tclsh = shutil.which("tclsh")
        if tclsh is None:
            raise FileNotFoundError("no tclsh on PATH (Debian: apt-get install tcl8.6)")
        command = [tclsh]
    elif isinstance(command, (str, bytes)):
        raise TypeError("command must be a sequence of program and arguments, not a string")
    args = [os.fspath(arg) for arg in command]
    if not agent:
        return args
    path = agent_script()
    if not any("{agent}" in arg for arg in args):
        return [*args, path]
    return [arg.replace("{agent}", path) for arg in args]
