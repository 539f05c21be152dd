"""Reading an MCAP file within bounds: chunks that declare too much are refused before they are
opened (an MCAP bomb), unfinished files refused or, in a partial reading, read up to where they stop."""

import io
import mmap
import os
import struct
from typing import IO, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple

from mcap.exceptions import EndOfFile, RecordLengthLimitExceeded
from mcap.records import Channel, Chunk, Footer, Message, Schema
from mcap.stream_reader import MAGIC_SIZE, StreamReader, breakup_chunk
from dravik.api import data_pb2

from ...records import PathLike
from .assembly import RecordAssembly
from .channels import PROGRESS_EVERY, START, McapError, UnfinishedMcapError, capped, opened

#: Bounds on what one chunk may hold uncompressed, checked against what it declares before
#: it is decompressed (and while it is): this many times the file's size, and at most this
#: many bytes. Chunks of real files hold a few MB and compress a few times over.
MAX_EXPANSION = 1000
MAX_CHUNK_BYTES = 512 * 1024 * 1024

_FOOTER_BYTES = 1 + 8 + 20  # opcode, length, summary start, summary offset start, CRC
_FOOTER_OPCODE = 0x02
_CHUNK_OPCODE = b"\x06"
_MAGIC = b"\x89MCAP0\r\n"


class Skipped(NamedTuple):
    """Damaged bytes a partial reading skipped, from ``start`` up to ``end`` (where the next whole
    chunk begins), and why."""
    start: int
    end: int
    why: str


class McapRecords:
    """The records of an MCAP file in the export's layout, read one at a time by iterating.

    Without ``partial``, an unfinished file is refused at once with an
    ``UnfinishedMcapError``, and anything damaged with a ``McapError``. With
    ``partial``, what the file holds is read up to where it stops being
    readable: ``stopped`` then says where and why (empty when the file was
    whole), ``kept_bytes`` how much of it was read, and the last record keeps
    the products read whole; damage followed by whole chunks is skipped, each
    stretch listed in ``skipped``, and reading goes on from the next whole
    chunk. ``progress`` is called with the bytes read so far.
    ``records``, ``products`` and ``newer`` count what was read.
    """

    def __init__(self, source: PathLike, *, partial: bool = False,
                 progress: Callable[[int], None] = lambda done: None) -> None:
        self.path = os.fspath(source)
        self.partial = partial
        self.size = 0
        self.kept_bytes = 0
        self.stopped = ""
        self.skipped: List[Skipped] = []
        self.records = 0
        self.products = 0
        self.newer = False
        self._progress = progress

    def __iter__(self) -> Iterator[data_pb2.Record]:
        done: List[data_pb2.Record] = []
        for record in self._read(RecordAssembly(self.path, done.append), done):
            self.records += 1
            self.products += len(record.products)
            yield record

    def streamed(self) -> Iterator[Tuple[data_pb2.Record, Optional[data_pb2.Product]]]:
        """The products one at a time, each as ``(record, product)``, and each record once more as
        ``(record, None)`` when it ends: its fields are then complete (its stop time, for a
        record a recorder streamed); the record holds no products."""
        done: List[Tuple[data_pb2.Record, Optional[data_pb2.Product]]] = []
        assembly = RecordAssembly(self.path, lambda record: done.append((record, None)),
                                  lambda record, product: done.append((record, product)))
        for record, product in self._read(assembly, done):
            if product is None:
                self.records += 1
            else:
                self.products += 1
            yield record, product

    def _read(self, reader: RecordAssembly, done: List[Any]) -> Iterator[Any]:
        """What ``reader`` hands on into ``done`` as the file's messages are given it."""
        with opened(self.path, lambda path: open(path, "rb")) as f:
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
                for n, (schema, channel, message) in enumerate(self._messages(f, reader.gap)):
                    reader.message(schema, channel, message)
                    yield from self._count(done, reader)
                    if n % PROGRESS_EVERY == 0:
                        self._progress(f.tell())
                reader.finish(cut=bool(self.stopped or self.skipped))
            except McapError as e:
                if not self.partial:
                    raise
                self.stopped = self.stopped or str(e)
            yield from self._count(done, reader)

    def _count(self, done: List[Any], reader: RecordAssembly) -> Iterator[Any]:
        yield from done
        done.clear()
        self.newer = reader.newer

    def _messages(self, f: IO[bytes], gap: Callable[[], None]) -> Iterator[Tuple[Optional[Schema], Channel, Message]]:
        """The file's messages in file order, chunks opened within the bounds and their CRCs checked;
        in a partial reading, those of every whole chunk, ``gap`` called where damage was skipped."""
        schemas: Dict[int, Schema] = {}
        channels: Dict[int, Channel] = {}
        # A record cannot be longer than the file; the reader refuses one that says it is.
        records = StreamReader(capped(f, self.size), emit_chunks=True, validate_crcs=True, record_size_limit=self.size).records
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
                why = e.reason
            except Exception as e:  # whatever the reader stumbles on, the file is damaged or cut short
                # A whole file (as a strict reading has found) is damaged; another may just end early.
                if self.partial and isinstance(e, (EndOfFile, RecordLengthLimitExceeded, struct.error)):
                    why = f"cut short: the record at byte {at} ends past the file's end"
                else:
                    problem = McapError(self.path, f"damaged MCAP file at byte {at} ({type(e).__name__}: {e})")
                    if not self.partial:
                        raise problem from None
                    why = problem.reason
            else:
                why = ""
            if why:
                resume = _next_chunk(f, at + 1, self.path, self.size)
                if resume is None:
                    self.stopped = f"{self.path}: {why}"
                    return
                self.skipped.append(Skipped(at, resume, why.replace("cut short: ", "damaged: ", 1)))
                gap()
                f.seek(resume)
                records = StreamReader(capped(f, self.size), skip_magic=True, emit_chunks=True, validate_crcs=True,
                                       record_size_limit=self.size).records
                self.kept_bytes = resume
                continue
            self.kept_bytes = f.tell()
            yield from typed_messages(found, schemas, channels, self.path, at)
            if any(isinstance(item, Footer) for item in found):
                return


