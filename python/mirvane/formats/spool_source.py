"""What a spool is filled from: one record's products as batches of their bytes and stamps.

A recording file's products come as the file holds them (``ProductStream.record_bytes``), their
stamps decoded a batch at a time by the columns' decoder; an MCAP file's, or a run of split files',
are put together from their messages and written out. The first batch is the first product alone,
so that a picture waits for no more.
"""

import threading
import time
from typing import Any, Callable, Iterator, List, Optional, Tuple, TypeVar, cast

from dravik.api import data_pb2

from ..records import DataFileError, PathLike
from .columns import joined, newer_products, product_columns
from .productstream import Streamed, grouped
from .split import SplitStream, followed, run_stream

#: Products a batch holds: one call to the columns' decoder.
BATCH = 4096

Batch = Tuple[List[bytes], Any]     # the products' bytes, and their stamps (a sequence of int)
_Item = TypeVar("_Item")


class Source:
    """One record's ``header`` (at ``position`` in its file), and its products in ``batches``.

    ``gaps`` holds the gaps between split files met so far, ``closed`` whether a followed file's
    recorder closed it. Setting ``stopped`` makes the batches stop with ``Stopped``; ``publish``,
    when set, takes the products gathered while a followed file has nothing new.
    """

    class Stopped(Exception):
        pass

    def __init__(self, position: int, header: data_pb2.Record, newer: Callable[[], bool],
                 close: Callable[[], None]) -> None:
        self.position, self.header = position, header
        self.newer, self._close = newer, close
        self.batches: Iterator[Batch] = iter(())
        self.gaps: List[Tuple[int, int]] = []
        self.closed = False
        self.stopped = threading.Event()
        self.publish: Optional[Callable[[List[bytes], Any], None]] = None

    def batched(self, items: Iterator[_Item], made: Callable[[List[_Item]], Batch]) -> Iterator[Batch]:
        """``items`` a batch at a time, the first alone."""
        first = next(items, None)
        if first is None:
            return
        yield made([first])
        taken: List[_Item] = []
        for item in items:
            taken.append(item)
            if len(taken) >= BATCH:
                self.check()
                yield made(taken)
                taken = []
        if taken:
            yield made(taken)

    def check(self) -> None:
        if self.stopped.is_set():
            raise Source.Stopped()

    def close(self) -> None:
        self._close()


class _Checked:
    """Products' bytes and stamps as a batch, once each is known to parse; ``newer`` tells whether
    one held a newer version's fields."""

    def __init__(self, path: PathLike) -> None:
        self.path, self.newer = path, False

    def __call__(self, blobs: List[bytes], stamps: Any) -> Batch:
        self.newer = newer_products(joined(blobs), self.path) or self.newer
        return blobs, stamps

    def pairs(self, taken: List[Tuple[bytes, int]]) -> Batch:
        """As called, of ``(bytes, stamp)`` pairs."""
        return self([blob for blob, _ in taken], [stamp for _, stamp in taken])


def record_source(path: PathLike, index: int, notes: Callable[[str], None]) -> Source:
    """The record ``index`` names (as ``ProductStream.record`` picks it) in the recording at ``path``."""
    stream = run_stream(path)
    checked = _Checked(path)
    if not stream.mcap:
        position, header, blobs = stream.record_bytes(index)
        source = Source(position, header, lambda: stream.newer or checked.newer, getattr(blobs, "close"))
        source.batches = source.batched(blobs, lambda taken: checked(taken, product_columns(taken, stream.path).stamp))
        return source
    if not isinstance(stream, SplitStream):
        from .mcap.product_bytes import McapProductBytes

        reading = McapProductBytes(path)
        position, header, pairs = reading.record(index)
        source = Source(position, header, lambda: reading.newer or checked.newer,
                        getattr(pairs, "close", lambda: None))
        source.batches = source.batched(pairs, checked.pairs)
        return source
    split = SplitBytes(stream.files)
    position, header, products = split.record(index)
    source = Source(position, header, lambda: split.newer or checked.newer, getattr(products, "close"))
    told = 0

    def gathered(taken: List[Tuple[bytes, int]]) -> Batch:
        nonlocal told
        for note in split.notes[told:]:
            notes(note)
        told = len(split.notes)
        source.gaps = list(split.gaps)
        return checked.pairs(taken)

    source.batches = source.batched(cast(Iterator[Tuple[bytes, int]], products), gathered)
    return source


class SplitBytes(SplitStream):
    """A run of split files read as ``SplitStream`` reads it, each product as its bytes and stamp
    (``mcap.product_bytes``)."""

    def _file_records(self, file: str) -> Iterator[Streamed]:
        from .mcap.product_bytes import McapProductBytes

        reading = McapProductBytes(file)
        yield from grouped(reading.pairs())     # type: ignore[arg-type]   # products as (bytes, stamp)
        self.newer |= reading.newer

    @staticmethod
    def _stamp(product: Any) -> int:
        return int(product[1])


def followed_source(path: PathLike, notes: Callable[[str], None]) -> Source:
    """The run of the first record of the MCAP file at ``path``, read as its recorder writes it (and
    the numbered files it goes on to): ``split.followed``'s products, as their bytes and stamps
    (``McapProductBytes.growing``), until the recorder ends it."""
    from .mcap.product_bytes import McapProductBytes

    pending: List[Tuple[bytes, int]] = []
    checked = _Checked(path)
    source = Source(0, data_pb2.Record(), lambda: checked.newer, lambda: getattr(pairs, "close")())

    def idle(seconds: float) -> None:
        """Nothing new in the file: what was gathered is spooled before waiting."""
        source.check()
        if pending and source.publish is not None:
            source.publish(*checked.pairs(pending))
            pending.clear()
        time.sleep(seconds)

    pairs = followed(path, notes, sleep=idle, gap=lambda last, first: source.gaps.append((last, first)),
                     growing=lambda file: McapProductBytes(file).growing(sleep=idle, quiet=notes),
                     stamp=lambda product: int(product[1]))
    first: Optional[Tuple[data_pb2.Record, Any]] = next(pairs, None)
    if first is None:
        raise DataFileError(path, "holds no record")
    header = source.header = first[0]

    def products() -> Iterator[Batch]:
        assert first is not None
        if first[1] is None:    # a record of no products, ended already
            source.closed = True
            return
        yield checked.pairs([first[1]])
        for record, item in pairs:
            product = cast(Optional[Tuple[bytes, int]], item)     # as McapProductBytes gives them
            if record is not header:
                continue
            if product is None:
                source.closed = True
                break
            pending.append(product)
            header.stop_timestamp_ns = max(header.stop_timestamp_ns, product[1])
            if len(pending) >= BATCH:
                source.check()
                yield checked.pairs(pending)
                pending.clear()
        else:
            source.closed = True
        if pending:
            yield checked.pairs(pending)

    source.batches = products()
    return source


