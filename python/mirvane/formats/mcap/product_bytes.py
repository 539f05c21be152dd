"""An MCAP file's products as serialized ``Product``s, put together on the wire without parsing them.

The rules are ``RecordAssembly``'s: a ``/record`` header places each product by its messages'
sequence number, with its part-less products and a newer version's fields (merged by appending
their bytes, as a parse of them merges); without one, messages of one log time and sequence number
make one product. A product's bytes are its stamp and its parts' message data behind their field
tags, in field order, as protobuf writes a product. The file is read strictly, as ``McapRecords``
reads it (chunks opened within its bounds, their CRCs checked): damage is an ``McapError``.
"""

import io
import os
import struct
import zlib
from typing import IO, Any, Callable, Dict, Generator, Iterator, List, Optional, Tuple

from mcap.data_stream import ReadDataStream
from mcap.opcode import Opcode
from mcap.records import Channel, Chunk, Footer, Message, Schema, Statistics
from mcap.stream_reader import MAGIC_SIZE, StreamReader
from google.protobuf import message as pb_message
from dravik.api import data_pb2, export_pb2

from ...records import PathLike, newer_fields, record_position
from .assembly import _OPENING_RANK, _check_channel
from .growing import POLL_SECONDS, QUIET_SECONDS
from .bounded import _FOOTER_BYTES, MAX_CHUNK_BYTES, _check_finished, _check_magic, _check_summary, chunk_data
from .channels import INT64, PART_OF, RECORD, SCENE, START, McapError, opened

#: A product: its bytes and its stamp.
Product = Tuple[bytes, int]
Pair = Tuple[data_pb2.Record, Optional[Product]]

_HEAD = struct.Struct("<BQ")            # a record's opcode and length
_MESSAGE = struct.Struct("<HIQQ")       # channel, sequence, log time, publish time
_MESSAGE_OPCODE, _CHANNEL_OPCODE, _SCHEMA_OPCODE = 0x05, 0x04, 0x03
_TAGS = {topic: data_pb2.Product.DESCRIPTOR.fields_by_name[part].number for topic, part in PART_OF.items()}


def _varint(value: int) -> bytes:
    value &= (1 << 64) - 1      # an int64's two's complement, as protobuf writes a negative one
    out = bytearray()
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


_TAG_BYTES = {number: _varint(number << 3 | 2) for number in _TAGS.values()}
_SHORT = [_varint(n) for n in range(1 << 14)]    # the lengths of most parts
#: A product's stamp field, as protobuf writes it (none for 0), in one call.
_STAMPED = data_pb2.Product
#: How each record of use here is read from its bytes, given its length.
_READ: Dict[int, Callable[[ReadDataStream, int], Any]] = {
    Opcode.CHUNK: lambda stream, length: Chunk.read(stream), Opcode.MESSAGE: Message.read,
    Opcode.SCHEMA: lambda stream, length: Schema.read(stream), Opcode.CHANNEL: lambda stream, length: Channel.read(stream)}


