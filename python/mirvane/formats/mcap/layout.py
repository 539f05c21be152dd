"""Writing the export's layout: records opened by their header and starting state, their products'
parts each on its channel, the scene after what moves, chunks ended only between products."""

from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

from google.protobuf import message as pb_message
from google.protobuf import unknown_fields  # type: ignore[attr-defined, unused-ignore]  # older stubs lack it
from mcap_protobuf.schema import build_file_descriptor_set
from dravik.api import data_pb2, export_pb2, system_pb2

from ... import _columns, scene
from ..._version import __version__
from ...records import EventsOf, events_of_blocks
from ..productstream import Streamed
from ..timeline import Stamps, Timeline
from ..columns import Block
from .channels import (CHANNELS, CHUNK_BYTES, CHUNKS_AHEAD, EVENT_CHANNELS, INT64, PARTS, PROGRESS_EVERY, RECORD,
                       SCENE, START, McapError, part_messages)
from .chunked import ChunkedWriter
from .events_channel import EventMessage, event_messages
from .scene_channel import SceneChannel


class LayoutWriter:
    """An MCAP file in the export's layout, written as records open and products come:
    what ``export_mcap`` and the recorder (``mirvane.formats.recorder``) write through.

    The messages are gathered natively (``_columns.Layout``): a product's parts each as
    the product holds it, and the scene it moved drawn by its ``SceneChannel``. A chunk
    is written once it holds ``chunk_bytes`` (or on ``flush``), and only between
    products, so a file cut short anywhere holds whole products. ``/scene`` follows
    every product that moves something, or with ``scene_interval_ns`` at most once in
    that much log time (a live recording's 3D view needs no more). With ``ahead``, that many
    chunks may be compressing while the next are gathered (``ChunkedWriter``).
    """

    def __init__(self, f: IO[bytes], chunk_bytes: int = CHUNK_BYTES, scene_interval_ns: int = 0,
                 events: bool = False, ahead: int = 0) -> None:
        self._f = f
        self._file = ChunkedWriter(f, library=f"mirvane {__version__}", ahead=ahead)
        channels = {**CHANNELS, **(EVENT_CHANNELS if events else {})}
        records: List[bytes] = []
        self._channels: Dict[str, int] = {}
        for topic, cls in channels.items():
            schema, record = self._file.register_schema(cls.DESCRIPTOR.full_name, "protobuf",
                                                        build_file_descriptor_set(cls).SerializeToString())
            self._channels[topic], channel = self._file.register_channel(topic, "protobuf", schema)
            records += (record, channel)
        perception, decision, planner, controller = (self._channels[topic] for _, topic, _ in PARTS)
        self._layout = _columns.Layout((perception, decision, planner, controller), self._channels[SCENE],
                                       chunk_bytes, scene_interval_ns)
        for record in records:
            self._layout.record(record)
        self._drawing: Any = None

    def open_record(self, header: export_pb2.RecordHeader, time: int, sequence: int) -> None:
        """Open a record at log time ``time``: its header, its starting state and the scene."""
        workspace = header.record.project.workspace
        state = system_pb2.WorkspaceState()
        state.CopyFrom(workspace.state)
        self.write(RECORD, time, header.SerializeToString(deterministic=True), sequence)
        self.write(START, time, state.SerializeToString(deterministic=True), sequence)
        self._drawing = SceneChannel(workspace.robots, workspace.cameras, workspace.items, state, time).drawing
        self._layout.scene(self._drawing, time, sequence, True)

    def product(self, product: data_pb2.Product, time: int, sequence: int) -> None:
        """Write a product of the open record: its parts, and the scene if it moved something."""
        self.serialized(product.SerializeToString(deterministic=True), time, sequence)

    def serialized(self, product: bytes, time: int, sequence: int) -> bool:
        """``product`` of a serialized product; whether it ended a chunk (written to the file)."""
        if not self._layout.product(product, time, sequence, self._drawing):
            self._layout.product(product, time, sequence, self._drawing, self._merged_parts(product))
        ended = self._layout.between_products()
        if ended:
            self._write_chunks()
        return ended

    def items(self, items: List[Tuple[int, bytes]], start: int, stop: int, first_sequence: int,
              stop_after_chunk: bool = False) -> int:
        """``serialized`` of the products ``items`` gives as (stamp, bytes), from ``start`` to ``stop``,
        each at its stamp and numbered on from ``first_sequence``; how many were written: all, or with
        ``stop_after_chunk`` those up to the first that ended a chunk (so the file's size is known
        product by product)."""
        done = 0
        while start + done < stop:
            written, merge = self._layout.items(items, start + done, stop, first_sequence + done, self._drawing,
                                                stop_after_chunk)
            done += written
            if merge:       # a part twice: merged as protobuf merges them
                stamp, data = items[start + done]
                done += 1
                if self.serialized(data, stamp, (first_sequence + done - 1) & 0xFFFFFFFF) and stop_after_chunk:
                    break
            elif start + done < stop:      # a chunk ended
                break
        self._write_chunks()
        return done

    def blocks(self, block: Block, times: "npt.NDArray[np.uint64]", first_sequence: int) -> None:
        """``serialized`` of each product of ``block`` at its time in ``times``, its sequence number
        counted from ``first_sequence``; the events given to ``events`` each before the first product
        after it."""
        done = 0
        while done < len(times):
            done += self._layout.products(block.data, block.starts[done:], block.ends[done:], times[done:],
                                          first_sequence + done, self._drawing)
            if done < len(times):      # a part twice: merged as protobuf merges them
                self._layout.events_before(int(times[done]))
                self.serialized(_product(block, done), int(times[done]), (first_sequence + done) & 0xFFFFFFFF)
                done += 1
        self._write_chunks()

    def events(self, messages: List[EventMessage]) -> None:
        """Messages of the events' channels to go between the products ``blocks`` writes next."""
        self._layout.events([(self._channels[topic], time, sequence, data) for topic, time, data, sequence in messages])

    def events_left(self) -> None:
        """The events given to ``events`` that no product came after."""
        self._layout.events_before(_columns.ALL_EVENTS)

    def _merged_parts(self, product: bytes) -> List[Tuple[int, bytes]]:
        try:
            parsed = data_pb2.Product.FromString(product)
        except pb_message.DecodeError as e:     # refused as the native walk refuses: a ValueError
            raise ValueError(f"not a product ({e})") from None
        return [(self._channels[topic], data) for topic, data in part_messages(parsed)]

    def flush(self) -> None:
        """Write the chunk gathered so far and flush the file."""
        self._layout.end_chunk()
        self._write_chunks()
        self._file.write_packed()
        self._f.flush()

    def close(self) -> None:
        """Let go of what compresses chunks ahead: what ``finish`` does, on a file left unfinished."""
        self._file.close()

    def finish(self) -> None:
        """Write the last chunk and the summary: the file is whole."""
        self._layout.end_chunk()
        self._write_chunks()
        self._file.finish(self._layout.statistics)

    def write(self, topic: str, time: int, data: bytes, sequence: int) -> None:
        """Write a message on one of the file's channels (one of ``/events`` between products)."""
        self._layout.message(self._channels[topic], time, sequence, data)

    def _write_chunks(self) -> None:
        built = self._layout.take()
        if built:
            self._file.chunks(built)


