"""The one time base: a record's times in seconds after its first product, as playback measures them."""

from typing import List

from dravik.api import data_pb2


def seconds_between(first_ns: int, stamp_ns: int) -> float:
    """Seconds from the stamp ``first_ns`` to ``stamp_ns``, as playback measures them."""
    return float(1e-9 * stamp_ns - 1e-9 * first_ns)


def duration_seconds(nanoseconds: int) -> float:
    """A length of time measured in nanoseconds (a difference of stamps, worked out exactly) in seconds."""
    return nanoseconds * 1e-9


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

