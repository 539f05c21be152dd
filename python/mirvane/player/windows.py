"""A record played in windows, so that what play rebuilds before its first picture is one window's
states, whatever the record's length.

``Replay.play`` rebuilds a state for every product of the record it plays before its first cycle
(some 2 ms a second of the sample cell's record: 7 s and gigabytes for an hour). A live replay
plays a record in windows instead: each a record of its own (the record's header, the workspace
state where the window starts, and its products), played by ``Replay.play`` as a whole record is.

``Keyframes`` places a keyframe every ``window_s`` seconds from the products' stamps alone, at
once, and then finds what each holds by one pass over the products on a thread of its own,
applying the product rule (``scene.apply``) to the last writer of each part there
(``scene.LastWriters``; the products read as their columns, a block at a time, and parsed only
where they count: ``_Walked``): the system state there (the workspace and the latest part of each kind)
and what a picture needs beyond it (each robot's latest report, where perception last saw the
items: ``picture.Picture``'s ``reports`` and ``seen``), so the
first windows play while later keyframes are still being found. A window runs from one keyframe
to the next. A record starts with a system state holding its workspace alone, so a
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
import os
import pickle
import tempfile
import threading
from array import array
from bisect import bisect_left
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt
from dravik.api import data_pb2, system_pb2

from ..analysis.events import Event
from ..data import Data
from ..records import EventTable, PlayAxis
from ..cuts import cut_bounds
from ..formats.columns import KIND_CODES, Block, block_columns
from ..formats.spooled import serialized
from ..scene import KINDS, LastWriters
from ..sightings import ItemsSeen
from .picture import Picture

#: Seconds of record a window holds. Play rebuilds a window's states before its first picture,
#: some 10 ms for 5 s of the sample cell (about 230 products a second), and building the window
#: (its products copied, its picture's reports and sightings) as long again; 10 s took 20 and 35 ms.
WINDOW_S = 5.0
# How long before the product before a window its lead-in products are stamped.
_LEAD_NS = 1_000_000_000
# Windows kept built: the one playing, the next, and one to come back to.
_KEPT = 3
# The longest the keyframes' walk waits for the first picture before it begins.
_WALK_AFTER_S = 2.0

Products = Callable[[int, int], Iterable[data_pb2.Product]]
Blocks = Callable[[int, int], Iterable[Block]]
_CONTROLLER = KIND_CODES.index("controller")
#: Told how far the keyframes' walk has come, every ``_VISIT_EVERY`` products and whenever it has
#: passed every product there is: ``(passed, stamp, ended)``, the products passed, the last one's
#: stamp and, once, at the record's end, that there are no more.
Visit = Callable[[int, int, bool], None]
# Products the walk passes between two visits.
_VISIT_EVERY = 4096
# Stamps a keyframes' placing reads at a time.
_PLACED = 1 << 16


class KeyframeStore:
    """Keyframes' bytes in an unnamed temporary file, so that a shift's thousands of them are not
    held in memory: written by the keyframes' walk, read by any thread."""

    def __init__(self) -> None:
        self._file = tempfile.TemporaryFile(prefix="mirvane-keyframes-")
        self._end = 0

    def put(self, data: bytes) -> Tuple[int, int]:
        at, self._end = self._end, self._end + len(data)
        os.pwrite(self._file.fileno(), data, at)
        return at, len(data)

    def get(self, place: Tuple[int, int]) -> bytes:
        return os.pread(self._file.fileno(), place[1], place[0])

    def close(self) -> None:
        self._file.close()


