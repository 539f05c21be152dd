"""An MCAP file written a whole chunk at a time: the chunks gathered natively (``_columns.Layout``),
compressed here with zstd, and the file's other records written through the mcap library's own."""

from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from typing import IO, Any, Deque, Dict, List, Optional, Tuple

import zstandard
# Six times zlib's CRC-32, and like it lets go of the interpreter meanwhile (ISA-L's, which the viewer
# uses for its pictures, holds on, stalling the recorder's callers).
from zlib_ng.zlib_ng import crc32
from mcap.data_stream import RecordBuilder
from mcap.opcode import Opcode
from mcap.records import (Channel, Chunk, ChunkIndex, DataEnd, Footer, Header, McapRecord, Schema, Statistics,
                          SummaryOffset)
from mcap.writer import MCAP0_MAGIC

#: What ``_columns.Layout.take`` gives for a chunk: its Message records (a numpy array of bytes, handed
#: over without a copy), its MessageIndex records and where each channel's begins among them, its least
#: and greatest log times, its messages.
BuiltChunk = Tuple[Any, bytes, List[Tuple[int, int]], int, int, int]


class ChunkedWriter:
    """Writes an MCAP file to ``f``: its header at once, chunks as they are built, and on ``finish``
    the summary (schemas, channels, statistics, chunk indexes, their offsets) and the footer. A
    schema's or channel's record goes into the first chunk, compressed and checked with it (its
    bytes are what ``register_schema`` and ``register_channel`` give with their ids).

    With ``ahead``, up to that many chunks are compressed on a thread of their own while the
    next are built (both without the interpreter's lock), and written in order once packed:
    the file then lags what was given until ``finish``, so a writer that measures the file
    as it goes (the recorder) leaves it at 0."""

    def __init__(self, f: IO[bytes], library: str, ahead: int = 0) -> None:
        self._f = f
        self._compressor = zstandard.ZstdCompressor(level=1)
        self._ahead = ahead
        self._packer: Optional[ThreadPoolExecutor] = None
        self._packing: Deque[Tuple["Future[Tuple[bytes, int]]", BuiltChunk]] = deque()
        self._schemas: List[Schema] = []
        self._channels: List[Channel] = []
        self._chunk_indexes: List[ChunkIndex] = []
        f.write(MCAP0_MAGIC)
        self._write(Header(profile="", library=library))

    def register_schema(self, name: str, encoding: str, data: bytes) -> Tuple[int, bytes]:
        schema = Schema(id=len(self._schemas) + 1, name=name, encoding=encoding, data=data)
        self._schemas.append(schema)
        return schema.id, _bytes(schema)

    def register_channel(self, topic: str, message_encoding: str, schema_id: int) -> Tuple[int, bytes]:
        channel = Channel(id=len(self._channels) + 1, topic=topic, message_encoding=message_encoding,
                          schema_id=schema_id, metadata={})
        self._channels.append(channel)
        return channel.id, _bytes(channel)

    def chunks(self, built: List[BuiltChunk]) -> None:
        """Write chunks as ``_columns.Layout.take`` gives them, each followed by its message indexes."""
        if not self._ahead:
            for chunk in built:
                self._write_chunk(self._pack(chunk[0]), chunk)
            return
        if self._packer is None:
            self._packer = ThreadPoolExecutor(max_workers=1, thread_name_prefix="mcap-chunks")
        for chunk in built:
            self._packing.append((self._packer.submit(self._pack, chunk[0]), chunk))
        while len(self._packing) > self._ahead:
            self._write_next()

    def write_packed(self) -> None:
        """Write every chunk still packing."""
        while self._packing:
            self._write_next()

    def close(self) -> None:
        """Let go of the packing thread, the chunks still packing dropped (``finish`` writes them)."""
        if self._packer is not None:
            for packing, _ in self._packing:
                packing.cancel()
            self._packing.clear()
            self._packer.shutdown()
            self._packer = None

    def _pack(self, records: Any) -> Tuple[bytes, int]:
        return self._compressor.compress(records), crc32(records)

    def _write_next(self) -> None:
        packing, chunk = self._packing.popleft()
        self._write_chunk(packing.result(), chunk)

    def _write_chunk(self, packed: Tuple[bytes, int], chunk: BuiltChunk) -> None:
        (compressed, crc), (records, indexes, index_at, start, end, _) = packed, chunk
        at = self._f.tell()
        chunk_length = self._write(Chunk(compression="zstd", data=compressed, message_start_time=start,
                                         message_end_time=end, uncompressed_crc=crc,
                                         uncompressed_size=len(records)))
        indexes_at = self._f.tell()
        self._f.write(indexes)
        self._chunk_indexes.append(ChunkIndex(
            message_start_time=start, message_end_time=end, chunk_start_offset=at, chunk_length=chunk_length,
            message_index_offsets={channel: indexes_at + offset for channel, offset in index_at},
            message_index_length=len(indexes), compression="zstd", compressed_size=len(compressed),
            uncompressed_size=len(records)))

    def finish(self, statistics: Tuple[int, int, int, Dict[int, int]]) -> None:
        """Write the chunks still packing, the summary of the file (given ``_columns.Layout.statistics``)
        and its footer."""
        self.write_packed()
        self.close()
        messages, start, end, counts = statistics
        self._write(DataEnd(data_section_crc=0))
        summary_start = self._f.tell()
        summary = RecordBuilder()
        offsets: List[SummaryOffset] = []
        groups: List[Tuple[Opcode, List[McapRecord]]] = [
            (Opcode.SCHEMA, list(self._schemas)), (Opcode.CHANNEL, list(self._channels)),
            (Opcode.STATISTICS, [Statistics(
                message_count=messages, schema_count=len(self._schemas), channel_count=len(self._channels),
                attachment_count=0, metadata_count=0, chunk_count=len(self._chunk_indexes),
                message_start_time=start, message_end_time=end, channel_message_counts=dict(counts))]),
            (Opcode.CHUNK_INDEX, list(self._chunk_indexes))]
        for opcode, records in groups:
            begin = summary.count
            for record in records:
                record.write(summary)
            offsets.append(SummaryOffset(group_opcode=opcode, group_start=summary_start + begin,
                                         group_length=summary.count - begin))
        offsets_start = summary_start + summary.count
        for offset in offsets:
            offset.write(summary)
        data = summary.end()  # type: ignore[no-untyped-call]
        footer = _bytes(Footer(summary_start=summary_start, summary_offset_start=offsets_start, summary_crc=0))
        # The summary's CRC runs through the footer's fields before its own.
        crc = crc32(footer[:-4], crc32(data))
        self._f.write(data)
        self._write(Footer(summary_start=summary_start, summary_offset_start=offsets_start, summary_crc=crc))
        self._f.write(MCAP0_MAGIC)

    def _write(self, record: McapRecord) -> int:
        """Write ``record``; the bytes it took."""
        data = _bytes(record)
        self._f.write(data)
        return len(data)


def _bytes(record: McapRecord) -> bytes:
    builder = RecordBuilder()
    record.write(builder)
    return bytes(builder.end())  # type: ignore[no-untyped-call]

