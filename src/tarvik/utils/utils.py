"""Clock and other small helpers."""

from datetime import datetime


def get_time() -> datetime:
    """Return the current local time; the clock of call-history entries."""
    return datetime.now()
