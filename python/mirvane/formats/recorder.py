"""Recording a live cell: products go in as they happen and land in MCAP files, crash-safe.

    with Recorder("run.mcap", project) as recorder:      # from any thread:
        recorder.controller("arm_a", joints=[0.1, -0.4], effector=[0.3, 0.2, 1.57])
        recorder.perception(item_poses={"box_1": (0.3, 0.5, 0.0, 0.0)})

Threads: a caller's thread only builds the product and queues it; one writer
thread of the recorder's own encodes and writes, so ``add`` costs a caller a few
microseconds however busy the writer is.

The file is MCAP in the export's layout, written through the export's own
``LayoutWriter`` (the same channels, schemas, part messages and ``/scene``):
the project opens a record (a ``/record`` header marked ``streamed``, its
starting state and the scene), and each product follows as it is taken, its
sequence number its position in the record. The writer writes a chunk, flushes
and syncs the file at least every ``flush_seconds`` (and whenever a chunk is
full), and chunks end only between products; so a reader can open the file
while it is written, and a process killed at any moment leaves a file of which
``mirvane recover`` keeps every product written before the last flush. Closing
writes the summary: the file is then whole.

Split: with ``max_seconds`` or ``max_bytes`` a file is finished and the next
begun (``run-0001.mcap``, ``run-0002.mcap``, ...; each whole by itself) once
its products span that long or it holds that many bytes. Snapshot: with
``snapshot_seconds`` only the last that many seconds of products are kept, in
memory, until ``trigger()`` (or ``trigger_when(product)`` returning true, or
with ``trigger_on="error"`` an error the event model finds) writes them, and the
products of the next ``after_seconds``, into a numbered file. Stamps out of order:
products are kept in the order they come, and each new one forgets the oldest
kept, one by one, until every product kept is stamped within ``snapshot_seconds``
of it, before or after. So stamps a little out of order are kept, while one
stamped in the future, or a clock stepped back, starts the window afresh: memory
holds at most the products stamped within the window of the newest.

``trigger_on`` feeds every product, on the writer thread, to a detector made by
``detector(project)`` for the record's project (``mirvane.analysis.events.Detector``:
the recorder is a format and takes the event model as given), and triggers on
each event of that severity or worse as the detector finds it: a point event
(a drop, a damaged value) with the product that shows it, a range event (a
stall, an item unseen, arms too close) once it ends, so ``snapshot_seconds``
should cover how long such a range may last.
"""

import collections
import collections.abc
import math
import numbers
import os
import queue
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Deque, Iterable, List, Mapping, Optional, Protocol, Sequence, Tuple, Union

from dravik.api import data_pb2, geometry_pb2, project_pb2

from ..geometry import set_pose
from ..records import Event, PathLike, Severity
from ..scene import kind_of
from ..snapshots import snapshot_of
from .mcap import CHUNK_BYTES
from .recorder_file import RecorderFile, Taken
from .reorder import ReorderWindow
from .stamp_range import StampRange

#: A pose: a message, or (x, y, z, yaw) in metres and radians about the vertical.
PoseLike = Union[geometry_pb2.Pose, Tuple[float, float, float, float]]
#: Decides, on the writer thread, from each product whether it triggers a snapshot.
Trigger = Callable[[data_pb2.Product], bool]


class EventFeed(Protocol):
    """Finds a record's events product by product, as ``mirvane.analysis.events.Detector`` does."""

    def feed(self, product: data_pb2.Product) -> Iterable[Event]:
        """The events ``product``, the next of the record, completes."""


#: Makes what finds a record's events, for its project (``mirvane.analysis.events.Detector``).
DetectorFactory = Callable[[project_pb2.ProjectSnapshot], EventFeed]

#: Severities from the least, as ``trigger_on`` names them.
_SEVERITIES: Tuple[str, ...] = tuple(severity.value for severity in Severity)

#: What snapshot mode keeps at the most, serialized, whatever its seconds hold: a clock that stands
#: still stamps every product within them. Minutes of a rich cell (the sample cell makes some 40 kB a second).
SNAPSHOT_MOST_BYTES = 256 * 2 ** 20

