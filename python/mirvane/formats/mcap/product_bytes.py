"""An MCAP file's products as serialized ``Product``s, put together on the wire without parsing them.

The rules are ``RecordAssembly``'s: a ``/record`` header places each product by its messages'
sequence number, with its part-less products and a newer version's fields (merged by appending
their bytes, as a parse of them merges); without one, messages of one log time and sequence number
make one product. A product's bytes are its stamp and its parts' message data behind their field
tags, in field order, as protobuf writes a product (``_columns.product_bytes``). The file is read
strictly, as ``McapRecords`` reads it (chunks opened within its bounds, their CRCs checked): damage
is an ``McapError``.

A chunk's messages are walked natively into columns (``_columns.chunk_messages``), leaving to
Python only the records that are not messages of a declared channel. Where a headed record's
messages come in order, a product's parts one after another, the products between a chunk's
first and last are joined in one native call (``_columns.joined_products``); anything else (a
header or start among them, part-less products or a newer version's fields due, parts out of
order, damage) takes the general path, message by message, which words every refusal.
"""

import io
import os
import struct
from typing import IO, Any, Callable, Dict, Generator, Iterator, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt
from zlib_ng.zlib_ng import crc32
from mcap.data_stream import ReadDataStream
from mcap.opcode import Opcode
from mcap.records import Channel, Chunk, Footer, Message, Schema, Statistics
from mcap.stream_reader import MAGIC_SIZE, StreamReader
from google.protobuf import message as pb_message
from dravik.api import data_pb2, export_pb2

from ... import _columns
from ...records import PathLike, newer_fields, record_position
from .assembly import _OPENING_RANK, _check_channel
from .growing import POLL_SECONDS, QUIET_SECONDS
from .bounded import _FOOTER_BYTES, MAX_CHUNK_BYTES, _check_finished, _check_magic, _check_summary, chunk_data
from .channels import INT64, PART_OF, RECORD, SCENE, START, McapError, capped, opened

#: A product: its bytes and its stamp.
Product = Tuple[bytes, int]
Pair = Tuple[data_pb2.Record, Optional[Product]]

_HEAD = struct.Struct("<BQ")            # a record's opcode and length
_MESSAGE = struct.Struct("<HIQQ")       # channel, sequence, log time, publish time
_MESSAGE_OPCODE, _CHANNEL_OPCODE, _SCHEMA_OPCODE = 0x05, 0x04, 0x03
_TAGS = {topic: data_pb2.Product.DESCRIPTOR.fields_by_name[part].number for topic, part in PART_OF.items()}
#: What the chunk walk takes a channel's messages as: a part's field number, or a code of its own.
_KINDS = {**_TAGS, RECORD: -2, START: -3}
_TOPIC_OF_KIND = {kind: topic for topic, kind in _KINDS.items()}
_UNDECLARED, _SKIPPED = 0, -1
#: How each record of use here is read from its bytes, given its length.
_READ: Dict[int, Callable[[ReadDataStream, int], Any]] = {
    Opcode.CHUNK: lambda stream, length: Chunk.read(stream), Opcode.MESSAGE: Message.read,
    Opcode.SCHEMA: lambda stream, length: Schema.read(stream), Opcode.CHANNEL: lambda stream, length: Channel.read(stream)}


class _Channels:
    """The channels declared so far: each one's topic (None: of no use here), and for the chunk walk
    what its messages are taken as (``_KINDS``; 0 for a channel not declared)."""

    def __init__(self) -> None:
        self.topics: Dict[int, Optional[str]] = {}
        self.kinds = np.zeros(1 << 16, dtype=np.int32)     # a channel id is 16 bits

    def declare(self, channel: int, topic: Optional[str]) -> None:
        self.topics[channel] = topic
        self.kinds[channel] = _SKIPPED if topic is None else _KINDS[topic]


