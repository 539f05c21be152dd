"""A record read once from its recording, its products kept on disk rather than in memory.

A live replay of an hour's run needs each product many times (its keyframes, each window, its
events, a plot's series), but never all of them at once. ``spooled_record`` streams the chosen
record from the file once (an MCAP file's or a run of split files as well), writing each product's
bytes to an unnamed temporary file and its offset and stamp to two more (``spool_index``: memory
holds a few bytes a thousand products, whatever the run's length). The
``SpooledRecord`` it gives stands in for a ``Record`` where a record's products are read in turn or
by position: ``products`` has a length, iterates, and gives one product or a run of them (an
iterator, never a list) by position, each parsed when read.

``growing_record`` gives the record once its first product is in and spools the rest on a thread
of its own (``Spooler``), following an MCAP file while its recorder writes it when asked: what is
in so far reads as above, and ``wait`` waits for more. A recording file's products are spooled as
the file holds their bytes, their stamps decoded a batch at a time (``columns``), never re-written.
"""

import os
import tempfile
import threading
from typing import Any, BinaryIO, Callable, Iterator, List, Optional, Tuple, Union

import numpy as np
from dravik.api import data_pb2

from ..records import PathLike
from .columns import Block, joined
from .spool_index import SpoolIndex, Stamps
from .spool_source import Source, followed_source, record_source

# Bytes read at a time when products are read in turn.
_BLOCK = 1 << 20
# Products whose places in the spool are read at a time.
_PRODUCTS = 1 << 16

class _Spool:
    """The spool file and its index (``SpoolIndex``, on disk too). Grown by one writer; read from
    any thread: what is counted never changes."""

    def __init__(self) -> None:
        self.file: BinaryIO = tempfile.TemporaryFile(prefix="mirvane-products-")
        self.index = SpoolIndex()
        self.changed = threading.Condition()

    @property
    def count(self) -> int:
        return self.index.count

    def add(self, blobs: List[bytes], stamps: Any) -> None:
        base = self.index.end
        self.index.add([len(blob) for blob in blobs], stamps)
        os.pwrite(self.file.fileno(), b"".join(blobs), base)
        with self.changed:
            self.index.publish(len(blobs))
            self.changed.notify_all()

    def close(self) -> None:
        self.file.close()
        self.index.close()


class SpooledProducts:
    """The products of a ``SpooledRecord`` spooled so far: read from its spool file when asked for;
    safe to read from many threads at once, while it grows too."""

    def __init__(self, spool: _Spool) -> None:
        self._spool = spool

    def __len__(self) -> int:
        return self._spool.count

    def __iter__(self) -> Iterator[data_pb2.Product]:
        return self._between(0, len(self))

    def __getitem__(self, at: Union[int, slice]) -> Any:
        count = self._spool.count
        if isinstance(at, slice):
            start, stop, step = at.indices(count)
            if step != 1:
                raise ValueError("spooled products are read in order, without a step")
            return self._between(start, max(start, stop))
        position = at + count if at < 0 else at
        if not 0 <= position < count:
            raise IndexError(f"no product {at} of {count}")
        start, stop = self._spool.index.ends(position, position + 1).tolist()
        return data_pb2.Product.FromString(os.pread(self._spool.file.fileno(), stop - start, start))

    def serialized(self, start: int, stop: int) -> Iterator[Block]:
        """Products ``start`` to ``stop`` as they are spooled, a block of bytes at a time."""
        fd = self._spool.file.fileno()
        for first in range(start, stop, _PRODUCTS):
            ends = self._spool.index.ends(first, min(first + _PRODUCTS, stop))
            position = 0
            while position < len(ends) - 1:     # a block of about _BLOCK bytes, at least one product
                base = int(ends[position])
                last = max(position + 1, int(np.searchsorted(ends, base + _BLOCK, side="right")) - 1)
                bounds = ends[position:last + 1] - base
                yield Block(os.pread(fd, int(ends[last]) - base, base), bounds[:-1], bounds[1:])
                position = last

    def _between(self, start: int, stop: int) -> Iterator[data_pb2.Product]:
        """Products ``start`` to ``stop``, read a block of bytes at a time."""
        for data, starts, ends in self.serialized(start, stop):
            for begin, end in zip(starts.tolist(), ends.tolist()):
                yield data_pb2.Product.FromString(bytes(data[begin:end]))


