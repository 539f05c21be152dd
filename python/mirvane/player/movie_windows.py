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
beyond play's state is looked up by the frame's time (``picture``), as ever.

Each window is made from a ``Cut``, the products its frames show, taken from the record's
products read once, in turn (``Cuts``): those before are applied to the state and let go, so a
movie of a long recording, whole or a clip, holds a window's products at a time and no more.
"""

import math
from bisect import bisect_left
from collections import deque
from dataclasses import dataclass, field
from typing import Deque, Dict, Iterable, Iterator, List, Optional, Tuple

from dravik.api import data_pb2, system_pb2

from ..records import RENEW_EVERY, play_seconds, renewed
from ..scene import apply, kind_of
from ..sightings import ItemsSeen

#: Frames of a movie played at a time: 15 s of record at 10 frames a second and speed 1 (a window's
#: products are held twice, in its record and in play's states).
WINDOW_FRAMES = 150
#: How far before its frame's time a product shown with a later one is stamped (at most).
_BEFORE_NS = 1000

Placed = Tuple[int, data_pb2.Product]


@dataclass
class Cut:
    """Some of a record's products in order: ``record`` holds them, starting in the whole record's
    state before them, and ``times`` their times on play's axis of the whole record; what came
    before them is ``latest`` (the latest product of each kind, with its
    position), ``reports`` (each robot's latest controller report) and ``seen`` (``ItemsSeen``)."""
    record: data_pb2.Record
    times: List[float] = field(default_factory=list)
    latest: Dict[str, Placed] = field(default_factory=dict)
    reports: Dict[str, system_pb2.Controller] = field(default_factory=dict)
    seen: ItemsSeen = field(default_factory=ItemsSeen)


class Cuts:
    """Cuts of a record in time order (its ``header`` and ``products``, read once, in turn): each
    from where the last left off, those before it applied to the state and not kept."""

    def __init__(self, header: data_pb2.Record, products: Iterable[data_pb2.Product]) -> None:
        self._header, self._products = data_pb2.Record(), enumerate(products)
        self._header.CopyFrom(header)
        del self._header.products[:]    # a whole record's, when it is given whole
        self._ahead: Deque[Placed] = deque()    # read, and in the last cut
        self._before = Cut(header)      # what the products applied so far leave
        self._state = renewed(header.project.workspace.state)
        self._first_ns: Optional[int] = None

    def cut(self, low: float, high: float) -> Cut:
        """The products play's nearest-product rule can show from ``low`` to ``high`` seconds on its
        axis (at or after the last cut's ``low``): from the first of the time of the last at or before
        ``low`` to the first after ``high`` (or the last)."""
        group: List[Placed] = []    # the products of the latest time at or before ``low``
        group_time = -math.inf
        kept: Optional[List[Placed]] = None
        for placed in self._placed():
            t = play_seconds(self._first_ns or 0, placed[1].timestamp_ns)
            if kept is None and t <= low:
                if t != group_time:
                    for earlier in group:
                        self._take(earlier)
                    group, group_time = [], t
                group.append(placed)
                continue
            kept = group if kept is None else kept
            kept.append(placed)
            if t > high:
                break
        kept = group if kept is None else kept
        self._ahead.extendleft(reversed(kept))
        record = data_pb2.Record()
        record.CopyFrom(self._header)
        record.project.workspace.state.CopyFrom(self._state)
        record.products.extend(product for _, product in kept)
        before = self._before
        return Cut(record, [play_seconds(self._first_ns or 0, product.timestamp_ns) for _, product in kept],
                   dict(before.latest), dict(before.reports), before.seen.copy())

    def _placed(self) -> Iterator[Placed]:
        while self._ahead:
            yield self._ahead.popleft()
        for placed in self._products:
            self._first_ns = placed[1].timestamp_ns if self._first_ns is None else self._first_ns
            yield placed

    def _take(self, placed: Placed) -> None:
        """Apply the product ``placed`` at its position, noting what it leaves."""
        position, product = placed
        apply(product, self._state)
        self._before.seen.apply(product)
        kind = kind_of(product)
        if kind is not None:
            self._before.latest[kind] = placed
        if kind == "controller" and product.controller.robot:
            self._before.reports[product.controller.robot] = product.controller
        if (position + 1) % RENEW_EVERY == 0:
            self._state = renewed(self._state)


def windowed(header: data_pb2.Record, products: Iterable[data_pb2.Product], frames: range, speed: float,
             fps: int) -> Iterator[Tuple[range, data_pb2.Record, Cut]]:
    """The windows of ``frames`` (numbers of the frames of the whole movie of a record in time
    order, its ``header`` and ``products``, read once) with the record each is played from and
    the cut of the record it shows. Frames too close for stamps to tell apart: see ``windowable``."""
    cuts = Cuts(header, products)
    for first in range(frames.start, frames.stop, WINDOW_FRAMES):
        window = range(first, min(first + WINDOW_FRAMES, frames.stop))
        cut = cuts.cut(speed * window.start / fps, speed * (window.stop - 1) / fps)
        played = _window(cut, window, speed, fps, min(_BEFORE_NS, _step_ns(speed, fps) // 4))
        yield window, played, cut


def windowable(record: Optional[data_pb2.Record], speed: float, fps: int) -> bool:
    """Whether a movie of ``record`` (if given; else one known to be in time order) can be played
    in windows: its stamps in time order and its frames far enough apart for a window's stamps."""
    if record is not None:
        stamps = [product.timestamp_ns for product in record.products]
        if any(later < earlier for earlier, later in zip(stamps, stamps[1:])):
            return False
    return _step_ns(speed, fps) >= 4


def _step_ns(speed: float, fps: int) -> int:
    return int(speed / fps * 1e9)


def _window(cut: Cut, window: range, speed: float, fps: int, before_ns: int) -> data_pb2.Record:
    """The record ``window`` (frames of the movie) is played from, made of ``cut``, which holds what
    its frames show."""
    times, products = cut.times, cut.record.products
    played = data_pb2.Record()
    played.project.CopyFrom(cut.record.project)
    played.products.add(timestamp_ns=0)
    applied = 0
    carried = [product for _, product in sorted(cut.latest.values(), key=lambda placed: placed[0])]
    for j, k in enumerate(window, 1):
        shown = _nearest(times, speed * k / fps)
        at_ns = round(speed * j / fps * 1e9)
        for product in carried + list(products[applied:shown + 1]):
            played.products.add().CopyFrom(product)
            played.products[-1].timestamp_ns = at_ns - before_ns
        carried = []
        if shown < applied:     # nothing new: an empty product holds the state
            played.products.add()
        played.products[-1].timestamp_ns = at_ns
        applied = max(applied, shown + 1)
    played.start_timestamp_ns = 0
    played.stop_timestamp_ns = played.products[-1].timestamp_ns
    return played


def _nearest(times: List[float], t: float) -> int:
    """The product play shows at ``t`` of a record whose ``times`` are in order: the nearest, the
    first of a time, the earlier of two as near (as ``player.clock.nearest`` finds it)."""
    after = bisect_left(times, t)
    if after == len(times) or (after and t - times[after - 1] <= times[after] - t):
        return bisect_left(times, times[after - 1])
    return after
