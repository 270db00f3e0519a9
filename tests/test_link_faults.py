"""Faults of the link to a Tcl in another process, each found by attacking it: descriptors,
inheritance, deadlines, deep nesting, fork, floods, strangers at the server, hostile servers and
values. Tests that could hang run under a watchdog (the host's own timeout, or a timer that ends
what the test waits on)."""

from __future__ import annotations

import codecs
import gc
import os
import resource
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator

import pytest

from tarvik.tcl import TclInterpreter, TclProcess, TclProcessError, agent_script
from tarvik.tcl import _process

# ---------------------------------------------------------------------------------------------
# A hostile server: greets like an agent, then answers as a test says


def frame(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">cI", kind, len(payload)) + payload


def read_frame(conn: socket.socket) -> tuple[bytes, bytes]:
    header = b""
    while len(header) < 5:
        more = conn.recv(5 - len(header))
        if not more:
            raise EOFError
        header += more
    kind, length = struct.unpack(">cI", header)
    payload = b""
    while len(payload) < length:
        payload += conn.recv(length - len(payload))
    return kind, payload


@pytest.fixture
def hostile() -> Iterator[Callable[..., int]]:
    """Starts a server that sends `hello`, then runs `answer(conn)` for the first call it gets,
    and answers any other call with an error; gives its port. Its connection ends with the test.
    """
    servers: list[socket.socket] = []
    seen: list[bytes] = []

    def start(answer: Callable[[socket.socket], None],
              hello: bytes = f"tarvik-agent {_process._PROTOCOL} 8.6.13 4242".encode()) -> int:
        server = socket.create_server(("127.0.0.1", 0))
        servers.append(server)

        def serve() -> None:
            conn, _ = server.accept()
            servers.append(conn)
            try:
                read_frame(conn)  # the token
                conn.sendall(frame(b"h", hello))
                while True:
                    kind, payload = read_frame(conn)
                    if b"hostile" in payload:
                        answer(conn)
                    else:  # loading TclX, say: refused, quickly
                        conn.sendall(frame(b"e", b"{no such thing} {} NONE"))
            except (OSError, EOFError):
                seen.append(b"closed")

        threading.Thread(target=serve, daemon=True).start()
        return server.getsockname()[1]

    start.seen = seen  # type: ignore[attr-defined]
    yield start
    for sock in servers:
        sock.close()


# ---------------------------------------------------------------------------------------------
# Descriptors


