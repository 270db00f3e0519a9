"""A Tcl interpreter in a child process: a quick call over the link against the same call through
pytcl-eda (the one public peer, a baseline only: `pip install pytcl-eda` into the virtual
environment to measure it), the same call over the child's stdin and stdout against the pipes,
values rich in NUL or in characters beyond the BMP read back against plain ASCII, a 1 MB value
set and read back against writing it through a plain pipe, and a quick call over OpenOCD's Tcl
server (connect_rpc) against the same command written to it by hand. Calls in flight: 10,000 quick
calls in a pipeline block against the same calls one at a time, over the pipes, TCP to
tarvik::serve and ssh to this machine (an sshd of its own on a loopback port), and against
pytcl-eda. Also prints the median round trip and the memory of both processes over 100,000 calls,
and over 1,000,000 pipelined calls."""

from __future__ import annotations

import os
import pathlib
import resource
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import tracemalloc

from tarvik.tcl import TclProcess, agent_script

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from tests import services  # noqa: E402  (the programs the tests start too)

CALLS = 100_000
# Quick calls in one pipeline block, for the rows of calls in flight.
BLOCK = 10_000
PIPELINED_CALLS = 1_000_000


def run(table) -> None:
    host = TclProcess(timeout=60)
    z = host.z
    host.history.disable()  # the link is measured, not the history (bench_history has that)
    assert z.set("x", 1) == "1"
    _round_trip(host)
    _floor()
    try:
        from pytcl import PyTCL
    except ImportError:
        print("bench_process: pytcl-eda is not installed (pip install pytcl-eda): its row is "
              "left out", file=sys.stderr)
    else:
        with PyTCL("tclsh") as peer:
            assert str(peer.set("x", 1)) == "1"
            table.faster("remote tclsh", "z.set('x', 1) over the link", lambda: z.set("x", 1),
                         "pytcl-eda PyTCL('tclsh').set", lambda: peer.set("x", 1), 10)

            def peer_block() -> None:
                for i in range(BLOCK):
                    peer.set("x", i)

            table.faster("calls in flight", f"{BLOCK:,} z.set('x', i) in a pipeline",
                         _pipelined(host), "the same through pytcl-eda", peer_block, 25)
    _in_flight(table, "pipes", host)
    _over_tcp(table)
    _over_ssh(table)
    _pipelined_memory(host)

    with TclProcess(["tclsh"], link="stdio", timeout=60) as piped:
        piped.history.disable()
        assert piped.z.set("x", 1) == "1"
        table.within("remote tclsh", "z.set('x', 1) over link='stdio'", lambda: piped.z.set("x", 1),
                     "the same over the pipes", lambda: z.set("x", 1), 1.3)
    _rich_values(table, host)

    big = "0123456789abcdef" * (1 << 16)  # 1 MiB
    tk = host.tk

    def set_and_read_back() -> None:
        tk.setvar("big", big)
        tk.getvar("big")

    set_and_read_back()
    assert tk.getvar("big") == big
    with _PlainPipe() as pipe:
        table.within("remote tclsh", "1 MiB value set and read back", set_and_read_back,
                     "1 MiB written through a plain pipe", lambda: pipe.write(big), 3)
    _memory(host)
    host.close()
    _openocd(table)


def _openocd(table) -> None:
    """A quick call over connect_rpc against the same command written to OpenOCD's Tcl server by
    hand, each on its own connection."""
    if shutil.which("openocd") is None:
        print("bench_process: openocd is not installed: its row is left out", file=sys.stderr)
        return
    with _OpenOCD() as port:
        board = TclProcess.connect_rpc(port, timeout=60)
        board.history.disable()
        raw = socket.create_connection(("127.0.0.1", port))
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def by_hand() -> None:
            raw.sendall(b"set x 1\x1a")
            answer = raw.recv(65536)
            while not answer.endswith(b"\x1a"):
                answer += raw.recv(65536)

        assert board.z.set("x", 1) == "1"
        table.within("OpenOCD", "z.set('x', 1) over connect_rpc", lambda: board.z.set("x", 1),
                     "'set x 1' over a raw socket", by_hand, 1.5)
        raw.close()
        board.close()


def _pipelined(host: TclProcess):
    """BLOCK quick calls in a pipeline block (none of their answers kept)."""
    z = host.z

    def block() -> None:
        with host.pipeline():
            for i in range(BLOCK):
                z.set("x", i)

    return block


def _in_flight(table, link: str, host: TclProcess, at_least: float = 5) -> None:
    """BLOCK quick calls in a pipeline block against the same calls one at a time."""
    z = host.z
    host.history.disable()
    block = _pipelined(host)
    block()
    assert host.tk.getvar("x") == str(BLOCK - 1)

    def one_at_a_time() -> None:
        for i in range(BLOCK):
            z.set("x", i)

    table.faster("calls in flight", f"{BLOCK:,} z.set('x', i) in a pipeline over {link}", block,
                 "the same one at a time", one_at_a_time, at_least)