#: Seconds a product waits for those stamped before it: devices hand theirs over some milliseconds late.
REORDER_SECONDS = 0.5

_SECOND = 1_000_000_000
_INT64 = 2 ** 63
_GATHER_SECONDS = 0.02     # the writer wakes at most this often while products trickle in
_BATCH = 4096              # products written in one go, at the most


class RecorderError(RuntimeError):
    """The recorder's writer stopped (a full disk, say): the message says why."""


@dataclass(frozen=True)
class RecorderOptions:
    """How a recorder writes: see the module's description."""
    flush_seconds: float = 1.0
    max_seconds: Optional[float] = None
    max_bytes: Optional[int] = None
    snapshot_seconds: Optional[float] = None
    after_seconds: float = 0.0
    trigger_when: Optional[Trigger] = None
    trigger_on: Optional[str] = None
    detector: Optional[DetectorFactory] = None
    reorder_window: float = REORDER_SECONDS

    def __post_init__(self) -> None:
        for name, value in (("flush_seconds", self.flush_seconds), ("max_seconds", self.max_seconds),
                            ("max_bytes", self.max_bytes), ("snapshot_seconds", self.snapshot_seconds)):
            if value is not None and not 0 < value < math.inf:
                raise ValueError(f"{name} must be a positive number, not {value!r}")
        if not 0 <= self.after_seconds < math.inf:
            raise ValueError(f"after_seconds must be zero or more, not {self.after_seconds!r}")
        if not 0 <= self.reorder_window < math.inf:
            raise ValueError(f"reorder_window must be zero or more seconds, not {self.reorder_window!r}")
        if self.snapshot_seconds is not None and (self.max_seconds or self.max_bytes):
            raise ValueError("a snapshot is one file per trigger: give snapshot_seconds or max_seconds/max_bytes")
        if self.trigger_on is not None and self.trigger_on not in _SEVERITIES:
            raise ValueError(f"trigger_on must be one of {', '.join(_SEVERITIES)}, not {self.trigger_on!r}")
        if (self.trigger_when is not None or self.trigger_on is not None) and self.snapshot_seconds is None:
            raise ValueError("trigger_when and trigger_on go with snapshot_seconds")
        if self.trigger_on is not None and self.detector is None:
            raise ValueError("trigger_on needs a detector: give detector=mirvane.analysis.events.Detector")

    @property
    def numbered(self) -> bool:
        """Whether the files are numbered: more than one may be written."""
        return self.snapshot_seconds is not None or self.max_seconds is not None or self.max_bytes is not None


# -- what callers queue for the writer, besides products -----------------------------------

@dataclass(frozen=True)
class _Flush:
    done: threading.Event


@dataclass(frozen=True)
class _Trigger:
    time_ns: int


@dataclass(frozen=True)
class _ProjectChanged:
    project: project_pb2.ProjectSnapshot
    time_ns: int


class _Close:
    pass


_Message = Union[Taken, _Flush, _Trigger, _ProjectChanged, _Close]


