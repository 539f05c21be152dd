"""Recordings: the runs of a work cell, as saved to and loaded from recording files.

``Data`` is the companion the native modules import; it reads a recording
through ``mirvane.formats.recordings``. The names below it moved to the layers
they belong to and are importable from here as before.
"""

from typing import Sequence, Tuple

from dravik.api import data_pb2

from ._atomic import replacing
from .formats.recordings import read_records
from .cuts import record_span
from .formats.recordstream import read_recording_file
from .records import (DataFileError, PathLike, RecordIndexError, UnfinishedFileError, newer_fields,
                      product_seconds, record_position, seconds_between, span_positions, span_seconds)

__all__ = [
    "Data", "DataFileError", "PathLike", "RecordIndexError", "UnfinishedFileError", "newer_fields",
    "product_seconds", "read_recording_file", "record_position", "record_span", "seconds_between",
    "span_positions", "span_seconds",
]


class Data:
    """A set of recorded runs (``Record`` messages), e.g. loaded from a recording file.

    A recording file is the serialized ``Records`` message, nothing more.
    """

    def __init__(self) -> None:
        self._data_records = data_pb2.Records()
        #: Whether the file last loaded holds fields of a newer version (kept as they came).
        self.newer = False

    @classmethod
    def fromFile(cls, path: PathLike) -> "Data":
        """Load a recording into a new data set: a recording file, or an MCAP file (``.mcap``) as
        ``mirvane export`` or a ``mirvane.formats.recorder.Recorder`` writes it."""
        data = cls()
        data._data_records, data.newer = _read(path)
        return data

    def load(self, path: PathLike) -> None:
        """Replace this data set's records with those of a recording (as ``fromFile`` reads it).

        On error the data set is left as it was.
        """
        # Copied into the existing message so that anyone holding it sees the new records.
        records, self.newer = _read(path)
        self._data_records.CopyFrom(records)

    def save(self, path: PathLike) -> None:
        """Write the records to a recording file, replacing it whole or not at all."""
        # Map entries in key order, so that one data set gives one file.
        blob = self._data_records.SerializeToString(deterministic=True)
        with replacing(path) as temporary, open(temporary, "wb") as f:
            f.write(blob)

    def addRecord(self, record: data_pb2.Record) -> None:
        """Append a copy of ``record``."""
        if not isinstance(record, data_pb2.Record):
            raise TypeError(f"expected a Record, got {type(record).__name__}")
        self._data_records.records.add().CopyFrom(record)

    def records(self) -> Sequence[data_pb2.Record]:
        """The records, in order (a live view: read, don't modify)."""
        return self._data_records.records

    def productCount(self) -> int:
        """Number of products over all records."""
        return sum(len(r.products) for r in self._data_records.records)

    def clear(self) -> None:
        """Remove all records."""
        self._data_records.Clear()

    def __len__(self) -> int:
        return len(self._data_records.records)

    def __bool__(self) -> bool:
        # A data set is an object first; an empty one is still a valid argument.
        return True

    def __repr__(self) -> str:
        return f"<Data records={len(self)} products={self.productCount()}>"


def _read(path: PathLike) -> Tuple[data_pb2.Records, bool]:
    """The records of a recording, and whether a newer version wrote some of their fields."""
    return read_records(path)     # a recording file or an MCAP file