class SpooledRecord:
    """A record's header (``project``, start and stop stamps: those of ``Record``), its products'
    ``stamps`` in memory and its ``products`` on disk (``SpooledProducts``), as many as are in so
    far. ``close`` stops the spooling and removes them."""

    def __init__(self, header: data_pb2.Record, newer: bool) -> None:
        self.header = header
        self.project = header.project
        self.start_timestamp_ns = header.start_timestamp_ns
        self._spool = _Spool()
        self.products = SpooledProducts(self._spool)
        #: Whether the file holds fields of a newer version (as far as read).
        self.newer = newer
        #: Every product is in (or reading stopped: ``failed``).
        self.ended = False
        #: Why reading stopped before the end: what was read whole is kept.
        self.failed: Optional[BaseException] = None
        #: A followed file's recorder closed it (never so for a finished file).
        self.closed_by_recorder = False
        #: ``(last stamp before, first stamp after)`` of each gap between split files.
        self.gaps: List[Tuple[int, int]] = []
        self._spooler: Optional["Spooler"] = None

    @property
    def stamps(self) -> Stamps:
        """Each product's stamp, in order, read from disk when asked: as many as ``products``
        holds at the moment read."""
        return self._spool.index.stamps()

    @property
    def stop_timestamp_ns(self) -> int:
        """The header's stop once every product is in (when it has one), else the last product's stamp."""
        if self.ended and self.header.stop_timestamp_ns:
            return self.header.stop_timestamp_ns
        stamps = self.stamps
        return int(stamps[-1]) if len(stamps) else self.header.stop_timestamp_ns

    def wait(self, count: int, timeout: float) -> int:
        """Wait until more than ``count`` products are in, or every one is, or ``timeout`` seconds
        have passed; the number in."""
        with self._spool.changed:
            self._spool.changed.wait_for(lambda: self._spool.count > count or self.ended, timeout)
            return self._spool.count

    def add(self, blobs: List[bytes], stamps: Any) -> None:
        """Products' bytes and stamps, spooled after those in (by the one thread spooling it)."""
        self._spool.add(blobs, stamps)

    def end(self, failed: Optional[BaseException] = None) -> None:
        with self._spool.changed:
            self.failed, self.ended = failed, True
            self._spool.changed.notify_all()

    def close(self) -> None:
        if self._spooler is not None:
            self._spooler.stop()
        self._spool.close()


def spooled_record(path: PathLike, index: int) -> Tuple[int, SpooledRecord]:
    """The position of the record ``index`` names (as ``ProductStream.record`` picks it) in the
    recording at ``path``, and that record read once and spooled. Raises as ``ProductStream`` reads do."""
    position, record = growing_record(path, index)
    record._spooler.join()      # type: ignore[union-attr]   # set by growing_record
    if record.failed is not None:
        record.close()
        raise record.failed
    return position, record


def growing_record(path: PathLike, index: int, *, follow: bool = False,
                   notes: Callable[[str], None] = lambda text: None) -> Tuple[int, SpooledRecord]:
    """As ``spooled_record``, given once the record's header and first product are in, the rest
    spooled on a daemon thread. ``follow``: ``path`` is an MCAP file its recorder is writing (and
    the numbered files it goes on to, as ``split.followed`` reads them); the run of its first record
    is spooled as each flush lands, until the recorder closes it (``index`` is not used). ``notes``
    is told the gaps between split files, another project, a file that stopped growing."""
    source = followed_source(path, notes) if follow else record_source(path, index, notes)
    record = SpooledRecord(source.header, source.newer())
    try:
        first = next(source.batches, None)    # the first product alone: what a picture needs first
        if first is not None:
            record.add(*first)
        record.newer = source.newer()
    except BaseException:
        source.close()
        record.close()
        raise
    spooler = record._spooler = Spooler(record, source)
    spooler.start()
    return source.position, record


class Spooler(threading.Thread):
    """Spools what ``source`` gives into ``record`` until it ends, fails or is stopped."""

    def __init__(self, record: SpooledRecord, source: Source) -> None:
        super().__init__(name="mirvane-spool", daemon=True)
        self._record, self._source = record, source
        source.publish = record.add

    def run(self) -> None:
        record, source = self._record, self._source
        failed: Optional[BaseException] = None
        try:
            for blobs, stamps in source.batches:
                record.add(blobs, stamps)
                record.gaps = list(source.gaps)
                record.newer = record.newer or source.newer()
            record.closed_by_recorder = source.closed
        except source.Stopped:
            pass
        except BaseException as e:  # damaged bytes: what is in stays
            failed = e
        finally:
            source.close()
        record.gaps = list(source.gaps)
        record.end(failed)

    def stop(self) -> None:
        self._source.stopped.set()
        if self is not threading.current_thread() and self.is_alive():
            self.join()


def serialized(products: Any, start: int, stop: int) -> Iterator[Block]:
    """Products ``start`` to ``stop`` of a record's ``products`` (spooled, as ``SpooledProducts.serialized``
    gives them, or any others, serialized) as blocks."""
    if isinstance(products, SpooledProducts):
        yield from products.serialized(start, stop)
        return
    yield joined([product.SerializeToString() for product in products[start:stop]])
