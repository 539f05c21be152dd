"""Events found as a recording's products arrive, for a recording followed while it is written."""

from dataclasses import replace
from typing import Iterable, Iterator, Optional, Tuple

from dravik.api import data_pb2

from .. import scene
from .events import Detector, Event


def arriving_events(pairs: Iterable[Tuple[data_pb2.Record, Optional[data_pb2.Product]]], *,
                    clearance: float = scene.ARM_CLEARANCE) -> Iterator[Event]:
    """Each event of the records ``pairs`` give (as ``McapRecords.streamed`` does: each product with
    its record, and the record alone when it ends) as soon as a ``Detector`` finds it. Numbers count
    a record's events in the order found, as they cannot wait for those found later that begin earlier."""
    record: Optional[data_pb2.Record] = None
    detector: Optional[Detector] = None
    position, number = -1, 0
    for header, product in pairs:
        if header is not record:
            if detector is not None:
                yield from _numbered(detector.finish(), number)
            record, position, number = header, position + 1, 0
            detector = Detector(header.project, position, clearance=clearance)
        assert detector is not None
        found = detector.feed(product) if product is not None else detector.finish()
        for event in found:
            number += 1
            yield replace(event, number=number)
        if product is None:
            detector = None
    if detector is not None:
        yield from _numbered(detector.finish(), number)


def _numbered(events: Iterable[Event], after: int) -> Iterator[Event]:
    for number, event in enumerate(events, after + 1):
        yield replace(event, number=number)