@pytest.fixture
def server():
    """A tclsh that serves one client over TCP: (process, port, token)."""
    child = subprocess.Popen(["tclsh"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    child.stdin.write(f"source {{{agent_script()}}}; tarvik::serve; puts done\n")
    child.stdin.flush()
    line = child.stdout.readline().split()
    yield child, int(line[-2]), line[-1]
    child.kill()
    child.wait()


def test_a_failed_connection_closes_its_descriptor_once(server):
    _, port, token = server
    host = TclProcess.connect(port, token, timeout=5)
    with pytest.raises(TclProcessError):
        host.tk.eval("exit 3")
    # Files opened now take the numbers the failed link let go of; dropping the host must not
    # close them again.
    files = [open(os.devnull, "w") for _ in range(8)]
    del host
    gc.collect()
    for file in files:
        file.write("x")
        file.flush()
        os.fstat(file.fileno())
        file.close()


def fds_of_a_program_the_remote_runs(host: TclProcess) -> dict[int, str]:
    listing = host.tk.eval("exec sh -c {ls -l /proc/$$/fd}")
    found = (line.split(" -> ") for line in listing.splitlines() if " -> " in line)
    return {int(left.split()[-1]): target for left, target in found}


@pytest.mark.parametrize("link", ["pipes", "stdio"])
def test_programs_the_remote_runs_inherit_no_link(link):
    with TclProcess(link=link, timeout=20) as host:
        fds = fds_of_a_program_the_remote_runs(host)
        # stdin reads nothing of the link; stdout and stderr are the remote's output.
        assert set(fds) <= {0, 1, 2} and fds[0] == "/dev/null"
        # A program that writes to every descriptor it has beyond those breaks nothing.
        host.tk.eval("exec sh -c {for n in 3 4 5 6 7 8 9; do printf GARBAGE >&$n; done; true} "
                     "2>/dev/null")
        assert host.z.set("x", "still fine") == "still fine"


def test_a_remote_that_closes_its_link_ends_the_call_at_once():
    with TclProcess(timeout=20) as host:
        start = time.monotonic()
        with pytest.raises(TclProcessError, match="closed its link"):
            host.tk.eval("close $::tarvik::out; close $::tarvik::in; after 8000")
        assert time.monotonic() - start < 4


# ---------------------------------------------------------------------------------------------
# Deadlines


def test_the_timeout_bounds_a_write_to_a_stopped_child():
    host = TclProcess(timeout=1)
    os.kill(host.pid, signal.SIGSTOP)
    watchdog = threading.Timer(10, os.kill, (host.pid, signal.SIGKILL))
    watchdog.start()
    try:
        start = time.monotonic()
        with pytest.raises(TimeoutError):
            host.tk.setvar("x", "y" * 2_000_000)
        assert time.monotonic() - start < 3
    finally:
        watchdog.cancel()
    assert host.closed


def slow_answer(conn: socket.socket) -> None:
    for byte in frame(b"o", b"hello world"):
        conn.sendall(bytes([byte]))
        time.sleep(0.3)  # longer than a wait's first poll


def dripping_answer(conn: socket.socket) -> None:
    for byte in frame(b"o", b"hello world, slowly"):
        conn.sendall(bytes([byte]))
        time.sleep(0.1)  # shorter than it


def flood_of_drops(conn: socket.socket) -> None:
    for _ in range(200):
        conn.sendall(frame(b"d", b"999"))
        time.sleep(0.05)


def flood_of_callbacks(conn: socket.socket) -> None:
    for _ in range(200):
        conn.sendall(frame(b"b", b"999"))  # a callback Python does not know: it answers x
        read_frame(conn)
        time.sleep(0.05)


@pytest.mark.parametrize("answer", [slow_answer, dripping_answer, flood_of_drops,
                                    flood_of_callbacks])
def test_the_timeout_bounds_the_whole_call(hostile, answer):
    host = TclProcess.connect(hostile(answer), "token", timeout=0.6)
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        host.tk.eval("hostile")
    assert time.monotonic() - start < 1.5
    assert host.closed


def test_time_in_python_callbacks_does_not_count(process):
    process._link.timeout, timeout = 0.5, process._link.timeout
    try:
        process.tk.createcommand("::nap", lambda: time.sleep(0.3))
        assert process.tk.eval("::nap; ::nap; ::nap; set done yes") == "yes"
    finally:
        process._link.timeout = timeout
        process.tk.deletecommand("::nap")


# ---------------------------------------------------------------------------------------------
# Callbacks nested deep


def nest(host, depth: int) -> str:
    def down(n):
        if n == "0":
            return "bottom"
        return host.tk.eval(f"::down {int(n) - 1}")

    host.tk.createcommand("::down", down)
    try:
        return host.tk.eval(f"::down {depth}")
    finally:
        host.tk.deletecommand("::down")


def test_callbacks_nest_as_deep_as_in_process(process):
    assert nest(TclInterpreter(), 199) == nest(process, 199) == "bottom"


def test_deeper_nesting_raises_recursion_error_and_the_host_stays(process):
    with pytest.raises(RecursionError):
        nest(process, 1000)
    assert process.z.set("x", "after") == "after" and not process.closed


# ---------------------------------------------------------------------------------------------
# Fork

FORKED = """
import os, sys, threading, time
from tarvik.tcl import TclProcess, TclProcessError

host = TclProcess(timeout=30)
if sys.argv[1] == "thread in a call":
    # Another thread is inside a call, holding the host's lock, when the process forks.
    threading.Thread(target=host.tk.eval, args=("after 1500",), daemon=True).start()
    time.sleep(0.3)
pid = os.fork()
wrong = 0
if pid == 0:
    start = time.monotonic()
    try:
        host.z.set("x", "child")
        print("child: no error", flush=True)
    except TclProcessError as error:
        print("child:", "forked" if "forked process" in str(error) else error,
              round(time.monotonic() - start, 1), flush=True)
    host.close()
    del host
    os._exit(0)
for i in range(300):
    value = f"parent {i}"
    wrong += host.z.set("x", value) != value
os.waitpid(pid, 0)
print("parent wrong:", wrong, "alive:", host.z.set("x", "y") == "y", flush=True)
"""


@pytest.mark.parametrize("when", ["idle", "thread in a call"])
def test_a_forked_process_cannot_use_the_host(tmp_path, when):
    script = tmp_path / "forked.py"
    script.write_text(FORKED)
    done = subprocess.run([sys.executable, str(script), when], capture_output=True, text=True,
                          timeout=60, env={**os.environ, "PYTHONPATH": _import_path()})
    assert done.returncode == 0, done.stderr
    assert "child: forked 0.0" in done.stdout
    assert "parent wrong: 0 alive: True" in done.stdout


def _import_path() -> str:
    import tarvik

    return os.path.dirname(os.path.dirname(tarvik.__file__))


# ---------------------------------------------------------------------------------------------
# Floods and strangers


def test_a_long_line_on_stderr_is_not_all_kept(capfd):
    host = TclProcess(timeout=60)
    with pytest.raises(TclProcessError) as raised:
        host.tk.eval("puts -nonewline stderr [string repeat x 4000000]; puts stderr end; "
                     "puts -nonewline stderr [string repeat y 4000000]; exit 1")
    # The message shows the ends of the last lines, not megabytes of them.
    message = str(raised.value)
    assert len(message) < 10_000 and message.endswith("y" * 100)
    assert capfd.readouterr().err.count("x") == 4_000_000


def test_strangers_at_the_server_never_bring_it_down(server):
    child, port, token = server
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 2200:
        pytest.skip("the descriptor limit cannot go above 1024 here")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 2200), hard))
    strangers = []
    try:
        for _ in range(1030):
            strangers.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        with TclProcess.connect(port, token, timeout=10) as host:
            assert host.z.set("x", "served") == "served"
        assert child.poll() is None or child.returncode == 0
    finally:
        for sock in strangers:
            sock.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


