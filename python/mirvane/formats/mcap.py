"""Recordings as MCAP files, the log format robotics tools open, and back.

``export_mcap`` writes a recording file's records into one MCAP file whose
messages are protobuf with their schemas embedded, so any MCAP reader decodes
them without mirvane's ``.proto`` files; ``import_mcap`` reads such a file back
into a recording file whose records equal the original ones.

Channels (a message's sequence number is its product's position in the record,
or the record's position in the file for the three messages that open a record):

* ``/record`` (``dravik.api.RecordHeader``) opens each record: its project,
  start and stop time stamps, the products that carry no part, the number of
  products and the record's time offset, and whatever fields a newer version
  wrote into the record and its products. Only import needs it.
* ``/workspace/start`` (``dravik.api.WorkspaceState``): the record's starting
  workspace state, at the record's first log time.
* ``/perception``, ``/decision``, ``/planner``, ``/controller``: each present
  part of each product, as recorded, at the product's log time. A product with
  several parts has one message on each of their channels.
* ``/scene`` (``foxglove.SceneUpdate``): a drawing of ``mirvane.scene``, the
  work cell rebuilt the way ``Replay.play`` rebuilds it (robots as their
  links, items as boxes, cameras as their field of view; a damaged value as a
  red sphere, named in its entity's metadata), once at the start of a record
  and after every product that moves something, so a 3D panel shows the cell
  moving; names as text, joints as spheres, as the Rerun export draws them.
  Each holds the whole cell (the first of a record also deletes what the record
  before showed), so a tool that seeks to any time shows it complete.
* ``/events`` (``foxglove.Log``): the record's events (``mirvane.analysis.events``),
  each at its time: level from its severity, ``name`` its kind, ``message``
  its text; a range event (a stall, an item unseen) also at its end, its
  message then beginning "ended: ". Where the installed schemas have
  ``foxglove.Event`` (foxglove-schemas-protobuf 0.4, on Python 3.10 and newer),
  ``/events/spans`` holds each event as one, from its time to its end, its
  kind, severity, subject, text and number as metadata. Import skips both:
  events are found from the products, never read back.

Time axis: all records go into one file, one after another, as
``mirvane.formats.timeline`` places them. A message's log time is its product's
time stamp plus the record's offset, which is zero unless the record would
start before the previous one has ended (records recorded one after another,
as a real cell and ``mirvane.simulation.cell`` make them, keep their own times)
or at a negative time; the offset travels in ``/record`` so that import
restores every time stamp exactly. Log times run from 0 to 2**64-1 and the
offset to 2**63-1: a record that needs more is refused, naming it and the stamp.

Chunks end only between products, so a file cut short anywhere holds whole
products: ``mirvane.formats.recorder`` writes through the same ``LayoutWriter``,
its records opened by a ``streamed`` header (their products not yet known).

Import reads the file in file order, holding one record at a time; messages of
one log time are taken a record's opening messages first, so a file whose
messages were re-sorted by time reads the same. A record's products are placed
by their sequence numbers. A file with no ``/record`` channel (written by
another tool) is read as well: each ``/workspace/start`` message begins a
record, its products follow, and messages with equal log time and sequence
number on different channels make up one product. The summary is optional.

Every MCAP file mirvane reads goes through ``McapRecords``, which refuses,
before decompressing, a chunk declaring more than ``MAX_EXPANSION`` times the
file's size or ``MAX_CHUNK_BYTES``, and a record declaring more than the file
holds; it refuses an unfinished file (cut short, or still being written) with
an ``UnfinishedMcapError`` saying how to recover it, or, with ``partial``, reads
what it holds (``recover_mcap``).

Both directions stream (one record's products in memory at most), show a
progress bar when asked, and replace their output whole or not at all. Every
problem with the input is a ``McapError`` naming the file.
"""

import functools
import io
import math
import os
import struct
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple, Type, Union, cast

from google.protobuf import message as pb_message
from google.protobuf import unknown_fields  # type: ignore[attr-defined, unused-ignore]  # older stubs lack it
from google.protobuf.descriptor import Descriptor
from dravik.api import data_pb2, export_pb2, system_pb2

try:
    from foxglove_schemas_protobuf.LinePrimitive_pb2 import LinePrimitive
    from foxglove_schemas_protobuf.Log_pb2 import Log
    from foxglove_schemas_protobuf.SceneEntity_pb2 import SceneEntity
    from foxglove_schemas_protobuf.SceneEntityDeletion_pb2 import SceneEntityDeletion
    from foxglove_schemas_protobuf.SceneUpdate_pb2 import SceneUpdate
    from mcap.exceptions import EndOfFile, RecordLengthLimitExceeded
    from mcap.records import Channel, Chunk, Footer, Message, Schema
    from mcap.stream_reader import MAGIC_SIZE, StreamReader, breakup_chunk
    from mcap.writer import CompressionType, Writer
    from mcap_protobuf.decoder import DecoderFactory
    from mcap_protobuf.schema import register_schema
    from tqdm import tqdm
except ImportError as e:  # pragma: no cover - depends on how mirvane was installed
    raise ImportError(f"mirvane.formats.mcap needs the mcap extra: pip install 'mirvane[mcap]' ({e})") from e

from .._atomic import replacing
from .._version import __version__
from ..analysis.events import Event, marks, record_events
from ..data import DataFileError, PathLike, UnfinishedFileError, newer_fields
from .. import scene
from ..geometry import set_pose
from .recordstream import Counts, RecordReader, RecordWriter
from .timeline import Timeline


def _foxglove_event() -> Optional[Type[pb_message.Message]]:
    """foxglove.Event, where the installed schemas have it."""
    try:
        from foxglove_schemas_protobuf import Event_pb2  # type: ignore[attr-defined, unused-ignore]
    except ImportError:
        return None
    return cast(Type[pb_message.Message], Event_pb2.Event)


