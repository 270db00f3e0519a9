"""A host whose Tcl interpreter runs in another process.

:class:`TclProcess` starts a Tcl program (``tclsh`` by default, or a tool's own Tcl shell) with
the agent script shipped in this package (:func:`agent_script`), attaches with
:meth:`TclProcess.connect` to an interpreter already serving on a port, or with
:meth:`TclProcess.connect_rpc` to a Tcl RPC server such as OpenOCD's. Its ``tk`` offers what the
modules of this package call on ``_tkinter``'s application object, over a link of
length-prefixed frames; results are the remote's strings.
"""

from __future__ import annotations

import os
import queue
import re
import sys
import threading
import time
import weakref
from threading import get_ident
from collections.abc import Callable, Sequence
from contextlib import AbstractContextManager
from typing import IO, Any, Literal

from tarvik.tcl import _link, _rpc
from tarvik.tcl._flight import Pipeline
from tarvik.tcl._frames import CallTimeout, TclProcessError, _Channel, _plain, forked
from tarvik.tcl._host import cast_any as _cast_any
from tarvik.tcl._host import splitlist as _splitlist
from tarvik.tcl._link import agent_script
from tarvik.tcl._pipeline import VOID, Pending
from tarvik.tcl._tkinter_names import TclError
from tarvik.tcl._words import _tcl_boolean, _word, _words_text
from tarvik.tcl.history import History
from tarvik.tcl.namespace import TclNamespace
from tarvik.tcl.scriptify import scriptify as _quote
from tarvik.tcl.z import Z

__all__ = ["Captured", "TclProcess", "TclProcessError", "agent_script", "wait_for_serve"]

_PROTOCOL = "3"
# What a Tcl RPC server is asked first: its version and process id (0 where it has no pid).
_RPC_HELLO = ("::list [::info patchlevel] [if {[::llength [::info commands ::pid]]} {::pid} "
              "else {::list 0}]")


# ---------------------------------------------------------------------------------------------
# The application object


class RemoteTk:
    """What the modules call on ``_tkinter``'s application object, carried out by a remote Tcl.

    Results are strings; a Tcl error raises ``TclError`` with Tcl's message, leaving ``::errorInfo``
    and ``::errorCode`` set in the remote. Inside a
    :meth:`TclProcess.pipeline <tarvik.tcl.TclProcess.pipeline>` block, ``call``, ``eval``,
    ``setvar``, ``unsetvar`` and ``deletecommand`` give a :class:`~tarvik.tcl.Pending` instead,
    and the rest waits for every call in flight first.
    """

    def __init__(self, link: _Channel) -> None:
        self._link = link

    def call(self, *words: Any) -> Any:
        """Runs one command made of ``words`` (or of the one tuple given) without substitution."""
        if len(words) == 1 and isinstance(words[0], tuple):
            words = words[0]
        link = self._link
        block = link.block
        if block is not None and block.owner == get_ident() and block.depth == link.depth:
            return block.submit("c", _words_text(words))
        return link.exchange(b"c", _words_text(words))

    def eval(self, script: str) -> Any:
        """Evaluates a Tcl script in the global namespace."""
        if type(script) is not str:
            script = _word(script)
        link = self._link
        block = link.block
        if block is not None and block.owner == get_ident() and block.depth == link.depth:
            return block.submit("e", script)
        return link.exchange(b"e", script)

    @staticmethod
    def _name(name: str, index: Any) -> str:
        name = _word(name)
        return name if index is None else f"{name}({_word(index)})"

    def getvar(self, name: str, index: Any = None) -> str:
        """The value of a global variable, or of element ``index`` of a global array."""
        return self._link.roundtrip(b"c", _words_text(("::set", self._name(name, index))))

    def setvar(self, name: str, *args: Any) -> Any:
        """``setvar(name, value)`` or ``setvar(name, index, value)``."""
        if len(args) not in (1, 2):
            raise TypeError(f"setvar expected 2 or 3 arguments, got {len(args) + 1}")
        index = args[0] if len(args) == 2 else None
        name, value = self._name(name, index), _word(args[-1])
        block = self._link.block_here()
        if block is not None:
            return block.submit("s", _quote((name, value)), VOID)
        # Name and value travel apart, so that a big value is never quoted nor parsed as a list.
        kind = b"S" if _plain(name) and _plain(value) else b"s"
        name_bytes = name.encode("utf-8")
        self._link.exchange(kind, len(name_bytes).to_bytes(4, "big") + name_bytes,
                            value.encode("utf-8"))
        return None

    def unsetvar(self, name: str, index: Any = None) -> Any:
        """Unsets a global variable or array element; TclError when it does not exist."""
        return self._link.request("c", _words_text(("::unset", self._name(name, index))), VOID)

    def createcommand(self, name: str, func: Callable[..., Any]) -> None:
        """Defines the Tcl command ``name``, which runs ``func(*args)`` in this process.

        The function gets the command's arguments as strings; what it returns is the command's
        result. An exception in it is a Tcl error ``"Type: message"`` whose ``errorInfo`` starts
        with the Python traceback and whose ``errorCode`` is ``PYTHON Type``.
        """
        if not callable(func):
            raise TypeError("command not callable")
        self._link.register(_word(name), func)

    def deletecommand(self, name: str) -> Any:
        """Deletes a Tcl command (a callback's function is released with it)."""
        return self._link.request("c", _words_text(("::rename", name, "")), VOID)

    def splitlist(self, value: Any) -> tuple:
        """The elements of a Tcl list; the remote judges only what the native reader cannot."""
        if type(value) is Pending:
            value = value.result()
        if isinstance(value, tuple):
            return value
        text = value if isinstance(value, str) else _word(value)
        items = _splitlist(text)
        if items is None:
            # The remote's canonical form of it, or Tcl's own error for a malformed list.
            canonical = self._link.roundtrip(b"c", _words_text(("::lrange", text, "0", "end")))
            items = _splitlist(canonical)
            if items is None:
                raise TclError(f"cannot split the Tcl list {text!r}")
        return items

    def getboolean(self, value: Any) -> bool:
        """A boolean by Tcl's rules: 0/1 and unique prefixes of yes/no/true/false/on/off."""
        if type(value) is Pending:
            value = value.result()
        if isinstance(value, (bool, int)):
            return bool(value)
        if not isinstance(value, str):
            raise TypeError(f"getboolean() argument must be str, not {type(value).__name__}")
        return _tcl_boolean(value)


