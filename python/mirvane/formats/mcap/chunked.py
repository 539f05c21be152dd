"""An MCAP file written a whole chunk at a time: the chunks gathered natively (``_columns.Layout``),
compressed here with zstd, and the file's other records written through the mcap library's own."""

import zlib
from typing import IO, Any, Dict, List, Tuple

import zstandard
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
    bytes are what ``register_schema`` and ``register_channel`` give with their ids)."""

    def __init__(self, f: IO[bytes], library: str) -> None:
        self._f = f
        self._compressor = zstandard.ZstdCompressor(level=1)
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
        for records, indexes, index_at, start, end, _ in built:
            compressed = self._compressor.compress(records)
            at = self._f.tell()
            chunk = self._write(Chunk(compression="zstd", data=compressed, message_start_time=start,
                                      message_end_time=end, uncompressed_crc=zlib.crc32(records),
                                      uncompressed_size=len(records)))
            indexes_at = self._f.tell()
            self._f.write(indexes)
            self._chunk_indexes.append(ChunkIndex(
                message_start_time=start, message_end_time=end, chunk_start_offset=at, chunk_length=chunk,
                message_index_offsets={channel: indexes_at + offset for channel, offset in index_at},
                message_index_length=len(indexes), compression="zstd", compressed_size=len(compressed),
                uncompressed_size=len(records)))

    def finish(self, statistics: Tuple[int, int, int, Dict[int, int]]) -> None:
        """Write the summary of the file, given ``_columns.Layout.statistics``, and its footer."""
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
        crc = zlib.crc32(footer[:-4], zlib.crc32(data))
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