class McapProductBytes:
    """The records of the finished MCAP file at ``path``, each product as its bytes and stamp."""

    def __init__(self, path: PathLike) -> None:
        self.path = str(path)
        self._joined = _Joined(self.path)

    def record(self, index: int) -> Tuple[int, data_pb2.Record, Iterator[Product]]:
        """The position of the record ``index`` names (as ``Replay.play`` picks it), its header
        (complete once its products are read) and its products."""
        count = self._count()
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
        channels: Dict[int, Optional[str]] = {}
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

    def _count(self) -> Optional[int]:
        """The records the summary's statistics count (its ``/record`` messages, else its
        ``/workspace/start`` ones), None without them."""
        with opened(self.path, lambda path: open(path, "rb")) as f:
            size = self._checked(f)
            f.seek(size - MAGIC_SIZE - _FOOTER_BYTES)
            footer = next(StreamReader(f, skip_magic=True, record_size_limit=size).records)
            if not isinstance(footer, Footer) or not footer.summary_start:
                return None
            f.seek(footer.summary_start)
            topics: Dict[str, int] = {}
            counts: Optional[Dict[int, int]] = None
            for item in StreamReader(f, skip_magic=True, record_size_limit=size).records:
                if isinstance(item, Channel):
                    topics[item.topic] = item.id
                elif isinstance(item, Statistics):
                    counts = item.channel_message_counts
        opening = topics.get(RECORD, topics.get(START))
        return None if counts is None or opening is None else counts.get(opening, 0)

    def _messages(self) -> Iterator[List[Tuple[str, int, int, bytes]]]:
        """The messages of our channels, a chunk's at a time: each one's topic, sequence, log time and
        data. The file's records are walked by their lengths, those of no use here (message indexes)
        skipped unread."""
        schemas: Dict[int, Schema] = {}
        channels: Dict[int, Optional[str]] = {}
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
              schemas: Dict[int, Schema], channels: Dict[int, Optional[str]]) -> List[Tuple[str, int, int, bytes]]:
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
        return list(self._taken(record, schemas, channels, at))

    def _checked(self, f: IO[bytes]) -> int:
        """The file's size, once it is known to be a finished MCAP file, as ``McapRecords`` checks it."""
        size = f.seek(0, io.SEEK_END)
        _check_magic(f, self.path)
        _check_finished(f, self.path, size)
        _check_summary(f, self.path, size)
        return size

    def _chunk(self, data: bytes, chunk: Chunk, at: int, schemas: Dict[int, Schema],
               channels: Dict[int, Optional[str]]) -> List[Tuple[str, int, int, bytes]]:
        if chunk.uncompressed_crc and zlib.crc32(data) != chunk.uncompressed_crc:
            raise McapError(self.path, f"damaged MCAP file: the chunk at byte {at} fails its CRC check")
        found: List[Tuple[str, int, int, bytes]] = []
        position, end = 0, len(data)
        while position < end:
            if end - position < _HEAD.size:
                raise McapError(self.path, f"damaged MCAP file: the chunk at byte {at} ends within a record")
            opcode, length = _HEAD.unpack_from(data, position)
            start, position = position + _HEAD.size, position + _HEAD.size + length
            if position > end or (opcode == _MESSAGE_OPCODE and length < _MESSAGE.size):
                raise McapError(self.path, f"damaged MCAP file: a record of the chunk at byte {at} runs past it")
            if opcode == _MESSAGE_OPCODE:
                channel, sequence, log_time, _ = _MESSAGE.unpack_from(data, start)
                topic = channels[channel] if channel in channels else self._topic(channel, channels, at)
                if topic is not None:
                    found.append((topic, sequence, log_time, data[start + _MESSAGE.size:position]))
            elif opcode in (_CHANNEL_OPCODE, _SCHEMA_OPCODE):
                stream = ReadDataStream(io.BytesIO(data[start:position]))
                try:
                    item: Any = Channel.read(stream) if opcode == _CHANNEL_OPCODE else Schema.read(stream)
                except Exception as e:  # damaged bytes
                    raise McapError(self.path, f"damaged MCAP file in the chunk at byte {at} ({e})") from None
                found += self._taken(item, schemas, channels, at)
        return found

    def _taken(self, item: Any, schemas: Dict[int, Schema], channels: Dict[int, Optional[str]],
               at: int) -> Iterator[Tuple[str, int, int, bytes]]:
        """A record outside a chunk's messages: a schema or channel noted, a message given on."""
        if isinstance(item, Schema):
            schemas[item.id] = item
        elif isinstance(item, Channel):
            topic = _check_channel(self.path, item, schemas.get(item.schema_id))
            channels[item.id] = None if topic == SCENE else topic
        elif isinstance(item, Message):
            topic = channels[item.channel_id] if item.channel_id in channels else \
                self._topic(item.channel_id, channels, at)
            if topic is not None:
                yield topic, item.sequence, item.log_time, item.data

    def _topic(self, channel: int, channels: Dict[int, Optional[str]], at: int) -> Optional[str]:
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

    def add(self, messages: List[Tuple[str, int, int, bytes]]) -> None:
        """Messages in file order: those of one log time are taken together, once another begins."""
        held = self._held
        for message in messages:
            if held and held[-1][2] != message[2]:
                self.take(held)
                held.clear()
            held.append(message)

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
        self._placed: List[List[Any]] = []
        self._later: Dict[int, List[Any]] = {}
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
            if parts.__class__ is bytes:
                blob = parts
            else:
                pieces = [_STAMPED(timestamp_ns=stamp).SerializeToString()]
                for number in sorted(parts) if len(parts) > 1 else parts:
                    part = parts[number]
                    pieces += (_TAG_BYTES[number], _SHORT[len(part)] if len(part) < 16384 else _varint(len(part)), part)
                blob = b"".join(pieces)
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
