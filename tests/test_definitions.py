"""Native definitions whose body parses another parameter count than the text signature names are
refused while their module is made; agreeing ones parse calls exactly as Python would."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import shutil
import subprocess
import sysconfig
from pathlib import Path
from types import ModuleType

import pytest

SOURCE = Path(__file__).parent / "native" / "definitions_probe.cpp"
SUPPORT = Path(__file__).parent.parent / "src" / "tarvik" / "tcl"


@pytest.fixture(scope="module")
def probe_library(tmp_path_factory: pytest.TempPathFactory) -> Path:
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    library = tmp_path_factory.mktemp("probe") / "definitions_probe.so"
    command = [compiler, "-std=c++20", "-O0", "-shared", "-fPIC", "-Wall", "-Wextra", "-Werror",
               f"-I{SUPPORT}", f"-I{sysconfig.get_paths()['include']}", str(SOURCE), "-o",
               str(library)]
    subprocess.run(command, check=True, capture_output=True, text=True)
    return library


def load(library: Path, name: str) -> ModuleType:
    """Imports the module `name` that the probe library initialises."""
    loader = importlib.machinery.ExtensionFileLoader(name, str(library))
    spec = importlib.util.spec_from_file_location(name, library, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    ("name", "message"),
    [
        ("probe_named_disagrees", "pair(): its text signature (a) names 1 parameter, its body parses 2"),
        ("probe_arguments_disagree",
         "Probe.rest(): its text signature (self, *args) names 1 parameter, its body parses 2"),
        ("probe_deferred_disagrees",
         "deferred(): its text signature (a, b, c) names 3 parameters, its body parses 2"),
    ],
)
def test_a_disagreeing_count_fails_the_import(probe_library: Path, name: str, message: str) -> None:
    with pytest.raises(SystemError) as raised:
        load(probe_library, name)
    assert str(raised.value) == message


@pytest.fixture(scope="module")
def agreeing(probe_library: Path) -> ModuleType:
    return load(probe_library, "probe_agreeing")


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda m: m.pair(1, 2), (1, 2)),
        (lambda m: m.pair(1), (1, None)),
        (lambda m: m.pair(b=2, a=1), (1, 2)),
        (lambda m: m.keyword_b(1, b=2), (1, 2)),
        (lambda m: m.deferred(1), (1, None)),
        (lambda m: m.deferred(1, b=2), (1, 2)),
        (lambda m: m.count(1, 2, x=3), 3),
        (lambda m: m.Probe().rest(1, 2, 3), (1, 2)),
        # The body works out a `...` default itself: passing what the signature shows is the same
        # as leaving it out.
        (lambda m: m.own_default(1), (1, None)),
        (lambda m: m.own_default(1, ...), (1, None)),
        (lambda m: m.own_default(1, b=...), (1, None)),
        (lambda m: m.own_default(1, 2), (1, 2)),
    ],
)
def test_agreeing_bodies_get_their_arguments(agreeing: ModuleType, call, expected) -> None:
    assert call(agreeing) == expected


@pytest.mark.parametrize(
    ("call", "message"),
    [
        # Two arguments by position must not reach a body whose second parameter is keyword-only.
        (lambda m: m.keyword_b(1, 2), "keyword_b() takes 1 positional argument but 2 were given"),
        (lambda m: m.pair(1, 2, 3), "pair() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda m: m.pair(), "pair() missing 1 required positional argument: 'a'"),
        (lambda m: m.deferred(1, c=3), "deferred() got an unexpected keyword argument 'c'"),
    ],
)
def test_agreeing_bodies_refuse_what_python_refuses(agreeing: ModuleType, call, message: str) -> None:
    with pytest.raises(TypeError) as raised:
        call(agreeing)
    assert str(raised.value) == message