# ---------------------------------------------------------------------------------------------
# What a block printed


class Captured:
    """What the remote printed on its stdout and stderr while a :meth:`TclProcess.capture`
    block ran (strings; complete once the block has ended). The block is the object's own
    ``with`` block: it collects the output instead of forwarding it, and gives it back to its
    former place when it ends."""

    def __init__(self, outputs: dict[str, Any]) -> None:
        self._outputs = outputs
        self._parts: dict[str, list[str]] = {"stdout": [], "stderr": []}
        self._kept: dict[str, list[str] | None] = {}

    @property
    def stdout(self) -> str:
        """What the remote printed on its stdout."""
        return "".join(self._parts["stdout"])

    @property
    def stderr(self) -> str:
        """What the remote printed on its stderr."""
        return "".join(self._parts["stderr"])

    def __enter__(self) -> Captured:
        """Starts collecting: the remote's output comes here instead of its former place."""
        for name, output in self._outputs.items():
            self._kept[name] = output.capture
            output.capture = self._parts[name]
        return self

    def __exit__(self, *exc_info: object) -> None:
        """Stops collecting: the remote's output goes back to its former place."""
        for name, output in self._outputs.items():
            output.capture = self._kept.pop(name, None)

    def __repr__(self) -> str:
        return f"<Captured stdout={self.stdout!r} stderr={self.stderr!r}>"


# ---------------------------------------------------------------------------------------------
# The host


