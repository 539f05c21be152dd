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

The windows are made from a ``Cut``: the whole record, or the products a span of the movie needs
(``cut_between``, read in one pass over a record's products, the others only applied to its state),
so a clip of a long recording holds its own span's products and no more.
"""

import math
from bisect import bisect_left
from dataclasses import dataclass, field
from typing import Dict, Iterable, Iterator, List, Optional, Tuple

from dravik.api import data_pb2, system_pb2

from ..records import RENEW_EVERY, play_product_seconds, play_seconds, renewed
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
    """Some of a record's products in order, from ``offset`` on: ``record`` holds them, starting in
    the whole record's state before them, and ``times`` their times on play's axis of the whole
    record; what came before them is ``latest`` (the latest product of each kind, with its
    position), ``reports`` (each robot's latest controller report) and ``seen`` (``ItemsSeen``)."""
    record: data_pb2.Record
    times: List[float] = field(default_factory=list)
    offset: int = 0
    latest: Dict[str, Placed] = field(default_factory=dict)
    reports: Dict[str, system_pb2.Controller] = field(default_factory=dict)
    seen: ItemsSeen = field(default_factory=ItemsSeen)

    @classmethod
    def whole(cls, record: data_pb2.Record) -> "Cut":
        return cls(record, play_product_seconds(record))


def cut_between(header: data_pb2.Record, products: Iterable[data_pb2.Product], low: float, high: float) -> Cut:
    """The products (of a record in time order: its ``header`` and ``products``) that play's
    nearest-product rule can show from ``low`` to ``high`` seconds on its axis: from the first of
    the time of the last at or before ``low`` to the first after ``high`` (or the last). Those before
    are applied to the state, one at a time, and not kept; the products after are not read."""
    before = Cut(header)
    state = renewed(header.project.workspace.state)
    group: List[Placed] = []    # the products of the latest time at or before ``low``
    group_time = -math.inf
    kept: List[data_pb2.Product] = []
    offset, first_ns = None, 0
    for position, product in enumerate(products):
        first_ns = first_ns if position else product.timestamp_ns
        t = play_seconds(first_ns, product.timestamp_ns)
        if offset is None and t <= low:
            if t != group_time:
                for placed in group:
                    state = _taken(before, placed, state)
                group, group_time = [], t
            group.append((position, product))
            continue
        if offset is None:
            offset, kept = (group[0][0] if group else position), [earlier for _, earlier in group]
        kept.append(product)
        if t > high:
            break
    if offset is None:      # every product at or before ``low``
        offset, kept = (group[0][0] if group else 0), [earlier for _, earlier in group]
    before.record = data_pb2.Record()
    before.record.CopyFrom(header)
    before.record.project.workspace.state.CopyFrom(state)
    before.record.products.extend(kept)
    before.times = [play_seconds(first_ns, product.timestamp_ns) for product in kept]
    before.offset = offset
    return before


def _taken(cut: Cut, placed: Placed, state: system_pb2.WorkspaceState) -> system_pb2.WorkspaceState:
    """``state`` (renewed now and then) after the product ``placed`` at its position, noted in what ``cut`` comes after."""
    position, product = placed
    apply(product, state)
    cut.seen.apply(product)
    kind = kind_of(product)
    if kind is not None:
        cut.latest[kind] = placed
    if kind == "controller" and product.controller.robot:
        cut.reports[product.controller.robot] = product.controller
    return renewed(state) if (position + 1) % RENEW_EVERY == 0 else state


def windowed(record: Optional[data_pb2.Record], frames: range, speed: float, fps: int,
             cut: Optional[Cut] = None) -> Optional[Iterator[Tuple[range, data_pb2.Record]]]:
    """The windows of ``frames`` (numbers of the frames of the whole movie of ``record``) with the
    record each is played from, made from ``cut`` (a ``Cut`` of ``record`` holding what the frames
    show; by default all of it); None when the record's stamps are out of order or its frames too
    close for stamps to tell apart, and it is played whole."""
    if cut is None and record is not None:
        stamps = [product.timestamp_ns for product in record.products]
        if any(later < earlier for earlier, later in zip(stamps, stamps[1:])):
            return None
        cut = Cut.whole(record)
    if cut is None or not windowable(speed, fps):
        return None
    return _windows(cut, frames, speed, fps, min(_BEFORE_NS, _step_ns(speed, fps) // 4))


def windowable(speed: float, fps: int) -> bool:
    """Whether frames ``speed / fps`` seconds apart are far enough apart for a window's stamps."""
    return _step_ns(speed, fps) >= 4


def _step_ns(speed: float, fps: int) -> int:
    return int(speed / fps * 1e9)


def _windows(cut: Cut, frames: range, speed: float, fps: int, before_ns: int
             ) -> Iterator[Tuple[range, data_pb2.Record]]:
    times, products, record = cut.times, cut.record.products, cut.record
    state = renewed(record.project.workspace.state)     # after the products before ``applied``
    applied = 0
    latest = dict(cut.latest)   # the latest product of each kind applied, with its position
    for first in range(frames.start, frames.stop, WINDOW_FRAMES):
        window = range(first, min(first + WINDOW_FRAMES, frames.stop))
        played = data_pb2.Record()
        played.project.CopyFrom(record.project)
        played.project.workspace.state.CopyFrom(state)
        played.products.add(timestamp_ns=0)
        carried = [product for _, product in sorted(latest.values(), key=lambda placed: placed[0])]
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
            for position in range(applied, shown + 1):
                apply(products[position], state)
                latest[kind_of(products[position]) or ""] = cut.offset + position, products[position]
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
