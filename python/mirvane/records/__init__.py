"""Records at the bottom of the package: errors, the time base, positions and spans, events as values.

It imports nothing else of mirvane, so every other layer can build on it.
"""

from .errors import DataFileError, PathLike, RecordIndexError, UnfinishedFileError
from .events import ENDED, Event, EventKind, EventsOf, EventsOfBlocks, Severity, event_marks, events_of_blocks
from .event_table import EventTable
from .schema import RENEW_EVERY, newer_fields, renewed
from .spans import record_position, span_positions, stamps_span
from .jsontext import json_text
from .timebase import (PlayAxis, StampTimes, StoredTimes, as_times, duration_seconds, play_product_seconds,
                       play_seconds, play_span,
                       product_seconds, seconds_between, span_seconds, stamp_times)

__all__ = [
    "DataFileError", "PathLike", "RecordIndexError", "UnfinishedFileError",
    "ENDED", "Event", "EventKind", "EventsOf", "EventsOfBlocks", "EventTable", "Severity", "event_marks", "events_of_blocks",
    "RENEW_EVERY", "newer_fields", "renewed", "record_position", "span_positions", "stamps_span",
    "PlayAxis", "StampTimes", "StoredTimes", "as_times", "duration_seconds", "play_product_seconds", "play_seconds",
    "play_span",
    "product_seconds", "seconds_between", "span_seconds", "stamp_times",
    "json_text",
]
