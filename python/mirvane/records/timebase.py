"""The one time base: a record's times in seconds after its first product.

What users see (events, series, the player's status, metrics, comparisons) is exact: the integer
difference of stamps in seconds, ``(stamp - first) / 1e9``, the float nearest the nanoseconds.
``Replay.play`` measures its own axis as ``1e-9 * stamp - 1e-9 * first``, a little off that; what
drives or imitates play (the time the player's clock hands it, a movie's frames) uses play's axis,
converting with ``PlayAxis``.
"""

from typing import Any, Callable, List, Literal

import numpy as np
import numpy.typing as npt
from dravik.api import data_pb2


def seconds_between(first_ns: int, stamp_ns: int) -> float:
    """Seconds from the stamp ``first_ns`` to ``stamp_ns``, exact to the nanosecond."""
    return duration_seconds(stamp_ns - first_ns)


def duration_seconds(nanoseconds: int) -> float:
    """A length of time in nanoseconds (a difference of stamps, worked out exactly) in seconds."""
    return int(nanoseconds) / 1e9


def span_seconds(record: data_pb2.Record) -> float:
    """Seconds from the record's first product to its last (0 if none)."""
    return _span(record, seconds_between)


def product_seconds(record: data_pb2.Record) -> List[float]:
    """Each product's time, in seconds after the record's first product."""
    return _times(record, seconds_between)


def play_seconds(first_ns: int, stamp_ns: int) -> float:
    """Seconds from ``first_ns`` to ``stamp_ns`` as ``Replay.play`` computes them."""
    return float(1e-9 * stamp_ns - 1e-9 * first_ns)


def play_span(record: data_pb2.Record) -> float:
    """``span_seconds`` as ``Replay.play`` computes it: where its clock ends."""
    return _span(record, play_seconds)


def play_product_seconds(record: data_pb2.Record) -> List[float]:
    """``product_seconds`` as ``Replay.play`` computes them."""
    return _times(record, play_seconds)


def _times(record: data_pb2.Record, between: Callable[[int, int], float]) -> List[float]:
    if not record.products:
        return []
    first_ns = record.products[0].timestamp_ns
    return [between(first_ns, product.timestamp_ns) for product in record.products]


#: Stops a step walks one by one; farther, it counts them a stretch of products at a time.
_WALKED_STOPS = 64
_STRETCH = 1 << 16


class StampTimes:
    """A run's product times on one axis (exact, or play's: ``play``), computed from its stamps
    when read rather than held: ``stamps`` reads as a sequence of int64 (by position, slice or
    positions), in blocks (``block_firsts``, ``block``) and says whether it is ``ordered``, as a
    spooled record's do (``formats.spool_index.Stamps``). Read as a float array is, and searched
    by ``np.searchsorted`` a block at a time; ``np.asarray`` computes them all."""

    def __init__(self, stamps: Any, play: bool = False) -> None:
        self._stamps, self._play = stamps, play
        self._first = int(stamps[0]) if len(stamps) else 0

    def _of(self, stamps: Any) -> "npt.NDArray[np.float64]":
        values = np.asarray(stamps, dtype=np.int64)
        if self._play:
            return 1e-9 * values.astype(float) - 1e-9 * float(self._first)
        return (values - self._first) / 1e9

    @property
    def ordered(self) -> bool:
        return bool(self._stamps.ordered)

    def __len__(self) -> int:
        return len(self._stamps)

    def __getitem__(self, at: Any) -> Any:
        if isinstance(at, (int, np.integer)):
            return self._of([self._stamps[at]])[0]
        return self._of(self._stamps[at])

    def __array__(self, dtype: Any = None, copy: Any = None) -> "npt.NDArray[np.float64]":
        values = self._of(np.asarray(self._stamps))
        return values if dtype is None else values.astype(dtype)

    def searchsorted(self, value: Any, side: "Literal['left', 'right']" = "left", sorter: Any = None) -> Any:
        return _searched(self._stamps, value, side, self._of)


class StoredTimes(StampTimes):
    """Times kept as they are, as the bits of float64s in a column read as stamps are (a
    ``formats.spool_index.StoredColumn``'s): a long axis worked out once, then read from disk."""

    def _of(self, stamps: Any) -> "npt.NDArray[np.float64]":
        return np.ascontiguousarray(stamps, dtype=np.int64).view(np.float64)


def _searched(stamps: Any, value: Any, side: "Literal['left', 'right']", mapped: Callable[[Any], Any]) -> Any:
    """Where ``value`` goes among ``mapped(stamps)`` (stamps in blocks, as ``StampTimes`` reads
    them; ``mapped`` never going down), as ``np.searchsorted`` finds it: among the blocks' first
    values, then within one block."""
    if np.ndim(value):
        return np.array([_searched(stamps, v, side, mapped) for v in np.ravel(value)], dtype=np.intp)
    block = int(np.searchsorted(mapped(stamps.block_firsts()), value, side=side)) - 1
    if block < 0:
        return 0
    return block * stamps.block_size + int(np.searchsorted(mapped(stamps.block(block)), value, side=side))


def stamp_times(stamps: Any, play: bool = False) -> Any:
    """The product times of ``stamps`` (exact, or play's): computed when read (``StampTimes``) from
    stamps read in blocks, at once from an array of them."""
    times = StampTimes(stamps, play)
    return times if hasattr(stamps, "block_firsts") else np.asarray(times)