class RecordsWriter:
    """Writes records to an MCAP file, one after another on its time axis; with ``events`` (a record's
    events, given its project, its products and its position), their events too. Chunks compress
    while the next are gathered: ``finish`` it, or ``close`` it on failure."""

    def __init__(self, f: IO[bytes], path: str, events: Optional[EventsOf] = None) -> None:
        self._out = LayoutWriter(f, events=events is not None, ahead=CHUNKS_AHEAD)
        self._events = events
        self._timeline = Timeline(path, "an MCAP file's time axis", latest=2 ** 64 - 1, most_offset=INT64 - 1,
                                  error=McapError)
        self.records = 0
        self.products = 0

    def add(self, record: Callable[[], Streamed], position: int, step: Callable[[int, int], None]) -> None:
        """Write the record at ``position`` of its recording, a product at a time. ``record`` reads it
        (a header and its products) and is called twice: the header written first needs what its
        products hold (how many, those without a part, the stamps, the events), gathered first."""
        first, products = record()
        stamps = Stamps()
        bare: List[Tuple[int, data_pb2.Product]] = []
        extras: List[Tuple[int, data_pb2.Product]] = []

        def scanned() -> Iterator[data_pb2.Product]:
            for n, product in enumerate(products):
                stamps.add(product.timestamp_ns)
                if scene.kind_of(product) is None:
                    bare.append((n, product))
                elif len(unknown_fields.UnknownFieldSet(product)):     # a newer version's fields
                    extras.append((n, product))
                yield product

        scan = scanned()
        found = list(self._events(first.project, scan, position)) if self._events is not None else None
        for _ in scan:      # what the events left unread, or all without them
            pass
        header = _header(first, stamps.count, bare, extras)
        offset = header.time_offset_ns = self._timeline.place(stamps, first.start_timestamp_ns, position)
        begin = stamps.begin if stamps.count else first.start_timestamp_ns
        # The events' messages go between the products, each before the first product after it.
        events = event_messages(found, offset) if found is not None else []
        written = 0

        self._out.open_record(header, begin + offset, self.records)
        _, products = record()
        for n, product in enumerate(products):
            time = product.timestamp_ns + offset
            while written < len(events) and events[written][1] < time:
                self._out.write(*events[written])
                written += 1
            self._out.product(product, time, n & 0xFFFFFFFF)
            if n % PROGRESS_EVERY == 0:
                step(n, stamps.count)
        for message in events[written:]:
            self._out.write(*message)
        self.records += 1
        self.products += stamps.count

    def add_blocks(self, record: Callable[[], Tuple[data_pb2.Record, Iterator[Block]]], position: int,
                   step: Callable[[int, int], None]) -> None:
        """``add`` of a record read as a header and blocks of its products' bytes (``ProductStream.blocks``),
        the products never parsed but those without a part or with a newer version's fields."""
        first, blocks = record()
        stamps = Stamps()
        bare: List[Tuple[int, data_pb2.Product]] = []
        extras: List[Tuple[int, data_pb2.Product]] = []

        def scanned() -> Iterator[Block]:
            for block in blocks:
                stamp, parts = _columns.stamps_and_parts(*block)
                at = stamps.count
                stamps.add_many(stamp)
                for k in np.flatnonzero(parts == 0):
                    bare.append((at + int(k), data_pb2.Product.FromString(_product(block, int(k)))))
                if _columns.newer_products(*block):
                    for k in np.flatnonzero(parts):
                        product = data_pb2.Product.FromString(_product(block, int(k)))
                        if len(unknown_fields.UnknownFieldSet(product)):
                            extras.append((at + int(k), product))
                yield block

        scan = scanned()
        found = None
        if self._events is not None:
            of_blocks = events_of_blocks(self._events)
            found = list(of_blocks(first.project, scan, position) if of_blocks is not None else
                         self._events(first.project, _parsed(scan), position))
        for _ in scan:
            pass
        header = _header(first, stamps.count, bare, extras)
        offset = header.time_offset_ns = self._timeline.place(stamps, first.start_timestamp_ns, position)
        begin = stamps.begin if stamps.count else first.start_timestamp_ns
        self._out.open_record(header, begin + offset, self.records)
        self._out.events(event_messages(found, offset) if found is not None else [])
        _, blocks = record()
        done = 0
        for block in blocks:
            stamp, _ = _columns.stamps_and_parts(*block)
            # Two's complement: a stamp before 0 still lands where the offset puts it.
            self._out.blocks(block, stamp.astype(np.uint64) + np.uint64(offset), done)
            done += len(stamp)
            step(done, stamps.count)
        self._out.events_left()
        self.records += 1
        self.products += stamps.count

    def finish(self) -> None:
        self._out.finish()

    def close(self) -> None:
        self._out.close()