#: A progress callback: called with (bytes of the input done, bytes in all).
Progress = Callable[[int, int], None]

RECORD = "/record"
START = "/workspace/start"
SCENE = "/scene"
#: The product parts in the order replay tests them, with their channels.
PARTS: Tuple[Tuple[str, str, Type[pb_message.Message]], ...] = tuple(
    (kind, "/" + kind, getattr(system_pb2, kind.capitalize())) for kind in scene.KINDS)
_PART_OF = {topic: part for part, topic, _ in PARTS}
CHANNELS: Dict[str, Type[pb_message.Message]] = {
    RECORD: export_pb2.RecordHeader,
    START: system_pb2.WorkspaceState,
    **{topic: cls for _, topic, cls in PARTS},
    SCENE: SceneUpdate,
}
EVENTS = "/events"
EVENT_SPANS = "/events/spans"
_EVENT = _foxglove_event()
#: The channels of a record's events: derived from its products, so never imported.
EVENT_CHANNELS: Dict[str, Type[pb_message.Message]] = {EVENTS: Log, **({EVENT_SPANS: _EVENT} if _EVENT else {})}
_LEVELS = {"info": Log.INFO, "warning": Log.WARNING, "error": Log.ERROR}

#: Bounds on what one chunk may hold uncompressed, checked against what it declares before
#: it is decompressed (and while it is): this many times the file's size, and at most this
#: many bytes. Chunks of real files hold a few MB and compress a few times over.
MAX_EXPANSION = 1000
MAX_CHUNK_BYTES = 512 * 1024 * 1024
#: Uncompressed bytes a chunk gathers before it is written.
CHUNK_BYTES = 1024 * 1024

_INT64 = 2 ** 63
_FOOTER_BYTES = 1 + 8 + 20  # opcode, length, summary start, summary offset start, CRC
_FOOTER_OPCODE = 0x02
_MAGIC = b"\x89MCAP0\r\n"
_PROGRESS_EVERY = 4096      # products or messages between progress updates
_FRAME = "world"
_FIELD_OF_VIEW_RANGE = 1.0  # metres; how far a camera's field of view is drawn
_ROBOT_COLOR = (0.95, 0.55, 0.15, 1.0)
_ITEM_COLOR = (0.25, 0.5, 0.9, 1.0)
_CAMERA_COLOR = (0.2, 0.75, 0.3, 1.0)
_JOINT_COLOR = (0.92, 0.92, 0.92, 1.0)
_NAME_COLOR = (1.0, 1.0, 1.0, 1.0)
_NAME_PIXELS = 14.0         # names are drawn this high on the screen, however far
_NAME_ABOVE = 0.06          # metres above what they name
_DAMAGE_COLOR = (0.85, 0.0, 0.0, 1.0)
_DAMAGE_SIZE = 0.1          # metres; the sphere that marks a damaged value


class McapError(DataFileError):
    """An MCAP export or import cannot be made from the given file; the message names it."""


class UnfinishedMcapError(McapError, UnfinishedFileError):
    """An MCAP file that ends before its closing summary; the message says how to recover it."""


