"""Interpreter exit with native objects still alive: a clean exit, and nothing printed."""

from __future__ import annotations

import os

import pytest

from gates import exit_scripts

MODES = {
    "dev mode": (["-X", "dev"], {}),
    "debug allocator": ([], {"PYTHONMALLOC": "debug"}),
}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", exit_scripts.SCRIPTS)
def test_exit_is_clean(name: str, mode: str) -> None:
    options, extra = MODES[mode]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(_import_path()), **extra}
    done = exit_scripts.run(exit_scripts.SCRIPTS[name], options, env)
    assert (done.returncode, done.stderr) == (0, "")


def _import_path() -> list[str]:
    """Where this process found the package, so that the child imports the same build."""
    import tarvik

    package_root = os.path.dirname(os.path.dirname(tarvik.__file__))
    return [package_root, *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))]