class _ChunkMessages:
    """The messages of our channels in a chunk's ``data``, as columns: message ``i`` is taken as
    ``kinds[i]`` (``_KINDS``), its data from ``starts[i]`` to ``ends[i]``."""

    def __init__(self, data: bytes, columns: List[List[Any]]) -> None:
        self.data = data
        joined = columns[0] if len(columns) == 1 else [np.concatenate(column) for column in zip(*columns)]
        self.kinds: npt.NDArray[np.int32] = joined[0]
        self.sequences: npt.NDArray[np.int64] = joined[1]
        self.log_times: npt.NDArray[np.uint64] = joined[2]
        self.starts: npt.NDArray[np.int64] = joined[3]
        self.ends: npt.NDArray[np.int64] = joined[4]

    def __len__(self) -> int:
        return len(self.kinds)

    def tuples(self, start: int, stop: int) -> List[Tuple[str, int, int, bytes]]:
        """Messages ``start`` to ``stop`` as the general path takes them: topic, sequence, log time, data."""
        data = self.data
        return [(_TOPIC_OF_KIND[kind], sequence, log_time, data[begin:end]) for kind, sequence, log_time, begin, end
                in zip(*(column[start:stop].tolist() for column in
                         (self.kinds, self.sequences, self.log_times, self.starts, self.ends)))]


#: A chunk's messages, or those of a record outside chunks.
Messages = Union[_ChunkMessages, List[Tuple[str, int, int, bytes]]]


