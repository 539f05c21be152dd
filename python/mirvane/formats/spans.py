"""A span of a recording's records as a recording file of its own, a product at a time."""

import os
import tempfile
from contextlib import contextmanager
from typing import Iterator, Optional, Tuple

from dravik.api import data_pb2

from ..records import PathLike, RecordIndexError, stamps_span
from ..cuts import span_products
from .productstream import ProductStream
from .recordings import recording_file
from .recordstream import RecordWriter


@contextmanager
def spanned_recording(path: PathLike, start_s: float, end_s: float, index: Optional[int] = None
                      ) -> Iterator[Tuple[str, int]]:
    """A temporary recording file, for the block, of the records of the recording at ``path``
    (all, or the one ``index`` picks as ``Replay.play`` does) cut to the span from ``start_s`` to
    ``end_s`` seconds after each one's first product (``cuts.record_span``: starting in the state at
    the span's start); and how many records it holds: those with products in the span.

    Each record is read twice, a product at a time: for where the span lies, then to write it.
    Raises what reading the recording raises, and ``mirvane.records.RecordIndexError`` when ``index``
    names no record.
    """
    with recording_file(path) as source, tempfile.TemporaryDirectory(prefix="mirvane-span-") as scratch:
        stream = ProductStream(source)
        try:
            chosen = stream.spans(index)
        except RecordIndexError as e:     # named by the recording, not an MCAP file's import
            raise RecordIndexError(path, e.reason, str(e).replace(stream.path, os.fspath(path))) from None
        cut = os.path.join(scratch, "span.rec")
        kept = 0
        with open(cut, "wb") as f:
            writer = RecordWriter(f, os.fspath(path))
            for _, offset, length in chosen:
                header, products = stream.at(offset, length)
                positions = stamps_span((product.timestamp_ns for product in products), start_s, end_s)
                if positions:
                    record = data_pb2.Record()
                    record.CopyFrom(header)
                    writer.write_streamed(record, span_products(record, stream.at(offset, length)[1], positions))
                    kept += 1
        yield cut, kept
