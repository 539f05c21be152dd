"""A record's product times: exact, and as ``Replay.play`` computes them, from its products or, a
spooled record's, from its stamps alone; and the product play shows at a time."""

from typing import Any, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from ..formats.spool_index import StoredColumn
from ..records import StampTimes, StoredTimes, play_product_seconds, product_seconds, stamp_times

# Products of each run merged at a time onto disk.
_STRETCH = 1 << 16


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


def merged_times(runs: Sequence[RunTimes]) -> Tuple[Any, Any]:
    """The products of ``runs`` on one clock, each run's times moved by its shift: their exact times
    in order, and their times on play's axis in that order (``_clock_played``). Spooled
    runs in order are merged a stretch at a time onto disk (``StoredTimes``), as hours of them
    would not fit; others in memory."""
    exact_of: List[Any] = [run.times for run in runs]
    played: List[Any] = [run.times if run.played is None else run.played for run in runs]
    if not all(isinstance(times, StampTimes) and times.ordered for times in exact_of):
        times = np.concatenate([np.asarray(run.times, dtype=float) + run.shift for run in runs])
        order = np.argsort(times, kind="stable")
        return times[order], _clock_played(times[order], np.concatenate([np.asarray(own, dtype=float) + run.shift
                                                                         for run, own in zip(runs, played)])[order])
    exact_out, played_out = StoredColumn("mirvane-times-"), StoredColumn("mirvane-played-")
    at, latest = [0] * len(runs), (-np.inf, -np.inf)
    while True:
        left = [n for n, times in enumerate(exact_of) if at[n] < len(times)]
        if not left:
            return StoredTimes(exact_out.stamps()), StoredTimes(played_out.stamps())
        stretches = {n: np.asarray(exact_of[n][at[n]:at[n] + _STRETCH], dtype=float) + runs[n].shift for n in left}
        # All up to the least last time read is final: products after it at that time are one
        # with those before on the clock (``_clock_played``), whichever run they come from.
        bound = min(stretch[-1] for stretch in stretches.values())
        taken = {n: int(np.searchsorted(stretch, bound, side="right")) for n, stretch in stretches.items()}
        exact = np.concatenate([stretches[n][:taken[n]] for n in left])
        order = np.argsort(exact, kind="stable")
        exact = exact[order]
        stretch = _clock_played(exact, np.concatenate([np.asarray(played[n][at[n]:at[n] + taken[n]], dtype=float)
                                                       + runs[n].shift for n in left])[order], latest)
        exact_out.add(exact.view(np.int64))
        played_out.add(stretch.view(np.int64))
        latest = exact[-1], stretch[-1]
        for n in left:
            at[n] += taken[n]


def _clock_played(exact: "npt.NDArray[np.float64]", played: "npt.NDArray[np.float64]",
                  before: Tuple[float, float] = (-np.inf, -np.inf)) -> "npt.NDArray[np.float64]":
    """Two runs' times on play's axis, in the order of their ``exact`` times (after ``before``, the
    last of each), held from going back and one at each exact time (its first's): each run rounds
    its own way, so that products at one time or nearly may come apart, or in the other order, on
    that axis, which the clock searches and steps by."""
    exact, played = np.concatenate(([before[0]], exact)), np.maximum.accumulate(np.concatenate(([before[1]], played)))
    new = np.concatenate(([True], exact[1:] != exact[:-1]))
    held: "npt.NDArray[np.float64]" = played[np.flatnonzero(new)][np.cumsum(new) - 1][1:]
    return held


def nearest(times: "np.ndarray[Any, np.dtype[np.float64]]", position: float, ordered: bool = False) -> int:
    """The product play shows at ``position``: its own choice, the nearest (the first of a time).
    ``ordered``: ``times`` are known not to go back, so that it is found without a pass over them."""
    if not ordered or not len(times):
        return int(np.argmin(np.abs(position - np.asarray(times))))
    after = int(np.searchsorted(times, position, side="left"))
    near = [i for i in (after - 1, after) if 0 <= i < len(times)]
    best = min(near, key=lambda i: (abs(position - times[i]), i))
    return int(np.searchsorted(times, times[best], side="left"))    # the first of its time
