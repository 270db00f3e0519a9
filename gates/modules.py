"""Which native modules the gates check, and which of them must be there.

Every gate reads this one list. A module marked ``required`` must import, or the gate fails: once a
module has landed, a broken or missing build can never pass quietly. A module not (yet) marked
required is checked when it imports and reported as skipped when it does not. A module whose C++
source is in the tree counts as required too, since the build makes one module per source.
"""

from __future__ import annotations

import importlib
import pathlib
import types
from dataclasses import dataclass

PACKAGE = "tarvik.tcl"
SOURCE_DIR = pathlib.Path(__file__).resolve().parent.parent / "src" / "tarvik" / "tcl"


@dataclass(frozen=True)
class NativeModule:
    name: str
    required: bool

    @property
    def qualified(self) -> str:
        return f"{PACKAGE}.{self.name}"

    @property
    def has_source(self) -> bool:
        return (SOURCE_DIR / f"{self.name}.cpp").exists()

    @property
    def must_import(self) -> bool:
        return self.required or self.has_source


# In load order: the others import scriptify.
NATIVE_MODULES = [
    NativeModule("scriptify", required=True),
    NativeModule("_host", required=True),
    NativeModule("history", required=True),
    NativeModule("z", required=True),
    NativeModule("fieldtree", required=True),
    NativeModule("namespace", required=True),
]

# The pure-Python host layer around the native modules.
HOST_MODULES = ["tarvik", "tarvik.datastructures", "tarvik.utils", "tarvik.utils.utils", PACKAGE]


def unlisted_sources() -> list[str]:
    """C++ module sources in the tree that the list above does not name (a gate reports them)."""
    listed = {m.name for m in NATIVE_MODULES}
    return sorted(p.stem for p in SOURCE_DIR.glob("*.cpp") if p.stem not in listed)


def all_native_modules() -> list[NativeModule]:
    """The listed modules and any unlisted source, which is required since it is built."""
    return NATIVE_MODULES + [NativeModule(name, required=True) for name in unlisted_sources()]


class MissingModule(Exception):
    """A required module did not import."""


def load(module: NativeModule) -> types.ModuleType | None:
    """The imported module; None for an optional module that is not built; MissingModule for a
    required one that does not import."""
    try:
        return importlib.import_module(module.qualified)
    except ImportError as error:
        if module.must_import:
            raise MissingModule(f"{module.qualified} is required but does not import: {error}")
        return None


def importable() -> list[types.ModuleType]:
    """Every native module that imports, in load order (raising MissingModule as ``load``)."""
    loaded = (load(module) for module in all_native_modules())
    return [module for module in loaded if module is not None]
