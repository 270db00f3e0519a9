"""Links to a Tcl interpreter in another process.

A link moves bytes between the host and the agent, and nothing else: the framing layer
(:mod:`tarvik.tcl._frames`) makes frames of calls and calls of frames, with the deadlines,
faults and threads that every link shares. A link owns its descriptors and closes each of them
exactly once.

- :class:`PipesLink`: a child whose agent opens two named pipes in a private directory. The
  agent's own descriptors are close-on-exec, so no program that the remote runs inherits the link,
  and the child's stdout and stderr are left to the tool's output.
- :class:`SocketLink`: a TCP connection to ``tarvik::serve`` in a running tool.
"""

from __future__ import annotations

import codecs
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
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
    forwarded to Python's stream of that name. Its last lines are kept, bounded, for error
    messages."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self.lines: deque[str] = deque(maxlen=TAIL_LINES)
        self.partial = ""

    def write(self, data: bytes, final: bool = False) -> None:
        text = self.decoder.decode(data, final)
        if not text:
            return
        self.remember(text)
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
            except OSError:
                data = b""
            if not data:
                self.output.write(b"", final=True)
                return False
            self.output.write(data)
        return True


# ---------------------------------------------------------------------------------------------
# Links


class Link:
    """Moves bytes to and from an agent. ``read_fd`` is watched for what the agent sends,
    ``write_fd`` takes what the host sends (both non-blocking); ``drains`` are descriptors of
    output only, to be read as they come."""

    where = ""
    read_fd = -1
    write_fd = -1

    def __init__(self) -> None:
        self.outputs: dict[str, Output] = {}
        self.drains: dict[int, Drain] = {}
        self.closed = False

    def read(self) -> bytes:
        """What the agent sent that can be read now (b"" when nothing came); EOFError at the end
        of the link."""
        try:
            data = os.read(self.read_fd, READ_SIZE)
        except BlockingIOError:
            return b""
        if not data:
            raise EOFError
        return data

    def readinto(self, view: memoryview) -> int:
        """Reads straight into `view`; EOFError at the end."""
        try:
            count = os.readv(self.read_fd, [view])
        except BlockingIOError:
            return 0
        if not count:
            raise EOFError
        return count

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
    """A link to a child process: its exit ends the link, its stdout and stderr are output, and
    closing the link stops it."""

    process: subprocess.Popen

    def __init__(self) -> None:
        super().__init__()
        self.outputs = {"stdout": Output("stdout"), "stderr": Output("stderr")}

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

    def lost(self, detail: str = "") -> str:
        """Why the link went, with the child's exit status and the last lines of its stderr."""
        try:
            status = self.process.wait(1.0)
        except subprocess.TimeoutExpired:
            status = None
        self.drain()
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
        lines = self.outputs["stderr"].last_lines()
        if lines:
            message += "; the last lines of its stderr:\n" + "\n".join(lines)
        return message

    def release(self) -> None:
        """Ends the link; the child is asked to exit by the end of its input, then killed. What
        it printed meanwhile is forwarded."""
        _close_fd(self.write_fd)
        self.write_fd = -1
        try:
            self.process.wait(0.5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.drain()
        for fd in {self.read_fd, *self.drains}:
            _close_fd(fd)
        self.read_fd = -1
        self.drains.clear()

class PipesLink(ChildLink):
    """A child that serves over two named pipes: the agent opens them by their paths (from the
    environment), so that its descriptors are close-on-exec and no original stays open."""

    def __init__(self, args: list[str], *, cwd: str | os.PathLike[str] | None,
                 env: dict[str, str] | None) -> None:
        super().__init__()
        self.directory = tempfile.mkdtemp(prefix="tarvik-")
        try:
            self.open_pipes(args, cwd, env)
        except BaseException:
            self.closed = True
            for fd in {self.read_fd, self.write_fd}:
                _close_fd(fd)
            self.remove_pipes()
            raise

    def open_pipes(self, args: list[str], cwd: str | os.PathLike[str] | None,
                   env: dict[str, str] | None) -> None:
        to_agent = os.path.join(self.directory, "in")
        os.mkfifo(to_agent, 0o600)
        # Open for reading too, so that the agent's open does not wait and its reads see no end
        # before the host has its own end for writing (see started).
        self.write_fd = os.open(to_agent, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC)
        from_agent = os.path.join(self.directory, "out")
        os.mkfifo(from_agent, 0o600)
        self.read_fd = os.open(from_agent, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        _widen_pipe(self.write_fd)
        child_env = dict(os.environ if env is None else env)
        child_env[LINK_ENV] = _quote(("in", to_agent, "out", from_agent))
        self.spawn(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, cwd=cwd, env=child_env)
        self.add_drain(self.process.stdout, "stdout")

    def started(self) -> None:
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


def command_line(command: Sequence[str] | None) -> list[str]:
    """The program and arguments to start: an argument ``"{agent}"`` is replaced by the agent's
    path, which is appended when no argument is."""
    if command is None:
        tclsh = shutil.which("tclsh")
        if tclsh is None:
            raise FileNotFoundError("no tclsh on PATH (Debian: apt-get install tcl8.6)")
        command = [tclsh]
    elif isinstance(command, (str, bytes)):
        raise TypeError("command must be a sequence of program and arguments, not a string")
    args = [os.fspath(arg) for arg in command]
    path = agent_script()
    if "{agent}" not in args:
        return [*args, path]
    return [path if arg == "{agent}" else arg for arg in args]
