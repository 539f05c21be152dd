"""Recording files one record at a time, for recordings too large to hold twice.

A recording file is one serialized ``Records`` message, which on the wire is
nothing but its records one after another, each as field 1: a tag byte, the
record's length as a varint, the record. So a file can be read and written a
record at a time and still be exactly what ``Data.save`` and ``Data.load``
write and read.
"""

import itertools
import os
import shutil
import tempfile
from dataclasses import dataclass
from typing import BinaryIO, Iterable, Iterator, List, Optional, Tuple

from google.protobuf import message as pb_message
from google.protobuf import unknown_fields  # type: ignore[attr-defined, unused-ignore]  # older stubs lack it
from dravik.api import data_pb2

from ..records import DataFileError, PathLike, newer_fields, record_position

_RECORD_TAG = 0x0A      # field 1, length-delimited
_PRODUCT_TAG = 0x22     # Record.products: field 4, length-delimited

#: The most bytes one record of a recording file may take: protobuf reads no longer message.
MOST_RECORD_BYTES = 2 ** 31 - 1


class RecordTooLongError(DataFileError):
    """A record too long for a recording file; the message says to keep it as MCAP."""


class RecordReader:
    """Reads a recording file's records one at a time; a context manager.

    ``offsets()`` lists where each record lies without parsing any, so a
    record can be picked by position; ``records()`` parses them in turn.
    ``newer`` tells whether a record parsed so far holds fields of a newer version.
    """

    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)
        self._file: BinaryIO = open(self.path, "rb")
        self.size = os.fstat(self._file.fileno()).st_size
        self.newer = False

    def __enter__(self) -> "RecordReader":
        return self

    def __exit__(self, *exc: object) -> None:
        self._file.close()

    def offsets(self) -> List[Tuple[int, int]]:
        """``(offset, length)`` of every record's bytes, in file order."""
        found: List[Tuple[int, int]] = []
        self._file.seek(0)
        while True:
            entry = self._entry()
            if entry is None:
                return found
            found.append(entry)
            self._file.seek(entry[0] + entry[1])

    def chosen(self, index: Optional[int]) -> Tuple[Optional[List[Tuple[int, int]]], Iterable[int]]:
        """The spans of the records an export takes, all (None) or the one ``index`` names
        (as ``Replay.play`` picks it), and their positions."""
        if index is None:
            return None, itertools.count()
        spans = self.offsets()
        position = record_position(index, len(spans), lambda: (r.stop_timestamp_ns for _, r in self.records(spans)),
                                   self.path)
        return [spans[position]], [position]

    def records(self, spans: Optional[List[Tuple[int, int]]] = None
                ) -> Iterator[Tuple[Tuple[int, int], data_pb2.Record]]:
        """Yield ``((offset, length), record)`` for the given spans, or for all records in order."""
        if spans is None:
            self._file.seek(0)
            while True:
                entry = self._entry()
                if entry is None:
                    return
                yield entry, self._parse(*entry)
        else:
            for span in spans:
                yield span, self._parse(*span)

    def _entry(self) -> Optional[Tuple[int, int]]:
        """The span of the record whose tag is next in the file, or None at its end."""
        start = self._file.tell()
        tag = self._file.read(1)
        if not tag:
            return None
        if tag[0] != _RECORD_TAG:
            raise DataFileError(self.path, f"not a recording file (unexpected content at byte {start})")
        length = 0
        for shift in range(0, 64, 7):
            byte = self._file.read(1)
            if not byte:
                break
            length |= (byte[0] & 0x7F) << shift
            if byte[0] < 0x80:
                offset = self._file.tell()
                if offset + length > self.size:
                    break
                return offset, length
        raise DataFileError(self.path, f"truncated: the record at byte {start} ends past the end of the file")

    def _parse(self, offset: int, length: int) -> data_pb2.Record:
        self._file.seek(offset)
        blob = self._file.read(length)
        record = data_pb2.Record()
        if len(blob) != length:
            raise DataFileError(self.path, f"not a recording file (unexpected content at byte {offset})")
        try:
            record.ParseFromString(blob)
            self.newer |= newer_fields(record)
        except (pb_message.DecodeError, ValueError) as e:
            raise DataFileError(self.path, f"not a recording file (the record at byte {offset}: {e})") from None
        return record


class RecordWriter:
    """Appends records to an open binary file so that it becomes a recording file."""

    def __init__(self, file: BinaryIO, path: str = "") -> None:
        self._file = file
        self._path = path
        self._records = 0

    def write(self, record: data_pb2.Record) -> None:
        """Append ``record`` to the file (its bytes the same in every process)."""
        blob = record.SerializeToString(deterministic=True)
        self._file.write(bytes([_RECORD_TAG]) + _varint(len(blob)))
        self._file.write(blob)
        self._records += 1

    def write_streamed(self, header: data_pb2.Record, products: Iterable[data_pb2.Product]) -> None:
        """Append the record of ``header`` (complete once ``products`` are read) and ``products``, the
        bytes ``write`` would, holding one product at a time: its length comes before its bytes, so
        the products wait in a temporary file. Raises ``RecordTooLongError`` as soon as the record
        is longer than ``MOST_RECORD_BYTES``, having written nothing of it."""
        with tempfile.TemporaryFile(prefix="mirvane-record-") as spool:
            size = 0
            for product in products:
                blob = product.SerializeToString(deterministic=True)
                spool.write(bytes([_PRODUCT_TAG]) + _varint(len(blob)) + blob)
                size = spool.tell()
                self._check(size)
            # Its known fields in order (products last of them), then those of a newer version.
            whole = header.SerializeToString(deterministic=True)
            known = data_pb2.Record()
            known.CopyFrom(header)
            getattr(known, "DiscardUnknownFields")()     # the runtime has it, the type stubs lack it
            before = known.SerializeToString(deterministic=True)
            self._check(len(whole) + size)
            self._file.write(bytes([_RECORD_TAG]) + _varint(len(whole) + size) + before)
            spool.seek(0)
            shutil.copyfileobj(spool, self._file)
            self._file.write(whole[len(before):])
        self._records += 1

    def _check(self, size: int) -> None:
        if size > MOST_RECORD_BYTES:
            raise RecordTooLongError(self._path, f"record {self._records} would take more than {MOST_RECORD_BYTES:,} "
                                     "bytes, more than a recording file holds in one record; keep the recording "
                                     "as an MCAP file (export to .mcap, not .rec)")


def _varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


@dataclass(frozen=True)
class Counts:
    """What a conversion of a recording file (an export or import) carried over, and whether a
    newer version wrote fields of it."""
    records: int
    products: int
    newer: bool = False


def read_recording_file(path: PathLike) -> Tuple[data_pb2.Records, bool]:
    """The records of a recording file, and whether a newer version wrote some of their fields."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        blob = f.read()
    records = data_pb2.Records()
    try:
        records.ParseFromString(blob)
        # Protobuf skips fields it does not know, so other files (a project file,
        # say) may parse "successfully"; a recording is nothing but its records.
        if len(unknown_fields.UnknownFieldSet(records)):
            raise ValueError("unexpected content")
        newer = [newer_fields(r) for r in records.records]
    except (pb_message.DecodeError, ValueError) as e:
        raise DataFileError(path, f"not a recording file ({e})") from None
    return records, any(newer)
