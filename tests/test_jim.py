"""Jim Tcl, the Tcl of OpenOCD and of jimsh: the agent serving from jimsh over each of its ways
in, and OpenOCD's Tcl server reached with connect_rpc, as a board user drives it. The real
programs run; a test skips, saying why, where its program is missing. Hosts carry deadlines, so
a test that would hang fails instead."""

from __future__ import annotations

import contextlib
import io
import pathlib
import shutil
import socket
import subprocess
import threading
import time
from collections.abc import Iterator

import pytest

from tarvik.tcl import TclError, TclProcess, TclProcessError, agent_script, wait_for_serve
from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.namespace import (TclArrayVariable, TclCommand, TclNamespace, TclVariable,
                                  TempTclArrayVariable, TempTclNamespace, TempTclVariable)
from tarvik.tcl.scriptify import tclobj
from tests import services

VALUES = ["[file delete x]", "two\nlines", "nul\0byte", "\U0001f600 é", "{ unbalanced",
          "back\\slash", "$env(HOME)", "", "#first", "{*}spread", "a;b", "~.\n~.", "end\x1aof",
          "\x1b\x1a\x1e\x1b", "type target_event", "ab" * 150_000, "é" * 100_000]


def needs(program: str) -> None:
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed (scripts/setup.sh installs it)")


# ---------------------------------------------------------------------------------------------
# Hosts


def jim_pipes() -> TclProcess:
    return TclProcess(["jimsh", "{agent}"], timeout=30)


def jim_stdio() -> TclProcess:
    return TclProcess(["jimsh"], link="stdio", timeout=30)