@pytest.mark.parametrize("hello", [f"tarvik-agent {_process._PROTOCOL} 8.6.13 notapid".encode(),
                                   b"tarvik-agent", b"{", b"\xff\xfe"])
def test_a_malformed_greeting_is_a_link_error_and_closes_it(hostile, hello):
    port = hostile(lambda conn: None, hello=hello)
    with pytest.raises(TclProcessError):
        TclProcess.connect(port, "token", timeout=5)
    deadline = time.monotonic() + 5
    while not hostile.seen and time.monotonic() < deadline:
        time.sleep(0.01)
    assert hostile.seen == [b"closed"]


# ---------------------------------------------------------------------------------------------
# Values


@pytest.fixture
def slow_reads(monkeypatch):
    """Counts the characters read through the error handler, which costs a Python call each."""
    count = [0]
    handler = codecs.lookup_error("tarvik.tcl")

    def counted(error):
        count[0] += 1
        return handler(error)

    codecs.register_error("tarvik.tcl", counted)
    yield count
    codecs.register_error("tarvik.tcl", handler)


@pytest.mark.parametrize("unit", ["a\0", "\U0001f600", "é\0\U0001f600中"])
def test_values_rich_in_nul_or_astral_characters_read_fast(process, slow_reads, unit):
    value = unit * 300_000
    process.tk.setvar("rich", value)
    assert process.tk.getvar("rich") == value
    assert slow_reads[0] < 10
    process.tk.unsetvar("rich")


@pytest.mark.parametrize("depth, width", [(499, 2), (3000, 2), (10_000, 1)])
def test_nested_tuples_cross_as_deep_as_in_process(interp, process, depth, width):
    value = "leaf"
    for n in range(depth):
        value = (value, str(n))[:width]
    interp.tk.call("::set", "deep", value)
    assert process.tk.call("::set", "deep", value) == interp.tk.eval("set deep")


def test_nested_tuples_cross_deeper_than_tcl_makes_their_text_in_process(process):
    # In process, Tcl's own text of a list this deep overflows its stack; over the link the
    # text is made here, without recursion.
    value = "leaf"
    for _ in range(100_000):
        value = (value,)
    assert process.tk.call("::set", "deep", value) == "leaf"


def test_a_list_that_holds_itself_raises_and_the_link_stays(process):
    looped: list = [1]
    looped.append(looped)
    with pytest.raises(RecursionError):
        process.tk.call("::set", "v", looped)
    assert process.z.set("x", "fine") == "fine"

