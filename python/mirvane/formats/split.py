"""A run a recorder split into numbered files (``run-0001.mcap``, ``run-0002.mcap``, ...), read as one.

The first file names the run: ``run-0001.mcap`` reads as itself and the files
numbered after it, up to the first number missing, so two runs side by side
(``a-0001.mcap``, ``b-0001.mcap``) never mix; any other name is one file. A
file continues the one before when its first record holds the same project:
that record's products then follow those of the last record before, as one
record. Stamps that jump by more than ``GAP_SECONDS`` between two files are
kept, and told in ``notes``. A file whose first record holds another project
ends the run before it (told in ``notes`` too): it is another run's, to be read
by itself.
"""

import os
import re
import tempfile
import time
from contextlib import contextmanager
from typing import Any, Callable, Dict, Generator, Iterator, List, NamedTuple, Optional, Tuple

from dravik.api import data_pb2, project_pb2

from ..records import PathLike, seconds_between
from .columns import Block, blocks_of
from .productstream import ProductStream, Streamed, stops_read
from .recordstream import RecordWriter

#: Seconds the stamps may jump from one file to the next and still run on: a split comes between two
#: products, some milliseconds apart; a second is lost data.
GAP_SECONDS = 1.0

# A snapshot's file (``run-snapshot-0001.mcap``) is a window of its own: the stem may not end so.
_NUMBERED = re.compile(r"^(?P<stem>.*(?<!-snapshot))-(?P<number>\d{4,})(?P<ext>\.mcap)$", re.IGNORECASE)


def run_files(path: PathLike) -> List[str]:
    """The files of the run ``path`` names: a first numbered file (``run-0001.mcap``) and those
    numbered after it that exist, in order; any other file alone."""
    path = os.fspath(path)
    found = _NUMBERED.match(path)
    if found is None or int(found["number"]) != 1:
        return [path]
    width, files = len(found["number"]), [path]
    while True:
        following = f"{found['stem']}-{len(files) + 1:0{width}d}{found['ext']}"
        if not os.path.isfile(following):
            return files
        files.append(following)


def next_file(path: str) -> Optional[str]:
    """The name of the file a recorder splitting into numbered files writes after ``path``."""
    found = _NUMBERED.match(path)
    if found is None:
        return None
    return f"{found['stem']}-{int(found['number']) + 1:0{len(found['number'])}d}{found['ext']}"


def continues(before: project_pb2.ProjectSnapshot, after: project_pb2.ProjectSnapshot) -> bool:
    """Whether a record of project ``after`` continues one of ``before``: the same project."""
    return before.SerializeToString(deterministic=True) == after.SerializeToString(deterministic=True)


def gap_note(before: str, after: str, last_ns: int, first_ns: int) -> str:
    """The note that the stamps jump between ``before``'s last product and ``after``'s first, or ""."""
    jump = seconds_between(last_ns, first_ns)
    if abs(jump) <= GAP_SECONDS:
        return ""
    how = f"a gap of {jump:.3f} s" if jump > 0 else f"stamps {-jump:.3f} s back"
    return f"{os.path.basename(after)} continues {os.path.basename(before)} after {how}"


def other_project_note(before: str, after: str) -> str:
    return (f"{os.path.basename(after)} holds another project, so the run ends at {os.path.basename(before)}; "
            f"read {os.path.basename(after)} by itself")


class _Piece(NamedTuple):
    file: str
    position: int       # in its file
    header: data_pb2.Record
    products: Iterator[data_pb2.Product]


class SplitStream(ProductStream):
    """The records of a run split into ``files``, as ``ProductStream`` gives one file's: a file's
    first record continuing the last before is part of it. ``notes`` tells, once read, the gaps
    and where another project ended the run."""

    def __init__(self, files: List[str], names: Optional[List[str]] = None) -> None:
        """``names``: how the notes name the files (as given, by default)."""
        super().__init__(files[0], mcap=True)
        self.files = files
        self.names = names or files

    def records(self) -> Generator[Streamed, None, None]:
        self.notes = []
        #: ``(last stamp before, first stamp after)`` of each gap noted.
        self.gaps: List[Tuple[int, int]] = []
        pieces = self._pieces()
        piece = next(pieces, None)
        while piece is not None:
            after: List[Optional[_Piece]] = []
            products = self._joined(piece, pieces, after.append)
            yield piece.header, products
            for _ in products:
                pass
            piece = after[0]

    def blocks(self) -> Generator[Tuple[data_pb2.Record, Iterator[Block]], None, None]:
        """As ``records``, each record's products serialized again, a block at a time."""
        for header, products in self.records():
            yield header, blocks_of(products)

    def _counted(self) -> Optional[int]:
        return None     # the first file's summary counts only its own records

    def stops(self) -> List[int]:
        """Each record's stop time, in order, its products read as ``records`` gives them."""
        return stops_read(self.records())

    def _pieces(self) -> Iterator[_Piece]:
        for file, name in zip(self.files, self.names):
            for position, (header, products) in enumerate(self._file_records(file)):
                yield _Piece(name, position, header, products)

    def _file_records(self, file: str) -> Iterator[Streamed]:
        """One file's records, as ``ProductStream`` gives them (a subclass may give its products otherwise)."""
        stream = ProductStream(file, mcap=True)
        yield from stream.records()
        self.newer |= stream.newer

    @staticmethod
    def _stamp(product: Any) -> int:
        """The stamp of a product as ``_file_records`` gives it."""
        return int(product.timestamp_ns)

    def _joined(self, piece: _Piece, pieces: Iterator[_Piece],
                then: Callable[[Optional[_Piece]], None]) -> Iterator[data_pb2.Product]:
        """``piece``'s products and those of the pieces continuing it; ``then`` gets the piece after."""
        header, current, last = piece.header, piece, None
        while True:
            for product in current.products:
                last = self._stamp(product)
                yield product
            header.stop_timestamp_ns = max(header.stop_timestamp_ns, current.header.stop_timestamp_ns)
            following = next(pieces, None)
            if following is None or following.position != 0:
                break
            if not continues(header.project, following.header.project):
                self.notes.append(other_project_note(current.file, following.file))
                following = None
                break
            first = next(following.products, None)
            if first is not None:
                if last is not None:
                    note = gap_note(current.file, following.file, last, self._stamp(first))
                    if note:
                        self.notes.append(note)
                        self.gaps.append((last, self._stamp(first)))
                last = self._stamp(first)
                yield first
            current = following
        then(following)


