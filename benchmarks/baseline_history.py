"""A straightforward pure-Python history: the steps of History.append written as plain Python,
the yardstick for the native module."""

import logging
from collections import deque

from tarvik.utils.utils import get_time

log = logging.getLogger("tarvik.tcl")


class Entry:
    def __init__(self, api):
        if not isinstance(api, str):
            api = " ".join("{%s}" % word if " " in word else word for word in api)
        self.timestamp = get_time()
        self.api = api


class History:
    def __init__(self, max_history=9999):
        self.__history__ = deque(maxlen=max_history)
        self.__markers__ = {}
        self.__activeMarkers__ = []
        self.enabled = True

    def append(self, item):
        log.debug("%% %s" % item)
        if not self.enabled:
            return
        entry = Entry(item)
        self.__history__.append(entry)
        for marker in self.__activeMarkers__:
            self.__markers__[marker].append(entry)
