"""A recording's products one at a time, in memory bounded whatever the record's length.

A record of a recording file is one ``Record`` message, and its products are
its field 4, each length-delimited: the record's fields are walked on the wire
in buffered reads, each product parsed alone as its turn comes and the other
fields gathered into the record's header (a ``Record`` without products); or, for
readers of columns and the event rules, the products unparsed, a block of them at a
time as the record holds them, checked against the schema natively (``blocks``). An
MCAP file's products are put together chunk by chunk (``McapRecords.streamed``; for
``blocks``, on the wire: ``mcap.product_bytes``), never into a whole record. Lengths are checked against the record before
anything is read, so a damaged or hostile file is refused with a
``DataFileError`` naming it.
"""

import os
from typing import Any, BinaryIO, Callable, Generator, Iterator, List, Optional, Tuple, TypeVar, cast

from google.protobuf import message as pb_message
from dravik.api import data_pb2

from .. import _columns
from ..records import DataFileError, PathLike, RecordIndexError, newer_fields, record_position
from .columns import Block, joined, newer_products
from .filenames import is_mcap
from .recordstream import RecordReader

_BLOCK = 64 * 1024          # bytes read at a time
_BLOCKS = 1 << 20           # bytes of products taken as one block
_PRODUCTS = 4               # Record.products
_LENGTH_DELIMITED = 2
_FIXED = {1: 8, 5: 4}       # wire type: bytes
_PRODUCT_TAG = _PRODUCTS << 3 | _LENGTH_DELIMITED

_Item = TypeVar("_Item")
Streamed = Tuple[data_pb2.Record, Iterator[data_pb2.Product]]


