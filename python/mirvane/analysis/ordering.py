"""A record's events numbered in record order, in memory that does not grow with the record.

A ``Detector`` returns a range event once it ends, so events come out of it nearly, but not
quite, in the order of the products they begin at; numbering them needs them all. A shift's
record holds about a hundred thousand events: rather than hold them, they are kept in sorted
runs of ``RUN_EVENTS`` spilled to temporary files and merged back as they are read.
"""

import heapq
import itertools
import pickle
import tempfile
from dataclasses import replace
from typing import IO, Iterable, Iterator, List, Tuple

from dravik.api import project_pb2

from .. import scene
from ..formats.columns import Block
from .events import Detector, Event

#: Events held in memory at once before a sorted run of them goes to disk.
RUN_EVENTS = 4096

# (the product it begins at, the order found): sorts as ``numbered`` does, stably.
_Keyed = Tuple[int, int, Event]


def found_events(project: project_pb2.ProjectSnapshot, blocks: Iterable[Block], index: int = 0, *,
                 clearance: float = scene.ARM_CLEARANCE) -> Iterator[Event]:
    """The events of a record (its project and its products, read a block at a time) as they are
    found: neither numbered nor in record order (for what only counts them)."""
    detector = Detector(project, index, clearance=clearance)
    for block in blocks:
        yield from detector.feed_block(block)
    yield from detector.finish()


def in_record_order(events: Iterable[Event], run: int = RUN_EVENTS) -> Iterator[Event]:
    """``events`` of one record in record order (by the product each begins at, ties as found),
    numbered from 1, holding at most ``run`` of them (and one from each spilled run) at a time."""
    keyed = ((event.product, order, event) for order, event in enumerate(events))
    spilled: List[IO[bytes]] = []
    try:
        while True:
            held = sorted(itertools.islice(keyed, run), key=lambda entry: entry[:2])
            if len(held) < run:
                break
            spilled.append(_spill(held))
        merged = heapq.merge(*map(_read, spilled), held, key=lambda entry: entry[:2])
        for number, (_, _, event) in enumerate(merged, 1):
            yield replace(event, number=number)
    finally:
        for file in spilled:
            file.close()


def ordered_events(project: project_pb2.ProjectSnapshot, blocks: Iterable[Block], index: int = 0, *,
                   clearance: float = scene.ARM_CLEARANCE) -> Iterator[Event]:
    """``product_events``, in memory that does not grow with the record (yielded once it is all read)."""
    return in_record_order(found_events(project, blocks, index, clearance=clearance))


def _spill(held: List[_Keyed]) -> IO[bytes]:
    file = tempfile.TemporaryFile(prefix="mirvane-events-")
    for entry in held:
        pickle.dump(entry, file, pickle.HIGHEST_PROTOCOL)
    file.seek(0)
    return file


def _read(file: IO[bytes]) -> Iterator[_Keyed]:
    while True:
        try:
            yield pickle.load(file)
        except EOFError:
            return