def _product(block: Block, k: int) -> bytes:
    return bytes(memoryview(block.data)[block.starts[k]:block.ends[k]])


def _parsed(blocks: Iterator[Block]) -> Iterator[data_pb2.Product]:
    for block in blocks:
        for k in range(len(block.starts)):
            yield data_pb2.Product.FromString(_product(block, k))


def _header(record: data_pb2.Record, count: int, bare: List[Tuple[int, data_pb2.Product]],
            extras: List[Tuple[int, data_pb2.Product]]) -> export_pb2.RecordHeader:
    """The header of ``record`` (its products aside) of ``count`` products: those without a part
    whole, and only the fields a newer version wrote of the others that have them."""
    header = export_pb2.RecordHeader(product_count=count)
    # Every field of a Record but its products, a newer version's too.
    if len(unknown_fields.UnknownFieldSet(record)):
        header.record.ParseFromString(record.SerializeToString())
        del header.record.products[:]
    else:
        if record.HasField("project"):
            header.record.project.CopyFrom(record.project)
        header.record.start_timestamp_ns = record.start_timestamp_ns
        header.record.stop_timestamp_ns = record.stop_timestamp_ns
    for n, product in bare:
        header.bare_positions.append(n)
        header.record.products.add().CopyFrom(product)
    for n, product in extras:
        header.extra_positions.append(n)
        _only_unknown(header.extras.add(), product)
    return header


def _only_unknown(target: pb_message.Message, source: pb_message.Message) -> None:
    """Make ``target`` hold only the fields of ``source`` that this version does not know."""
    target.ParseFromString(source.SerializeToString())
    for field, _ in target.ListFields():
        target.ClearField(field.name)