class TclProcess:
    """A host whose Tcl interpreter runs in another process.

    ``TclProcess(command=None, *, link="pipes", pty=False, tclx=False, timeout=None,
    start_timeout=30.0, cwd=None, env=None)`` starts ``command`` (a program and its arguments;
    default: the ``tclsh`` on ``PATH``) and serves this host from it through the agent script:

    - ``link="pipes"``: the program sources the agent, whose path replaces ``"{agent}"`` wherever
      an argument holds it (it is appended when none does); the agent talks over two private
      pipes, so what the remote prints reaches this process's ``sys.stdout`` and ``sys.stderr``.
    - ``link="stdio"``: the program reads Tcl commands from its stdin (``tclsh``, a tool's shell,
      ``ssh host tclsh``, a farm's interactive job): the host writes the agent's text to it, and
      frames travel over its stdin and stdout, told apart from what it prints, which is forwarded.
      A terminal on the way (``ssh -tt``) is made raw before the first frame.

    ``pty=True`` makes the program's stdout a pseudo-terminal (with ``link="stdio"``, its stdin
    too), so a tool that buffers its own C output flushes it line by line, in order with the calls.
    The program may be Tcl 8.5, 8.6, 9 or Jim Tcl (``jimsh``). :meth:`connect` attaches to a
    running tool that serves, :meth:`connect_rpc` to a Tcl RPC server such as OpenOCD's.

    It offers what :class:`TclInterpreter` offers: ``tk`` (a
    :class:`~tarvik.tcl._process.RemoteTk`), the casts, ``history``, ``vars``, ``z`` and ``tclx``.
    Nothing is loaded into the remote and nothing is left there but the agent's namespace
    ``::tarvik``; ``tclx=True`` loads TclX, or fails when the remote cannot. ``timeout`` bounds
    each call, in seconds (time spent in Python callbacks aside): a call that runs past it raises
    ``TimeoutError`` and closes the host; ``with remote.timeout(seconds):`` sets another deadline
    for the calls of a block (:meth:`timeout`). A start that does not answer within ``start_timeout``
    raises ``TimeoutError`` and stops the program. If the remote dies, the call in progress and
    every later one raise :class:`TclProcessError` (a ``ConnectionError``) naming the exit status
    and the last lines of its stderr. Ctrl-C during a call interrupts it and closes the host (the
    remote may be anywhere in its work). Calls from several threads are serialised. A process
    forked from this one cannot use the host: it raises :class:`TclProcessError` at once.

    ``close()``, leaving a ``with`` block, or collecting the host ends the link, and a child
    process with it.

    Attributes:
        pid: The remote interpreter's process id (an ``int``).
        patchlevel: The remote's Tcl version, as ``info patchlevel`` gives it.
        tclx: Whether TclX was loaded into the remote (only when asked).
        history: The :class:`~tarvik.tcl.history.History` of the quick calls made through ``z``.
        vars: The remote's global variables, as the ``vars`` view of the global namespace.
        z: The quick calls (a :class:`~tarvik.tcl.z.Z`): ``remote.z.set('x', 1)``.
    """

    tk: RemoteTk
    """What the modules call on ``_tkinter``'s application object, carried out by the remote."""

    def __init__(self, command: Sequence[str] | None = None, *,
                 link: Literal["pipes", "stdio"] = "pipes", pty: bool = False,
                 tclx: bool = False, timeout: float | None = None,
                 start_timeout: float | None = 30.0, cwd: str | os.PathLike[str] | None = None,
                 env: dict[str, str] | None = None) -> None:
        if link not in ("pipes", "stdio"):
            raise ValueError(f"link must be 'pipes' or 'stdio', not {link!r}")
        args = _link.command_line(command, agent=link == "pipes")
        if link == "stdio" and any("{agent}" in arg for arg in args):
            raise ValueError('link="stdio" sends the agent over stdin: the command takes no '
                             '"{agent}"')
        deadline = None if start_timeout is None else time.monotonic() + start_timeout
        child: _link.ChildLink
        if link == "pipes":
            child = _link.PipesLink(args, pty=pty, cwd=cwd, env=env)
        else:
            child = _link.StdioLink(args, pty=pty, cwd=cwd, env=env)
        self._start(child, deadline, start_timeout, tclx, timeout)

    @classmethod
    def connect(cls, port: int, token: str, *, host: str = "127.0.0.1", tclx: bool = False,
                timeout: float | None = None, start_timeout: float | None = 30.0) -> TclProcess:
        """The host of a Tcl interpreter serving at host:port (``tarvik::serve`` in the agent).

        ``token`` is the one that ``serve`` printed; the server drops a connection that does not
        present it. The remote keeps its own stdout and stderr. A server that does not greet
        within ``start_timeout`` raises ``TimeoutError``.
        """
        deadline = None if start_timeout is None else time.monotonic() + start_timeout
        link = _link.SocketLink(host, port, start_timeout)
        self = cls.__new__(cls)
        self._start(link, deadline, start_timeout, tclx, timeout, token.encode("utf-8"))
        return self

    def _start(self, link: _link.Link, deadline: float | None, start_timeout: float | None,
               tclx: bool, timeout: float | None, token: bytes | None = None) -> None:
        channel = self._link = _Channel(link, timeout)
        self._finalizer = weakref.finalize(self, _close_channel, channel)
        try:
            if isinstance(link, _link.StdioLink):
                link.boot(float("inf") if deadline is None else deadline)
            if token is not None:
                channel.send(b"t", token, b"", deadline)
            kind, payload = channel.receive(deadline)
            self._greeted(kind, payload or "")
            channel.greeted = True
            link.started()
        except TimeoutError:
            self.close()
            what = "answer" if token is not None else "start the tarvik agent"
            raise TimeoutError(f"the Tcl program{link.where} did not {what} within "
                               f"{start_timeout:g} s; the host was closed"
                               f"{_last_output(link)}") from None
        except EOFError:  # a stdio bootstrap that the program never read
            self.close()
            raise TclProcessError(link.lost() if isinstance(link, _link.ChildLink) else
                                  link.lost("before it answered")) from None
        except TclProcessError as error:
            self.close()
            if token is not None:
                raise TclProcessError(f"{error} (is the token right?)") from None
            raise
        except BaseException:
            self.close()
            raise
        self._ready(tclx)

    @classmethod
    def connect_rpc(cls, port: int = 6666, *, host: str = "127.0.0.1",
                    timeout: float | None = None,
                    start_timeout: float | None = 30.0) -> TclProcess:
        """The host of a Tcl RPC server at host:port, such as OpenOCD's (its ``tcl_port``; its Tcl
        is Jim Tcl).

        No agent runs there, and the server's own event loop goes on between calls: each call is
        one command, which runs inside ``catch`` and answers with its result or its error, so Tcl
        errors raise ``TclError`` as elsewhere (``::errorInfo`` holds Jim's trace). A Python
        function cannot be called back (``createcommand`` raises ``NotImplementedError``), and a
        command longer than the server takes (1 MiB for OpenOCD) raises ``ValueError`` before it
        is sent. A server that does not answer within ``start_timeout`` raises ``TimeoutError``;
        one that closes the connection, ``TclProcessError``.
        """
        link = _rpc.RpcLink(host, port, start_timeout)
        self = cls.__new__(cls)
        channel = self._link = _Channel(link, start_timeout)
        self._finalizer = weakref.finalize(self, _close_channel, channel)
        try:
            hello = _splitlist(channel.roundtrip(b"e", _RPC_HELLO)) or ()
            if len(hello) != 2 or not re.fullmatch(r"[0-9]+", hello[1]):
                channel.fail(f"the Tcl server{link.where} did not give its version and process "
                             f"id: {hello!r}")
        except BaseException:
            self.close()
            raise
        self.patchlevel, self.pid = hello[0], int(hello[1])
        channel.timeout = timeout
        self._ready(tclx=False)
        return self

    def _ready(self, tclx: bool) -> None:
        """Offers what a host offers, once the remote answers."""
        self.tk = RemoteTk(self._link)
        self.tclx = tclx and _load_tclx(self)
        self.history = History()
        self.vars = TclNamespace("::", self).vars
        self.z = Z(self)

    def _greeted(self, kind: bytes, payload: str) -> None:
        """Reads the agent's hello: anything else closes the link."""
        channel = self._link
        hello = _splitlist(payload) or ()
        if kind != b"h" or len(hello) < 4 or hello[0] != "tarvik-agent":
            channel.fail(f"the program{channel.where} did not start the tarvik agent")
        if hello[1] != _PROTOCOL:
            channel.fail(f"the tarvik agent{channel.where} speaks protocol {hello[1]}, not "
                         f"{_PROTOCOL}")
        if not re.fullmatch(r"[0-9]+", hello[3]):
            channel.fail(f"the tarvik agent{channel.where} sent a malformed greeting "
                         f"{payload[:200]!r}")
        self.patchlevel: str = hello[2]
        self.pid: int = int(hello[3])

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

    # -- output

    def capture(self) -> Captured:
        """``with remote.capture() as out:`` collects what the remote prints on its stdout and
        stderr while the block runs (``out.stdout``, ``out.stderr``), instead of forwarding it.
        Everything printed before the answer of the block's last call is in it, in order.

        A tool that buffers its own C output prints it late; ``pty=True`` has it print line by
        line. A remote reached with :meth:`connect` keeps its output: nothing is captured.
        """
        return Captured(self._link.link.outputs)

    # -- calls in flight

    def pipeline(self) -> AbstractContextManager[None]:
        """``with remote.pipeline():`` sends the block's calls without waiting for their answers.

        Inside the block, quick calls and ``tk.call``, ``tk.eval``, ``tk.setvar``,
        ``tk.unsetvar`` and ``tk.deletecommand`` (and so the handles' writes) give a
        :class:`~tarvik.tcl.Pending`, whose ``result()`` waits for the answer. What needs an
        answer to go on (reading a variable, a view's listing, a cast) waits for every call in
        flight first. The remote runs the calls in order; after the first one that fails, it runs
        none of the rest of the block, and leaving the block waits for every answer and raises
        that first error. An error that ``result()`` raises before another call is made is the
        caller's, and the block goes on. Callbacks are served while answers are read.

        A call goes out at once when nothing is in flight; while earlier calls run, calls are
        gathered for up to a millisecond and go out together, and whatever is gathered goes out
        when the block waits for an answer, ``done()`` is asked, or the block ends. The timeout
        bounds each call from the moment it is made. Ctrl-C, a timeout or the remote's death close
        the host, and every call still waiting raises that fault. The block holds the host for
        its thread: calls from other threads wait until it ends. A block opened inside an open
        one is part of it.
        """
        return Pipeline(self._link)

    # -- long commands

    def timeout(self, seconds: float | None) -> AbstractContextManager[None]:
        """``with remote.timeout(seconds):`` gives the calls made in the block ``seconds`` to be
        answered instead of the host's own ``timeout`` (``None``: no deadline), for a command that
        runs long (``with remote.timeout(7200): remote.z.place_design()``) while quick ones keep
        failing fast.

        It fires as the host's own does: ``TimeoutError``, and the host is closed. Leaving the
        block, by an exception too, restores what held before: blocks nest, the inner one wins.
        It applies to the calls of the thread that opened it (and the callbacks they run); other
        threads using the host keep their own. Inside a :meth:`pipeline` block a call's deadline
        is set when it is made, and is never earlier than that of a call made before it in the
        block, which the remote runs first. ``seconds`` must be a positive number or None
        (TypeError, ValueError otherwise).
        """
        return CallTimeout(self._link, seconds)

    # -- life

    @property
    def closed(self) -> bool:
        """Whether the link is gone (closed, timed out, or the remote died)."""
        return self._link.broken is not None

    def close(self) -> None:
        """Ends the link; a child process is asked to exit (end of its link), then killed."""
        channel = self._link
        if forked(channel):
            channel.abandon()  # another process's link: never wait for its lock
            return
        with channel.lock:
            self._finalizer()

    def __enter__(self) -> TclProcess:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"pid {getattr(self, 'pid', '?')}"
        return f"<{type(self).__name__}{self._link.where}, {state}>"