def as_times(values: Any) -> Any:
    """Product times as given when they are computed on demand (``StampTimes``), else as a float array."""
    return values if isinstance(values, StampTimes) else np.asarray(values, dtype=float)


class PlayAxis:
    """Times between play's axis and the exact one, for products whose times on each are ``played``
    and ``exact``: a product's time maps to its own on the other axis, a time between two products
    to the same fraction of the way between them, a time beyond them by the offset of the nearer end.
    Stamps closer than play's float resolution share a time on its axis: the first stands for them
    (a *stop*). Times given in order are kept as given, not copied (an hours-long run's are large):
    the stops are found among them by binary search."""

    def __init__(self, played: npt.ArrayLike, exact: npt.ArrayLike) -> None:
        exact_sorted, played_sorted = as_times(exact), as_times(played)
        #: Whether the times never go back: then the times given are kept, not copied.
        self.ordered = exact_sorted.ordered if isinstance(exact_sorted, StampTimes) else \
            bool(np.all(exact_sorted[1:] >= exact_sorted[:-1]))
        if not self.ordered:
            exact_sorted, played_sorted = np.asarray(exact_sorted), np.asarray(played_sorted)
            order = np.argsort(exact_sorted, kind="stable")
            exact_sorted, played_sorted = exact_sorted[order], played_sorted[order]
        self._played: Any = played_sorted
        self._exact: Any = exact_sorted
        # The last stop: the first product of the last time on play's axis.
        self._last = self._stop_of(len(played_sorted) - 1) if len(played_sorted) else -1

    @classmethod
    def of(cls, record: data_pb2.Record) -> "PlayAxis":
        return cls(play_product_seconds(record), product_seconds(record))

    def exact(self, played_s: float) -> float:
        """The exact time at ``played_s`` on play's axis."""
        return self._mapped(played_s, self._played, self._exact)

    def played(self, exact_s: float) -> float:
        """Play's time at the exact time ``exact_s``."""
        return self._mapped(exact_s, self._exact, self._played)

    def step(self, exact_s: float, stops: int) -> float:
        """The exact time of the stop ``stops`` on (negative: back) from the first at or after
        ``exact_s`` (past the last: counted from beyond it), held at the first and the last."""
        if self._last < 0:
            return float(exact_s)
        at = int(np.searchsorted(self._exact, exact_s, side="left"))
        if abs(stops) > _WALKED_STOPS:      # a long way: the stops counted a stretch at a time
            return float(self._exact[self._counted(at, stops)])
        if 0 < at < len(self._exact) and self._played[at] == self._played[at - 1]:
            at = self._next_stop(at)        # within a stop: the next one is the first after
        for _ in range(abs(stops)):
            if stops > 0 and at < self._last:
                at = self._next_stop(at)
            elif stops < 0 and at > 0:
                at = self._stop_of(at - 1)
            else:
                break
        return float(self._exact[min(at, self._last)])

    def _counted(self, at: int, stops: int) -> int:
        """The stop ``stops`` on from the first at or after ``at`` (held at the first and the last)."""
        count = len(self._played)
        if stops > 0:       # the first stop at or after ``at`` is number 0
            wanted, low = stops, at
            while low < count:
                high = min(low + _STRETCH, count)
                found = self._stops_among(low, high)
                if wanted < len(found):
                    return int(found[wanted])
                wanted, low = wanted - len(found), high
            return self._last
        wanted, high = -stops, at   # the last stop before ``at`` is number 1 back
        while high > 0:
            low = max(high - _STRETCH, 0)
            found = self._stops_among(low, high)
            if wanted <= len(found):
                return int(found[-wanted])
            wanted, high = wanted - len(found), low
        return 0

    def _stops_among(self, low: int, high: int) -> "npt.NDArray[np.intp]":
        """The stops among products ``low`` to ``high``."""
        before = max(low - 1, 0)
        found = np.flatnonzero(np.diff(self._played[before:high]) > 0) + before + 1
        return np.concatenate(([0], found)) if low == 0 and high > 0 else found

    def _stop_of(self, position: int) -> int:
        """The stop of the product at ``position``: the first product at its time on play's axis."""
        return int(np.searchsorted(self._played, self._played[position], side="left"))

    def _next_stop(self, position: int) -> int:
        """The stop after that of the product at ``position`` (the end, after the last)."""
        return int(np.searchsorted(self._played, self._played[position], side="right"))

    def _mapped(self, t: float, xs: "npt.NDArray[np.float64]", ys: "npt.NDArray[np.float64]") -> float:
        """``t`` on the axis of ``xs`` (``_played`` or ``_exact``) onto that of ``ys``, through the stops."""
        if self._last < 0:
            return float(t)
        last = self._last
        if t < xs[0]:
            return float(t + (ys[0] - xs[0]))
        if t >= xs[last]:
            return float(t + (ys[last] - xs[last])) if t > xs[last] else float(ys[last])
        below = int(np.searchsorted(xs, t, side="right")) - 1    # the last product at or before t
        stop, after = self._stop_of(below), self._next_stop(below)
        return float(np.interp(t, xs[[stop, after]], ys[[stop, after]]))


def _span(record: data_pb2.Record, between: Callable[[int, int], float]) -> float:
    products = record.products
    return between(products[0].timestamp_ns, products[-1].timestamp_ns) if products else 0.0
