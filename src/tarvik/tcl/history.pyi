"""A bounded, timestamped history of Tcl calls, with named markers."""

import logging as logging
import os
import re as re
from collections import deque as deque
from collections.abc import Callable, Hashable, Iterable
from datetime import datetime
from typing import Any, ClassVar

from typing_extensions import disjoint_base

get_time: Callable[[], datetime]
log: logging.Logger

@disjoint_base
class Entry:
    timestamp: Any
    api: str
    def __init__(self, api: str | Iterable[str]) -> None: ...
    @property
    def words(self) -> tuple[str, ...] | None: ...
    @words.setter
    def words(self, value: Iterable[str] | None) -> None: ...

@disjoint_base
class History:
    __MAX_HISTORY__: ClassVar[int]
    __history__: deque[Entry]
    __markers__: dict[Hashable, deque[Entry]]
    __activeMarkers__: list[Hashable]
    enabled: bool
    def __init__(self, max_history: int | None = 9999) -> None: ...
    def enable(self) -> None: ...
    def disable(self) -> None: ...
    def append(self, item: str | Iterable[str]) -> None: ...
    def clear(self, marker: Hashable | None = None, clear_all: bool = False) -> None: ...
    def start_marker(self, marker: Hashable) -> None: ...
    def end_marker(self, marker: Hashable) -> None: ...
    def filter(
        self,
        marker: Hashable | None = None,
        count: int = 20,
        regex: str | re.Pattern[str] | None = None,
    ) -> list[Entry]: ...
    def script(self, marker: Hashable | None = None) -> str: ...
    def save(self, path: str | os.PathLike[str], marker: Hashable | None = None) -> None: ...
