"""Clock and other small helpers."""

from datetime import datetime

#: The current local time, as a naive ``datetime``: the clock of call-history entries. It is
#: ``datetime.now`` itself rather than a function around it, because the history reads the clock
#: once per recorded Tcl call and a Python-level wrapper would cost as much as the clock.
get_time = datetime.now