class Keyframe:
    """Where a window starts: the position of its first product, the system state before it,
    each robot's latest report before it and where perception had last seen the items. Kept
    serialized in ``store`` (a parsed report or pose keeps its whole product in memory), parsed
    anew when asked for."""
    __slots__ = ("position", "_store", "_place")

    def __init__(self, position: int, state: system_pb2.SystemState, reports: Dict[str, system_pb2.Controller],
                 seen: ItemsSeen, store: KeyframeStore) -> None:
        self.position, self._store = position, store
        kept = (state.SerializeToString(), {robot: report.SerializeToString() for robot, report in reports.items()},
                seen.packed())
        self._place = store.put(pickle.dumps(kept, pickle.HIGHEST_PROTOCOL))

    def _kept(self) -> Any:
        return pickle.loads(self._store.get(self._place))    # our own bytes, in our own unnamed file

    @property
    def state(self) -> system_pb2.SystemState:
        return system_pb2.SystemState.FromString(self._kept()[0])

    @property
    def reports(self) -> Dict[str, system_pb2.Controller]:
        return {robot: system_pb2.Controller.FromString(report) for robot, report in self._kept()[1].items()}

    @property
    def seen(self) -> ItemsSeen:
        return ItemsSeen.unpacked(self._kept()[2])