class Recorder:
    """Records a live cell's products into MCAP files; a context manager, safe to call from any thread.

    ``project``: a ``mirvane.project.Project`` or its ``ProjectSnapshot``,
    written at the start of each file and again by ``project_changed``. The
    files must not exist yet. ``detector`` makes, for a project, what finds the
    events ``trigger_on`` triggers on (``mirvane.analysis.events.Detector``).
    See the module's description for the options.

    ``reorder_window`` (seconds; 0 writes products as they come): products are written in
    stamp order, each once the latest stamps are this far past it, so a source handing its
    products over late (perception stamps a frame when taken) leaves the file in order; one
    stamped far ahead neither holds the rest back nor makes them late. A product later than
    the window is written at once and counted in ``late_products``, as is one stamped before
    what ``flush()`` wrote: flushing and closing write all the window holds. Splits, snapshots
    and ``trigger_on``'s events follow the written order.
    """

    def __init__(self, path: PathLike, project: Any, *, flush_seconds: float = 1.0,
                 max_seconds: Optional[float] = None, max_bytes: Optional[int] = None,
                 snapshot_seconds: Optional[float] = None, after_seconds: float = 0.0,
                 trigger_when: Optional[Trigger] = None, trigger_on: Optional[str] = None,
                 detector: Optional[DetectorFactory] = None, reorder_window: float = REORDER_SECONDS) -> None:
        options = RecorderOptions(flush_seconds, max_seconds, max_bytes, snapshot_seconds, after_seconds,
                                  trigger_when, trigger_on, detector, reorder_window)
        self.path = os.fspath(path)
        # Splits are parts of one run; snapshots are windows apart, named so that none reads as a part.
        self._numbered = "" if not options.numbered else "-snapshot-" if options.snapshot_seconds else "-"
        self._queue: "queue.SimpleQueue[_Message]" = queue.SimpleQueue()
        self._closed = False
        self._files: List[str] = []
        self._writer = _Writer(options, snapshot_of(project), self._queue, self._next_path)
        self._thread = threading.Thread(target=self._writer.run, name="mirvane-recorder", daemon=True)
        self._thread.start()

    def __enter__(self) -> "Recorder":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def files(self) -> List[str]:
        """The files written so far, in order (the one being written last)."""
        return list(self._files)

    @property
    def late_products(self) -> int:
        """The products written so far after one stamped later than them (see ``reorder_window``)."""
        return self._writer.reorder.late

    # -- what callers call, from any thread: each only queues ------------------------------

    def add(self, product: data_pb2.Product) -> None:
        """Record a copy of ``product``; one without a time stamp is stamped now."""
        if not isinstance(product, data_pb2.Product):
            raise TypeError(f"expected a Product, got {type(product).__name__}")
        self._put(product, stamp_now=not product.timestamp_ns)

    def controller(self, robot: str, joints: Sequence[float], effector: Sequence[float] = (), *,
                   grasped_item: str = "", grasped_pose: Optional[PoseLike] = None,
                   time_ns: Optional[int] = None) -> None:
        """Record a controller's report: its robot's joint positions, the effector's (x, y, heading),
        and the item it holds with its pose."""
        product = _stamped(time_ns)
        part = product.controller
        part.robot = robot
        part.feedback.joint.positions.values.extend(joints)
        part.feedback.effector.positions.values.extend(effector)
        if grasped_item:
            part.grasped_item = grasped_item
        if grasped_pose is not None:
            _set(part.grasped_item_pose, grasped_pose, "grasped_pose")
        self._put(product)

    def perception(self, camera_poses: Mapping[str, PoseLike] = {}, item_poses: Mapping[str, PoseLike] = {}, *,
                   time_ns: Optional[int] = None) -> None:
        """Record what perception saw: cameras' and items' poses by name."""
        product = _stamped(time_ns)
        part = product.perception
        part.SetInParent()
        for name, pose in camera_poses.items():
            _set(part.camera_poses[name], pose, f"camera {name!r}")
        for name, pose in item_poses.items():
            _set(part.item_poses[name], pose, f"item {name!r}")
        self._put(product)

    def decision(self, behavior: str, step: str, target_item: str = "", *, time_ns: Optional[int] = None) -> None:
        """Record a behaviour's decision: the step it moved to and the item it targets."""
        product = _stamped(time_ns)
        product.decision.SetInParent()
        product.decision.behavior, product.decision.step, product.decision.target_item = behavior, step, target_item
        self._put(product)

    def planner(self, robot: str, waypoints: Sequence[Sequence[float]], duration_s: float, *,
                time_ns: Optional[int] = None) -> None:
        """Record a planned motion: the robot, its joint waypoints and how long it takes."""
        product = _stamped(time_ns)
        part = product.planner
        part.robot, part.duration_s = robot, duration_s
        for waypoint in waypoints:
            part.waypoints.add().values.extend(waypoint)
        self._put(product)

    def project_changed(self, project: Any) -> None:
        """The cell's project changed: the products from now on belong to a new record of it."""
        self._control(_ProjectChanged(snapshot_of(project), time.time_ns()))

    def trigger(self) -> None:
        """In snapshot mode: write the kept seconds, and the next ``after_seconds``, into a new file."""
        self._control(_Trigger(time.time_ns()))

    def flush(self) -> None:
        """Wait until everything added so far is written and synced to disk."""
        done = threading.Event()
        self._control(_Flush(done))
        while not done.wait(0.1):
            if not self._thread.is_alive():
                break
        self._raise_failure()

    def close(self) -> None:
        """Write what is queued and finish the file: it is then whole. Raises the writer's failure."""
        if not self._closed:
            self._closed = True
            self._queue.put(_Close())
            self._thread.join()
        self._raise_failure()

    # -- inside ----------------------------------------------------------------------------

    @property
    def _failure(self) -> Optional[BaseException]:
        return self._writer.failure

    def _put(self, product: data_pb2.Product, stamp_now: bool = False) -> None:
        """Queue ``product`` as its stamp and its bytes (a copy, as protobuf writes it deterministically)."""
        if self._closed or self._failure is not None:
            self._raise_failure()
            raise RecorderError("the recorder is closed; nothing more can be added")
        stamp = time.time_ns() if stamp_now else product.timestamp_ns
        if not 0 <= stamp < _INT64:
            raise ValueError(f"time stamps are nanoseconds from 0 to 2**63-1, not {stamp}")
        if kind_of(product) is None:
            raise ValueError("a product must carry a part: perception, decision, planner or controller")
        data = product.SerializeToString(deterministic=True)
        if stamp_now:   # the stamp is the first field, and this one has none
            data = data_pb2.Product(timestamp_ns=stamp).SerializeToString() + data
        self._queue.put((stamp, data))

    def _control(self, message: _Message) -> None:
        if self._closed or self._failure is not None:
            self._raise_failure()
            raise RecorderError("the recorder is closed")
        self._queue.put(message)

    def _raise_failure(self) -> None:
        if self._failure is not None:
            raise RecorderError(f"the recorder stopped writing {self.path}: {self._failure}") from self._failure

    def _next_path(self) -> str:
        if not self._numbered:
            path = self.path
        else:
            stem, extension = os.path.splitext(self.path)
            path = f"{stem}{self._numbered}{len(self._files) + 1:04d}{extension}"
        self._files.append(path)
        return path


