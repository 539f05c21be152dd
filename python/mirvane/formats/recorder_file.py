"""One MCAP file a recorder writes: its records, each opened by a streamed header, and its products,
given as (stamp, serialized product) in the order they are written."""

import functools
import io
import os
from typing import IO, List, Optional, Tuple

from dravik.api import export_pb2, project_pb2

from .mcap import LayoutWriter

#: How often a recording's /scene shows the cell, at most: what a 3D view shows.
SCENES_PER_SECOND = 30

_SECOND = 1_000_000_000

#: A product as the recorder holds it: its stamp and its bytes.
Taken = Tuple[int, bytes]


class RecorderFile:
    """One MCAP file being written at ``path`` (never over a file there), or in memory: its records,
    each opened by a streamed header, its products each at its stamp, numbered in its record."""

    def __init__(self, path: str, project: project_pb2.ProjectSnapshot, time_ns: int, chunk_bytes: int,
                 in_memory: bool = False) -> None:
        self._f: IO[bytes] = io.BytesIO() if in_memory else open(path, "xb")    # never over a file of the user's
        self._synced = not in_memory
        self._out = LayoutWriter(self._f, chunk_bytes, scene_interval_ns=_SECOND // SCENES_PER_SECOND)
        self._records = 0
        self._position = 0
        self.first: Optional[int] = None    # the time stamp of its first product
        self.open_record(project, time_ns)

    def open_record(self, project: project_pb2.ProjectSnapshot, time_ns: int) -> None:
        header = export_pb2.RecordHeader(streamed=True)
        header.record.project.CopyFrom(project)
        header.record.start_timestamp_ns = time_ns
        self._out.open_record(header, time_ns, self._records)
        self._records += 1
        self._position = 0
        self.flush()        # the project is in the file from the start

    def products(self, taken: List[Taken], start: int, stop: int, stop_after_chunk: bool = False) -> int:
        """Write ``taken[start:stop]``; how many were written: all, or with ``stop_after_chunk`` those up
        to the first that ended a chunk (after which ``size`` has grown)."""
        if self.first is None and start < stop:
            self.first = taken[start][0]
        done = self._out.items(taken, start, stop, self._position, stop_after_chunk)
        self._position += done
        return done

    def size(self) -> int:
        """About the size the file would have if finished now."""
        return self._f.tell() + summary_bytes()

    def flush(self) -> None:
        self._out.flush()
        if self._synced:
            os.fsync(self._f.fileno())

    def finish(self) -> None:
        self._out.finish()
        self._f.flush()
        os.fsync(self._f.fileno())
        self._f.close()


@functools.lru_cache(maxsize=1)
def summary_bytes() -> int:
    """What finishing a file adds to it, about: its summary (schemas and channels again, indexes)."""
    f = io.BytesIO()
    out = LayoutWriter(f)
    out.flush()
    written = f.tell()
    out.finish()
    return f.tell() - written