class ProductStream:
    """The records of the recording at ``path`` (a recording file, or an MCAP file), streamed.

    Each record comes as ``(header, products)``: ``header`` a ``Record`` without
    products, ``products`` an iterator of them in record order. Take the records
    in turn; a record's products left unread are skipped when the next is taken.
    The header's fields are complete once its products are exhausted (a record
    an MCAP recorder streamed learns its stop time from its last product).
    ``newer`` tells whether what was read so far holds fields of a newer version.
    Raises ``DataFileError`` (an MCAP file's ``McapError`` is one) when the damage is reached,
    ``OSError`` when the file cannot be read, ``ImportError`` for MCAP without the mcap extra.
    """

    def __init__(self, path: PathLike, mcap: Optional[bool] = None) -> None:
        self.path = os.fspath(path)
        self.newer = False
        #: What reading told the user should know (a gap between split files), once read.
        self.notes: List[str] = []
        #: Whether it is read as MCAP: as told, else as its name says (a descriptor's path names none).
        self.mcap = is_mcap(self.path) if mcap is None else mcap

    def records(self) -> Generator[Streamed, None, None]:
        """Every record in turn."""
        if self.mcap:
            yield from self._mcap()
            return
        yield from self._walked_records(self._rec_products)

    def blocks(self) -> Generator[Tuple[data_pb2.Record, Iterator[Block]], None, None]:
        """As ``records``, each record's products in blocks, checked natively and never parsed here:
        a recording file's as the file holds them, an MCAP file's as put together on the wire."""
        if self.mcap:
            yield from self._mcap_blocks()
            return
        yield from self._walked_records(self._rec_blocks)

    def _walked_records(self, taken: Callable[["_RecordWalk", data_pb2.Record, int], Iterator[_Item]]
                        ) -> Generator[Tuple[data_pb2.Record, Iterator[_Item]], None, None]:
        """Each record of a recording file: its header, and its products as ``taken`` takes them."""
        with RecordReader(self.path) as reader:
            spans = reader.offsets()
        with open(self.path, "rb") as f:
            for offset, length in spans:
                walk = _RecordWalk(f, offset, length, self.path)
                header = walk.header()
                self.newer |= _checked(self.path, offset, header)
                products = taken(walk, header, offset)
                yield header, products
                for _ in products:
                    pass

    def record(self, index: int) -> Tuple[int, data_pb2.Record, Iterator[data_pb2.Product]]:
        """The position of the record ``index`` names (as ``Replay.play`` picks it) and that record.

        Raises ``RecordIndexError`` when there is no such record.
        """
        return self._picked(index, self.records())

    def record_blocks(self, index: int) -> Tuple[int, data_pb2.Record, Iterator[Block]]:
        """As ``record``, its products in blocks as ``blocks`` gives them."""
        return self._picked(index, self.blocks())

    def _picked(self, index: int, source: Generator[Tuple[data_pb2.Record, Iterator[_Item]], None, None]
                ) -> Tuple[int, data_pb2.Record, Iterator[_Item]]:
        if index >= 0:
            position = index
        elif not self.mcap:     # counted without reading; stop times read only when needed
            with RecordReader(self.path) as reader:
                position = record_position(index, len(reader.offsets()), self.stops, self.path)
        else:   # counted by the file's summary where it holds the count; stop times read only when needed
            count = self._counted()
            if count is None:
                stops = self.stops()
                position = record_position(index, len(stops), lambda: stops, self.path)
            else:
                position = record_position(index, count, self.stops, self.path)
        count = 0
        for header, products in source:
            if count == position:
                return position, header, _holding(source, products)
            count += 1
        record_position(index, count, list, self.path)     # raises: there is no such record
        raise RecordIndexError(self.path, f"has no record {position}")

    def _counted(self) -> Optional[int]:
        """The records an MCAP file's summary counts, None where it counts none."""
        from .mcap.product_bytes import McapProductBytes

        return McapProductBytes(self.path).count()

    def spans(self, index: Optional[int] = None) -> List[Tuple[int, int, int]]:
        """``(position, offset, length)`` of every record of a recording file, or of the one ``index``
        names (as ``record`` picks it); ``at`` reads each."""
        with RecordReader(self.path) as reader:
            spans = reader.offsets()
        if index is None:
            return [(n, offset, length) for n, (offset, length) in enumerate(spans)]
        position = record_position(index, len(spans), self.stops, self.path)
        return [(position, *spans[position])]

    def at(self, offset: int, length: int) -> Streamed:
        """The record of a recording file whose bytes are ``length`` from ``offset``; its file is
        open until its products are read."""
        f, walk, header = self._walked(offset, length)
        return header, _closing(f, self._rec_products(walk, header, offset))

    def blocks_at(self, offset: int, length: int) -> Tuple[data_pb2.Record, Iterator[Block]]:
        """As ``at``, the record's products in blocks as ``blocks`` gives them."""
        f, walk, header = self._walked(offset, length)
        return header, _closing(f, self._rec_blocks(walk, header, offset))

    def record_bytes(self, index: int) -> Tuple[int, data_pb2.Record, Iterator[bytes]]:
        """As ``record``, for a recording file: each product's bytes as the file holds them, unparsed
        and unchecked (a reader of columns takes their stamps in batches)."""
        [(position, offset, length)] = self.spans(index)
        f, walk, header = self._walked(offset, length)
        return position, header, _closing(f, walk.products(header))

    def _walked(self, offset: int, length: int) -> Tuple[BinaryIO, "_RecordWalk", data_pb2.Record]:
        """The file open at the record ``length`` bytes from ``offset``, its walk and its header."""
        f = open(self.path, "rb")
        try:
            walk = _RecordWalk(f, offset, length, self.path)
            header = walk.header()
            self.newer |= _checked(self.path, offset, header)
        except BaseException:
            f.close()
            raise
        return f, walk, header

    def stops(self) -> List[int]:
        """Each record's stop time, in order; a recording file's read without its products."""
        if self.mcap:   # a streamed record's stop is its last product's: every one is read, unparsed
            return stops_read(self.blocks())
        with RecordReader(self.path) as reader:
            spans = reader.offsets()
        with open(self.path, "rb") as f:
            return [_RecordWalk(f, offset, length, self.path).stop() for offset, length in spans]

    def _rec_products(self, walk: "_RecordWalk", header: data_pb2.Record, offset: int
                      ) -> Iterator[data_pb2.Product]:
        for blob in walk.products(header):
            try:
                product = data_pb2.Product.FromString(blob)
            except (pb_message.DecodeError, ValueError) as e:
                raise DataFileError(self.path, f"not a recording file (the record at byte {offset}: {e})") from None
            self.newer |= _checked(self.path, offset, product)
            yield product

    def _rec_blocks(self, walk: "_RecordWalk", header: data_pb2.Record, offset: int) -> Iterator[Block]:
        for block in walk.product_blocks(header):
            self.newer |= newer_products(block, self.path, f"the record at byte {offset}: ")
            yield block

    def _mcap(self) -> Iterator[Streamed]:
        from .mcap.bounded import McapRecords

        reading = McapRecords(self.path)

        def seen() -> None:
            self.newer |= reading.newer

        yield from grouped(reading.streamed(), seen)


    def _mcap_blocks(self) -> Iterator[Tuple[data_pb2.Record, Iterator[Block]]]:
        from .mcap.product_bytes import McapProductBytes

        reading = McapProductBytes(self.path)

        def seen() -> None:
            self.newer |= reading.newer

        for header, products in grouped(reading.pairs(), seen):     # type: ignore[arg-type]  # (bytes, stamp)
            yield header, self._checked_blocks(cast(Iterator[Tuple[bytes, int]], products))

    def _checked_blocks(self, products: Iterator[Tuple[bytes, int]]) -> Iterator[Block]:
        """Products' bytes (with their stamps) as blocks of about ``_BLOCKS`` bytes, each checked."""
        blobs: List[bytes] = []
        size = 0
        for blob, _ in products:
            blobs.append(blob)
            size += len(blob)
            if size >= _BLOCKS:
                block, blobs, size = joined(blobs), [], 0
                self.newer |= newer_products(block, self.path)
                yield block
        if blobs:
            block = joined(blobs)
            self.newer |= newer_products(block, self.path)
            yield block