class McapProductBytes:
    """The records of the finished MCAP file at ``path``, each product as its bytes and stamp."""

    def __init__(self, path: PathLike) -> None:
        self.path = str(path)
        self._joined = _Joined(self.path)

    def record(self, index: int) -> Tuple[int, data_pb2.Record, Iterator[Product]]:
        """The position of the record ``index`` names (as ``Replay.play`` picks it), its header
        (complete once its products are read) and its products."""
        count = self.count()
        if count is None or (index == -1 and count > 1):
            stops = [record.stop_timestamp_ns for record, product in self.pairs() if product is None]
            count = len(stops)
            position = record_position(index, count, lambda: stops, self.path)
        else:
            position = record_position(index, count, list, self.path)
        pairs = self.pairs()
        seen = 0
        for record, product in pairs:
            if seen == position:
                if product is None:
                    pairs.close()
                    return position, record, iter(())
                return position, record, _products(product, pairs)
            seen += product is None
        return record_position(index, seen, list, self.path), data_pb2.Record(), iter(())   # raises

    @property
    def newer(self) -> bool:
        """Whether what was read so far holds a newer version's fields (its products' are not checked)."""
        return self._joined.newer

    def pairs(self) -> Generator[Pair, None, None]:
        """As ``McapRecords.streamed``: ``(record, product)`` each, ``(record, None)`` as each ends."""
        joined = self._joined = _Joined(self.path)
        for messages in self._messages():
            joined.add(messages)
            yield from joined.taken()
        joined.finish()
        yield from joined.taken()

    def growing(self, sleep: Callable[[float], None], quiet: Callable[[str], None],
                poll_seconds: float = POLL_SECONDS) -> Generator[Pair, None, None]:
        """As ``pairs``, of a file its recorder is writing, as ``GrowingMcap`` reads it: each record
        of the file once all its bytes are there, every product in place handed on when a chunk
        ends (a chunk ends between products); it returns once the footer is written."""
        joined = self._joined = _Joined(self.path)
        schemas: Dict[int, Schema] = {}
        channels = _Channels()
        with opened(self.path, lambda path: open(path, "rb")) as f:
            while os.fstat(f.fileno()).st_size < MAGIC_SIZE:
                sleep(poll_seconds)
            _check_magic(f, self.path)
            at, waited = MAGIC_SIZE, 0.0
            while True:
                size = os.fstat(f.fileno()).st_size
                if size < at:
                    raise McapError(self.path, f"shrank to {size:,} bytes while read; it is no longer the "
                                    "recorder's file")
                f.seek(at)
                head = f.read(_HEAD.size)
                opcode, length = _HEAD.unpack(head) if len(head) == _HEAD.size else (None, 0)
                if length > MAX_CHUNK_BYTES:
                    raise McapError(self.path, f"damaged MCAP file: the record at byte {at} declares {length:,} bytes")
                if opcode is None or size < at + _HEAD.size + length:
                    joined.settle()
                    yield from joined.taken()
                    if waited < QUIET_SECONDS <= waited + poll_seconds:
                        quiet(f"{os.path.basename(self.path)} has not grown for {QUIET_SECONDS:g} s; if its "
                              "recorder has stopped, 'mirvane recover' it (Ctrl-C stops following)")
                    sleep(poll_seconds)
                    waited += poll_seconds
                    continue
                waited = 0.0
                if opcode == Opcode.FOOTER:
                    joined.finish()
                    yield from joined.taken()
                    return
                joined.add(self._read(f, opcode, length, at, size, schemas, channels))
                yield from joined.taken()
                at += _HEAD.size + length

    def count(self) -> Optional[int]:
        """The records the summary's statistics count (its ``/record`` messages, else its
        ``/workspace/start`` ones), None without them."""
        with opened(self.path, lambda path: open(path, "rb")) as f:
            size = self._checked(f)
            f.seek(size - MAGIC_SIZE - _FOOTER_BYTES)
            footer = next(StreamReader(capped(f, size), skip_magic=True, record_size_limit=size).records)
            if not isinstance(footer, Footer) or not footer.summary_start:
                return None
            f.seek(footer.summary_start)
            topics: Dict[str, int] = {}
            counts: Optional[Dict[int, int]] = None
            for item in StreamReader(capped(f, size), skip_magic=True, record_size_limit=size).records:
                if isinstance(item, Channel):
                    topics[item.topic] = item.id
                elif isinstance(item, Statistics):
                    counts = item.channel_message_counts
        opening = topics.get(RECORD, topics.get(START))
        return None if counts is None or opening is None else counts.get(opening, 0)

    def _messages(self) -> Iterator[Messages]:
        """The messages of our channels, a chunk's at a time: each one's topic, sequence, log time and
        data. The file's records are walked by their lengths, those of no use here (message indexes)
        skipped unread."""
        schemas: Dict[int, Schema] = {}
        channels = _Channels()
        with opened(self.path, lambda path: open(path, "rb")) as f:
            size = self._checked(f)
            at = f.seek(MAGIC_SIZE)
            while at < size:
                head = f.read(_HEAD.size)
                opcode, length = _HEAD.unpack(head) if len(head) == _HEAD.size else (None, size)
                if at + _HEAD.size + length > size:
                    raise McapError(self.path, f"damaged MCAP file: the record at byte {at} runs past its end")
                if opcode == Opcode.FOOTER:
                    return
                yield self._read(f, opcode, length, at, size, schemas, channels)
                at += _HEAD.size + length

    def _read(self, f: IO[bytes], opcode: Optional[int], length: int, at: int, size: int,
              schemas: Dict[int, Schema], channels: _Channels) -> Messages:
        """The messages of our channels in the record at byte ``at``, whose body is next in ``f``;
        a record of no use here (a message index) skipped unread."""
        if opcode not in _READ:
            f.seek(length, io.SEEK_CUR)
            return []
        stream = ReadDataStream(io.BytesIO(f.read(length)))
        try:
            record = _READ[opcode](stream, length)
            data = chunk_data(record, self.path, at, size) if isinstance(record, Chunk) else b""
        except McapError:
            raise
        except Exception as e:  # whatever the reader stumbles on, the bytes are damaged
            raise McapError(self.path, f"damaged MCAP file at byte {at} ({type(e).__name__}: {e})") from None
        if isinstance(record, Chunk):
            return self._chunk(data, record, at, schemas, channels)
        return self._taken(record, schemas, channels, at)

    def _checked(self, f: IO[bytes]) -> int:
        """The file's size, once it is known to be a finished MCAP file, as ``McapRecords`` checks it."""
        size = f.seek(0, io.SEEK_END)
        _check_magic(f, self.path)
        _check_finished(f, self.path, size)
        _check_summary(f, self.path, size)
        return size

    def _chunk(self, data: bytes, chunk: Chunk, at: int, schemas: Dict[int, Schema],
               channels: _Channels) -> _ChunkMessages:
        if chunk.uncompressed_crc and crc32(data) != chunk.uncompressed_crc:
            raise McapError(self.path, f"damaged MCAP file: the chunk at byte {at} fails its CRC check")
        columns = []
        position = 0
        while True:
            stop, *taken = _columns.chunk_messages(data, position, channels.kinds)
            columns.append(taken)
            if stop >= len(data):
                return _ChunkMessages(data, columns)
            position = self._left_by_walk(data, stop, at, schemas, channels)

    def _left_by_walk(self, data: bytes, position: int, at: int, schemas: Dict[int, Schema],
                      channels: _Channels) -> int:
        """Reads the record at ``position`` in the chunk at byte ``at`` that the walk left (a schema
        or channel, or damage), and gives where the next begins."""
        if len(data) - position < _HEAD.size:
            raise McapError(self.path, f"damaged MCAP file: the chunk at byte {at} ends within a record")
        opcode, length = _HEAD.unpack_from(data, position)
        start, position = position + _HEAD.size, position + _HEAD.size + length
        if position > len(data) or (opcode == _MESSAGE_OPCODE and length < _MESSAGE.size):
            raise McapError(self.path, f"damaged MCAP file: a record of the chunk at byte {at} runs past it")
        if opcode == _MESSAGE_OPCODE:   # on a channel not declared (the walk takes all others)
            self._topic(_MESSAGE.unpack_from(data, start)[0], at)
        stream = ReadDataStream(io.BytesIO(data[start:position]))
        try:
            item: Any = Channel.read(stream) if opcode == _CHANNEL_OPCODE else Schema.read(stream)
        except Exception as e:  # damaged bytes
            raise McapError(self.path, f"damaged MCAP file in the chunk at byte {at} ({e})") from None
        self._taken(item, schemas, channels, at)
        return position

    def _taken(self, item: Any, schemas: Dict[int, Schema], channels: _Channels,
               at: int) -> List[Tuple[str, int, int, bytes]]:
        """A record outside a chunk's messages: a schema or channel noted, a message given on."""
        if isinstance(item, Schema):
            schemas[item.id] = item
        elif isinstance(item, Channel):
            topic = _check_channel(self.path, item, schemas.get(item.schema_id))
            channels.declare(item.id, None if topic == SCENE else topic)
        elif isinstance(item, Message):
            topic = channels.topics[item.channel_id] if item.channel_id in channels.topics else \
                self._topic(item.channel_id, at)
            if topic is not None:
                return [(topic, item.sequence, item.log_time, item.data)]
        return []

    def _topic(self, channel: int, at: int) -> Optional[str]:
        raise McapError(self.path, f"damaged MCAP file: a message at byte {at} is on channel {channel}, "
                        "which no channel record declares")


