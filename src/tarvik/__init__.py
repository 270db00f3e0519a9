"""tarvik: automation helpers. The Tcl bridge lives in :mod:`tarvik.tcl`."""