def stops_read(records: Iterator[Tuple[data_pb2.Record, Iterator[Any]]]) -> List[int]:
    """The stop time of each of ``records``, its header whole once its products are read."""
    found = []
    for header, products in records:
        for _ in products:
            pass
        found.append(header.stop_timestamp_ns)
    return found


def grouped(pairs: Iterator[Tuple[data_pb2.Record, Optional[data_pb2.Product]]],
            seen: Callable[[], None] = lambda: None) -> Iterator[Streamed]:
    """The records of ``McapRecords.streamed``'s pairs, as ``ProductStream`` gives them; ``seen``
    is called after each pair is taken."""
    head = next(pairs, None)

    def products(record: data_pb2.Record) -> Iterator[data_pb2.Product]:
        nonlocal head
        while head is not None and head[0] is record:
            product = head[1]
            head = next(pairs, None)
            seen()
            if product is not None:
                yield product

    while head is not None:
        stream = products(head[0])
        yield head[0], stream
        for _ in stream:
            pass


def stream_products(path: PathLike, index: int) -> Streamed:
    """The header and products (see ``ProductStream``) of the record ``index`` names in the
    recording at ``path``, counting from 0, or from the end when negative (-1: the record that
    stopped last)."""
    _, header, products = ProductStream(path).record(index)
    return header, products


def _holding(source: Generator[Tuple[data_pb2.Record, Iterator[_Item]], None, None],
             products: Iterator[_Item]) -> Iterator[_Item]:
    """``products``, keeping open the file that ``source`` reads them from until they are read."""
    yield from products
    source.close()


def _closing(f: BinaryIO, products: Iterator[_Item]) -> Iterator[_Item]:
    with f:
        yield from products


def _checked(path: str, offset: int, message: pb_message.Message) -> bool:
    try:
        return newer_fields(message)
    except ValueError as e:
        raise DataFileError(path, f"not a recording file (the record at byte {offset}: {e})") from None