def _products(first: Product, pairs: Generator[Pair, None, None]) -> Iterator[Product]:
    """``first`` and the products after it up to its record's end, the file then closed."""
    try:
        yield first
        for _, product in pairs:
            if product is None:
                return
            yield product
    finally:
        pairs.close()


class _Joined:
    """Records put together from messages taken in file order (see the module's description)."""

    def __init__(self, path: str) -> None:
        self._path = path
        self._record: Optional[data_pb2.Record] = None
        self._header: Optional[export_pb2.RecordHeader] = None
        self._started = False
        self._written = 0
        self.newer = False
        #: What was put together, as ``McapProductBytes.pairs`` gives it, until ``taken``.
        self.out: List[Pair] = []
        self._held: List[Tuple[str, int, int, bytes]] = []     # messages of the latest log time
        # The open record's state (see _open).
        self._offset, self._handed, self._next_bare = 0, 0, -1
        self._latest: Optional[int] = None
        self._placed: List[List[Any]] = []
        self._later: Dict[int, List[Any]] = {}
        self._extras: Dict[int, bytes] = {}

    def add(self, messages: Messages) -> None:
        """Messages in file order: those of one log time are taken together, once another begins."""
        if isinstance(messages, _ChunkMessages):
            self._add_chunk(messages)
            return
        held = self._held
        for message in messages:
            if held and held[-1][2] != message[2]:
                self.take(held)
                held.clear()
            held.append(message)

    def _add_chunk(self, chunk: _ChunkMessages) -> None:
        """A chunk's messages: by the general path up to its last header or start and its first
        product after them, and from where products stop coming in order (at the latest, its last
        product); the products between joined at once (see the module's description)."""
        count = len(chunk)
        opening = np.flatnonzero(chunk.kinds < 0)
        begin = int(opening[-1]) + 1 if len(opening) else 0
        edges = begin + 1 + np.flatnonzero(np.diff(chunk.sequences[begin:]))    # where a product begins
        if len(edges) < 2:
            self.add(chunk.tuples(0, count))
            return
        self.add(chunk.tuples(0, int(edges[0])))
        self.take(self._held)   # all parts from here on: taken before their log time ends, they take the same places
        self._held.clear()
        at = int(edges[0])
        if self._header is not None and not self._later and not self._extras:
            at = self._join_in_order(chunk, edges)
        self.add(chunk.tuples(at, count))

    def _join_in_order(self, chunk: _ChunkMessages, edges: "npt.NDArray[np.int64]") -> int:
        """Hands on the products that begin at ``edges`` but the last, a run at a time between the
        part-less products due, while they come in order; gives the message where that stopped."""
        at, tail = int(edges[0]), int(edges[-1])
        while at < tail:
            self._place_bare()
            ahead = edges[edges > at]
            past = np.flatnonzero(chunk.sequences[ahead] >= self._next_bare)
            if self._next_bare >= 0 and len(past):
                ahead = ahead[:int(past[0]) + 1]    # up to the product after the part-less one due
            if not self._in_order(chunk, at, int(ahead[-1])):
                return at
            self._settle(0)
            self._join(chunk, np.concatenate(([at], ahead)))
            at = int(ahead[-1])
        return at

    def _in_order(self, chunk: _ChunkMessages, head: int, tail: int) -> bool:
        """Whether messages ``head`` to ``tail`` make the products due next, in order: a product's parts
        one after another, at one log time, a field once; no part-less product due among them; every
        stamp within range."""
        sequences, log_times = chunk.sequences[head:tail], chunk.log_times[head:tail]
        steps = np.diff(sequences)
        if sequences[0] != self._handed + len(self._placed) or len(steps) and not 0 <= steps.min() <= steps.max() <= 1:
            return False
        if 0 <= self._next_bare <= sequences[-1]:
            return False
        within = steps == 0
        if within.any():
            kinds = chunk.kinds[head:tail]
            order = np.lexsort((kinds, sequences))
            twice = (np.diff(sequences[order]) == 0) & (np.diff(kinds[order]) == 0)
            if (np.diff(log_times)[within] != 0).any() or twice.any():
                return False
        return -INT64 <= int(log_times.min()) - self._offset and int(log_times.max()) - self._offset < INT64

    def _join(self, chunk: _ChunkMessages, edges: "npt.NDArray[np.int64]") -> None:
        """Hands on the products of the messages from ``edges[0]`` to ``edges[-1]``, each beginning at an edge."""
        head, tail = int(edges[0]), int(edges[-1])
        stamps = chunk.log_times[edges[:-1]].astype(np.int64) - self._offset   # in range: wraps back into it
        blob, ends = _columns.joined_products(chunk.data, chunk.kinds[head:tail], chunk.starts[head:tail],
                                              chunk.ends[head:tail], edges - head, stamps)
        record, out, begin = self._record, self.out, 0
        for end, stamp in zip(ends.tolist(), stamps.tolist()):
            out.append((record, (blob[begin:end], stamp)))  # type: ignore[arg-type]   # a record is open
            begin = end
        self._handed += len(stamps)
        latest = int(stamps.max())
        self._latest = latest if self._latest is None or latest > self._latest else self._latest

    def settle(self) -> None:
        """The messages so far end between products (a chunk ended): every product in place is handed on."""
        self.take(self._held)
        self._held.clear()
        if self._record is not None:
            if self._header is not None:
                self._place_bare()
            self._settle(0)

    def finish(self) -> None:
        self.take(self._held)
        self._held.clear()
        self.close()

    def taken(self) -> List[Pair]:
        """What was put together since last asked."""
        out, self.out = self.out, []
        return out

    def take(self, held: List[Tuple[str, int, int, bytes]]) -> None:
        """The messages of one log time, a record's opening ones first."""
        if len(held) > 1:
            held.sort(key=lambda item: _OPENING_RANK.get(item[0], 2))
        for topic, sequence, log_time, data in held:
            if topic == RECORD:
                header = export_pb2.RecordHeader()
                self._decode(topic, data, header)
                self.close()
                self._open(header, header.time_offset_ns)
            elif topic == START:
                if self._header is None or self._started:
                    self.close()
                    record = self._open(None, 0)
                    self._decode(topic, data, record.project.workspace.state)
                    record.start_timestamp_ns = self._time(log_time)
                self._started = True
            else:
                self._part(topic, sequence, log_time, data)
            if len(self._placed) > 1:
                self._settle(1)

    def close(self) -> None:
        record, header = self._record, self._header
        if record is None:
            return
        if header is not None:
            self._place_bare()
            placed = self._handed + len(self._placed)
            count = placed if header.streamed else header.product_count
            if self._later or self._bare != len(header.bare_positions) or placed != count:
                raise McapError(self._path, f"record {self._written} has {placed} products in order where its "
                                f"{RECORD} message announces {count}: the file is damaged or cut short")
        self._settle(0)
        if header is None or header.streamed:
            record.stop_timestamp_ns = record.start_timestamp_ns if self._latest is None else self._latest
        try:
            self.newer |= newer_fields(record)
        except ValueError as e:
            raise McapError(self._path, f"record {self._written}: {e}") from None
        self._written += 1
        self._record = None
        self.out.append((record, None))

    def _open(self, header: Optional[export_pb2.RecordHeader], offset: int) -> data_pb2.Record:
        record = self._record = data_pb2.Record()
        if header is not None:
            record.CopyFrom(header.record)
            del record.products[:]
            self._extras = {position: extra.SerializeToString() for position, extra
                            in zip(header.extra_positions, header.extras)}
        else:
            self._extras = {}
        self._header, self._offset, self._started = header, offset, False
        # Products in place, not yet handed on: [stamp, {field number: part bytes}, or a part-less one's bytes].
        self._placed = []
        self._later = {}
        self._handed, self._bare, self._key, self._latest = 0, 0, (-1, -1), None
        # The position of the next part-less product, -1 when none is left.
        self._next_bare = header.bare_positions[0] if header is not None and header.bare_positions else -1
        return record

    def _part(self, topic: str, sequence: int, log_time: int, data: bytes) -> None:
        if self._record is None:
            raise McapError(self._path, f"a {topic} message comes before any {RECORD} or {START} message")
        number, time = _TAGS[topic], self._time(log_time)
        if self._header is not None:
            product = self._at(sequence, time)
            if isinstance(product[1], bytes) or number in product[1] or product[0] != time:
                raise McapError(self._path, f"record {self._written} has two products at position "
                                f"{sequence}: the file is damaged")
        else:
            key = (log_time, sequence)
            if not self._placed or key != self._key or number in self._placed[-1][1]:
                self._placed.append([time, {}])
                self._key = key
            product = self._placed[-1]
        product[1][number] = data

    def _at(self, position: int, time: int) -> List[Any]:
        self._place_bare()
        placed = self._handed + len(self._placed)
        if position < self._handed:
            raise McapError(self._path, f"record {self._written} has a part of its product {position} after "
                            "later ones: its messages are out of order; 'mirvane import' it first")
        if position < placed:
            return self._placed[position - self._handed]
        if position == placed and not self._later:
            self._placed.append([time, {}])
            return self._placed[-1]
        return self._later.setdefault(position, [time, {}])

    def _place_bare(self) -> None:
        assert self._header is not None
        if not self._later and self._next_bare != self._handed + len(self._placed):
            return      # the common case, at every message
        positions, bare = self._header.bare_positions, self._header.record.products
        while True:
            placed = self._handed + len(self._placed)
            if self._next_bare == placed:
                product = bare[self._bare]
                self._placed.append([product.timestamp_ns, product.SerializeToString()])
                self._bare += 1
                self._next_bare = positions[self._bare] if self._bare < len(positions) else -1
            elif placed in self._later:
                self._placed.append(self._later.pop(placed))
            else:
                return

    def _settle(self, keep: int) -> None:
        """Hand on the products in place but the last ``keep``."""
        record, placed, extras = self._record, self._placed, self._extras
        out = self.out
        while len(placed) > keep:
            stamp, parts = placed.pop(0)
            blob = parts if parts.__class__ is bytes else _columns.product_bytes(stamp, parts)
            if extras:
                blob += extras.get(self._handed, b"")
            self._handed += 1
            self._latest = stamp if self._latest is None or stamp > self._latest else self._latest
            out.append((record, (blob, stamp)))  # type: ignore[arg-type]   # a record is open

    def _decode(self, topic: str, data: bytes, into: pb_message.Message) -> None:
        into.SetInParent()
        try:
            into.MergeFromString(data)
        except pb_message.DecodeError as e:
            raise McapError(self._path, f"a {topic} message cannot be decoded ({e})") from None

    def _time(self, log_time: int) -> int:
        time = log_time - self._offset
        if not -INT64 <= time < INT64:
            raise McapError(self._path, f"log time {log_time} does not fit a recording's time stamps")
        return time
