"""Recordings: the runs of a work cell, as saved to and loaded from recording files."""

import os
from typing import Callable, Iterable, List, Sequence, Tuple, Union

from google.protobuf import message as pb_message
from google.protobuf import unknown_fields  # type: ignore[attr-defined, unused-ignore]  # older stubs lack it
from dravik.api import data_pb2

from . import scene
from ._atomic import replacing

PathLike = Union[str, "os.PathLike[str]"]

_GROUP_WIRE_TYPES = (3, 4)


class DataFileError(ValueError):
    """A file could not be read as a recording."""


class UnfinishedFileError(DataFileError):
    """A file its writer has not closed (stopped, or still writing); the message says how to recover it."""


class RecordIndexError(IndexError):
    """An index that names no record of a recording."""


def newer_fields(message: pb_message.Message) -> bool:
    """Whether ``message`` holds fields this version does not know, as a newer version writes them.

    They are kept, and written back as they came. Raises ``ValueError`` for
    unknown content no newer version writes: a number this version knows, with
    another wire type, or a group (which the schemas' syntax never writes).
    """
    plain = type(message)()
    plain.CopyFrom(message)
    plain.DiscardUnknownFields()  # type: ignore[attr-defined, unused-ignore]  # older stubs lack it
    if plain.ByteSize() == message.ByteSize():     # the common case: checked in C, nothing to walk
        return False
    descriptor = message.DESCRIPTOR
    unknown = unknown_fields.UnknownFieldSet(message)
    for position in range(len(unknown)):
        field = unknown[position]
        if field.field_number in descriptor.fields_by_number or field.wire_type in _GROUP_WIRE_TYPES:
            raise ValueError(f"unexpected content in field {field.field_number} of a {descriptor.name}")
    for field, value in message.ListFields():
        kind = field.message_type
        if kind is None:
            continue
        if kind.GetOptions().map_entry:
            if kind.fields_by_name["value"].message_type is not None:
                for v in value.values():
                    newer_fields(v)
        elif field.is_repeated:
            for v in value:
                newer_fields(v)
        else:
            newer_fields(value)
    return True


def record_position(index: int, count: int, stop_times: Callable[[], Iterable[int]], path: PathLike) -> int:
    """The position of the record that ``index`` names among ``count`` records, as ``Replay.play`` picks it.

    A position counts from the start, a negative one from the end, except -1:
    the record with the greatest stop time (the first of equal ones), which
    ``stop_times()`` gives in record order and is asked only then.
    Raises ``RecordIndexError``, naming ``path``, when there is no such record.
    """
    if index == -1 and count:
        stops = list(stop_times())
        return stops.index(max(stops))
    if -count <= index < count:
        return index % count
    if not count:
        raise RecordIndexError(f"index {index} is out of range: {os.fspath(path)} holds no records; "
                               "give a recording that has some")
    choices = ["0" if count == 1 else f"0 to {count - 1}"]
    if count > 1:
        choices.append(f"-{count} to -2 counting from the end" if count > 2 else "-2 counting from the end")
    raise RecordIndexError(f"index {index} is out of range: {os.fspath(path)} has {count} "
                           f"record{'s' * (count != 1)}; give {', '.join(choices)}, "
                           "or -1 for the one that stopped last")


def seconds_between(first_ns: int, stamp_ns: int) -> float:
    """Seconds from the stamp ``first_ns`` to ``stamp_ns``, as playback measures them."""
    return float(1e-9 * stamp_ns - 1e-9 * first_ns)


def span_seconds(record: data_pb2.Record) -> float:
    """Seconds from the record's first product to its last, as playback measures them (0 if none)."""
    if not record.products:
        return 0.0
    return seconds_between(record.products[0].timestamp_ns, record.products[-1].timestamp_ns)


def product_seconds(record: data_pb2.Record) -> List[float]:
    """Each product's time, in seconds after the record's first product, as playback measures them."""
    if not record.products:
        return []
    first_ns = record.products[0].timestamp_ns
    return [seconds_between(first_ns, product.timestamp_ns) for product in record.products]


def span_positions(record: data_pb2.Record, start_s: float, end_s: float) -> range:
    """The positions of the record's products within a span: from the first stamped at or after
    ``start_s`` to the last stamped at or before ``end_s`` (seconds as ``product_seconds`` gives)."""
    times = product_seconds(record)
    begin = next((i for i, t in enumerate(times) if t >= start_s), len(times))
    end = next((i + 1 for i in range(len(times) - 1, -1, -1) if times[i] <= end_s), 0)
    return range(begin, max(begin, end))


def record_span(record: data_pb2.Record, positions: range) -> data_pb2.Record:
    """``record`` cut to its products at ``positions`` (a range), starting in the workspace state
    they start in: the record's own with every product before them applied (``mirvane.scene``'s
    product rule), so that after each product the state is the whole record's after it.

    When products before (after) the span are cut off, the record starts (stops) at its first (last).
    """
    cut = data_pb2.Record()
    cut.CopyFrom(record)
    del cut.products[positions.stop:]
    del cut.products[:positions.start]
    start = cut.project.workspace.state
    for product in record.products[:positions.start]:
        scene.apply(product, start)
    if positions.start > 0 and cut.products:
        cut.start_timestamp_ns = max(cut.start_timestamp_ns, cut.products[0].timestamp_ns)
    if positions.stop < len(record.products) and cut.products:
        cut.stop_timestamp_ns = min(cut.stop_timestamp_ns, cut.products[-1].timestamp_ns)
    return cut


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
    from .formats.recordings import read_records     # a recording file or an MCAP file

    return read_records(path)


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
        raise DataFileError(f"{path}: not a recording file ({e})") from None
    return records, any(newer)