@contextlib.contextmanager
def jim_serving(background: bool = False) -> Iterator[TclProcess]:
    """jimsh running tarvik::serve, as a tool built on Jim would, and the host attached to it."""
    tool = subprocess.Popen(["jimsh"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert tool.stdin is not None and tool.stdout is not None
        serve = "tarvik::serve -background; vwait forever" if background else "tarvik::serve"
        print(f"source {agent_script()}; {serve}", file=tool.stdin, flush=True)
        host, port, token = wait_for_serve(tool.stdout, timeout=30, forward=io.StringIO())
        with TclProcess.connect(port, token, host=host, timeout=30) as attached:
            yield attached
    finally:
        tool.kill()
        tool.wait()


class OpenOCD:
    """OpenOCD with its dummy adapter and one TAP, serving Tcl on a free loopback port."""

    def __init__(self, log_dir: pathlib.Path) -> None:
        self.log = open(log_dir / "openocd.log", "w+")
        try:
            self.process, self.port = services.start_openocd(self.log)
        except RuntimeError as error:
            self.log.close()
            pytest.fail(str(error))

    def connect(self) -> TclProcess:
        return TclProcess.connect_rpc(self.port, timeout=30)

    def stop(self) -> None:
        services.stop(self.process)
        self.log.close()


@pytest.fixture(scope="module")
def openocd(tmp_path_factory: pytest.TempPathFactory) -> Iterator[OpenOCD]:
    needs("openocd")
    server = OpenOCD(tmp_path_factory.mktemp("openocd"))
    yield server
    server.stop()


@pytest.fixture(scope="module")
def board(openocd: OpenOCD) -> Iterator[TclProcess]:
    with openocd.connect() as host:
        yield host


@pytest.fixture(scope="module")
def jim() -> Iterator[TclProcess]:
    needs("jimsh")
    with jim_pipes() as host:
        yield host


@pytest.fixture(params=["jimsh", "openocd"])
def on_jim(request: pytest.FixtureRequest) -> TclProcess:
    """Each Jim host in turn: the agent in jimsh, and OpenOCD's Tcl server."""
    return request.getfixturevalue("jim" if request.param == "jimsh" else "board")


@pytest.fixture(params=["pipes", "stdio", "serve", "rpc"])
def every_way(request: pytest.FixtureRequest) -> Iterator[TclProcess]:
    """A Jim reached each way in turn: the agent over its three, and OpenOCD's server."""
    if request.param == "rpc":
        with request.getfixturevalue("openocd").connect() as host:
            yield host
        return
    needs("jimsh")
    way = {"pipes": jim_pipes, "stdio": jim_stdio, "serve": jim_serving}[request.param]
    with way() as host:
        yield host


# ---------------------------------------------------------------------------------------------
# Values and words


def test_values_cross_every_way_in_intact(every_way):
    host = every_way
    assert host.patchlevel.startswith("0.")  # Jim's own numbering
    for value in VALUES:
        assert host.z.set("value", value) == value, value[:20]
        assert host.tk.getvar("value") == value
        host.tk.setvar("copy", value)
        assert host.tk.eval("set copy") == value
        assert host.cast_list(host.tk.call("list", value, "x")) == (value, "x")
    # Jim counts bytes (6 characters where it is built with UTF-8 support).
    assert host.tk.call("string", "length", "nul\0é\U0001f600") in ("6", "10")


def test_the_words_are_never_substituted_nor_parsed_again(on_jim):
    words = ("#first", "{*}spread", "[pid]", "$x", "a b", "end\x1aof", "nul\0")
    assert on_jim.cast_list(on_jim.tk.call("list", *words)) == words
    with pytest.raises(TclError, match='invalid command name "#first"'):
        on_jim.tk.call("#first", "x")


# ---------------------------------------------------------------------------------------------
# Errors


def test_a_tcl_error_raises_jims_message_and_trace(on_jim):
    on_jim.tk.eval("proc ::inner {} {error {fuse F2 blown}}\nproc ::outer {} {\n  inner\n}")
    with pytest.raises(TclError) as raised:
        on_jim.z.outer()
    trace = str(raised.value)
    assert trace.startswith("fuse F2 blown\n")
    assert "in procedure 'outer'" in trace and "in procedure 'inner'" in trace
    assert "agent.tcl" not in trace and "tarvik" not in trace
    assert on_jim.vars["::errorInfo"] == trace
    with pytest.raises(TclError, match='^can\'t read "nowhere": no such variable$'):
        on_jim.tk.call("set", "nowhere")
    assert on_jim.z.expr("6 * 7") == "42"  # the link is sound after errors


def test_an_openocd_command_that_fails_is_an_error(board):
    board.tk.eval("proc ::earlier {} { error first }")
    with pytest.raises(TclError):
        board.z.earlier()
    # OpenOCD's commands fail with codes of their own (negative), not Tcl's 1, and leave Jim's
    # last trace as it was: it is not theirs.
    with pytest.raises(TclError, match=r"^khz option value \('fast'\) is not valid$"):
        board.z.adapter("speed", "fast")
    assert board.vars["::errorInfo"] == "khz option value ('fast') is not valid"
    assert board.z.adapter("speed").startswith("adapter speed: ")


@pytest.mark.parametrize("command", [("return", "done"), ("break",), ("continue",)])
def test_return_break_and_continue_are_results(on_jim, command):
    assert on_jim.tk.call(*command) == ("done" if command[0] == "return" else "")


# ---------------------------------------------------------------------------------------------
# The modules on Jim


def test_handles_views_temporaries_history_and_keyed_lists(on_jim):
    lab = TclNamespace("::lab", on_jim)
    lab.create()
    lab.eval('proc measure {ch {unit V}} { return "$ch: 4.98 $unit" }')
    lab.vars["limits"] = [4.5, 5.5]
    assert lab.vars["limits"] == lab.objs["limits"] == "4.5 5.5"
    assert lab.cmds["measure"]("ch 1") == "ch 1: 4.98 V"
    assert list(lab.procs) == ["measure"] and lab.which("measure") == "::lab::measure"
    command = TclCommand("::lab::measure", tcl=on_jim)
    assert command.is_proc() and command.proc_args() == ("ch", "unit V")
    settings = TclArrayVariable("::settings", tcl=on_jim)
    settings.update(gain=3, label="probe A")
    assert dict(settings) == {"gain": "3", "label": "probe A"}
    settings.clear()
    assert not TclVariable("::settings", tcl=on_jim).exists()
    with TempTclVariable(tcl=on_jim) as scratch, TempTclArrayVariable(tcl=on_jim) as table:
        scratch.set("a b")
        table["k"] = 1
        assert (scratch.get(), dict(table)) == ("a b", {"k": "1"})
    with TempTclNamespace(tcl=on_jim) as space:
        space.vars["partial"] = 42
        assert space.vars["partial"] == "42"
    assert on_jim.tk.eval("info vars ::__tarvik__*") == ""
    on_jim.tk.eval("set ::dut {{name {{model X9} {serial 0042}}} {limits {{volt {4.5 5.5}}}}}")
    tree = FieldTree.from_tcl(on_jim.vars["::dut"])
    tree["limits.amp"] = "0.1 0.2"
    on_jim.tk.call("set", "::dut", tclobj(tree))
    assert FieldTree.from_tcl(on_jim.vars["::dut"])["limits.amp"] == "0.1 0.2"
    on_jim.history.start_marker("jim")
    on_jim.z.set("offset", "0.1 V")
    on_jim.history.end_marker("jim")
    assert [entry.api for entry in on_jim.history.filter(marker="jim")] == ["set offset {0.1 V}"]
    lab.delete()


@pytest.mark.parametrize("operation, lacking", [
    (lambda host: TclVariable("::x", tcl=host).trace_info(), 'invalid command name "::trace"'),
    (lambda host: TclNamespace("::", host).exists(), 'bad subcommand "exists"'),
    (lambda host: TclNamespace("::", host).children(), 'bad subcommand "children"'),
    (lambda host: list(host.vars), 'bad subcommand "exists"'),
    (lambda host: TclCommand("::lab_p", tcl=host).proc_arg_default("a"),
     'bad subcommand "default"'),
], ids=["variable traces", "namespace exists", "namespace children", "listing variables",
        "argument defaults"])
def test_what_jim_lacks_is_jims_own_error(on_jim, operation, lacking):
    on_jim.tk.eval("proc ::lab_p {{a 1}} {}")
    with pytest.raises(TclError, match=lacking):
        operation(on_jim)
    assert on_jim.z.expr("1 + 1") == "2"


# ---------------------------------------------------------------------------------------------
# Callbacks, on the agent


@pytest.mark.parametrize("make", [jim_pipes, jim_stdio], ids=["pipes", "stdio"])
def test_callbacks_nest_both_ways_on_jim(make):
    needs("jimsh")
    with make() as host:
        def down(level):
            level = int(level)
            return host.tk.call("::down", level + 1) if level < 40 else f"bottom {level}"

        host.tk.createcommand("::down", down)
        assert host.tk.eval("down 0") == "bottom 40"

        def deeper(level):
            return host.tk.call("::deeper", int(level) + 1)

        host.tk.createcommand("::deeper", deeper)
        with pytest.raises(RecursionError):
            host.tk.call("::deeper", 0)
        assert host.z.expr("6 * 7") == "42"
        assert host.tk.eval("list [catch {down} message options] $message "
                            "[dict get $options -errorcode]") == (
            "1 {TypeError: test_callbacks_nest_both_ways_on_jim.<locals>.down() missing 1 "
            "required positional argument: 'level'} {PYTHON TypeError}")


def test_jim_serves_in_the_background_too():
    needs("jimsh")
    with jim_serving(background=True) as tool:
        tool.tk.createcommand("::shout", str.upper)
        assert tool.tk.eval("shout hello") == "HELLO"
        assert tool.tk.eval("after 0 {set ::ticked 1}; vwait ::ticked; set ::ticked") == "1"


# ---------------------------------------------------------------------------------------------
# OpenOCD: what a board user does


def test_a_board_session(board):
    taps = board.cast_list(board.z.jtag("names"))
    assert taps[0] == "chip.cpu"
    assert TclCommand("::jtag", tcl=board)("tapisenabled", "chip.cpu") == "1"
    board.z.adapter("speed", 2000)
    assert board.z.adapter("speed") == "adapter speed: 2000 kHz\n"
    board.tk.eval("proc ::khz {} { return [lindex [adapter speed] 2] }")
    assert board.z.khz() == "2000"
    board.vars["::board_rev"] = "C"
    assert TclVariable("::board_rev", tcl=board).get() == "C"
    board.history.start_marker("speed")
    board.z.adapter("speed", 500)
    board.history.end_marker("speed")
    assert [entry.api for entry in board.history.filter(marker="speed")] == ["adapter speed 500"]
    assert board.z.khz() == "500"


def test_openocd_keeps_running_and_nothing_is_left_behind(openocd, board):
    def procedures() -> set[str]:
        return set(board.tk.eval("info procs *tarvik::rpc*").split())  # Jim lists ::a as ::::a

    existing = procedures()
    host = openocd.connect()
    (own,) = procedures() - existing  # the procedure that runs its calls
    host.z.set("x", "1")
    with pytest.raises(TclError):
        host.z.error("boom")
    host.close()
    deadline = time.monotonic() + 10
    while own in procedures():
        assert time.monotonic() < deadline
        time.sleep(0.05)
    assert board.tk.eval("info vars *tarvik*") == ""
    assert openocd.process.poll() is None


def test_a_callback_is_refused_at_once(board):
    started = time.monotonic()
    with pytest.raises(NotImplementedError, match="cannot call Python back"):
        board.tk.createcommand("::py", print)
    with pytest.raises(NotImplementedError):
        TclVariable("::x", tcl=board).trace_add("write", print)
    assert time.monotonic() - started < 5
    assert board.z.expr("1 + 1") == "2"


def test_a_command_longer_than_the_server_takes_is_refused_before_it_is_sent(board):
    with pytest.raises(ValueError, match="more than the Tcl server"):
        board.tk.setvar("big", "x" * (1 << 20))
    board.tk.setvar("big", "x" * 900_000)
    assert board.tk.call("string", "length", board.tk.getvar("big")) == "900000"


def test_a_timeout_block_bounds_the_calls_to_a_tcl_server(openocd):
    # OpenOCD's own sleep takes milliseconds and keeps its server's loop going.
    with openocd.connect() as host:
        with host.timeout(0.3):
            assert host.z.expr("1 + 1") == "2"
        host.z.sleep(700)  # the host's own deadline is back
        with host.timeout(0.3), pytest.raises(TimeoutError, match="within 0.3 s"):
            host.z.sleep(5000)
        assert host.closed


def test_openocd_that_shuts_down_is_reported(tmp_path):
    needs("openocd")
    server = OpenOCD(tmp_path)
    try:
        host = server.connect()
        try:
            host.z.shutdown()  # answered, or not, as the server goes
        except TclProcessError:
            pass
        with pytest.raises(TclProcessError, match="closed the connection"):
            host.z.expr("1")
        assert host.closed
        assert server.process.wait(timeout=30) == 0
    finally:
        server.stop()


# ---------------------------------------------------------------------------------------------
# connect_rpc against servers that misbehave


class FakeServer:
    """A Tcl RPC server that answers as a script says: for each command it reads, the next
    answer (bytes sent as they are, in the pieces given), or None to hang up."""

    def __init__(self, answers: list[list[bytes] | None]) -> None:
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.answers = answers
        self.commands: list[bytes] = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self) -> None:
        connection, _ = self.listener.accept()
        with connection:
            pending = b""
            for answer in self.answers:
                while b"\x1a" not in pending:
                    data = connection.recv(65536)
                    if not data:
                        return
                    pending += data
                command, _, pending = pending.partition(b"\x1a")
                self.commands.append(command)
                if answer is None:
                    return
                for piece in answer:
                    connection.sendall(piece)
                    time.sleep(0.01)
            while connection.recv(65536):  # say nothing more, until the host leaves
                pass

    def close(self) -> None:
        self.listener.close()


HELLO = [b"\x1eo9 0.81 4242\x1a"]


@pytest.mark.parametrize("answers, result", [
    ([b"\x1eo5 hello", b"\x1a"], "hello"),  # the 0x1a comes apart, as OpenOCD writes it
    ([b"\x1e", b"o", b"5 a\x1ab\x1ac", b"\x1a"], "a\x1ab\x1ac"),  # in pieces, holding 0x1a
    ([b"type target_event event halted\r\n\x1a\x1eo2 ab\x1a"], "ab"),  # a notification first
    ([b"\x1ee8 no such\n\x1a"], TclError("no such\n")),
], ids=["apart", "pieces", "notification", "error"])
def test_answers_in_pieces_notifications_and_errors(answers, result):
    server = FakeServer([HELLO, answers, [b"\x1eo1 1\x1a"]])
    try:
        host = TclProcess.connect_rpc(server.port, timeout=10)
        assert (host.patchlevel, host.pid) == ("0.81", 4242)
        if isinstance(result, Exception):
            with pytest.raises(type(result), match=str(result)):
                host.tk.call("x")
        else:
            assert host.tk.call("x") == result
        assert host.tk.call("y") == "1"
        assert server.commands[1].endswith(b" c x") and server.commands[2].endswith(b" c y")
        assert server.commands[0].startswith(b"proc ::tarvik::rpc")
        host.close()
    finally:
        server.close()


@pytest.mark.parametrize("answers, error, match", [
    ([HELLO, None], TclProcessError, "closed the connection"),
    ([HELLO, [b"invalid command name \"x\"\x1a"]], TclProcessError, "no call of this host"),
    ([HELLO, [b"\x1e?2 ab\x1a"]], TclProcessError, "no call of this host"),
    ([HELLO, [b"\x1eo 2ab\x1a"]], TclProcessError, "no call of this host"),
    ([HELLO, []], TimeoutError, "did not answer within 0.5 s"),
])
def test_a_server_that_closes_garbles_or_never_answers(answers, error, match):
    server = FakeServer(answers)
    try:
        host = TclProcess.connect_rpc(server.port, timeout=0.5)
        started = time.monotonic()
        with pytest.raises(error, match=match):
            host.tk.call("x")
        assert time.monotonic() - started < 5 and host.closed
        with pytest.raises(TclProcessError):
            host.tk.call("x")
    finally:
        server.close()


def test_a_server_that_never_greets_times_out_at_start():
    server = FakeServer([[]])
    try:
        with pytest.raises(TimeoutError):
            TclProcess.connect_rpc(server.port, start_timeout=0.5)
    finally:
        server.close()


def test_words_that_the_server_would_cut_are_escaped():
    server = FakeServer([HELLO, [b"\x1eo0 \x1a"], [b"\x1eo0 \x1a"]])
    try:
        host = TclProcess.connect_rpc(server.port, timeout=10)
        host.tk.call("set", "v", "a\0b\x1ac d")
        host.tk.setvar("w", "\x1a")
        assert server.commands[1].endswith(rb" c set v a\000b\032c\040d")
        assert server.commands[2].endswith(rb" s ::set w \032")
        host.close()
    finally:
        server.close()