def _close_channel(channel: _Channel) -> None:
    """The finaliser of a host: end its link, stopping its child, if any, and quietly."""
    try:
        channel.close()
    except Exception:
        pass


def _last_output(link: _link.Link) -> str:
    return link.last_output() if isinstance(link, _link.ChildLink) else ""


def _load_tclx(host: TclProcess) -> bool:
    """Loads TclX into the remote, as asked; a remote that cannot closes the host."""
    try:
        host.tk.eval("package require Tclx")
    except TclError as error:
        host.close()
        raise TclError(f"TclX cannot be loaded into the Tcl interpreter{host._link.where}: "
                       f"{error}; the host was closed") from None
    return True


# ---------------------------------------------------------------------------------------------
# A tool that serves


_SERVING = re.compile(r"tarvik agent serving on (\S+) (\d+) ([0-9a-f]+)\s*$")


def wait_for_serve(stream: IO[Any], *, timeout: float | None = 30.0,
                   forward: IO[str] | None = None) -> tuple[str, int, str]:
    """``(host, port, token)`` from the line that ``tarvik::serve`` prints, read from a running
    tool's stdout (a text or binary stream, such as ``Popen.stdout``).

    Whatever the tool prints before that line and after it is forwarded to ``forward`` (by
    default this process's ``sys.stdout``) by a daemon thread that reads until the stream ends,
    so the tool never blocks on a full pipe. ``TimeoutError`` when no such line comes within
    ``timeout`` seconds, ``EOFError`` when the stream ends first.
    """
    found: queue.Queue[tuple[str, int, str] | None] = queue.Queue()

    def read() -> None:
        announced = False
        try:
            while line := stream.readline():
                text = line.decode("utf-8", "replace") if isinstance(line, bytes) else line
                match = None if announced else _SERVING.search(text)
                if match:
                    announced = True
                    found.put((match[1], int(match[2]), match[3]))
                    continue
                target = sys.stdout if forward is None else forward
                try:
                    target.write(text)
                    target.flush()
                except Exception:
                    pass  # a closed or failing stream: the tool's output has nowhere to go
        except (OSError, ValueError):
            pass  # the stream was closed under the reader
        if not announced:
            found.put(None)

    threading.Thread(target=read, name="tarvik serve output", daemon=True).start()
    try:
        address = found.get(timeout=timeout)
    except queue.Empty:
        raise TimeoutError(f"no 'tarvik agent serving on' line within {timeout:g} s") from None
    if address is None:
        raise EOFError("the tool's output ended before 'tarvik agent serving on'")
    return address
