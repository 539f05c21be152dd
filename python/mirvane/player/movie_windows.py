"""A movie's frames played a window at a time, each window a record of its own.

``Replay.play`` keeps the state after every product of the record it plays, so a long record
played whole holds a state per product. A movie is played instead in windows of
``WINDOW_FRAMES`` of its frames: each window a record whose play shows, at its frames 1 to n, the
states the whole record's play shows at the window's frames. Its start state is the whole
record's after the product shown before the window; its products, after an empty one that starts
its clock a frame early, are those that follow up to each frame's product (the latest decision,
plan, perception and controller report before them go first, as play's state holds them), the
last of each frame's stamped on that frame's time and the others just before it, so that play shows
exactly that product there (an empty product where a frame shows nothing new). What is drawn
beyond play's state is looked up in the whole record by the frame's time (``picture``), as ever.
"""

from bisect import bisect_left
from typing import Dict, Iterator, List, Optional, Tuple

from dravik.api import data_pb2

from ..records import RENEW_EVERY, play_product_seconds, renewed
from ..scene import apply, kind_of

#: Frames of a movie played at a time: 15 s of record at 10 frames a second and speed 1 (a window's
#: products are held twice, in its record and in play's states).
WINDOW_FRAMES = 150
#: How far before its frame's time a product shown with a later one is stamped (at most).
_BEFORE_NS = 1000


def windowed(record: data_pb2.Record, frames: range, speed: float, fps: int
             ) -> Optional[Iterator[Tuple[range, data_pb2.Record]]]:
    """The windows of ``frames`` (numbers of the frames of the whole movie of ``record``) with the
    record each is played from; None when the record's stamps are out of order or its frames too
    close for stamps to tell apart, and it is played whole."""
    stamps = [product.timestamp_ns for product in record.products]
    step_ns = int(speed / fps * 1e9)
    if any(later < earlier for earlier, later in zip(stamps, stamps[1:])) or step_ns < 4:
        return None
    return _windows(record, frames, speed, fps, min(_BEFORE_NS, step_ns // 4))


def _windows(record: data_pb2.Record, frames: range, speed: float, fps: int, before_ns: int
             ) -> Iterator[Tuple[range, data_pb2.Record]]:
    times = play_product_seconds(record)
    products = record.products
    state = renewed(record.project.workspace.state)     # after the products before ``applied``
    applied = 0
    latest: Dict[str, int] = {}     # the position of the latest product of each kind applied
    for first in range(frames.start, frames.stop, WINDOW_FRAMES):
        window = range(first, min(first + WINDOW_FRAMES, frames.stop))
        played = data_pb2.Record()
        played.project.CopyFrom(record.project)
        played.project.workspace.state.CopyFrom(state)
        played.products.add(timestamp_ns=0)
        carried = sorted(latest.values())
        for j, k in enumerate(window, 1):
            shown = _nearest(times, speed * k / fps)
            at_ns = round(speed * j / fps * 1e9)
            for position in carried + list(range(applied, shown + 1)):
                played.products.add().CopyFrom(products[position])
                played.products[-1].timestamp_ns = at_ns - before_ns
            carried = []
            if shown < applied:     # nothing new: an empty product holds the state
                played.products.add()
            played.products[-1].timestamp_ns = at_ns
            for position in range(applied, shown + 1):
                apply(products[position], state)
                latest[kind_of(products[position]) or ""] = position
                applied += 1
                if applied % RENEW_EVERY == 0:
                    state = renewed(state)
        latest.pop("", None)
        played.start_timestamp_ns = 0
        played.stop_timestamp_ns = played.products[-1].timestamp_ns
        yield window, played


def _nearest(times: List[float], t: float) -> int:
    """The product play shows at ``t`` of a record whose ``times`` are in order: the nearest, the
    first of a time, the earlier of two as near (as ``player.clock.nearest`` finds it)."""
    after = bisect_left(times, t)
    if after == len(times) or (after and t - times[after - 1] <= times[after] - t):
        return bisect_left(times, times[after - 1])
    return after
