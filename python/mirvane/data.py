"""Recordings: the runs of a work cell, as saved to and loaded from recording files."""

import os
from typing import Sequence, Union

from google.protobuf import message as pb_message
from google.protobuf import unknown_fields  # type: ignore[attr-defined, unused-ignore]  # older stubs lack it
from dravik.api import data_pb2

from ._atomic import replacing

PathLike = Union[str, "os.PathLike[str]"]


class DataFileError(ValueError):
    """A file could not be read as a recording."""


class Data:
    """A set of recorded runs (``Record`` messages), e.g. loaded from a recording file.

    A recording file is the serialized ``Records`` message, nothing more.
    """

    def __init__(self) -> None:
        self._data_records = data_pb2.Records()

    @classmethod
    def fromFile(cls, path: PathLike) -> "Data":
        """Load a recording file into a new data set."""
        data = cls()
        data._data_records = _read(path)
        return data

    def load(self, path: PathLike) -> None:
        """Replace this data set's records with those of a recording file.

        On error the data set is left as it was.
        """
        # Copied into the existing message so that anyone holding it sees the new records.
        self._data_records.CopyFrom(_read(path))

    def save(self, path: PathLike) -> None:
        """Write the records to a recording file, replacing it whole or not at all."""
        blob = self._data_records.SerializeToString()
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


def _read(path: PathLike) -> data_pb2.Records:
    path = os.fspath(path)
    with open(path, "rb") as f:
        blob = f.read()
    records = data_pb2.Records()
    try:
        records.ParseFromString(blob)
    except pb_message.DecodeError as e:
        raise DataFileError(f"{path}: not a recording file ({e})") from None
    # Protobuf skips fields it does not know, so other files (a project file,
    # say) may parse "successfully"; a recording has only known fields on top.
    if len(unknown_fields.UnknownFieldSet(records)) or any(
            len(unknown_fields.UnknownFieldSet(r)) for r in records.records):
        raise DataFileError(f"{path}: not a recording file (unexpected content)")
    return records
