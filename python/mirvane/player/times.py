"""A record's product times: exact, and as ``Replay.play`` computes them, from its products or, a
spooled record's, from its stamps alone; and the product play shows at a time."""

from typing import Any, NamedTuple, Optional

import numpy as np
import numpy.typing as npt

from ..records import play_product_seconds, product_seconds, stamp_times


def product_times(record: Any) -> Any:
    """The record's product times in seconds after its first product, computed as ``Replay.play``
    does: a float array, or a spooled record's, computed from its stamps when read (``records.StampTimes``)."""
    stamps = getattr(record, "stamps", None)    # a spooled record's, without reading its products
    if stamps is not None:
        return stamp_times(stamps, play=True)
    return np.asarray(play_product_seconds(record), dtype=np.float64)


def exact_times(record: Any) -> Any:
    """The record's product times in seconds after its first product, exact to the stamps'
    nanosecond: a float array, or a spooled record's as ``product_times`` gives them."""
    stamps = getattr(record, "stamps", None)
    if stamps is not None:
        return stamp_times(stamps)
    return np.asarray(product_seconds(record), dtype=np.float64)


class RunTimes(NamedTuple):
    """A run a clock plays: its products' exact times, where its time 0 falls on the clock, and
    the same products' times on play's axis (by default, ``times`` themselves)."""
    times: npt.ArrayLike
    shift: float = 0.0
    played: Optional[npt.ArrayLike] = None

    @classmethod
    def of(cls, record: Any, shift: float = 0.0) -> "RunTimes":
        return cls(exact_times(record), shift, product_times(record))


def nearest(times: "np.ndarray[Any, np.dtype[np.float64]]", position: float, ordered: bool = False) -> int:
    """The product play shows at ``position``: its own choice, the nearest (the first of a time).
    ``ordered``: ``times`` are known not to go back, so that it is found without a pass over them."""
    if not ordered or not len(times):
        return int(np.argmin(np.abs(position - np.asarray(times))))
    after = int(np.searchsorted(times, position, side="left"))
    near = [i for i in (after - 1, after) if 0 <= i < len(times)]
    best = min(near, key=lambda i: (abs(position - times[i]), i))
    return int(np.searchsorted(times, times[best], side="left"))    # the first of its time
