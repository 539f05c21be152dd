"""Recordings as Rerun recordings (``.rrd``): the work cell in 3D, plots of the arms, text logs.

``export_rrd`` writes a recording file's records into one Rerun recording,
a drawing of ``mirvane.scene`` following each record's workspace state the
way ``Replay.play`` rebuilds it. Entities:

* ``world/robots/<name>``: the arm's links as a line strip as thick as they
  are, labelled with its name; ``world/robots/<name>/joints`` its joints as
  points; ``world/robots/<name>/mount`` its pedestal or hanger, a line from its
  foot to its first joint.
* ``world/items/<name>``: a box of the item's size where it is (a held item
  follows the effector, as the controller reports it; the others are where
  perception last saw them, ``sightings.ItemsSeen``).
* ``world/cameras/<name>``: the outline of the camera's field of view, as deep
  as it sees (``scene.view_range``).
* ``<any of those>/damage``: red points where the model finds values it
  cannot draw, labelled with what is damaged; only for shapes that have any.
* ``plots/<robot>/joints/<i>`` and ``plots/<robot>/effector/<x|y|heading>``:
  every controller report's joint and effector positions, as time series.
* ``log/decision`` and ``log/planner``: those products as text logs.
* ``events/<kind>``: the record's events as text logs with their levels (their subject and robot
  beside), each at its time and a range event also at its end, when the export is given them
  (``events=``, as ``mirvane export`` gives those of ``mirvane.analysis.events``).

A default blueprint goes with the recording, so that the viewer opens on the
cell in 3D (seen from above at an angle, where the installed rerun-sdk can set
the eye; ``world`` is Z up), each arm's joint plots and the event log.

Timelines: ``record_time``, the default, seconds from the first product, as
the player, the movies and the event outputs count them; ``time``, each
product's time stamp (records one after another, as
``mirvane.formats.timeline`` places them for the MCAP export too; times run up
to 2**63-1 ns), which ``record_time`` follows; and ``product``, the product's
number in the file. The cell's
starting state is logged at each record's start. Every entity's rows of a
record go out in ``send_columns`` calls of many products each, so export takes no call per value;
memory holds so many products' rows. Each record is read twice, a product at a time: its stamps
and events first, where it goes on the timeline, then its drawing.
"""

import math
import os
import warnings
from array import array
from collections import defaultdict
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

import numpy as np

from dravik.api import data_pb2, system_pb2

with warnings.catch_warnings():     # rerun-sdk warns once that it soon drops Python 3.9
    warnings.simplefilter("ignore", DeprecationWarning)
    try:
        import rerun as rr
        import rerun.blueprint as rrb
        from rerun_bindings import flush_and_cleanup_orphaned_recordings
    except ImportError as e:  # pragma: no cover - depends on how mirvane was installed
        raise ImportError(f"mirvane.formats.rrd needs the rerun extra: pip install 'mirvane[rerun]' ({e})") from e

from .. import scene, sightings
from .._atomic import replacing
from ..records import (RENEW_EVERY, DataFileError, Event, EventsOf, PathLike, RecordIndexError, Severity,
                       UnfinishedFileError, event_marks, renewed)
from .productstream import ProductStream, Streamed
from .recordings import recording_file
from .recordstream import Counts
from .timeline import Stamps, Timeline

#: A progress callback: called with (bytes of the input done, bytes in all).
Progress = Callable[[int, int], None]

_ROBOT_COLOR = (242, 140, 38)
_JOINT_COLOR = (235, 235, 235)         # light, on the dark background
_ITEM_COLOR = (64, 128, 230)
_CAMERA_COLOR = (51, 191, 77)
_DAMAGE_COLOR = (217, 0, 0)
_CAMERA_RADIUS = 0.008                  # metres; a field of view's outline, thick enough to read from afar
_LEVELS = {Severity.INFO: rr.TextLogLevel.INFO, Severity.WARNING: rr.TextLogLevel.WARN,
           Severity.ERROR: rr.TextLogLevel.ERROR}
