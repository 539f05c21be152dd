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


class PlayAxis:
    """Times between play's axis and the exact one, for products whose times on each are ``played``
    and ``exact``: a product's time maps to its own on the other axis, a time between two products
    to the same fraction of the way between them, a time beyond them by the offset of the nearer end."""

    def __init__(self, played: npt.ArrayLike, exact: npt.ArrayLike) -> None:
        exact_sorted, played_sorted = np.asarray(exact, dtype=float), np.asarray(played, dtype=float)
        #: Whether the times never go back: then the arrays given are kept, not copied.
        self.ordered = bool(np.all(exact_sorted[1:] >= exact_sorted[:-1]))
        if not self.ordered:
            order = np.argsort(exact_sorted, kind="stable")
            exact_sorted, played_sorted = exact_sorted[order], played_sorted[order]
        # Stamps closer than play's float resolution share a time on its axis: the first stands for them.
        kept = np.concatenate(([True], played_sorted[1:] > played_sorted[:-1])) if len(played_sorted) else \
            np.zeros(0, bool)
        if not kept.all():
            exact_sorted, played_sorted = exact_sorted[kept], played_sorted[kept]
        self._played: "npt.NDArray[np.float64]" = played_sorted
        self._exact: "npt.NDArray[np.float64]" = exact_sorted

    @property
    def stops(self) -> "npt.NDArray[np.float64]":
        """The exact times of the products play tells apart, in order: one for each of its times."""
        return self._exact

    @classmethod
    def of(cls, record: data_pb2.Record) -> "PlayAxis":
        return cls(play_product_seconds(record), product_seconds(record))

    def exact(self, played_s: float) -> float:
        """The exact time at ``played_s`` on play's axis."""
        return _mapped(played_s, self._played, self._exact)

    def played(self, exact_s: float) -> float:
        """Play's time at the exact time ``exact_s``."""
        return _mapped(exact_s, self._exact, self._played)


def _mapped(t: float, xs: "npt.NDArray[np.float64]", ys: "npt.NDArray[np.float64]") -> float:
    """``t`` on the axis of ``xs`` onto that of ``ys`` (the same points)."""
    if not len(xs):
        return float(t)
    if t < xs[0]:
        return float(t + (ys[0] - xs[0]))
    if t > xs[-1]:
        return float(t + (ys[-1] - xs[-1]))
    return float(np.interp(t, xs, ys))


def _span(record: data_pb2.Record, between: Callable[[int, int], float]) -> float:
    products = record.products
    return between(products[0].timestamp_ns, products[-1].timestamp_ns) if products else 0.0
