"""The one time base: a record's times in seconds after its first product.

What users see (events, series, the player's status, metrics, comparisons) is exact: the integer
difference of stamps in seconds, ``(stamp - first) / 1e9``, the float nearest the nanoseconds.
``Replay.play`` measures its own axis as ``1e-9 * stamp - 1e-9 * first``, a little off that; what
drives or imitates play (the time the player's clock hands it, a movie's frames) uses play's axis,
converting with ``PlayAxis``.
"""

from typing import Callable, List

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


#: Stops a step walks one by one; farther, it counts them all.
_WALKED_STOPS = 64


class PlayAxis:
    """Times between play's axis and the exact one, for products whose times on each are ``played``
    and ``exact``: a product's time maps to its own on the other axis, a time between two products
    to the same fraction of the way between them, a time beyond them by the offset of the nearer end.
    Stamps closer than play's float resolution share a time on its axis: the first stands for them
    (a *stop*). Times given in order are kept as given, not copied (an hours-long run's are large):
    the stops are found among them by binary search."""

    def __init__(self, played: npt.ArrayLike, exact: npt.ArrayLike) -> None:
        exact_sorted, played_sorted = np.asarray(exact, dtype=float), np.asarray(played, dtype=float)
        #: Whether the times never go back: then the arrays given are kept, not copied.
        self.ordered = bool(np.all(exact_sorted[1:] >= exact_sorted[:-1]))
        if not self.ordered:
            order = np.argsort(exact_sorted, kind="stable")
            exact_sorted, played_sorted = exact_sorted[order], played_sorted[order]
        self._played: "npt.NDArray[np.float64]" = played_sorted
        self._exact: "npt.NDArray[np.float64]" = exact_sorted
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
        if abs(stops) > _WALKED_STOPS:      # a long way: counted on the stops, found at once
            firsts = np.flatnonzero(np.diff(self._played, prepend=-np.inf) > 0)
            rank = int(np.searchsorted(firsts, at)) + stops
            return float(self._exact[firsts[min(max(rank, 0), len(firsts) - 1)]])
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