#: The 3D view's eye: south of the cell, this high above the horizon, this many times the cell's diagonal
#: away (its arms' reach, its items, its cameras' fields of view), so that the whole of it is in view.
_EYE_ELEVATION_DEG = 60.0
_EYE_DISTANCE = 0.85
_BACKGROUND = (24, 26, 31)      # dark, whatever the viewer's theme: the colours above are chosen for it
_PROGRESS_EVERY = 4096
_SEND_EVERY = RENEW_EVERY     # products whose rows are sent together: memory holds no more


class RrdError(DataFileError):
    """A Rerun export cannot be made from the given file; the message names it."""


def export_rrd(recording: PathLike, out: PathLike, index: Optional[int] = None, *,
               progress: Optional[Progress] = None, events: Optional[EventsOf] = None) -> Counts:
    """Write the records of a recording (a recording file, or an MCAP file) into the Rerun recording ``out``.

    All records by default; ``index`` picks one as ``Replay.play`` does (by
    position, negative positions counting from the end, -1 the record with the
    greatest stop time). ``progress`` is called with bytes done and in all.
    ``events``, given a record's project, its products and its position, gives its events for
    ``events/<kind>`` (``mirvane.analysis.events.product_events`` gives those
    ``mirvane events`` lists); without it the recording has none.
    ``out`` is replaced whole or not at all.

    Raises ``RrdError`` when the recording cannot be read; ``IndexError``
    (``mirvane.records.RecordIndexError``) when ``index`` names no record;
    ``OSError`` when ``out`` cannot be written.
    """
    recording, out = os.fspath(recording), os.fspath(out)
    if os.path.exists(out) and os.path.exists(recording) and os.path.samefile(recording, out):
        raise RrdError(out, "is the input itself; give another output name")
    step = progress or (lambda done, total: None)
    try:
        with recording_file(recording) as source:
            stream = ProductStream(source)
            try:
                size = os.path.getsize(source)
                chosen = stream.spans(index)
            except OSError as e:
                raise RrdError(recording, f"cannot be read ({e.strerror or e})") from None
            except RecordIndexError as e:     # named by the recording, not an MCAP file's import
                raise RecordIndexError(recording, e.reason, str(e).replace(stream.path, recording)) from None
            total = size if index is None else sum(length for _, _, length in chosen)
            with replacing(out) as temporary:
                rerun = rr.RecordingStream("mirvane")
                rerun.save(temporary)
                try:
                    export = _Export(rerun, recording, events)
                    done = 0
                    for position, offset, length in chosen:
                        export.add(lambda: stream.at(offset, length), position,
                                   lambda i, n: step(done + length * i // max(n, 1), total))
                        done += length
                    rerun.send_blueprint(export.blueprint(), make_active=True, make_default=True)
                    rerun.flush()
                finally:    # the file is complete and closed before it is renamed, or removed
                    rerun.disconnect()
                counts = Counts(export.records, export.products, stream.newer)
            # Rerun ends a stream's threads only once told that nothing holds it: a process exporting
            # again and again would gather them, and a fork beside them may hang.
            del export, rerun
            flush_and_cleanup_orphaned_recordings()
            step(total, total)
            return counts
    except UnfinishedFileError:
        raise
    except DataFileError as e:
        raise RrdError(e.path, e.reason) from None


class _Rows:
    """One entity's rows of a record, packed: their times and products, and each row's numbers
    (a flat run of them, ``sizes`` telling how many are the row's) or text."""

    def __init__(self) -> None:
        self.time = array("q")
        self.product = array("q")
        self.sizes = array("q")
        self.numbers = array("d")
        self.texts: List[str] = []
        #: Per row, where the shape is damaged and what is (once any row is).
        self.damage: List[Tuple[Tuple[scene.Point3, ...], str]] = []

    def add(self, time: int, product: int, numbers: Sequence[float] = (), shape: Optional[scene.Shape] = None,
            text: Optional[str] = None) -> None:
        """A row; one at the same time and product as the last replaces it (a record's starting
        state where its first product moves the same entity)."""
        if self.time and self.time[-1] == time and self.product[-1] == product:
            self._drop_last()
        self.time.append(time)
        self.product.append(product)
        self.sizes.append(len(numbers))
        self.numbers.extend(numbers)
        if text is not None:
            self.texts.append(text)
        if shape is not None and (self.damage or shape.markers or shape.problems):
            if not self.damage:
                self.damage = [((), "")] * (len(self.time) - 1)
            self.damage.append((shape.markers, ", ".join(shape.problems)))

    def _drop_last(self) -> None:
        del self.time[-1], self.product[-1]
        size = self.sizes.pop()
        if size:
            del self.numbers[-size:]
        if self.texts:
            self.texts.pop()
        if self.damage:
            self.damage.pop()

    def indexes(self, origin: int) -> List[rr.TimeColumn]:
        return _indexes(np.frombuffer(self.time, np.int64), np.frombuffer(self.product, np.int64), origin)

    def drawn(self, width: int) -> "np.ndarray[Any, np.dtype[np.float64]]":
        """The numbers of the rows that have any, one row of ``width`` columns each."""
        return np.frombuffer(self.numbers, np.float64).reshape(-1, width)

    def partition(self, width: int) -> "np.ndarray[Any, np.dtype[np.int64]]":
        """How many values of ``width`` numbers each row holds."""
        return np.frombuffer(self.sizes, np.int64) // width


class _Export:
    """Writes records to a Rerun stream, one after another on its timeline."""

    def __init__(self, stream: rr.RecordingStream, path: str, events: Optional[EventsOf] = None) -> None:
        self._stream = stream
        self._events = events
        self._timeline = Timeline(path, "a Rerun timeline", latest=2 ** 63 - 1)
        self._named: Set[str] = set()    # entities whose fixed parts (labels, colours) are logged
        self._robots: Dict[str, None] = {}     # the robots of the records, in order
        self._eye: Optional[rrb.EyeControls3D] = None
        self.records = 0
        self.products = 0
        self._origin: Optional[int] = None     # the first product's placed stamp: record_time 0
        # Z up, as the cell is laid out: the viewer's own eye, where it picks one, stands on the floor.
        stream.log("world", rr.ViewCoordinates.RIGHT_HAND_Z_UP, static=True)

    def add(self, record: Callable[[], Streamed], position: int, step: Callable[[int, int], None]) -> None:
        """Log the record at ``position`` of its recording, a product at a time. ``record`` reads it (a
        header and its products) and is called twice: where it lies on the timeline needs its stamps,
        gathered first with its events."""
        header, products = record()
        stamps = Stamps()

        def scanned() -> Iterator[data_pb2.Product]:
            for product in products:
                stamps.add(product.timestamp_ns)
                yield product

        scan = scanned()
        found = list(self._events(header.project, scan, position)) if self._events is not None else None
        for _ in scan:      # what the events left unread, or all without them
            pass
        offset = self._timeline.place(stamps, header.start_timestamp_ns, position)
        begin = stamps.begin if stamps.count else header.start_timestamp_ns
        if self._origin is None:
            self._origin = begin + offset
        workspace = header.project.workspace
        drawing = _Drawing(workspace, begin + offset, self.products)
        for n, product in enumerate(record()[1]):
            drawing.add(product, product.timestamp_ns + offset, self.products + n)
            if n % _PROGRESS_EVERY == 0:
                step(n, stamps.count)
            if n % _SEND_EVERY == _SEND_EVERY - 1:
                drawing.send(self._stream, self._named, self._origin)
        drawing.send(self._stream, self._named, self._origin)
        if found is not None:
            _send_events(self._stream, found, offset, self.products, self._origin)
        self._robots.update(dict.fromkeys(sorted(workspace.robots)))
        if not self.records:
            self._eye = _eye(workspace)
        self.records += 1
        self.products += stamps.count

    def blueprint(self) -> rrb.Blueprint:
        """What the viewer opens on: the cell in 3D beside each arm's joints plotted and the events."""
        cell = rrb.Spatial3DView(origin="world", name="cell", eye_controls=self._eye, background=_BACKGROUND)
        plots = [rrb.TimeSeriesView(origin=f"plots/{_part(robot)}/joints", name=f"{robot} joints")
                 for robot in self._robots]
        return rrb.Blueprint(rrb.Horizontal(cell, rrb.Vertical(*plots, rrb.TextLogView(origin="events", name="events")),
                                           column_shares=[3, 2]), rrb.TimePanel(timeline="record_time"))


def _eye(workspace: Any) -> Optional[rrb.EyeControls3D]:
    """An eye that sees the whole of the cell laid out in ``workspace`` from above at an angle; None
    where there is nothing to see or the installed rerun-sdk cannot place the eye."""
    cell = scene.cell(workspace.robots, workspace.cameras, workspace.items, workspace.state)
    points: List[scene.Point3] = []
    for robot in cell.robots:
        reach = sum(robot.links)
        points += [(x + dx * reach, y + dy * reach, z) for x, y, z in robot.points_3d[:1] for dx, dy in ((-1, -1), (1, 1))]
        points += robot.stand[:1]
    points += [(item.pose.position.x, item.pose.position.y, item.pose.position.z) for item in cell.items if item.drawable]
    points += [(x, y, camera.pose.position.z) for camera in cell.cameras if camera.drawable
               for x, y in camera.wedge(camera.reach)]
    if not points:
        return None
    low, high = np.min(points, axis=0), np.max(points, axis=0)
    target = (low + high) / 2.0
    away = _EYE_DISTANCE * max(float(np.linalg.norm(high - low)), 1.0)
    up = math.radians(_EYE_ELEVATION_DEG)
    place: Dict[str, Any] = {"position": tuple(target + away * np.array([0.0, -math.cos(up), math.sin(up)])),
                             "look_target": tuple(target), "eye_up": (0.0, 0.0, 1.0)}
    try:
        return rrb.EyeControls3D(**place)
    except TypeError:   # an older rerun-sdk's eye takes no place: the viewer picks one
        return None


def _indexes(time: "np.ndarray[Any, np.dtype[np.int64]]", product: "np.ndarray[Any, np.dtype[np.int64]]",
             origin: int) -> List[rr.TimeColumn]:
    """Rows' places on the timelines, from their stamps (placed) and products; ``origin`` the first
    product's placed stamp, where ``record_time`` is 0."""
    return [rr.TimeColumn("record_time", duration=(time - origin).view("timedelta64[ns]")),
            rr.TimeColumn("time", timestamp=time.view("datetime64[ns]")), rr.TimeColumn("product", sequence=product)]


def _send_events(stream: rr.RecordingStream, events: Iterable[Event], offset: int, first: int, origin: int) -> None:
    """A record's events as text logs with levels under ``events/<kind>``, where the exports show them,
    each with its subject and robot beside; ``first`` is the number of the record's first product,
    ``origin`` as ``_indexes`` takes it."""
    rows: Dict[str, List[Tuple[int, int, str, rr.TextLogLevel, str, str]]] = defaultdict(list)
    for event in events:
        rows[str(event.kind)].extend((stamp + offset, first + product, text, _LEVELS[Severity(event.severity)],
                                      event.subject, event.robot)
                                     for stamp, product, text in event_marks(event))
    for kind, entries in rows.items():
        entries.sort()
        times, products, texts, levels, subjects, robots = zip(*entries)
        stream.send_columns(f"events/{_part(kind)}",
                            _indexes(np.array(times, np.int64), np.array(products, np.int64), origin),
                            [*rr.TextLog.columns(text=list(texts), level=list(levels)),
                             *rr.AnyValues.columns(subject=list(subjects), robot=list(robots))])


class _Drawing:
    """One record's cell, plots and logs as rows of columns, sent in bulk at the record's end."""

    def __init__(self, workspace: Any, start: int, first: int) -> None:
        self._robots, self._cameras, self._items = workspace.robots, workspace.cameras, workspace.items
        self._state = system_pb2.WorkspaceState()
        self._state.CopyFrom(workspace.state)
        self._seen = sightings.ItemsSeen()      # where items not held were last seen
        self._extent = scene.extent(self._robots, self._cameras, self._items)
        self._shapes: Dict[Tuple[str, str], _Rows] = defaultdict(_Rows)     # ("robots", name) -> rows
        self._series: Dict[str, _Rows] = defaultdict(_Rows)                 # plots/<robot>/joints -> vectors
        self._texts: Dict[str, _Rows] = defaultdict(_Rows)                  # entity -> rows of text
        self._mounted: Set[str] = set()     # robots whose mount is drawn
        for name in sorted(self._robots):
            self._robot(name, start, first)
        for name in sorted(self._cameras):
            self._camera(name, start, first)
        for name in sorted(self._items):
            self._item(name, start, first)

    def add(self, product: data_pb2.Product, time: int, number: int) -> None:
        kind = scene.kind_of(product)
        moved = scene.apply(product, self._state)
        for camera in moved.cameras:
            self._camera(camera, time, number)
        if moved.robot:
            self._robot(moved.robot, time, number)
        for item in sorted({moved.item, *self._seen.apply(product)} - {""}):
            self._item(item, time, number)
        if kind == "controller" and product.controller.robot:
            self._plot(product.controller, time, number)
        elif kind == "decision":
            self._texts["log/decision"].add(time, number, text=scene.decision_text(product.decision))
        elif kind == "planner":
            planner = product.planner
            self._texts["log/planner"].add(time, number, text=f"{planner.robot or '-'}: {len(planner.waypoints)} "
                                                              f"waypoints over {planner.duration_s:.3f} s")

    def _robot(self, name: str, time: int, number: int) -> None:
        model = self._robots.get(name)
        if model is None:       # a robot the layout does not know has no shape
            return
        shape = scene.robot(name, model, self._state.robots.get(name))
        self._shapes["robots", name].add(time, number, [v for p in shape.points_3d for v in p], shape)
        if name not in self._mounted:    # it stands still
            self._mounted.add(name)
            self._shapes["mounts", name].add(time, number, [v for p in shape.stand for v in p])

    def _camera(self, name: str, time: int, number: int) -> None:
        model = self._cameras.get(name)
        if model is None:
            return
        shape = scene.camera(name, model, self._state.cameras.get(name), self._extent)
        wedge = shape.wedge(shape.reach) if shape.drawable else []
        z = shape.pose.position.z
        self._shapes["cameras", name].add(time, number, [v for x, y in wedge + wedge[:1] for v in (x, y, z)], shape)

    def _item(self, name: str, time: int, number: int) -> None:
        model = self._items.get(name)
        if model is None:
            return
        shape = scene.item(name, model, self._state.items.get(name), seen=self._seen.poses.get(name))
        size = shape.size
        box = (*_position(shape.pose), *_quaternion(shape.pose), size.x / 2, size.y / 2, size.z / 2) \
            if shape.drawable else ()
        self._shapes["items", name].add(time, number, box, shape)

    def _plot(self, controller: system_pb2.Controller, time: int, number: int) -> None:
        robot = _part(controller.robot)
        self._series[f"plots/{robot}/joints"].add(time, number, controller.feedback.joint.positions.values)
        self._series[f"plots/{robot}/effector"].add(time, number, controller.feedback.effector.positions.values)

    def send(self, stream: rr.RecordingStream, named: Set[str], origin: int) -> None:
        """Send the rows gathered since the last sending; ``origin`` as ``_indexes`` takes it."""
        for (group, name), rows in self._shapes.items():
            path = f"world/robots/{_part(name)}/mount" if group == "mounts" else f"world/{group}/{_part(name)}"
            if path not in named:
                named.add(path)
                _log_fixed(stream, path, group, name, self._robots.get(name))
            if rows.damage:
                _send_damage(stream, path + "/damage", rows, named, origin)
            if group == "items":
                _send_boxes(stream, path, rows, origin)
            else:
                _send_strips(stream, path, rows, group == "robots", origin)
        for path, rows in self._series.items():
            _send_series(stream, path, rows, origin)
        for path, rows in self._texts.items():
            stream.send_columns(path, rows.indexes(origin), rr.TextLog.columns(text=rows.texts))
        self._shapes.clear()
        self._series.clear()
        self._texts.clear()
        self._state = renewed(self._state)


def _send_series(stream: rr.RecordingStream, path: str, rows: _Rows, origin: int) -> None:
    """Each position of the rows' vectors as a time series of its own, in the rows that have it."""
    sizes = np.frombuffer(rows.sizes, np.int64)
    starts = np.cumsum(sizes) - sizes
    numbers = np.frombuffer(rows.numbers, np.float64)
    time, product = np.frombuffer(rows.time, np.int64), np.frombuffer(rows.product, np.int64)
    for i in range(int(sizes.max(initial=0))):
        has = sizes > i
        name = scene.EFFECTOR_AXES[i] if path.endswith("/effector") and i < len(scene.EFFECTOR_AXES) else str(i)
        stream.send_columns(f"{path}/{name}", _indexes(time[has], product[has], origin),
                            rr.Scalars.columns(scalars=numbers[starts[has] + i]))


def _send_boxes(stream: rr.RecordingStream, path: str, rows: _Rows, origin: int) -> None:
    boxes = rows.drawn(10)
    stream.send_columns(path, rows.indexes(origin), rr.Boxes3D.columns(
        centers=boxes[:, 0:3], quaternions=boxes[:, 3:7], half_sizes=boxes[:, 7:10]).partition(rows.partition(10)))


def _send_strips(stream: rr.RecordingStream, path: str, rows: _Rows, joints: bool, origin: int) -> None:
    """A line strip a row (none where undrawable) and, for an arm, its joints but the effector."""
    # Every drawn row has as many points: the layout's, which holds for a record.
    points = max(rows.sizes) // 3
    if not points:
        stream.send_columns(path, rows.indexes(origin), rr.LineStrips3D.columns(
            strips=np.zeros((0, 0, 3), np.float32)).partition(rows.partition(1)))
        return
    strips = rows.drawn(3 * points).reshape(-1, points, 3).astype(np.float32)
    drawn = rows.partition(3 * points)
    stream.send_columns(path, rows.indexes(origin), rr.LineStrips3D.columns(strips=strips).partition(drawn))
    if joints:
        stream.send_columns(path + "/joints", rows.indexes(origin), rr.Points3D.columns(
            positions=strips[:, :-1].reshape(-1, 3)).partition(drawn * (points - 1)))


def _send_damage(stream: rr.RecordingStream, path: str, rows: _Rows, named: Set[str], origin: int) -> None:
    """Red points where a shape is damaged, labelled with what is; none in rows where it is not."""
    if path not in named:
        named.add(path)
        stream.log(path, rr.Points3D.from_fields(colors=[_DAMAGE_COLOR]), static=True)
    stream.send_columns(path, rows.indexes(origin), rr.Points3D.columns(
        positions=_array([tuple(map(scene.bounded, m)) for markers, _ in rows.damage for m in markers], 3),
        labels=[label for markers, label in rows.damage for _ in markers]).partition(
        [len(markers) for markers, _ in rows.damage]))


def _log_fixed(stream: rr.RecordingStream, path: str, group: str, name: str, robot: Any = None) -> None:
    """What an entity keeps across rows: its name, colour and thickness (links as thick as in /scene)."""
    if group == "robots":
        radius = scene.mount_of(robot).link_width / 2.0 if robot is not None else scene.LINK_WIDTH / 2.0
        stream.log(path, rr.LineStrips3D.from_fields(labels=[name], colors=[_ROBOT_COLOR], radii=[radius]),
                   static=True)
        stream.log(path + "/joints", rr.Points3D.from_fields(colors=[_JOINT_COLOR], radii=[scene.JOINT_RADIUS]),
                   static=True)
    elif group == "mounts":
        stream.log(path, rr.LineStrips3D.from_fields(colors=[_JOINT_COLOR], radii=[scene.JOINT_RADIUS]), static=True)
    elif group == "items":
        stream.log(path, rr.Boxes3D.from_fields(labels=[name], colors=[_ITEM_COLOR],
                                                fill_mode=rr.components.FillMode.Solid), static=True)
    else:
        stream.log(path, rr.LineStrips3D.from_fields(labels=[name], colors=[_CAMERA_COLOR], radii=[_CAMERA_RADIUS]),
                   static=True)


def _part(name: str) -> str:
    """``name`` as one part of an entity path, whatever characters it holds."""
    return str(rr.escape_entity_path_part(name))


def _array(rows: Sequence[Sequence[float]], width: int) -> "np.ndarray[Any, np.dtype[np.float64]]":
    return np.array(rows, dtype=np.float64).reshape(-1, width)


def _position(pose: Any) -> Tuple[float, float, float]:
    return pose.position.x, pose.position.y, pose.position.z


def _quaternion(pose: Any) -> Tuple[float, float, float, float]:
    q = pose.orientation
    if not (q.x or q.y or q.z or q.w):      # an unset orientation counts as none, as in the scene model
        return 0.0, 0.0, 0.0, 1.0
    return q.x, q.y, q.z, q.w
