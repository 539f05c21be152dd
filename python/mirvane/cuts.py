"""A record cut to a span of its products, starting in the state the span starts in.

The cut applies the product rule (``scene.apply``) to every product before the
span, so that after each product kept the state is the whole record's after it:
clips, windows of play and exported spans all start where the whole record was.
"""

from typing import Iterable, Iterator, Optional

from dravik.api import data_pb2

from .records import RENEW_EVERY, renewed
from .scene import apply


def record_span(record: data_pb2.Record, positions: range) -> data_pb2.Record:
    """``record`` cut to its products at ``positions`` (a range), starting in the workspace state
    they start in: the record's own with every product before them applied (the product
    rule above), so that after each product the state is the whole record's after it.

    When products before (after) the span are cut off, the record starts (stops) at its first (last).
    """
    cut = data_pb2.Record()
    cut.CopyFrom(record)
    del cut.products[:]
    cut.products.extend(span_products(cut, record.products, positions))
    return cut


def span_products(cut: data_pb2.Record, products: Iterable[data_pb2.Product], positions: range
                  ) -> Iterator[data_pb2.Product]:
    """``record_span`` a product at a time: the products at ``positions`` of a record's ``products``,
    while ``cut``, the record without its products, becomes the cut's (complete once they are read)."""
    start = cut.project.workspace.state
    state = renewed(start)
    first = last = None
    count = 0
    for count, product in enumerate(products, 1):
        if count <= positions.start:
            apply(product, state)
            if count == positions.start:
                start.CopyFrom(state)
            elif count % RENEW_EVERY == 0:
                state = renewed(state)
        elif count <= positions.stop:
            first = product.timestamp_ns if first is None else first
            last = product.timestamp_ns
            yield product
    cut_bounds(cut, positions.start > 0, positions.stop < count, first, last)


def cut_bounds(cut: data_pb2.Record, before: bool, after: bool,
               first: Optional[int] = None, last: Optional[int] = None) -> data_pb2.Record:
    """``cut``, a record with products cut off ``before`` and/or ``after`` its own, starting (stopping)
    at its first (last) product where they were: stamped ``first`` (``last``), by default its own."""
    if cut.products:
        first = cut.products[0].timestamp_ns if first is None else first
        last = cut.products[-1].timestamp_ns if last is None else last
    if before and first is not None:
        cut.start_timestamp_ns = max(cut.start_timestamp_ns, first)
    if after and last is not None:
        cut.stop_timestamp_ns = min(cut.stop_timestamp_ns, last)
    return cut
