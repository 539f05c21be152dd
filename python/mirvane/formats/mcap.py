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
  moving. Each holds the whole cell (the first of a record also deletes what
  the record before showed), so a tool that seeks to any time shows it complete.

Time axis: all records go into one file, one after another. A message's log
time is its product's time stamp plus the record's offset, which is zero
unless the record would start before the previous one has ended (records
recorded one after another, as a real cell and ``mirvane.simulation.cell`` make
them, keep their own times) or at a negative time; then the whole record moves
later, just past the previous one. One file keeps one recording one thing to
open, scrub and share, its records never overlap on the timeline, and a plot of
a joint over time lines up with the real clock; the offset travels in
``/record`` so that import restores every time stamp exactly.

Import reads the file in file order, holding one record at a time. A file with
no ``/record`` channel (written by another tool) is read as well: each
``/workspace/start`` message begins a record, its products follow, and
messages with equal log time and sequence number on different channels make up
one product.

Both directions stream (one record's products in memory at most), show a
progress bar when asked, and replace their output whole or not at all. Every
problem with the input is a ``McapError`` naming the file.
"""

import math
import os
from contextlib import contextmanager
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple, Type, Union, cast

from google.protobuf import message as pb_message
from google.protobuf import unknown_fields  # type: ignore[attr-defined, unused-ignore]  # older stubs lack it
from google.protobuf.descriptor import Descriptor
from dravik.api import data_pb2, export_pb2, system_pb2

try:
    from foxglove_schemas_protobuf.LinePrimitive_pb2 import LinePrimitive
    from foxglove_schemas_protobuf.SceneEntity_pb2 import SceneEntity
    from foxglove_schemas_protobuf.SceneEntityDeletion_pb2 import SceneEntityDeletion
    from foxglove_schemas_protobuf.SceneUpdate_pb2 import SceneUpdate
    from mcap.reader import NonSeekingReader, SeekingReader
    from mcap.records import Channel, Message, Schema
    from mcap.writer import CompressionType, Writer
    from mcap_protobuf.decoder import DecoderFactory
    from mcap_protobuf.schema import register_schema
    from tqdm import tqdm
except ImportError as e:  # pragma: no cover - depends on how mirvane was installed
    raise ImportError(f"mirvane.formats.mcap needs the mcap extra: pip install 'mirvane[mcap]' ({e})") from e

from .._atomic import replacing
from .._version import __version__
from ..data import DataFileError, PathLike, newer_fields, record_position
from .. import scene
from ..geometry import set_pose
from .recordstream import Counts, RecordReader, RecordWriter

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

_MAX_LOG_TIME = 2 ** 64 - 1
_INT64 = 2 ** 63
_PROGRESS_EVERY = 4096      # products or messages between progress updates
_FRAME = "world"
_FIELD_OF_VIEW_RANGE = 1.0  # metres; how far a camera's field of view is drawn
_ROBOT_COLOR = (0.95, 0.55, 0.15, 1.0)
_ITEM_COLOR = (0.25, 0.5, 0.9, 1.0)
_CAMERA_COLOR = (0.2, 0.75, 0.3, 1.0)
_DAMAGE_COLOR = (0.85, 0.0, 0.0, 1.0)
_DAMAGE_SIZE = 0.1          # metres; the sphere that marks a damaged value


class McapError(ValueError):
    """An MCAP export or import cannot be made from the given file; the message names it."""


def export_mcap(recording: PathLike, out: PathLike, index: Optional[int] = None, *,
                progress: Union[bool, Progress] = False) -> Counts:
    """Write the records of a recording file into the MCAP file ``out``.

    All records by default; ``index`` picks one as ``Replay.play`` does: by
    position, negative positions counting from the end, and -1 the record with
    the greatest stop time. ``progress`` is True for a progress bar on stderr,
    or a callback. ``out`` is replaced whole or not at all.

    Raises ``McapError`` when the recording cannot be read or exported;
    ``mirvane.data.RecordIndexError`` (an ``IndexError``) when ``index``
    names no record; ``OSError`` when ``out`` cannot be written.
    """
    recording, out = os.fspath(recording), os.fspath(out)
    _check_output(recording, out)
    if index is not None and (type(index) is not int):
        raise TypeError(f"index must be an int, not {type(index).__name__}")
    try:
        with _open(recording, RecordReader) as reader:
            spans = _choose(reader, index)
            total = reader.size if spans is None else sum(length for _, length in spans)
            with _progress(progress, total, f"export {os.path.basename(recording)}") as step, \
                    replacing(out) as temporary, open(temporary, "wb") as f:
                export = _Export(f, recording)
                done = 0
                for (_, length), record in reader.records(spans):
                    export.add(record, lambda i, n: step(done + length * i // max(n, 1)))
                    done += length
                export.finish()
                step(total)
                return Counts(export.records, export.products, reader.newer)
    except DataFileError as e:
        raise McapError(str(e)) from None


def import_mcap(source: PathLike, out: PathLike, *, progress: Union[bool, Progress] = False) -> Counts:
    """Read an MCAP file written by ``export_mcap`` (or with its channels) into the recording file ``out``.

    ``progress`` is True for a progress bar on stderr, or a callback. ``out``
    is replaced whole or not at all.

    Raises ``McapError`` when ``source`` is not such an MCAP file (not MCAP,
    truncated, damaged, missing channels, schemas that do not match);
    ``OSError`` when ``out`` cannot be written.
    """
    source, out = os.fspath(source), os.fspath(out)
    _check_output(source, out)
    with _open(source, lambda path: open(path, "rb")) as f:
        total = os.fstat(f.fileno()).st_size
        _check_summary(f, source)
        f.seek(0)
        with _progress(progress, total, f"import {os.path.basename(source)}") as step, \
                replacing(out) as temporary, open(temporary, "wb") as g:
            reader = _Import(source, RecordWriter(g))
            for n, (schema, channel, message) in enumerate(_messages(f, source)):
                reader.message(schema, channel, message)
                if n % _PROGRESS_EVERY == 0:
                    step(f.tell())
            reader.finish()
            step(total)
            return Counts(reader.records, reader.products, reader.newer)


# -- export -----------------------------------------------------------------------------

class _Export:
    """Writes records to an MCAP file, one after another on its time axis."""

    def __init__(self, f: IO[bytes], path: str) -> None:
        self._path = path
        self._writer = Writer(f, compression=CompressionType.ZSTD)
        self._writer.start(profile="", library=f"mirvane {__version__}")
        self._channels = {topic: self._writer.register_channel(topic=topic, message_encoding="protobuf",
                                                               schema_id=register_schema(self._writer, cls))
                          for topic, cls in CHANNELS.items()}
        self._last = -1         # the latest log time written so far
        self.records = 0
        self.products = 0

    def add(self, record: data_pb2.Record, step: Callable[[int, int], None]) -> None:
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
        first, last = math.inf, -math.inf
        for position, product in enumerate(products):
            first = min(first, product.timestamp_ns)
            last = max(last, product.timestamp_ns)
            if scene.kind_of(product) is None:
                header.bare_positions.append(position)
                header.record.products.add().CopyFrom(product)
            elif len(unknown_fields.UnknownFieldSet(product)):     # a newer version's fields
                header.extra_positions.append(position)
                _only_unknown(header.extras.add(), product)
        begin = int(first) if products else record.start_timestamp_ns
        offset = max(0, self._last + 1 - begin)
        end = (int(last) if products else begin) + offset
        if end > _MAX_LOG_TIME:
            raise McapError(f"{self._path}: record {self.records}'s time stamps do not fit an MCAP time axis")
        header.time_offset_ns = offset
        self._last = end

        start = begin + offset
        self._write(RECORD, start, header.SerializeToString(deterministic=True), self.records)
        state = system_pb2.WorkspaceState()
        state.CopyFrom(record.project.workspace.state)
        self._write(START, start, state.SerializeToString(deterministic=True), self.records)
        cell = SceneChannel(record.project.workspace.robots, record.project.workspace.cameras,
                            record.project.workspace.items, state, start)
        self._write(SCENE, start, cell.update(start, clear=True), self.records)

        for position, product in enumerate(products):
            time = product.timestamp_ns + offset
            sequence = position & 0xFFFFFFFF
            for topic, data in part_messages(product):
                self._write(topic, time, data, sequence)
            if cell.apply(product, time):
                self._write(SCENE, time, cell.update(time), sequence)
            if position % _PROGRESS_EVERY == 0:
                step(position, len(products))
        self.records += 1
        self.products += len(products)

    def finish(self) -> None:
        self._writer.finish()  # type: ignore[no-untyped-call]

    def _write(self, topic: str, time: int, data: bytes, sequence: int) -> None:
        self._writer.add_message(channel_id=self._channels[topic], log_time=time, data=data,
                                 publish_time=time, sequence=sequence)


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
        # By name: a map's own order differs from one process to the next.
        for name in sorted(robots):
            self._robot(name, time)
        for name in sorted(cameras):
            self._camera(name, time)
        for name in sorted(items):
            self._item(name, time)

    def apply(self, product: data_pb2.Product, time: int) -> bool:
        """Apply ``product`` to the state as playback does; whether it moved anything."""
        moved = scene.apply(product, self._state)
        for camera in moved.cameras:
            self._camera(camera, time)
        if moved.robot:
            self._robot(moved.robot, time)
        if moved.item:
            self._item(moved.item, time)
        return bool(moved)

    def update(self, time: int, clear: bool = False) -> bytes:
        """The SceneUpdate of the whole cell; ``clear`` first deletes whatever an earlier record showed."""
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
        self._keep(update, entity, shape)

    def _camera(self, name: str, time: int) -> None:
        model = self._cameras.get(name)
        if model is None:
            return
        shape = scene.camera(name, model, self._state.cameras.get(name))
        update, entity = _entity("camera", name, time)
        if shape.drawable:
            view = entity.lines.add(type=LinePrimitive.LINE_LOOP, thickness=0.01)
            _copy_pose(view.pose, shape.pose)
            for x, y in shape.wedge(_FIELD_OF_VIEW_RANGE, world=False):
                view.points.add(x=x, y=y)
            _color(view.color, _CAMERA_COLOR)
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


def _choose(reader: RecordReader, index: Optional[int]) -> Optional[List[Tuple[int, int]]]:
    """The spans of the records to export: all (None), or the one ``index`` picks."""
    if index is None:
        return None
    spans = reader.offsets()
    position = record_position(index, len(spans), lambda: (r.stop_timestamp_ns for _, r in reader.records(spans)),
                               reader.path)
    return [spans[position]]


# -- import -----------------------------------------------------------------------------

class _Import:
    """Gathers messages, in file order, into records and writes each when it is complete."""

    def __init__(self, path: str, writer: RecordWriter) -> None:
        self._path = path
        self._writer = writer
        self._kinds: Dict[int, Optional[str]] = {}      # channel id -> topic, None if not ours
        self._record: Optional[data_pb2.Record] = None
        self._header: Optional[export_pb2.RecordHeader] = None
        self._offset = 0        # the open record's time offset
        self._bare = 0          # bare products of the header placed so far
        self._started = False   # the open record has had its /workspace/start
        self._product: Optional[data_pb2.Product] = None
        self._key = (0, 0)      # log time and sequence of self._product
        self.records = 0
        self.products = 0
        self.newer = False      # whether a newer version wrote fields of some record

    def message(self, schema: Optional[Schema], channel: Channel, message: Message) -> None:
        if channel.id not in self._kinds:
            self._kinds[channel.id] = _check_channel(self._path, channel, schema)
        topic = self._kinds[channel.id]
        if topic is None or topic == SCENE:
            return
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

    def finish(self) -> None:
        self._close()

    def _open(self, header: Optional[export_pb2.RecordHeader], offset: int) -> data_pb2.Record:
        record = self._record = data_pb2.Record()
        if header is not None:
            record.CopyFrom(header.record)
            del record.products[:]
        self._header, self._offset, self._bare, self._started = header, offset, 0, False
        self._product = None
        return record

    def _part(self, topic: str, message: Message) -> None:
        record = self._record
        if record is None:
            raise McapError(f"{self._path}: a {topic} message comes before any {RECORD} or {START} message")
        part = _PART_OF[topic]
        key = (message.log_time, message.sequence)
        product = self._product
        if product is None or key != self._key or product.HasField(part):
            self._place_bare()
            product = self._product = record.products.add(timestamp_ns=self._time(message.log_time))
            self._key = key
        _decode(self._path, topic, message, getattr(product, part))

    def _place_bare(self) -> None:
        """Put in place the header's part-less products that come next in the record."""
        header, record = self._header, self._record
        if header is None or record is None:
            return
        positions = header.bare_positions
        while self._bare < len(positions) and positions[self._bare] == len(record.products):
            record.products.add().CopyFrom(header.record.products[self._bare])
            self._bare += 1

    def _close(self) -> None:
        record, header = self._record, self._header
        if record is None:
            return
        if header is not None:
            self._place_bare()
            if len(record.products) != header.product_count or self._bare != len(header.bare_positions) \
                    or len(header.extras) != len(header.extra_positions) \
                    or any(p >= len(record.products) for p in header.extra_positions):
                raise McapError(f"{self._path}: record {self.records} has {len(record.products)} products "
                                f"where its {RECORD} message announces {header.product_count}: "
                                f"the file is damaged or cut short")
            for position, extra in zip(header.extra_positions, header.extras):
                record.products[position].MergeFrom(extra)
        elif record.products:
            record.stop_timestamp_ns = max(p.timestamp_ns for p in record.products)
        else:
            record.stop_timestamp_ns = record.start_timestamp_ns
        try:
            self.newer |= newer_fields(record)
        except ValueError as e:
            raise McapError(f"{self._path}: record {self.records}: {e}") from None
        self._writer.write(record)
        self.records += 1
        self.products += len(record.products)
        self._record = self._header = self._product = None

    def _time(self, log_time: int) -> int:
        time = log_time - self._offset
        if not -_INT64 <= time < _INT64:
            raise McapError(f"{self._path}: log time {log_time} does not fit a recording's time stamps")
        return time


def _check_summary(f: IO[bytes], path: str) -> None:
    """Refuse what is not a whole MCAP file, or one without a record's starting state, before reading on."""
    try:
        reader = SeekingReader(f)
    except Exception as e:
        raise McapError(f"{path}: not an MCAP file ({e})") from None
    try:
        summary = reader.get_summary()
    except Exception as e:
        raise McapError(f"{path}: not a complete MCAP file, it may be truncated ({e})") from None
    if summary is None:         # the summary is optional; channels are then checked as they come
        return
    topics = {channel.topic for channel in summary.channels.values()}
    if START not in topics:
        raise McapError(f"{path}: has no {START} channel, so no record's starting state: "
                        "not an export of a mirvane recording")


def _messages(f: IO[bytes], path: str) -> Iterator[Tuple[Optional[Schema], Channel, Message]]:
    """The file's messages in file order (the order they were written), CRCs checked."""
    messages = NonSeekingReader(f, validate_crcs=True).iter_messages(log_time_order=False)
    while True:
        try:
            item = next(messages)
        except StopIteration:
            return
        except Exception as e:  # whatever the reader stumbles on, the file is damaged
            raise McapError(f"{path}: damaged or truncated MCAP file ({type(e).__name__}: {e})") from None
        yield item


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
    try:
        decoder = DecoderFactory().decoder_for("protobuf", schema)
        embedded = type(decoder(b"")).DESCRIPTOR if decoder is not None else None
    except Exception as e:
        raise McapError(f"{path}: channel {channel.topic}: its schema cannot be read ({e})") from None
    # Either protobuf implementation's descriptors have the fields _shape reads.
    if embedded is None or _shape(cast(Descriptor, embedded)) != _shape(cast(Descriptor, cls.DESCRIPTOR)):
        raise McapError(f"{path}: channel {channel.topic}: its schema {expected} differs from mirvane's")
    return channel.topic


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