class Keyframes:
    """The keyframes of a record (``header``, the record without its products) whose products'
    stamps are ``stamps`` and whose products at positions ``start`` to ``stop`` are, serialized,
    ``blocks(start, stop)``: one at the first product and then at the first product of each
    later slot of ``window_s`` seconds from it (only the first when stamps go back in time).

    Where they fall is known at once (``positions``); their states are found by one pass over
    the products on a thread of its own (``begin``), and ``at(k)`` waits for keyframe ``k``."""

    def __init__(self, header: data_pb2.Record, stamps: Iterable[int], blocks: Blocks,
                 window_s: float = WINDOW_S, visit: Optional[Visit] = None, ended: bool = True) -> None:
        if not window_s > 0:
            raise ValueError(f"a window must last a positive number of seconds, not {window_s!r}")
        self._header, self._blocks, self._visit = header, blocks, visit
        self._slot_ns = int(window_s * 1e9) if math.isfinite(window_s) else 0
        #: Each product's stamp: an array, or a spooled record's, read from disk when asked.
        self.stamps: Any = np.zeros(0, dtype=np.int64)
        #: The position of each keyframe's product.
        self.positions: List[int] = []
        #: The stamps either side of each keyframe after the first: its product's and the one's before.
        self.edges: List[Tuple[int, int]] = []
        #: Where the keyframes' states are kept: closed by their windows once nothing reads them.
        self.store = KeyframeStore()
        self._ordered = True
        self._ended = ended
        self._frames: List[Keyframe] = []
        self._found = threading.Condition()
        self._closed = False
        self._failed: Optional[BaseException] = None
        self._walker: Optional[threading.Thread] = None
        self._going = threading.Event()
        lazy = hasattr(stamps, "ordered")     # a spooled record's, which knows whether they go back
        given: Any = stamps if lazy or isinstance(stamps, np.ndarray) else np.asarray(array("q", stamps), dtype=np.int64)
        if not given.ordered if lazy else len(given) and np.any(np.diff(given) < 0):
            self._ordered = False       # one window, however the stamps came
        self._place(given)

    @property
    def exact(self) -> "npt.NDArray[np.float64]":
        """Each product's exact time, seconds after the first (``records.timebase``), computed when asked."""
        stamps = np.asarray(self.stamps)
        return np.asarray((stamps - stamps[:1].sum()) / 1e9, dtype=np.float64)

    def grow(self, stamps: Any, ended: bool) -> None:
        """The record's products' stamps so far (those known and more), and whether more will come:
        keyframes are placed in the new ones, and the walk goes on through their products."""
        with self._found:
            self._place(stamps)
            self._ended = ended
            self._found.notify_all()

    def _place(self, stamps: Any) -> None:
        """Take ``stamps`` (the known ones and those after), placing keyframes among the new: none
        from where stamps first go back in time, so that the rest plays as one window."""
        known = len(self.stamps)
        if len(stamps) <= known:
            return
        first, begin = int(stamps[0]), max(known - 1, 0)
        if self._ordered and not (stamps.ordered if hasattr(stamps, "ordered") else
                                  not np.any(np.diff(stamps[begin:]) < 0)):
            self._ordered = False
        if not known:
            self.positions.append(0)
        # A stretch at a time (each with the next's first): hours of stamps are not read at once.
        for low in range(begin, len(stamps) - 1 if self._ordered and self._slot_ns else begin, _PLACED):
            new = np.asarray(stamps[low:low + _PLACED + 1], dtype=np.int64)
            # Products play cannot tell apart (its axis is coarser than the stamps) are never split:
            # it shows the first of them, where one window would show the second.
            slots = (new - first) // self._slot_ns
            played = 1e-9 * new.astype(float) - 1e-9 * float(first)
            splits = np.flatnonzero((np.diff(slots) != 0) & (np.diff(played) > 0))
            self.edges.extend(zip(new[splits].tolist(), new[splits + 1].tolist()))
            self.positions.extend((splits + low + 1).tolist())
        self.stamps = stamps

    def __len__(self) -> int:
        return len(self.positions)

    def begin(self) -> None:
        """Find the keyframes' states on a thread of its own, the first at once (the record's own
        starting state): the walk for the others waits until ``go`` (or a later keyframe is asked
        for), or ``_WALK_AFTER_S``, so that it does not slow the first picture down."""
        if self.positions:
            state = system_pb2.SystemState()
            state.workspace.CopyFrom(self._header.project.workspace.state)
            self._frames.append(Keyframe(0, state, {}, ItemsSeen(), self.store))
        self._walker = threading.Thread(target=self._walk, name="mirvane-keyframes", daemon=True)
        self._walker.start()

    def go(self) -> None:
        """Walk for the keyframes now."""
        self._going.set()

    def at(self, number: int) -> Keyframe:
        """Keyframe ``number``, once found (``RuntimeError`` if it never will be)."""
        if number > 0:
            self.go()
        if not self._wait(number):
            raise RuntimeError(f"keyframe {number} was not found: {self._failed or 'the windows were closed'}")
        return self._frames[number]

    def close(self) -> None:
        """Stop finding keyframes, and wait for the walk to end (at its next keyframe): nothing of a
        closed replay works on behind it."""
        with self._found:
            self._closed = True
            self._found.notify_all()
        self._going.set()
        if self._walker is not None and self._walker is not threading.current_thread():
            self._walker.join()

    def _wait(self, number: int) -> bool:
        with self._found:
            self._found.wait_for(lambda: len(self._frames) > number or self._failed is not None or self._closed)
            return len(self._frames) > number

    def _walk(self) -> None:
        """Go through the products, keeping a keyframe at each of ``positions`` (the product rule,
        ``scene.apply``, applied there to the last writers, ``scene.LastWriters``), and telling
        ``visit`` how far it has come; while more products come, wait for them."""
        walked = _Walked(self._header, self.store)
        position = 0
        self._going.wait(_WALK_AFTER_S)
        try:
            while True:
                with self._found:
                    caught_up = len(self.stamps) <= position and not self._ended
                if caught_up and self._visit is not None and position:
                    self._visit(position, int(self.stamps[position - 1]), False)
                with self._found:
                    self._found.wait_for(lambda: len(self.stamps) > position or self._ended or self._closed)
                    stop, ended, marks = len(self.stamps), self._ended, self.positions
                if self._closed or (position >= stop and ended) or \
                        (self._visit is None and ended and len(self._frames) == len(marks)):
                    break
                for block in self._blocks(position, stop):
                    count = len(block.starts)
                    due = marks[len(self._frames):bisect_left(marks, position + count)]
                    for at in walked.walk(block, position, due):
                        with self._found:
                            self._frames.append(walked.keyframe(at))
                            self._found.notify_all()
                        if self._closed:
                            return
                    position += count
                    if self._visit is not None and position // _VISIT_EVERY > (position - count) // _VISIT_EVERY:
                        self._visit(position, int(self.stamps[position - 1]), False)
            if self._visit is not None and not self._closed:
                self._visit(position, int(self.stamps[position - 1]) if position else 0, True)
        except BaseException as e:      # told to whoever waits
            with self._found:
                self._failed = e
                self._found.notify_all()


