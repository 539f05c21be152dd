"""Which records and products a position or a span of time names."""

import os
from typing import Callable, Iterable

from dravik.api import data_pb2

from .errors import PathLike, RecordIndexError
from .timebase import seconds_between


def record_position(index: int, count: int, stop_times: Callable[[], Iterable[int]], path: PathLike) -> int:
    """The position of the record that ``index`` names among ``count`` records, as ``Replay.play`` picks it.

    A position counts from the start, a negative one from the end, except -1:
    the record with the greatest stop time (the first of equal ones), which
    ``stop_times()`` gives in record order and is asked only then.
    Raises ``RecordIndexError``, naming ``path``, when there is no such record.
    """
    if index == -1 and count > 1:     # one record is the one, its stop time unread
        stops = list(stop_times())
        return stops.index(max(stops))
    if -count <= index < count:
        return index % count
    name = os.fspath(path)
    if not count:
        held = "holds no records; give a recording that has some"
        raise RecordIndexError(path, f"index {index}: {held}", f"index {index} is out of range: {name} {held}")
    choices = ["0" if count == 1 else f"0 to {count - 1}"]
    if count > 1:
        choices.append(f"-{count} to -2 counting from the end" if count > 2 else "-2 counting from the end")
    held = (f"has {count} record{'s' * (count != 1)}; give {', '.join(choices)}, "
            "or -1 for the one that stopped last")
    raise RecordIndexError(path, f"index {index}: {held}", f"index {index} is out of range: {name} {held}")


def span_positions(record: data_pb2.Record, start_s: float, end_s: float) -> range:
    """The positions of the record's products within a span: from the first stamped at or after
    ``start_s`` to the last stamped at or before ``end_s`` (seconds as ``product_seconds`` gives)."""
    return stamps_span((product.timestamp_ns for product in record.products), start_s, end_s)


def stamps_span(stamps: Iterable[int], start_s: float, end_s: float) -> range:
    """``span_positions`` of a record whose products are stamped ``stamps``, taken one at a time."""
    begin = end = None
    count = 0
    first_ns = 0
    for count, stamp in enumerate(stamps, 1):
        if count == 1:
            first_ns = stamp
        t = seconds_between(first_ns, stamp)
        if begin is None and t >= start_s:
            begin = count - 1
        if t <= end_s:
            end = count
    begin = count if begin is None else begin
    return range(begin, max(begin, end or 0))