def export_mcap(recording: PathLike, out: PathLike, index: Optional[int] = None, *,
                progress: Union[bool, Progress] = False) -> Counts:
    """Write the records of a recording (a recording file, or an MCAP file) into the MCAP file ``out``.

    All records by default; ``index`` picks one as ``Replay.play`` does: by
    position, negative positions counting from the end, and -1 the record with
    the greatest stop time. ``progress`` is True for a progress bar on stderr,
    or a callback. ``out`` is replaced whole or not at all.

    Raises ``McapError`` when the recording cannot be read or exported;
    ``mirvane.data.RecordIndexError`` (an ``IndexError``) when ``index``
    names no record; ``OSError`` when ``out`` cannot be written.
    """
    from .recordings import recording_file

    recording, out = os.fspath(recording), os.fspath(out)
    _check_output(recording, out)
    if index is not None and (type(index) is not int):
        raise TypeError(f"index must be an int, not {type(index).__name__}")
    try:
        with recording_file(recording) as source, _open(source, RecordReader) as reader:
            reader.path = recording
            spans, positions = reader.chosen(index)
            total = reader.size if spans is None else sum(length for _, length in spans)
            with _progress(progress, total, f"export {os.path.basename(recording)}") as step, \
                    replacing(out) as temporary, open(temporary, "wb") as f:
                export = _Export(f, recording, events=True)
                done = 0
                for position, ((_, length), record) in zip(positions, reader.records(spans)):
                    export.add(record, position, lambda i, n: step(done + length * i // max(n, 1)))
                    done += length
                export.finish()
                step(total)
                return Counts(export.records, export.products, reader.newer)
    except (McapError, UnfinishedFileError):
        raise
    except DataFileError as e:
        raise McapError(str(e)) from None


def import_mcap(source: PathLike, out: PathLike, *, progress: Union[bool, Progress] = False) -> Counts:
    """Read an MCAP file written by ``export_mcap`` or a ``Recorder`` (or with their channels)
    into the recording file ``out``.

    ``progress`` is True for a progress bar on stderr, or a callback. ``out``
    is replaced whole or not at all.

    Raises ``McapError`` when ``source`` is not such an MCAP file (not MCAP,
    unfinished, damaged, missing channels, schemas that do not match);
    ``OSError`` when ``out`` cannot be written.
    """
    source, out = os.fspath(source), os.fspath(out)
    _check_output(source, out)
    with _progress(progress, _size(source), f"import {os.path.basename(source)}") as step:
        reading = McapRecords(source, progress=step)
        with replacing(out) as temporary, open(temporary, "wb") as f:
            writer = RecordWriter(f)
            for record in reading:
                writer.write(record)
            step(reading.size)
            return Counts(reading.records, reading.products, reading.newer)


@dataclass(frozen=True)
class Recovery:
    """What ``recover_mcap`` kept: records and products, bytes read of the file's size, and
    why reading stopped (empty when the file was whole)."""
    records: int
    products: int
    kept_bytes: int
    size: int
    stopped: str


def recover_mcap(broken: PathLike, fixed: PathLike) -> Recovery:
    """Write into ``fixed`` a whole MCAP file of what ``broken`` holds up to where it stops
    being readable (an unfinished file's last flush): whole products, in order.

    ``fixed`` appears only once it reads back whole with every record and
    product kept. Raises ``McapError`` when nothing can be recovered.
    """
    broken, fixed = os.fspath(broken), os.fspath(fixed)
    _check_output(broken, fixed)
    reading = McapRecords(broken, partial=True)
    with replacing(fixed) as temporary:
        with open(temporary, "wb") as f:
            export = _Export(f, broken)
            for position, record in enumerate(reading):
                export.add(record, position, lambda i, n: None)
            if not export.records:
                raise McapError(f"{broken}: nothing to recover: {reading.stopped or 'it holds no records'}")
            export.finish()
        again = McapRecords(temporary)
        for _ in again:
            pass
        if (again.records, again.products) != (export.records, export.products):
            raise McapError(f"{fixed}: the recovered file reads back as {again.records} records and "
                            f"{again.products} products, not {export.records} and {export.products}")
    return Recovery(export.records, export.products, reading.kept_bytes, reading.size, reading.stopped)


# -- export -----------------------------------------------------------------------------

class LayoutWriter:
    """An MCAP file in the export's layout, written as records open and products come:
    what ``export_mcap`` and the recorder (``mirvane.formats.recorder``) write through.

    A chunk is written once it holds ``chunk_bytes`` (or on ``flush``), and only
    between products, so a file cut short anywhere holds whole products. ``/scene``
    follows every product that moves something, or with ``scene_interval_ns`` at most
    once in that much log time (a live recording's 3D view needs no more).
    """

    def __init__(self, f: IO[bytes], chunk_bytes: int = CHUNK_BYTES, scene_interval_ns: int = 0,
                 events: bool = False) -> None:
        # The writer never ends a chunk by itself: only between products, here.
        self._writer = Writer(f, chunk_size=2 ** 62, compression=CompressionType.ZSTD)
        self._writer.start(profile="", library=f"mirvane {__version__}")
        channels = {**CHANNELS, **(EVENT_CHANNELS if events else {})}
        self._channels = {topic: self._writer.register_channel(topic=topic, message_encoding="protobuf",
                                                               schema_id=register_schema(self._writer, cls))
                          for topic, cls in channels.items()}
        self._chunk_bytes = chunk_bytes
        self._pending = 0       # bytes of messages in the chunk being gathered
        self._cell: Optional[SceneChannel] = None
        self._scene_interval = scene_interval_ns
        self._scene_at = 0      # the log time of the latest /scene

    def open_record(self, header: export_pb2.RecordHeader, time: int, sequence: int) -> None:
        """Open a record at log time ``time``: its header, its starting state and the scene."""
        workspace = header.record.project.workspace
        state = system_pb2.WorkspaceState()
        state.CopyFrom(workspace.state)
        self.write(RECORD, time, header.SerializeToString(deterministic=True), sequence)
        self.write(START, time, state.SerializeToString(deterministic=True), sequence)
        self._cell = SceneChannel(workspace.robots, workspace.cameras, workspace.items, state, time)
        self.write(SCENE, time, self._cell.update(time, clear=True), sequence)
        self._scene_at = time

    def product(self, product: data_pb2.Product, time: int, sequence: int) -> None:
        """Write a product of the open record: its parts, and the scene if it moved something."""
        for topic, data in part_messages(product):
            self.write(topic, time, data, sequence)
        cell = self._cell
        if cell is not None:
            cell.apply(product)
            if cell.moved and (not self._scene_interval or time - self._scene_at >= self._scene_interval):
                self.write(SCENE, time, cell.update(time), sequence)
                self._scene_at = time
        if self._pending >= self._chunk_bytes:
            self.flush()

    def flush(self) -> None:
        """Write the chunk gathered so far and flush the file."""
        self._writer.flush()  # type: ignore[no-untyped-call]
        self._pending = 0

    def finish(self) -> None:
        """Write the last chunk and the summary: the file is whole."""
        self._writer.finish()  # type: ignore[no-untyped-call]

    def write(self, topic: str, time: int, data: bytes, sequence: int) -> None:
        """Write a message on one of the file's channels (one of ``/events`` between products)."""
        self._writer.add_message(channel_id=self._channels[topic], log_time=time, data=data,
                                 publish_time=time, sequence=sequence)
        self._pending += len(data) + 31     # and the message record's own fields


class _Export:
    """Writes records to an MCAP file, one after another on its time axis; with ``events``, their events too."""

    def __init__(self, f: IO[bytes], path: str, events: bool = False) -> None:
        self._out = LayoutWriter(f, events=events)
        self._events = events
        self._timeline = Timeline(path, "an MCAP file's time axis", latest=2 ** 64 - 1, most_offset=_INT64 - 1,
                                  error=McapError)
        self.records = 0
        self.products = 0

    def add(self, record: data_pb2.Record, position: int, step: Callable[[int, int], None]) -> None:
        """Write ``record``, the record at ``position`` of its recording."""
        products = record.products
        header = export_pb2.RecordHeader(product_count=len(products))
        # Every field of a Record but its products, a newer version's too.
        if len(unknown_fields.UnknownFieldSet(record)):
            header.record.ParseFromString(record.SerializeToString())
            del header.record.products[:]
        else:
            if record.HasField("project"):
                header.record.project.CopyFrom(record.project)
            header.record.start_timestamp_ns = record.start_timestamp_ns
            header.record.stop_timestamp_ns = record.stop_timestamp_ns
        for n, product in enumerate(products):
            if scene.kind_of(product) is None:
                header.bare_positions.append(n)
                header.record.products.add().CopyFrom(product)
            elif len(unknown_fields.UnknownFieldSet(product)):     # a newer version's fields
                header.extra_positions.append(n)
                _only_unknown(header.extras.add(), product)
        offset = header.time_offset_ns = self._timeline.place(record, position)
        begin = min((p.timestamp_ns for p in products), default=record.start_timestamp_ns)
        # The events' messages go between the products, each before the first product after it.
        events = event_messages(record, offset, position) if self._events else []
        written = 0

        self._out.open_record(header, begin + offset, self.records)
        for n, product in enumerate(products):
            time = product.timestamp_ns + offset
            while written < len(events) and events[written][1] < time:
                self._out.write(*events[written])
                written += 1
            self._out.product(product, time, n & 0xFFFFFFFF)
            if n % _PROGRESS_EVERY == 0:
                step(n, len(products))
        for message in events[written:]:
            self._out.write(*message)
        self.records += 1
        self.products += len(products)

    def finish(self) -> None:
        self._out.finish()


def event_messages(record: data_pb2.Record, offset: int, position: int = 0) -> List[Tuple[str, int, bytes, int]]:
    """The messages of the events' channels for ``record`` (at ``position`` in its recording) whose
    log times are its time stamps plus ``offset``: (topic, log time, data, sequence), by log time."""
    messages: List[Tuple[str, int, bytes, int]] = []
    for event in record_events(record, position):
        shown = [(stamp + offset, text) for stamp, _, text in marks(record, event)]
        messages.extend((EVENTS, time, _log(event, time, text), event.number) for time, text in shown)
        if _EVENT is not None:
            messages.append((EVENT_SPANS, shown[0][0], _span(_EVENT(), event, shown[0][0], shown[-1][0]),
                             event.number))
    messages.sort(key=lambda message: message[1])
    return messages


def _log(event: Event, time: int, text: str) -> bytes:
    log = Log(level=_LEVELS[event.severity], name=event.kind, message=text)
    log.timestamp.FromNanoseconds(time)
    return log.SerializeToString(deterministic=True)


def _span(span: Any, event: Event, start: int, end: int) -> bytes:
    """``event`` as a foxglove.Event ``span``, from ``start`` to ``end``."""
    span.start_time.FromNanoseconds(start)
    span.end_time.FromNanoseconds(end)
    for key in ("kind", "severity", "subject", "text", "number"):
        span.metadata.add(key=key, value=str(getattr(event, key)))
    return cast(bytes, span.SerializeToString(deterministic=True))


def part_messages(product: data_pb2.Product) -> List[Tuple[str, bytes]]:
    """The channel and serialized message of each part ``product`` carries, in kind order."""
    return [(topic, getattr(product, part).SerializeToString(deterministic=True))
            for part, topic, _ in PARTS if product.HasField(part)]


class SceneChannel:
    """The ``/scene`` channel: a drawing of the cell (``mirvane.scene``) as a foxglove.SceneUpdate,
    following the workspace state as playback rebuilds it.

    Each entity is kept serialized as a one-entity SceneUpdate; concatenated,
    they are the SceneUpdate of the whole cell, so a product rebuilds only the
    entities it moves.
    """

    def __init__(self, robots: Any, cameras: Any, items: Any, state: system_pb2.WorkspaceState,
                 time: int) -> None:
        self._robots, self._cameras, self._items = robots, cameras, items
        self._state = state
        self._entities: Dict[str, bytes] = {}
        self._moved: Dict[str, Callable[[str, int], None]] = {}    # what to draw anew, by name
        self._drawn_cameras: Dict[str, Any] = {}     # each camera's pose as last drawn
        # By name: a map's own order differs from one process to the next.
        for name in sorted(robots):
            self._robot(name, time)
        for name in sorted(cameras):
            self._camera(name, time)
        for name in sorted(items):
            self._item(name, time)

    def apply(self, product: data_pb2.Product) -> bool:
        """Apply ``product`` to the state as playback does; whether it moved anything. What it
        moved is drawn anew by the next ``update``."""
        moved = scene.apply(product, self._state)
        for camera in moved.cameras:    # perception reports every camera, most of them standing still
            if self._state.cameras[camera].base_pose != self._drawn_cameras.get(camera):
                self._moved[camera] = self._camera
        if moved.robot:
            self._moved[moved.robot] = self._robot
        if moved.item:
            self._moved[moved.item] = self._item
        return bool(moved)

    @property
    def moved(self) -> bool:
        """Whether products applied since the last ``update`` moved anything."""
        return bool(self._moved)

    def update(self, time: int, clear: bool = False) -> bytes:
        """The SceneUpdate of the whole cell; ``clear`` first deletes whatever an earlier record showed."""
        for name, draw in self._moved.items():
            draw(name, time)
        self._moved.clear()
        deletions = b""
        if clear:
            deletion = SceneEntityDeletion(type=SceneEntityDeletion.ALL)
            deletion.timestamp.FromNanoseconds(time)
            deletions = SceneUpdate(deletions=[deletion]).SerializeToString(deterministic=True)
        return deletions + b"".join(self._entities.values())

    def _robot(self, name: str, time: int) -> None:
        model = self._robots.get(name)
        if model is None:       # a robot the layout does not know has no shape
            return
        shape = scene.robot(name, model, self._state.robots.get(name))
        update, entity = _entity("robot", name, time)
        for (x0, y0), (x1, y1), length in zip(shape.points, shape.points[1:], shape.links):
            link = entity.cubes.add()
            set_pose(link.pose, (x0 + x1) / 2.0, (y0 + y1) / 2.0, shape.z, math.atan2(y1 - y0, x1 - x0))
            link.size.x, link.size.y, link.size.z = length, scene.LINK_WIDTH, scene.LINK_WIDTH
            _color(link.color, _ROBOT_COLOR)
        for x, y in shape.points[:-1]:      # the base and the joints, not the effector
            joint = entity.spheres.add()
            set_pose(joint.pose, x, y, shape.z)
            joint.size.x = joint.size.y = joint.size.z = 2.0 * scene.JOINT_RADIUS
            _color(joint.color, _JOINT_COLOR)
        if shape.points:
            _name(entity, name, shape.points[0][0], shape.points[0][1], shape.z + scene.LINK_WIDTH)
        self._keep(update, entity, shape)

    def _item(self, name: str, time: int) -> None:
        model = self._items.get(name)
        if model is None:
            return
        shape = scene.item(name, model, self._state.items.get(name))
        update, entity = _entity("item", name, time)
        if shape.drawable:
            box = entity.cubes.add()
            _copy_pose(box.pose, shape.pose)
            box.size.x, box.size.y, box.size.z = shape.size.x, shape.size.y, shape.size.z
            _color(box.color, _ITEM_COLOR)
            p = shape.pose.position
            _name(entity, name, p.x, p.y, p.z + shape.size.z / 2.0)
        self._keep(update, entity, shape)

    def _camera(self, name: str, time: int) -> None:
        model = self._cameras.get(name)
        if model is None:
            return
        state = self._state.cameras.get(name)
        if state is not None:
            self._drawn_cameras[name] = type(state.base_pose)()
            self._drawn_cameras[name].CopyFrom(state.base_pose)
        shape = scene.camera(name, model, state)
        update, entity = _entity("camera", name, time)
        if shape.drawable:
            view = entity.lines.add(type=LinePrimitive.LINE_LOOP, thickness=0.01)
            _copy_pose(view.pose, shape.pose)
            for x, y in shape.wedge(_FIELD_OF_VIEW_RANGE, world=False):
                view.points.add(x=x, y=y)
            _color(view.color, _CAMERA_COLOR)
            p = shape.pose.position
            _name(entity, name, p.x, p.y, p.z)
        self._keep(update, entity, shape)

    def _keep(self, update: SceneUpdate, entity: SceneEntity, shape: scene.Shape) -> None:
        _mark(entity, shape)
        self._entities[entity.id] = update.SerializeToString(deterministic=True)


def _entity(kind: str, name: str, time: int) -> Tuple[SceneUpdate, SceneEntity]:
    """A one-entity scene update and its new entity, to be filled in."""
    update = SceneUpdate()
    entity = update.entities.add(id=f"{kind}/{name}", frame_id=_FRAME)
    entity.timestamp.FromNanoseconds(time)
    return update, entity


def _name(entity: SceneEntity, name: str, x: float, y: float, z: float) -> None:
    """``name`` written just above (x, y, z), facing the viewer."""
    text = entity.texts.add(text=name, billboard=True, font_size=_NAME_PIXELS, scale_invariant=True)
    set_pose(text.pose, x, y, z + _NAME_ABOVE)
    _color(text.color, _NAME_COLOR)


def _mark(entity: SceneEntity, shape: scene.Shape) -> None:
    """Red spheres where ``shape`` is damaged, and what is, in the entity's metadata."""
    for x, y, z in shape.markers:
        sphere = entity.spheres.add()
        set_pose(sphere.pose, scene.bounded(x), scene.bounded(y), scene.bounded(z))
        sphere.size.x = sphere.size.y = sphere.size.z = _DAMAGE_SIZE
        _color(sphere.color, _DAMAGE_COLOR)
    if shape.problems:
        entity.metadata.add(key="bad values", value=", ".join(shape.problems))


def _copy_pose(target: Any, source: Any) -> None:
    target.position.x, target.position.y, target.position.z = (
        source.position.x, source.position.y, source.position.z)
    q = source.orientation
    target.orientation.x, target.orientation.y, target.orientation.z, target.orientation.w = q.x, q.y, q.z, q.w


def _color(target: Any, rgba: Tuple[float, float, float, float]) -> None:
    target.r, target.g, target.b, target.a = rgba


def _only_unknown(target: pb_message.Message, source: pb_message.Message) -> None:
    """Make ``target`` hold only the fields of ``source`` that this version does not know."""
    target.ParseFromString(source.SerializeToString())
    for field, _ in target.ListFields():
        target.ClearField(field.name)


# -- import -----------------------------------------------------------------------------

class McapRecords:
    """The records of an MCAP file in the export's layout, read one at a time by iterating.

    Without ``partial``, an unfinished file is refused at once with an
    ``UnfinishedMcapError``, and anything damaged with a ``McapError``. With
    ``partial``, what the file holds is read up to where it stops being
    readable: ``stopped`` then says where and why (empty when the file was
    whole), ``kept_bytes`` how much of it was read, and the last record keeps
    the products read whole. ``progress`` is called with the bytes read so far.
    ``records``, ``products`` and ``newer`` count what was read.
    """

    def __init__(self, source: PathLike, *, partial: bool = False,
                 progress: Callable[[int], None] = lambda done: None) -> None:
        self.path = os.fspath(source)
        self.partial = partial
        self.size = 0
        self.kept_bytes = 0
        self.stopped = ""
        self.records = 0
        self.products = 0
        self.newer = False
        self._progress = progress

    def __iter__(self) -> Iterator[data_pb2.Record]:
        done: List[data_pb2.Record] = []
        reader = _Import(self.path, done.append)
        with _open(self.path, lambda path: open(path, "rb")) as f:
            self.size = os.fstat(f.fileno()).st_size
            if self.partial and self.size < MAGIC_SIZE and _MAGIC.startswith(f.read()):
                self.stopped = f"{self.path}: cut short before its first record"
                return
            _check_magic(f, self.path)
            if not self.partial:
                _check_finished(f, self.path, self.size)
                _check_summary(f, self.path, self.size)
            f.seek(0)
            try:
                for n, (schema, channel, message) in enumerate(self._messages(f)):
                    reader.message(schema, channel, message)
                    yield from self._count(done, reader)
                    if n % _PROGRESS_EVERY == 0:
                        self._progress(f.tell())
                reader.finish(cut=bool(self.stopped))
            except McapError as e:
                if not self.partial:
                    raise
                self.stopped = self.stopped or str(e)
            yield from self._count(done, reader)

    def _count(self, done: List[data_pb2.Record], reader: "_Import") -> Iterator[data_pb2.Record]:
        for record in done:
            self.records += 1
            self.products += len(record.products)
            yield record
        done.clear()
        self.newer = reader.newer

    def _messages(self, f: IO[bytes]) -> Iterator[Tuple[Optional[Schema], Channel, Message]]:
        """The file's messages in file order, chunks opened within the bounds and their CRCs checked;
        in a partial reading, those up to the first record that cannot be read whole."""
        schemas: Dict[int, Schema] = {}
        channels: Dict[int, Channel] = {}
        # A record cannot be longer than the file; the reader refuses one that says it is.
        records = StreamReader(f, emit_chunks=True, validate_crcs=True, record_size_limit=self.size).records
        while True:
            at = self.kept_bytes
            try:
                record = next(records)
                found = _open_chunk(record, self.path, at, self.size) if isinstance(record, Chunk) else [record]
            except StopIteration:
                return
            except McapError as e:
                if not self.partial:
                    raise
                self.stopped = str(e)
                return
            except Exception as e:  # whatever the reader stumbles on, the file is damaged or cut short
                # A whole file (as a strict reading has found) is damaged; another may just end early.
                if self.partial and isinstance(e, (EndOfFile, RecordLengthLimitExceeded, struct.error)):
                    self.stopped = f"{self.path}: cut short: the record at byte {at} ends past the file's end"
                    return
                problem = f"{self.path}: damaged MCAP file at byte {at} ({type(e).__name__}: {e})"
                if not self.partial:
                    raise McapError(problem) from None
                self.stopped = problem
                return
            self.kept_bytes = f.tell()
            for item in found:
                if isinstance(item, Schema):
                    schemas[item.id] = item
                elif isinstance(item, Channel):
                    channels[item.id] = item
                elif isinstance(item, Message):
                    channel = channels.get(item.channel_id)
                    if channel is None:
                        raise McapError(f"{self.path}: damaged MCAP file: a message at byte {at} is on "
                                        f"channel {item.channel_id}, which no channel record declares")
                    yield schemas.get(channel.schema_id), channel, item
                elif isinstance(item, Footer):
                    return


def _open_chunk(chunk: Chunk, path: str, at: int, size: int) -> List[Any]:
    """The records of a chunk, refused before decompressing when it declares more than the bounds allow."""
    bound = min(MAX_CHUNK_BYTES, MAX_EXPANSION * size)
    if chunk.uncompressed_size > bound:
        raise McapError(f"{path}: the chunk at byte {at} declares {chunk.uncompressed_size:,} bytes uncompressed, "
                        f"beyond the bound of {bound:,} (the lesser of {MAX_EXPANSION} times the file's size and "
                        f"{MAX_CHUNK_BYTES // (1024 * 1024)} MiB)")
    data = _decompress(chunk, path, at)
    if len(data) != chunk.uncompressed_size:
        raise McapError(f"{path}: damaged MCAP file: the chunk at byte {at} holds other than the "
                        f"{chunk.uncompressed_size:,} bytes it declares")
    plain = Chunk(compression="", data=data, message_start_time=chunk.message_start_time,
                  message_end_time=chunk.message_end_time, uncompressed_crc=chunk.uncompressed_crc,
                  uncompressed_size=chunk.uncompressed_size)
    return breakup_chunk(plain, validate_crc=True)


def _decompress(chunk: Chunk, path: str, at: int) -> bytes:
    """A chunk's data uncompressed, never more than one byte past what it declares."""
    limit = chunk.uncompressed_size + 1
    if chunk.compression == "":
        return bytes(chunk.data)
    if chunk.compression == "zstd":
        import zstandard
        # A stream, as a whole-frame decompression allocates what the frame itself declares.
        with zstandard.ZstdDecompressor().stream_reader(io.BytesIO(chunk.data)) as stream:
            return bytes(stream.read(limit))
    if chunk.compression == "lz4":
        import lz4.frame  # type: ignore[import-untyped, unused-ignore]
        return bytes(lz4.frame.LZ4FrameDecompressor().decompress(chunk.data, max_length=limit))
    raise McapError(f"{path}: the chunk at byte {at} is compressed with {chunk.compression!r}, "
                    "which mirvane does not read")


def _unfinished(path: str, at: int) -> UnfinishedMcapError:
    return UnfinishedMcapError(f"{path}: unfinished MCAP file (truncated at byte {at:,}, or still being written); "
                               f"'mirvane recover {path} FIXED.mcap' writes a whole file of what it holds")


def _check_magic(f: IO[bytes], path: str) -> None:
    """Refuse what does not begin as an MCAP file."""
    f.seek(0)
    if f.read(MAGIC_SIZE) != _MAGIC:
        raise McapError(f"{path}: not an MCAP file (it does not begin as one)")


def _check_finished(f: IO[bytes], path: str, size: int) -> None:
    """Refuse an MCAP file that does not end with its footer, before reading on."""
    if size < 2 * MAGIC_SIZE + _FOOTER_BYTES:
        raise _unfinished(path, size)
    f.seek(size - MAGIC_SIZE - _FOOTER_BYTES)
    tail = f.read()
    if tail[0] != _FOOTER_OPCODE or tail[-MAGIC_SIZE:] != _MAGIC:
        raise _unfinished(path, size)


def _check_summary(f: IO[bytes], path: str, size: int) -> None:
    """Refuse a file whose summary lists channels but no record's starting state, before reading on."""
    # Read here rather than by the mcap library's summary reader, which would open a chunk found
    # where the summary should be without the bounds.
    try:
        f.seek(size - MAGIC_SIZE - _FOOTER_BYTES)
        footer = next(StreamReader(f, skip_magic=True, record_size_limit=size).records)
        topics = set()
        if isinstance(footer, Footer) and footer.summary_start:
            f.seek(footer.summary_start)
            for record in StreamReader(f, skip_magic=True, emit_chunks=True, record_size_limit=size).records:
                if isinstance(record, Channel):
                    topics.add(record.topic)
    except Exception as e:
        raise McapError(f"{path}: damaged MCAP file: its summary cannot be read ({type(e).__name__}: {e})") from None
    # The summary is optional, and so are the channels in it: they are then checked as they come.
    if topics and START not in topics:
        raise McapError(f"{path}: has no {START} channel, so no record's starting state: "
                        "not an export of a mirvane recording")


#: Taken first among the messages of one log time: what opens a record.
_OPENING_RANK = {RECORD: 0, START: 1}


class _Import:
    """Gathers messages, in file order, into records and hands each on when it is complete."""

    def __init__(self, path: str, write: Callable[[data_pb2.Record], None]) -> None:
        self._path = path
        self._write = write
        self._kinds: Dict[int, Optional[str]] = {}      # channel id -> topic, None if not ours
        self._held: List[Tuple[str, Message]] = []      # messages of the latest log time, not yet taken
        self._record: Optional[data_pb2.Record] = None
        self._header: Optional[export_pb2.RecordHeader] = None
        self._offset = 0        # the open record's time offset
        self._started = False   # the open record has had its /workspace/start
        self._later: Dict[int, data_pb2.Product] = {}   # with a header: products come before their turn
        self._bare = 0          # the header's part-less products placed so far
        self._product: Optional[data_pb2.Product] = None  # one without: the product being gathered
        self._key = (0, 0)      # log time and sequence of self._product
        self._written = 0       # records handed on
        self.newer = False      # whether a newer version wrote fields of some record

    def message(self, schema: Optional[Schema], channel: Channel, message: Message) -> None:
        if channel.id not in self._kinds:
            self._kinds[channel.id] = _check_channel(self._path, channel, schema)
        topic = self._kinds[channel.id]
        if topic is None or topic == SCENE:
            return
        if self._held and self._held[-1][1].log_time != message.log_time:
            self._take_held()
        self._held.append((topic, message))

    def finish(self, cut: bool = False) -> None:
        """Hand on the last record; ``cut``: the file stopped short, so it keeps what was read whole."""
        self._take_held()
        self._close(cut)

    def _take_held(self) -> None:
        held, self._held = self._held, []
        if len(held) > 1:
            held.sort(key=lambda item: _OPENING_RANK.get(item[0], 2))
        for topic, message in held:
            self._take(topic, message)

    def _take(self, topic: str, message: Message) -> None:
        if topic == RECORD:
            header = export_pb2.RecordHeader()
            _decode(self._path, topic, message, header)
            self._close()
            self._open(header, header.time_offset_ns)
        elif topic == START:
            # A record opened by its header has its starting state already.
            if self._header is None or self._started:
                self._close()
                record = self._open(None, 0)
                _decode(self._path, topic, message, record.project.workspace.state)
                record.start_timestamp_ns = self._time(message.log_time)
            self._started = True
        else:
            self._part(topic, message)

    def _open(self, header: Optional[export_pb2.RecordHeader], offset: int) -> data_pb2.Record:
        record = self._record = data_pb2.Record()
        if header is not None:
            record.CopyFrom(header.record)
            del record.products[:]
        self._header, self._offset, self._started = header, offset, False
        self._later, self._bare, self._product = {}, 0, None
        return record

    def _part(self, topic: str, message: Message) -> None:
        record = self._record
        if record is None:
            raise McapError(f"{self._path}: a {topic} message comes before any {RECORD} or {START} message")
        part = _PART_OF[topic]
        time = self._time(message.log_time)
        if self._header is not None:
            product = self._at(record, self._header, message.sequence, time)
            if product.HasField(part) or product.timestamp_ns != time:
                raise McapError(f"{self._path}: record {self._count()} has two products at position "
                                f"{message.sequence}: the file is damaged")
        else:
            key = (message.log_time, message.sequence)
            gathered = self._product
            if gathered is None or key != self._key or gathered.HasField(part):
                gathered = self._product = record.products.add(timestamp_ns=time)
                self._key = key
            product = gathered
        _decode(self._path, topic, message, getattr(product, part))

    def _at(self, record: data_pb2.Record, header: export_pb2.RecordHeader, position: int,
            time: int) -> data_pb2.Product:
        """The product at ``position``: in the record when it is in its turn (as in a file in
        file order), else held until its turn comes."""
        products = record.products
        self._place_bare(record, header)
        if position < len(products):
            return products[position]
        if position == len(products) and not self._later:
            return products.add(timestamp_ns=time)
        product = self._later.get(position)
        if product is None:
            product = self._later[position] = data_pb2.Product(timestamp_ns=time)
        return product

    def _place_bare(self, record: data_pb2.Record, header: export_pb2.RecordHeader) -> None:
        """Put in place the header's part-less products, and those held, whose turn has come."""
        positions, products, later = header.bare_positions, record.products, self._later
        while True:
            if self._bare < len(positions) and positions[self._bare] == len(products):
                products.append(header.record.products[self._bare])
                self._bare += 1
            elif len(products) in later:
                products.append(later.pop(len(products)))
            else:
                return

    def _close(self, cut: bool = False) -> None:
        record, header = self._record, self._header
        if record is None:
            return
        if header is not None:
            self._place_bare(record, header)
            count = len(record.products) if header.streamed else header.product_count
            if (self._later or self._bare != len(header.bare_positions) or len(record.products) != count) \
                    and not cut:
                raise McapError(f"{self._path}: record {self._count()} has {len(record.products)} products in "
                                f"order where its {RECORD} message announces {count}: the file is damaged or "
                                "cut short")
            del record.products[count:]
            for position, extra in zip(header.extra_positions, header.extras):
                if position < len(record.products):
                    record.products[position].MergeFrom(extra)
        if header is None or header.streamed or len(record.products) < header.product_count:
            record.stop_timestamp_ns = max((p.timestamp_ns for p in record.products),
                                           default=record.start_timestamp_ns)
        try:
            self.newer |= newer_fields(record)
        except ValueError as e:
            raise McapError(f"{self._path}: record {self._count()}: {e}") from None
        self._write(record)
        self._written += 1
        self._record = self._header = self._product = None
        self._later = {}

    def _count(self) -> int:
        """The position of the open record in the file."""
        return self._written

    def _time(self, log_time: int) -> int:
        time = log_time - self._offset
        if not -_INT64 <= time < _INT64:
            raise McapError(f"{self._path}: log time {log_time} does not fit a recording's time stamps")
        return time


def _check_channel(path: str, channel: Channel, schema: Optional[Schema]) -> Optional[str]:
    """The channel's topic if it is one of ours and carries our schema; None if it is not ours."""
    cls = CHANNELS.get(channel.topic)
    if cls is None:
        return None
    expected = cls.DESCRIPTOR.full_name
    if channel.message_encoding != "protobuf" or schema is None or schema.encoding != "protobuf" \
            or schema.name != expected:
        found = schema.name if schema is not None and schema.name else "untyped"
        raise McapError(f"{path}: channel {channel.topic} carries {found} messages "
                        f"({channel.message_encoding or 'no encoding'}), expected protobuf {expected}")
    if channel.topic == SCENE:
        return SCENE
    problem = _schema_problem(channel.topic, schema.data)
    if problem:
        raise McapError(f"{path}: channel {channel.topic}: {problem}")
    return channel.topic


@functools.lru_cache(maxsize=64)
def _schema_problem(topic: str, data: bytes) -> str:
    """What is wrong with the embedded schema of one of our channels, empty if nothing; a file's
    schemas are those of the last files read, so each is checked once."""
    cls = CHANNELS[topic]
    try:
        decoder = DecoderFactory().decoder_for("protobuf", Schema(id=1, name=cls.DESCRIPTOR.full_name,
                                                                  encoding="protobuf", data=data))
        embedded = type(decoder(b"")).DESCRIPTOR if decoder is not None else None
    except Exception as e:
        return f"its schema cannot be read ({e})"
    # Either protobuf implementation's descriptors have the fields _shape reads.
    if embedded is None or _shape(cast(Descriptor, embedded)) != _shape(cast(Descriptor, cls.DESCRIPTOR)):
        return f"its schema {cls.DESCRIPTOR.full_name} differs from mirvane's"
    return ""


def _shape(descriptor: Descriptor) -> Dict[str, List[Tuple[int, str, int, bool, str]]]:
    """The fields of a message and of every message it holds, by full name."""
    shapes: Dict[str, List[Tuple[int, str, int, bool, str]]] = {}
    pending = [descriptor]
    while pending:
        d = pending.pop()
        if d.full_name in shapes:
            continue
        shapes[d.full_name] = sorted(
            (f.number, f.name, f.type, f.is_repeated, f.message_type.full_name if f.message_type else "")
            for f in d.fields)
        pending.extend(f.message_type for f in d.fields if f.message_type is not None)
    return shapes


def _decode(path: str, topic: str, message: Message, into: pb_message.Message) -> None:
    """Parse the message into ``into``, an empty message that becomes present even if this one is empty."""
    into.SetInParent()
    try:
        into.MergeFromString(message.data)
    except pb_message.DecodeError as e:
        raise McapError(f"{path}: a {topic} message at log time {message.log_time} cannot be decoded ({e})") \
            from None


# -- shared -----------------------------------------------------------------------------

def _size(path: str) -> int:
    """The file's size, 0 when it cannot be read (reading it then says why)."""
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _check_output(source: str, out: str) -> None:
    """Refuse an output that is the input itself or lies in no directory."""
    if os.path.exists(out) and os.path.exists(source) and os.path.samefile(source, out):
        raise McapError(f"{out}: is the input itself; give another output name")
    if os.path.isdir(out):
        raise McapError(f"{out}: is a directory; give a file name")
    directory = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(directory):
        raise McapError(f"{out}: cannot be written, there is no directory {directory}")


@contextmanager
def _open(path: str, opener: Callable[[str], Any]) -> Iterator[Any]:
    """``opener(path)`` as a context manager, a file that cannot be opened being a McapError."""
    try:
        opened = opener(path)
    except OSError as e:
        raise McapError(f"{path}: cannot be read ({e.strerror or e})") from None
    with opened:
        yield opened


@contextmanager
def _progress(progress: Union[bool, Progress], total: int, label: str) -> Iterator[Callable[[int], None]]:
    """A function to report bytes done: to the callback, to a tqdm bar, or nowhere."""
    if callable(progress):
        callback = progress
        yield lambda done: callback(done, total)
    elif progress:
        with tqdm(total=total, unit="B", unit_scale=True, desc=label) as bar:
            def advance(done: int) -> None:
                bar.update(done - bar.n)
            yield advance
    else:
        yield lambda done: None