class _Walked:
    """What the keyframes' walk has taken of the products so far: the last writer of each part
    (``LastWriters``), each robot's latest report, where perception last saw the items (``ItemsSeen``).
    Products are taken a block at a time through their columns, so that a controller report (most of
    a run) is parsed only where it changes what its robot holds, or is the last of its robot or item
    before a keyframe."""

    def __init__(self, header: data_pb2.Record, store: KeyframeStore) -> None:
        self._header, self._store = header, store
        self._seen, self._latest = ItemsSeen(), LastWriters()
        self._reports: Dict[str, system_pb2.Controller] = {}

    def keyframe(self, position: int) -> Keyframe:
        """The keyframe at ``position``, all before it taken."""
        state = system_pb2.SystemState()
        state.workspace.CopyFrom(self._header.project.workspace.state)
        self._latest.apply(state)
        return Keyframe(position, state, dict(self._reports), self._seen.copy(), self._store)

    def walk(self, block: Block, first: int, due: Sequence[int]) -> Iterator[int]:
        """Take the products of ``block`` (the first at position ``first``), giving each position of
        ``due`` (in order, within the block) once all before it are taken."""
        columns = block_columns(block)
        names, kinds = columns.strings, columns.kinds.tolist()
        robots, items = columns.robot.tolist(), columns.grasped_item.tolist()
        data, starts, ends = block[0], block[1].tolist(), block[2].tolist()

        def parsed(row: int) -> data_pb2.Product:
            return data_pb2.Product.FromString(bytes(data[starts[row]:ends[row]]))

        reported: List[int] = []    # the rows of reports not yet taken
        stops = iter([*due, -1])
        stop = next(stops)
        for row, kind in enumerate(kinds):
            if first + row == stop:
                self._take_reports(reported, first, names, robots, items, parsed)
                reported = []
                yield stop
                stop = next(stops)
            if kind == _CONTROLLER:
                if self._seen.changed_by_report(names[robots[row]], names[items[row]]):
                    self._seen.apply(parsed(row), "controller")
                reported.append(row)
            elif kind:
                product, name = parsed(row), KIND_CODES[kind]
                self._seen.apply(product, name)
                self._latest.take(first + row, product, name)
        self._take_reports(reported, first, names, robots, items, parsed)

    def _take_reports(self, rows: List[int], first: int, names: Sequence[str], robots: List[int], items: List[int],
                      parsed: Callable[[int], data_pb2.Product]) -> None:
        for product in self._latest.take_reports([first + row for row in rows], [names[robots[row]] for row in rows],
                                                 [names[items[row]] for row in rows], lambda i: parsed(rows[i])):
            if product.controller.robot:
                self._reports[product.controller.robot] = product.controller


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
    """The windows of ``record`` (its ``events`` on its own axis), each some ``window_s`` seconds."""

    def __init__(self, record: data_pb2.Record, events: Sequence[Event], window_s: float = WINDOW_S,
                 visit: Optional[Visit] = None) -> None:
        self._header = header_of(record)
        self._events = EventTable.of(events)
        self._products: Products = lambda start, stop: record.products[start:stop]
        # A spooled record still being read has more products to come (``grow``): known before its stamps.
        ended = getattr(record, "ended", True)
        stamps = getattr(record, "stamps", None)    # a spooled record's, without reading its products
        self.keyframes = Keyframes(self._header, (product.timestamp_ns for product in record.products)
                                   if stamps is None else stamps,
                                   lambda start, stop: serialized(record.products, start, stop), window_s, visit, ended)
        self._built: Dict[int, "Future[Window]"] = {}
        self._lock = threading.Lock()
        self._bounds(ended)
        self._builder = ThreadPoolExecutor(max_workers=1, thread_name_prefix="mirvane-window")
        self.keyframes.begin()

    def __len__(self) -> int:
        return len(self._starts) - 1

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

    def grow(self, stamps: "npt.NDArray[np.int64]", ended: bool) -> None:
        """The record's products' stamps so far, and whether more will come: the windows take in the
        new products, the last one built again when next asked for."""
        self.keyframes.grow(stamps, ended)
        with self._lock:
            last = len(self) - 1
            self._bounds(ended)
            for number in range(last, len(self)):
                self._built.pop(number, None)

    def _bounds(self, ended: bool) -> None:
        """Where each window starts, and the times it shows: up to ``_highs[k]`` for window k, and
        for the last, to the end and past it, or, while more products are to come, to its last product."""
        stamps = self.keyframes.stamps
        self._starts = [*self.keyframes.positions, len(stamps)]
        # Each window's end, midway between its last product's exact time and the next one's.
        before, after = np.array(self.keyframes.edges, dtype=np.int64).reshape(-1, 2).T
        first = int(stamps[0]) if len(stamps) else 0
        self._highs = ((before - first) / 1e9 + (after - first) / 1e9) / 2
        self._ended = ended

    def found(self, events: Sequence[Event]) -> None:
        """The events found so far: the windows' pictures show them from now on."""
        with self._lock:
            self._events = EventTable.of(events)
            built = list(self._built.values())
        for future in built:
            future.add_done_callback(self._tell_events)

    def _tell_events(self, done: "Future[Window]") -> None:
        if not done.cancelled() and done.exception() is None:
            done.result().picture.found(self._events)

    def close(self) -> None:
        self.keyframes.close()
        self._builder.shutdown(wait=True, cancel_futures=True)
        self.keyframes.store.close()

    def _future(self, number: int) -> "Future[Window]":
        with self._lock:
            future = self._built.pop(number, None) or self._builder.submit(self._build, number)
            self._built[number] = future      # the most recently asked for last
            for old in list(self._built)[:-_KEPT]:
                del self._built[old]
            return future

    def _build(self, number: int) -> Window:
        with self._lock:
            stop, highs, ended = self._starts[number + 1], self._highs, self._ended
        frame, stamps_all = self.keyframes.at(number), self.keyframes.stamps
        body = data_pb2.Record()
        body.products.extend(self._products(frame.position, stop))
        stamps = stamps_all[frame.position:stop]
        state = frame.state
        lead = _lead_in(state, int(stamps_all[frame.position - 1]) - _LEAD_NS) if frame.position else []
        cut = data_pb2.Record()
        cut.CopyFrom(self._header)
        cut.project.workspace.state.CopyFrom(state.workspace)
        cut.products.extend(lead)
        cut.products.extend(body.products)
        if not ended:   # the header's stop is from before the products that came since
            cut.stop_timestamp_ns = max(cut.stop_timestamp_ns, int(stamps[-1]))
        cut_bounds(cut, frame.position > 0, stop < len(stamps_all))
        every = np.concatenate(([product.timestamp_ns for product in lead], stamps)).astype(np.int64)
        played = (1e-9 * every.astype(float) - 1e-9 * float(every[0]))[len(lead):]     # as play computes its axis
        data = Data()
        data.addRecord(cut)
        exact = (stamps - int(stamps_all[0])) / 1e9
        last = math.inf if ended or number < len(highs) else float(exact[-1])
        return Window(number=number, record=cut, data=data,
                      picture=Picture(body, self._events, reports=frame.reports, seen=frame.seen, times=played),
                      low=float(highs[number - 1]) if number else -math.inf,
                      high=float(highs[number]) if number < len(highs) else last,
                      axis=PlayAxis(played, exact),
                      played_end=float(played[-1]))


def header_of(record: data_pb2.Record) -> data_pb2.Record:
    """``record`` without its products, which are never copied."""
    header = data_pb2.Record(start_timestamp_ns=record.start_timestamp_ns, stop_timestamp_ns=record.stop_timestamp_ns)
    header.project.CopyFrom(record.project)
    return header


def _lead_in(state: system_pb2.SystemState, stamp: int) -> List[data_pb2.Product]:
    """A product for each part ``state`` holds, stamped ``stamp``: play's system state after them is ``state``."""
    return [data_pb2.Product(timestamp_ns=stamp, **{kind: getattr(state, kind)})
            for kind in KINDS if state.HasField(kind)]
