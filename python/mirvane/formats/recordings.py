"""A recording as a user keeps it: a recording file, or an MCAP file in the export's layout.

The one place that tells them apart (by the name: ``.mcap`` is MCAP, anything
else a recording file) and opens either: ``Data`` (and so ``Replay`` and the
commands' ``info``, ``replay`` and ``show``) reads a recording through
``read_records``, the exports stream one through ``recording_file`` and the catalog
through ``stream_records``. An MCAP
file is read as ``mirvane import`` reads it, so a file a ``Recorder`` wrote
replays, lists and exports without a conversion step.
"""

import os
from contextlib import contextmanager
from typing import TYPE_CHECKING, Iterator, Tuple

from dravik.api import data_pb2

from ..records import PathLike, RecordIndexError
from .filenames import MCAP_EXT, is_mcap
from .recordstream import RecordReader, read_recording_file

if TYPE_CHECKING:
    from ..project import Project

__all__ = ["MCAP_EXT", "is_mcap", "read_records", "stream_records", "open_record", "recording_file"]


def read_records(path: PathLike) -> Tuple[data_pb2.Records, bool]:
    """All records of a recording, and whether a newer version wrote some of their fields.

    Raises ``mirvane.records.DataFileError`` for a file that is not a whole recording
    (``UnfinishedFileError`` for an MCAP file its writer has not closed), ``OSError``
    when it cannot be read, ``ImportError`` for an MCAP file without the mcap extra.
    """
    if not is_mcap(path):
        return read_recording_file(path)
    from .mcap import McapRecords

    reading = McapRecords(path)
    records = data_pb2.Records()
    for record in reading:
        records.records.append(record)
    return records, reading.newer


def stream_records(path: PathLike) -> Iterator[data_pb2.Record]:
    """The records of a recording one at a time, in order, each parsed when its turn comes.

    Raises as ``read_records`` does, when the damage is reached.
    """
    if is_mcap(path):
        from .mcap import McapRecords

        yield from McapRecords(path)
        return
    with RecordReader(path) as reader:
        for _, record in reader.records():
            yield record


def open_record(path: PathLike, position: int) -> Tuple[data_pb2.Record, "Project"]:
    """The record at ``position`` (counted from 0) of the recording at ``path``, and a project
    made from the snapshot it carries.

    Raises as ``read_records`` does, and ``mirvane.records.RecordIndexError`` when there is no such record.
    """
    from ..snapshots import project_from_snapshot

    for at, record in enumerate(stream_records(path)):
        if at == position:
            return record, project_from_snapshot(record.project)
    raise RecordIndexError(path, f"has no record {position}", f"{os.fspath(path)} has no record {position}")


@contextmanager
def recording_file(path: PathLike) -> Iterator[str]:
    """A recording file of the recording at ``path`` for the block: the file itself, or an MCAP
    file's records imported into a temporary one (removed afterwards)."""
    if not is_mcap(path):
        yield os.fspath(path)
        return
    from .mcap import imported_recording

    with imported_recording(path) as imported:
        yield imported


