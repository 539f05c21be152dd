"""An MCAP file read while its recorder writes it: each poll reads only what was flushed since the last.

The recorder writes whole chunks and flushes them (``mirvane.formats.recorder``), so the file
grows a record at a time; a record is taken once all its bytes are there (its length comes
first), read by the mcap library's stream reader and, a chunk, opened within the bounds
``McapRecords`` keeps. A chunk ends between products, so every product read is handed on at
once. The footer, which closing the recorder writes, ends the reading.
"""

import io
import os
import struct
import time
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple

from mcap.records import Channel, Chunk, Footer, Schema
from mcap.stream_reader import MAGIC_SIZE, StreamReader
from dravik.api import data_pb2

from ...records import PathLike
from .assembly import RecordAssembly
from .bounded import _MAGIC, MAX_CHUNK_BYTES, _open_chunk, typed_messages
from .channels import McapError, opened

#: Seconds between looks at the file while nothing new is in it: well within the recorder's flush.
POLL_SECONDS = 0.25
#: Seconds the file may stay as it is before the reader is told its recorder may have stopped: a
#: recorder flushes every second or so while products come.
QUIET_SECONDS = 10.0

_HEAD = struct.Struct("<BQ")    # a record's opcode and length

Pair = Tuple[data_pb2.Record, Optional[data_pb2.Product]]


class GrowingMcap:
    """The records of the MCAP file at ``path``, read as its recorder writes them.

    ``streamed`` gives what ``McapRecords.streamed`` gives, each product as soon as a flush
    has written it, and returns once the recorder has closed the file. ``sleep`` is called
    with ``POLL_SECONDS`` (or ``poll_seconds``) while nothing new is there; ``quiet`` is told,
    once, when nothing new came for ``QUIET_SECONDS`` (a recorder killed leaves its file unclosed).
    """

    def __init__(self, path: PathLike, poll_seconds: float = POLL_SECONDS,
                 sleep: Callable[[float], None] = time.sleep, quiet: Callable[[str], None] = lambda note: None) -> None:
        self.path = os.fspath(path)
        self._poll = poll_seconds
        self._sleep = sleep
        self._quiet = quiet

    def streamed(self) -> Iterator[Pair]:
        done: List[Pair] = []
        assembly = RecordAssembly(self.path, lambda record: done.append((record, None)),
                                  lambda record, product: done.append((record, product)))
        schemas: Dict[int, Schema] = {}
        channels: Dict[int, Channel] = {}
        with opened(self.path, lambda path: open(path, "rb")) as f:
            at = self._start(f)
            waited, told = 0.0, False
            while True:
                taken = self._record(f, at)
                if taken is None:
                    assembly.settle()
                    yield from _taken(done)
                    if waited >= QUIET_SECONDS and not told:
                        self._quiet(f"{os.path.basename(self.path)} has not grown for {QUIET_SECONDS:g} s; if its "
                                    "recorder has stopped, 'mirvane recover' it (Ctrl-C stops following)")
                        told = True
                    self._sleep(self._poll)
                    waited += self._poll
                    continue
                waited = 0.0
                record, at = taken
                found = _open_chunk(record, self.path, at, at) if isinstance(record, Chunk) else [record]
                for schema, channel, message in typed_messages(found, schemas, channels, self.path, at):
                    assembly.message(schema, channel, message)
                if isinstance(record, Footer):
                    assembly.finish()
                    yield from _taken(done)
                    return
                yield from _taken(done)

    def _start(self, f: IO[bytes]) -> int:
        """Where the first record begins, once the file's magic is written."""
        while os.fstat(f.fileno()).st_size < MAGIC_SIZE:
            self._sleep(self._poll)
        if f.read(MAGIC_SIZE) != _MAGIC:
            raise McapError(self.path, "not an MCAP file (it does not begin as one)")
        return MAGIC_SIZE

    def _record(self, f: IO[bytes], at: int) -> Optional[Tuple[Any, int]]:
        """The record at byte ``at`` and where the next begins, or None while it is not all written."""
        size = os.fstat(f.fileno()).st_size
        if size < at:
            raise McapError(self.path, f"shrank to {size:,} bytes while read; it is no longer the recorder's file")
        if size < at + _HEAD.size:
            return None
        f.seek(at)
        head = f.read(_HEAD.size)
        opcode, length = _HEAD.unpack(head)
        if length > MAX_CHUNK_BYTES:
            raise McapError(self.path, f"damaged MCAP file: the record at byte {at} declares {length:,} bytes")
        if size < at + _HEAD.size + length:
            return None
        blob = head + f.read(length)
        try:
            record = next(StreamReader(io.BytesIO(blob), skip_magic=True, emit_chunks=True, validate_crcs=True,
                                       record_size_limit=MAX_CHUNK_BYTES).records)
        except Exception as e:  # whatever the reader stumbles on, the bytes are damaged
            raise McapError(self.path, f"damaged MCAP file at byte {at} ({type(e).__name__}: {e})") from None
        return record, at + len(blob)


def _taken(done: List[Pair]) -> Iterator[Pair]:
    yield from done
    done.clear()
