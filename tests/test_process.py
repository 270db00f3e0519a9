"""The host of a Tcl interpreter in another process: the link, callbacks, output, faults, the
TCP server of the agent, and threads. The modules themselves run over it in their own tests,
through the `host` fixture."""

from __future__ import annotations

import gc
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import weakref
from pathlib import Path

import pytest

import tarvik.tcl
from tarvik.tcl import TclError, TclProcess, TclProcessError, agent_script
from tarvik.tcl import _frames, _link
from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.namespace import TclVariable, TempTclCommand, TempTclNamespace
from tarvik.tcl.scriptify import tclobj

AWKWARD = [
    "", "a\0b", "two\nlines\r\n", "\U0001f600 and é中", "[file delete victim]", "$env(HOME)",
    "{", "}", "{a} {b", "back\\slash\\", "\\x41\\u0042", '"quoted"', "#comment", "a;b", " ",
    "\t", "x" * 70000,
]  # fmt: skip


@pytest.fixture
def fresh():
    """A child tclsh of its own, for tests that break or close it."""
    with TclProcess(timeout=30) as host:
        yield host


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


# ---------------------------------------------------------------------------------------------
# Values and words


@pytest.mark.parametrize("value", AWKWARD, ids=range(len(AWKWARD)))
def test_awkward_values_travel_intact(process, tmp_path, value):
    victim = tmp_path / "victim"
    victim.write_text("still here")
    tk = process.tk
    tk.call("::cd", str(tmp_path))
    assert tk.call("::set", "v", value) == value
    assert tk.getvar("v") == value and process.z.set("w", value) == value
    tk.setvar("arr", value, value)
    assert tk.getvar("arr", value) == value
    # Each word arrives as one word: Tcl's own list of them splits back into the same strings.
    assert tk.splitlist(tk.call("::list", value, "x", value)) == (value, "x", value)
    assert tk.call(("::string", "equal", value, tk.getvar("w"))) == "1"
    tk.unsetvar("arr")
    assert victim.exists()


@pytest.mark.parametrize(
    "word",
    [1, -5, 2**70, 0, True, False, 1.5, -0.0, 1e16, 1.2345678901234567e16, 1e-5, 2.5e-300, 1e300,
     float("inf"), float("-inf"), float("nan"), b"\x00\xff\x80", ("a b", ("c", 1)), [1, [2.5, b"z"]],
     ("",), ()],
)  # fmt: skip
def test_words_reach_tcl_as_tkinter_gives_them(interp, process, word):
    interp.tk.call("::set", "word", word)
    assert process.tk.call("::set", "word", word) == interp.tk.eval("set word")


def test_a_word_tcl_cannot_hold_is_refused_before_sending(process):
    with pytest.raises(UnicodeEncodeError):
        process.tk.call("::set", "v", "lone \ud800")
    assert process.tk.call("::set", "v", "fine") == "fine"


def test_an_oversized_value_is_refused_and_the_link_stays(process, monkeypatch):
    monkeypatch.setattr(_frames, "MAX_FRAME", 1000)
    with pytest.raises(ValueError, match="more than the link carries"):
        process.tk.call("::set", "v", "x" * 2000)
    monkeypatch.undo()
    assert process.tk.call("::set", "v", "x" * 2000) == "x" * 2000


def test_a_command_named_like_a_comment_runs(process):
    process.tk.call("::proc", "#hash", "args", "return ran")
    assert process.tk.call("#hash") == "ran"
    process.tk.call("::rename", "#hash", "")


@pytest.mark.parametrize(
    "value", ["1", "0", "yes", "NO", "t", "tr", "of", "On", "o", "2", "", "1 ", "0x1", "false", 5, 0, True]
)  # fmt: skip
def test_booleans_read_as_tcl_reads_them(interp, process, value):
    try:
        expected = interp.tk.getboolean(value)
    except TclError as error:
        with pytest.raises(TclError, match=str(error).replace('"', '.')):
            process.cast_boolean(value)
    else:
        assert process.cast_boolean(value) is bool(expected)


@pytest.mark.parametrize("text", ["a {b c} d", "\\x41 \\u00e9\\n", "a\\ b {x\\}y}", "{a", "a}b {"])
def test_lists_split_as_tcl_splits_them(interp, process, text):
    try:
        expected = tuple(map(str, interp.tk.splitlist(text)))
    except TclError as error:
        with pytest.raises(TclError, match=str(error)):
            process.cast_list(text)
    else:
        assert process.cast_list(text) == expected


