"""Where the exports put records: one after another on one time axis.

A record keeps its own time stamps unless it would start before the record
before it has ended (or before 0, for the first); then the whole record moves
later, just past it. One file keeps one recording one thing to open and scrub,
its records never overlap, and a plot over time lines up with the real clock.
A format's axis holds times from 0 to ``latest`` and may move a record by at
most ``most_offset`` (if it says): a record that cannot be placed is refused, naming the
record and the stamp, so that an export never writes times it cannot hold.
"""

from typing import Iterable, Optional, Type

import numpy as np
import numpy.typing as npt

from ..records import DataFileError


class Stamps:
    """The earliest and latest of a record's product stamps and the first products stamped so,
    gathered a product at a time."""

    def __init__(self, stamps: Iterable[int] = ()) -> None:
        self.count = 0
        self.begin = self.end = 0
        self.begin_at = self.end_at = 0
        for stamp in stamps:
            self.add(stamp)

    def add(self, stamp: int) -> None:
        if not self.count or stamp < self.begin:
            self.begin, self.begin_at = stamp, self.count
        if not self.count or stamp > self.end:
            self.end, self.end_at = stamp, self.count
        self.count += 1

    def add_many(self, stamps: "npt.NDArray[np.int64]") -> None:
        """``add`` of each of ``stamps`` in turn."""
        if not len(stamps):
            return
        least, most = int(stamps.argmin()), int(stamps.argmax())     # the first of equals, as ``add`` keeps
        if not self.count or stamps[least] < self.begin:
            self.begin, self.begin_at = int(stamps[least]), self.count + least
        if not self.count or stamps[most] > self.end:
            self.end, self.end_at = int(stamps[most]), self.count + most
        self.count += len(stamps)


class Timeline:
    """A format's time axis (``axis`` names it in errors), records placed on it in turn; ``error`` is
    what a record that cannot be placed raises."""

    def __init__(self, path: str, axis: str, latest: int, most_offset: Optional[int] = None,
                 error: Type[DataFileError] = DataFileError) -> None:
        self._path, self._axis, self._latest, self._error = path, axis, latest, error
        self._most_offset = most_offset
        self._end = -1      # the latest time placed so far

    def place(self, stamps: Stamps, start_ns: int, position: int) -> int:
        """How much later than its stamps the record at ``position`` of the recording (its products'
        ``stamps``, its start ``start_ns``) lies on the axis."""
        begin = stamps.begin if stamps.count else start_ns
        end = stamps.end if stamps.count else begin
        first = self._end < 0
        offset = max(0, self._end + 1 - begin)
        alone = "" if first else f"; export it alone (--index {position})"
        if self._most_offset is not None and offset > self._most_offset:
            where = f"product {stamps.begin_at} is" if stamps.count else "start is"
            reach = (f"earlier than {self._axis} reaches (from {-self._most_offset} ns)" if first else
                     f"too long before the end of the record before it for {self._axis} to hold it after that")
            raise self._error(self._path, f"record {position}'s {where} stamped {begin} ns, {reach}{alone}")
        if end + offset > self._latest:
            where = f"product {stamps.end_at} is" if stamps.count else "start is"
            why = "to start at 0" if first else "to follow the record before it"
            raise self._error(self._path, f"record {position}'s {where} stamped {end} ns, beyond {self._axis} "
                                f"(up to {self._latest} ns) once the record moves {offset} ns later {why}{alone}")
        self._end = end + offset
        return offset