class _Writer:
    """The recorder's writer thread: takes what callers queued, in order, and writes it."""

    def __init__(self, options: RecorderOptions, project: project_pb2.ProjectSnapshot,
                 messages: "queue.SimpleQueue[_Message]", next_path: Callable[[], str]) -> None:
        self._messages = messages
        self._next_path = next_path
        #: What stopped the writer, for the callers, who see it on their next call.
        self.failure: Optional[BaseException] = None
        self._project = project
        self.reorder = ReorderWindow(int(options.reorder_window * _SECOND), self._products)
        self._flush_seconds = options.flush_seconds
        self._max_ns = None if options.max_seconds is None else int(options.max_seconds * _SECOND)
        self._max_bytes = max_bytes = options.max_bytes
        # A chunk well under the size a file may reach, so that files end near it.
        self._chunk_bytes = CHUNK_BYTES if max_bytes is None else max(1, min(CHUNK_BYTES, max_bytes // 8))
        if max_bytes is not None:
            _check_max_bytes(max_bytes, RecorderFile("", project, 0, self._chunk_bytes, in_memory=True).size())
        self._snapshot_ns = None if options.snapshot_seconds is None else int(options.snapshot_seconds * _SECOND)
        self._after_ns = int(options.after_seconds * _SECOND)
        self._trigger_when = options.trigger_when
        # With trigger_on: the least severity that triggers, and what finds the open record's events.
        trigger_on = options.trigger_on
        self._least = _SEVERITIES.index(trigger_on) if trigger_on is not None else len(_SEVERITIES)
        self._make_detector = options.detector if trigger_on is not None else None
        self._detector: Optional[EventFeed] = self._make_detector(project) if self._make_detector is not None else None
        # Snapshot mode: the kept products and project changes, with their times, and the project
        # in force before the first of them; the start and end of the open file's window.
        self._kept: Deque[Tuple[int, Union[Taken, project_pb2.ProjectSnapshot]]] = collections.deque()
        self._kept_project = project
        self._stamps = StampRange()    # of the kept products
        self._kept_bytes = 0            # what they take serialized
        self._window_start = self._window_end = 0
        self._file: Optional[RecorderFile] = None
        if self._snapshot_ns is None:   # opened here, so that a file that cannot be written fails the call
            self._file = self._open(project, time.time_ns())

    def run(self) -> None:
        try:
            self._take_all()
        except BaseException as e:  # kept for the callers, who see it on their next call
            self.failure = e
        finally:
            if self._file is not None:
                try:
                    self._file.finish()
                except BaseException as e:
                    self.failure = self.failure or e

    def _take_all(self) -> None:
        messages = self._messages
        due = time.monotonic() + self._flush_seconds
        while True:
            message: Optional[_Message]
            try:
                message = messages.get(timeout=max(0.0, due - time.monotonic()))
            except queue.Empty:
                message = None
            # Take everything queued by now, then let more gather: a wake-up per batch, not per product,
            # and the products between two other messages written a batch at a time.
            taken: List[Taken] = []
            busy = False
            while message is not None:
                if isinstance(message, tuple):
                    taken.append(message)
                    if len(taken) == _BATCH:
                        self.reorder.add(taken)
                        taken, busy = [], True
                else:
                    if taken:
                        self.reorder.add(taken)
                        taken = []
                    if isinstance(message, _Close):
                        self.reorder.drain()
                        return
                    self._control(message)
                try:
                    message = messages.get_nowait()
                except queue.Empty:
                    message = None
            if taken:
                self.reorder.add(taken)
            if time.monotonic() >= due:
                if self._file is not None:
                    self._file.flush()
                due = time.monotonic() + self._flush_seconds
            if not busy:    # products coming faster than a batch a wake-up are taken at once
                time.sleep(min(_GATHER_SECONDS, max(0.0, due - time.monotonic())))

    def _control(self, message: Union[_Flush, _Trigger, _ProjectChanged]) -> None:
        if not isinstance(message, _Trigger):    # a flush writes what is held; a new record holds only its own
            self.reorder.drain()
        if isinstance(message, _Flush):
            if self._file is not None:
                self._file.flush()
            message.done.set()
        elif isinstance(message, _Trigger):
            self._trigger(message.time_ns)
        else:
            project = self._project = message.project
            if self._make_detector is not None:
                self._detector = self._make_detector(project)
            if self._file is not None:
                self._file.open_record(project, message.time_ns)
                self._kept_project = project
            else:
                self._keep(message.time_ns, project)

    def _products(self, taken: List[Taken]) -> None:
        """Write products in the order given: into the open file, split as it fills, or into what
        snapshot mode keeps, a product at a time."""
        if self._snapshot_ns is not None:
            for product in taken:
                self._snapshot_product(product)
            return
        at = 0
        while at < len(taken):
            self._split(taken[at][0])
            file = self._file
            assert file is not None
            stop = len(taken)
            if self._max_ns is not None:    # up to the first product the file may not span
                first = taken[at][0] if file.first is None else file.first
                stop = next((k for k in range(at + 1, stop) if taken[k][0] - first >= self._max_ns), stop)
            at += file.products(taken, at, stop, stop_after_chunk=self._max_bytes is not None)

    def _snapshot_product(self, product: Taken) -> None:
        stamp = product[0]
        if self._file is not None and not self._window_start <= stamp <= self._window_end:
            self._close()   # also when the clock steps back, so that a file cannot grow for good
        if self._triggered(product):
            self._trigger(stamp)
        if self._file is None:
            self._keep(stamp, product)
            return
        self._file.products([product], 0, 1)

    def _triggered(self, taken: Taken) -> bool:
        """Whether the product ``taken`` triggers a snapshot: ``trigger_when`` says so, or it completes an
        event of ``trigger_on``'s severity or worse."""
        if self._detector is None and self._trigger_when is None:
            return False
        product = data_pb2.Product.FromString(taken[1])
        found = self._detector.feed(product) if self._detector is not None else []
        return any(_SEVERITIES.index(event.severity) >= self._least for event in found) or \
            (self._trigger_when is not None and self._trigger_when(product))

    def _split(self, stamp: int) -> None:
        """Begin the next file when the open one spans ``max_seconds`` or holds ``max_bytes``."""
        current = self._file
        assert current is not None
        if (self._max_ns is not None and current.first is not None and stamp - current.first >= self._max_ns) or \
                (self._max_bytes is not None and current.first is not None and current.size() >= self._max_bytes):
            self._close()
            self._file = self._open(self._project, stamp)

    def _keep(self, stamp: int, item: Union[Taken, project_pb2.ProjectSnapshot]) -> None:
        """Keep an item of snapshot mode, forgetting what the kept seconds no longer hold."""
        self._kept.append((stamp, item))
        self._kept_bytes += _size(item)
        if isinstance(item, tuple):
            self._stamps.add(stamp)
        else:
            self._stamps.skip()
        self._forget(stamp)

    def _forget(self, stamp: int) -> None:
        """Forget, in the order kept, until every kept product is stamped within the kept seconds
        of ``stamp``, before or after it: a stamp in the future, or a clock stepped back, ends what
        came before it, so the products kept are at most those of the kept seconds around one stamp."""
        kept, stamps = self._kept, self._stamps
        assert self._snapshot_ns is not None
        while kept and (not stamps.within(stamp - self._snapshot_ns, stamp + self._snapshot_ns)
                        or self._kept_bytes > SNAPSHOT_MOST_BYTES and len(kept) > 1):
            _, old = kept.popleft()
            self._kept_bytes -= _size(old)
            stamps.drop()
            if isinstance(old, project_pb2.ProjectSnapshot):
                self._kept_project = old

    def _trigger(self, stamp: int) -> None:
        if self._snapshot_ns is None:
            return
        if self._file is None:
            self._forget(stamp)
            start = self._kept[0][0] if self._kept else stamp
            self._file = file = self._open(self._kept_project, start)
            for when, item in self._kept:
                if isinstance(item, tuple):
                    file.products([item], 0, 1)
                else:
                    file.open_record(item, when)
            self._kept.clear()
            self._kept_bytes = 0
            self._stamps = StampRange()
            self._kept_project = self._project
            self._window_start, self._window_end = stamp - self._snapshot_ns, stamp
        self._window_end = max(self._window_end, stamp + self._after_ns)

    def _open(self, project: project_pb2.ProjectSnapshot, time_ns: int) -> RecorderFile:
        return RecorderFile(self._next_path(), project, time_ns, self._chunk_bytes)

    def _close(self) -> None:
        if self._file is not None:
            self._file.finish()
            self._file = None


def _size(item: Union[Taken, project_pb2.ProjectSnapshot]) -> int:
    """What a kept item takes serialized."""
    return len(item[1]) if isinstance(item, tuple) else item.ByteSize()


def _check_max_bytes(max_bytes: float, empty: int) -> None:
    """Refuse a ``max_bytes`` that leaves a file little room beside what every file holds: below
    it, each file would hold about one product."""
    least = 2 * empty
    if max_bytes < least:
        raise ValueError(f"max_bytes must be at least {least:,} for this project, not {max_bytes:,}: every file "
                         f"takes {empty:,} bytes before its first product (the project and the schemas)")


def _stamped(time_ns: Optional[int]) -> data_pb2.Product:
    if time_ns is None:
        return data_pb2.Product(timestamp_ns=time.time_ns())
    if isinstance(time_ns, bool) or not isinstance(time_ns, numbers.Integral):
        raise TypeError(f"time_ns must be an int of nanoseconds, not {type(time_ns).__name__}")
    return data_pb2.Product(timestamp_ns=int(time_ns))


def _set(pose: geometry_pb2.Pose, value: PoseLike, what: str) -> None:
    if isinstance(value, geometry_pb2.Pose):
        pose.CopyFrom(value)
        return
    values = tuple(value) if isinstance(value, collections.abc.Iterable) and not isinstance(value, (str, bytes)) \
        else None
    if values is None or len(values) != 4:
        shown = type(value).__name__ if values is None else f"{len(values)} values"
        raise ValueError(f"the pose of {what} must be a Pose or (x, y, z, yaw) in metres and radians, "
                         f"not {shown}")
    if not all(isinstance(v, numbers.Real) and not isinstance(v, bool) for v in values):
        raise TypeError(f"the pose of {what} must be four numbers (x, y, z, yaw), not "
                        f"{', '.join(type(v).__name__ for v in values)}")
    set_pose(pose, *values)
