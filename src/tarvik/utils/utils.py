"""Clock and other small helpers.

``get_time()`` is the current local time as a naive ``datetime``: the clock of call-history
entries, read once per recorded Tcl call. It is the native clock of ``tarvik.tcl._host``, which
converts the local time of the current second once and keeps it, so a reading costs a fraction of
``datetime.now()``.
"""

from __future__ import annotations

from typing import Any


def __getattr__(name: str) -> Any:
    # The clock is imported on first use rather than at the top: it lives in the package
    # tarvik.tcl, whose history module imports this module while the package loads.
    if name == "get_time":
        from tarvik.tcl._host import now

        globals()["get_time"] = now
        return now
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