def followed(path: PathLike, notes: Callable[[str], None], sleep: Callable[[float], None] = time.sleep,
             gap: Callable[[int, int], None] = lambda last, first: None,
             growing: Optional[Callable[[str], Iterator[Tuple[data_pb2.Record, Any]]]] = None,
             stamp: Callable[[Any], int] = lambda product: int(product.timestamp_ns)
             ) -> Iterator[Tuple[data_pb2.Record, Optional[data_pb2.Product]]]:
    """What ``McapRecords.streamed`` gives of the MCAP file at ``path``, read as its recorder writes
    it (``GrowingMcap``), then of the numbered files the recorder goes on to, each continuing the
    run as ``SplitStream`` reads it; it returns once the recorder has closed its last file.
    ``notes`` is told the gaps, where another project ends the run, and a file that stopped growing;
    ``gap`` each gap's stamps (the last product's before it, the first's after). ``growing`` reads
    one file so, its products otherwise (``stamp`` then tells their stamps)."""
    from .mcap.growing import POLL_SECONDS, GrowingMcap

    def growing_mcap(file: str) -> Iterator[Tuple[data_pb2.Record, Any]]:
        return GrowingMcap(file, sleep=sleep, quiet=notes).streamed()

    read = growing or growing_mcap

    file: Optional[str] = os.fspath(path)
    carried: Optional[data_pb2.Record] = None     # the record the file before left open
    last: Optional[int] = None                    # the stamp of its last product
    previous = ""
    while file is not None:
        same: Dict[int, data_pb2.Record] = {}     # a record of this file: the one it continues
        ended: Optional[data_pb2.Record] = None   # a record ended, told once another begins
        for record, product in read(file):
            if carried is not None:
                if not continues(carried.project, record.project):
                    notes(other_project_note(previous, file))
                    yield carried, None
                    return
                same[id(record)], carried = carried, None
                if product is not None and last is not None:
                    note = gap_note(previous, file, last, stamp(product))
                    if note:
                        notes(note)
                        gap(last, stamp(product))
            if ended is not None:
                yield ended, None
                ended = None
            record = same.get(id(record), record)
            if product is None:
                ended = record
                continue
            last = stamp(product)
            yield record, product
        previous, file = file, _next_written(file, POLL_SECONDS, sleep)
        if file is None:
            if ended is not None:
                yield ended, None
            return
        carried = ended


def _next_written(path: str, poll_seconds: float, sleep: Callable[[float], None]) -> Optional[str]:
    """The file a splitting recorder begins once ``path`` is closed, if it begins one within two polls."""
    following = next_file(path)
    for _ in range(3):
        if following is None or os.path.isfile(following):
            return following
        sleep(poll_seconds)
    return None


def run_stream(path: PathLike) -> ProductStream:
    """The recording at ``path`` to be read a product at a time: a run of split files as one."""
    files = run_files(path)
    return SplitStream(files) if len(files) > 1 else ProductStream(path)


@contextmanager
def imported_run(path: PathLike) -> Iterator[Optional[str]]:
    """A temporary recording file of the run of split files ``path`` names, for the block; None
    when ``path`` is a file by itself."""
    files = run_files(path)
    if len(files) == 1:
        yield None
        return
    with tempfile.TemporaryDirectory(prefix="mirvane-run-") as scratch:
        imported = os.path.join(scratch, "run.rec")
        with open(imported, "wb") as f:
            writer = RecordWriter(f, imported)
            for header, products in SplitStream(files).records():
                writer.write_streamed(header, products)
        yield imported
