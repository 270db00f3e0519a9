"""The quality gates themselves: the leak check must tell a leak from noise, the fuzz runner must
turn a crash or a hang into a failure, and a required module may never be skipped."""

from __future__ import annotations

import collections
import ctypes
import ctypes.util
import subprocess
import sys
import textwrap
import types
import tracemalloc
from pathlib import Path

import pytest

from gates import leakcheck, modules

ROOT = Path(__file__).resolve().parent.parent
kept: list = []
watched = ["a watched object"]


def _libc():
    return ctypes.CDLL(ctypes.util.find_library("c"))


def _leak_malloc():
    _libc().malloc(512)


LEAKS = {
    "objects kept": (lambda: kept.append([1, 2]), {"gc objects", "allocated blocks", "traced memory"}),
    "strings kept": (lambda: kept.append("x" * 100 + str(len(kept))), {"allocated blocks", "traced memory"}),
    "reference leaked": (lambda: ctypes.pythonapi.Py_IncRef(ctypes.py_object(watched)), {"input references"}),
    "malloc not freed": (_leak_malloc, {"malloc in use"}),
}  # fmt: skip


@pytest.fixture(scope="module")
def measures():
    tracemalloc.start()
    yield leakcheck._measures()
    tracemalloc.stop()
    kept.clear()


@pytest.mark.parametrize("name", LEAKS)
def test_leak_check_finds_each_kind_of_leak(name, measures):
    run, expected = LEAKS[name]
    expected &= {m.name for m in measures}
    if not expected:
        pytest.skip("what this leak grows is not measurable here (no glibc, or a sanitizer)")
    result = leakcheck.check(leakcheck.Operation(name, run, watch=(watched,)), measures, 300)
    assert {leak.split(" +")[0] for leak in result.leaks} >= expected


def _bounded_cache():
    cache: dict = {}
    return lambda: cache.setdefault(len(cache) if len(cache) < 400 else 0, [len(cache)])


CLEAN = {
    "temporary objects": lambda: [[i] for i in range(20)],
    "cache that fills up and stops": _bounded_cache(),
    "exception raised and caught": lambda: int("not a number"),
}


@pytest.mark.parametrize("name", CLEAN)
def test_leak_check_passes_what_does_not_leak(name, measures):
    op = leakcheck.Operation(name, CLEAN[name], raises=ValueError if "exception" in name else ())
    assert leakcheck.check(op, measures, 300).leaks == []


def test_leak_check_requires_the_expected_exception(measures):
    op = leakcheck.Operation("quiet", lambda: None, raises=KeyError)
    with pytest.raises(AssertionError, match="expected"):
        leakcheck.check(op, measures, 20)


@pytest.mark.parametrize(
    "module, outcome",
    [
        (modules.NativeModule("no_such_module", required=True), modules.MissingModule),
        (modules.NativeModule("no_such_module", required=False), None),
        (modules.NativeModule("scriptify", required=True), "module"),
    ],
)
def test_required_modules_are_never_skipped(module, outcome):
    if outcome is modules.MissingModule:
        with pytest.raises(modules.MissingModule, match="required"):
            modules.load(module)
    elif outcome is None:
        assert modules.load(module) is None
    else:
        assert modules.load(module).__name__ == module.qualified


SUITES = {
    "crash": ("import os\ndef test_crash():\n    os.abort()\n", "CRASHED: killed by SIGABRT"),
    "hang": ("import time\ndef test_hang():\n    time.sleep(60)\n", "HUNG"),
    "failure": ("def test_fails():\n    assert False\n", "FAILED"),
    "pass": ("def test_passes():\n    pass\n", "passed"),
}


@pytest.mark.parametrize("name", SUITES)
def test_fuzz_runner_reports_crashes_and_hangs_as_failures(name, tmp_path):
    code, verdict = SUITES[name]
    (tmp_path / "test_suite.py").write_text(textwrap.dedent(code))
    # Only the hanging suite needs a short limit; the others get one that a slow start of the
    # child (a sanitizer build on a busy machine) cannot reach.
    limit = "5" if name == "hang" else "90"
    child = subprocess.run(
        [sys.executable, "-m", "gates.run_fuzz", "--suite", str(tmp_path), "--timeout", limit, "-q"],
        capture_output=True, text=True, timeout=120, cwd=ROOT,
    )  # fmt: skip
    assert verdict in child.stdout + child.stderr
    assert (child.returncode == 0) == (name == "pass")


def test_fuzz_targets_are_every_native_function_and_method_once():
    from gates.fuzz.targets import discover
    from tarvik.tcl.scriptify import scriptify, tclobj

    module = types.ModuleType("tarvik.tcl.fake")

    class Handle:
        method = scriptify
        alias = scriptify
        static = staticmethod(tclobj)
        klass = classmethod(tclobj)
        value = property(scriptify, tclobj)
        python_method = lambda self: None  # noqa: E731

        class Inner:
            method = tclobj

    Handle.Inner.Handle = Handle  # a cycle between classes must not recurse forever
    for cls, qualname in ((Handle, "Handle"), (Handle.Inner, "Handle.Inner")):
        cls.__module__, cls.__qualname__ = module.__name__, qualname
    module.Handle, module.function, module.again = Handle, tclobj, tclobj
    module.imported = collections.OrderedDict

    found = {t.qualname: t for t in discover(module)}
    assert sorted(found) == sorted([
        "Handle.method", "Handle.alias", "Handle.static", "Handle.klass", "Handle.value.fget",
        "Handle.value.fset", "Handle.Inner.method", "tclobj",
    ])  # fmt: skip
    assert found["Handle.method"].owner is Handle and found["Handle.static"].owner is None
    assert [p.name for p in found["Handle.static"].parameters] == ["obj"]
    assert found["Handle.klass"].parameters == found["Handle.method"].parameters == []