def typed_messages(found: List[Any], schemas: Dict[int, Schema], channels: Dict[int, Channel], path: str,
                   at: int) -> Iterator[Tuple[Optional[Schema], Channel, Message]]:
    """The messages among the records ``found`` at byte ``at``, each with its channel and schema,
    the schemas and channels among them noted first."""
    for item in found:
        if isinstance(item, Schema):
            schemas[item.id] = item
        elif isinstance(item, Channel):
            channels[item.id] = item
        elif isinstance(item, Message):
            channel = channels.get(item.channel_id)
            if channel is None:
                raise McapError(path, f"damaged MCAP file: a message at byte {at} is on "
                                f"channel {item.channel_id}, which no channel record declares")
            yield schemas.get(channel.schema_id), channel, item


def _next_chunk(f: IO[bytes], start: int, path: str, size: int) -> Optional[int]:
    """Where the first whole chunk from ``start`` on begins (one that opens within the bounds with
    its CRC right), None if there is none."""
    if start >= size:
        return None
    with mmap.mmap(f.fileno(), size, access=mmap.ACCESS_READ) as view:
        at = view.find(_CHUNK_OPCODE, start)
        while at >= 0:
            length = struct.unpack_from("<Q", view, at + 1)[0] if at + 9 <= size else size
            if length <= size - at - 9:     # else not a record that fits the file
                f.seek(at)
                try:
                    chunk = next(StreamReader(capped(f, size), skip_magic=True, emit_chunks=True, validate_crcs=True,
                                              record_size_limit=size).records)
                    if isinstance(chunk, Chunk) and chunk.uncompressed_crc:
                        _open_chunk(chunk, path, at, size)
                        return at
                except Exception:   # not a chunk after all: damaged bytes that looked like one
                    pass
            at = view.find(_CHUNK_OPCODE, at + 1)
    return None


def _open_chunk(chunk: Chunk, path: str, at: int, size: int) -> List[Any]:
    """The records of a chunk, refused before decompressing when it declares more than the bounds allow."""
    plain = Chunk(compression="", data=chunk_data(chunk, path, at, size), message_start_time=chunk.message_start_time,
                  message_end_time=chunk.message_end_time, uncompressed_crc=chunk.uncompressed_crc,
                  uncompressed_size=chunk.uncompressed_size)
    return breakup_chunk(plain, validate_crc=True)


def chunk_data(chunk: Chunk, path: str, at: int, size: int) -> bytes:
    """A chunk's records' bytes, uncompressed within the bounds (not checked against its CRC)."""
    bound = min(MAX_CHUNK_BYTES, MAX_EXPANSION * size)
    if chunk.uncompressed_size > bound:
        raise McapError(path, f"the chunk at byte {at} declares {chunk.uncompressed_size:,} bytes uncompressed, "
                        f"beyond the bound of {bound:,} (the lesser of {MAX_EXPANSION} times the file's size and "
                        f"{MAX_CHUNK_BYTES // (1024 * 1024)} MiB)")
    data = _decompress(chunk, path, at)
    if len(data) != chunk.uncompressed_size:
        raise McapError(path, f"damaged MCAP file: the chunk at byte {at} holds other than the "
                        f"{chunk.uncompressed_size:,} bytes it declares")
    return data


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
    raise McapError(path, f"the chunk at byte {at} is compressed with {chunk.compression!r}, "
                    "which mirvane does not read")


def _unfinished(path: str, at: int) -> UnfinishedMcapError:
    return UnfinishedMcapError(path, f"unfinished MCAP file (truncated at byte {at:,}, or still being written); "
                               f"'mirvane events --follow {path}' and 'mirvane replay {path} --serve --follow' "
                               "follow it while written, "
                               f"'mirvane recover {path} FIXED.mcap' writes a whole file of what it holds")


def _check_magic(f: IO[bytes], path: str) -> None:
    """Refuse what does not begin as an MCAP file."""
    f.seek(0)
    if f.read(MAGIC_SIZE) != _MAGIC:
        raise McapError(path, "not an MCAP file (it does not begin as one)")


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
        footer = next(StreamReader(capped(f, size), skip_magic=True, record_size_limit=size).records)
        topics = set()
        if isinstance(footer, Footer) and footer.summary_start:
            f.seek(footer.summary_start)
            for record in StreamReader(capped(f, size), skip_magic=True, emit_chunks=True, record_size_limit=size).records:
                if isinstance(record, Channel):
                    topics.add(record.topic)
    except Exception as e:
        raise McapError(path, f"damaged MCAP file: its summary cannot be read ({type(e).__name__}: {e})") from None
    # The summary is optional, and so are the channels in it: they are then checked as they come.
    if topics and START not in topics:
        raise McapError(path, f"has no {START} channel, so no record's starting state: "
                        "not an export of a mirvane recording")