@pytest.fixture(scope="module", params=["own bytes", "tcp", "utf-8"])
def either_form(request, tmp_path_factory):
    """A child tclsh whose agent sends strings as the bytes Tcl keeps them in, one serving over
    TCP (one channel both ways), and one made to send them in UTF-8, as a Tcl without the
    identity encoding does."""
    if request.param == "own bytes":
        with TclProcess(timeout=60) as host:
            yield host
        return
    if request.param == "tcp":
        child = subprocess.Popen(["tclsh"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True)
        child.stdin.write(f"source {{{agent_script()}}}; tarvik::serve\n")
        child.stdin.close()
        *_, port, token = child.stdout.readline().split()
        with TclProcess.connect(int(port), token, timeout=60) as host:
            yield host
        child.wait(10)
        return
    wrapper = tmp_path_factory.mktemp("agent") / "utf8.tcl"
    wrapper.write_text("namespace eval ::tarvik {variable raw 0}\nsource [lindex $argv 0]\n")
    with TclProcess(["tclsh", str(wrapper)], timeout=60) as host:
        assert host.tk.eval("set ::tarvik::raw") == "0"
        yield host


def tcl_reads(tk, script: str) -> str:
    """The characters of a string made by `script`, as Tcl reads them one by one."""
    codes = tk.eval(f"lmap c [split [{script}] {{}}] {{scan $c %c}}").split()
    units = "".join(chr(int(code)) for code in codes)
    # A Tcl that keeps characters beyond the BMP as two surrogates counts two of them.
    return units.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")


@pytest.mark.parametrize(
    "script",
    ["format %c%c%c%c 0 0x7f 0x80 0xff", "format a%cb%cc 0xd800 0xdfff", "format %c%c 0xd83d 0xde00",
     "format %c%c%c 0xffff 0xfffd 0x4e2d", "encoding convertfrom utf-8 \xf0\x9f\x98\x80\xc3\xa9",
     "encoding convertfrom identity \xc1\x81\x80\xc0\x80\xed\xa0\x80\xe4x",
     "string repeat [format %c%c%c%c 0 0xe9 0xd83d 0xde00] 70000"],
)  # fmt: skip
def test_strings_arrive_as_tcl_reads_them(either_form, script):
    tk = either_form.tk
    try:
        expected = tcl_reads(tk, script)
    except TclError:
        pytest.skip("this Tcl has no identity encoding")
    assert tk.eval(script) == expected
    if not _frames._SURROGATE.search(expected):  # a lone surrogate is refused on the way back
        assert tk.call("::set", "made", expected) == expected


@pytest.mark.parametrize("value", AWKWARD, ids=range(len(AWKWARD)))
def test_awkward_values_cross_in_either_form(either_form, value):
    tk = either_form.tk
    assert tk.call("::set", "v", value) == value and tk.getvar("v") == value
    tk.setvar("v", value)
    assert tk.eval("set v") == value and tk.splitlist(tk.call("::list", value, "")) == (value, "")


@pytest.mark.parametrize(
    "value",
    ["0123456789abcdef" * 65536, "a\r\nb\x1a\rc\n\t" * 100000, "a\0b" * 300000,
     "\U0001f600 é中\n" * 100000],
    ids=["ascii", "line ends", "nul", "wide"],
)
def test_big_values_cross_both_ways(either_form, value):
    tk = either_form.tk
    tk.setvar("big", value)
    # Tcl 8 counts a character beyond the BMP as two.
    lengths = {str(len(value)), str(len(value.encode("utf-16-le")) // 2)}
    assert tk.eval("string length $big") in lengths
    assert tk.getvar("big") == value
    assert either_form.z.set("copy", value) == value
    assert tk.call("::string", "equal", tk.getvar("big"), tk.getvar("copy")) == "1"
    tk.unsetvar("big")
    tk.unsetvar("copy")


# ---------------------------------------------------------------------------------------------
# Errors

TRACED = "proc ::traced {what} { error \"failed: $what\" }"


@pytest.mark.parametrize(
    "run",
    [lambda tk: tk.call("::traced", "badly"), lambda tk: tk.eval("::traced badly"),
     lambda tk: tk.eval("set x 1\n::traced badly")],
)  # fmt: skip
def test_errors_leave_the_trace_that_tkinter_would(interp, process, run):
    traces = []
    for host in (interp, process):
        host.tk.eval(TRACED)
        with pytest.raises(TclError, match="^failed: badly$"):
            run(host.tk)
        traces.append((host.tk.eval("set ::errorInfo"), host.tk.eval("set ::errorCode")))
    assert traces[1] == traces[0]


def test_quick_calls_raise_the_remotes_trace(process):
    process.tk.eval(TRACED)
    with pytest.raises(TclError) as raised:
        process.z.traced("again")
    assert raised.value.args[0] == process.tk.getvar("::errorInfo")
    assert raised.value.args[0].endswith('(procedure "traced" line 1)\n    invoked from within\n'
                                         '"traced again"')
    assert process.history.filter(count=1)[0].api == "traced again"


# ---------------------------------------------------------------------------------------------
# Callbacks


@pytest.mark.parametrize(
    "result", [None, "text", 7, 2.5, True, ("a b", (1, "c")), b"\x00\xff", "\U0001f600\n"]
)
def test_callback_results_are_what_tkinter_makes_of_them(interp, process, result):
    for host in (interp, process):
        host.tk.createcommand("::give", lambda *args: result)
    assert process.tk.eval("::give") == str(interp.tk.eval("::give"))
    process.tk.deletecommand("::give")


def test_callbacks_get_their_arguments_as_strings(process):
    seen = []
    process.tk.createcommand("::collect", lambda *args: seen.append(args))
    process.tk.eval("::collect 1 {a b} {} \\{ [list x y]")
    assert seen == [("1", "a b", "", "{", "x y")]
    process.tk.deletecommand("::collect")


def test_calls_nest_both_ways(process):
    depth = []

    def down(n):
        depth.append(int(n))
        if int(n) == 0:
            return "bottom"
        # Python -> Tcl -> Python ...: each level runs while the one above waits.
        return process.tk.eval(f"::tarvik_down [expr {{{n} - 1}}]") + f" {n}"

    process.tk.createcommand("::tarvik_down", down)
    assert process.tk.call("::tarvik_down", "6") == "bottom 1 2 3 4 5 6"
    assert depth == [6, 5, 4, 3, 2, 1, 0]
    process.tk.deletecommand("::tarvik_down")


def test_a_python_error_reaches_tcl_and_crosses_back(process):
    def fail(what):
        raise ValueError(f"bad {what}")

    process.tk.createcommand("::pyfail", fail)
    caught = process.tk.eval("list [catch {::pyfail thing} message options] $message "
                             "[dict get $options -errorcode] [dict get $options -errorinfo]")
    code, message, error_code, info = process.cast_list(caught)
    assert (code, message, error_code) == ("1", "ValueError: bad thing", "PYTHON ValueError")
    assert info.startswith("Traceback (most recent call last):\n") and "in fail" in info
    with pytest.raises(TclError, match="^ValueError: bad again$"):
        process.tk.call("::pyfail", "again")
    process.tk.deletecommand("::pyfail")


def test_keyboard_interrupt_in_a_callback_closes_the_host(fresh):
    def stop():
        raise KeyboardInterrupt

    fresh.tk.createcommand("::stop", stop)
    with pytest.raises(KeyboardInterrupt):
        fresh.tk.eval("::stop")
    assert fresh.closed
    with pytest.raises(TclProcessError):
        fresh.tk.eval("set x")


@pytest.mark.parametrize("delete", ["deletecommand", "rename", "namespace delete", "redefine"])
def test_deleted_callbacks_let_their_function_go(process, delete):
    class Function:
        def __call__(self):
            return "called"

    function = Function()
    gone = weakref.ref(function)
    process.tk.eval("namespace eval ::cbns {}")
    process.tk.createcommand("::cbns::f", function)
    assert process.tk.eval("::cbns::f") == "called"
    del function
    if delete == "deletecommand":
        process.tk.deletecommand("::cbns::f")
    elif delete == "rename":
        process.tk.eval("rename ::cbns::f {}")
    elif delete == "redefine":
        process.tk.eval("proc ::cbns::f {} {}")
    process.tk.eval("namespace delete ::cbns")
    process.tk.eval("info patchlevel")  # the next answer tells Python what Tcl deleted
    assert gone() is None


def test_a_call_from_code_run_while_waiting_is_refused(process, monkeypatch):
    link = process.tk._link
    refused = []
    receive = link.receive

    def receive_and_interfere(*args):
        try:
            process.tk.call("::set", "x", "meddling")
        except RuntimeError as error:
            refused.append(str(error))
        return receive(*args)

    monkeypatch.setattr(link, "receive", receive_and_interfere)
    assert process.tk.call("::set", "x", "mine") == "mine"
    monkeypatch.undo()
    assert refused and "waiting for the answer" in refused[0]
    assert process.tk.getvar("x") == "mine"


# ---------------------------------------------------------------------------------------------
# Output of the remote


def test_output_reaches_python_in_order(process, capsys):
    print("before", flush=True)
    process.tk.eval("puts out1; puts stderr err1; puts -nonewline out2")
    print("|between", flush=True)
    process.tk.call("::puts", "stdout", "\U0001f600 é")
    process.tk.eval("puts stderr err2")
    captured = capsys.readouterr()
    assert captured.out == "before\nout1\nout2|between\n\U0001f600 é\n"
    assert captured.err == "err1\nerr2\n"


def test_much_output_during_one_call_does_not_block(process, capfd):
    process.tk.eval("for {set i 0} {$i < 20000} {incr i} { puts [string repeat x 40] }")
    assert capfd.readouterr().out.count("x" * 40 + "\n") == 20000


def test_output_of_programs_the_remote_runs(process, capfd):
    process.tk.eval("exec echo from-a-program >@ stdout")
    assert "from-a-program" in capfd.readouterr().out


# ---------------------------------------------------------------------------------------------
# Faults


def test_a_killed_child_fails_the_call_in_progress_at_once(fresh):
    fresh.tk.eval("puts stderr {last words}")
    threading.Timer(0.3, os.kill, (fresh.pid, signal.SIGKILL)).start()
    start = time.monotonic()
    with pytest.raises(ConnectionError, match="killed by SIGKILL") as raised:
        fresh.tk.eval("after 10000")
    assert time.monotonic() - start < 1.5
    assert "last words" in str(raised.value)
    start = time.monotonic()
    with pytest.raises(TclProcessError, match="killed by SIGKILL"):
        fresh.z.set("x", 1)
    assert time.monotonic() - start < 0.1 and not alive(fresh.pid)


@pytest.mark.parametrize("leave_behind", ["", "exec sleep 5 &;"])
def test_exit_inside_a_call_names_the_status_and_stderr(fresh, leave_behind):
    # A program left running holds the link open after its parent exits: the end of the child
    # must still be noticed.
    start = time.monotonic()
    with pytest.raises(TclProcessError) as raised:
        fresh.tk.eval(f"{leave_behind} puts stderr {{one}}; puts stderr {{two}}; exit 3")
    assert time.monotonic() - start < 1.5
    message = str(raised.value)
    assert f"process {fresh.pid} exited with status 3" in message
    assert message.endswith("one\ntwo")
    assert fresh.closed


def test_a_timeout_closes_the_host():
    host = TclProcess(timeout=0.3)
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="did not answer within 0.3 s"):
        host.tk.eval("after 5000")
    assert time.monotonic() - start < 1.5
    assert host.closed and not alive(host.pid)
    with pytest.raises(TclProcessError):
        host.tk.eval("set x")


def test_ctrl_c_interrupts_a_remote_call(fresh):
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        fresh.tk.eval("after 10000")
    assert time.monotonic() - start < 1.5
    assert fresh.closed and not alive(fresh.pid)


def test_a_program_that_is_no_agent_is_reported():
    with pytest.raises(TclProcessError, match="exited with status 2"):
        TclProcess(["sh", "-c", "echo not an agent >&2; exit 2", "{agent}"])


def test_a_collected_host_stops_its_child():
    host = TclProcess()
    pid, handle = host.pid, TclVariable("x", tcl=host)
    del host
    gc.collect()
    assert not alive(pid)
    with pytest.raises(ReferenceError):
        handle.get()


def test_agent_script_ships_in_the_package_and_fills_in_the_command():
    path = Path(agent_script())
    assert path.is_file() and path.parent == Path(tarvik.tcl.__file__).parent
    assert _link.command_line(["tclsh", "-x", "{agent}", "y"], agent=True)[2:] == [str(path), "y"]
    assert _link.command_line(["tclsh"], agent=True)[-1] == str(path)
    with TclProcess([sys.executable and "tclsh", "{agent}"]) as host:
        assert host.tk.eval("info exists ::env(TARVIK_AGENT_LINK)") == "0"


# ---------------------------------------------------------------------------------------------
# The TCP server of the agent


@pytest.fixture
def server():
    """A tclsh that serves one client over TCP: (process, port, token)."""
    script = f"source {{{agent_script()}}}; tarvik::serve; puts done"
    child = subprocess.Popen(["tclsh"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    child.stdin.write(script + "\n")
    child.stdin.close()
    line = child.stdout.readline().split()
    yield child, int(line[-2]), line[-1]
    child.kill()
    child.wait()


def refused(port: int, data: bytes) -> bool:
    """Whether the server closes a connection that sent `data`, without answering."""
    with socket.create_connection(("127.0.0.1", port), timeout=3) as raw:
        raw.sendall(data)
        return raw.recv(100) == b""


def test_serve_prints_where_it_listens(server):
    _, port, token = server
    assert 0 < port < 65536 and len(token) == 32 and int(token, 16) >= 0


def test_the_server_refuses_strangers_and_goes_on_listening(server):
    child, port, token = server
    wrong = ("0" if token[0] != "0" else "1") + token[1:]
    assert refused(port, struct.pack(">cI", b"t", len(token)) + wrong.encode())
    assert refused(port, struct.pack(">cI", b"t", 0x7FFFFFFF))  # claims 2 GiB: never read
    assert refused(port, struct.pack(">cI", b"c", 9) + b"exit 1;;;")  # a call before the token
    assert refused(port, b"GET / HTTP/1.0\r\n\r\n")
    with TclProcess.connect(port, token, timeout=10) as host:
        assert host.pid == child.pid and host.z.set("x", "[exit 1]") == "[exit 1]"
        host.tk.createcommand("::py", lambda x: x.upper())
        assert host.tk.eval("::py abc") == "ABC"
    assert child.stdout.readline() == "done\n"  # serve returned when its client left


def test_a_wrong_token_through_connect(server):
    _, port, _ = server
    with pytest.raises(ConnectionError, match="token"):
        TclProcess.connect(port, "nope", timeout=5)


@pytest.mark.parametrize(
    "frame, answered",
    [(struct.pack(">cI", b"w", 3) + b"abc", True), (struct.pack(">cI", b"c", 0x7FFFFFFF), False),
     (struct.pack(">cI", b"c", 2) + b"\xff\xfe", None)],
)  # fmt: skip
def test_bad_frames_from_an_authenticated_client(server, frame, answered):
    # answered None: Tcl 8 reads bytes that are not UTF-8 as Latin-1 (a command that does not
    # exist); a Tcl that refuses them ends the link.
    child, port, token = server
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        raw.sendall(struct.pack(">cI", b"t", len(token)) + token.encode())
        kind, length = struct.unpack(">cI", raw.recv(5))
        assert kind == b"h" and raw.recv(length).startswith(b"tarvik-agent")
        raw.sendall(frame)
        reply = raw.recv(5)
        if answered is None and reply:
            assert reply[:1] == b"e"
        elif answered:  # an unknown kind of a sound length is answered, and the link goes on
            assert reply[:1] == b"e" and b"unknown frame kind" in raw.recv(1000)
            raw.sendall(struct.pack(">cI", b"c", 9) + b"set x ok!")
            assert raw.recv(100) == struct.pack(">cI", b"o", 3) + b"ok!"
        else:  # nothing after it could be trusted: the connection ends
            assert reply == b""
    assert child.wait(5) == 0


# ---------------------------------------------------------------------------------------------
# Threads and the modules over the link


def test_threads_share_a_host_and_never_mix_answers(process):
    process.tk.createcommand("::slow_echo", lambda x: (time.sleep(0.001), x)[1])
    errors = []

    def work(n):
        try:
            for i in range(100):
                value = f"thread {n} call {i}"
                assert process.z.set(f"t{n}", value) == value
                assert process.tk.eval(f"::slow_echo [set t{n}]") == value
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    process.tk.deletecommand("::slow_echo")


def test_temporaries_leave_nothing_in_the_remote(process):
    callbacks = dict(process.tk._link.callbacks)
    with TempTclNamespace(tcl=process) as scratch:
        scratch.vars["x"] = 1
        with TempTclCommand(lambda text: text[::-1], tcl=process) as command:
            assert process.tk.call(command.cmd_name, "abc") == "cba"
    found = process.tk.eval("concat [info vars ::__tarvik__*] [info commands ::__tarvik__*] "
                            "[namespace children :: ::__tarvik__*]")
    del command
    gc.collect()
    assert found == "" and process.tk.eval("set x") and process.tk._link.callbacks == callbacks


def test_keyed_lists_from_and_to_the_remote():
    with TclProcess(tclx=True, timeout=30) as process:
        process.tk.eval("set ::kl {}; keylset ::kl name.first Ada name.last {Love lace} id 7")
        tree = FieldTree.from_tcl(process.tk.getvar("::kl"))
        assert tree.all_items() == [("name.first", "Ada"), ("name.last", "Love lace"),
                                    ("id", "7")]
        tree["name.middle"] = "[King]"
        process.tk.call("::set", "::kl", tclobj(tree))
        assert process.cast_list(process.tk.call("::keylkeys", "::kl", "name")) == (
            "first", "last", "middle")  # fmt: skip
        assert process.tk.call("::keylget", "::kl", "name.middle") == "[King]"
