"""A record played in windows, so that what play rebuilds before its first picture is one window's
states, whatever the record's length.

``Replay.play`` rebuilds a state for every product of the record it plays before its first cycle
(some 2 ms a second of the sample cell's record: 7 s and gigabytes for an hour). A live replay
plays a record in windows instead: each a record of its own (the record's header, the workspace
state where the window starts, and its products), played by ``Replay.play`` as a whole record is.

``Keyframes`` is one pass over the record's products, applying the product rule
(``scene.apply``) as it goes: the products' stamps, and every ``window_s`` seconds a keyframe, the
system state there (the workspace and the latest part of each kind) and what a picture needs beyond it (each robot's latest report, where
perception last saw the items, ``picture.Picture``'s ``reports`` and ``seen``). A window runs from
one keyframe to the next. A record starts with a system state holding its workspace alone, so a
window leads in with a product for each part of its keyframe's system state, stamped a second before
the product before the window (never nearer a time the window shows than its own products): play
shows none of them, and applying them again leaves the workspace as it is (each the latest of its
kind). ``Windows`` builds a window from its keyframe (on a thread of its own, the
next one while the current plays) and says which window shows a time: window k shows the times
from midway between its first product and the one before it to midway between its last and the
one after, so that each product is shown by the window holding it, as play's nearest-product rule
over the whole record would. A record whose stamps go back in time is one window.
"""

import math
import threading
from array import array
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Callable, Dict, Iterable, List, Optional, Sequence

import numpy as np
import numpy.typing as npt
from dravik.api import data_pb2, system_pb2

from ..analysis.events import Event
from ..data import Data
from ..records import PlayAxis
from ..scene import KINDS, apply, cut_bounds, kind_of
from ..sightings import ItemsSeen
from .picture import Picture

#: Seconds of record a window holds. Play rebuilds a window's states before its first picture:
#: about 20 ms for 10 s of the sample cell (some 230 products a second), and building the window
#: (its products copied) about as long again.
WINDOW_S = 10.0
# How long before the product before a window its lead-in products are stamped.
_LEAD_NS = 1_000_000_000
# Windows kept built: the one playing, the next, and one to come back to.
_KEPT = 3

Products = Callable[[int, int], Iterable[data_pb2.Product]]


@dataclass(frozen=True)
class Keyframe:
    """Where a window starts: the position of its first product, the system state before it,
    each robot's latest report before it and where perception had last seen the items."""
    position: int
    state: system_pb2.SystemState
    reports: Dict[str, system_pb2.Controller]
    seen: ItemsSeen