def _over_tcp(table) -> None:
    tool = subprocess.Popen(["tclsh"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert tool.stdin is not None and tool.stdout is not None
    tool.stdin.write(f"source {{{agent_script()}}}; tarvik::serve\n")
    tool.stdin.close()
    *_, port, token = tool.stdout.readline().split()
    try:
        with TclProcess.connect(int(port), token, timeout=60) as attached:
            _in_flight(table, "TCP to tarvik::serve", attached, 10)
    finally:
        tool.wait(30)


def _over_ssh(table) -> None:
    try:
        with tempfile.TemporaryDirectory() as home, services.sshd(pathlib.Path(home)) as ssh:
            with TclProcess([*ssh, "127.0.0.1", "tclsh"], link="stdio", timeout=60) as remote:
                _in_flight(table, "ssh (link='stdio')", remote, 10)
    except RuntimeError as error:
        print(f"bench_process: {error}: the ssh row is left out", file=sys.stderr)


def _pipelined_memory(host: TclProcess) -> None:
    """Python's traced memory and both processes' resident sizes over many pipelined calls whose
    Pendings are dropped at once."""
    z = host.z
    block = _pipelined(host)
    block()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0], _rss(os.getpid()), _rss(host.pid)
    with host.pipeline():
        for i in range(PIPELINED_CALLS):
            z.set("x", i)
    after = tracemalloc.get_traced_memory(), _rss(os.getpid()), _rss(host.pid)
    tracemalloc.stop()
    print(f"bench_process: over {PIPELINED_CALLS:,} pipelined calls: Python traced memory "
          f"{before[0]:,} -> {after[0][0]:,} bytes (peak {after[0][1]:,}); resident kB: Python "
          f"{before[1]:,} -> {after[1]:,}, tclsh {before[2]:,} -> {after[2]:,}", file=sys.stderr)


def _rich_values(table, host: TclProcess) -> None:
    """A value of 4M characters read back, rich in NUL or in characters beyond the BMP (which
    Tcl 8 keeps in forms that are not UTF-8), against one in ASCII."""
    tk = host.tk
    units = [("ascii", "abcd"), ("NUL-rich", "a\0b\0"), ("astral-rich", "\U0001f600\U0001f600ab")]
    for name, unit in units:
        tk.setvar(f"::{name}", unit * 1_000_000)
        assert tk.getvar(f"::{name}") == unit * 1_000_000
    for name in ("NUL-rich", "astral-rich"):
        table.within("remote tclsh", f"getvar of 4M characters, {name}",
                     lambda name=name: tk.getvar(f"::{name}"), "the same in ASCII",
                     lambda: tk.getvar("::ascii"), 10)
    for name in ("ascii", "NUL-rich", "astral-rich"):
        tk.unsetvar(f"::{name}")


def _round_trip(host: TclProcess) -> None:
    z = host.z
    samples = []
    clock = time.perf_counter_ns
    for _ in range(20_000):
        start = clock()
        z.set("x", 1)
        samples.append(clock() - start)
    median = statistics.median(samples) / 1000
    print(f"bench_process: median round trip of z.set('x', 1): {median:.1f} us (goal: <= 30 us)",
          file=sys.stderr)


# A tclsh that echoes each frame back and does nothing else: the least a round trip can cost.
_ECHO = """
fconfigure stdin -translation binary -buffering full
fconfigure stdout -translation binary -buffering full
while 1 {
    if {[binary scan [read stdin 5] a1I kind length] < 2} break
    puts -nonewline stdout [binary format a1I $kind $length][read stdin $length]
    flush stdout
}
"""


def _floor() -> None:
    """The median round trip of a frame echoed by a bare tclsh loop over plain pipes."""
    with tempfile.NamedTemporaryFile("w", suffix=".tcl", delete=False) as script:
        script.write(_ECHO)
    try:
        echo = subprocess.Popen(["tclsh", script.name], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, bufsize=0)
        assert echo.stdin is not None and echo.stdout is not None
        to_echo, from_echo = echo.stdin.fileno(), echo.stdout.fileno()
        frame = struct.pack(">cI", b"C", 7) + b"set x 1"
        samples = []
        clock = time.perf_counter_ns
        for _ in range(20_000):
            start = clock()
            os.write(to_echo, frame)
            os.read(from_echo, 65536)
            samples.append(clock() - start)
        echo.stdin.close()
        echo.wait()
    finally:
        os.unlink(script.name)
    median = statistics.median(samples) / 1000
    print(f"bench_process: the floor, a frame echoed by a bare tclsh loop: {median:.1f} us",
          file=sys.stderr)


def _memory(host: TclProcess) -> None:
    """Python's traced memory and both processes' resident sizes, before and after many calls."""
    z = host.z
    for _ in range(10_000):
        z.set("x", 1)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0], _rss(os.getpid()), _rss(host.pid)
    for _ in range(CALLS):
        z.set("x", 1)
    after = tracemalloc.get_traced_memory()[0], _rss(os.getpid()), _rss(host.pid)
    tracemalloc.stop()
    print(f"bench_process: over {CALLS:,} calls: Python traced memory {before[0]:+,} -> "
          f"{after[0]:,} bytes; resident kB: Python {before[1]:,} -> {after[1]:,}, "
          f"tclsh {before[2]:,} -> {after[2]:,}", file=sys.stderr)


def _rss(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


class _OpenOCD:
    """OpenOCD with its dummy adapter, serving Tcl on a free loopback port (its log discarded)."""

    def __enter__(self) -> int:
        self.log = tempfile.TemporaryFile("w+")
        self.child, port = services.start_openocd(self.log)
        return port

    def __exit__(self, *exc_info: object) -> None:
        services.stop(self.child)
        self.log.close()


class _PlainPipe:
    """A pipe of the default size into a child that discards what it reads: the floor of moving
    a value to another process."""

    def __enter__(self) -> _PlainPipe:
        self.child = subprocess.Popen(["cat"], stdin=subprocess.PIPE,
                                      stdout=subprocess.DEVNULL)
        assert self.child.stdin is not None
        self.fd = self.child.stdin.fileno()
        return self

    def write(self, text: str) -> None:
        view = memoryview(text.encode("utf-8"))
        while view:
            view = view[os.write(self.fd, view):]

    def __exit__(self, *exc_info: object) -> None:
        assert self.child.stdin is not None
        self.child.stdin.close()
        self.child.wait()