class _RecordWalk:
    """One record's fields on the wire, read from ``offset`` for ``length`` bytes in buffered reads."""

    def __init__(self, file: BinaryIO, offset: int, length: int, path: str) -> None:
        self._file = file
        self._offset = offset
        self._at = offset           # the file position of the next byte to take
        self._end = offset + length
        self._path = path
        self._buffer = b""
        self._used = 0
        self._first: Optional[bytes] = None     # the first product's bytes, read with the header
        file.seek(offset)

    def header(self) -> data_pb2.Record:
        """The record's fields that come before its first product."""
        gathered = bytearray()
        while self._at < self._end:
            raw, blob = self._field()
            if blob is not None:
                self._first = blob
                break
            gathered += raw
        return self._parse(bytes(gathered))

    def product_blocks(self, header: data_pb2.Record) -> Iterator[Block]:
        """As ``products``, those that follow one another in a buffer taken as one block."""
        if self._first is not None:
            first, self._first = self._first, None
            yield joined([first])
        while self._at < self._end:
            self._fill(min(_BLOCKS, self._end - self._at))
            starts, ends, used = _columns.products_ahead(memoryview(self._buffer)[self._used:])
            if used:
                yield Block(self._buffer, starts + self._used, ends + self._used)
                self._used, self._at = self._used + used, self._at + used
                continue
            raw, blob = self._field()   # another field, or a product longer than a block
            if blob is None:
                header.MergeFrom(self._parse(raw))
            else:
                yield joined([blob])

    def products(self, header: data_pb2.Record) -> Iterator[bytes]:
        """Each product's bytes in turn; fields between and after them are merged into ``header``."""
        if self._first is not None:
            first, self._first = self._first, None
            yield first
        while self._at < self._end:
            blob = self._held_product()
            if blob is not None:
                yield blob
                continue
            raw, blob = self._field()
            if blob is None:
                header.MergeFrom(self._parse(raw))
            else:
                yield blob

    def _held_product(self) -> Optional[bytes]:
        """The next field's bytes when it is a product of less than 16 kB all in the buffer, as
        nearly every one is: taken without the general walk's steps."""
        buffer, used = self._buffer, self._used
        if used + 3 > len(buffer) or buffer[used] != _PRODUCT_TAG:
            return None
        length = buffer[used + 1]
        start = used + 2
        if length >= 0x80:
            if buffer[used + 2] >= 0x80:
                return None
            length = length & 0x7F | buffer[used + 2] << 7
            start += 1
        stop = start + length
        if stop > len(buffer) or self._at + stop - used > self._end:
            return None
        self._used, self._at = stop, self._at + stop - used
        return buffer[start:stop]

    def stop(self) -> int:
        """The record's stop time, its products skipped unread."""
        header = data_pb2.Record()
        while self._at < self._end:
            raw, _ = self._field(skip=True)
            header.MergeFrom(self._parse(raw))
        return header.stop_timestamp_ns

    def _field(self, skip: bool = False) -> Tuple[bytes, Optional[bytes]]:
        """The next field: ``(its bytes, None)``, or ``(b"", the product's bytes)`` for a product
        (with ``skip``, ``(b"", b"")`` and the product left unread)."""
        at = self._at
        tag, raw = self._varint()
        number, wire = tag >> 3, tag & 7
        if number == 0 or wire not in (0, _LENGTH_DELIMITED, *_FIXED):
            raise self._damaged(f"unexpected content at byte {at}")
        if wire == 0:
            return raw + self._varint()[1], None
        if wire in _FIXED:
            return raw + self._take(_FIXED[wire]), None
        length, prefix = self._varint()
        if length > self._end - self._at:
            raise self._damaged(f"the field at byte {at} declares {length:,} bytes, past the record's end")
        if number != _PRODUCTS:
            return raw + prefix + self._take(length), None
        if skip:
            self._skip(length)
            return b"", None
        return b"", self._take(length)

    def _varint(self) -> Tuple[int, bytes]:
        """A varint's value and its bytes: at most 10, within the record."""
        used = self._used
        if used < len(self._buffer) and self._buffer[used] < 0x80 and self._at < self._end:
            # One byte, as every tag of a record's fields is: the walk's most frequent step.
            self._used, self._at = used + 1, self._at + 1
            return self._buffer[used], self._buffer[used:used + 1]
        self._fill(min(10, self._end - self._at))
        buffer, start = self._buffer, self._used
        value, shift = 0, 0
        for at in range(start, min(len(buffer), start + 10)):
            byte = buffer[at]
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                self._used = at + 1
                self._at += at + 1 - start
                return value, buffer[start:at + 1]
        if len(buffer) - start < 10:
            raise self._damaged(f"a field runs past the record's end at byte {self._end}")
        raise self._damaged(f"unexpected content at byte {self._at}")

    def _take(self, n: int) -> bytes:
        if n > self._end - self._at:
            raise self._damaged(f"a field runs past the record's end at byte {self._end}")
        self._fill(n)
        out = self._buffer[self._used:self._used + n]
        self._used += n
        self._at += n
        return out

    def _fill(self, n: int) -> None:
        """Hold at least ``n`` bytes of the record from the next on (``n`` within the record)."""
        held = len(self._buffer) - self._used
        if held < n:
            rest = self._buffer[self._used:]
            more = max(n - held, min(_BLOCK, self._end - self._at - held))
            self._buffer, self._used = rest + self._file.read(more), 0
            if len(self._buffer) < n:
                raise self._damaged("truncated: it ends past the end of the file")

    def _skip(self, n: int) -> None:
        held = len(self._buffer) - self._used
        if n <= held:
            self._used += n
        else:
            self._file.seek(self._at + n)
            self._buffer, self._used = b"", 0
        self._at += n

    def _parse(self, blob: bytes) -> data_pb2.Record:
        try:
            return data_pb2.Record.FromString(blob)
        except (pb_message.DecodeError, ValueError) as e:
            raise self._damaged(str(e)) from None

    def _damaged(self, why: str) -> DataFileError:
        return DataFileError(self._path, f"not a recording file (the record at byte {self._offset}: {why})")