class Keyframes:
    """One pass over ``products`` of a record (``header``, the record without its products): their
    stamps (8 bytes a product, and as many for each time axis the windows compute from them), and
    a ``Keyframe`` at the first product and then at the first product ``window_s`` seconds or more
    after the last keyframe's time slot began; only the first when stamps go back in time."""

    def __init__(self, header: data_pb2.Record, products: Iterable[data_pb2.Product],
                 window_s: float = WINDOW_S) -> None:
        if not window_s > 0:
            raise ValueError(f"a window must last a positive number of seconds, not {window_s!r}")
        step = int(window_s * 1e9) if math.isfinite(window_s) else None
        state = system_pb2.SystemState()
        state.workspace.CopyFrom(header.project.workspace.state)
        seen = ItemsSeen()
        reports: Dict[str, system_pb2.Controller] = {}
        stamps = array("q")
        self.keyframes: List[Keyframe] = []
        slot_end = None
        for position, product in enumerate(products):
            stamp = product.timestamp_ns
            if slot_end is None or (step is not None and stamp >= slot_end):
                self.keyframes.append(Keyframe(position, _copy(state), dict(reports), seen.copy()))
                first = stamps[0] if stamps else stamp
                slot_end = first + ((stamp - first) // step + 1) * step if step is not None else 0
            apply(product, state)
            seen.apply(product)
            if kind_of(product) == "controller" and product.controller.robot:
                reports[product.controller.robot] = product.controller
            stamps.append(stamp)
        self.stamps: "npt.NDArray[np.int64]" = np.asarray(stamps, dtype=np.int64)
        if np.any(np.diff(self.stamps) < 0):
            del self.keyframes[1:]
        #: Each product's exact time, seconds after the first (``records.timebase``).
        self.exact: "npt.NDArray[np.float64]" = (self.stamps - self.stamps[0]) / 1e9 if len(stamps) else \
            np.zeros(0)


@dataclass(frozen=True)
class Window:
    """One window of a record: ``record`` to play (a whole record of its own) in ``data``, the
    ``picture`` of its products, and the times (exact, on the whole record's axis) it shows: above
    ``low``, up to ``high``."""
    number: int
    record: data_pb2.Record
    data: Data
    picture: Picture
    low: float
    high: float
    axis: PlayAxis          # the whole record's exact times to the window's play axis
    played_end: float       # the window's end on its play axis

    def holds(self, seconds: float) -> bool:
        return self.low < seconds <= self.high

    def played(self, seconds: float) -> float:
        """The time play reads in this window for ``seconds`` of the whole record (exact)."""
        return self.axis.played(seconds)


class Windows:
    """The windows of ``record`` (its ``events`` on its own axis), each some ``window_s`` seconds;
    ``products(start, stop)`` gives the record's products at those positions (by default, its own)."""

    def __init__(self, record: data_pb2.Record, events: Sequence[Event], window_s: float = WINDOW_S,
                 products: Optional[Products] = None) -> None:
        self._header = header_of(record)
        self._events = tuple(events)
        self._products: Products = products or (lambda start, stop: record.products[start:stop])
        self.keyframes = Keyframes(self._header, record.products, window_s)
        frames, exact = self.keyframes.keyframes, self.keyframes.exact
        self._starts = [frame.position for frame in frames] + [len(exact)]
        # Window k shows the times up to ``_highs[k]``, the last window to the end and past it.
        self._highs = np.array([(exact[start - 1] + exact[start]) / 2 for start in self._starts[1:-1]], dtype=float)
        self._built: Dict[int, "Future[Window]"] = {}
        self._lock = threading.Lock()
        self._builder = ThreadPoolExecutor(max_workers=1, thread_name_prefix="mirvane-window")

    def __len__(self) -> int:
        return len(self.keyframes.keyframes)

    def number_at(self, seconds: float) -> int:
        """The number of the window that shows ``seconds`` of the record (exact)."""
        return int(np.searchsorted(self._highs, seconds, side="left"))

    def at(self, seconds: float) -> Window:
        """The window that shows ``seconds``, built (or waited for), with the next one begun."""
        number = self.number_at(seconds)
        window = self._future(number).result()
        if number + 1 < len(self):
            self._future(number + 1)
        return window

    def close(self) -> None:
        self._builder.shutdown(wait=False, cancel_futures=True)

    def _future(self, number: int) -> "Future[Window]":
        with self._lock:
            future = self._built.pop(number, None) or self._builder.submit(self._build, number)
            self._built[number] = future      # the most recently asked for last
            for old in list(self._built)[:-_KEPT]:
                del self._built[old]
            return future

    def _build(self, number: int) -> Window:
        frame, stop = self.keyframes.keyframes[number], self._starts[number + 1]
        body = data_pb2.Record()
        body.products.extend(self._products(frame.position, stop))
        stamps = self.keyframes.stamps[frame.position:stop]
        lead = _lead_in(frame.state, int(self.keyframes.stamps[frame.position - 1]) - _LEAD_NS) \
            if frame.position else []
        cut = data_pb2.Record()
        cut.CopyFrom(self._header)
        cut.project.workspace.state.CopyFrom(frame.state.workspace)
        cut.products.extend(lead)
        cut.products.extend(body.products)
        cut_bounds(cut, frame.position > 0, stop < len(self.keyframes.exact))
        every = np.concatenate(([product.timestamp_ns for product in lead], stamps)).astype(np.int64)
        played = (1e-9 * every.astype(float) - 1e-9 * float(every[0]))[len(lead):]     # as play computes its axis
        data = Data()
        data.addRecord(cut)
        highs = self._highs
        return Window(number=number, record=cut, data=data,
                      picture=Picture(body, self._events, reports=frame.reports, seen=frame.seen, times=played),
                      low=float(highs[number - 1]) if number else -math.inf,
                      high=float(highs[number]) if number < len(highs) else math.inf,
                      axis=PlayAxis(played, self.keyframes.exact[frame.position:stop]),
                      played_end=float(played[-1]))


def header_of(record: data_pb2.Record) -> data_pb2.Record:
    """``record`` without its products, which are never copied."""
    header = data_pb2.Record(start_timestamp_ns=record.start_timestamp_ns, stop_timestamp_ns=record.stop_timestamp_ns)
    header.project.CopyFrom(record.project)
    return header


def _copy(state: system_pb2.SystemState) -> system_pb2.SystemState:
    copy = system_pb2.SystemState()
    copy.CopyFrom(state)
    return copy


def _lead_in(state: system_pb2.SystemState, stamp: int) -> List[data_pb2.Product]:
    """A product for each part ``state`` holds, stamped ``stamp``: play's system state after them is ``state``."""
    return [data_pb2.Product(timestamp_ns=stamp, **{kind: getattr(state, kind)})
            for kind in KINDS if state.HasField(kind)]
