"""Type stubs: every native module that imports has a .pyi beside it, the packages are marked
py.typed, and mypy's stubtest finds no difference between the stubs and the built modules.

    python -m gates.stubs

stubtest runs on the whole package `tarvik` (the native modules and the host layer) against what
Python imports, so run it without PYTHONPATH to check the installed build. Differences that are
meant are listed, each with its reason, in gates/stubtest-allowlist.txt.
"""

from __future__ import annotations

import importlib
import pathlib
import subprocess
import sys

from gates import modules

ALLOWLIST = pathlib.Path(__file__).with_name("stubtest-allowlist.txt")


def missing_stub_files() -> list[str]:
    problems = []
    for module in modules.importable():
        stub = pathlib.Path(module.__file__).parent / f"{module.__name__.rsplit('.', 1)[1]}.pyi"
        if not stub.exists():
            problems.append(f"{module.__name__} has no stub {stub.name} beside it")
    for package in ("tarvik", modules.PACKAGE):
        marker = pathlib.Path(importlib.import_module(package).__file__).with_name("py.typed")
        if not marker.exists():
            problems.append(f"{package} is not marked py.typed")
    return problems


def main() -> int:
    try:
        problems = missing_stub_files()
    except modules.MissingModule as error:
        problems = [str(error)]
    for problem in problems:
        print(f"stubs: {problem}", file=sys.stderr)
    checked = [m.__name__ for m in modules.importable()] + modules.HOST_MODULES
    command = [sys.executable, "-m", "mypy.stubtest", "tarvik", "--allowlist", str(ALLOWLIST)]
    status = subprocess.run(command).returncode
    print(f"stubs: stubtest checked {', '.join(checked)}: {'ok' if status == 0 else 'FAILED'}")
    return 1 if problems or status else 0


if __name__ == "__main__":
    sys.exit(main())
